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

    /// The entry as shown to the user, with '/' separators.
    QString displayName() const;
};

/// The `;`-separated list of `[History] Folders=` in the settings file at @p iniPath.
QStringList readFolderEntries(const QString &iniPath);

/// Resolves the named folders against the program folder @p programDir (ending in '/').
/// Relative names (backslashes accepted) must stay within the program folder's parent tree, also
/// after symbolic links in them are resolved; absolute names are taken as named. Neither may be
/// the root, @p homeDir or a folder above it. A "C:\..." path is taken inside the drive_c folder
/// of the game's Wine prefix @p winePrefix (names matched as Windows would); without a prefix,
/// and for other drives, it is left out as not found. Repeated names are dropped.
std::vector<NamedFolder> resolveFolders(const QStringList &entries, const QString &programDir,
                                        const QString &homeDir,
                                        const QString &winePrefix = QString());

/// Whether @p entry names a Windows drive ("C:\...").
bool isDrivePath(const QString &entry);

/// The tree key for an entry of the Folders key, and the entry for a tree key.
QString folderKey(const QString &entry);
QString entryFromKey(const QString &key);

} // namespace history
