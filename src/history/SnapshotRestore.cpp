#include "history/SnapshotGit.h"
#include "history/SnapshotStore.h"
#include "files/OwnFile.h"

#include <QCryptographicHash>
#include <QDir>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace history {

using namespace detail;

namespace {

// The piece of a stored file written at a time.
constexpr size_t ChunkSize = 1 << 20;

// Where the absolute path @p path leads, resolved a name at a time as the kernel does, links
// followed; names that do not exist are taken as written. Empty after too many links.
QString leadsTo(const QString &path)
{
    QStringList todo = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    std::reverse(todo.begin(), todo.end());
    QString at = QStringLiteral("/");
    int hops = 0;
    bool missing = false;
    while (!todo.isEmpty()) {
        const QString name = todo.takeLast();
        if (name == QLatin1String("."))
            continue;
        if (name == QLatin1String("..")) {
            at = at.left(std::max<qsizetype>(at.lastIndexOf(QLatin1Char('/')), 1));
            continue;
        }
        const QString next = at == QLatin1String("/") ? at + name : at + QLatin1Char('/') + name;
        struct stat st;
        const QByteArray native = QFile::encodeName(next);
        if (!missing && ::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            QByteArray target(4096, Qt::Uninitialized);
            const ssize_t n = ::readlink(native.constData(), target.data(), size_t(target.size()));
            if (n <= 0 || ++hops > 40)
                return {};
            target.truncate(n);
            if (target.startsWith('/'))
                at = QStringLiteral("/");
            QStringList parts =
                QFile::decodeName(target).split(QLatin1Char('/'), Qt::SkipEmptyParts);
            std::reverse(parts.begin(), parts.end());
            todo += parts;
            continue;
        }
        missing = missing || ::lstat(native.constData(), &st) != 0;
        at = next;
    }
    return at;
}

bool isWithin(const QString &path, const QString &root)
{
    return !path.isEmpty() && !root.isEmpty() &&
           (path == root || root == QLatin1String("/") || path.startsWith(root + QLatin1Char('/')));
}

// Puts the disk from one stored folder's content to another's, through handles opened without
// following links.
class Restorer
{
public:
    /// @p marksOnly: the trees hold only the options' descriptors and marks; folders are
    /// neither made nor removed, and a folder gone since is passed over.
    Restorer(git_repository *repo, std::vector<FileChange> &out, bool marksOnly = false)
        : m_repo(repo), m_out(out), m_marksOnly(marksOnly)
    {
        m_mask = ::umask(0);
        ::umask(m_mask);
    }

    /// Restores the folder at the real location @p root (no link on its way), open as @p fd:
    /// a stored link is put back only when it leads inside it.
    void restoreFolder(int fd, const QByteArray &root, const git_tree *cur, const git_tree *tgt,
                       const QString &shown)
    {
        m_root = QFile::decodeName(root);
        m_links.clear();
        apply(fd, cur, tgt, root, shown);
        // A link checked alone may lead out through another made after it ("x -> y/.." with
        // "y -> ."): every one is checked again with the whole folder in place.
        for (const auto &[path, linkShown] : m_links) {
            if (isWithin(leadsTo(QFile::decodeName(path)), m_root))
                continue;
            ::unlink(path.constData());
            const auto made = std::find(m_out.begin(), m_out.end(),
                                        FileChange{FileChange::Added, linkShown});
            if (made != m_out.end())
                made->kind = FileChange::Refused;
        }
    }

    void apply(int dirfd, const git_tree *cur, const git_tree *tgt, const QByteArray &path,
               const QString &shown)
    {
        for (const std::string &name : unionOfNames(cur, tgt)) {
            const git_tree_entry *ec = entryOf(cur, name);
            const git_tree_entry *et = entryOf(tgt, name);
            if (sameEntry(ec, et))
                continue;
            const QByteArray childPath = path + '/' + name.c_str();
            const QString childShown = shown + QString::fromUtf8(name.c_str());
            const bool blobs = ec && et && !isTree(ec) && !isTree(et) &&
                               git_tree_entry_filemode(ec) != GIT_FILEMODE_LINK &&
                               git_tree_entry_filemode(et) != GIT_FILEMODE_LINK;
            if (isTree(ec) && isTree(et)) {
                if (m_marksOnly && !folderExists(dirfd, name.c_str()))
                    continue;
                Fd sub(openFolder(dirfd, name.c_str(), childPath));
                TreePtr tc = subtree(m_repo, ec);
                TreePtr tt = subtree(m_repo, et);
                apply(sub.get(), tc.get(), tt.get(), childPath, childShown + QLatin1Char('/'));
            } else if (blobs) {
                writeFile(dirfd, name.c_str(), et, childPath);
                m_out.push_back({FileChange::Changed, childShown});
            } else {
                if (ec)
                    remove(dirfd, name.c_str(), ec, childPath, childShown);
                if (et)
                    create(dirfd, name.c_str(), et, childPath, childShown);
            }
        }
    }

private:
    int openFolder(int dirfd, const char *name, const QByteArray &path)
    {
        const int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            failErrno(QStringLiteral("Cannot open"), path);
        return fd;
    }

    void remove(int dirfd, const char *name, const git_tree_entry *entry, const QByteArray &path,
                const QString &shown)
    {
        if (isTree(entry)) {
            const int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                if (errno == ENOENT)
                    return;
                failErrno(QStringLiteral("Cannot open"), path);
            }
            Fd sub(fd);
            TreePtr tree = subtree(m_repo, entry);
            apply(sub.get(), tree.get(), nullptr, path, shown + QLatin1Char('/'));
            if (m_marksOnly)
                return; // the option folder itself stays
            // A folder that still holds what no snapshot holds (git's own folder) stays.
            if (::unlinkat(dirfd, name, AT_REMOVEDIR) != 0 && errno != ENOENT &&
                errno != ENOTEMPTY && errno != EEXIST)
                failErrno(QStringLiteral("Cannot remove"), path);
            return;
        }
        if (::unlinkat(dirfd, name, 0) != 0 && errno != ENOENT)
            failErrno(QStringLiteral("Cannot remove"), path);
        m_out.push_back({FileChange::Removed, shown});
    }

    void create(int dirfd, const char *name, const git_tree_entry *entry, const QByteArray &path,
                const QString &shown)
    {
        // Whatever is there now was not recorded by the snapshot just taken (it cannot be read,
        // lies too deep, or has a name the store refuses): it stays as it is.
        struct stat st;
        const bool exists = ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (m_marksOnly && isTree(entry)) {
            // Marks go back only into option folders that are still there.
            if (!exists || !S_ISDIR(st.st_mode))
                return;
            Fd sub(openFolder(dirfd, name, path));
            TreePtr tree = subtree(m_repo, entry);
            apply(sub.get(), nullptr, tree.get(), path, shown + QLatin1Char('/'));
            return;
        }
        if (exists)
            return;
        if (isTree(entry)) {
            if (::mkdirat(dirfd, name, 0777) != 0 && errno != EEXIST)
                failErrno(QStringLiteral("Cannot create"), path);
            Fd sub(openFolder(dirfd, name, path));
            TreePtr tree = subtree(m_repo, entry);
            apply(sub.get(), nullptr, tree.get(), path, shown + QLatin1Char('/'));
            return;
        }
        if (git_tree_entry_filemode(entry) == GIT_FILEMODE_LINK) {
            git_blob *raw = nullptr;
            check(git_blob_lookup(&raw, m_repo, git_tree_entry_id(entry)),
                  QStringLiteral("Cannot read the stored %1").arg(shown));
            BlobPtr blob(raw);
            const QByteArray target(static_cast<const char *>(git_blob_rawcontent(raw)),
                                    qsizetype(git_blob_rawsize(raw)));
            // A link is put back only when it leads inside the folder being restored: a stored
            // tree (whoever made it) never leads a restore, or what follows it, elsewhere.
            const QString dir = QFile::decodeName(path.left(path.lastIndexOf('/')));
            const QString to = QFile::decodeName(target);
            if (target.isEmpty() || target.contains('\0') ||
                !isWithin(
                    leadsTo(to.startsWith(QLatin1Char('/')) ? to : dir + QLatin1Char('/') + to),
                    m_root)) {
                m_out.push_back({FileChange::Refused, shown});
                return;
            }
            if (::symlinkat(target.constData(), dirfd, name) != 0)
                failErrno(QStringLiteral("Cannot create"), path);
            m_links.emplace_back(path, shown);
        } else {
            writeFile(dirfd, name, entry, path);
        }
        m_out.push_back({FileChange::Added, shown});
    }

    // The stored content, streamed from the store into a file beside the target and renamed
    // over it, so that the file is either old or new and memory stays bounded whatever its size;
    // its permissions are kept but for the executable bits.
    void writeFile(int dirfd, const char *name, const git_tree_entry *entry, const QByteArray &path)
    {
        const bool exec = git_tree_entry_filemode(entry) == GIT_FILEMODE_BLOB_EXECUTABLE;
        mode_t perm = 0666 & ~m_mask;
        struct stat st;
        if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            perm = st.st_mode & 0666;
        if (exec)
            perm |= (perm & 0444) >> 2;

        ::unlinkat(dirfd, RestoreTemporary, 0);
        Fd fd(::openat(dirfd, RestoreTemporary,
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() < 0)
            failErrno(QStringLiteral("Cannot write"), path);
        bool ok = false;
        try {
            ok = copyBlob(git_tree_entry_id(entry), fd.get(), path);
        } catch (...) {
            ::unlinkat(dirfd, RestoreTemporary, 0);
            throw;
        }
        if (!ok || ::fchmod(fd.get(), perm) != 0 ||
            ::renameat(dirfd, RestoreTemporary, dirfd, name) != 0) {
            const int err = errno;
            ::unlinkat(dirfd, RestoreTemporary, 0);
            errno = err;
            failErrno(QStringLiteral("Cannot write"), path);
        }
    }

    static bool isZero(const char *data, size_t size)
    {
        return size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0;
    }

    static bool writeAll(int fd, const char *data, size_t left)
    {
        while (left > 0) {
            const ssize_t n = ::write(fd, data, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            left -= size_t(n);
        }
        return true;
    }

    // Writes blob @p id to @p fd a piece at a time, holes for runs of zeros. The store keeps each
    // object as a file of its own, deflated: it is read and inflated here through small buffers
    // (libgit2's own stream maps the whole file into memory) and its digest checked at the end.
    // Objects in packs (a repository packed by git itself) go through libgit2.
    bool copyBlob(const git_oid *id, int fd, const QByteArray &path)
    {
        const QByteArray hex = toHex(*id).toLatin1();
        const QByteArray file =
            QByteArray(git_repository_path(m_repo)) + "objects/" + hex.left(2) + '/' + hex.mid(2);
        Fd in(platform::openOwnFile(QFile::decodeName(file)));
        if (in.get() < 0)
            return copyThroughLibgit2(id, fd, path);

        const auto damaged = [&] {
            return AppError(
                QStringLiteral("The stored %1 is damaged").arg(QFile::decodeName(path)));
        };
        z_stream z{};
        if (inflateInit(&z) != Z_OK)
            throw damaged();
        std::unique_ptr<z_stream, int (*)(z_stream *)> zOwner(&z, inflateEnd);
        std::vector<unsigned char> packed(ChunkSize / 4), plain(ChunkSize);
        QCryptographicHash digest(QCryptographicHash::Sha1);
        QByteArray header; // "blob <size>\0"
        qint64 size = -1, done = 0;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            if (z.avail_in == 0) {
                const ssize_t n = ::read(in.get(), packed.data(), packed.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw damaged();
                z.next_in = packed.data();
                z.avail_in = uInt(n);
            }
            z.next_out = plain.data();
            z.avail_out = uInt(plain.size());
            rc = ::inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                throw damaged();
            const char *data = reinterpret_cast<const char *>(plain.data());
            size_t n = plain.size() - z.avail_out;
            digest.addData(QByteArrayView(data, qsizetype(n)));
            if (size < 0) {
                // The header ends at the first zero byte; it is short.
                const auto *end = static_cast<const char *>(std::memchr(data, 0, n));
                header.append(data, end ? end - data : qsizetype(n));
                if (!end) {
                    if (header.size() > 64)
                        throw damaged();
                    continue;
                }
                if (!header.startsWith("blob "))
                    throw damaged();
                bool ok = false;
                size = header.mid(5).toLongLong(&ok);
                if (!ok || size < 0)
                    throw damaged();
                n -= size_t(end + 1 - data);
                data = end + 1;
            }
            if (done + qint64(n) > size)
                throw damaged();
            if (isZero(data, n)) {
                if (::lseek(fd, off_t(n), SEEK_CUR) < 0)
                    return false;
            } else if (!writeAll(fd, data, n)) {
                return false;
            }
            done += qint64(n);
        }
        if (done != size ||
            digest.result() !=
                QByteArrayView(reinterpret_cast<const char *>(id->id), GIT_OID_RAWSZ))
            throw damaged();
        return ::ftruncate(fd, off_t(size)) == 0;
    }

    bool copyThroughLibgit2(const git_oid *id, int fd, const QByteArray &path)
    {
        git_odb *odb = nullptr;
        check(git_repository_odb(&odb, m_repo), QStringLiteral("Cannot open the history"));
        std::unique_ptr<git_odb, void (*)(git_odb *)> odbOwner(odb, git_odb_free);
        git_odb_stream *stream = nullptr;
        size_t size = 0;
        git_object_t type = GIT_OBJECT_INVALID;
        if (git_odb_open_rstream(&stream, &size, &type, odb, id) == 0) {
            std::unique_ptr<git_odb_stream, void (*)(git_odb_stream *)> owner(stream,
                                                                              git_odb_stream_free);
            if (type != GIT_OBJECT_BLOB)
                throw AppError(QStringLiteral("Cannot read the stored %1: not a file")
                                   .arg(QFile::decodeName(path)));
            std::vector<char> buffer(ChunkSize);
            size_t done = 0;
            while (done < size) {
                const int n = git_odb_stream_read(stream, buffer.data(), buffer.size());
                if (n < 0)
                    fail(QStringLiteral("Cannot read the stored %1").arg(QFile::decodeName(path)));
                if (n == 0)
                    break;
                // Runs of zeros become holes again, as sparse files had them.
                if (isZero(buffer.data(), size_t(n))) {
                    if (::lseek(fd, off_t(n), SEEK_CUR) < 0)
                        return false;
                } else if (!writeAll(fd, buffer.data(), size_t(n))) {
                    return false;
                }
                done += size_t(n);
            }
            if (done != size)
                throw AppError(
                    QStringLiteral("The stored %1 is damaged").arg(QFile::decodeName(path)));
            return ::ftruncate(fd, off_t(size)) == 0;
        }
        git_blob *raw = nullptr;
        check(git_blob_lookup(&raw, m_repo, id),
              QStringLiteral("Cannot read the stored %1").arg(QFile::decodeName(path)));
        BlobPtr blob(raw);
        return writeAll(fd, static_cast<const char *>(git_blob_rawcontent(raw)),
                        size_t(git_blob_rawsize(raw)));
    }

    static bool folderExists(int dirfd, const char *name)
    {
        struct stat st;
        return ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }

    git_repository *m_repo;
    std::vector<FileChange> &m_out;
    bool m_marksOnly;
    QString m_root; // the real location of the folder being restored
    std::vector<std::pair<QByteArray, QString>> m_links; // made by this restore, and as shown
    mode_t m_mask = 022;
};

} // namespace

std::vector<FileChange> SnapshotStore::restore(const QString &current, const QString &target,
                                               const std::vector<NamedFolder> &folders)
{
    const Locked lock(*this);
    if (!m_repo)
        throw AppError(QStringLiteral("The history is not open"));
    TreePtr cur = rootTree(m_repo, current);
    TreePtr tgt = rootTree(m_repo, target);
    std::vector<FileChange> out;
    Restorer restorer(m_repo, out);
    for (const NamedFolder &folder : folders) {
        if (!folder.usable())
            continue;
        const QByteArray key = folder.key.toUtf8();
        const git_tree_entry *et = git_tree_entry_byname(tgt.get(), key.constData());
        if (!isTree(et))
            continue; // the folder was not named then
        // Checked again now: a link put on the folder's way since it was named (by a script,
        // or by the restore of a folder before it) stops the restore rather than lead it there.
        Fd fd(openFolderAt(folder.path, true));
        if (fd.get() < 0) {
            const QString why = QString::fromLocal8Bit(strerror(errno));
            throw AppError(QStringLiteral("History folder %1 cannot be opened at %2 (%3); nothing "
                                          "more was restored")
                               .arg(folder.displayName(), QFile::decodeName(folder.path), why));
        }
        TreePtr tc = subtree(m_repo, git_tree_entry_byname(cur.get(), key.constData()));
        TreePtr tt = subtree(m_repo, et);
        restorer.restoreFolder(fd.get(), folder.path, tc.get(), tt.get(),
                               folder.displayName() + QLatin1Char('/'));
    }

    // The options' descriptors and marks, when both snapshots hold them; they are not counted
    // among the files.
    TreePtr sc = subtree(m_repo, git_tree_entry_byname(cur.get(), SelectionKey));
    TreePtr st = subtree(m_repo, git_tree_entry_byname(tgt.get(), SelectionKey));
    if (!m_selectionRoot.isEmpty() && sc && st) {
        Fd fd(::open(m_selectionRoot.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0)
            failErrno(QStringLiteral("Cannot open"), m_selectionRoot);
        std::vector<FileChange> marks;
        Restorer(m_repo, marks, true)
            .apply(fd.get(), sc.get(), st.get(), m_selectionRoot, QStringLiteral("Options/"));
    }
    return out;
}

} // namespace history
