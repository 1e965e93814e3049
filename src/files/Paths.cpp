#include "files/Paths.h"

#include "files/FileNames.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <algorithm>

namespace platform {

QString programDirFrom(const QString &executablePath)
{
    const QString absolute = QFileInfo(executablePath).absolutePath();
    return absolute.endsWith(QLatin1Char('/')) ? absolute : absolute + QLatin1Char('/');
}

QString programNameFrom(const QString &executablePath)
{
    QString name = QFileInfo(executablePath).fileName();
    if (name.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    return name;
}

QString startedExecutablePath(const QString &argv0)
{
    // argv[0] names the link the user started (QCoreApplication::applicationFilePath would
    // resolve it). A bare name was found on the PATH.
    if (argv0.contains(QLatin1Char('/')))
        return QFileInfo(argv0).absoluteFilePath();
    const QStringList dirs = qEnvironmentVariable("PATH").split(QLatin1Char(':'));
    for (const QString &dir : dirs) {
        const QFileInfo candidate(QDir(dir.isEmpty() ? QStringLiteral(".") : dir), argv0);
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return QFileInfo(argv0).absoluteFilePath();
}

QString userAppDataFolder()
{
    QString folder = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (folder.isEmpty())
        folder = QDir::homePath() + QStringLiteral("/.config");
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

QString varimondConfigFolder()
{
    return userAppDataFolder() + QStringLiteral("/varimond");
}

QString varimondStateFolder()
{
    QString folder = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative value is not a valid one and is passed over, as the base directory rules say.
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        folder = QDir::homePath() + QStringLiteral("/.local/state");
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder + QStringLiteral("/varimond");
}

QString fromStoredPath(const QString &stored)
{
    QString p = stored;
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return p;
}

QString resolvePath(const QString &path)
{
    return accessPath(path);
}

bool fileExists(const QString &path)
{
    return QFileInfo(resolvePath(path)).isFile();
}

QStringList listFolders(const QString &folder)
{
    QDir dir(folder);
    QStringList names = dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const QString &n) { return n.startsWith(QLatin1Char('.')); }),
                names.end());
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

} // namespace platform
