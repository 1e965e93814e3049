#include "files/OpenBeneath.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// The same walk one component at a time, each opened without following a link.
int openByComponents(int folder, const char *path, int flags, mode_t mode)
{
    if (path[0] == '/') {
        errno = EXDEV;
        return -1;
    }
    int at = folder;
    const char *begin = path;
    for (;;) {
        const char *slash = std::strchr(begin, '/');
        const std::string name = slash ? std::string(begin, slash) : std::string(begin);
        if (name == "..") {
            if (at != folder)
                ::close(at);
            errno = EXDEV;
            return -1;
        }
        if (!slash) {
            const int fd = ::openat(at, name.c_str(), flags | O_NOFOLLOW, mode);
            int saved = errno;
            struct stat st = {};
            if (fd < 0 && saved == ENOTDIR &&
                ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                saved = ELOOP;
            if (at != folder)
                ::close(at);
            errno = saved;
            return fd;
        }
        const int next = name.empty() || name == "."
                             ? ::fcntl(at, F_DUPFD_CLOEXEC, 0)
                             : ::openat(at, name.c_str(),
                                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        // O_DIRECTORY answers a link at the name as "not a folder": tell the two apart.
        struct stat st = {};
        if (next < 0 && saved == ENOTDIR &&
            ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            saved = ELOOP;
        if (at != folder)
            ::close(at);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        at = next;
        begin = slash + 1;
    }
}

} // namespace

int openBeneath(int folder, const char *path, int flags, mode_t mode)
{
#ifdef SYS_openat2
    static std::atomic<bool> unsupported{false};
    if (!unsupported.load(std::memory_order_relaxed)) {
        open_how how = {};
        how.flags = static_cast<unsigned long long>(flags);
        how.mode = (flags & O_CREAT) != 0 ? mode : 0;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, folder, path, &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS)
            return static_cast<int>(fd);
        unsupported.store(true, std::memory_order_relaxed);
    }
#endif
    return openByComponents(folder, path, flags, mode);
}

} // namespace platform
