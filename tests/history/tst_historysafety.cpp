// The history against a hostile or damaged pack: folders outside the pack only with the user's
// consent, system and personal folders never; the leftovers of a killed run; files that cannot
// be read, lie too deep or have names git keeps for itself; a restore of a large file.

#include "HistoryPack.h"
#include "common/Waits.h"
#include "history/InstallHistory.h"
#include "history/SnapshotStore.h"
#include "files/Error.h"

#include <QDirIterator>
#include <algorithm>
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testfiles;
using history::FileChange;
using history::TheHistory;

namespace {

QByteArray Quoted(const QString &path)
{
    return "'" + QFile::encodeName(path) + "'";
}

bool Settled(const HistoryPack &pack, const QString &id)
{
    return !pack.record(id).after.isEmpty() || !pack.record(id).snapshotError.isEmpty();
}

// The install's scripts have ended and its "after" snapshot, if any, was taken.
bool Ended(const HistoryPack &pack, const QString &id)
{
    TheHistory().settle();
    const history::InstallRecord record = pack.record(id);
    return record.closed && !history::RunLog::isRunning(record) &&
           (record.before.isEmpty() || !record.after.isEmpty() || !record.snapshotError.isEmpty());
}

QStringList Paths(const std::vector<FileChange> &changes)
{
    QStringList out;
    for (const FileChange &c : changes)
        out.append(c.path);
    out.sort();
    return out;
}

// Runs the history driver (as @p user when given, through setpriv) and returns its output.
QString Driver(const QStringList &args, int *status, const QString &user = QString())
{
    const QString driver = S(VARIMOND_BINARY_DIR "/tests/history/history_driver");
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (user.isEmpty())
        p.start(driver, args);
    else
        p.start(S("setpriv"), QStringList{S("--reuid=") + user, S("--regid=") + user,
                                          S("--clear-groups"), driver} +
                                  args);
    p.waitForFinished(120000);
    *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll());
}

} // namespace

class TestHistorySafety : public QObject
{
    Q_OBJECT

private slots:
    void consentAskedOnceRememberedPerPack_data();
    void consentAskedOnceRememberedPerPack();
    void personalAndSystemFoldersNeverTouched();
    void leftoversOfAKilledRunRemoved_data();
    void leftoversOfAKilledRunRemoved();
    void oddEntriesLeftOutAndKept_data();
    void oddEntriesLeftOutAndKept();
    void packMadeHistoryIsNotFollowed_data();
    void packMadeHistoryIsNotFollowed();
    void plantedOwnFilesNeitherHangNorWriteThrough_data();
    void plantedOwnFilesNeitherHangNorWriteThrough();
    void storedLinkOutIsNotRestored_data();
    void storedLinkOutIsNotRestored();
    void unreadableFileLeftOut();
    void restoreOfALargeFileKeepsMemoryBounded();
};

void TestHistorySafety::consentAskedOnceRememberedPerPack_data()
{
    QTest::addColumn<bool>("allow");
    QTest::newRow("allowed") << true;
    QTest::newRow("refused") << false;
}

void TestHistorySafety::consentAskedOnceRememberedPerPack()
{
    QFETCH(bool, allow);
    // A folder inside the pack is used without asking; the one beside it needs the user's word.
    HistoryPack pack(S("..\\ui\\custom;Data"));
    QDir().mkpath(pack.programDir + S("Data"));
    const QByteArray ini = readAll(pack.iniPath());
    QStringList asked;
    auto ask = [&](const QStringList &folders) {
        asked += folders;
        return allow;
    };
    pack.configure(S("/nonexistent-home"), ask);
    QVERIFY(TheHistory().snapshotsOn());
    QVERIFY(asked.isEmpty()); // asked at the first install, not at start-up

    // The refused folder last: the sandbox keeps the script from writing there.
    const QByteArray change = "printf d > " + Quoted(pack.programDir + S("Data/d")) +
                              "\nprintf x > " + Quoted(pack.ui + S("x")) + "\n";
    const QString first = pack.install(change);
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, first), HangMs);
    QCOMPARE(asked, QStringList{QFileInfo(pack.ui).canonicalFilePath()});
    const QStringList expected =
        allow ? QStringList{S("../ui/custom/x"), S("Data/d")} : QStringList{S("Data/d")};
    QCOMPARE(Paths(TheHistory().installChanges(pack.record(first))), expected);
    if (!allow) {
        QVERIFY(TheHistory().log()->notices().join(S("\n")).contains(S("was not allowed")));
        // A refused folder is never written by the script's sandbox, nor restored.
        QVERIFY(!QFileInfo::exists(pack.ui + S("x")));
        writeAll(pack.ui + S("x"), "x");
        TheHistory().restore(first);
        QVERIFY(QFileInfo::exists(pack.ui + S("x")));
        QVERIFY(!QFileInfo::exists(pack.programDir + S("Data/d")));
    }

    // The answer holds for later installs and later runs, and lives outside the pack.
    pack.install("true\n");
    pack.configure(S("/nonexistent-home"), ask);
    const QString later = pack.install("true\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, later), HangMs);
    QCOMPARE(asked.size(), 1);
    QVERIFY(QFileInfo::exists(pack.consentFile()));
    QCOMPARE(readAll(pack.iniPath()), ini);

    // Another pack naming the same folder is asked about it again.
    HistoryPack other;
    writeAll(other.iniPath(), "[History]\r\nFolders=" + QFile::encodeName(pack.ui) + "\r\n");
    history::InstallHistory::Environment env;
    env.homeDir = S("/nonexistent-home");
    env.winePrefix = QString();
    env.consentFile = pack.consentFile();
    env.askConsent = ask;
    env.stateDir = other.state();
    TheHistory().configure(other.programDir, other.iniPath(), env);
    const QString third = other.install("true\n");
    QTRY_VERIFY_WITH_TIMEOUT(Ended(other, third), HangMs);
    QCOMPARE(asked.size(), 2);
}

void TestHistorySafety::personalAndSystemFoldersNeverTouched()
{
    // The pack names the user's documents, a system folder and a device folder.
    HistoryPack pack;
    const QString home = pack.root + S("home");
    writeAll(home + S("/Documents/x"), "mine");
    writeAll(pack.iniPath(), "[History]\r\nFolders=" + QFile::encodeName(home) +
                                 "/Documents;/etc;/dev;" + QFile::encodeName(home) + "\r\n");
    int asked = 0;
    pack.configure(home, [&](const QStringList &) {
        ++asked;
        return true;
    });
    QVERIFY(!TheHistory().snapshotsOn());
    const QString id = pack.install("printf new > " + Quoted(home + S("/Documents/new")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Ended(pack, id), HangMs);
    QCOMPARE(asked, 0);
    const QString notices = TheHistory().log()->notices().join(S("\n"));
    QVERIFY2(notices.contains(S("your own folder")), qPrintable(notices));
    QVERIFY(notices.contains(S("/etc is a system folder")));
    QVERIFY(notices.contains(S("/dev is a system folder")));
    QVERIFY(notices.contains(S("root or home")));
    QVERIFY_THROWS_EXCEPTION(AppError, TheHistory().restore(id));
    // The script's sandbox kept it out of the documents too.
    QVERIFY(!QFileInfo::exists(home + S("/Documents/new")));
    QCOMPARE(readAll(home + S("/Documents/x")), QByteArray("mine"));
    QVERIFY(!QFileInfo::exists(pack.repo()));
}

void TestHistorySafety::leftoversOfAKilledRunRemoved_data()
{
    QTest::addColumn<QString>("leftover"); // below the repository; "@" for the interface folder
    QTest::newRow("branch lock") << S("refs/heads/master.lock");
    QTest::newRow("HEAD lock") << S("HEAD.lock");
    QTest::newRow("reflog lock") << S("logs/HEAD.lock");
    QTest::newRow("configuration lock") << S("config.lock");
    QTest::newRow("half-written object") << S("objects/tmp_object_git2_a1B2c3");
    QTest::newRow("restore temporary") << S("@.varimond-tmp-restore");
}

void TestHistorySafety::leftoversOfAKilledRunRemoved()
{
    QFETCH(QString, leftover);
    HistoryPack pack;
    writeAll(pack.ui + S("a.txt"), "one");
    pack.configure();
    const QString first = pack.install("printf two > " + Quoted(pack.ui + S("a.txt")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, first), HangMs);

    // What a kill (or a power cut) inside the next snapshot leaves; a new run starts.
    const QString path = leftover.startsWith(QLatin1Char('@'))
                             ? pack.ui + leftover.mid(1)
                             : pack.repo() + QLatin1Char('/') + leftover;
    QVERIFY(writeAll(path, QByteArray(4096, 'x')));
    pack.configure();
    const QString second = pack.install("printf three > " + Quoted(pack.ui + S("a.txt")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, second), HangMs);
    QVERIFY2(pack.record(second).snapshotError.isEmpty(),
             qPrintable(pack.record(second).snapshotError));
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(Paths(TheHistory().installChanges(pack.record(second))),
             QStringList{S("../ui/custom/a.txt")});
    TheHistory().restore(first);
    QCOMPARE(readAll(pack.ui + S("a.txt")), QByteArray("one"));
    QVERIFY(TheHistory().log()->notices().isEmpty()); // not taken for a damaged repository
}

void TestHistorySafety::oddEntriesLeftOutAndKept_data()
{
    QTest::addColumn<QString>("entry"); // a file below the interface folder
    QTest::addColumn<QString>("listed");
    for (const char *name : {".GIT", ".Git", "GIT~1", ".git.", ".git "})
        QTest::newRow(name) << S(name) + S("/config") << S(name);
    QTest::newRow("a file named like git's folder") << S(".GIT") << S(".GIT");
    QString deep;
    for (int i = 0; i < 210; ++i)
        deep += S("d/");
    QTest::newRow("210 levels deep") << deep + S("f.txt") << deep.left(2 * 201 - 1);
}

void TestHistorySafety::oddEntriesLeftOutAndKept()
{
    QFETCH(QString, entry);
    QFETCH(QString, listed);
    HistoryPack pack;
    writeAll(pack.ui + S("a.txt"), "one");
    writeAll(pack.ui + entry, "odd");
    pack.configure();
    const QString id = pack.install("printf two > " + Quoted(pack.ui + S("a.txt")) +
                                    "\nprintf more >> " + Quoted(pack.ui + entry) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    const history::InstallRecord record = pack.record(id);
    QVERIFY2(record.snapshotError.isEmpty(), qPrintable(record.snapshotError));
    QCOMPARE(Paths(TheHistory().installChanges(record)), QStringList{S("../ui/custom/a.txt")});
    const QStringList unrecorded = TheHistory().log()->unrecorded(record);
    QCOMPARE(unrecorded.size(), 1);
    QVERIFY2(unrecorded.first().startsWith(S("../ui/custom/") + listed + S(" (")),
             qPrintable(unrecorded.first()));

    // Restore goes on and leaves what it never recorded as it is.
    TheHistory().restore(id);
    QCOMPARE(readAll(pack.ui + S("a.txt")), QByteArray("one"));
    QCOMPARE(readAll(pack.ui + entry), QByteArray("oddmore"));
}

void TestHistorySafety::packMadeHistoryIsNotFollowed_data()
{
    QTest::addColumn<QString>("link"); // in the pack, leading to the folder outside
    QTest::newRow("run log") << S(".varimond-log");
    QTest::newRow("repository") << S(".varimond-history");
    QTest::newRow("repository's objects") << S(".varimond-history/objects");
    QTest::newRow("repository's branches") << S(".varimond-history/refs");
}

void TestHistorySafety::packMadeHistoryIsNotFollowed()
{
    QFETCH(QString, link);
    // A pack that brings the program's own files as links to a folder of the user's: a bare
    // repository of the user's own, with objects and branches.
    HistoryPack pack(S("Data"));
    QTemporaryDir outside;
    QVERIFY(QProcess::execute(S("git"), {S("init"), S("-q"), S("--bare"), outside.path()}) == 0);
    QDir().mkpath(pack.programDir + S("Data"));
    // Folders named like the program's own that came with the pack, whole or in part links to
    // a repository of the user's: never used, never followed.
    const int slash = link.indexOf(QLatin1Char('/'));
    QDir().mkpath(QFileInfo(pack.programDir + link).absolutePath());
    QVERIFY(QFile::link(outside.path() + (slash < 0 ? QString() : link.mid(slash)),
                        pack.programDir + link));
    auto listing = [&] {
        QStringList entries;
        QDirIterator it(outside.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            entries.append(path + QLatin1Char(' ') +
                           QString::number(QFileInfo(path).lastModified().toMSecsSinceEpoch()));
        }
        entries.sort();
        return entries;
    };
    const QStringList before = listing();

    pack.configure();
    const QString id = pack.install("printf d > " + Quoted(pack.programDir + S("Data/d")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Settled(pack, id), HangMs);
    QVERIFY2(pack.record(id).snapshotError.isEmpty(), qPrintable(pack.record(id).snapshotError));
    QCOMPARE(Paths(TheHistory().installChanges(pack.record(id))), QStringList{S("Data/d")});
    QCOMPARE(listing(), before);
    QVERIFY(QFileInfo(pack.programDir + link).isSymLink()); // left as the pack brought it
    QVERIFY(QFileInfo(pack.repo() + S("/HEAD")).isFile());
}

void TestHistorySafety::plantedOwnFilesNeitherHangNorWriteThrough_data()
{
    QTest::addColumn<QString>("name"); // in the history's folder; %1: the first install's id
    QTest::addColumn<char>("kind");    // a FIFO, a link to /dev/zero, a hard link to the user's
    for (const char *name : {"history/varimond-statcache", "log/notices.txt", "log/%1/1.exit"})
        for (const char kind : {'p', 'z', 'h'})
            QTest::newRow((QByteArray(name) + ' ' + kind).constData()) << S(name) << kind;
}

void TestHistorySafety::plantedOwnFilesNeitherHangNorWriteThrough()
{
    QFETCH(QString, name);
    QFETCH(char, kind);
    // Whatever stands at the name of one of the history's own files is neither waited on nor
    // read without end nor written through; the history goes on.
    HistoryPack pack(S("Data"));
    const QString mine = pack.root + S(".bashrc");
    QVERIFY(writeAll(mine, "# mine\n"));
    QDir().mkpath(pack.programDir + S("Data"));
    pack.configure();
    const QString first = pack.install("printf 1 > " + Quoted(pack.programDir + S("Data/a")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Ended(pack, first), HangMs);
    TheHistory().log()->addNotice(S("a notice"));
    const QByteArray at = QFile::encodeName(QFileInfo(pack.repo()).path() + QLatin1Char('/') +
                                            name.arg(first));
    ::unlink(at.constData());
    QVERIFY(kind == 'p'   ? ::mkfifo(at.constData(), 0600) == 0
            : kind == 'z' ? ::symlink("/dev/zero", at.constData()) == 0
                          : ::link(QFile::encodeName(mine).constData(), at.constData()) == 0);

    pack.configure();
    const QString second = pack.install("printf 2 > " + Quoted(pack.programDir + S("Data/a")) + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(Ended(pack, second), 60000);
    TheHistory().log()->addNotice(S("another notice"));
    QCOMPARE(Paths(TheHistory().installChanges(pack.record(second))), QStringList{S("Data/a")});
    QCOMPARE(readAll(mine), QByteArray("# mine\n"));
}

void TestHistorySafety::storedLinkOutIsNotRestored_data()
{
    QTest::addColumn<QString>("order");   // of the named folders
    QTest::addColumn<bool>("withKeys"); // the stored tree holds Data/a with a file too
    QTest::newRow("restore writes through the link") << S("Data;Data/a") << true;
    QTest::newRow("undo removes through the link") << S("Data/a;Data") << false;
}

void TestHistorySafety::storedLinkOutIsNotRestored()
{
    QFETCH(QString, order);
    QFETCH(bool, withKeys);
    // A stored tree whose folder Data holds a link "a" out of it, to the user's .ssh, with
    // Data/a named as well: neither a restore nor its undo reaches what the link names.
    HistoryPack pack{QString()};
    const QString data = pack.programDir + S("Data"), home = pack.root + S("home/");
    QVERIFY(writeAll(home + S(".ssh/id_rsa"), "key"));
    QVERIFY(writeAll(pack.root + S("craft/authorized_keys"), "evil"));
    QDir().mkpath(data);
    QVERIFY(QFile::link(S("../../home/.ssh"), data + S("/a")));
    auto folder = [](const QString &entry, const QString &path) {
        return history::NamedFolder{entry, history::folderKey(entry), QFile::encodeName(path), {},
                                    false, false};
    };
    history::SnapshotStore store(pack.repo());
    store.open();
    std::vector<history::NamedFolder> crafted{folder(S("Data"), data)};
    if (withKeys)
        crafted.push_back(folder(S("Data/a"), pack.root + S("craft")));
    const QString target = store.snapshot(crafted, S("crafted"));
    QVERIFY(QFile::remove(data + S("/a")));
    std::vector<history::NamedFolder> folders;
    for (const QString &entry : order.split(QLatin1Char(';')))
        folders.push_back(folder(entry, pack.programDir + entry));
    const auto before = FolderState(home);

    const QString current = store.snapshot(folders, S("before the restore"));
    try {
        // The link left out is named in what the restore reports, not passed over in silence.
        const auto done = store.restore(current, target, folders);
        QVERIFY(std::find(done.begin(), done.end(),
                          FileChange{FileChange::Refused, S("Data/a")}) != done.end());
        store.restore(store.snapshot(folders, S("after the restore")), current, folders);
    } catch (const AppError &) {
        // Refusing is a sound outcome too; what counts is the user's folder.
    }
    QCOMPARE(FolderState(home), before);
    QVERIFY(!QFileInfo(data + S("/a")).isSymLink());
}

void TestHistorySafety::unreadableFileLeftOut()
{
    // Root reads every file, so the driver then runs as "nobody" in folders open to it.
    const bool root = ::geteuid() == 0;
    const QString user = root ? S("65534") : QString();
    QTemporaryDir temp;
    const QString ui = temp.path() + S("/ui");
    const QString repo = temp.path() + S("/repo");
    writeAll(ui + S("/a.txt"), "one");
    writeAll(ui + S("/secret"), "hidden");
    QVERIFY(QDir().mkpath(ui + S("/closed")));
    if (root) {
        for (const QString &f : {temp.path(), ui, ui + S("/a.txt")})
            ::chmod(QFile::encodeName(f).constData(), 0777);
    }
    ::chmod(QFile::encodeName(ui + S("/secret")).constData(), 0);
    ::chmod(QFile::encodeName(ui + S("/closed")).constData(), 0);

    int status = 0;
    const QString out = Driver({S("snapshot"), repo, ui}, &status, user);
    QVERIFY2(status == 0, qPrintable(out));
    QVERIFY2(out.contains(S("not recorded: ") + ui + S("/secret (Permission denied)")),
             qPrintable(out));
    QVERIFY2(out.contains(S("not recorded: ") + ui + S("/closed (Permission denied)")),
             qPrintable(out));
    // A change and a restore go on beside them and leave them alone.
    const QString check = Driver({S("check"), repo, ui}, &status, user);
    QVERIFY2(status == 0 && check.trimmed() == S("ok"), qPrintable(check));
    ::chmod(QFile::encodeName(ui + S("/secret")).constData(), 0600);
    ::chmod(QFile::encodeName(ui + S("/closed")).constData(), 0755);
    QCOMPARE(readAll(ui + S("/secret")), QByteArray("hidden"));
}

void TestHistorySafety::restoreOfALargeFileKeepsMemoryBounded()
{
    // A sparse file far larger than the memory a restore may take.
    constexpr qint64 Size = 384LL * 1024 * 1024;
    QTemporaryDir temp;
    const QString ui = temp.path() + S("/ui");
    const QString repo = temp.path() + S("/repo");
    const QString big = ui + S("/big.bin");
    writeAll(ui + S("/a.txt"), "one");
    {
        QFile f(big);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(Size));
    }
    int status = 0;
    const QString first = Driver({S("snapshot"), repo, ui}, &status).trimmed();
    QCOMPARE(status, 0);
    {
        QFile f(big);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(Size / 2) && f.write("changed") == 7);
    }
    const QString out = Driver({S("restore"), repo, ui, first}, &status);
    QVERIFY2(status == 0 && out.contains(S("restored 1")), qPrintable(out));
    QCOMPARE(QFileInfo(big).size(), Size);
    {
        QFile f(big);
        QVERIFY(f.open(QIODevice::ReadOnly) && f.seek(Size / 2));
        QCOMPARE(f.read(7), QByteArray(7, '\0'));
    }
    // Its zeros are holes again rather than hundreds of megabytes of disk.
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(big).constData(), &st) == 0);
    QVERIFY2(qint64(st.st_blocks) * 512 < Size / 8, qPrintable(QString::number(st.st_blocks)));
    // The snapshot before the restore and the restore itself, in kilobytes.
    const qint64 start =
        out.section(S("maxrss-before "), 1).section(QLatin1Char('\n'), 0, 0).toLongLong();
    const qint64 peak =
        out.section(S("maxrss-after "), 1).section(QLatin1Char('\n'), 0, 0).toLongLong();
    // The restore itself adds little whatever the file's size.
    QVERIFY2(peak > 0 && peak - start < 96 * 1024, qPrintable(out));
#ifndef __SANITIZE_ADDRESS__
    // And the whole run stays small (the sanitizer's own shadow memory is larger than this).
    QVERIFY2(peak < 128 * 1024, qPrintable(out));
#endif
}

QTEST_GUILESS_MAIN(TestHistorySafety)
#include "tst_historysafety.moc"
