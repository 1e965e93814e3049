#include "platform/ScriptLauncher.h"

#include "platform/Error.h"
#include "platform/Paths.h"
#include "platform/WinePrefix.h"
#include "platform/WineRunner.h"

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
        // The prefix's own Wine: another version would upgrade the prefix behind the player's
        // back, so without it (and without the player's yes to another) nothing starts.
        const WineInForce inForce = wineInForce();
        const QString wine = wineToRun(inForce, OtherWineAnswers());
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
        command.winePrefix = inForce.prefix.prefix;
        command.environment = wineEnvironment(command.winePrefix);
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
            // the variables also go on the command line.
            if (!command.environment.isEmpty())
                command.arguments =
                    QStringList{QStringLiteral("env")} + command.environment + command.arguments;
            // The window is named after the script, not after whatever runs it.
            command.arguments =
                QStringList{QStringLiteral("-T"), info.fileName(), QStringLiteral("-e")} +
                command.arguments;
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
    if (!command.winePrefix.isEmpty() || !command.environment.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!command.winePrefix.isEmpty())
            environment.insert(QStringLiteral("WINEPREFIX"), command.winePrefix);
        for (const QString &variable : std::as_const(command.environment)) {
            const qsizetype equals = variable.indexOf(QLatin1Char('='));
            if (equals > 0)
                environment.insert(variable.left(equals), variable.mid(equals + 1));
        }
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
    return !systemWine().isEmpty();
}

QStringList wineEnvironment(const QString &prefix)
{
    QStringList environment;
    if (!prefix.isEmpty())
        environment << QStringLiteral("WINEPREFIX=") + prefix;
    // A player who sets WINEDEBUG wants Wine's messages; anyone else gets a quiet window.
    if (!qEnvironmentVariableIsSet("WINEDEBUG"))
        environment << QStringLiteral("WINEDEBUG=-all");
    const QString menus = QStringLiteral("winemenubuilder.exe=d");
    const QString overrides = qEnvironmentVariable("WINEDLLOVERRIDES");
    environment << QStringLiteral("WINEDLLOVERRIDES=") +
                       (overrides.isEmpty() ? menus : overrides + QLatin1Char(';') + menus);
    return environment;
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
    if (!windows)
        return;
    const WineInForce inForce = wineInForce();
    const PrefixWine &own = inForce.wine;
    if (own.source == WineSource::Pinned) {
        if (wineToRun(inForce, OtherWineAnswers()).isEmpty())
            throw AppError(pinnedWineMissingMessage(own.binary));
        return;
    }
    if (!own.missing) {
        if (own.binary.isEmpty())
            throw AppError(wineMissingMessage());
        return;
    }

    // The prefix's own Wine is gone: only the system wine could run the scripts there, and only
    // when the player says so.
    const QString other = systemWine();
    if (other.isEmpty())
        throw AppError(wineMissingMessage());
    OtherWineAnswers answers;
    const QString &prefix = inForce.prefix.prefix;
    if (answers.allowed(prefix))
        return;
    if (!askWineQuestion({prefix, own.label, other}))
        throw UserCancelled();
    answers.allow(prefix);
}

} // namespace platform
