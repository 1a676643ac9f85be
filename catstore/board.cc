// The catalog lifecycle: create, open, connect, close, refresh, bind-current.
#include "board.h"

#include <strings.h>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>

#include "changelog.h"
#include "config.h"
#include "engine.h"
#include "engineopen.h"
#include "exstring.h"
#include "frame.h"
#include "groups.h"
#include "items.h"
#include "locks.h"
#include "notify.h"
#include "platform/liveobjects.h"
#include "platform/profile.h"
#include "reclaim.h"
#include "trace.h"
#include "uniqueids.h"
#include "unread.h"
#include "upgrade.h"
#include "userfolders.h"
#include "users.h"

namespace catstore {

using qn::platform::ObjectKind;
namespace profile = qn::platform::profile;

bool IsLiveBoard(const BOARD_OBJECT* hbrd) {
    return hbrd != nullptr && qn::platform::IsLiveObject(hbrd, ObjectKind::Board);
}

bool IsVisibleTo(BOARD_OBJECT* hbrd, uint16_t wLevel, uint16_t wId, uint16_t wOwner) {
    if (hbrd->fSystem || hbrd->hCurrentUser == nullptr) {
        return true;
    }
    uint16_t wUser = hbrd->hCurrentUser->holder.rec.userid;
    if (wOwner != 0 && wOwner == wUser) {
        return true;
    }
    if (wLevel == 2) {
        if (hbrd->pCurrentGroups != nullptr) {
            for (GROUP_OBJECT* g : hbrd->pCurrentGroups->entries) {
                if (g->holder.rec.groupid == wId) {
                    return true;
                }
            }
        }
        return false;
    }
    if (wLevel == 3) {
        return wId == 0 || wId == wUser;
    }
    return true;
}

bool IsItemVisible(BOARD_OBJECT* hbrd, const DB_ITEM& item) {
    return IsVisibleTo(hbrd, item.item.itemaccess.itemaccesslevel,
                       item.item.itemaccess.itemaccessgrouporuserid, item.item.uidowner);
}

// ---- Open, close ---------------------------------------------------------------------------

static void FreeBoard(BOARD_OBJECT* hbrd) {
    if (hbrd == nullptr) {
        return;
    }
    qn::platform::UnregisterLiveObject(hbrd);
    // The cached items and the lists go before the engine task they were read with.
    DestroyNotifierTable(hbrd);
    if (hbrd->pdb != nullptr) {
        hbrd->pdb->DestroyTask();
        delete hbrd->pdb;
        hbrd->pdb = nullptr;
    }
    if (hbrd->pClientEntry != nullptr) {
        RemoveClient(hbrd->pClientEntry);
        hbrd->pClientEntry = nullptr;
    }
    FreeUnreadSet(hbrd->pUnread);
    FreeUserObject(hbrd->hCurrentUser);
    FreeGroupIterator(hbrd->pCurrentGroups);
    FreeUserIterator(hbrd->pAllUsers);
    ReclaimHandle(hbrd);
}

// Writes the current user's unread marks and change-log position back.
static void FinalizeUnread(BOARD_OBJECT* hbrd) {
    if (hbrd->pUnread != nullptr && hbrd->pUnread->WriteBack() != DBSuccess) {
        ReportAssertion("!IS_EXERROR (&CommitStatus)", ".\\EXUNREAD");
    }
}

// Frees a board under construction when an exception (an allocation failure) leaves its
// scope, so that no client entry, engine task or lock-manager user outlives the failed call.
class CBoardUnderConstruction {
  public:
    explicit CBoardUnderConstruction(BOARD_OBJECT* hbrd) : m_hbrd(hbrd) {}
    ~CBoardUnderConstruction() {
        if (std::uncaught_exceptions() > m_nUncaught) {
            FreeBoard(m_hbrd);
        }
    }
    CBoardUnderConstruction(const CBoardUnderConstruction&) = delete;
    CBoardUnderConstruction& operator=(const CBoardUnderConstruction&) = delete;

  private:
    BOARD_OBJECT* m_hbrd;
    int m_nUncaught = std::uncaught_exceptions();
};

static BOARD_OBJECT* OpenBoard(const char* pszPath, const char* pszUserName,
                               const char* pszPassword, int nOpenMode, uint32_t dwOpenOption,
                               uintptr_t ulA, uintptr_t ulB, EX_BOARDCALLBACK pfnCallback,
                               EXSM_STATUS* status) {
    for (;;) {
        auto* hbrd = new BOARD_OBJECT;
        CBoardUnderConstruction guard(hbrd);
        DBStatus st = RegisterClient(&hbrd->pClientEntry);
        if (st != DBSuccess) {
            hbrd->pClientEntry = nullptr;
            FreeBoard(hbrd);
            SetStatus(status, st);
            return nullptr;
        }
        qn::platform::RegisterLiveObject(hbrd, ObjectKind::Board);
        std::string strUser = pszUserName ? pszUserName : "";
        hbrd->strPath = pszPath;
        hbrd->strCatalogIni = CatalogIniPath(hbrd->strPath);
        std::string strUserID = LookupUserIDString(hbrd->strCatalogIni, strUser);
        hbrd->strUserIni = UserIniPath(hbrd->strPath, strUserID);
        hbrd->nLockMgr = static_cast<uint32_t>(
            profile::ReadInt(INI_TUNING_SECTION, "LockMgr", 0, hbrd->strCatalogIni.c_str()));
        if (nOpenMode == 1 && profile::ReadInt(INI_TUNING_SECTION, "SingleUserMode", 0,
                                               hbrd->strCatalogIni.c_str()) != 0) {
            nOpenMode = 0;
        }
        auto fail = [&](DBStatus dbs) -> BOARD_OBJECT* {
            FreeBoard(hbrd);
            SetStatus(status, dbs);
            return nullptr;
        };
        auto failEx = [&](EXSM_STATUS ex) -> BOARD_OBJECT* {
            FreeBoard(hbrd);
            *status = ex;
            return nullptr;
        };
        st = EngineOpen(hbrd, strUserID, ModeString(nOpenMode));
        if (st != DBSuccess) {
            return fail(st);
        }
        CDbContext* pdb = hbrd->pdb;
        // Step 10: the stored version.
        qn::dbms::db_boardrec board{};
        st = ReadBoardRecord(pdb, &board);
        if (st == DBNotFound) {
            board.boardversion = 0;
        } else if (st == DBLockRefused || st == DBOutOfMemory) {
            return fail(st);
        } else if (st != DBSuccess) {
            // A board record that cannot be read names no version this store can open.
            return fail(DBInvalidCatalogFile);
        }
        VersionTreatment treatment =
            TreatBoardVersion(board.boardversion, nOpenMode, pdb->OlderDictionary());
        if (treatment == VersionTreatment::Refuse) {
            return fail(DBInvalidCatalogFile);
        }
        // Step 11.
        hbrd->fSystem = 1;
        hbrd->nTransactionDepth = 0;
        hbrd->dwOpenOption = dwOpenOption;
        hbrd->ulItemContextA = ulA;
        hbrd->ulItemContextB = ulB;
        hbrd->dwMemoryThreshold = TuningSMCachePages() * 4096u;
        hbrd->pNotify = new NotifierTable;
        // Step 12: an older catalog is brought up to date with its first-open folders.
        if (treatment == VersionTreatment::Upgrade) {
            st = UpgradeCatalog(hbrd, board.boardversion);
            if (st != DBSuccess) {
                return fail(st);
            }
        }
        // Step 13.
        if (pfnCallback != nullptr) {
            EXSM_STATUS ex = pfnCallback(hbrd, 1);
            if (ex != EXSM_SUCCESS) {
                return failEx(ex);
            }
        }
        // Step 14: the root item.
        DB_ITEM root;
        st = ItemFindByID(pdb, 1, &root);
        if (st != DBSuccess) {
            return fail(st == DBNotFound ? DBInvalidCatalogFile : st);
        }
        // Step 15: the user (held here until it becomes the current user, so that a failure
        // frees it).
        std::unique_ptr<USER_OBJECT, void (*)(USER_OBJECT*)> pUser(NewUserObject(hbrd, 1),
                                                                   FreeUserObject);
        st = UserFindByName(pdb, strUser, &pUser->holder);
        if (st == DBUserNotFound) {
            pUser.reset();
            if (pfnCallback != nullptr && root.item.itemaccess.itemaccesslevel == 1) {
                EXSM_STATUS ex = pfnCallback(hbrd, 2);
                FreeBoard(hbrd);
                if (ex != EXSM_SUCCESS) {
                    *status = ex;
                    return nullptr;
                }
                pfnCallback = nullptr;
                continue;  // open again now that the caller has made the user
            }
            return failEx(EXSM_ACCESS_DENIED);
        }
        if (st != DBSuccess) {
            return fail(st);
        }
        // Step 16: the password.
        if (!PasswordMatches(pszPassword ? pszPassword : "", pUser->holder.rec.userpassword)) {
            return failEx(EXSM_ACCESS_DENIED);
        }
        // Step 17.
        USER_OBJECT* hUser = pUser.release();
        hbrd->hCurrentUser = hUser;
        hbrd->fSystem = strcasecmp(strUser.c_str(), "SYSTEM") == 0 ? 1 : 0;
        // Marks that cannot be read would be lost at close, when the set is written back.
        hbrd->pUnread = NewUnreadSet();
        st = hbrd->pUnread->Load(pdb, hUser->holder.dba, hUser->holder.rec);
        if (st != DBSuccess) {
            FreeUnreadSet(hbrd->pUnread);
            hbrd->pUnread = nullptr;
            return fail(st);
        }
        // A session on a short list of groups would judge visibility wrongly: a list that cannot
        // be read fails the open.
        st = FillUserGroups(hbrd, hUser->holder.dba, &hbrd->pCurrentGroups);
        if (st == DBSuccess) {
            st = FillAllUsers(hbrd, &hbrd->pAllUsers);
        }
        if (st != DBSuccess) {
            return fail(st);
        }
        // Step 18.
        st = MakeMissingUserFolders(hbrd, &hUser->holder, hbrd->fSystem != 0);
        if (st != DBSuccess) {
            return fail(st);
        }
        if (!hbrd->fSystem && strUserID == "SYSTEM") {
            // A user whose create was cut short after its commit has no configuration entry yet.
            strUserID = MakeUserIDString(strUser, hUser->holder.rec.userid);
            WriteUserConfig(hbrd->strPath, hbrd->strCatalogIni, strUser, strUserID);
            hbrd->strUserIni = UserIniPath(hbrd->strPath, strUserID);
        }
        // Step 19.
        uint16_t wUser = hUser->holder.rec.userid;
        if (!hbrd->fSystem && root.item.uidowner != wUser &&
            !IsVisibleTo(hbrd, root.item.itemaccess.itemaccesslevel,
                         root.item.itemaccess.itemaccessgrouporuserid, 0)) {
            return failEx(EXSM_ACCESS_DENIED);
        }
        // Step 20.
        EXSM_STATUS exRefresh = EXSM_SUCCESS;
        RefreshBoard(hbrd, &exRefresh);
        if (exRefresh != EXSM_SUCCESS) {
            return failEx(exRefresh);
        }
        st = BindTask(hbrd);
        if (st != DBSuccess) {
            return fail(st);
        }
        return hbrd;
    }
}

// The change-log reader hands each entry to the intake of the notification.
static int TakeEntry(qn::dbms::db_changeentryrec* pEntry, unsigned short wUnused,
                     BOARD_OBJECT* hbrd) {
    return ProcessChangeEntry(reinterpret_cast<EX_CHANGEENTRY*>(pEntry), wUnused, hbrd);
}

void RefreshBoard(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    if (hbrd->hCurrentUser == nullptr || hbrd->pUnread == nullptr) {
        return;
    }
    TimerStart("TIMER: Start EXChangeLogProcessEntries...");
    DBStatus st = ChangeLogProcessEntries(hbrd->pdb, hbrd->hCurrentUser->holder.rec.userid,
                                          hbrd->pUnread->LastChange(), TakeEntry, hbrd);
    TimerStop("TIMER: Stop EXChangeLogProcessEntries");
    if (st != DBSuccess) {
        // What was taken in before the failure is delivered all the same: the position moved.
        EXNotifySendDeferred(hbrd);
        SetStatus(status, st);
        return;
    }
    TimerStart("TIMER: Start EXNotifySendDeferred...");
    EXNotifySendDeferred(hbrd);
    TimerStop("TIMER: Stop EXNotifySendDeferred");
    CheckMemoryUsage(hbrd);
}

// ---- Create ------------------------------------------------------------------------------------

static DBStatus CreateFileSet(BOARD_OBJECT* hbrd, const std::string& strName,
                              const EX_BOARDINFO* pInfo) {
    CDbContext* pdb = hbrd->pdb;
    DBStatus st = CreateUniqueIds(pdb);
    if (st != DBSuccess) {
        return st;
    }
    UserHolder system;
    system.nType = DB_USERREC;
    std::strcpy(system.rec.username, "SYSTEM");
    std::strcpy(system.rec.userdescription, "Zelto Files Administrator");
    std::strcpy(system.rec.userlongname, "Zelto Files Administrator");
    st = UserCreate(pdb, &system);
    if (st != DBSuccess) {
        return st;
    }
    WriteUserConfig(hbrd->strPath, hbrd->strCatalogIni, "SYSTEM",
                    MakeUserIDString("SYSTEM", system.rec.userid));
    uint32_t dwNow = static_cast<uint32_t>(std::time(nullptr));
    DB_ITEM root;
    InitFolderItem(&root, strName.empty() ? "Zelto Files Catalog Root" : strName.c_str(), "", 2, 0);
    root.item.itemid = 1;
    root.item.tmlastmodified = dwNow;
    st = ItemCreate(pdb, &root, ChangeEntryNotifier, hbrd);
    DB_ITEM folders, files, lost;
    if (st == DBSuccess) {
        InitFolderItem(&folders, "Zelto Folders Root", "", 3, 0);
        folders.item.itemparentid = 1;
        folders.item.tmlastmodified = dwNow;
        st = ItemCreate(pdb, &folders, ChangeEntryNotifier, hbrd);
    }
    if (st == DBSuccess) {
        InitFolderItem(&files, "Zelto Files Catalog", "Root of all Zelto Files", 2, 0);
        files.item.itemparentid = 1;
        files.item.tmlastmodified = dwNow;
        st = ItemCreate(pdb, &files, ChangeEntryNotifier, hbrd);
    }
    if (st == DBSuccess) {
        InitFolderItem(&lost, "Lost and Found", "File Catalog Repair -- Folder and Tag Orphanage",
                       0, 1);
        lost.item.itemparentid = 1;
        lost.item.uidresponsible = 1;
        lost.item.itemaccess.itemaccesslevel = 3;
        lost.item.itemaccess.itemaccessgrouporuserid = 1;
        st = ItemCreate(pdb, &lost, ChangeEntryNotifier, hbrd);
    }
    if (st != DBSuccess) {
        return st;
    }
    qn::dbms::db_boardrec board{};
    board.boardversion = 12;
    uint32_t adw[2] = {dwNow, ElapsedMilliseconds()};
    board.boardid = CDbContext::Checksum(adw, sizeof adw);
    board.boardadminpolicy = pInfo ? pInfo->wAdminPolicy : 0;
    board.boardadminflags = pInfo ? pInfo->dwAdminFlags : 0;
    board.boarditems[0] = root.dba;
    board.boarditems[1] = folders.dba;
    board.boarditems[2] = files.dba;
    st = WriteBoardRecord(pdb, board);
    if (st == DBSuccess && pInfo != nullptr) {
        const_cast<EX_BOARDINFO*>(pInfo)->wBoardVersion = board.boardversion;
        const_cast<EX_BOARDINFO*>(pInfo)->dwBoardID = board.boardid;
    }
    return st;
}

static DBStatus CreateCatalog(const std::string& strPathIn, EX_BOARDINFO* pInfo) {
    CatalogPath path;
    DBStatus st = SplitCatalogPath(strPathIn, &path);
    if (st != DBSuccess) {
        return st;
    }
    std::string strFile = path.Full();
    std::string strDir = path.strDir.empty() ? "." : path.strDir;
    int rc = CDbContext::CreateCatalog(strFile, strDir + "/" + path.strBase + ".TAF");
    if (rc == S_UNAVAIL) {
        return DBCatalogUnavailable;
    }
    if (rc != S_OKAY) {
        return DBOutOfDiskSpace;
    }
    std::string strIni = CatalogIniPath(strFile);
    if (!WriteCatalogConfig(strIni)) {
        return DBOutOfDiskSpace;
    }
    auto* hbrd = new BOARD_OBJECT;
    CBoardUnderConstruction guard(hbrd);
    st = RegisterClient(&hbrd->pClientEntry);
    if (st != DBSuccess) {
        hbrd->pClientEntry = nullptr;
        FreeBoard(hbrd);
        return st;
    }
    qn::platform::RegisterLiveObject(hbrd, ObjectKind::Board);
    hbrd->strPath = strFile;
    hbrd->strCatalogIni = strIni;
    hbrd->nLockMgr =
        static_cast<uint32_t>(profile::ReadInt(INI_TUNING_SECTION, "LockMgr", 0, strIni.c_str()));
    hbrd->fSystem = 1;
    st = EngineOpen(hbrd, "SYSTEM", "x");
    if (st == DBSuccess) {
        st = CreateFileSet(hbrd, pInfo ? ReadExString(pInfo->hName) : std::string(), pInfo);
    }
    FreeBoard(hbrd);
    return st;
}

}  // namespace catstore

using namespace catstore;

// ---- Exported lifecycle ------------------------------------------------------------------

extern "C" BOARD_OBJECT* EXBoardCreate(const char* pszPath, const char* pszUserName,
                                       const char* pszPassword, EX_BOARDINFO* pInfo,
                                       uint32_t dwOpenOption, uintptr_t ulA, uintptr_t ulB,
                                       EX_BOARDCALLBACK pfnCallback, EXSM_STATUS* status) {
    return RunApi("EXBoardCreate", status, static_cast<BOARD_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> BOARD_OBJECT* {
                      if (pszPath == nullptr || pszPath[0] == '\0') {
                          *st = EXSM_INVALID_CATALOG_NAME;
                          return nullptr;
                      }
                      // Refused before any file is written: a process with a catalog open or
                      // connected could not open the new one anyway.
                      TaskEntry* pEntry = FindTaskEntry(false);
                      if ((pEntry != nullptr && pEntry->hbrd != nullptr) || ProcessHasClient()) {
                          *st = EXSM_CATALOG_ALREADY_OPEN;
                          return nullptr;
                      }
                      CatalogPath path;
                      DBStatus dbs = SplitCatalogPath(pszPath, &path);
                      if (dbs == DBSuccess) {
                          dbs = CreateCatalog(pszPath, pInfo);
                      }
                      if (dbs != DBSuccess) {
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      return OpenBoard(path.Full().c_str(), pszUserName, pszPassword, 1,
                                       dwOpenOption, ulA, ulB, pfnCallback, st);
                  });
}

extern "C" BOARD_OBJECT* EXBoardOpen(const char* pszPath, const char* pszUserName,
                                     const char* pszPassword, int nOpenMode, uint32_t dwOpenOption,
                                     uintptr_t ulA, uintptr_t ulB, EX_BOARDCALLBACK pfnCallback,
                                     EXSM_STATUS* status) {
    return RunApi("EXBoardOpen", status, static_cast<BOARD_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> BOARD_OBJECT* {
                      if (pszPath == nullptr || pszPath[0] == '\0') {
                          *st = EXSM_INVALID_CATALOG_NAME;
                          return nullptr;
                      }
                      if (nOpenMode < 0 || nOpenMode > 2) {
                          nOpenMode = 1;
                      }
                      return OpenBoard(pszPath, pszUserName, pszPassword, nOpenMode, dwOpenOption,
                                       ulA, ulB, pfnCallback, st);
                  });
}

extern "C" BOARD_OBJECT* EXBoardConnect(const char* pszPath, int nOpenMode, EXSM_STATUS* status) {
    return RunApi("EXBoardConnect", status, static_cast<BOARD_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> BOARD_OBJECT* {
                      if (pszPath == nullptr || pszPath[0] == '\0') {
                          *st = EXSM_INVALID_CATALOG_NAME;
                          return nullptr;
                      }
                      auto* hbrd = new BOARD_OBJECT;
                      CBoardUnderConstruction guard(hbrd);
                      DBStatus dbs = RegisterClient(&hbrd->pClientEntry);
                      if (dbs != DBSuccess) {
                          hbrd->pClientEntry = nullptr;
                          FreeBoard(hbrd);
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      qn::platform::RegisterLiveObject(hbrd, ObjectKind::Board);
                      hbrd->strPath = pszPath;
                      hbrd->strCatalogIni = CatalogIniPath(hbrd->strPath);
                      hbrd->nLockMgr = static_cast<uint32_t>(profile::ReadInt(
                          INI_TUNING_SECTION, "LockMgr", 0, hbrd->strCatalogIni.c_str()));
                      hbrd->fSystem = 1;
                      dbs = EngineOpen(hbrd, "SYSTEM", ModeString(nOpenMode));
                      if (dbs != DBSuccess) {
                          FreeBoard(hbrd);
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      hbrd->dwMemoryThreshold = TuningSMCachePages() * 4096u;
                      // An administration session can read items too.
                      hbrd->pNotify = new NotifierTable;
                      return hbrd;
                  });
}

// Closes an open catalog: the unread marks are written back, every list and handle of it ends,
// the engine task goes.
static void CloseBoard(BOARD_OBJECT* hbrd) {
    if (!IsLiveBoard(hbrd)) {
        return;
    }
    TaskEntry* pEntry = FindTaskEntry(false);
    bool fBound = hbrd->hCurrentUser != nullptr;
    if (fBound && (pEntry == nullptr || pEntry->hbrd != hbrd)) {
        ReportAssertion("phe && hbrd == phe->hbrd", ".\\EXSM");
    }
    if (pEntry == nullptr || pEntry->wSlot == 0) {
        FinalizeUnread(hbrd);
        FreeBoard(hbrd);
    }
    if (pEntry != nullptr && pEntry->hbrd == hbrd) {
        ClearTask();
    }
}

extern "C" int EXBoardClose(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    CApiLock lock;
    uint32_t dwElapsed = ElapsedMilliseconds();
    uint32_t dwMemoryCheckMs = MemoryCheckMilliseconds();
    LogLine(0, "CheckMemoryUsage spent %u.%03u seconds during the %u.%03u second session\r\n",
            dwMemoryCheckMs / 1000, dwMemoryCheckMs % 1000, dwElapsed / 1000, dwElapsed % 1000);
    return RunApi("EXBoardClose", status, 0, [&](EXSM_STATUS*) {
        if (!IsLiveBoard(hbrd)) {
            return 0;
        }
        if (CallDepth() > 2) {
            // Asked from a notifier routine: the call that ran the routine still works on the
            // catalog. It closes when that call returns, and takes in no more changes till then.
            hbrd->fClosing = true;
            DeferToOutermost([](void* pv) { CloseBoard(static_cast<BOARD_OBJECT*>(pv)); }, hbrd);
            return 0;
        }
        CloseBoard(hbrd);
        return 0;
    });
}

extern "C" void EXBoardRefresh(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    RunApiVoid("EXBoardRefresh", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        RefreshBoard(hbrd, st);
    });
}

extern "C" BOARD_OBJECT* EXBoardBindCurrent(EXSM_STATUS* status) {
    return RunApi("EXBoardGetCurrent", status, static_cast<BOARD_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> BOARD_OBJECT* {
                      TaskEntry* pEntry = FindTaskEntry(true);
                      if (pEntry == nullptr) {
                          *st = EXSM_OUT_OF_MEMORY;
                          return nullptr;
                      }
                      if (pEntry->hbrd != nullptr && IsLiveBoard(pEntry->hbrd)) {
                          return pEntry->hbrd;
                      }
                      TaskEntry* pBound = FirstBoundTask();
                      if (pBound != nullptr && pBound != pEntry && IsLiveBoard(pBound->hbrd)) {
                          BindTask(pBound->hbrd);
                          return pBound->hbrd;
                      }
                      ClearTask();
                      *st = EXSM_CATALOG_UNAVAILABLE;
                      return nullptr;
                  });
}
