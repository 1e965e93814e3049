#pragma once

#include <QString>
#include <QWidget>

class QProgressBar;
class QTextBrowser;
class QToolButton;
class QWebEngineView;
class QStackedLayout;

/// The document area shared by the main window and the About window: a strip of five browser
/// buttons and a progress bar above a read-only rich-text view (RichEdit1) and an embedded web
/// browser (WebBrowser1) that share one area; the one brought to the front last is visible.
/// The browser is created the first time a page must be shown.
class DocumentPane final : public QWidget
{
    Q_OBJECT

public:
    explicit DocumentPane(QWidget *parent = nullptr);
    ~DocumentPane() override;

    /// Shows a document set: text name, HTML name (both relative to @p baseFolder, which ends
    /// in '/') and web address, in that order, so the last one that could be shown stays in
    /// front. Throws AppError ("Failed to Load Stream") when the text file cannot be read; the
    /// HTML and web steps are then skipped.
    void DisplayFName(const QString &baseFolder, const QString &txtName, const QString &htmlName,
                      const QString &httpAddress);
    void DisplayTxtFName(const QString &path);
    void DisplayHtmlFName(const QString &path);
    void DisplayHttpFName(const QString &address);

    QString HomeFName() const { return m_homeFName; }

    QTextBrowser *RichEdit() const { return m_richEdit; }
    /// Null until the first page was shown.
    QWebEngineView *WebBrowser() const { return m_browser; }
    /// Gives the focus to the text view, or to the browser when @p browser is set (and exists).
    void FocusDocument(bool browser);

Q_SIGNALS:
    void downloadBegin();
    void downloadComplete();

private:
    QWebEngineView *ensureBrowser();

    QTextBrowser *m_richEdit = nullptr;
    QWebEngineView *m_browser = nullptr;
    QStackedLayout *m_stack = nullptr;
    QString m_homeFName;
};
