#include "history/RunReport.h"

#include <QDir>
#include <QFileInfo>

#include <array>

namespace history {

StartOutcome outcomeOf(const ScriptStart &start)
{
    if (RunLog::isRunning(start))
        return StartOutcome::Running;
    if (start.hasExitStatus)
        return start.exitStatus == 0 ? StartOutcome::Succeeded : StartOutcome::Failed;
    // Without a process there is nothing that could have run; a terminal whose wrapper never
    // made itself known within its grace never ran the script either.
    if (start.pid <= 0 || (start.inTerminal && !start.wrapperSeen))
        return StartOutcome::NotStarted;
    return StartOutcome::Unknown;
}

QString statusText(const ScriptStart &start)
{
    switch (outcomeOf(start)) {
    case StartOutcome::Running:
        return QStringLiteral("running");
    case StartOutcome::Succeeded:
    case StartOutcome::Failed:
        return QString::number(start.exitStatus);
    case StartOutcome::NotStarted:
        return QStringLiteral("not started");
    case StartOutcome::Unknown:
        break;
    }
    return QStringLiteral("-");
}

bool hasFailure(const InstallRecord &record)
{
    for (const ScriptStart &start : record.starts) {
        const StartOutcome outcome = outcomeOf(start);
        if (outcome == StartOutcome::Failed || outcome == StartOutcome::NotStarted)
            return true;
    }
    return false;
}

QString failureReport(const InstallRecord &record)
{
    QStringList parts;
    int ended = 0;
    for (const ScriptStart &start : record.starts) {
        const QFileInfo script(start.script);
        const QString name =
            QStringLiteral("%1 of %2").arg(script.fileName(), script.dir().dirName());
        switch (outcomeOf(start)) {
        case StartOutcome::Failed:
            if (start.inTerminal) {
                // Its output stayed in the terminal; the log has none to show.
                parts.append(QStringLiteral("%1 ended with status %2 (its output was in its "
                                            "terminal window)")
                                 .arg(name)
                                 .arg(start.exitStatus));
            } else if (!start.stopped.isEmpty()) {
                parts.append(QStringLiteral("%1 was kept from %2")
                                 .arg(name, start.stopped.join(QStringLiteral(", from "))));
                ++ended;
            } else {
                parts.append(
                    QStringLiteral("%1 ended with status %2").arg(name).arg(start.exitStatus));
                ++ended;
            }
            break;
        case StartOutcome::NotStarted:
            parts.append(QStringLiteral("%1 could not be started").arg(name));
            break;
        default:
            break;
        }
    }
    if (parts.isEmpty())
        return QString();
    QString text = parts.join(QStringLiteral("; "));
    if (ended == 1)
        text += QStringLiteral(": File > History shows its output");
    else if (ended > 1)
        text += QStringLiteral(": File > History shows their output");
    return text;
}

} // namespace history
