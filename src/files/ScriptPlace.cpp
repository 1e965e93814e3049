#include "files/ScriptPlace.h"

#include "files/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace platform {

namespace {

bool isBelow(const QString &path, const QString &root, Qt::CaseSensitivity cs)
{
    return path.startsWith(root + QLatin1Char('/'), cs);
}

bool hasDriveLetter(const QString &path)
{
    return path.size() >= 2 && path[1] == QLatin1Char(':') && path[0].isLetter();
}

} // namespace

ScriptPlace locateScript(const QString &base, const QString &root, const QString &stored,
                         QString *file, const QString &knownRealRoot)
{
    const QString mapped = fromStoredPath(stored);
    if (mapped.isEmpty())
        return ScriptPlace::Missing;
    if (mapped.startsWith(QLatin1Char('/')) || hasDriveLetter(mapped))
        return ScriptPlace::Outside;

    // By its text first (ignoring case, as the look-up below does), then by where the file
    // really is once links are followed: a link may lead on only to a place below the root.
    const QString cleanRoot = QDir::cleanPath(root);
    const QString joined = QDir::cleanPath(base + mapped);
    if (!isBelow(joined, cleanRoot, Qt::CaseInsensitive))
        return ScriptPlace::Outside;
    // A script that stands in the root itself under its exact name, no link, lies where its
    // folder's real location says: one look at it answers when the caller knows that location.
    if (!knownRealRoot.isEmpty() && joined.lastIndexOf(QLatin1Char('/')) == cleanRoot.size() &&
        joined.startsWith(cleanRoot + QLatin1Char('/'))) {
        bool ascii = true;
        for (const QChar c : joined)
            ascii = ascii && c.unicode() < 0x80;
        struct stat st = {};
        if (ascii && ::lstat(QFile::encodeName(joined).constData(), &st) == 0 &&
            S_ISREG(st.st_mode)) {
            if (file)
                *file = joined;
            return ScriptPlace::Inside;
        }
    }
    const QString resolved = resolvePath(joined);
    const QFileInfo info(resolved);
    if (!info.isFile())
        return ScriptPlace::Missing;
    const QString realRoot =
        knownRealRoot.isEmpty() ? QFileInfo(cleanRoot).canonicalFilePath() : knownRealRoot;
    if (realRoot.isEmpty() || !isBelow(info.canonicalFilePath(), realRoot, Qt::CaseSensitive))
        return ScriptPlace::Outside;
    if (file)
        *file = resolved;
    return ScriptPlace::Inside;
}

} // namespace platform
