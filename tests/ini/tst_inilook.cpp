// The quick look a tick takes at thousands of descriptors must answer exactly as the write it
// spares would, and a write into a placed folder must land in that folder or nowhere.

#include "files/Error.h"
#include "ini/IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::IniFile;

namespace {

QByteArray Read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

class Folder
{
public:
    explicit Folder(const QString &path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
    }
    ~Folder() { ::close(m_fd); }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

class TestIniLook : public QObject
{
    Q_OBJECT

private slots:
    void lookAnswersAsTheWriteWould_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::newRow("holds") << QByteArray("[Mode]\r\nOptionMode=2\r\n") << 2;
        QTest::newRow("differs") << QByteArray("[Mode]\r\nOptionMode=3\r\n") << 2;
        QTest::newRow("names in other case, blanks")
            << QByteArray("  [ mode ]  \n  optionmode  =  2  \n") << 2;
        QTest::newRow("quoted value is text the write replaces")
            << QByteArray("[Mode]\nOptionMode=\"2\"\n") << 2;
        QTest::newRow("first section wins")
            << QByteArray("[Mode]\nOptionMode=3\n[Mode]\nOptionMode=2\n") << 2;
        QTest::newRow("key only in a later section of the name")
            << QByteArray("[Mode]\nOther=1\n[Mode]\nOptionMode=2\n") << 2;
        QTest::newRow("first key wins") << QByteArray("[Mode]\nOptionMode=2\nOptionMode=3\n") << 2;
        QTest::newRow("commented key") << QByteArray("[Mode]\n;OptionMode=2\n") << 2;
        QTest::newRow("key before any section") << QByteArray("OptionMode=2\n[Mode]\n") << 2;
        QTest::newRow("unclosed bracket does not end the section")
            << QByteArray("[Mode]\n[broken\nOptionMode=2\n") << 2;
        QTest::newRow("header with a trailing comment")
            << QByteArray("[Mode] ; the mode\nOptionMode=2\n") << 2;
        QTest::newRow("key in the next section")
            << QByteArray("[Mode]\n[Other]\nOptionMode=2\n") << 2;
        QTest::newRow("no line break at the end") << QByteArray("[Mode]\nOptionMode=5") << 5;
        QTest::newRow("negative") << QByteArray("[Mode]\nOptionMode=-1\n") << -1;
        QTest::newRow("leading zero") << QByteArray("[Mode]\nOptionMode=02\n") << 2;
        QTest::newRow("UTF-8 mark") << QByteArray("\xEF\xBB\xBF[Mode]\nOptionMode=2\n") << 2;
        QTest::newRow("UTF-16") << QByteArray("\xFF\xFE[\0M\0o\0d\0e\0]\0\n\0", 16) << 2;
        QTest::newRow("Windows-1252 name")
            << QByteArray("[Mode]\nOptionMod\xE9=1\nOptionMode=2\n") << 2;
        QTest::newRow("empty") << QByteArray() << 2;
        QTest::newRow("large") << QByteArray("[Mode]\nOptionMode=2\n;") + QByteArray(5000, 'x')
                               << 2;
    }

    void lookAnswersAsTheWriteWould()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Leaf/options.ini"));
        Write(path, content);
        // What the write does: the oracle the look must agree with.
        bool writeChanges = false;
        {
            IniFile ini(path, IniFile::Intent::Update);
            ini.beginUpdate();
            ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), mode);
            writeChanges = !ini.mayWrite() || ini.hasPendingChanges();
        }
        const Folder folder(dir.path());
        const IniFile::Look look =
            IniFile::holdsInteger(folder.fd(), "Leaf/options.ini", QStringLiteral("Mode"),
                                  QStringLiteral("OptionMode"), mode);
        // Never a wrong "holds"; and for a descriptor of the usual size, never a missed one.
        if (look == IniFile::Look::Holds)
            QVERIFY(!writeChanges);
        if (content.size() < 4096)
            QCOMPARE(look == IniFile::Look::Holds, !writeChanges);
        QCOMPARE(look == IniFile::Look::Unreached, false);
        QCOMPARE(Read(path), content);
    }

    void lookNeverFollowsALink_data()
    {
        QTest::addColumn<QString>("link");
        QTest::newRow("the file") << QStringLiteral("Leaf/options.ini");
        QTest::newRow("its folder") << QStringLiteral("Leaf");
    }

    void lookNeverFollowsALink()
    {
        QFETCH(QString, link);
        QTemporaryDir dir;
        Write(dir.filePath(QStringLiteral("Elsewhere/options.ini")), "[Mode]\nOptionMode=2\n");
        const bool file = link.contains(u'/');
        if (file)
            QDir().mkpath(dir.filePath(QStringLiteral("Leaf")));
        const QString target = dir.filePath(file ? QStringLiteral("Elsewhere/options.ini")
                                                 : QStringLiteral("Elsewhere"));
        QVERIFY(QFile::link(target, dir.filePath(link)));
        const Folder folder(dir.path());
        QCOMPARE(IniFile::holdsInteger(folder.fd(), "Leaf/options.ini", QStringLiteral("Mode"),
                                       QStringLiteral("OptionMode"), 2),
                 IniFile::Look::Unreached);
    }

    void readOnlyFileDoesNotHold()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Leaf/options.ini"));
        Write(path, "[Mode]\nOptionMode=2\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        const Folder folder(dir.path());
        QVERIFY(IniFile::holdsInteger(folder.fd(), "Leaf/options.ini", QStringLiteral("Mode"),
                                      QStringLiteral("OptionMode"), 2) != IniFile::Look::Holds);
    }

    // A folder on the way swapped for a link to the same folder moved out of the root: the
    // write would find the file it read at the end of the path, so only a walk from the root
    // that follows no link keeps it from landing outside.
    void placedWriteRefusesAFolderMovedOutBehindALink()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("Options"));
        const QString path = root + QStringLiteral("/Pack/Group/Leaf/options.ini");
        const QByteArray before("[Mode]\nOptionMode=2\n");
        Write(path, before);
        const Folder rootFolder(root);
        IniFile ini(path, IniFile::Intent::Update);
        ini.confineWritesTo(QFileInfo(root).canonicalFilePath());
        ini.writeInPlacedFolder(rootFolder.fd(), "Pack/Group/Leaf");
        ini.beginUpdate();
        ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 3);

        const QString outside = dir.filePath(QStringLiteral("Outside"));
        QVERIFY(QDir().rename(root + QStringLiteral("/Pack/Group"), outside));
        QVERIFY(QFile::link(outside, root + QStringLiteral("/Pack/Group")));
        QVERIFY_THROWS_EXCEPTION(AppError, ini.flush());
        QCOMPARE(Read(outside + QStringLiteral("/Leaf/options.ini")), before);
    }

    void placedWriteLandsInItsFolder()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("Options"));
        const QString path = root + QStringLiteral("/Pack/Leaf/options.ini");
        Write(path, "[Mode]\nOptionMode=2\n");
        const Folder rootFolder(root);
        IniFile ini(path, IniFile::Intent::Update);
        ini.confineWritesTo(QFileInfo(root).canonicalFilePath());
        ini.writeInPlacedFolder(rootFolder.fd(), "Pack/Leaf");
        ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 3);
        QCOMPARE(Read(path), QByteArray("[Mode]\nOptionMode=3\n"));
    }
};

QTEST_GUILESS_MAIN(TestIniLook)
#include "tst_inilook.moc"
