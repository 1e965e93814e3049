#include "files/FileNames.h"

#include "files/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QStringDecoder>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace platform {

namespace {

bool isAscii(const char *bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(bytes[i]) >= 0x80)
            return false;
    }
    return true;
}

bool nameExists(const QByteArray &native)
{
    struct stat st
    {
    };
    return ::fstatat(AT_FDCWD, native.isEmpty() ? "." : native.constData(), &st,
                     AT_SYMLINK_NOFOLLOW) == 0;
}

QByteArray joined(const QByteArray &folder, const QByteArray &name)
{
    if (folder.isEmpty())
        return name;
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

// The entry of @p folder whose shown name equals @p wanted ignoring case; of several, the first
// in the program's listing order (ignoring case, then exactly).
QByteArray caseInsensitiveMatch(const QByteArray &folder, const QString &wanted)
{
    DIR *dir = ::opendir(folder.isEmpty() ? "." : folder.constData());
    if (!dir)
        return {};
    QByteArray best;
    QString bestShown;
    while (const dirent *e = ::readdir(dir)) {
        const std::size_t length = std::strlen(e->d_name);
        if ((length == 1 && e->d_name[0] == '.') ||
            (length == 2 && e->d_name[0] == '.' && e->d_name[1] == '.'))
            continue;
        const QString shown = decodeFileName(e->d_name, length);
        if (shown.compare(wanted, Qt::CaseInsensitive) != 0)
            continue;
        if (best.isNull() || shown < bestShown) {
            best = QByteArray(e->d_name, static_cast<qsizetype>(length));
            bestShown = shown;
        }
    }
    ::closedir(dir);
    return best;
}

// The aliases handed out by accessPath(): symbolic links in a private folder, each holding the
// exact bytes of one folder (or file) whose name is not UTF-8. They are removed when the
// process ends normally.
class AliasRegistry final
{
public:
    ~AliasRegistry()
    {
        for (const Alias &a : m_aliases)
            ::unlink(QFile::encodeName(a.link).constData());
        if (!m_folder.isEmpty())
            ::rmdir(QFile::encodeName(m_folder).constData());
    }

    QString aliasFor(const QByteArray &target, const QString &shown)
    {
        QMutexLocker lock(&m_mutex);
        const auto found = m_byTarget.find(target);
        if (found != m_byTarget.end())
            return m_aliases[found->second].link;
        if (m_folder.isEmpty()) {
            QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/varimond-names-XXXXXX";
            if (!::mkdtemp(pattern.data()))
                return {};
            m_folder = QFile::decodeName(pattern);
        }
        // The link carries the shown name after a number of its own, so that what looks at
        // a name's ending (a script's kind) sees the same ending.
        QString name = shown.section(QLatin1Char('/'), -1);
        if (name.toUtf8().size() > 200) // a long name grows as UTF-8: keep its ending only
            name = name.section(QLatin1Char('.'), -1).right(16);
        const QString link = m_folder + QLatin1Char('/') + QString::number(m_aliases.size()) +
                             QLatin1Char('_') + name;
        if (::symlink(target.constData(), QFile::encodeName(link).constData()) != 0)
            return {};
        m_byTarget.emplace(target, m_aliases.size());
        m_aliases.push_back({link, shown});
        return link;
    }

    QString shownPath(const QString &path)
    {
        QMutexLocker lock(&m_mutex);
        if (m_folder.isEmpty() || !path.startsWith(m_folder + QLatin1Char('/')))
            return path;
        for (const Alias &a : m_aliases) {
            if (path == a.link)
                return a.shown;
            if (path.startsWith(a.link + QLatin1Char('/')))
                return a.shown + path.mid(a.link.size());
        }
        return path;
    }

private:
    struct Alias
    {
        QString link;
        QString shown;
    };

    QMutex m_mutex;
    QString m_folder;
    std::map<QByteArray, std::size_t> m_byTarget;
    std::vector<Alias> m_aliases;
};

AliasRegistry &registry()
{
    static AliasRegistry instance;
    return instance;
}

} // namespace

QString decodeFileName(const char *bytes, std::size_t length)
{
    const auto n = static_cast<qsizetype>(length);
    if (isAscii(bytes, length))
        return QString::fromLatin1(bytes, n);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(bytes, n));
    if (!decoder.hasError())
        return text;
    return decodeWindows1252(QByteArray(bytes, n));
}

QByteArray nativePath(const QString &path)
{
    QString p = path;
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QByteArray whole = p.toUtf8();
    if (p.isEmpty() || nameExists(whole))
        return whole;

    const QStringList parts = p.split(QLatin1Char('/'));
    QByteArray current = p.startsWith(QLatin1Char('/')) ? QByteArray("/") : QByteArray();
    for (int i = 0; i < parts.size(); ++i) {
        const QString &part = parts[i];
        if (part.isEmpty()) {
            if (i == parts.size() - 1 && !current.isEmpty() && !current.endsWith('/'))
                current += '/';
            continue;
        }
        const QByteArray utf8 = part.toUtf8();
        QByteArray found;
        if (part == QLatin1String(".") || part == QLatin1String("..") ||
            nameExists(joined(current, utf8))) {
            found = utf8;
        } else {
            const QByteArray cp1252 = encodeWindows1252(part);
            if (cp1252 != utf8 && decodeWindows1252(cp1252) == part &&
                nameExists(joined(current, cp1252)))
                found = cp1252;
            else
                found = caseInsensitiveMatch(current, part);
        }
        if (found.isNull()) {
            // Nothing of that name: the rest stays as written.
            QByteArray rest = utf8;
            for (int j = i + 1; j < parts.size(); ++j)
                rest += '/' + parts[j].toUtf8();
            return joined(current, rest);
        }
        current = joined(current, found);
    }
    return current;
}

QString accessPath(const QString &path)
{
    const QByteArray native = nativePath(path);
    if (isValidUtf8(native))
        return QString::fromUtf8(native);

    // Everything up to the last component that is not UTF-8 is reached through one alias; the
    // rest follows it as plain UTF-8.
    const QList<QByteArray> parts = native.split('/');
    qsizetype last = parts.size() - 1;
    while (last >= 0 && isValidUtf8(parts[last]))
        --last;
    QByteArray target;
    QString shown;
    for (qsizetype i = 0; i <= last; ++i) {
        if (i > 0) {
            target += '/';
            shown += QLatin1Char('/');
        }
        target += parts[i];
        shown += decodeFileName(parts[i]);
    }
    if (!target.startsWith('/')) {
        const QByteArray cwd = QFile::encodeName(QDir::currentPath());
        target = cwd + '/' + target;
        shown = QDir::currentPath() + QLatin1Char('/') + shown;
    }
    QString result = registry().aliasFor(target, shown);
    if (result.isEmpty())
        return QString::fromUtf8(native); // no alias could be made: the file stays out of reach
    for (qsizetype i = last + 1; i < parts.size(); ++i)
        result += QLatin1Char('/') + QString::fromUtf8(parts[i]);
    return result;
}

QString shownPath(const QString &path)
{
    return registry().shownPath(path);
}

} // namespace platform
