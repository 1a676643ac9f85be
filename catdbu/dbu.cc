// The exported catalog utilities: backup, restore, check and repair, key rebuild.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
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

using qn::dbms::CDbFile;

// Opens an existing file as a catalog. EXSM_SUCCESS, or the status that tells why not.
EXSM_STATUS OpenCatalogFile(CDbFile& file, const std::string& strPath, bool fWrite,
                            std::string* pstrWhy) {
    switch (file.Open(strPath.c_str(), fWrite)) {
        case qn::dbms::S_OKAY:
            break;
        case qn::dbms::S_INVDB:
            *pstrWhy = file.LastError();
            return EXSM_INVALID_CATALOG_FILE;
        case qn::dbms::S_UNAVAIL:
            *pstrWhy = file.LastError();
            return EXSM_CATALOG_UNAVAILABLE;
        case qn::dbms::S_BADPATH:
            *pstrWhy = file.LastError();
            return EXSM_ACCESS_DENIED;
        default:
            *pstrWhy = file.LastError();
            return EXSM_CATALOG_OPEN_ERROR;
    }
    if (!file.IsCatalog()) {
        *pstrWhy = "the file holds no catalog dictionary";
        return EXSM_INVALID_CATALOG_FILE;
    }
    return EXSM_SUCCESS;
}

// The progress of a copy as steps of the progress routine.
struct CopySteps {
    long nSteps = 1;
    long nStep = 0;
};

bool OnCopyProgress(uint64_t nDone, uint64_t nTotal, void* pvSteps) {
    CopySteps& steps = *static_cast<CopySteps*>(pvSteps);
    if (nDone >= nTotal) {
        steps.nStep = steps.nSteps;
    } else if (steps.nStep < steps.nSteps) {
        ++steps.nStep;
    }
    return ProgressStep(steps.nStep);
}

EXSM_STATUS StatusOfCopyFailure(int rc, EXSM_STATUS failure) {
    if (rc == qn::dbms::S_NOSPACE) {
        return EXSM_OUT_OF_DISK_SPACE;
    }
    if (rc == qn::dbms::S_INVDB) {
        return EXSM_INVALID_CATALOG_FILE;
    }
    return failure;
}

void RemoveDatabaseFiles(const std::string& strPath) {
    ::unlink(strPath.c_str());
    CDbFile::RemoveJournals(strPath.c_str());
}

// Writes a copy of the open file source (inside its snapshot) to strTarget by way of a
// temporary file beside it; strTarget is replaced only when the copy is whole and on disk.
EXSM_STATUS WriteImage(CDbFile& source, const std::string& strTarget, EXSM_STATUS failure,
                       std::string* pstrWhy) {
    uint64_t nPages = 0;
    if (source.PageCount(&nPages) != qn::dbms::S_OKAY) {
        *pstrWhy = source.LastError();
        return failure;
    }
    // About 200 steps, never fewer than 64 pages a step.
    uint64_t nPerStep = (nPages + 199) / 200;
    if (nPerStep < 64) {
        nPerStep = 64;
    }
    CopySteps steps;
    steps.nSteps = static_cast<long>(nPages == 0 ? 1 : (nPages + nPerStep - 1) / nPerStep);
    ProgressStart(steps.nSteps);

    const std::string strTemp = TemporaryNameBeside(strTarget, "part");
    RemoveDatabaseFiles(strTemp);
    // The image is a plain single file whatever journal the source used.
    const int rc =
        source.CopyTo(strTemp.c_str(), static_cast<uint32_t>(nPerStep), &OnCopyProgress, &steps);
    if (rc != qn::dbms::S_OKAY) {
        *pstrWhy = source.LastError();
        RemoveDatabaseFiles(strTemp);
        return rc == qn::dbms::S_STOPPED ? failure : StatusOfCopyFailure(rc, failure);
    }
    if (!SyncFile(strTemp) || ::rename(strTemp.c_str(), strTarget.c_str()) != 0) {
        const int nErr = errno;
        *pstrWhy = std::string("cannot put the copy in place: ") + std::strerror(nErr);
        RemoveDatabaseFiles(strTemp);
        return nErr == ENOSPC ? EXSM_OUT_OF_DISK_SPACE : failure;
    }
    // Journals an earlier file of that name left behind belong to it, not to the new image.
    CDbFile::RemoveJournals(strTarget.c_str());
    SyncDirectory(DirectoryPart(strTarget));
    return EXSM_SUCCESS;
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

    CDbFile source;
    std::string strWhy;
    EXSM_STATUS status = OpenCatalogFile(source, strCatalog, false, &strWhy);
    // One snapshot for the whole copy: a consistent image while others write on.
    if (status == EXSM_SUCCESS && source.BeginSnapshot() != qn::dbms::S_OKAY) {
        strWhy = source.LastError();
        status = EXSM_CATALOG_BACKUP_FAILED;
    }
    if (status == EXSM_SUCCESS) {
        status = WriteImage(source, strTarget, EXSM_CATALOG_BACKUP_FAILED, &strWhy);
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
    CDbFile source;
    status = OpenCatalogFile(source, strBackup, false, &strWhy);
    if (status == EXSM_SUCCESS && source.BeginSnapshot() == qn::dbms::S_OKAY) {
        std::vector<std::string> findings;
        const int rc = source.CheckStorage(true, &findings);
        if (rc != qn::dbms::S_OKAY || !findings.empty()) {
            strWhy = rc != qn::dbms::S_OKAY ? std::string(source.LastError())
                                            : "the backup is damaged: " + findings.front();
            status = rc == qn::dbms::S_NOMEMORY ? EXSM_OUT_OF_MEMORY : EXSM_INVALID_CATALOG_FILE;
        }
    } else if (status == EXSM_SUCCESS) {
        strWhy = source.LastError();
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
        CDbFile::SettleJournals(strTarget.c_str());
        ProgressMessage("Restoring the catalog...");
        status = WriteImage(source, strTarget, EXSM_CATALOG_RESTORE_FAILED, &strWhy);
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
        CDbFile file;
        std::string strWhy;
        status = OpenCatalogFile(file, strCatalog, fRepair != 0, &strWhy);
        if (status != EXSM_SUCCESS) {
            AppendCatalogLog(strCatalog, "Check of '%s' failed: %s", strCatalog.c_str(),
                             strWhy.c_str());
            return status;
        }
    }
    ProgressStep(1);

    // The engine checks the file and its own structures in one pass when it can open the
    // catalog; it takes the hold over, so nobody can come in meanwhile, and gives it back.
    const FindingSink sink = [&](const std::string& strLine) {
        AppendCatalogLog(strCatalog, "  structures: %s", strLine.c_str());
    };
    const StructureResult structures =
        CheckEngineStructures(strCatalog, nLockMgr, fRepair != 0, sink, &exclusive);
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
        // Without the engine: the storage's own check of pages, rows and indexes.
        if (!exclusive.IsHeld()) {
            status = exclusive.Acquire(strCatalog, nLockMgr);
            if (status != EXSM_SUCCESS) {
                return status;
            }
        }
        ProgressMessage("Checking the database file...");
        CDbFile file;
        std::string strWhy;
        status = OpenCatalogFile(file, strCatalog, fRepair != 0, &strWhy);
        if (status != EXSM_SUCCESS) {
            AppendCatalogLog(strCatalog, "Check of '%s' failed: %s", strCatalog.c_str(),
                             strWhy.c_str());
            return status;
        }
        std::vector<std::string> findings;
        const int rc = file.CheckStorage(false, &findings);
        if (rc != qn::dbms::S_OKAY) {
            findings.push_back(file.LastError());
        }
        for (const std::string& strFinding : findings) {
            AppendCatalogLog(strCatalog, "  database file: %s", strFinding.c_str());
        }
        nErrors += static_cast<unsigned>(findings.size());
        if (!findings.empty() && fRepair) {
            // Indexes are derived data: rebuilding them mends every index fault. Damage to
            // the rows themselves stays and is reported.
            const int rcReindex = file.RebuildIndexes();
            std::vector<std::string> after;
            const int rcAfter = file.CheckStorage(false, &after);
            if (rcReindex == qn::dbms::S_OKAY && rcAfter == qn::dbms::S_OKAY && after.empty()) {
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
    CDbFile file;
    std::string strWhy;
    status = OpenCatalogFile(file, strCatalog, true, &strWhy);
    file.Close();
    // The engine rebuilds every index and its own key entries in one transaction: the keys are
    // rebuilt whole or left as they were. It takes the hold over for that.
    if (status == EXSM_SUCCESS) {
        status = RebuildEngineKeys(
            strCatalog, nLockMgr,
            [&](const std::string& strLine) {
                AppendCatalogLog(strCatalog, "  keys: %s", strLine.c_str());
            },
            &exclusive);
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
