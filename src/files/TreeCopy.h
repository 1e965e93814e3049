#pragma once

#include <QByteArray>

namespace platform {

/// Copies the folder @p from with everything in it to the new folder @p to (which must not
/// exist), as it is: folders and files keep their permission bits, symbolic links are copied
/// as links and never followed, other kinds of files (FIFOs, devices, sockets) are left out.
/// Meant for a move between two file systems, where a rename cannot go. Returns false, with
/// what it made at @p to removed again, when anything cannot be read or written.
bool copyTree(const QByteArray &from, const QByteArray &to);

} // namespace platform
