// The catalog's own log: a text file beside the catalog, named like it with the extension "log"
// (catalog.vfc -> catalog.log), which the maintenance program's View Log shows. The utilities,
// the maintenance program and the structure verification all append to it.
#pragma once

#include <string>

namespace qn {

// The catalog path with the extension of its file name replaced by "log"; a name without an
// extension (or one whose only dot starts it) gets ".log" appended.
std::string CatalogLogPath(const std::string& strCatalogPath);

// Appends one line, stamped with the local time, to the catalog's log. A line of several
// processes stays whole (one append write each). Failures are ignored: the log never makes an
// operation fail.
void AppendCatalogLog(const std::string& strCatalogPath, const char* pszFormat, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace qn
