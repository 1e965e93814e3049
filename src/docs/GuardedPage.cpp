#include "docs/GuardedPage.h"

#include <QWebEngineUrlScheme>

#include <QApplication>
#include <QKeyEvent>
#include <QWebEngineView>
#include <QWidget>

namespace {

bool isWeb(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

} // namespace

GuardedPage::GuardedPage(QObject *parent) : QWebEnginePage(parent)
{
    start();
}

GuardedPage::GuardedPage(QWebEngineProfile *profile, QObject *parent)
    : QWebEnginePage(profile, parent)
{
    start();
}

void GuardedPage::start()
{
    connect(this, &QWebEnginePage::loadFinished, this, [this] { m_webLoad = false; });
}

void GuardedPage::watchPlayer(QWebEngineView *view)
{
    // The view draws the page in a child widget made later, so its input is watched where all
    // input passes; only events of the view and its children count.
    if (!m_view)
        qApp->installEventFilter(this);
    m_view = view;
}

void GuardedPage::expectNavigation(const QUrl &url)
{
    if (url.isValid())
        m_expected.append(url);
}

bool GuardedPage::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::MouseButtonRelease ||
        (type == QEvent::KeyPress && (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Return ||
                                      static_cast<QKeyEvent *>(event)->key() == Qt::Key_Enter ||
                                      static_cast<QKeyEvent *>(event)->key() == Qt::Key_Space))) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (m_view && widget && (widget == m_view || m_view->isAncestorOf(widget)))
            m_playerInput.start();
    }
    return QWebEnginePage::eventFilter(watched, event);
}

void GuardedPage::registerOpaqueScheme(const char *scheme)
{
    QWebEngineUrlScheme entry(scheme);
    entry.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    entry.setFlags(QWebEngineUrlScheme::NoAccessAllowed);
    QWebEngineUrlScheme::registerScheme(entry);
}

bool GuardedPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (accepted(url, type, isMainFrame))
        return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
    emit navigationRefused(url);
    return false;
}

bool GuardedPage::accepted(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (!isMainFrame)
        return !url.isLocalFile() &&
               url.scheme().compare(QLatin1String("qrc"), Qt::CaseInsensitive) != 0;
    bool ok = false;
    if (type == NavigationTypeTyped) {
        ok = true; // only the program loads an address into the view
    } else if (m_expected.removeOne(url)) {
        ok = true;
    } else if (type == NavigationTypeReload) {
        ok = url == this->url(); // the page stays what it is
    } else if (type == NavigationTypeRedirect) {
        ok = m_webLoad && isWeb(url);
    } else if (type == NavigationTypeLinkClicked || type == NavigationTypeFormSubmitted) {
        // The player's click: one click, one navigation.
        ok = m_playerInput.isValid() && m_playerInput.elapsed() < PlayerInputMs;
        if (ok)
            m_playerInput.invalidate();
    }
    if (ok && type != NavigationTypeRedirect)
        m_webLoad = isWeb(url);
    return ok;
}
