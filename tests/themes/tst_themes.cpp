// The theme store and theme application on real folders: listing, gathering, clearing, saving,
// deleting, the first-run copy, and applying themes whose scripts run as real processes, with
// their pacing and hostile theme files.

#include "ThemeFixture.h"
#include "common/Waits.h"
#include "options/OptionIni.h"
#include "files/Confine.h"
#include "options/OptionScan.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "files/Paths.h"
#include "launch/ScriptLauncher.h"
#include "wine/WineRunner.h"
#include "themes/ThemeApply.h"
#include "themes/ThemeStore.h"

#include <QElapsedTimer>
#include <QSet>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using namespace testfiles;

namespace {

// Runs @p app to its end and returns when each step began, by the application's own clock.
QList<qint64> runToEnd(ThemeApplication &app)
{
    QList<qint64> starts;
    QObject context; // ends both connections on return
    QObject::connect(&app, &ThemeApplication::stepStarted, &context,
                     [&](int, int, int) { starts.append(app.StepStart()); });
    bool done = false;
    QObject::connect(&app, &ThemeApplication::finished, &context, [&] { done = true; });
    app.Start();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(done, HangMs); }();
    return starts;
}

} // namespace

class TestThemes : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThemeFixture> f;
    QByteArray m_home, m_config;

private Q_SLOTS:
    void init()
    {
        f = std::make_unique<ThemeFixture>();
        m_home = qgetenv("HOME");
        m_config = qgetenv("XDG_CONFIG_HOME");
    }
    void cleanup()
    {
        f.reset();
        qputenv("HOME", m_home);
        if (m_config.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_config);
        platform::setWineQuestionHandler({});
    }

    // ---- Listing ---------------------------------------------------------------------------

    void listing_data()
    {
        QTest::addColumn<QStringList>("entries"); // "file:Name", "dir:Name", "fifo:Name"
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("sorted, (Default) first")
            << QStringList{S("file:blue.ini"), S("file:!Loud.ini"), S("file:(Default).ini"),
                           S("file:Amber.INI")}
            << QStringList{S("(Default)"), S("!Loud"), S("Amber"), S("blue")};
        QTest::newRow("a folder named Old.ini, other files, a FIFO")
            << QStringList{S("dir:Old.ini"), S("file:Notes.txt"), S("file:Blue.ini"),
                           S("fifo:Pipe.ini"), S("file:.ini")}
            << QStringList{S("Blue")};
        QTest::newRow("no (Default)")
            << QStringList{S("file:B.ini"), S("file:a.ini")} << QStringList{S("a"), S("B")};
        QTest::newRow("empty folder") << QStringList{} << QStringList{};
    }

    void listing()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, expected);
        for (const QString &e : entries) {
            const QString kind = e.section(QLatin1Char(':'), 0, 0);
            const QString path = f->themes() + e.section(QLatin1Char(':'), 1);
            if (kind == S("dir"))
                QVERIFY(QDir().mkpath(path));
            else if (kind == S("fifo"))
                QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
            else
                QVERIFY(writeAll(path, "[Option0]\n"));
        }
        QCOMPARE(ShowAvailableThemes(f->themes()), expected);
        QCOMPARE(ShowAvailableThemes(f->root() + S("missing/")), QStringList());
    }

    // ---- Gathering and clearing ------------------------------------------------------------

    void gather_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<QStringList>("expected"); // "delay path"
        QTest::newRow("walk order, a folder before its sub-folders")
            << QStringList{S("b/Two 3,selected,delay=200"), S("A 5,selected,delay=300"),
                           S("A/Sub 3,selected"), S("C 2")}
            << QStringList{S("300 .\\Options\\A\\RunMe.sh"), S("100 .\\Options\\A\\Sub\\RunMe.sh"),
                           S("200 .\\Options\\b\\Two\\RunMe.sh")};
        QTest::newRow("a selected folder without a main script, one below it")
            << QStringList{S("G 3,selected,runme="), S("G/Inner 3,selected,runme=Go.sh")}
            << QStringList{S("100 .\\Options\\G\\Inner\\Go.sh")};
        QTest::newRow("dot folders and everything below them")
            << QStringList{S(".hidden 3,selected"), S(".hidden/Deep 3,selected"),
                           S("Seen 3,selected")}
            << QStringList{S("100 .\\Options\\Seen\\RunMe.sh")};
        QTest::newRow("no descriptor: the default script name and delay")
            << QStringList{S("Bare 3,selected,noini,noscript")}
            << QStringList{S("2000 .\\Options\\Bare\\RunMe.bat")};
    }

    void gather()
    {
        QFETCH(QStringList, layout);
        QFETCH(QStringList, expected);
        f->layout(layout);
        QStringList delays;
        QStringList scripts;
        GetSelectedOptions(ProgramSettings, delays, scripts);
        QCOMPARE(delays.size(), scripts.size());
        QStringList got;
        for (int i = 0; i < delays.size(); ++i)
            got.append(delays[i] + QLatin1Char(' ') + scripts[i]);
        QCOMPARE(got, expected);
    }

    void selectionMarkMustBeAFile()
    {
        f->layout({S("Folder 3"), S("Lower 3")});
        QVERIFY(QDir().mkpath(f->options() + S("Folder/Selected.ini")));
        QVERIFY(writeAll(f->options() + S("Lower/selected.INI"), ""));
        QStringList delays;
        QStringList scripts;
        GetSelectedOptions(ProgramSettings, delays, scripts);
        QCOMPARE(scripts, QStringList{S(".\\Options\\Lower\\RunMe.sh")});
        QCOMPARE(ClearAllSelectedOptions(f->options()), 1);
        QVERIFY(!QFileInfo::exists(f->options() + S("Lower/selected.INI")));
        QVERIFY(QFileInfo(f->options() + S("Folder/Selected.ini")).isDir());
    }

    void clear_data()
    {
        QTest::addColumn<QString>("traits");
        QTest::addColumn<int>("after");
        QTest::addColumn<bool>("marked");
        QTest::newRow("3 becomes 2") << S("3,selected") << 2 << false;
        QTest::newRow("5 becomes 4") << S("5,selected") << 4 << false;
        QTest::newRow("2 rewritten as 2") << S("2,selected") << 2 << false;
        QTest::newRow("4 rewritten as 4") << S("4,selected") << 4 << false;
        QTest::newRow("no script: 1") << S("3,selected,noscript") << 1 << false;
        QTest::newRow("folder mode kept") << S("7,selected") << 7 << false;
        QTest::newRow("not selected: untouched") << S("3") << 3 << false;
    }

    void clear()
    {
        QFETCH(QString, traits);
        QFETCH(int, after);
        QFETCH(bool, marked);
        f->option(S("Group/Opt"), traits);
        f->option(S("Group/.dot"), S("3,selected"));
        // Outside the option folders: the program folder itself must not be walked.
        QVERIFY(writeAll(f->program() + S("Selected.ini"), ""));
        QVERIFY(writeAll(f->program() + S("Other/Selected.ini"), ""));
        QVERIFY(writeAll(f->program() + S("Other/options.ini"), "[Mode]\nOptionMode=3\n"));
        const QByteArray before = readAll(f->options() + S("Group/Opt/options.ini"));

        ClearAllSelectedOptions(OptionsRoot(ProgramSettings));
        QCOMPARE(f->mode(S("Group/Opt")), after);
        QCOMPARE(f->selected(S("Group/Opt")), marked);
        if (!traits.contains(S("selected")))
            QCOMPARE(readAll(f->options() + S("Group/Opt/options.ini")), before);
        QVERIFY(f->selected(S("Group/.dot")));
        QCOMPARE(f->mode(S("Group/.dot")), 3);
        QVERIFY(QFileInfo::exists(f->program() + S("Selected.ini")));
        QVERIFY(QFileInfo::exists(f->program() + S("Other/Selected.ini")));
        QCOMPARE(readAll(f->program() + S("Other/options.ini")),
                 QByteArray("[Mode]\nOptionMode=3\n"));
    }

    void refusedModeWriteKeepsTheMark()
    {
        f->layout({S("A 3,selected"), S("B 3,selected")});
        QVERIFY(QFile::setPermissions(f->options() + S("A/options.ini"), QFile::ReadOwner));
        QVERIFY_THROWS_EXCEPTION(AppError, ClearAllSelectedOptions(f->options()));
        QVERIFY(f->selected(S("A")));
        QCOMPARE(f->mode(S("A")), 3);
    }

    void linksAndLoopsUnderOptions()
    {
        f->layout({S("A 3,selected"), S("A/Deep 5,selected")});
        const QString outside = f->root() + S("Shared/Ext/");
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(writeAll(outside + S("Selected.ini"), ""));
        QVERIFY(writeAll(outside + S("RunMe.sh"), f->script(S("Ext"))));
        QVERIFY(writeAll(outside + S("options.ini"), "[RunMe]\nOptionRunMeFName=RunMe.sh\n"));
        // Loops: back to the root, to the folder itself, and two folders pointing at each other.
        QVERIFY(QFile::link(f->options(), f->options() + S("A/up")));
        QVERIFY(QFile::link(f->options() + S("A"), f->options() + S("A/self")));
        QVERIFY(QFile::link(f->options() + S("A/Deep"), f->options() + S("A/Deep/back")));
        QVERIFY(QFile::link(f->root() + S("Shared"), f->options() + S("Linked")));

        QStringList visited;
        QVERIFY(WalkOptionFolders(
            f->options(), [&](const OptionFolder &folder) { visited.append(folder.Relative); }));
        QCOMPARE(visited,
                 (QStringList{QString(), S("A/"), S("A/Deep/"), S("Linked/"), S("Linked/Ext/")}));
        QStringList delays;
        QStringList scripts;
        GetSelectedOptions(ProgramSettings, delays, scripts);
        QCOMPARE(scripts,
                 (QStringList{S(".\\Options\\A\\RunMe.sh"), S(".\\Options\\A\\Deep\\RunMe.sh"),
                              S(".\\Options\\Linked\\Ext\\RunMe.sh")}));
        // The folder outside is read, but never written: its mark and descriptor stay.
        int leftOutside = 0;
        QCOMPARE(ClearAllSelectedOptions(f->options(), &leftOutside), 2);
        QCOMPARE(leftOutside, 1);
        QVERIFY(QFileInfo::exists(outside + S("Selected.ini")));
        QCOMPARE(readAll(outside + S("options.ini")), QByteArray("[RunMe]\nOptionRunMeFName=RunMe.sh\n"));
    }

    void walkLimits_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("nodes");
        QTest::addColumn<int>("visited");
        QTest::addColumn<bool>("complete");
        QTest::newRow("within the limits") << 10 << 100 << 6 << true;
        QTest::newRow("depth") << 3 << 100 << 4 << false;
        QTest::newRow("nodes") << 10 << 2 << 3 << false;
    }

    void walkLimits()
    {
        QFETCH(int, depth);
        QFETCH(int, nodes);
        QFETCH(int, visited);
        QFETCH(bool, complete);
        QVERIFY(QDir().mkpath(f->options() + S("1/2/3/4/5")));
        int count = 0;
        OptionScanLimits limits;
        limits.MaxDepth = depth;
        limits.MaxNodes = nodes;
        QCOMPARE(WalkOptionFolders(
                     f->options(), [&](const OptionFolder &) { ++count; }, limits),
                 complete);
        QCOMPARE(count, visited);
    }

    // ---- Saving and deleting ---------------------------------------------------------------

    void save_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<QByteArray>("before"); // the theme file before; empty: none
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QByteArray>("after"); // empty: no file
        QTest::addColumn<QString>("error");
        const QStringList two{S("Chat/Classic 3,selected,delay=1500"),
                              S("Bars/Red 5,selected,runme=Go.sh")};
        const QByteArray written =
            "[Option0]\nDelay=100\nRunMeFName=.\\Options\\Bars\\Red\\Go.sh\n"
            "[Option1]\nDelay=1500\nRunMeFName=.\\Options\\Chat\\Classic\\RunMe.sh\n";
        const QByteArray larger =
            ThemeFixture::themeText({S("a"), S("b"), S("c"), S("d"), S("e")}) + "[Extra]\nKey=1\n";
        QTest::newRow("the format, in walk order")
            << two << QByteArray() << false << written << QString();
        QTest::newRow("over a larger theme") << two << larger << false << written << QString();
        QTest::newRow("no selection: the theme goes")
            << QStringList{S("A 3")} << larger << false << QByteArray() << QString();
        QTest::newRow("refused: the old theme stays whole")
            << two << larger << true << larger << S("Unable to write to %1Mine.ini");
    }

    void save()
    {
        QFETCH(QStringList, layout);
        QFETCH(QByteArray, before);
        QFETCH(bool, readOnly);
        QFETCH(QByteArray, after);
        QFETCH(QString, error);
        f->layout(layout);
        if (!before.isEmpty())
            f->theme(S("Mine"), before);
        if (readOnly)
            QVERIFY(QFile::setPermissions(f->themes() + S("Mine.ini"), QFile::ReadOwner));
        QString message;
        try {
            SaveTheme(ProgramSettings, S("Mine"));
        } catch (const AppError &e) {
            message = e.message();
        }
        QCOMPARE(message, error.isEmpty() ? error : error.arg(f->themes()));
        QCOMPARE(ProgramSettings.ThemeName, error.isEmpty() ? S("Mine") : S("(Default)"));
        QCOMPARE(readAll(f->themes() + S("Mine.ini")), after);
        QCOMPARE(QFileInfo::exists(f->themes() + S("Mine.ini")), !after.isEmpty());
        // No temporary file is left behind.
        QCOMPARE(QDir(f->themes()).entryList(QDir::Files | QDir::Hidden).size(),
                 after.isEmpty() ? 0 : 1);
    }

    void themeNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain") << S("My Theme") << true;
        QTest::newRow("brackets and accents") << S("Été (Default) copy") << true;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("dot") << S(".") << false;
        QTest::newRow("dot dot") << S("..") << false;
        QTest::newRow("slash") << S("../../etc/evil") << false;
        QTest::newRow("backslash") << S("a\\b") << false;
        QTest::newRow("tab") << S("a\tb") << false;
        QTest::newRow("line break") << S("a\nb") << false;
        QTest::newRow("delete character") << S("a\x7f") << false;
        QTest::newRow("too long") << QString(201, QLatin1Char('x')) << false;
        QTest::newRow("long enough") << QString(200, QLatin1Char('x')) << true;
    }

    void themeNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        f->layout({S("A 3,selected")});
        QCOMPARE(ThemeNameProblem(name).isEmpty(), accepted);
        bool saved = true;
        try {
            SaveTheme(ProgramSettings, name);
        } catch (const AppError &e) {
            saved = false;
            QCOMPARE(e.message(), ThemeNameProblem(name));
        }
        QCOMPARE(saved, accepted);
        QCOMPARE(ProgramSettings.ThemeName, accepted ? name : S("(Default)"));
        QCOMPARE(ShowAvailableThemes(f->themes()), accepted ? QStringList{name} : QStringList());
        // Nothing was written anywhere else.
        QCOMPARE(QDir(f->root() + S("etc")).exists(), false);
    }

    void deleteRule_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("refused");
        QTest::newRow("(Default)") << S("(Default)") << true;
        QTest::newRow("contains (Default)") << S("My (Default) copy") << true;
        QTest::newRow("other case") << S("(default)") << false;
        QTest::newRow("plain") << S("Blue") << false;
    }

    void deleteRule()
    {
        QFETCH(QString, name);
        QFETCH(bool, refused);
        f->theme(name, ThemeFixture::themeText({S("a")}));
        QCOMPARE(DeleteTheme(ProgramSettings, name), !refused);
        QCOMPARE(QFileInfo::exists(f->themes() + name + S(".ini")), refused);
    }

    // ---- First-run copy --------------------------------------------------------------------

    void firstRunCopy()
    {
        f->theme(S("(Default)"), "[Option0]\nDelay=1\n");
        f->theme(S("Blue"), "new blue");
        QVERIFY(QDir().mkpath(f->themes() + S("Sub")));
        QCOMPARE(::mkfifo(QFile::encodeName(f->themes() + S("Pipe.ini")).constData(), 0644), 0);
        // Too large to be a theme: not copied, and the user's file of that name stays.
        QFile big(f->themes() + S("Huge.ini"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(platform::IniFile::MaxFileSize + 1));
        big.close();
        const QString dest = f->root() + S("config/Themes");
        QVERIFY(writeAll(dest + S("/Blue.ini"), "old blue"));
        QVERIFY(writeAll(dest + S("/Huge.ini"), "mine"));
        QVERIFY(writeAll(dest + S("/Own.ini"), "own"));

        QCOMPARE(CopyDefaultThemes(ProgramSettings, dest), 2);
        QCOMPARE(readAll(dest + S("/(Default).ini")), QByteArray("[Option0]\nDelay=1\n"));
        QCOMPARE(readAll(dest + S("/Blue.ini")), QByteArray("new blue"));
        QCOMPARE(readAll(dest + S("/Huge.ini")), QByteArray("mine"));
        QCOMPARE(readAll(dest + S("/Own.ini")), QByteArray("own"));
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{S("(Default).ini"), S("Blue.ini"), S("Huge.ini"), S("Own.ini")}));

        // The destination is made even when there is nothing to copy.
        ProgramSettings.ThemesDir = S("Nowhere");
        QCOMPARE(CopyDefaultThemes(ProgramSettings, f->root() + S("new/deep/Themes")), 0);
        QVERIFY(QFileInfo(f->root() + S("new/deep/Themes")).isDir());
    }

    // ---- Packs from others ------------------------------------------------------------------

    void settingsFoldersStayInside_data()
    {
        QTest::addColumn<QString>("key");      // ThemesDir, ThemesAppDataDir or OptionsDir
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("link");     // "name>target below the temporary folder", or empty
        QTest::addColumn<bool>("used");
        QTest::newRow("themes: own folder") << S("ThemesDir") << S("My Themes") << QString() << true;
        QTest::newRow("themes: nested") << S("ThemesDir") << S("Data\\Themes") << QString() << true;
        QTest::newRow("themes: parent") << S("ThemesDir") << S("..\\.ssh") << QString() << false;
        QTest::newRow("themes: climbing back in")
            << S("ThemesDir") << S("Themes\\..\\..\\pack\\Themes") << QString() << false;
        QTest::newRow("themes: absolute") << S("ThemesDir") << S("/etc") << QString() << false;
        QTest::newRow("themes: drive") << S("ThemesDir") << S("C:\\Themes") << QString() << false;
        QTest::newRow("themes: the pack folder itself") << S("ThemesDir") << S(".") << QString() << false;
        QTest::newRow("themes: link out") << S("ThemesDir") << S("Out") << S("pack/Out>home") << false;
        QTest::newRow("themes: link inside") << S("ThemesDir") << S("In") << S("pack/In>pack/Themes") << true;
        QTest::newRow("options: parent") << S("OptionsDir") << S("..\\..") << QString() << false;
        QTest::newRow("options: link out") << S("OptionsDir") << S("Opt") << S("pack/Opt>home") << false;
        QTest::newRow("per-user: default") << S("ThemesAppDataDir") << S("Themes") << QString() << true;
        QTest::newRow("per-user: parent") << S("ThemesAppDataDir") << S("..\\") << QString() << false;
        QTest::newRow("per-user: far up")
            << S("ThemesAppDataDir") << S("..\\..\\..\\..\\..\\..\\..\\tmp\\loot") << QString() << false;
        QTest::newRow("per-user: link out")
            << S("ThemesAppDataDir") << S("Loot") << S("config/varimond/Loot>home") << false;
    }

    void settingsFoldersStayInside()
    {
        // A pack's settings file may name its folders, but not aim them out of the pack (nor
        // the per-user copy out of Varimond's own folder): such a value gives way to the
        // default, and the user hears which key was set aside.
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, link);
        QFETCH(bool, used);
        QVERIFY(QDir().mkpath(f->root() + S("home/.ssh")));
        QVERIFY(QDir().mkpath(f->root() + S("config/varimond")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(f->root() + S("config")));
        if (!link.isEmpty())
            QVERIFY(QFile::link(f->root() + link.section(QLatin1Char('>'), 1),
                                f->root() + link.section(QLatin1Char('>'), 0, 0)));
        if (key == S("ThemesAppDataDir")) {
            ProgramSettings.ThemesAppDataDir = value;
            QString why;
            const QString folder = GetAppDataThemePath(ProgramSettings, &why);
            QCOMPARE(why.isEmpty(), used);
            const QString base = f->root() + S("config/varimond/");
            QCOMPARE(folder, used ? base + platform::fromStoredPath(value) : base + S("Themes"));
        } else {
            QString &field = key == S("ThemesDir") ? ProgramSettings.ThemesDir : ProgramSettings.OptionsDir;
            field = value;
            const QStringList lines = ConfineSettingsFolders(ProgramSettings);
            QCOMPARE(lines.size(), used ? 0 : 1);
            // The setting stays as written; the folder in use is the default when it is refused.
            QCOMPARE(field, value);
            const QString inUse = key == S("ThemesDir") ? ProgramSettings.ThemesFolder
                                                        : ProgramSettings.OptionsFolder;
            QCOMPARE(inUse, platform::settingsFolderPath(
                                ProgramSettings.ProgramDir,
                                used ? value : key == S("ThemesDir") ? S("Themes") : S("Options")));
            if (!used)
                QVERIFY2(lines.first().startsWith(QStringLiteral("[%1] %2=").arg(key, key)),
                         qPrintable(lines.first()));
        }
        qunsetenv("XDG_CONFIG_HOME");
    }

    void firstRunCopyTakesOnlyThemeFiles()
    {
        // The copy takes theme files and nothing else: no dot files, no links (to a key or any
        // other file of the user's), never writes through a link standing at the destination,
        // and makes files any user's own umask would.
        const QString home = f->root() + S("home/");
        QVERIFY(QDir().mkpath(home + S(".ssh")));
        QVERIFY(writeAll(home + S(".ssh/id_rsa"), "secret"));
        QVERIFY(QFile::setPermissions(home + S(".ssh/id_rsa"), QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeAll(home + S(".bashrc"), "bashrc"));
        f->theme(S("Blue"), "[Option0]\nDelay=1\n");
        QVERIFY(QFile::setPermissions(f->themes() + S("Blue.ini"), QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeAll(f->themes() + S(".profile"), "evil profile"));
        QVERIFY(writeAll(f->themes() + S(".hidden.ini"), "evil"));
        QVERIFY(writeAll(f->themes() + S("notes.txt"), "text"));
        QVERIFY(QFile::link(home + S(".ssh/id_rsa"), f->themes() + S("Key.ini")));
        const QString dest = f->root() + S("config/varimond/Themes");
        QVERIFY(QDir().mkpath(dest));
        QVERIFY(QFile::link(home + S(".bashrc"), dest + S("/Blue.ini")));

        const mode_t mask = ::umask(022);
        const int copied = CopyDefaultThemes(ProgramSettings, dest);
        ::umask(mask);
        QCOMPARE(copied, 1);
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{S("Blue.ini")});
        QVERIFY(!QFileInfo(dest + S("/Blue.ini")).isSymLink());
        QCOMPARE(readAll(dest + S("/Blue.ini")), QByteArray("[Option0]\nDelay=1\n"));
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(dest + S("/Blue.ini")).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0644));
        QCOMPARE(readAll(home + S(".bashrc")), QByteArray("bashrc"));
        QCOMPARE(readAll(home + S(".ssh/id_rsa")), QByteArray("secret"));
    }

    void linkedThemesAreNoThemes()
    {
        // A theme file that is a link (to the user's .bashrc, say) is not listed, not read and
        // never written through; the store cleans what an interrupted save left.
        const QString bashrc = f->root() + S("bashrc");
        QVERIFY(writeAll(bashrc, "[Option0]\nDelay=20\nRunMeFName=.\\Options\\A\\RunMe.sh\n"));
        QVERIFY(QFile::link(bashrc, f->themes() + S("Evil.ini")));
        f->theme(S("Good"), ThemeFixture::themeText({S(".\\Options\\A\\RunMe.sh")}));
        f->option(S("A"), S("3,selected"));
        const QString stale = f->themes() + S(".Gone.ini.varimond-tmp-Ab12Cd");
        QVERIFY(writeAll(stale, "half"));
        const struct timeval old[2] = {{time(nullptr) - 600, 0}, {time(nullptr) - 600, 0}};
        QCOMPARE(::utimes(QFile::encodeName(stale).constData(), old), 0);

        QCOMPARE(ShowAvailableThemes(ThemesFolder(ProgramSettings)), QStringList{S("Good")});
        QVERIFY(!QFileInfo::exists(stale));
        QVERIFY_THROWS_EXCEPTION(AppError, ReadTheme(ProgramSettings, S("Evil")));
        QVERIFY_THROWS_EXCEPTION(AppError, SaveTheme(ProgramSettings, S("Evil")));
        QCOMPARE(readAll(bashrc), QByteArray("[Option0]\nDelay=20\nRunMeFName=.\\Options\\A\\RunMe.sh\n"));
        QVERIFY(QFileInfo(f->themes() + S("Evil.ini")).isSymLink());

        // A store whose folder is a link out of the pack is no store at all.
        QVERIFY(QDir(f->themes()).removeRecursively());
        QVERIFY(QDir().mkpath(f->root() + S("elsewhere")));
        QVERIFY(QFile::link(f->root() + S("elsewhere"), f->program() + S("Themes")));
        QCOMPARE(ThemesFolder(ProgramSettings), QString());
        QVERIFY_THROWS_EXCEPTION(AppError, SaveTheme(ProgramSettings, S("Good")));
        QCOMPARE(QDir(f->root() + S("elsewhere")).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // ---- Applying --------------------------------------------------------------------------

    void applyStartsInOrder_data()
    {
        QTest::addColumn<bool>("hidden");
        QTest::newRow("hidden: -h") << true;
        QTest::newRow("normal window") << false;
    }

    void applyStartsInOrder()
    {
        QFETCH(bool, hidden);
        ProgramSettings.HideShell = hidden;
        f->layout({S("Chat/Classic 3,selected"), S("Chat/Compact 2"), S("Bars/Red 5,selected"),
                   S("Bars/Blue 4"), S("Zed 3")});
        QCOMPARE(SaveTheme(ProgramSettings, S("Three")), 2);
        // The theme file decides the order, not the walk.
        f->theme(S("Three"), ThemeFixture::themeText({S(".\\Options\\Zed\\RunMe.sh"),
                                                      S(".\\options\\chat\\compact\\runme.sh"),
                                                      S(".\\Options\\Bars\\Blue\\RunMe.sh")},
                                                     60));
        ProgramSettings.ThemeName = S("(Default)");

        ThemeApplication app(ProgramSettings);
        QStringList started;
        connect(&app, &ThemeApplication::scriptStarted, this,
                [&](int index, const QString &, const QString &, const QStringList &parameters) {
                    started.append(QString::number(index) + QLatin1Char(' ') +
                                   parameters.join(QLatin1Char(' ')));
                });
        app.Prepare(S("Three"));
        // Every mark is cleared before anything starts, and no mode becomes selected.
        QVERIFY(!f->selected(S("Chat/Classic")));
        QVERIFY(!f->selected(S("Bars/Red")));
        QCOMPARE(f->mode(S("Chat/Classic")), 2);
        QCOMPARE(f->mode(S("Bars/Red")), 4);
        QCOMPARE(ProgramSettings.ThemeName, S("(Default)"));
        runToEnd(app);
        const QString h = hidden ? S("-h") : QString();
        QCOMPARE(started, (QStringList{S("0 ") + h, S("1 ") + h, S("2 ") + h}));
        QCOMPARE(ProgramSettings.ThemeName, S("Three"));
        QTRY_COMPARE_WITH_TIMEOUT(f->runs().size(), 3, HangMs);
        QSet<QString> seen;
        for (const ScriptRun &run : f->runs()) {
            seen.insert(run.folder);
            QCOMPARE(run.args, h);
            QCOMPARE(run.dir, QDir(f->options() + run.folder).canonicalPath());
        }
        QCOMPARE(seen, (QSet<QString>{S("Zed"), S("Chat/Compact"), S("Bars/Blue")}));
        QCOMPARE(f->mode(S("Zed")), 3); // nothing but the scripts changes a mode
    }

    void applyEdgeCases_data()
    {
        QTest::addColumn<QByteArray>("theme");
        QTest::addColumn<int>("entries");
        QTest::addColumn<QStringList>("ran");
        QTest::addColumn<int>("outside");
        QTest::addColumn<int>("ignored");
        QTest::newRow("sections Option0 and Option2 only")
            << QByteArray("[Option0]\nRunMeFName=.\\Options\\A\\RunMe.sh\n"
                          "[Option2]\nRunMeFName=.\\Options\\B\\RunMe.sh\n")
            << 2 << QStringList{S("A")} << 0 << 0;
        // A repeated header counts once per occurrence, so Option1 is reached here.
        QTest::newRow("Option0 repeated, then Option1")
            << QByteArray("[Option0]\nRunMeFName=.\\Options\\A\\RunMe.sh\n[Option0]\n"
                          "[Option1]\nRunMeFName=.\\Options\\B\\RunMe.sh\n")
            << 3 << QStringList{S("A"), S("B")} << 0 << 0;
        QTest::newRow("a deleted script is skipped")
            << ThemeFixture::themeText({S(".\\Options\\A\\RunMe.sh"),
                                        S(".\\Options\\Gone\\RunMe.sh"),
                                        S(".\\Options\\B\\RunMe.sh")})
            << 3 << QStringList{S("A"), S("B")} << 0 << 0;
        QTest::newRow("no sections")
            << QByteArray("; nothing here\n") << 0 << QStringList{} << 0 << 0;
        QTest::newRow("names as Windows finds them")
            << ThemeFixture::themeText({S(".\\options\\a\\runme.SH"), S("./Options/B/RunMe.sh"),
                                        S(".\\Options\\A\\..\\B\\RunMe.sh")})
            << 3 << QStringList{S("A"), S("B"), S("B")} << 0 << 0;
        // Escapes by "..", absolute paths, drive letters, a share, and links out of the option
        // folders (A/Out.sh and A/Up are made by the test).
        const QString up = S(".\\Options\\") + QString(S("..\\")).repeated(12);
        QTest::newRow("hostile paths")
            << ThemeFixture::themeText({up + S("bin\\sh"), S(".\\..\\..\\..\\bin\\sh"),
                                        S("/bin/sh"), S("C:\\x.bat"), S("c:x.bat"),
                                        S("\\\\server\\share\\x.bat"), S(".\\Options\\A\\Out.sh"),
                                        S(".\\Options\\A\\Up\\outside.sh"), S(".\\..\\outside.sh"),
                                        S(".\\varimond.ini"), S(".\\Options\\B\\RunMe.sh")})
            << 11 << QStringList{S("B")} << 10 << 0;
        QStringList many;
        for (int i = 0; i < 5000; ++i)
            many.append(i == 4 ? S(".\\Options\\A\\RunMe.sh") : S(".\\Options\\No%1\\x.sh").arg(i));
        QTest::newRow("5,000 entries")
            << ThemeFixture::themeText(many) << MaxThemeEntries << QStringList{S("A")} << 0 << 4000;
    }

    void applyEdgeCases()
    {
        QFETCH(QByteArray, theme);
        QFETCH(int, entries);
        QFETCH(QStringList, ran);
        QFETCH(int, outside);
        QFETCH(int, ignored);
        f->layout({S("A 2"), S("B 2"), S("Marked 3,selected")});
        QVERIFY(writeAll(f->root() + S("outside.sh"), f->script(S("OUTSIDE"))));
        QVERIFY(writeAll(f->program() + S("varimond.ini"), ""));
        QVERIFY(QFile::link(f->root() + S("outside.sh"), f->options() + S("A/Out.sh")));
        QVERIFY(QFile::link(f->root(), f->options() + S("A/Up")));
        f->theme(S("T"), theme);

        ThemeApplication app(ProgramSettings);
        app.Prepare(S("T"));
        QCOMPARE(static_cast<int>(app.Theme().Entries.size()), entries);
        QCOMPARE(app.Plan().Outside, outside);
        QCOMPARE(app.Plan().Ignored, ignored);
        QCOMPARE(static_cast<int>(app.Plan().Steps.size()), ran.size());
        runToEnd(app);
        QCOMPARE(ProgramSettings.ThemeName, S("T"));
        QVERIFY(!f->selected(S("Marked")));
        QTRY_COMPARE_WITH_TIMEOUT(f->runs().size(), ran.size(), HangMs);
        QStringList folders = f->ranFolders();
        folders.sort();
        QCOMPARE(folders, ran);
    }

    void refusedBeforeClearing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << S("missing");
        QTest::newRow("a folder") << S("dir");
        QTest::newRow("a FIFO") << S("fifo");
        QTest::newRow("over the size limit") << S("huge");
        QTest::newRow("a hostile name") << S("name");
        QTest::newRow("a Windows script without Wine") << S("wine");
        QTest::newRow("Cancel to another Wine in a prefix whose own is gone") << S("otherwine");
    }

    void refusedBeforeClearing()
    {
        QFETCH(QString, kind);
        f->layout({S("A 3,selected"), S("Win 2,runme=RunMe.bat")});
        QString name = S("Broken");
        QString message = S("Unable to read theme Broken");
        const QString path = f->themes() + S("Broken.ini");
        if (kind == S("dir")) {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == S("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        } else if (kind == S("huge")) {
            QFile big(path);
            QVERIFY(big.open(QIODevice::WriteOnly));
            QVERIFY(big.resize(platform::IniFile::MaxFileSize + 1));
        } else if (kind == S("name")) {
            QVERIFY(writeAll(f->program() + S("Escape.ini"), "[Option0]\n"));
            name = S("../Escape");
            message = S("Unable to read theme ../Escape");
        } else if (kind == S("wine")) {
            f->theme(S("Broken"), ThemeFixture::themeText({S(".\\Options\\Win\\RunMe.bat")}));
            message = platform::wineMissingMessage(); // the fixture's PATH has no wine
        } else if (kind == S("otherwine")) {
            // A pinned Proton prefix whose build was removed, a system wine, and the player
            // answers Cancel: no error to report, and nothing changes.
            f->theme(S("Broken"), ThemeFixture::themeText({S(".\\Options\\Win\\RunMe.bat")}));
            QVERIFY(writeAll(f->root() + S("bin/wine"), f->script(S("wine"))));
            QVERIFY(QFile::setPermissions(f->root() + S("bin/wine"),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            QVERIFY(writeAll(f->root() + S("compat/2510/config_info"),
                             "8.0-5\n/gone/Proton 8.0/files/share/fonts/\n"));
            QVERIFY(QDir().mkpath(f->root() + S("compat/2510/pfx")));
            ProgramSettings.WinePrefix = f->root() + S("compat/2510/pfx");
            qputenv("HOME", QFile::encodeName(f->root()));
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(f->root() + S("config")));
            platform::setWineQuestionHandler([](const platform::WineQuestion &) { return false; });
            message.clear();
        }
        ThemeApplication app(ProgramSettings);
        try {
            app.Prepare(name);
            QFAIL("the theme was applied");
        } catch (const AppError &e) {
            QCOMPARE(e.message(), message);
        }
        QVERIFY(f->selected(S("A")));
        QCOMPARE(f->mode(S("A")), 3);
        QCOMPARE(ProgramSettings.ThemeName, S("(Default)"));
        QVERIFY(f->runs().isEmpty());
        if (kind == S("otherwine"))
            QVERIFY(!QFile::exists(f->root() + S("config/varimond/wine-prefixes")));
    }

    void delays_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("delay");
        QTest::newRow("decimal") << QByteArray("Delay=1500\n") << 1500;
        QTest::newRow("hexadecimal") << QByteArray("Delay=$64\n") << 100;
        QTest::newRow("missing: the default") << QByteArray() << 2000;
        QTest::newRow("malformed: the default") << QByteArray("Delay=soon\n") << 2000;
        QTest::newRow("below the least") << QByteArray("Delay=-5\n") << MinimumThemeDelay;
        QTest::newRow("days") << QByteArray("Delay=2000000000\n") << MaximumThemeDelay;
    }

    void delays()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, delay);
        f->theme(S("D"), "[Option0]\n" + value + "RunMeFName=x\n");
        const ThemeContent theme = ReadTheme(ProgramSettings, S("D"));
        QCOMPARE(static_cast<int>(theme.Entries.size()), 1);
        QCOMPARE(theme.Entries[0].Delay, delay);
    }

    void pacing()
    {
        f->layout({S("A 2"), S("B 2"), S("C 2")});
        f->theme(S("Paced"), "[Option0]\nDelay=300\nRunMeFName=.\\Options\\A\\RunMe.sh\n"
                             "[Option1]\nDelay=200\nRunMeFName=.\\Options\\B\\RunMe.sh\n"
                             "[Option2]\nDelay=20\nRunMeFName=.\\Options\\C\\RunMe.sh\n");
        ThemeApplication app(ProgramSettings);
        app.Prepare(S("Paced"));
        QCOMPARE(app.Plan().TotalDelay(), 520);
        QList<int> counts;
        QList<int> waits;
        connect(&app, &ThemeApplication::stepStarted, this, [&](int, int count, int delay) {
            counts.append(count);
            waits.append(delay);
        });
        QElapsedTimer clock;
        clock.start();
        const QList<qint64> starts = runToEnd(app);
        const qint64 total = clock.elapsed();
        QCOMPARE(counts, (QList<int>{3, 3, 3}));
        QCOMPARE(waits, (QList<int>{300, 200, 20}));
        QCOMPARE(starts.size(), 3);
        // Each start waits for the delay stored with the entry before it; the end waits for the
        // last one.
        QVERIFY2(starts[1] - starts[0] >= 300, qPrintable(QString::number(starts[1] - starts[0])));
        QVERIFY2(starts[2] - starts[1] >= 200, qPrintable(QString::number(starts[2] - starts[1])));
        QVERIFY(total >= 520);
        // The scripts themselves started in the theme's order.
        QTRY_COMPARE_WITH_TIMEOUT(f->runs().size(), 3, HangMs);
        QList<ScriptRun> runs = f->runs();
        std::sort(runs.begin(), runs.end(),
                  [](const ScriptRun &a, const ScriptRun &b) { return a.ns < b.ns; });
        QCOMPARE((QStringList{runs[0].folder, runs[1].folder, runs[2].folder}),
                 (QStringList{S("A"), S("B"), S("C")}));
    }

    void abortStopsFurtherStarts()
    {
        f->layout({S("A 2"), S("B 2")});
        f->theme(S("Two"), ThemeFixture::themeText(
                               {S(".\\Options\\A\\RunMe.sh"), S(".\\Options\\B\\RunMe.sh")}, 5000));
        ThemeApplication app(ProgramSettings);
        app.Prepare(S("Two"));
        int finished = 0;
        connect(&app, &ThemeApplication::finished, this, [&] { ++finished; });
        app.Start();
        QCOMPARE(app.GetState(), ThemeApplication::State::Running);
        app.Abort();
        QCOMPARE(app.GetState(), ThemeApplication::State::Aborted);
        QCOMPARE(finished, 1);
        QTRY_COMPARE_WITH_TIMEOUT(f->ranFolders(), QStringList{S("A")}, HangMs);
        QCOMPARE(ProgramSettings.ThemeName, S("(Default)"));
    }
};

QTEST_GUILESS_MAIN(TestThemes)
#include "tst_themes.moc"
