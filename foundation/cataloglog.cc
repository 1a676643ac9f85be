#include "foundation/cataloglog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace qn {

std::string CatalogLogPath(const std::string& strCatalogPath) {
    const size_t nSlash = strCatalogPath.rfind('/');
    const size_t nNameStart = nSlash == std::string::npos ? 0 : nSlash + 1;
    const size_t nDot = strCatalogPath.rfind('.');
    if (nDot != std::string::npos && nDot > nNameStart) {
        return strCatalogPath.substr(0, nDot) + ".log";
    }
    return strCatalogPath + ".log";
}

void AppendCatalogLog(const std::string& strCatalogPath, const char* pszFormat, ...) {
    char szText[2048];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szText, sizeof szText, pszFormat, args);
    va_end(args);

    const std::time_t now = std::time(nullptr);
    struct tm tmNow {};
    ::localtime_r(&now, &tmNow);
    char szLine[2200];
    const int cch = std::snprintf(szLine, sizeof szLine, "%04d-%02d-%02d %02d:%02d:%02d  %s\n",
                                  tmNow.tm_year + 1900, tmNow.tm_mon + 1, tmNow.tm_mday,
                                  tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec, szText);
    if (cch <= 0) {
        return;
    }
    const int fd = ::open(CatalogLogPath(strCatalogPath).c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const size_t cb =
        static_cast<size_t>(cch) < sizeof szLine ? static_cast<size_t>(cch) : sizeof szLine - 1;
    [[maybe_unused]] const ssize_t cbWritten = ::write(fd, szLine, cb);
    ::close(fd);
}

}  // namespace qn
