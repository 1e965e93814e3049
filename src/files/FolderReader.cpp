#include "files/FolderReader.h"
#include "files/LinuxDirent.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// Large enough that a folder of a few hundred entries comes in one call.
constexpr std::size_t ListingBufferSize = 32 * 1024;
constexpr std::size_t FirstFileBufferSize = 16 * 1024;

FolderEntry::Kind kindOfMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return FolderEntry::Folder;
    if (S_ISREG(mode))
        return FolderEntry::File;
    return FolderEntry::Other;
}

} // namespace

FolderReader::FolderReader() : m_buffer(ListingBufferSize) {}

int FolderReader::openFolder(int parent, const char *name)
{
    int fd;
    do {
        fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int FolderReader::openForLookup(int parent, const char *name)
{
    return ::openat(parent, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void FolderReader::closeFolder(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

bool FolderReader::identity(int fd, dev_t &device, ino_t &inode)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return false;
    device = st.st_dev;
    inode = st.st_ino;
    return true;
}

FolderEntry::Kind FolderReader::kindOf(int fd, const char *name)
{
    struct stat st
    {
    };
    if (::fstatat(fd, name, &st, 0) != 0)
        return FolderEntry::Other;
    return kindOfMode(st.st_mode);
}

bool FolderReader::list(int fd, dev_t device, std::vector<FolderEntry> &entries, std::string &names)
{
    entries.clear();
    names.clear();
    for (;;) {
        const ssize_t got = ::getdents64(fd, m_buffer.data(), m_buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return true;
        for (ssize_t at = 0; at < got;) {
            const auto *d = reinterpret_cast<const LinuxDirent64 *>(m_buffer.data() + at);
            at += d->d_reclen;
            const char *name = d->d_name;
            const std::size_t length = std::strlen(name);
            if (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')))
                continue;
            FolderEntry e;
            e.nameOffset = static_cast<std::uint32_t>(names.size());
            e.nameLength = static_cast<std::uint32_t>(length);
            unsigned char type = d->d_type;
            struct stat st
            {
            };
            if (type == DT_UNKNOWN) {
                // Some file systems give no types: one look, which also tells a link.
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    type = DT_UNKNOWN;
                else if (S_ISLNK(st.st_mode))
                    type = DT_LNK;
                else if (S_ISDIR(st.st_mode))
                    type = DT_DIR;
                else if (S_ISREG(st.st_mode))
                    type = DT_REG;
            }
            switch (type) {
            case DT_DIR:
                e.kind = FolderEntry::Folder;
                e.device = device;
                e.inode = d->d_ino;
                break;
            case DT_REG:
                e.kind = FolderEntry::File;
                break;
            case DT_LNK:
                // What a link names decides what it is; a dangling link is neither.
                e.link = true;
                if (::fstatat(fd, name, &st, 0) == 0) {
                    e.kind = kindOfMode(st.st_mode);
                    e.device = st.st_dev;
                    e.inode = st.st_ino;
                }
                break;
            default:
                break;
            }
            names.append(name, length + 1); // each name keeps its NUL for the calls that take it
            entries.push_back(e);
        }
    }
}

bool FolderReader::readFile(int fd, const char *name, std::vector<char> &buffer,
                            std::size_t &length, std::size_t maxSize)
{
    length = 0;
    int file;
    do {
        file = ::openat(fd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (file < 0 && errno == EINTR);
    if (file < 0)
        return false;
    if (buffer.size() < FirstFileBufferSize)
        buffer.resize(FirstFileBufferSize);
    bool ok = true;
    for (;;) {
        if (length == buffer.size())
            buffer.resize(buffer.size() * 2);
        const ssize_t got = ::read(file, buffer.data() + length, buffer.size() - length);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (got == 0)
            break;
        length += static_cast<std::size_t>(got);
        if (length > maxSize) {
            ok = false;
            break;
        }
    }
    ::close(file);
    if (!ok)
        length = 0;
    return ok;
}

} // namespace platform
