// The engine adapter over the catalog file set as the engine lays it out: the catalog database
// and its lock file (".TAF") beside it, on which every process that has the catalog open holds
// open-file-description byte-range locks.
#include "engineadapter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "catdbms/dbms.h"
#include "dbufiles.h"

namespace qn::dbu {

namespace {

using qn::dbms::CDbTask;

// The lock-manager transport each "LockMgr" index selects, as the catalog store chooses it.
constexpr int kTransports[] = {4, 4, 3, 2, 7, 6, 12, 5, 13};
constexpr int kFallbackLockMgr = 1;

// The transport of an index; -1 for an index outside the table.
int TransportOf(int nLockMgr) {
    if (nLockMgr < 0 || nLockMgr >= static_cast<int>(sizeof kTransports / sizeof kTransports[0])) {
        return -1;
    }
    return kTransports[nLockMgr];
}

// Chooses the task's lock manager like the catalog store: a transport the engine does not have
// falls back to index 1; a transport code outside the engine's range is refused.
EXSM_STATUS ChooseLockManager(CDbTask& task, int nLockMgr) {
    const int nTransport = TransportOf(nLockMgr);
    if (nTransport < 0) {
        return EXSM_INVALID_LOCK_MANAGER;
    }
    int rc = task.SetLockManager(nTransport);
    if (rc != qn::dbms::S_OKAY && rc != qn::dbms::S_BADTRANSPORT && nLockMgr != kFallbackLockMgr) {
        rc = task.SetLockManager(TransportOf(kFallbackLockMgr));
    }
    if (rc == qn::dbms::S_BADTRANSPORT) {
        return EXSM_INVALID_LOCK_MANAGER;
    }
    return EXSM_SUCCESS;
}

// True when this process may write the file and make files beside it (the database's journal).
bool IsWritable(const std::string& strPath) {
    return ::faccessat(AT_FDCWD, strPath.c_str(), W_OK, AT_EACCESS) == 0 &&
           ::faccessat(AT_FDCWD, DirectoryPart(strPath).c_str(), W_OK, AT_EACCESS) == 0;
}

// Opens the catalog with the engine, exclusively, under the caller's hold when there is one.
// EXSM_SUCCESS; EXSM_CATALOG_UNAVAILABLE (open elsewhere); EXSM_ACCESS_DENIED (nobody else has
// it open, but the catalog or its folder cannot be written); EXSM_INVALID_CATALOG_FILE (the
// engine cannot read its dictionary); EXSM_INVALID_LOCK_MANAGER; EXSM_CATALOG_OPEN_ERROR (any
// other refusal).
EXSM_STATUS OpenExclusive(CDbTask& task, const std::string& strCatalogPath, int nLockMgr,
                          CExclusiveCatalog* pHeld, std::string* pstrWhy) {
    if (EXSM_STATUS status = ChooseLockManager(task, nLockMgr); status != EXSM_SUCCESS) {
        *pstrWhy = "lock manager " + std::to_string(nLockMgr) + " is not available";
        return status;
    }
    task.SetLockTimeout(0);
    const bool fHeld = pHeld != nullptr && pHeld->IsHeld();
    const int rc = fHeld ? task.OpenHeld(strCatalogPath.c_str(), pHeld->Hold())
                         : task.Open(strCatalogPath.c_str(), "x");
    qn::dbms::OpenState state = qn::dbms::OpenState::Shared;
    switch (rc) {
        case qn::dbms::S_OKAY:
            return EXSM_SUCCESS;
        case qn::dbms::S_UNAVAIL:
            // The engine refuses a catalog it cannot write the same way as one in use: unless
            // the catalog is held here, ask it who has the catalog open before calling it busy.
            if ((fHeld ||
                 (CDbTask::QueryOpenState(strCatalogPath.c_str(), &state) == qn::dbms::S_OKAY &&
                  state == qn::dbms::OpenState::Closed)) &&
                !IsWritable(strCatalogPath)) {
                *pstrWhy = "the catalog or its folder cannot be written";
                return EXSM_ACCESS_DENIED;
            }
            *pstrWhy = "the catalog is in use";
            return EXSM_CATALOG_UNAVAILABLE;
        case qn::dbms::S_DUPLICATE:
            *pstrWhy = "the catalog is in use";
            return EXSM_CATALOG_UNAVAILABLE;
        case qn::dbms::S_INVDB:
            *pstrWhy = "the engine cannot read the catalog's dictionary";
            return EXSM_INVALID_CATALOG_FILE;
        default:
            *pstrWhy = "the engine cannot open the catalog (status " + std::to_string(rc) + ")";
            return EXSM_CATALOG_OPEN_ERROR;
    }
}

}  // namespace

EXSM_STATUS CheckLockManager(int nLockMgr) {
    CDbTask task;
    return ChooseLockManager(task, nLockMgr);
}

bool IsHeldExclusively(const std::string& strCatalogPath) {
    qn::dbms::OpenState state = qn::dbms::OpenState::Closed;
    return CDbTask::QueryOpenState(strCatalogPath.c_str(), &state) == qn::dbms::S_OKAY &&
           state == qn::dbms::OpenState::Exclusive;
}

EXSM_STATUS CExclusiveCatalog::Acquire(const std::string& strCatalogPath, int nLockMgr) {
    Release();
    if (EXSM_STATUS status = CheckLockManager(nLockMgr); status != EXSM_SUCCESS) {
        return status;
    }
    switch (m_hold.Acquire(strCatalogPath.c_str())) {
        case qn::dbms::S_OKAY:
            return EXSM_SUCCESS;
        case qn::dbms::S_UNAVAIL:
            return EXSM_CATALOG_UNAVAILABLE;
        case qn::dbms::S_NOLOCKMGR: {
            // The lock file cannot be opened or made: for want of permission, or for another
            // reason of the system's.
            const std::string strTaf = CDbTask::DefaultTafPath(strCatalogPath.c_str());
            const bool fDenied =
                KindOf(strTaf) == PathKind::File
                    ? ::faccessat(AT_FDCWD, strTaf.c_str(), W_OK, AT_EACCESS) != 0
                    : ::faccessat(AT_FDCWD, DirectoryPart(strTaf).c_str(), W_OK, AT_EACCESS) != 0;
            return fDenied ? EXSM_ACCESS_DENIED : EXSM_LOCK_ERROR;
        }
        case qn::dbms::S_NOMEMORY:
            return EXSM_OUT_OF_MEMORY;
        default:
            return EXSM_LOCK_ERROR;
    }
}

void CExclusiveCatalog::Release() {
    m_hold.Release();
}

StructureResult CheckEngineStructures(const std::string& strCatalogPath, int nLockMgr, bool fRepair,
                                      const FindingSink& sink, CExclusiveCatalog* pHeld) {
    StructureResult result;
    CDbTask task;
    std::string strWhy;
    const EXSM_STATUS status = OpenExclusive(task, strCatalogPath, nLockMgr, pHeld, &strWhy);
    if (status == EXSM_CATALOG_UNAVAILABLE || status == EXSM_ACCESS_DENIED ||
        status == EXSM_INVALID_LOCK_MANAGER) {
        result.status = status;
        sink(strWhy);
        return result;
    }
    if (status != EXSM_SUCCESS) {
        // The engine cannot read this catalog: that is one error, and the file is left to
        // the database's own check.
        result.fSupported = false;
        result.nErrors = 1;
        sink(strWhy);
        return result;
    }
    qn::dbms::CheckReport report;
    int rc = task.CheckCatalog(&report);
    for (const std::string& strMessage : report.messages) {
        sink(strMessage);
    }
    result.nErrors = report.errors;
    if (rc != qn::dbms::S_OKAY && rc != qn::dbms::S_NOTFOUND) {
        result.status = EXSM_CATALOG_CORRUPTED;
        sink("the structure check stopped (status " + std::to_string(rc) + ")");
        return result;
    }
    if (report.errors > 0 && fRepair) {
        qn::dbms::CheckReport rebuild;
        rc = task.RebuildKeys(&rebuild);
        for (const std::string& strMessage : rebuild.messages) {
            sink("rebuilt: " + strMessage);
        }
        qn::dbms::CheckReport after;
        const int rcAfter = task.CheckCatalog(&after);
        if (rc == qn::dbms::S_OKAY && rcAfter == qn::dbms::S_OKAY) {
            result.nRepaired = report.errors;
            sink("keys, set order and member counts rebuilt; the structures are sound");
        } else {
            const uint32_t nLeft = rcAfter == qn::dbms::S_NOTFOUND ? after.errors : report.errors;
            result.nRepaired = nLeft < report.errors ? report.errors - nLeft : 0;
            for (const std::string& strMessage : after.messages) {
                sink("left: " + strMessage);
            }
        }
    }
    task.Close();
    return result;
}

EXSM_STATUS RebuildEngineKeys(const std::string& strCatalogPath, int nLockMgr,
                              const FindingSink& sink, CExclusiveCatalog* pHeld) {
    CDbTask task;
    std::string strWhy;
    const EXSM_STATUS status = OpenExclusive(task, strCatalogPath, nLockMgr, pHeld, &strWhy);
    if (status != EXSM_SUCCESS) {
        sink(strWhy);
        return status == EXSM_INVALID_CATALOG_FILE ? EXSM_CATALOG_CORRUPTED : status;
    }
    qn::dbms::CheckReport report;
    const int rc = task.RebuildKeys(&report);
    for (const std::string& strMessage : report.messages) {
        sink(strMessage);
    }
    task.Close();
    if (rc == qn::dbms::S_OKAY) {
        return EXSM_SUCCESS;
    }
    return EXSM_CATALOG_CORRUPTED;
}

}  // namespace qn::dbu
