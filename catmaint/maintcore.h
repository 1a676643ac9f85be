// The maintenance program apart from its windows: finding the catalog, its companion paths,
// the three commands with the messages they end with, and the progress routine. The dialog and
// the headless mode both run on this.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qn::maint {

// ---- Paths ------------------------------------------------------------------------------------

struct MaintPaths {
    std::string strCatalog;    // the catalog's main file, absolute
    std::string strBackupDir;  // the catalog's folder with "backup"
    std::string strBackup;     // the backup folder with the catalog's file name
    std::string strLog;        // the catalog path with its extension replaced by "log"
};

// The companion paths of a catalog path (made absolute first).
MaintPaths DerivePaths(const std::string& strCatalog);

// The path as it fits a label nMaxWidth wide, widths measured by measure(): a path that fits is
// kept whole; otherwise its root, "..." and as much of the end as fits.
std::string ShortenPath(const std::string& strPath, int nMaxWidth,
                        const std::function<int(const std::string&)>& measure);

// ---- Start-up ---------------------------------------------------------------------------------

// Longest catalog path taken from the command line, and from the preferences: the longest
// path the system takes (a longer one is cut, and then not found).
inline constexpr size_t kMaxCommandLinePath = 4095;
inline constexpr size_t kMaxPreferencePath = 4095;

struct StartupResult {
    bool fOk = false;
    MaintPaths paths;
    std::string strError;      // the message to show when !fOk
    std::string strLookedFor;  // the catalog path looked for (absolute), when it was not found
};

// Finds the catalog: the command line when not empty, else the preference "Catalog 1" of
// "Pick List", else "vfc/catalog.vfc". When that is not an existing file, askForCatalog is
// asked (it may be empty: nothing to ask); a path it gives is remembered in the preference.
// Then makes the backup folder when missing.
StartupResult FindCatalog(const std::string& strCommandLine,
                          const std::function<std::optional<std::string>()>& askForCatalog);

// ---- Commands ---------------------------------------------------------------------------------

// What a command shows while it runs.
class IMaintView {
  public:
    virtual ~IMaintView() = default;
    // Title of the operation box (a string id), progress 0, empty message, repainted at once.
    virtual void StartOperation(unsigned nTitleId) = 0;
    // The message area's text, repainted at once.
    virtual void ShowMessage(const std::string& strText) = 0;
    virtual void BeginWaitCursor() {}
    virtual void EndWaitCursor() {}
    // A remark on the way that the log holds too (a skipped structure check); the dialog leaves
    // it to the log.
    virtual void ShowNote(const std::string& strText) {}
};

// How a command ended.
enum class Outcome { Success, Repaired, Failed, Corrupted, InUse, Unexpected, NoBackup };

struct CommandResult {
    uint32_t dwStatus = 0;  // the glue's status
    Outcome outcome = Outcome::Success;
    std::string strMessage;  // what was shown last
};

// Verify with repair, then (when the catalog is sound or was repaired) the backup. A catalog
// the verification has just repaired never replaces the backup there is: the earlier backup may
// be the only copy without the damage, so it stays where Restore takes it from, and the
// repaired catalog is backed up to a folder of its own, RepairedBackupFolder.
CommandResult RunBackup(IMaintView& view, const MaintPaths& paths);
// The folder for the backup of a catalog repaired at time tmWhen (seconds since 1970, local
// time): the backup folder with "repaired-YYYYMMDD-HHMMSS".
std::string RepairedBackupFolder(const MaintPaths& paths, long long tmWhen);
// Puts the backup back; without a backup file it says so and where it looked (NoBackup).
CommandResult RunRestore(IMaintView& view, const MaintPaths& paths);
CommandResult RunVerify(IMaintView& view, const MaintPaths& paths, bool fRepair);

// ---- Help -------------------------------------------------------------------------------------

// Where the help file is for a program in strProgramDir: the installed data folder
// (strProgramDir/../share/quillon) first, else beside the program, as in the build tree. When
// neither exists, the installed path (for the message that it cannot be read).
std::string HelpFileIn(const std::string& strProgramDir, const std::string& strName);

// ---- Progress ---------------------------------------------------------------------------------

// Where the progress routine's reports go.
class IProgressSink {
  public:
    virtual ~IProgressSink() = default;
    virtual void SetRange(long nEnd) = 0;  // range 0..nEnd, position 0
    virtual void SetPosition(long nPosition) = 0;
    virtual void ShowProgressText(const char* pszText) = 0;
};

// The progress routine's rules: a step within 100 ms of the last shown one is skipped unless it
// is the last step.
class CProgressThrottle {
  public:
    static constexpr uint32_t kIntervalMs = 100;
    explicit CProgressThrottle(IProgressSink& sink) : m_sink(sink) {}
    // Handles one report at time dwNowMs; always answers a value whose low 16 bits are 1.
    uint32_t Handle(int nType, intptr_t lValue, uint32_t dwNowMs);

  private:
    IProgressSink& m_sink;
    long m_nEnd = 0;
    bool m_fUpdated = false;
    uint32_t m_dwLastUpdate = 0;
};

// Makes sink the receiver of catdbu's progress reports (through a throttle); nullptr detaches.
void AttachProgress(IProgressSink* pSink);

}  // namespace qn::maint
