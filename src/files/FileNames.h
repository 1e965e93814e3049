#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

namespace platform {

/// The program's one mapping between the bytes of a name on disk and its path strings.
///
/// Packs zipped on Windows and unpacked here often carry Windows-1252 bytes in their names
/// (`Cr\xe8me`), which are not UTF-8. Such a name is shown decoded as Windows-1252; a name that
/// is valid UTF-8 is shown as UTF-8. Going back, nativePath() finds the very bytes on disk for
/// a path string, component by component: the exact UTF-8 bytes first, then the Windows-1252
/// bytes, then a name of the folder that matches without regard to case once decoded.
///
/// Qt's file classes encode a path string as UTF-8 and so cannot name such a file at all;
/// accessPath() gives a path they (and started processes) reach the same file with.

/// A name read from a directory listing, as the program shows it.
QString decodeFileName(const char *bytes, std::size_t length);
inline QString decodeFileName(const QByteArray &bytes)
{
    return decodeFileName(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

/// The bytes on disk that @p path names. Backslashes count as separators. A component that
/// exists nowhere in any form is kept as UTF-8, and so is everything after it.
QByteArray nativePath(const QString &path);

/// A path string through which Qt's file classes and other processes reach what @p path names
/// on disk, found as nativePath() finds it. It is that path itself when every name on it is
/// UTF-8; otherwise the folders whose names are not UTF-8 are reached through a private alias
/// of this process (a symbolic link holding the exact bytes), which lives until the process
/// ends.
QString accessPath(const QString &path);

/// The path string the program shows for a path that accessPath() returned; any other path is
/// returned unchanged.
QString shownPath(const QString &path);

} // namespace platform
