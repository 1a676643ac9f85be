#include "holders.h"

#include <cstring>

#include "trace.h"

namespace catstore {

DBStatus ChangeCheck(CDbContext* pdb, DBA dba, int32_t nType, int64_t stamp, bool fRefresh,
                     void* pRecord, int64_t* pNewStamp) {
    int rc = pdb->MakeCurrent(dba);
    if (rc == S_DELETED || rc == S_INVADDR) {
        return DBDeleted;
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    int32_t nCurrent = 0;
    rc = pdb->CurrentType(&nCurrent);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    if (nCurrent != nType) {
        ReportAssertion("FALSE", ".\\DBUTIL");
        return DBUnexpectedRecordType;
    }
    if (stamp == STAMP_FETCH) {
        return DBStampNotFetched;
    }
    DBStatus st = DBSuccess;
    if (stamp != STAMP_NOCHECK) {
        rc = pdb->TestStamp(static_cast<uint64_t>(stamp));
        if (rc == S_DELETED) {
            return DBDeleted;
        }
        if (rc == S_UPDATED) {
            st = DBRecordModified;
        } else if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
    }
    if (fRefresh) {
        rc = pdb->Read(pRecord);
        uint64_t newStamp = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentStamp(&newStamp);
        }
        if (rc != S_OKAY) {
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

std::string FieldText(const char* pchField, size_t cbField) {
    return std::string(pchField, strnlen(pchField, cbField));
}

}  // namespace catstore
