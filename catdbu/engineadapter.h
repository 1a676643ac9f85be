// What the catalog utilities need from the record store engine: its open locks (who has a
// catalog open), its lock-manager choice, its dictionary test and its own structure check and
// key rebuild. Everything the utilities know about the engine goes through here.
#pragma once

#include <functional>
#include <string>

#include "catdbms/dbms.h"
#include "exsmstatus.h"

namespace qn::dbu {

// EXSM_SUCCESS when the engine serves lock-manager index nLockMgr; EXSM_INVALID_LOCK_MANAGER
// otherwise.
EXSM_STATUS CheckLockManager(int nLockMgr);

// True when another process (or a CExclusiveCatalog) has the catalog open exclusively, as the
// engine reports it.
bool IsHeldExclusively(const std::string& strCatalogPath);

// Holds a catalog's exclusive open lock (the lock an exclusive engine open holds) while it
// lives, so no process can open the catalog meanwhile. The engine's check and key rebuild take
// the hold over while they run and give it back when they end.
class CExclusiveCatalog {
  public:
    CExclusiveCatalog() = default;
    CExclusiveCatalog(const CExclusiveCatalog&) = delete;
    CExclusiveCatalog& operator=(const CExclusiveCatalog&) = delete;

    // EXSM_SUCCESS when held; EXSM_CATALOG_UNAVAILABLE when any process has the catalog open;
    // EXSM_INVALID_LOCK_MANAGER; EXSM_ACCESS_DENIED or EXSM_LOCK_ERROR when the lock file cannot
    // be used. The catalog file itself need not exist (a restore may create it).
    EXSM_STATUS Acquire(const std::string& strCatalogPath, int nLockMgr);
    void Release();
    bool IsHeld() const { return m_hold.IsHeld(); }
    qn::dbms::CCatalogHold* Hold() { return &m_hold; }

  private:
    qn::dbms::CCatalogHold m_hold;
};

// One finding of a check, as a line for the log.
using FindingSink = std::function<void(const std::string&)>;

struct StructureResult {
    EXSM_STATUS status = EXSM_SUCCESS;  // EXSM_SUCCESS when the check ran to its end
    unsigned nErrors = 0;               // findings
    unsigned nRepaired = 0;             // findings mended (with repair)
    bool fSupported = true;             // false when the engine cannot open this catalog
};

// Runs the engine's check of the catalog file and its own structures (set memberships, key
// entries, member counts against the records) on a catalog the caller holds (pHeld). The engine
// opens it exclusively under that hold; status is EXSM_ACCESS_DENIED when it cannot be written.
StructureResult CheckEngineStructures(const std::string& strCatalogPath, int nLockMgr, bool fRepair,
                                      const FindingSink& sink, CExclusiveCatalog* pHeld);

// Rebuilds the engine's own key-entry tables of a catalog the caller holds (pHeld).
// EXSM_SUCCESS when rebuilt (or when the engine keeps no such tables).
EXSM_STATUS RebuildEngineKeys(const std::string& strCatalogPath, int nLockMgr,
                              const FindingSink& sink, CExclusiveCatalog* pHeld);

}  // namespace qn::dbu
