// The command line and the choice of the option pack a start opens: the real binary for the
// command line and for a start on the pack last used, the recent list on real files.
#include "app/PackChoice.h"
#include "common/TestFiles.h"
#include "common/Waits.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace testfiles;

namespace {
const QString Binary = S(VARIMOND_BINARY_DIR "/src/app/varimond");
}

class TestPacks : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_config;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(S("QT_QPA_PLATFORM"), S("offscreen"));
        env.insert(S("XDG_CONFIG_HOME"), m_config);
        env.insert(S("XDG_STATE_HOME"), m_dir.filePath(S("state")));
        env.insert(S("HOME"), m_dir.path());
        env.remove(S("WINEPREFIX"));
        return env;
    }

    // A pack whose start is not interrupted by the interface-mode dialog.
    QString makePack(const QString &name)
    {
        const QString pack = m_dir.filePath(name);
        QDir().mkpath(pack + S("/Options/Group/Choice"));
        writeAll(m_config + S("/Electronic Arts/Dark Age of Camelot/user.dat"),
                 "[interface]\r\nitem1=7\r\n");
        return pack;
    }

    // Starts the program, waits until its start-up reached the last step, ends it as a
    // log-out would.
    void runUntilStarted(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setWorkingDirectory(m_dir.path());
        process.start(program, arguments);
        QVERIFY(process.waitForStarted(HangMs));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_config + S("/varimond/Themes")).isDir(), 60000);
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_config = m_dir.filePath(S("config"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath(S("state"))));
    }

    void cleanup()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("help") << QStringList{S("--help")} << 0 << S("--pack <dir>") << QString();
        QTest::newRow("version") << QStringList{S("--version")} << 0 << S("Varimond 2.01\n")
                                 << QString();
        QTest::newRow("missing folder") << QStringList{S("--pack"), S("@/no/such/folder")} << 2
                                        << QString() << S("does not exist");
        QTest::newRow("a file") << QStringList{S("--pack"), S("@/file.txt")} << 2 << QString()
                                << S("is not a folder");
        QTest::newRow("no folder given") << QStringList{S("--pack")} << 2 << QString()
                                         << S("Missing value after '--pack'");
        QTest::newRow("unknown option") << QStringList{S("--bogus")} << 2 << QString()
                                        << S("Unknown option 'bogus'");
    }

    // Answers and refusals come before any window: no display is needed, nothing is written.
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QVERIFY(writeAll(m_dir.filePath(S("file.txt")), "x"));
        for (QString &a : arguments)
            a.replace(S("@"), m_dir.path());
        QProcess process;
        QProcessEnvironment env = environment();
        env.insert(S("QT_QPA_PLATFORM"), S("no-such-platform")); // a window would fail
        process.setProcessEnvironment(env);
        process.start(Binary, arguments);
        QVERIFY(process.waitForFinished(HangMs));
        QCOMPARE(process.exitCode(), exitCode);
        const QString stdOut = QString::fromLocal8Bit(process.readAllStandardOutput());
        const QString stdErr = QString::fromLocal8Bit(process.readAllStandardError());
        if (out.isEmpty())
            QVERIFY(stdOut.isEmpty());
        else
            QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
        QVERIFY2(err.isEmpty() ? stdErr.isEmpty() : stdErr.contains(err), qPrintable(stdErr));
        QVERIFY(!QFileInfo::exists(packs::recentListPath()));
    }

    void packOpenedIsRemembered_data()
    {
        QTest::addColumn<bool>("throughLink");
        QTest::newRow("--pack names the folder") << false;
        QTest::newRow("started through a link to the binary inside the pack") << true;
    }

    // The folder opened is the program folder: settings written there, pack remembered.
    void packOpenedIsRemembered()
    {
        QFETCH(bool, throughLink);
        const QString pack = makePack(S("My Pack"));
        if (throughLink) {
            QVERIFY(QFile::link(Binary, pack + S("/varimond")));
            runUntilStarted(pack + S("/varimond"), {});
        } else {
            runUntilStarted(Binary, {S("--pack"), pack + S("/")});
        }
        QVERIFY(QFileInfo(pack + S("/varimond.ini")).isFile());
        QCOMPARE(packs::readRecent(), QStringList{pack});
    }

    // An installed binary (no Options beside it) started without --pack opens the pack last
    // used that still exists.
    void installedBinaryOpensThePackLastUsed()
    {
        const QString bin = m_dir.filePath(S("bin"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QFile::link(Binary, bin + S("/varimond")));
        const QString pack = makePack(S("Last"));
        const QString gone = m_dir.filePath(S("Gone"));
        QVERIFY(writeAll(packs::recentListPath(),
                         QFile::encodeName(gone + S("\n\n") + pack + S("\n"))));
        runUntilStarted(bin + S("/varimond"), {});
        QVERIFY(QFileInfo(pack + S("/varimond.ini")).isFile());
        QVERIFY(!QFileInfo::exists(bin + S("/varimond.ini")));
        QCOMPARE(packs::readRecent(), (QStringList{pack, gone}));
    }

    // The expanded folders go through a whole run of the real program: opened again at its
    // start, written back at its close. A folder gone from the pack drops out of the list; the
    // list of another pack is left alone.
    void expandedFoldersSurviveARestart()
    {
        const QString pack = makePack(S("Kept"));
        QVERIFY(QDir().mkpath(pack + S("/Options/Group/Choice/Deeper")));
        QVERIFY(QDir().mkpath(pack + S("/Options/Other/One")));
        const QString other = makePack(S("Elsewhere"));
        QVERIFY(packs::rememberExpanded(other, {S("Group/")}));
        QVERIFY(packs::rememberExpanded(
            pack, {S("Group/"), S("Group/Choice/"), S("Vanished/"), S("Other/One/")}));
        runUntilStarted(Binary, {S("--pack"), pack});
        // Other/One/ has no sub-folders, so it cannot be expanded, and Other was not open.
        QCOMPARE(packs::readExpanded(pack), (QStringList{S("Group/"), S("Group/Choice/")}));
        QCOMPARE(packs::readExpanded(other), QStringList{S("Group/")});
        QVERIFY(!readAll(pack + S("/varimond.ini")).contains("Group"));
    }

    // The installed sample pack is found beside the bin folder the program was started from.
    void sampleFoundBesideTheBinFolder()
    {
        const QString prefix = m_dir.filePath(S("prefix"));
        QVERIFY(QDir().mkpath(prefix + S("/bin")));
        QVERIFY(QDir().mkpath(prefix + S("/share/varimond/sample-pack/Options/A")));
        QCOMPARE(packs::installedSamplePack(prefix + S("/bin/varimond")),
                 prefix + S("/share/varimond/sample-pack"));
    }

    void sampleCopy_data()
    {
        QTest::addColumn<QString>("inTheWay"); // what is at the target first
        QTest::addColumn<bool>("ok");
        QTest::newRow("nothing there") << QString() << true;
        QTest::newRow("a copy made before") << S("copy") << true;
        QTest::newRow("a file of the user") << S("file") << false;
        QTest::newRow("a folder that is no pack") << S("folder") << false;
        QTest::newRow("a dangling link") << S("link") << false;
    }

    // "Try the Sample Pack" copies the read-only installed pack once, writable, without what
    // links point at, and never over something of the user's.
    void sampleCopy()
    {
        QFETCH(QString, inTheWay);
        QFETCH(bool, ok);
        const QString sample = m_dir.filePath(S("share/sample-pack"));
        QVERIFY(writeAll(sample + S("/Options/Bars/Blue/options.ini"), "[Mode]\nOptionMode=2\n"));
        QVERIFY(writeAll(sample + S("/Options/Bars/Blue/RunMe.sh"), "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(sample + S("/Options/Bars/Blue/RunMe.sh"),
                                      QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(QFile::setPermissions(sample + S("/Options/Bars/Blue/options.ini"),
                                      QFile::ReadOwner));
        QVERIFY(writeAll(m_dir.filePath(S("secret.txt")), "private"));
        QVERIFY(QFile::link(m_dir.filePath(S("secret.txt")), sample + S("/Options/secret.txt")));
        const QString target = m_dir.filePath(S("home/Varimond Sample Pack"));
        QVERIFY(QDir().mkpath(m_dir.filePath(S("home"))));
        if (inTheWay == S("copy"))
            QVERIFY(writeAll(target + S("/Options/Mine/options.ini"), "[Mode]\nOptionMode=3\n"));
        else if (inTheWay == S("file"))
            QVERIFY(writeAll(target, "notes"));
        else if (inTheWay == S("folder"))
            QVERIFY(writeAll(target + S("/notes.txt"), "notes"));
        else if (inTheWay == S("link"))
            QVERIFY(QFile::link(m_dir.filePath(S("nowhere")), target));

        QString error;
        QCOMPARE(packs::copySamplePack(sample, target, &error), ok);
        QCOMPARE(error.isEmpty(), ok);
        if (inTheWay == S("copy")) {
            // The earlier copy, with the user's choices, is the one opened.
            QVERIFY(QFileInfo(target + S("/Options/Mine/options.ini")).isFile());
            QVERIFY(!QFileInfo::exists(target + S("/Options/Bars")));
        } else if (ok) {
            QCOMPARE(readAll(target + S("/Options/Bars/Blue/options.ini")),
                     QByteArray("[Mode]\nOptionMode=2\n"));
            QVERIFY(QFileInfo(target + S("/Options/Bars/Blue/options.ini")).isWritable());
            QVERIFY(QFileInfo(target + S("/Options/Bars/Blue/RunMe.sh")).isExecutable());
            QVERIFY(!QFileInfo::exists(target + S("/Options/secret.txt")));
        } else if (inTheWay == S("file")) {
            QCOMPARE(readAll(target), QByteArray("notes"));
        } else if (inTheWay == S("folder")) {
            QCOMPARE(QDir(target).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList{S("notes.txt")});
        }
        // No half-made copy is left beside it.
        const QStringList left = QDir(m_dir.filePath(S("home")))
                                     .entryList(QDir::NoDotAndDotDot | QDir::AllEntries |
                                                QDir::Hidden | QDir::System);
        QCOMPARE(left, QStringList{S("Varimond Sample Pack")});
    }

    void recentListKeepsTenNewestFirst()
    {
        QStringList expected;
        for (int i = 0; i < 12; ++i) {
            const QString pack = makePack(QString::number(i));
            QVERIFY(packs::rememberPack(pack));
            expected.prepend(pack);
        }
        QVERIFY(packs::rememberPack(m_dir.filePath(S("5/"))));
        expected.removeAll(m_dir.filePath(S("5")));
        expected.prepend(m_dir.filePath(S("5")));
        QCOMPARE(packs::readRecent(), expected.mid(0, 10));
        QCOMPARE(packs::lastUsedPack(), m_dir.filePath(S("5")));

        // A pack whose Options folder went away is passed over, not opened.
        QVERIFY(QDir(m_dir.filePath(S("5/Options"))).removeRecursively());
        QCOMPARE(packs::lastUsedPack(), m_dir.filePath(S("11")));
    }

    void optionsFolderFoundInAnyCase()
    {
        QVERIFY(QDir().mkpath(m_dir.filePath(S("win/OPTIONS"))));
        QVERIFY(packs::holdsOptionsFolder(m_dir.filePath(S("win"))));
        QVERIFY(writeAll(m_dir.filePath(S("file/Options")), "not a folder"));
        QVERIFY(!packs::holdsOptionsFolder(m_dir.filePath(S("file"))));
    }
};

QTEST_GUILESS_MAIN(TestPacks)
#include "tst_packs.moc"
