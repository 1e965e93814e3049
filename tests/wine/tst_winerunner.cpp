// Each prefix's Windows scripts run by the prefix's own Wine: Lutris runners and Proton builds in
// real trees whose wine binaries are stand-ins that record how they were started, the question
// before another Wine may run in a prefix whose own is gone, and the terminal's title.

#include "common/TestFiles.h"
#include "common/Waits.h"
#include "files/Error.h"
#include "launch/ScriptLauncher.h"
#include "wine/WinePrefix.h"
#include "wine/WineRunner.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace testfiles;

namespace {

const QString Game = S("drive_c/users/player/AppData/Roaming/Electronic Arts/Dark Age of "
                       "Camelot/user.dat");
const QString ProtonGame = S("drive_c/users/steamuser/AppData/Roaming/Electronic Arts/Dark Age "
                             "of Camelot/user.dat");

platform::PinnedPrefix g_pinned;

constexpr int EnvCount = 8;
constexpr const char *EnvNames[EnvCount] = {
    "HOME",    "USER",      "WINEPREFIX",       "PATH",
    "DISPLAY", "WINEDEBUG", "WINEDLLOVERRIDES", "XDG_CONFIG_HOME"};

} // namespace

class TestWineRunner : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root;
    QByteArray m_savedEnv[EnvCount];
    QList<platform::WineQuestion> m_asked;

    QString at(const QString &rel) const { return m_root + QLatin1Char('/') + rel; }

    QString expand(QString text) const
    {
        text.replace(S("@P"), Game);
        text.replace(S("@S"), ProtonGame);
        text.replace(S("$T"), m_root);
        text.replace(S("\\n"), S("\n"));
        return text;
    }

    // A stand-in for a program: appends "its path|arguments|WINEPREFIX|folder|WINEDEBUG|
    // WINEDLLOVERRIDES" to the log.
    void recorder(const QString &rel, const QByteArray &tail = {}) const
    {
        const QString path = at(rel);
        QVERIFY(writeAll(path, "#!/bin/sh\nprintf '%s|%s|%s|%s|%s|%s\\n' \"$0\" \"$*\" "
                               "\"${WINEPREFIX-unset}\" \"$(pwd -P)\" \"${WINEDEBUG-unset}\" "
                               "\"${WINEDLLOVERRIDES-unset}\" >> '" +
                                   at(S("log")).toUtf8() + "'\n" + tail));
        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    // Entries, fields separated by '|': "dat|path" a user.dat; "text|path|content";
    // "wine|path" a recording wine stand-in.
    void build(const QString &layout)
    {
        const QDateTime now = QDateTime::currentDateTime();
        for (const QString &entry : layout.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QStringList f = expand(entry).split(QLatin1Char('|'));
            if (f[0] == S("dat"))
                QVERIFY(writeAll(at(f[1]), "[interface]\r\nitem1=4\r\n"));
            else if (f[0] == S("text"))
                QVERIFY(writeAll(at(f[1]), f.value(2).toUtf8()));
            else if (f[0] == S("wine"))
                recorder(f[1]);
            else
                QFAIL(qPrintable(S("unknown entry ") + entry));
        }
    }

    QStringList logLines() const
    {
        QStringList lines = QString::fromUtf8(readAll(at(S("log")))).split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }

    QString answersFile() const { return at(S("config/varimond/wine-prefixes")); }

    // Starts the option's RunMe.bat hidden, the way a tick does after its check.
    bool startBat()
    {
        return platform::shellOpen(at(S("opt/RunMe.bat")), {S("-h")}, at(S("opt")),
                                   platform::ShowCommand::Hidden);
    }

    void answer(bool yes)
    {
        platform::setWineQuestionHandler([this, yes](const platform::WineQuestion &question) {
            m_asked.append(question);
            return yes;
        });
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = QDir(m_dir->path()).canonicalPath();
        for (int i = 0; i < EnvCount; ++i)
            m_savedEnv[i] = qgetenv(EnvNames[i]);
        qputenv("HOME", QFile::encodeName(at(S("home"))));
        qputenv("USER", "player");
        qputenv("PATH", QFile::encodeName(at(S("bin"))) + ":/usr/bin:/bin");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(at(S("config"))));
        testfiles::startScriptsUnconfined(m_root);
        for (const char *name : {"WINEPREFIX", "DISPLAY", "WINEDEBUG", "WINEDLLOVERRIDES"})
            qunsetenv(name);
        QVERIFY(QDir().mkpath(at(S("home"))));
        QVERIFY(writeAll(at(S("opt/RunMe.bat")), "@echo off\r\n"));
        recorder(S("bin/wine")); // the system wine
        g_pinned = {};
        platform::setPinnedPrefixSource([] { return g_pinned; });
        m_asked.clear();
        platform::setWineQuestionHandler({});
    }

    void cleanup()
    {
        for (int i = 0; i < EnvCount; ++i) {
            if (m_savedEnv[i].isNull())
                qunsetenv(EnvNames[i]);
            else
                qputenv(EnvNames[i], m_savedEnv[i]);
        }
        platform::setPinnedPrefixSource(nullptr);
        platform::setWineQuestionHandler({});
        m_dir.reset();
    }

    void ownWine_data()
    {
        // layout: build() entries; pinned: [Wine] WineBinary; expected: "wine path|label|
        // prefix" below the temporary root, the wine empty when the prefix's own is missing
        // (then nothing starts without the player's yes).
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, const char *layout, const char *pinned,
                      const char *expected) {
            QTest::newRow(name) << S(layout) << S(pinned) << S(expected);
        };
        const char *lutrisGame = "dat|home/Games/daoc/@P;";
        const char *runners = "wine|home/.local/share/lutris/runners/wine/wine-ge-8-26/bin/wine;"
                              "wine|home/.local/share/lutris/runners/wine/lutris-7.2/bin/wine;"
                              "text|home/.config/lutris/runners/wine.yml|wine:\\n  version: "
                              "lutris-7.2\\n;";
        const QByteArray lutrisYml = "text|home/.config/lutris/games/daoc-1.yml|game:\\n  exe: "
                                     "x.exe\\n  prefix: $T/home/Games/daoc\\n";
        QTest::newRow("Lutris game with its runner version")
            << S(lutrisGame) + S(runners) + S(lutrisYml) +
                   S("name: DAoC\\nwine:\\n  version: wine-ge-8-26\\n")
            << QString()
            << S("home/.local/share/lutris/runners/wine/wine-ge-8-26/bin/wine|Lutris runner "
                 "wine-ge-8-26|home/Games/daoc");
        QTest::newRow("Lutris game with the default runner")
            << S(lutrisGame) + S(runners) + S(lutrisYml) + S("system:\\n  version: x\\n")
            << QString()
            << S("home/.local/share/lutris/runners/wine/lutris-7.2/bin/wine|Lutris runner "
                 "lutris-7.2|home/Games/daoc");
        QTest::newRow("Lutris game on the system wine")
            << S(lutrisGame) + S(runners) + S(lutrisYml) + S("wine:\\n  version: 'system'\\n")
            << QString() << S("bin/wine|system wine|home/Games/daoc");
        QTest::newRow("Lutris runner removed")
            << S(lutrisGame) + S(runners) + S(lutrisYml) + S("wine:\\n  version: wine-7.0\\n")
            << QString() << S("|Lutris runner wine-7.0|home/Games/daoc");
        QTest::newRow("Lutris runner named outside the runners")
            << S(lutrisGame) + S(runners) + S(lutrisYml) + S("wine:\\n  version: ../../../../..\\n")
            << QString() << S("|Lutris runner ../../../../..|home/Games/daoc");
        row("Flatpak Lutris and its runner",
            "dat|else/daoc/@P;"
            "text|home/.var/app/net.lutris.Lutris/config/lutris/games/d.yml|game:\\n  prefix: "
            "$T/else/daoc\\nwine:\\n  version: lutris-8\\n;"
            "wine|home/.var/app/net.lutris.Lutris/data/lutris/runners/wine/lutris-8/bin/wine",
            "",
            "home/.var/app/net.lutris.Lutris/data/lutris/runners/wine/lutris-8/bin/wine|Lutris "
            "runner lutris-8|else/daoc");
        const char *compat = "home/.local/share/Steam/steamapps/compatdata/2510";
        QTest::newRow("Proton prefix and the build its config_info names")
            << S("dat|%1/pfx/@S;text|%1/config_info|8.0-5\\n$T/home/.local/share/Steam/steamapps/"
                 "common/Proton 8.0/files/share/fonts/\\n$T/home/.local/share/Steam/steamapps/"
                 "common/Proton 8.0/files/lib/wine/\\n;"
                 "wine|home/.local/share/Steam/steamapps/common/Proton 8.0/files/bin/wine;"
                 "wine|home/.local/share/Steam/steamapps/common/Proton 7.0/files/bin/wine")
                   .arg(S(compat))
            << QString()
            << S("home/.local/share/Steam/steamapps/common/Proton 8.0/files/bin/wine|Proton "
                 "8.0-5|%1/pfx")
                   .arg(S(compat));
        QTest::newRow("Proton prefix of an older build")
            << S("dat|%1/pfx/@S;text|%1/config_info|5.0-10\\n$T/files/Steam/steamapps/common/"
                 "Proton 5.0/dist/share/fonts/\\n;"
                 "wine|files/Steam/steamapps/common/Proton 5.0/dist/bin/wine")
                   .arg(S(compat))
            << QString()
            << S("files/Steam/steamapps/common/Proton 5.0/dist/bin/wine|Proton 5.0-10|%1/pfx")
                   .arg(S(compat));
        QTest::newRow("Proton build under compatibilitytools.d")
            << S("dat|%1/pfx/@S;text|%1/config_info|GE-Proton8-26\\n$T/home/.steam/root/"
                 "compatibilitytools.d/GE-Proton8-26/files/share/fonts/\\n;"
                 "wine|home/.steam/root/compatibilitytools.d/GE-Proton8-26/files/bin/wine")
                   .arg(S(compat))
            << QString()
            << S("home/.steam/root/compatibilitytools.d/GE-Proton8-26/files/bin/wine|"
                 "GE-Proton8-26|%1/pfx")
                   .arg(S(compat));
        QTest::newRow("Proton build removed")
            << S("dat|%1/pfx/@S;text|%1/config_info|8.0-5\\n$T/home/.local/share/Steam/"
                 "steamapps/common/Proton 8.0/files/share/fonts/\\n;"
                 "wine|home/.local/share/Steam/steamapps/common/Proton 7.0/files/bin/wine")
                   .arg(S(compat))
            << QString() << S("|Proton 8.0-5|%1/pfx").arg(S(compat));
        row("plain ~/.wine", "dat|home/.wine/@P", "", "bin/wine|system wine|home/.wine");
        QTest::newRow("WineBinary pinned, in a Lutris prefix")
            << S(lutrisGame) + S(runners) + S(lutrisYml) + S("wine:\\n  version: wine-ge-8-26\\n") +
                   S(";wine|mine/wine")
            << S("$T/mine/wine") << S("mine/wine|pinned by [Wine] WineBinary|home/Games/daoc");
    }

    void ownWine()
    {
        QFETCH(QString, layout);
        QFETCH(QString, pinned);
        QFETCH(QString, expected);
        build(layout);
        g_pinned.wineBinary = expand(pinned);
        const QStringList want = expected.split(QLatin1Char('|'));

        const platform::WineInForce inForce = platform::wineInForce();
        QCOMPARE(inForce.prefix.prefix, at(want[2]));
        QCOMPARE(inForce.wine.label, want[1]);
        QCOMPARE(inForce.wine.binary, want[0].isEmpty() ? QString() : at(want[0]));
        QCOMPARE(inForce.wine.missing, want[0].isEmpty());

        // The script starts with that Wine, in that prefix, quietly; with the prefix's own Wine
        // gone and no yes from the player nothing starts at all.
        if (want[0].isEmpty()) {
            QVERIFY(!startBat());
            recorder(S("marker"));
            QVERIFY(platform::shellOpen(at(S("marker")), {}, at(S("opt")),
                                        platform::ShowCommand::Hidden));
            QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
            QVERIFY(logLines().front().startsWith(at(S("marker|"))));
            return;
        }
        QVERIFY(startBat());
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
        QCOMPARE(logLines().front(), at(want[0]) + S("|cmd /c RunMe.bat -h|") + at(want[2]) +
                                         QLatin1Char('|') + at(S("opt")) +
                                         S("|-all|winemenubuilder.exe=d"));
    }

    void question_data()
    {
        QTest::addColumn<int>("handler"); // 0 none registered, 1 Cancel, 2 Yes
        QTest::addColumn<bool>("systemWine");
        QTest::addColumn<QString>("outcome"); // the message thrown, "cancel", or "" for go
        QTest::newRow("Cancel") << 1 << true << S("cancel");
        QTest::newRow("nobody to ask counts as Cancel") << 0 << true << S("cancel");
        QTest::newRow("Yes") << 2 << true << QString();
        QTest::newRow("no wine at all: nothing to ask")
            << 2 << false << platform::wineMissingMessage();
    }

    void question()
    {
        QFETCH(int, handler);
        QFETCH(bool, systemWine);
        QFETCH(QString, outcome);
        const QString compat = S("home/.local/share/Steam/steamapps/compatdata/2510");
        build(S("dat|%1/pfx/@S;text|%1/config_info|8.0-5\\n$T/gone/Proton 8.0/files/share/"
                "fonts/\\n")
                  .arg(compat));
        if (!systemWine) {
            QVERIFY(QFile::remove(at(S("bin/wine"))));
            qputenv("PATH", QFile::encodeName(at(S("bin"))));
        }
        if (handler > 0)
            answer(handler == 2);
        const QString prefix = at(compat + S("/pfx"));

        QString result = S("go");
        try {
            platform::requireWineFor({at(S("opt/RunMe.sh")), at(S("opt/RunMe.bat"))});
            result.clear();
        } catch (const UserCancelled &) {
            result = S("cancel");
        } catch (const AppError &e) {
            result = e.message();
        }
        QCOMPARE(result, outcome);

        if (!systemWine || handler == 0) {
            QVERIFY(m_asked.isEmpty());
        } else {
            QCOMPARE(m_asked.size(), 1);
            QCOMPARE(m_asked.front().prefix, prefix);
            QCOMPARE(m_asked.front().ownWine, S("Proton 8.0-5"));
            QCOMPARE(m_asked.front().otherWine, at(S("bin/wine")));
            const QString text = m_asked.front().text();
            QVERIFY(text.contains(prefix));
            QVERIFY(text.contains(S("Proton 8.0-5")));
            QVERIFY(text.contains(S("upgrade")));
        }
        if (!outcome.isEmpty()) {
            // Nothing remembered, nothing started.
            QVERIFY(!QFile::exists(answersFile()));
            QVERIFY(!startBat());
            return;
        }

        // The yes is the player's and stays in the player's configuration folder: the next
        // check asks nothing, and the script runs with the system wine in the Proton prefix.
        QCOMPARE(readAll(answersFile()), prefix.toUtf8() + '\n');
        platform::requireWineFor({at(S("opt/RunMe.bat"))});
        QCOMPARE(m_asked.size(), 1);
        QVERIFY(platform::OtherWineAnswers().allowed(prefix));
        QVERIFY(!platform::OtherWineAnswers().allowed(at(S("home/.wine"))));
        QVERIFY(startBat());
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
        QCOMPARE(logLines().front(), at(S("bin/wine|cmd /c RunMe.bat -h|")) + prefix +
                                         QLatin1Char('|') + at(S("opt")) +
                                         S("|-all|winemenubuilder.exe=d"));
        const platform::WineInForce inForce = platform::wineInForce();
        QCOMPARE(platform::describeWine(inForce, platform::OtherWineAnswers()).text(),
                 S("Wine: ") + at(S("bin/wine")) +
                     S(" (system wine, allowed in place of the missing Proton 8.0-5)"));
    }

    void answersSurviveBadFiles()
    {
        // A damaged or unwritable answers file never lets another Wine run unasked.
        QVERIFY(writeAll(answersFile(), QByteArray(3 << 20, 'x')));
        platform::OtherWineAnswers answers;
        QVERIFY(!answers.allowed(at(S("pfx"))));
        QVERIFY(!answers.allowed(QString()));
        QVERIFY(QFile::remove(answersFile()));
        QVERIFY(
            QFile::setPermissions(at(S("config/varimond")), QFile::ReadOwner | QFile::ExeOwner));
        bool refused = false;
        try {
            answers.allow(at(S("pfx")));
        } catch (const AppError &e) {
            refused = e.message() == S("Unable to write to ") + answersFile();
        }
        QFile::setPermissions(at(S("config/varimond")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (::geteuid() != 0)
            QVERIFY(refused);
    }

    void pinnedWineMissing()
    {
        build(S("dat|home/.wine/@P"));
        g_pinned.wineBinary = S("~/no/such/wine");
        answer(true);
        QString message;
        try {
            platform::requireWineFor({at(S("opt/RunMe.bat"))});
        } catch (const AppError &e) {
            message = e.message();
        }
        QCOMPARE(message, platform::pinnedWineMissingMessage(at(S("home/no/such/wine"))));
        QVERIFY(m_asked.isEmpty());
        QVERIFY(!startBat());
    }

    void environmentKeepsThePlayersChoices_data()
    {
        QTest::addColumn<QString>("debug");     // WINEDEBUG; "-" unset
        QTest::addColumn<QString>("overrides"); // WINEDLLOVERRIDES; "-" unset
        QTest::addColumn<QString>("expected");  // the two as the script sees them
        QTest::newRow("neither set") << S("-") << S("-") << S("-all|winemenubuilder.exe=d");
        QTest::newRow("the player's own")
            << S("+relay") << S("mscoree=") << S("+relay|mscoree=;winemenubuilder.exe=d");
        QTest::newRow("set empty") << QString() << S("-") << S("|winemenubuilder.exe=d");
    }

    void environmentKeepsThePlayersChoices()
    {
        QFETCH(QString, debug);
        QFETCH(QString, overrides);
        QFETCH(QString, expected);
        build(S("dat|home/.wine/@P"));
        if (debug != S("-"))
            qputenv("WINEDEBUG", debug.toUtf8());
        if (overrides != S("-"))
            qputenv("WINEDLLOVERRIDES", overrides.toUtf8());
        QVERIFY(startBat());
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
        QVERIFY2(logLines().front().endsWith(QLatin1Char('|') + expected),
                 qPrintable(logLines().front()));
    }

    void terminalTitle_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("expected"); // the terminal's arguments
        QTest::newRow(".sh") << S("opt/Install Fonts.sh")
                             << S("-T Install Fonts.sh -e /bin/sh $T/opt/Install Fonts.sh");
        QTest::newRow(".bat")
            << S("opt/RunMe.bat")
            << S("-T RunMe.bat -e env WINEPREFIX=$T/home/.wine WINEDEBUG=-all "
                 "WINEDLLOVERRIDES=winemenubuilder.exe=d $T/bin/wine cmd /c RunMe.bat");
    }

    void terminalTitle()
    {
        QFETCH(QString, file);
        QFETCH(QString, expected);
        build(S("dat|home/.wine/@P"));
        QVERIFY(writeAll(at(file), "true\n"));
        recorder(S("bin/x-terminal-emulator"));
        qputenv("DISPLAY", ":0"); // a terminal opens only where there is a display
        QVERIFY(platform::shellOpen(at(file), {}, at(S("opt")), platform::ShowCommand::Normal));
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
        const QStringList fields = logLines().front().split(QLatin1Char('|'));
        QCOMPARE(fields[0], at(S("bin/x-terminal-emulator")));
        QCOMPARE(fields[1], expand(expected));
    }
};

QTEST_GUILESS_MAIN(TestWineRunner)
#include "tst_winerunner.moc"
