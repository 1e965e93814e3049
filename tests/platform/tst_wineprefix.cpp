// The game's Wine prefix: the search over real prefix trees (plain Wine, Lutris, Steam's Proton),
// the order of pinned, $WINEPREFIX and found prefixes, and Windows scripts started through a
// fake "wine" that records how it was called.

#include "common/TestFiles.h"
#include "platform/Error.h"
#include "platform/ScriptLauncher.h"
#include "platform/WinePrefix.h"

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
    QByteArray m_savedEnv[5];
    static constexpr const char *EnvNames[5] = {"HOME", "USER", "WINEPREFIX", "PATH", "DISPLAY"};

    QString at(const QString &rel) const
    {
        return rel.isEmpty() ? QString() : QDir::cleanPath(m_root + QLatin1Char('/') + rel);
    }

    QString expand(QString text) const
    {
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
        QVERIFY(QDir().mkpath(at(S("home"))));
        for (int i = 0; i < 5; ++i)
            m_savedEnv[i] = qgetenv(EnvNames[i]);
        g_pinned = {};
        platform::setPinnedPrefixSource([] { return g_pinned; });
    }

    void cleanup()
    {
        for (const QString &path : std::as_const(m_locked))
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_locked.clear();
        for (int i = 0; i < 5; ++i) {
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
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("winePrefix");
        QTest::addColumn<int>("source");
        QTest::addColumn<QString>("prefix");  // below the temporary root
        QTest::addColumn<QString>("userDat"); // below the temporary root; empty: none
        QTest::addColumn<QString>("gameFolder");

        const int none = int(PrefixSource::None), found = int(PrefixSource::Found),
                  env = int(PrefixSource::Environment), pinned = int(PrefixSource::Pinned);
        const QString wineDat = S("home/.wine/drive_c/users/player/") + Game;
        const QString wineDir = S("home/.wine/drive_c/users/player/AppData/Roaming/Electronic "
                                  "Arts/Dark Age of Camelot/");

        QTest::newRow("nothing anywhere")
            << QStringList{S("dir|home/.wine/drive_c/users")} << QString() << QString() << QString()
            << none << QString() << QString() << QString();
        QTest::newRow("plain ~/.wine")
            << QStringList{S("dat|") + wineDat + S("|10")} << QString() << QString() << QString()
            << found << S("home/.wine") << wineDat << wineDir;
        const QString old = S("home/.wine/drive_c/users/player/Application Data/Electronic "
                              "Arts/Dark Age of Camelot/user.dat");
        QTest::newRow("old prefix: Application Data")
            << QStringList{S("dat|") + old + S("|10")} << QString() << QString() << QString()
            << found << S("home/.wine") << old << QString();
        const QString cased = S("home/.wine/drive_c/Users/Player/appdata/ROAMING/electronic "
                                "arts/dark age of camelot/User.dat");
        QTest::newRow("names in another case")
            << QStringList{S("dat|") + cased + S("|10")} << QString() << QString() << QString()
            << found << S("home/.wine") << cased << QString();
        QTest::newRow("another user's profile is not the game's")
            << QStringList{S("dat|home/.wine/drive_c/users/someone/%G|10")} << QString()
            << QString() << QString() << none << QString() << QString() << QString();
        QTest::newRow("Lutris: a folder of ~/Games")
            << QStringList{S("dat|home/Games/dark-age/drive_c/users/player/%G|10")} << QString()
            << QString() << QString() << found << S("home/Games/dark-age")
            << S("home/Games/dark-age/drive_c/users/player/") + Game << QString();
        QTest::newRow("Lutris: prefix named in a game's yml")
            << QStringList{S("text|home/.config/lutris/games/daoc-1612.yml|game:\\n  exe: "
                             "x.exe\\n  prefix: \"$T/elsewhere/daoc\"  \\nwine:\\n  version: "
                             "lutris-7\\n"),
                           S("dat|elsewhere/daoc/drive_c/users/player/%G|10")}
            << QString() << QString() << QString() << found << S("elsewhere/daoc")
            << S("elsewhere/daoc/drive_c/users/player/") + Game << QString();
        const QString proton = S("library/steamapps/compatdata/2510/pfx");
        QTest::newRow("Steam: Proton prefix in a library folder")
            << QStringList{S("text|home/.local/share/Steam/steamapps/libraryfolders.vdf|"
                             "\"libraryfolders\"\\n{\\n\\t\"0\"\\n\\t{\\n\\t\\t\"path\"\\t\\t\"$T/"
                             "home/.local/share/Steam\"\\n\\t}\\n\\t\"1\"\\n\\t{\\n\\t\\t"
                             "\"path\"\\t\\t\"$T/library\"\\n\\t\\t\"label\"\\t\\t\"\"\\n\\t}\\n}"
                             "\\n"),
                           S("dir|home/.local/share/Steam/steamapps/compatdata/7/pfx"),
                           S("dat|") + proton + S("/drive_c/users/steamuser/%G|10")}
            << QString() << QString() << QString() << found << proton
            << proton + S("/drive_c/users/steamuser/") + Game << QString();
        QTest::newRow("Steam: older libraryfolders.vdf")
            << QStringList{S("text|home/.steam/steam/steamapps/libraryfolders.vdf|"
                             "\"LibraryFolders\"\\n{\\n\\t\"TimeNextStatsReport\"\\t\"1\"\\n\\t"
                             "\"1\"\\t\\t\"$T/library\"\\n}\\n"),
                           S("dat|") + proton + S("/drive_c/users/steamuser/%G|10")}
            << QString() << QString() << QString() << found << proton
            << proton + S("/drive_c/users/steamuser/") + Game << QString();
        QTest::newRow("two prefixes: the newer user.dat wins")
            << QStringList{S("dat|") + wineDat + S("|500"),
                           S("dat|home/Games/daoc/drive_c/users/player/%G|20")}
            << QString() << QString() << QString() << found << S("home/Games/daoc")
            << S("home/Games/daoc/drive_c/users/player/") + Game << QString();
        QTest::newRow("two prefixes: the newer is found first")
            << QStringList{S("dat|") + wineDat + S("|20"),
                           S("dat|home/Games/daoc/drive_c/users/player/%G|500")}
            << QString() << QString() << QString() << found << S("home/.wine") << wineDat
            << QString();
        QTest::newRow("two prefixes of the same age: the first in search order")
            << QStringList{S("dat|home/Games/daoc/drive_c/users/player/%G|60"),
                           S("dat|") + wineDat + S("|60")}
            << QString() << QString() << QString() << found << S("home/.wine") << wineDat
            << QString();
        QTest::newRow("WINEPREFIX before a newer found one")
            << QStringList{S("dat|env/drive_c/users/player/%G|900"), S("dat|") + wineDat + S("|1")}
            << QString() << QString() << S("$T/env/") << env << S("env")
            << S("env/drive_c/users/player/") + Game << QString();
        QTest::newRow("WINEPREFIX without the game")
            << QStringList{S("dir|env/drive_c/users/steamuser"), S("dat|") + wineDat + S("|1")}
            << QString() << QString() << S("$T/env") << env << S("env") << QString()
            << S("env/drive_c/users/steamuser/AppData/Roaming/Electronic Arts/Dark Age of "
                 "Camelot/");
        QTest::newRow("pinned before WINEPREFIX")
            << QStringList{S("dat|pin/drive_c/users/player/%G|900"),
                           S("dat|env/drive_c/users/player/%G|1")}
            << S("$T/pin") << QString() << S("$T/env") << pinned << S("pin")
            << S("pin/drive_c/users/player/") + Game << QString();
        QTest::newRow("pinned relative to the program folder")
            << QStringList{S("dat|pack/prefix/drive_c/users/player/%G|9")} << S("prefix")
            << S("pack") << QString() << pinned << S("pack/prefix")
            << S("pack/prefix/drive_c/users/player/") + Game << QString();
        QTest::newRow("pinned below the home folder, not there yet")
            << QStringList{S("dat|") + wineDat + S("|1")} << S("  ~/daoc/  ") << QString()
            << QString() << pinned << S("home/daoc") << QString()
            << S("home/daoc/drive_c/users/player/AppData/Roaming/Electronic Arts/Dark Age of "
                 "Camelot/");
        QTest::newRow("old pinned prefix without the game keeps Application Data")
            << QStringList{S("dir|pin/drive_c/users/player/Application Data")} << S("$T/pin")
            << QString() << QString() << pinned << S("pin") << QString()
            << S("pin/drive_c/users/player/Application Data/Electronic Arts/Dark Age of "
                 "Camelot/");
        QTest::newRow("symbolic link loops among the prefixes")
            << QStringList{S("link|home/Games/self|self"),
                           S("link|home/Games/a|b"),
                           S("link|home/Games/b|a"),
                           S("link|home/Games/x/drive_c|drive_c"),
                           S("link|home/.local/share/Steam/steamapps/compatdata/1/pfx|pfx"),
                           S("dat|") + wineDat + S("|10")}
            << QString() << QString() << QString() << found << S("home/.wine") << wineDat
            << QString();
        QTest::newRow("a prefix nobody may read")
            << QStringList{S("dat|home/Games/locked/drive_c/users/player/%G|900"),
                           S("lock|home/Games/locked"), S("dat|") + wineDat + S("|10")}
            << QString() << QString() << QString() << found << S("home/.wine") << wineDat
            << QString();
        QTest::newRow("lists too large for Lutris or Steam are read only in part")
            << QStringList{S("big|home/.config/lutris/games/big.yml|3000000|prefix: $T/late"),
                           S("dat|late/drive_c/users/player/%G|1")}
            << QString() << QString() << QString() << none << QString() << QString() << QString();
        QTest::newRow("garbled lists")
            << QStringList{S("text|home/.config/lutris/games/a.yml|prefix:\\nprefix: "
                             "relative/path\\nprefix: '\\n\\x01\\x02"),
                           S("text|home/.steam/steam/steamapps/libraryfolders.vdf|\"path\" "
                             "\"unterminated\\n\"path\"\"\"\\n\"\"\"\"\"\"")}
            << QString() << QString() << QString() << none << QString() << QString() << QString();
    }

    void prefixInForce()
    {
        QFETCH(QStringList, layout);
        QFETCH(QString, pinned);
        QFETCH(QString, base);
        QFETCH(QString, winePrefix);
        QFETCH(int, source);
        QFETCH(QString, prefix);
        QFETCH(QString, userDat);
        QFETCH(QString, gameFolder);
        build(layout);

        const platform::GamePrefix result =
            platform::findGamePrefix(search(pinned, base, winePrefix));
        QCOMPARE(int(result.source), source);
        QCOMPARE(result.prefix, at(prefix));
        QCOMPARE(result.userDat, at(userDat));
        if (!gameFolder.isEmpty())
            QCOMPARE(result.gameFolder, at(gameFolder) + QLatin1Char('/'));
        else if (!userDat.isEmpty())
            QCOMPARE(result.gameFolder, QFileInfo(at(userDat)).absolutePath() + QLatin1Char('/'));
        else
            QCOMPARE(result.gameFolder, QString());
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

    void aboutLine_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<QString>("expected");
        QTest::newRow("pinned") << int(PrefixSource::Pinned)
                                << S("Wine prefix: /p (pinned by [Wine] WinePrefix)");
        QTest::newRow("environment")
            << int(PrefixSource::Environment) << S("Wine prefix: /p (from WINEPREFIX)");
        QTest::newRow("found") << int(PrefixSource::Found) << S("Wine prefix: /p");
        QTest::newRow("none") << int(PrefixSource::None) << S("Wine prefix: none found");
    }

    void aboutLine()
    {
        QFETCH(int, source);
        QFETCH(QString, expected);
        platform::GamePrefix prefix;
        prefix.source = PrefixSource(source);
        if (prefix.source != PrefixSource::None)
            prefix.prefix = S("/p");
        QCOMPARE(platform::describeGamePrefix(prefix), expected);
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
            << S("x-terminal-emulator|-e env WINEPREFIX=$T/pin $T/bin/wine cmd /c RunMe.bat "
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
            fake(S("x-terminal-emulator"), "shift\nexec \"$@\"\n");
            qputenv("DISPLAY", ":0"); // a terminal opens only where there is a display
        } else {
            qunsetenv("DISPLAY");
        }
        qputenv("PATH", QFile::encodeName(at(S("bin"))) + ":/usr/bin:/bin");
        qputenv("HOME", QFile::encodeName(at(S("home"))));
        qputenv("USER", "player");
        qputenv("VARIMOND_KEEP", "kept");
        if (env == S("-"))
            qunsetenv("WINEPREFIX");
        else
            qputenv("WINEPREFIX", QFile::encodeName(expand(env)));
        g_pinned = {expand(pinned), QString()};

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
        QTRY_COMPARE(logLines().size(), lines.size());
        QCOMPARE(logLines(), lines);
    }

    void wineMissing_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("wine");
        QTest::addColumn<bool>("refused");

        QTest::newRow(".bat without wine") << QStringList{S("a/RunMe.bat")} << false << true;
        QTest::newRow(".BAT with wine") << QStringList{S("a/RunMe.BAT")} << true << false;
        QTest::newRow("second script .cmd without wine")
            << QStringList{S("a/RunMe.sh"), S("a/RunMe2.cmd")} << false << true;
        QTest::newRow(".exe without wine") << QStringList{S("a/Setup.eXe")} << false << true;
        QTest::newRow("shell scripts need no wine")
            << QStringList{S("a/RunMe.sh"), S("a/Install")} << false << false;
        QTest::newRow("no scripts at all") << QStringList{QString(), QString()} << false << false;
    }

    void wineMissing()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, wine);
        QFETCH(bool, refused);
        QVERIFY(QDir().mkpath(at(S("bin"))));
        if (wine)
            fake(S("wine"));
        qputenv("PATH", QFile::encodeName(at(S("bin"))));
        for (QString &f : files)
            f = at(f);
        QCOMPARE(platform::wineAvailable(), wine);

        QString message;
        try {
            platform::requireWineFor(files);
        } catch (const AppError &e) {
            message = e.message();
        }
        QCOMPARE(message, refused ? S("This option's installer is a Windows script and needs "
                                      "Wine: install the wine package and tick it again.")
                                  : QString());
        // Without wine a Windows script does not start at all.
        if (!wine && refused) {
            for (const QString &f : files) {
                if (!platform::needsWine(f))
                    continue;
                QVERIFY(writeAll(f, "@echo off\r\n"));
                QVERIFY(!platform::shellOpen(f, {}, at(S("a")), platform::ShowCommand::Hidden));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestWinePrefix)
#include "tst_wineprefix.moc"
