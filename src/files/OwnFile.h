#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace platform {

// The program's own files: state, journals, caches, run-log records, the recent list, the
// player's answers. Each is opened without following a link and without blocking (a FIFO
// standing at the name cannot hang the program), is used only when it is a regular file with
// a single link (a hard link to a file elsewhere is never read or written through), is read
// under a size cap, and is replaced by a new temporary made beside it with O_EXCL and renamed
// into place, never written in place.
//
// @code
// if (const auto text = platform::readOwnFile(path, 64 * 1024))
//     use(*text);
// platform::writeOwnFile(path, newText);
// @endcode

/// Opens @p path for reading as one of the program's own files. Returns the descriptor, or -1
/// with errno set: ENOENT when missing, ELOOP for a link, EINVAL for anything but a regular
/// file with one link.
int openOwnFile(const QString &path);

/// The whole of the file at @p path; nothing when it is missing, is not a regular file with one
/// link, cannot be read or holds more than @p cap bytes.
std::optional<QByteArray> readOwnFile(const QString &path, qint64 cap);

/// The last @p maxBytes bytes of the file at @p path (all of it when smaller); empty as above.
QByteArray readOwnFileTail(const QString &path, qint64 maxBytes);

/// Replaces the file at @p path with @p data: written whole to a new temporary beside it
/// (O_EXCL, mode 0600 less the umask, @p executable adds the owner's x bit) and renamed over
/// whatever stands at the name, which is never followed or written into. With @p sync the data
/// and the folder are synced. Returns false, leaving the name as it was, when a step fails.
bool writeOwnFile(const QString &path, QByteArrayView data, bool sync = false,
                  bool executable = false);

/// Makes the folder @p path (and its parents) for the program's own files, private to the user
/// (mode 0700). Returns false when it cannot be made or is not a real folder.
bool makeOwnFolder(const QString &path);

} // namespace platform
