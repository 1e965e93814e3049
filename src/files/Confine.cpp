#include "files/Confine.h"

#include "files/Paths.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

namespace {

QString realExisting(const QString &path)
{
    char buffer[PATH_MAX];
    if (::realpath(QFile::encodeName(path).constData(), buffer) == nullptr)
        return QString();
    return QFile::decodeName(buffer);
}

} // namespace

QString realLocation(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return QString();
    QString existing = path;
    QStringList rest;
    while (existing.size() > 1 && existing.endsWith(QLatin1Char('/')))
        existing.chop(1);
    for (;;) {
        const QString real = realExisting(existing);
        if (!real.isEmpty()) {
            QString result = real;
            for (auto it = rest.crbegin(); it != rest.crend(); ++it) {
                if (*it == QLatin1String(".."))
                    return QString(); // would climb out of a folder that is not there
                if (it->isEmpty() || *it == QLatin1String("."))
                    continue;
                if (!result.endsWith(QLatin1Char('/')))
                    result += QLatin1Char('/');
                result += *it;
            }
            return result;
        }
        // Only a name that is missing may be carried over as written: a link that dangles or
        // loops, or a folder that may not be searched, leaves the location unknown.
        if (errno != ENOENT && errno != ENOTDIR)
            return QString();
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            rest.append(existing.mid(slash + 1));
            existing = QStringLiteral("/");
            continue;
        }
        rest.append(existing.mid(slash + 1));
        existing.truncate(slash);
    }
}

bool isWithin(const QString &realPath, const QString &realRoot)
{
    if (realPath.isEmpty() || realRoot.isEmpty())
        return false;
    if (realPath == realRoot)
        return true;
    if (realRoot == QLatin1String("/"))
        return true;
    return realPath.size() > realRoot.size() && realPath.startsWith(realRoot) &&
           realPath.at(realRoot.size()) == QLatin1Char('/');
}

QString confinedFolder(const QString &base, const QString &value, QString *why)
{
    auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return QString();
    };
    // The value as written: a blank around it is part of the name, here as where it is used.
    const QString mapped = fromStoredPath(value);
    if (mapped.trimmed().isEmpty())
        return refuse(QStringLiteral("it is empty"));
    if (mapped.startsWith(QLatin1Char('/')) ||
        (mapped.size() >= 2 && mapped.at(1) == QLatin1Char(':')) ||
        mapped.startsWith(QLatin1Char('~')))
        return refuse(QStringLiteral("it is not a folder inside %1").arg(base));
    const QStringList parts = mapped.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.contains(QStringLiteral("..")))
        return refuse(QStringLiteral("it leads out of %1").arg(base));

    const QString joined = settingsFolderPath(base, value);
    const QString realRoot = realLocation(QDir::cleanPath(base));
    const QString real = realLocation(joined);
    if (!isWithin(real, realRoot) || real == realRoot)
        return refuse(QStringLiteral("through a symbolic link it leads out of %1").arg(base));
    return joined;
}

QString settingsFolderPath(const QString &base, const QString &value)
{
    QString root = base;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    const QStringList parts = fromStoredPath(value).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return resolvePath(root + QLatin1Char('/') + parts.join(QLatin1Char('/')));
}

FolderReach reachFolder(const QString &base, const QString &value, const QString &home)
{
    FolderReach reach;
    reach.path = confinedFolder(base, value, &reach.why);
    if (!reach.path.isEmpty()) {
        reach.kind = FolderReach::Inside;
        reach.real = realLocation(reach.path);
        return reach;
    }
    // Only a value that names a folder below base through a link goes on to be judged.
    const QString mapped = fromStoredPath(value);
    if (mapped.trimmed().isEmpty() || mapped.startsWith(QLatin1Char('/')) ||
        mapped.startsWith(QLatin1Char('~')) ||
        (mapped.size() >= 2 && mapped.at(1) == QLatin1Char(':')) ||
        mapped.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return reach;
    reach.path = settingsFolderPath(base, value);
    reach.real = realLocation(reach.path);
    const QString realRoot = realLocation(QDir::cleanPath(base));
    auto refuse = [&](const QString &why) {
        reach.kind = FolderReach::Refused;
        reach.why = why;
        return reach;
    };
    if (reach.real.isEmpty() || reach.real == realRoot)
        return refuse(QStringLiteral("through a symbolic link it leads to no folder"));
    const QString top = reach.real.section(QLatin1Char('/'), 1, 1);
    static const QStringList system = {
        QStringLiteral("etc"),  QStringLiteral("usr"),  QStringLiteral("bin"),
        QStringLiteral("sbin"), QStringLiteral("boot"), QStringLiteral("dev"),
        QStringLiteral("proc"), QStringLiteral("sys"),  QStringLiteral("var"),
        QStringLiteral("run"),  QStringLiteral("opt"),  QStringLiteral("root")};
    const QString realHome = realLocation(QDir::cleanPath(home));
    const bool homeIsRoot = realHome == QLatin1String("/root");
    if (reach.real == QLatin1String("/") ||
        ((system.contains(top) || top.startsWith(QLatin1String("lib"))) &&
         !(homeIsRoot && isWithin(reach.real, realHome) && reach.real != realHome)))
        return refuse(
            QStringLiteral("through a symbolic link it leads to the system folder %1")
                .arg(reach.real));
    if (!realHome.isEmpty() && isWithin(realHome, reach.real))
        return refuse(QStringLiteral("through a symbolic link it leads to your home folder %1")
                          .arg(reach.real));
    if (!realHome.isEmpty() && isWithin(reach.real, realHome) &&
        reach.real.mid(realHome.size() + 1).startsWith(QLatin1Char('.')))
        return refuse(QStringLiteral("through a symbolic link it leads to %1, a hidden folder "
                                     "of your home")
                          .arg(reach.real));
    struct stat st;
    if (::stat(QFile::encodeName(reach.real).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return refuse(QStringLiteral("through a symbolic link it leads to %1, which is not a "
                                     "folder")
                          .arg(reach.real));
    if (st.st_uid != ::getuid())
        return refuse(QStringLiteral("through a symbolic link it leads to %1, which is not "
                                     "yours")
                          .arg(reach.real));
    reach.kind = FolderReach::Outside;
    reach.why.clear();
    return reach;
}

} // namespace platform
