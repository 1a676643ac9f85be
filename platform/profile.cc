#include "platform/profile.h"

#include <climits>
#include <cstring>

#include "platform/profileparse.h"

namespace qn::platform::profile {
namespace {

using detail::ReadWholeFile;

std::string ReadText(const char* pszPath) {
    std::string strText;
    if (pszPath == nullptr || !ReadWholeFile(pszPath, &strText))
        strText.clear();
    return strText;
}

// Copies one string, cut to the buffer; returns the characters copied.
size_t CopyValue(const std::string& strValue, char* pchBuffer, size_t cchBuffer) {
    if (pchBuffer == nullptr || cchBuffer == 0)
        return 0;
    size_t cch = strValue.size() < cchBuffer - 1 ? strValue.size() : cchBuffer - 1;
    memcpy(pchBuffer, strValue.data(), cch);
    pchBuffer[cch] = '\0';
    return cch;
}

// Copies a list of NUL-ended items with a final NUL; a list that does not fit is cut at the last
// whole item and cchBuffer - 2 is returned.
size_t CopyList(const std::vector<std::string>& items, char* pchBuffer, size_t cchBuffer) {
    if (pchBuffer == nullptr || cchBuffer == 0)
        return 0;
    if (cchBuffer == 1) {
        pchBuffer[0] = '\0';
        return 0;
    }
    size_t pos = 0;
    bool fCut = false;
    for (const auto& item : items) {
        // The item, its NUL and the list's final NUL must fit.
        if (pos + item.size() + 2 > cchBuffer) {
            fCut = true;
            break;
        }
        memcpy(pchBuffer + pos, item.c_str(), item.size() + 1);
        pos += item.size() + 1;
    }
    pchBuffer[pos] = '\0';
    if (pos == 0)
        pchBuffer[1] = '\0';
    return fCut ? cchBuffer - 2 : pos;
}

}  // namespace

size_t ReadString(const char* pszSection, const char* pszKey, const char* pszDefault,
                  char* pchBuffer, size_t cchBuffer, const char* pszPath) {
    std::string strText = ReadText(pszPath);
    if (pszSection == nullptr)
        return CopyList(detail::SectionNames(strText), pchBuffer, cchBuffer);
    if (pszKey == nullptr) {
        std::vector<std::string> keys;
        for (auto& entry : detail::SectionEntries(strText, pszSection))
            keys.push_back(entry.first);
        return CopyList(keys, pchBuffer, cchBuffer);
    }
    std::string strValue;
    if (!detail::LookupValue(strText, pszSection, pszKey, &strValue)) {
        strValue = pszDefault ? pszDefault : "";
        while (!strValue.empty() && (strValue.back() == ' ' || strValue.back() == '\t')) {
            strValue.pop_back();
        }
    }
    return CopyValue(strValue, pchBuffer, cchBuffer);
}

int ReadInt(const char* pszSection, const char* pszKey, int nDefault, const char* pszPath) {
    if (pszSection == nullptr || pszKey == nullptr)
        return nDefault;
    std::string strValue;
    if (!detail::LookupValue(ReadText(pszPath), pszSection, pszKey, &strValue))
        return nDefault;
    const char* pch = strValue.c_str();
    bool fNegative = false;
    if (*pch == '-' || *pch == '+')
        fNegative = *pch++ == '-';
    long long n = 0;
    while (*pch >= '0' && *pch <= '9') {
        n = n * 10 + (*pch++ - '0');
        if (n > static_cast<long long>(INT_MAX) + 1)
            n = static_cast<long long>(INT_MAX) + 1;
    }
    if (fNegative)
        n = -n;
    if (n > INT_MAX)
        n = INT_MAX;
    return static_cast<int>(n);
}

bool WriteString(const char* pszSection, const char* pszKey, const char* pszValue,
                 const char* pszPath) {
    if (pszPath == nullptr || pszSection == nullptr)
        return false;
    return detail::LockedReplace(pszPath, [&](const std::string& strOld, std::string* pstrNew) {
        return detail::ApplyWrite(strOld, pszSection, pszKey, pszValue, pstrNew);
    });
}

size_t ReadSection(const char* pszSection, char* pchBuffer, size_t cchBuffer, const char* pszPath) {
    std::vector<std::string> lines;
    if (pszSection != nullptr) {
        for (auto& entry : detail::SectionEntries(ReadText(pszPath), pszSection)) {
            lines.push_back(entry.first + "=" + entry.second);
        }
    }
    return CopyList(lines, pchBuffer, cchBuffer);
}

std::vector<Entry> ReadSectionEntries(const char* pszSection, const char* pszPath) {
    std::vector<Entry> entries;
    if (pszSection == nullptr)
        return entries;
    for (auto& entry : detail::SectionEntries(ReadText(pszPath), pszSection)) {
        entries.push_back(Entry{entry.first, entry.second});
    }
    return entries;
}

std::vector<std::string> ReadSectionNames(const char* pszPath) {
    return detail::SectionNames(ReadText(pszPath));
}

}  // namespace qn::platform::profile
