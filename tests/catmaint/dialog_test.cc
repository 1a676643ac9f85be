// The maintenance dialog, rendered offscreen, on real catalogs and with real second processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>
#include <string>

#include "catalogs.h"
#include "glue.h"
#include "maintcore.h"
#include "maintdialog.h"
#include "maintstrings.h"
#include "qnplatform.h"
#include "testsupport.h"

// Allocations the font and display libraries under Qt keep for the life of the process are no
// leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libfreetype\nleak:libQt6Gui\nleak:libQt6Core\n"
           "leak:libQt6Widgets\nleak:libglib\n";
}

namespace {

using namespace qn::test;
using namespace qn::test::catalogs;
using namespace qn::maint;

class DialogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        if (QApplication::instance() == nullptr) {
            static int argc = 1;
            static char szName[] = "dialog_test";
            static char* argv[] = {szName, nullptr};
            new QApplication(argc, argv);
        }
    }
    void SetUp() override {
        // No catalog store is bound: the structure verification is skipped.
        SetCatalogStoreLibrary(m_dir.file("no-catstore.so"));
        m_strCatalog = m_dir.file("catalog.vfc");
        MakeCatalog(m_strCatalog, 300);
        ::mkdir(m_dir.file("backup").c_str(), 0755);
        m_paths = DerivePaths(m_strCatalog);
    }
    void TearDown() override { SetCatalogStoreLibrary(""); }

    QString Text(unsigned nId) { return QString::fromUtf8(LoadResourceString(nId)); }

    // What the next modal message box showed before it was answered with a button.
    struct SeenBox {
        bool fShown = false;
        QString strText;
        QString strDetails;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    };
    // Answers the next modal message box with the button (Escape: the box is closed, as by its
    // title bar or the Esc key); *pSeen keeps what it showed.
    static void AnswerNextBox(QMessageBox::StandardButton button, SeenBox* pSeen) {
        QTimer::singleShot(0, [=] {
            auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (pBox == nullptr) {
                return;
            }
            pSeen->fShown = true;
            pSeen->strText = pBox->text();
            pSeen->strDetails = pBox->informativeText();
            if (QAbstractButton* pDefault = pBox->defaultButton()) {
                pSeen->defaultButton = pBox->standardButton(pDefault);
            }
            if (button == QMessageBox::Escape) {
                pBox->close();
            } else {
                pBox->button(button)->click();
            }
        });
    }

    IsolatedEnvironment m_env;
    TempDir m_dir;
    std::string m_strCatalog;
    MaintPaths m_paths;
};

TEST_F(DialogTest, LayoutInDialogUnitsThroughTheFont) {
    CMaintDialog dialog(m_paths);
    const DialogUnits& du = dialog.Units();
    ASSERT_GT(du.nBaseX, 0);
    ASSERT_GT(du.nBaseY, 0);
    EXPECT_EQ(dialog.windowTitle(), "Zelto Catalog Maintenance");
    EXPECT_EQ(dialog.size(), QSize(du.X(254), du.Y(122)));
    struct Case {
        int nId;
        const char* pszText;
        QRect units;
    };
    const Case buttons[] = {
        {IDC_CLOSE, "Close", {199, 6, 50, 14}},     {IDC_HELP, "&Help", {199, 23, 50, 14}},
        {IDC_BACKUP, "&Backup", {199, 43, 50, 14}}, {IDC_RESTORE, "&Restore", {199, 60, 50, 14}},
        {IDC_VERIFY, "&Verify", {199, 77, 50, 14}}, {IDC_VIEW_LOG, "View &Log", {199, 94, 50, 14}},
    };
    for (const Case& c : buttons) {
        QPushButton* pButton = dialog.Button(c.nId);
        ASSERT_NE(pButton, nullptr) << c.nId;
        EXPECT_EQ(pButton->text(), c.pszText);
        EXPECT_EQ(pButton->geometry(), QRect(du.X(c.units.x()), du.Y(c.units.y()),
                                             du.X(c.units.width()), du.Y(c.units.height())))
            << c.pszText;
    }
    const auto pixels = [&du](int x, int y, int cx, int cy) {
        return QRect(du.X(x), du.Y(y), du.X(cx), du.Y(cy));
    };
    EXPECT_EQ(dialog.Progress()->geometry(), pixels(10, 96, 172, 15));
    EXPECT_EQ(dialog.PathLabel(IDC_CATALOG_PATH)->geometry(), pixels(36, 5, 155, 8));
    EXPECT_EQ(dialog.PathLabel(IDC_BACKUP_PATH)->geometry(), pixels(36, 15, 155, 8));
    EXPECT_EQ(dialog.PathLabel(IDC_LOG_PATH)->geometry(), pixels(36, 25, 155, 8));
    QWidget* pGroup = dialog.findChild<QWidget*>("ctl1003");
    ASSERT_NE(pGroup, nullptr);
    EXPECT_EQ(pGroup->geometry(), pixels(5, 40, 182, 77));
    auto* pMessage = dialog.findChild<QPlainTextEdit*>("ctl1002");
    ASSERT_NE(pMessage, nullptr);
    EXPECT_TRUE(pMessage->isReadOnly());
    EXPECT_EQ(pMessage->geometry(), pixels(10, 51, 172, 40));
    struct Caption {
        const char* pszText;
        QRect units;
    };
    const Caption captions[] = {
        {"Catalog:", {5, 5, 28, 8}}, {"Backup:", {5, 15, 28, 8}}, {"Log File:", {5, 25, 30, 8}}};
    for (const Caption& c : captions) {
        bool fFound = false;
        for (QLabel* pLabel : dialog.findChildren<QLabel*>()) {
            if (pLabel->text() == c.pszText) {
                fFound = true;
                EXPECT_EQ(pLabel->geometry(),
                          pixels(c.units.x(), c.units.y(), c.units.width(), c.units.height()))
                    << c.pszText;
            }
        }
        EXPECT_TRUE(fFound) << c.pszText;
    }
    // The units themselves: the average width of the letters and the height of the font.
    const QFontMetrics metrics(dialog.font());
    EXPECT_EQ(
        du.nBaseX,
        (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 +
         1) /
            2);
    EXPECT_EQ(du.nBaseY, metrics.height());
    // Units become pixels rounded to the nearest, as dialog templates are mapped.
    const DialogUnits sample{7, 15};
    EXPECT_EQ(sample.X(199), 348);  // 348.25
    EXPECT_EQ(sample.X(2), 4);      // 3.5
    EXPECT_EQ(sample.Y(14), 26);    // 26.25
    EXPECT_EQ(sample.Y(5), 9);      // 9.375
    // Initial state.
    EXPECT_EQ(dialog.OperationTitle(), "Command Progress:");
    EXPECT_EQ(dialog.MessageText(), "");
    EXPECT_EQ(dialog.Progress()->maximum(), 1);
    EXPECT_EQ(dialog.Progress()->value(), 0);
    // A path that fits is shown whole.
    QLabel* pCatalog = dialog.PathLabel(IDC_CATALOG_PATH);
    if (QFontMetrics(pCatalog->font()).horizontalAdvance(QString::fromStdString(m_strCatalog)) <=
        pCatalog->width()) {
        EXPECT_EQ(pCatalog->text().toStdString(), m_strCatalog);
    }
}

TEST_F(DialogTest, RestoreIsEnabledOnceABackupExists) {
    CMaintDialog dialog(m_paths);
    EXPECT_FALSE(dialog.Button(IDC_RESTORE)->isEnabled());
    EXPECT_FALSE(dialog.PathLabel(IDC_BACKUP_PATH)->isEnabled());
    EXPECT_FALSE(dialog.Button(IDC_VIEW_LOG)->isEnabled());
    const CommandResult result = dialog.OnBackup();
    EXPECT_EQ(result.outcome, Outcome::Success);
    EXPECT_EQ(dialog.MessageText(), Text(IDS_BACKUP_OK));
    EXPECT_EQ(dialog.OperationTitle(), Text(IDS_PERFORMING_BACKUP));
    EXPECT_TRUE(dialog.Button(IDC_RESTORE)->isEnabled());
    EXPECT_TRUE(dialog.PathLabel(IDC_BACKUP_PATH)->isEnabled());
    EXPECT_TRUE(dialog.Button(IDC_VIEW_LOG)->isEnabled());
    // The progress bar ended on the last step.
    EXPECT_EQ(dialog.Progress()->value(), dialog.Progress()->maximum());

    AddRecords(m_strCatalog, 10, "late");
    SeenBox seen;
    AnswerNextBox(QMessageBox::Yes, &seen);
    dialog.Button(IDC_RESTORE)->click();
    EXPECT_TRUE(seen.fShown) << "the restore asks first";
    EXPECT_EQ(dialog.MessageText(), Text(IDS_RESTORE_OK));
    EXPECT_EQ(dialog.OperationTitle(), Text(IDS_PERFORMING_RESTORE));
    EXPECT_EQ(Contents(m_strCatalog), Contents(m_paths.strBackup));
}

TEST_F(DialogTest, RestoreReplacesTheCatalogOnlyWhenTheUserSaysYes) {
    CMaintDialog dialog(m_paths);
    ASSERT_EQ(dialog.OnBackup().outcome, Outcome::Success);
    const std::string strBackup = Contents(m_paths.strBackup);
    struct Case {
        QMessageBox::StandardButton answer;
        bool fRestored;
    };
    const Case cases[] = {
        {QMessageBox::No, false}, {QMessageBox::Escape, false}, {QMessageBox::Yes, true}};
    for (const Case& c : cases) {
        AddRecords(m_strCatalog, 5, "late" + std::to_string(static_cast<int>(c.answer)));
        const std::string strBefore = Contents(m_strCatalog);
        ASSERT_NE(strBefore, strBackup);
        dialog.ShowMessage("before");
        SeenBox seen;
        AnswerNextBox(c.answer, &seen);
        dialog.Button(IDC_RESTORE)->click();
        ASSERT_TRUE(seen.fShown);
        EXPECT_EQ(seen.strText, "Replace the catalog with its backup?");
        EXPECT_TRUE(seen.strDetails.contains(QString::fromStdString(m_strCatalog)));
        EXPECT_TRUE(seen.strDetails.contains(QString::fromStdString(m_paths.strBackup)));
        EXPECT_TRUE(seen.strDetails.contains("is lost"));
        EXPECT_EQ(seen.defaultButton, QMessageBox::No) << "Enter alone keeps the catalog";
        if (c.fRestored) {
            EXPECT_EQ(Contents(m_strCatalog), strBackup);
            EXPECT_EQ(dialog.MessageText(), Text(IDS_RESTORE_OK));
        } else {
            EXPECT_EQ(Contents(m_strCatalog), strBefore);
            EXPECT_EQ(dialog.MessageText(), "before") << "nothing ran";
        }
    }
}

TEST_F(DialogTest, BackupOfACatalogInUseShowsItAndWritesNoBackup) {
    CMaintDialog dialog(m_paths);
    CCatalogHolder holder(m_strCatalog);
    ASSERT_TRUE(holder.Holding());
    dialog.Button(IDC_BACKUP)->click();
    EXPECT_EQ(dialog.MessageText(),
              "This operation cannot be performed because the catalog is in use.");
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(m_paths.strBackup)));
    EXPECT_FALSE(dialog.Button(IDC_RESTORE)->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the wait cursor ended";
}

TEST_F(DialogTest, ARepairedCatalogIsStillBackedUp) {
    DamageIndex(m_strCatalog);
    CMaintDialog dialog(m_paths);
    const CommandResult result = dialog.OnBackup();
    EXPECT_EQ(result.outcome, Outcome::Success);
    EXPECT_EQ(dialog.MessageText(), Text(IDS_BACKUP_OK));
    EXPECT_EQ(IntegrityOf(m_paths.strBackup), "ok");
}

TEST_F(DialogTest, VerifyMessages) {
    CMaintDialog dialog(m_paths);
    dialog.Button(IDC_VERIFY)->click();
    EXPECT_EQ(dialog.OperationTitle(), Text(IDS_CHECKING_INTEGRITY));
    EXPECT_EQ(dialog.MessageText(), "No problems were detected.");
    {
        CCatalogHolder holder(m_strCatalog);
        ASSERT_TRUE(holder.Holding());
        dialog.Button(IDC_VERIFY)->click();
        EXPECT_EQ(dialog.MessageText(),
                  "This operation cannot be performed because the catalog is in use.");
    }
    DamageIndex(m_strCatalog);
    dialog.Button(IDC_VERIFY)->click();
    EXPECT_EQ(dialog.MessageText(),
              "Errors were found and corrected.  See the log file for details.");
    DamageRecords(m_strCatalog);
    dialog.Button(IDC_VERIFY)->click();
    EXPECT_EQ(dialog.MessageText(), Text(IDS_ERRORS_NOT_REPAIRED));
    dialog.Button(IDC_BACKUP)->click();
    EXPECT_EQ(dialog.MessageText(), Text(IDS_BACKUP_REFUSED_CORRUPT));
    WriteFile(m_strCatalog, "no longer a catalog");
    dialog.Button(IDC_VERIFY)->click();
    EXPECT_EQ(
        dialog.MessageText(),
        "Unexpected error detected (Invalid Catalog File).  Please contact Customer Support.");
}

TEST_F(DialogTest, RestoreOfACorruptBackupKeepsTheCatalog) {
    CMaintDialog dialog(m_paths);
    ASSERT_EQ(dialog.OnBackup().outcome, Outcome::Success);
    WriteFile(m_paths.strBackup, std::string(10000, '\x01'));
    const std::string strBefore = ReadFile(m_strCatalog);
    EXPECT_EQ(dialog.OnRestore().outcome, Outcome::Failed);
    EXPECT_EQ(dialog.MessageText(), Text(IDS_RESTORE_FAILED));
    EXPECT_EQ(ReadFile(m_strCatalog), strBefore);
}

TEST_F(DialogTest, LongPathsAreShortenedToFitTheirLabel) {
    std::string strDeep = m_dir.path();
    for (int i = 0; i < 8; ++i) {
        strDeep += "/a-rather-long-folder-name-" + std::to_string(i);
        ::mkdir(strDeep.c_str(), 0755);
    }
    const MaintPaths deep = DerivePaths(strDeep + "/catalog.vfc");
    CMaintDialog dialog(deep);
    QLabel* pLabel = dialog.PathLabel(IDC_CATALOG_PATH);
    const QString strShown = pLabel->text();
    EXPECT_TRUE(strShown.startsWith("/...")) << strShown.toStdString();
    EXPECT_TRUE(strShown.endsWith("/catalog.vfc")) << strShown.toStdString();
    EXPECT_LE(QFontMetrics(pLabel->font()).horizontalAdvance(strShown), pLabel->width());
    EXPECT_EQ(pLabel->toolTip().toStdString(), deep.strCatalog);
}

TEST_F(DialogTest, ProgressIsThrottledAndEndsOnTheLastStep) {
    CMaintDialog dialog(m_paths);
    CProgressThrottle throttle(dialog);
    throttle.Handle(0, 50, 5000);
    EXPECT_EQ(dialog.Progress()->maximum(), 50);
    EXPECT_EQ(dialog.Progress()->value(), 0);
    throttle.Handle(1, 1, 5001);
    throttle.Handle(1, 2, 5002);
    EXPECT_EQ(dialog.Progress()->value(), 1) << "a step within 100 ms is skipped";
    throttle.Handle(1, 3, 5101);
    EXPECT_EQ(dialog.Progress()->value(), 3);
    throttle.Handle(1, 50, 5102);
    EXPECT_EQ(dialog.Progress()->value(), 50) << "the last step is always shown";
    const char* pszText = "Copying the catalog...";
    EXPECT_EQ(throttle.Handle(2, reinterpret_cast<intptr_t>(pszText), 5103) & 0xFFFF, 1u);
    EXPECT_EQ(dialog.MessageText(), "Copying the catalog...");
}

TEST_F(DialogTest, ViewLogShowsTheLogReadOnly) {
    CMaintDialog dialog(m_paths);
    dialog.OnVerify();
    ASSERT_TRUE(dialog.Button(IDC_VIEW_LOG)->isEnabled());
    dialog.Button(IDC_VIEW_LOG)->click();
    QWidget* pViewer = dialog.LogViewer();
    ASSERT_NE(pViewer, nullptr);
    auto* pText = pViewer->findChild<QPlainTextEdit*>("logText");
    ASSERT_NE(pText, nullptr);
    EXPECT_TRUE(pText->isReadOnly());
    EXPECT_TRUE(pText->toPlainText().contains("Check of '" + QString::fromStdString(m_strCatalog)));
}

TEST_F(DialogTest, HelpOpensAtItsFirstTopicAndClosesWithTheDialog) {
    QPointer<QTextBrowser> pHelp;
    {
        CMaintDialog dialog(m_paths);
        dialog.Button(IDC_HELP)->click();
        pHelp = dialog.HelpViewer();
        ASSERT_FALSE(pHelp.isNull());
        EXPECT_TRUE(pHelp->toPlainText().contains("Zelto Catalog Maintenance"))
            << HelpFilePath().toStdString();
        EXPECT_TRUE(pHelp->window()->isVisible());
    }
    EXPECT_TRUE(pHelp.isNull()) << "the help window went with the dialog";
}

TEST_F(DialogTest, AboutBoxShowsTheVersion) {
    CMaintDialog dialog(m_paths);
    QString strVersion;
    QString strTitle;
    QTimer::singleShot(0, [&] {
        QWidget* pBox = QApplication::activeModalWidget();
        if (pBox == nullptr) {
            return;
        }
        strTitle = pBox->windowTitle();
        if (auto* pLabel = pBox->findChild<QLabel*>("versionText")) {
            strVersion = pLabel->text();
        }
        static_cast<QDialog*>(pBox)->accept();
    });
    dialog.OnAbout();
    EXPECT_EQ(strTitle, "About Zelto Catalog Maintenance");
    EXPECT_EQ(strVersion, "Version: 2.00.72");
}

TEST_F(DialogTest, LibraryMessageBoxesShowAsQtBoxesWhileTheDialogRuns) {
    int nAnswer = 0;
    {
        CMaintDialog dialog(m_paths);
        QString strShownText;
        QTimer::singleShot(0, [&] {
            auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (pBox == nullptr) {
                return;
            }
            strShownText = pBox->text();
            pBox->button(QMessageBox::Retry)->click();
        });
        nAnswer = QNMessageBox("The catalog is busy.", "Zelto Catalog Timeout",
                               QN_MB_RETRYCANCEL | QN_MB_ICONEXCLAMATION);
        EXPECT_EQ(strShownText, "The catalog is busy.");
        EXPECT_EQ(nAnswer, QN_IDRETRY);
    }
    // Without the dialog the default handler answers at once.
    EXPECT_EQ(QNMessageBox("x", "y", QN_MB_RETRYCANCEL), QN_IDCANCEL);
}

TEST_F(DialogTest, ScreenshotOfTheMainDialog) {
    CMaintDialog dialog(m_paths);
    dialog.OnVerify();
    dialog.show();
    QApplication::processEvents();
    const QPixmap shot = dialog.grab();
    const QString strPath = QStringLiteral(QN_SCREENSHOT_DIR "/catmaint-dialog.png");
    ASSERT_TRUE(shot.save(strPath, "PNG")) << strPath.toStdString();
    const QImage image(strPath);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), dialog.size() * dialog.devicePixelRatio());
    EXPECT_GT(QFileInfo(strPath).size(), 1000);
    // Not one flat colour: the controls were drawn.
    bool fVaried = false;
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height() && !fVaried; y += 3) {
        for (int x = 0; x < image.width() && !fVaried; x += 3) {
            fVaried = image.pixel(x, y) != first;
        }
    }
    EXPECT_TRUE(fVaried);
}

}  // namespace
