// Search-engine configurations: the "QNINET.INI" file, its cache, and the anchor scan that
// applies a configuration to a results page.
#pragma once

#include <string>
#include <vector>

namespace qn::webnet::scan {

// One configuration in memory (the exports hand out SearchEngineConfig copies).
struct EngineConfig {
    std::string strName;  // lower case
    int type = 2;
    std::string strStart;
    std::string strEnd;
    bool fHasEnd = false;
    int skip = 0;
    bool fIgnoreHostAnchors = false;
};

// The environment variable that names the configuration file instead of the one beside the
// library.
inline constexpr const char* kConfigPathVariable = "QUILLON_QNINET_INI";

// The configuration file's path: $QUILLON_QNINET_INI, else "QNINET.INI" in the folder of
// libwebnet.so; empty when neither is known.
std::string ConfigFilePath();

// Reads the valid configurations of a file in file order. false when the file lists none
// ("NumNames" missing, 0, negative or above 99999).
bool ReadEngineConfigs(const std::string& strPath, std::vector<EngineConfig>* pConfigs);

// The first cached configuration whose name occurs in the lower-case key, or the default
// configuration ("(unknown)", mode 2: every anchor). Loads the cache when it holds nothing.
EngineConfig LookupEngineConfig(const std::string& strKey, bool* pfMatched);

// Empties the cache; the next lookup reads the file again.
void ReleaseEngineConfigCache();

}  // namespace qn::webnet::scan
