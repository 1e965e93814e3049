#include "history/HistoryFolders.h"

#include "ini/IniFile.h"
#include "files/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

namespace history {

namespace {

QString normalized(QString entry)
{
    entry.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return entry;
}

// The path with its longest existing beginning made canonical (symbolic links resolved), so
// that a link inside a named path cannot lead the snapshot somewhere else unnoticed.
QString canonicalized(const QString &absolute)
{
    QString head = absolute;
    QString tail;
    while (!head.isEmpty()) {
        const QFileInfo info(head);
        if (info.exists()) {
            QString canonical = info.canonicalFilePath();
            if (canonical.isEmpty())
                canonical = head;
            if (tail.isEmpty())
                return canonical;
            return QDir::cleanPath(canonical + QLatin1Char('/') + tail);
        }
        const int slash = head.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            break;
        const QString name = head.mid(slash + 1);
        tail = tail.isEmpty() ? name : name + QLatin1Char('/') + tail;
        head = slash == 0 ? QStringLiteral("/") : head.left(slash);
        if (head == QLatin1String("/") && !QFileInfo::exists(head))
            break;
    }
    return absolute;
}

bool isWithin(const QString &path, const QString &root)
{
    if (root == QLatin1String("/"))
        return true;
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

// The history's repository, the run log and their kin in the pack: a snapshot of the history
// into itself, or a restore there, would destroy it.
bool isProgramsOwn(const QString &real, const QString &pack)
{
    if (!isWithin(real, pack) || real == pack)
        return false;
    const QStringList parts =
        real.mid(pack == QLatin1String("/") ? 1 : pack.size() + 1).split(QLatin1Char('/'));
    return std::any_of(parts.begin(), parts.end(), [](const QString &part) {
        return part.startsWith(QLatin1String(".varimond-"));
    });
}

// The system's own trees, where no restore may remove or put back a file.
bool isSystemFolder(const QString &real)
{
    const QString top = real.section(QLatin1Char('/'), 1, 1);
    static const QStringList system = {QStringLiteral("etc"),  QStringLiteral("usr"),
                                       QStringLiteral("bin"),  QStringLiteral("sbin"),
                                       QStringLiteral("boot"), QStringLiteral("dev"),
                                       QStringLiteral("proc"), QStringLiteral("sys"),
                                       QStringLiteral("var"),  QStringLiteral("run")};
    return system.contains(top) || top.startsWith(QLatin1String("lib"));
}

} // namespace

bool isDrivePath(const QString &entry)
{
    return entry.size() >= 2 && entry.at(1) == QLatin1Char(':') && entry.at(0).isLetter();
}

QString NamedFolder::displayName() const
{
    return normalized(entry);
}

QString folderKey(const QString &entry)
{
    QString key = normalized(entry);
    key.replace(QLatin1Char('%'), QLatin1String("%25"));
    key.replace(QLatin1Char('/'), QLatin1String("%2F"));
    return key;
}

QString entryFromKey(const QString &key)
{
    QString entry = key;
    entry.replace(QLatin1String("%2F"), QLatin1String("/"));
    entry.replace(QLatin1String("%25"), QLatin1String("%"));
    return entry;
}

QStringList readFolderEntries(const QString &iniPath)
{
    const QString value = platform::IniFile::readString(iniPath, QStringLiteral("History"),
                                                        QStringLiteral("Folders"), QString());
    QStringList entries;
    for (const QString &part : value.split(QLatin1Char(';'))) {
        const QString entry = part.trimmed();
        if (!entry.isEmpty())
            entries.append(entry);
    }
    return entries;
}

QStringList userOwnFolders(const QString &homeDir)
{
    QStringList folders;
    if (homeDir.isEmpty())
        return folders;
    const QString home = QDir::cleanPath(homeDir);
    for (const char *name : {".ssh", ".config", ".local", ".gnupg", "Desktop", "Documents",
                             "Downloads", "Music", "Pictures", "Videos"})
        folders.append(home + QLatin1Char('/') + QLatin1String(name));
    if (home == QDir::cleanPath(QDir::homePath())) {
        // Where the user's settings put them, which may be other names (or languages).
        folders.append(platform::userAppDataFolder());
        for (const auto location :
             {QStandardPaths::DesktopLocation, QStandardPaths::DocumentsLocation,
              QStandardPaths::DownloadLocation, QStandardPaths::MusicLocation,
              QStandardPaths::PicturesLocation, QStandardPaths::MoviesLocation}) {
            const QString folder = QStandardPaths::writableLocation(location);
            // An unset XDG user folder is the home folder itself, which is refused anyway.
            if (!folder.isEmpty() && QDir::cleanPath(folder) != home)
                folders.append(QDir::cleanPath(folder));
        }
    }
    folders.removeDuplicates();
    return folders;
}

std::vector<NamedFolder> resolveFolders(const QStringList &entries, const QString &programDir,
                                        const QString &homeDir, const QString &winePrefix)
{
    const QString pack = canonicalized(QDir::cleanPath(programDir));
    const QString home = homeDir.isEmpty() ? QString() : canonicalized(QDir::cleanPath(homeDir));
    QStringList own;
    for (const QString &folder : userOwnFolders(homeDir))
        own.append(canonicalized(folder));
    // The prefix's drive_c as it really is; a "drive_c" that is a link to a folder of another
    // name is no drive of a prefix and earns no trust.
    QString driveC;
    if (!winePrefix.isEmpty()) {
        driveC = canonicalized(
            platform::resolvePath(QDir::cleanPath(winePrefix + QStringLiteral("/drive_c"))));
        if (QFileInfo(driveC).fileName().compare(QLatin1String("drive_c"), Qt::CaseInsensitive))
            driveC.clear();
    }

    std::vector<NamedFolder> folders;
    QStringList seen;
    for (const QString &entry : entries) {
        NamedFolder folder;
        folder.entry = entry;
        folder.key = folderKey(entry);
        const QString text = normalized(entry);
        if (folder.key.isEmpty() || seen.contains(folder.key))
            continue;
        seen.append(folder.key);

        QString lexical;
        if (isDrivePath(entry)) {
            if (winePrefix.isEmpty() || entry.at(0).toUpper() != QLatin1Char('C')) {
                folder.problem = QStringLiteral("History folder %1 was not found: no Wine "
                                                "prefix holds its drive")
                                     .arg(entry);
                folders.push_back(folder);
                continue;
            }
            // Inside the prefix, as Windows would find it whatever the case of the names.
            lexical = platform::resolvePath(
                QDir::cleanPath(winePrefix + QStringLiteral("/drive_c/") + text.mid(2)));
        } else {
            lexical = QDir::cleanPath(text.startsWith(QLatin1Char('/')) ? text : programDir + text);
        }
        const QString real = canonicalized(lexical);
        const bool inDriveC = !driveC.isEmpty() && isWithin(real, driveC);
        const auto ownFolder = std::find_if(own.begin(), own.end(), [&](const QString &f) {
            return isWithin(real, f) && !(inDriveC && isWithin(driveC, f) && driveC != f);
        });
        if (real == QLatin1String("/") || real == QLatin1String("/home") ||
            (!home.isEmpty() && isWithin(home, real))) {
            folder.problem =
                QStringLiteral("History folder %1 is the root or home folder or lies above it")
                    .arg(entry);
        } else if (isProgramsOwn(real, pack)) {
            folder.problem =
                QStringLiteral("History folder %1 is Varimond's own (its history or run log)")
                    .arg(entry);
        } else if (isSystemFolder(real)) {
            folder.problem =
                QStringLiteral("History folder %1 is a system folder (%2)").arg(entry, real);
        } else if (ownFolder != own.end()) {
            folder.problem = QStringLiteral("History folder %1 lies in your own folder %2")
                                 .arg(entry, *ownFolder);
        } else {
            const QFileInfo info(real);
            if (!info.exists()) {
                folder.missing = true;
            } else if (!info.isDir()) {
                folder.problem = QStringLiteral("History folder %1 is not a folder").arg(entry);
            }
            folder.needsConsent = !isWithin(real, pack) && !inDriveC;
        }
        if (folder.problem.isEmpty())
            folder.path = QFile::encodeName(real);
        folders.push_back(folder);
    }
    return folders;
}

} // namespace history
