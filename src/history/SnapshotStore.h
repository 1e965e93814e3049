#pragma once

#include "history/HistoryFolders.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

struct git_repository;

namespace history {

/// One file that differs between two snapshots.
struct FileChange
{
    /// Refused: a stored link a restore did not put back, as it leads out of its folder.
    enum Kind { Added, Changed, Removed, Refused };
    Kind kind = Changed;
    QString path; // the folder as named, '/', the path inside it

    bool operator==(const FileChange &other) const
    {
        return kind == other.kind && path == other.path;
    }
};

/// The snapshots of the named folders, kept as commits of a bare git repository of the program's
/// own (libgit2). Each snapshot's root tree holds one entry per named folder (its key); files are
/// stored with their executable bit, symbolic links as links (never followed), empty folders as
/// empty trees. A missing folder is stored empty. Unchanged files are not read again: a cache of
/// their size, times and inode beside the repository gives their stored object.
///
/// @code
/// history::SnapshotStore store(programDir + QStringLiteral(".varimond-history"));
/// store.open();
/// const QString before = store.snapshot(folders, QStringLiteral("Before ..."));
/// @endcode
class SnapshotStore final
{
public:
    /// Files whose times are within @p trustAfterNs of a snapshot are read again by the next one
    /// (a change within the same clock tick would otherwise go unseen).
    explicit SnapshotStore(QString repoPath, qint64 trustAfterNs = 2'000'000'000);
    ~SnapshotStore();
    SnapshotStore(const SnapshotStore &) = delete;
    SnapshotStore &operator=(const SnapshotStore &) = delete;

    const QString &path() const { return m_path; }

    /// Opens the repository, creating it when missing. One that cannot be opened, or whose
    /// latest snapshot cannot be read, is moved aside to "<path>.broken-<time>" (never deleted)
    /// and a new one is started; the returned text says so, and is empty otherwise. Throws
    /// AppError when no repository can be made.
    QString open();

    /// Commits the present content of @p folders (the usable ones) on top of the latest
    /// snapshot. Returns the commit id in hex. What cannot be read is left out and listed in
    /// unrecorded(); a folder that cannot be opened at all is left out of the snapshot, so a
    /// restore leaves it alone. Throws AppError when the store cannot be written. @p notice
    /// receives a text when the repository had to be moved aside first.
    ///
    /// Every operation holds an exclusive advisory lock on "<path>.lock" while it works in the
    /// repository; the first to take it removes lock files and half-written objects a killed
    /// run left behind.
    QString snapshot(const std::vector<NamedFolder> &folders, const QString &message,
                     QString *notice = nullptr);

    /// The two halves of snapshot(): the stored tree of the folders' present content (its id in
    /// hex, usable wherever a snapshot id is), and a commit of such a tree.
    QString writeTree(const std::vector<NamedFolder> &folders, QString *notice = nullptr);
    QString commit(const QString &treeId, const QString &message);

    /// Snapshots also take the options' descriptors and selection marks (options.ini and
    /// Selected.ini) below the options folder @p optionsDir, and restore() puts them back; empty
    /// for none.
    void setSelectionRoot(const QByteArray &optionsDir) { m_selectionRoot = optionsDir; }

    /// The options whose selection differs from snapshot @p from to snapshot @p to: the option
    /// folder below the options folder ('/' separators) and whether it was selected in each
    /// ([Mode] OptionMode 3 or 5). Empty when either holds no selection.
    struct SelectionChange
    {
        QString option;
        bool before = false, after = false;
    };
    std::vector<SelectionChange> selectionChanges(const QString &from, const QString &to) const;

    /// What the latest snapshot left out, one "path (reason)" each: files and folders that
    /// cannot be read, lie too deep, or have a name the store refuses.
    const QStringList &unrecorded() const { return m_unrecorded; }

    /// Whether @p id names a snapshot in this repository.
    bool hasSnapshot(const QString &id) const;

    /// The files that differ from snapshot @p from to snapshot @p to, in path order; only the
    /// folders whose keys are in @p keys when it is not empty. Throws AppError when either is
    /// not readable.
    std::vector<FileChange> changes(const QString &from, const QString &to,
                                    const QStringList &keys = {}) const;

    /// Brings each folder of @p folders that snapshot @p target holds to its content there:
    /// files not in it are removed, the others written back with their executable bits, each
    /// streamed from the store in pieces (memory stays bounded whatever a file's size). The
    /// disk must hold snapshot @p current (taken just before); what it left out (see
    /// unrecorded()) is left as it is. Never follows a symbolic link.
    /// Returns the files changed. Throws AppError when a change fails; the changes before it
    /// stay.
    std::vector<FileChange> restore(const QString &current, const QString &target,
                                    const std::vector<NamedFolder> &folders);

private:
    struct CacheEntry
    {
        quint64 dev = 0, ino = 0, size = 0;
        qint64 mtime = 0, ctime = 0;
        quint32 mode = 0;
        QByteArray oid; // raw 20 bytes
        quint32 seen = 0;
    };
    class Walk;

    // Held while this process works in the repository: the first holder takes an exclusive
    // advisory lock on "<repository>.lock" beside it (beside, so that moving a damaged
    // repository aside keeps the one lock) and, holding it, removes what a run killed inside
    // libgit2 left behind.
    class Locked
    {
    public:
        explicit Locked(const SnapshotStore &store) : m_store(store)
        {
            if (m_store.m_lockDepth == 0)
                m_store.lock();
            ++m_store.m_lockDepth;
        }
        ~Locked()
        {
            if (--m_store.m_lockDepth == 0)
                m_store.unlock();
        }
        Locked(const Locked &) = delete;
        Locked &operator=(const Locked &) = delete;

    private:
        const SnapshotStore &m_store;
    };

    void lock() const;
    void unlock() const;
    QString openLocked();
    void openOrCreate();
    bool healthy() const;
    bool holdsLinks() const;
    QString moveAside();
    void close();
    void loadCache();
    void saveCache(qint64 snapshotStartNs);
    QString cachePath() const;

    QString m_path;
    qint64 m_racyWindowNs;
    git_repository *m_repo = nullptr;
    QHash<QByteArray, CacheEntry> m_cache; // by path
    quint32 m_generation = 0;              // of the snapshot being taken; entries it met carry it
    bool m_cacheDirty = false;
    QStringList m_unrecorded;    // of the latest writeTree()
    QByteArray m_selectionRoot;  // the options folder whose marks are kept
    mutable int m_lockDepth = 0; // nested holders of the lock in this process
    mutable int m_lockFd = -1;
};

} // namespace history
