// "varimond pack check|keygen|publish" run as the real binary, without a display.

#include "common/HttpTestServer.h"
#include "packupdate/PackInstall.h"
#include "packupdate/PackageInfo.h"
#include "ini/IniFile.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString S(const char *text)
{
    return QString::fromUtf8(text);
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The binary with no display and no platform chosen, as a pack maker's shell or CI has it.
Run varimond(const QStringList &args, const QByteArray &input = {},
             const QProcessEnvironment &extra = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(S("QT_QPA_PLATFORM"));
    env.remove(S("DISPLAY"));
    env.remove(S("WAYLAND_DISPLAY"));
    env.insert(extra);
    p.setProcessEnvironment(env);
    p.start(S(VARIMOND_BINARY_DIR "/src/app/varimond"), QStringList{S("pack")} + args);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit)
        return {};
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}

int tool(const QString &program, const QStringList &args, const QByteArray &input = {})
{
    QProcess p;
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    return p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

bool write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every file below @p root with its content's hash, links with their targets.
QMap<QString, QByteArray> tree(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString rel = QDir(root).relativeFilePath(info.filePath());
        files[rel] = info.isSymLink() ? "link " + info.symLinkTarget().toUtf8()
                     : info.isDir()   ? QByteArray("dir")
                                      : QCryptographicHash::hash(read(info.filePath()),
                                                                 QCryptographicHash::Sha256);
    }
    return files;
}

bool copyTree(const QString &from, const QString &to)
{
    return tool(S("cp"), {S("-a"), from, to}) == 0;
}

} // namespace

class TestPackTools : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QJsonArray m_problems; // of the pack with one problem of each kind

    QString path(const char *rel) const { return m_dir.filePath(S(rel)); }

    QString keygen(const char *name)
    {
        const Run r = varimond({S("keygen"), S("--secret"), path(name) + S(".key"), S("--public"),
                                path(name) + S(".pub"), S("--no-password")});
        return r.exitCode == 0 ? path(name) + S(".key") : QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
        // One problem of each kind the check knows, each in a file of its own.
        const QString p = path("bad/");
        QVERIFY(write(p + S("varimond.ini"),
                      "[ThemesDir]\nThemesDir=..\\elsewhere\n[Wine]\nWinePrefix=/opt/prefix\n"
                      "[VersionInfo]\nUrlVersionInfo=ftp://example.org/v.ini\n"
                      "[Update]\nPublicKey=not-a-key\n"
                      "[Package]\nArchive=https://example.org/p.rar\n"));
        const QString o = p + S("Options/");
        QVERIFY(write(o + S("A/ReadMe.txt"), "a\n"));
        QVERIFY(QFile::link(S("/etc/hostname"), o + S("A/Out.txt")));
        QVERIFY(QFile::link(S("nowhere"), o + S("A/Dangling.txt")));
        QVERIFY(::mkfifo(QFile::encodeName(o + S("A/pipe")).constData(), 0644) == 0);
        const int fd = ::open((QFile::encodeName(o) + "A/caf\xe9.txt").constData(),
                              O_CREAT | O_WRONLY, 0644); // a Latin-1 name, not UTF-8
        QVERIFY(fd >= 0 && ::close(fd) == 0);
        QVERIFY(QDir().mkpath(o + S("Deep") + S("/d").repeated(256)));
        QVERIFY(write(o + S("Big/options.ini"), "[Mode]\nOptionMode=1\n"));
        QVERIFY(QFile::resize(o + S("Big/options.ini"), 17 * 1024 * 1024));
        QVERIFY(write(o + S("Typo/RunMe.sh"), "true\n"));
        QVERIFY(write(o + S("Typo/options.ini"), "[RunMe]\nOptionRunMeFName=RunMee.sh\n[Mode]\nOptionMode=2\n"));
        QVERIFY(QDir().mkpath(o + S("Folder/RunMe.sh")));
        QVERIFY(write(o + S("Folder/options.ini"), "[RunMe]\nOptionRunMeFName=RunMe.sh\n"));
        QVERIFY(write(o + S("Linked/options.ini"), "[RunMe]\nOptionRunMeFName=RunMe.sh\n"));
        QVERIFY(QFile::link(S("../Typo/RunMe.sh"), o + S("Linked/RunMe.sh")));
        QVERIFY(write(o + S("Win/RunMe.bat"), "echo\r\n"));
        QVERIFY(write(o + S("Win/options.ini"), "[RunMe]\nOptionRunMeFName=RunMe.bat\n"));
        QVERIFY(write(o + S("NoReadMe/options.ini"),
                      "[ReadMe]\nOptionReadMeTxtFName=ReadMe.text\n"
                      "OptionReadMeHttpFName=file:///etc/passwd\n"));
        QVERIFY(write(o + S("Pictures/Preview.png"), "not a picture"));
        QVERIFY(write(p + S("Themes/Good.ini"), "[Option0]\nRunMeFName=.\\Options\\Typo\\RunMe.sh\n"));
        QVERIFY(write(p + S("Themes/Stale.ini"),
                      "[Option0]\nDelay=1\nRunMeFName=.\\Options\\Gone\\RunMe.sh\n"));
        QVERIFY(QFile::link(S("Good.ini"), p + S("Themes/Link.ini")));
        QVERIFY(write(p + S("Themes/Huge.ini"), "[Option0]\n"));
        QVERIFY(QFile::resize(p + S("Themes/Huge.ini"), 17 * 1024 * 1024));

        const Run r = varimond({S("check"), p, S("--json")});
        QCOMPARE(r.exitCode, 1);
        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(r.out, &error);
        QVERIFY2(error.error == QJsonParseError::NoError, r.out.constData());
        m_problems = json.object().value(S("problems")).toArray();
    }

    void cleanupTestCase()
    {
        // Qt cannot name this file to remove it.
        ::unlink((QFile::encodeName(path("bad/Options/A/")) + "caf\xe9.txt").constData());
    }

    void checksSamplePack()
    {
        const Run r = varimond({S("check"), S(VARIMOND_SOURCE_DIR "/demo")});
        QVERIFY2(r.exitCode == 0, r.out + r.err);
    }

    void listsEachProblemOnce_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("line");
        const struct { const char *code, *file; int line; } rows[] = {
            {"settings-path", "varimond.ini", 2},
            {"needs-consent", "varimond.ini", 4},
            {"bad-url", "varimond.ini", 6},
            {"bad-public-key", "varimond.ini", 8},
            {"bad-package", "varimond.ini", 10},
            {"link-out", "Options/A/Out.txt", 0},
            {"link-broken", "Options/A/Dangling.txt", 0},
            {"special-file", "Options/A/pipe", 0},
            {"name-not-utf8", "Options/A/caf\xc3\xa9.txt", 0},
            {"too-deep", "Options/Deep/d/d", 0},
            {"descriptor-unreadable", "Options/Big/options.ini", 0},
            {"script-missing", "Options/Typo/options.ini", 2},
            {"script-folder", "Options/Folder/options.ini", 2},
            {"script-link", "Options/Linked/options.ini", 2},
            {"windows-script", "Options/Win/RunMe.bat", 0},
            {"readme-missing", "Options/NoReadMe/options.ini", 2},
            {"bad-url", "Options/NoReadMe/options.ini", 3},
            {"preview", "Options/Pictures/Preview.png", 0},
            {"theme-link", "Themes/Link.ini", 0},
            {"theme-unreadable", "Themes/Huge.ini", 0},
            {"theme-option-missing", "Themes/Stale.ini", 3},
        };
        for (const auto &row : rows)
            QTest::addRow("%s %s", row.code, row.file) << S(row.code) << S(row.file) << row.line;
        QCOMPARE(m_problems.size(), qsizetype(std::size(rows)));
    }

    void listsEachProblemOnce()
    {
        QFETCH(QString, code);
        QFETCH(QString, file);
        QFETCH(int, line);
        int found = 0;
        for (const QJsonValue &v : m_problems) {
            const QJsonObject o = v.toObject();
            // The deep folder is named by its whole path: its start is enough.
            if (o.value(S("code")).toString() == code &&
                (o.value(S("file")).toString() == file ||
                 (code == S("too-deep") && o.value(S("file")).toString().startsWith(file)))) {
                ++found;
                QCOMPARE(o.value(S("line")).toInt(), line);
                QVERIFY(!o.value(S("message")).toString().isEmpty());
            }
        }
        QCOMPARE(found, 1);
    }

    void encryptedKeyWorksWithMinisign()
    {
        const QString key = path("enc.key"), pub = path("enc.pub"), file = path("enc.txt");
        QProcessEnvironment env;
        env.insert(S("VARIMOND_PACK_PASSWORD"), S("correct horse"));
        const Run r = varimond({S("keygen"), S("--secret"), key, S("--public"), pub}, {}, env);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(write(file, "signed\n"));
        QCOMPARE(tool(S("minisign"), {S("-S"), S("-s"), key, S("-m"), file}, "correct horse\n"), 0);
        QCOMPARE(tool(S("minisign"), {S("-Vm"), file, S("-p"), pub}), 0);
        // The public key line printed is the one minisign reads.
        QVERIFY(r.out.contains(read(pub).split('\n').value(1)));
    }

    void publishesSignedReproducibleArchive()
    {
        const QString key = keygen("pub");
        QVERIFY(!key.isEmpty());
        const QString pack = path("sample");
        QVERIFY(copyTree(S(VARIMOND_SOURCE_DIR "/demo"), pack));
        // What a played pack holds besides its own files.
        QVERIFY(write(pack + S("/.varimond-history/objects/x"), "player"));
        QVERIFY(write(pack + S("/.varimond-log"), "player"));
        QVERIFY(write(pack + S("/Options/Chat Window/Compact/Selected.ini"), "[Mode]\n"));

        QStringList archives;
        for (const char *out : {"out1", "out2"}) {
            const Run r = varimond({S("publish"), pack, S("--version"), S("1.31"), S("--url"),
                                    S("https://example.org/packs/"), S("--secret"), key,
                                    S("--out"), path(out)});
            QVERIFY2(r.exitCode == 0, r.out + r.err);
            QVERIFY(r.out.contains("https://example.org/packs/sample-1.31.tar.xz"));
            archives << path(out) + S("/sample-1.31.tar.xz");
        }
        QCOMPARE(read(archives[0]), read(archives[1]));
        QCOMPARE(tool(S("minisign"), {S("-Vm"), archives[0], S("-p"), path("pub.pub")}), 0);

        // The version file as the update check reads it.
        packupdate::PackageInfo info;
        QString why;
        QVERIFY2(packupdate::ReadPackageInfo(path("out1/VersionInfo.ini"), info, &why),
                 qPrintable(why));
        QCOMPARE(info.sha256, QCryptographicHash::hash(read(archives[0]),
                                                       QCryptographicHash::Sha256).toHex());
        QCOMPARE(info.size, QFileInfo(archives[0]).size());
        QCOMPARE(info.version, S("1.31"));
        QVERIFY(info.signature.contains(S("\ntrusted comment: version:1.31\n")));

        // Unpacked: the pack's files byte for byte, without the player's state; its settings
        // name the new version.
        const QString unpacked = path("unpacked");
        QVERIFY(QDir().mkpath(unpacked));
        QCOMPARE(tool(S("bsdtar"), {S("-xf"), archives[0], S("-C"), unpacked}), 0);
        QCOMPARE(platform::IniFile::readString(unpacked + S("/varimond.ini"), S("VersionInfo"),
                                               S("UserInterface"), {}),
                 S("1.31"));
        auto expected = tree(pack);
        for (const QString &name : expected.keys()) {
            if (name.startsWith(S(".varimond-")) || name.endsWith(S("/Selected.ini")))
                expected.remove(name);
        }
        auto got = tree(unpacked);
        expected.remove(S("varimond.ini"));
        got.remove(S("varimond.ini"));
        QCOMPARE(got, expected);
        QVERIFY(!read(pack + S("/varimond.ini")).contains("UserInterface"));
    }

    void publishedUpdateInstallsThroughTheUpdatePath()
    {
        HttpTestServer server;
        QVERIFY(server.start());
        const QString key = keygen("e2e");
        QVERIFY(!key.isEmpty());
        const QByteArray publicKey = read(path("e2e.pub")).split('\n').value(1);
        const QString fresh = path("fresh"), old = path("old");
        QVERIFY(copyTree(S(VARIMOND_SOURCE_DIR "/demo"), fresh));
        QVERIFY(copyTree(S(VARIMOND_SOURCE_DIR "/demo"), old));
        for (const QString &pack : {fresh, old})
            platform::IniFile::writeString(pack + S("/varimond.ini"), S("Update"), S("PublicKey"),
                                           QString::fromLatin1(publicKey));
        QVERIFY(write(fresh + S("/Options/Welcome.txt"), "new in 2.0\n"));
        // Signed with a key other than the pack's, the update would be refused by every player.
        const QStringList args{S("publish"), fresh, S("--version"), S("2.0"), S("--url"),
                               server.url(S("/p")), S("--out"), path("e2e"), S("--secret")};
        QCOMPARE(varimond(args + QStringList{keygen("other")}).exitCode, 2);
        const Run r = varimond(args + QStringList{key});
        QVERIFY2(r.exitCode == 0, r.out + r.err);
        Route archive{Route::Whole, 200, read(path("e2e/fresh-2.0.tar.xz")), {}};
        archive.type = "application/x-xz";
        server.set(S("/p/fresh-2.0.tar.xz"), archive);

        packupdate::PackageInfo info;
        QVERIFY(packupdate::ReadPackageInfo(path("e2e/VersionInfo.ini"), info));
        packupdate::PackInstall install;
        QSignalSpy done(&install, &packupdate::PackInstall::finished);
        install.start(info, {old + S("/"), S("varimond.ini"), S("varimond"), S("1.0"),
                             QString::fromLatin1(publicKey)});
        QVERIFY(done.wait(120000));
        QVERIFY2(done.first().first().toBool(), qPrintable(install.message()));
        QCOMPARE(read(old + S("/Options/Welcome.txt")), QByteArray("new in 2.0\n"));
        QCOMPARE(platform::IniFile::readString(old + S("/varimond.ini"), S("VersionInfo"),
                                               S("UserInterface"), {}),
                 S("2.0"));
    }

    void cannotRunExitsWithTwo_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        QTest::newRow("missing folder") << QStringList{S("check"), S("/nonexistent/pack")}
                                        << S("is not a folder");
        QTest::newRow("bad key") << QStringList{S("publish"), S(VARIMOND_SOURCE_DIR "/demo"),
                                                S("--version"), S("1"), S("--url"),
                                                S("https://example.org/"), S("--secret"),
                                                S(VARIMOND_SOURCE_DIR "/README.md"), S("--out"),
                                                path("never")}
                                 << S("is not a minisign secret key");
        QTest::newRow("bad argument") << QStringList{S("keygen"), S("--public")}
                                      << S("--public needs a value");
        QTest::newRow("unknown command") << QStringList{S("sign")} << S("Unknown pack command");
    }

    void cannotRunExitsWithTwo()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        const Run r = varimond(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(QString::fromLocal8Bit(r.err).contains(says), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestPackTools)
#include "tst_packtools.moc"
