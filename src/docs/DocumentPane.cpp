#include "docs/DocumentPane.h"

#include "core/Common.h"
#include "options/StateIcons.h"
#include "platform/Error.h"
#include "platform/Paths.h"
#include "rtf/RtfReader.h"
#include "platform/TextCodec.h"

#include <QAction>
#include <QFile>
#include <QProgressBar>
#include <QStackedLayout>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextFrameFormat>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace {

constexpr int StripHeight = 25;
constexpr int ButtonTop = 2;
constexpr int ProgressLeft = 141;
constexpr int ProgressRightGap = 9;
constexpr int ProgressHeight = 18;
constexpr int TextSideMargin = 5;

/// The strip above the document: fixed button positions, and a progress bar that stretches
/// from its fixed left edge to a fixed gap before the right edge.
class ButtonStrip final : public QWidget
{
public:
    explicit ButtonStrip(QWidget *parent) : QWidget(parent) { setFixedHeight(StripHeight); }

    QProgressBar *bar = nullptr;

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        if (bar) {
            const int width = qMax(0, this->width() - ProgressRightGap - ProgressLeft);
            bar->setGeometry(ProgressLeft, (StripHeight - ProgressHeight) / 2, width,
                             ProgressHeight);
        }
    }
};

QToolButton *flatButton(QWidget *strip, const char *name, const QString &hint, int left,
                        StateIcons::GlyphId glyph)
{
    auto *button = new QToolButton(strip);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(left, ButtonTop, 23, 22);
    button->setIconSize(QSize(16, 16));
    button->setIcon(StateIcons::Glyph(glyph));
    button->setToolTip(hint);
    return button;
}

[[noreturn]] void failedToLoadStream()
{
    throw AppError(QStringLiteral("Failed to Load Stream"));
}

/// The whole file, or AppError when it cannot be read or is too large to show.
QByteArray readTextFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        failedToLoadStream();
    if (file.size() > DocumentPane::MaxTextFileSize)
        failedToLoadStream();
    // Read in pieces so a file that grows while it is read still stops at the limit.
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const qint64 n = file.read(buffer, sizeof buffer);
        if (n < 0)
            failedToLoadStream();
        if (n == 0)
            break;
        if (data.size() + n > DocumentPane::MaxTextFileSize)
            failedToLoadStream();
        data.append(buffer, n);
    }
    return data;
}

/// The address the Home button opens: a local path (the base folder is absolute) or a web
/// address as the settings give it.
QUrl homeUrl(const QString &home)
{
    const QString local = platform::fromStoredPath(home);
    if (local.startsWith(QLatin1Char('/')))
        return QUrl::fromLocalFile(platform::resolvePath(local));
    return QUrl::fromUserInput(home);
}

} // namespace

DocumentPane::DocumentPane(QWidget *parent, const QString &stripName) : QWidget(parent)
{
    setObjectName(QStringLiteral("DocumentPane"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *strip = new ButtonStrip(this);
    strip->setObjectName(stripName);
    m_strip = strip;
    using namespace StateIcons;
    m_previousPage = flatButton(strip, "sbtnPreviousPage", QStringLiteral("Previous Page"), 8,
                                GlyphPreviousPage);
    m_nextPage = flatButton(strip, "sbtnNextPage", QStringLiteral("Next Page"), 33, GlyphNextPage);
    m_stop = flatButton(strip, "sbtnStop", QStringLiteral("Stop"), 60, GlyphStop);
    m_refresh = flatButton(strip, "sbtnRefresh", QStringLiteral("Refresh"), 85, GlyphRefresh);
    m_homeButton = flatButton(strip, "sbtnHome", QStringLiteral("Home"), 110, GlyphHome);
    m_previousPage->setEnabled(false);
    m_nextPage->setEnabled(false);
    connect(m_previousPage, &QToolButton::clicked, this, &DocumentPane::sbtnPreviousPageClick);
    connect(m_nextPage, &QToolButton::clicked, this, &DocumentPane::sbtnNextPageClick);
    connect(m_stop, &QToolButton::clicked, this, &DocumentPane::sbtnStopClick);
    connect(m_refresh, &QToolButton::clicked, this, &DocumentPane::sbtnRefreshClick);
    connect(m_homeButton, &QToolButton::clicked, this, &DocumentPane::sbtnHomeClick);

    m_progressBar = new QProgressBar(strip);
    m_progressBar->setObjectName(QStringLiteral("ProgressBar1"));
    m_progressBar->setToolTip(QStringLiteral("Retrieving Web Page"));
    m_progressBar->setTextVisible(false);
    m_progressBar->hide();
    strip->bar = m_progressBar;
    layout->addWidget(strip);

    auto *holder = new QVBoxLayout;
    holder->setContentsMargins(8, 3, 8, 8);
    m_stack = new QStackedLayout;
    m_stack->setStackingMode(QStackedLayout::StackOne);
    m_richEdit = new QTextBrowser(this);
    m_richEdit->setObjectName(QStringLiteral("RichEdit1"));
    m_richEdit->setReadOnly(true);
    // Links in a ReadMe are shown, not followed: the view must keep the document it was given.
    m_richEdit->setOpenLinks(false);
    m_richEdit->setOpenExternalLinks(false);
    m_richEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_richEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_richEdit->setPlainText(QStringLiteral("RichEdit1"));
    applyTextMargins();
    m_stack->addWidget(m_richEdit);
    holder->addLayout(m_stack);
    layout->addLayout(holder, 1);
}

DocumentPane::~DocumentPane() = default;

void DocumentPane::UseHomeFName(QString *home)
{
    m_home = home ? home : &m_ownHome;
}

void DocumentPane::DisplayFName(const QString &baseFolder, const QString &txtName,
                                const QString &htmlName, const QString &httpAddress)
{
    setButtonsVisible(false);
    if (m_browser)
        m_browser->resize(m_richEdit->size());
    if (!txtName.isEmpty())
        DisplayTxtFName(baseFolder + txtName);
    if (!htmlName.isEmpty()) {
        DisplayHtmlFName(baseFolder + htmlName);
        *m_home = baseFolder + htmlName;
        setButtonsVisible(true);
    }
    if (!httpAddress.isEmpty()) {
        DisplayHttpFName(httpAddress);
        *m_home = httpAddress;
        setButtonsVisible(true);
    }
}

void DocumentPane::DisplayTxtFName(const QString &path)
{
    if (platform::fileExists(path)) {
        const QByteArray data = readTextFile(platform::resolvePath(path));
        if (platform::isRtf(data))
            platform::readRtf(data, m_richEdit->document());
        else
            m_richEdit->setPlainText(platform::decodeText(data));
    } else {
        m_richEdit->setPlainText(QStringLiteral("Could not find file ...\n  ") +
                                 platform::fromStoredPath(path));
    }
    applyTextMargins();
    m_richEdit->moveCursor(QTextCursor::Start);
    bringToFront(m_richEdit);
}

void DocumentPane::DisplayHtmlFName(const QString &path)
{
    if (!platform::fileExists(path))
        return;
    navigate(QUrl::fromLocalFile(platform::resolvePath(path)));
    bringToFront(m_browser);
}

void DocumentPane::DisplayHttpFName(const QString &address)
{
    if (!ProgramSettings.AllowDisplayHttpLinks)
        return;
    navigate(QUrl::fromUserInput(address));
    bringToFront(m_browser);
}

void DocumentPane::FocusDocument(bool browser)
{
    if (browser && m_browser)
        m_browser->setFocus();
    else
        m_richEdit->setFocus();
}

void DocumentPane::sbtnPreviousPageClick()
{
    if (m_browser)
        m_browser->back();
}

void DocumentPane::sbtnNextPageClick()
{
    if (m_browser)
        m_browser->forward();
}

void DocumentPane::sbtnStopClick()
{
    if (m_browser)
        m_browser->stop();
}

void DocumentPane::sbtnRefreshClick()
{
    if (m_browser)
        m_browser->reload();
}

void DocumentPane::sbtnHomeClick()
{
    // The home page is opened whatever AllowDisplayHttpLinks says: the user asked for it.
    if (m_home->isEmpty())
        return;
    navigate(homeUrl(*m_home));
}

void DocumentPane::WebBrowser1DownloadBegin()
{
    m_progressBar->show();
    Q_EMIT downloadBegin();
}

void DocumentPane::WebBrowser1DownloadComplete()
{
    m_progressBar->hide();
    Q_EMIT downloadComplete();
}

void DocumentPane::WebBrowser1ProgressChange(int progress, int progressMax)
{
    m_progressBar->setMaximum(progressMax);
    m_progressBar->setValue(progress);
}

void DocumentPane::WebBrowser1CommandStateChange(int command, bool enable)
{
    if (command == CommandNavigateForward)
        m_nextPage->setEnabled(enable);
    else if (command == CommandNavigateBack)
        m_previousPage->setEnabled(enable);
}

QWebEngineView *DocumentPane::ensureBrowser()
{
    if (m_browser)
        return m_browser;
    m_browser = new QWebEngineView(this);
    m_browser->setObjectName(QStringLiteral("WebBrowser1"));
    // Adding a page to the stack must not change which view is in front.
    QWidget *front = m_stack->currentWidget();
    m_stack->addWidget(m_browser);
    m_stack->setCurrentWidget(front);
    m_browser->resize(m_richEdit->size());

    connect(m_browser, &QWebEngineView::loadStarted, this, [this] {
        WebBrowser1DownloadBegin();
        updateHistoryState();
    });
    connect(m_browser, &QWebEngineView::loadProgress, this,
            [this](int percent) { WebBrowser1ProgressChange(percent, 100); });
    connect(m_browser, &QWebEngineView::loadFinished, this, [this] {
        WebBrowser1DownloadComplete();
        updateHistoryState();
    });
    connect(m_browser, &QWebEngineView::urlChanged, this, &DocumentPane::updateHistoryState);
    QWebEnginePage *page = m_browser->page();
    for (auto action : {QWebEnginePage::Back, QWebEnginePage::Forward})
        connect(page->action(action), &QAction::changed, this, &DocumentPane::updateHistoryState);
    return m_browser;
}

void DocumentPane::navigate(const QUrl &url)
{
    ensureBrowser()->setUrl(url);
}

void DocumentPane::bringToFront(QWidget *view)
{
    if (view)
        m_stack->setCurrentWidget(view);
}

void DocumentPane::setButtonsVisible(bool visible)
{
    for (QToolButton *button : {m_previousPage, m_nextPage, m_stop, m_refresh, m_homeButton})
        button->setVisible(visible);
}

void DocumentPane::updateHistoryState()
{
    if (!m_browser)
        return;
    QWebEngineHistory *history = m_browser->history();
    WebBrowser1CommandStateChange(CommandNavigateForward, history->canGoForward());
    WebBrowser1CommandStateChange(CommandNavigateBack, history->canGoBack());
}

void DocumentPane::applyTextMargins()
{
    // The text keeps 5 pixels clear of the view's left and right edges; loading a document
    // may replace the root frame's format, so this runs after every load.
    QTextFrame *root = m_richEdit->document()->rootFrame();
    QTextFrameFormat format = root->frameFormat();
    format.setLeftMargin(TextSideMargin);
    format.setRightMargin(TextSideMargin);
    root->setFrameFormat(format);
}
