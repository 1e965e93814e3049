// A real RunMe.bat run by Debian's Wine in a fresh prefix, started the way a tick starts it.
// Skipped where Wine is not installed; ./test.sh installs it.

#include "common/TestFiles.h"
#include "common/Waits.h"
#include "launch/ScriptLauncher.h"
#include "wine/WineRunner.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

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

    // Two Lutris games, each with its own runner: two stand-ins that record their path and run
    // Debian's Wine. Each prefix is made by its runner and later run by that runner again.
    void eachPrefixRunsWithItsOwnWine()
    {
        const QString realWine = platform::systemWine();
        if (realWine.isEmpty())
            QSKIP("wine is not installed");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString root = QDir(dir.path()).canonicalPath();
        const QString home = root + S("/home");
        const QString option = root + S("/Options/Pack/Option");
        const QString used = option + S("/used"); // where the scripts' sandbox lets them write
        const QString runners = home + S("/.local/share/lutris/runners/wine/");

        qunsetenv("WINEPREFIX");
        qputenv("HOME", QFile::encodeName(home));
        if (const passwd *pw = getpwuid(geteuid()))
            qputenv("USER", pw->pw_name); // the profile name Wine gives the prefix
        qputenv("WINEDEBUG", "-all");
        qputenv("WINEDLLOVERRIDES", "mscoree,mshtml=");
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        const QString user = qEnvironmentVariable("USER");

        for (const char *runner : {"runner-a", "runner-b"}) {
            const QString path = runners + QString::fromLatin1(runner) + S("/bin/wine");
            QVERIFY(writeAll(path, "#!/bin/sh\necho \"$0\" >> '" + QFile::encodeName(used) +
                                       "'\nexec '" + QFile::encodeName(realWine) + "' \"$@\"\n"));
            QVERIFY(QFile::setPermissions(path,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        // Game a names its runner; game b takes Lutris's default.
        QVERIFY(writeAll(home + S("/.config/lutris/games/a.yml"),
                         "game:\n  prefix: " + QFile::encodeName(home) +
                             "/Games/a\nwine:\n  version: runner-a\n"));
        QVERIFY(writeAll(home + S("/.config/lutris/games/b.yml"),
                         "game:\n  prefix: " + QFile::encodeName(home) + "/Games/b\n"));
        QVERIFY(
            writeAll(home + S("/.config/lutris/runners/wine.yml"), "wine:\n  version: runner-b\n"));
        QVERIFY(writeAll(option + S("/RunMe.bat"), "@echo off\r\n"
                                                   "echo installed %1> C:\\installed.txt\r\n"));

        const QString server = QStandardPaths::findExecutable(S("wineserver"));
        QStringList runs;
        for (const char *game : {"a", "b", "a"}) {
            const QString prefix = home + S("/Games/") + QString::fromLatin1(game);
            // The newest user.dat makes the prefix the one in force.
            const QString userDat = prefix + S("/drive_c/users/") + user +
                                    S("/AppData/Roaming/Electronic Arts/Dark Age of "
                                      "Camelot/user.dat");
            QVERIFY(writeAll(userDat, "[interface]\r\nitem1=4\r\n"));
            QFile touch(userDat);
            QVERIFY(touch.open(QIODevice::ReadWrite));
            QVERIFY(touch.setFileTime(QDateTime::currentDateTime().addSecs(runs.size()),
                                      QFileDevice::FileModificationTime));
            touch.close();
            QFile::remove(prefix + S("/drive_c/installed.txt"));

            QVERIFY(platform::shellOpen(option + S("/RunMe.bat"), {S("-h")}, option,
                                        platform::ShowCommand::Hidden));
            const QString installed = prefix + S("/drive_c/installed.txt");
            QTRY_VERIFY_WITH_TIMEOUT(readAll(installed).endsWith('\n'), 240000);
            QCOMPARE(readAll(installed), QByteArray("installed -h\r\n"));
            runs << runners +
                        (QLatin1String(game) == QLatin1String("a") ? S("runner-a")
                                                                   : S("runner-b")) +
                        S("/bin/wine");
            QTRY_COMPARE_WITH_TIMEOUT(
                QString::fromUtf8(readAll(used)).split(QLatin1Char('\n'), Qt::SkipEmptyParts), runs,
                HangMs);
        }

        if (!server.isEmpty()) {
            for (const char *game : {"a", "b"}) {
                qputenv("WINEPREFIX",
                        QFile::encodeName(home + S("/Games/") + QString::fromLatin1(game)));
                QProcess::execute(server, {S("-k")});
                QProcess::execute(server, {S("-w")});
            }
            qunsetenv("WINEPREFIX");
        }
    }
};

QTEST_GUILESS_MAIN(TestRealWine)
#include "tst_realwine.moc"
