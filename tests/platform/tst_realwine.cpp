// A real RunMe.bat run by Debian's Wine in a fresh prefix, started the way a tick starts it.
// Skipped where Wine is not installed; ./test.sh installs it.

#include "common/TestFiles.h"
#include "platform/ScriptLauncher.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace testfiles;

class TestRealWine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void batRunsInThePrefixInForce()
    {
        if (!platform::wineAvailable())
            QSKIP("wine is not installed");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString root = QDir(dir.path()).canonicalPath();
        const QString prefix = root + S("/prefix");
        const QString option = root + S("/Options/Pack/Option");

        // A first run in a fresh prefix sets it up without asking anything and without a
        // display: no Mono or Gecko installers, no messages.
        qputenv("WINEPREFIX", QFile::encodeName(prefix));
        qputenv("HOME", QFile::encodeName(root));
        qputenv("WINEDEBUG", "-all");
        qputenv("WINEDLLOVERRIDES", "mscoree,mshtml=");
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");

        QVERIFY(writeAll(option + S("/RunMe.bat"), "@echo off\r\n"
                                                   "echo %CD%> C:\\folder.txt\r\n"
                                                   "echo installed %1> C:\\installed.txt\r\n"));
        QVERIFY(platform::shellOpen(option + S("/runme.BAT"), {S("-h")}, option,
                                    platform::ShowCommand::Hidden));

        const QString installed = prefix + S("/drive_c/installed.txt");
        QTRY_VERIFY_WITH_TIMEOUT(readAll(installed).endsWith('\n'), 180000);
        QCOMPARE(readAll(installed), QByteArray("installed -h\r\n"));
        QString windowsFolder = S("Z:") + option;
        windowsFolder.replace(QLatin1Char('/'), QLatin1Char('\\'));
        QCOMPARE(readAll(prefix + S("/drive_c/folder.txt")), windowsFolder.toUtf8() + "\r\n");

        // The prefix's server goes before the prefix is removed.
        const QString server = QStandardPaths::findExecutable(S("wineserver"));
        if (!server.isEmpty()) {
            QProcess::execute(server, {S("-k")});
            QProcess::execute(server, {S("-w")});
        }
    }
};

QTEST_GUILESS_MAIN(TestRealWine)
#include "tst_realwine.moc"
