#pragma once

#include "history/HistoryConsent.h"
#include "history/HistoryFolders.h"
#include "history/RunLog.h"
#include "history/SnapshotStore.h"
#include "launch/ScriptLauncher.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <vector>

namespace history {

/// The history of installs: the run log, always kept, and, when the pack names folders in
/// `[History] Folders=`, snapshots of them before and after each install in the repository
/// "history/" of the pack's state folder (platform::packStateFolder(), never inside the pack). One instance, TheHistory(), set up at start-up.
/// Nothing here blocks an install: a snapshot that fails is recorded and shown, never thrown.
class InstallHistory final : public QObject
{
    Q_OBJECT

public:
    /// Asks the user whether the pack may keep history of @p folders (outside the pack, shown
    /// by their real paths). Called on the GUI thread at the first install that would use them.
    using ConsentAsker = std::function<bool(const QStringList &folders)>;

    /// Where the history looks for what decides which folders it may use.
    struct Environment
    {
        QString homeDir;                   // empty: the user's home folder
        std::optional<QString> winePrefix; // unset: the game's prefix in force
        QString consentFile;               // empty: in the user's Varimond folder
        ConsentAsker askConsent;           // unset: folders needing consent are left out
        QString optionsDir; // its options.ini and Selected.ini files are kept too; empty: not
        QString stateDir;   // where the log and the repository live; empty: the pack's state folder
    };

    InstallHistory();
    ~InstallHistory() override;

    /// Reads the folder list from the settings file @p iniPath (never writes it) and opens the
    /// log and, when folders are named, the repository of the pack in @p programDir (ending in
    /// '/'), both in the pack's state folder. Files in the pack named like them are never used.
    /// Installs of earlier runs whose "after" snapshot is due get it now.
    void configure(const QString &programDir, const QString &iniPath,
                   const Environment &environment = Environment());
    bool isConfigured() const { return m_log != nullptr; }
    /// The pack folder it was configured for, ending in '/'.
    const QString &programDir() const { return m_programDir; }
    /// Whether folders are named, so that installs are snapshotted.
    bool snapshotsOn() const { return m_store != nullptr; }
    const std::vector<NamedFolder> &folders() const { return m_folders; }
    RunLog *log() const { return m_log.get(); }
    SnapshotStore *store() const { return m_store.get(); }
    QString repositoryPath() const { return m_stateDir + QStringLiteral("history"); }
    /// The folder of the log and the repository, ending in '/'.
    const QString &stateDir() const { return m_stateDir; }
    /// One line for the status line about this start of the history (empty for none): said once,
    /// when a history kept inside the pack by earlier versions was left unused.
    const QString &startNote() const { return m_startNote; }

    /// Starts an install: its record and, with snapshots on, the "before" snapshot. Returns the
    /// record's id, empty when the log cannot be written.
    QString begin(const QString &kind, const QString &option, const QStringList &scripts);
    /// Records one start of install @p id and returns the hook that wraps a hidden start and
    /// learns the process id. The hook lives as long as this object.
    const platform::StartHook *recordStart(const QString &id, const QString &script,
                                           const QStringList &parameters, bool hidden);
    /// Every start of install @p id was made: its "after" snapshot follows when they have ended.
    void close(const QString &id);
    /// Install @p id changed nothing and started nothing (it was refused): its record goes.
    void cancel(const QString &id);
    /// Takes the "after" snapshots that are due. Runs on a timer while any is pending.
    void settle();
    /// Whether a recorded script still runs.
    bool anyRunning() const;

    /// What a restore to the state before install @p id would change on disk now.
    /// Throws AppError when it is not possible (see restore()).
    std::vector<FileChange> restorePreview(const QString &id);
    /// Runs @p work, which may take long, and returns when it has ended; it may run it on another
    /// thread while the caller keeps its windows painting. Nothing else of the history runs
    /// meanwhile.
    using LongWork = std::function<void(const std::function<void()> &work)>;

    /// Runs @p work through @p runLong (at once when unset) with the history's own timer held
    /// off, so that nothing else touches the store meanwhile; rethrows what @p work threw.
    void runBusy(const LongWork &runLong, const std::function<void()> &work);

    /// How the options' selection would change with a restore to the state before install
    /// @p id (empty when the snapshots do not hold it). Throws AppError as restorePreview().
    std::vector<SnapshotStore::SelectionChange> selectionPreview(const QString &id);

    /// Puts the named folders back as they were before install @p id, recorded as an install of
    /// its own so that it can be undone; the writing of the files goes through @p runLong when
    /// given. Throws AppError, changing nothing, while a recorded script runs or when there is
    /// no "before" snapshot.
    std::vector<FileChange> restore(const QString &id, const LongWork &runLong = {});

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
    /// A restore put the options' descriptors and marks back: the option tree is out of date.
    void selectionRestored();

private:
    void notice(const QString &text);
    void askForPendingFolders();
    void openStore();
    void takeAfter(InstallRecord &record);
    InstallRecord checkedForRestore(const QString &id) const;

    QString m_programDir;
    QString m_stateDir;
    QString m_startNote;
    QString m_optionsDir;
    std::unique_ptr<RunLog> m_log;
    std::unique_ptr<SnapshotStore> m_store;
    std::vector<NamedFolder> m_folders;
    std::unique_ptr<FolderConsent> m_consent;
    ConsentAsker m_askConsent;
    std::vector<InstallRecord> m_open; // installs of this run whose "after" is still due
    std::list<platform::StartHook> m_hooks;
    QTimer m_settleTimer;
    bool m_busy = false; // a restore writes on another thread: the store is not to be touched
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
    /// The install was refused before it changed anything: it is not kept.
    void cancel();

private:
    QString m_id;
};

} // namespace history
