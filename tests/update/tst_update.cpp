// The update check without a window: the version comparison, the downloader against a real
// server on 127.0.0.1, and a whole check's effect on the settings record and the settings file.
#include "common/HttpTestServer.h"
#include "common/TestFiles.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "net/Downloader.h"
#include "ini/IniFile.h"
#include "update/UpdateCheck.h"
#include "update/VersionInfo.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace testfiles;
using platform::Downloader;

Q_DECLARE_METATYPE(Route)

namespace {

/// The process's resident memory, from /proc/self/status.
qint64 residentKiB()
{
    for (const QByteArray &line : readAll(S("/proc/self/status")).split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

/// User and system time of the process so far, in clock ticks (fields 14 and 15).
qint64 cpuTicks()
{
    const QByteArray stat = readAll(S("/proc/self/stat"));
    // The fields after the command name, which may itself hold blanks and parentheses.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

int threadCount()
{
    return QDir(S("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void compareVersionInfo_data()
    {
        QTest::addColumn<QStringList>("published"); // UI, program, betas, add-ons
        QTest::addColumn<QStringList>("messages");
        const QStringList installed{S("1.30"), S("2.01"), S("2"), S("A")};
        QTest::newRow("equal") << installed << QStringList();
        QTest::newRow("2 and 02") << QStringList{S("1.30"), S("2.01"), S("02"), S("A")}
                                  << QStringList{S("A new Beta is available.")};
        QTest::newRow("letter case") << QStringList{S("1.30"), S("2.01"), S("2"), S("a")}
                                     << QStringList{S("A new AddOn is available.")};
        QTest::newRow("blank kept") << QStringList{S("1.30 "), S("2.01"), S("2"), S("A")}
                                    << QStringList{S("A new version of the UI is available.")};
        QTest::newRow("all, in order")
            << QStringList{S("Undef"), S("Undef"), S("Undef"), S("Undef")}
            << QStringList{S("A new version of the UI is available."),
                           S("A new version of the Varimond program is available."),
                           S("A new Beta is available."), S("A new AddOn is available.")};
    }

    void compareVersionInfo()
    {
        QFETCH(QStringList, published);
        QFETCH(QStringList, messages);
        TProgramSettings s;
        s.UserInterface = S("1.30");
        s.Varimond = S("2.01");
        s.AvailableBetas = S("2");
        s.AvailableAddOns = S("A");
        s.NewUserInterface = published[0];
        s.NewProgramVersion = published[1];
        s.NewAvailableBetas = published[2];
        s.NewAvailableAddOns = published[3];
        QStringList found;
        for (const auto &d : update::CompareVersionInfo(s))
            found.append(d.message);
        QCOMPARE(found, messages);
    }

    void download_data()
    {
        QTest::addColumn<Route>("route");     // served at /f
        QTest::addColumn<QString>("address"); // a path on the server, or a whole address
        QTest::addColumn<bool>("versionFile");
        QTest::addColumn<QByteArray>("landed"); // the file's content, or null for no file
        QTest::addColumn<QString>("reason");    // why it failed, as the window shows it
        const QByteArray ini = "[VersionInfo]\nUserInterface=1.31\n";
        auto whole = [](int status, const QByteArray &body, const QByteArray &location = {}) {
            return Route{Route::Whole, status, body, location};
        };
        const QString notWeb = S("not an http or https address");
        const QString movedOff = S("redirected to an address that is not http or https");
        QTest::newRow("page") << whole(200, "<p>notes</p>") << S("/f") << false
                              << QByteArray("<p>notes</p>") << QString();
        QTest::newRow("version file") << whole(200, ini) << S("/f") << true << ini << QString();
        QTest::newRow("404") << whole(404, "missing") << S("/f") << false << QByteArray()
                             << S("HTTP 404 Not Found");
        QTest::newRow("500") << whole(500, ini) << S("/f") << true << QByteArray()
                             << S("HTTP 500 Internal Server Error");
        QTest::newRow("login page as version file")
            << whole(200, "<html><form>Log in</form></html>") << S("/f") << true << QByteArray()
            << S("no [VersionInfo] section");
        QTest::newRow("at the cap, unsized")
            << Route{Route::Unsized, 200, QByteArray(1000, 'y'), {}} << S("/f") << false
            << QByteArray(1000, 'y') << QString();
        QTest::newRow("over the cap, sized")
            << whole(200, QByteArray(1001, 'y')) << S("/f") << false << QByteArray()
            << S("larger than 1000 bytes");
        QTest::newRow("over the cap, unsized")
            << Route{Route::Unsized, 200, QByteArray(1001, 'y'), {}} << S("/f") << false
            << QByteArray() << S("larger than 1000 bytes");
        QTest::newRow("redirect to the web")
            << whole(302, {}, "/g") << S("/f") << false << QByteArray("<p>g</p>") << QString();
        QTest::newRow("redirect to a local file") << whole(302, {}, "file:///etc/hostname")
                                                  << S("/f") << false << QByteArray() << movedOff;
        QTest::newRow("redirect to ftp")
            << whole(301, {}, "ftp://127.0.0.1/x") << S("/f") << false << QByteArray() << movedOff;
        QTest::newRow("redirect loop") << whole(302, {}, "/f") << S("/f") << false << QByteArray()
                                       << S("more than 5 redirects");
        QTest::newRow("no answer") << Route{Route::Silent, 200, {}, {}} << S("/f") << false
                                   << QByteArray() << S("no answer for 1.5 s");
        QTest::newRow("stops sending")
            << Route{Route::Stalled, 200, QByteArray(900, 'z'), {}} << S("/f") << false
            << QByteArray() << S("no answer for 1.5 s");
        for (const char *address : {"file:///etc/hostname", "ftp://127.0.0.1/f",
                                    "data:text/plain,[VersionInfo]", "/etc/hostname", "Undef"})
            QTest::newRow(address)
                << whole(200, ini) << S(address) << false << QByteArray() << notWeb;
    }

    void download()
    {
        QFETCH(Route, route);
        QFETCH(QString, address);
        QFETCH(bool, versionFile);
        QFETCH(QByteArray, landed);
        QFETCH(QString, reason);
        HttpTestServer server;
        QVERIFY(server.start());
        server.set(S("/f"), route);
        server.page(S("/g"), "<p>g</p>");
        QTemporaryDir dir;
        const QString target = dir.filePath(S("NewVersionInfo.ini"));

        Downloader download;
        QSignalSpy finished(&download, &Downloader::finished);
        platform::DownloadLimits limits;
        limits.maxBytes = 1000;
        limits.stallMs = 1500;
        download.start(address == S("/f") ? server.url(address) : address, target, limits,
                       versionFile ? Downloader::Acceptor(&update::VersionInfoFileRefusal)
                                   : Downloader::Acceptor());
        QCOMPARE(finished.count(), 0); // never from inside start()
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, HangMs);
        QCOMPARE(finished.at(0).at(0).toBool(), !landed.isNull());
        QCOMPARE(download.errorString(), reason);
        // Nothing but a complete, accepted download is left in the folder.
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(left, landed.isNull() ? QStringList() : QStringList{S("NewVersionInfo.ini")});
        if (!landed.isNull())
            QCOMPARE(readAll(target), landed);
    }

    // Servers that keep a download going: each ends it within its limit.
    void slowServers_data()
    {
        QTest::addColumn<Route>("route");
        QTest::addColumn<int>("totalMs"); // 0: the version file's own limits
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("boundMs"); // the download has ended by then
        // One byte every 10 s: never silent for 15 s, and under the average rate after 15 s.
        QTest::newRow("a byte every 10 s, version file's limits")
            << Route{Route::Drip, 200, QByteArray(500, 'd'), {}, "text/plain", 10000} << 0
            << S("too slow: under 1 KiB/s") << update::UpdateCheck::VersionInfoTotalMs;
        // Twenty bytes a second: well within every limit but the total.
        QTest::newRow("steady trickle, 3 s total")
            << Route{Route::Drip, 200, QByteArray(500, 'd'), {}, "text/plain", 50} << 3000
            << S("too slow: 3 s limit") << 4500;
    }

    void slowServers()
    {
        QFETCH(Route, route);
        QFETCH(int, totalMs);
        QFETCH(QString, reason);
        QFETCH(int, boundMs);
        HttpTestServer server;
        QVERIFY(server.start());
        server.set(S("/f"), route);
        QTemporaryDir dir;
        TProgramSettings settings;
        update::UpdateCheck check(settings);
        platform::DownloadLimits limits = check.versionInfoLimits();
        if (totalMs) {
            limits.totalMs = totalMs;
            limits.minAverageRate = 0;
        }
        Downloader download;
        QSignalSpy finished(&download, &Downloader::finished);
        // The bound is a timer of this event loop, started with the download: a busy machine
        // makes it late as much as the download's own limits.
        QTimer bound;
        bound.setSingleShot(true);
        bool inTime = false;
        connect(&download, &Downloader::finished, &bound, [&] { inTime = bound.isActive(); });
        QElapsedTimer clock;
        clock.start();
        bound.start(boundMs);
        download.start(server.url(S("/f")), dir.filePath(S("f")), limits);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, HangMs);
        qInfo("ended after %lld ms (bound %d ms): %s", clock.elapsed(), boundMs,
              qPrintable(download.errorString()));
        QVERIFY(inTime);
        QCOMPARE(download.errorString(), reason);
        QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }

    // Headers that never end are cut at 64 KiB; afterwards the connection is closed, the
    // download's thread is gone, and the memory and the processor are as they were.
    void endlessHeaders_data()
    {
        QTest::addColumn<Route>("route");
        QTest::newRow("one header of 100 MB")
            << Route{Route::Flood, 200, "X-Big: ", {}, {}, 0, QByteArray(64 * 1024, 'h'), 1600};
        QTest::newRow("100,000 header lines") << Route{
            Route::Flood, 200, {}, {}, {}, 0, QByteArray("X-Line: 0123456789abcdef\r\n"), 100000};
    }

    void endlessHeaders()
    {
        QFETCH(Route, route);
        HttpTestServer server;
        QVERIFY(server.start());
        server.set(S("/f"), route);
        QTemporaryDir dir;
        const qint64 rssBefore = residentKiB();
        const int threadsBefore = threadCount();
        // What this process spends in a second with nothing to do, on this machine now.
        const qint64 idleBefore = cpuTicks();
        QTest::qWait(1000);
        const qint64 idle = cpuTicks() - idleBefore;
        Downloader download;
        QSignalSpy finished(&download, &Downloader::finished);
        // The bound is a timer of this event loop, late as much as the download on a busy machine.
        QTimer bound;
        bound.setSingleShot(true);
        bool inTime = false;
        connect(&download, &Downloader::finished, &bound, [&] { inTime = bound.isActive(); });
        bound.start(5000);
        download.start(server.url(S("/f")), dir.filePath(S("f")), platform::DownloadLimits{});
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, HangMs);
        QCOMPARE(download.errorString(), S("response header larger than 64 KiB"));
        // The server has noticed the closed connection and stopped.
        QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, HangMs);
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, HangMs);
        const qint64 cpuBefore = cpuTicks();
        QTest::qWait(1000);
        const qint64 cpuAfter = cpuTicks();
        const qint64 rssAfter = residentKiB();
        qInfo("memory %lld -> %lld KiB; %lld CPU ticks in the second after, %lld idle before",
              rssBefore, rssAfter, cpuAfter - cpuBefore, idle);
        QVERIFY(inTime);
        QVERIFY(rssAfter - rssBefore < 20 * 1024);
        QVERIFY(cpuAfter - cpuBefore <= idle + 5); // 50 ms of a second more than idle at most
    }

    // Each address of a chain is asked for once, every time; the sixth redirect fails.
    void redirectChains_data()
    {
        QTest::addColumn<int>("hops");
        QTest::addColumn<QString>("reason");
        for (int hops : {1, 2, 3, 5})
            QTest::addRow("%d hops", hops) << hops << QString();
        QTest::newRow("6 hops") << 6 << S("more than 5 redirects");
    }

    void redirectChains()
    {
        QFETCH(int, hops);
        QFETCH(QString, reason);
        HttpTestServer server;
        QVERIFY(server.start());
        // Absolute and relative targets alternate, with both 301/302 and 307/308.
        for (int i = 0; i < hops; ++i) {
            const QByteArray next = "/r" + QByteArray::number(i + 1);
            server.set(S("/r%1").arg(i),
                       Route{Route::Whole,
                             i % 2 ? 307 : 302,
                             {},
                             i % 3 == 1 ? server.url(QString::fromLatin1(next)).toUtf8() : next});
        }
        server.page(S("/r%1").arg(hops), "[VersionInfo]\n");
        QTemporaryDir dir;
        Downloader download;
        constexpr int Runs = 20;
        int succeeded = 0;
        for (int run = 0; run < Runs; ++run) {
            QSignalSpy finished(&download, &Downloader::finished);
            download.start(server.url(S("/r0")), dir.filePath(S("v.ini")),
                           platform::DownloadLimits{});
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, HangMs);
            succeeded += finished.at(0).at(0).toBool();
            QCOMPARE(download.errorString(), reason);
        }
        QCOMPARE(succeeded, reason.isEmpty() ? Runs : 0);
        for (int i = 0; i <= qMin(hops, 5); ++i)
            QCOMPARE(server.hits(S("/r%1").arg(i)), Runs);
        if (hops > 5)
            QCOMPARE(server.hits(S("/r%1").arg(hops)), 0);
        if (reason.isEmpty())
            QCOMPARE(download.finalUrl(), QUrl(server.url(S("/r%1").arg(hops))));
    }

    void progressAndAbort()
    {
        HttpTestServer server;
        QVERIFY(server.start());
        server.set(S("/f"), Route{Route::Stalled, 200, QByteArray(1000, 'p'), {}});
        QTemporaryDir dir;
        const int threadsBefore = threadCount();
        Downloader download;
        QSignalSpy progress(&download, &Downloader::progress);
        QSignalSpy finished(&download, &Downloader::finished);
        platform::DownloadLimits limits;
        limits.maxBytes = 4096;
        limits.stallMs = HangMs;
        download.start(server.url(S("/f")), dir.filePath(S("n.html")), limits);
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(0).toLongLong() == 500,
                                 HangMs);
        QCOMPARE(progress.last().at(1).toLongLong(), 1000);
        QVERIFY(!QFileInfo::exists(dir.filePath(S("n.html")))); // not under its name yet
        QElapsedTimer clock;
        clock.start();
        download.abort();
        // Cancel closes the connection and ends the download's thread before it returns, well
        // before the stalled server would have run into the download's limit.
        QVERIFY(clock.elapsed() < limits.stallMs / 4);
        QCOMPARE(threadCount(), threadsBefore);
        QVERIFY(!download.isRunning());
        QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
        // Whatever the thread sent before it ended is queued by now.
        QCoreApplication::sendPostedEvents();
        QCOMPARE(finished.count(), 0);
    }

    void notesWithBase_data()
    {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QByteArray>("shown");
        const QByteArray base = "<base href=\"http://h/d/n.html?a=1&amp;b=%22\">";
        QTest::newRow("plain") << QByteArray("<p>x</p>") << base + "<p>x</p>";
        QTest::newRow("empty") << QByteArray() << base;
        QTest::newRow("after the document type")
            << QByteArray("<!DOCTYPE html>\n<html>") << "<!DOCTYPE html>" + base + "\n<html>";
        QTest::newRow("after comments and the document type")
            << QByteArray(" <!-- a > b --><!doctype html><html>")
            << " <!-- a > b --><!doctype html>" + base + "<html>";
        QTest::newRow("after the byte-order mark")
            << QByteArray("\xEF\xBB\xBF<html>") << "\xEF\xBB\xBF" + base + "<html>";
        QTest::newRow("unclosed comment") << QByteArray("<!-- x") << base + "<!-- x";
    }

    void notesWithBase()
    {
        QFETCH(QByteArray, page);
        QFETCH(QByteArray, shown);
        QCOMPARE(update::NotesWithBase(page, QUrl(S("http://h/d/n.html?a=1&b=\""))), shown);
    }

    void publishedFileMovesAddresses()
    {
        HttpTestServer server;
        QVERIFY(server.start());
        QTemporaryDir dir;
        TProgramSettings s;
        s.ProgramDir = dir.path() + QLatin1Char('/');
        s.ProgramIniFName = S("varimond.ini");
        s.UrlVersionInfo = server.url(S("/v.ini"));
        s.UrlVersionNotes = server.url(S("/old.html"));
        s.UrlWeblinkPage = S("http://old.example/");
        s.WeblinkButtonCaption = S("Old");
        // The published file moves both download addresses and names no Weblink.
        server.page(S("/v.ini"),
                    "[versioninfo]\nUrlVersionInfo=" + server.url(S("/v2.ini")).toUtf8() +
                        "\nUrlVersionNotes=" + server.url(S("/new.html")).toUtf8() + "\n");
        server.page(S("/new.html"), "<p>new</p>");
        QVERIFY(writeAll(s.iniPath(), "[VersionInfo]\nUrlWeblinkPage=http://old.example/\n"
                                      "WeblinkButtonCaption=Old\n"));

        update::UpdateCheck check(s);
        QSignalSpy notes(&check, &update::UpdateCheck::notesReady);
        check.Start();
        QTRY_VERIFY_WITH_TIMEOUT(check.phase() == update::UpdateCheck::Phase::Completed, HangMs);
        QCOMPARE(server.hits(S("/new.html")), 1);
        QCOMPARE(server.hits(S("/old.html")), 0);
        QCOMPARE(notes.count(), 1);
        QCOMPARE(notes.at(0).at(1).toUrl(), QUrl(server.url(S("/new.html"))));
        QCOMPARE(readAll(s.ProgramDir + S("NewVersionNotes.html")), QByteArray("<p>new</p>"));
        QCOMPARE(s.UrlWeblinkPage, S("Undef"));
        QCOMPARE(check.view().weblinkCaption, S("Undef"));

        SaveProgramIniFile(s, WindowStateAtClose{});
        const platform::IniFile ini(s.iniPath());
        auto stored = [&ini](const char *key) {
            return ini.readString(S("VersionInfo"), S(key), S("<missing>"));
        };
        QCOMPARE(stored("UrlVersionInfo"), server.url(S("/v2.ini")));
        QCOMPARE(stored("UrlVersionNotes"), server.url(S("/new.html")));
        QCOMPARE(stored("UrlWeblinkPage"), S("http://old.example/"));
        QCOMPARE(stored("WeblinkButtonCaption"), S("Old"));
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
