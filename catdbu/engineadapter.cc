// The engine adapter over the catalog file set as the engine lays it out: the catalog database
// and its lock file (".TAF") beside it, on which every process that has the catalog open holds
// open-file-description byte-range locks.
#include "engineadapter.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>

#include "dbufiles.h"

namespace qn::dbu {

EXSM_STATUS CheckLockManager(int nLockMgr) {
    // Every index the engine knows selects its file lock manager; a negative one is no index.
    return nLockMgr >= 0 ? EXSM_SUCCESS : EXSM_INVALID_LOCK_MANAGER;
}

struct CExclusiveCatalog::Impl {
    int fd = -1;
};

CExclusiveCatalog::CExclusiveCatalog() : m_pImpl(new Impl) {}

CExclusiveCatalog::~CExclusiveCatalog() {
    Release();
    delete m_pImpl;
}

EXSM_STATUS CExclusiveCatalog::Acquire(const std::string& strCatalogPath, int nLockMgr) {
    Release();
    if (EXSM_STATUS status = CheckLockManager(nLockMgr); status != EXSM_SUCCESS) {
        return status;
    }
    const std::string strTaf = ReplaceExtension(strCatalogPath, "TAF");
    const int fd = ::open(strTaf.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno == EACCES || errno == EROFS || errno == EPERM ? EXSM_ACCESS_DENIED
                                                                   : EXSM_LOCK_ERROR;
    }
    // A write lock over the whole file conflicts with every lock any opener holds there (its
    // open lock and its lock-manager user entry), and keeps new openers out while held.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int nErr = errno;
        ::close(fd);
        return nErr == EAGAIN || nErr == EACCES ? EXSM_CATALOG_UNAVAILABLE : EXSM_LOCK_ERROR;
    }
    m_pImpl->fd = fd;
    return EXSM_SUCCESS;
}

void CExclusiveCatalog::Release() {
    if (m_pImpl->fd >= 0) {
        ::close(m_pImpl->fd);  // closing the description drops its locks
        m_pImpl->fd = -1;
    }
}

bool IsCatalogDatabase(sqlite3* pDb) {
    // Any database with at least one table may be a catalog until the engine's dictionary can
    // be asked for.
    sqlite3_stmt* pStmt = nullptr;
    bool fCatalog = false;
    if (sqlite3_prepare_v2(pDb, "SELECT count(*) FROM sqlite_master WHERE type='table'", -1, &pStmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(pStmt) == SQLITE_ROW) {
        fCatalog = sqlite3_column_int(pStmt, 0) > 0;
    }
    sqlite3_finalize(pStmt);
    return fCatalog;
}

StructureResult CheckEngineStructures(const std::string&, bool, const FindingSink&) {
    StructureResult result;
    result.fSupported = false;
    return result;
}

EXSM_STATUS RebuildEngineKeys(const std::string&, const FindingSink&) {
    return EXSM_SUCCESS;
}

}  // namespace qn::dbu
