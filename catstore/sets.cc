// Set helpers of the store routines.
#include "sets.h"

namespace catstore {

DBStatus DeleteRecords(CDbContext* pdb, const std::vector<DBA>& records) {
    for (DBA dba : records) {
        DBStatus st = MapEngineStatus(pdb->DeleteAt(dba));
        if (st != DBSuccess) {
            return st;
        }
    }
    return DBSuccess;
}

DBStatus CollectMembers(CDbContext* pdb, int32_t nSet, DBA dbaOwner, std::vector<DBA>* pMembers) {
    pMembers->clear();
    int rc;
    if (dbaOwner == 0) {
        rc = pdb->SetOwnerSystem(nSet);
    } else {
        rc = pdb->MakeCurrent(dbaOwner);
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(nSet);
        }
    }
    if (rc != S_OKAY) {
        return rc == S_DELETED || rc == S_INVADDR ? DBDeleted : MapEngineStatus(rc);
    }
    for (rc = pdb->FindFirst(nSet); rc == S_OKAY; rc = pdb->FindNext(nSet)) {
        DBA dba = 0;
        rc = pdb->CurrentDba(&dba);
        if (rc != S_OKAY) {
            break;
        }
        pMembers->push_back(dba);
    }
    if (rc == S_EOS || rc == S_OKAY) {
        return DBSuccess;
    }
    // An allocation failure in the walk is out of memory, not a broken set.
    return rc == S_NOMEMORY ? DBOutOfMemory : DBSetScanEnded;
}

DBStatus OwnerOf(CDbContext* pdb, int32_t nSet, DBA dbaMember, DBA* pdbaOwner) {
    *pdbaOwner = 0;
    int rc = pdb->MakeCurrent(dbaMember);
    if (rc == S_OKAY) {
        rc = pdb->SetMemberCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->FindOwner(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(pdbaOwner);
    }
    return rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
}

DBStatus CollectLinked(CDbContext* pdb, int32_t nLinkSet, DBA dbaFrom, int32_t nOtherSet,
                       std::vector<DBA>* pRecords) {
    pRecords->clear();
    std::vector<DBA> links;
    DBStatus st = CollectMembers(pdb, nLinkSet, dbaFrom, &links);
    for (size_t i = 0; st == DBSuccess && i < links.size(); ++i) {
        DBA dbaOther = 0;
        st = OwnerOf(pdb, nOtherSet, links[i], &dbaOther);
        if (st == DBSuccess) {
            pRecords->push_back(dbaOther);
        }
    }
    return st;
}

}  // namespace catstore
