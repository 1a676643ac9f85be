// Warnings of the loader and the authentication module. The library never writes to the
// application's standard error: a warning goes to the system log, where an administrator finds
// it, while the load reports the failure itself through its error stack and result code.
#pragma once

namespace qn::webnet {

// Logs one warning line (printf format) to the system log under the name "webnet".
void Warn(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qn::webnet
