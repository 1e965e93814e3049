#include "history/InstallHistory.h"

#include "files/Error.h"
#include "files/OwnFile.h"
#include "files/PackState.h"
#include "files/Paths.h"
#include "wine/WinePrefix.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <exception>
#include <map>

#include <sys/stat.h>

namespace history {

namespace {

// How often the "after" snapshots are looked for while scripts run.
constexpr int SettleIntervalMs = 300;

QString describe(const QString &kind)
{
    if (kind == QLatin1String("restore"))
        return QStringLiteral("restore");
    if (kind == QLatin1String("theme"))
        return QStringLiteral("theme");
    return QStringLiteral("install");
}

QString refusedByUser(const NamedFolder &folder)
{
    return QStringLiteral("History folder %1 (%2) lies outside the pack and was not allowed")
        .arg(folder.entry, QFile::decodeName(folder.path));
}

bool existsHere(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

QString commitMessage(const QString &when, const InstallRecord &record)
{
    const QStringList &names = record.scripts;
    QString text = QStringLiteral("%1 %2 of %3\n\nInstall: %4\n")
                       .arg(when, describe(record.kind), record.option, record.id);
    if (!names.isEmpty())
        text += QStringLiteral("Scripts: %1\n").arg(names.join(QStringLiteral(", ")));
    return text;
}

std::map<QString, std::list<platform::StartHook>> &hooksById()
{
    static std::map<QString, std::list<platform::StartHook>> hooks;
    return hooks;
}

} // namespace

InstallHistory::InstallHistory()
{
    m_settleTimer.setInterval(SettleIntervalMs);
    connect(&m_settleTimer, &QTimer::timeout, this, &InstallHistory::settle);
}

InstallHistory::~InstallHistory() = default;

void InstallHistory::notice(const QString &text)
{
    if (!text.isEmpty() && m_log && m_log->addNotice(text))
        emit changed();
}

void InstallHistory::configure(const QString &programDir, const QString &iniPath,
                               const Environment &environment)
{
    m_settleTimer.stop();
    m_open.clear();
    m_store.reset();
    m_folders.clear();
    m_consent.reset();
    m_askConsent = environment.askConsent;
    m_programDir = programDir;
    m_optionsDir = environment.optionsDir;
    m_startNote.clear();
    m_log.reset();
    QString state = environment.stateDir.isEmpty() ? platform::packStateFolder(programDir)
                                                   : environment.stateDir;
    if (!state.isEmpty() && !state.endsWith(QLatin1Char('/')))
        state += QLatin1Char('/');
    if (state.isEmpty() || !platform::makeOwnFolder(state)) {
        m_startNote = QStringLiteral("No history is kept: its folder in %1 cannot be made")
                          .arg(platform::varimondStateFolder());
        emit changed();
        return;
    }
    m_stateDir = state;
    // Earlier versions kept the history inside the pack, where a pack can bring one of its own
    // making; nothing kept then tells the two apart, so it is left where it is, unread, and a
    // new history starts here. Said once: the new log's first notice makes the folder.
    const bool fresh = !existsHere(m_stateDir + QStringLiteral("log")) &&
                       !existsHere(m_stateDir + QStringLiteral("history"));
    m_log = std::make_unique<RunLog>(m_stateDir + QStringLiteral("log"));
    if (fresh && (existsHere(programDir + QStringLiteral(".varimond-history")) ||
                  existsHere(programDir + QStringLiteral(".varimond-log")))) {
        m_startNote = QStringLiteral("The history inside the pack (.varimond-history) is not "
                                     "used; a new one is kept in %1")
                          .arg(QDir::toNativeSeparators(m_stateDir));
        notice(m_startNote);
    }

    const QStringList entries = readFolderEntries(iniPath);
    if (!entries.isEmpty()) {
        // The prefix's drive_c is the game's own place, where a pack may keep history freely.
        const QString prefix =
            environment.winePrefix ? *environment.winePrefix : platform::gamePrefixInForce().prefix;
        m_folders = resolveFolders(
            entries, programDir,
            environment.homeDir.isEmpty() ? QDir::homePath() : environment.homeDir, prefix);
        QString pack = QFileInfo(programDir).canonicalFilePath();
        if (pack.isEmpty())
            pack = QDir::cleanPath(programDir);
        m_consent = std::make_unique<FolderConsent>(environment.consentFile.isEmpty()
                                                        ? platform::varimondConfigFolder() +
                                                              QStringLiteral("/pack-permissions")
                                                        : environment.consentFile,
                                                    QFile::encodeName(pack));
        for (NamedFolder &folder : m_folders) {
            if (folder.needsConsent && folder.problem.isEmpty()) {
                switch (m_consent->answer(folder.path)) {
                case FolderConsent::Allowed:
                    folder.needsConsent = false;
                    break;
                case FolderConsent::Refused:
                    folder.problem = refusedByUser(folder);
                    break;
                case FolderConsent::Unasked:
                    break; // asked at the first install
                }
            }
            if (!folder.problem.isEmpty()) {
                notice(folder.problem);
            } else if (folder.missing && !folder.needsConsent) {
                notice(QStringLiteral("History folder %1 does not exist; it is kept as an "
                                      "empty folder")
                           .arg(folder.entry));
            }
        }
        openStore();
    }

    // Installs of earlier runs: an "after" snapshot still due, or a script still running.
    for (InstallRecord &record : m_log->list()) {
        const bool afterDue = m_store && !record.before.isEmpty() && record.after.isEmpty() &&
                              record.snapshotError.isEmpty();
        if (afterDue || RunLog::isRunning(record)) {
            record.closed = true;
            m_open.push_back(record);
        }
    }
    settle();
    emit changed();
}

void InstallHistory::openStore()
{
    if (m_store || std::none_of(m_folders.begin(), m_folders.end(),
                                [](const NamedFolder &f) { return f.usable(); }))
        return;
    m_store = std::make_unique<SnapshotStore>(repositoryPath());
    if (!m_optionsDir.isEmpty())
        m_store->setSelectionRoot(QFile::encodeName(m_optionsDir));
    try {
        notice(m_store->open());
    } catch (const AppError &e) {
        notice(e.message());
        m_store.reset();
    }
}

void InstallHistory::askForPendingFolders()
{
    std::vector<NamedFolder *> pending;
    for (NamedFolder &folder : m_folders) {
        if (folder.problem.isEmpty() && folder.needsConsent)
            pending.push_back(&folder);
    }
    // Without anyone to ask, the folders are left out until someone can answer.
    if (pending.empty() || !m_askConsent || !m_consent)
        return;
    QStringList shown;
    std::vector<QByteArray> paths;
    for (const NamedFolder *folder : pending) {
        shown.append(QFile::decodeName(folder->path));
        paths.push_back(folder->path);
    }
    const bool allowed = m_askConsent(shown);
    m_consent->remember(paths, allowed);
    for (NamedFolder *folder : pending) {
        if (allowed) {
            folder->needsConsent = false;
            if (folder->missing)
                notice(QStringLiteral("History folder %1 does not exist; it is kept as an "
                                      "empty folder")
                           .arg(folder->entry));
        } else {
            folder->problem = refusedByUser(*folder);
            notice(folder->problem);
        }
    }
    openStore();
}

QString InstallHistory::begin(const QString &kind, const QString &option,
                              const QStringList &scripts)
{
    if (!m_log)
        return {};
    askForPendingFolders();
    InstallRecord record;
    QString shown = option;
    if (!m_programDir.isEmpty() && shown.startsWith(m_programDir))
        shown = shown.mid(m_programDir.size());
    while (shown.size() > 1 && shown.endsWith(QLatin1Char('/')))
        shown.chop(1);
    QStringList scriptsShown;
    for (QString script : scripts) {
        if (!m_programDir.isEmpty() && script.startsWith(m_programDir))
            script = script.mid(m_programDir.size());
        scriptsShown.append(script);
    }
    try {
        record = m_log->create(kind, shown, scriptsShown);
    } catch (const AppError &) {
        return {}; // the install goes on unrecorded
    }
    if (m_store) {
        QString before;
        QString error;
        try {
            QString moved;
            before = m_store->snapshot(m_folders, commitMessage(QStringLiteral("Before"), record),
                                       &moved);
            notice(moved);
            m_log->addUnrecorded(record, m_store->unrecorded());
        } catch (const AppError &e) {
            error = QStringLiteral("Snapshot before the install failed: %1").arg(e.message());
        }
        try {
            m_log->setSnapshots(record, before, QString(), error);
        } catch (const AppError &) {
        }
    }
    m_open.push_back(record);
    emit installBegun(record.id);
    emit changed();
    return record.id;
}

const platform::StartHook *InstallHistory::recordStart(const QString &id, const QString &script,
                                                       const QStringList &parameters, bool hidden)
{
    auto it = std::find_if(m_open.begin(), m_open.end(),
                           [&](const InstallRecord &r) { return r.id == id; });
    if (it == m_open.end() || !m_log)
        return nullptr;
    int index = 0;
    try {
        index = m_log->addStart(*it, script, parameters, hidden);
    } catch (const AppError &) {
        return nullptr;
    }
    // Every start runs inside the wrapper, so that its exit status is known; one in a
    // terminal keeps its output there.
    platform::StartHook hook;
    const InstallRecord record = *it;
    RunLog *log = m_log.get();
    hook.wrap = [log, record, index](const platform::ShellCommand &command) {
        try {
            log->setConfinement(record, index, command);
        } catch (const AppError &) {
        }
        if (command.inTerminal) {
            try {
                log->setTerminal(record, index);
            } catch (const AppError &) {
            }
        }
        return log->wrap(record, index, command);
    };
    hook.started = [this, id, index](qint64 pid) {
        auto r = std::find_if(m_open.begin(), m_open.end(),
                              [&](const InstallRecord &rec) { return rec.id == id; });
        if (r == m_open.end())
            return;
        try {
            m_log->setStarted(*r, index, pid);
        } catch (const AppError &) {
        }
    };
    std::list<platform::StartHook> &hooks = hooksById()[id];
    hooks.push_back(std::move(hook));
    return &hooks.back();
}

void InstallHistory::close(const QString &id)
{
    hooksById().erase(id);
    auto it = std::find_if(m_open.begin(), m_open.end(),
                           [&](const InstallRecord &r) { return r.id == id; });
    if (it == m_open.end())
        return;
    try {
        m_log->setClosed(*it);
    } catch (const AppError &) {
        it->closed = true;
    }
    settle();
}

void InstallHistory::cancel(const QString &id)
{
    hooksById().erase(id);
    auto it = std::find_if(m_open.begin(), m_open.end(),
                           [&](const InstallRecord &r) { return r.id == id; });
    if (it == m_open.end() || !it->starts.empty())
        return;
    // Only a record folder of the log itself is removed.
    if (!it->folder.isEmpty() && it->folder.startsWith(m_log->folder()))
        QDir(it->folder).removeRecursively();
    m_open.erase(it);
    settle();
    emit changed();
}

void InstallHistory::takeAfter(InstallRecord &record)
{
    if (!m_store || record.before.isEmpty() || !record.snapshotError.isEmpty())
        return;
    QString after;
    QString error;
    try {
        QString moved;
        after =
            m_store->snapshot(m_folders, commitMessage(QStringLiteral("After"), record), &moved);
        notice(moved);
        m_log->addUnrecorded(record, m_store->unrecorded());
    } catch (const AppError &e) {
        error = QStringLiteral("Snapshot after the install failed: %1").arg(e.message());
    }
    try {
        m_log->setSnapshots(record, record.before, after, error);
    } catch (const AppError &) {
    }
}

void InstallHistory::settle()
{
    if (m_busy)
        return; // the timer comes back
    std::vector<InstallRecord> ended; // told once the list of open installs is consistent
    bool settled = false;
    for (auto it = m_open.begin(); it != m_open.end();) {
        if (!it->closed) {
            ++it;
            continue;
        }
        InstallRecord fresh = m_log->load(it->id);
        if (RunLog::isRunning(fresh)) {
            ++it;
            continue;
        }
        fresh.closed = true;
        takeAfter(fresh);
        it = m_open.erase(it);
        settled = true;
        ended.push_back(std::move(fresh));
    }
    const bool pending = !m_open.empty();
    if (pending && !m_settleTimer.isActive())
        m_settleTimer.start();
    else if (!pending)
        m_settleTimer.stop();
    if (settled)
        emit changed();
    for (const InstallRecord &record : ended)
        emit installEnded(record);
}

bool InstallHistory::anyRunning() const
{
    for (const InstallRecord &record : m_open) {
        if (RunLog::isRunning(m_log->load(record.id)))
            return true;
    }
    return false;
}

InstallRecord InstallHistory::checkedForRestore(const QString &id) const
{
    if (!m_store)
        throw AppError(QStringLiteral("No folders are kept in the history: the settings file "
                                      "names none in [History] Folders="));
    if (anyRunning())
        throw AppError(QStringLiteral("A script started by Varimond is still running. Restore "
                                      "when it has ended"));
    const InstallRecord record = m_log->load(id);
    if (record.before.isEmpty() || !m_store->hasSnapshot(record.before))
        throw AppError(QStringLiteral("There is no snapshot from before this install to "
                                      "restore"));
    return record;
}

std::vector<FileChange> InstallHistory::restorePreview(const QString &id)
{
    const InstallRecord target = checkedForRestore(id);
    QStringList keys;
    for (const NamedFolder &folder : m_folders) {
        if (folder.usable())
            keys.append(folder.key);
    }
    const QString now = m_store->writeTree(m_folders);
    return m_store->changes(now, target.before, keys);
}

std::vector<SnapshotStore::SelectionChange> InstallHistory::selectionPreview(const QString &id)
{
    const InstallRecord target = checkedForRestore(id);
    return m_store->selectionChanges(m_store->writeTree(m_folders), target.before);
}

void InstallHistory::runBusy(const LongWork &runLong, const std::function<void()> &work)
{
    std::exception_ptr failure;
    const auto guarded = [&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    };
    m_busy = true;
    if (runLong)
        runLong(guarded);
    else
        guarded();
    m_busy = false;
    if (failure)
        std::rethrow_exception(failure);
}

std::vector<FileChange> InstallHistory::restore(const QString &id, const LongWork &runLong)
{
    const InstallRecord target = checkedForRestore(id);
    const QString what = QStringLiteral("%1 (%2)").arg(
        target.option, target.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    InstallRecord record;
    try {
        record = m_log->create(QStringLiteral("restore"), what, {});
    } catch (const AppError &) {
        throw AppError(QStringLiteral("Cannot write to the run log %1; nothing was restored")
                           .arg(m_log->folder()));
    }

    // The restore is an install of its own, so that it can be undone: the present state is
    // kept first, and the restored one after. All three read or write whole files, so they run
    // through runLong.
    QString before, after, error, moved;
    QStringList unrecorded;
    std::vector<FileChange> changes;
    std::exception_ptr failure;
    runBusy(runLong, [&] {
        try {
            before = m_store->snapshot(m_folders, commitMessage(QStringLiteral("Before"), record),
                                       &moved);
            unrecorded += m_store->unrecorded();
        } catch (const AppError &e) {
            error = QStringLiteral("Snapshot before the install failed: %1").arg(e.message());
            return;
        }
        try {
            changes = m_store->restore(before, target.before, m_folders);
        } catch (...) {
            failure = std::current_exception(); // what was changed is kept in the "after"
        }
        try {
            after = m_store->snapshot(m_folders, commitMessage(QStringLiteral("After"), record));
            unrecorded += m_store->unrecorded();
        } catch (const AppError &e) {
            error = QStringLiteral("Snapshot after the install failed: %1").arg(e.message());
        }
    });
    notice(moved);
    try {
        m_log->setSnapshots(record, before, after, error);
        m_log->addUnrecorded(record, unrecorded);
        m_log->setClosed(record);
    } catch (const AppError &) {
    }
    emit changed();
    if (before.isEmpty())
        throw AppError(QStringLiteral("The present state could not be kept, so nothing was "
                                      "restored. %1")
                           .arg(error));
    if (!m_optionsDir.isEmpty())
        emit selectionRestored();
    if (failure)
        std::rethrow_exception(failure);
    return changes;
}

std::vector<FileChange> InstallHistory::installChanges(const InstallRecord &record) const
{
    if (m_busy || !m_store || record.before.isEmpty() || record.after.isEmpty())
        return {};
    try {
        return m_store->changes(record.before, record.after);
    } catch (const AppError &) {
        return {};
    }
}

InstallHistory &TheHistory()
{
    static InstallHistory *const instance = [] {
        auto *history = new InstallHistory;
        // The pack's scripts may write the history folders the pack may use: they are
        // recorded, and the player can undo what was written there.
        platform::addScriptFolderSource([history] {
            QStringList folders;
            if (history->isConfigured())
                folders.append(history->programDir());
            for (const NamedFolder &folder : history->folders()) {
                if (folder.usable())
                    folders.append(QFile::decodeName(folder.path));
            }
            return folders;
        });
        return history;
    }();
    return *instance;
}

InstallSession::InstallSession(const QString &kind, const QString &option,
                               const QStringList &scripts)
{
    InstallHistory &h = TheHistory();
    if (h.isConfigured())
        m_id = h.begin(kind, option, scripts);
}

InstallSession::~InstallSession()
{
    if (m_id.isEmpty())
        return;
    try {
        TheHistory().close(m_id);
    } catch (...) {
        // closing is bookkeeping only; nothing may escape a destructor
    }
}

void InstallSession::cancel()
{
    if (!m_id.isEmpty())
        TheHistory().cancel(m_id);
    m_id.clear();
}

const platform::StartHook *InstallSession::start(const QString &script,
                                                 const QStringList &parameters, bool hidden)
{
    return m_id.isEmpty() ? nullptr : TheHistory().recordStart(m_id, script, parameters, hidden);
}

} // namespace history
