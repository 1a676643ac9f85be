// catmaint: backs up, restores and verifies a catalog; a dialog, or headless with --verify,
// --backup or --restore.
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdlib>
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
    // The command line is read before any application object: help, version and the headless
    // forms must work where there is no display.
    const MaintCommandLine commandLine = ParseMaintCommandLine(argc, argv);
    if (commandLine.command != MaintCommand::Dialog || !commandLine.strError.empty()) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(
            QString::fromUtf8(LoadResourceString(IDS_PROGRAM_TITLE)));
        QCoreApplication::setApplicationVersion(QString::fromUtf8(kVersionText));
        const MaintConsole console{std::cin, ::isatty(STDIN_FILENO) != 0, std::cout, std::cerr,
                                   ::isatty(STDERR_FILENO) != 0};
        return RunHeadless(commandLine, console);
    }
    // Qt aborts the process when it finds no display; without any sign of one, say so instead.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
        std::cerr << "catmaint: no display for the dialog; --verify, --backup and --restore work "
                     "without one (see --help)\n";
        return kExitFailed;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(LoadResourceString(IDS_PROGRAM_TITLE)));
    QApplication::setApplicationVersion(QString::fromUtf8(kVersionText));
    QApplication::setWindowIcon(ProgramIcon());

    const StartupResult startup = FindCatalog(commandLine.strCatalog, &AskForCatalog);
    if (!startup.fOk) {
        QMessageBox::critical(nullptr, QString::fromUtf8(LoadResourceString(IDS_PROGRAM_TITLE)),
                              QString::fromStdString(startup.strError));
        return kExitNoCatalog;
    }
    CMaintDialog dialog(startup.paths);
    dialog.exec();
    return kExitSuccess;
}
