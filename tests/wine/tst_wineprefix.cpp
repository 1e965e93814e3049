// The game's Wine prefix: the search over real prefix trees (plain Wine, Lutris, Steam's Proton),
// the order of pinned, $WINEPREFIX and found prefixes, and Windows scripts started through a
// fake "wine" that records how it was called.

#include "common/TestFiles.h"
#include "common/Waits.h"
#include "launch/ScriptLauncher.h"
#include "wine/WinePrefix.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

using namespace testfiles;
using platform::PrefixSource;

namespace {

// The game's file below a Windows profile, in today's layout.
const QString Game = S("AppData/Roaming/Electronic Arts/Dark Age of Camelot/user.dat");

platform::PinnedPrefix g_pinned;

} // namespace

class TestWinePrefix : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root;
    QStringList m_locked;
    static constexpr int EnvCount = 7;
    QByteArray m_savedEnv[EnvCount];
    static constexpr const char *EnvNames[EnvCount] = {
        "HOME", "USER", "WINEPREFIX", "PATH", "DISPLAY", "WINEDEBUG", "WINEDLLOVERRIDES"};

    QString at(const QString &rel) const
    {
        return rel.isEmpty() ? QString() : QDir::cleanPath(m_root + QLatin1Char('/') + rel);
    }

    QString expand(QString text) const
    {
        text.replace(S("@P"), S("drive_c/users/player/") + Game);
        text.replace(S("@S"), S("drive_c/users/steamuser/") + Game);
        text.replace(S("@F"), QFileInfo(Game).path());
        text.replace(S("%G"), Game);
        text.replace(S("$T"), m_root);
        text.replace(S("\\n"), S("\n"));
        text.replace(S("\\t"), S("\t"));
        return text;
    }

    // Builds a tree below the temporary root. Entries, fields separated by '|':
    //   dat|path|age     a user.dat changed age seconds ago
    //   text|path|content
    //   dir|path
    //   link|path|target  a symbolic link
    //   lock|path         a folder nobody may read
    //   big|path|size|tail  size bytes of filler, then tail
    void build(const QStringList &layout)
    {
        const QDateTime now = QDateTime::currentDateTime();
        for (const QString &entry : layout) {
            const QStringList f = expand(entry).split(QLatin1Char('|'));
            const QString path = at(f.value(1));
            const QString kind = f.value(0);
            if (kind == S("dat")) {
                QVERIFY(writeAll(path, "[interface]\r\nitem1=4\r\n"));
                QFile file(path);
                QVERIFY(file.open(QIODevice::ReadWrite));
                QVERIFY(file.setFileTime(now.addSecs(-f.value(2).toInt()),
                                         QFileDevice::FileModificationTime));
            } else if (kind == S("text")) {
                QVERIFY(writeAll(path, f.value(2).toUtf8()));
            } else if (kind == S("dir")) {
                QVERIFY(QDir().mkpath(path));
            } else if (kind == S("link")) {
                QDir().mkpath(QFileInfo(path).absolutePath());
                QVERIFY(QFile::link(f.value(2), path));
            } else if (kind == S("big")) {
                QVERIFY(writeAll(path,
                                 QByteArray(f.value(2).toInt(), '#') + "\n" + f.value(3).toUtf8()));
            } else if (kind == S("lock")) {
                QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
                m_locked << path;
            } else {
                QFAIL(qPrintable(S("unknown entry ") + entry));
            }
        }
    }

    platform::PrefixSearch search(const QString &pinned = {}, const QString &base = {},
                                  const QString &winePrefix = {}) const
    {
        platform::PrefixSearch s;
        s.pinned = expand(pinned);
        s.baseDir = at(base);
        s.winePrefix = expand(winePrefix);
        s.home = at(S("home"));
        s.userName = S("player");
        return s;
    }

    // A program on the test PATH that appends "name|arguments|folder|WINEPREFIX|KEEP" to log.
    void fake(const QString &name, const QByteArray &tail = {}) const
    {
        const QString path = at(S("bin/") + name);
        QVERIFY(writeAll(path, "#!/bin/sh\nprintf '%s|%s|%s|%s|%s\\n' \"$(basename \"$0\")\" "
                               "\"$*\" \"$(pwd -P)\" \"${WINEPREFIX-unset}\" \"$VARIMOND_KEEP\" "
                               ">> '" +
                                   at(S("log")).toUtf8() + "'\n" + tail));
        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    QStringList logLines() const
    {
        QStringList lines = QString::fromUtf8(readAll(at(S("log")))).split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = QDir(m_dir->path()).canonicalPath();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(at(S("config"))));
        testfiles::startScriptsUnconfined(m_root);
        QVERIFY(QDir().mkpath(at(S("home"))));
        for (int i = 0; i < EnvCount; ++i)
            m_savedEnv[i] = qgetenv(EnvNames[i]);
        g_pinned = {};
        platform::setPinnedPrefixSource([] { return g_pinned; });
    }

    void cleanup()
    {
        for (const QString &path : std::as_const(m_locked))
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_locked.clear();
        for (int i = 0; i < EnvCount; ++i) {
            if (m_savedEnv[i].isNull())
                qunsetenv(EnvNames[i]);
            else
                qputenv(EnvNames[i], m_savedEnv[i]);
        }
        qunsetenv("VARIMOND_KEEP");
        platform::setPinnedPrefixSource(nullptr);
        m_dir.reset();
    }

    void prefixInForce_data()
    {
        // layout: entries for build(), ';' between them; settings: "pinned|program folder|
        // WINEPREFIX"; expected: "source|prefix|user.dat|game folder", the last two empty when
        // there is none; paths below the temporary root. @P and @S stand for the game's file
        // in the profile of "player" and of Proton's "steamuser", @F for the game's folder.
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, const char *layout, const char *settings,
                      const char *expected) {
            QTest::newRow(name) << S(layout) << S(settings) << S(expected);
        };
        const char *vdf = "text|home/.local/share/Steam/steamapps/libraryfolders.vdf|"
                          "\"libraryfolders\"\\n{\\n\\t\"0\"\\n\\t{\\n\\t\\t\"path\"\\t\\t"
                          "\"$T/home/.local/share/Steam\"\\n\\t}\\n\\t\"1\"\\n\\t{\\n\\t\\t"
                          "\"path\"\\t\\t\"$T/lib\"\\n\\t\\t\"label\"\\t\\t\"\"\\n\\t}\\n}\\n";
        row("nothing anywhere", "dir|home/.wine/drive_c/users", "", "None|||");
        row("plain ~/.wine", "dat|home/.wine/@P|10", "", "Found|home/.wine|home/.wine/@P|");
        row("old prefix: Application Data",
            "dat|home/.wine/drive_c/users/player/Application Data/Electronic Arts/Dark Age of "
            "Camelot/user.dat|10",
            "",
            "Found|home/.wine|home/.wine/drive_c/users/player/Application Data/Electronic "
            "Arts/Dark Age of Camelot/user.dat|");
        row("names in another case",
            "dat|home/.wine/drive_c/Users/Player/appdata/ROAMING/electronic arts/dark age of "
            "camelot/User.dat|10",
            "",
            "Found|home/.wine|home/.wine/drive_c/Users/Player/appdata/ROAMING/electronic "
            "arts/dark age of camelot/User.dat|");
        row("another user's profile is not the game's",
            "dat|home/.wine/drive_c/users/someone/%G|10", "", "None|||");
        row("Lutris: a folder of ~/Games", "dat|home/Games/dark-age/@P|10", "",
            "Found|home/Games/dark-age|home/Games/dark-age/@P|");
        row("Lutris: prefix named in a game's yml",
            "text|home/.config/lutris/games/daoc.yml|game:\\n  exe: x.exe\\n  prefix: "
            "\"$T/else/daoc\"  \\nwine:\\n  version: lutris-7\\n;dat|else/daoc/@P|10",
            "", "Found|else/daoc|else/daoc/@P|");
        row("Lutris: a yml's first usable prefix only",
            "text|home/.config/lutris/games/x.yml|prefix: relative\\nprefix: $T/first\\n"
            "prefix: $T/second\\n;dat|first/@P|50;dat|second/@P|1",
            "", "Found|first|first/@P|");
        QTest::newRow("Steam: Proton prefix in a library folder")
            << S(vdf) + S(";dir|home/.local/share/Steam/steamapps/compatdata/7/pfx;"
                          "dat|lib/steamapps/compatdata/2510/pfx/@S|10")
            << QString()
            << S("Found|lib/steamapps/compatdata/2510/pfx|lib/steamapps/compatdata/2510/pfx/@S|");
        row("Steam: older libraryfolders.vdf",
            "text|home/.steam/steam/steamapps/libraryfolders.vdf|\"LibraryFolders\"\\n{\\n\\t"
            "\"TimeNextStatsReport\"\\t\"1\"\\n\\t\"1\"\\t\\t\"$T/lib\"\\n}\\n;"
            "dat|lib/steamapps/compatdata/2510/pfx/@S|10",
            "", "Found|lib/steamapps/compatdata/2510/pfx|lib/steamapps/compatdata/2510/pfx/@S|");
        row("Flatpak Lutris: prefix named in a game's yml",
            "text|home/.var/app/net.lutris.Lutris/data/lutris/games/daoc.yml|prefix: "
            "$T/else/daoc\\n;dat|else/daoc/@P|10",
            "", "Found|else/daoc|else/daoc/@P|");
        row("Flatpak Steam: Proton prefix in its own folder",
            "dat|home/.var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/compatdata/"
            "2510/pfx/@S|10",
            "",
            "Found|home/.var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/compatdata/"
            "2510/pfx|home/.var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/"
            "compatdata/2510/pfx/@S|");
        row("two prefixes: the newer user.dat wins",
            "dat|home/.wine/@P|500;dat|home/Games/daoc/@P|20", "",
            "Found|home/Games/daoc|home/Games/daoc/@P|");
        row("two prefixes: the newer is found first",
            "dat|home/.wine/@P|20;dat|home/Games/daoc/@P|500", "",
            "Found|home/.wine|home/.wine/@P|");
        row("two prefixes of the same age: the first in search order",
            "dat|home/Games/daoc/@P|60;dat|home/.wine/@P|60", "",
            "Found|home/.wine|home/.wine/@P|");
        row("WINEPREFIX before a newer found one", "dat|env/@P|900;dat|home/.wine/@P|1",
            "||$T/env/", "Environment|env|env/@P|");
        row("WINEPREFIX without the game, Proton's profile",
            "dir|env/drive_c/users/steamuser;dat|home/.wine/@P|1", "||$T/env",
            "Environment|env||env/drive_c/users/steamuser/@F");
        row("pinned before WINEPREFIX", "dat|pin/@P|900;dat|env/@P|1", "$T/pin||$T/env",
            "Pinned|pin|pin/@P|");
        row("pinned relative to the program folder", "dat|pack/prefix/@P|9", "prefix|pack|",
            "Pinned|pack/prefix|pack/prefix/@P|");
        row("pinned below the home folder, not there yet", "dat|home/.wine/@P|1", "  ~/daoc/  ||",
            "Pinned|home/daoc||home/daoc/drive_c/users/player/@F");
        row("old pinned prefix without the game keeps Application Data",
            "dir|pin/drive_c/users/player/Application Data", "$T/pin||",
            "Pinned|pin||pin/drive_c/users/player/Application Data/Electronic Arts/Dark Age of "
            "Camelot");
        row("symbolic link loops among the prefixes",
            "link|home/Games/self|self;link|home/Games/a|b;link|home/Games/b|a;"
            "link|home/Games/x/drive_c|drive_c;"
            "link|home/.local/share/Steam/steamapps/compatdata/1/pfx|pfx;dat|home/.wine/@P|10",
            "", "Found|home/.wine|home/.wine/@P|");
        row("a prefix nobody may read",
            "dat|home/Games/locked/@P|900;lock|home/Games/locked;dat|home/.wine/@P|10", "",
            "Found|home/.wine|home/.wine/@P|");
        row("lists too large for Lutris or Steam are read only in part",
            "big|home/.config/lutris/games/big.yml|3000000|prefix: $T/late;dat|late/@P|1", "",
            "None|||");
        row("garbled lists",
            "text|home/.config/lutris/games/a.yml|prefix:\\nprefix: relative\\nprefix: '\\n;"
            "text|home/.steam/steam/steamapps/libraryfolders.vdf|\"path\" \"unterminated\\n"
            "\"path\"\"\"\\n\"\"\"\"\"\"",
            "", "None|||");
    }

    void prefixInForce()
    {
        QFETCH(QString, layout);
        QFETCH(QString, settings);
        QFETCH(QString, expected);
        build(layout.split(QLatin1Char(';')));
        const QStringList set = settings.split(QLatin1Char('|'));
        const QStringList want = expand(expected).split(QLatin1Char('|'));

        const platform::GamePrefix result =
            platform::findGamePrefix(search(set.value(0), set.value(1), set.value(2)));
        const char *sources[] = {"None", "Pinned", "Environment", "Found"};
        QCOMPARE(QString::fromLatin1(sources[int(result.source)]), want[0]);
        QCOMPARE(result.prefix, at(want[1]));
        QCOMPARE(result.userDat, at(want[2]));
        const QString folder = !want[3].isEmpty()  ? at(want[3])
                               : want[2].isEmpty() ? QString()
                                                   : QFileInfo(at(want[2])).absolutePath();
        QCOMPARE(result.gameFolder, folder.isEmpty() ? folder : folder + QLatin1Char('/'));
    }

    void candidatesInSearchOrder()
    {
        build({S("dir|home/.wine"), S("dir|home/Games/b-game"), S("dir|home/Games/A-game"),
               S("link|home/Games/same-as-wine|$T/home/.wine"),
               S("text|home/.config/lutris/games/z.yml|game:\\n  prefix: ~/lutris-pfx\\n"),
               S("dir|home/lutris-pfx"),
               S("text|home/.config/lutris/games/a.yml|game:\\n  prefix: '$T/home/Games/b-game'"),
               S("dir|home/.local/share/Steam/steamapps/compatdata/20/pfx"),
               S("dir|home/.local/share/Steam/steamapps/compatdata/3/pfx"),
               S("dir|home/.local/share/Steam/steamapps/compatdata/4"), // no pfx: not a prefix
               S("link|home/.steam/steam|$T/home/.local/share/Steam"),
               S("text|home/.local/share/Steam/steamapps/libraryfolders.vdf|\"path\" \"$T/lib\""
                 "\\n\"path\" \"$T/home/.local/share/Steam\"\\n\"path\" \"$T/gone\"\\n"),
               S("dir|lib/steamapps/compatdata/9/pfx")});
        const QStringList expected{
            at(S("home/.wine")),
            at(S("home/Games/A-game")),
            at(S("home/Games/b-game")),
            at(S("home/lutris-pfx")),
            at(S("home/.steam/steam/steamapps/compatdata/20/pfx")),
            at(S("home/.steam/steam/steamapps/compatdata/3/pfx")),
            at(S("lib/steamapps/compatdata/9/pfx")),
        };
        QCOMPARE(platform::candidatePrefixes(search()), expected);
    }

    // ---- Windows scripts through wine ------------------------------------------------------

    void windowsScripts_data()
    {
        QTest::addColumn<QString>("file");     // below the temporary root
        QTest::addColumn<QString>("pinned");   // [Wine] WinePrefix
        QTest::addColumn<QString>("env");      // $WINEPREFIX; "-" unset
        QTest::addColumn<bool>("normal");      // a normal window, with a terminal on the PATH
        QTest::addColumn<QString>("expected"); // what wine recorded; $T the temporary root

        const QString found = S("$T/home/.wine");
        QTest::newRow(".bat in the found prefix")
            << S("opt/RunMe.bat") << QString() << S("-") << false
            << S("wine|cmd /c RunMe.bat -h|$T/opt|") + found + S("|kept");
        QTest::newRow(".CMD with WINEPREFIX")
            << S("opt/Setup.CMD") << QString() << S("$T/env") << false
            << S("wine|cmd /c Setup.CMD -h|$T/opt|$T/env|kept");
        QTest::newRow(".exe in the pinned prefix")
            << S("opt/Patch.exe") << S("$T/pin") << S("$T/env") << false
            << S("wine|Patch.exe -h|$T/opt|$T/pin|kept");
        QTest::newRow(".Exe outside the working folder")
            << S("Tools/Tool.Exe") << QString() << S("-") << false
            << S("wine|Z:\\$W\\Tools\\Tool.Exe -h|$T/opt|") + found + S("|kept");
        QTest::newRow(".bat in a terminal window")
            << S("opt/RunMe.bat") << S("$T/pin") << S("-") << true
            << S("x-terminal-emulator|-T RunMe.bat -e env WINEPREFIX=$T/pin WINEDEBUG=-all "
                 "WINEDLLOVERRIDES=winemenubuilder.exe=d $T/bin/wine cmd /c RunMe.bat "
                 "-h|$T/opt|$T/pin|kept\nwine|cmd /c RunMe.bat -h|$T/opt|$T/pin|kept");
    }

    void windowsScripts()
    {
        QFETCH(QString, file);
        QFETCH(QString, pinned);
        QFETCH(QString, env);
        QFETCH(bool, normal);
        QFETCH(QString, expected);

        build({S("dat|home/.wine/drive_c/users/player/%G|10"), S("dir|opt"), S("dir|env"),
               S("dir|pin")});
        QVERIFY(writeAll(at(file), "@echo off\r\n"));
        fake(S("wine"));
        if (normal) {
            fake(S("x-terminal-emulator"), "shift 3\nexec \"$@\"\n");
            qputenv("DISPLAY", ":0"); // a terminal opens only where there is a display
        } else {
            qunsetenv("DISPLAY");
        }
        qputenv("PATH", QFile::encodeName(at(S("bin"))) + ":/usr/bin:/bin");
        qputenv("HOME", QFile::encodeName(at(S("home"))));
        qputenv("USER", "player");
        qputenv("VARIMOND_KEEP", "kept");
        qunsetenv("WINEDEBUG");
        qunsetenv("WINEDLLOVERRIDES");
        if (env == S("-"))
            qunsetenv("WINEPREFIX");
        else
            qputenv("WINEPREFIX", QFile::encodeName(expand(env)));
        g_pinned = {expand(pinned), QString(), QString()};

        QVERIFY(platform::needsWine(at(file)));
        QVERIFY(platform::wineAvailable());
        QVERIFY(platform::shellOpen(at(file), {S("-h")}, at(S("opt")),
                                    normal ? platform::ShowCommand::Normal
                                           : platform::ShowCommand::Hidden));
        QString windowsRoot = m_root;
        windowsRoot.replace(QLatin1Char('/'), QLatin1Char('\\'));
        expected = expand(expected);
        expected.replace(S("\\$W"), windowsRoot);
        const QStringList lines = expected.split(QLatin1Char('\n'));
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), lines.size(), HangMs);
        QCOMPARE(logLines(), lines);
    }
};

QTEST_GUILESS_MAIN(TestWinePrefix)
#include "tst_wineprefix.moc"
