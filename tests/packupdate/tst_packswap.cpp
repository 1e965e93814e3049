// The swap of a pack's files under SIGKILL: a driver process is killed before each of its steps
// in turn and the next start's recovery runs; the pack is always one version, whole.

#include "PackFixtures.h"
#include "packupdate/CarryOver.h"
#include "packupdate/PackSwap.h"
#include "ini/IniFile.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString S(const char *text)
{
    return QString::fromUtf8(text);
}

const QString Driver = QStringLiteral(VARIMOND_BINARY_DIR "/tests/packupdate/packswap_driver");

/// The folder of the pack's update files, in its state folder.
QString U(const QString &pack)
{
    return packupdate::UpdateFolder(pack);
}

/// An installed pack (1.0, option B chosen) and, in its staging folder, version 2.0 with the
/// player's choices carried over.
void makePackAndStaging(const QString &pack)
{
    const QString o = pack + S("Options/");
    fixtures::write(o + S("A/options.ini"), "[Mode]\nOptionMode=3\n");
    fixtures::write(o + S("A/RunMe.sh"), "#!/bin/sh\n", true);
    fixtures::write(o + S("B/options.ini"), "[Mode]\nOptionMode=2\n");
    fixtures::write(o + S("B/RunMe.sh"), "#!/bin/sh\n", true);
    fixtures::write(pack + S("varimond.ini"),
                    "[VersionInfo]\nUserInterface=1.0\n[Settings]\nHideShell=1\n");
    fixtures::write(pack + S("Themes/T.ini"), "[Options]\n");
    fixtures::write(pack + S("Only1.txt"), "1\n");
    fixtures::write(pack + S("Docs/a.txt"), "old\n");
    QFile::link(S("/bin/true"), pack + S("varimond"));

    const QString n = U(pack) + S("staging/Pack/");
    fixtures::write(n + S("Options/A/options.ini"), "[Mode]\nOptionMode=2\n");
    fixtures::write(n + S("Options/A/RunMe.sh"), "#!/bin/sh\necho 2\n", true);
    fixtures::write(n + S("Options/B/options.ini"), "[Mode]\nOptionMode=3\n");
    fixtures::write(n + S("Options/B/RunMe.sh"), "#!/bin/sh\necho 2\n", true);
    fixtures::write(n + S("varimond.ini"), "[VersionInfo]\nUserInterface=2.0\n");
    fixtures::write(n + S("Only2.txt"), "2\n");
    fixtures::write(n + S("Docs/a.txt"), "new\n");
    fixtures::write(n + S("Docs/b.txt"), "new\n");
    packupdate::CarryOver(pack, n, S("varimond.ini"));
}

int runDriver(const QStringList &args, QProcess::ExitStatus *status = nullptr,
              QByteArray *output = nullptr)
{
    QProcess p;
    // With its memory bounded: a read without end fails instead of taking the machine's.
    // AddressSanitizer reserves terabytes of address space for its shadow memory, so under it
    // the driver runs without the cap; the release build checks the bound.
#if defined(__SANITIZE_ADDRESS__)
    const QString start = S("exec \"$0\" \"$@\"");
#else
    const QString start = S("ulimit -v 4000000; exec \"$0\" \"$@\"");
#endif
    p.start(S("/bin/sh"), QStringList{S("-c"), start, Driver} + args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (status)
        *status = p.exitStatus();
    if (output)
        *output = p.readAllStandardOutput().trimmed();
    return p.exitCode();
}

} // namespace

class TestPackSwap : public QObject
{
    Q_OBJECT

    QTemporaryDir m_state;

private Q_SLOTS:
    void initTestCase()
    {
        // The packs' state folders, the driver's too, in a throw-away place.
        QVERIFY(m_state.isValid());
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_state.path()));
    }

    void killLoop_data()
    {
        QTest::addColumn<bool>("otherDrive"); // the pack on another file system than its state
        QTest::newRow("same file system") << false;
        QTest::newRow("pack on another drive") << true;
    }
    void killLoop()
    {
        QFETCH(bool, otherDrive);
        const QString drive = fixtures::otherFileSystem(m_state.path());
        if (otherDrive && drive.isEmpty())
            QSKIP("No writable file system apart from the state folder's to put the pack on");
        const QString where = otherDrive ? drive + S("/varimond-pack-XXXXXX") : QString();
        // The two wholes: the pack before, and after a swap that ran to its end.
        QTemporaryDir reference(where);
        const QString refPack = reference.filePath(S("pack/"));
        makePackAndStaging(refPack);
        const auto oldTree = fixtures::snapshot(refPack, true);
        QCOMPARE(runDriver({S("swap"), refPack, U(refPack) + S("staging/Pack/"),
                            S("1.0"), S("-1")}),
                 0);
        const auto newTree = fixtures::snapshot(refPack, true);
        QVERIFY(newTree != oldTree);
        // The player's choice came along (A on, B off, though 2.0 ships the other way round),
        // and the setting.
        QCOMPARE(platform::IniFile::readString(refPack + S("Options/A/options.ini"), S("Mode"),
                                               S("OptionMode"), QString()),
                 S("3"));
        QCOMPARE(platform::IniFile::readString(refPack + S("Options/B/options.ini"), S("Mode"),
                                               S("OptionMode"), QString()),
                 S("2"));
        QCOMPARE(platform::IniFile::readString(refPack + S("varimond.ini"), S("Settings"),
                                               S("HideShell"), QString()),
                 S("1"));

        int kills = 0, rolledBack = 0, finished = 0;
        for (int step = 0;; ++step) {
            QTemporaryDir dir(where);
            const QString pack = dir.filePath(S("pack/"));
            makePackAndStaging(pack);
            QProcess::ExitStatus status = QProcess::NormalExit;
            const int code = runDriver({S("swap"), pack, U(pack) + S("staging/Pack/"),
                                        S("1.0"), QString::number(step)},
                                       &status);
            if (status == QProcess::NormalExit) {
                QCOMPARE(code, 0); // ran past its last step: the loop has covered them all
                QCOMPARE(fixtures::snapshot(pack, true), newTree);
                break;
            }
            ++kills;
            QByteArray said;
            QCOMPARE(runDriver({S("recover"), pack}, nullptr, &said), 0);
            const auto tree = fixtures::snapshot(pack, true);
            if (tree == oldTree) {
                ++rolledBack;
                QVERIFY2(said == "rolled back" || step == 0, qPrintable(QString::number(step)));
            } else {
                QVERIFY2(tree == newTree, qPrintable(QStringLiteral("mixed after a kill before "
                                                                    "step %1")
                                                         .arg(step)));
                ++finished;
                // The old version whole beside it (the program's link and the file that is not
                // the pack's stayed in the pack).
                auto previous = oldTree;
                previous.remove(S("varimond"));
                previous.remove(S("Only1.txt"));
                QCOMPARE(fixtures::snapshot(U(pack) + S("previous-1.0")), previous);
            }
            QVERIFY(!QFileInfo::exists(U(pack) + S("journal")));
            QVERIFY(!QFileInfo::exists(U(pack) + S("staging")));
            QCOMPARE(QDir(pack).entryList({S(".varimond-swap-*")}, QDir::AllEntries | QDir::Hidden),
                     QStringList());
            // A second start finds nothing left to do.
            QCOMPARE(runDriver({S("recover"), pack}, nullptr, &said), 0);
            QCOMPARE(said, QByteArray("nothing"));
            QVERIFY(step < 100);
        }
        // The journal, 4 names out (the program's link and the file that is not the pack's
        // stay), 4 in, the commit, the clean-up.
        QVERIFY2(kills >= 11, qPrintable(QString::number(kills)));
        QVERIFY(rolledBack > 0);
        QVERIFY(finished > 0);
    }

    void journalOfAnotherFolderMovesNothing()
    {
        // A pack copied or unpacked with a journal in it: the journal names another folder.
        QTemporaryDir source;
        const QString pack = source.filePath(S("pack/"));
        makePackAndStaging(pack);
        const packupdate::SwapPlan plan = packupdate::MakeSwapPlan(
            pack, U(pack) + S("staging/Pack/"), S("1.0"), S("varimond"));
        QVERIFY(runDriver({S("swap"), pack, U(pack) + S("staging/Pack/"), S("1.0"),
                           QString::number(3)}) != 0);
        QTemporaryDir copy;
        const QString copied = copy.filePath(S("pack/"));
        QCOMPARE(QProcess::execute(S("cp"), {S("-a"), pack, copied}), 0);
        QCOMPARE(QProcess::execute(S("cp"), {S("-a"), U(pack) + S("."), U(copied)}), 0);
        const auto before = fixtures::snapshot(copied);
        auto state = fixtures::snapshot(U(copied));
        QCOMPARE(packupdate::RecoverSwap(copied), packupdate::Recovery::Nothing);
        QCOMPARE(fixtures::snapshot(copied), before);
        QVERIFY(state.contains(S("journal")));
        state.remove(S("journal")); // only the stray journal goes
        QCOMPARE(fixtures::snapshot(U(copied)), state);
        QVERIFY(!plan.outgoing.isEmpty());
    }

    void plantedSpecialFilesNeitherHangNorWriteThrough_data()
    {
        QTest::addColumn<QString>("name"); // in the pack's update folder
        QTest::addColumn<char>("kind");    // a FIFO, a link to /dev/zero, a hard link to the user's
        for (const char *name : {"journal", "journal.tmp", "installed"})
            for (const char kind : {'p', 'z', 'h'})
                QTest::newRow((QByteArray(name) + ' ' + kind).constData()) << S(name) << kind;
    }
    void plantedSpecialFilesNeitherHangNorWriteThrough()
    {
        QFETCH(QString, name);
        QFETCH(char, kind);
        QTemporaryDir dir;
        const QString pack = dir.filePath(S("pack/")), mine = dir.filePath(S(".bashrc"));
        makePackAndStaging(pack);
        fixtures::write(mine, "# mine\n");
        const QByteArray at = QFile::encodeName(U(pack) + name);
        QVERIFY(kind == 'p'   ? ::mkfifo(at.constData(), 0600) == 0
                : kind == 'z' ? QFile::link(S("/dev/zero"), QFile::decodeName(at))
                              : ::link(QFile::encodeName(mine).constData(), at.constData()) == 0);
        // A start finds the journal (without one, the staging folder counts as a left-over),
        // the swap writes its files beside the others, and the next start finds nothing to do.
        if (name == S("journal"))
            QCOMPARE(runDriver({S("recover"), pack}), 0);
        QCOMPARE(runDriver({S("swap"), pack, U(pack) + S("staging/Pack/"), S("1.0"), S("-1")}), 0);
        QCOMPARE(runDriver({S("recover"), pack}), 0);
        QCOMPARE(fixtures::read(pack + S("Only2.txt")), QByteArray("2\n"));
        QCOMPARE(fixtures::read(mine), QByteArray("# mine\n"));
    }

    void plantedLinksAreNotFollowed_data()
    {
        QTest::addColumn<QString>("link"); // the name in the pack that is a link to outside
        QTest::newRow("staging folder") << S(".varimond-update/staging");
        QTest::newRow("update folder") << S(".varimond-update");
    }
    void plantedLinksAreNotFollowed()
    {
        QFETCH(QString, link);
        QTemporaryDir dir;
        const QString pack = dir.filePath(S("pack/"));
        fixtures::write(pack + S("Options/A/options.ini"), "[Mode]\nOptionMode=3\n");
        const QString outside = dir.filePath(S("outside/"));
        fixtures::write(outside + S("staging/keep.txt"), "keep\n");
        fixtures::write(outside + S("keep.txt"), "keep\n");
        QDir().mkpath(QFileInfo(pack + link).absolutePath());
        QVERIFY(
            QFile::link(link.contains(S("staging")) ? outside : outside.chopped(1), pack + link));
        const auto before = fixtures::snapshot(outside);
        QCOMPARE(packupdate::RecoverSwap(pack), packupdate::Recovery::Nothing);
        QCOMPARE(fixtures::snapshot(outside), before);
        packupdate::RemoveTree(pack + link);
        QCOMPARE(fixtures::snapshot(outside), before);
        QVERIFY(!QFileInfo(pack + link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestPackSwap)
#include "tst_packswap.moc"
