// The maintenance program's main dialog (Qt Widgets).
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include "maintcore.h"
#include "qnplatform.h"

class QLabel;
class QGroupBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTextBrowser;

namespace qn::maint {

// Control ids of the dialog (object names "ctl<id>" so tests and accessibility find them).
enum ControlId : int {
    IDC_PROGRESS = 1000,
    IDC_MESSAGE = 1002,
    IDC_OPERATION = 1003,
    IDC_CATALOG_PATH = 1004,
    IDC_BACKUP_PATH = 1005,
    IDC_LOG_PATH = 1007,
    IDC_CLOSE = 2,
    IDC_BACKUP = 22,
    IDC_RESTORE = 23,
    IDC_VERIFY = 24,
    IDC_VIEW_LOG = 25,
    IDC_HELP = 57670,
};

// Dialog units to pixels through a font, as dialog templates are laid out: horizontal units are
// a quarter of the font's average character width, vertical ones an eighth of its height,
// rounded to the nearest pixel.
struct DialogUnits {
    int nBaseX = 0;
    int nBaseY = 0;
    int X(int nUnits) const { return (nUnits * nBaseX + 2) / 4; }
    int Y(int nUnits) const { return (nUnits * nBaseY + 4) / 8; }
};
DialogUnits DialogUnitsOf(const QFont& font);

// The program icon.
QIcon ProgramIcon();

// Where the help file is: in the installed data folder beside the program's (../share/quillon),
// else beside the program.
QString HelpFilePath();

class CMaintDialog : public QDialog, public IMaintView, public IProgressSink {
  public:
    explicit CMaintDialog(const MaintPaths& paths, QWidget* pParent = nullptr);
    ~CMaintDialog() override;

    // The commands (the buttons call these; Restore only after ConfirmRestore).
    CommandResult OnBackup();
    CommandResult OnRestore();
    CommandResult OnVerify();
    void OnViewLog();
    void OnHelp();
    void OnAbout();
    // Asks whether the catalog is to be replaced by its backup (a restore loses every change
    // since the backup); true for Yes. No is the default answer.
    bool ConfirmRestore();

    // Enables the backup and log parts by the files that exist.
    void UpdateEnabling();

    // For tests and the About box.
    QPushButton* Button(int nId) const;
    QLabel* PathLabel(int nId) const;
    QString MessageText() const;
    QString OperationTitle() const;
    QProgressBar* Progress() const { return m_pProgress; }
    QWidget* LogViewer() const;
    QTextBrowser* HelpViewer() const;
    const DialogUnits& Units() const { return m_units; }

    // IMaintView
    void StartOperation(unsigned nTitleId) override;
    void ShowMessage(const std::string& strText) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    // IProgressSink
    void SetRange(long nEnd) override;
    void SetPosition(long nPosition) override;
    void ShowProgressText(const char* pszText) override;

  private:
    QLabel* AddLabel(const QString& strText, int x, int y, int cx, int cy);
    QPushButton* AddButton(int nId, const char* pszText, int x, int y);
    void ShowPath(QLabel* pLabel, const std::string& strPath);
    void RepaintNow();

    MaintPaths m_paths;
    DialogUnits m_units;
    QLabel* m_pCatalogLabel = nullptr;
    QLabel* m_pBackupLabel = nullptr;
    QLabel* m_pLogLabel = nullptr;
    QGroupBox* m_pOperation = nullptr;
    QPlainTextEdit* m_pMessage = nullptr;
    QProgressBar* m_pProgress = nullptr;
    QPointer<QWidget> m_pLogViewer;
    QPointer<QTextBrowser> m_pHelpViewer;
    QNMessageBoxHandler m_pfnPreviousBoxHandler = nullptr;
    int m_nWaitDepth = 0;
};

// The message-box handler the dialog installs: shows the libraries' boxes as Qt boxes.
int QtMessageBoxHandler(const char* pszText, const char* pszCaption, unsigned int uType,
                        void* pContext);

}  // namespace qn::maint
