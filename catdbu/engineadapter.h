// What the catalog utilities need from the record store engine: its open locks (who has a
// catalog open), its lock-manager choice, its dictionary test and its own structure check and
// key rebuild. Everything the utilities know about the engine goes through here.
#pragma once

#include <functional>
#include <string>

#include "exsmstatus.h"

struct sqlite3;

namespace qn::dbu {

// EXSM_SUCCESS when the engine serves lock-manager index nLockMgr; EXSM_INVALID_LOCK_MANAGER
// otherwise.
EXSM_STATUS CheckLockManager(int nLockMgr);

// True when another process (or a CExclusiveCatalog) has the catalog open exclusively, as the
// engine reports it.
bool IsHeldExclusively(const std::string& strCatalogPath);

// Holds a catalog's exclusive open lock (the lock an exclusive engine open holds) while it
// lives, so no process can open the catalog meanwhile.
class CExclusiveCatalog {
  public:
    CExclusiveCatalog();
    ~CExclusiveCatalog();
    CExclusiveCatalog(const CExclusiveCatalog&) = delete;
    CExclusiveCatalog& operator=(const CExclusiveCatalog&) = delete;

    // EXSM_SUCCESS when held; EXSM_CATALOG_UNAVAILABLE when any process has the catalog open;
    // EXSM_INVALID_LOCK_MANAGER; EXSM_ACCESS_DENIED or EXSM_LOCK_ERROR when the lock file cannot
    // be used. The catalog file itself need not exist (a restore may create it).
    EXSM_STATUS Acquire(const std::string& strCatalogPath, int nLockMgr);
    void Release();

  private:
    struct Impl;
    Impl* m_pImpl;
};

// True when the open database holds the engine's dictionary (a catalog, not just any database).
bool IsCatalogDatabase(sqlite3* pDb);

// One finding of a check, as a line for the log.
using FindingSink = std::function<void(const std::string&)>;

struct StructureResult {
    EXSM_STATUS status = EXSM_SUCCESS;  // EXSM_SUCCESS when the check ran to its end
    unsigned nErrors = 0;               // findings
    unsigned nRepaired = 0;             // findings mended (with repair)
    bool fSupported = true;             // false when the engine cannot open this catalog
};

// Runs the engine's check of its own structures (set memberships, key entries, member counts
// against the records). The engine opens the catalog exclusively itself; status is then
// EXSM_CATALOG_UNAVAILABLE when anyone else has it open, EXSM_ACCESS_DENIED when it cannot be
// written.
StructureResult CheckEngineStructures(const std::string& strCatalogPath, int nLockMgr, bool fRepair,
                                      const FindingSink& sink);

// Rebuilds the engine's own key-entry tables of a catalog nobody else has open.
// EXSM_SUCCESS when rebuilt (or when the engine keeps no such tables).
EXSM_STATUS RebuildEngineKeys(const std::string& strCatalogPath, int nLockMgr,
                              const FindingSink& sink);

}  // namespace qn::dbu
