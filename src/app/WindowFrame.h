#pragma once

#include <Qt>

class QCoreApplication;
class QWindow;

namespace platform {

/// The title-bar buttons and frame a window offers, as a window manager reads them on X11 (the
/// Motif hints): which functions the user may call on the window and which decorations it
/// shows. Both are given explicitly, so that window managers that go by either one offer
/// nothing the window's flags leave out (no close box on a dialog without one, no maximise
/// button on a fixed border).
struct FrameHints
{
    bool applies = false; // false: the toolkit's own frame is left as it is
    unsigned functions = 0;
    unsigned decorations = 0;
};

/// The hints for a window with @p flags; @p resizable is false for a window of fixed size.
FrameHints FrameHintsFor(Qt::WindowFlags flags, bool resizable);

/// Gives every top-level window of the application its frame hints each time it is shown,
/// before the window manager sees it. Does nothing where the window system is not X11.
void InstallFrameHints(QCoreApplication *application);

} // namespace platform
