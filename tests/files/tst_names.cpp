// Names on disk and the program's path strings: names that are not UTF-8 read as Windows-1252
// and map back to their very bytes, Qt's file classes and started scripts reach them, and the
// in-memory INI reader reads what the INI layer reads.
#include "common/TestFiles.h"
#include "common/Waits.h"
#include "files/Error.h"
#include "files/FileNames.h"
#include "files/FolderReader.h"
#include "ini/IniFile.h"
#include "ini/IniView.h"
#include "files/Paths.h"
#include "launch/ScriptLauncher.h"
#include "files/TextCodec.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testfiles;

class TestNames : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_config; // the player's configuration, beside the folder looked at
    QByteArray m_root; // the temporary folder's bytes, ending in '/'

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = QFile::encodeName(QDir(m_dir->path()).canonicalPath()) + '/';
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
        testfiles::startScriptsUnconfined(m_dir->path());
    }

    void cleanup() { m_dir.reset(); }

    void namesDecode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("utf8");
        QTest::newRow("ASCII") << QByteArray("RunMe.bat") << S("RunMe.bat") << true;
        QTest::newRow("UTF-8") << QByteArray("Cr\xc3\xa8me") << S("Cr\xc3\xa8me") << true;
        QTest::newRow("Windows-1252") << QByteArray("Cr\xe8me") << S("Cr\xc3\xa8me") << false;
        QTest::newRow("euro sign") << QByteArray("\x80 5") << S("\xe2\x82\xac 5") << false;
        QTest::newRow("undefined byte") << QByteArray("a\x81z") << S("a\xc2\x81z") << false;
        QTest::newRow("cut UTF-8") << QByteArray("\xc3") << S("\xc3\x83") << false;
    }

    void namesDecode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QFETCH(bool, utf8);
        QCOMPARE(platform::decodeFileName(bytes), shown);
        QCOMPARE(platform::isValidUtf8(bytes), utf8);
    }

    void nativePathFindsTheBytesOnDisk_data()
    {
        QTest::addColumn<QByteArrayList>("made"); // folders, in order
        QTest::addColumn<QString>("asked");
        QTest::addColumn<QByteArray>("found");
        QTest::newRow("UTF-8 as it is")
            << QByteArrayList{"Caf\xc3\xa9"} << S("Caf\xc3\xa9/x") << QByteArray("Caf\xc3\xa9/x");
        QTest::newRow("Windows-1252 bytes")
            << QByteArrayList{"Gr\xfcn", "Gr\xfcn/Cr\xe8me"} << S("Gr\xc3\xbcn/Cr\xc3\xa8me/")
            << QByteArray("Gr\xfcn/Cr\xe8me/");
        QTest::newRow("Windows-1252 in other case")
            << QByteArrayList{"Cr\xe8me"} << S("CR\xc3\x88ME\\options.ini")
            << QByteArray("Cr\xe8me/options.ini");
        QTest::newRow("UTF-8 wins over its look-alike")
            << QByteArrayList{"Cr\xe8me", "Cr\xc3\xa8me"} << S("Cr\xc3\xa8me")
            << QByteArray("Cr\xc3\xa8me");
        QTest::newRow("missing folder keeps the rest")
            << QByteArrayList{"A"} << S("a/Gr\xc3\xbcn/b") << QByteArray("A/Gr\xc3\xbcn/b");
    }

    void nativePathFindsTheBytesOnDisk()
    {
        QFETCH(QByteArrayList, made);
        QFETCH(QString, asked);
        QFETCH(QByteArray, found);
        for (const QByteArray &folder : made)
            QVERIFY(makeNativeFolder(m_root + folder));
        QCOMPARE(platform::nativePath(QFile::decodeName(m_root) + asked), m_root + found);
    }

    void qtFileClassesReachNamesThatAreNotUtf8()
    {
        const QByteArray folder = m_root + "Cr\xe8me";
        QVERIFY(makeNativeFolder(folder));
        QVERIFY(makeNativeFile(folder + "/ReadMe.txt", "inside"));
        QVERIFY(makeNativeFile(folder + "/L\xe9"
                                        "ame.txt",
                               "own name"));
        const QString shown = QFile::decodeName(m_root) + S("Cr\xc3\xa8me/");

        QCOMPARE(readAll(platform::resolvePath(shown + S("ReadMe.txt"))), QByteArray("inside"));
        QCOMPARE(readAll(platform::resolvePath(shown + S("L\xc3\xa9"
                                                         "ame.txt"))),
                 QByteArray("own name"));
        QVERIFY(platform::fileExists(shown + S("readme.TXT")));
        QVERIFY(!platform::fileExists(shown + S("missing.txt")));

        // A write lands in the folder itself, crash-safely, and nothing else appears.
        const QString ini = platform::resolvePath(shown + S("options.ini"));
        platform::IniFile::writeInteger(ini, S("Mode"), S("OptionMode"), 3);
        QCOMPARE(readNative(folder + "/options.ini"), QByteArray("[Mode]\nOptionMode=3\n"));
        QCOMPARE(platform::shownPath(ini), shown + S("options.ini"));
        QCOMPARE(platform::shownPath(S("/elsewhere/x")), S("/elsewhere/x"));

        platform::FolderReader reader;
        std::vector<platform::FolderEntry> entries;
        std::string names;
        const int fd = platform::FolderReader::openFolder(AT_FDCWD, m_root.constData());
        QVERIFY(fd >= 0);
        QVERIFY(reader.list(fd, 0, entries, names));
        platform::FolderReader::closeFolder(fd);
        QCOMPARE(entries.size(), size_t(1)); // no look-alike "Crème" was made
        QCOMPARE(QByteArray(names.data() + entries[0].nameOffset, entries[0].nameLength),
                 QByteArray("Cr\xe8me"));
    }

    void scriptStartsInAFolderWhoseNameIsNotUtf8()
    {
        const QByteArray folder = m_root + "Gr\xfcn";
        QVERIFY(makeNativeFolder(folder));
        QVERIFY(makeNativeFile(
            folder + "/Ex\xe9"
                     "cute.sh",
            "pwd -P > \"$1.tmp\"; printf '%s' \"$2\" >> \"$1.tmp\"; mv \"$1.tmp\" \"$1\"\n"));
        const QString log = m_dir->filePath(S("log"));
        const QString shown = QFile::decodeName(m_root) + S("Gr\xc3\xbcn/");
        QVERIFY(platform::shellOpen(shown + S("Ex\xc3\xa9"
                                              "cute.sh"),
                                    {log, S("-h")}, shown, platform::ShowCommand::Hidden));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(log), HangMs);
        QCOMPARE(readAll(log), folder + "\n-h");
    }

    void inMemoryReaderReadsAsTheIniLayer_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("plain") << QByteArray(
            "[Mode]\nOptionMode=3\n[RunMe]\nOptionRunMeFName=go.bat\n");
        QTest::newRow("CRLF, BOM, blanks, quotes")
            << QByteArray("\xef\xbb\xbf[ Mode ]\r\n  OptionMode = \"5\" \r\n[RunMe]\r\n"
                          "OptionRunMeFName='a b.bat'\r\n");
        QTest::newRow("CR only and no last ending")
            << QByteArray("[mode]\roptionmode=0x4\r[RUNME]\rOPTIONRUNMEFNAME=x");
        QTest::newRow("comments and keys before sections") << QByteArray(
            "OptionMode=9\n;[Mode]\n[Mode]\n;OptionMode=1\n#OptionMode=2\nOptionMode=$A\n");
        QTest::newRow("repeated section and key")
            << QByteArray("[Mode]\nOptionMode=2\nOptionMode=3\n[RunMe]\n[Mode]\nOptionMode=4\n");
        QTest::newRow("header without bracket")
            << QByteArray("[Mode\nOptionMode=2\n[RunMe] trailing\nOptionRunMeFName=b.bat\n");
        QTest::newRow("empty values and names")
            << QByteArray("[]\n=x\n[Mode]\nOptionMode=\n[RunMe]\nOptionRunMeFName=\"\"\n");
        QTest::newRow("Windows-1252 value") << QByteArray("[RunMe]\nOptionRunMeFName=Ex\xe9"
                                                          "cute.bat\n[Mode]\nOptionMode=-7\n");
        QTest::newRow("long value")
            << QByteArray("[RunMe]\nOptionRunMeFName=") + QByteArray(3000, 'v') + "\n";
        QTest::newRow("mark inside a value and a name")
            << QByteArray("[Mode]\nOptionMode=\xef\xbb\xbf"
                          "3\n\xef\xbb\xbf"
                          "OptionRunMeFName=x\n");
        QTest::newRow("empty") << QByteArray();
    }

    void inMemoryReaderReadsAsTheIniLayer()
    {
        QFETCH(QByteArray, content);
        const QString path = m_dir->filePath(S("options.ini"));
        QVERIFY(writeAll(path, content));
        const platform::IniFile file(path);
        platform::IniView view;
        view.parse(content.constData(), static_cast<size_t>(content.size()));
        for (const QString &section : {S("Mode"), S("RunMe"), S("mode"), S(""), S("Missing")}) {
            for (const QString &key : {S("OptionMode"), S("OptionRunMeFName"), S("")}) {
                QCOMPARE(view.readString(section, key, S("default")),
                         file.readString(section, key, S("default")));
                QCOMPARE(view.readInteger(section, key, -99), file.readInteger(section, key, -99));
                QCOMPARE(view.readBool(section, key, true), file.readBool(section, key, true));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestNames)
#include "tst_names.moc"
