#include "platform/Confine.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QStringList>

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
    const QString mapped = fromStoredPath(value).trimmed();
    if (mapped.isEmpty())
        return refuse(QStringLiteral("it is empty"));
    if (mapped.startsWith(QLatin1Char('/')) ||
        (mapped.size() >= 2 && mapped.at(1) == QLatin1Char(':')) ||
        mapped.startsWith(QLatin1Char('~')))
        return refuse(QStringLiteral("it is not a folder inside %1").arg(base));
    const QStringList parts = mapped.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.contains(QStringLiteral("..")))
        return refuse(QStringLiteral("it leads out of %1").arg(base));

    QString root = base;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    const QString joined = resolvePath(root + QLatin1Char('/') + parts.join(QLatin1Char('/')));
    const QString realRoot = realLocation(root);
    const QString real = realLocation(joined);
    if (!isWithin(real, realRoot) || real == realRoot)
        return refuse(QStringLiteral("through a symbolic link it leads out of %1").arg(base));
    return joined;
}

} // namespace platform
