// The catalog lifecycle: create, open, connect, close, refresh, bind-current.
#include "board.h"

#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>

#include "changelog.h"
#include "config.h"
#include "engine.h"
#include "exstring.h"
#include "frame.h"
#include "items.h"
#include "locks.h"
#include "notify.h"
#include "platform/liveobjects.h"
#include "platform/profile.h"
#include "trace.h"
#include "users.h"

namespace catstore {

using qn::platform::ObjectKind;
namespace profile = qn::platform::profile;

// The per-process reading position of the current user in the change log.
struct UnreadSet {
    DBA dbaLastChange = 0;
    DBA dbaUser = 0;
};

bool IsLiveBoard(const BOARD_OBJECT* hbrd) {
    return hbrd != nullptr && qn::platform::IsLiveObject(hbrd, ObjectKind::Board);
}

// Process-wide time spent measuring memory, for the close report.
static uint32_t s_dwMemoryCheckMs = 0;

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

// ---- Engine open (the shared steps of create, open and connect) ------------------------------

static const int s_anTransports[9] = {4, 4, 3, 2, 7, 6, 12, 5, 13};

static DBStatus MapOpenStatus(int rc) {
    switch (rc) {
        case S_OKAY:
            return DBSuccess;
        case S_UNAVAIL:
            return DBCatalogUnavailable;
        case S_DBALREADYOPEN:
            return DBEngineAlreadyOpen;
        case S_NOLOCKMGR:
        case S_TAFINVALID:
            return DBLockManagerNotFound;
        case S_NOMEMORY:
            return DBOutOfMemory;
        case S_NAMELEN:
            return DBNameTooLong;
        case S_INVDB:
            return DBInvalidCatalogFile;
        default:
            return MapEngineStatus(rc);
    }
}

// Picks the lock-manager user id for an open: the user's own when free, else the first free
// one with a two-digit suffix (SYSTEM01 ... SYSTEMff). Other users get the same treatment as
// SYSTEM, so that one user may have the catalog open in two processes.
static DBStatus ChooseUserID(CDbContext* pdb, const std::string& strUserID,
                             std::string* pstrChosen) {
    *pstrChosen = strUserID;
    int rc = pdb->TestUserID(*pstrChosen);
    if (rc == S_BADUSERID) {
        return DBUserIDRejected;
    }
    if (rc == S_DUPLICATE) {
        std::string strBaseId = strUserID.substr(0, 13);
        for (int i = 1; i <= 255 && rc == S_DUPLICATE; ++i) {
            char achId[24];
            std::snprintf(achId, sizeof achId, "%s%02x", strBaseId.c_str(), i);
            *pstrChosen = achId;
            rc = pdb->TestUserID(*pstrChosen);
        }
        if (rc != S_OKAY) {
            return rc == S_DUPLICATE ? DBUserIDRejected : MapOpenStatus(rc);
        }
    } else if (rc != S_OKAY) {
        return MapOpenStatus(rc);
    }
    return DBSuccess;
}

static DBStatus EngineOpen(BOARD_OBJECT* hbrd, const std::string& strUserID, const char* pszMode) {
    CatalogPath path;
    DBStatus st = SplitCatalogPath(hbrd->strPath, &path);
    if (st != DBSuccess) {
        return st;
    }
    if (!IsClientRegistered(hbrd->pClientEntry)) {
        return DBClientMissing;
    }
    std::string strFile = path.Full();
    struct stat sb;
    if (::stat(strFile.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
        return DBCatalogMissing;
    }
    auto* pdb = new CDbContext;
    hbrd->pdb = pdb;
    pdb->pClientEntry = hbrd->pClientEntry;
    pdb->CreateTask();
    std::string strDir = path.strDir.empty() ? "." : path.strDir;
    int rc = pdb->SetPaths(strDir, strDir + "/" + path.strBase + ".TAF");
    if (rc != S_OKAY) {
        return MapOpenStatus(rc);
    }
    for (;;) {
        int nLockMgr = static_cast<int>(hbrd->nLockMgr);
        int nTransport = nLockMgr >= 0 && nLockMgr <= 8 ? s_anTransports[nLockMgr] : -1;
        rc = pdb->SetLockManager(nTransport);
        if (rc == S_OKAY) {
            break;
        }
        if (rc == S_BADTRANSPORT && nTransport >= 0) {
            return DBInvalidLockManager;
        }
        if (hbrd->nLockMgr == 1) {
            return DBLockManagerRefused;
        }
        hbrd->nLockMgr = 1;
    }
    std::string strBase = path.strBase;
    for (char& ch : strBase) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    rc = pdb->SetDatabaseName(strBase);
    if (rc != S_OKAY) {
        return MapOpenStatus(rc);
    }
    pdb->SetOpenFiles(13);
    int nPages = static_cast<int>(TuningDBCachePages());
    if (nPages < 2) {
        nPages = 64;
    }
    for (;;) {
        rc = pdb->SetCachePages(nPages, 4);
        if (rc != S_NOMEMORY || nPages <= 2) {
            break;
        }
        nPages /= 2;
    }
    // Testing a name and opening with it are two steps: a process opening at the same moment
    // may take the chosen name in between, and the open then answers 3. Choose again then.
    for (int nAttempt = 0;; ++nAttempt) {
        std::string strChosen;
        DBStatus stChoose = ChooseUserID(pdb, strUserID, &strChosen);
        if (stChoose != DBSuccess) {
            return stChoose;
        }
        rc = pdb->SetUserID(strChosen);
        if (rc != S_OKAY) {
            return rc == S_BADUSERID ? DBUserIDRejected : MapOpenStatus(rc);
        }
        rc = pdb->Open(path.strBase + "." + path.strExt, pszMode);
        if (rc == S_OKAY) {
            break;
        }
        if (rc != S_DUPLICATE || nAttempt >= 15) {
            return MapOpenStatus(rc);
        }
    }
    pdb->SetSharedOptions();
    uint32_t dwTimeout = TuningDBTimeout();
    if (dwTimeout >= 1) {
        pdb->SetLockTimeout(static_cast<int>(dwTimeout));
    }
    return DBSuccess;
}

static const char* ModeString(int nOpenMode) {
    return nOpenMode == 0 ? "o" : (nOpenMode == 2 ? "x" : "s");
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

static DBStatus ReadBoardRecord(CDbContext* pdb, qn::dbms::db_boardrec* pRec) {
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

static DBStatus WriteBoardRecord(CDbContext* pdb, const qn::dbms::db_boardrec& rec) {
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

// ---- Open, close ---------------------------------------------------------------------------

static void FreeBoard(BOARD_OBJECT* hbrd) {
    if (hbrd == nullptr) {
        return;
    }
    qn::platform::UnregisterLiveObject(hbrd);
    if (hbrd->pdb != nullptr) {
        hbrd->pdb->DestroyTask();
        delete hbrd->pdb;
        hbrd->pdb = nullptr;
    }
    if (hbrd->pClientEntry != nullptr) {
        RemoveClient(hbrd->pClientEntry);
        hbrd->pClientEntry = nullptr;
    }
    delete hbrd->pNotify;
    delete hbrd->pUnread;
    FreeUserObject(hbrd->hCurrentUser);
    FreeGroupIterator(hbrd->pCurrentGroups);
    FreeUserIterator(hbrd->pAllUsers);
    delete hbrd;
}

// Writes the current user's position in the change log back to the user record.
static void FinalizeUnread(BOARD_OBJECT* hbrd) {
    if (hbrd->pUnread == nullptr || hbrd->pdb == nullptr || hbrd->pUnread->dbaUser == 0) {
        return;
    }
    CDbContext* pdb = hbrd->pdb;
    CStoreTransaction tx(pdb, "UnreadSetFinalize", Packet({DB_USERREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        qn::dbms::db_userrec rec{};
        int rc = pdb->MakeCurrent(hbrd->pUnread->dbaUser);
        if (rc == S_OKAY) {
            rc = pdb->Read(&rec);
        }
        if (rc == S_OKAY && rec.userlastchangeaddr != hbrd->pUnread->dbaLastChange) {
            rec.userlastchangeaddr = hbrd->pUnread->dbaLastChange;
            rc = pdb->Write(&rec);
        }
        st = MapEngineStatus(rc);
    }
    tx.Finish(st);
}

static DBStatus MakeMissingUserFolders(BOARD_OBJECT* hbrd) {
    UserHolder& user = hbrd->hCurrentUser->holder;
    bool fChanged = false;
    DBStatus st = DBSuccess;
    for (int nSlot : {8, 7}) {
        if (user.rec.useritems[nSlot] == 0 && st == DBSuccess) {
            st = MakeUserFolder(hbrd, &user, nSlot);
            fChanged = fChanged || st == DBSuccess;
        }
    }
    if (fChanged) {
        DBStatus stWrite = UserWrite(hbrd->pdb, &user);
        st = st != DBSuccess ? st : stWrite;
    }
    return st;
}

void RefreshBoard(BOARD_OBJECT* hbrd, EXSM_STATUS* status);

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
        } else if (st != DBSuccess) {
            return fail(st);
        }
        if (board.boardversion != 0 && board.boardversion != 12) {
            // Older catalogs need the upgrade of an exclusive open, which this build lacks.
            return fail(DBInvalidCatalogFile);
        }
        // Step 11.
        hbrd->fSystem = 1;
        hbrd->nTransactionDepth = 0;
        hbrd->dwOpenOption = dwOpenOption;
        hbrd->ulItemContextA = ulA;
        hbrd->ulItemContextB = ulB;
        hbrd->dwMemoryThreshold = TuningSMCachePages() * 4096u;
        hbrd->pNotify = new NotifyTable;
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
        hbrd->pUnread = new UnreadSet;
        hbrd->pUnread->dbaUser = hUser->holder.dba;
        hbrd->pUnread->dbaLastChange = hUser->holder.rec.userlastchangeaddr;
        FillUserGroups(hbrd, hUser->holder, &hbrd->pCurrentGroups);
        FillAllUsers(hbrd, &hbrd->pAllUsers);
        // Step 18.
        st = MakeMissingUserFolders(hbrd);
        if (st != DBSuccess) {
            return fail(st);
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

void RefreshBoard(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    if (hbrd->hCurrentUser == nullptr || hbrd->pUnread == nullptr) {
        return;
    }
    TimerStart("TIMER: Start EXChangeLogProcessEntries...");
    DBStatus st = ChangeLogProcessEntries(hbrd->pdb, hbrd->hCurrentUser->holder.rec.userid,
                                          &hbrd->pUnread->dbaLastChange, ProcessChangeEntry, hbrd);
    TimerStop("TIMER: Stop EXChangeLogProcessEntries");
    if (st != DBSuccess) {
        SetStatus(status, st);
        return;
    }
    TimerStart("TIMER: Start EXNotifySendDeferred...");
    SendDeferred(hbrd);
    TimerStop("TIMER: Stop EXNotifySendDeferred");
    // The memory check.
    if (hbrd->dwMemoryThreshold != 0) {
        EX_MEMORYUSAGE usage{};
        usage.cbSize = sizeof usage;
        EXSM_STATUS ex = EXSM_SUCCESS;
        EXBoardMemoryUsage(hbrd, &usage, 0, &ex);
        if (ex == EXSM_SUCCESS && usage.cbTotal > hbrd->dwMemoryThreshold) {
            LogLine(LOG_STORE, "!!! MemoryUsage Threshold Exceeded, %lu > %lu\r\n",
                    static_cast<unsigned long>(usage.cbTotal),
                    static_cast<unsigned long>(hbrd->dwMemoryThreshold));
            EXBoardMemoryUsage(hbrd, &usage, 1, &ex);
        }
        if (ex != EXSM_SUCCESS) {
            ReportAssertion("!IS_EXERROR(&MemInfoStatus)", ".\\EXSM");
        }
    }
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
                      return hbrd;
                  });
}

extern "C" int EXBoardClose(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    CApiLock lock;
    uint32_t dwElapsed = ElapsedMilliseconds();
    LogLine(0, "CheckMemoryUsage spent %u.%03u seconds during the %u.%03u second session\r\n",
            s_dwMemoryCheckMs / 1000, s_dwMemoryCheckMs % 1000, dwElapsed / 1000, dwElapsed % 1000);
    return RunApi("EXBoardClose", status, 0, [&](EXSM_STATUS*) {
        if (!IsLiveBoard(hbrd)) {
            return 0;
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

// ---- Catalog information, slots, timers --------------------------------------------------

extern "C" void EXBoardGetInfo(BOARD_OBJECT* hbrd, EX_BOARDINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXBoardGetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        qn::dbms::db_boardrec board{};
        DBStatus dbs = ReadBoardRecord(hbrd->pdb, &board);
        DB_ITEM root;
        if (dbs == DBSuccess) {
            dbs = ItemFindByID(hbrd->pdb, 1, &root);
        }
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
        DB_ITEM root;
        DBStatus dbs = ItemFindByID(hbrd->pdb, 1, &root);
        if (dbs == DBSuccess &&
            !CopyField(root.item.itemname, sizeof root.item.itemname, strName)) {
            dbs = DBNameTooLong;
        }
        if (dbs == DBSuccess) {
            root.item.uidowner = pInfo->wOwner;
            root.item.itemaccess.itemaccesslevel = pInfo->wAccessLevel;
            root.item.itemaccess.itemaccessgrouporuserid = pInfo->wAccessGroupOrUserID;
            dbs = ModifyBoardRecord(hbrd->pdb, [&](qn::dbms::db_boardrec& board) {
                board.boardadminpolicy = pInfo->wAdminPolicy;
                board.boardadminflags = pInfo->dwAdminFlags;
                board.boardid = pInfo->dwBoardID;
            });
        }
        if (dbs == DBSuccess) {
            root.dwFieldFlags = 0;
            root.item.uidlastmodified = CurrentUserID(hbrd);
            root.item.tmlastmodified = static_cast<uint32_t>(std::time(nullptr));
            dbs = ItemWrite(hbrd->pdb, &root, ChangeEntryNotifier, hbrd);
            SendDeferred(hbrd);
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
    return NewItemObject(hbrd, item);
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
        if (!IsLiveBoard(hbrd) || !IsLiveItem(hItem) || !IsLiveBoard(hItem->hBoard)) {
            if (hItem != nullptr && !IsLiveItem(hItem)) {
                ReportAssertion("!IsBadWritePtr (ToItem, sizeof(ITEM_OBJECT))", ".\\EXSM");
            }
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
        if (!IsLiveUser(hUser) || !IsLiveItem(hItem)) {
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
                      if (!IsLiveBoard(hbrd)) {
                          return nullptr;
                      }
                      DB_ITEM root;
                      if (ItemFindByID(hbrd->pdb, 1, &root) != DBSuccess) {
                          return nullptr;
                      }
                      return NewItemObject(hbrd, root);
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

extern "C" void EXBoardMemoryUsage(BOARD_OBJECT* hbrd, EX_MEMORYUSAGE* pUsage, int fCompact,
                                   EXSM_STATUS* status) {
    RunApiVoid("EXBoardMemoryUsage", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        uint32_t dwStart = QNGetTickCount();
        EX_MEMORYUSAGE usage{};
        usage.cbSize = sizeof usage;
        NotifyUsage(hbrd->pNotify, &usage.dwNotifyCount, &usage.cbNotify, fCompact != 0);
        usage.dwRetiredCapacity = 10;
        usage.cbRetired = 44;
        usage.dwUnreadCount = hbrd->pUnread != nullptr ? 1 : 0;
        usage.cbUnread = hbrd->pUnread != nullptr ? sizeof(UnreadSet) : 0;
        usage.dwHandleCount = qn::platform::CountLiveObjects(ObjectKind::User) +
                              qn::platform::CountLiveObjects(ObjectKind::Group) +
                              qn::platform::CountLiveObjects(ObjectKind::Resource);
        usage.cbHandles = usage.dwHandleCount * static_cast<uint32_t>(sizeof(USER_OBJECT));
        usage.cbTotal =
            usage.cbNotify + usage.cbRetired + usage.cbEntries + usage.cbUnread + usage.cbHandles;
        if (fCompact != 0) {
            if ((TuningTestingFilter() & 0x200) != 0) {
                LogLine(LOG_STORE, "CRT Heap Totals: %lu used(%lu bytes), %lu free(%lu bytes)\r\n",
                        0ul, 0ul, 0ul, 0ul);
            }
        }
        if (pUsage != nullptr) {
            uint32_t cb = pUsage->cbSize != 0 && pUsage->cbSize < sizeof usage ? pUsage->cbSize
                                                                               : sizeof usage;
            std::memcpy(pUsage, &usage, cb);
            pUsage->cbSize = cb;
        }
        s_dwMemoryCheckMs += QNGetTickCount() - dwStart;
    });
}
