#pragma once

#include <QString>

namespace platform {

/// The name of a pack's state folder: its folder's name made safe (letters, digits, '.', '-',
/// '_'; at most 32 of them), '-', and 16 hex digits of a digest of the folder's real location,
/// device and inode, so that another folder put in its place later is another pack. Empty
/// when @p packDir does not exist.
QString packStateKey(const QString &packDir);

/// The folder where the program keeps its own state for the pack at @p packDir (its install
/// history, run log and update files), ending in '/': varimondStateFolder() + "/packs/<key>/",
/// made when missing, private to the user (0700). Never inside the pack: whatever the pack
/// brings under names like the program's own files is never read or written. Empty when it
/// cannot be made.
QString packStateFolder(const QString &packDir);

} // namespace platform
