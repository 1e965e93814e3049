#pragma once

#include <QString>

#include <atomic>

namespace packupdate {

/// What an archive may hold: beyond these it is taken for an archive bomb and refused.
struct UnpackLimits
{
    qint64 maxEntries = 100000;
    qint64 maxBytes = qint64(4) * 1024 * 1024 * 1024; // unpacked, all files together
    qint64 maxRatio = 100;                            // unpacked bytes per byte of the archive
    /// When set and true, the unpack stops (as a refusal) at the next entry or block.
    const std::atomic<bool> *cancel = nullptr;
};

struct UnpackResult
{
    QString root; // the pack's folder inside the staging folder, ending in '/'
    qint64 entries = 0;
    qint64 bytes = 0;
};

/// Unpacks the .zip, .tar.gz, .tar.xz or .7z archive at @p archive into the new folder
/// @p staging (which must not exist). Refused, with the staging folder removed again and an
/// AppError saying why: absolute names, names with "..", symbolic links that lead out of the
/// staging folder or nowhere, hard links, devices, FIFOs and sockets, a name given twice, any
/// write through a link, and more entries, more bytes or a higher ratio than @p limits allow.
/// Every link must lead inside the pack's own folder (the result's root), where it will lead
/// once the pack is moved into its place. Files get the modes 0755 (when any execute bit is set) or 0644, folders 0755. When the
/// archive holds one top-level folder and nothing else, that folder is the pack.
UnpackResult UnpackArchive(const QString &archive, const QString &staging,
                           const UnpackLimits &limits = UnpackLimits());

/// The new version at @p root (ending in '/') as it will be in the pack: its top-level names
/// that an update never installs (IsKeptName(), with the program's name @p programName) are
/// removed, so that nothing leads through them, and then every symbolic link in it must lead to
/// something inside @p root. Throws AppError otherwise.
void CheckFinalPlace(const QString &root, const QString &programName);

} // namespace packupdate
