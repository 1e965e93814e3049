#pragma once

#include <QString>
#include <QStringList>

namespace platform {

/// The executable's folder as it was started, ending in '/': a symbolic link to the binary
/// placed in an option pack makes the pack's folder the program folder (the link is not
/// resolved). @p argv0Path is the path the program was started with.
QString programDirFrom(const QString &executablePath);

/// The executable's file name without a trailing ".exe" (any case).
QString programNameFrom(const QString &executablePath);

/// The path this process was started with: /proc/self's view of argv[0] made absolute, not
/// following a symbolic link to the binary.
QString startedExecutablePath(const QString &argv0);

/// The per-user roaming configuration folder without a trailing separator:
/// $XDG_CONFIG_HOME, or $HOME/.config when it is unset or empty.
QString userAppDataFolder();

/// Varimond's own per-user folder, without a trailing separator: userAppDataFolder() + "/varimond".
/// Everything the program keeps for the user rather than for a pack (the themes copy, the recent
/// packs, answers the user gave about a pack or a Wine prefix) lives below it.
QString varimondConfigFolder();

/// Varimond's per-user state folder, without a trailing separator: $XDG_STATE_HOME/varimond,
/// with $HOME/.local/state when $XDG_STATE_HOME is unset, empty or not an absolute path. What the program remembers
/// between runs on its own (which folders of a pack were open) lives below it, never in a pack.
QString varimondStateFolder();

/// Looks a path that came from a file up as Windows would find it: the exact path when it
/// exists, otherwise a case-insensitive match of each missing component in its folder; names
/// on disk that are not UTF-8 are found as platform::nativePath() finds them, and the result
/// reaches them (platform::accessPath()). A component that matches nothing is kept as written,
/// with everything after it. Backslashes are taken as separators.
QString resolvePath(const QString &path);

/// True when @p path (resolved as above) names an existing regular file, not a folder.
bool fileExists(const QString &path);

/// Maps a stored Windows-style path ("\" separators) onto '/'.
QString fromStoredPath(const QString &stored);

/// Sub-folders of @p folder in the program's stable listing order (by name, ignoring case),
/// without those whose name begins with '.'.
QStringList listFolders(const QString &folder);

} // namespace platform
