#include "history/RunLog.h"

#include "platform/Error.h"
#include "platform/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

QByteArray readTail(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (size > maxBytes)
        file.seek(size - maxBytes);
    return file.read(maxBytes);
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
    if (!QDir().mkpath(m_folder))
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

    platform::IniFile ini(sessionIni(record));
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

    platform::IniFile ini(sessionIni(record));
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
    platform::IniFile ini(sessionIni(record));
    ini.beginUpdate();
    ini.writeString(startSection(index), QStringLiteral("Pid"), QString::number(pid));
    ini.writeString(startSection(index), QStringLiteral("PidStart"),
                    QString::number(start.pidStart));
    ini.flush();
}

void RunLog::setSnapshots(InstallRecord &record, const QString &before, const QString &after,
                          const QString &error)
{
    record.before = before;
    record.after = after;
    record.snapshotError = error;
    platform::IniFile ini(sessionIni(record));
    ini.beginUpdate();
    ini.writeString(Install, QStringLiteral("Before"), before);
    ini.writeString(Install, QStringLiteral("After"), after);
    ini.writeString(Install, QStringLiteral("SnapshotError"), error);
    ini.flush();
}

void RunLog::setClosed(InstallRecord &record)
{
    record.closed = true;
    platform::IniFile::writeString(sessionIni(record), Install, QStringLiteral("Closed"),
                                   QStringLiteral("1"));
}

void RunLog::refreshExit(InstallRecord &record) const
{
    for (ScriptStart &start : record.starts) {
        if (start.hasExitStatus)
            continue;
        QFile exit(record.folder + QString::number(start.index) + QStringLiteral(".exit"));
        if (!exit.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const int status = exit.read(64).trimmed().toInt(&ok);
        if (ok) {
            start.hasExitStatus = true;
            start.exitStatus = status;
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
    const platform::IniFile ini(sessionIni(record));
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
        start.pid = ini.readString(section, QStringLiteral("Pid"), {}).toLongLong();
        start.pidStart = ini.readString(section, QStringLiteral("PidStart"), {}).toULongLong();
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
    platform::ShellCommand wrapped = command; // the environment stays as it is
    wrapped.program = QStringLiteral("/bin/sh");
    wrapped.arguments = QStringList{QStringLiteral("-c"), Wrapper, QStringLiteral("varimond-run"),
                                    record.folder + QString::number(index), command.program} +
                        command.arguments;
    return wrapped;
}

QByteArray RunLog::output(const InstallRecord &record, int index, qint64 maxBytes) const
{
    return readTail(record.folder + QString::number(index) + QStringLiteral(".out"), maxBytes);
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
    if (start.hasExitStatus || start.pid <= 0 || start.pidStart == 0)
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
    QByteArray content;
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            content = file.read(1024 * 1024);
    }
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    for (const QByteArray &existing : content.split('\n')) {
        const int tab = existing.indexOf('\t');
        if (tab >= 0 && QString::fromUtf8(existing.mid(tab + 1)) == line)
            return false;
    }
    QDir().mkpath(m_folder);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(content);
    out.write(QDateTime::currentDateTime().toString(TimeFormat.left(19)).toUtf8() + '\t' +
              line.toUtf8() + '\n');
    return out.commit();
}

QStringList RunLog::notices() const
{
    QFile file(m_folder + QStringLiteral("notices.txt"));
    QStringList lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &line : file.read(1024 * 1024).split('\n')) {
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
    QSaveFile out(record.folder + QStringLiteral("unrecorded.txt"));
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return;
    for (QString line : std::as_const(all))
        out.write(line.replace(QLatin1Char('\n'), QLatin1Char(' ')).toUtf8() + '\n');
    out.commit();
}

QStringList RunLog::unrecorded(const InstallRecord &record) const
{
    QFile file(record.folder + QStringLiteral("unrecorded.txt"));
    if (!record.isValid() || !file.open(QIODevice::ReadOnly))
        return {};
    QStringList paths;
    for (const QByteArray &line : file.read(4 * 1024 * 1024).split('\n')) {
        if (!line.isEmpty() && paths.size() < MaxUnrecorded)
            paths.append(QString::fromUtf8(line));
    }
    return paths;
}

} // namespace history
