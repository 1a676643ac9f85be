#include "glue.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "catdbu.h"
#include "catstore.h"
#include "exsmstatus.h"
#include "foundation/cataloglog.h"
#include "foundation/status.h"
#include "foundation/syslog.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "qnplatform.h"

namespace qn::maint {
namespace {

std::mutex g_mutex;
std::string g_strCatalogStoreLibrary;
StructureCheck g_lastStructureCheck = StructureCheck::NotRun;
std::string g_strLastStructureNote;

constexpr const char* kCatalogStoreSoname = "libcatstore.so.2";
constexpr const char* kCatalogStoreLink = "libcatstore.so";

// The catalog store's calls, as the library exports them (catstore.h).
using PFN_EXBoardConnect = decltype(&::EXBoardConnect);
using PFN_EXBoardClose = decltype(&::EXBoardClose);
// DBBoardVerify (database context, repair flag) -> database-layer status.
using PFN_DBBoardVerify = uint16_t (*)(void* pDatabaseContext, int fRepair);

// The leading fields of the catalog handle: the database context is the third.
struct BOARD_OBJECT_HEAD {
    uint32_t dwClientTag;
    void* pClientEntry;
    void* pDatabaseContext;
};

constexpr int kOpenExclusive = 2;

// The configuration path in a zero-filled movable block sized to the stripped path plus five
// bytes, as the operations hand it around; freed when the holder goes.
class CConfigPathBlock {
  public:
    explicit CConfigPathBlock(const std::string& strPath) {
        const std::string strConfig = ConfigurationPathOf(strPath);
        const size_t cbStripped = strConfig.size() - 4;  // without ".ini"
        m_hBlock = QNGlobalAlloc(QN_GHND, cbStripped + 5);
        if (m_hBlock != nullptr) {
            char* psz = static_cast<char*>(QNGlobalLock(m_hBlock));
            if (psz != nullptr) {
                std::memcpy(psz, strConfig.data(), strConfig.size());
                m_strPath.assign(psz);
                QNGlobalUnlock(m_hBlock);
            }
        }
        if (m_strPath.empty()) {
            m_strPath = strConfig;  // no memory for the block: the path still serves
        }
    }
    ~CConfigPathBlock() {
        if (m_hBlock != nullptr) {
            QNGlobalFree(m_hBlock);
        }
    }
    CConfigPathBlock(const CConfigPathBlock&) = delete;
    CConfigPathBlock& operator=(const CConfigPathBlock&) = delete;
    const std::string& Path() const { return m_strPath; }

  private:
    QNHGLOBAL m_hBlock = nullptr;
    std::string m_strPath;
};

// The catalog store, loaded by its soname first (the name an installed program finds through
// its run path), then by the development link a build tree has. Every path tried goes into
// *pstrTried for the report of a skipped check.
void* OpenCatalogStore(std::string* pstrTried) {
    std::string strConfigured;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        strConfigured = g_strCatalogStoreLibrary;
    }
    if (strConfigured.empty()) {
        const char* pszEnvironment = std::getenv("QUILLON_CATSTORE_LIBRARY");
        strConfigured = pszEnvironment != nullptr ? pszEnvironment : "";
    }
    const std::vector<std::string> candidates =
        !strConfigured.empty() ? std::vector<std::string>{strConfigured}
                               : CatalogStoreCandidates(qn::platform::ExecutableDirectory());
    for (const std::string& strCandidate : candidates) {
        // The store keeps process-wide state (its handle registry and quarantine) for as long
        // as it is mapped; unmapped at each release it would lose that state with every
        // verification. Released, it stays loaded, and the next load finds it again.
        if (void* hLib = ::dlopen(strCandidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
            return hLib;
        }
        const char* pszWhy = ::dlerror();
        if (!pstrTried->empty()) {
            pstrTried->append("; ");
        }
        pstrTried->append(strCandidate);
        // A library that is there but does not load says why; "not found" is the usual case.
        if (pszWhy != nullptr && std::strstr(pszWhy, "No such file") == nullptr) {
            pstrTried->append(" (").append(pszWhy).append(")");
        }
    }
    return nullptr;
}

// One line in the catalog's own log (View Log shows it) and in the system log.
void LogStructureNote(const std::string& strCatalog, const std::string& strNote) {
    QNTrace(QNTRACE_ALWAYS, "QNDBU: %s\r\n", strNote.c_str());
    qn::AppendCatalogLog(strCatalog, "%s", strNote.c_str());
}

void SetLastCheck(StructureCheck check, const std::string& strNote = std::string()) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_lastStructureCheck = check;
    g_strLastStructureNote = strNote;
}

// Records a skipped structure check and says why, in both logs.
void SkipStructureCheck(StructureCheck check, const char* pszCatalog, const std::string& strWhy) {
    const std::string strNote =
        "Structure check of '" + std::string(pszCatalog) + "' skipped: " + strWhy + ".";
    SetLastCheck(check, strNote);
    LogStructureNote(pszCatalog, strNote);
}

// The file a loaded library came from.
std::string LoadedPathOf(void* hLib) {
    struct link_map* pMap = nullptr;
    if (::dlinfo(hLib, RTLD_DI_LINKMAP, &pMap) == 0 && pMap != nullptr && pMap->l_name != nullptr) {
        return pMap->l_name;
    }
    return "(path unknown)";
}

// The catalog-structure verification through the catalog store.
void VerifyStructure(const char* pszCatalog, bool fRepair, uint32_t* pStatus) {
    const uint32_t dwBefore = *pStatus;
    if (dwBefore != EXSM_SUCCESS && dwBefore != EXSM_CATALOG_REPAIRED) {
        const char* pszText = QNStatusText(dwBefore & 0xFFFFu);
        SkipStructureCheck(StructureCheck::NotRun, pszCatalog,
                           "the record-level check ended with status " +
                               std::to_string(dwBefore & 0xFFFFu) +
                               (pszText != nullptr ? " (" + std::string(pszText) + ")" : ""));
        return;
    }
    std::string strTried;
    void* hLib = OpenCatalogStore(&strTried);
    if (hLib == nullptr) {
        SkipStructureCheck(StructureCheck::NoLibrary, pszCatalog,
                           "the catalog store library cannot be loaded (tried " + strTried + ")");
        return;
    }
    auto pfnConnect = reinterpret_cast<PFN_EXBoardConnect>(::dlsym(hLib, "EXBoardConnect"));
    auto pfnVerify = reinterpret_cast<PFN_DBBoardVerify>(::dlsym(hLib, "DBBoardVerify"));
    auto pfnClose = reinterpret_cast<PFN_EXBoardClose>(::dlsym(hLib, "EXBoardClose"));
    if (pfnConnect == nullptr || pfnVerify == nullptr || pfnClose == nullptr) {
        std::string strMissing;
        for (const auto& [pszName, fFound] : {std::pair{"EXBoardConnect", pfnConnect != nullptr},
                                              std::pair{"DBBoardVerify", pfnVerify != nullptr},
                                              std::pair{"EXBoardClose", pfnClose != nullptr}}) {
            if (!fFound) {
                strMissing += (strMissing.empty() ? "" : ", ") + std::string(pszName);
            }
        }
        SkipStructureCheck(
            StructureCheck::MissingExport, pszCatalog,
            "the catalog store library " + LoadedPathOf(hLib) + " lacks " + strMissing);
        ::dlclose(hLib);
        return;
    }
    EXSM_STATUS status = EXSM_SUCCESS;
    ::BOARD_OBJECT* hbrd = pfnConnect(pszCatalog, kOpenExclusive, &status);
    *pStatus = static_cast<uint32_t>(status);
    if (hbrd == nullptr || status != EXSM_SUCCESS) {
        if (*pStatus == EXSM_SUCCESS) {
            *pStatus = EXSM_CATALOG_OPEN_ERROR;  // no handle is never a success
        }
        const unsigned nStatus = *pStatus & 0xFFFFu;
        const char* pszText = QNStatusText(nStatus);
        SkipStructureCheck(StructureCheck::ConnectFailed, pszCatalog,
                           "the exclusive connect failed with status " + std::to_string(nStatus) +
                               (pszText != nullptr ? " (" + std::string(pszText) + ")" : ""));
        ::dlclose(hLib);
        return;
    }
    void* pDatabaseContext = reinterpret_cast<BOARD_OBJECT_HEAD*>(hbrd)->pDatabaseContext;
    const unsigned nDBResult = pfnVerify(pDatabaseContext, fRepair ? 1 : 0);
    pfnClose(hbrd, &status);
    *pStatus = static_cast<uint32_t>(status);
    ::dlclose(hLib);
    SetLastCheck(StructureCheck::Ran);

    EXSM_STATUS mapped = static_cast<EXSM_STATUS>(*pStatus);
    QNMapDBStatus(nDBResult, &mapped, "Exadmin");
    *pStatus = static_cast<uint32_t>(mapped);
    // Errors the record-level check repaired stay reported when the structure is clean.
    if (*pStatus == EXSM_SUCCESS && dwBefore == EXSM_CATALOG_REPAIRED) {
        *pStatus = EXSM_CATALOG_REPAIRED;
    }
}

}  // namespace

std::string ConfigurationPathOf(const std::string& strPath) {
    return qn::platform::CatalogConfigurationPath(strPath);
}

std::string DestinationDirectoryOf(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos) {
        return ".";
    }
    if (nSlash == 0) {
        return "/";  // a file in the root folder
    }
    return strPath.substr(0, nSlash);
}

DBTuning ReadDBTuning(const std::string& strConfigPath) {
    namespace profile = qn::platform::profile;
    DBTuning tuning;
    tuning.nLockMgr = profile::ReadInt("DBTuning", "LockMgr", 0, strConfigPath.c_str());
    tuning.nCheckDBIntegrity =
        profile::ReadInt("DBTuning", "CheckDBIntegrity", 1, strConfigPath.c_str());
    tuning.nCheckSchemaIntegrity =
        profile::ReadInt("DBTuning", "CheckSchemaIntegrity", 1, strConfigPath.c_str());
    return tuning;
}

void SetCatalogStoreLibrary(const std::string& strPath) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_strCatalogStoreLibrary = strPath;
}

std::string CatalogStoreLibrary() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_strCatalogStoreLibrary;
}

std::vector<std::string> CatalogStoreCandidates(const std::string& strProgramDir) {
    std::vector<std::string> candidates;
    for (const char* pszName : {kCatalogStoreSoname, kCatalogStoreLink}) {
        candidates.push_back(strProgramDir + "/" + pszName);
        candidates.push_back(pszName);
    }
    return candidates;
}

StructureCheck LastStructureCheck() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_lastStructureCheck;
}

std::string LastStructureCheckNote() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_strLastStructureNote;
}

}  // namespace qn::maint

using namespace qn::maint;

void DBUBackup(const char* pszCatalog, const char* pszBackup, uint32_t* pStatus) {
    QNEntryTrace("DBUBackup");
    uint32_t dwIgnored = 0;
    if (pStatus == nullptr) {
        pStatus = &dwIgnored;
    }
    *pStatus = EXSM_SUCCESS;
    const std::string strCatalog = pszCatalog != nullptr ? pszCatalog : "";
    const std::string strBackup = pszBackup != nullptr ? pszBackup : "";
    CConfigPathBlock config(strCatalog);
    const std::string strDestination = DestinationDirectoryOf(strBackup);
    QNTrace(QNTRACE_ALWAYS, "QNDBU: DBUBackup Source='%s', Destination='%s'\r\n",
            strCatalog.c_str(), strDestination.c_str());
    *pStatus = static_cast<uint32_t>(
        UTBackUp(strCatalog.c_str(), strDestination.c_str(), ReadDBTuning(config.Path()).nLockMgr));
}

void DBURestore(const char* pszBackup, const char* pszCatalog, uint32_t* pStatus) {
    QNEntryTrace("DBURestore");
    uint32_t dwIgnored = 0;
    if (pStatus == nullptr) {
        pStatus = &dwIgnored;
    }
    *pStatus = EXSM_SUCCESS;
    const std::string strBackup = pszBackup != nullptr ? pszBackup : "";
    const std::string strCatalog = pszCatalog != nullptr ? pszCatalog : "";
    CConfigPathBlock config(strBackup);
    const std::string strDestination = DestinationDirectoryOf(strCatalog);
    QNTrace(QNTRACE_ALWAYS, "QNDBU: DBURestore Source='%s', Destination='%s'\r\n",
            strBackup.c_str(), strDestination.c_str());
    *pStatus = static_cast<uint32_t>(
        UTRestore(strBackup.c_str(), strDestination.c_str(), ReadDBTuning(config.Path()).nLockMgr));
}

void DBUVerify(const char* pszCatalog, bool fRepair, uint32_t* pStatus) {
    QNEntryTrace("DBUVerify");
    uint32_t dwIgnored = 0;
    if (pStatus == nullptr) {
        pStatus = &dwIgnored;
    }
    *pStatus = EXSM_SUCCESS;
    SetLastCheck(StructureCheck::NotRun);
    const std::string strCatalog = pszCatalog != nullptr ? pszCatalog : "";
    CConfigPathBlock config(strCatalog);
    QNTrace(QNTRACE_ALWAYS, "QNDBU: DBUVerify '%s', RepairErrors=%s\r\n", strCatalog.c_str(),
            fRepair ? "TRUE" : "FALSE");
    const DBTuning tuning = ReadDBTuning(config.Path());
    if (tuning.nCheckDBIntegrity != 0) {
        *pStatus =
            static_cast<uint32_t>(UTCheckFix(strCatalog.c_str(), fRepair ? 1 : 0, tuning.nLockMgr));
    }
    if (tuning.nCheckSchemaIntegrity != 0) {
        VerifyStructure(strCatalog.c_str(), fRepair, pStatus);
    } else {
        SkipStructureCheck(StructureCheck::NotRun, strCatalog.c_str(),
                           "CheckSchemaIntegrity is 0 in " + config.Path());
    }
}
