// The update check without a window: the version comparison, the downloader against a real
// server on 127.0.0.1, and a whole check's effect on the settings record and the settings file.
#include "common/HttpTestServer.h"
#include "common/TestFiles.h"
#include "core/Common.h"
#include "platform/IniFile.h"
#include "update/Downloader.h"
#include "update/UpdateCheck.h"
#include "update/VersionInfo.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace testfiles;
using update::Downloader;

Q_DECLARE_METATYPE(Route)

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
        const QByteArray ini = "[VersionInfo]\nUserInterface=1.31\n";
        auto whole = [](int status, const QByteArray &body, const QByteArray &location = {}) {
            return Route{Route::Whole, status, body, location};
        };
        QTest::newRow("page") << whole(200, "<p>notes</p>") << S("/f") << false
                              << QByteArray("<p>notes</p>");
        QTest::newRow("version file") << whole(200, ini) << S("/f") << true << ini;
        QTest::newRow("404") << whole(404, "missing") << S("/f") << false << QByteArray();
        QTest::newRow("500") << whole(500, ini) << S("/f") << true << QByteArray();
        QTest::newRow("login page as version file")
            << whole(200, "<html><form>Log in</form></html>") << S("/f") << true << QByteArray();
        QTest::newRow("at the cap, unsized")
            << Route{Route::Unsized, 200, QByteArray(1000, 'y'), {}} << S("/f") << false
            << QByteArray(1000, 'y');
        QTest::newRow("over the cap, sized")
            << whole(200, QByteArray(1001, 'y')) << S("/f") << false << QByteArray();
        QTest::newRow("over the cap, unsized")
            << Route{Route::Unsized, 200, QByteArray(1001, 'y'), {}} << S("/f") << false
            << QByteArray();
        QTest::newRow("redirect to the web")
            << whole(302, {}, "/g") << S("/f") << false << QByteArray("<p>g</p>");
        QTest::newRow("redirect to a local file")
            << whole(302, {}, "file:///etc/hostname") << S("/f") << false << QByteArray();
        QTest::newRow("redirect to ftp")
            << whole(301, {}, "ftp://127.0.0.1/x") << S("/f") << false << QByteArray();
        QTest::newRow("redirect loop") << whole(302, {}, "/f") << S("/f") << false << QByteArray();
        QTest::newRow("no answer")
            << Route{Route::Silent, 200, {}, {}} << S("/f") << false << QByteArray();
        QTest::newRow("stops sending") << Route{Route::Stalled, 200, QByteArray(900, 'z'), {}}
                                       << S("/f") << false << QByteArray();
        for (const char *address : {"file:///etc/hostname", "ftp://127.0.0.1/f",
                                    "data:text/plain,[VersionInfo]", "/etc/hostname", "Undef"})
            QTest::newRow(address) << whole(200, ini) << S(address) << false << QByteArray();
    }

    void download()
    {
        QFETCH(Route, route);
        QFETCH(QString, address);
        QFETCH(bool, versionFile);
        QFETCH(QByteArray, landed);
        HttpTestServer server;
        QVERIFY(server.start());
        server.set(S("/f"), route);
        server.page(S("/g"), "<p>g</p>");
        QTemporaryDir dir;
        const QString target = dir.filePath(S("NewVersionInfo.ini"));

        QNetworkAccessManager manager;
        Downloader download(&manager);
        download.setStallTimeout(1500);
        QSignalSpy finished(&download, &Downloader::finished);
        download.start(address == S("/f") ? server.url(address) : address, target, 1000,
                       versionFile ? Downloader::Acceptor(&update::IsVersionInfoFile)
                                   : Downloader::Acceptor());
        QCOMPARE(finished.count(), 0); // never from inside start()
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).toBool(), !landed.isNull());
        // Nothing but a complete, accepted download is left in the folder.
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(left, landed.isNull() ? QStringList() : QStringList{S("NewVersionInfo.ini")});
        if (!landed.isNull())
            QCOMPARE(readAll(target), landed);
    }

    void progressAndAbort()
    {
        HttpTestServer server;
        QVERIFY(server.start());
        server.set(S("/f"), Route{Route::Stalled, 200, QByteArray(1000, 'p'), {}});
        QTemporaryDir dir;
        QNetworkAccessManager manager;
        Downloader download(&manager);
        QSignalSpy progress(&download, &Downloader::progress);
        QSignalSpy finished(&download, &Downloader::finished);
        download.start(server.url(S("/f")), dir.filePath(S("n.html")), 4096);
        QTRY_VERIFY(!progress.isEmpty() && progress.last().at(0).toLongLong() == 500);
        QCOMPARE(progress.last().at(1).toLongLong(), 1000);
        QVERIFY(!QFileInfo::exists(dir.filePath(S("n.html")))); // not under its name yet
        download.abort();
        QVERIFY(!download.isRunning());
        QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QCOMPARE(finished.count(), 0);
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
        QTRY_VERIFY(check.phase() == update::UpdateCheck::Phase::Completed);
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
