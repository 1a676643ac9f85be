// catmaint: backs up, restores and verifies a catalog; a dialog, or headless with --verify,
// --backup or --restore.
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <iostream>
#include <optional>
#include <string>

#include "headless.h"
#include "maintcore.h"
#include "maintdialog.h"
#include "maintstrings.h"
#include "qnplatform.h"

using namespace qn::maint;

namespace {

// The open-file dialog that asks for the catalog; a read-only file is not taken.
std::optional<std::string> AskForCatalog() {
    for (;;) {
        QFileDialog dialog(nullptr, QStringLiteral("Find Zelto Catalog..."));
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter(QStringLiteral("Zelto Catalogs (*.vfc)"));
        dialog.setDefaultSuffix(QStringLiteral("vfc"));
        dialog.selectFile(QStringLiteral("CATALOG.VFC"));
        dialog.setOption(QFileDialog::ReadOnly, false);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return std::nullopt;
        }
        const QString strChosen = dialog.selectedFiles().front();
        if (QFileInfo(strChosen).isWritable()) {
            return strChosen.toStdString();
        }
        QMessageBox::warning(nullptr, QString::fromUtf8(LoadResourceString(IDS_PROGRAM_TITLE)),
                             QStringLiteral("%1 is read-only.").arg(strChosen));
    }
}

}  // namespace

int main(int argc, char** argv) {
    QNSetProductName(LoadResourceString(IDS_PRODUCT_NAME));
    if (IsHeadlessCommandLine(argc, argv)) {
        return RunHeadless(argc, argv, std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(LoadResourceString(IDS_PROGRAM_TITLE)));
    QApplication::setApplicationVersion(QString::fromUtf8(kVersionText));
    QApplication::setWindowIcon(ProgramIcon());

    // The command line is the catalog path, taken as it is.
    std::string strCommandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            strCommandLine += ' ';
        }
        strCommandLine += argv[i];
    }
    const StartupResult startup = FindCatalog(strCommandLine, &AskForCatalog);
    if (!startup.fOk) {
        QMessageBox::critical(nullptr, QString::fromUtf8(LoadResourceString(IDS_PROGRAM_TITLE)),
                              QString::fromStdString(startup.strError));
        return kExitNoCatalog;
    }
    CMaintDialog dialog(startup.paths);
    dialog.exec();
    return kExitSuccess;
}
