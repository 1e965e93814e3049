#include "app/MainFrm.h"
#include "app/Signals.h"
#include "platform/Paths.h"

#include <QApplication>

#include <unistd.h>

int main(int argc, char *argv[])
{
    // Chromium refuses to run as root inside its sandbox.
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);

    const QString started = argc > 0 ? QString::fromLocal8Bit(argv[0]) : QString();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varimond"));
    QApplication::setApplicationDisplayName(QStringLiteral("Varimond"));

    // The windows, created once, hidden, in the program's fixed order.
    auto *mainForm = new TMainForm(platform::startedExecutablePath(started));
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
