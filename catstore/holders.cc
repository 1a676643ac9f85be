#include "holders.h"

#include <cstring>

#include "trace.h"

namespace catstore {

DBStatus ChangeCheck(CDbContext* pdb, DBA dba, int32_t nType, int64_t stamp, bool fRefresh,
                     void* pRecord, int64_t* pNewStamp) {
    int rc = pdb->MakeCurrent(dba);
    if (rc == 6 || rc == -6) {
        return 36;
    }
    if (rc != 0) {
        return MapEngineStatus(rc);
    }
    int32_t nCurrent = 0;
    rc = pdb->CurrentType(&nCurrent);
    if (rc != 0) {
        return MapEngineStatus(rc);
    }
    if (nCurrent != nType) {
        ReportAssertion("FALSE", ".\\DBUTIL");
        return 12;
    }
    if (stamp == STAMP_FETCH) {
        return 32;
    }
    DBStatus st = DBSuccess;
    if (stamp != STAMP_NOCHECK) {
        rc = pdb->TestStamp(static_cast<uint64_t>(stamp));
        if (rc == 6) {
            return 36;
        }
        if (rc == 7) {
            st = DBRecordModified;
        } else if (rc != 0) {
            return MapEngineStatus(rc);
        }
    }
    if (fRefresh) {
        rc = pdb->Read(pRecord);
        uint64_t newStamp = 0;
        if (rc == 0) {
            rc = pdb->CurrentStamp(&newStamp);
        }
        if (rc != 0) {
            return MapEngineStatus(rc);
        }
        *pNewStamp = static_cast<int64_t>(newStamp);
    }
    return st;
}

bool CopyField(char* pchField, size_t cbField, const std::string& str) {
    std::memset(pchField, 0, cbField);
    if (str.size() >= cbField) {
        return false;
    }
    std::memcpy(pchField, str.data(), str.size());
    return true;
}

}  // namespace catstore
