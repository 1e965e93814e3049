// The history of installs on real folders: real .sh scripts started through the history hook
// change a named folder; the snapshots, the run log, Restore and the bad cases are checked on
// disk.

#include "HistoryPack.h"
#include "apply/ApplyChanges.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "history/HistoryFolders.h"
#include "history/InstallHistory.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "themes/ThemeApply.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

using namespace testfiles;
using history::FileChange;
using history::TheHistory;

namespace {

QStringList Describe(const std::vector<FileChange> &changes)
{
    QStringList out;
    for (const FileChange &c : changes)
        out.append(QString(QLatin1Char("ACR"[c.kind])) + QLatin1Char(' ') + c.path);
    out.sort();
    return out;
}

// The initial interface folder: a plain file, an executable one and a sub-folder.
void Seed(const HistoryPack &pack)
{
    writeAll(pack.ui + S("a.txt"), "one\r\n");
    writeAll(pack.ui + S("run.sh"), "#!/bin/sh\necho hi\n");
    QFile::setPermissions(pack.ui + S("run.sh"),
                          QFile::permissions(pack.ui + S("run.sh")) | QFile::ExeOwner);
    writeAll(pack.ui + S("sub/b.txt"), QByteArray("two\0bytes", 9));
    writeAll(pack.ui + S("sub/keep.txt"), "kept");
}

QByteArray Quoted(const QString &path)
{
    return "'" + QFile::encodeName(path) + "'";
}

// Waits until the install's "after" snapshot was taken.
bool Settled(const HistoryPack &pack, const QString &id)
{
    return !pack.record(id).after.isEmpty() || !pack.record(id).snapshotError.isEmpty();
}

QString GitLog(const QString &repo)
{
    QProcess git;
    git.start(S("git"), {S("--git-dir=") + repo, S("log"), S("--format=%B")});
    git.waitForFinished(HangMs);
    return QString::fromUtf8(git.readAllStandardOutput());
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    void resolveFolders_data();
    void resolveFolders();
    void installRecordsChanges_data();
    void installRecordsChanges();
    void restoreIsExactAndUndoable();
    void secondInstallOfSameOption();
    void restoreRefusedWhileScriptRuns();
    void outputLandsAfterProgramClosed();
    void damagedRepositoryMovedAside_data();
    void damagedRepositoryMovedAside();
    void packWithoutHistoryKeepsLogOnly();
    void missingFolderStoredEmptyReportedOnce();
    void linksAreNotFollowed();
    void tickThroughApplyChanges();
    void settingsSaveKeepsFolders();
    void themeIsOneInstall();
    void restoreBringsTheSelectionBack_data();
    void restoreBringsTheSelectionBack();
    void refusedTickLeavesNoInstall();
    void cacheNeverHidesAChange_data();
    void cacheNeverHidesAChange();
};

void TestHistory::resolveFolders_data()
{
    QTest::addColumn<QString>("entry");
    // The path below the temporary root; "?" before it when the user must allow it first;
    // "!" + a word of the problem when it is refused.
    QTest::addColumn<QString>("expected");

    QTest::newRow("relative with backslashes") << S("..\\ui\\custom") << S("?ui/custom");
    QTest::newRow("relative with slashes") << S("../ui/custom") << S("?ui/custom");
    QTest::newRow("inside the program folder") << S("Data") << S("pack/Data");
    QTest::newRow("the history itself") << S(".varimond-history") << S("!Varimond's own");
    QTest::newRow("inside the run log") << S(".varimond-log\\x") << S("!Varimond's own");
    QTest::newRow("link inside the pack out of it") << S("Data\\out") << S("?outside");
    QTest::newRow("above the parent") << S("..\\..\\@leaf") << S("?@leaf");
    QTest::newRow("link out of the parent") << S("..\\escape") << S("?outside");
    QTest::newRow("explicit outside folder") << S("@outside") << S("?outside");
    QTest::newRow("root") << S("/") << S("!root");
    QTest::newRow("home folder") << S("@home") << S("!home");
    QTest::newRow("above home") << S("@home/..") << S("!home");
    QTest::newRow("/home") << S("/home") << S("!home");
    for (const char *system :
         {"/etc", "/etc/ssh", "/dev", "/dev/shm", "/usr/share", "/lib", "/lib64", "/boot",
          "/proc/self", "/sys", "/var/lib", "/run", "/bin", "/sbin"})
        QTest::newRow(system) << S(system) << S("!system");
    for (const char *own : {"@home/Documents", "@home/Documents/x", "@home/.ssh", "@home/.config",
                            "@home/.local/share/x", "@home/.gnupg", "@home/Desktop",
                            "@home/Downloads", "@home/Music", "@home/Pictures", "@home/Videos"})
        QTest::newRow(own) << S(own) << S("!own folder");
    QTest::newRow("link in the pack to Documents") << S("ToDocs") << S("!own folder");
    QTest::newRow("games below home") << S("@home/Games/daoc") << S("?home/me/Games/daoc");
    QTest::newRow("a file") << S("..\\file.txt") << S("!not a folder");
    QTest::newRow("C: drive, no prefix") << S("C:\\Games\\UI") << S("!Wine");
    QTest::newRow("C: drive in the prefix")
        << S("@prefix C:\\Games\\UI") << S("wine/drive_c/games/ui");
    QTest::newRow("prefix's drive_c named by its path")
        << S("@prefix @root/wine/drive_c/games") << S("wine/drive_c/games");
    QTest::newRow("other drive") << S("@prefix D:\\Games") << S("!Wine");
    QTest::newRow("Proton prefix below ~/.local")
        << S("@proton C:\\Games") << S("home/me/.local/share/Steam/pfx/drive_c/Games");
    QTest::newRow("Proton prefix's folder outside drive_c")
        << S("@proton @home/.local/share/Steam/pfx") << S("!own folder");
    QTest::newRow("drive_c that is a link to Documents") << S("@fake C:\\x") << S("!own folder");
}

void TestHistory::resolveFolders()
{
    QFETCH(QString, entry);
    QFETCH(QString, expected);
    QTemporaryDir outer;
    HistoryPack pack;
    const QString home = pack.root + S("home/me");
    for (const char *sub :
         {"Documents/x", "Games/daoc", ".ssh", ".local/share/Steam/pfx/drive_c/Games"})
        QDir().mkpath(home + S("/") + S(sub));
    QDir().mkpath(pack.programDir + S("Data"));
    // Two levels above the pack is the temporary root's parent: a folder there, named after it.
    const QString leaf = QFileInfo(pack.temp->path()).fileName();
    entry.replace(S("@leaf"), leaf + S("-elsewhere"));
    expected.replace(S("@leaf"), S("../") + leaf + S("-elsewhere"));
    writeAll(pack.root + S("file.txt"), "x");
    QVERIFY(QFile::link(outer.path(), pack.root + S("escape")));
    QVERIFY(QFile::link(outer.path(), pack.programDir + S("Data/out")));
    QVERIFY(QFile::link(home + S("/Documents"), pack.programDir + S("ToDocs")));
    QDir().mkpath(pack.root + S("fake"));
    QVERIFY(QFile::link(home + S("/Documents"), pack.root + S("fake/drive_c")));
    entry.replace(S("@home"), home);
    entry.replace(S("@outside"), outer.path());
    entry.replace(S("@root/"), pack.root);
    // The Wine prefix's folders are found whatever the case of the name.
    QDir().mkpath(pack.root + S("wine/drive_c/games/ui"));
    QString prefix;
    for (const auto &[tag, folder] : {std::pair{S("@prefix "), S("wine")},
                                      std::pair{S("@proton "), S("home/me/.local/share/Steam/pfx")},
                                      std::pair{S("@fake "), S("fake")}}) {
        if (entry.startsWith(tag)) {
            entry = entry.mid(tag.size());
            prefix = pack.root + folder;
        }
    }

    const auto folders = history::resolveFolders({entry}, pack.programDir, home, prefix);
    QCOMPARE(folders.size(), size_t(1));
    const history::NamedFolder &f = folders.front();
    if (expected.startsWith(QLatin1Char('!'))) {
        QVERIFY2(f.problem.contains(expected.mid(1)), qPrintable(f.problem));
        QVERIFY(f.path.isEmpty());
        QVERIFY(!f.usable());
    } else {
        QVERIFY2(f.problem.isEmpty(), qPrintable(f.problem));
        const bool consent = expected.startsWith(QLatin1Char('?'));
        QCOMPARE(f.needsConsent, consent);
        if (consent)
            expected = expected.mid(1);
        const QString want =
            expected == S("outside")
                ? QFileInfo(outer.path()).canonicalFilePath()
                : QDir::cleanPath(QFileInfo(pack.root).canonicalFilePath() + S("/") + expected);
        QCOMPARE(QFile::decodeName(f.path), want);
        QCOMPARE(history::entryFromKey(f.key),
                 QString(entry).replace(QLatin1Char('\\'), QLatin1Char('/')));
    }
}

void TestHistory::installRecordsChanges_data()
{
    QTest::addColumn<QByteArray>("body"); // shell lines; $U is the interface folder
    QTest::addColumn<QStringList>("changes");

    QTest::newRow("adds") << QByteArray("printf new > \"$U/new.txt\"\n")
                          << QStringList{S("A ../ui/custom/new.txt")};
    QTest::newRow("changes") << QByteArray("printf changed > \"$U/a.txt\"\n")
                             << QStringList{S("C ../ui/custom/a.txt")};
    QTest::newRow("removes") << QByteArray("rm \"$U/sub/b.txt\"\n")
                             << QStringList{S("R ../ui/custom/sub/b.txt")};
    QTest::newRow("executable bit")
        << QByteArray("chmod -x \"$U/run.sh\"\n") << QStringList{S("C ../ui/custom/run.sh")};
    QTest::newRow("folder replaced by a file")
        << QByteArray("rm -r \"$U/sub\"; printf f > \"$U/sub\"\n")
        << QStringList{S("A ../ui/custom/sub"), S("R ../ui/custom/sub/b.txt"),
                       S("R ../ui/custom/sub/keep.txt")};
    QTest::newRow("nothing") << QByteArray("true\n") << QStringList{};
}

void TestHistory::installRecordsChanges()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, changes);
    HistoryPack pack;
    Seed(pack);
    pack.configure();
    QVERIFY(TheHistory().snapshotsOn());

    const QString id = pack.install("U=" + Quoted(pack.ui) + "\n" + body + "echo done \"$1\"\n");
    QVERIFY(!id.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    const history::InstallRecord record = pack.record(id);
    QVERIFY2(record.snapshotError.isEmpty(), qPrintable(record.snapshotError));
    QCOMPARE(record.option, S("Options/Bars"));
    QCOMPARE(record.scripts, QStringList{S("RunMe.sh")});
    QCOMPARE(record.starts.size(), size_t(1));
    QVERIFY(record.starts[0].hidden);
    QCOMPARE(record.starts[0].parameters, QStringList{S("-h")});
    QVERIFY(record.starts[0].hasExitStatus);
    QCOMPARE(record.starts[0].exitStatus, 0);
    QCOMPARE(TheHistory().log()->output(record, 1), QByteArray("done -h\n"));
    QCOMPARE(Describe(TheHistory().installChanges(record)), changes);

    // The program's own repository only; the commits name the option and the script.
    QVERIFY(!QFileInfo::exists(pack.ui + S(".git")));
    QVERIFY(QFileInfo(pack.repo() + S("/HEAD")).isFile());
    const QString log = GitLog(pack.repo());
    QVERIFY2(log.contains(S("Before install of Options/Bars")), qPrintable(log));
    QVERIFY2(log.contains(S("After install of Options/Bars")), qPrintable(log));
    QVERIFY(log.contains(S("Scripts: RunMe.sh")));
}

void TestHistory::restoreIsExactAndUndoable()
{
    HistoryPack pack;
    Seed(pack);
    QDir().mkpath(pack.ui + S("empty"));
    QVERIFY(QFile::link(S("a.txt"), pack.ui + S("alias")));
    pack.configure();
    const QMap<QString, QByteArray> original = FolderState(pack.ui);

    const QString id = pack.install("U=" + Quoted(pack.ui) +
                                    "\nprintf 'changed' > \"$U/a.txt\"\n"
                                    "printf new > \"$U/new.txt\"\n"
                                    "mkdir -p \"$U/newdir/deep\"; printf x > \"$U/newdir/deep/x\"\n"
                                    "rm \"$U/sub/b.txt\"; rmdir \"$U/empty\"\n"
                                    "chmod -x \"$U/run.sh\"; rm \"$U/alias\"\n"
                                    "ln -s sub \"$U/alias2\"\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    const QMap<QString, QByteArray> installed = FolderState(pack.ui);
    QVERIFY(installed != original);

    const auto preview = TheHistory().restorePreview(id);
    QVERIFY(Describe(preview).contains(S("R ../ui/custom/new.txt")));
    QVERIFY(Describe(preview).contains(S("A ../ui/custom/sub/b.txt")));
    QCOMPARE(FolderState(pack.ui), installed); // a preview changes nothing

    const auto done = TheHistory().restore(id);
    QCOMPARE(Describe(done), Describe(preview));
    QCOMPARE(FolderState(pack.ui), original);
    QVERIFY(QFileInfo(pack.ui + S("run.sh")).isExecutable());

    // The restore is an entry of its own, newest first, and undoing it brings the install back.
    const auto records = TheHistory().log()->list();
    QCOMPARE(records.size(), size_t(2));
    QCOMPARE(records[0].kind, S("restore"));
    QVERIFY(!records[0].after.isEmpty());
    TheHistory().restore(records[0].id);
    QCOMPARE(FolderState(pack.ui), installed);
    QCOMPARE(TheHistory().log()->list().size(), size_t(3));
}

void TestHistory::secondInstallOfSameOption()
{
    HistoryPack pack;
    pack.configure();
    const QByteArray write = "printf \"$V\" > " + Quoted(pack.ui + S("theme.xml")) + "\n";
    const QString first = pack.install("V=v1\n" + write);
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, first), HangMs);
    const QString second = pack.install("V=v2\n" + write);
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, second), HangMs);

    const auto records = TheHistory().log()->list();
    QCOMPARE(records.size(), size_t(2));
    QCOMPARE(records[0].id, second); // newest first
    QCOMPARE(Describe(TheHistory().installChanges(records[1])),
             QStringList{S("A ../ui/custom/theme.xml")});
    QCOMPARE(Describe(TheHistory().installChanges(records[0])),
             QStringList{S("C ../ui/custom/theme.xml")});

    TheHistory().restore(second);
    QCOMPARE(readAll(pack.ui + S("theme.xml")), QByteArray("v1"));
    TheHistory().restore(first);
    QVERIFY(!QFileInfo::exists(pack.ui + S("theme.xml")));
}

void TestHistory::restoreRefusedWhileScriptRuns()
{
    HistoryPack pack;
    Seed(pack);
    pack.configure();
    const QString flag = pack.programDir + S("go");
    const QString id = pack.install("while [ ! -e " + Quoted(flag) +
                                    " ]; do sleep 0.02; done\n"
                                    "printf late > " +
                                    Quoted(pack.ui + S("a.txt")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(TheHistory().anyRunning(), HangMs);
    QVERIFY(pack.record(id).after.isEmpty());
    const QMap<QString, QByteArray> before = FolderState(pack.ui);
    try {
        TheHistory().restore(id);
        QFAIL("restore ran while a script was running");
    } catch (const AppError &e) {
        QVERIFY2(e.message().contains(S("still running")), qPrintable(e.message()));
    }
    QCOMPARE(FolderState(pack.ui), before);
    QCOMPARE(TheHistory().log()->list().size(), size_t(1)); // the refusal records nothing

    writeAll(flag, "");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    QVERIFY(!TheHistory().anyRunning());
    TheHistory().restore(id);
    QCOMPARE(readAll(pack.ui + S("a.txt")), QByteArray("one\r\n"));
}

void TestHistory::outputLandsAfterProgramClosed()
{
    HistoryPack pack;
    pack.configure();
    const QString flag = pack.programDir + S("go");
    const QString id = pack.install("while [ ! -e " + Quoted(flag) +
                                    " ]; do sleep 0.02; done\n"
                                    "echo finished; echo oops >&2\nprintf x > " +
                                    Quoted(pack.ui + S("late.txt")) + "\nexit 3\n");
    // The program ends (its history is dropped) and starts again while the script runs.
    pack.configure();
    QVERIFY(pack.record(id).after.isEmpty());
    writeAll(flag, "");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pack.record(id).folder + S("1.exit")), HangMs);
    pack.configure();
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    const history::InstallRecord record = pack.record(id);
    QVERIFY(record.starts[0].hasExitStatus);
    QCOMPARE(record.starts[0].exitStatus, 3);
    QCOMPARE(TheHistory().log()->output(record, 1), QByteArray("finished\noops\n"));
    QCOMPARE(Describe(TheHistory().installChanges(record)),
             QStringList{S("A ../ui/custom/late.txt")});
}

void TestHistory::damagedRepositoryMovedAside_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("HEAD overwritten") << S("head");
    QTest::newRow("latest commit corrupt") << S("commit");
    QTest::newRow("objects gone") << S("objects");
    QTest::newRow("not a repository") << S("file");
}

void TestHistory::damagedRepositoryMovedAside()
{
    QFETCH(QString, damage);
    HistoryPack pack;
    Seed(pack);
    pack.configure();
    const QString id = pack.install("true\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    const QString after = pack.record(id).after;

    if (damage == S("head")) {
        writeAll(pack.repo() + S("/HEAD"), "garbage\n");
    } else if (damage == S("commit")) {
        const QString object = pack.repo() + S("/objects/") + after.left(2) + S("/") + after.mid(2);
        QVERIFY(QFile::setPermissions(object, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeAll(object, "not zlib data"));
    } else if (damage == S("objects")) {
        QVERIFY(QDir(pack.repo() + S("/objects")).removeRecursively());
    } else {
        QVERIFY(QDir(pack.repo()).removeRecursively());
        writeAll(pack.repo(), "a file where the repository was");
    }
    const QByteArray damagedHead = readAll(pack.repo() + S("/HEAD"));

    pack.configure();
    const QStringList aside =
        QDir(pack.state()).entryList({S("history.broken-*")}, QDir::AllEntries | QDir::Hidden);
    QCOMPARE(aside.size(), 1);
    if (damage == S("head"))
        QCOMPARE(readAll(pack.state() + aside[0] + S("/HEAD")), damagedHead); // kept as it was
    const QStringList notices = TheHistory().log()->notices();
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices[0].contains(S("damaged")) && notices[0].contains(aside[0]),
             qPrintable(notices[0]));

    // A new repository takes the next install; the damaged one is never snapshotted.
    const QString next = pack.install("printf n > " + Quoted(pack.ui + S("n.txt")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, next), HangMs);
    QVERIFY2(pack.record(next).snapshotError.isEmpty(),
             qPrintable(pack.record(next).snapshotError));
    QCOMPARE(Describe(TheHistory().installChanges(pack.record(next))),
             QStringList{S("A ../ui/custom/n.txt")});
}

void TestHistory::packWithoutHistoryKeepsLogOnly()
{
    HistoryPack pack(QString{});
    Seed(pack);
    pack.configure();
    QVERIFY(!TheHistory().snapshotsOn());
    const QString id = pack.install("echo \"installing $1\"\nexit 2\n");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pack.record(id).folder + S("1.exit")), HangMs);
    const history::InstallRecord record = pack.record(id);
    QCOMPARE(record.starts[0].exitStatus, 2);
    QCOMPARE(TheHistory().log()->output(record, 1), QByteArray("installing -h\n"));
    QVERIFY(record.before.isEmpty());
    QVERIFY(!QFileInfo::exists(pack.repo()));
    QVERIFY(!QFileInfo::exists(pack.ui + S(".git")));
    QVERIFY_THROWS_EXCEPTION(AppError, TheHistory().restore(id));

    // A script that writes far more than is kept still runs to its end and its status lands.
    const QString flood = pack.install("head -c 6000000 /dev/zero | tr '\\0' x\necho tail-end >" +
                                       Quoted(pack.programDir + S("ran-to-end")) + "\nexit 5\n");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pack.record(flood).folder + S("1.exit")), HangMs);
    const history::InstallRecord flooded = pack.record(flood);
    QCOMPARE(flooded.starts[0].exitStatus, 5);
    QVERIFY(QFileInfo::exists(pack.programDir + S("ran-to-end")));
    const QByteArray out = readAll(flooded.folder + S("1.out"));
    const QByteArray note("\n[output cut after 4 MiB]\n");
    QCOMPARE(out.size(), history::RunLog::OutputCap + note.size());
    QVERIFY(out.endsWith("x" + note));
    // The settings file is read, never written.
    QVERIFY(!readAll(pack.iniPath()).contains("History"));
}

void TestHistory::missingFolderStoredEmptyReportedOnce()
{
    HistoryPack pack(S("..\\ui\\custom;..\\ui\\later"));
    pack.configure();
    pack.configure();
    const QStringList notices = TheHistory().log()->notices();
    QCOMPARE(notices.size(), 1);
    QVERIFY(notices[0].contains(S("..\\ui\\later")) && notices[0].contains(S("does not exist")));
    QVERIFY(!QFileInfo::exists(pack.root + S("ui/later"))); // not made on disk by a snapshot

    const QString id = pack.install("mkdir -p " + Quoted(pack.root + S("ui/later/x")) +
                                    "\nprintf y > " + Quoted(pack.root + S("ui/later/x/y")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    QCOMPARE(Describe(TheHistory().installChanges(pack.record(id))),
             QStringList{S("A ../ui/later/x/y")});
    TheHistory().restore(id);
    QVERIFY(QFileInfo(pack.root + S("ui/later")).isDir());
    QVERIFY(QDir(pack.root + S("ui/later")).isEmpty());
}

void TestHistory::linksAreNotFollowed()
{
    HistoryPack pack;
    QTemporaryDir outside;
    writeAll(outside.path() + S("/secret"), "s1");
    QVERIFY(QFile::link(outside.path(), pack.ui + S("out")));
    pack.configure();
    const QString id = pack.install("printf n > " + Quoted(pack.ui + S("n")) + "\nprintf s2 > " +
                                    Quoted(outside.path() + S("/secret")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    // Only the folder's own file changed: the link is stored as a link.
    QCOMPARE(Describe(TheHistory().installChanges(pack.record(id))),
             QStringList{S("A ../ui/custom/n")});
    TheHistory().restore(id);
    // The script's sandbox kept it from writing through the link.
    QCOMPARE(readAll(outside.path() + S("/secret")), QByteArray("s1"));
    QVERIFY(QFileInfo(pack.ui + S("out")).isSymLink());
    QVERIFY(!QFileInfo::exists(pack.ui + S("n")));
}

void TestHistory::tickThroughApplyChanges()
{
    HistoryPack pack;
    const QString options = pack.programDir + S("Options/");
    pack.option = options + S("UI/Bars/"); // a top-level folder is a group, never an option
    writeAll(
        pack.option + S("options.ini"),
        "[RunMe]\nOptionRunMeFName=RunMe.sh\nOptionRunMe2FName=RunMe2.sh\n[Mode]\nOptionMode=2\n");
    writeAll(pack.option + S("RunMe.sh"),
             "echo first \"$@\"\nprintf 1 > " + Quoted(pack.ui + S("one")) + "\n");
    writeAll(pack.option + S("RunMe2.sh"), "printf 2 > " + Quoted(pack.ui + S("two")) + "\n");
    pack.configure();
    OptionTree tree;
    int count = 0;
    GetDirectories(tree, options, nullptr, count);
    // The normal window opens in a terminal that runs its command and ends with it.
    const QString bin = pack.root + S("bin");
    writeAll(bin + S("/x-terminal-emulator"), "#!/bin/sh\n[ \"$1\" = -T ] && shift 2\n[ \"$1\" = -e ] && shift\nexec \"$@\"\n");
    QFile::setPermissions(bin + S("/x-terminal-emulator"), QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    testfiles::addSandbox(bin);
    qputenv("PATH", bin.toUtf8());
    const bool hideShell = ProgramSettings.HideShell;
    ProgramSettings.HideShell = true;
    ApplyChanges(tree, FindNode(tree, S("UI/Bars")), options, nullptr);
    ProgramSettings.HideShell = hideShell;
    qputenv("PATH", path);

    const auto records = TheHistory().log()->list();
    QCOMPARE(records.size(), size_t(1));
    const QString id = records[0].id;
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    const history::InstallRecord record = pack.record(id);
    QCOMPARE(record.option, S("Options/UI/Bars"));
    QCOMPARE(record.scripts, (QStringList{S("RunMe.sh"), S("RunMe2.sh")}));
    QCOMPARE(record.starts.size(), size_t(2));
    QVERIFY(record.starts[0].hidden);
    QVERIFY(!record.starts[1].hidden);
    QCOMPARE(TheHistory().log()->output(record, 1), QByteArray("first -h\n"));
    // The status lands though the script's PATH held none of the wrapper's tools.
    QTRY_VERIFY_WITH_TIMEOUT(pack.record(id).starts[0].hasExitStatus, HangMs);
    QCOMPARE(Describe(TheHistory().installChanges(pack.record(id))),
             (QStringList{S("A ../ui/custom/one"), S("A ../ui/custom/two")}));
}

void TestHistory::settingsSaveKeepsFolders()
{
    HistoryPack pack;
    TProgramSettings settings;
    DeriveProgramPaths(settings, pack.programDir + S("varimond"));
    SecondaryWindowSizes sizes;
    LoadProgramIniFile(settings, sizes);
    SaveProgramIniFile(settings, WindowStateAtClose{});
    QCOMPARE(platform::IniFile::readString(pack.iniPath(), S("History"), S("Folders"), {}),
             S("..\\ui\\custom"));
}

void TestHistory::themeIsOneInstall()
{
    HistoryPack pack;
    for (const char *name : {"A", "B"}) {
        const QString folder = pack.programDir + S("Options/UI/") + S(name) + S("/");
        writeAll(folder + S("RunMe.sh"),
                 "echo theme $1\nprintf x > " + Quoted(pack.ui + S(name)) + "\n");
    }
    writeAll(pack.programDir + S("Themes/Mine.ini"),
             "[Option0]\r\nRunMeFName=.\\Options\\UI\\A\\RunMe.sh\r\nDelay=20\r\n"
             "[Option1]\r\nRunMeFName=.\\Options\\UI\\B\\RunMe.sh\r\nDelay=20\r\n");
    pack.configure();
    TProgramSettings settings;
    settings.ProgramDir = pack.programDir;
    settings.OptionsDir = S("Options");
    settings.ThemesDir = S("Themes");
    settings.HideShell = true;
    settings.DefaultProgramDelay = 20;
    ThemeApplication theme(settings);
    theme.Prepare(S("Mine"));
    theme.Start();
    QTRY_VERIFY_WITH_TIMEOUT(theme.GetState() == ThemeApplication::State::Complete, HangMs);

    const auto records = TheHistory().log()->list();
    QCOMPARE(records.size(), size_t(1));
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, records[0].id), HangMs);
    const history::InstallRecord record = pack.record(records[0].id);
    QCOMPARE(record.kind, S("theme"));
    QCOMPARE(record.option, S("Theme Mine"));
    QCOMPARE(record.scripts, (QStringList{S("Options/UI/A/RunMe.sh"), S("Options/UI/B/RunMe.sh")}));
    QCOMPARE(record.starts.size(), size_t(2));
    QCOMPARE(TheHistory().log()->output(record, 2), QByteArray("theme -h\n"));
    QCOMPARE(Describe(TheHistory().installChanges(record)),
             (QStringList{S("A ../ui/custom/A"), S("A ../ui/custom/B")}));
    TheHistory().restore(record.id);
    QVERIFY(QDir(pack.ui).isEmpty());
}

void TestHistory::restoreBringsTheSelectionBack_data()
{
    QTest::addColumn<bool>("theme"); // a theme naming B, else a tick of B
    QTest::newRow("tick") << false;
    QTest::newRow("theme") << true;
}

void TestHistory::restoreBringsTheSelectionBack()
{
    QFETCH(bool, theme);
    // A group of two options: Classic is selected and marked; Modern's script changes the game
    // files and, as a pack's scripts do, marks its own folder.
    HistoryPack pack;
    const QString options = pack.programDir + S("Options/");
    const QString classic = options + S("Chat/Classic/");
    const QString modern = options + S("Chat/Modern/");
    writeAll(options + S("Chat/options.ini"), "[LinkChildren]\nOptionLinkChildren=1\n");
    writeAll(classic + S("options.ini"),
             "[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=3\n");
    writeAll(classic + S("Selected.ini"), "[Mode]\nSelected=1\n");
    writeAll(classic + S("RunMe.sh"), "true\n");
    writeAll(modern + S("options.ini"),
             "[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=2\n");
    writeAll(modern + S("RunMe.sh"), "printf modern > " + Quoted(pack.ui + S("chat.xml")) +
                                         "\nprintf '[Mode]\\nSelected=1\\n' > Selected.ini\n");
    writeAll(pack.ui + S("chat.xml"), "classic");
    writeAll(pack.programDir + S("Themes/Modern.ini"),
             "[Option0]\r\nRunMeFName=.\\Options\\Chat\\Modern\\RunMe.sh\r\nDelay=20\r\n");
    const QMap<QString, QByteArray> optionsBefore = FolderState(options);
    pack.configure();

    if (theme) {
        TProgramSettings settings;
        settings.ProgramDir = pack.programDir;
        settings.OptionsDir = S("Options");
        settings.ThemesDir = S("Themes");
        settings.HideShell = true;
        settings.DefaultProgramDelay = 20;
        ThemeApplication application(settings);
        application.Prepare(S("Modern"));
        application.Start();
        QTRY_VERIFY_WITH_TIMEOUT(application.GetState() == ThemeApplication::State::Complete,
                                 HangMs);
    } else {
        OptionTree tree;
        int count = 0;
        GetDirectories(tree, options, nullptr, count);
        const bool hideShell = ProgramSettings.HideShell;
        ProgramSettings.HideShell = true;
        ApplyChanges(tree, FindNode(tree, S("Chat/Modern")), options, nullptr);
        ProgramSettings.HideShell = hideShell;
    }
    const auto records = TheHistory().log()->list();
    QCOMPARE(records.size(), size_t(1));
    const QString id = records[0].id;
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    QCOMPARE(readAll(pack.ui + S("chat.xml")), QByteArray("modern"));
    QVERIFY(QFileInfo::exists(modern + S("Selected.ini")));
    QCOMPARE(
        platform::IniFile::readInteger(modern + S("options.ini"), S("Mode"), S("OptionMode"), 0),
        theme ? 2 : 3);

    // The confirmation's list of selection changes, then the restore.
    const auto selection = TheHistory().selectionPreview(id);
    QCOMPARE(selection.size(), size_t(theme ? 1 : 2));
    QCOMPARE(selection[0].option, S("Chat/Classic"));
    QVERIFY(!selection[0].before && selection[0].after);
    QSignalSpy rebuilt(&TheHistory(), &history::InstallHistory::selectionRestored);
    const auto done = TheHistory().restore(id);
    QCOMPARE(Describe(done), QStringList{S("C ../ui/custom/chat.xml")}); // marks are not counted
    QCOMPARE(rebuilt.count(), 1);
    QCOMPARE(readAll(pack.ui + S("chat.xml")), QByteArray("classic"));
    QCOMPARE(FolderState(options), optionsBefore);

    // The tree read again shows the selection from before the install.
    OptionTree tree;
    int count = 0;
    GetDirectories(tree, options, nullptr, count);
    QCOMPARE(FindNode(tree, S("Chat/Classic"))->StateIndex, 3);
    QCOMPARE(FindNode(tree, S("Chat/Modern"))->StateIndex, 2);
}

void TestHistory::refusedTickLeavesNoInstall()
{
    HistoryPack pack;
    const QString options = pack.programDir + S("Options/");
    writeAll(options + S("UI/A/options.ini"),
             "[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=3\n");
    writeAll(options + S("UI/A/RunMe.sh"), "true\n");
    writeAll(options + S("UI/B/options.ini"),
             "[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=2\n");
    writeAll(options + S("UI/B/RunMe.sh"), "true\n");
    pack.configure();
    OptionTree tree;
    int count = 0;
    GetDirectories(tree, options, nullptr, count);
    // A descriptor of the group that cannot be read whole refuses the tick before any write.
    writeAll(options + S("UI/A/options.ini"), QByteArray(17 * 1024 * 1024, ';'));
    QVERIFY_THROWS_EXCEPTION(AppError,
                             ApplyChanges(tree, FindNode(tree, S("UI/B")), options, nullptr));
    QVERIFY(TheHistory().log()->list().empty());
}

void TestHistory::cacheNeverHidesAChange_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("reopen"); // the next snapshot is taken by a new store from its file
    QTest::addColumn<QStringList>("changes");
    for (const bool reopen : {false, true}) {
        const char *how = reopen ? " (cache from disk)" : " (cache in memory)";
        QTest::addRow("same size, time put back%s", how)
            << S("rewrite") << reopen << QStringList{S("C ../ui/custom/sub/b.txt")};
        QTest::addRow("renamed over%s", how)
            << S("rename") << reopen << QStringList{S("C ../ui/custom/a.txt")};
        QTest::addRow("added%s", how)
            << S("add") << reopen << QStringList{S("A ../ui/custom/sub/n")};
        QTest::addRow("nothing%s", how) << S("none") << reopen << QStringList{};
    }
    QTest::addRow("damaged cache file") << S("garbage") << true << QStringList{};
}

void TestHistory::cacheNeverHidesAChange()
{
    QFETCH(QString, change);
    QFETCH(bool, reopen);
    QFETCH(QStringList, changes);
    HistoryPack pack;
    Seed(pack);
    auto folders = history::resolveFolders({S("..\\ui\\custom")}, pack.programDir, {});
    folders.front().needsConsent = false; // the user allowed it
    // Every file is trusted at once, so the second snapshot comes from the cache alone.
    auto store = std::make_unique<history::SnapshotStore>(pack.repo(), 0);
    store->open();
    const QString first = store->writeTree(folders);
    QCOMPARE(store->writeTree(folders), first);

    const QString b = pack.ui + S("sub/b.txt");
    const QDateTime time = QFileInfo(b).lastModified();
    if (change == S("rewrite")) {
        writeAll(b, QByteArray("TWO\0BYTES", 9));
        QFile f(b);
        QVERIFY(f.open(QIODevice::ReadWrite) &&
                f.setFileTime(time, QFileDevice::FileModificationTime));
    } else if (change == S("rename")) {
        writeAll(pack.ui + S("a.new"), "ONE\r\n");
        QVERIFY(::rename(QFile::encodeName(pack.ui + S("a.new")).constData(),
                         QFile::encodeName(pack.ui + S("a.txt")).constData()) == 0);
    } else if (change == S("add")) {
        writeAll(pack.ui + S("sub/n"), "n");
    } else if (change == S("garbage")) {
        writeAll(pack.repo() + S("/varimond-statcache"), QByteArray(4096, 'x'));
    }
    if (reopen) {
        store = std::make_unique<history::SnapshotStore>(pack.repo(), 0);
        store->open();
    }
    const QString next = store->writeTree(folders);
    QCOMPARE(Describe(store->changes(first, next)), changes);
}

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
