// Id allocation from the unique-id record.
#include "uniqueids.h"

#include "locks.h"
#include "trace.h"

namespace catstore {

static DBStatus FindUniqueIds(CDbContext* pdb) {
    if (pdb->dbaUniqueIds != 0) {
        int rc = pdb->MakeCurrent(pdb->dbaUniqueIds);
        int32_t nType = 0;
        if (rc == S_OKAY && pdb->CurrentType(&nType) == S_OKAY && nType == DB_UNIQUEIDSREC) {
            return DBSuccess;
        }
        pdb->dbaUniqueIds = 0;
    }
    int rc = pdb->ScanFirst(DB_UNIQUEIDSREC);
    if (rc != S_OKAY) {
        return rc == S_EOS || rc == S_NOTFOUND ? DBNotFound : MapEngineStatus(rc);
    }
    rc = pdb->CurrentDba(&pdb->dbaUniqueIds);
    return rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
}

DBStatus CreateUniqueIds(CDbContext* pdb) {
    CStoreTransaction tx(pdb, "Board Unique ID Write/Create",
                         Packet({DB_BOARDREC, DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        db_uniqueidsrec rec{};
        rec.uniqueidsversion = 25;
        int rc = pdb->Create(DB_UNIQUEIDSREC, &rec);
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&pdb->dbaUniqueIds);
        }
        st = rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
    }
    return tx.Finish(st);
}

// Makes the unique-id record current and reads it.
static DBStatus ReadUniqueIds(CDbContext* pdb, db_uniqueidsrec* pRec) {
    DBStatus st = FindUniqueIds(pdb);
    return st == DBSuccess ? MapEngineStatus(pdb->Read(pRec)) : st;
}

static DBStatus AllocateInside(CDbContext* pdb, IdKind kind, uint32_t cIds, uint32_t dwWish,
                               uint32_t* pdwFirst) {
    db_uniqueidsrec rec{};
    DBStatus st = ReadUniqueIds(pdb, &rec);
    if (st != DBSuccess) {
        return st;
    }
    uint32_t dwCounter = kind == IdKind::User    ? rec.uniqueidsprevuserid
                         : kind == IdKind::Group ? rec.uniqueidsprevgroupid
                                                 : rec.uniqueidsprevresourceid;
    uint32_t dwLimit = kind == IdKind::Resource ? 0xFFFFFFFFu : 0xFFFFu;
    uint32_t dwFirst = dwCounter < dwWish ? dwWish : dwCounter + 1;
    uint64_t qwLast = static_cast<uint64_t>(dwFirst) + cIds - 1;
    if (dwFirst == 0 || qwLast > dwLimit) {
        return DBDuplicate;  // the id space is used up
    }
    uint32_t dwLast = static_cast<uint32_t>(qwLast);
    if (kind == IdKind::User) {
        rec.uniqueidsprevuserid = static_cast<uint16_t>(dwLast);
    } else if (kind == IdKind::Group) {
        rec.uniqueidsprevgroupid = static_cast<uint16_t>(dwLast);
    } else {
        rec.uniqueidsprevresourceid = dwLast;
    }
    int rc = pdb->Write(&rec);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    *pdwFirst = dwFirst;
    return DBSuccess;
}

// Raises the counter of kind to dwId when it is below.
static DBStatus ReserveId(CDbContext* pdb, IdKind kind, uint32_t dwId) {
    db_uniqueidsrec rec{};
    DBStatus st = ReadUniqueIds(pdb, &rec);
    if (st != DBSuccess) {
        return st;
    }
    bool fRaise = false;
    if (kind == IdKind::User && rec.uniqueidsprevuserid < dwId) {
        rec.uniqueidsprevuserid = static_cast<uint16_t>(dwId);
        fRaise = true;
    } else if (kind == IdKind::Group && rec.uniqueidsprevgroupid < dwId) {
        rec.uniqueidsprevgroupid = static_cast<uint16_t>(dwId);
        fRaise = true;
    } else if (kind == IdKind::Resource && rec.uniqueidsprevresourceid < dwId) {
        rec.uniqueidsprevresourceid = dwId;
        fRaise = true;
    }
    return fRaise ? MapEngineStatus(pdb->Write(&rec)) : DBSuccess;
}

DBStatus CreateWithId(CDbContext* pdb, IdKind kind, int32_t nRecType, void* pRecord,
                      uint32_t* pdwId, const std::function<void(uint32_t)>& setId) {
    if (*pdwId != 0) {
        // A wished id: the counter moves past it, so that later ids never collide with it.
        int rc = pdb->Create(nRecType, pRecord);
        if (rc == S_DUPLICATE) {
            return DBDuplicate;
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        DBA dba = 0;
        pdb->CurrentDba(&dba);
        DBStatus st = ReserveId(pdb, kind, *pdwId);
        if (st == DBSuccess) {
            st = MapEngineStatus(pdb->MakeCurrent(dba));
        }
        return st;
    }
    // An allocated id that an earlier wished id already took is skipped.
    for (int nTry = 0; nTry < 1000; ++nTry) {
        DBStatus st = AllocateIds(pdb, kind, 1, 0, pdwId);
        if (st != DBSuccess) {
            return st;
        }
        setId(*pdwId);
        int rc = pdb->Create(nRecType, pRecord);
        if (rc != S_DUPLICATE) {
            return MapEngineStatus(rc);
        }
    }
    return DBDuplicate;
}

DBStatus AllocateIds(CDbContext* pdb, IdKind kind, uint32_t cIds, uint32_t dwWish,
                     uint32_t* pdwFirst) {
    if (cIds == 0) {
        ReportAssertion("ulNumIds != 0", ".\\DBBOARD");
        return DBBadArgument;
    }
    if (pdb->InTransaction()) {
        return AllocateInside(pdb, kind, cIds, dwWish, pdwFirst);
    }
    CStoreTransaction tx(pdb, "Unique IDs", Packet({DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = AllocateInside(pdb, kind, cIds, dwWish, pdwFirst);
    }
    return tx.Finish(st);
}

}  // namespace catstore
