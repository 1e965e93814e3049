#include "platform/ScriptLauncher.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace platform {

namespace {

// Windows' cmd needs a Windows path. A script inside the working folder is named relative to
// it; any other goes through wine's Z: drive, which maps the Unix root.
QString winePath(const QString &file, const QString &directory)
{
    const QString absolute = QFileInfo(file).absoluteFilePath();
    const QString dir = QDir(directory).absolutePath();
    QString path;
    if (!dir.isEmpty() && absolute.startsWith(dir + QLatin1Char('/')))
        path = absolute.mid(dir.size() + 1);
    else
        path = QStringLiteral("Z:") + absolute;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return path;
}

} // namespace

ShellCommand shellOpenCommand(const QString &file, const QStringList &parameters,
                              const QString &directory, ShowCommand show)
{
    const QFileInfo info(file);
    const QString suffix = info.suffix().toLower();
    ShellCommand command;
    bool console = true; // runs in a terminal when shown normally
    if (suffix == QLatin1String("sh")) {
        command.program = QStringLiteral("/bin/sh");
        command.arguments = QStringList{file} + parameters;
    } else if (suffix == QLatin1String("bat") || suffix == QLatin1String("cmd")) {
        const QString wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
        if (wine.isEmpty())
            return {};
        command.program = wine;
        command.arguments =
            QStringList{QStringLiteral("cmd"), QStringLiteral("/c"), winePath(file, directory)} +
            parameters;
    } else if (info.isFile() && info.isExecutable()) {
        command.program = info.absoluteFilePath();
        command.arguments = parameters;
    } else {
        const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
        if (opener.isEmpty())
            return {};
        command.program = opener;
        command.arguments = QStringList{file}; // xdg-open takes exactly one argument
        console = false;                       // the opened application brings its own window
    }

    if (show == ShowCommand::Normal && console) {
        const QString terminal =
            QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator"));
        if (!terminal.isEmpty()) {
            command.arguments.prepend(command.program);
            command.arguments.prepend(QStringLiteral("-e"));
            command.program = terminal;
        }
    }
    return command;
}

bool shellOpen(const QString &file, const QStringList &parameters, const QString &directory,
               ShowCommand show)
{
    const QString resolved = resolvePath(file);
    if (!QFileInfo(resolved).isFile())
        return false;
    const QString workDir = resolvePath(directory);
    const ShellCommand command = shellOpenCommand(resolved, parameters, workDir, show);
    if (command.program.isEmpty())
        return false;

    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    process.setWorkingDirectory(workDir);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

} // namespace platform
