// The quick look a tick takes at thousands of descriptors must answer exactly as the write it
// spares would, and a write into a placed folder must land in that folder or nowhere.

#include "files/Error.h"
#include "ini/IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using platform::IniFile;

namespace {

const QString Mode = QStringLiteral("Mode");
const QString Key = QStringLiteral("OptionMode");

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

// The look at Leaf/options.ini below @p folder.
IniFile::Look Look(const QString &folder, int mode)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    const IniFile::Look look = IniFile::holdsInteger(fd, "Leaf/options.ini", Mode, Key, mode);
    ::close(fd);
    return look;
}

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
        QTest::newRow("other case, blanks")
            << QByteArray("  [ mode ]  \n  optionmode  =  2  \n") << 2;
        QTest::newRow("quoted") << QByteArray("[Mode]\nOptionMode=\"2\"\n") << 2;
        QTest::newRow("first section wins")
            << QByteArray("[Mode]\nOptionMode=3\n[Mode]\nOptionMode=2\n") << 2;
        QTest::newRow("key in a later section of the name")
            << QByteArray("[Mode]\nOther=1\n[Mode]\nOptionMode=2\n") << 2;
        QTest::newRow("first key wins") << QByteArray("[Mode]\nOptionMode=2\nOptionMode=3\n") << 2;
        QTest::newRow("commented key") << QByteArray("[Mode]\n;OptionMode=2\n") << 2;
        QTest::newRow("key before any section") << QByteArray("OptionMode=2\n[Mode]\n") << 2;
        QTest::newRow("unclosed bracket") << QByteArray("[Mode]\n[broken\nOptionMode=2\n") << 2;
        QTest::newRow("header comment") << QByteArray("[Mode] ; the mode\nOptionMode=2\n") << 2;
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
        IniFile ini(path, IniFile::Intent::Update);
        ini.beginUpdate();
        ini.writeInteger(Mode, Key, mode);
        const bool writeChanges = !ini.mayWrite() || ini.hasPendingChanges();
        const IniFile::Look look = Look(dir.path(), mode);
        // Never a wrong "holds"; and for a descriptor of the usual size, never a missed one.
        if (look == IniFile::Look::Holds)
            QVERIFY(!writeChanges);
        if (content.size() < 4096)
            QCOMPARE(look == IniFile::Look::Holds, !writeChanges);
        QVERIFY(look != IniFile::Look::Unreached);
        QCOMPARE(Read(path), content);
    }

    // A folder on the way swapped for a link to the same folder moved out of the root: the
    // write would find the file it read at the end of the path, so only a walk from the root
    // that follows no link keeps it from landing outside.
    void placedWriteRefusesAFolderMovedOutBehindALink()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("Options"));
        const QByteArray before("[Mode]\nOptionMode=2\n");
        Write(root + QStringLiteral("/Pack/Group/Leaf/options.ini"), before);
        const int rootFd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY);
        auto closeRoot = qScopeGuard([&] { ::close(rootFd); });
        IniFile ini(root + QStringLiteral("/Pack/Group/Leaf/options.ini"), IniFile::Intent::Update);
        ini.confineWritesTo(QFileInfo(root).canonicalFilePath());
        ini.writeInPlacedFolder(rootFd, "Pack/Group/Leaf");
        ini.beginUpdate();
        ini.writeInteger(Mode, Key, 3);

        const QString outside = dir.filePath(QStringLiteral("Outside"));
        QVERIFY(QDir().rename(root + QStringLiteral("/Pack/Group"), outside));
        QVERIFY(QFile::link(outside, root + QStringLiteral("/Pack/Group")));
        QVERIFY_THROWS_EXCEPTION(AppError, ini.flush());
        QCOMPARE(Read(outside + QStringLiteral("/Leaf/options.ini")), before);
    }
};

QTEST_GUILESS_MAIN(TestIniLook)
#include "tst_inilook.moc"
