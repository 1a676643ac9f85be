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
    return rc == S_EOS ? DBSuccess : (rc == S_OKAY ? DBSuccess : DBSetScanEnded);
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

void CollectAll(CDbContext* pdb, int32_t nSet, std::vector<DBA>* pRecords) {
    if (CollectMembers(pdb, nSet, 0, pRecords) != DBSuccess) {
        pRecords->clear();
    }
}

void CollectLinked(CDbContext* pdb, int32_t nLinkSet, DBA dbaFrom, int32_t nOtherSet,
                   std::vector<DBA>* pRecords) {
    pRecords->clear();
    std::vector<DBA> links;
    if (CollectMembers(pdb, nLinkSet, dbaFrom, &links) != DBSuccess) {
        return;
    }
    for (DBA dbaLink : links) {
        DBA dbaOther = 0;
        if (OwnerOf(pdb, nOtherSet, dbaLink, &dbaOther) != DBSuccess) {
            return;
        }
        pRecords->push_back(dbaOther);
    }
}

}  // namespace catstore
