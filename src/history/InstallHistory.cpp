#include "history/InstallHistory.h"

#include "platform/Error.h"
#include "platform/WinePrefix.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <map>

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
                               const QString &homeDir)
{
    m_settleTimer.stop();
    m_open.clear();
    m_store.reset();
    m_folders.clear();
    m_programDir = programDir;
    m_log = std::make_unique<RunLog>(programDir + QStringLiteral(".varimond-log"));

    const QStringList entries = readFolderEntries(iniPath);
    if (!entries.isEmpty()) {
        // The game's Wine prefix is looked for only when a folder is named by its drive.
        QString prefix;
        if (std::any_of(entries.begin(), entries.end(), isDrivePath))
            prefix = platform::gamePrefixInForce().prefix;
        m_folders = resolveFolders(entries, programDir,
                                   homeDir.isEmpty() ? QDir::homePath() : homeDir, prefix);
        bool usable = false;
        for (const NamedFolder &folder : m_folders) {
            if (!folder.problem.isEmpty()) {
                notice(folder.problem);
            } else {
                usable = true;
                if (folder.missing)
                    notice(QStringLiteral("History folder %1 does not exist; it is kept as an "
                                          "empty folder")
                               .arg(folder.entry));
            }
        }
        if (usable) {
            m_store = std::make_unique<SnapshotStore>(repositoryPath());
            try {
                notice(m_store->open());
            } catch (const AppError &e) {
                notice(e.message());
                m_store.reset();
            }
        }
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

QString InstallHistory::begin(const QString &kind, const QString &option,
                              const QStringList &scripts)
{
    if (!m_log)
        return {};
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
        if (folder.problem.isEmpty())
            keys.append(folder.key);
    }
    const QString now = m_store->writeTree(m_folders);
    return m_store->changes(now, target.before, keys);
}

std::vector<FileChange> InstallHistory::restore(const QString &id)
{
    const InstallRecord target = checkedForRestore(id);
    const QString what = QStringLiteral("%1 (%2)").arg(
        target.option, target.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    const QString sid = begin(QStringLiteral("restore"), what, {});
    const auto record = std::find_if(m_open.begin(), m_open.end(),
                                     [&](const InstallRecord &r) { return r.id == sid; });
    if (sid.isEmpty() || record == m_open.end())
        throw AppError(QStringLiteral("Cannot write to the run log %1; nothing was restored")
                           .arg(m_log->folder()));
    if (record->before.isEmpty()) {
        const QString error = record->snapshotError;
        close(sid);
        throw AppError(QStringLiteral("The present state could not be kept, so nothing was "
                                      "restored. %1")
                           .arg(error));
    }
    std::vector<FileChange> changes;
    try {
        changes = m_store->restore(record->before, target.before, m_folders);
    } catch (const AppError &) {
        close(sid); // what was changed is kept in the restore's "after" snapshot
        throw;
    }
    close(sid);
    return changes;
}

std::vector<FileChange> InstallHistory::installChanges(const InstallRecord &record) const
{
    if (!m_store || record.before.isEmpty() || record.after.isEmpty())
        return {};
    try {
        return m_store->changes(record.before, record.after);
    } catch (const AppError &) {
        return {};
    }
}

InstallHistory &TheHistory()
{
    static InstallHistory *const instance = new InstallHistory;
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

const platform::StartHook *InstallSession::start(const QString &script,
                                                 const QStringList &parameters, bool hidden)
{
    return m_id.isEmpty() ? nullptr : TheHistory().recordStart(m_id, script, parameters, hidden);
}

} // namespace history
