#include "packupdate/ArchiveUnpack.h"

#include "packupdate/PackSwap.h"
#include "files/Confine.h"
#include "files/Error.h"

#include <QByteArrayList>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace packupdate {

namespace {

constexpr int MaxNameBytes = 4096;
constexpr size_t BufferBytes = 256 * 1024;

[[noreturn]] void refuse(const QString &why)
{
    throw AppError(QStringLiteral("The update archive was not installed: %1").arg(why));
}

QString shown(const QByteArray &name)
{
    return QString::fromUtf8(name.left(200));
}

/// An entry's name as components: backslashes are separators (archives made on Windows), "."
/// and empty components are dropped. Absolute names and ".." are refused.
QByteArrayList components(const QByteArray &name)
{
    QByteArray n = name;
    n.replace('\\', '/');
    if (n.startsWith('/'))
        refuse(QStringLiteral("it holds an absolute name, %1").arg(shown(name)));
    QByteArrayList parts;
    for (const QByteArray &part : n.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
            refuse(QStringLiteral("it holds a name that leads out of its folder, %1")
                       .arg(shown(name)));
        parts.append(part);
    }
    return parts;
}

struct Fd
{
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int f)
    {
        if (fd >= 0)
            ::close(fd);
        fd = f;
    }
};

class Unpacker
{
public:
    Unpacker(const QString &staging, const UnpackLimits &limits, qint64 archiveBytes)
        : m_limits(limits), m_archiveBytes(archiveBytes)
    {
        const QByteArray path = QFile::encodeName(staging);
        if (::mkdir(path.constData(), 0755) != 0)
            throw AppError(QStringLiteral("Cannot make the folder %1 for the update").arg(staging));
        m_root.reset(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (m_root.fd < 0)
            throw AppError(QStringLiteral("Cannot open the folder %1 for the update").arg(staging));
    }

    void run(archive *a, UnpackResult &result)
    {
        archive_entry *entry = nullptr;
        std::vector<char> buffer(BufferBytes);
        for (;;) {
            const int status = archive_read_next_header(a, &entry);
            if (status == ARCHIVE_EOF)
                break;
            checkCancel();
            if (status < ARCHIVE_WARN)
                refuse(QStringLiteral("it cannot be read (%1)")
                           .arg(QString::fromUtf8(archive_error_string(a))));
            if (++result.entries > m_limits.maxEntries)
                refuse(QStringLiteral("it holds more than %1 entries").arg(m_limits.maxEntries));
            const char *rawName = archive_entry_pathname(entry);
            if (!rawName || !*rawName)
                refuse(QStringLiteral("it holds an entry without a name"));
            const QByteArray name(rawName);
            if (name.size() > MaxNameBytes)
                refuse(QStringLiteral("it holds a name longer than %1 bytes").arg(MaxNameBytes));
            const QByteArrayList parts = components(name);
            if (parts.isEmpty())
                continue; // "./" itself
            if (archive_entry_hardlink(entry))
                refuse(QStringLiteral("it holds a hard link, %1").arg(shown(name)));
            const mode_t type = archive_entry_filetype(entry);
            const int parent = parentFolder(parts, name);
            const QByteArray &leaf = parts.last();
            if (type == AE_IFDIR) {
                makeFolder(parent, leaf, name);
            } else if (type == AE_IFREG) {
                if (archive_entry_size_is_set(entry) &&
                    archive_entry_size(entry) > m_limits.maxBytes)
                    refuse(
                        QStringLiteral("it unpacks to more than %1 bytes").arg(m_limits.maxBytes));
                writeFile(a, parent, leaf, name, archive_entry_perm(entry), buffer, result);
            } else if (type == AE_IFLNK) {
                makeLink(parent, parts, archive_entry_symlink(entry), name);
            } else {
                refuse(QStringLiteral("it holds a device, FIFO or socket, %1").arg(shown(name)));
            }
        }
    }

    /// Links made, as paths below the staging folder, for the final check.
    const std::vector<QByteArray> &links() const { return m_links; }

private:
    void checkCancel() const
    {
        if (m_limits.cancel && m_limits.cancel->load())
            refuse(QStringLiteral("cancelled"));
    }

    // The folder that holds the entry, made as needed; no component may be a link.
    int parentFolder(const QByteArrayList &parts, const QByteArray &name)
    {
        QByteArray parentPath;
        for (int i = 0; i + 1 < parts.size(); ++i)
            parentPath += parts[i] + '/';
        if (parentPath.isEmpty())
            return m_root.fd;
        if (m_cachedFd.fd >= 0 && parentPath == m_cachedPath)
            return m_cachedFd.fd;
        int at = m_root.fd;
        Fd current;
        for (int i = 0; i + 1 < parts.size(); ++i) {
            const char *part = parts[i].constData();
            if (::mkdirat(at, part, 0755) != 0 && errno != EEXIST)
                refuse(QStringLiteral("a folder cannot be made for %1").arg(shown(name)));
            // O_NOFOLLOW: a link where a folder is expected is refused, never written through.
            const int next = ::openat(at, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0)
                refuse(QStringLiteral("it writes through a link or a file, %1").arg(shown(name)));
            current.reset(next);
            at = next;
        }
        m_cachedPath = parentPath;
        m_cachedFd.reset(current.fd);
        current.fd = -1;
        return m_cachedFd.fd;
    }

    void makeFolder(int parent, const QByteArray &leaf, const QByteArray &name)
    {
        if (::mkdirat(parent, leaf.constData(), 0755) == 0)
            return;
        struct stat st;
        if (errno != EEXIST || ::fstatat(parent, leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode))
            refuse(QStringLiteral("a folder cannot be made for %1").arg(shown(name)));
    }

    void writeFile(archive *a, int parent, const QByteArray &leaf, const QByteArray &name,
                   mode_t perm, std::vector<char> &buffer, UnpackResult &result)
    {
        const mode_t mode = (perm & 0111) ? 0755 : 0644;
        Fd out(::openat(parent, leaf.constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (out.fd < 0)
            refuse(errno == EEXIST ? QStringLiteral("it holds %1 twice").arg(shown(name))
                                   : QStringLiteral("%1 cannot be written").arg(shown(name)));
        for (;;) {
            const la_ssize_t n = archive_read_data(a, buffer.data(), buffer.size());
            if (n < 0)
                refuse(QStringLiteral("it cannot be read (%1)")
                           .arg(QString::fromUtf8(archive_error_string(a))));
            if (n == 0)
                break;
            checkCancel();
            result.bytes += n;
            if (result.bytes > m_limits.maxBytes)
                refuse(QStringLiteral("it unpacks to more than %1 bytes").arg(m_limits.maxBytes));
            // The ratio over the whole archive, and over what has been read of it so far (past
            // a first MiB), so that a bomb is stopped early rather than at its end.
            const qint64 consumed = qMax<qint64>(archive_filter_bytes(a, -1), 1024 * 1024);
            if (result.bytes > m_limits.maxRatio * m_archiveBytes ||
                result.bytes > m_limits.maxRatio * consumed)
                refuse(QStringLiteral("it unpacks to more than %1 times its size")
                           .arg(m_limits.maxRatio));
            for (la_ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(out.fd, buffer.data() + done, size_t(n - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    refuse(QStringLiteral("%1 cannot be written (the disk may be full)")
                               .arg(shown(name)));
                done += w;
            }
        }
        ::fchmod(out.fd, mode); // the umask may have taken bits the pack needs
    }

    void makeLink(int parent, const QByteArrayList &parts, const char *rawTarget,
                  const QByteArray &name)
    {
        const QByteArray target(rawTarget ? rawTarget : "");
        if (target.isEmpty() || target.startsWith('/'))
            refuse(
                QStringLiteral("it holds a link that leads out of the pack, %1").arg(shown(name)));
        // Taken as written from the link's folder, the target must stay inside; where it
        // really leads, links followed, is checked once everything is in place.
        int depth = int(parts.size()) - 1;
        for (const QByteArray &part : target.split('/')) {
            if (part == "..")
                --depth;
            else if (!part.isEmpty() && part != ".")
                ++depth;
            if (depth < 0)
                refuse(QStringLiteral("it holds a link that leads out of the pack, %1")
                           .arg(shown(name)));
        }
        if (::symlinkat(target.constData(), parent, parts.last().constData()) != 0)
            refuse(errno == EEXIST ? QStringLiteral("it holds %1 twice").arg(shown(name))
                                   : QStringLiteral("the link %1 cannot be made").arg(shown(name)));
        m_links.push_back(parts.join('/'));
    }

    UnpackLimits m_limits;
    qint64 m_archiveBytes;
    Fd m_root;
    QByteArray m_cachedPath;
    Fd m_cachedFd;
    std::vector<QByteArray> m_links;
};

// A link must lead to something that exists inside the pack at @p realRoot.
void requireInside(const QString &realRoot, const QString &link, const QString &name)
{
    const QString where = platform::realLocation(link);
    if (where.isEmpty() || !platform::isWithin(where, realRoot) || !QFileInfo::exists(where))
        refuse(QStringLiteral("it holds a link that leads out of the pack or nowhere, %1")
                   .arg(name.left(200)));
}

struct ArchiveCloser
{
    void operator()(archive *a) const { archive_read_free(a); }
};

} // namespace

UnpackResult UnpackArchive(const QString &archivePath, const QString &staging,
                           const UnpackLimits &limits)
{
    UnpackResult result;
    std::vector<QByteArray> links;
    const QFileInfo archiveInfo(archivePath);
    if (!archiveInfo.isFile())
        throw AppError(QStringLiteral("The update archive %1 is missing").arg(archivePath));
    std::unique_ptr<archive, ArchiveCloser> a(archive_read_new());
    archive_read_support_format_zip(a.get());
    archive_read_support_format_tar(a.get());
    archive_read_support_format_7zip(a.get());
    archive_read_support_filter_gzip(a.get());
    archive_read_support_filter_xz(a.get());
    if (archive_read_open_filename(a.get(), QFile::encodeName(archivePath).constData(),
                                   BufferBytes) != ARCHIVE_OK)
        refuse(QStringLiteral("it cannot be read (%1)")
                   .arg(QString::fromUtf8(archive_error_string(a.get()))));
    try {
        Unpacker unpacker(staging, limits, archiveInfo.size());
        unpacker.run(a.get(), result);
        links = unpacker.links();
    } catch (...) {
        RemoveTree(staging);
        throw;
    }

    // One top-level folder and nothing else: that folder is the pack.
    const QDir dir(staging);
    const QFileInfoList top =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (top.size() == 1 && top.first().isDir() && !top.first().isSymLink() &&
        top.first().fileName().compare(QLatin1String("Options"), Qt::CaseInsensitive) != 0)
        result.root = top.first().absoluteFilePath() + QLatin1Char('/');
    else
        result.root = dir.absolutePath() + QLatin1Char('/');

    // Where each link really leads, with every link of the pack followed: inside the pack as
    // it will be once moved into place, not merely inside the staging folder around it.
    try {
        const QString realRoot = platform::realLocation(result.root);
        for (const QByteArray &link : links)
            requireInside(realRoot, staging + QLatin1Char('/') + QFile::decodeName(link),
                          shown(link));
    } catch (...) {
        RemoveTree(staging);
        throw;
    }
    return result;
}

void CheckFinalPlace(const QString &root, const QString &programName)
{
    const QByteArray program = QFile::encodeName(programName);
    const QDir dir(root);
    for (const QString &name : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                             QDir::NoDotAndDotDot)) {
        if (IsKeptName(QFile::encodeName(name), program))
            RemoveTree(root + name);
    }
    const QString realRoot = platform::realLocation(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isSymLink())
            requireInside(realRoot, path, path.mid(root.size()));
    }
}

} // namespace packupdate
