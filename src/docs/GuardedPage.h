#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QUrl>
#include <QWebEnginePage>

class QWebEngineView;

/// A browser page that goes only where the program or the player sends it. The program's own
/// loads (QWebEngineView::setUrl/load), and the back, forward and reload it announces with
/// expectNavigation(), are followed; a link or form is followed in the page only right after
/// the player clicked or pressed a key in the view; a web page the program or the player asked
/// for may be redirected by its server to another web address while it loads. Anything else a
/// page does to move the view, a script's doing, is refused: the view stays on its page. A
/// frame never shows a local file (file:), whoever asks.
class GuardedPage : public QWebEnginePage
{
    Q_OBJECT

public:
    explicit GuardedPage(QObject *parent = nullptr);
    GuardedPage(QWebEngineProfile *profile, QObject *parent);

    /// Watches the player's mouse clicks and keys in @p view, which shows this page.
    void watchPlayer(QWebEngineView *view);
    /// The program itself moves the view to @p url next (back, forward, reload).
    void expectNavigation(const QUrl &url);

    /// How long after the player's click or key a link counts as followed by the player: the
    /// one navigation that follows, however busy the machine keeps the browser's process.
    static constexpr int PlayerInputMs = 5000;

    /// Registers @p scheme for pages the program serves itself: an opaque origin with no
    /// rights, so such a page reaches nothing of the program, of other pages or of local
    /// files. Must run before the browser engine starts (a Q_CONSTRUCTOR_FUNCTION does).
    static void registerOpaqueScheme(const char *scheme);

Q_SIGNALS:
    /// A navigation was refused; the view stays where it was.
    void navigationRefused(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool accepted(const QUrl &url, NavigationType type, bool isMainFrame);
    void start();

    QPointer<QWebEngineView> m_view;
    QElapsedTimer m_playerInput;
    QList<QUrl> m_expected;
    bool m_webLoad = false; // a web page the program or the player asked for is loading
};
