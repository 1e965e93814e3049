#pragma once

#include "launch/ScriptLauncher.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

namespace history {

/// One script start as the run log holds it.
struct ScriptStart
{
    int index = 0; // 1 for the first start of its install
    QDateTime time;
    QString script; // the file started
    QStringList parameters;
    bool hidden = false;
    bool inTerminal = false; // ran in a terminal window: its output stayed there
    qint64 pid = 0;       // 0 when no process was started
    quint64 pidStart = 0; // the process's start time (clock ticks since boot), against reused ids
    bool wrapperSeen = false; // a terminal start's wrapper wrote its own process id (pid above)

    bool hasExitStatus = false; // the wrapper wrote the status
    int exitStatus = 0;

    bool confined = false;  // ran in the sandbox
    bool network = false;   // the sandbox let it use the network
    QStringList writable;   // what the sandbox let it write
    QStringList stopped;    // what its output shows the sandbox stopped ("writing to ~/.bashrc")
};

/// One install (a tick, a theme or a restore) and the starts it made.
struct InstallRecord
{
    QString id;     // the name of its folder in the log; ids sort by time
    QString folder; // that folder, ending in '/'
    QDateTime time;
    QString kind;   // "tick", "theme" or "restore"
    QString option; // the option folder, or what a restore went back to
    QStringList scripts;
    QString before, after; // snapshot ids; empty when not taken
    QString snapshotError; // why a snapshot is missing
    bool closed = false;   // every start of the install was made
    std::vector<ScriptStart> starts;

    bool isValid() const { return !id.isEmpty(); }
};

/// The run log: a folder per install below the log folder, with a "session.ini" the program
/// writes and, for each start, "<n>.exit" (its exit status), written by a small shell wrapper
/// when the script ends, whether the program still runs then or not, and "<n>.out" (its output)
/// unless it ran in a terminal window, where its output stays. A wrapper inside a terminal also
/// writes "<n>.pid", its own process id, as a terminal may run its command from a server of its
/// own. The log is never read by the scripts and never rewritten by the wrapper.
class RunLog final
{
public:
    /// The most output of one hidden start that is kept; the rest is read and dropped.
    static constexpr qint64 OutputCap = 4 * 1024 * 1024;

    explicit RunLog(QString folder);

    const QString &folder() const { return m_folder; }

    /// Makes the record of a new install. Throws AppError when the log folder cannot be written.
    InstallRecord create(const QString &kind, const QString &option, const QStringList &scripts);
    /// Adds a start to @p record (in memory and on disk) and returns its index.
    int addStart(InstallRecord &record, const QString &script, const QStringList &parameters,
                 bool hidden);
    void setStarted(InstallRecord &record, int index, qint64 pid);
    /// Notes that start @p index runs in a terminal window.
    void setTerminal(const InstallRecord &record, int index);
    /// Notes how the sandbox confines start @p index (@p command as it starts).
    void setConfinement(const InstallRecord &record, int index,
                        const platform::ShellCommand &command);
    void setSnapshots(InstallRecord &record, const QString &before, const QString &after,
                      const QString &error);
    void setClosed(InstallRecord &record);

    /// Every install, newest first. Damaged records show what can be read of them.
    std::vector<InstallRecord> list() const;
    InstallRecord load(const QString &id) const;

    /// The command that runs @p command and writes its exit status, and its output unless it
    /// runs in a terminal (then the wrapper runs inside the terminal), beside the record of
    /// start @p index.
    platform::ShellCommand wrap(const InstallRecord &record, int index,
                                const platform::ShellCommand &command) const;

    /// The last @p maxBytes bytes of a start's output (all of it when smaller).
    QByteArray output(const InstallRecord &record, int index, qint64 maxBytes = 256 * 1024) const;

    /// How long a terminal start counts as running before the wrapper inside the terminal has
    /// written its process id.
    static constexpr qint64 TerminalGraceMs = 20000;

    /// Whether the process of @p start is still running.
    static bool isRunning(const ScriptStart &start);
    /// Whether any start of @p record still runs.
    static bool isRunning(const InstallRecord &record);
    /// The start time of process @p pid, 0 when it does not run.
    static quint64 processStartTime(qint64 pid);

    /// The files and folders a snapshot of @p record left out ("not recorded"), at most
    /// MaxUnrecorded of them, kept beside its session.
    static constexpr int MaxUnrecorded = 1000;
    void addUnrecorded(const InstallRecord &record, const QStringList &paths);
    QStringList unrecorded(const InstallRecord &record) const;

    /// Adds @p text to the notices unless it is there already. Returns whether it was added.
    bool addNotice(const QString &text);
    /// The notices, oldest first, each with its time.
    QStringList notices() const;

private:
    QString sessionIni(const InstallRecord &record) const;
    void refreshExit(InstallRecord &record) const;

    QString m_folder; // ends in '/'
};

} // namespace history
