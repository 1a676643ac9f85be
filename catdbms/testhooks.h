// Hooks for the engine's own tests; not part of the engine interface.
#pragma once

#include <cstdint>

namespace qn::dbms::testing {

// Makes every later open use the rollback journal, as on a network file system, so that the
// tests can run that path on a local disk.
void ForceRollbackJournal(bool force);

// Makes every later new catalog in the form of catalogs made before the engine gave the slots
// itself (AUTOINCREMENT tables and sqlite_sequence), so that the tests can run that form.
void CreateAutoincrementCatalogs(bool classic);

// Pages this process's catalog connections have written to their logs (or journals) since it
// started: what the benchmarks report as the write cost of one change.
uint64_t PagesWritten();

}  // namespace qn::dbms::testing
