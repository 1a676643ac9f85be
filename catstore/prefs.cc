// Preferences over the three configuration files, catalog time conversions and log lines.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "board.h"
#include "exstring.h"
#include "frame.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace catstore {

namespace profile = qn::platform::profile;

// The file a preference call works on; empty when there is none.
static std::string PrefsFile(BOARD_OBJECT* hbrd, int32_t nWhich) {
    if (nWhich == 2) {
        return qn::platform::ConfigDirectory() + "/QNCLIENT.INI";
    }
    if (!IsLiveBoard(hbrd)) {
        return {};
    }
    if (nWhich == 0) {
        return hbrd->strUserIni;
    }
    if (nWhich == 1) {
        return hbrd->strCatalogIni;
    }
    return {};
}

}  // namespace catstore

using namespace catstore;

extern "C" int32_t EXPrefsGetInt(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                 const char* pszKey, int32_t nDefault) {
    return RunApiNoStatus("EXPrefsGetInt", 0, [&]() -> int32_t {
        if (nWhich != 2 && !IsLiveBoard(hbrd)) {
            return 0;
        }
        std::string strFile = PrefsFile(hbrd, nWhich);
        if (strFile.empty() || pszSection == nullptr || pszKey == nullptr) {
            return nDefault;
        }
        return profile::ReadInt(pszSection, pszKey, nDefault, strFile.c_str());
    });
}

extern "C" uint32_t EXPrefsGetLong(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                   const char* pszKey, uint32_t dwDefault) {
    return RunApiNoStatus("EXPrefsGetLong", 0u, [&]() -> uint32_t {
        std::string strFile = PrefsFile(hbrd, nWhich);
        if (strFile.empty() && nWhich != 2 && !IsLiveBoard(hbrd)) {
            return 0;
        }
        char achDefault[16];
        std::snprintf(achDefault, sizeof achDefault, "0x%08lX",
                      static_cast<unsigned long>(dwDefault));
        char achValue[1024] = {};
        if (!strFile.empty() && pszSection != nullptr && pszKey != nullptr) {
            profile::ReadString(pszSection, pszKey, achDefault, achValue, sizeof achValue,
                                strFile.c_str());
        } else {
            std::memcpy(achValue, achDefault, sizeof achDefault);
        }
        return static_cast<uint32_t>(std::strtoul(achValue, nullptr, 0));
    });
}

extern "C" void EXPrefsGetString(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                 const char* pszKey, const char* pszDefault, EX_STRING** phResult) {
    RunApiNoStatus("EXPrefsGetString", 0, [&]() {
        if (phResult == nullptr) {
            return 0;
        }
        std::string strFile = PrefsFile(hbrd, nWhich);
        char achValue[1024] = {};
        size_t cch = 0;
        // Any other selector names the empty file, whose every key reads as the default.
        const bool fHandle = nWhich == 2 || IsLiveBoard(hbrd);
        if (!strFile.empty() && pszSection != nullptr) {
            cch = profile::ReadString(pszSection, pszKey, pszDefault ? pszDefault : "", achValue,
                                      sizeof achValue, strFile.c_str());
        } else if (fHandle && pszDefault != nullptr) {
            cch = std::min(std::strlen(pszDefault), sizeof achValue - 1);
            std::memcpy(achValue, pszDefault, cch);
        }
        *phResult = MakeExString(achValue, cch);
        return 0;
    });
}

extern "C" void EXPrefsSetString(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                 const char* pszKey, const char* pszValue) {
    RunApiNoStatus("EXPrefsSetString", 0, [&]() {
        std::string strFile = PrefsFile(hbrd, nWhich);
        if (!strFile.empty() && pszSection != nullptr) {
            profile::WriteString(pszSection, pszKey, pszValue, strFile.c_str());
        }
        return 0;
    });
}

extern "C" long EXTimeGetCurrent(void) {
    return RunApiNoStatus("EXTimeGetCurrent", 0L, []() {
        return static_cast<long>(static_cast<uint32_t>(std::time(nullptr)));
    });
}

extern "C" long EXTimeFromVBTime(double dblDate) {
    return RunApiNoStatus("EXTimeFromVBTime", 0L, [&]() -> long {
        if (!std::isfinite(dblDate)) {
            return 0;
        }
        double dbl = dblDate - 25569.0;
        double dblDays = std::trunc(dbl);
        double dblFraction = dbl - dblDays;
        double dblSeconds = 86400.0 * dblDays + std::trunc(dblFraction * 86400.0);
        // Catalog times are 32-bit; a date outside that range is clamped rather than wrapped.
        if (dblSeconds > 2147483647.0) {
            dblSeconds = 2147483647.0;
        } else if (dblSeconds < -2147483648.0) {
            dblSeconds = -2147483648.0;
        }
        return static_cast<long>(dblSeconds);
    });
}

extern "C" double EXTimeToVBTime(long lSeconds) {
    return RunApiNoStatus("EXTimeToVBTime", 0.0, [&]() {
        return static_cast<double>(lSeconds % 86400) * (1.0 / 86400.0) +
               static_cast<double>(lSeconds / 86400) + 25569.0;
    });
}

extern "C" void EXSystemLog(BOARD_OBJECT* hbrd, uint32_t dwCategory, const char* pszText) {
    RunApiNoStatus("EXSystemLog", 0, [&]() {
        LogLine(dwCategory & 0xFFFFu, "%s\r\n", pszText ? pszText : "");
        return 0;
    });
}
