#include "history/SnapshotStore.h"

#include "history/SnapshotGit.h"
#include "files/Error.h"
#include "ini/IniView.h"
#include "files/OwnFile.h"

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

QString SnapshotStore::cachePath() const
{
    return m_path + QStringLiteral("/varimond-statcache");
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

} // namespace history
