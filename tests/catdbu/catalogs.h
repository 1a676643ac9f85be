// Test catalogs on disk and processes that hold them open.
#pragma once

#include <sys/types.h>

#include <string>

namespace qn::test::catalogs {

// Makes a catalog at strPath with nRecords records (and a configuration file beside it).
void MakeCatalog(const std::string& strPath, int nRecords);
// A text that tells the records of a catalog apart: every record in order, one line each.
std::string Contents(const std::string& strPath);
// Adds records to a catalog.
void AddRecords(const std::string& strPath, int nRecords, const std::string& strTag);
// PRAGMA integrity_check's answer ("ok" when sound).
std::string IntegrityOf(const std::string& strPath);

// Damage that an index rebuild mends: an index whose entries no longer match its table.
void DamageIndex(const std::string& strPath);
// Damage to the records themselves: pages of the record table overwritten.
void DamageRecords(const std::string& strPath);

// Damage to the engine's own structures that its key rebuild mends: a member count that
// disagrees with the memberships. False when the catalog has no engine structures.
bool DamageEngineCounts(const std::string& strPath);

// A second process that has the catalog open, the way the catalog engine opens it, until
// Release() or destruction.
class CCatalogHolder {
  public:
    // pszMode: the engine's open mode, "s" (shared) or "x" (exclusive).
    explicit CCatalogHolder(const std::string& strCatalogPath, const char* pszMode = "s");
    ~CCatalogHolder();
    CCatalogHolder(const CCatalogHolder&) = delete;
    CCatalogHolder& operator=(const CCatalogHolder&) = delete;
    bool Holding() const { return m_pid > 0; }
    void Release();

  private:
    pid_t m_pid = -1;
    int m_fdRelease = -1;
};

}  // namespace qn::test::catalogs
