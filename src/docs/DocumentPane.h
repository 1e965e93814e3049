#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class PreviewStrip;
class QProgressBar;
class QTextBrowser;
class QToolButton;
class QWebEngineView;
class QStackedLayout;
class QTextDocument;
class QUrl;

/// The document area shared by the main window and the About window: a strip of five browser
/// buttons and a progress bar above a read-only rich-text view (RichEdit1) and an embedded web
/// browser (WebBrowser1) that share one area; the one brought to the front last is visible.
/// The browser is created the first time a page must be shown, so a program that only ever
/// shows text documents never starts the web engine.
class DocumentPane final : public QWidget
{
    Q_OBJECT

public:
    /// @p stripName is the object name of the button strip: "PanelTopRight" in the main window,
    /// "PanelTop" in the About window.
    explicit DocumentPane(QWidget *parent = nullptr,
                          const QString &stripName = QStringLiteral("PanelTopRight"));
    ~DocumentPane() override;

    /// Text files larger than this are refused as unreadable rather than loaded into the view.
    static constexpr qint64 MaxTextFileSize = 64 * 1024 * 1024;

    /// Shows a document set: text name, HTML name (both relative to @p baseFolder, which ends
    /// in '/') and web address, in that order, so the last one that could be shown stays in
    /// front. The five buttons are hidden first and shown again, with the home page set, when
    /// an HTML name or a web address is given, whether or not it could be shown. Throws
    /// AppError ("Failed to Load Stream") when the text file cannot be read; the HTML and web
    /// steps are then skipped.
    void DisplayFName(const QString &baseFolder, const QString &txtName, const QString &htmlName,
                      const QString &httpAddress);
    /// Loads the file into RichEdit1 (Rich Text Format, else plain text), or two lines saying
    /// it could not be found; RichEdit1 comes to the front either way.
    void DisplayTxtFName(const QString &path);
    /// Navigates the browser to an existing local file and brings it to the front; a missing
    /// file changes nothing.
    void DisplayHtmlFName(const QString &path);
    /// Navigates the browser to @p address and brings it to the front, when web addresses are
    /// allowed (ProgramSettings.AllowDisplayHttpLinks) and it is an http or https address;
    /// otherwise nothing happens.
    void DisplayHttpFName(const QString &address);

    QString HomeFName() const { return *m_home; }
    /// Makes the pane keep its home page in @p home instead of its own field: the About window
    /// hands in its process-wide AboutHomeFName. @p home must outlive the pane.
    void UseHomeFName(QString *home);

    /// Shows the preview pictures of the option folder @p folder (a stored path) above the
    /// document, unless ProgramSettings.ShowPreviews is off; DisplayFName hides them again.
    /// The strip takes at most a quarter of the document's area, so the document keeps three
    /// quarters; the player hides and shows it with the button "sbtnPreviewStrip", which is
    /// there while an option with pictures is shown, and the choice is kept between runs.
    void ShowPreviews(const QString &folder);
    /// The strip of preview thumbnails ("PreviewStrip").
    PreviewStrip *Previews() const { return m_previews; }

    QTextBrowser *RichEdit() const { return m_richEdit; }
    /// Null until the first page was shown.
    QWebEngineView *WebBrowser() const { return m_browser; }
    QProgressBar *ProgressBar() const { return m_progressBar; }
    /// Gives the focus to the text view, or to the browser when @p browser is set (and exists).
    void FocusDocument(bool browser);

    // Browser buttons. Back, forward, stop and refresh act on the browser once it exists, also
    // while the text view lies in front of it; Home creates it when a home page is set.
    void sbtnPreviousPageClick();
    void sbtnNextPageClick();
    void sbtnStopClick();
    void sbtnRefreshClick();
    void sbtnHomeClick();

    // Browser notifications.
    void WebBrowser1DownloadBegin();
    void WebBrowser1DownloadComplete();
    void WebBrowser1ProgressChange(int progress, int progressMax);
    /// Command 1: going forward possible; command 2: going back possible; others are ignored.
    void WebBrowser1CommandStateChange(int command, bool enable);

    /// Whether the browser loads @p request, of the QWebEngineUrlRequestInfo resource type
    /// @p resourceType, for the page @p page. A page shown from a local file has no local
    /// rights beyond its own folder: it embeds images, style sheets, scripts, fonts and media
    /// from that folder and below, and nothing else local; no frame shows a local file, and
    /// its scripts read no local file at all. Web addresses are not restricted here.
    static bool allowsLocalRequest(const QUrl &page, const QUrl &request, int resourceType);

    /// Command numbers of WebBrowser1CommandStateChange.
    enum Command { CommandNavigateForward = 1, CommandNavigateBack = 2 };

Q_SIGNALS:
    void downloadBegin();
    void downloadComplete();

private:
    QWebEngineView *ensureBrowser();
    void navigate(const QUrl &url);
    void bringToFront(QWidget *view);
    void setButtonsVisible(bool visible);
    /// Shows the strip's button while the strip has pictures, and gives the strip its room.
    void updatePreviewStrip();
    void togglePreviewStrip(bool shown);
    bool eventFilter(QObject *watched, QEvent *event) override;
    void updateHistoryState();
    void applyTextMargins();
    void showDocument(std::unique_ptr<QTextDocument> document);

    QWidget *m_strip = nullptr;
    QToolButton *m_previousPage = nullptr;
    QToolButton *m_nextPage = nullptr;
    QToolButton *m_stop = nullptr;
    QToolButton *m_refresh = nullptr;
    QToolButton *m_homeButton = nullptr;
    QToolButton *m_stripButton = nullptr;
    QProgressBar *m_progressBar = nullptr;
    QTextBrowser *m_richEdit = nullptr;
    QWidget *m_area = nullptr; // the strip above the document views
    PreviewStrip *m_previews = nullptr;
    QWebEngineView *m_browser = nullptr;
    QStackedLayout *m_stack = nullptr;
    QString m_ownHome;
    QString *m_home = &m_ownHome;
};
