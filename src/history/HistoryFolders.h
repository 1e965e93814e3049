#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace history {

/// One folder a pack names for its install snapshots.
struct NamedFolder
{
    QString entry; // as written in the settings file
    QString key;   // its name in the snapshots: the entry with '/' separators, '/' and '%' escaped
    QByteArray path; // absolute path in the local encoding, symbolic links of the entry resolved
    QString problem; // why the folder is left out; empty when it is snapshotted
    bool missing = false; // does not exist yet: it is snapshotted as an empty folder
    // Lies outside the pack and the Wine prefix's drive_c: used only once the user allowed it.
    bool needsConsent = false;

    /// Whether snapshots take it: no problem, and allowed when it needed the user's consent.
    bool usable() const { return problem.isEmpty() && !needsConsent; }

    /// The entry as shown to the user, with '/' separators.
    QString displayName() const;
};

/// The `;`-separated list of `[History] Folders=` in the settings file at @p iniPath.
QStringList readFolderEntries(const QString &iniPath);

/// Resolves the named folders against the program folder @p programDir (ending in '/'), the
/// pack's folder. Relative names (backslashes accepted) start there; absolute names are taken as
/// named; a "C:\..." path is taken inside the drive_c folder of the game's Wine prefix
/// @p winePrefix (names matched as Windows would), and without a prefix, or for other drives, it
/// is left out as not found. Symbolic links in a name are resolved before it is judged:
/// - the root, the system folders (/etc, /usr, /bin, /sbin, /lib*, /boot, /dev, /proc, /sys,
///   /var, /run and everything below them), /home, @p homeDir and every folder above it are
///   refused, and so are the user's own folders (~/.ssh, ~/.config, ~/.local, ~/.gnupg and the
///   XDG user folders) with everything below them, except below a Wine prefix's drive_c that
///   lies inside one of them (Steam keeps its prefixes in ~/.local/share);
/// - a folder inside the pack or inside the prefix's drive_c is used as it is;
/// - any other folder is marked needsConsent.
/// Repeated names are dropped.
std::vector<NamedFolder> resolveFolders(const QStringList &entries, const QString &programDir,
                                        const QString &homeDir,
                                        const QString &winePrefix = QString());

/// The user's own folders below @p homeDir that no pack may name: ~/.ssh, ~/.config, ~/.local,
/// ~/.gnupg, Desktop, Documents, Downloads, Music, Pictures, Videos, and where the user's
/// settings place the configuration and XDG user folders when @p homeDir is the home folder.
QStringList userOwnFolders(const QString &homeDir);

/// Whether @p entry names a Windows drive ("C:\...").
bool isDrivePath(const QString &entry);

/// The tree key for an entry of the Folders key, and the entry for a tree key.
QString folderKey(const QString &entry);
QString entryFromKey(const QString &key);

} // namespace history
