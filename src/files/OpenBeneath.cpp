#include "files/OpenBeneath.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// Opens @p name in @p at without following a link; a link at the name fails with ELOOP, also
// where O_DIRECTORY answers it as "not a folder". Closes @p at unless it is @p keep.
int openComponent(int at, int keep, const std::string &name, int flags, mode_t mode)
{
    const int fd = name.empty() || name == "."
                       ? ::fcntl(at, F_DUPFD_CLOEXEC, 0)
                       : ::openat(at, name.c_str(), flags | O_NOFOLLOW, mode);
    int saved = errno;
    struct stat st = {};
    if (fd < 0 && saved == ENOTDIR && ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        saved = ELOOP;
    if (at != keep)
        ::close(at);
    errno = saved;
    return fd;
}

// The same walk one component at a time, each opened without following a link.
int openByComponents(int folder, const char *path, int flags, mode_t mode)
{
    if (path[0] == '/') {
        errno = EXDEV;
        return -1;
    }
    int at = folder;
    for (const char *begin = path;;) {
        const char *slash = std::strchr(begin, '/');
        const std::string name = slash ? std::string(begin, slash) : std::string(begin);
        if (name == "..") {
            if (at != folder)
                ::close(at);
            errno = EXDEV;
            return -1;
        }
        if (!slash)
            return openComponent(at, folder, name, flags, mode);
        at = openComponent(at, folder, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (at < 0)
            return -1;
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
