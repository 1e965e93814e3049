#include "app/FirstStartFrm.h"
#include "app/MainFrm.h"
#include "app/PackChoice.h"
#include "app/Signals.h"
#include "apply/OtherWineQuestion.h"
#include "apply/PackPermissionsFrm.h"
#include "options/EarlyOptionScan.h"
#include "packupdate/PackSwap.h"
#include "packtools/PackCommand.h"
#include "files/Error.h"
#include "files/Paths.h"
#include "app/WindowFrame.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <unistd.h>

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Asks for a pack folder until one holding an Options folder is chosen; empty when the user
// cancels.
QString askForPack()
{
    for (;;) {
        const QString folder = QFileDialog::getExistingDirectory(
            nullptr, QStringLiteral("Choose the folder of an option pack"), QDir::homePath());
        if (folder.isEmpty())
            return {};
        if (packs::holdsOptionsFolder(folder))
            return folder;
        QMessageBox::warning(nullptr, QStringLiteral("Varimond"),
                             QStringLiteral("The folder %1 holds no Options folder.\n\nChoose the "
                                            "folder of an option pack: the folder that holds "
                                            "its Options folder.")
                                 .arg(QDir::toNativeSeparators(folder)));
    }
}

// The first start of an installed program: with a sample pack installed, a small window says
// what a pack is and offers a pack folder, the sample or leaving; without one, the folder
// dialog. Returns the pack to open, or empty to end.
QString firstStart(const QString &startedExecutable)
{
    const QString sample = packs::installedSamplePack(startedExecutable);
    if (sample.isEmpty())
        return askForPack();
    for (;;) {
        TFirstStartForm form(true);
        const int result = form.exec();
        if (result == TFirstStartForm::OpenPackResult) {
            const QString folder = askForPack();
            if (!folder.isEmpty())
                return folder;
            continue; // cancelled: back to the choice
        }
        if (result != TFirstStartForm::TrySampleResult)
            return {};
        const QString copy = packs::samplePackCopyPath();
        QString error;
        if (packs::copySamplePack(sample, copy, &error))
            return copy;
        QMessageBox::warning(nullptr, QStringLiteral("Varimond"), error);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Varimond"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.01"));

    // The command line is read before any window system is touched, so --help, --version and
    // a wrong --pack work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    // "varimond pack ...": the pack maker's tools, without a window. A check lays out RTF
    // ReadMes, which needs fonts, so it runs on the off-screen platform: no display is needed.
    if (packtools::IsPackCommand(arguments)) {
        // The toolkit's own notes (a missing runtime folder and the like) are no concern of
        // the pack maker's: only its critical messages are shown.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                print(stderr, text + QLatin1Char('\n'));
        });
        const QString tool = arguments.value(2);
        if (tool == QLatin1String("check") || tool == QLatin1String("publish")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            QGuiApplication app(argc, argv);
            return packtools::RunPackCommand(arguments);
        }
        QCoreApplication app(argc, argv);
        return packtools::RunPackCommand(arguments);
    }
    const packs::CommandLine command = packs::parseCommandLine(arguments);
    if (command.action == packs::CommandLine::Action::Exit) {
        print(stdout, command.output);
        print(stderr, command.error);
        return command.exitCode;
    }

    // Chromium refuses to run as root inside its sandbox.
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);

    const QString started =
        platform::startedExecutablePath(argc > 0 ? QString::fromLocal8Bit(argv[0]) : QString());
    QApplication app(argc, argv);
    // The application's name is its title, shown by the general error report. No display name
    // is set: the toolkit would append it to every window's caption.
    QApplication::setDesktopFileName(QStringLiteral("org.varimond.Varimond"));
    // Every window's title-bar buttons as its flags give them, also under window managers
    // that go by the frame hints alone.
    platform::InstallFrameHints(&app);
    // Before a Windows script runs in a prefix whose own Wine is gone, the player is asked.
    platform::setWineQuestionHandler(&AskOtherWine);
    // Before a pack's scripts run unconfined, or the program uses folders a pack links to
    // outside itself, the player is asked.
    platform::setUnconfinedQuestionHandler(&AskUnconfined);
    platform::setFolderQuestionHandler(&AskLinkedFolders);

    // The pack stands in for the program folder: its settings file, options and themes are
    // the ones used. A binary with an Options folder beside it is its own pack.
    QString executablePath = started;
    QString pack = command.packDir;
    const QString besideBinary = platform::programDirFrom(started);
    const bool ownPack = packs::holdsOptionsFolder(besideBinary) ||
                         QFileInfo(besideBinary + platform::programNameFrom(started) +
                                   QStringLiteral(".ini"))
                             .isFile();
    if (pack.isEmpty() && !ownPack) {
        pack = packs::lastUsedPack();
        if (pack.isEmpty())
            pack = firstStart(started);
        if (pack.isEmpty())
            return 0;
    }
    if (!pack.isEmpty()) {
        executablePath = pack + QLatin1Char('/') + QFileInfo(started).fileName();
        packs::rememberPack(pack);
    } else if (packs::holdsOptionsFolder(besideBinary)) {
        // A pack started from its own binary or link is a pack opened too: it belongs in the
        // recent list like one chosen by folder.
        packs::rememberPack(besideBinary);
    }

    // An update of the pack that a killed run left half done is finished or rolled back
    // before anything of the pack is read: the pack is then one version, whole.
    try {
        if (packupdate::RecoverSwap(platform::programDirFrom(executablePath)) ==
            packupdate::Recovery::RolledBack)
            QMessageBox::information(nullptr, QStringLiteral("Varimond"),
                                     QStringLiteral("An update of this pack was interrupted. "
                                                    "The previous version was put back."));
    } catch (const AppError &e) {
        QMessageBox::warning(nullptr, QStringLiteral("Varimond"),
                             QStringLiteral("An interrupted update of this pack could not be "
                                            "finished: %1")
                                 .arg(e.message()));
    }

    // The option folders are read from here on, on a thread of their own, while the windows
    // are made and the start-up's first steps run; the tree step takes that reading. The pack
    // is whole again by now, and the reading uses the paths the main window derives.
    TProgramSettings packPaths;
    DeriveProgramPaths(packPaths, executablePath);
    std::unique_ptr<EarlyOptionScan> earlyScan = EarlyOptionScan::Start(packPaths);

    // The windows, created once, hidden, in the program's fixed order.
    auto *mainForm = new TMainForm(executablePath, std::move(earlyScan));
    mainForm->CreateForms();

    InstallTerminationHandlers([mainForm] { mainForm->CloseForSignal(); });

    int result = 0;
    if (mainForm->FormShow()) {
        if (mainForm->CloseRequested()) {
            mainForm->close(); // saves the settings, as a close of the shown window would
        } else {
            mainForm->ShowMainWindow();
            result = QApplication::exec();
        }
    }
    delete mainForm;
    return result;
}
