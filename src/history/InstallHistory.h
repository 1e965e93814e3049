#pragma once

#include "history/HistoryFolders.h"
#include "history/RunLog.h"
#include "history/SnapshotStore.h"
#include "platform/ScriptLauncher.h"

#include <QObject>
#include <QTimer>

#include <list>
#include <memory>
#include <vector>

namespace history {

/// The history of installs: the run log, always kept, and, when the pack names folders in
/// `[History] Folders=`, snapshots of them before and after each install in the repository
/// `.varimond-history/` of the program folder. One instance, TheHistory(), set up at start-up.
/// Nothing here blocks an install: a snapshot that fails is recorded and shown, never thrown.
class InstallHistory final : public QObject
{
    Q_OBJECT

public:
    InstallHistory();
    ~InstallHistory() override;

    /// Reads the folder list from the settings file @p iniPath (never writes it) and opens the
    /// log and, when folders are named, the repository, in @p programDir (ending in '/').
    /// Installs of earlier runs whose "after" snapshot is due get it now.
    void configure(const QString &programDir, const QString &iniPath,
                   const QString &homeDir = QString());
    bool isConfigured() const { return m_log != nullptr; }
    /// Whether folders are named, so that installs are snapshotted.
    bool snapshotsOn() const { return m_store != nullptr; }
    const std::vector<NamedFolder> &folders() const { return m_folders; }
    RunLog *log() const { return m_log.get(); }
    SnapshotStore *store() const { return m_store.get(); }
    QString repositoryPath() const { return m_programDir + QStringLiteral(".varimond-history"); }

    /// Starts an install: its record and, with snapshots on, the "before" snapshot. Returns the
    /// record's id, empty when the log cannot be written.
    QString begin(const QString &kind, const QString &option, const QStringList &scripts);
    /// Records one start of install @p id and returns the hook that wraps a hidden start and
    /// learns the process id. The hook lives as long as this object.
    const platform::StartHook *recordStart(const QString &id, const QString &script,
                                           const QStringList &parameters, bool hidden);
    /// Every start of install @p id was made: its "after" snapshot follows when they have ended.
    void close(const QString &id);
    /// Takes the "after" snapshots that are due. Runs on a timer while any is pending.
    void settle();
    /// Whether a recorded script still runs.
    bool anyRunning() const;

    /// What a restore to the state before install @p id would change on disk now.
    /// Throws AppError when it is not possible (see restore()).
    std::vector<FileChange> restorePreview(const QString &id);
    /// Puts the named folders back as they were before install @p id, recorded as an install of
    /// its own so that it can be undone. Throws AppError, changing nothing, while a recorded
    /// script runs or when there is no "before" snapshot.
    std::vector<FileChange> restore(const QString &id);

    /// The install's file changes from its "before" to its "after" snapshot (empty when either
    /// is missing).
    std::vector<FileChange> installChanges(const InstallRecord &record) const;

signals:
    /// The log or the snapshots changed.
    void changed();
    /// Install @p id was begun.
    void installBegun(const QString &id);
    /// Every script of @p record has ended (or never started), as its record now tells.
    void installEnded(const history::InstallRecord &record);

private:
    void notice(const QString &text);
    void takeAfter(InstallRecord &record);
    InstallRecord checkedForRestore(const QString &id) const;

    QString m_programDir;
    std::unique_ptr<RunLog> m_log;
    std::unique_ptr<SnapshotStore> m_store;
    std::vector<NamedFolder> m_folders;
    std::vector<InstallRecord> m_open; // installs of this run whose "after" is still due
    std::list<platform::StartHook> m_hooks;
    QTimer m_settleTimer;
};

/// The process-wide history.
InstallHistory &TheHistory();

/// One install as the code that starts scripts sees it: begun on construction, closed on
/// destruction. Does nothing when the history is not set up.
///
/// @code
/// history::InstallSession session(QStringLiteral("tick"), folder, {first, second});
/// platform::shellOpen(first, {"-h"}, folder, Hidden, session.start(first, {"-h"}, true));
/// @endcode
class InstallSession final
{
public:
    InstallSession(const QString &kind, const QString &option, const QStringList &scripts);
    ~InstallSession();
    InstallSession(const InstallSession &) = delete;
    InstallSession &operator=(const InstallSession &) = delete;

    /// Records a start; the hook to pass to platform::shellOpen (null when not recording).
    const platform::StartHook *start(const QString &script, const QStringList &parameters,
                                     bool hidden);
    /// The install's id in the run log; empty when not recording.
    const QString &id() const { return m_id; }

private:
    QString m_id;
};

} // namespace history
