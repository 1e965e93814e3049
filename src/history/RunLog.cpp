#include "history/RunLog.h"

#include "history/SandboxStops.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "files/OwnFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace history {

namespace {

const QString Install = QStringLiteral("Install");
const QString TimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");

QString startSection(int index)
{
    return QStringLiteral("Start%1").arg(index);
}

// Runs the rest of its arguments with their output in "$1.out", then writes the exit status to
// "$1.exit" in one rename, so a reader sees either no status or the whole of it. The output kept
// is capped: a script that writes without end must not fill the disk. What comes after the cap
// is still read (and dropped), so the script is never stopped by a closed pipe. The tools come
// from the system's default path, whatever PATH the script is given.
const QString Wrapper =
    QStringLiteral(
        "b=$1; shift; "
        "{ \"$@\" </dev/null 2>&1; printf '%s\\n' \"$?\" >\"$b.exit.part\"; } | "
        "{ command -p head -c %1; if [ \"$(command -p head -c 1 | command -p wc -c)\" -gt 0 ]; "
        "then "
        "printf '\\n[output cut after %2 MiB]\\n'; command -p cat >/dev/null; fi; } >\"$b.out\"; "
        "command -p mv -f \"$b.exit.part\" \"$b.exit\"")
        .arg(history::RunLog::OutputCap)
        .arg(history::RunLog::OutputCap / (1024 * 1024));

// The same inside a terminal window: the script keeps the terminal for its input and output, and
// the wrapper first writes its own process id and start time (field 22 of /proc/<pid>/stat),
// since the terminal's own process may end long before the script does.
const QString TerminalWrapper = QStringLiteral(
    "b=$1; shift; "
    "printf '%s %s\\n' \"$$\" \"$(command -p cut -d ' ' -f 22 /proc/$$/stat 2>/dev/null)\" "
    ">\"$b.pid.part\" && command -p mv -f \"$b.pid.part\" \"$b.pid\"; "
    "\"$@\"; s=$?; printf '%s\\n' \"$s\" >\"$b.exit.part\"; "
    "command -p mv -f \"$b.exit.part\" \"$b.exit\"; exit $s");

// The terminal wrapper as a file in the log folder, written when it is missing or differs.
bool writeRunner(const QString &path)
{
    const QByteArray content = "#!/bin/sh\n" + TerminalWrapper.toUtf8() + '\n';
    if (platform::readOwnFile(path, content.size()) == content)
        return true;
    return platform::writeOwnFile(path, content, false, true);
}

QByteArray readSmall(const QString &path)
{
    return platform::readOwnFile(path, 64).value_or(QByteArray());
}

} // namespace

RunLog::RunLog(QString folder) : m_folder(std::move(folder))
{
    if (!m_folder.endsWith(QLatin1Char('/')))
        m_folder += QLatin1Char('/');
}

QString RunLog::sessionIni(const InstallRecord &record) const
{
    return record.folder + QStringLiteral("session.ini");
}

InstallRecord RunLog::create(const QString &kind, const QString &option, const QStringList &scripts)
{
    if (!platform::makeOwnFolder(m_folder))
        throw AppError(QStringLiteral("Cannot create the run log %1").arg(m_folder));
    InstallRecord record;
    record.time = QDateTime::currentDateTime();
    const QString stamp = record.time.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    // mkdir either makes a new folder or fails, so two installs never share one.
    for (int n = 1; n < 1000 && !record.isValid(); ++n) {
        const QString id =
            n == 1 ? stamp : stamp + QStringLiteral("-%1").arg(n, 3, 10, QLatin1Char('0'));
        if (QDir(m_folder).mkdir(id))
            record.id = id;
        else if (!QFileInfo::exists(m_folder + id))
            break;
    }
    if (!record.isValid())
        throw AppError(QStringLiteral("Cannot write to the run log %1").arg(m_folder));
    record.folder = m_folder + record.id + QLatin1Char('/');
    record.kind = kind;
    record.option = option;
    record.scripts = scripts;

    platform::IniFile ini(sessionIni(record), platform::IniFile::Intent::Own);
    ini.beginUpdate();
    ini.writeString(Install, QStringLiteral("Time"), record.time.toString(TimeFormat));
    ini.writeString(Install, QStringLiteral("Kind"), kind);
    ini.writeString(Install, QStringLiteral("Option"), option);
    ini.writeString(Install, QStringLiteral("Scripts"), scripts.join(QLatin1Char('|')));
    ini.flush();
    return record;
}

int RunLog::addStart(InstallRecord &record, const QString &script, const QStringList &parameters,
                     bool hidden)
{
    ScriptStart start;
    start.index = int(record.starts.size()) + 1;
    start.time = QDateTime::currentDateTime();
    start.script = script;
    start.parameters = parameters;
    start.hidden = hidden;
    record.starts.push_back(start);

    platform::IniFile ini(sessionIni(record), platform::IniFile::Intent::Own);
    ini.beginUpdate();
    const QString section = startSection(start.index);
    ini.writeString(section, QStringLiteral("Time"), start.time.toString(TimeFormat));
    ini.writeString(section, QStringLiteral("Script"), script);
    ini.writeString(section, QStringLiteral("Parameters"), parameters.join(QLatin1Char(' ')));
    ini.writeBool(section, QStringLiteral("Hidden"), hidden);
    ini.writeInteger(Install, QStringLiteral("Starts"), start.index);
    ini.flush();
    return start.index;
}

void RunLog::setStarted(InstallRecord &record, int index, qint64 pid)
{
    if (index < 1 || index > int(record.starts.size()))
        return;
    ScriptStart &start = record.starts[size_t(index - 1)];
    start.pid = pid;
    start.pidStart = processStartTime(pid);
    platform::IniFile ini(sessionIni(record), platform::IniFile::Intent::Own);
    ini.beginUpdate();
    ini.writeString(startSection(index), QStringLiteral("Pid"), QString::number(pid));
    ini.writeString(startSection(index), QStringLiteral("PidStart"),
                    QString::number(start.pidStart));
    ini.flush();
}

void RunLog::setTerminal(const InstallRecord &record, int index)
{
    platform::IniFile(sessionIni(record), platform::IniFile::Intent::Own)
        .writeString(startSection(index), QStringLiteral("Terminal"), QStringLiteral("1"));
}

void RunLog::setConfinement(const InstallRecord &record, int index,
                            const platform::ShellCommand &command)
{
    if (!command.confined)
        return;
    platform::IniFile ini(sessionIni(record));
    ini.beginUpdate();
    const QString section = startSection(index);
    ini.writeBool(section, QStringLiteral("Confined"), true);
    ini.writeBool(section, QStringLiteral("Network"), command.network);
    ini.writeString(section, QStringLiteral("Writable"), command.writable.join(QLatin1Char('|')));
    ini.flush();
}

void RunLog::setSnapshots(InstallRecord &record, const QString &before, const QString &after,
                          const QString &error)
{
    record.before = before;
    record.after = after;
    record.snapshotError = error;
    platform::IniFile ini(sessionIni(record), platform::IniFile::Intent::Own);
    ini.beginUpdate();
    ini.writeString(Install, QStringLiteral("Before"), before);
    ini.writeString(Install, QStringLiteral("After"), after);
    ini.writeString(Install, QStringLiteral("SnapshotError"), error);
    ini.flush();
}

void RunLog::setClosed(InstallRecord &record)
{
    record.closed = true;
    platform::IniFile(sessionIni(record), platform::IniFile::Intent::Own)
        .writeString(Install, QStringLiteral("Closed"), QStringLiteral("1"));
}

void RunLog::refreshExit(InstallRecord &record) const
{
    for (ScriptStart &start : record.starts) {
        if (start.hasExitStatus)
            continue;
        if (start.inTerminal && !start.wrapperSeen) {
            const QByteArray pid =
                readSmall(record.folder + QString::number(start.index) + QStringLiteral(".pid"));
            if (!pid.isEmpty()) {
                const QList<QByteArray> fields = pid.trimmed().split(' ');
                const qint64 id = fields.value(0).toLongLong();
                if (id > 0) {
                    start.wrapperSeen = true;
                    start.pid = id;
                    start.pidStart = fields.value(1).toULongLong();
                    if (start.pidStart == 0)
                        start.pidStart = processStartTime(id);
                }
            }
        }
        bool ok = false;
        const int status =
            readSmall(record.folder + QString::number(start.index) + QStringLiteral(".exit"))
                .trimmed()
                .toInt(&ok);
        if (ok) {
            start.hasExitStatus = true;
            start.exitStatus = status;
            // What the sandbox kept a failed script from doing shows in its output.
            if (status != 0 && start.confined && !start.inTerminal)
                start.stopped =
                    sandboxStops(output(record, start.index, 64 * 1024),
                                 SandboxLimits{start.confined, start.network, start.writable});
        }
    }
}

InstallRecord RunLog::load(const QString &id) const
{
    InstallRecord record;
    if (id.isEmpty() || id.contains(QLatin1Char('/')) || id.startsWith(QLatin1Char('.')))
        return record;
    record.id = id;
    record.folder = m_folder + id + QLatin1Char('/');
    const platform::IniFile ini(sessionIni(record), platform::IniFile::Intent::Own);
    record.time =
        QDateTime::fromString(ini.readString(Install, QStringLiteral("Time"), {}), TimeFormat);
    record.kind = ini.readString(Install, QStringLiteral("Kind"), QStringLiteral("tick"));
    record.option = ini.readString(Install, QStringLiteral("Option"), {});
    const QString scripts = ini.readString(Install, QStringLiteral("Scripts"), {});
    record.scripts = scripts.isEmpty() ? QStringList() : scripts.split(QLatin1Char('|'));
    record.before = ini.readString(Install, QStringLiteral("Before"), {});
    record.after = ini.readString(Install, QStringLiteral("After"), {});
    record.snapshotError = ini.readString(Install, QStringLiteral("SnapshotError"), {});
    record.closed = ini.readBool(Install, QStringLiteral("Closed"), false);
    const int count = qBound(0, ini.readInteger(Install, QStringLiteral("Starts"), 0), 1000);
    for (int i = 1; i <= count; ++i) {
        const QString section = startSection(i);
        ScriptStart start;
        start.index = i;
        start.time =
            QDateTime::fromString(ini.readString(section, QStringLiteral("Time"), {}), TimeFormat);
        start.script = ini.readString(section, QStringLiteral("Script"), {});
        const QString params = ini.readString(section, QStringLiteral("Parameters"), {});
        start.parameters = params.isEmpty() ? QStringList() : params.split(QLatin1Char(' '));
        start.hidden = ini.readBool(section, QStringLiteral("Hidden"), false);
        start.inTerminal = ini.readBool(section, QStringLiteral("Terminal"), false);
        start.pid = ini.readString(section, QStringLiteral("Pid"), {}).toLongLong();
        start.pidStart = ini.readString(section, QStringLiteral("PidStart"), {}).toULongLong();
        start.confined = ini.readBool(section, QStringLiteral("Confined"), false);
        start.network = ini.readBool(section, QStringLiteral("Network"), false);
        const QString writable = ini.readString(section, QStringLiteral("Writable"), {});
        start.writable = writable.isEmpty() ? QStringList() : writable.split(QLatin1Char('|'));
        record.starts.push_back(start);
    }
    refreshExit(record);
    return record;
}

std::vector<InstallRecord> RunLog::list() const
{
    QStringList ids = QDir(m_folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                               QDir::Name | QDir::Reversed);
    std::vector<InstallRecord> records;
    records.reserve(size_t(ids.size()));
    for (const QString &id : ids) {
        if (QFileInfo::exists(m_folder + id + QStringLiteral("/session.ini")))
            records.push_back(load(id));
    }
    return records;
}

platform::ShellCommand RunLog::wrap(const InstallRecord &record, int index,
                                    const platform::ShellCommand &command) const
{
    const QString base = record.folder + QString::number(index);
    platform::ShellCommand wrapped = command; // the environment stays as it is
    // The terminal's "-e": after its title ("-T" and the script's name, which is not looked at).
    qsizetype dashE = -1;
    for (qsizetype i = 0; command.inTerminal && i < command.arguments.size() && dashE < 0; ++i) {
        if (command.arguments[i] == QLatin1String("-T"))
            ++i;
        else if (command.arguments[i] == QLatin1String("-e"))
            dashE = i;
    }
    if (dashE >= 0) {
        // The terminal's own options and "-e" stay in front; the wrapper runs inside it.
        // Some terminals join the words after "-e" into one command line and split it again:
        // the wrapper goes as a file, so that only plain paths travel through the terminal.
        const QString runner = m_folder + QStringLiteral("terminal-run.sh");
        const QStringList wrapper =
            writeRunner(runner)
                ? QStringList{QStringLiteral("/bin/sh"), runner, base}
                : QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"), TerminalWrapper,
                              QStringLiteral("varimond-run"), base};
        wrapped.arguments =
            command.arguments.mid(0, dashE + 1) + wrapper + command.arguments.mid(dashE + 1);
        return wrapped;
    }
    wrapped.program = QStringLiteral("/bin/sh");
    wrapped.arguments = QStringList{QStringLiteral("-c"), Wrapper, QStringLiteral("varimond-run"),
                                    base, command.program} +
                        command.arguments;
    return wrapped;
}

QByteArray RunLog::output(const InstallRecord &record, int index, qint64 maxBytes) const
{
    return platform::readOwnFileTail(
        record.folder + QString::number(index) + QStringLiteral(".out"), maxBytes);
}

quint64 RunLog::processStartTime(qint64 pid)
{
    if (pid <= 0)
        return 0;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.read(4096);
    // The command name in parentheses may hold blanks; the fields after it are plain.
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    // fields[0] is the state (field 3 of the file); the start time is field 22.
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return 0;
    return fields[19].toULongLong();
}

bool RunLog::isRunning(const ScriptStart &start)
{
    if (start.hasExitStatus)
        return false;
    // A terminal may hand its command to a server of its own and end at once: until the wrapper
    // inside it has made itself known, the start counts as running for a while.
    if (start.inTerminal && !start.wrapperSeen && start.pid > 0 && start.time.isValid() &&
        start.time.msecsTo(QDateTime::currentDateTime()) < TerminalGraceMs)
        return true;
    if (start.pid <= 0 || start.pidStart == 0)
        return false;
    return processStartTime(start.pid) == start.pidStart;
}

bool RunLog::isRunning(const InstallRecord &record)
{
    for (const ScriptStart &start : record.starts) {
        if (isRunning(start))
            return true;
    }
    return false;
}

bool RunLog::addNotice(const QString &text)
{
    if (text.isEmpty())
        return false;
    const QString path = m_folder + QStringLiteral("notices.txt");
    // Past its cap the notices start again: they are a few lines each.
    QByteArray content = platform::readOwnFile(path, 1024 * 1024).value_or(QByteArray());
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    for (const QByteArray &existing : content.split('\n')) {
        const int tab = existing.indexOf('\t');
        if (tab >= 0 && QString::fromUtf8(existing.mid(tab + 1)) == line)
            return false;
    }
    platform::makeOwnFolder(m_folder);
    content += QDateTime::currentDateTime().toString(TimeFormat.left(19)).toUtf8() + '\t' +
               line.toUtf8() + '\n';
    return platform::writeOwnFile(path, content);
}

QStringList RunLog::notices() const
{
    QStringList lines;
    const QByteArray content =
        platform::readOwnFile(m_folder + QStringLiteral("notices.txt"), 1024 * 1024)
            .value_or(QByteArray());
    for (const QByteArray &line : content.split('\n')) {
        if (!line.isEmpty())
            lines.append(QString::fromUtf8(line).replace(QLatin1Char('\t'), QStringLiteral("  ")));
    }
    return lines;
}

void RunLog::addUnrecorded(const InstallRecord &record, const QStringList &paths)
{
    if (paths.isEmpty() || !record.isValid())
        return;
    QStringList all = unrecorded(record);
    for (const QString &path : paths) {
        if (all.size() >= MaxUnrecorded)
            break;
        if (!all.contains(path))
            all.append(path);
    }
    QByteArray content;
    for (QString line : std::as_const(all))
        content += line.replace(QLatin1Char('\n'), QLatin1Char(' ')).toUtf8() + '\n';
    platform::writeOwnFile(record.folder + QStringLiteral("unrecorded.txt"), content);
}

QStringList RunLog::unrecorded(const InstallRecord &record) const
{
    if (!record.isValid())
        return {};
    QStringList paths;
    const QByteArray content =
        platform::readOwnFile(record.folder + QStringLiteral("unrecorded.txt"), 4 * 1024 * 1024)
            .value_or(QByteArray());
    for (const QByteArray &line : content.split('\n')) {
        if (!line.isEmpty() && paths.size() < MaxUnrecorded)
            paths.append(QString::fromUtf8(line));
    }
    return paths;
}

} // namespace history
