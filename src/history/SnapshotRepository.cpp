// The snapshot store's repository: opening or making it, the lock that keeps two Varimonds
// from writing it at once, leftovers of a killed write, and the check that it holds no links.

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

} // namespace

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
    const int fd =
        ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
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

} // namespace history
