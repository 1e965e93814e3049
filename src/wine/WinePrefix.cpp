#include "wine/WinePrefix.h"

#include "files/Paths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <set>
#include <utility>

namespace platform {

namespace {

// Lutris's and Steam's lists are small; anything larger is not one of theirs and is read only
// this far.
constexpr qint64 MaxListFileSize = 1 << 20;

const QString SteamUser = QStringLiteral("steamuser");

PinnedPrefix (*g_pinnedSource)() = nullptr;

// The search stats many paths; plain stat(2) spares QFileInfo's caching and conversions.
std::optional<struct stat> statOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return st;
}

QString join(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

// The case-insensitive match of @p name among the entries of @p folder, or empty. Read with
// readdir: the search lists many folders, and neither sorting nor file details are needed.
QString matchIn(const QString &folder, const QString &name)
{
    DIR *dir = opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return {};
    QString match;
    while (const dirent *entry = readdir(dir)) {
        const QString entryName = QFile::decodeName(entry->d_name);
        if (entryName.compare(name, Qt::CaseInsensitive) == 0 && entryName != QLatin1String(".") &&
            entryName != QLatin1String("..")) {
            match = entryName;
            break;
        }
    }
    closedir(dir);
    return match;
}

// @p relative below @p base as Windows would find it: each component that exists in another
// case takes the spelling on disk; from the first that does not exist at all the rest is kept
// as written, so that a folder made there later joins the existing ones.
QString lookUp(const QString &base, const QString &relative)
{
    QString current = base;
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    bool missing = false;
    for (const QString &part : parts) {
        QString next = join(current, part);
        if (!missing && !statOf(next)) {
            const QString match = matchIn(current, part);
            if (match.isEmpty())
                missing = true;
            else
                next = join(current, match);
        }
        current = next;
    }
    if (relative.endsWith(QLatin1Char('/')))
        current = withSlash(current);
    return current;
}

// @p relative below @p base as Windows would find it when every component exists, in any
// case, and the last is a folder (@p folder) or a file; else empty. Each path is stat'ed once.
QString findExisting(const QString &base, const QString &relative, bool folder)
{
    QString current = base;
    std::optional<struct stat> st;
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        QString next = join(current, part);
        st = statOf(next);
        if (!st) {
            const QString match = matchIn(current, part);
            if (match.isEmpty())
                return {};
            next = join(current, match);
            st = statOf(next);
            if (!st)
                return {};
        }
        current = next;
    }
    if (!st || (folder ? !S_ISDIR(st->st_mode) : !S_ISREG(st->st_mode)))
        return {};
    return current;
}

bool isFolder(const QString &path)
{
    const auto st = statOf(path);
    return st && S_ISDIR(st->st_mode);
}

QStringList profileNames(const QString &userName)
{
    QStringList names;
    if (!userName.isEmpty())
        names << userName;
    if (userName != SteamUser)
        names << SteamUser;
    return names;
}

const QStringList &appDataFolders()
{
    static const QStringList folders{QStringLiteral("AppData/Roaming"),
                                     QStringLiteral("Application Data")};
    return folders;
}

QByteArray readListFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(MaxListFileSize);
}

QString expandHome(const QString &text, const QString &home)
{
    if (text == QLatin1String("~"))
        return home;
    if (text.startsWith(QLatin1String("~/")))
        return join(home, text.mid(2));
    return text;
}

} // namespace

// A game has one prefix; a file naming thousands is no reason to look at thousands of folders.
QString lutrisGamePrefix(const QString &ymlPath, const QString &home)
{
    const QList<QByteArray> lines = readListFile(ymlPath).split('\n');
    for (const QByteArray &raw : lines) {
        QString line = QString::fromUtf8(raw).trimmed();
        if (!line.startsWith(QLatin1String("prefix:")))
            continue;
        line = line.mid(7).trimmed();
        const int comment = line.indexOf(QLatin1String(" #"));
        if (comment >= 0 && !line.startsWith(QLatin1Char('"')) &&
            !line.startsWith(QLatin1Char('\'')))
            line = line.left(comment).trimmed();
        if (line.size() >= 2 &&
            (line.front() == QLatin1Char('"') || line.front() == QLatin1Char('\'')) &&
            line.back() == line.front())
            line = line.mid(1, line.size() - 2);
        line = expandHome(line, home);
        if (line.startsWith(QLatin1Char('/')))
            return line;
    }
    return {};
}

const QStringList &lutrisGameFolders()
{
    // Lutris keeps its games' files in ~/.config (older versions) or ~/.local/share, and the
    // Flatpak build inside ~/.var/app.
    static const QStringList folders{
        QStringLiteral(".config/lutris/games"), QStringLiteral(".local/share/lutris/games"),
        QStringLiteral(".var/app/net.lutris.Lutris/config/lutris/games"),
        QStringLiteral(".var/app/net.lutris.Lutris/data/lutris/games")};
    return folders;
}

namespace {

// The library folders a Steam libraryfolders.vdf lists: "path" entries of today's format and
// the numbered entries of the older one.
QStringList steamLibraries(const QString &vdfPath)
{
    static const QRegularExpression quoted(QStringLiteral(R"re("((?:[^"\\]|\\.)*)")re"));
    QStringList libraries;
    const QList<QByteArray> lines = readListFile(vdfPath).split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw);
        QStringList tokens;
        for (auto it = quoted.globalMatch(line); it.hasNext();)
            tokens << it.next().captured(1);
        if (tokens.size() != 2)
            continue;
        const QString &key = tokens[0];
        bool numbered = false;
        key.toUInt(&numbered);
        if (key.compare(QLatin1String("path"), Qt::CaseInsensitive) != 0 && !numbered)
            continue;
        QString value = tokens[1];
        value.replace(QLatin1String("\\\\"), QLatin1String("\\"));
        if (value.startsWith(QLatin1Char('/')))
            libraries << value;
    }
    return libraries;
}

QString unixUserName()
{
    QString name = qEnvironmentVariable("USER");
    if (name.isEmpty()) {
        if (const passwd *pw = getpwuid(geteuid()))
            name = QFile::decodeName(pw->pw_name);
    }
    return name;
}

GamePrefix prefixAt(PrefixSource source, const QString &prefix, const QString &userName)
{
    GamePrefix result;
    result.source = source;
    result.prefix = prefix;
    result.userDat = userDatInPrefix(prefix, userName);
    result.gameFolder = result.userDat.isEmpty()
                            ? gameFolderInPrefix(prefix, userName)
                            : withSlash(QFileInfo(result.userDat).absolutePath());
    return result;
}

} // namespace

QString gameDataSubPath()
{
    return QStringLiteral("Electronic Arts/Dark Age of Camelot/");
}

PrefixSearch PrefixSearch::fromEnvironment()
{
    PrefixSearch search;
    if (g_pinnedSource) {
        const PinnedPrefix pinned = g_pinnedSource();
        search.pinned = pinned.text;
        search.baseDir = pinned.baseDir;
        search.wineBinary = pinned.wineBinary;
    }
    search.winePrefix = qEnvironmentVariable("WINEPREFIX");
    search.home = QDir::homePath();
    search.userName = unixUserName();
    return search;
}

void setPinnedPrefixSource(PinnedPrefix (*source)())
{
    g_pinnedSource = source;
}

QString absolutePrefixPath(const QString &text, const QString &home, const QString &baseDir)
{
    QString path = text.trimmed();
    if (path.isEmpty())
        return {};
    path = expandHome(path, home);
    if (!path.startsWith(QLatin1Char('/')))
        path = join(baseDir.isEmpty() ? QDir::currentPath() : baseDir, path);
    path = QDir::cleanPath(path);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QStringList candidatePrefixes(const PrefixSearch &search)
{
    QStringList wanted;
    const QString &home = search.home;
    if (!home.isEmpty()) {
        wanted << join(home, QStringLiteral(".wine"));

        const QString games = join(home, QStringLiteral("Games"));
        for (const QString &name : listFolders(games))
            wanted << join(games, name);
        for (const QString &folder : lutrisGameFolders()) {
            const QDir lutris(join(home, folder));
            const QStringList ymls =
                lutris.entryList({QStringLiteral("*.yml")}, QDir::Files, QDir::Name);
            for (const QString &yml : ymls)
                wanted << lutrisGamePrefix(lutris.filePath(yml), home);
        }

        QStringList libraries;
        for (const char *root : {".steam/steam", ".local/share/Steam",
                                 ".var/app/com.valvesoftware.Steam/.local/share/Steam",
                                 ".var/app/com.valvesoftware.Steam/data/Steam"}) {
            const QString steam = join(home, QString::fromLatin1(root));
            libraries << steam;
            libraries << steamLibraries(
                join(steam, QStringLiteral("steamapps/libraryfolders.vdf")));
            libraries << steamLibraries(join(steam, QStringLiteral("config/libraryfolders.vdf")));
        }
        for (const QString &library : libraries) {
            const QString compat = join(library, QStringLiteral("steamapps/compatdata"));
            for (const QString &app : listFolders(compat))
                wanted << join(join(compat, app), QStringLiteral("pfx"));
        }
    }

    // The same folder is often reached twice: ~/.steam/steam links to ~/.local/share/Steam,
    // and Steam lists its own folder among the libraries; it is known by its device and inode.
    // A loop or a dangling link is no folder and is left out.
    QStringList prefixes;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const QString &path : wanted) {
        const auto st = statOf(path);
        if (!st || !S_ISDIR(st->st_mode) || !seen.insert({st->st_dev, st->st_ino}).second)
            continue;
        prefixes << QDir::cleanPath(path);
    }
    return prefixes;
}

QString userDatInPrefix(const QString &prefix, const QString &userName)
{
    const QString users = findExisting(prefix, QStringLiteral("drive_c/users"), true);
    if (users.isEmpty())
        return {};
    for (const QString &name : profileNames(userName)) {
        const QString profile = findExisting(users, name, true);
        if (profile.isEmpty())
            continue;
        for (const QString &appData : appDataFolders()) {
            const QString roaming = findExisting(profile, appData, true);
            if (roaming.isEmpty())
                continue;
            const QString path =
                findExisting(roaming, gameDataSubPath() + QStringLiteral("user.dat"), false);
            if (!path.isEmpty())
                return path;
        }
    }
    return {};
}

QString gameFolderInPrefix(const QString &prefix, const QString &userName)
{
    const QString found = userDatInPrefix(prefix, userName);
    if (!found.isEmpty())
        return withSlash(QFileInfo(found).absolutePath());

    const QString users = lookUp(prefix, QStringLiteral("drive_c/users"));
    const QStringList profiles = profileNames(userName);
    QString profile = lookUp(users, profiles.front());
    for (const QString &name : profiles) {
        const QString candidate = lookUp(users, name);
        if (isFolder(candidate)) {
            profile = candidate;
            break;
        }
    }
    // An old prefix keeps its "Application Data"; any other gets today's folder.
    QString appData = appDataFolders().front();
    if (!isFolder(lookUp(profile, appData)) && isFolder(lookUp(profile, appDataFolders().back())))
        appData = appDataFolders().back();
    return lookUp(profile, appData + QLatin1Char('/') + gameDataSubPath());
}

GamePrefix findGamePrefix(const PrefixSearch &search)
{
    const QString pinned = absolutePrefixPath(search.pinned, search.home, search.baseDir);
    if (!pinned.isEmpty())
        return prefixAt(PrefixSource::Pinned, pinned, search.userName);
    const QString environment =
        absolutePrefixPath(search.winePrefix, search.home, QDir::currentPath());
    if (!environment.isEmpty())
        return prefixAt(PrefixSource::Environment, environment, search.userName);

    GamePrefix best;
    QDateTime bestTime;
    for (const QString &prefix : candidatePrefixes(search)) {
        const QString userDat = userDatInPrefix(prefix, search.userName);
        if (userDat.isEmpty())
            continue;
        const QDateTime changed = QFileInfo(userDat).lastModified();
        if (best.source == PrefixSource::None || changed > bestTime) {
            best.source = PrefixSource::Found;
            best.prefix = prefix;
            best.userDat = userDat;
            best.gameFolder = withSlash(QFileInfo(userDat).absolutePath());
            bestTime = changed;
        }
    }
    return best;
}

GamePrefix gamePrefixInForce()
{
    return findGamePrefix(PrefixSearch::fromEnvironment());
}

} // namespace platform
