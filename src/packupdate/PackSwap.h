#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <functional>

namespace packupdate {

/// The folder that holds a pack's update: its staging folder, its journal and the previous
/// versions: "update/" in the pack's state folder (platform::packStateFolder()), never inside
/// the pack. Throws AppError when it cannot be made.
QString UpdateFolder(const QString &packDir);

/// Removes the folder at @p path with everything in it, never following a link: a link (or a
/// file) at @p path is removed itself, and links inside are removed, not what they name. A pack
/// may have planted a link where a staging folder is expected.
void RemoveTree(const QString &path);

/// Whether the top-level name @p name of a pack belongs to Varimond rather than to the pack
/// (its dot folders, the program's own link or binary @p programName, the downloaded version
/// files): such names stay where they are in an update.
bool IsKeptName(const QByteArray &name, const QByteArray &programName);

/// One swap of a pack's files for a new version's, as the journal records it. Names are single
/// file names of the pack's top level, as bytes.
struct SwapPlan
{
    QByteArray packDir;  // ends in '/'
    QByteArray staging;  // the new version's folder, relative to the swap's base folder
    QByteArray previous; // the folder the old files go to, relative to the swap's base folder
    /// Empty when the pack and the update folder share a file system: the base folder is the
    /// update folder. Otherwise the name of a folder of the pack's top level that the swap made
    /// itself, fresh (".varimond-swap-XXXXXX", 0700), and that is the base folder, so that every
    /// rename stays on the pack's file system.
    QByteArray swapFolder;
    QByteArrayList outgoing;
    QByteArrayList incoming;
};

/// Lists what a swap of the pack at @p packDir for the new version in @p newRoot (a folder
/// inside UpdateFolder(), ending in '/') moves: every top-level name of the new version comes
/// in, and goes out of the pack the same names and those of @p packNames (the old version's
/// own: its options and themes folders, its settings file, what the last update installed).
/// Other files beside the pack's stay where they are, and so do the kept names. The old files
/// go to "previous-<version>" (made unique with "-2", "-3"...).
/// When the pack lies on another file system than the update folder, the new version is copied
/// into a swap folder made fresh inside the pack (SwapPlan::swapFolder), whose name the update
/// folder records, so that a killed run's is removed at the next start.
SwapPlan MakeSwapPlan(const QString &packDir, const QString &newRoot, const QString &oldVersion,
                      const QString &programName, const QByteArrayList &packNames = {});

/// The top-level names the last update put into the pack at @p packDir (empty when none did).
QByteArrayList InstalledNames(const QString &packDir);

/// Called with the number of each step of a swap before it is taken (0 for the journal,
/// then one per rename, then the commit, then, with a swap folder, the removal of the swap
/// folder once the previous version is copied out), so that a test can end the process at
/// any of them.
using SwapStepHook = std::function<void(int step)>;

/// Swaps the files: writes the journal, moves every outgoing name into the previous folder and
/// every incoming name into the pack, then marks the journal committed and removes it with the
/// staging folder. A kill at any point leaves a journal from which RecoverSwap() puts back
/// either the old pack or the new one, whole. A rename that fails puts the old pack back at once
/// and throws AppError. With a swap folder in the pack, the previous version is then copied
/// into the update folder and the swap folder removed; when that copy fails, it stays in the
/// pack. Returns the folder where the previous version is kept.
QString SwapPack(const SwapPlan &plan, const SwapStepHook &hook = {});

/// Removes the swap folder that a plan made inside the pack at @p packDir and that no swap
/// began with (no journal): what a failed or killed run left before the swap.
void RemoveUnusedSwapFolder(const QString &packDir);

enum class Recovery { Nothing, Finished, RolledBack };

/// Finishes or rolls back a swap that a killed program left in the pack at @p packDir: a
/// committed swap is finished (the new version stays), any other is rolled back (the old
/// version comes back whole). Names in the journal must be single names of the pack's top
/// level, so a journal that came with a pack moves nothing out of it. Returns what was done;
/// throws AppError when a rename fails (the journal stays for the next start).
Recovery RecoverSwap(const QString &packDir);

} // namespace packupdate
