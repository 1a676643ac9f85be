// The change log: entries written with every item change, read by the other processes.
#include "changelog.h"

#include <ctime>
#include <new>

#include "board.h"
#include "frame.h"
#include "items.h"
#include "locks.h"
#include "notify.h"
#include "trace.h"
#include "users.h"

namespace catstore {

static uint32_t PackAccess(const qn::dbms::db_itemrec& item) {
    return static_cast<uint32_t>(item.itemaccess.itemaccesslevel) |
           (static_cast<uint32_t>(item.itemaccess.itemaccessgrouporuserid) << 16);
}

uint16_t CurrentUserID(BOARD_OBJECT* hbrd) {
    if (IsLiveBoard(hbrd) && hbrd->hCurrentUser != nullptr) {
        return hbrd->hCurrentUser->holder.rec.userid;
    }
    return 1;
}

// The entry is the change as every other process learns it: it is written even when this
// process cannot queue its own notification (memory exhausted; the operations reserve room first).
static void QueueFromEntry(BOARD_OBJECT* hbrd, const qn::dbms::db_changeentryrec& e) {
    try {
        EXNotifyQueueEvent(hbrd, e.changeitemid, e.changeparentid, e.changekind, e.changefields);
    } catch (const std::bad_alloc&) {
        ReportAssertion("pieGrown != NULL", ".\\EXNOTIFY");
    }
}

DBStatus WriteChangeEntry(CDbContext* pdb, DB_ITEM* pItem, const DB_ITEM* pOther,
                          ChangeNotifier pfnNotifier, unsigned short wKind, BOARD_OBJECT* hbrd) {
    DB_CHANGEINFO info;
    info.entry.changeitemid = pItem->item.itemid;
    info.entry.changeparentid = pOther ? pOther->item.itemid : pItem->item.itemparentid;
    info.entry.changeaccess = PackAccess(pItem->item);
    if (pfnNotifier == nullptr || pfnNotifier(&info, pItem, wKind, hbrd) == 0) {
        return DBSuccess;
    }
    if (!info.data.value.empty()) {
        DBStatus st = VarStringWrite(&info.data, pdb, VSK_CHANGEDATA);
        if (st != DBSuccess) {
            return st;
        }
        info.entry.changedata = info.data.dba;
    }
    int rc = pdb->Create(DB_CHANGEENTRYREC, &info.entry);
    return rc == S_DUPLICATE ? DBDuplicate : MapEngineStatus(rc);
}

static bool IgnoredEntry(const DB_ITEM* pItem, uint32_t dwFields) {
    if ((dwFields & ITEMFIELDS_SIGNIFICANT) != 0) {
        return false;
    }
    LogLine(LOG_STORE, "Ignoring change entry on Fields=0x%08lX, Name='%s', ID=%lu\r\n",
            static_cast<unsigned long>(dwFields), pItem->item.itemname,
            static_cast<unsigned long>(pItem->item.itemid));
    return true;
}

static qn::dbms::db_changeentryrec OperationEntry(BOARD_OBJECT* hbrd, const DB_ITEM* pItem,
                                                  unsigned short wKind, uint32_t dwFields) {
    qn::dbms::db_changeentryrec e{};
    e.changeaccess = PackAccess(pItem->item);
    e.changeitemid = pItem->item.itemid;
    e.changeparentid = pItem->item.itemparentid;
    e.changeuserid = CurrentUserID(hbrd);
    e.changefields = dwFields;
    e.changekind = wKind;
    e.changetime = static_cast<uint32_t>(std::time(nullptr));
    return e;
}

static DBStatus CreateOperationEntry(CDbContext* pdb, const qn::dbms::db_changeentryrec& e) {
    int rc = pdb->Create(DB_CHANGEENTRYREC, &e);
    return rc == S_DUPLICATE ? DBDuplicate : MapEngineStatus(rc);
}

DBStatus ChgLogWriteEntry(BOARD_OBJECT* hbrd, const DB_ITEM* pItem, unsigned short wKind,
                          uint32_t dwFields) {
    if (IgnoredEntry(pItem, dwFields)) {
        return DBSuccess;
    }
    return CreateOperationEntry(hbrd->pdb, OperationEntry(hbrd, pItem, wKind, dwFields));
}

EXSM_STATUS ChgLogAddEntry(BOARD_OBJECT* hbrd, const DB_ITEM* pItem, unsigned short wKind,
                           uint32_t dwFields) {
    if (IgnoredEntry(pItem, dwFields)) {
        return EXSM_SUCCESS;
    }
    const qn::dbms::db_changeentryrec e = OperationEntry(hbrd, pItem, wKind, dwFields);
    CDbContext* pdb = hbrd->pdb;
    CStoreTransaction tx(pdb, "ChgLogAddEntry", Packet({DB_CHANGEENTRYREC, DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CreateOperationEntry(pdb, e);
    }
    st = tx.Finish(st);
    EXSM_STATUS status = EXSM_SUCCESS;
    SetStatus(&status, st);
    return status;
}

// One scan step with the read-error recovery: on S_READ the step is retried once under a read
// lock on the record type.
template <typename F>
static int StepWithRecovery(CDbContext* pdb, const char* pszWhat, F&& step) {
    int rc = step();
    if (rc == S_READ) {
        LogLine(LOG_ENGINE, "EXDB: !!! S_READ error detected while %s change log\r\n", pszWhat);
        pdb->LockOne(DB_CHANGEENTRYREC, 'r');
        rc = step();
        if (!pdb->InTransaction()) {
            pdb->FreeReadLocks();
        }
    }
    return rc;
}

DBStatus ChangeLogProcessEntries(CDbContext* pdb, uint16_t wCurrentUser, DBA* pdbaPosition,
                                 ChangeEntryRoutine pfnRoutine, BOARD_OBJECT* hbrd) {
    DBA dbaLast = 0;
    {
        int rc = pdb->LockOne(DB_CHANGEENTRYREC, 'r');
        if (rc == S_UNAVAIL) {
            return DBLockRefused;
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        rc = pdb->ScanLast(DB_CHANGEENTRYREC);
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dbaLast);
        }
        if (!pdb->InTransaction()) {
            pdb->FreeReadLocks();
        }
        if (rc == S_NOTFOUND) {
            return DBSuccess;  // an empty log
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
    }
    if (dbaLast == *pdbaPosition) {
        return DBSuccess;
    }
    if (*pdbaPosition == 0) {
        *pdbaPosition = dbaLast;
        return DBSuccess;
    }
    int rc = StepWithRecovery(pdb, "seeking", [&]() {
        int r = pdb->MakeCurrent(*pdbaPosition);
        return r == S_OKAY ? pdb->ScanSet(DB_CHANGEENTRYREC) : r;
    });
    if (rc != S_OKAY) {
        return rc == S_DELETED ? DBDeleted : MapEngineStatus(rc);
    }
    // The entries are read in batches under a short read lock on the record type: one storage
    // snapshot per batch instead of one per engine call, and writers wait at most one batch.
    constexpr int BATCH = 512;
    bool fOwnLock = !pdb->InTransaction();
    int nInBatch = 0;
    auto endBatch = [&]() {
        if (fOwnLock && nInBatch > 0) {
            pdb->FreeReadLocks();
        }
        nInBatch = 0;
    };
    for (;;) {
        if (fOwnLock && nInBatch == 0) {
            int rcLock = pdb->LockOne(DB_CHANGEENTRYREC, 'r');
            if (rcLock == S_UNAVAIL) {
                return DBLockRefused;
            }
            nInBatch = rcLock == S_OKAY ? 1 : 0;
            if (nInBatch == 1) {
                // A fresh snapshot: find our place again.
                int r = pdb->MakeCurrent(*pdbaPosition);
                if (r == S_OKAY) {
                    r = pdb->ScanSet(DB_CHANGEENTRYREC);
                }
                if (r != S_OKAY) {
                    endBatch();
                    return r == S_DELETED ? DBDeleted : MapEngineStatus(r);
                }
            }
        } else if (nInBatch > 0 && ++nInBatch >= BATCH) {
            endBatch();
            continue;
        }
        qn::dbms::db_changeentryrec e{};
        DBA dba = 0;
        rc = StepWithRecovery(pdb, "reading", [&]() {
            int r = pdb->ScanNext(DB_CHANGEENTRYREC);
            if (r == S_OKAY) {
                r = pdb->Read(&e);
            }
            if (r == S_OKAY) {
                r = pdb->CurrentDba(&dba);
            }
            return r;
        });
        if (rc == S_NOTFOUND) {
            endBatch();
            return DBSuccess;
        }
        if (rc != S_OKAY) {
            endBatch();
            return MapEngineStatus(rc);
        }
        *pdbaPosition = dba;
        if (e.changeuserid == wCurrentUser) {
            continue;
        }
        if (pfnRoutine != nullptr) {
            pfnRoutine(&e, 14, hbrd);
        }
    }
}

}  // namespace catstore

using namespace catstore;

static int FillChangeEntry(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                           BOARD_OBJECT* hbrd) {
    if (wKind == EX_CHANGE_MODIFIED && pItem->dwFieldFlags != 0 &&
        (pItem->dwFieldFlags & ITEMFIELDS_SIGNIFICANT) == 0) {
        return 0;
    }
    LogLine(LOG_STORE, "CHGLOG: Creating entry for %s event: ID=%lu, %s\r\n", ChangeKindName(wKind),
            static_cast<unsigned long>(pItem->item.itemid), pItem->item.itemname);
    qn::dbms::db_changeentryrec& e = pChange->entry;
    e.changedata = 0;
    e.changekind = wKind;
    e.changetime = static_cast<uint32_t>(std::time(nullptr));
    e.changeuserid = CurrentUserID(hbrd);
    switch (wKind) {
        case EX_CHANGE_CREATED:
            e.changefields = AllFieldsMask(*pItem);
            e.changeuserid = pItem->item.uidlastmodified;
            break;
        case EX_CHANGE_MODIFIED:
            // Flags 0 mean that every part was written; the item stayed in its folder.
            e.changefields = pItem->dwFieldFlags != 0 ? pItem->dwFieldFlags
                                                      : AllFieldsMask(*pItem) & ~ITEMFIELDS_PARENT;
            e.changeuserid = pItem->item.uidlastmodified;
            break;
        case EX_CHANGE_DESTROYED:
            e.changefields = 0xFFFFFFFFu;
            break;
        case EX_CHANGE_ADDREF:
        case EX_CHANGE_REMOVEREF:
            e.changefields = pItem->dwRefTag;
            pItem->dwRefTag = 0;
            if (IsLiveBoard(hbrd) && hbrd->wReferenceFlag != 0) {
                e.changeuserid = 1;
            }
            break;
        default:
            ReportAssertion("FALSE", ".\\CHGLOG");
            break;
    }
    if (IsLiveBoard(hbrd)) {
        QueueFromEntry(hbrd, e);
    }
    return 1;
}

static int FillCopyEntry(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                         BOARD_OBJECT* hbrd) {
    LogLine(LOG_STORE, "CHGLOG: Creating entry for %s event: ID=%lu, %s\r\n", ChangeKindName(wKind),
            static_cast<unsigned long>(pItem->item.itemid), pItem->item.itemname);
    qn::dbms::db_changeentryrec& e = pChange->entry;
    e.changedata = 0;
    e.changefields = AllFieldsMask(*pItem);
    e.changekind = wKind;
    e.changetime = static_cast<uint32_t>(std::time(nullptr));
    e.changeuserid = CurrentUserID(hbrd);
    if (IsLiveBoard(hbrd)) {
        QueueFromEntry(hbrd, e);
    }
    return 1;
}

// The exported notifiers: nothing is thrown to the caller; a failure (out of memory while
// queueing the event) writes no entry.
extern "C" int ChangeEntryNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                                   BOARD_OBJECT* hbrd) {
    return RunApiNoStatus(nullptr, 0, [&] {
        if (pChange == nullptr || pItem == nullptr) {
            return 0;
        }
        return FillChangeEntry(pChange, pItem, wKind, hbrd);
    });
}

extern "C" int ItemCopyNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                                BOARD_OBJECT* hbrd) {
    return RunApiNoStatus(nullptr, 0, [&] {
        if (pChange == nullptr || pItem == nullptr) {
            return 0;
        }
        return FillCopyEntry(pChange, pItem, wKind, hbrd);
    });
}
