// Hooks for the engine's own tests; not part of the engine interface.
#pragma once

namespace qn::dbms::testing {

// Makes every later open use the rollback journal, as on a network file system, so that the
// tests can run that path on a local disk.
void ForceRollbackJournal(bool force);

}  // namespace qn::dbms::testing
