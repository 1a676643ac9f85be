// Catalog information: the board record with its slots, timers and policy, the catalog's name
// and owner, the lock-manager users, the memory report, and the calls that lead from a handle to
// its catalog, its current user or an item in a slot.
#include "board.h"

#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "config.h"
#include "engine.h"
#include "exstring.h"
#include "frame.h"
#include "groups.h"
#include "handles.h"
#include "items.h"
#include "locks.h"
#include "notify.h"
#include "platform/liveobjects.h"
#include "resources.h"
#include "trace.h"
#include "unread.h"
#include "users.h"

namespace catstore {

using qn::platform::ObjectKind;

// Process-wide time spent measuring memory, for the close report.
static uint32_t s_dwMemoryCheckMs = 0;

uint32_t MemoryCheckMilliseconds() {
    return s_dwMemoryCheckMs;
}

// ---- Board record ------------------------------------------------------------------------------

static DBStatus FindBoardRecord(CDbContext* pdb) {
    if (pdb->dbaBoard != 0) {
        int32_t nType = 0;
        if (pdb->MakeCurrent(pdb->dbaBoard) == S_OKAY && pdb->CurrentType(&nType) == S_OKAY &&
            nType == DB_BOARDREC) {
            return DBSuccess;
        }
        pdb->dbaBoard = 0;
    }
    int rc = pdb->ScanFirst(DB_BOARDREC);
    if (rc == S_NOTFOUND) {
        return DBNotFound;
    }
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(&pdb->dbaBoard);
    }
    return MapEngineStatus(rc);
}

DBStatus ReadBoardRecord(CDbContext* pdb, qn::dbms::db_boardrec* pRec) {
    CStoreRead read(pdb, Packet({DB_BOARDREC}, 'r'));
    DBStatus st = read.Status();
    if (st == DBSuccess) {
        st = FindBoardRecord(pdb);
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(pdb->Read(pRec));
    }
    return st;
}

DBStatus WriteBoardRecord(CDbContext* pdb, const qn::dbms::db_boardrec& rec) {
    CStoreTransaction tx(pdb, "Board Info Write/Create",
                         Packet({DB_BOARDREC, DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = FindBoardRecord(pdb);
        if (st == DBNotFound) {
            int rc = pdb->Create(DB_BOARDREC, &rec);
            if (rc == S_OKAY) {
                rc = pdb->CurrentDba(&pdb->dbaBoard);
            }
            st = MapEngineStatus(rc);
        } else if (st == DBSuccess) {
            st = MapEngineStatus(pdb->Write(&rec));
        }
    }
    return tx.Finish(st);
}

// Reads the board record, lets change() alter it and writes it back, all in one transaction
// under the write lock, so that two processes changing different parts (a timer, a slot, the
// policy) do not undo each other's change.
template <typename F>
static DBStatus ModifyBoardRecord(CDbContext* pdb, F&& change) {
    CStoreTransaction tx(pdb, "Board Info Write/Create",
                         Packet({DB_BOARDREC, DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    qn::dbms::db_boardrec rec{};
    if (st == DBSuccess) {
        st = FindBoardRecord(pdb);
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(pdb->Read(&rec));
    }
    if (st == DBSuccess) {
        change(rec);
        st = MapEngineStatus(pdb->Write(&rec));
    }
    return tx.Finish(st);
}

// The catalog information as one state: the board record (with its stamp) and the root item,
// read under one set of read locks, so that no write falls between the two.
static DBStatus ReadBoardInfo(CDbContext* pdb, qn::dbms::db_boardrec* pBoard, uint64_t* pStamp,
                              DB_ITEM* pRoot) {
    CStoreRead read(pdb, Packet({DB_BOARDREC}, 'r') + ItemReadPacket());
    DBStatus st = read.Status();
    if (st == DBSuccess) {
        st = FindBoardRecord(pdb);
    }
    if (st == DBSuccess) {
        int rc = pdb->Read(pBoard);
        if (rc == S_OKAY) {
            rc = pdb->CurrentStamp(pStamp);
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        st = ItemFindByID(pdb, 1, pRoot);
    }
    return st;
}

// Writes both halves of the catalog information in one transaction. Each half must be as it was
// read: a writer that lost the race to another one changes nothing and gets DBRecordModified.
static DBStatus WriteBoardInfo(BOARD_OBJECT* hbrd, const qn::dbms::db_boardrec& board,
                               uint64_t stamp, DB_ITEM* pRoot) {
    CDbContext* pdb = hbrd->pdb;
    CStoreTransaction tx(pdb, "Board Info Write/Create",
                         ItemWritePacket() + Packet({DB_BOARDREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = FindBoardRecord(pdb);
    }
    if (st == DBSuccess) {
        int rc = pdb->TestStamp(stamp);
        st = rc == S_UPDATED ? DBRecordModified
                             : (rc == S_DELETED ? DBDeleted : MapEngineStatus(rc));
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(pdb->Write(&board));
    }
    if (st == DBSuccess) {
        st = ItemWrite(pdb, pRoot, ChangeEntryNotifier, hbrd);
    }
    return tx.Finish(st);
}

}  // namespace catstore

using namespace catstore;

// ---- Catalog information, slots, timers --------------------------------------------------

extern "C" void EXBoardGetInfo(BOARD_OBJECT* hbrd, EX_BOARDINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXBoardGetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        qn::dbms::db_boardrec board{};
        uint64_t stamp = 0;
        DB_ITEM root;
        DBStatus dbs = ReadBoardInfo(hbrd->pdb, &board, &stamp, &root);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
        pInfo->wBoardVersion = board.boardversion;
        pInfo->dwBoardID = board.boardid;
        pInfo->wAccessLevel = root.item.itemaccess.itemaccesslevel;
        pInfo->wAccessGroupOrUserID = root.item.itemaccess.itemaccessgrouporuserid;
        pInfo->wAdminPolicy = board.boardadminpolicy;
        pInfo->dwAdminFlags = board.boardadminflags;
        pInfo->hName = MakeExString(std::string(
            root.item.itemname, strnlen(root.item.itemname, sizeof root.item.itemname)));
        pInfo->wOwner = root.item.uidowner;
        LogLine(LOG_STORE, "EXBoardGetInfo: Name: '%s', Owner: %u, AccessLevel: %u, %s\r\n",
                root.item.itemname, root.item.uidowner, root.item.itemaccess.itemaccesslevel,
                (board.boardadminflags & 1) ? "AllowVisitors" : "~AllowVisitors");
    });
}

extern "C" void EXBoardSetInfo(BOARD_OBJECT* hbrd, const EX_BOARDINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXBoardSetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        std::string strName = ReadExString(pInfo->hName);
        LogLine(LOG_STORE, "EXBoardSetInfo: Name: '%s', Owner: %u, AccessLevel: %u, %s\r\n",
                strName.c_str(), pInfo->wOwner, pInfo->wAccessLevel,
                (pInfo->dwAdminFlags & 1) ? "AllowVisitors" : "~AllowVisitors");
        qn::dbms::db_boardrec board{};
        uint64_t stamp = 0;
        DB_ITEM root;
        DBStatus dbs = ReadBoardInfo(hbrd->pdb, &board, &stamp, &root);
        if (dbs == DBSuccess &&
            !CopyField(root.item.itemname, sizeof root.item.itemname, strName)) {
            dbs = DBNameTooLong;
        }
        if (dbs == DBSuccess) {
            root.item.uidowner = pInfo->wOwner;
            root.item.itemaccess.itemaccesslevel = pInfo->wAccessLevel;
            root.item.itemaccess.itemaccessgrouporuserid = pInfo->wAccessGroupOrUserID;
            board.boardadminpolicy = pInfo->wAdminPolicy;
            board.boardadminflags = pInfo->dwAdminFlags;
            board.boardid = pInfo->dwBoardID;
            root.dwFieldFlags = 0;
            root.item.uidlastmodified = CurrentUserID(hbrd);
            root.item.tmlastmodified = static_cast<uint32_t>(std::time(nullptr));
            dbs = WriteBoardInfo(hbrd, board, stamp, &root);
            if (dbs == DBSuccess) {
                EXNotifySendDeferred(hbrd);
            } else {
                EXNotifyDiscardDeferred(hbrd);
            }
        }
        SetStatus(st, dbs);
    });
}

static ITEM_OBJECT* ItemFromSlot(BOARD_OBJECT* hbrd, DBA dba, EXSM_STATUS* st) {
    if (dba == 0) {
        *st = EXSM_DOES_NOT_EXIST;
        return nullptr;
    }
    DB_ITEM item;
    DBStatus dbs = ItemReadAt(hbrd->pdb, dba, &item);
    if (dbs == DBUnexpectedRecordType) {
        dbs = DBDeleted;
    }
    if (dbs != DBSuccess) {
        SetStatus(st, dbs);
        return nullptr;
    }
    return NewOwnedHandle(hbrd, PutEntry(hbrd, item), DefaultRoutine(hbrd), DefaultValue(hbrd));
}

extern "C" ITEM_OBJECT* EXBoardGetItem(BOARD_OBJECT* hbrd, int nSlot, EXSM_STATUS* status) {
    return RunApi("EXBoardGetItem", status, static_cast<ITEM_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> ITEM_OBJECT* {
                      if (!IsLiveBoard(hbrd)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      if (nSlot < 0 || nSlot >= 16) {
                          *st = EXSM_DOES_NOT_EXIST;
                          return nullptr;
                      }
                      qn::dbms::db_boardrec board{};
                      DBStatus dbs = ReadBoardRecord(hbrd->pdb, &board);
                      if (dbs != DBSuccess) {
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      return ItemFromSlot(hbrd, board.boarditems[nSlot], st);
                  });
}

extern "C" void EXBoardSetItem(BOARD_OBJECT* hbrd, int nSlot, ITEM_OBJECT* hItem,
                               EXSM_STATUS* status) {
    RunApiVoid("EXBoardSetItem", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd) || !CheckItemHandle(hItem, "ToItem")) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        if (nSlot < 0 || nSlot >= 16) {
            *st = EXSM_DOES_NOT_EXIST;
            return;
        }
        CDbContext* pdb = hbrd->pdb;
        CStoreTransaction tx(pdb, "BoardSetItem", Packet({DB_BOARDREC}, 'w'));
        DBStatus dbs = tx.Status();
        qn::dbms::db_boardrec board{};
        if (dbs == DBSuccess) {
            dbs = FindBoardRecord(pdb);
        }
        if (dbs == DBSuccess) {
            dbs = MapEngineStatus(pdb->Read(&board));
        }
        if (dbs == DBSuccess) {
            board.boarditems[nSlot] = hItem->pdbItem->dba;
            dbs = MapEngineStatus(pdb->Write(&board));
        }
        SetStatus(st, tx.Finish(dbs));
    });
}

extern "C" void EXBoardGetTimer(BOARD_OBJECT* hbrd, int nIndex, long* plTimer,
                                EXSM_STATUS* status) {
    RunApiVoid("EXBoardGetTimer", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd) || plTimer == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        if (nIndex < 0 || nIndex >= 16) {
            *st = EXSM_DOES_NOT_EXIST;
            return;
        }
        qn::dbms::db_boardrec board{};
        DBStatus dbs = ReadBoardRecord(hbrd->pdb, &board);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
        plTimer[0] = static_cast<long>(board.boardtimers[nIndex].boardtimeinterval);
        plTimer[1] = static_cast<long>(board.boardtimers[nIndex].boardtimestamp);
    });
}

extern "C" void EXBoardSetTimer(BOARD_OBJECT* hbrd, int nIndex, const long* plTimer,
                                EXSM_STATUS* status) {
    RunApiVoid("EXBoardSetTimer", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd) || plTimer == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        if (nIndex < 0 || nIndex >= 16) {
            *st = EXSM_DOES_NOT_EXIST;
            return;
        }
        DBStatus dbs = ModifyBoardRecord(hbrd->pdb, [&](qn::dbms::db_boardrec& board) {
            board.boardtimers[nIndex].boardtimeinterval = static_cast<uint32_t>(plTimer[0]);
            board.boardtimers[nIndex].boardtimestamp = static_cast<uint32_t>(plTimer[1]);
        });
        SetStatus(st, dbs);
    });
}

extern "C" ITEM_OBJECT* EXUserGetItem(USER_OBJECT* hUser, int nSlot, EXSM_STATUS* status) {
    return RunApi("EXUserGetItem", status, static_cast<ITEM_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> ITEM_OBJECT* {
                      if (!IsLiveUser(hUser)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      if (nSlot < 0 || nSlot >= 16) {
                          *st = EXSM_DOES_NOT_EXIST;
                          return nullptr;
                      }
                      BOARD_OBJECT* hbrd = hUser->hBoard;
                      {
                          CStoreRead read(hbrd->pdb,
                                          Packet({DB_USERREC}, 'r') + VarStringPacket('r'));
                          DBStatus dbs = read.Status();
                          if (dbs == DBSuccess) {
                              dbs = CheckHolder(hbrd->pdb, &hUser->holder, true);
                          }
                          if (dbs == DBSuccess) {
                              // The shadow data follows the re-read record, so that a later write
                              // of this user neither fails on nor overwrites another's change.
                              UserHolder& user = hUser->holder;
                              if (user.var.dba != user.rec.usershadowdata) {
                                  user.var.dba = user.rec.usershadowdata;
                                  user.var.stamp = 0;
                              }
                              dbs = VarStringRead(&user.var, hbrd->pdb);
                          }
                          if (dbs != DBSuccess) {
                              SetStatus(st, dbs);
                              return nullptr;
                          }
                      }
                      return ItemFromSlot(hbrd, hUser->holder.rec.useritems[nSlot], st);
                  });
}

extern "C" void EXUserSetItem(USER_OBJECT* hUser, int nSlot, ITEM_OBJECT* hItem,
                              EXSM_STATUS* status) {
    RunApiVoid("EXUserSetItem", status, [&](EXSM_STATUS* st) {
        if (!IsLiveUser(hUser) || !CheckItemHandle(hItem, "ToItem")) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        SetStatus(st, UserSetItem(hUser->hBoard->pdb, &hUser->holder, nSlot, hItem->pdbItem->dba));
    });
}

extern "C" ITEM_OBJECT* EXBoardGetRootFolder(BOARD_OBJECT* hbrd) {
    EXSM_STATUS st = EXSM_SUCCESS;
    return RunApi("EXBoardGetRootFolder", &st, static_cast<ITEM_OBJECT*>(nullptr),
                  [&](EXSM_STATUS*) -> ITEM_OBJECT* {
                      if (!IsLiveBoard(hbrd) || hbrd->pNotify == nullptr) {
                          return nullptr;
                      }
                      DBStatus dbs = DBSuccess;
                      CItemEntry* pEntry = FindOrLoadEntry(hbrd, 1, &dbs);
                      if (pEntry == nullptr) {
                          return nullptr;
                      }
                      return NewOwnedHandle(hbrd, pEntry, DefaultRoutine(hbrd), DefaultValue(hbrd));
                  });
}

extern "C" BOARD_OBJECT* EXBoardFromItem(ITEM_OBJECT* hItem) {
    return RunApiNoStatus("EXBoardFromItem", static_cast<BOARD_OBJECT*>(nullptr),
                          [&]() { return IsLiveItem(hItem) ? hItem->hBoard : nullptr; });
}

extern "C" BOARD_OBJECT* EXBoardFromGroup(GROUP_OBJECT* hGroup) {
    return RunApiNoStatus("EXBoardFromGroup", static_cast<BOARD_OBJECT*>(nullptr),
                          [&]() { return IsLiveGroup(hGroup) ? hGroup->hBoard : nullptr; });
}

extern "C" BOARD_OBJECT* EXBoardFromUser(USER_OBJECT* hUser) {
    return RunApiNoStatus("EXBoardFromUser", static_cast<BOARD_OBJECT*>(nullptr),
                          [&]() { return IsLiveUser(hUser) ? hUser->hBoard : nullptr; });
}

extern "C" USER_OBJECT* EXBoardGetCurrentUser(BOARD_OBJECT* hbrd) {
    return RunApiNoStatus("EXBoardGetCurrentUser", static_cast<USER_OBJECT*>(nullptr),
                          [&]() { return IsLiveBoard(hbrd) ? hbrd->hCurrentUser : nullptr; });
}

extern "C" uint32_t EXBoardVersion(BOARD_OBJECT* hbrd) {
    return RunApiNoStatus("EXBoardVersion", 0u, [&]() -> uint32_t {
        if (!IsLiveBoard(hbrd)) {
            return 0;
        }
        qn::dbms::db_boardrec board{};
        DBStatus dbs = ReadBoardRecord(hbrd->pdb, &board);
        if (dbs == DBNotFound) {
            return 0;
        }
        if (dbs != DBSuccess || board.boardversion >= 13) {
            return 0xFFFF;
        }
        return board.boardversion;
    });
}

extern "C" void EXBoardGetCurrentUsers(BOARD_OBJECT* hbrd, short* pnCount, void* pArray,
                                       EXSM_STATUS* status) {
    RunApiVoid("EXBoardGetCurrentUsers", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        int n = 0;
        if (pArray != nullptr) {
            uint32_t dwBounds = 0;
            std::memcpy(&dwBounds, pArray, sizeof dwBounds);
            int nLower = static_cast<int>(dwBounds & 0xFFFF);
            int nUpper = static_cast<int>(dwBounds >> 16);
            n = nUpper >= nLower ? nUpper - nLower + 1 : 0;
        }
        std::vector<std::string> names(static_cast<size_t>(n > 0 ? n : 1));
        int nCount = 0;
        int rc = hbrd->pdb->ListUsers(names.data(), n, &nCount);
        if (rc == S_NOUSER) {
            *st = EXSM_LOCK_MANAGER_NOT_FOUND;
            return;
        }
        if (rc != S_OKAY) {
            SetStatus(st, MapEngineStatus(rc));
            return;
        }
        if (pnCount != nullptr) {
            *pnCount = static_cast<short>(nCount);
        }
        auto* pEntries = static_cast<char*>(pArray) + 4;
        for (int i = 0; i < n && i < nCount; ++i) {
            char* pEntry = pEntries + 16 * i;
            std::memset(pEntry, 0, 16);
            std::memcpy(pEntry, names[static_cast<size_t>(i)].data(),
                        std::min<size_t>(names[static_cast<size_t>(i)].size(), 15));
        }
    });
}

extern "C" void EXBoardClearUser(BOARD_OBJECT* hbrd, const char* pszUserID, EXSM_STATUS* status) {
    RunApiVoid("EXBoardClearUser", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        LogLine(LOG_STORE, "EXSM: Clearing user '%s'...\r\n", pszUserID ? pszUserID : "");
        int rc = hbrd->pdb->ClearUser(pszUserID ? pszUserID : "");
        if (rc == S_NOUSER) {
            *st = EXSM_LOCK_MANAGER_NOT_FOUND;
        } else if (rc != S_OKAY) {
            SetStatus(st, MapEngineStatus(rc));
        }
    });
}

namespace catstore {

// The figures of the memory report; with fCompact the cache is trimmed first and free heap
// memory goes back to the system.
static EX_MEMORYUSAGE MeasureMemory(BOARD_OBJECT* hbrd, bool fCompact) {
    EX_MEMORYUSAGE usage{};
    usage.cbSize = sizeof usage;
    CacheUsage cache = CacheMemoryUsage(hbrd, fCompact);
    QueueUsage(hbrd, &usage.dwNotifyCount, &usage.cbNotify);
    usage.dwRetiredCapacity = cache.dwRetiredCapacity;
    usage.dwRetiredCount = cache.dwRetiredCount;
    usage.cbRetired = cache.cbRetired;
    usage.dwEntryCount = cache.dwEntryCount;
    usage.dwEntriesInUse = cache.dwEntriesInUse;
    usage.cbEntries = cache.cbEntries;
    if (hbrd->pUnread != nullptr) {
        usage.dwUnreadCount = hbrd->pUnread->Count();
        usage.cbUnread =
            static_cast<uint32_t>(std::min<uint64_t>(hbrd->pUnread->Bytes(), 0xFFFFFFFFu));
    }
    usage.dwHandleCount = qn::platform::CountLiveObjects(ObjectKind::User) +
                          qn::platform::CountLiveObjects(ObjectKind::Group) +
                          qn::platform::CountLiveObjects(ObjectKind::Resource) +
                          qn::platform::CountLiveObjects(ObjectKind::Item);
    usage.cbHandles = qn::platform::CountLiveObjects(ObjectKind::User) * sizeof(USER_OBJECT) +
                      qn::platform::CountLiveObjects(ObjectKind::Group) * sizeof(GROUP_OBJECT) +
                      qn::platform::CountLiveObjects(ObjectKind::Resource) * ResourceObjectSize() +
                      qn::platform::CountLiveObjects(ObjectKind::Item) * sizeof(ITEM_OBJECT);
    usage.cbTotal =
        usage.cbNotify + usage.cbRetired + usage.cbEntries + usage.cbUnread + usage.cbHandles;
    if (fCompact) {
        ::malloc_trim(0);
        if ((TuningTestingFilter() & 0x200) != 0) {
            struct mallinfo2 mi = ::mallinfo2();
            LogLine(LOG_STORE, "CRT Heap Totals: %lu used(%lu bytes), %lu free(%lu bytes)\r\n",
                    static_cast<unsigned long>(mi.hblks),
                    static_cast<unsigned long>(mi.uordblks + mi.hblkhd),
                    static_cast<unsigned long>(mi.ordblks),
                    static_cast<unsigned long>(mi.fordblks));
        }
    }
    return usage;
}

void CheckMemoryUsage(BOARD_OBJECT* hbrd) {
    if (hbrd->dwMemoryThreshold == 0) {
        return;
    }
    uint32_t dwStart = QNGetTickCount();
    EX_MEMORYUSAGE usage = MeasureMemory(hbrd, false);
    if (usage.cbTotal > hbrd->dwMemoryThreshold) {
        LogLine(LOG_STORE, "!!! MemoryUsage Threshold Exceeded, %lu > %lu\r\n",
                static_cast<unsigned long>(usage.cbTotal),
                static_cast<unsigned long>(hbrd->dwMemoryThreshold));
        MeasureMemory(hbrd, true);
    }
    s_dwMemoryCheckMs += QNGetTickCount() - dwStart;
}

}  // namespace catstore

using namespace catstore;

extern "C" void EXBoardMemoryUsage(BOARD_OBJECT* hbrd, EX_MEMORYUSAGE* pUsage, int fCompact,
                                   EXSM_STATUS* status) {
    RunApiVoid("EXBoardMemoryUsage", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        uint32_t dwStart = QNGetTickCount();
        EX_MEMORYUSAGE usage = MeasureMemory(hbrd, fCompact != 0);
        if (pUsage != nullptr) {
            uint32_t cb = pUsage->cbSize != 0 && pUsage->cbSize < sizeof usage ? pUsage->cbSize
                                                                               : sizeof usage;
            std::memcpy(pUsage, &usage, cb);
            pUsage->cbSize = cb;
        }
        s_dwMemoryCheckMs += QNGetTickCount() - dwStart;
    });
}
