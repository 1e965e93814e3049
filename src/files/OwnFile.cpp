#include "files/OwnFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

class Descriptor final
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Q_DISABLE_COPY_MOVE(Descriptor)
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool writeAll(int fd, const char *p, qsizetype left)
{
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

void syncFolderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : path.left(slash);
    const Descriptor fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

} // namespace

int openOwnFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                                  O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

std::optional<QByteArray> readOwnFile(const QString &path, qint64 cap)
{
    const Descriptor fd(openOwnFile(path));
    if (fd.get() < 0)
        return std::nullopt;
    QByteArray data;
    qsizetype done = 0;
    while (true) {
        // Never more than one byte past the cap: a file that grows without end costs no more.
        if (done == data.size())
            data.resize(qsizetype(std::min<qint64>(cap + 1, std::max<qint64>(4096, 2 * done))));
        const ssize_t n = ::read(fd.get(), data.data() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        done += n;
        if (done > cap)
            return std::nullopt;
    }
    data.resize(done);
    return data;
}

QByteArray readOwnFileTail(const QString &path, qint64 maxBytes)
{
    const Descriptor fd(openOwnFile(path));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return {};
    const qint64 start = std::max<qint64>(0, qint64(st.st_size) - maxBytes);
    QByteArray data(qsizetype(std::min<qint64>(maxBytes, qint64(st.st_size))), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::pread(fd.get(), data.data() + done, size_t(data.size() - done), off_t(start + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    data.resize(done);
    return data;
}

bool writeOwnFile(const QString &path, QByteArrayView data, bool sync, bool executable)
{
    const QByteArray native = QFile::encodeName(path);
    QByteArray temp;
    int raw = -1;
    for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
        temp = native + ".part-" + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        raw = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     executable ? 0700 : 0600);
        if (raw < 0 && errno != EEXIST)
            return false;
    }
    const Descriptor fd(raw);
    bool ok = fd.get() >= 0 && writeAll(fd.get(), data.data(), data.size()) &&
              (!sync || ::fsync(fd.get()) == 0);
    ok = ok && ::rename(temp.constData(), native.constData()) == 0;
    if (!ok) {
        if (fd.get() >= 0)
            ::unlink(temp.constData());
        return false;
    }
    if (sync)
        syncFolderOf(native);
    return true;
}

bool makeOwnFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    if (!QDir().mkpath(clean))
        return false;
    const QByteArray native = QFile::encodeName(clean);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return (st.st_mode & 077) == 0 || ::chmod(native.constData(), 0700) == 0;
}

} // namespace platform
