#include "warn.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace qn::webnet {

void Warn(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    char szLine[1024];
    vsnprintf(szLine, sizeof szLine, pszFormat, args);
    va_end(args);
    syslog(LOG_USER | LOG_WARNING, "webnet: %s", szLine);
}

}  // namespace qn::webnet
