#include "files/Error.h"
#include "ini/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using platform::IniFile;

namespace {
QString S(const char *text)
{
    return QString::fromUtf8(text);
}
} // namespace

class TestIni : public QObject
{
    Q_OBJECT

private:
    QString write(const QTemporaryDir &dir, const QByteArray &content,
                  const QString &name = QStringLiteral("test.ini"))
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        f.write(content);
        return path;
    }

    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // @p text as UTF-16 with its byte-order mark.
    static QByteArray utf16(const char16_t *text, bool littleEndian)
    {
        QByteArray out = littleEndian ? QByteArray("\xFF\xFE", 2) : QByteArray("\xFE\xFF", 2);
        for (const char16_t *p = text; *p; ++p) {
            const char lo = static_cast<char>(*p & 0xFF);
            const char hi = static_cast<char>(*p >> 8);
            out.append(littleEndian ? lo : hi).append(littleEndian ? hi : lo);
        }
        return out;
    }

    static QStringList hiddenFiles(const QString &folder)
    {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }

    static bool isLink(const QString &path)
    {
        struct stat st = {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
    }

private Q_SLOTS:
    void readString_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        const QByteArray basic = "[Main]\nName=Value\n";
        QTest::newRow("plain") << basic << "Main"
                               << "Name"
                               << "Value";
        QTest::newRow("section case") << basic << "MAIN"
                                      << "Name"
                                      << "Value";
        QTest::newRow("key case") << basic << "main"
                                  << "nAmE"
                                  << "Value";
        QTest::newRow("missing key") << basic << "Main"
                                     << "Other"
                                     << "<def>";
        QTest::newRow("missing section") << basic << "Else"
                                         << "Name"
                                         << "<def>";
        QTest::newRow("blanks trimmed")
            << QByteArray("[ Main ]\n  Name   =   spaced value  \t\n") << "Main"
            << "Name"
            << "spaced value";
        QTest::newRow("double quotes") << QByteArray("[Main]\nName=\"  quoted  \"\n") << "Main"
                                       << "Name"
                                       << "  quoted  ";
        QTest::newRow("single quotes") << QByteArray("[Main]\nName='x'\n") << "Main"
                                       << "Name"
                                       << "x";
        QTest::newRow("one pair only") << QByteArray("[Main]\nName=\"\"x\"\"\n") << "Main"
                                       << "Name"
                                       << "\"x\"";
        QTest::newRow("mismatched quotes kept") << QByteArray("[Main]\nName=\"x'\n") << "Main"
                                                << "Name"
                                                << "\"x'";
        QTest::newRow("empty value is not the default") << QByteArray("[Main]\nName=\n") << "Main"
                                                        << "Name"
                                                        << "";
        QTest::newRow("first key wins") << QByteArray("[Main]\nName=one\nName=two\n") << "Main"
                                        << "Name"
                                        << "one";
        QTest::newRow("first section wins") << QByteArray("[Main]\nA=1\n[Main]\nB=2\n") << "Main"
                                            << "B"
                                            << "<def>";
        QTest::newRow("key in next section is not ours")
            << QByteArray("[Main]\n[Next]\nName=x\n") << "Main"
            << "Name"
            << "<def>";
        QTest::newRow("comment is no key") << QByteArray("[Main]\n;Name=hidden\n") << "Main"
                                           << ";Name"
                                           << "<def>";
        QTest::newRow("equals in value") << QByteArray("[Main]\nUrl=http://x/?a=b\n") << "Main"
                                         << "Url"
                                         << "http://x/?a=b";
        QTest::newRow("CRLF") << QByteArray("[Main]\r\nName=Value\r\n") << "Main"
                              << "Name"
                              << "Value";
        QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[Main]\nName=Value\n") << "Main"
                                         << "Name"
                                         << "Value";
        QTest::newRow("no final newline") << QByteArray("[Main]\nName=Value") << "Main"
                                          << "Name"
                                          << "Value";
        QTest::newRow("Windows-1252 value") << QByteArray("[Main]\nName=Caf\xE9\n") << "Main"
                                            << "Name" << QString::fromUtf8("Café");
        QTest::newRow("UTF-8 value") << QByteArray("[Main]\nName=Caf\xC3\xA9\n") << "Main"
                                     << "Name" << QString::fromUtf8("Café");
        QTest::newRow("key before any section ignored") << QByteArray("Name=x\n[Main]\n") << "Main"
                                                        << "Name"
                                                        << "<def>";
        QTest::newRow("open bracket without close is no header")
            << QByteArray("[Main]\n[broken\nName=x\n") << "Main"
            << "Name"
            << "x";
        QTest::newRow("unclosed bracket line is no key either")
            << QByteArray("[Main]\n[broken=1\n") << "Main"
            << "[broken"
            << "<def>";
        QTest::newRow("name runs to the last bracket") << QByteArray("[a]b]\nName=x\n") << "a]b"
                                                       << "Name"
                                                       << "x";
        QTest::newRow("not to the first bracket") << QByteArray("[a]b]\nName=x\n") << "a"
                                                  << "Name"
                                                  << "<def>";
        QTest::newRow("mark starting a key is part of it")
            << QByteArray("[Main]\n\xEF\xBB\xBFName=x\n") << "Main"
            << QChar(0xFEFF) + QStringLiteral("Name") << "x";
        QTest::newRow("mark starting a key is not the bare key")
            << QByteArray("[Main]\n\xEF\xBB\xBFName=x\n") << "Main"
            << "Name"
            << "<def>";
        QTest::newRow("mark starting a value is kept")
            << QByteArray("[Main]\nName=\xEF\xBB\xBFx\n") << "Main"
            << "Name" << QChar(0xFEFF) + QStringLiteral("x");
        QTest::newRow("only the file's first mark is a byte-order mark")
            << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF[Main]\nName=x\n")
            << QChar(0xFEFF) + QStringLiteral("[Main]") << "Name"
            << "<def>";
        QTest::newRow("UTF-16 LE with mark")
            << utf16(u"[Main]\r\nName=Caf\u00e9\r\n", true) << "main"
            << "name" << QString::fromUtf8("Café");
        QTest::newRow("UTF-16 BE with mark")
            << utf16(u"[Main]\r\nName=Caf\u00e9\r\n", false) << "Main"
            << "Name" << QString::fromUtf8("Café");
    }

    void readString()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const IniFile ini(write(dir, content));
        QCOMPARE(ini.readString(section, key, QStringLiteral("<def>")), expected);
    }

    void longValueIsCut()
    {
        QTemporaryDir dir;
        const QByteArray value(5000, 'a');
        const IniFile ini(write(dir, "[S]\nK=" + value + "\n"));
        QCOMPARE(ini.readString(QStringLiteral("S"), QStringLiteral("K"), QString()).size(),
                 IniFile::MaxValueLength);
    }

    void missingFileGivesDefaults()
    {
        QTemporaryDir dir;
        const IniFile ini(dir.filePath(QStringLiteral("none.ini")));
        QVERIFY(!ini.exists());
        QCOMPARE(ini.readString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("d")),
                 QStringLiteral("d"));
        QCOMPARE(ini.readInteger(QStringLiteral("S"), QStringLiteral("K"), 42), 42);
    }

    void integerRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");
        const int def = 777;
        QTest::newRow("decimal") << "500" << 500;
        QTest::newRow("leading blanks") << "   42" << 42;
        QTest::newRow("negative") << "-5" << -5;
        QTest::newRow("plus") << "+7" << 7;
        QTest::newRow("0x") << "0x1F4" << 500;
        QTest::newRow("0X lower digits") << "0X1f4" << 500;
        QTest::newRow("dollar") << "$1F4" << 500;
        QTest::newRow("x") << "x1F4" << 500;
        QTest::newRow("X") << "X1F4" << 500;
        QTest::newRow("negative hex") << "-$10" << -16;
        QTest::newRow("hex pattern negative") << "$FFFFFFFF" << -1;
        QTest::newRow("hex sign bit") << "0x80000000" << INT_MIN;
        QTest::newRow("hex too large") << "$100000000" << def;
        QTest::newRow("hex digits without prefix") << "1F4" << def;
        QTest::newRow("letters") << "abc" << def;
        QTest::newRow("trailing letters") << "500px" << def;
        QTest::newRow("inner blank") << "1 2" << def;
        QTest::newRow("empty") << "" << def;
        QTest::newRow("sign only") << "-" << def;
        QTest::newRow("prefix only") << "0x" << def;
        QTest::newRow("max") << "2147483647" << INT_MAX;
        QTest::newRow("min") << "-2147483648" << INT_MIN;
        QTest::newRow("above max") << "2147483648" << def;
        QTest::newRow("below min") << "-2147483649" << def;
        QTest::newRow("huge") << "99999999999999999999999" << def;
    }

    void integerRule()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        QCOMPARE(platform::parseIniInteger(text, 777), expected);
        // Read through a file, the value also loses its quotes first.
        QTemporaryDir dir;
        const IniFile ini(write(dir, "[S]\nK=\"" + text.toUtf8() + "\"\n"));
        QCOMPARE(ini.readInteger(QStringLiteral("S"), QStringLiteral("K"), 777), expected);
    }

    void booleans_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("defaultValue");
        QTest::addColumn<bool>("expected");
        QTest::newRow("1") << QByteArray("1") << false << true;
        QTest::newRow("2 is true") << QByteArray("2") << false << true;
        QTest::newRow("-1 is true") << QByteArray("-1") << false << true;
        QTest::newRow("0") << QByteArray("0") << true << false;
        QTest::newRow("word falls back (true)") << QByteArray("yes") << true << true;
        QTest::newRow("word falls back (false)") << QByteArray("yes") << false << false;
        QTest::newRow("empty falls back") << QByteArray("") << true << true;
    }

    void booleans()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, defaultValue);
        QFETCH(bool, expected);
        QTemporaryDir dir;
        const IniFile ini(write(dir, "[S]\nK=" + value + "\n"));
        QCOMPARE(ini.readBool(QStringLiteral("S"), QStringLiteral("K"), defaultValue), expected);
    }

    void writeInPlaceKeepsEverythingElse_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");

        const QByteArray file = "; comment line\n[Mode]\nOptionMode=3\nOther = keep \n\n"
                                "[Unknown]\nX=1\n";
        QTest::newRow("replace value")
            << file << "mode"
            << "optionmode"
            << "2"
            << QByteArray("; comment line\n[Mode]\nOptionMode=2\nOther = keep \n\n"
                          "[Unknown]\nX=1\n");
        QTest::newRow("new key goes after the section's last line")
            << file << "Mode"
            << "New"
            << "v"
            << QByteArray("; comment line\n[Mode]\nOptionMode=3\nOther = keep \nNew=v\n\n"
                          "[Unknown]\nX=1\n");
        QTest::newRow("new section at the end") << file << "Fresh"
                                                << "K"
                                                << "" << QByteArray(file + "[Fresh]\nK=\n");
        QTest::newRow("CRLF kept") << QByteArray("[A]\r\nK=1\r\n[B]\r\nL=2\r\n") << "A"
                                   << "M"
                                   << "x" << QByteArray("[A]\r\nK=1\r\nM=x\r\n[B]\r\nL=2\r\n");
        QTest::newRow("CRLF new section") << QByteArray("[A]\r\nK=1\r\n") << "B"
                                          << "K"
                                          << "2" << QByteArray("[A]\r\nK=1\r\n[B]\r\nK=2\r\n");
        QTest::newRow("last line without newline") << QByteArray("[A]\nK=1") << "A"
                                                   << "L"
                                                   << "2" << QByteArray("[A]\nK=1\nL=2\n");
        QTest::newRow("byte-order mark kept") << QByteArray("\xEF\xBB\xBF[A]\nK=1\n") << "A"
                                              << "K"
                                              << "5" << QByteArray("\xEF\xBB\xBF[A]\nK=5\n");
        QTest::newRow("key spelling kept") << QByteArray("[A]\n  MyKey  = 1\n") << "a"
                                           << "MYKEY"
                                           << "9" << QByteArray("[A]\nMyKey=9\n");
        QTest::newRow("Windows-1252 bytes elsewhere kept")
            << QByteArray("[A]\nName=Caf\xE9\nK=1\n") << "A"
            << "K"
            << "2" << QByteArray("[A]\nName=Caf\xE9\nK=2\n");
    }

    void writeInPlaceKeepsEverythingElse()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = write(dir, before);
        IniFile ini(path);
        ini.writeString(section, key, value);
        QCOMPARE(read(path), after);
        QCOMPARE(IniFile(path).readString(section, key, QStringLiteral("<def>")), value);
    }

    void writeCreatesFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("new.ini"));
        IniFile::writeInteger(path, QStringLiteral("Mode"), QStringLiteral("OptionMode"), 1);
        QCOMPARE(read(path), QByteArray("[Mode]\nOptionMode=1\n"));
        // No temporary file is left behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    void writeKeepsPermissionsAndLinks()
    {
        QTemporaryDir dir;
        const QString path = write(dir, "[A]\nK=1\n", QStringLiteral("real.ini"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadGroup));
        const QString link = dir.filePath(QStringLiteral("link.ini"));
        QVERIFY(QFile::link(path, link));
        IniFile::writeInteger(link, QStringLiteral("A"), QStringLiteral("K"), 2);
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(read(path), QByteArray("[A]\nK=2\n"));
        QCOMPARE(QFile::permissions(path) & 0x7077, // owner, group and other bits
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    }

    void readOnlyFileIsRefused_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("changing write") << "2";
        QTest::newRow("write of the same value") << "1";
    }

    void readOnlyFileIsRefused()
    {
        QFETCH(QString, value);
        QTemporaryDir dir;
        const QByteArray content = "; keep me\r\n[A]\r\nK=1\r\n";
        const QString path = write(dir, content);
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                                QFileDevice::ReadOther));
        IniFile ini(path);
        try {
            ini.writeString(QStringLiteral("A"), QStringLiteral("K"), value);
            QFAIL("the write was not refused");
        } catch (const AppError &e) {
            QCOMPARE(e.message(), QStringLiteral("Unable to write to ") + path);
        }
        QCOMPARE(read(path), content);
        // The object still describes the file as it is on disk.
        QCOMPARE(ini.readString(QStringLiteral("A"), QStringLiteral("K"), QString()),
                 QStringLiteral("1"));
    }

    void sameContentWriteLeavesFileAlone()
    {
        QTemporaryDir dir;
        const QString path = write(dir, "[A]\nK=1\n");
        struct stat before = {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &before) == 0);
        IniFile::writeString(path, QStringLiteral("A"), QStringLiteral("K"), QStringLiteral("1"));
        struct stat after = {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &after) == 0);
        QCOMPARE(after.st_ino, before.st_ino); // not replaced by a rewritten copy
    }

    void missingFolderIsRefused()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("no/such/folder/x.ini"));
        QVERIFY_THROWS_EXCEPTION(
            AppError, IniFile::writeInteger(path, QStringLiteral("A"), QStringLiteral("K"), 1));
        QVERIFY(!QFileInfo::exists(path));
    }

    void unreadableFileIsNeverReplaced()
    {
        // A file far larger than any INI file is treated as unreadable: reads give defaults
        // and a write must not replace its content with a fresh file.
        QTemporaryDir dir;
        const QString path = write(dir, "[A]\nK=1\n");
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.resize(IniFile::MaxFileSize + 1));
        f.close();
        IniFile ini(path);
        QCOMPARE(ini.readInteger(QStringLiteral("A"), QStringLiteral("K"), 5), 5);
        QVERIFY_THROWS_EXCEPTION(AppError,
                                 ini.writeInteger(QStringLiteral("A"), QStringLiteral("K"), 2));
        QCOMPARE(QFileInfo(path).size(), IniFile::MaxFileSize + 1);
    }

    void folderInPlaceOfFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("options.ini"));
        QVERIFY(QDir().mkpath(path));
        const IniFile ini(path);
        QCOMPARE(ini.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 1), 1);
        QVERIFY_THROWS_EXCEPTION(AppError, IniFile::writeInteger(path, QStringLiteral("Mode"),
                                                                 QStringLiteral("OptionMode"), 2));
        QVERIFY(QFileInfo(path).isDir());
    }

    void lineBreaksInValuesAddNoLines()
    {
        QTemporaryDir dir;
        const QString path = write(dir, "[A]\nK=1\n");
        IniFile::writeString(path, QStringLiteral("A"), QStringLiteral("K"),
                             QStringLiteral("x\r\n[Evil]\nHideShell=1"));
        QCOMPARE(read(path), QByteArray("[A]\nK=x  [Evil] HideShell=1\n"));
        QVERIFY(!IniFile(path).hasKey(QStringLiteral("Evil"), QStringLiteral("HideShell")));
    }

    void collectedWritesReplaceTheFileOnce()
    {
        QTemporaryDir dir;
        const QString path = write(dir, "; mine\n[A]\nK=1\n");
        struct stat before = {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &before) == 0);
        IniFile ini(path);
        ini.beginUpdate();
        ini.writeInteger(QStringLiteral("A"), QStringLiteral("K"), 2);
        ini.writeString(QStringLiteral("B"), QStringLiteral("L"), QStringLiteral("x"));
        QCOMPARE(read(path), QByteArray("; mine\n[A]\nK=1\n")); // nothing on disk yet
        ini.flush();
        QCOMPARE(read(path), QByteArray("; mine\n[A]\nK=2\n[B]\nL=x\n"));
        struct stat after = {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &after) == 0);
        QVERIFY(after.st_ino != before.st_ino); // replaced as a whole, not edited in place

        // Nothing collected and no file: no empty file appears.
        IniFile none(dir.filePath(QStringLiteral("none.ini")));
        none.beginUpdate();
        none.flush();
        QVERIFY(!QFileInfo::exists(none.path()));
    }

    void collectedWritesRefusedTogether()
    {
        QTemporaryDir dir;
        const QByteArray content = "[A]\nK=1\n";
        const QString path = write(dir, content);
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
        IniFile ini(path);
        ini.beginUpdate();
        ini.writeInteger(QStringLiteral("A"), QStringLiteral("K"), 2);
        ini.writeInteger(QStringLiteral("A"), QStringLiteral("M"), 3);
        QVERIFY_THROWS_EXCEPTION(AppError, ini.flush());
        QCOMPARE(read(path), content);
        QCOMPARE(ini.readInteger(QStringLiteral("A"), QStringLiteral("K"), -1), 1);
    }

    void sectionsListed()
    {
        QTemporaryDir dir;
        const IniFile ini(write(dir, "[Option0]\nA=1\n[option0]\n[Option1]\n"));
        QCOMPARE(ini.sections(),
                 (QStringList{QStringLiteral("Option0"), QStringLiteral("Option1")}));
    }
    void sectionsCounted_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("names");

        QTest::newRow("none") << QByteArray("; only a comment\n") << 0 << QStringList();
        QTest::newRow("repeated section counts each time")
            << QByteArray("[Option0]\nDelay=1\n[Option1]\n[option0]\nRunMeFName=x\n") << 3
            << QStringList{"Option0", "Option1"};
        QTest::newRow("unclosed header is no section")
            << QByteArray("[Option0]\n[Option1\n[Option2]\n") << 2
            << QStringList{"Option0", "Option2"};
        QTest::newRow("name to the last bracket")
            << QByteArray("[a]b] x\n[ c ]\n") << 2 << QStringList{"a]b", "c"};
        QTest::newRow("UTF-16") << utf16(u"[Option0]\r\n[Option1]\r\n[OPTION1]\r\n", true) << 3
                                << QStringList{"Option0", "Option1"};
    }

    void sectionsCounted()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, count);
        QFETCH(QStringList, names);
        QTemporaryDir dir;
        const IniFile ini(write(dir, content));
        QCOMPARE(ini.sectionCount(), count);
        QCOMPARE(ini.sections(), names);
    }

    void utf16WrittenAsUtf16_data()
    {
        QTest::addColumn<bool>("littleEndian");
        QTest::newRow("little-endian") << true;
        QTest::newRow("big-endian") << false;
    }

    void utf16WrittenAsUtf16()
    {
        QFETCH(bool, littleEndian);
        QTemporaryDir dir;
        const QString path =
            write(dir, utf16(u"; caf\u00e9\r\n[Mode]\r\nOptionMode=1\r\n", littleEndian));
        IniFile ini(path);
        ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 3);
        ini.writeString(QStringLiteral("Mode"), QStringLiteral("Note"), QStringLiteral("\u00fc"));
        ini.writeInteger(QStringLiteral("New"), QStringLiteral("K"), 7);
        QCOMPARE(read(path),
                 utf16(u"; caf\u00e9\r\n[Mode]\r\nOptionMode=3\r\nNote=\u00fc\r\n[New]\r\nK=7\r\n",
                       littleEndian));
        const IniFile again(path);
        QCOMPARE(again.readInteger(QStringLiteral("mode"), QStringLiteral("optionmode"), -1), 3);
        QCOMPARE(again.readString(QStringLiteral("Mode"), QStringLiteral("Note"), QString()),
                 QStringLiteral("\u00fc"));
    }

    void brokenUtf16IsRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("odd length") << utf16(u"[Mode]\r\nOptionMode=1\r\n", true) + 'x';
        QTest::newRow("lone surrogate") << utf16(u"[Mode]\r\nOptionMode=1\r\n;\xD800\r\n", true);
    }

    void brokenUtf16IsRefused()
    {
        // Such a file cannot be written back as it is: nothing of it may change.
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = write(dir, content);
        IniFile ini(path);
        QCOMPARE(ini.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), -1), 1);
        try {
            ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 3);
            QFAIL("the write was not refused");
        } catch (const AppError &e) {
            QCOMPARE(e.message(), QStringLiteral("Unable to write to ") + path);
        }
        QCOMPARE(read(path), content);
    }

    void namesNearTheLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("247 bytes") << 247;
        QTest::newRow("248 bytes") << 248;
        QTest::newRow("255 bytes") << 255;
        QTest::newRow("255 bytes, two-byte characters") << -255;
    }

    void namesNearTheLimit()
    {
        QFETCH(int, length);
        QTemporaryDir dir;
        // A name of exactly |length| bytes, of "é" (two bytes each) when negative.
        QString name = length > 0 ? QString(length - 4, QLatin1Char('n'))
                                  : QString((-length - 5) / 2, QChar(0xE9)) + QLatin1Char('n');
        name += QStringLiteral(".ini");
        QCOMPARE(QFile::encodeName(name).size(), std::abs(length));
        const QString path = dir.filePath(name);
        // A stale temporary file of a killed write: the shortened form, within the name limit.
        const QByteArray stem = QFile::encodeName(name);
        const QByteArray mark = ".varimond-tmp-";
        const qsizetype extra = 1 + mark.size() + 6;
        const QByteArray stale =
            '.' + (stem.size() + extra > 255 ? stem.left(255 - extra) : stem) + mark + "Zz09aB";
        QVERIFY(stale.size() <= 255);
        const QByteArray stalePath = QFile::encodeName(dir.path() + QLatin1Char('/')) + stale;
        const int fd = ::open(stalePath.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        const struct timeval old[2] = {{time(nullptr) - 600, 0}, {time(nullptr) - 600, 0}};
        QCOMPARE(::utimes(stalePath.constData(), old), 0);

        IniFile::writeInteger(path, QStringLiteral("Mode"), QStringLiteral("OptionMode"), 1);
        IniFile::writeInteger(path, QStringLiteral("Mode"), QStringLiteral("OptionMode"), 2);
        QCOMPARE(read(path), QByteArray("[Mode]\nOptionMode=2\n"));
        QCOMPARE(hiddenFiles(dir.path()), QStringList{name});
    }

    void sectionsFoundAlikeInLargeFiles_data()
    {
        QTest::addColumn<int>("padding"); // sections before the ones looked up
        QTest::newRow("small file, searched in place") << 0;
        QTest::newRow("large file, searched through the index") << 5000;
    }

    void sectionsFoundAlikeInLargeFiles()
    {
        // Whatever the file's size, a look-up finds the first section of a name, ignoring case
        // (beyond ASCII too), and keys only inside that section.
        QFETCH(int, padding);
        QByteArray text;
        for (int i = 0; i < padding; ++i)
            text += "[pad" + QByteArray::number(i % 7) + "]\nk=" + QByteArray::number(i) + "\n";
        text += "[Option1]\nKey=first\n[OPTION1]\nKey=second\nOther=x\n[\xc3\x89t\xc3\xa9]\nKey=e\n"
                "[Empty]\n[Option2]\nKey=two\n";
        QTemporaryDir dir;
        const IniFile ini(write(dir, text));
        QCOMPARE(ini.readString(S("option1"), S("Key"), S("-")), S("first"));
        QCOMPARE(ini.readString(S("Option1"), S("Other"), S("-")), S("-"));
        QCOMPARE(ini.readString(S("\u00e9T\u00c9"), S("key"), S("-")), S("e"));
        QCOMPARE(ini.readString(S("Empty"), S("Key"), S("-")), S("-"));
        QCOMPARE(ini.readString(S("Option2"), S("Key"), S("-")), S("two"));
        QCOMPARE(ini.readString(S("Option3"), S("Key"), S("-")), S("-"));
        QCOMPARE(ini.sectionCount(), padding + 5);
    }

    void staleTemporariesRemoved_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("ageSeconds");
        QTest::addColumn<bool>("removed");
        // Only an interrupted write's own temporary, a minute old, goes; users' files that merely
        // look alike stay, whatever their age.
        QTest::newRow("own temporary, old") << S(".test.ini.varimond-tmp-Ab12Cd") << 120 << true;
        QTest::newRow("another file's temporary, old")
            << S(".other.ini.varimond-tmp-zzzzzz") << 3600 << true;
        QTest::newRow("temporary of a write in progress")
            << S(".test.ini.varimond-tmp-Ab12Cd") << 5 << false;
        QTest::newRow("user's backup of options.ini") << S(".options.ini.backup") << 3600 << false;
        QTest::newRow("user's backup of varimond.ini") << S(".varimond.ini.backup") << 3600 << false;
        QTest::newRow("six letters after the name") << S(".test.ini.Ab12Cd") << 3600 << false;
        QTest::newRow("three letters after the name") << S(".x.ini.old") << 3600 << false;
        QTest::newRow("mark with five letters") << S(".test.ini.varimond-tmp-Ab12C") << 3600 << false;
        QTest::newRow("mark with seven letters")
            << S(".test.ini.varimond-tmp-Ab12Cde") << 3600 << false;
        QTest::newRow("mark without a leading dot") << S("test.ini.varimond-tmp-Ab12Cd") << 3600 << false;
    }

    void staleTemporariesRemoved()
    {
        QFETCH(QString, name);
        QFETCH(int, ageSeconds);
        QFETCH(bool, removed);
        QTemporaryDir dir;
        const QString path = write(dir, "[A]\nK=1\n", QStringLiteral("test.ini"));
        write(dir, "half", name);
        const QString other = dir.filePath(name);
        const struct timeval then[2] = {{time(nullptr) - ageSeconds, 0}, {time(nullptr) - ageSeconds, 0}};
        QCOMPARE(::utimes(QFile::encodeName(other).constData(), then), 0);
        // Folders and links of the temporaries' pattern are never removed.
        const QString folder = dir.filePath(QStringLiteral(".f.ini.varimond-tmp-Folder"));
        const QString link = dir.filePath(QStringLiteral(".l.ini.varimond-tmp-LinkXy"));
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(QFile::link(QStringLiteral("test.ini"), link));

        // A write that changes nothing does not touch the folder.
        IniFile::writeInteger(path, QStringLiteral("A"), QStringLiteral("K"), 1);
        QVERIFY(QFileInfo::exists(other));

        IniFile::writeInteger(path, QStringLiteral("A"), QStringLiteral("K"), 2);
        QCOMPARE(read(path), QByteArray("[A]\nK=2\n"));
        QCOMPARE(QFileInfo::exists(other), !removed);
        QVERIFY(QFileInfo(folder).isDir());
        QVERIFY(QFileInfo(link).isSymLink());
        QStringList left = hiddenFiles(dir.path());
        left.removeAll(name);
        left.sort();
        QStringList expected{S(".l.ini.varimond-tmp-LinkXy"), S("test.ini")};
        expected.sort();
        QCOMPARE(left, expected);
    }

    void brokenLinksAreNotReplaced_data()
    {
        QTest::addColumn<QStringList>("links"); // "name>target" in creation order
        QTest::addColumn<QString>("missing");   // a path the write must not create, or empty
        QTest::newRow("dangling") << QStringList{"test.ini>gone.ini"} << "gone.ini";
        QTest::newRow("dangling through a chain")
            << QStringList{"test.ini>mid.ini", "mid.ini>sub/gone.ini"} << "sub/gone.ini";
        QTest::newRow("loop of two")
            << QStringList{"test.ini>other.ini", "other.ini>test.ini"} << QString();
        QTest::newRow("loop of one") << QStringList{"test.ini>test.ini"} << QString();
    }

    void brokenLinksAreNotReplaced()
    {
        QFETCH(QStringList, links);
        QFETCH(QString, missing);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        for (const QString &link : links) {
            const QString name = link.section(QLatin1Char('>'), 0, 0);
            const QByteArray target = QFile::encodeName(link.section(QLatin1Char('>'), 1));
            QCOMPARE(
                ::symlink(target.constData(), QFile::encodeName(dir.filePath(name)).constData()),
                0);
        }
        const QString path = dir.filePath(QStringLiteral("test.ini"));
        for (const IniFile::Intent intent : {IniFile::Intent::Read, IniFile::Intent::Update}) {
            IniFile ini(path, intent);
            QCOMPARE(ini.readInteger(QStringLiteral("A"), QStringLiteral("K"), 5), 5);
            QVERIFY_THROWS_EXCEPTION(AppError,
                                     ini.writeInteger(QStringLiteral("A"), QStringLiteral("K"), 2));
            QVERIFY(isLink(path));
            if (!missing.isEmpty())
                QVERIFY(!QFileInfo::exists(dir.filePath(missing)));
            QCOMPARE(hiddenFiles(dir.path()).size(), links.size());
        }
    }

    void sameValueKeepsTheLineAsWritten()
    {
        // A value that already reads as the one written leaves the file untouched, spacing and
        // all; another value gives the line its plain form.
        QTemporaryDir dir;
        const QByteArray content = "[Mode]\r\n  OptionMode = 3 \r\n";
        const QString path = write(dir, content);
        struct stat before = {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &before) == 0);
        IniFile::writeInteger(path, QStringLiteral("mode"), QStringLiteral("optionmode"), 3);
        struct stat after = {};
        QVERIFY(::stat(QFile::encodeName(path).constData(), &after) == 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(read(path), content);
        IniFile::writeInteger(path, QStringLiteral("mode"), QStringLiteral("optionmode"), 2);
        QCOMPARE(read(path), QByteArray("[Mode]\r\nOptionMode=2\r\n"));
    }

    void largeFiles_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("sections");
        QTest::addColumn<int>("distinct");
        const qint64 cap = IniFile::MaxFileSize;
        QTest::newRow("empty lines up to the cap") << QByteArray("\n") << cap << 0 << 0;
        QTest::newRow("CRLF lines up to the cap") << QByteArray("\r\n") << cap << 0 << 0;
        QTest::newRow("keys up to the cap") << QByteArray("=\n") << cap << 0 << 0;
        QTest::newRow("one section repeated up to the cap")
            << QByteArray("[]\n") << cap - cap % 3 << int(cap / 3) << 1;
        // Distinct sections by the hundred thousand: the listing must not compare each with all
        // before it.
        QTest::newRow("400,000 sections")
            << QByteArray("[S0000000]\n") << qint64(4400000) << 400000 << 400000;
    }

    void largeFiles()
    {
        // Every file up to the size cap parses, lists its sections and takes a write; the index
        // it keeps stays a small multiple of the file.
        QFETCH(QByteArray, line);
        QFETCH(qint64, size);
        QFETCH(int, sections);
        QFETCH(int, distinct);
        QTemporaryDir dir;
        QByteArray content;
        if (line.startsWith("[S")) {
            content.reserve(size);
            for (int i = 0; content.size() < size; ++i)
                content += QByteArray("[S") + QByteArray::number(i).rightJustified(7, '0') + "]\n";
        } else {
            content = line.repeated(size / line.size());
        }
        QCOMPARE(content.size(), size);
        const QString path = write(dir, content);
        IniFile ini(path);
        QCOMPARE(ini.sectionCount(), sections);
        QCOMPARE(ini.sections().size(), distinct);
        QCOMPARE(ini.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 7), 7);
        if (size + 20 <= IniFile::MaxFileSize) {
            ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 3);
            QCOMPARE(QFileInfo(path).size(), size + 20);
            QCOMPARE(
                IniFile(path).readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 7),
                3);
        } else {
            // The file would grow past what can be read back: refused, unchanged.
            QVERIFY_THROWS_EXCEPTION(AppError, ini.writeInteger(QStringLiteral("Mode"),
                                                                QStringLiteral("OptionMode"), 3));
            QCOMPARE(QFileInfo(path).size(), size);
        }
    }

    void overTheCapIsUnreadable()
    {
        // One byte over the cap: defaults, and no write replaces it.
        QTemporaryDir dir;
        const QString path = write(dir, QByteArray(IniFile::MaxFileSize + 1, '\n'));
        IniFile ini(path);
        QVERIFY(ini.exists());
        QCOMPARE(ini.sectionCount(), 0);
        QVERIFY_THROWS_EXCEPTION(AppError,
                                 ini.writeInteger(QStringLiteral("A"), QStringLiteral("K"), 2));
        QCOMPARE(QFileInfo(path).size(), IniFile::MaxFileSize + 1);
    }
};

QTEST_GUILESS_MAIN(TestIni)
#include "tst_ini.moc"
