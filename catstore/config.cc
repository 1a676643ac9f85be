#include "config.h"

#include <strings.h>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/profile.h"
#include "trace.h"

namespace catstore {

namespace profile = qn::platform::profile;

std::string CatalogPath::Full() const {
    std::string str = strDir.empty() ? std::string() : strDir + "/";
    return str + strBase + "." + strExt;
}

static size_t FileNameStart(const std::string& strPath) {
    size_t slash = strPath.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

static size_t ExtensionDot(const std::string& strPath) {
    size_t dot = strPath.find_last_of('.');
    if (dot == std::string::npos || dot < FileNameStart(strPath) || strPath.size() - dot > 4) {
        return std::string::npos;
    }
    return dot;
}

DBStatus SplitCatalogPath(const std::string& strPath, CatalogPath* pOut) {
    size_t start = FileNameStart(strPath);
    // The folder without its last '/', except for the root folder itself.
    size_t cchDir = start > 1 ? start - 1 : start;
    pOut->strDir.assign(strPath, 0, cchDir);
    std::string strName = strPath.substr(start);
    size_t dot = strName.find_last_of('.');
    if (dot == std::string::npos) {
        pOut->strBase = strName;
        pOut->strExt.clear();
    } else {
        pOut->strBase = strName.substr(0, dot);
        pOut->strExt = strName.substr(dot + 1);
    }
    if (pOut->strExt.empty()) {
        pOut->strExt = "VFC";
    }
    static const char* const s_apszReserved[] = {"D00", "D01", "D02", "D03", "D04", "D05", "D06",
                                                 "D07", "K00", "K01", "DBL", "INI", "LOG", "TAF"};
    for (const char* psz : s_apszReserved) {
        if (strcasecmp(pOut->strExt.c_str(), psz) == 0) {
            return DBInvalidCatalogName;
        }
    }
    if (pOut->strBase.empty()) {
        return DBInvalidCatalogName;
    }
    return DBSuccess;
}

std::string CatalogIniPath(const std::string& strPath) {
    size_t dot = ExtensionDot(strPath);
    return (dot == std::string::npos ? strPath : strPath.substr(0, dot)) + ".ini";
}

static bool IsIdChar(unsigned char ch) {
    return std::isalnum(ch) || ch == '_';
}

std::string MakeUserIDString(const std::string& strName, uint16_t wUserID) {
    bool fPlain = !strName.empty() && strName.size() <= 8;
    for (unsigned char ch : strName) {
        fPlain = fPlain && IsIdChar(ch);
    }
    std::string str;
    if (fPlain) {
        for (unsigned char ch : strName) {
            str += static_cast<char>(std::tolower(ch));
        }
        return str;
    }
    for (unsigned char ch : strName) {
        if (str.size() == 4) {
            break;
        }
        if (IsIdChar(ch)) {
            str += static_cast<char>(std::tolower(ch));
        }
    }
    if (str.empty()) {
        str = "user";
    }
    char achId[8];
    std::snprintf(achId, sizeof achId, "%04X", wUserID);
    return str + achId;
}

std::string LookupUserIDString(const std::string& strCatalogIni, const std::string& strUser) {
    char achId[9] = {};
    profile::ReadString(INI_USERMAP_SECTION, strUser.c_str(), "", achId, sizeof achId,
                        strCatalogIni.c_str());
    if (achId[0] == '\0') {
        LogLine(LOG_STORE, "EXSM: UserIDString NOT FOUND for user '%s' using '%s'...\r\n",
                strUser.c_str(), "SYSTEM");
        return "SYSTEM";
    }
    return achId;
}

std::string UserIniPath(const std::string& strCatalogPath, const std::string& strUserID) {
    size_t start = FileNameStart(strCatalogPath);
    if (start == 0) {
        return "./" + strUserID + ".ini";
    }
    return strCatalogPath.substr(0, start) + strUserID + ".ini";
}

bool WriteCatalogConfig(const std::string& strCatalogIni) {
    // A catalog made again over an old one starts without the old one's users.
    profile::WriteString(INI_USERMAP_SECTION, nullptr, nullptr, strCatalogIni.c_str());
    bool fOk = profile::WriteString(INI_CONFIG_SECTION, INI_WARNING_KEY, INI_WARNING_TEXT,
                                    strCatalogIni.c_str());
    char achValue[16];
    std::snprintf(achValue, sizeof achValue, "%d", 1);
    return profile::WriteString(INI_TUNING_SECTION, "LockMgr", achValue, strCatalogIni.c_str()) &&
           fOk;
}

bool WriteUserConfig(const std::string& strCatalogPath, const std::string& strCatalogIni,
                     const std::string& strUserName, const std::string& strUserID) {
    bool fOk = profile::WriteString(INI_USERMAP_SECTION, strUserName.c_str(), strUserID.c_str(),
                                    strCatalogIni.c_str());
    std::string strUserIni = UserIniPath(strCatalogPath, strUserID);
    return profile::WriteString(INI_CONFIG_SECTION, INI_WARNING_KEY, INI_WARNING_TEXT,
                                strUserIni.c_str()) &&
           fOk;
}

void RemoveUserMapEntry(const std::string& strCatalogIni, const std::string& strUserName) {
    profile::WriteString(INI_USERMAP_SECTION, strUserName.c_str(), nullptr, strCatalogIni.c_str());
}

// The catalog store's password key; every catalog is written with it. Each byte XOR 0x80 is
// 0xF5 to 0xFF, bytes that never occur in UTF-8 text, so a scrambled password never holds a zero
// byte that would cut it short.
static constexpr unsigned char s_abPasswordKey[4] = {0x7A, 0x75, 0x7D, 0x77};

void ScramblePassword(unsigned char* pb, size_t cb) {
    for (size_t i = 0; i < cb; ++i) {
        pb[i] = static_cast<unsigned char>(s_abPasswordKey[i % 4] ^ (pb[i] ^ 0x80));
    }
}

bool StorePassword(const std::string& strPassword, char achOut[16]) {
    std::memset(achOut, 0, 16);
    if (strPassword.size() > 16) {
        return false;
    }
    std::memcpy(achOut, strPassword.data(), strPassword.size());
    ScramblePassword(reinterpret_cast<unsigned char*>(achOut), strPassword.size());
    return true;
}

std::string LoadPassword(const char achStored[16]) {
    size_t cb = strnlen(achStored, 16);
    std::string str(achStored, cb);
    ScramblePassword(reinterpret_cast<unsigned char*>(str.data()), cb);
    return str;
}

bool PasswordMatches(const std::string& strPassword, const char achStored[16]) {
    if (strPassword.size() > 16) {
        return false;
    }
    char achGiven[16];
    StorePassword(strPassword, achGiven);
    // Compared as zero-terminated byte strings of at most 16 bytes.
    return strncmp(achGiven, achStored, 16) == 0;
}

}  // namespace catstore
