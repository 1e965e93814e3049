#include "launch/ScriptLauncher.h"

#include "files/Confine.h"
#include "files/Error.h"
#include "files/PackPermissions.h"
#include "files/Paths.h"
#include "launch/ScriptSandbox.h"
#include "wine/WinePrefix.h"
#include "wine/WineRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <QMutex>

#include <algorithm>
#include <atomic>
#include <optional>
#include <vector>

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

struct LaunchSources
{
    QMutex mutex;
    std::function<ScriptPack()> pack;
    std::vector<std::function<QStringList()>> folders;
    std::function<bool(const UnconfinedQuestion &)> question;
};

LaunchSources &sources()
{
    static LaunchSources all;
    return all;
}

// The sandbox of a start: the pack's folder (or, without a known pack, the script's), the
// folders the player let it use, the prefix in force.
SandboxPlan planFor(const ScriptPack &pack, const QString &directory, bool network)
{
    SandboxPlan plan = SandboxPlan::forSession();
    QStringList folders = pack.folders;
    folders.prepend(pack.dir.isEmpty() ? directory : pack.dir);
    std::vector<std::function<QStringList()>> more;
    {
        const QMutexLocker lock(&sources().mutex);
        more = sources().folders;
    }
    for (const auto &source : more)
        folders += source();
    const QString prefix = gamePrefixInForce().prefix;
    if (!prefix.isEmpty())
        folders.append(prefix);
    for (const QString &folder : std::as_const(folders)) {
        // A folder the pack may write that is not there yet is made, so that it can be bound.
        QDir().mkpath(folder);
        // Bound at its real place: a link on the way is seen inside as it is outside.
        const QString real = realLocation(QDir(folder).absolutePath());
        if (!real.isEmpty() && !plan.writable.contains(real))
            plan.writable.append(real);
    }
    // The script's own folder may be reached through a link the player allowed; it is seen
    // read-only at least.
    const QString work = realLocation(QDir(directory).absolutePath());
    if (!work.isEmpty() && std::none_of(plan.writable.begin(), plan.writable.end(),
                                        [&](const QString &w) { return isWithin(work, w); }))
        plan.readable.append(work);
    plan.workDir = work;
    plan.network = network;
    return plan;
}

} // namespace

void setScriptPackSource(std::function<ScriptPack()> source)
{
    const QMutexLocker lock(&sources().mutex);
    sources().pack = std::move(source);
}

void addScriptFolderSource(std::function<QStringList()> source)
{
    const QMutexLocker lock(&sources().mutex);
    sources().folders.push_back(std::move(source));
}

void setUnconfinedQuestionHandler(std::function<bool(const UnconfinedQuestion &)> handler)
{
    const QMutexLocker lock(&sources().mutex);
    sources().question = std::move(handler);
}

ScriptPack scriptPackInForce()
{
    std::function<ScriptPack()> source;
    {
        const QMutexLocker lock(&sources().mutex);
        source = sources().pack;
    }
    return source ? source() : ScriptPack();
}

LaunchMode launchMode(const ScriptPack &pack)
{
    const PackPermissions permissions;
    const QByteArray key = PackPermissions::packKey(pack.dir);
    if (!pack.dir.isEmpty() && permissions.granted(key, PackPermissions::Grant::FullRights))
        return LaunchMode::FullRights;
    if (sandboxAvailable())
        return LaunchMode::Sandboxed;
    if (!pack.dir.isEmpty() && permissions.granted(key, PackPermissions::Grant::Unconfined))
        return LaunchMode::Unconfined;
    return LaunchMode::NeedsAnswer;
}

QString UnconfinedQuestion::text() const
{
    return QStringLiteral(
               "The scripts of %1 cannot run in a sandbox on this system: bubblewrap is missing "
               "or cannot start here.\n\nWithout it, its scripts would run with all your "
               "rights: they could read, change or delete any of your files and use the "
               "network.\n\nRun the scripts of %1 (%2) anyway?")
        .arg(pack, folder);
}

namespace {

std::atomic<unsigned> &askedCount()
{
    static std::atomic<unsigned> count{0};
    return count;
}

} // namespace

unsigned questionsAsked()
{
    return askedCount().load();
}

void requireScriptStart(const QStringList &files)
{
    if (std::all_of(files.begin(), files.end(), [](const QString &f) { return f.isEmpty(); }))
        return;
    const ScriptPack pack = scriptPackInForce();
    if (launchMode(pack) != LaunchMode::NeedsAnswer)
        return;
    std::function<bool(const UnconfinedQuestion &)> ask;
    {
        const QMutexLocker lock(&sources().mutex);
        ask = sources().question;
    }
    const QString folder = QDir::cleanPath(pack.dir);
    const QString name = pack.name.isEmpty() ? QFileInfo(folder).fileName() : pack.name;
    ++askedCount();
    if (pack.dir.isEmpty() || !ask || !ask({name, folder}))
        throw UserCancelled();
    PackPermissions().setGranted(PackPermissions::packKey(pack.dir),
                                 PackPermissions::Grant::Unconfined, true);
}

ShellCommand shellOpenCommand(const QString &file, const QStringList &parameters,
                              const QString &directory, ShowCommand show,
                              const SandboxPlan *sandbox)
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
    if (sandbox) {
        SandboxPlan plan = *sandbox;
        // The prefix's own Wine (a Lutris runner, a Proton build) may live in the hidden home:
        // its installation, two levels above its bin/wine, is seen read-only.
        if (needsWine(file)) {
            const QString install =
                realLocation(QFileInfo(QFileInfo(command.program).absolutePath()).absolutePath());
            if (!install.isEmpty() && install != QLatin1String("/"))
                plan.readable.append(install);
        }
        command = confined(command, plan, bubblewrapProgram());
        command.confined = true;
        command.network = sandbox->network;
        command.writable = sandbox->writable;
    }

    // A terminal needs a display to open on; without one it would fail and take the script
    // with it, so the script then runs as a hidden one does.
    const bool display =
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
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
    return shellOpenFound(resolved, parameters, resolvePath(directory), show, hook);
}

bool shellOpenFound(const QString &resolved, const QStringList &parameters, const QString &workDir,
                    ShowCommand show, const StartHook *hook, FoundAt found)
{
    if (found == FoundAt::Earlier && !QFileInfo(resolved).isFile())
        return false;
    const ScriptPack pack = scriptPackInForce();
    std::optional<SandboxPlan> sandbox;
    switch (launchMode(pack)) {
    case LaunchMode::Sandboxed: {
        const bool network =
            pack.asksNetwork && PackPermissions().granted(PackPermissions::packKey(pack.dir),
                                                          PackPermissions::Grant::Network);
        sandbox = planFor(pack, workDir, network);
        break;
    }
    case LaunchMode::FullRights:
    case LaunchMode::Unconfined:
        break;
    case LaunchMode::NeedsAnswer:
        return false; // never unconfined without the player's yes
    }
    ShellCommand command =
        shellOpenCommand(resolved, parameters, workDir, show, sandbox ? &*sandbox : nullptr);
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
    ++askedCount();
    if (!askWineQuestion({prefix, own.label, other}))
        throw UserCancelled();
    answers.allow(prefix);
}

} // namespace platform
