// The update window against a real server on 127.0.0.1: verdicts, message lines and labels,
// the countdown, closing during a download, the notes page's rights, Weblink, and the window
// at start-up and from the Help menu of the main window.
#include "app/MainFrm.h"
#include "common/HttpTestServer.h"
#include "common/TestFiles.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "packupdate/PackInstall.h"
#include "packupdate/PackSwap.h"
#include "ini/IniFile.h"
#include "files/Paths.h"
#include "update/CheckUpdateFrm.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QWebEngineView>
#include <QtTest>

#include <memory>

using namespace testfiles;

Q_DECLARE_METATYPE(Route)

namespace {

QByteArray versionFile(const char *ui, const char *program, const char *betas, const char *addOns)
{
    return QByteArray("[VersionInfo]\r\nUserInterface=") + ui + "\r\nVarimond=" + program +
           "\r\nAvailableBetas=" + betas + "\r\nAvailableAddOns=" + addOns +
           "\r\nWeblinkButtonCaption=Get it\r\nUrlVersionInfo=%V\r\nUrlVersionNotes=%N\r\n";
}

/// A pack of version 1.0 at @p pack: option A chosen, B not, with the player's settings.
void makePack(const QString &pack, const QByteArray &settings)
{
    QVERIFY(writeAll(pack + S("/Options/A/options.ini"), "[Mode]\nOptionMode=3\n"));
    QVERIFY(writeAll(pack + S("/Options/A/RunMe.sh"), "#!/bin/sh\n"));
    QVERIFY(writeAll(pack + S("/Options/B/options.ini"), "[Mode]\nOptionMode=2\n"));
    QVERIFY(writeAll(pack + S("/Options/B/RunMe.sh"), "#!/bin/sh\n"));
    QVERIFY(writeAll(pack + S("/varimond.ini"), settings));
}

/// Version 2.0 as a .tar.gz made with the system's tar: A and B both off, B's script new.
QByteArray newVersionArchive(const QString &work)
{
    const QString src = work + S("/v2");
    writeAll(src + S("/Options/A/options.ini"), "[Mode]\nOptionMode=2\n");
    writeAll(src + S("/Options/A/RunMe.sh"), "#!/bin/sh\n");
    writeAll(src + S("/Options/B/options.ini"), "[Mode]\nOptionMode=2\n");
    writeAll(src + S("/Options/B/RunMe.sh"), "#!/bin/sh\necho 2\n");
    writeAll(src + S("/varimond.ini"), "[VersionInfo]\nUserInterface=2.0\n");
    const QString archive = work + S("/v2.tar.gz");
    QProcess::execute(S("tar"), {S("-czf"), archive, S("-C"), src, S(".")});
    return readAll(archive);
}

QByteArray packageSection(const QString &address, const QByteArray &archive)
{
    return "[Package]\r\nArchive=" + address.toUtf8() +
           "\r\nSHA256=" + QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex() +
           "\r\nSize=" + QByteArray::number(archive.size()) + "\r\n";
}

/// Signs @p archive with a new key made in @p work, the trusted comment naming version 2.0:
/// the [Package] Signature line and the public key for [Update] PublicKey.
std::pair<QByteArray, QByteArray> signWithNewKey(const QString &work, const QByteArray &archive)
{
    const QString file = work + S("/signed"), key = work + S("/key");
    writeAll(file, archive);
    QProcess::execute(S("minisign"), {S("-G"), S("-W"), S("-p"), key + S(".pub"), S("-s"), key + S(".sec")});
    QProcess::execute(S("minisign"), {S("-S"), S("-s"), key + S(".sec"), S("-m"), file, S("-t"), S("version:2.0")});
    return {"Signature=" + readAll(file + S(".minisig")).trimmed().replace("\n", "\\n") + "\r\n",
            readAll(key + S(".pub")).trimmed().split('\n').last()};
}

Route whole(int status, const QByteArray &body, const QByteArray &location = {})
{
    return Route{Route::Whole, status, body, location};
}

QColor colourOf(const QLabel *label)
{
    return label->palette().color(QPalette::WindowText);
}

} // namespace

/// Receives the addresses the desktop would open.
class Opened : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls.append(url); }
};

class TestUpdateForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HttpTestServer> m_server;
    std::unique_ptr<QWidget> m_owner;
    TCheckUpdateForm *m_form = nullptr;

    template <typename T> T *child(const char *name) const
    {
        return m_form->findChild<T *>(QString::fromLatin1(name));
    }
    /// Serves @p route at @p path, with %V and %N in its body standing for the two addresses.
    void serve(const char *path, Route route)
    {
        route.body.replace("%V", m_server->url(S("/v.ini")).toUtf8());
        route.body.replace("%N", ProgramSettings.UrlVersionNotes.toUtf8());
        m_server->set(S(path), route);
    }
    QLabel *label(const char *name) const { return child<QLabel>(name); }
    QString linesShown() const { return child<QTextBrowser>("RichEdit1")->toPlainText(); }
    bool browserInFront() const
    {
        return m_form->WebBrowser() &&
               child<QStackedWidget>("PanelDocument")->currentWidget() == m_form->WebBrowser();
    }
    void openAndWait()
    {
        m_form->open();
        using Phase = update::UpdateCheck::Phase;
        // The caption may read Falied before the notes download has ended.
        QTRY_VERIFY_WITH_TIMEOUT(m_form->Check()->phase() == Phase::Completed ||
                                     m_form->Check()->phase() == Phase::Failed,
                                 HangMs);
    }

private Q_SLOTS:
    void init()
    {
        ProgramSettings = TProgramSettings{};
        m_dir = std::make_unique<QTemporaryDir>();
        // The packs' state folders (their update files) in the throw-away folder.
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->filePath(S("state"))));
        m_server = std::make_unique<HttpTestServer>();
        QVERIFY(m_server->start());
        ProgramSettings.ProgramDir = m_dir->path() + QLatin1Char('/');
        ProgramSettings.UserInterface = S("1.30");
        ProgramSettings.Varimond = S("2.01");
        ProgramSettings.AvailableBetas = S("2");
        ProgramSettings.AvailableAddOns = S("A");
        ProgramSettings.UrlVersionInfo = m_server->url(S("/v.ini"));
        ProgramSettings.UrlVersionNotes = m_server->url(S("/n.html"));
        ProgramSettings.UrlWeblinkPage = S("https://example.org/download");
        ProgramSettings.WeblinkButtonCaption = S("Download");
        m_owner = std::make_unique<QWidget>();
        m_owner->setGeometry(100, 100, 900, 700);
        m_form = new TCheckUpdateForm(m_owner.get());
        m_form->setStallTimeout(1500);
    }

    void cleanup()
    {
        m_owner.reset();
        m_server.reset();
        m_dir.reset();
    }

    void windowAndControls()
    {
        const Qt::WindowFlags flags = m_form->windowFlags();
        QVERIFY(flags & Qt::WindowMaximizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QCOMPARE(m_form->minimumSize(), QSize(500, 300));
        const QList<std::tuple<const char *, const char *, const char *>> controls = {
            {"lblAvailableBetas", "Available Betas:", ""},
            {"lblAvailableAddOns", "Available AddOns:", ""},
            {"lblNewAvailableBetas", "", "New Available Betas"},
            {"lblNewAvailableAddOns", "", "New Available AddOns"},
            {"cbCheckOnStartup", "Check on startup", "Enable/Disable check on startup"},
            {"ProgressBar1", "", "Download Progress Bar"},
            {"btnWeblink", "", "Open weblink in default browser window"},
            {"btnContinue", "Continue", "Close window"}};
        for (const auto &[name, text, hint] : controls) {
            QWidget *w = child<QWidget>(name);
            QVERIFY2(w, name);
            QCOMPARE(w->toolTip(), S(hint));
            if (*text)
                QCOMPARE(w->property("text").toString(), S(text));
        }
        for (const char *name : {"Panel1", "lblUIVersion", "lblProgramVersion", "lblMessage1",
                                 "lblMessage2", "RichEdit1"})
            QVERIFY2(child<QWidget>(name), name);
        QCOMPARE(child<QTimer>("Timer1")->interval(), 250);
    }

    void verdict_data()
    {
        QTest::addColumn<Route>("version");
        QTest::addColumn<Route>("notes");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QStringList>("messages"); // lblMessage1, lblMessage2
        QTest::addColumn<QColor>("colour");        // of both; invalid: the window-text colour
        QTest::addColumn<QStringList>("lines");    // %V, %N: the two addresses
        QTest::addColumn<QStringList>("levels");   // lblNewAvailableBetas, ...AddOns
        QTest::addColumn<bool>("browser");
        const Route notes = whole(200, "<html><title>Notes</title></html>");
        const QString completed = S("Checking for Updates [ Completed ]");
        const QString failed = S("Checking for Updates [ Falied ]");
        const QColor blue(0, 0, 255), green(0, 128, 0), red(255, 0, 0);
        const QStringList news{S("Completed"), S("New files available")};
        const QStringList error{S("[** Download Error **]"), QString()};
        // The two lines of each failure, then the reason in plain words.
        auto noVersion = [](const char *why) {
            return QStringList{S("Could not retreive \"Version Info\" file:"), S("  %V"),
                               S("  ") + S(why), QString()};
        };
        auto noNotes = [](const char *why) {
            return QStringList{S("Could not retreive \"Version Notes\" file:"), S("  %N"),
                               S("  ") + S(why)};
        };

        QTest::newRow("equal") << whole(200, versionFile("1.30", "2.01", "2", "A")) << notes
                               << completed
                               << QStringList{S("Completed"), S("No new files available")} << green
                               << QStringList() << QStringList{S("2"), S("A")} << true;
        QTest::newRow("interface")
            << whole(200, versionFile("1.31", "2.01", "2", "A")) << notes << completed << news
            << blue << QStringList{S("A new version of the UI is available."), QString()}
            << QStringList{S("2"), S("A")} << true;
        QTest::newRow("program")
            << whole(200, versionFile("1.30", "2.1", "2", "A")) << notes << completed << news
            << blue
            << QStringList{S("A new version of the Varimond program is available."), QString()}
            << QStringList{S("2"), S("A")} << true;
        QTest::newRow("beta 02 against 2")
            << whole(200, versionFile("1.30", "2.01", "02", "A")) << notes << completed << news
            << blue << QStringList{S("A new Beta is available."), QString()}
            << QStringList{S("02"), S("A")} << true;
        QTest::newRow("add-on in other case")
            << whole(200, versionFile("1.30", "2.01", "2", "a")) << whole(404, {}) << failed
            << error << red
            << QStringList{S("A new AddOn is available."), QString()} +
                   noNotes("HTTP 404 Not Found")
            << QStringList{S("2"), S("a")} << false;
        QTest::newRow("version file 404, notes fetched")
            << whole(404, {}) << notes << failed << error << red << noVersion("HTTP 404 Not Found")
            << QStringList{S("2"), S("A")} << true;
        QTest::newRow("login page instead of the version file")
            << whole(200, "<html>Please log in</html>") << whole(404, {}) << failed << error << red
            << noVersion("no [VersionInfo] section") + noNotes("HTTP 404 Not Found")
            << QStringList{S("2"), S("A")} << false;
        QTest::newRow("version file over the cap")
            << whole(200, "[VersionInfo]\n" + QByteArray(64 * 1024, ';')) << notes << failed
            << error << red << noVersion("larger than 64 KiB") << QStringList{S("2"), S("A")}
            << true;
        QTest::newRow("redirect to a local file")
            << whole(302, {}, "file:///etc/hostname") << notes << failed << error << red
            << noVersion("redirected to an address that is not http or https")
            << QStringList{S("2"), S("A")} << true;
        QTest::newRow("header that never ends")
            << Route{Route::Flood, 200, {}, {}, {}, 0, QByteArray("X-Line: 0123456789\r\n"), 100000}
            << notes << failed << error << red << noVersion("response header larger than 64 KiB")
            << QStringList{S("2"), S("A")} << true;
        QTest::newRow("server never answers")
            << Route{Route::Silent, 200, {}, {}} << notes << failed << error << red
            << noVersion("no answer for 1.5 s") << QStringList{S("2"), S("A")} << true;
        QTest::newRow("published file without addresses")
            << whole(200, "[VersionInfo]\nUserInterface=1.30\nVarimond=2.01\nAvailableBetas=2\n"
                          "AvailableAddOns=A\n")
            << notes << failed << error << red
            << QStringList{S("Could not retreive \"Version Notes\" file:"), S("  Undef"),
                           S("  not an http or https address")}
            << QStringList{S("2"), S("A")} << false;
        QTest::newRow("notes stop half-way")
            << whole(200, versionFile("1.30", "2.01", "3", "A"))
            << Route{Route::Stalled, 200, QByteArray(5000, 'n'), {}} << failed << error << red
            << QStringList{S("A new Beta is available."), QString()} +
                   noNotes("no answer for 1.5 s")
            << QStringList{S("3"), S("A")} << false;
    }

    void verdict()
    {
        QFETCH(Route, version);
        QFETCH(Route, notes);
        QFETCH(QString, caption);
        QFETCH(QStringList, messages);
        QFETCH(QColor, colour);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, levels);
        QFETCH(bool, browser);
        ProgramSettings.CheckUpdateDelay = 0;
        serve("/v.ini", version);
        serve("/n.html", notes);
        openAndWait();

        QCOMPARE(m_form->windowTitle(), caption);
        QCOMPARE(label("lblMessage1")->text(), messages[0]);
        QCOMPARE(label("lblMessage2")->text(), messages[1]);
        QCOMPARE(colourOf(label("lblMessage1")), colour);
        if (!messages[1].isEmpty())
            QCOMPARE(colourOf(label("lblMessage2")), colour);
        lines.replaceInStrings(S("%V"), ProgramSettings.UrlVersionInfo);
        lines.replaceInStrings(S("%N"), ProgramSettings.UrlVersionNotes);
        QCOMPARE(linesShown(), lines.join(QLatin1Char('\n')));
        QCOMPARE(label("lblNewAvailableBetas")->text(), levels[0]);
        QCOMPARE(label("lblNewAvailableAddOns")->text(), levels[1]);
        const QColor windowText = QApplication::palette().color(QPalette::WindowText);
        QCOMPARE(colourOf(label("lblNewAvailableBetas")),
                 levels[0] == S("2") ? windowText : QColor(0, 0, 255));
        QCOMPARE(colourOf(label("lblNewAvailableAddOns")),
                 levels[1] == S("A") ? windowText : QColor(0, 0, 255));
        QCOMPARE(browserInFront(), browser);
        QCOMPARE(label("lblUIVersion")->text(), S("UI Version: 1.30"));
        QCOMPARE(label("lblProgramVersion")->text(), S("Varimond: 2.01"));
        QVERIFY(!child<QProgressBar>("ProgressBar1")->isVisible());
        const QRect owner = m_owner->frameGeometry(), own = m_form->frameGeometry();
        QCOMPARE(own.topLeft(), QPoint(owner.left() + (owner.width() - own.width()) / 2,
                                       owner.top() + (owner.height() - own.height()) / 2));
        const bool versionLanded =
            lines.isEmpty() || !lines.first().startsWith(S("Could not retreive \"Version Info"));
        QCOMPARE(child<QPushButton>("btnWeblink")->text(), !versionLanded ? S("Download")
                                                           : version.body.contains("Get it")
                                                               ? S("Get it")
                                                               : S("Undef"));
        // What failed left no file behind, not even a part of one.
        QCOMPARE(platform::fileExists(ProgramSettings.ProgramDir + S("NewVersionInfo.ini")),
                 versionLanded);
        QCOMPARE(platform::fileExists(ProgramSettings.ProgramDir + S("NewVersionNotes.html")),
                 browser);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).size(),
                 int(versionLanded) + int(browser));
    }

    // Moved files: up to five redirects each, every address asked for once; the sixth fails.
    void movedFiles_data()
    {
        QTest::addColumn<int>("versionHops");
        QTest::addColumn<int>("notesHops");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("3 and 5 redirects") << 3 << 5 << QStringList();
        QTest::newRow("notes behind 6 redirects")
            << 2 << 6
            << QStringList{S("Could not retreive \"Version Notes\" file:"), S("  %N"),
                           S("  more than 5 redirects")};
    }

    void movedFiles()
    {
        QFETCH(int, versionHops);
        QFETCH(int, notesHops);
        QFETCH(QStringList, lines);
        ProgramSettings.CheckUpdateDelay = 0;
        ProgramSettings.UrlVersionInfo = m_server->url(S("/v0"));
        ProgramSettings.UrlVersionNotes = m_server->url(S("/n0"));
        auto chain = [this](const char *prefix, int hops, const QByteArray &body) {
            for (int i = 0; i < hops; ++i)
                m_server->set(S("/%1%2").arg(S(prefix)).arg(i),
                              whole(i % 2 ? 301 : 302, {},
                                    "/" + QByteArray(prefix) + QByteArray::number(i + 1)));
            m_server->page(S("/%1%2").arg(S(prefix)).arg(hops), body);
        };
        // The published file keeps both addresses where they are.
        chain("v", versionHops,
              versionFile("1.30", "2.01", "2", "A")
                  .replace("%V", ProgramSettings.UrlVersionInfo.toUtf8())
                  .replace("%N", ProgramSettings.UrlVersionNotes.toUtf8()));
        chain("n", notesHops, "<html><title>Moved notes</title></html>");
        openAndWait();
        lines.replaceInStrings(S("%N"), ProgramSettings.UrlVersionNotes);
        QCOMPARE(linesShown(), lines.join(QLatin1Char('\n')));
        QCOMPARE(m_form->windowTitle(), lines.isEmpty() ? S("Checking for Updates [ Completed ]")
                                                        : S("Checking for Updates [ Falied ]"));
        for (int i = 0; i <= versionHops; ++i)
            QCOMPARE(m_server->hits(S("/v%1").arg(i)), 1);
        for (int i = 0; i <= qMin(notesHops, 5); ++i)
            QCOMPARE(m_server->hits(S("/n%1").arg(i)), 1);
        QCOMPARE(m_server->hits(S("/n%1").arg(notesHops)), notesHops <= 5 ? 1 : 0);
        if (lines.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(m_form->WebBrowser()->title(), S("Moved notes"), HangMs);
    }

    void countdown_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<QString>("seconds"); // the button's number after each tick
        QTest::newRow("default") << 12 << S("2 2 2 2 1 1 1 1 0 0 0 0");
        QTest::newRow("off") << 0 << QString();
        QTest::newRow("negative") << -4 << S("-1");
    }

    void countdown()
    {
        QFETCH(int, delay);
        QFETCH(QString, seconds);
        QStringList captions;
        for (const QString &n : seconds.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            captions.append(S("Continue (%1)").arg(n));
        ProgramSettings.CheckUpdateDelay = delay;
        serve("/v.ini", whole(200, versionFile("1.30", "2.01", "2", "A")));
        serve("/n.html", whole(200, "<p>notes</p>"));
        QStringList seen;
        connect(child<QTimer>("Timer1"), &QTimer::timeout, this,
                [&] { seen.append(child<QPushButton>("btnContinue")->text()); });
        openAndWait();
        // The box changed meanwhile is not applied by any close but Continue.
        child<QCheckBox>("cbCheckOnStartup")->setChecked(true);
        if (captions.isEmpty()) {
            QVERIFY(!child<QTimer>("Timer1")->isActive());
            QCOMPARE(child<QPushButton>("btnContinue")->text(), S("Continue"));
            QVERIFY(m_form->isVisible());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->isVisible(), HangMs);
        QCOMPARE(seen, captions);
        QVERIFY(m_form->result() != TCheckUpdateForm::WeblinkResult);
        QCOMPARE(ProgramSettings.CheckUpdateDelay, 0);
        QVERIFY(!ProgramSettings.CheckForUpdateMode);
    }

    void closeWhileDownloading()
    {
        m_server->set(S("/v.ini"), Route{Route::Silent, 200, {}, {}});
        serve("/n.html", whole(200, "<p>notes</p>"));
        m_form->setStallTimeout(60000);
        m_form->open();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->hits(S("/v.ini")), 1, HangMs);
        // The window answers while the server keeps silent.
        QVERIFY(child<QProgressBar>("ProgressBar1")->isVisible());
        QCOMPARE(m_form->windowTitle(), S("Checking for Updates [ In Progress ]"));
        child<QCheckBox>("cbCheckOnStartup")->setChecked(true);
        QTest::mouseClick(child<QPushButton>("btnContinue"), Qt::LeftButton);
        QVERIFY(!m_form->isVisible());
        QCOMPARE(m_form->result(), int(QDialog::Accepted));
        QVERIFY(ProgramSettings.CheckForUpdateMode);

        // The late answer is dropped; the next showing runs a check of its own.
        m_server->release(versionFile("9", "9", "9", "9"));
        serve("/v.ini", whole(200, versionFile("1.30", "2.01", "2", "A")));
        openAndWait();
        QCOMPARE(m_form->windowTitle(), S("Checking for Updates [ Completed ]"));
        QCOMPARE(label("lblMessage2")->text(), S("No new files available"));
        QCOMPARE(ProgramSettings.NewUserInterface, S("1.30"));
        QCOMPARE(m_server->hits(S("/n.html")), 1);
    }

    void notesPageHasNoLocalRights()
    {
        QImage pixel(1, 1, QImage::Format_RGB32);
        pixel.fill(Qt::red);
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(pixel.save(&buffer, "PNG"));
        const QString secret = m_dir->filePath(S("secret.png"));
        QVERIFY(writeAll(secret, png));
        ProgramSettings.UrlVersionNotes = m_server->url(S("/docs/n.html"));
        serve("/v.ini", whole(200, versionFile("1.30", "2.01", "2", "A")));
        m_server->set(S("/docs/pixel.png"), Route{Route::Whole, 200, png, {}, "image/png"});
        m_server->page(S("/docs/n.html"),
                       "<html><body><script>var s = {};"
                       "function seen(k, v) { s[k] = v; if (s.l && s.r) document.title = s.l + "
                       "'/' + s.r; }</script>"
                       "<img src='" +
                           QUrl::fromLocalFile(secret).toEncoded() +
                           "' onload=\"seen('l','read')\" onerror=\"seen('l','blocked')\">"
                           "<img src='pixel.png' onload=\"seen('r','loaded')\" "
                           "onerror=\"seen('r','failed')\"></body></html>");
        openAndWait();
        QVERIFY(browserInFront());
        QTRY_COMPARE_WITH_TIMEOUT(m_form->WebBrowser()->title(), S("blocked/loaded"), HangMs);
        QCOMPARE(m_server->hits(S("/docs/pixel.png")), 1);
    }

    // A notes page larger than the browser takes as inline content is still shown from the
    // bytes that were downloaded: the server is asked for it once, and its relative image
    // comes from beside it.
    void largeNotesPageShownFromTheDownload()
    {
        ProgramSettings.UrlVersionNotes = m_server->url(S("/docs/n.html"));
        serve("/v.ini", whole(200, versionFile("1.30", "2.01", "2", "A")));
        m_server->set(S("/docs/pixel.png"),
                      Route{Route::Whole, 200, QByteArray(), {}, "image/png"});
        QByteArray page = "<!DOCTYPE html><html><head><title>Big</title></head><body>"
                          "<img src='pixel.png'>";
        while (page.size() < 3 * 1024 * 1024)
            page += "<p>Version notes, line after line of them.</p>\n";
        page += "<script>document.title = 'Big, ' + document.querySelectorAll('p').length"
                " + ' paragraphs';</script></body></html>";
        const int paragraphs = page.count("<p>");
        m_server->page(S("/docs/n.html"), page);
        openAndWait();
        QCOMPARE(m_form->windowTitle(), S("Checking for Updates [ Completed ]"));
        QVERIFY(browserInFront());
        QTRY_COMPARE_WITH_TIMEOUT(m_form->WebBrowser()->title(),
                                  S("Big, %1 paragraphs").arg(paragraphs), HangMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->hits(S("/docs/pixel.png")), 1, HangMs);
        QCOMPARE(m_server->hits(S("/docs/n.html")), 1);
    }

    // A link to a part of the notes page names the address the page came from (its base);
    // following it (the player's click) stays in the downloaded page and asks the server for
    // nothing.
    void linkWithinTheNotesPage()
    {
        ProgramSettings.CheckUpdateDelay = 0;
        serve("/v.ini", whole(200, versionFile("1.30", "2.01", "2", "A")));
        m_server->page(S("/n.html"),
                       "<html><head><title>Notes</title></head><body style='margin:0'>"
                       "<a id='l' href='#part' style='display:block;height:200px'>part</a>"
                       "<div style='height:3000px'></div><h2 id='part'>Part</h2></body></html>");
        openAndWait();
        QVERIFY(browserInFront());
        QTRY_COMPARE_WITH_TIMEOUT(m_form->WebBrowser()->title(), S("Notes"), HangMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_form->WebBrowser()->focusProxy(), HangMs);
        // A click that reaches the page before its renderer takes input is lost, as a player's
        // would be: it is given again until the address changes.
        QElapsedTimer clicking;
        clicking.start();
        while (m_form->WebBrowser()->url().fragment() != S("part") && clicking.elapsed() < HangMs) {
            QTest::mouseClick(m_form->WebBrowser()->focusProxy(), Qt::LeftButton, {},
                              QPoint(40, 40));
            const bool followed = QTest::qWaitFor(
                [&] { return m_form->WebBrowser()->url().fragment() == S("part"); }, 1000);
            Q_UNUSED(followed); // checked below, after the last try
        }
        QCOMPARE(m_form->WebBrowser()->url().fragment(), S("part"));
        QCOMPARE(m_form->WebBrowser()->url().scheme(), S("varimond-notes"));
        // A load of the page again would have asked the server before its address changed.
        QCOMPARE(m_server->hits(S("/n.html")), 1);
    }

    void weblink_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https") << S("https://example.org/download") << true;
        QTest::newRow("http") << S("http://example.org/") << true;
        QTest::newRow("local file") << S("file:///etc/passwd") << false;
        QTest::newRow("bare path") << S("/usr/bin/xterm") << false;
        QTest::newRow("Undef") << S("Undef") << false;
    }

    void weblink()
    {
        QFETCH(QString, page);
        QFETCH(bool, opens);
        Opened opened;
        for (const char *scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(S(scheme), &opened, "open");
        ProgramSettings.CheckUpdateDelay = 0;
        m_server->page(S("/v.ini"), "[VersionInfo]\nUrlWeblinkPage=" + page.toUtf8() + "\n");
        openAndWait();
        QTest::mouseClick(child<QPushButton>("btnWeblink"), Qt::LeftButton);
        for (const char *scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(S(scheme));
        QCOMPARE(m_form->result(), TCheckUpdateForm::WeblinkResult);
        QCOMPARE(opened.urls, opens ? QList<QUrl>{QUrl(page)} : QList<QUrl>());
    }

    void startUpWeblinkEndsWithoutSaving()
    {
        const QString pack = m_dir->filePath(S("pack"));
        const QByteArray settings =
            "[Settings]\nHideCheckForUpdate=0\nCheckForUpdateMode=1\nCheckInterfaceMode=0\n"
            "PgmFirstRun=0\n[VersionInfo]\nUrlVersionInfo=" +
            m_server->url(S("/v.ini")).toUtf8() + "\nUrlWeblinkPage=Undef\n";
        QVERIFY(writeAll(pack + S("/varimond.ini"), settings));
        QVERIFY(QDir().mkpath(pack + S("/Options")));
        serve("/v.ini", whole(200, versionFile("2", "2", "2", "2")));
        auto main = std::make_unique<TMainForm>(pack + S("/varimond"));
        main->CreateForms();
        QTimer clicker;
        connect(&clicker, &QTimer::timeout, this, [] {
            auto *form = qobject_cast<TCheckUpdateForm *>(QApplication::activeModalWidget());
            if (form && form->windowTitle().contains(S("Falied")))
                form->findChild<QPushButton *>(S("btnWeblink"))->click();
        });
        clicker.start(20);
        QVERIFY(!main->FormShow());
        main.reset();
        QCOMPARE(readAll(pack + S("/varimond.ini")), settings);
        QVERIFY(platform::fileExists(pack + S("/NewVersionInfo.ini")));
    }

    void installUpdateOffered_data()
    {
        QTest::addColumn<QByteArray>("published");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("offered");
        QTest::addColumn<bool>("notSigned"); // the window says the update is not signed
        const QByteArray sha(64, 'a');
        const QByteArray news = versionFile("2.0", "2.01", "2", "A");
        const QByteArray same = versionFile("1.30", "2.01", "2", "A");
        const QByteArray package =
            "[Package]\r\nArchive=https://x.org/p.zip\r\nSHA256=" + sha + "\r\nSize=1000\r\n";
        QByteArray overHttp = package;
        overHttp.replace("https:", "http:");
        QTest::newRow("new files, sound package") << news + package << QString() << true << true;
        QTest::newRow("no new files") << same + package << QString() << false << false;
        QTest::newRow("no package") << news << QString() << false << false;
        QTest::newRow("package without hash")
            << news + "[Package]\r\nArchive=https://x.org/p.zip\r\nSize=1000\r\n"
            << QString() << false << false;
        QTest::newRow("unsigned over http") << news + overHttp << QString() << false << true;
        QTest::newRow("pack has a key, http") << news + overHttp << S("RWQkey") << true << false;
    }
    void installUpdateOffered()
    {
        QFETCH(QByteArray, published);
        QFETCH(QString, key);
        QFETCH(bool, offered);
        QFETCH(bool, notSigned);
        ProgramSettings.PublicKey = key;
        serve("/v.ini", whole(200, published));
        serve("/n.html", whole(200, "<p>notes</p>"));
        openAndWait();
        auto *button = child<QPushButton>("btnInstallUpdate");
        QCOMPARE(button->isVisible(), offered);
        if (offered)
            QCOMPARE(button->toolTip(), S("Download and install version 2.0 (1 KB)"));
        QCOMPARE(linesShown().contains(S("This update is not signed")), notSigned);
        // Without an offer the window is as it always was.
        QCOMPARE(label("lblMessage1")->text(), S("Completed"));
    }

    void installFailureChangesNothing()
    {
        const QString pack = m_dir->filePath(S("pack"));
        makePack(pack, "[VersionInfo]\nUserInterface=1.30\n");
        ProgramSettings.ProgramDir = pack + S("/");
        ProgramSettings.ProgramIniFName = S("varimond.ini");
        ProgramSettings.ProgramName = S("varimond");
        const QByteArray archive = newVersionArchive(m_dir->path());
        const auto [signature, key] = signWithNewKey(m_dir->path(), archive);
        ProgramSettings.PublicKey = QString::fromUtf8(key);
        QByteArray published = versionFile("2.0", "2.01", "2", "A") +
                               packageSection(m_server->url(S("/p.tar.gz")), archive) + signature;
        published.replace(QByteArray::number(archive.size()),
                          QByteArray::number(archive.size() + 1));
        serve("/v.ini", whole(200, published));
        serve("/n.html", whole(200, "<p>notes</p>"));
        serve("/p.tar.gz", whole(200, archive));
        openAndWait();
        const QByteArray options = readAll(pack + S("/Options/A/options.ini"));
        QTest::mouseClick(child<QPushButton>("btnInstallUpdate"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(label("lblMessage1")->text(), S("[** Update Error **]"), HangMs);
        QVERIFY(linesShown().contains(S("not the")));
        QVERIFY(m_form->isVisible());
        QCOMPARE(readAll(pack + S("/Options/A/options.ini")), options);
        QVERIFY(!QFileInfo::exists(packupdate::UpdateFolder(pack + S("/"))));
    }

    void startUpInstallRestartsOnTheNewVersion()
    {
        const QString pack = m_dir->filePath(S("pack"));
        const QByteArray archive = newVersionArchive(m_dir->path());
        const auto [signature, key] = signWithNewKey(m_dir->path(), archive);
        makePack(pack, "[Update]\nPublicKey=" + key + "\n[Settings]\nHideCheckForUpdate=0\nCheckForUpdateMode=1\n"
                       "CheckInterfaceMode=0\nPgmFirstRun=0\n[VersionInfo]\nUserInterface=1.0\n"
                       "UrlVersionInfo=" +
                           m_server->url(S("/v.ini")).toUtf8() +
                           "\nUrlVersionNotes=" + m_server->url(S("/n.html")).toUtf8() + "\n");
        serve("/v.ini", whole(200, versionFile("2.0", "2.01", "2", "A") +
                                       packageSection(m_server->url(S("/p.tar.gz")), archive) +
                                       signature));
        serve("/n.html", whole(200, "<p>notes</p>"));
        serve("/p.tar.gz", whole(200, archive));
        // The program started again: a script that records its arguments.
        const QString restart = m_dir->filePath(S("restart.sh"));
        const QString said = m_dir->filePath(S("restart.txt"));
        QVERIFY(writeAll(restart, "#!/bin/sh\necho \"$@\" > '" + said.toUtf8() + "'\n"));
        QFile::setPermissions(restart, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        auto main = std::make_unique<TMainForm>(pack + S("/varimond"));
        main->CreateForms();
        main->SetRestartProgram(restart);
        QTimer clicker;
        connect(&clicker, &QTimer::timeout, this, [] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                if (box->objectName() == S("UpdateInstalledBox"))
                    box->accept();
                return;
            }
            auto *form = qobject_cast<TCheckUpdateForm *>(modal);
            auto *button = form ? form->findChild<QPushButton *>(S("btnInstallUpdate")) : nullptr;
            if (button && button->isVisible() && button->text() == S("Install Update") &&
                !form->Install()->isRunning())
                button->click();
        });
        clicker.start(20);
        QVERIFY(!main->FormShow()); // this run ends
        main.reset();
        QTRY_COMPARE_WITH_TIMEOUT(readAll(said), "--pack " + QFile::encodeName(pack) + "\n",
                                  HangMs);
        // The new version, with the player's choice and settings; nothing of this run's
        // settings was written over it afterwards.
        QCOMPARE(readAll(pack + S("/Options/B/RunMe.sh")), QByteArray("#!/bin/sh\necho 2\n"));
        QCOMPARE(platform::IniFile::readString(pack + S("/Options/A/options.ini"), S("Mode"),
                                               S("OptionMode"), QString()),
                 S("3"));
        const QString settings = pack + S("/varimond.ini");
        QCOMPARE(platform::IniFile::readString(settings, S("VersionInfo"), S("UserInterface"),
                                               QString()),
                 S("2.0"));
        QCOMPARE(platform::IniFile::readString(settings, S("Settings"), S("CheckForUpdateMode"),
                                               QString()),
                 S("1"));
        QVERIFY(QFileInfo(packupdate::UpdateFolder(pack + S("/")) + S("previous-1.0/Options")).isDir());
    }

    void helpMenuInstallClosesWithoutSaving()
    {
        const QString pack = m_dir->filePath(S("pack"));
        const QByteArray archive = newVersionArchive(m_dir->path());
        const auto [signature, key] = signWithNewKey(m_dir->path(), archive);
        makePack(pack, "[Update]\nPublicKey=" + key + "\n[Settings]\nHideCheckForUpdate=0\nCheckInterfaceMode=0\nPgmFirstRun=0\n"
                       "[VersionInfo]\nUserInterface=1.0\nUrlVersionInfo=" +
                           m_server->url(S("/v.ini")).toUtf8() +
                           "\nUrlVersionNotes=" + m_server->url(S("/n.html")).toUtf8() + "\n");
        serve("/v.ini", whole(200, versionFile("2.0", "2.01", "2", "A") +
                                       packageSection(m_server->url(S("/p.tar.gz")), archive) +
                                       signature));
        serve("/n.html", whole(200, "<p>notes</p>"));
        serve("/p.tar.gz", whole(200, archive));
        const QString restart = m_dir->filePath(S("restart.sh"));
        const QString said = m_dir->filePath(S("restart.txt"));
        QVERIFY(writeAll(restart, "#!/bin/sh\necho \"$@\" > '" + said.toUtf8() + "'\n"));
        QFile::setPermissions(restart, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        TMainForm main(pack + S("/varimond"));
        main.CreateForms();
        main.SetRestartProgram(restart);
        QVERIFY(main.FormShow());
        main.ShowMainWindow();
        QTimer clicker;
        connect(&clicker, &QTimer::timeout, this, [] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                if (box->objectName() == S("UpdateInstalledBox"))
                    box->accept();
                return;
            }
            auto *form = qobject_cast<TCheckUpdateForm *>(modal);
            auto *button = form ? form->findChild<QPushButton *>(S("btnInstallUpdate")) : nullptr;
            if (button && button->isVisible() && button->text() == S("Install Update") &&
                !form->Install()->isRunning())
                button->click();
        });
        clicker.start(20);
        main.findChild<QAction *>(S("HelpCheckUpdatesItem"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!main.isVisible(), HangMs);
        QTRY_COMPARE_WITH_TIMEOUT(readAll(said), "--pack " + QFile::encodeName(pack) + "\n",
                                  HangMs);
        // The settings of this run went into the old file before the update and were carried
        // over; the close wrote nothing over the new version's file.
        const QString settings = pack + S("/varimond.ini");
        QCOMPARE(platform::IniFile::readString(settings, S("VersionInfo"), S("UserInterface"),
                                               QString()),
                 S("2.0"));
        QVERIFY(!platform::IniFile(settings).hasKey(S("About"), S("AboutTxtFName")));
        QVERIFY(platform::IniFile(packupdate::UpdateFolder(pack + S("/")) + S("previous-1.0/varimond.ini"))
                    .hasKey(S("About"), S("AboutTxtFName")));
    }

    void helpMenuAppliesTheBox()
    {
        const QString pack = m_dir->filePath(S("pack"));
        QVERIFY(writeAll(pack + S("/varimond.ini"),
                         "[Settings]\nHideCheckForUpdate=0\nCheckInterfaceMode=0\nPgmFirstRun=0\n"
                         "[VersionInfo]\nCheckUpdateDelay=12\nUrlVersionInfo=" +
                             m_server->url(S("/v.ini")).toUtf8() +
                             "\nUrlVersionNotes=" + m_server->url(S("/n.html")).toUtf8() + "\n"));
        QVERIFY(QDir().mkpath(pack + S("/Options")));
        serve("/v.ini", whole(200, versionFile("Undef", "Undef", "Undef", "Undef")));
        serve("/n.html", whole(200, "<p>notes</p>"));
        TMainForm main(pack + S("/varimond"));
        main.CreateForms();
        QVERIFY(main.FormShow());
        QStringList buttons;
        QTimer clicker;
        connect(&clicker, &QTimer::timeout, this, [&buttons] {
            auto *form = qobject_cast<TCheckUpdateForm *>(QApplication::activeModalWidget());
            if (form && form->windowTitle().contains(S("Completed"))) {
                // No countdown from the Help menu, though the settings ask for 12 ticks.
                if (form->findChild<QTimer *>(S("Timer1"))->isActive())
                    buttons.append(S("countdown"));
                buttons.append(form->findChild<QPushButton *>(S("btnContinue"))->text());
                form->findChild<QCheckBox *>(S("cbCheckOnStartup"))->setChecked(true);
                form->findChild<QPushButton *>(S("btnContinue"))->click();
            }
        });
        clicker.start(20);
        main.findChild<QAction *>(S("HelpCheckUpdatesItem"))->trigger();
        QCOMPARE(buttons, QStringList{S("Continue")});
        QVERIFY(ProgramSettings.CheckForUpdateMode);
        QVERIFY(main.findChild<QAction *>(S("SettingsCheckForUpdateModeItem"))->isChecked());
    }
};

QTEST_MAIN(TestUpdateForm)
#include "tst_updateform.moc"
