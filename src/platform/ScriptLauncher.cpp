#include "platform/ScriptLauncher.h"

#include "platform/Error.h"
#include "platform/Paths.h"
#include "platform/WinePrefix.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>

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
    } else if (needsWine(file)) {
        const QString wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
        if (wine.isEmpty())
            return {};
        command.program = wine;
        if (suffix == QLatin1String("exe"))
            command.arguments = QStringList{winePath(file, directory)} + parameters;
        else
            command.arguments = QStringList{QStringLiteral("cmd"), QStringLiteral("/c"),
                                            winePath(file, directory)} +
                                parameters;
        // The game's files live in its prefix: a script run in Wine's default one would
        // change nothing the game sees.
        command.winePrefix = gamePrefixInForce().prefix;
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

    // A terminal needs a display to open on; without one it would fail and take the script
    // with it, so the script then runs as a hidden one does.
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (show == ShowCommand::Normal && console && display) {
        const QString terminal =
            QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator"));
        if (!terminal.isEmpty()) {
            command.arguments.prepend(command.program);
            // A terminal may start its shell from a server with an environment of its own, so
            // the prefix also goes on the command line.
            if (!command.winePrefix.isEmpty()) {
                command.arguments.prepend(QStringLiteral("WINEPREFIX=") + command.winePrefix);
                command.arguments.prepend(QStringLiteral("env"));
            }
            command.arguments.prepend(QStringLiteral("-e"));
            command.program = terminal;
            command.inTerminal = true;
        }
    }
    return command;
}

bool shellOpen(const QString &file, const QStringList &parameters, const QString &directory,
               ShowCommand show, const StartHook *hook)
{
    const QString resolved = resolvePath(file);
    if (!QFileInfo(resolved).isFile())
        return false;
    const QString workDir = resolvePath(directory);
    ShellCommand command = shellOpenCommand(resolved, parameters, workDir, show);
    if (command.program.isEmpty())
        return false;
    if (hook && hook->wrap)
        command = hook->wrap(command);

    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    process.setWorkingDirectory(workDir);
    if (!command.winePrefix.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("WINEPREFIX"), command.winePrefix);
        process.setProcessEnvironment(environment);
    }
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return false;
    if (hook && hook->started)
        hook->started(pid);
    return true;
}

bool needsWine(const QString &file)
{
    const QString suffix = QFileInfo(file).suffix();
    for (const char *windows : {"bat", "cmd", "exe"}) {
        if (suffix.compare(QLatin1String(windows), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool wineAvailable()
{
    return !QStandardPaths::findExecutable(QStringLiteral("wine")).isEmpty();
}

QString wineMissingMessage()
{
    return QStringLiteral("This option's installer is a Windows script and needs Wine: install "
                          "the wine package and tick it again.");
}

void requireWineFor(const QStringList &files)
{
    const bool windows = std::any_of(files.begin(), files.end(), [](const QString &file) {
        return !file.isEmpty() && needsWine(file);
    });
    if (windows && !wineAvailable())
        throw AppError(wineMissingMessage());
}

} // namespace platform
