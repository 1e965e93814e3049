#pragma once

// Helpers shared by the snapshot store's reading and writing halves: error handling, owners of
// libgit2 objects and file handles, and tree look-ups.

#include "files/Error.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QFile>
#include <QString>

#include <git2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <time.h>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace history::detail {

inline QString gitMessage()
{
    const git_error *e = git_error_last();
    return e && e->message ? QString::fromUtf8(e->message) : QStringLiteral("unknown error");
}

[[noreturn]] inline void fail(const QString &what)
{
    throw AppError(what + QStringLiteral(": ") + gitMessage());
}

inline void check(int rc, const QString &what)
{
    if (rc < 0)
        fail(what);
}

[[noreturn]] inline void failErrno(const QString &what, const QByteArray &path)
{
    const int err = errno;
    throw AppError(QStringLiteral("%1 %2: %3")
                       .arg(what, QFile::decodeName(path), QString::fromLocal8Bit(strerror(err))));
}

struct TreeDeleter
{
    void operator()(git_tree *t) const { git_tree_free(t); }
};
struct CommitDeleter
{
    void operator()(git_commit *c) const { git_commit_free(c); }
};
struct BuilderDeleter
{
    void operator()(git_treebuilder *b) const { git_treebuilder_free(b); }
};
struct BlobDeleter
{
    void operator()(git_blob *b) const { git_blob_free(b); }
};
using TreePtr = std::unique_ptr<git_tree, TreeDeleter>;
using CommitPtr = std::unique_ptr<git_commit, CommitDeleter>;
using BuilderPtr = std::unique_ptr<git_treebuilder, BuilderDeleter>;
using BlobPtr = std::unique_ptr<git_blob, BlobDeleter>;

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

inline qint64 nanoseconds(const struct timespec &t)
{
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

inline qint64 nowNs()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return nanoseconds(t);
}

// The root entry of a snapshot that holds the options' descriptors and selection marks. No
// folder's key is spelt so: a '%' in a folder's entry is always written "%25".
inline constexpr char SelectionKey[] = "%selection";
// Git's tree without entries.
inline constexpr char EmptyTreeId[] = "4b825dc642cb6eb9a060e54bf8d69288fbee4904";

// The temporary a restore writes a file's content to before renaming it into place.
inline constexpr char RestoreTemporary[] = ".varimond-tmp-restore";

// Our own files and git's folder never enter a snapshot (and so are never touched by a restore).
inline bool isSkippedName(const char *name)
{
    return std::strncmp(name, ".varimond-", 10) == 0 || std::strcmp(name, ".git") == 0;
}

// Opens the folder at the absolute path @p path one name at a time from the root, following no
// link on the way: a named folder is resolved to its real location once, and any link put on
// that way since (a restored one, or one a script made) makes it fail with ELOOP or ENOTDIR
// rather than lead elsewhere. With @p create, missing folders are made. -1 with errno set.
inline int openFolderAt(const QByteArray &path, bool create)
{
    if (!path.startsWith('/')) {
        errno = EINVAL;
        return -1;
    }
    QByteArrayList names = path.split('/');
    names.removeAll(QByteArray());
    names.removeAll(QByteArray("."));
    // The folders on the way only need searching (O_PATH): one that may not be listed is fine.
    int fd = ::open("/", (names.isEmpty() ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC);
    for (qsizetype i = 0; i < names.size() && fd >= 0; ++i) {
        const char *name = names[i].constData();
        const int flags =
            (i + 1 == names.size() ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(fd, name, flags);
        if (next < 0 && errno == ENOENT && create && names[i] != ".." &&
            (::mkdirat(fd, name, 0777) == 0 || errno == EEXIST))
            next = ::openat(fd, name, flags);
        const int err = errno;
        ::close(fd);
        fd = next;
        errno = err;
    }
    return fd;
}

inline git_oid toOid(const QString &hex)
{
    git_oid oid;
    const QByteArray text = hex.toLatin1();
    if (text.size() != GIT_OID_HEXSZ || git_oid_fromstrn(&oid, text.constData(), text.size()) < 0)
        throw AppError(QStringLiteral("Snapshot %1 is not a valid id").arg(hex));
    return oid;
}

inline QString toHex(const git_oid &oid)
{
    char text[GIT_OID_HEXSZ + 1];
    git_oid_tostr(text, sizeof text, &oid);
    return QString::fromLatin1(text);
}

// The root tree of a snapshot, named by its commit id or by the id of the tree itself.
inline TreePtr rootTree(git_repository *repo, const QString &id)
{
    const git_oid oid = toOid(id);
    git_object *object = nullptr;
    check(git_object_lookup(&object, repo, &oid, GIT_OBJECT_ANY),
          QStringLiteral("Cannot read snapshot %1").arg(id));
    git_object *peeled = nullptr;
    const int rc = git_object_peel(&peeled, object, GIT_OBJECT_TREE);
    git_object_free(object);
    check(rc, QStringLiteral("Cannot read snapshot %1").arg(id));
    return TreePtr(reinterpret_cast<git_tree *>(peeled));
}

inline TreePtr subtree(git_repository *repo, const git_tree_entry *entry)
{
    if (!entry || git_tree_entry_type(entry) != GIT_OBJECT_TREE)
        return nullptr;
    git_tree *tree = nullptr;
    check(git_tree_lookup(&tree, repo, git_tree_entry_id(entry)),
          QStringLiteral("Cannot read a stored folder"));
    return TreePtr(tree);
}

// The names of both trees, in order, each once; names that are no file name are left out.
inline std::vector<std::string> unionOfNames(const git_tree *a, const git_tree *b)
{
    std::vector<std::string> names;
    for (const git_tree *t : {a, b}) {
        if (!t)
            continue;
        for (size_t i = 0; i < git_tree_entrycount(t); ++i) {
            const char *name = git_tree_entry_name(git_tree_entry_byindex(t, i));
            // A repository made by someone else may hold names no snapshot stores, which would
            // lead a restore out of its folder.
            if (*name && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
                !std::strchr(name, '/'))
                names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

inline const git_tree_entry *entryOf(const git_tree *tree, const std::string &name)
{
    return tree ? git_tree_entry_byname(tree, name.c_str()) : nullptr;
}

inline bool isTree(const git_tree_entry *e)
{
    return e && git_tree_entry_type(e) == GIT_OBJECT_TREE;
}

inline bool sameEntry(const git_tree_entry *a, const git_tree_entry *b)
{
    return a && b && git_tree_entry_filemode(a) == git_tree_entry_filemode(b) &&
           git_oid_equal(git_tree_entry_id(a), git_tree_entry_id(b));
}

} // namespace history::detail
