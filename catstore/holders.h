// Record holders: a stored record held in memory with its address, type and change stamp, and
// the change check that detects another process's write.
#pragma once

#include <cstdint>
#include <string>

#include "engine.h"
#include "varstr.h"

namespace catstore {

inline constexpr int64_t STAMP_FETCH = -1;  // to be fetched after the next create or read
inline constexpr int64_t STAMP_NOCHECK = 0;

template <typename Rec>
struct RecordHolder {
    DBA dba = 0;
    int32_t nType = 0;
    int64_t stamp = STAMP_NOCHECK;
    Rec rec{};
    VarStringHolder var;  // the record's variable field (shadow data, local path)
};

// Makes dba current and checks it: DBDeleted gone, DBUnexpectedRecordType another type,
// DBStampNotFetched stamp still to be fetched, DBRecordModified changed since stamp. With fRefresh
// the record is read into pRecord (a changed record then counts as success) and *pNewStamp receives
// its stamp.
DBStatus ChangeCheck(CDbContext* pdb, DBA dba, int32_t nType, int64_t stamp, bool fRefresh,
                     void* pRecord, int64_t* pNewStamp);

template <typename Rec>
DBStatus CheckHolder(CDbContext* pdb, RecordHolder<Rec>* pHolder, bool fRefresh) {
    int64_t newStamp = pHolder->stamp;
    DBStatus st = ChangeCheck(pdb, pHolder->dba, pHolder->nType, pHolder->stamp, fRefresh,
                              fRefresh ? &pHolder->rec : nullptr, &newStamp);
    if (fRefresh && (st == DBSuccess || st == DBRecordModified)) {
        pHolder->stamp = newStamp;
        return DBSuccess;
    }
    return st;
}

// Reads the current record into the holder with its address and stamp (not the variable field).
template <typename Rec>
DBStatus ReadCurrent(CDbContext* pdb, int32_t nType, RecordHolder<Rec>* pHolder) {
    int rc = pdb->Read(&pHolder->rec);
    uint64_t stamp = 0;
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(&pHolder->dba);
    }
    if (rc == S_OKAY) {
        rc = pdb->CurrentStamp(&stamp);
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    pHolder->nType = nType;
    pHolder->stamp = static_cast<int64_t>(stamp);
    return DBSuccess;
}

// Takes the stamp of the current record into the holder.
template <typename Rec>
DBStatus TakeStamp(CDbContext* pdb, RecordHolder<Rec>* pHolder) {
    uint64_t stamp = 0;
    int rc = pdb->CurrentStamp(&stamp);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    pHolder->stamp = static_cast<int64_t>(stamp);
    return DBSuccess;
}

// Copies text into a fixed field; false when it does not fit with its NUL.
bool CopyField(char* pchField, size_t cbField, const std::string& str);
// The text of a fixed field: its bytes up to the first NUL.
std::string FieldText(const char* pchField, size_t cbField);

}  // namespace catstore
