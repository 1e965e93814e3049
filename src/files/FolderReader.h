#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

/// One entry of a folder listing. Its name lies in the listing's name buffer, followed by a NUL.
struct FolderEntry
{
    enum Kind : std::uint8_t { File, Folder, Other };

    std::uint32_t nameOffset = 0;
    std::uint32_t nameLength = 0;
    Kind kind = Other; // after following a symbolic link
    bool link = false;
    // The folder's identity, for a folder (link targets included).
    dev_t device = 0;
    ino_t inode = 0;
};

/// Reads folders at the cost of the system calls the job needs: a folder is opened relative to
/// its parent's open descriptor, listed in one pass over a reused buffer with the entry types
/// the listing gives (a stat only for a link or an entry of unknown type), and a file in it is
/// read whole into a reused buffer. Names are the bytes on disk.
///
/// Not shared between threads; each walk has its own reader.
class FolderReader final
{
public:
    FolderReader();
    FolderReader(const FolderReader &) = delete;
    FolderReader &operator=(const FolderReader &) = delete;

    /// Opens the folder @p name (a path when @p parent is AT_FDCWD) for listing, following a
    /// symbolic link. Returns -1 when it cannot be opened for reading.
    static int openFolder(int parent, const char *name);
    /// Opens the folder @p name only to reach its files by name: a folder that may be searched
    /// but not listed still gives its files to a caller that knows their names. -1 on failure.
    static int openForLookup(int parent, const char *name);
    static void closeFolder(int fd);

    /// The identity of the open folder @p fd.
    static bool identity(int fd, dev_t &device, ino_t &inode);

    /// Every entry of the open folder @p fd except "." and "..", in the order the file system
    /// gives them, into @p entries and @p names (both cleared first). @p device is the folder's
    /// own device, which its plain sub-folders share. False when the folder cannot be listed.
    bool list(int fd, dev_t device, std::vector<FolderEntry> &entries, std::string &names);

    /// The type of @p name in the open folder @p fd, following a link, as list() gives it.
    static FolderEntry::Kind kindOf(int fd, const char *name);

    /// Reads the file @p name of the open folder @p fd whole into the start of @p buffer, which
    /// only ever grows, so one buffer serves a whole walk; @p length receives the file's size.
    /// False when it cannot be opened or read, or holds more than @p maxSize bytes.
    static bool readFile(int fd, const char *name, std::vector<char> &buffer, std::size_t &length,
                         std::size_t maxSize);

private:
    std::vector<char> m_buffer; // raw directory records
};

} // namespace platform
