// A stranger's pack that tries every way out of itself: its settings aim the theme folders and
// the options folder out of the pack, a group holds a link to a folder outside, a theme is a
// link to the user's .bashrc, another to the user's key, the themes folder carries a .profile,
// and an option holds a backup the user made. The real program starts and closes on it with a
// throw-away home holding the user's files; then a tick, a theme save and apply run through the
// program's own classes on the same pack. Afterwards every file outside the pack, the test's
// scratch folders and the user's Varimond configuration is byte for byte, mode and time as it
// was.
#include "apply/ApplyChanges.h"
#include "common/HttpTestServer.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "history/InstallHistory.h"
#include "history/SnapshotStore.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "packupdate/PackFixtures.h"
#include "packupdate/PackInstall.h"
#include "files/Error.h"
#include "files/PackState.h"
#include "themes/ThemeApply.h"
#include "themes/ThemeStore.h"

#include <QDirIterator>
#include <QMap>
#include <QCryptographicHash>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

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
        QVERIFY(process.waitForStarted(HangMs));
        // The first-run copy is the start-up's last step on the disk; the warning about the
        // settings set aside follows it. The copy runs in one go once its folder is made, and a
        // signal is only acted on from the event loop, so the whole copy is made by the close.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_home + S("/.config/varimond/Themes")).isDir(), HangMs);
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
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_home + S("/.local/state")));
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
        OptionNode *compact = FindNode(tree, S("Chat/Compact"));
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
        QTRY_VERIFY_WITH_TIMEOUT(done, HangMs);
        // The theme's last script may still be starting when its step ends.
        QTRY_VERIFY_WITH_TIMEOUT(readAll(m_pack + S("/ran.log")).contains("Classic"), HangMs);

        // An install with history and its Restore: what the user made in the refused folders
        // since stays, and the folder outside is put back as it was (it did not change).
        QCOMPARE(asked, QStringList{QFileInfo(m_root + S("/outside")).canonicalFilePath()});
        const auto installs = history::TheHistory().log()->list();
        QCOMPARE(installs.size(), size_t(2)); // the tick and the theme
        QTRY_VERIFY_WITH_TIMEOUT(!history::TheHistory().log()->load(installs[0].id).after.isEmpty(),
                                 HangMs);
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

    void shippedStateIsOddFiles()
    {
        static const char *const Homes[] = {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                                             "XDG_DATA_HOME", "XDG_CACHE_HOME"};
        // A pack that brings the program's own state folders ready-made: a history whose
        // commit holds a link into the user's .ssh, a run log naming it, FIFOs, a link to
        // /dev/zero and hard links to the user's .bashrc. A first start, a tick, a Restore of
        // every listed install and an update neither hang nor touch anything outside the pack
        // and the pack's state folder.
        QTemporaryDir dir;
        const QString root = dir.path(), home = root + S("/home"), pack = root + S("/pack/");
        QVERIFY(writeAll(home + S("/.bashrc"), "# my bashrc\n"));
        QVERIFY(writeAll(home + S("/.ssh/id_rsa"), "-----BEGIN KEY-----\n"));
        QVERIFY(QDir().mkpath(home + S("/.local/state")));
        QVERIFY(QDir().mkpath(home + S("/.config")));
        QVERIFY(writeAll(pack + S("varimond.ini"),
                         "[Settings]\r\nPgmFirstRun=1\r\nCheckInterfaceMode=0\r\n"
                         "CheckForUpdateMode=0\r\nHideShell=1\r\n[VersionInfo]\r\n"
                         "UserInterface=1.0\r\n[History]\r\nFolders=Data;Data/a\r\n"));
        option(pack + S("Options/Chat/Classic"), 3, true);
        option(pack + S("Options/Chat/Compact"), 2);
        QVERIFY(writeAll(pack + S("Themes/(Default).ini"), "[Option0]\nDelay=20\n"));
        QVERIFY(writeAll(pack + S("Data/keep.txt"), "data"));
        QVERIFY(QFile::link(S(VARIMOND_BINARY_DIR "/src/app/varimond"), pack + S("varimond")));

        // The crafted commit: Data holds "a -> ../../home/.ssh", Data/a an authorized_keys.
        QVERIFY(writeAll(root + S("/craft/keys/authorized_keys"), "evil"));
        QVERIFY(QDir().mkpath(root + S("/craft/Data")));
        QVERIFY(QFile::link(S("../../home/.ssh"), root + S("/craft/Data/a")));
        history::SnapshotStore store(pack + S(".varimond-history"));
        store.open();
        const QString commit = store.snapshot(
            {{S("Data"), S("Data"), QFile::encodeName(root + S("/craft/Data")), {}, false, false},
             {S("Data/a"), history::folderKey(S("Data/a")), QFile::encodeName(root + S("/craft/keys")),
              {}, false, false}},
            S("crafted"));
        QVERIFY(QDir(root + S("/craft")).removeRecursively());
        const QString log = pack + S(".varimond-log/20200101-000000-000/");
        QVERIFY(writeAll(log + S("session.ini"),
                         "[Install]\nTime=2020-01-01 00:00:00.000\nKind=tick\nOption=Data\n"
                         "Before=" + commit.toLatin1() + "\nAfter=" + commit.toLatin1() +
                             "\nClosed=1\nStarts=1\n[Start1]\nScript=RunMe.sh\n"));
        const QByteArray bashrc = QFile::encodeName(home + S("/.bashrc"));
        auto fifo = [](const QString &path) {
            return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
        };
        auto hardLink = [&bashrc](const QString &path) {
            QFile::remove(path);
            return ::link(bashrc.constData(), QFile::encodeName(path).constData()) == 0;
        };
        QVERIFY(fifo(log + S("1.exit")));
        QVERIFY(hardLink(pack + S(".varimond-history/varimond-statcache")));
        QVERIFY(QDir().mkpath(pack + S(".varimond-update")));
        QVERIFY(fifo(pack + S(".varimond-update/journal")));
        QVERIFY(hardLink(pack + S(".varimond-update/journal.tmp")));
        QVERIFY(QFile::link(S("/dev/zero"), pack + S(".varimond-update/installed")));

        const QMap<QString, QString> before = listing(root, allowed());
        const QMap<QString, QString> shipped = listing(pack + S(".varimond-update"), {});

        // First start: the window comes, whatever the pack brought.
        QProcessEnvironment env = environment();
        for (const char *name : Homes)
            env.insert(S(name), env.value(S(name)).replace(m_home, home));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(pack + S("varimond"), {});
        QVERIFY(process.waitForStarted(HangMs));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(home + S("/.config/varimond/Themes")).isDir(), 60000);
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));

        // A tick with its snapshots, then a Restore of every install listed.
        for (const char *name : Homes)
            qputenv(name, env.value(S(name)).toUtf8());
        // The history the pack brought was left unread, and the first start said so once.
        QVERIFY(readAll(platform::packStateFolder(pack) + S("log/notices.txt"))
                    .contains("The history inside the pack (.varimond-history) is not used"));
        ProgramSettings = TProgramSettings();
        DeriveProgramPaths(ProgramSettings, pack + S("varimond"));
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(ProgramSettings, sizes);
        history::InstallHistory::Environment historyEnvironment;
        historyEnvironment.homeDir = home;
        historyEnvironment.winePrefix = QString();
        historyEnvironment.optionsDir = ProgramSettings.optionsRoot();
        history::TheHistory().configure(ProgramSettings.ProgramDir, ProgramSettings.iniPath(),
                                        historyEnvironment);
        OptionTree tree;
        int count = 0;
        GetDirectories(tree, ProgramSettings.optionsRoot(), nullptr, count);
        OptionNode *compact = FindNode(tree, S("Chat/Compact"));
        QVERIFY(compact);
        ApplyChanges(tree, compact, ProgramSettings.optionsRoot(), nullptr);
        const auto installs = history::TheHistory().log()->list();
        QVERIFY(!installs.empty());
        QTRY_VERIFY_WITH_TIMEOUT(
            !history::TheHistory().log()->load(installs[0].id).after.isEmpty(), 60000);
        for (const history::InstallRecord &record : installs) {
            try {
                history::TheHistory().restore(record.id);
            } catch (const AppError &) {
            }
        }

        // An update, from a local server.
        HttpTestServer server;
        QVERIFY(server.start());
        const QString archive = root + S("/p.tar.gz");
        QVERIFY(fixtures::makeArchive(
            archive, S("tar.gz"),
            {{"varimond.ini", "[VersionInfo]\nUserInterface=2.0\n"},
             {"Options/Chat/Classic/options.ini", "[Mode]\nOptionMode=3\n"}}));
        server.set(S("/p.tar.gz"), Route{Route::Whole, 200, readAll(archive), {}, "application/gzip"});
        packupdate::PackageInfo info;
        info.archive = server.url(S("/p.tar.gz"));
        info.sha256 = QCryptographicHash::hash(readAll(archive), QCryptographicHash::Sha256).toHex();
        info.size = QFileInfo(archive).size();
        info.version = S("2.0");
        QVERIFY(QFile::remove(archive));
        packupdate::PackInstall install;
        QSignalSpy done(&install, &packupdate::PackInstall::finished);
        install.start(info, {pack, S("varimond.ini"), S("varimond"), S("1.0"), QString()});
        QVERIFY(done.wait(60000));
        QVERIFY2(done.first().first().toBool(), qPrintable(install.message()));

        const QMap<QString, QString> after = listing(root, allowed());
        QCOMPARE(after, before);
        QCOMPARE(listing(pack + S(".varimond-update"), {}), shipped);
        QCOMPARE(readAll(home + S("/.bashrc")), QByteArray("# my bashrc\n"));
        QCOMPARE(QDir(home + S("/.ssh")).entryList(QDir::Files | QDir::Hidden), QStringList{S("id_rsa")});
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
