// The key-value store is one profile-format file: a section per key path, a line per value,
// "name=S:text" for strings and "name=N:123" for numbers. Names and texts are escaped so that any
// bytes survive: "\xHH" stands for a control character, '\', '=', ';', a quote, a bracket, or a
// blank at either end.

#include "platform/userstore.h"

#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"
#include "platform/profileparse.h"

namespace qn::platform::userstore {
namespace {

namespace detail = qn::platform::profile::detail;

std::string Escape(const std::string& str, bool fSection) {
    std::string out;
    for (size_t i = 0; i < str.size(); ++i) {
        unsigned char ch = static_cast<unsigned char>(str[i]);
        bool fEdge = (i == 0 || i + 1 == str.size()) && (ch == ' ' || ch == '\t');
        bool fSpecial = ch < 0x20 || ch == 0x7F || ch == ']' || ch == '[' || fEdge;
        if (!fSection)
            fSpecial = fSpecial || ch == '\\' || ch == '=' || ch == ';' || ch == '"' || ch == '\'';
        if (fSpecial) {
            char sz[5];
            snprintf(sz, sizeof sz, "\\x%02X", ch);
            out += sz;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

std::string Unescape(std::string_view sv) {
    std::string out;
    for (size_t i = 0; i < sv.size(); ++i) {
        if (sv[i] == '\\' && i + 3 < sv.size() + 0 && sv[i + 1] == 'x' &&
            HexDigit(sv[i + 2]) >= 0 && HexDigit(sv[i + 3]) >= 0) {
            out += static_cast<char>(HexDigit(sv[i + 2]) * 16 + HexDigit(sv[i + 3]));
            i += 3;
        } else {
            out += sv[i];
        }
    }
    return out;
}

std::string Encode(const Value& value) {
    if (value.type == ValueType::Number)
        return "N:" + std::to_string(value.number);
    return "S:" + Escape(value.text, false);
}

std::optional<Value> Decode(const std::string& strStored) {
    if (strStored.size() < 2 || strStored[1] != ':')
        return std::nullopt;
    Value value;
    if (strStored[0] == 'N') {
        char* pchEnd = nullptr;
        unsigned long long n = strtoull(strStored.c_str() + 2, &pchEnd, 10);
        if (pchEnd == strStored.c_str() + 2 || *pchEnd != '\0' || n > 0xFFFFFFFFull) {
            return std::nullopt;
        }
        value.type = ValueType::Number;
        value.number = static_cast<uint32_t>(n);
        return value;
    }
    if (strStored[0] == 'S') {
        value.type = ValueType::String;
        value.text = Unescape(std::string_view(strStored).substr(2));
        return value;
    }
    return std::nullopt;
}

std::string ReadStore() {
    std::string strText;
    if (!detail::ReadWholeFile(StorePath(), &strText))
        strText.clear();
    return strText;
}

}  // namespace

std::string StorePath() {
    return ConfigDirectory() + "/registry.ini";
}

bool CreateKey(const std::string& strKey) {
    std::string strSection = Escape(strKey, true);
    if (strSection.empty())
        return false;
    return detail::LockedReplace(StorePath(), [&](const std::string& strOld, std::string* pstrNew) {
        return detail::EnsureSection(strOld, strSection, pstrNew);
    });
}

bool KeyExists(const std::string& strKey) {
    std::string strSection = Escape(strKey, true);
    return !strSection.empty() && detail::HasSection(ReadStore(), strSection);
}

std::optional<Value> GetValue(const std::string& strKey, const std::string& strName) {
    std::string strStored;
    if (strName.empty() || !detail::LookupValue(ReadStore(), Escape(strKey, true),
                                                Escape(strName, false), &strStored)) {
        return std::nullopt;
    }
    return Decode(strStored);
}

bool SetValue(const std::string& strKey, const std::string& strName, const Value& value) {
    std::string strSection = Escape(strKey, true);
    std::string strEscapedName = Escape(strName, false);
    std::string strStored = Encode(value);
    if (strSection.empty() || strEscapedName.empty())
        return false;
    return detail::LockedReplace(StorePath(), [&](const std::string& strOld, std::string* pstrNew) {
        return detail::ApplyWrite(strOld, strSection.c_str(), strEscapedName.c_str(),
                                  strStored.c_str(), pstrNew);
    });
}

bool DeleteValue(const std::string& strKey, const std::string& strName) {
    std::string strSection = Escape(strKey, true);
    std::string strEscapedName = Escape(strName, false);
    if (strSection.empty() || strEscapedName.empty())
        return false;
    bool fExisted = false;
    bool fOk =
        detail::LockedReplace(StorePath(), [&](const std::string& strOld, std::string* pstrNew) {
            std::string strIgnored;
            fExisted = detail::LookupValue(strOld, strSection, strEscapedName, &strIgnored);
            return detail::ApplyWrite(strOld, strSection.c_str(), strEscapedName.c_str(), nullptr,
                                      pstrNew);
        });
    return fOk && fExisted;
}

std::vector<std::string> ListValues(const std::string& strKey) {
    std::vector<std::string> names;
    for (auto& entry : detail::SectionEntries(ReadStore(), Escape(strKey, true))) {
        names.push_back(Unescape(entry.first));
    }
    return names;
}

}  // namespace qn::platform::userstore
