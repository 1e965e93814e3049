// Start-to-close runs of the real program: a pack folder holding a symbolic link to the built
// binary, started headless, ended by a signal as a session log-out would end it.
#include "common/HttpTestServer.h"
#include "common/TestFiles.h"
#include "common/Waits.h"
#include "ini/IniFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace testfiles;

namespace {

// Runs an X11 client tool against @p display and hands back what it printed.
QString xTool(const QString &display, const QString &tool, const QStringList &arguments)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(S("DISPLAY"), display);
    p.setProcessEnvironment(env);
    p.start(tool, arguments);
    if (!p.waitForFinished(HangMs) || p.exitCode() != 0)
        return QString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The names of every window the X server knows, as the window manager would read them.
QStringList windowNames(const QString &display)
{
    QStringList names;
    static const QRegularExpression named(QStringLiteral("0x[0-9a-f]+ \"([^\"]*)\":"));
    const QString tree = xTool(display, S("xwininfo"), {S("-root"), S("-tree")});
    auto it = named.globalMatch(tree);
    while (it.hasNext())
        names.append(it.next().captured(1));
    return names;
}

// The numbers of a window's _MOTIF_WM_HINTS (flags, functions, decorations, ...), the hints a
// window manager reads for the title-bar buttons it may offer.
QList<uint> motifHints(const QString &display, const QString &windowName)
{
    const QString out = xTool(display, S("xprop"), {S("-name"), windowName, S("_MOTIF_WM_HINTS")});
    QList<uint> numbers;
    for (const QString &part : out.section(QLatin1Char('='), 1).split(QLatin1Char(','))) {
        bool ok = false;
        const uint n = part.trimmed().toUInt(&ok, 16);
        if (ok)
            numbers.append(n);
    }
    return numbers;
}

// The keys of a settings file, as "Section/Key", in file order.
QStringList keysOf(const QString &path)
{
    QStringList keys;
    QString section;
    for (const QByteArray &raw : readAll(path).split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            section = line.mid(1, line.size() - 2);
        else if (line.contains(QLatin1Char('=')))
            keys.append(section + QLatin1Char('/') + line.section(QLatin1Char('='), 0, 0));
    }
    return keys;
}

} // namespace

class TestStartClose : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_pack;
    QString m_config;

    QString iniPath() const { return m_pack + S("/varimond.ini"); }
    QString themesCopy() const { return m_config + S("/varimond/Themes"); }

    // Started headless, or on the X server @p display when one is given.
    void start(QProcess &process, const QString &display = QString(),
               QProcess::ProcessChannelMode channels = QProcess::ForwardedErrorChannel)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(S("QT_QPA_PLATFORM"), display.isEmpty() ? S("offscreen") : S("xcb"));
        if (!display.isEmpty())
            env.insert(S("DISPLAY"), display);
        env.insert(S("XDG_CONFIG_HOME"), m_config);
        // No Wine prefix of the machine's user takes part: the game's files are looked for in
        // the configuration folder.
        env.insert(S("HOME"), m_dir.path() + S("/home"));
        env.remove(S("WINEPREFIX"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(channels);
        // Started from elsewhere, as from a desktop entry: the link's folder is the program's.
        process.setWorkingDirectory(m_dir.path());
        process.start(m_pack + S("/varimond"), {});
        QVERIFY(process.waitForStarted(HangMs));
    }

    void terminate(QProcess &process)
    {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_pack = m_dir.filePath(S("pack"));
        m_config = m_dir.filePath(S("config"));
        QVERIFY(QDir().mkpath(m_pack + S("/Options/Group/Choice")));
        QVERIFY(QDir().mkpath(m_pack + S("/Themes")));
        QVERIFY(writeAll(m_pack + S("/Themes/(Default).ini"), "[Option0]\nDelay=2000\n"));
        // The game already runs a custom interface, so no dialog interrupts the start.
        QVERIFY(writeAll(m_config + S("/Electronic Arts/Dark Age of Camelot/user.dat"),
                         "[interface]\r\nitem1=7\r\n"));
        QVERIFY(QFile::link(S(VARIMOND_BINARY_DIR "/src/app/varimond"), m_pack + S("/varimond")));
        QDir(themesCopy()).removeRecursively();
    }

    void cleanup() { QDir(m_dir.path()).removeRecursively(); }

    void firstCloseWritesTheWrittenKeys()
    {
        QProcess process;
        start(process);
        // The first-run copy of the themes is the last step that touches the disk.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(themesCopy() + S("/(Default).ini")), 60000);
        terminate(process);

        const QStringList expected = {
            S("ProgramTitle/ProgramTitle"),
            S("OptionsDir/OptionsDir"),
            S("ActiveTheme/ThemeName"),
            S("About/AboutTxtFName"),
            S("About/AboutHtmlFName"),
            S("About/AboutHttpFName"),
            S("HowTo/HowToTxtFName"),
            S("HowTo/HowToHtmlFName"),
            S("HowTo/HowToHttpFName"),
            S("Welcome/WelcomeTxtFName"),
            S("Welcome/WelcomeHtmlFName"),
            S("Welcome/WelcomeHttpFName"),
            S("ReadMe/DefaultReadMeTxtFName"),
            S("ReadMe/DefaultReadMeHtmlFName"),
            S("ReadMe/DefaultReadMeHttpFName"),
            S("RunMe/DefaultRunMeFName"),
            S("RunMe/DefaultRunMe2FName"),
            S("ProgramDelay/DefaultProgramDelay"),
            S("Settings/PgmFirstRun"),
            S("Settings/HideShell"),
            S("Settings/AllowDisplayHttpLinks"),
            S("Settings/CheckInterfaceMode"),
            S("Settings/CheckForUpdateMode"),
            S("MainWindowSizes/WindowTop"),
            S("MainWindowSizes/WindowLeft"),
            S("MainWindowSizes/WindowWidth"),
            S("MainWindowSizes/WindowHeight"),
            S("MainWindowSizes/WindowState"),
            S("MainWindowSizes/OptionsTreeWidth"),
            S("AboutWindowSizes/WindowWidth"),
            S("AboutWindowSizes/WindowHeight"),
            S("CheckUpdateWindowSizes/WindowWidth"),
            S("CheckUpdateWindowSizes/WindowHeight"),
        };
        QCOMPARE(keysOf(iniPath()), expected);

        const platform::IniFile ini(iniPath());
        const QList<QPair<QString, QString>> values = {
            {S("ProgramTitle/ProgramTitle"), S("Varimond")},
            {S("OptionsDir/OptionsDir"), S("Options")},
            {S("ActiveTheme/ThemeName"), S("(Default)")},
            {S("About/AboutTxtFName"), S("About.txt")},
            {S("About/AboutHtmlFName"), QString()},
            {S("RunMe/DefaultRunMeFName"), S("RunMe.bat")},
            {S("ProgramDelay/DefaultProgramDelay"), S("2000")},
            {S("Settings/PgmFirstRun"), S("0")},
            {S("Settings/HideShell"), S("0")},
            {S("Settings/AllowDisplayHttpLinks"), S("1")},
            {S("Settings/CheckInterfaceMode"), S("1")},
            {S("Settings/CheckForUpdateMode"), S("0")},
            {S("MainWindowSizes/WindowLeft"), S("100")},
            {S("MainWindowSizes/WindowTop"), S("100")},
            {S("MainWindowSizes/WindowWidth"), S("500")},
            {S("MainWindowSizes/WindowHeight"), S("250")},
            {S("MainWindowSizes/WindowState"), S("0")},
            {S("MainWindowSizes/OptionsTreeWidth"), S("200")},
            {S("AboutWindowSizes/WindowWidth"), S("500")},
            {S("AboutWindowSizes/WindowHeight"), S("300")},
        };
        for (const auto &[where, value] : values) {
            const QString section = where.section(QLatin1Char('/'), 0, 0);
            const QString key = where.section(QLatin1Char('/'), 1);
            QCOMPARE(ini.readString(section, key, S("<missing>")), value);
        }
    }

    void secondRunKeepsHandAddedAndNeverWrittenKeys()
    {
        const QByteArray handMade =
            "[Settings]\nPgmFirstRun=1\nHideCheckForUpdate=1\nHideShell=2\n"
            "[ThemesDir]\nThemesDir=Themes\nThemesAppDataDir= Themes \n"
            "[VersionInfo]\nUserInterface=\"1.30 final\"\nCheckUpdateDelay=12\n"
            "; my notes\n[MyOwn]\nColour=blue\n"
            "[MainWindowSizes]\nWindowLeft=40\nWindowTop=30\nWindowWidth=0x280\n"
            "WindowHeight=400\nOptionsTreeWidth=260\n";
        QVERIFY(writeAll(iniPath(), handMade));
        QProcess process;
        start(process);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(themesCopy() + S("/(Default).ini")), 60000);
        terminate(process);

        const QByteArray saved = readAll(iniPath());
        for (const char *kept : {"HideCheckForUpdate=1\n", "ThemesAppDataDir= Themes \n",
                                 "UserInterface=\"1.30 final\"\n", "CheckUpdateDelay=12\n",
                                 "; my notes\n[MyOwn]\nColour=blue\n", "ThemesDir=Themes\n"})
            QVERIFY2(saved.contains(kept), kept);
        const platform::IniFile ini(iniPath());
        QCOMPARE(ini.readString(S("Settings"), S("HideShell"), QString()), S("1"));
        QCOMPARE(ini.readString(S("Settings"), S("PgmFirstRun"), QString()), S("0"));
        QCOMPARE(ini.readString(S("MainWindowSizes"), S("WindowWidth"), QString()), S("640"));
        QCOMPARE(ini.readString(S("MainWindowSizes"), S("WindowLeft"), QString()), S("40"));
        QCOMPARE(ini.readString(S("MainWindowSizes"), S("OptionsTreeWidth"), QString()), S("260"));
        QVERIFY(!ini.hasKey(S("VersionInfo"), S("UrlVersionInfo")));
    }

    void startUpUpdateCheckStoresDownloadsAndMovedAddresses()
    {
        HttpTestServer server;
        QVERIFY(server.start());
        const QByteArray published =
            "[VersionInfo]\r\nUserInterface=1.31\r\nWeblinkButtonCaption=New\r\n"
            "UrlVersionInfo=" +
            server.url(S("/v2.ini")).toUtf8() +
            "\r\nUrlVersionNotes=" + server.url(S("/n2.html")).toUtf8() + "\r\n";
        server.page(S("/v.ini"), published);
        server.page(S("/n2.html"), "<html><title>Notes</title></html>");
        QVERIFY(writeAll(iniPath(), "[Settings]\nHideCheckForUpdate=0\nCheckForUpdateMode=1\n"
                                    "PgmFirstRun=0\n[VersionInfo]\nUserInterface=1.30\n"
                                    "UrlVersionInfo=" +
                                        server.url(S("/v.ini")).toUtf8() +
                                        "\nUrlVersionNotes=" + server.url(S("/n.html")).toUtf8() +
                                        "\nUrlWeblinkPage=https://example.org/\n"
                                        "WeblinkButtonCaption=Old\n"));
        QProcess process;
        start(process);
        // A new version keeps the window open until the session ends.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_pack + S("/NewVersionNotes.html")), 60000);
        terminate(process);

        QCOMPARE(readAll(m_pack + S("/NewVersionInfo.ini")), published);
        QCOMPARE(readAll(m_pack + S("/NewVersionNotes.html")),
                 QByteArray("<html><title>Notes</title></html>"));
        QCOMPARE(server.hits(S("/n.html")), 0);
        const platform::IniFile ini(iniPath());
        auto stored = [&ini](const char *section, const char *key) {
            return ini.readString(S(section), S(key), S("<missing>"));
        };
        QCOMPARE(stored("VersionInfo", "UrlVersionInfo"), server.url(S("/v2.ini")));
        QCOMPARE(stored("VersionInfo", "UrlVersionNotes"), server.url(S("/n2.html")));
        QCOMPARE(stored("VersionInfo", "WeblinkButtonCaption"), S("New"));
        // Not in the published file, so "Undef" for the run, and never written.
        QCOMPARE(stored("VersionInfo", "UrlWeblinkPage"), S("https://example.org/"));
        QCOMPARE(stored("VersionInfo", "UserInterface"), S("1.30"));
        QCOMPARE(stored("Settings", "CheckForUpdateMode"), S("1"));
    }

    void captionsAndButtonsUnderAnXServer()
    {
        for (const char *tool : {"Xvfb", "xwininfo", "xprop"}) {
            if (QStandardPaths::findExecutable(S(tool)).isEmpty())
                QSKIP("needs Xvfb and the X11 utilities (scripts/deps.sh installs them)");
        }
        // A private X server on a free display, which it names on its output when it is ready.
        QProcess xvfb;
        xvfb.start(S("Xvfb"), {S("-displayfd"), S("1"), S("-nolisten"), S("tcp"), S("-screen"),
                               S("0"), S("1024x768x24")});
        QVERIFY(xvfb.waitForStarted(HangMs));
        QByteArray number;
        QTRY_VERIFY_WITH_TIMEOUT((number += xvfb.readAllStandardOutput()).contains('\n'), HangMs);
        const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

        QVERIFY(writeAll(iniPath(), "[ProgramTitle]\nProgramTitle=My Interface\n"
                                    "[Settings]\nPgmFirstRun=0\n"));
        // No game file: the interface-mode dialog opens during the start.
        QVERIFY(QFile::remove(m_config + S("/Electronic Arts/Dark Age of Camelot/user.dat")));
        QElapsedTimer clock;
        clock.start();
        while (xTool(display, S("xprop"), {S("-root"), S("-len"), S("1")}).isEmpty() &&
               clock.elapsed() < HangMs)
            QTest::qWait(100);
        QVERIFY2(clock.elapsed() < HangMs, "the private X server cannot be reached");

        QProcess process;
        start(process, display);
        // Each look asks the X server, so the wait is measured on the clock.
        QStringList names;
        clock.restart();
        while (!names.contains(S("Check User Interface Mode")) &&
               process.state() == QProcess::Running && clock.elapsed() < HangMs) {
            QTest::qWait(100);
            names = windowNames(display);
        }
        QVERIFY2(names.contains(S("Check User Interface Mode")), qPrintable(names.join(S(" | "))));
        QVERIFY2(names.contains(S("My Interface")), qPrintable(names.join(S(" | "))));
        for (const QString &name : names)
            QVERIFY2(!name.contains(QChar(0x2014)), qPrintable(name)); // no " — Varimond"

        // The dialog offers no close, minimise or maximise function, and shows no such button.
        const QList<uint> hints = motifHints(display, S("Check User Interface Mode"));
        QVERIFY2(hints.size() >= 3, qPrintable(QString::number(hints.size())));
        const uint flags = hints[0], functions = hints[1], decorations = hints[2];
        QVERIFY(flags & 0x1);             // functions given
        QCOMPARE(functions & 0x39, 0u);   // all, minimise, maximise, close
        QVERIFY(flags & 0x2);             // decorations given
        QCOMPARE(decorations & 0x71, 0u); // all, window menu, minimise, maximise

        terminate(process);
        xvfb.terminate();
        QVERIFY(xvfb.waitForFinished(HangMs));
    }

    void signalBeforeSettingsLoadedWritesNothing()
    {
        const QByteArray mine = "[Settings]\nHideShell=1\n";
        QVERIFY(writeAll(iniPath(), mine));
        QProcess process;
        start(process);
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(readAll(iniPath()), mine);
    }

    void signalEndsTheProgramUnderAnErrorBox()
    {
        // A settings file over the size cap is never replaced: the close that SIGTERM asks for
        // cannot save and reports it, which must not hold the close on a box nobody clicks.
        const QByteArray mine = "[Settings]\nHideShell=1\n" + QByteArray(17 * 1024 * 1024, ';');
        QVERIFY(writeAll(iniPath(), mine));
        qputenv("VARIMOND_STARTUP_MARKER", "1");
        QProcess process;
        start(process, QString(), QProcess::SeparateChannels);
        qunsetenv("VARIMOND_STARTUP_MARKER");
        process.setReadChannel(QProcess::StandardError);
        QByteArray said;
        while (!said.contains("option tree filled") && process.waitForReadyRead(60000))
            said += process.readAllStandardError();
        QVERIFY2(said.contains("option tree filled"), said.constData());

        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        QVERIFY(process.readAllStandardError().contains("Varimond: Unable to write"));
        QCOMPARE(readAll(iniPath()), mine);
    }
};

QTEST_GUILESS_MAIN(TestStartClose)
#include "tst_startclose.moc"
