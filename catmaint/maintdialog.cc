#include "maintdialog.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "catdbu.h"
#include "maintstrings.h"
#include "platform/paths.h"

namespace qn::maint {
namespace {

// Size of the main dialog in dialog units: the controls' extent and a 5-unit margin.
constexpr int kDialogWidthUnits = 254;
constexpr int kDialogHeightUnits = 122;
// The About command's id in the window menu.
constexpr int kAboutCommand = 16;
// The help topic the Help button opens.
constexpr const char* kFirstTopic = "topic1";

QString ObjectName(int nId) {
    return QStringLiteral("ctl%1").arg(nId);
}

QString Text(unsigned nId) {
    return QString::fromUtf8(LoadResourceString(nId));
}

// A read-only window that shows a text file.
class CLogViewer : public QDialog {
  public:
    CLogViewer(const QString& strPath, QWidget* pParent) : QDialog(pParent) {
        setWindowTitle(
            QStringLiteral("%1 - %2").arg(QFileInfo(strPath).fileName(), Text(IDS_PROGRAM_TITLE)));
        setObjectName(QStringLiteral("logViewer"));
        auto* pLayout = new QVBoxLayout(this);
        m_pText = new QPlainTextEdit(this);
        m_pText->setObjectName(QStringLiteral("logText"));
        m_pText->setReadOnly(true);
        m_pText->setLineWrapMode(QPlainTextEdit::NoWrap);
        m_pText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        pLayout->addWidget(m_pText);
        auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Close, this);
        connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::close);
        pLayout->addWidget(pButtons);
        resize(640, 420);
        Load(strPath);
    }
    void Load(const QString& strPath) {
        QFile file(strPath);
        if (file.open(QIODevice::ReadOnly)) {
            // The tail of a very long log is what matters.
            constexpr qint64 kMaxBytes = 4 * 1024 * 1024;
            if (file.size() > kMaxBytes) {
                file.seek(file.size() - kMaxBytes);
            }
            m_pText->setPlainText(QString::fromUtf8(file.readAll()));
            m_pText->moveCursor(QTextCursor::End);
        } else {
            m_pText->setPlainText(file.errorString());
        }
    }

  private:
    QPlainTextEdit* m_pText = nullptr;
};

}  // namespace

DialogUnits DialogUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    DialogUnits units;
    const int cxAll = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    units.nBaseX = (cxAll / 26 + 1) / 2;
    units.nBaseY = metrics.height();
    if (units.nBaseX <= 0) {
        units.nBaseX = 1;
    }
    if (units.nBaseY <= 0) {
        units.nBaseY = 1;
    }
    return units;
}

QIcon ProgramIcon() {
    // A catalog drawer with a check mark: drawn, so the program carries no image files.
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(40, 60, 110), 1.5));
    painter.setBrush(QColor(90, 130, 200));
    painter.drawRoundedRect(QRectF(3, 7, 26, 21), 3, 3);
    painter.setBrush(QColor(230, 236, 248));
    painter.drawRect(QRectF(7, 3, 18, 12));
    painter.setPen(QPen(QColor(20, 140, 60), 3));
    painter.drawLine(QPointF(10, 19), QPointF(15, 24));
    painter.drawLine(QPointF(15, 24), QPointF(24, 12));
    painter.end();
    return QIcon(pixmap);
}

QString HelpFilePath() {
    return QString::fromStdString(
        HelpFileIn(qn::platform::ExecutableDirectory(), LoadResourceString(IDS_HELP_FILE)));
}

int QtMessageBoxHandler(const char* pszText, const char* pszCaption, unsigned int uType, void*) {
    QMessageBox box;
    box.setWindowTitle(QString::fromUtf8(pszCaption != nullptr ? pszCaption : ""));
    box.setText(QString::fromUtf8(pszText != nullptr ? pszText : ""));
    switch (uType & 0xF0u) {
        case QN_MB_ICONSTOP:
            box.setIcon(QMessageBox::Critical);
            break;
        case QN_MB_ICONQUESTION:
            box.setIcon(QMessageBox::Question);
            break;
        case QN_MB_ICONEXCLAMATION:
            box.setIcon(QMessageBox::Warning);
            break;
        case QN_MB_ICONINFORMATION:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    struct ButtonAnswer {
        QMessageBox::StandardButton button;
        int nAnswer;
    };
    std::vector<ButtonAnswer> buttons;
    switch (uType & QN_MB_TYPEMASK) {
        case QN_MB_OKCANCEL:
            buttons = {{QMessageBox::Ok, QN_IDOK}, {QMessageBox::Cancel, QN_IDCANCEL}};
            break;
        case QN_MB_ABORTRETRYIGNORE:
            buttons = {{QMessageBox::Abort, QN_IDABORT},
                       {QMessageBox::Retry, QN_IDRETRY},
                       {QMessageBox::Ignore, QN_IDIGNORE}};
            break;
        case QN_MB_YESNOCANCEL:
            buttons = {{QMessageBox::Yes, QN_IDYES},
                       {QMessageBox::No, QN_IDNO},
                       {QMessageBox::Cancel, QN_IDCANCEL}};
            break;
        case QN_MB_YESNO:
            buttons = {{QMessageBox::Yes, QN_IDYES}, {QMessageBox::No, QN_IDNO}};
            break;
        case QN_MB_RETRYCANCEL:
            buttons = {{QMessageBox::Retry, QN_IDRETRY}, {QMessageBox::Cancel, QN_IDCANCEL}};
            break;
        default:
            buttons = {{QMessageBox::Ok, QN_IDOK}};
            break;
    }
    QMessageBox::StandardButtons all;
    for (const ButtonAnswer& b : buttons) {
        all |= b.button;
    }
    box.setStandardButtons(all);
    size_t nDefault = 0;
    if ((uType & QN_MB_DEFBUTTON3) != 0) {
        nDefault = 2;
    } else if ((uType & QN_MB_DEFBUTTON2) != 0) {
        nDefault = 1;
    }
    if (nDefault < buttons.size()) {
        box.setDefaultButton(buttons[nDefault].button);
    }
    const int nChosen = box.exec();
    for (const ButtonAnswer& b : buttons) {
        if (nChosen == b.button) {
            return b.nAnswer;
        }
    }
    // Closed without a button: Cancel where there is one, else the default button's answer.
    return QNDefaultMessageBoxAnswer(uType);
}

CMaintDialog::CMaintDialog(const MaintPaths& paths, QWidget* pParent)
    : QDialog(pParent), m_paths(paths) {
    setObjectName(QStringLiteral("maintDialog"));
    setWindowTitle(Text(IDS_PROGRAM_TITLE));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(ProgramIcon());
    m_units = DialogUnitsOf(font());
    setFixedSize(m_units.X(kDialogWidthUnits), m_units.Y(kDialogHeightUnits));

    const QFont pathFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    AddLabel(QStringLiteral("Catalog:"), 5, 5, 28, 8);
    m_pCatalogLabel = AddLabel(QString(), 36, 5, 155, 8);
    m_pCatalogLabel->setObjectName(ObjectName(IDC_CATALOG_PATH));
    AddLabel(QStringLiteral("Backup:"), 5, 15, 28, 8);
    m_pBackupLabel = AddLabel(QString(), 36, 15, 155, 8);
    m_pBackupLabel->setObjectName(ObjectName(IDC_BACKUP_PATH));
    AddLabel(QStringLiteral("Log File:"), 5, 25, 30, 8);
    m_pLogLabel = AddLabel(QString(), 36, 25, 155, 8);
    m_pLogLabel->setObjectName(ObjectName(IDC_LOG_PATH));

    m_pOperation = new QGroupBox(this);
    m_pOperation->setObjectName(ObjectName(IDC_OPERATION));
    m_pOperation->setGeometry(m_units.X(5), m_units.Y(40), m_units.X(182), m_units.Y(77));
    m_pMessage = new QPlainTextEdit(this);
    m_pMessage->setObjectName(ObjectName(IDC_MESSAGE));
    m_pMessage->setReadOnly(true);
    m_pMessage->setGeometry(m_units.X(10), m_units.Y(51), m_units.X(172), m_units.Y(40));
    m_pProgress = new QProgressBar(this);
    m_pProgress->setObjectName(ObjectName(IDC_PROGRESS));
    m_pProgress->setTextVisible(false);
    m_pProgress->setGeometry(m_units.X(10), m_units.Y(96), m_units.X(172), m_units.Y(15));

    QPushButton* pClose = AddButton(IDC_CLOSE, "Close", 199, 6);
    connect(pClose, &QPushButton::clicked, this, &QDialog::reject);
    connect(AddButton(IDC_HELP, "&Help", 199, 23), &QPushButton::clicked, this,
            [this] { OnHelp(); });
    connect(AddButton(IDC_BACKUP, "&Backup", 199, 43), &QPushButton::clicked, this,
            [this] { OnBackup(); });
    connect(AddButton(IDC_RESTORE, "&Restore", 199, 60), &QPushButton::clicked, this, [this] {
        if (ConfirmRestore()) {
            OnRestore();
        }
    });
    connect(AddButton(IDC_VERIFY, "&Verify", 199, 77), &QPushButton::clicked, this,
            [this] { OnVerify(); });
    connect(AddButton(IDC_VIEW_LOG, "View &Log", 199, 94), &QPushButton::clicked, this,
            [this] { OnViewLog(); });

    // The window menu's About command: here a context-menu action of the dialog.
    if (*LoadResourceString(IDS_ABOUT) != '\0') {
        auto* pSeparator = new QAction(this);
        pSeparator->setSeparator(true);
        addAction(pSeparator);
        auto* pAbout = new QAction(Text(IDS_ABOUT), this);
        pAbout->setObjectName(QStringLiteral("action%1").arg(kAboutCommand));
        connect(pAbout, &QAction::triggered, this, [this] { OnAbout(); });
        addAction(pAbout);
        setContextMenuPolicy(Qt::ActionsContextMenu);
    }

    // Paths and the message area in the standard variable-width system font.
    for (QWidget* pWidget :
         {static_cast<QWidget*>(m_pCatalogLabel), static_cast<QWidget*>(m_pBackupLabel),
          static_cast<QWidget*>(m_pLogLabel), static_cast<QWidget*>(m_pMessage)}) {
        pWidget->setFont(pathFont);
    }
    ShowPath(m_pCatalogLabel, m_paths.strCatalog);
    ShowPath(m_pBackupLabel, m_paths.strBackup);
    ShowPath(m_pLogLabel, m_paths.strLog);
    m_pProgress->setRange(0, 1);
    m_pProgress->setValue(0);
    m_pOperation->setTitle(Text(IDS_COMMAND_PROGRESS));
    m_pMessage->clear();
    UpdateEnabling();

    if (const QScreen* pScreen = QGuiApplication::primaryScreen()) {
        const QRect available = pScreen->availableGeometry();
        move(available.center() - rect().center());
    }

    DBUSetWorkPath(qn::platform::ExecutableDirectory().c_str());
    AttachProgress(this);
    m_pfnPreviousBoxHandler = QNSetMessageBoxHandler(&QtMessageBoxHandler, this);
}

CMaintDialog::~CMaintDialog() {
    QNSetMessageBoxHandler(m_pfnPreviousBoxHandler, nullptr);
    AttachProgress(nullptr);
    // The help window goes with the dialog.
    if (m_pHelpViewer) {
        m_pHelpViewer->window()->close();
        delete m_pHelpViewer->window();
    }
    while (m_nWaitDepth > 0) {
        EndWaitCursor();
    }
}

QLabel* CMaintDialog::AddLabel(const QString& strText, int x, int y, int cx, int cy) {
    auto* pLabel = new QLabel(strText, this);
    pLabel->setGeometry(m_units.X(x), m_units.Y(y), m_units.X(cx), m_units.Y(cy));
    pLabel->setTextFormat(Qt::PlainText);
    return pLabel;
}

QPushButton* CMaintDialog::AddButton(int nId, const char* pszText, int x, int y) {
    auto* pButton = new QPushButton(QString::fromUtf8(pszText), this);
    pButton->setObjectName(ObjectName(nId));
    pButton->setAutoDefault(false);
    pButton->setGeometry(m_units.X(x), m_units.Y(y), m_units.X(50), m_units.Y(14));
    return pButton;
}

void CMaintDialog::ShowPath(QLabel* pLabel, const std::string& strPath) {
    const QFontMetrics metrics(pLabel->font());
    const std::string strShown = ShortenPath(strPath, pLabel->width(), [&](const std::string& s) {
        return metrics.horizontalAdvance(QString::fromStdString(s));
    });
    pLabel->setText(QString::fromStdString(strShown));
    pLabel->setToolTip(QString::fromStdString(strPath));
}

void CMaintDialog::UpdateEnabling() {
    const bool fBackup = QFileInfo(QString::fromStdString(m_paths.strBackup)).isFile();
    const bool fLog = QFileInfo(QString::fromStdString(m_paths.strLog)).isFile();
    m_pBackupLabel->setEnabled(fBackup);
    Button(IDC_RESTORE)->setEnabled(fBackup);
    m_pLogLabel->setEnabled(fLog);
    Button(IDC_VIEW_LOG)->setEnabled(fLog);
}

QPushButton* CMaintDialog::Button(int nId) const {
    return findChild<QPushButton*>(ObjectName(nId), Qt::FindDirectChildrenOnly);
}

QLabel* CMaintDialog::PathLabel(int nId) const {
    return findChild<QLabel*>(ObjectName(nId), Qt::FindDirectChildrenOnly);
}

QString CMaintDialog::MessageText() const {
    return m_pMessage->toPlainText();
}

QString CMaintDialog::OperationTitle() const {
    return m_pOperation->title();
}

QWidget* CMaintDialog::LogViewer() const {
    return m_pLogViewer.data();
}

QTextBrowser* CMaintDialog::HelpViewer() const {
    return m_pHelpViewer.data();
}

void CMaintDialog::RepaintNow() {
    if (isVisible()) {
        repaint();
    }
}

void CMaintDialog::StartOperation(unsigned nTitleId) {
    m_pOperation->setTitle(Text(nTitleId));
    m_pProgress->setValue(m_pProgress->minimum());
    m_pMessage->clear();
    RepaintNow();
}

void CMaintDialog::ShowMessage(const std::string& strText) {
    m_pMessage->setPlainText(QString::fromStdString(strText));
    RepaintNow();
}

void CMaintDialog::BeginWaitCursor() {
    ++m_nWaitDepth;
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CMaintDialog::EndWaitCursor() {
    if (m_nWaitDepth > 0) {
        --m_nWaitDepth;
        QApplication::restoreOverrideCursor();
    }
}

void CMaintDialog::SetRange(long nEnd) {
    m_pProgress->setRange(0, static_cast<int>(nEnd > 0 ? nEnd : 0));
    m_pProgress->setValue(0);
    RepaintNow();
}

void CMaintDialog::SetPosition(long nPosition) {
    m_pProgress->setValue(static_cast<int>(nPosition));
    if (isVisible()) {
        m_pProgress->repaint();
    }
}

void CMaintDialog::ShowProgressText(const char* pszText) {
    m_pMessage->setPlainText(QString::fromUtf8(pszText));
    RepaintNow();
}

CommandResult CMaintDialog::OnBackup() {
    const CommandResult result = RunBackup(*this, m_paths);
    UpdateEnabling();
    return result;
}

bool CMaintDialog::ConfirmRestore() {
    const QFileInfo backup(QString::fromStdString(m_paths.strBackup));
    QMessageBox box(QMessageBox::Warning, Text(IDS_PROGRAM_TITLE),
                    QStringLiteral("Replace the catalog with its backup?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("restoreConfirmation"));
    box.setInformativeText(
        QStringLiteral("%1\nwill be replaced by the backup\n%2\nmade %3. Every change to the "
                       "catalog since that backup is lost.")
            .arg(QString::fromStdString(m_paths.strCatalog), backup.filePath(),
                 QLocale().toString(backup.lastModified(), QLocale::ShortFormat)));
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

CommandResult CMaintDialog::OnRestore() {
    const CommandResult result = RunRestore(*this, m_paths);
    UpdateEnabling();
    return result;
}

CommandResult CMaintDialog::OnVerify() {
    const CommandResult result = RunVerify(*this, m_paths, true);
    UpdateEnabling();
    return result;
}

void CMaintDialog::OnViewLog() {
    const QString strLog = QString::fromStdString(m_paths.strLog);
    if (m_pLogViewer) {
        static_cast<CLogViewer*>(m_pLogViewer.data())->Load(strLog);
    } else {
        auto* pViewer = new CLogViewer(strLog, this);
        pViewer->setAttribute(Qt::WA_DeleteOnClose);
        m_pLogViewer = pViewer;
    }
    m_pLogViewer->show();
    m_pLogViewer->raise();
    UpdateEnabling();
}

void CMaintDialog::OnHelp() {
    if (!m_pHelpViewer) {
        auto* pWindow = new QDialog(nullptr);
        pWindow->setObjectName(QStringLiteral("helpWindow"));
        pWindow->setAttribute(Qt::WA_DeleteOnClose);
        pWindow->setWindowTitle(QStringLiteral("%1 Help").arg(Text(IDS_PROGRAM_TITLE)));
        pWindow->setWindowIcon(ProgramIcon());
        auto* pLayout = new QVBoxLayout(pWindow);
        auto* pBrowser = new QTextBrowser(pWindow);
        pBrowser->setObjectName(QStringLiteral("helpBrowser"));
        pBrowser->setOpenExternalLinks(false);
        pLayout->addWidget(pBrowser);
        pWindow->resize(560, 480);
        const QString strHelp = HelpFilePath();
        QFile file(strHelp);
        if (file.open(QIODevice::ReadOnly)) {
            pBrowser->setHtml(QString::fromUtf8(file.readAll()));
        } else {
            pBrowser->setPlainText(QStringLiteral("The help file %1 cannot be read: %2")
                                       .arg(strHelp, file.errorString()));
        }
        m_pHelpViewer = pBrowser;
    }
    m_pHelpViewer->scrollToAnchor(QString::fromLatin1(kFirstTopic));
    m_pHelpViewer->window()->show();
    m_pHelpViewer->window()->raise();
}

void CMaintDialog::OnAbout() {
    QDialog about(this);
    about.setObjectName(QStringLiteral("aboutBox"));
    about.setWindowTitle(QStringLiteral("About %1").arg(Text(IDS_PROGRAM_TITLE)));
    auto* pLayout = new QHBoxLayout(&about);
    auto* pIcon = new QLabel(&about);
    pIcon->setPixmap(ProgramIcon().pixmap(32, 32));
    pLayout->addWidget(pIcon, 0, Qt::AlignTop);
    auto* pColumn = new QVBoxLayout;
    pColumn->addWidget(new QLabel(Text(IDS_PROGRAM_TITLE), &about));
    auto* pVersion =
        new QLabel(QString::fromStdString(FormatResource(IDS_VERSION, kVersionText)), &about);
    pVersion->setObjectName(QStringLiteral("versionText"));
    pColumn->addWidget(pVersion);
    pLayout->addLayout(pColumn);
    auto* pOk = new QPushButton(QStringLiteral("OK"), &about);
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, &about, &QDialog::accept);
    pLayout->addWidget(pOk, 0, Qt::AlignTop);
    about.exec();
}

}  // namespace qn::maint
