// The settings file: defaults, the integer and bool rules as the program applies them, and what
// a save writes and keeps.
#include "common/TestFiles.h"
#include "core/Common.h"
#include "files/Error.h"
#include "ini/IniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace testfiles;

namespace {

// Every key a save writes, section by section, for a file that held nothing before.
const QList<QPair<QString, QString>> kWrittenKeys = {
    {S("ProgramTitle"), S("ProgramTitle")},
    {S("OptionsDir"), S("OptionsDir")},
    {S("ActiveTheme"), S("ThemeName")},
    {S("About"), S("AboutTxtFName")},
    {S("About"), S("AboutHtmlFName")},
    {S("About"), S("AboutHttpFName")},
    {S("HowTo"), S("HowToTxtFName")},
    {S("HowTo"), S("HowToHtmlFName")},
    {S("HowTo"), S("HowToHttpFName")},
    {S("Welcome"), S("WelcomeTxtFName")},
    {S("Welcome"), S("WelcomeHtmlFName")},
    {S("Welcome"), S("WelcomeHttpFName")},
    {S("ReadMe"), S("DefaultReadMeTxtFName")},
    {S("ReadMe"), S("DefaultReadMeHtmlFName")},
    {S("ReadMe"), S("DefaultReadMeHttpFName")},
    {S("RunMe"), S("DefaultRunMeFName")},
    {S("RunMe"), S("DefaultRunMe2FName")},
    {S("ProgramDelay"), S("DefaultProgramDelay")},
    {S("Settings"), S("PgmFirstRun")},
    {S("Settings"), S("HideShell")},
    {S("Settings"), S("AllowDisplayHttpLinks")},
    {S("Settings"), S("CheckInterfaceMode")},
    {S("Settings"), S("CheckForUpdateMode")},
    {S("MainWindowSizes"), S("WindowTop")},
    {S("MainWindowSizes"), S("WindowLeft")},
    {S("MainWindowSizes"), S("WindowWidth")},
    {S("MainWindowSizes"), S("WindowHeight")},
    {S("MainWindowSizes"), S("WindowState")},
    {S("MainWindowSizes"), S("OptionsTreeWidth")},
    {S("AboutWindowSizes"), S("WindowWidth")},
    {S("AboutWindowSizes"), S("WindowHeight")},
    {S("CheckUpdateWindowSizes"), S("WindowWidth")},
    {S("CheckUpdateWindowSizes"), S("WindowHeight")},
};

// Section -> keys as they stand in the file, in order.
QMap<QString, QStringList> keysOf(const QString &path)
{
    QMap<QString, QStringList> result;
    QString section;
    const QList<QByteArray> lines = readAll(path).split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            section = line.mid(1, line.size() - 2);
        else if (line.contains(QLatin1Char('=')))
            result[section].append(line.section(QLatin1Char('='), 0, 0));
    }
    return result;
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private:
    TProgramSettings settingsIn(const QTemporaryDir &dir)
    {
        TProgramSettings s;
        DeriveProgramPaths(s, dir.filePath(QStringLiteral("varimond")));
        return s;
    }

private Q_SLOTS:
    void pathsFromTheExecutable_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("ini");
        QTest::newRow("plain") << "/opt/pack/varimond" << "/opt/pack/" << "varimond.ini";
        QTest::newRow(".exe removed") << "/opt/pack/Varimond.EXE" << "/opt/pack/" << "Varimond.ini";
        QTest::newRow("other dots kept") << "/a/b/ui.tool" << "/a/b/" << "ui.tool.ini";
    }

    void pathsFromTheExecutable()
    {
        QFETCH(QString, executable);
        QFETCH(QString, dir);
        QFETCH(QString, ini);
        TProgramSettings s;
        DeriveProgramPaths(s, executable);
        QCOMPARE(s.ProgramDir, dir);
        QCOMPARE(s.ProgramIniFName, ini);
        QCOMPARE(s.iniPath(), dir + ini);
    }

    void defaultsOnMissingFile()
    {
        QTemporaryDir dir;
        TProgramSettings s = settingsIn(dir);
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(s, sizes);
        QCOMPARE(s.ProgramTitle, S("Varimond"));
        QCOMPARE(s.OptionsDir, S("Options"));
        QCOMPARE(s.ThemeName, S("(Default)"));
        QCOMPARE(s.AboutTxtFName, S("About.txt"));
        QCOMPARE(s.WelcomeTxtFName, S("Welcome.txt"));
        QCOMPARE(s.DefaultRunMeFName, S("RunMe.bat"));
        QCOMPARE(s.DefaultProgramDelay, 2000);
        QVERIFY(!s.HideShell);
        QVERIFY(s.AllowDisplayHttpLinks);
        QVERIFY(s.CheckInterfaceMode);
        QVERIFY(!s.CheckForUpdateMode);
        QVERIFY(s.HideCheckForUpdate);
        QVERIFY(s.PgmFirstRun);
        QCOMPARE(s.UrlVersionInfo, S("Undef"));
        QCOMPARE(s.CheckUpdateDelay, 12);
        QCOMPARE(s.WinePrefix, QString());
        QCOMPARE(sizes.About, QSize(200, 200));

        const MainWindowPlacement p = ReadMainWindowPlacement(s.iniPath());
        QCOMPARE(p.WindowLeft, 100);
        QCOMPARE(p.WindowTop, 100);
        QCOMPARE(p.WindowWidth, 500);
        QCOMPARE(p.WindowHeight, 250);
        QCOMPARE(p.OptionsTreeWidth, 200);
    }

    void placementIntegers_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("width");
        QTest::newRow("0x1F4") << QByteArray("0x1F4") << 500;
        QTest::newRow("$1F4") << QByteArray("$1F4") << 500;
        QTest::newRow("abc") << QByteArray("abc") << 500;
        QTest::newRow("500px") << QByteArray("500px") << 500;
        QTest::newRow("640") << QByteArray("640") << 640;
        QTest::newRow("no range check") << QByteArray("-30") << -30;
    }

    void placementIntegers()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, width);
        QTemporaryDir dir;
        TProgramSettings s = settingsIn(dir);
        QVERIFY(writeAll(s.iniPath(), "[MainWindowSizes]\r\nWindowWidth=" + value + "\r\n"));
        QCOMPARE(ReadMainWindowPlacement(s.iniPath()).WindowWidth, width);
    }

    void freshSaveWritesExactlyTheWrittenKeys()
    {
        QTemporaryDir dir;
        TProgramSettings s = settingsIn(dir);
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(s, sizes);
        WindowStateAtClose w;
        w.Caption = S("Varimond");
        w.NormalGeometry = QRect(100, 100, 500, 250);
        w.About = QSize(500, 300);
        w.CheckUpdate = QSize(500, 300);
        SaveProgramIniFile(s, w);

        QMap<QString, QStringList> expected;
        for (const auto &[section, key] : kWrittenKeys)
            expected[section].append(key);
        QCOMPARE(keysOf(s.iniPath()), expected);

        const platform::IniFile ini(s.iniPath());
        QCOMPARE(ini.readString(S("Settings"), S("PgmFirstRun"), QString()), S("0"));
        QCOMPARE(ini.readString(S("About"), S("AboutHtmlFName"), S("<none>")), QString());
        QCOMPARE(ini.readString(S("MainWindowSizes"), S("WindowLeft"), QString()), S("100"));
        QCOMPARE(ini.readString(S("MainWindowSizes"), S("WindowWidth"), QString()), S("500"));
        QCOMPARE(ini.readString(S("Settings"), S("AllowDisplayHttpLinks"), QString()), S("1"));
        // Sections come in the order the save writes them.
        QCOMPARE(ini.sections().first(), S("ProgramTitle"));
        QCOMPARE(ini.sections().last(), S("CheckUpdateWindowSizes"));
    }

    void roundTripKeepsForeignAndReadOnlyKeys()
    {
        QTemporaryDir dir;
        TProgramSettings s = settingsIn(dir);
        const QByteArray original =
            "; installed by the pack\r\n"
            "[VersionInfo]\r\nUserInterface = 1.5 beta \r\nVarimond=2.01\r\n"
            "CheckUpdateDelay=0x10\r\n"
            "[ThemesDir]\r\nThemesDir=  MyThemes  \r\nThemesAppDataDir=Varimond/Themes\r\n"
            "[Settings]\r\nHideShell=2\r\nHideCheckForUpdate=0\r\n"
            "[About]\r\nAboutHtmlFName=\r\n"
            "[Mine]\r\nHandAdded=keep me\r\n"
            "[Wine]\r\nWinePrefix = ~/Games/dark age \r\nWineBinary = wine-staging\r\n";
        QVERIFY(writeAll(s.iniPath(), original));
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(s, sizes);
        QVERIFY(s.HideShell);
        QVERIFY(!s.HideCheckForUpdate);
        QCOMPARE(s.CheckUpdateDelay, 16);
        QCOMPARE(s.ThemesDir, S("MyThemes"));
        QCOMPARE(s.AboutHtmlFName, QString()); // present but empty stays empty
        QCOMPARE(s.AboutTxtFName, S("About.txt")); // missing brings the default back
        s.ThemesAppDataDir = S("/home/u/.config/Varimond/Themes"); // as start-up sets it
        QCOMPARE(s.WinePrefix, S("~/Games/dark age"));
        s.WinePrefix = S("/elsewhere"); // read only: never saved, whatever the record holds
        QCOMPARE(s.WineBinary, S("wine-staging"));
        s.WineBinary = S("/elsewhere/wine");

        WindowStateAtClose w;
        w.Caption = S("My UI");
        w.NormalGeometry = QRect(10, 20, 640, 480);
        SaveProgramIniFile(s, w);
        SaveProgramIniFile(s, w); // a second run changes nothing more

        const QByteArray saved = readAll(s.iniPath());
        for (const char *kept :
             {"; installed by the pack\r\n", "UserInterface = 1.5 beta \r\n",
              "CheckUpdateDelay=0x10\r\n", "ThemesDir=  MyThemes  \r\n",
              "ThemesAppDataDir=Varimond/Themes\r\n", "HideCheckForUpdate=0\r\n",
              "[Mine]\r\nHandAdded=keep me\r\n",
              "[Wine]\r\nWinePrefix = ~/Games/dark age \r\nWineBinary = wine-staging\r\n"})
            QVERIFY2(saved.contains(kept), kept);
        QVERIFY(saved.contains("WindowTop=20\r\n"));
        // The file's CRLF endings are used for the lines the save adds too.
        QCOMPARE(saved.count('\n'), saved.count("\r\n"));
        const platform::IniFile ini(s.iniPath());
        QCOMPARE(ini.readString(S("Settings"), S("HideShell"), QString()), S("1"));
        QCOMPARE(ini.readString(S("ProgramTitle"), S("ProgramTitle"), QString()), S("My UI"));
        QCOMPARE(ini.readString(S("MainWindowSizes"), S("WindowHeight"), QString()), S("480"));
        QVERIFY(!ini.hasKey(S("VersionInfo"), S("UrlVersionInfo")));
    }

    void versionAddressesWrittenOnlyWhenSet_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("written");
        QTest::newRow("Undef") << "Undef" << false;
        QTest::newRow("case matters") << "undef" << true;
        QTest::newRow("address") << "http://example.invalid/v.ini" << true;
    }

    void versionAddressesWrittenOnlyWhenSet()
    {
        QFETCH(QString, value);
        QFETCH(bool, written);
        QTemporaryDir dir;
        TProgramSettings s = settingsIn(dir);
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(s, sizes);
        s.UrlWeblinkPage = value;
        SaveProgramIniFile(s, WindowStateAtClose{});
        const platform::IniFile ini(s.iniPath());
        QCOMPARE(ini.hasKey(S("VersionInfo"), S("UrlWeblinkPage")), written);
        QVERIFY(!ini.hasKey(S("VersionInfo"), S("UrlVersionInfo")));
        if (written)
            QCOMPARE(ini.readString(S("VersionInfo"), S("UrlWeblinkPage"), QString()), value);
    }

    void refusedSaveKeepsTheFile()
    {
        QTemporaryDir dir;
        TProgramSettings s = settingsIn(dir);
        const QByteArray original = "[Settings]\nHideShell=1\n";
        QVERIFY(writeAll(s.iniPath(), original));
        QVERIFY(QFile::setPermissions(s.iniPath(), QFileDevice::ReadOwner));
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(s, sizes);
        try {
            SaveProgramIniFile(s, WindowStateAtClose{});
            QFAIL("a read-only settings file was written");
        } catch (const AppError &e) {
            QCOMPARE(e.message(), S("Unable to write to ") + s.iniPath());
        }
        QCOMPARE(readAll(s.iniPath()), original);
    }

    void linkedSettingsFileWrittenOnlyInsideThePack_data()
    {
        QTest::addColumn<bool>("inside");
        QTest::newRow("link to a file of the pack") << true;
        QTest::newRow("link out of the pack") << false;
    }

    void linkedSettingsFileWrittenOnlyInsideThePack()
    {
        // A pack may ship its settings file as a link; the save goes through it only when the
        // file lies inside the pack, never to a file of the user's elsewhere.
        QFETCH(bool, inside);
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        const QString target =
            inside ? dir.filePath(QStringLiteral("settings/real.ini")) : elsewhere.filePath(QStringLiteral(".bashrc"));
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        QVERIFY(writeAll(target, "export PATH\n"));
        TProgramSettings s = settingsIn(dir);
        QVERIFY(QFile::link(target, s.iniPath()));
        WindowStateAtClose w;
        w.Caption = QStringLiteral("Varimond");
        if (inside) {
            SaveProgramIniFile(s, w);
            QVERIFY(readAll(target).contains("[ProgramTitle]"));
        } else {
            QVERIFY_THROWS_EXCEPTION(AppError, SaveProgramIniFile(s, w));
            QCOMPARE(readAll(target), QByteArray("export PATH\n"));
        }
        QVERIFY(QFileInfo(s.iniPath()).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
