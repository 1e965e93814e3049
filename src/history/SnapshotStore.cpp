#include "history/SnapshotStore.h"

#include "history/SnapshotGit.h"
#include "platform/Error.h"
#include "platform/IniView.h"
#include "platform/OwnFile.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <git2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <strings.h>
#include <time.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace history {

using namespace detail;

namespace {

// Deeper folders than this are not snapshotted: no interface folder comes near it, and a loop
// of bind mounts or a hostile tree would otherwise run the walk out of file handles.
constexpr int MaxDepth = 200;
// Files up to this size are read whole; larger ones are streamed into the store, so that a
// snapshot's memory stays bounded whatever the files' sizes.
constexpr qint64 WholeReadLimit = 8 * 1024 * 1024;
constexpr size_t StreamChunk = 1 << 20;
constexpr quint32 CacheVersion = 2;

struct LibGit
{
    LibGit()
    {
        git_libgit2_init();
        // Every object a tree names is written or checked by the walk itself.
        git_libgit2_opts(GIT_OPT_ENABLE_STRICT_OBJECT_CREATION, 0);
        // The history is the program's own: the user's git configuration (which may be
        // unreadable, or change how names are checked) plays no part in it.
        for (const git_config_level_t level :
             {GIT_CONFIG_LEVEL_SYSTEM, GIT_CONFIG_LEVEL_XDG, GIT_CONFIG_LEVEL_GLOBAL,
              GIT_CONFIG_LEVEL_PROGRAMDATA})
            git_libgit2_opts(GIT_OPT_SET_SEARCH_PATH, level, "");
    }
    ~LibGit() { git_libgit2_shutdown(); }
};

void ensureLibGit()
{
    static LibGit lib;
}

// Every file below a stored folder (or the one file), as changes of @p kind.
void listFiles(git_repository *repo, const git_tree_entry *entry, const QString &path,
               FileChange::Kind kind, std::vector<FileChange> &out)
{
    if (!isTree(entry)) {
        out.push_back({kind, path});
        return;
    }
    TreePtr tree = subtree(repo, entry);
    for (size_t i = 0; i < git_tree_entrycount(tree.get()); ++i) {
        const git_tree_entry *child = git_tree_entry_byindex(tree.get(), i);
        listFiles(repo, child,
                  path + QLatin1Char('/') + QString::fromUtf8(git_tree_entry_name(child)), kind,
                  out);
    }
}

void diffTrees(git_repository *repo, const git_tree *a, const git_tree *b, const QString &prefix,
               std::vector<FileChange> &out)
{
    for (const std::string &name : unionOfNames(a, b)) {
        const git_tree_entry *ea = entryOf(a, name);
        const git_tree_entry *eb = entryOf(b, name);
        if (sameEntry(ea, eb))
            continue;
        const QString path = prefix + QString::fromUtf8(name.c_str());
        if (isTree(ea) && isTree(eb)) {
            TreePtr ta = subtree(repo, ea);
            TreePtr tb = subtree(repo, eb);
            diffTrees(repo, ta.get(), tb.get(), path + QLatin1Char('/'), out);
        } else if (ea && eb && !isTree(ea) && !isTree(eb)) {
            out.push_back({FileChange::Changed, path});
        } else {
            if (ea)
                listFiles(repo, ea, path, FileChange::Removed, out);
            if (eb)
                listFiles(repo, eb, path, FileChange::Added, out);
        }
    }
}

} // namespace

// One snapshot's walk over the named folders: reads folders through handles opened without
// following links, so a link inside a folder is stored as a link and never entered. What cannot
// be read, lies too deep or has a name the store refuses is left out and listed; the snapshot
// goes on without it.
class SnapshotStore::Walk
{
public:
    /// @p marksOnly: only the options' descriptors and selection marks are taken (options.ini
    /// and Selected.ini, any case), folders without any are left out, links are skipped.
    Walk(SnapshotStore &store, git_odb *odb, QString shownRoot, bool marksOnly = false)
        : m_store(store), m_odb(odb), m_shownRoot(std::move(shownRoot)), m_marksOnly(marksOnly)
    {
        git_oid_fromstr(&m_emptyTree, EmptyTreeId);
    }

    /// The tree of the open folder @p dirfd, or nothing when it cannot be listed (then it is
    /// listed as not recorded). @p unchanged tells whether it is the tree the last snapshot
    /// stored for this folder: then no tree is built, as git's cache of trees spares it.
    std::optional<git_oid> folder(int dirfd, const QByteArray &path, const QByteArray &rel,
                                  int depth, bool *unchanged)
    {
        *unchanged = false;
        struct stat self;
        if (::fstat(dirfd, &self) != 0)
            return skip(rel, strerror(errno));

        const int listFd = ::dup(dirfd);
        DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (!dir) {
            const int err = errno;
            if (listFd >= 0)
                ::close(listFd);
            return skip(rel, strerror(err));
        }
        std::unique_ptr<DIR, int (*)(DIR *)> dirOwner(dir, ::closedir);
        struct Item
        {
            std::string name;
            git_oid oid;
            git_filemode_t mode;
        };
        std::vector<Item> items;
        bool allKnown = true; // every entry is as the last snapshot stored it
        while (true) {
            errno = 0;
            const dirent *ent = ::readdir(dir);
            if (!ent) {
                if (errno != 0)
                    return skip(rel, strerror(errno));
                break;
            }
            const char *name = ent->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (isSkippedName(name)) {
                // A restore's temporary that a killed run left behind; nothing else writes it
                // while the history's lock is held.
                struct stat st;
                if (std::strcmp(name, RestoreTemporary) == 0 &&
                    ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                    ::unlinkat(dirfd, name, 0);
                continue;
            }
            const QByteArray childPath = path + '/' + name;
            const QByteArray childRel = rel.isEmpty() ? QByteArray(name) : rel + '/' + name;
            struct stat st;
            if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) // else gone since the listing
                    skip(childRel, strerror(errno));
                allKnown = false;
                continue;
            }
            if (m_marksOnly && !S_ISDIR(st.st_mode) && !(S_ISREG(st.st_mode) && isMark(name)))
                continue;
            Item item{name, {}, GIT_FILEMODE_BLOB};
            bool known = false;
            std::optional<git_oid> oid;
            if (S_ISDIR(st.st_mode)) {
                if (depth + 1 > MaxDepth) {
                    skip(childRel, "nested too deeply");
                } else {
                    Fd sub(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                    if (sub.get() < 0)
                        skip(childRel, strerror(errno));
                    else
                        oid = folder(sub.get(), childPath, childRel, depth + 1, &known);
                }
                item.mode = GIT_FILEMODE_TREE;
            } else if (S_ISREG(st.st_mode)) {
                oid = file(dirfd, name, childPath, childRel, st, &known);
                item.mode =
                    (st.st_mode & S_IXUSR) ? GIT_FILEMODE_BLOB_EXECUTABLE : GIT_FILEMODE_BLOB;
            } else if (S_ISLNK(st.st_mode)) {
                oid = link(dirfd, name, childPath, childRel);
                item.mode = GIT_FILEMODE_LINK;
            } else {
                continue; // sockets, pipes and devices are no interface files
            }
            if (!oid) {
                allKnown = false;
                continue;
            }
            allKnown = allKnown && known;
            if (m_marksOnly && item.mode == GIT_FILEMODE_TREE && git_oid_equal(&*oid, &m_emptyTree))
                continue; // an option folder without marks
            item.oid = *oid;
            items.push_back(std::move(item));
        }

        // The folder's own entry: its times change when entries are added, removed or renamed.
        // Marks-only trees of a folder are cached apart from its full tree.
        const QByteArray key = (m_marksOnly ? "marks:" + path : path) + '/';
        CacheEntry *cached = nullptr;
        git_oid old;
        const auto it = m_store.m_cache.find(key);
        if (it != m_store.m_cache.end() && it->oid.size() == GIT_OID_RAWSZ &&
            git_oid_fromraw(&old, reinterpret_cast<const unsigned char *>(it->oid.constData())) ==
                0)
            cached = &*it;
        if (cached && allKnown && cached->dev == quint64(self.st_dev) &&
            cached->ino == quint64(self.st_ino) && cached->mtime == nanoseconds(self.st_mtim) &&
            cached->ctime == nanoseconds(self.st_ctim)) {
            cached->seen = m_store.m_generation;
            *unchanged = true;
            return old;
        }

        git_treebuilder *raw = nullptr;
        check(git_treebuilder_new(&raw, m_store.m_repo, nullptr),
              QStringLiteral("Cannot build a snapshot"));
        BuilderPtr builder(raw);
        bool refused = false;
        for (const Item &item : items) {
            // Names git keeps for itself in any spelling (".GIT", "GIT~1", ".git."): the store
            // cannot hold them.
            if (git_treebuilder_insert(nullptr, builder.get(), item.name.c_str(), &item.oid,
                                       item.mode) < 0) {
                skip(rel.isEmpty() ? QByteArray(item.name.c_str()) : rel + '/' + item.name.c_str(),
                     "a name the history cannot store");
                refused = true;
            }
        }
        git_oid tree;
        check(git_treebuilder_write(&tree, builder.get()),
              QStringLiteral("Cannot store %1").arg(QFile::decodeName(path)));
        *unchanged = cached && git_oid_equal(&old, &tree);
        if (!refused) {
            m_store.m_cache.insert(key, entryFor(self, tree));
            m_store.m_cacheDirty = true;
        }
        return tree;
    }

private:
    std::nullopt_t skip(const QByteArray &rel, const char *why)
    {
        m_store.m_unrecorded.append(
            QStringLiteral("%1/%2 (%3)")
                .arg(m_shownRoot, QFile::decodeName(rel), QString::fromLocal8Bit(why)));
        return std::nullopt;
    }

    CacheEntry entryFor(const struct stat &st, const git_oid &oid) const
    {
        CacheEntry entry;
        entry.dev = quint64(st.st_dev);
        entry.ino = quint64(st.st_ino);
        entry.size = quint64(st.st_size);
        entry.mtime = nanoseconds(st.st_mtim);
        entry.ctime = nanoseconds(st.st_ctim);
        entry.mode = quint32(st.st_mode);
        entry.oid = QByteArray(reinterpret_cast<const char *>(oid.id), GIT_OID_RAWSZ);
        entry.seen = m_store.m_generation;
        return entry;
    }

    std::optional<git_oid> file(int dirfd, const char *name, const QByteArray &path,
                                const QByteArray &rel, const struct stat &st, bool *known)
    {
        *known = false;
        const auto cached = m_store.m_cache.find(path);
        if (cached != m_store.m_cache.end()) {
            CacheEntry &c = *cached;
            git_oid oid;
            if (c.dev == quint64(st.st_dev) && c.ino == quint64(st.st_ino) &&
                c.size == quint64(st.st_size) && c.mtime == nanoseconds(st.st_mtim) &&
                c.ctime == nanoseconds(st.st_ctim) && c.mode == quint32(st.st_mode) &&
                c.oid.size() == GIT_OID_RAWSZ &&
                git_oid_fromraw(&oid, reinterpret_cast<const unsigned char *>(c.oid.constData())) ==
                    0) {
                // The cache lives inside the repository and objects are never removed from it,
                // so an object the cache names is there, as git trusts its index.
                c.seen = m_store.m_generation;
                *known = true;
                return oid;
            }
        }
        Fd fd(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (fd.get() < 0)
            return skip(rel, strerror(errno));
        struct stat now;
        if (::fstat(fd.get(), &now) != 0)
            return skip(rel, strerror(errno));
        if (!S_ISREG(now.st_mode))
            return skip(rel, "not a regular file");
        git_oid oid;
        if (now.st_size <= WholeReadLimit) {
            QByteArray data;
            data.resize(qsizetype(now.st_size));
            qsizetype done = 0;
            while (true) {
                if (done == data.size())
                    data.resize(data.size() + 65536);
                const ssize_t n = ::read(fd.get(), data.data() + done, size_t(data.size() - done));
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return skip(rel, strerror(errno));
                }
                if (n == 0)
                    break;
                done += n;
            }
            check(git_odb_write(&oid, m_odb, data.constData(), size_t(done), GIT_OBJECT_BLOB),
                  QStringLiteral("Cannot store %1").arg(QFile::decodeName(path)));
        } else {
            git_odb_stream *stream = nullptr;
            check(git_odb_open_wstream(&stream, m_odb, git_object_size_t(now.st_size),
                                       GIT_OBJECT_BLOB),
                  QStringLiteral("Cannot store %1").arg(QFile::decodeName(path)));
            std::unique_ptr<git_odb_stream, void (*)(git_odb_stream *)> owner(stream,
                                                                              git_odb_stream_free);
            std::vector<char> buffer(StreamChunk);
            qint64 left = now.st_size;
            while (left > 0) {
                const ssize_t n = ::read(fd.get(), buffer.data(),
                                         size_t(std::min<qint64>(left, qint64(buffer.size()))));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return skip(rel, strerror(errno));
                if (n == 0)
                    return skip(rel, "changed while it was read");
                check(git_odb_stream_write(stream, buffer.data(), size_t(n)),
                      QStringLiteral("Cannot store %1").arg(QFile::decodeName(path)));
                left -= n;
            }
            check(git_odb_stream_finalize_write(&oid, stream),
                  QStringLiteral("Cannot store %1").arg(QFile::decodeName(path)));
        }
        m_store.m_cache.insert(path, entryFor(now, oid));
        m_store.m_cacheDirty = true;
        return oid;
    }

    std::optional<git_oid> link(int dirfd, const char *name, const QByteArray &path,
                                const QByteArray &rel)
    {
        QByteArray target(4096, Qt::Uninitialized);
        const ssize_t n = ::readlinkat(dirfd, name, target.data(), size_t(target.size()));
        if (n < 0)
            return skip(rel, strerror(errno));
        git_oid oid;
        check(git_odb_write(&oid, m_odb, target.constData(), size_t(n), GIT_OBJECT_BLOB),
              QStringLiteral("Cannot store %1").arg(QFile::decodeName(path)));
        return oid;
    }

    static bool isMark(const char *name)
    {
        return strcasecmp(name, "options.ini") == 0 || strcasecmp(name, "Selected.ini") == 0;
    }

    SnapshotStore &m_store;
    git_odb *m_odb;
    QString m_shownRoot;
    bool m_marksOnly;
    git_oid m_emptyTree;
};

namespace {

// How long a snapshot waits for another Varimond working in the same history.
constexpr qint64 LockWaitNs = 20'000'000'000;

bool endsWith(const char *name, const char *suffix)
{
    const size_t n = std::strlen(name), s = std::strlen(suffix);
    return n > s && std::strcmp(name + n - s, suffix) == 0;
}

// Removes below the open folder @p dirfd every regular file @p leftover names, into sub-folders
// down to @p depth levels; links are never followed.
void removeLeftovers(int dirfd, int depth, bool (*leftover)(const char *))
{
    const int listFd = ::dup(dirfd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> owner(dir, ::closedir);
    std::vector<std::string> remove, folders;
    while (const dirent *ent = ::readdir(dir)) {
        const char *name = ent->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        // Only names that matter are looked at: the objects folder holds hundreds of folders.
        const bool match = leftover(name);
        const bool mayBeFolder = depth > 0 && (ent->d_type == DT_DIR || ent->d_type == DT_UNKNOWN);
        struct stat st;
        if ((!match && !mayBeFolder) || ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode) && match)
            remove.emplace_back(name);
        else if (S_ISDIR(st.st_mode) && depth > 0)
            folders.emplace_back(name);
    }
    for (const std::string &name : remove)
        ::unlinkat(dirfd, name.c_str(), 0);
    for (const std::string &name : folders) {
        Fd sub(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.get() >= 0)
            removeLeftovers(sub.get(), depth - 1, leftover);
    }
}

bool isLockFile(const char *name)
{
    return endsWith(name, ".lock");
}

// Lock files, and the temporary of a cache write that a kill cut short.
bool isTopLeftover(const char *name)
{
    return isLockFile(name) || std::strncmp(name, "varimond-statcache.part-", 24) == 0;
}

bool isTemporaryObject(const char *name)
{
    return std::strncmp(name, "tmp_object_git2_", 16) == 0 ||
           std::strncmp(name, "tmp_pack_", 9) == 0 || std::strncmp(name, "tmp_idx_", 8) == 0;
}

} // namespace

void SnapshotStore::lock() const
{
    const QByteArray path = QFile::encodeName(m_path + QStringLiteral(".lock"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        failErrno(QStringLiteral("Cannot lock the history:"), path);
    const qint64 deadline = nowNs() + LockWaitNs;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if ((err != EWOULDBLOCK && err != EINTR) || nowNs() > deadline) {
            ::close(fd);
            if (err != EWOULDBLOCK && err != EINTR) {
                errno = err;
                failErrno(QStringLiteral("Cannot lock the history:"), path);
            }
            throw AppError(QStringLiteral("The history in %1 is in use by another Varimond; try "
                                          "again when it has finished")
                               .arg(QDir::toNativeSeparators(m_path)));
        }
        ::usleep(20'000);
    }
    m_lockFd = fd;

    // No one else writes in the repository now: lock files of references, the reflog and the
    // configuration, and objects half written, are what a killed run left behind. Each would
    // stop every later snapshot ("failed to lock file") or take disk space for good.
    const QByteArray repo = QFile::encodeName(m_path);
    Fd root(::open(repo.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.get() < 0)
        return;
    removeLeftovers(root.get(), 0, isTopLeftover);
    for (const char *sub : {"refs", "logs"}) {
        Fd fd(::openat(root.get(), sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() >= 0)
            removeLeftovers(fd.get(), 16, isLockFile);
    }
    Fd objects(::openat(root.get(), "objects", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (objects.get() >= 0)
        removeLeftovers(objects.get(), 0, isTemporaryObject); // libgit2 writes them there
}

void SnapshotStore::unlock() const
{
    if (m_lockFd >= 0)
        ::close(m_lockFd); // releases the lock
    m_lockFd = -1;
}

SnapshotStore::SnapshotStore(QString repoPath, qint64 trustAfterNs)
    : m_path(std::move(repoPath)), m_racyWindowNs(trustAfterNs)
{
    ensureLibGit();
    while (m_path.endsWith(QLatin1Char('/')) && m_path.size() > 1)
        m_path.chop(1);
}

SnapshotStore::~SnapshotStore()
{
    close();
}

void SnapshotStore::close()
{
    if (m_repo)
        git_repository_free(m_repo);
    m_repo = nullptr;
}

QString SnapshotStore::cachePath() const
{
    return m_path + QStringLiteral("/varimond-statcache");
}

void SnapshotStore::openOrCreate()
{
    const QByteArray path = QFile::encodeName(m_path);
    if (QFileInfo::exists(m_path)) {
        if (git_repository_open_bare(&m_repo, path.constData()) < 0)
            m_repo = nullptr;
        return;
    }
    check(git_repository_init(&m_repo, path.constData(), 1),
          QStringLiteral("Cannot create the history in %1").arg(m_path));
}

bool SnapshotStore::healthy() const
{
    if (!m_repo)
        return false;
    git_oid head;
    const int rc = git_reference_name_to_id(&head, m_repo, "HEAD");
    if (rc == GIT_ENOTFOUND || rc == GIT_EUNBORNBRANCH)
        return true; // nothing committed yet
    if (rc < 0)
        return false;
    git_commit *commit = nullptr;
    if (git_commit_lookup(&commit, m_repo, &head) < 0)
        return false;
    CommitPtr owner(commit);
    git_tree *tree = nullptr;
    if (git_commit_tree(&tree, commit) < 0)
        return false;
    git_tree_free(tree);
    return true;
}

QString SnapshotStore::moveAside()
{
    close();
    m_cache.clear();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = m_path + QStringLiteral(".broken-") + stamp;
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = m_path + QStringLiteral(".broken-") + stamp + QLatin1Char('-') + QString::number(n);
    if (::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(aside).constData()) != 0)
        failErrno(QStringLiteral("Cannot move the damaged history aside:"),
                  QFile::encodeName(m_path));
    openOrCreate();
    if (!m_repo)
        fail(QStringLiteral("Cannot create the history in %1").arg(m_path));
    return QStringLiteral("The history in %1 was damaged; it was moved to %2 and a new one started")
        .arg(QDir::toNativeSeparators(m_path), QFileInfo(aside).fileName());
}

QString SnapshotStore::open()
{
    const Locked lock(*this);
    return openLocked();
}

QString SnapshotStore::openLocked()
{
    close();
    m_cache.clear();
    openOrCreate();
    QString notice;
    if (!healthy() || holdsLinks())
        notice = moveAside();
    loadCache();
    return notice;
}

namespace {

// Whether the open folder @p dirfd holds a symbolic link, down to @p depth levels of folders.
bool anyLink(int dirfd, int depth)
{
    const int listFd = ::dup(dirfd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return false;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> owner(dir, ::closedir);
    while (const dirent *ent = ::readdir(dir)) {
        const char *name = ent->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        unsigned char type = ent->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_LNK)
            return true;
        if (type == DT_DIR && depth > 0) {
            Fd sub(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.get() >= 0 && anyLink(sub.get(), depth - 1))
                return true;
        }
    }
    return false;
}

} // namespace

// The repository is the program's own and holds no links; one that does (a pack may bring a
// ".varimond-history" of its making) would lead libgit2's writes out of it.
bool SnapshotStore::holdsLinks() const
{
    const QByteArray repo = QFile::encodeName(m_path);
    struct stat st;
    if (::lstat(repo.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        return true;
    Fd root(::open(repo.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return root.get() >= 0 && anyLink(root.get(), 4);
}

void SnapshotStore::loadCache()
{
    m_cache.clear();
    const std::optional<QByteArray> read = platform::readOwnFile(cachePath(), 512 * 1024 * 1024);
    if (!read)
        return;
    const QByteArray &data = *read;
    // The last 20 bytes are a digest of the rest: a cache torn by a crash is not used.
    if (data.size() < 28 || QCryptographicHash::hash(QByteArrayView(data).chopped(20),
                                                     QCryptographicHash::Sha1) != data.right(20))
        return;
    QDataStream in(data.left(data.size() - 20));
    quint32 version = 0;
    quint32 count = 0;
    in >> version >> count;
    if (version != CacheVersion)
        return;
    m_cache.reserve(qsizetype(std::min<quint32>(count, 1u << 22)));
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QByteArray key;
        CacheEntry e;
        in >> key >> e.dev >> e.ino >> e.size >> e.mtime >> e.ctime >> e.mode >> e.oid;
        if (in.status() == QDataStream::Ok)
            m_cache.insert(key, e);
    }
    if (in.status() != QDataStream::Ok)
        m_cache.clear(); // a damaged cache only costs one full read
}

void SnapshotStore::saveCache(qint64 snapshotStartNs)
{
    // Files gone since are forgotten; files changed this recently are read again next time,
    // also within this run.
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        if (it->seen != m_generation || it->mtime >= snapshotStartNs - m_racyWindowNs ||
            it->ctime >= snapshotStartNs - m_racyWindowNs) {
            it = m_cache.erase(it);
            m_cacheDirty = true;
        } else {
            ++it;
        }
    }
    if (!m_cacheDirty)
        return;
    m_cacheDirty = false;

    QByteArray data;
    data.reserve(m_cache.size() * 128);
    {
        QDataStream out(&data, QIODevice::WriteOnly);
        out << CacheVersion << quint32(m_cache.size());
        for (auto it = m_cache.cbegin(); it != m_cache.cend(); ++it) {
            const CacheEntry &e = *it;
            out << it.key() << e.dev << e.ino << e.size << e.mtime << e.ctime << e.mode << e.oid;
        }
    }
    data += QCryptographicHash::hash(data, QCryptographicHash::Sha1);
    // Replaced whole without a sync: the digest makes a torn write harmless, and a lost cache
    // only costs one full read.
    platform::writeOwnFile(cachePath(), data);
}

QString SnapshotStore::writeTree(const std::vector<NamedFolder> &folders, QString *notice)
{
    const Locked lock(*this);
    if (!m_repo || !healthy()) {
        const QString text = m_repo ? moveAside() : openLocked();
        if (notice)
            *notice = text;
        if (!m_repo)
            throw AppError(QStringLiteral("Cannot open the history in %1").arg(m_path));
    }
    const qint64 start = nowNs();
    ++m_generation;
    m_unrecorded.clear();
    git_odb *odb = nullptr;
    check(git_repository_odb(&odb, m_repo), QStringLiteral("Cannot open the history"));
    std::unique_ptr<git_odb, void (*)(git_odb *)> odbOwner(odb, git_odb_free);

    git_treebuilder *raw = nullptr;
    check(git_treebuilder_new(&raw, m_repo, nullptr), QStringLiteral("Cannot build a snapshot"));
    BuilderPtr root(raw);
    for (const NamedFolder &folder : folders) {
        if (!folder.usable())
            continue;
        Walk walk(*this, odb, folder.displayName());
        std::optional<git_oid> oid;
        // Checked again now: a link put on the folder's way since it was named leaves it out
        // rather than lead the snapshot elsewhere.
        Fd fd(openFolderAt(folder.path, false));
        if (fd.get() < 0) {
            if (errno == ELOOP || errno == ENOTDIR) {
                m_unrecorded.append(QStringLiteral("%1 (no longer at %2: a link leads elsewhere)")
                                        .arg(folder.displayName(), QFile::decodeName(folder.path)));
                continue;
            }
            if (errno != ENOENT) {
                // Left out of this snapshot altogether, so that no restore takes it for empty.
                m_unrecorded.append(QStringLiteral("%1 (%2)").arg(
                    folder.displayName(), QString::fromLocal8Bit(strerror(errno))));
                continue;
            }
            // A missing folder is stored empty.
            git_treebuilder *empty = nullptr;
            check(git_treebuilder_new(&empty, m_repo, nullptr),
                  QStringLiteral("Cannot build a snapshot"));
            BuilderPtr emptyOwner(empty);
            git_oid emptyId;
            check(git_treebuilder_write(&emptyId, empty),
                  QStringLiteral("Cannot build a snapshot"));
            oid = emptyId;
        } else {
            bool unchanged = false;
            oid = walk.folder(fd.get(), folder.path, QByteArray(), 0, &unchanged);
            if (!oid)
                continue;
        }
        check(git_treebuilder_insert(nullptr, root.get(), folder.key.toUtf8().constData(), &*oid,
                                     GIT_FILEMODE_TREE),
              QStringLiteral("Cannot store %1").arg(folder.entry));
    }
    if (!m_selectionRoot.isEmpty()) {
        Fd fd(::open(m_selectionRoot.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        bool unchanged = false;
        Walk walk(*this, odb, QStringLiteral("Options"), true);
        const std::optional<git_oid> oid =
            fd.get() < 0 ? std::nullopt
                         : walk.folder(fd.get(), m_selectionRoot, QByteArray(), 0, &unchanged);
        if (oid)
            check(
                git_treebuilder_insert(nullptr, root.get(), SelectionKey, &*oid, GIT_FILEMODE_TREE),
                QStringLiteral("Cannot store the selection"));
    }
    git_oid treeId;
    check(git_treebuilder_write(&treeId, root.get()), QStringLiteral("Cannot build a snapshot"));
    saveCache(start);
    return toHex(treeId);
}

QString SnapshotStore::commit(const QString &treeId, const QString &message)
{
    const Locked lock(*this);
    if (!m_repo)
        throw AppError(QStringLiteral("The history is not open"));
    TreePtr tree = rootTree(m_repo, treeId);
    CommitPtr parent;
    git_oid head;
    if (git_reference_name_to_id(&head, m_repo, "HEAD") == 0) {
        git_commit *p = nullptr;
        check(git_commit_lookup(&p, m_repo, &head),
              QStringLiteral("Cannot read the latest snapshot"));
        parent.reset(p);
    }
    git_signature *sig = nullptr;
    check(git_signature_now(&sig, "Varimond", "varimond@localhost"),
          QStringLiteral("Cannot commit"));
    std::unique_ptr<git_signature, void (*)(git_signature *)> sigOwner(sig, git_signature_free);
    const git_commit *parents[1] = {parent.get()};
    git_oid commitId;
    const QByteArray text = message.toUtf8();
    check(git_commit_create(&commitId, m_repo, "HEAD", sig, sig, "UTF-8", text.constData(),
                            tree.get(), parent ? 1 : 0, parents),
          QStringLiteral("Cannot commit the snapshot"));
    return toHex(commitId);
}

QString SnapshotStore::snapshot(const std::vector<NamedFolder> &folders, const QString &message,
                                QString *notice)
{
    const Locked lock(*this);
    return commit(writeTree(folders, notice), message);
}

bool SnapshotStore::hasSnapshot(const QString &id) const
{
    if (!m_repo || id.size() != GIT_OID_HEXSZ)
        return false;
    try {
        const Locked lock(*this);
        rootTree(m_repo, id);
        return true;
    } catch (const AppError &) {
        return false;
    }
}

std::vector<FileChange> SnapshotStore::changes(const QString &from, const QString &to,
                                               const QStringList &keys) const
{
    const Locked lock(*this);
    if (!m_repo)
        throw AppError(QStringLiteral("The history is not open"));
    TreePtr a = rootTree(m_repo, from);
    TreePtr b = rootTree(m_repo, to);
    std::vector<FileChange> out;
    for (const std::string &name : unionOfNames(a.get(), b.get())) {
        const QString key = QString::fromUtf8(name.c_str());
        if ((!keys.isEmpty() && !keys.contains(key)) || name == SelectionKey)
            continue; // the selection is told apart, by selectionChanges()
        const git_tree_entry *ea = entryOf(a.get(), name);
        const git_tree_entry *eb = entryOf(b.get(), name);
        if (sameEntry(ea, eb))
            continue;
        TreePtr ta = subtree(m_repo, ea);
        TreePtr tb = subtree(m_repo, eb);
        diffTrees(m_repo, ta.get(), tb.get(),
                  entryFromKey(key).replace(QLatin1Char('\\'), QLatin1Char('/')) + QLatin1Char('/'),
                  out);
    }
    return out;
}

namespace {

// Every option folder of a selection tree that holds an options.ini, and whether its mode is a
// selected one.
void collectSelection(git_repository *repo, const git_tree *tree, const QString &prefix,
                      std::map<QString, bool> &out, platform::IniView &view)
{
    for (size_t i = 0; i < git_tree_entrycount(tree); ++i) {
        const git_tree_entry *entry = git_tree_entry_byindex(tree, i);
        const QString name = QString::fromUtf8(git_tree_entry_name(entry));
        if (isTree(entry)) {
            TreePtr sub = subtree(repo, entry);
            collectSelection(repo, sub.get(), prefix + name + QLatin1Char('/'), out, view);
        } else if (name.compare(QLatin1String("options.ini"), Qt::CaseInsensitive) == 0 &&
                   !prefix.isEmpty()) {
            git_blob *raw = nullptr;
            check(git_blob_lookup(&raw, repo, git_tree_entry_id(entry)),
                  QStringLiteral("Cannot read the stored %1").arg(prefix + name));
            BlobPtr blob(raw);
            view.parse(static_cast<const char *>(git_blob_rawcontent(raw)),
                       size_t(git_blob_rawsize(raw)));
            const int mode =
                view.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 0);
            out[prefix.chopped(1)] = mode == 3 || mode == 5;
        }
    }
}

} // namespace

std::vector<SnapshotStore::SelectionChange> SnapshotStore::selectionChanges(const QString &from,
                                                                            const QString &to) const
{
    const Locked lock(*this);
    if (!m_repo)
        throw AppError(QStringLiteral("The history is not open"));
    TreePtr a = rootTree(m_repo, from);
    TreePtr b = rootTree(m_repo, to);
    TreePtr sa = subtree(m_repo, git_tree_entry_byname(a.get(), SelectionKey));
    TreePtr sb = subtree(m_repo, git_tree_entry_byname(b.get(), SelectionKey));
    if (!sa || !sb)
        return {};
    std::map<QString, bool> before, after;
    platform::IniView view;
    collectSelection(m_repo, sa.get(), QString(), before, view);
    collectSelection(m_repo, sb.get(), QString(), after, view);
    std::vector<SelectionChange> out;
    for (const auto &[option, selected] : before) {
        const auto it = after.find(option);
        const bool now = it != after.end() && it->second;
        if (now != selected)
            out.push_back({option, selected, now});
    }
    for (const auto &[option, selected] : after) {
        if (selected && before.find(option) == before.end())
            out.push_back({option, false, true});
    }
    std::sort(out.begin(), out.end(), [](const SelectionChange &x, const SelectionChange &y) {
        return x.option < y.option;
    });
    return out;
}

} // namespace history
