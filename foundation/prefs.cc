#include "foundation/prefs.h"

#include <strings.h>

#include <cstring>
#include <vector>

#include "foundation/syslog.h"
#include "platform/userstore.h"
#include "qnplatform.h"

namespace us = qn::platform::userstore;

namespace {

constexpr const char* kModule = "qnprefs";

void CheckLocation(const char* pszLocation) {
    if (pszLocation == nullptr || strcasecmp(pszLocation, QNINI_INIFILENAME) != 0) {
        if (QNGetAssertionChecking()) {
            QNAssertFailed("stricmp(pszLocation, QNINI_INIFILENAME) == 0", kModule);
        }
    }
}

}  // namespace

std::string QNPrefKeyPath(const char* pszSection) {
    char szProduct[129];
    QNGetProductName(szProduct, sizeof szProduct);
    return std::string("Software\\Quillon\\") + szProduct + "\\" + (pszSection ? pszSection : "");
}

bool QNParseUnsigned(const char* pszText, uint32_t* pdwValue) {
    if (pszText == nullptr) {
        *pdwValue = 0;
        return true;
    }
    const char* pch = pszText;
    while (*pch == ' ' || *pch == '\t')
        ++pch;
    unsigned base = 10;
    if (pch[0] == '0' && (pch[1] == 'x' || pch[1] == 'X')) {
        base = 16;
        pch += 2;
    } else if (pch[0] == '0') {
        base = 8;
    }
    uint64_t n = 0;
    for (;; ++pch) {
        unsigned digit;
        char ch = *pch;
        if (ch >= '0' && ch <= '9') {
            digit = static_cast<unsigned>(ch - '0');
        } else if (ch >= 'a' && ch <= 'f') {
            digit = static_cast<unsigned>(ch - 'a' + 10);
        } else if (ch >= 'A' && ch <= 'F') {
            digit = static_cast<unsigned>(ch - 'A' + 10);
        } else {
            break;
        }
        if (digit >= base)
            break;
        n = n * base + digit;
        if (n > 0xFFFFFFFFull)
            return false;
    }
    *pdwValue = static_cast<uint32_t>(n);
    return true;
}

uint32_t QNPrefGetNumber(const char* pszSection, const char* pszKey, uint32_t dwDefault,
                         const char* pszLocation) {
    CheckLocation(pszLocation);
    if (pszSection == nullptr || pszKey == nullptr)
        return dwDefault;
    std::string strKey = QNPrefKeyPath(pszSection);
    if (!us::CreateKey(strKey)) {
        if (QNGetAssertionChecking())
            QNAssertFailed("RegCreate == ERROR_SUCCESS", kModule);
        return dwDefault;
    }
    std::optional<us::Value> value = us::GetValue(strKey, pszKey);
    if (!value)
        return dwDefault;
    if (value->type == us::ValueType::Number)
        return value->number;
    // A number kept as a string: at most 256 bytes of it are read and converted.
    std::string strText = value->text.substr(0, 255);
    uint32_t dw = 0;
    return QNParseUnsigned(strText.c_str(), &dw) ? dw : dwDefault;
}

uint32_t QNPrefGetString(const char* pszSection, const char* pszKey, const char* pszDefault,
                         char* pchBuffer, uint32_t cbBuffer, const char* pszLocation) {
    CheckLocation(pszLocation);
    if (pszSection == nullptr)
        return 0;
    std::string strKey = QNPrefKeyPath(pszSection);
    bool fKeyOk = us::CreateKey(strKey);
    if (!fKeyOk && QNGetAssertionChecking()) {
        QNAssertFailed("RegCreate == ERROR_SUCCESS", kModule);
    }

    if (pszKey == nullptr) {
        // The names of the section's values, each ended by a NUL, and one more NUL.
        if (pchBuffer == nullptr || cbBuffer == 0)
            return 0;
        uint32_t pos = 0;
        for (const std::string& strName :
             fKeyOk ? us::ListValues(strKey) : std::vector<std::string>()) {
            uint32_t cbLeft = cbBuffer - pos;
            // The name, its NUL and the final NUL must fit.
            if (strName.size() + 2 > cbLeft) {
                if (QNGetAssertionChecking())
                    QNAssertFailed("cbNames > 0", kModule);
                break;
            }
            memcpy(pchBuffer + pos, strName.c_str(), strName.size() + 1);
            pos += static_cast<uint32_t>(strName.size() + 1);
        }
        pchBuffer[pos] = '\0';
        return pos;
    }

    std::optional<us::Value> value;
    if (fKeyOk)
        value = us::GetValue(strKey, pszKey);
    std::string strValue;
    if (value && value->type == us::ValueType::String) {
        strValue = value->text;
    } else if (value && value->type == us::ValueType::Number) {
        // A number asked for as a string: the stored type differs, the default is delivered.
        value.reset();
    }
    if (!value) {
        if (pszDefault == nullptr)
            return 0;
        strValue = pszDefault;
    }
    // Strings are kept as written; a NUL inside ends them as a C string would.
    strValue = strValue.c_str();
    if (pchBuffer == nullptr || cbBuffer == 0)
        return 0;
    size_t cch = strValue.size() < cbBuffer - 1 ? strValue.size() : cbBuffer - 1;
    memcpy(pchBuffer, strValue.data(), cch);
    pchBuffer[cch] = '\0';
    return static_cast<uint32_t>(cch);
}

int QNPrefSetString(const char* pszSection, const char* pszKey, const char* pszValue,
                    const char* pszLocation) {
    CheckLocation(pszLocation);
    if (pszSection == nullptr || pszKey == nullptr)
        return 1;
    std::string strKey = QNPrefKeyPath(pszSection);
    if (!us::CreateKey(strKey)) {
        if (QNGetAssertionChecking())
            QNAssertFailed("RegCreate == ERROR_SUCCESS", kModule);
        return 1;
    }
    bool fOk;
    if (pszValue == nullptr) {
        us::DeleteValue(strKey, pszKey);
        fOk = true;  // an absent value is deleted already
    } else {
        us::Value value;
        value.type = us::ValueType::String;
        value.text = pszValue;
        fOk = us::SetValue(strKey, pszKey, value);
    }
    if (!fOk && QNGetAssertionChecking())
        QNAssertFailed("RegValue == ERROR_SUCCESS", kModule);
    return 1;
}

int QNPrefSetNumber(const char* pszSection, const char* pszKey, uint32_t dwValue,
                    const char* pszLocation) {
    CheckLocation(pszLocation);
    if (pszSection == nullptr || pszKey == nullptr)
        return 1;
    us::Value value;
    value.type = us::ValueType::Number;
    value.number = dwValue;
    if (!us::SetValue(QNPrefKeyPath(pszSection), pszKey, value) && QNGetAssertionChecking()) {
        QNAssertFailed("RegValue == ERROR_SUCCESS", kModule);
    }
    return 1;
}
