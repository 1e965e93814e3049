#include "app/WindowFrame.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWindow>

#ifdef VARIMOND_HAVE_XCB
#include <QtGui/qguiapplication_platform.h>
#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
#define VARIMOND_WRITE_MOTIF_HINTS 1
#endif
#endif

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// The Motif window-manager hints.
constexpr unsigned HintsFunctions = 1u << 0;
constexpr unsigned HintsDecorations = 1u << 1;
constexpr unsigned FuncResize = 1u << 1;
constexpr unsigned FuncMove = 1u << 2;
constexpr unsigned FuncMinimize = 1u << 3;
constexpr unsigned FuncMaximize = 1u << 4;
constexpr unsigned FuncClose = 1u << 5;
constexpr unsigned DecorBorder = 1u << 1;
constexpr unsigned DecorResizeHandle = 1u << 2;
constexpr unsigned DecorTitle = 1u << 3;
constexpr unsigned DecorMenu = 1u << 4;
constexpr unsigned DecorMinimize = 1u << 5;
constexpr unsigned DecorMaximize = 1u << 6;

#ifdef VARIMOND_WRITE_MOTIF_HINTS
void WriteMotifHints(QWindow *window, const FrameHints &hints)
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    static const char name[] = "_MOTIF_WM_HINTS";
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, std::strlen(name), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (!reply)
        return;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    const uint32_t data[5] = {HintsFunctions | HintsDecorations, hints.functions, hints.decorations,
                              0, 0};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE,
                        static_cast<xcb_window_t>(window->winId()), atom, atom, 32, 5, data);
    xcb_flush(connection);
}
#else
void WriteMotifHints(QWindow *, const FrameHints &) {}
#endif

class FrameHintsFilter final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // A window's show event comes before the window manager is asked to map it.
        if (event->type() == QEvent::Show && watched->isWindowType()) {
            auto *window = static_cast<QWindow *>(watched);
            if (window->isTopLevel() && window->handle()) {
                const bool resizable = window->minimumSize() != window->maximumSize();
                const FrameHints hints = FrameHintsFor(window->flags(), resizable);
                if (hints.applies)
                    WriteMotifHints(window, hints);
            }
        }
        return false;
    }
};

} // namespace

FrameHints FrameHintsFor(Qt::WindowFlags flags, bool resizable)
{
    FrameHints hints;
    const Qt::WindowType type = static_cast<Qt::WindowType>(int(flags & Qt::WindowType_Mask));
    if ((type != Qt::Window && type != Qt::Dialog && type != Qt::Tool && type != Qt::Sheet) ||
        flags.testAnyFlags(Qt::FramelessWindowHint | Qt::BypassWindowManagerHint))
        return hints; // no frame of the window manager's, or none to describe
    if (!(flags & Qt::CustomizeWindowHint)) {
        // The toolkit's defaults: a main window has every button, a dialog a close box.
        flags |= Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (type == Qt::Window)
            flags |= Qt::WindowMinMaxButtonsHint;
    }
    hints.applies = true;
    hints.functions = FuncMove;
    hints.decorations = DecorBorder;
    if (flags & Qt::WindowTitleHint)
        hints.decorations |= DecorTitle;
    if (resizable) {
        hints.functions |= FuncResize;
        hints.decorations |= DecorResizeHandle;
    }
    if (flags & Qt::WindowSystemMenuHint)
        hints.decorations |= DecorMenu;
    if (flags & Qt::WindowMinimizeButtonHint) {
        hints.functions |= FuncMinimize;
        hints.decorations |= DecorMinimize;
    }
    if ((flags & Qt::WindowMaximizeButtonHint) && resizable) {
        hints.functions |= FuncMaximize;
        hints.decorations |= DecorMaximize;
    }
    if (flags & Qt::WindowCloseButtonHint)
        hints.functions |= FuncClose;
    return hints;
}

void InstallFrameHints(QCoreApplication *application)
{
    if (application)
        application->installEventFilter(new FrameHintsFilter(application));
}

} // namespace platform
