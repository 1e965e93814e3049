#include "files/TreeCopy.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform {

namespace {

bool copyFile(int fromDir, const char *name, int toDir, mode_t mode)
{
    const int in = ::openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st;
    const int out = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode)
                        ? ::openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   mode & 0777)
                        : -1;
    bool ok = out >= 0;
    std::vector<char> buffer(1 << 20);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            done += w;
        }
    }
    // The mode as it was, whatever the umask took away at the file's making; a file system
    // without modes of its own (FAT) refuses it, and the copy is no worse for that.
    if (ok)
        ::fchmod(out, mode & 0777);
    ok = ok && ::fsync(out) == 0;
    if (out >= 0)
        ok = ::close(out) == 0 && ok;
    ::close(in);
    return ok;
}

// Copies the entries of the open folder @p fromDir into the open folder @p toDir.
bool copyEntries(int fromDir, int toDir)
{
    const int listFd = ::dup(fromDir);
    DIR *dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        const dirent *e = ::readdir(dir);
        if (!e) {
            ok = errno == 0;
            break;
        }
        const char *name = e->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0)
            continue;
        struct stat st;
        if (::fstatat(fromDir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
        } else if (S_ISDIR(st.st_mode)) {
            const int from = ::openat(fromDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const int to = ::mkdirat(toDir, name, 0700) == 0
                               ? ::openat(toDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                               : -1;
            ok = from >= 0 && to >= 0 && copyEntries(from, to);
            if (ok)
                ::fchmod(to, st.st_mode & 0777);
            if (from >= 0)
                ::close(from);
            if (to >= 0)
                ::close(to);
        } else if (S_ISLNK(st.st_mode)) {
            QByteArray target(int(st.st_size) + 1, '\0');
            const ssize_t n = ::readlinkat(fromDir, name, target.data(), size_t(target.size()));
            ok = n >= 0 && n < target.size() &&
                 ::symlinkat(target.left(int(n)).constData(), toDir, name) == 0;
        } else if (S_ISREG(st.st_mode)) {
            ok = copyFile(fromDir, name, toDir, st.st_mode);
        }
    }
    ::closedir(dir);
    return ok;
}

} // namespace

bool copyTree(const QByteArray &from, const QByteArray &to)
{
    struct stat st;
    const int fromFd = ::open(from.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fromFd < 0 || ::fstat(fromFd, &st) != 0 || ::mkdir(to.constData(), 0700) != 0) {
        if (fromFd >= 0)
            ::close(fromFd);
        return false;
    }
    const int toFd = ::open(to.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = toFd >= 0 && copyEntries(fromFd, toFd);
    if (ok)
        ::fchmod(toFd, st.st_mode & 0777);
    ok = ok && ::fsync(toFd) == 0;
    if (toFd >= 0)
        ::close(toFd);
    ::close(fromFd);
    if (!ok)
        QDir(QFile::decodeName(to)).removeRecursively(); // a new folder of our own: no links followed
    return ok;
}

} // namespace platform
