// The exported catalog utilities: backup, restore, check and repair, key rebuild.
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "catdbu.h"
#include "dbufiles.h"
#include "dbuguard.h"
#include "engineadapter.h"
#include "platform/paths.h"

namespace qn::dbu {
namespace {

DBUPROGRESSPROC g_pfnProgress = nullptr;
std::string g_strWorkPath;

// Busy waits for the database file itself (the engine's own locks are taken separately).
constexpr int kBusyTimeoutMs = 10000;

void ProgressStart(long nSteps) {
    if (g_pfnProgress != nullptr) {
        g_pfnProgress(DBU_PROGRESS_START, static_cast<intptr_t>(nSteps));
    }
}

// False when the progress routine asks to stop.
bool ProgressStep(long nStep) {
    if (g_pfnProgress == nullptr) {
        return true;
    }
    return (g_pfnProgress(DBU_PROGRESS_STEP, static_cast<intptr_t>(nStep)) & 0xFFFFu) == 1;
}

void ProgressMessage(const char* pszText) {
    if (g_pfnProgress != nullptr) {
        g_pfnProgress(DBU_PROGRESS_MESSAGE, reinterpret_cast<intptr_t>(pszText));
    }
}

// An open database connection, closed at scope end.
class CDatabase {
  public:
    CDatabase() = default;
    ~CDatabase() { Close(); }
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    int Open(const std::string& strPath, int nFlags) {
        Close();
        const int rc =
            sqlite3_open_v2(strPath.c_str(), &m_pDb, nFlags | SQLITE_OPEN_NOMUTEX, nullptr);
        if (m_pDb != nullptr) {
            sqlite3_extended_result_codes(m_pDb, 1);
            sqlite3_busy_timeout(m_pDb, kBusyTimeoutMs);
        }
        return rc;
    }
    void Close() {
        if (m_pDb != nullptr) {
            sqlite3_close_v2(m_pDb);
            m_pDb = nullptr;
        }
    }
    sqlite3* Get() const { return m_pDb; }
    int Exec(const char* pszSql) { return sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr); }
    const char* Error() const { return m_pDb != nullptr ? sqlite3_errmsg(m_pDb) : "out of memory"; }

    // First column of the first row as a number; -1 on failure.
    long long QueryNumber(const char* pszSql) {
        sqlite3_stmt* pStmt = nullptr;
        long long nValue = -1;
        if (sqlite3_prepare_v2(m_pDb, pszSql, -1, &pStmt, nullptr) == SQLITE_OK &&
            sqlite3_step(pStmt) == SQLITE_ROW) {
            nValue = sqlite3_column_int64(pStmt, 0);
        }
        sqlite3_finalize(pStmt);
        return nValue;
    }

  private:
    sqlite3* m_pDb = nullptr;
};

bool IsNotADatabase(int rc) {
    const int nPrimary = rc & 0xFF;
    return nPrimary == SQLITE_NOTADB || nPrimary == SQLITE_CORRUPT;
}

// Opens an existing file as a catalog. EXSM_SUCCESS, or the status that tells why not.
EXSM_STATUS OpenCatalogFile(CDatabase& db, const std::string& strPath, bool fWrite,
                            std::string* pstrWhy) {
    const int nFlags = fWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    int rc = db.Open(strPath, nFlags);
    if (rc == SQLITE_OK) {
        // Reading the schema proves the file is a database at all.
        rc = db.Exec("SELECT count(*) FROM sqlite_master");
    }
    if (rc != SQLITE_OK) {
        *pstrWhy = db.Error();
        if (IsNotADatabase(rc)) {
            return EXSM_INVALID_CATALOG_FILE;
        }
        if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
            return EXSM_CATALOG_UNAVAILABLE;
        }
        if ((rc & 0xFF) == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_PERM ||
            (rc & 0xFF) == SQLITE_READONLY) {
            return EXSM_ACCESS_DENIED;
        }
        return EXSM_CATALOG_OPEN_ERROR;
    }
    if (!IsCatalogDatabase(db.Get())) {
        *pstrWhy = "the file holds no catalog dictionary";
        return EXSM_INVALID_CATALOG_FILE;
    }
    return EXSM_SUCCESS;
}

// Copies the whole database pSource into pDest page by page with SQLite's online backup,
// reporting progress. The source must already be inside a read transaction, so the copy is
// one consistent snapshot however long it takes. Returns an SQLite result code; SQLITE_ABORT
// when the progress routine stopped it.
int CopyDatabase(sqlite3* pSource, sqlite3* pDest, long long nPages) {
    // About 200 steps, never fewer than 64 pages a step.
    long long nPerStep = (nPages + 199) / 200;
    if (nPerStep < 64) {
        nPerStep = 64;
    }
    const long nSteps = static_cast<long>(nPages <= 0 ? 1 : (nPages + nPerStep - 1) / nPerStep);
    ProgressStart(nSteps);

    sqlite3_backup* pBackup = sqlite3_backup_init(pDest, "main", pSource, "main");
    if (pBackup == nullptr) {
        return sqlite3_extended_errcode(pDest);
    }
    long nStep = 0;
    int rc = SQLITE_OK;
    int nBusyRetries = 0;
    while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        rc = sqlite3_backup_step(pBackup, static_cast<int>(nPerStep));
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
            if (++nBusyRetries > 200) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        nBusyRetries = 0;
        if (rc == SQLITE_OK || rc == SQLITE_DONE) {
            if (nStep < nSteps) {
                ++nStep;
            }
            if (rc == SQLITE_DONE) {
                nStep = nSteps;
            }
            if (!ProgressStep(nStep) && rc != SQLITE_DONE) {
                rc = SQLITE_ABORT;
                break;
            }
        }
    }
    const int rcFinish = sqlite3_backup_finish(pBackup);
    if (rc == SQLITE_DONE) {
        return rcFinish == SQLITE_OK ? SQLITE_DONE : rcFinish;
    }
    return rc;
}

EXSM_STATUS StatusOfCopyFailure(int rc, EXSM_STATUS failure) {
    if ((rc & 0xFF) == SQLITE_FULL) {
        return EXSM_OUT_OF_DISK_SPACE;
    }
    if (IsNotADatabase(rc)) {
        return EXSM_INVALID_CATALOG_FILE;
    }
    return failure;
}

void RemoveDatabaseFiles(const std::string& strPath) {
    ::unlink(strPath.c_str());
    ::unlink((strPath + "-journal").c_str());
    ::unlink((strPath + "-wal").c_str());
    ::unlink((strPath + "-shm").c_str());
}

// Writes a copy of the open database pSource (inside a read transaction) to strTarget by way
// of a temporary file beside it; strTarget is replaced only when the copy is whole and on disk.
EXSM_STATUS WriteImage(sqlite3* pSource, long long nPages, const std::string& strTarget,
                       EXSM_STATUS failure, std::string* pstrWhy) {
    const std::string strTemp = TemporaryNameBeside(strTarget, "part");
    RemoveDatabaseFiles(strTemp);
    CDatabase dest;
    int rc = dest.Open(strTemp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (rc == SQLITE_OK) {
        rc = CopyDatabase(pSource, dest.Get(), nPages);
        if (rc == SQLITE_DONE) {
            rc = SQLITE_OK;
        }
    }
    // The image is a plain single file whatever journal the source used.
    if (rc == SQLITE_OK) {
        rc = dest.Exec("PRAGMA journal_mode=DELETE");
    }
    if (rc != SQLITE_OK) {
        *pstrWhy = rc == SQLITE_ABORT ? std::string("stopped") : std::string(dest.Error());
        dest.Close();
        RemoveDatabaseFiles(strTemp);
        return rc == SQLITE_ABORT ? failure : StatusOfCopyFailure(rc, failure);
    }
    dest.Close();
    if (!SyncFile(strTemp) || ::rename(strTemp.c_str(), strTarget.c_str()) != 0) {
        const int nErr = errno;
        *pstrWhy = std::string("cannot put the copy in place: ") + std::strerror(nErr);
        RemoveDatabaseFiles(strTemp);
        return nErr == ENOSPC ? EXSM_OUT_OF_DISK_SPACE : failure;
    }
    // Journals an earlier file of that name left behind belong to it, not to the new image.
    for (const char* pszSuffix : {"-journal", "-wal", "-shm"}) {
        ::unlink((strTarget + pszSuffix).c_str());
    }
    SyncDirectory(DirectoryPart(strTarget));
    return EXSM_SUCCESS;
}

// Checks the database file; appends each problem to pFindings. SQLITE_OK when the check ran.
int IntegrityCheck(CDatabase& db, bool fQuick, std::vector<std::string>* pFindings) {
    sqlite3_stmt* pStmt = nullptr;
    int rc = sqlite3_prepare_v2(db.Get(),
                                fQuick ? "PRAGMA quick_check(100)" : "PRAGMA integrity_check(100)",
                                -1, &pStmt, nullptr);
    if (rc != SQLITE_OK) {
        return rc;
    }
    while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
        const unsigned char* pszText = sqlite3_column_text(pStmt, 0);
        const std::string strText =
            pszText != nullptr ? reinterpret_cast<const char*>(pszText) : "";
        if (strText != "ok") {
            pFindings->push_back(strText);
        }
    }
    sqlite3_finalize(pStmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

const char* NonNull(const char* psz) {
    return psz != nullptr ? psz : "";
}

// Takes the catalog's exclusive open lock for an operation that must have the catalog to
// itself; a refusal is written to the catalog's log ("<operation> of '<path>' refused: ...").
EXSM_STATUS AcquireExclusive(CExclusiveCatalog* pExclusive, const std::string& strCatalog,
                             int nLockMgr, const char* pszOperation) {
    EXSM_STATUS status = pExclusive->Acquire(strCatalog, nLockMgr);
    if (status != EXSM_SUCCESS) {
        AppendCatalogLog(strCatalog, "%s of '%s' refused: %s.", pszOperation, strCatalog.c_str(),
                         status == EXSM_CATALOG_UNAVAILABLE ? "the catalog is in use"
                                                            : "its lock cannot be taken");
    }
    return status;
}

}  // namespace

// The calls behind the exports, which run them in the library's one guard.
EXSM_STATUS BackUp(const char* pszCatalog, const char* pszDestDir, int nLockMgr) {
    const std::string strCatalog = NonNull(pszCatalog);
    const std::string strDestDir = NonNull(pszDestDir);
    switch (KindOf(strCatalog)) {
        case PathKind::Missing:
            return EXSM_DOES_NOT_EXIST;
        case PathKind::File:
            break;
        default:
            AppendCatalogLog(strCatalog, "Backup of '%s' failed: not a catalog file.",
                             strCatalog.c_str());
            return EXSM_INVALID_CATALOG_FILE;
    }
    if (KindOf(strDestDir) != PathKind::Directory) {
        AppendCatalogLog(strCatalog, "Backup of '%s' failed: the folder '%s' does not exist.",
                         strCatalog.c_str(), strDestDir.c_str());
        return EXSM_DOES_NOT_EXIST;
    }
    if (EXSM_STATUS status = CheckLockManager(nLockMgr); status != EXSM_SUCCESS) {
        AppendCatalogLog(strCatalog, "Backup of '%s' failed: lock manager %d is not available.",
                         strCatalog.c_str(), nLockMgr);
        return status;
    }
    const std::string strTarget = strDestDir + "/" + FileNamePart(strCatalog);
    if (SameFile(strCatalog, strTarget)) {
        AppendCatalogLog(strCatalog, "Backup of '%s' failed: the backup would replace the catalog.",
                         strCatalog.c_str());
        return EXSM_CATALOG_BACKUP_FAILED;
    }
    // A catalog held exclusively is being repaired, upgraded or restored: no reader may open
    // it then, and the backup waits for the next run too.
    if (IsHeldExclusively(strCatalog)) {
        AppendCatalogLog(strCatalog, "Backup of '%s' refused: the catalog is in exclusive use.",
                         strCatalog.c_str());
        return EXSM_CATALOG_UNAVAILABLE;
    }
    AppendCatalogLog(strCatalog, "Backup of '%s' to '%s' started.", strCatalog.c_str(),
                     strTarget.c_str());
    ProgressMessage("Copying the catalog...");

    CDatabase source;
    std::string strWhy;
    EXSM_STATUS status = OpenCatalogFile(source, strCatalog, false, &strWhy);
    if (status == EXSM_SUCCESS) {
        // One read transaction for the whole copy: a consistent image while others write on.
        if (source.Exec("BEGIN") != SQLITE_OK ||
            source.Exec("SELECT count(*) FROM sqlite_master") != SQLITE_OK) {
            strWhy = source.Error();
            status = EXSM_CATALOG_BACKUP_FAILED;
        }
    }
    if (status == EXSM_SUCCESS) {
        const long long nPages = source.QueryNumber("PRAGMA page_count");
        status = WriteImage(source.Get(), nPages, strTarget, EXSM_CATALOG_BACKUP_FAILED, &strWhy);
        source.Exec("COMMIT");
    }
    source.Close();
    if (status == EXSM_SUCCESS) {
        const std::string strConfig = qn::platform::CatalogConfigurationPath(strCatalog);
        if (KindOf(strConfig) == PathKind::File &&
            !CopyFileAtomically(strConfig, qn::platform::CatalogConfigurationPath(strTarget))) {
            strWhy = std::string("cannot copy the configuration file: ") + std::strerror(errno);
            status = errno == ENOSPC ? EXSM_OUT_OF_DISK_SPACE : EXSM_CATALOG_BACKUP_FAILED;
        }
    }
    if (status == EXSM_SUCCESS) {
        AppendCatalogLog(strCatalog, "Backup of '%s' to '%s' completed.", strCatalog.c_str(),
                         strTarget.c_str());
    } else {
        AppendCatalogLog(strCatalog, "Backup of '%s' failed: %s", strCatalog.c_str(),
                         strWhy.c_str());
    }
    return status;
}

EXSM_STATUS Restore(const char* pszBackup, const char* pszDestDir, int nLockMgr) {
    const std::string strBackup = NonNull(pszBackup);
    const std::string strDestDir = NonNull(pszDestDir);
    const std::string strTarget = strDestDir + "/" + FileNamePart(strBackup);
    if (KindOf(strDestDir) != PathKind::Directory) {
        return EXSM_DOES_NOT_EXIST;
    }
    switch (KindOf(strBackup)) {
        case PathKind::Missing:
            AppendCatalogLog(strTarget, "Restore of '%s' failed: the backup '%s' does not exist.",
                             strTarget.c_str(), strBackup.c_str());
            return EXSM_DOES_NOT_EXIST;
        case PathKind::File:
            break;
        default:
            AppendCatalogLog(strTarget, "Restore of '%s' failed: '%s' is not a backup file.",
                             strTarget.c_str(), strBackup.c_str());
            return EXSM_INVALID_CATALOG_FILE;
    }
    if (SameFile(strBackup, strTarget)) {
        AppendCatalogLog(strTarget, "Restore of '%s' failed: the backup is the catalog itself.",
                         strTarget.c_str());
        return EXSM_CATALOG_RESTORE_FAILED;
    }
    CExclusiveCatalog exclusive;
    EXSM_STATUS status = AcquireExclusive(&exclusive, strTarget, nLockMgr, "Restore");
    if (status != EXSM_SUCCESS) {
        return status;
    }
    AppendCatalogLog(strTarget, "Restore of '%s' from '%s' started.", strTarget.c_str(),
                     strBackup.c_str());
    ProgressMessage("Checking the backup...");

    std::string strWhy;
    CDatabase source;
    status = OpenCatalogFile(source, strBackup, false, &strWhy);
    if (status == EXSM_SUCCESS && source.Exec("BEGIN") == SQLITE_OK) {
        std::vector<std::string> findings;
        const int rc = IntegrityCheck(source, true, &findings);
        if (rc != SQLITE_OK || !findings.empty()) {
            strWhy = rc != SQLITE_OK ? std::string(source.Error())
                                     : "the backup is damaged: " + findings.front();
            status = EXSM_INVALID_CATALOG_FILE;
        }
    } else if (status == EXSM_SUCCESS) {
        strWhy = source.Error();
        status = EXSM_CATALOG_RESTORE_FAILED;
    }
    // The backup's configuration file is copied beside its place first, so that a failure to
    // copy it (a full disk) stops the restore before the catalog is touched; once the catalog
    // is in place, one rename puts the configuration beside it.
    const std::string strConfigFrom = qn::platform::CatalogConfigurationPath(strBackup);
    const std::string strConfigTo = qn::platform::CatalogConfigurationPath(strTarget);
    const std::string strConfigStage = TemporaryNameBeside(strConfigTo, "stage");
    bool fConfigStaged = false;
    if (status == EXSM_SUCCESS && KindOf(strConfigFrom) == PathKind::File) {
        fConfigStaged = CopyFileAtomically(strConfigFrom, strConfigStage);
        if (!fConfigStaged) {
            const int nErr = errno;
            strWhy = std::string("cannot copy the configuration file: ") + std::strerror(nErr);
            status = nErr == ENOSPC ? EXSM_OUT_OF_DISK_SPACE : EXSM_CATALOG_RESTORE_FAILED;
        }
    }
    if (status == EXSM_SUCCESS) {
        // A journal the old catalog left behind must not be replayed into the restored one.
        // (Its committed log is folded in and a crashed writer's journal rolled back now, so
        // that nothing is left to replay should this process stop right after the rename.)
        if (KindOf(strTarget + "-wal") == PathKind::File ||
            KindOf(strTarget + "-journal") == PathKind::File) {
            CDatabase old;
            if (old.Open(strTarget, SQLITE_OPEN_READWRITE) == SQLITE_OK &&
                old.Exec("SELECT count(*) FROM sqlite_master") == SQLITE_OK) {
                old.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
            }
        }
        ProgressMessage("Restoring the catalog...");
        const long long nPages = source.QueryNumber("PRAGMA page_count");
        status = WriteImage(source.Get(), nPages, strTarget, EXSM_CATALOG_RESTORE_FAILED, &strWhy);
        if (status == EXSM_INVALID_CATALOG_FILE) {
            status = EXSM_CATALOG_RESTORE_FAILED;
        }
    }
    source.Close();
    if (status == EXSM_SUCCESS && fConfigStaged) {
        if (::rename(strConfigStage.c_str(), strConfigTo.c_str()) != 0) {
            strWhy = std::string("the catalog was restored but its configuration file was not: ") +
                     std::strerror(errno);
            status = EXSM_CATALOG_RESTORE_FAILED;
        } else {
            SyncDirectory(DirectoryPart(strConfigTo));
        }
    }
    if (fConfigStaged) {
        ::unlink(strConfigStage.c_str());  // left only when the restore failed
    }
    if (status == EXSM_SUCCESS) {
        AppendCatalogLog(strTarget, "Restore of '%s' from '%s' completed.", strTarget.c_str(),
                         strBackup.c_str());
    } else {
        AppendCatalogLog(strTarget, "Restore of '%s' failed: %s", strTarget.c_str(),
                         strWhy.c_str());
    }
    return status;
}

EXSM_STATUS CheckFix(const char* pszCatalog, int fRepair, int nLockMgr) {
    const std::string strCatalog = NonNull(pszCatalog);
    switch (KindOf(strCatalog)) {
        case PathKind::Missing:
            return EXSM_DOES_NOT_EXIST;
        case PathKind::File:
            break;
        default:
            AppendCatalogLog(strCatalog, "Check of '%s' failed: not a catalog file.",
                             strCatalog.c_str());
            return EXSM_INVALID_CATALOG_FILE;
    }
    CExclusiveCatalog exclusive;
    EXSM_STATUS status = AcquireExclusive(&exclusive, strCatalog, nLockMgr, "Check");
    if (status != EXSM_SUCCESS) {
        return status;
    }
    AppendCatalogLog(strCatalog, "Check of '%s' started%s.", strCatalog.c_str(),
                     fRepair ? " (repairing errors)" : "");
    ProgressStart(3);
    ProgressMessage("Checking the catalog...");
    {
        CDatabase db;
        std::string strWhy;
        status = OpenCatalogFile(db, strCatalog, fRepair != 0, &strWhy);
        if (status != EXSM_SUCCESS) {
            AppendCatalogLog(strCatalog, "Check of '%s' failed: %s", strCatalog.c_str(),
                             strWhy.c_str());
            return status;
        }
    }
    ProgressStep(1);

    // The engine checks the file and its own structures in one pass when it can open the
    // catalog; it takes the catalog exclusively itself (and is refused if anyone came in).
    exclusive.Release();
    const FindingSink sink = [&](const std::string& strLine) {
        AppendCatalogLog(strCatalog, "  structures: %s", strLine.c_str());
    };
    const StructureResult structures =
        CheckEngineStructures(strCatalog, nLockMgr, fRepair != 0, sink);
    if (structures.status == EXSM_CATALOG_UNAVAILABLE || structures.status == EXSM_ACCESS_DENIED ||
        structures.status == EXSM_INVALID_LOCK_MANAGER) {
        AppendCatalogLog(strCatalog, "Check of '%s' stopped: %s.", strCatalog.c_str(),
                         structures.status == EXSM_CATALOG_UNAVAILABLE
                             ? "the catalog is in use"
                             : "the catalog cannot be opened for the check");
        return structures.status;
    }
    unsigned nErrors = structures.nErrors;
    unsigned nRepaired = structures.nRepaired;
    if (structures.status != EXSM_SUCCESS) {
        AppendCatalogLog(strCatalog, "Check of '%s' stopped in the structure check.",
                         strCatalog.c_str());
        ++nErrors;
    }
    ProgressStep(2);

    if (!structures.fSupported) {
        // Without the engine: SQLite's own check of pages, rows and indexes.
        status = exclusive.Acquire(strCatalog, nLockMgr);
        if (status != EXSM_SUCCESS) {
            return status;
        }
        ProgressMessage("Checking the database file...");
        CDatabase db;
        std::string strWhy;
        status = OpenCatalogFile(db, strCatalog, fRepair != 0, &strWhy);
        if (status != EXSM_SUCCESS) {
            AppendCatalogLog(strCatalog, "Check of '%s' failed: %s", strCatalog.c_str(),
                             strWhy.c_str());
            return status;
        }
        std::vector<std::string> findings;
        const int rc = IntegrityCheck(db, false, &findings);
        if (rc != SQLITE_OK) {
            findings.push_back(db.Error());
        }
        for (const std::string& strFinding : findings) {
            AppendCatalogLog(strCatalog, "  database file: %s", strFinding.c_str());
        }
        nErrors += static_cast<unsigned>(findings.size());
        if (!findings.empty() && fRepair) {
            // Indexes are derived data: rebuilding them mends every index fault. Damage to
            // the rows themselves stays and is reported.
            const int rcReindex = db.Exec("REINDEX");
            std::vector<std::string> after;
            const int rcAfter = IntegrityCheck(db, false, &after);
            if (rcReindex == SQLITE_OK && rcAfter == SQLITE_OK && after.empty()) {
                AppendCatalogLog(strCatalog,
                                 "  database file: indexes rebuilt; the file is sound.");
                nRepaired += static_cast<unsigned>(findings.size());
            } else {
                AppendCatalogLog(strCatalog,
                                 "  database file: damage left after rebuilding indexes.");
            }
        }
    }
    ProgressStep(3);

    if (nErrors == 0) {
        status = EXSM_SUCCESS;
    } else if (nRepaired >= nErrors) {
        status = EXSM_CATALOG_REPAIRED;
    } else {
        status = EXSM_CATALOG_CORRUPTED;
    }
    AppendCatalogLog(strCatalog, "Check of '%s' completed: %u error(s) found, %u repaired.",
                     strCatalog.c_str(), nErrors, nRepaired);
    return status;
}

EXSM_STATUS KeyBuild(const char* pszDictionary, int nLockMgr) {
    const std::string strCatalog = NonNull(pszDictionary);
    switch (KindOf(strCatalog)) {
        case PathKind::Missing:
            return EXSM_DOES_NOT_EXIST;
        case PathKind::File:
            break;
        default:
            return EXSM_INVALID_CATALOG_FILE;
    }
    CExclusiveCatalog exclusive;
    EXSM_STATUS status = exclusive.Acquire(strCatalog, nLockMgr);
    if (status != EXSM_SUCCESS) {
        return status;
    }
    CDatabase db;
    std::string strWhy;
    status = OpenCatalogFile(db, strCatalog, true, &strWhy);
    db.Close();
    exclusive.Release();
    // The engine rebuilds every index and its own key entries in one transaction: the keys are
    // rebuilt whole or left as they were.
    if (status == EXSM_SUCCESS) {
        status = RebuildEngineKeys(strCatalog, nLockMgr, [&](const std::string& strLine) {
            AppendCatalogLog(strCatalog, "  keys: %s", strLine.c_str());
        });
        if (status != EXSM_SUCCESS) {
            strWhy = "the engine's key entries could not be rebuilt";
        }
    }
    if (status == EXSM_SUCCESS) {
        AppendCatalogLog(strCatalog, "Keys of '%s' rebuilt.", strCatalog.c_str());
    } else {
        AppendCatalogLog(strCatalog, "Key rebuild of '%s' failed: %s", strCatalog.c_str(),
                         strWhy.c_str());
    }
    return status;
}

}  // namespace qn::dbu

using namespace qn::dbu;

extern "C" {

QN_EXPORT void DBUSetProgress(DBUPROGRESSPROC pfnProgress) {
    g_pfnProgress = pfnProgress;
}

QN_EXPORT void DBUSetWorkPath(const char* pszPath) {
    Guarded([&] {
        g_strWorkPath = NonNull(pszPath);
        return EXSM_SUCCESS;
    });
}

QN_EXPORT const char* DBUGetWorkPath(void) {
    return g_strWorkPath.c_str();
}

QN_EXPORT EXSM_STATUS UTBackUp(const char* pszCatalog, const char* pszDestDir, int nLockMgr) {
    return Guarded([&] { return BackUp(pszCatalog, pszDestDir, nLockMgr); });
}

QN_EXPORT EXSM_STATUS UTRestore(const char* pszBackup, const char* pszDestDir, int nLockMgr) {
    return Guarded([&] { return Restore(pszBackup, pszDestDir, nLockMgr); });
}

QN_EXPORT EXSM_STATUS UTCheckFix(const char* pszCatalog, int fRepair, int nLockMgr) {
    return Guarded([&] { return CheckFix(pszCatalog, fRepair, nLockMgr); });
}

QN_EXPORT EXSM_STATUS DB_KEYBUILD(const char* pszDictionary, int nLockMgr) {
    return Guarded([&] { return KeyBuild(pszDictionary, nLockMgr); });
}

}  // extern "C"
