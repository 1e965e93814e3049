#include "history/HistoryFolders.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFileInfo>

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

std::vector<NamedFolder> resolveFolders(const QStringList &entries, const QString &programDir,
                                        const QString &homeDir, const QString &winePrefix)
{
    const QString parentTree = canonicalized(QDir::cleanPath(programDir + QStringLiteral("..")));
    const QString home = homeDir.isEmpty() ? QString() : canonicalized(QDir::cleanPath(homeDir));
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
        bool absolute = text.startsWith(QLatin1Char('/'));
        if (isDrivePath(entry)) {
            if (winePrefix.isEmpty() || entry.at(0).toUpper() != QLatin1Char('C')) {
                folder.problem = QStringLiteral("History folder %1 was not found: no Wine "
                                                "prefix holds its drive")
                                     .arg(entry);
                folders.push_back(folder);
                continue;
            }
            // Inside the prefix, as Windows would find it whatever the case of the names.
            absolute = true;
            lexical = platform::resolvePath(
                QDir::cleanPath(winePrefix + QStringLiteral("/drive_c/") + text.mid(2)));
        } else {
            lexical = QDir::cleanPath(absolute ? text : programDir + text);
        }
        const QString real = canonicalized(lexical);
        if (!absolute && (!isWithin(lexical, QDir::cleanPath(programDir + QStringLiteral(".."))) ||
                          !isWithin(real, parentTree))) {
            folder.problem = QStringLiteral("History folder %1 lies outside the program "
                                            "folder's parent; name it by its full path")
                                 .arg(entry);
        } else if (real == QLatin1String("/") || (!home.isEmpty() && isWithin(home, real))) {
            folder.problem =
                QStringLiteral("History folder %1 is the root or home folder or lies above it")
                    .arg(entry);
        } else {
            const QFileInfo info(real);
            if (!info.exists()) {
                folder.missing = true;
            } else if (!info.isDir()) {
                folder.problem = QStringLiteral("History folder %1 is not a folder").arg(entry);
            }
        }
        if (folder.problem.isEmpty())
            folder.path = QFile::encodeName(real);
        folders.push_back(folder);
    }
    return folders;
}

} // namespace history
