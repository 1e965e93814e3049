#pragma once

#include "launch/ShellCommand.h"

#include <QString>
#include <QStringList>

namespace platform {

/// What a confined script may reach: bubblewrap's view of the system, built from plain paths so
/// that it can be looked at without starting anything.
/// - the system (/usr, /etc, /opt and the library and program folders) read-only;
/// - writable: @c writable (the pack, the Wine prefix in force, the history folders the pack
///   may use, linked folders the player allowed), each bound at its own path, and a private /tmp;
/// - the home folder an empty read-only folder, with the writable folders inside it in place;
/// - no network unless @c network;
/// - what a window needs: the X11 sockets and the X authority file, the Wayland socket, the
///   GPU; the player's wineserver folder, so that Wine talks to the game's own wineserver.
/// The script gets a session of its own (it cannot type into the player's terminal), no
/// capabilities and no new privileges. It shares the process ids of the system, since a
/// wineserver outside names and signals its clients by them, and it outlives the program.
struct SandboxPlan
{
    QString home;          // the player's home folder, hidden
    QStringList writable;  // absolute folders
    QStringList readable;  // absolute folders or files seen read-only besides the system
    QString workDir;       // where the script starts
    bool network = false;
    QString x11Sockets;    // /tmp/.X11-unix when there is an X display
    QString xauthority;    // the X authority file, when there is one
    QString waylandSocket; // $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY, when there is one
    QString wineServerDir; // /tmp/.wine-<uid>

    /// The plan for this session's display and the player's home (HOME), without folders.
    static SandboxPlan forSession();

    /// bubblewrap's arguments up to and including the "--" before the command.
    QStringList arguments() const;
};

/// @p command run inside the sandbox @p plan by @p bwrap; the environment stays as it is, and
/// the command's terminal (when it has one) is left to the caller.
ShellCommand confined(const ShellCommand &command, const SandboxPlan &plan, const QString &bwrap);

/// The bubblewrap on the PATH, or empty.
QString bubblewrapProgram();

/// Whether a sandbox can start here: bubblewrap is there and a trial of it succeeds (user
/// namespaces may be switched off). Tried once per bubblewrap path and process.
bool sandboxAvailable();

} // namespace platform
