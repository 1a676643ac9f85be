#include "maintcore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "catdbu.h"
#include "exsmstatus.h"
#include "foundation/cataloglog.h"
#include "foundation/file.h"
#include "foundation/prefs.h"
#include "glue.h"
#include "maintstrings.h"
#include "qnplatform.h"

namespace qn::maint {

// ---- Paths ------------------------------------------------------------------------------------

MaintPaths DerivePaths(const std::string& strCatalog) {
    MaintPaths paths;
    CQNFile catalog(strCatalog.c_str());
    paths.strCatalog = catalog.FullName();
    if (paths.strCatalog.empty()) {
        paths.strCatalog = strCatalog;
    }
    const size_t nSlash = paths.strCatalog.rfind('/');
    const std::string strDir =
        nSlash == std::string::npos ? "." : paths.strCatalog.substr(0, nSlash);
    const std::string strName =
        nSlash == std::string::npos ? paths.strCatalog : paths.strCatalog.substr(nSlash + 1);
    paths.strBackupDir = (strDir.empty() ? std::string() : strDir) + "/backup";
    paths.strBackup = paths.strBackupDir + "/" + strName;
    paths.strLog = qn::CatalogLogPath(paths.strCatalog);
    return paths;
}

std::string ShortenPath(const std::string& strPath, int nMaxWidth,
                        const std::function<int(const std::string&)>& measure) {
    if (measure(strPath) <= nMaxWidth) {
        return strPath;
    }
    // The root ("/", where a drive's root stands on other systems) or the first three
    // characters of a relative path, then "...", then the rest.
    const size_t cchHead =
        !strPath.empty() && strPath[0] == '/' ? 1 : std::min<size_t>(3, strPath.size());
    const std::string strHead = strPath.substr(0, cchHead) + "...";
    std::string strRest = strPath.substr(cchHead);
    while (!strRest.empty() && measure(strHead + strRest) > nMaxWidth) {
        const size_t nSlash = strRest.find('/');
        if (strRest[0] == '/' || nSlash == std::string::npos) {
            strRest.erase(0, 1);
        } else {
            strRest.erase(0, nSlash);  // up to the next '/', which stays
        }
    }
    return strHead + strRest;
}

// ---- Start-up ---------------------------------------------------------------------------------

namespace {

bool IsExistingFile(const std::string& strPath) {
    CQNFile file(strPath.c_str());
    return file.Exists() && !file.IsDirectory();
}

bool MakeDirectory(const std::string& strPath) {
    struct stat st {};
    if (::stat(strPath.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    return ::mkdir(strPath.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

StartupResult FindCatalog(const std::string& strCommandLine,
                          const std::function<std::optional<std::string>()>& askForCatalog) {
    StartupResult result;
    std::string strCatalog;
    if (!strCommandLine.empty()) {
        strCatalog = strCommandLine.substr(0, kMaxCommandLinePath);
    } else {
        char szPath[kMaxPreferencePath + 1] = {};
        QNPrefGetString("Pick List", "Catalog 1", LoadResourceString(IDS_DEFAULT_CATALOG), szPath,
                        sizeof szPath, QNINI_INIFILENAME);
        strCatalog = szPath;
    }
    if (!IsExistingFile(strCatalog)) {
        std::optional<std::string> chosen;
        if (askForCatalog) {
            chosen = askForCatalog();
        }
        if (!chosen || chosen->empty()) {
            result.strError = LoadResourceString(IDS_CATALOG_NOT_FOUND);
            result.strLookedFor = DerivePaths(strCatalog).strCatalog;
            return result;
        }
        strCatalog = *chosen;
        QNPrefSetString("Pick List", "Catalog 1", strCatalog.c_str(), QNINI_INIFILENAME);
    }
    result.paths = DerivePaths(strCatalog);
    if (!MakeDirectory(result.paths.strBackupDir)) {
        result.strError = FormatResource(IDS_CANNOT_CREATE_BACKUP_DIR, result.paths.strBackupDir);
        return result;
    }
    result.fOk = true;
    return result;
}

// ---- Commands ---------------------------------------------------------------------------------

namespace {

CommandResult Show(IMaintView& view, uint32_t dwStatus, Outcome outcome,
                   const std::string& strText) {
    view.ShowMessage(strText);
    return CommandResult{dwStatus, outcome, strText};
}

}  // namespace

std::string RepairedBackupFolder(const MaintPaths& paths, long long tmWhen) {
    const std::time_t tm = static_cast<std::time_t>(tmWhen);
    struct tm tmLocal {};
    ::localtime_r(&tm, &tmLocal);
    char szName[64];
    std::snprintf(szName, sizeof szName, "repaired-%04d%02d%02d-%02d%02d%02d",
                  tmLocal.tm_year + 1900, tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour,
                  tmLocal.tm_min, tmLocal.tm_sec);
    return paths.strBackupDir + "/" + szName;
}

namespace {

// The structure check's remark, when it was skipped.
void ShowStructureNote(IMaintView& view) {
    const std::string strNote = LastStructureCheckNote();
    if (!strNote.empty()) {
        view.ShowNote(strNote);
    }
}

std::string FileNameOf(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

}  // namespace

CommandResult RunBackup(IMaintView& view, const MaintPaths& paths) {
    view.BeginWaitCursor();
    view.StartOperation(IDS_CHECKING_INTEGRITY);
    uint32_t dwStatus = 0;
    DBUVerify(paths.strCatalog.c_str(), true, &dwStatus);
    ShowStructureNote(view);
    CommandResult result;
    switch (dwStatus & 0xFFFFu) {
        case EXSM_SUCCESS:
        case EXSM_CATALOG_REPAIRED: {
            std::string strTarget = paths.strBackup;
            const bool fKeepEarlier =
                (dwStatus & 0xFFFFu) == EXSM_CATALOG_REPAIRED && IsExistingFile(paths.strBackup);
            if (fKeepEarlier) {
                const std::string strFolder =
                    RepairedBackupFolder(paths, static_cast<long long>(std::time(nullptr)));
                if (!MakeDirectory(strFolder)) {
                    view.EndWaitCursor();
                    return Show(view, EXSM_CATALOG_BACKUP_FAILED, Outcome::Failed,
                                FormatResource(IDS_CANNOT_CREATE_BACKUP_DIR, strFolder));
                }
                strTarget = strFolder + "/" + FileNameOf(paths.strCatalog);
            }
            view.StartOperation(IDS_PERFORMING_BACKUP);
            DBUBackup(paths.strCatalog.c_str(), strTarget.c_str(), &dwStatus);
            view.EndWaitCursor();
            if ((dwStatus & 0xFFFFu) != EXSM_SUCCESS) {
                return Show(view, dwStatus, Outcome::Failed, LoadResourceString(IDS_BACKUP_FAILED));
            }
            if (!fKeepEarlier) {
                return Show(view, dwStatus, Outcome::Success, LoadResourceString(IDS_BACKUP_OK));
            }
            std::string strKept =
                "The catalog was repaired before this backup, so the earlier backup ";
            strKept += paths.strBackup + " is kept for Restore; the repaired catalog is in " +
                       strTarget + ".";
            qn::AppendCatalogLog(paths.strCatalog, "%s", strKept.c_str());
            return Show(view, dwStatus, Outcome::Success,
                        std::string(LoadResourceString(IDS_BACKUP_OK)) + "\n" + strKept);
        }
        case EXSM_CATALOG_CORRUPTED:
            result = Show(view, dwStatus, Outcome::Corrupted,
                          LoadResourceString(IDS_BACKUP_REFUSED_CORRUPT));
            break;
        case EXSM_CATALOG_UNAVAILABLE:
            result = Show(view, dwStatus, Outcome::InUse, LoadResourceString(IDS_CATALOG_IN_USE));
            break;
        default:
            result = Show(view, dwStatus, Outcome::Unexpected, UnexpectedErrorText(dwStatus));
            break;
    }
    view.EndWaitCursor();
    return result;
}

CommandResult RunRestore(IMaintView& view, const MaintPaths& paths) {
    view.StartOperation(IDS_PERFORMING_RESTORE);
    if (!IsExistingFile(paths.strBackup)) {
        return Show(view, EXSM_DOES_NOT_EXIST, Outcome::NoBackup,
                    FormatResource(IDS_NO_BACKUP, paths.strBackup));
    }
    view.BeginWaitCursor();
    uint32_t dwStatus = 0;
    DBURestore(paths.strBackup.c_str(), paths.strCatalog.c_str(), &dwStatus);
    view.EndWaitCursor();
    switch (dwStatus & 0xFFFFu) {
        case EXSM_SUCCESS:
            return Show(view, dwStatus, Outcome::Success, LoadResourceString(IDS_RESTORE_OK));
        case EXSM_CATALOG_UNAVAILABLE:
            return Show(view, dwStatus, Outcome::InUse, LoadResourceString(IDS_CATALOG_IN_USE));
        default:
            return Show(view, dwStatus, Outcome::Failed, LoadResourceString(IDS_RESTORE_FAILED));
    }
}

CommandResult RunVerify(IMaintView& view, const MaintPaths& paths, bool fRepair) {
    view.StartOperation(IDS_CHECKING_INTEGRITY);
    view.BeginWaitCursor();
    uint32_t dwStatus = 0;
    DBUVerify(paths.strCatalog.c_str(), fRepair, &dwStatus);
    ShowStructureNote(view);
    view.EndWaitCursor();
    switch (dwStatus & 0xFFFFu) {
        case EXSM_SUCCESS:
            return Show(view, dwStatus, Outcome::Success, LoadResourceString(IDS_NO_PROBLEMS));
        case EXSM_CATALOG_CORRUPTED:
            return Show(view, dwStatus, Outcome::Corrupted,
                        LoadResourceString(IDS_ERRORS_NOT_REPAIRED));
        case EXSM_CATALOG_REPAIRED:
            return Show(view, dwStatus, Outcome::Repaired,
                        LoadResourceString(IDS_ERRORS_CORRECTED));
        case EXSM_CATALOG_UNAVAILABLE:
            return Show(view, dwStatus, Outcome::InUse, LoadResourceString(IDS_CATALOG_IN_USE));
        default:
            return Show(view, dwStatus, Outcome::Unexpected, UnexpectedErrorText(dwStatus));
    }
}

// ---- Help -------------------------------------------------------------------------------------

std::string HelpFileIn(const std::string& strProgramDir, const std::string& strName) {
    const std::string strInstalled = strProgramDir + "/../share/quillon/" + strName;
    if (IsExistingFile(strInstalled)) {
        return strInstalled;
    }
    const std::string strBeside = strProgramDir + "/" + strName;
    return IsExistingFile(strBeside) ? strBeside : strInstalled;
}

// ---- Progress ---------------------------------------------------------------------------------

uint32_t CProgressThrottle::Handle(int nType, intptr_t lValue, uint32_t dwNowMs) {
    switch (nType) {
        case DBU_PROGRESS_START:
            m_nEnd = static_cast<long>(lValue);
            m_fUpdated = false;
            m_sink.SetRange(m_nEnd);
            break;
        case DBU_PROGRESS_STEP: {
            const long nValue = static_cast<long>(lValue);
            if (m_fUpdated && dwNowMs - m_dwLastUpdate < kIntervalMs && nValue != m_nEnd) {
                break;
            }
            m_sink.SetPosition(nValue);
            m_fUpdated = true;
            m_dwLastUpdate = dwNowMs;
            break;
        }
        case DBU_PROGRESS_MESSAGE: {
            const char* pszText = reinterpret_cast<const char*>(lValue);
            m_sink.ShowProgressText(pszText != nullptr ? pszText : "");
            break;
        }
        default:
            break;
    }
    return 1;
}

namespace {

std::unique_ptr<CProgressThrottle> g_pThrottle;

uint32_t ProgressRoutine(int nType, intptr_t lValue) {
    if (!g_pThrottle) {
        return 1;
    }
    return g_pThrottle->Handle(nType, lValue, QNGetTickCount());
}

}  // namespace

void AttachProgress(IProgressSink* pSink) {
    if (pSink == nullptr) {
        DBUSetProgress(nullptr);
        g_pThrottle.reset();
        return;
    }
    g_pThrottle = std::make_unique<CProgressThrottle>(*pSink);
    DBUSetProgress(&ProgressRoutine);
}

}  // namespace qn::maint
