#include "docs/DocumentPane.h"

#include "docs/GuardedPage.h"
#include "docs/LocalPages.h"
#include "docs/PreviewStrip.h"
#include "docs/PreviewStripState.h"

#include "core/Common.h"
#include "options/StateIcons.h"
#include "files/Error.h"
#include "files/Paths.h"
#include "files/TextCodec.h"
#include "rtf/RtfReader.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QProgressBar>
#include <QStackedLayout>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextFrameFormat>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineDownloadRequest>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

#include <memory>
#include <vector>

namespace {

constexpr int StripHeight = 25;
constexpr int ButtonTop = 2;
constexpr int ProgressLeft = 141;
constexpr int ProgressRightGap = 9;
constexpr int ProgressHeight = 18;
constexpr int TextSideMargin = 5;
/// Margins of the document area, and the gap between the preview strip and the document.
constexpr int AreaSide = 8;
constexpr int AreaTop = 3;
constexpr int AreaBottom = 8;
constexpr int StripGap = 2;

/// Runs without a place to break a line that are longer than this get such places; see
/// breakLongRuns.
constexpr int LongRun = 1000;
constexpr int BreakEvery = 16;
constexpr char16_t ZeroWidthSpace = 0x200B;
/// Set on a document into which breakLongRuns put zero-width spaces.
constexpr const char *BreaksProperty = "varimondLineBreaks";

/// The text view: copies leave out the zero-width spaces the pane put into long runs.
class DocumentView final : public QTextBrowser
{
public:
    using QTextBrowser::QTextBrowser;

protected:
    QMimeData *createMimeDataFromSelection() const override
    {
        QMimeData *data = QTextBrowser::createMimeDataFromSelection();
        if (data && document()->property(BreaksProperty).toBool())
            data->setText(data->text().remove(QChar(ZeroWidthSpace)));
        return data;
    }
};

/// Qt lays out a line by looking for the last place to break it that still fits, and measures
/// a run without such places again for every line it fills: a run of hundreds of thousands of
/// characters (a damaged file, a hex dump) took minutes. A zero-width space every few
/// characters of such runs gives the layout places to break, and the text looks the same.
void breakLongRuns(QTextDocument *document)
{
    QTextCursor cursor(document);
    bool inserted = false;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (block.length() <= LongRun)
            continue;
        const QString text = block.text();
        std::vector<int> breaks;
        QTextBoundaryFinder finder(QTextBoundaryFinder::Line, text);
        int last = 0;
        for (qsizetype at = finder.toNextBoundary(); at != -1; at = finder.toNextBoundary()) {
            const int end = static_cast<int>(at);
            if (end - last > LongRun) {
                for (int p = last + BreakEvery; p < end; p += BreakEvery) {
                    // Never inside a surrogate pair or before a combining mark.
                    while (p < end && (text[p].isLowSurrogate() || text[p].isMark()))
                        ++p;
                    if (p < end && (breaks.empty() || breaks.back() < p))
                        breaks.push_back(p);
                }
            }
            last = end;
        }
        if (breaks.empty())
            continue;
        if (!inserted)
            cursor.beginEditBlock();
        inserted = true;
        for (auto it = breaks.rbegin(); it != breaks.rend(); ++it) {
            cursor.setPosition(block.position() + *it);
            cursor.insertText(QString(QChar(ZeroWidthSpace)));
        }
    }
    if (inserted) {
        cursor.endEditBlock();
        document->setProperty(BreaksProperty, true);
    }
}

/// Keeps a page shown from a local file to the files of its own folder: see
/// DocumentPane::allowsLocalRequest.
class LocalFileGuard final : public QWebEngineUrlRequestInterceptor
{
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        // Pages are never shown from file: addresses, so nothing asks for one rightly; a local
        // page's own files are asked for under its page address, and judged as files.
        const QUrl request = info.requestUrl();
        if (request.isLocalFile() ||
            (!localpages::pagePath(request).isEmpty() &&
             !DocumentPane::allowsLocalRequest(localpages::asFileUrl(info.firstPartyUrl()),
                                               localpages::asFileUrl(request),
                                               info.resourceType())))
            info.block(true);
    }
};

/// Web addresses the pane opens: http and https only.
bool isWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

/// The strip above the document: fixed button positions, and a progress bar that stretches
/// from its fixed left edge to a fixed gap before the right edge, or before the preview
/// strip's button at the right edge while that is shown.
class ButtonStrip final : public QWidget
{
public:
    explicit ButtonStrip(QWidget *parent) : QWidget(parent) { setFixedHeight(StripHeight); }

    QProgressBar *bar = nullptr;
    QToolButton *right = nullptr;

    void place()
    {
        int end = width() - ProgressRightGap;
        if (right && !right->isHidden()) {
            const int w = right->sizeHint().width();
            right->setGeometry(end - w, ButtonTop, w, 22);
            end -= w + ProgressRightGap;
        }
        if (bar)
            bar->setGeometry(ProgressLeft, (StripHeight - ProgressHeight) / 2,
                             qMax(0, end - ProgressLeft), ProgressHeight);
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        place();
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

/// A local page's address; its folder's files may then be served to it.
QUrl localPage(const QString &file)
{
    localpages::allowFolder(QFileInfo(file).absolutePath());
    return localpages::pageUrl(file);
}

/// The address the Home button opens: a local path (the base folder is absolute) or a web
/// address as the settings give it; empty for an address that is neither http nor https.
QUrl homeUrl(const QString &home)
{
    const QString local = platform::fromStoredPath(home);
    if (local.startsWith(QLatin1Char('/')))
        return localPage(platform::resolvePath(local));
    const QUrl url = QUrl::fromUserInput(home);
    return isWebAddress(url) ? url : QUrl();
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

    // One click hides or shows the preview strip; the choice is the player's and outlives
    // the run.
    m_stripButton = new QToolButton(strip);
    m_stripButton->setObjectName(QStringLiteral("sbtnPreviewStrip"));
    m_stripButton->setAutoRaise(true);
    m_stripButton->setFocusPolicy(Qt::NoFocus);
    m_stripButton->setCheckable(true);
    m_stripButton->setText(QStringLiteral("Pictures"));
    m_stripButton->hide();
    strip->right = m_stripButton;
    layout->addWidget(strip);

    m_area = new QWidget(this);
    m_area->setObjectName(QStringLiteral("DocumentArea"));
    auto *holder = new QVBoxLayout(m_area);
    holder->setContentsMargins(AreaSide, AreaTop, AreaSide, AreaBottom);
    holder->setSpacing(StripGap);
    m_previews = new PreviewStrip(m_area);
    m_previews->setHiddenByPlayer(previews::stripHiddenByPlayer());
    m_stripButton->setChecked(!m_previews->hiddenByPlayer());
    connect(m_stripButton, &QToolButton::toggled, this, &DocumentPane::togglePreviewStrip);
    m_area->installEventFilter(this);
    holder->addWidget(m_previews);
    m_stack = new QStackedLayout;
    m_stack->setStackingMode(QStackedLayout::StackOne);
    m_richEdit = new DocumentView(m_area);
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
    holder->addLayout(m_stack, 1);
    layout->addWidget(m_area, 1);
    updatePreviewStrip();
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
    m_previews->clear();
    updatePreviewStrip();
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
    // Every document starts from a fresh one in the pane's own font, colour and tab stops, so
    // nothing of the document shown before carries over.
    auto document = std::make_unique<QTextDocument>();
    document->setUndoRedoEnabled(false);
    document->setDefaultFont(m_richEdit->font());
    if (platform::fileExists(path)) {
        const QByteArray data = readTextFile(platform::resolvePath(path));
        if (platform::isRtf(data))
            platform::readRtf(data, document.get());
        else
            document->setPlainText(platform::decodeText(data));
    } else {
        document->setPlainText(QStringLiteral("Could not find file ...\n  ") +
                               platform::fromStoredPath(path));
    }
    breakLongRuns(document.get());
    showDocument(std::move(document));
    applyTextMargins();
    m_richEdit->moveCursor(QTextCursor::Start);
    bringToFront(m_richEdit);
}

void DocumentPane::DisplayHtmlFName(const QString &path)
{
    if (!platform::fileExists(path))
        return;
    navigate(localPage(platform::resolvePath(path)));
    bringToFront(m_browser);
}

void DocumentPane::DisplayHttpFName(const QString &address)
{
    // Only web pages: a descriptor's "file:", "javascript:" or other address is not opened.
    const QUrl url = QUrl::fromUserInput(address);
    if (!ProgramSettings.AllowDisplayHttpLinks || !isWebAddress(url))
        return;
    navigate(url);
    bringToFront(m_browser);
}

void DocumentPane::ShowPreviews(const QString &folder)
{
    if (ProgramSettings.ShowPreviews)
        m_previews->showFolder(platform::resolvePath(folder));
    else
        m_previews->clear();
    updatePreviewStrip();
}

void DocumentPane::updatePreviewStrip()
{
    m_stripButton->setVisible(!m_previews->pictures().isEmpty());
    m_stripButton->setToolTip(m_stripButton->isChecked()
                                  ? QStringLiteral("Hide the preview pictures")
                                  : QStringLiteral("Show the preview pictures"));
    static_cast<ButtonStrip *>(m_strip)->place();
    // A quarter of the area, the gap under the strip included, is the most the strip takes.
    const int document = m_area->height() - AreaTop - AreaBottom;
    m_previews->setRoom(QSize(m_area->width() - 2 * AreaSide, document / 4 - StripGap));
}

void DocumentPane::togglePreviewStrip(bool shown)
{
    m_previews->setHiddenByPlayer(!shown);
    updatePreviewStrip();
    // Not saved is not an error worth a message: the strip still follows the click.
    previews::rememberStripHidden(!shown);
}

bool DocumentPane::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_area && event->type() == QEvent::Resize)
        updatePreviewStrip();
    return QWidget::eventFilter(watched, event);
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
    if (!m_browser || !m_browser->history()->canGoBack())
        return;
    static_cast<GuardedPage *>(m_browser->page())
        ->expectNavigation(m_browser->history()->backItem().url());
    m_browser->back();
}

void DocumentPane::sbtnNextPageClick()
{
    if (!m_browser || !m_browser->history()->canGoForward())
        return;
    static_cast<GuardedPage *>(m_browser->page())
        ->expectNavigation(m_browser->history()->forwardItem().url());
    m_browser->forward();
}

void DocumentPane::sbtnStopClick()
{
    if (m_browser)
        m_browser->stop();
}

void DocumentPane::sbtnRefreshClick()
{
    if (!m_browser)
        return;
    static_cast<GuardedPage *>(m_browser->page())->expectNavigation(m_browser->url());
    m_browser->reload();
}

void DocumentPane::sbtnHomeClick()
{
    // The home page is opened whatever AllowDisplayHttpLinks says: the user asked for it.
    if (m_home->isEmpty())
        return;
    const QUrl url = homeUrl(*m_home);
    if (!url.isEmpty())
        navigate(url);
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
    // The view goes only where the program or the player sends it: a page's script cannot
    // move it, nor open a folder listing in it.
    auto *guarded = new GuardedPage(m_browser);
    m_browser->setPage(guarded);
    guarded->watchPlayer(m_browser);
    // A ReadMe page is shown without local rights: its scripts cannot read other local files
    // (and so cannot send them anywhere), it shows no local file in a frame, while the page's
    // own images and style sheets and images from the web still load. Downloads are never
    // accepted, so none starts.
    localpages::serveIn(guarded->profile());
    m_browser->page()->setUrlRequestInterceptor(new LocalFileGuard(m_browser));
    QWebEngineSettings *settings = m_browser->settings();
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, false);
    QWebEnginePage *ownPage = m_browser->page();
    connect(ownPage->profile(), &QWebEngineProfile::downloadRequested, m_browser,
            [ownPage](QWebEngineDownloadRequest *download) {
                if (download->page() == ownPage)
                    download->cancel();
            });
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

void DocumentPane::showDocument(std::unique_ptr<QTextDocument> document)
{
    // The view's first document belongs to the view, which deletes it when it is replaced;
    // later ones belong to the pane, which deletes each when the next one replaces it.
    QTextDocument *old = m_richEdit->document();
    const bool ours = old->parent() == m_richEdit;
    document->setParent(m_richEdit);
    m_richEdit->setDocument(document.release());
    if (ours)
        delete old;
}

bool DocumentPane::allowsLocalRequest(const QUrl &page, const QUrl &request, int resourceType)
{
    if (!request.isLocalFile())
        return true;
    using Info = QWebEngineUrlRequestInfo;
    // The page itself, navigated to by the pane or by a link the user follows.
    if (resourceType == Info::ResourceTypeMainFrame)
        return true;
    // What a page embeds, from its own folder or below; symbolic links count where they lead.
    // Scripts never read local files (fetch, XMLHttpRequest, workers), nor does anything else.
    // A frame never shows a local file: a file of the folder may be a hard link to any file.
    switch (resourceType) {
    case Info::ResourceTypeStylesheet:
    case Info::ResourceTypeScript:
    case Info::ResourceTypeImage:
    case Info::ResourceTypeFontResource:
    case Info::ResourceTypeMedia:
    case Info::ResourceTypeFavicon:
        break;
    default:
        return false;
    }
    if (!page.isLocalFile())
        return false;
    const QString folder =
        QFileInfo(QFileInfo(page.toLocalFile()).absolutePath()).canonicalFilePath();
    const QString file = QFileInfo(request.toLocalFile()).canonicalFilePath();
    return !folder.isEmpty() && !file.isEmpty() &&
           (file.startsWith(folder + QLatin1Char('/')) || folder == QLatin1String("/"));
}
