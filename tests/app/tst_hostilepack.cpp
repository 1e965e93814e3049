// A stranger's pack that tries every way out of itself: its settings aim the theme folders and
// the options folder out of the pack, a group holds a link to a folder outside, a theme is a
// link to the user's .bashrc, another to the user's key, the themes folder carries a .profile,
// and an option holds a backup the user made. The real program starts and closes on it with a
// throw-away home holding the user's files; then a tick, a theme save and apply run through the
// program's own classes on the same pack. Afterwards every file outside the pack, the test's
// scratch folders and the user's Varimond configuration is byte for byte, mode and time as it
// was.
#include "common/TestFiles.h"
#include "core/Common.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "apply/ApplyChanges.h"
#include "history/InstallHistory.h"
#include "platform/Error.h"
#include "themes/ThemeApply.h"
#include "themes/ThemeStore.h"

#include <QDirIterator>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>

using namespace testfiles;

namespace {

// What a listing records of each entry: kind, permissions, inode, a file's size and time, and
// where a link points. Any creation, change or removal shows as a difference.
QMap<QString, QString> listing(const QString &root, const QStringList &skipped)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        bool skip = false;
        for (const QString &prefix : skipped)
            skip = skip || relative == prefix || relative.startsWith(prefix + QLatin1Char('/'));
        if (skip)
            continue;
        struct stat st = {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        // A folder's own time changes with what is made in it, which the entries below show.
        QString entry = QStringLiteral("%1 %2").arg(st.st_mode, 0, 8).arg(st.st_ino);
        if (!S_ISDIR(st.st_mode))
            entry += QStringLiteral(" %1 %2.%3")
                         .arg(st.st_size)
                         .arg(st.st_mtim.tv_sec)
                         .arg(st.st_mtim.tv_nsec);
        if (S_ISLNK(st.st_mode))
            entry += QStringLiteral(" -> ") + QFile::symLinkTarget(path);
        entries.insert(relative, entry);
    }
    return entries;
}

} // namespace

class TestHostilePack : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_root; // the scratch folder: home, pack, outside
    QString m_home;
    QString m_pack;

    QString options() const { return m_pack + S("/Options/"); }

    // The folders the program may write: the pack and the user's own Varimond folders.
    QStringList allowed() const
    {
        return {S("pack"), S("home/.config/varimond"), S("home/.local/state/varimond"),
                S("home/.local/share/varimond"), S("home/.cache/varimond"),
                S("home/.local/share/Varimond"), S("home/.cache/Varimond")};
    }

    QByteArray script(const QString &tag) const
    {
        return "#!/bin/sh\nprintf '%s\\n' '" + tag.toUtf8() + "' >> '" + m_root.toUtf8() +
               "/pack/ran.log'\n";
    }

    void option(const QString &folder, int mode, bool selected = false)
    {
        QVERIFY(writeAll(folder + S("/RunMe.sh"), script(QFileInfo(folder).fileName())));
        QVERIFY(QFile::setPermissions(folder + S("/RunMe.sh"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(writeAll(folder + S("/options.ini"),
                         "[RunMe]\nOptionRunMeFName=RunMe.sh\nOptionRunMe2FName=\n"
                         "[ProgramDelay]\nOptionProgramDelay=20\n[Mode]\nOptionMode=" +
                             QByteArray::number(mode) + "\n"));
        if (selected)
            QVERIFY(writeAll(folder + S("/Selected.ini"), "[Mode]\nSelected=1\n"));
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(S("QT_QPA_PLATFORM"), S("offscreen"));
        env.insert(S("HOME"), m_home);
        env.insert(S("XDG_CONFIG_HOME"), m_home + S("/.config"));
        env.insert(S("XDG_STATE_HOME"), m_home + S("/.local/state"));
        env.insert(S("XDG_DATA_HOME"), m_home + S("/.local/share"));
        env.insert(S("XDG_CACHE_HOME"), m_home + S("/.cache"));
        env.remove(S("WINEPREFIX"));
        return env;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_root = m_dir.path();
        m_home = m_root + S("/home");
        m_pack = m_root + S("/pack");

        // The user's own files.
        QVERIFY(writeAll(m_home + S("/.profile"), "# my profile\n"));
        QVERIFY(writeAll(m_home + S("/.bashrc"), "# my bashrc\n"));
        QVERIFY(writeAll(m_home + S("/.ssh/id_rsa"), "-----BEGIN KEY-----\n"));
        QVERIFY(QFile::setPermissions(m_home + S("/.ssh/id_rsa"), QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeAll(m_home + S("/Documents/x"), "mine"));
        // The base folders every desktop home has; the program's own folders go below them.
        QVERIFY(QDir().mkpath(m_home + S("/.local/state")));
        QVERIFY(writeAll(m_home + S("/.config/Electronic Arts/Dark Age of Camelot/user.dat"),
                         "[interface]\r\nitem1=7\r\n"));
        // A folder outside the pack that a link of the pack leads to, with options of its own.
        option(m_root + S("/outside/Docs/Guide"), 3, true);
        option(m_root + S("/outside/Docs/Other"), 2);

        // The pack.
        QVERIFY(writeAll(m_pack + S("/varimond.ini"),
                         "[ThemesDir]\r\nThemesDir=..\\home\\.ssh\r\nThemesAppDataDir=..\\\r\n"
                         "[OptionsDir]\r\nOptionsDir=Options\r\n"
                         "[Settings]\r\nPgmFirstRun=1\r\nShowThemesMenu=1\r\nCheckInterfaceMode=0\r\n"
                         "CheckForUpdateMode=0\r\nHideShell=1\r\n"
                         "[History]\r\nFolders=..\\home\\Documents;/etc;..\\home;..\\outside\r\n"));
        option(options() + S("Chat/Classic"), 3, true);
        option(options() + S("Chat/Compact"), 2);
        QVERIFY(QFile::link(m_root + S("/outside/Docs"), options() + S("Chat/Docs")));
        QVERIFY(writeAll(options() + S("Chat/Compact/.options.ini.backup"), "my backup"));
        QVERIFY(writeAll(m_pack + S("/Themes/(Default).ini"), "[Option0]\nDelay=20\nRunMeFName=.\\Options\\Chat\\Classic\\RunMe.sh\n"));
        QVERIFY(writeAll(m_pack + S("/Themes/.profile"), "evil profile\n"));
        QVERIFY(QFile::link(m_home + S("/.bashrc"), m_pack + S("/Themes/Evil.ini")));
        QVERIFY(QFile::link(m_home + S("/.ssh/id_rsa"), m_pack + S("/Themes/Key.ini")));
        QVERIFY(QFile::link(S(VARIMOND_BINARY_DIR "/src/app/varimond"), m_pack + S("/varimond")));
    }

    void packTouchesNothingOutside()
    {
        const QMap<QString, QString> before = listing(m_root, allowed());

        // First start and close of the real program.
        QProcess process;
        process.setProcessEnvironment(environment());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setWorkingDirectory(m_root);
        process.start(m_pack + S("/varimond"), {});
        QVERIFY(process.waitForStarted(10000));
        // The first-run copy is the start-up's last step on the disk; the warning about the
        // settings set aside follows it.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_home + S("/.config/varimond/Themes")).isDir(), 60000);
        QTest::qWait(500);
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QDir(m_home + S("/.config/varimond/Themes")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{S("(Default).ini")});

        // The same pack driven through the program's classes: a tick in the group that holds
        // the link, a theme saved over the linked name and under a new one, and applied.
        ProgramSettings = TProgramSettings();
        DeriveProgramPaths(ProgramSettings, m_pack + S("/varimond"));
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(ProgramSettings, sizes);
        QCOMPARE(ConfineSettingsFolders(ProgramSettings).size(), 1); // ThemesDir
        QCOMPARE(ProgramSettings.ThemesFolder, m_pack + S("/Themes"));
        qputenv("HOME", QFile::encodeName(m_home));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home + S("/.config")));
        // The history: the user's documents, /etc and the home folder are refused outright; the
        // folder outside is used once the user allows it at the first install.
        QStringList asked;
        history::InstallHistory::Environment historyEnvironment;
        historyEnvironment.homeDir = m_home;
        historyEnvironment.winePrefix = QString();
        historyEnvironment.optionsDir = ProgramSettings.optionsRoot();
        historyEnvironment.askConsent = [&asked](const QStringList &folders) {
            asked += folders;
            return true;
        };
        history::TheHistory().configure(ProgramSettings.ProgramDir, ProgramSettings.iniPath(),
                                        historyEnvironment);
        OptionTree tree;
        int count = 0;
        GetDirectories(tree, ProgramSettings.optionsRoot(), nullptr, count);
        OptionNode *compact = nullptr;
        tree.ForEach([&](OptionNode *n) {
            if (n->Text == S("Compact"))
                compact = n;
        });
        QVERIFY(compact);
        QCOMPARE(ApplyChanges(tree, compact, ProgramSettings.optionsRoot(), nullptr), 2);
        QCOMPARE(IniFileMode(options() + S("Chat/Compact")), 3);
        QCOMPARE(IniFileMode(options() + S("Chat/Classic")), 2);

        QCOMPARE(ShowAvailableThemes(ThemesFolder(ProgramSettings)), QStringList{S("(Default)")});
        QVERIFY_THROWS_EXCEPTION(AppError, SaveTheme(ProgramSettings, S("Evil")));
        // Classic still carries its mark; the linked Guide is read (never written) as selected.
        QCOMPARE(SaveTheme(ProgramSettings, S("Mine")), 2);
        ThemeApplication apply(ProgramSettings);
        apply.Prepare(S("Mine"));
        QCOMPARE(apply.Plan().LeftOutside, 1);
        bool done = false;
        connect(&apply, &ThemeApplication::finished, this, [&done] { done = true; });
        apply.Start();
        QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
        // The theme's last script may still be starting when its step ends.
        QTRY_VERIFY_WITH_TIMEOUT(readAll(m_pack + S("/ran.log")).contains("Classic"), 60000);

        // An install with history and its Restore: what the user made in the refused folders
        // since stays, and the folder outside is put back as it was (it did not change).
        QCOMPARE(asked, QStringList{QFileInfo(m_root + S("/outside")).canonicalFilePath()});
        const auto installs = history::TheHistory().log()->list();
        QCOMPARE(installs.size(), size_t(2)); // the tick and the theme
        QTRY_VERIFY_WITH_TIMEOUT(
            !history::TheHistory().log()->load(installs[0].id).after.isEmpty(), 20000);
        QVERIFY(writeAll(m_home + S("/Documents/new"), "made since"));
        history::TheHistory().restore(installs[1].id);
        QCOMPARE(readAll(m_home + S("/Documents/new")), QByteArray("made since"));
        QVERIFY(QFile::remove(m_home + S("/Documents/new")));
        QCOMPARE(IniFileMode(options() + S("Chat/Classic")), 3); // the selection before the tick

        // Nothing outside the pack and the user's Varimond folders came, went or changed.
        const QMap<QString, QString> after = listing(m_root, allowed());
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(S("changed or removed: ") + it.key()));
        for (auto it = after.cbegin(); it != after.cend(); ++it)
            QVERIFY2(before.contains(it.key()), qPrintable(S("created: ") + it.key()));
        QCOMPARE(readAll(m_home + S("/.bashrc")), QByteArray("# my bashrc\n"));
        QCOMPARE(readAll(options() + S("Chat/Compact/.options.ini.backup")), QByteArray("my backup"));
    }

private:
    static int IniFileMode(const QString &folder)
    {
        LoadOptionIniFile(folder + QLatin1Char('/'));
        return CurrentOption.OptionMode;
    }
};

QTEST_MAIN(TestHostilePack)
#include "tst_hostilepack.moc"
