#include "searchcfg.h"
#include "guard.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/profileparse.h"
#include "scanfile.h"
#include "scanner.h"
#include "state.h"
#include "url.h"
#include "webnet.h"

namespace qn::webnet::scan {
namespace {

namespace profile = qn::platform::profile;

constexpr const char* kFileName = "QNINET.INI";
constexpr const char* kMainSection = "QNINET";
constexpr int kMaxNames = 99999;
constexpr size_t kTextBuffer = 100;  // texts are read with at most 99 characters

struct Cache {
    std::mutex mutex;
    std::vector<EngineConfig> configs;  // empty: not loaded (every lookup reads again)
};
Cache g_cache;

std::string Lower(std::string str) {
    for (char& c : str) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return str;
}

// The configuration file read once: the keys of each section as the profile reads find them
// (the first section of a name, the first line of a key, names without regard to case, values
// without enclosing quotes). A file of many configurations is read in one pass, not once for
// every key.
class ConfigFile {
  public:
    ConfigFile(const ConfigFile&) = delete;  // the values point into m_strText
    ConfigFile& operator=(const ConfigFile&) = delete;

    explicit ConfigFile(const std::string& strPath) {
        if (!profile::detail::ReadWholeFile(strPath, &m_strText)) {
            m_strText.clear();
        }
        Keys* pCurrent = nullptr;
        for (const auto& line : profile::detail::ParseLines(m_strText)) {
            if (line.kind == profile::detail::LineKind::Section) {
                auto [it, fNew] = m_sections.try_emplace(Lower(std::string(line.name)));
                pCurrent = fNew ? &it->second : nullptr;  // a later section of the name is unread
            } else if (line.kind == profile::detail::LineKind::Key && pCurrent != nullptr) {
                pCurrent->try_emplace(Lower(std::string(line.name)),
                                      profile::detail::Unquote(line.value));
            }
        }
    }

    // A text as read into the 100-byte buffer (at most 99 characters); empty when absent.
    std::string Text(const std::string& strSection, const char* pszKey) const {
        const std::string_view* pValue = Find(strSection, pszKey);
        if (pValue == nullptr) {
            return std::string();
        }
        return std::string(pValue->substr(0, kTextBuffer - 1));
    }

    // A number as the profile reads it: an optional sign and the leading digits (0 when the
    // value starts with none); nDefault when absent.
    int Int(const std::string& strSection, const char* pszKey, int nDefault) const {
        const std::string_view* pValue = Find(strSection, pszKey);
        if (pValue == nullptr) {
            return nDefault;
        }
        size_t i = 0;
        bool fNegative = false;
        if (i < pValue->size() && ((*pValue)[i] == '-' || (*pValue)[i] == '+')) {
            fNegative = (*pValue)[i++] == '-';
        }
        long long n = 0;
        for (; i < pValue->size() && (*pValue)[i] >= '0' && (*pValue)[i] <= '9'; ++i) {
            n = std::min<long long>(n * 10 + ((*pValue)[i] - '0'), 1LL + INT_MAX);
        }
        return static_cast<int>(std::min<long long>(fNegative ? -n : n, INT_MAX));
    }

    // The numbers i of the keys "Name<i>" of a section.
    std::vector<long> NameNumbers(const std::string& strSection) const {
        std::vector<long> numbers;
        auto it = m_sections.find(strSection);
        if (it == m_sections.end()) {
            return numbers;
        }
        for (const auto& [strKey, value] : it->second) {
            if (strKey.size() > 4 && strKey.size() <= 9 && strKey.compare(0, 4, "name") == 0 &&
                strKey.find_first_not_of("0123456789", 4) == std::string::npos) {
                numbers.push_back(std::strtol(strKey.c_str() + 4, nullptr, 10));
            }
        }
        return numbers;
    }

  private:
    using Keys = std::unordered_map<std::string, std::string_view>;

    const std::string_view* Find(const std::string& strSection, const char* pszKey) const {
        auto it = m_sections.find(strSection);
        if (it == m_sections.end()) {
            return nullptr;
        }
        auto itKey = it->second.find(Lower(pszKey));
        return itKey == it->second.end() ? nullptr : &itKey->second;
    }

    std::string m_strText;
    std::unordered_map<std::string, Keys> m_sections;  // by lower-case name
};

EngineConfig DefaultConfig() {
    EngineConfig config;
    config.strName = "(unknown)";
    config.type = 2;
    return config;
}

char* DupOrNull(const std::string& str, bool fPresent) {
    if (!fPresent) {
        return nullptr;
    }
    char* psz = static_cast<char*>(std::malloc(str.size() + 1));
    if (psz == nullptr) {
        std::fprintf(stderr, "%s %s: out of memory.\nProgram aborted.\n", "SCANBACK",
                     "QNINetReadSearchEngineConfigs");
        std::abort();
    }
    std::memcpy(psz, str.c_str(), str.size() + 1);
    return psz;
}

// What the anchor scan's routine keeps between records.
struct AnchorScan {
    EngineConfig config;
    QNINetScanRoutine routine = nullptr;
    void* pUserData = nullptr;
    bool fActive = false;
    int occurrences = 0;
    long reported = 0;
};

bool IsHostAnchor(const ScanElement* element, const EngineConfig& config) {
    if (!config.fIgnoreHostAnchors) {
        return false;
    }
    const char* pszHref = QNINetScanAttribute("HREF", element->count, element->attributes);
    if (pszHref == nullptr) {
        return true;
    }
    std::string strHost = Lower(std::string(SplitUrl(pszHref).host));
    if (strHost.empty()) {
        return true;  // a relative link stays on the engine's site
    }
    return strHost.find(config.strName) != std::string::npos;
}

int AnchorRoutine(ScanElement* element, void* userData) {
    auto* scan = static_cast<AnchorScan*>(userData);
    const EngineConfig& config = scan->config;
    if (element->name == nullptr) {
        return 1;  // text runs play no part
    }
    if (!scan->fActive) {
        if (config.type == 2) {
            scan->fActive = true;
        } else if (config.type == 0) {
            if (::strcasecmp(element->name, config.strStart.c_str()) == 0 &&
                ++scan->occurrences > config.skip) {
                scan->fActive = true;
            }
            return 1;
        } else if (config.type == 1) {
            if (::strcasecmp(element->name, config.strStart.c_str()) == 0) {
                scan->fActive = true;
            }
            return 1;
        } else {
            return 1;  // an unknown mode reports nothing
        }
    }
    bool fHost = IsHostAnchor(element, config);
    if (!fHost && std::strcmp(element->name, "A") == 0 && element->kind == QNINET_SCAN_CONTAINER) {
        scan->routine(element, scan->pUserData);
        ++scan->reported;
    }
    if (config.type == 0) {
        if (config.fHasEnd && ::strcasecmp(element->name, config.strEnd.c_str()) == 0) {
            scan->fActive = false;
        }
    } else if (config.type == 1) {
        if (!fHost) {
            scan->fActive = false;
        }
    }
    return 1;  // the anchor scan always reads the whole page
}

// A text that the file can hold as written: no line break (which would start a new line of
// keys) and, for a section name, no bracket (which would end the section's header early).
bool Writable(const char* psz, bool fSectionName) {
    if (psz == nullptr) {
        return true;
    }
    const char* pszBad = fSectionName ? "\r\n[]" : "\r\n";
    return std::strpbrk(psz, pszBad) == nullptr;
}

}  // namespace

std::string ConfigFilePath() {
    const char* pszOverride = std::getenv(kConfigPathVariable);
    if (pszOverride != nullptr && pszOverride[0] != '\0') {
        return pszOverride;
    }
    std::string strDir =
        qn::platform::LibraryDirectory(reinterpret_cast<const void*>(&ConfigFilePath));
    if (strDir.empty()) {
        return std::string();
    }
    return strDir + "/" + kFileName;
}

bool ReadEngineConfigs(const std::string& strPath, std::vector<EngineConfig>* pConfigs) {
    pConfigs->clear();
    ConfigFile file(strPath);
    const std::string strMain = Lower(kMainSection);
    int cNames = file.Int(strMain, "NumNames", 0);
    if (cNames <= 0 || cNames > kMaxNames) {
        return false;
    }
    // Only the Name keys that exist are looked at.
    std::vector<bool> afListed(static_cast<size_t>(cNames), false);
    for (long i : file.NameNumbers(strMain)) {
        if (i >= 0 && i < cNames) {
            afListed[static_cast<size_t>(i)] = true;
        }
    }
    for (int i = 0; i < cNames; ++i) {
        if (!afListed[static_cast<size_t>(i)]) {
            continue;
        }
        char szKey[32];
        std::snprintf(szKey, sizeof szKey, "Name%d", i);
        EngineConfig config;
        config.strName = Lower(file.Text(strMain, szKey));
        if (config.strName.empty()) {
            continue;
        }
        const std::string& strSection = config.strName;
        config.type = file.Int(strSection, "Type", 3);
        if (config.type == 3) {
            continue;
        }
        config.strStart = file.Text(strSection, "StartElement");
        if (config.strStart.empty()) {
            continue;
        }
        config.strEnd = file.Text(strSection, "EndElement");
        config.fHasEnd = !config.strEnd.empty();
        config.skip = file.Int(strSection, "Skip", -1);
        if (config.skip == -1) {
            continue;
        }
        int ignore = file.Int(strSection, "IgnoreHostAnchors", -1);
        if (ignore == -1) {
            continue;
        }
        config.fIgnoreHostAnchors = ignore != 0;
        pConfigs->push_back(std::move(config));
    }
    return true;
}

EngineConfig LookupEngineConfig(const std::string& strKey, bool* pfMatched) {
    std::lock_guard<std::mutex> lock(g_cache.mutex);
    if (g_cache.configs.empty()) {
        std::string strPath = ConfigFilePath();
        if (!strPath.empty()) {
            ReadEngineConfigs(strPath, &g_cache.configs);
        }
    }
    std::string strLower = Lower(strKey);
    for (const EngineConfig& config : g_cache.configs) {
        if (strLower.find(config.strName) != std::string::npos) {
            *pfMatched = true;
            return config;
        }
    }
    *pfMatched = false;
    return DefaultConfig();
}

void ReleaseEngineConfigCache() {
    std::lock_guard<std::mutex> lock(g_cache.mutex);
    std::vector<EngineConfig>().swap(g_cache.configs);
}

}  // namespace qn::webnet::scan

using namespace qn::webnet;
using namespace qn::webnet::scan;

void ScanSubsystemInitialize() {
    BuildElementClasses();
}

void ScanSubsystemTerminate() {
    ReleaseEngineConfigCache();
}

extern "C" QNINET_API int QNINetReadSearchEngineConfigs(SearchEngineConfig** result) {
    return Guard("QNINetReadSearchEngineConfigs", QNINET_ERR_LOAD, [&]() -> int {
        if (result == nullptr) {
            return 0;
        }
        std::string strPath = ConfigFilePath();
        if (strPath.empty()) {
            return 0;
        }
        std::vector<EngineConfig> configs;
        if (!ReadEngineConfigs(strPath, &configs)) {
            return 0;
        }
        if (configs.empty()) {
            *result = nullptr;
            return 0;
        }
        auto* array = static_cast<SearchEngineConfig*>(
            std::calloc(configs.size(), sizeof(SearchEngineConfig)));
        if (array == nullptr) {
            std::fprintf(stderr, "%s %s: out of memory.\nProgram aborted.\n", "SCANBACK",
                         "QNINetReadSearchEngineConfigs");
            std::abort();
        }
        for (size_t i = 0; i < configs.size(); ++i) {
            const EngineConfig& config = configs[i];
            array[i].name = DupOrNull(config.strName, true);
            array[i].type = config.type;
            array[i].startElement = DupOrNull(config.strStart, true);
            array[i].endElement = DupOrNull(config.strEnd, config.fHasEnd);
            array[i].skip = config.skip;
            array[i].ignoreHostAnchors = config.fIgnoreHostAnchors ? 1 : 0;
        }
        *result = array;
        return static_cast<int>(configs.size());
    });
}

extern "C" QNINET_API void QNINetFreeSearchEngineConfigs(SearchEngineConfig* configs, int count) {
    GuardVoid("QNINetFreeSearchEngineConfigs", [&] {
        if (configs == nullptr) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            std::free(configs[i].name);
            std::free(configs[i].startElement);
            std::free(configs[i].endElement);
        }
        std::free(configs);
    });
}

extern "C" QNINET_API int QNINetWriteSearchEngineConfig(const SearchEngineConfig* configs,
                                                        int count) {
    return Guard("QNINetWriteSearchEngineConfig", QNINET_ERR_LOAD, [&]() -> int {
        if (count < 0 || (configs == nullptr && count > 0)) {
            return 0;
        }
        // A text that would change the file's structure refuses the whole write before anything
        // is written.
        for (int i = 0; i < count; ++i) {
            if (!Writable(configs[i].name, true) || !Writable(configs[i].startElement, false) ||
                !Writable(configs[i].endElement, false)) {
                return 0;
            }
        }
        // The file a read finds now (the library's folder does not change while it is loaded).
        std::string strPath = ConfigFilePath();
        if (strPath.empty()) {
            return 0;
        }
        // Every key is set in one replacement of the file, so a write that fails part-way (a
        // section name the file cannot hold, a full disk) leaves the file as it was, and another
        // process's write of the file never lands between two of these keys.
        auto fnChange = [&](const std::string& strOld, std::string* pstrNew) {
            std::string strText = strOld;
            std::string strOut;
            auto set = [&](const char* pszSection, const char* pszKey, const char* pszValue) {
                if (!profile::detail::ApplyWrite(strText, pszSection, pszKey, pszValue, &strOut)) {
                    return false;
                }
                strText.swap(strOut);
                return true;
            };
            char szNumber[16];
            char szKey[32];
            std::snprintf(szNumber, sizeof szNumber, "%d", count);
            if (!set(kMainSection, "NumNames", szNumber)) {
                return false;
            }
            for (int i = 0; i < count; ++i) {
                const SearchEngineConfig& config = configs[i];
                std::snprintf(szKey, sizeof szKey, "Name%d", i);
                const char* pszName = config.name != nullptr ? config.name : "";
                if (!set(kMainSection, szKey, pszName)) {
                    return false;
                }
                if (pszName[0] == '\0') {
                    continue;  // a nameless entry has no section (and is skipped when read)
                }
                std::snprintf(szNumber, sizeof szNumber, "%d", config.type);
                if (!set(pszName, "Type", szNumber) ||
                    !set(pszName, "StartElement", config.startElement) ||
                    !set(pszName, "EndElement", config.endElement)) {
                    return false;
                }
                std::snprintf(szNumber, sizeof szNumber, "%d", config.skip);
                if (!set(pszName, "Skip", szNumber)) {
                    return false;
                }
                std::snprintf(szNumber, sizeof szNumber, "%d", config.ignoreHostAnchors);
                if (!set(pszName, "IgnoreHostAnchors", szNumber)) {
                    return false;
                }
            }
            *pstrNew = std::move(strText);
            return true;
        };
        bool fOk = profile::detail::LockedReplace(strPath, fnChange);
        // Lookups from now on see what was written.
        ReleaseEngineConfigCache();
        return fOk ? 1 : 0;
    });
}

extern "C" QNINET_API int QNINetCheckForSearchEngineConfig(const char* key, int size,
                                                           char* buffer) {
    return Guard("QNINetCheckForSearchEngineConfig", QNINET_ERR_LOAD, [&]() -> int {
        if (key == nullptr) {
            return 0;
        }
        bool fMatched = false;
        EngineConfig config = LookupEngineConfig(key, &fMatched);
        if (!fMatched) {
            return 0;
        }
        if (buffer != nullptr && size > 0) {
            size_t n = std::min(config.strName.size(), static_cast<size_t>(size) - 1);
            std::memcpy(buffer, config.strName.data(), n);
            buffer[n] = '\0';
        }
        return 1;
    });
}

extern "C" QNINET_API int QNINetScanForAnchorFromFileByHandle(int file, const char* key,
                                                              QNINetScanRoutine routine,
                                                              void* userData, long* count) {
    return Guard("QNINetScanForAnchorFromFileByHandle", QNINET_ERR_LOAD, [&]() -> int {
        off_t position = ::lseek(file, 0, SEEK_CUR);
        if (!IsInitialized()) {
            return kErrNotInitialized;
        }
        if (count != nullptr) {
            *count = 0;
        }
        if (routine == nullptr) {
            return kErrNoRoutine;
        }
        std::string strKey;
        if (key != nullptr) {
            strKey = key;
        } else {
            int rc = ScanTitle(file, &strKey);
            if (rc != kOk && rc != kErrNoTitle) {
                return rc;
            }
        }
        AnchorScan scan;
        bool fMatched = false;
        scan.config = LookupEngineConfig(strKey, &fMatched);
        scan.routine = routine;
        scan.pUserData = userData;
        if (position >= 0) {
            ::lseek(file, position, SEEK_SET);
        }
        int rc = ScanDescriptor(file, AnchorRoutine, &scan);
        if (count != nullptr) {
            *count = scan.reported;
        }
        return rc;
    });
}

extern "C" QNINET_API int QNINetScanForAnchorFromFileByName(const char* fileName, const char* key,
                                                            QNINetScanRoutine routine,
                                                            void* userData, long* count) {
    return Guard("QNINetScanForAnchorFromFileByName", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized()) {
            return kErrNotInitialized;
        }
        if (count != nullptr) {
            *count = 0;
        }
        if (routine == nullptr) {
            return kErrNoRoutine;
        }
        int fd = OpenForScan(fileName);
        if (fd < 0) {
            return kErrFileOpen;
        }
        int rc = QNINetScanForAnchorFromFileByHandle(fd, key, routine, userData, count);
        ::close(fd);
        return rc;
    });
}
