#include "launch/ScriptSandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace platform {

namespace {

// The system's own folders, seen read-only. On a merged /usr the top-level ones are links into
// it and are made as links.
const char *const SystemFolders[] = {"/usr", "/etc",  "/opt",   "/bin",  "/sbin",
                                     "/lib", "/lib32", "/lib64", "/libx32"};

QString cleaned(const QString &path)
{
    return path.isEmpty() ? QString() : QDir::cleanPath(path);
}

bool within(const QString &path, const QString &root)
{
    return path == root || root == QLatin1String("/") ||
           path.startsWith(root + QLatin1Char('/'));
}

} // namespace

SandboxPlan SandboxPlan::forSession()
{
    SandboxPlan plan;
    plan.home = cleaned(QDir::homePath());
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        plan.x11Sockets = QStringLiteral("/tmp/.X11-unix");
        QString authority = qEnvironmentVariable("XAUTHORITY");
        if (authority.isEmpty())
            authority = plan.home + QStringLiteral("/.Xauthority");
        if (QFileInfo(authority).isFile())
            plan.xauthority = authority;
    }
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!wayland.isEmpty()) {
        const QString socket =
            wayland.startsWith(QLatin1Char('/')) ? wayland : runtime + QLatin1Char('/') + wayland;
        if (socket.startsWith(QLatin1Char('/')))
            plan.waylandSocket = socket;
    }
    // Wine's own server folder, made as Wine makes it when it is not there yet, so that a
    // wineserver started inside is the one every Wine of the player finds. One that is not the
    // player's own folder is left alone.
    const QString server = QStringLiteral("/tmp/.wine-%1").arg(::getuid());
    const QByteArray serverPath = QFile::encodeName(server);
    ::mkdir(serverPath.constData(), 0700);
    struct stat st;
    if (::lstat(serverPath.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::getuid())
        plan.wineServerDir = server;
    return plan;
}

QStringList SandboxPlan::arguments() const
{
    QStringList args;
    for (const char *name : SystemFolders) {
        const QString folder = QString::fromLatin1(name);
        const QFileInfo info(folder);
        if (info.isSymLink())
            args << QStringLiteral("--symlink") << info.symLinkTarget().section(QLatin1Char('/'), 1)
                 << folder;
        else if (info.isDir())
            args << QStringLiteral("--ro-bind") << folder << folder;
    }
    // The system's font cache spares every Wine start a scan of the fonts.
    args << QStringLiteral("--ro-bind-try") << QStringLiteral("/var/cache/fontconfig")
         << QStringLiteral("/var/cache/fontconfig");
    args << QStringLiteral("--ro-bind-try") << QStringLiteral("/sys") << QStringLiteral("/sys")
         << QStringLiteral("--proc") << QStringLiteral("/proc") << QStringLiteral("--dev")
         << QStringLiteral("/dev") << QStringLiteral("--dev-bind-try") << QStringLiteral("/dev/dri")
         << QStringLiteral("/dev/dri");
    if (network)
        args << QStringLiteral("--ro-bind-try") << QStringLiteral("/run/systemd/resolve")
             << QStringLiteral("/run/systemd/resolve");
    else
        args << QStringLiteral("--unshare-net");
    args << QStringLiteral("--new-session") << QStringLiteral("--cap-drop")
         << QStringLiteral("ALL");

    // The mounts in path order, so that a folder is in place before anything inside it. The
    // private /tmp and the empty home come first at their level; a writable folder inside
    // either is bound over it.
    enum Kind { Tmpfs, Bind, ReadOnly, Socket };
    std::multimap<QString, Kind> mounts;
    mounts.emplace(QStringLiteral("/tmp"), Tmpfs);
    const QString hidden = cleaned(home);
    const bool hideHome = !hidden.isEmpty() && hidden != QLatin1String("/") &&
                          !std::any_of(std::begin(SystemFolders), std::end(SystemFolders),
                                       [&](const char *system) {
                                           return within(hidden, QString::fromLatin1(system));
                                       });
    if (hideHome && hidden != QLatin1String("/tmp"))
        mounts.emplace(hidden, Tmpfs);
    for (const QString &folder : writable) {
        const QString path = cleaned(folder);
        // The home folder itself (a pack kept straight in it) would bring all of it back: it
        // stays hidden. A folder above it is bound first and the empty home over it.
        if (path.startsWith(QLatin1Char('/')) && path != QLatin1String("/") &&
            !(hideHome && path == hidden) && QFileInfo(path).isDir())
            mounts.emplace(path, Bind);
    }
    for (const QString &folder : readable) {
        const QString path = cleaned(folder);
        // Inside a writable folder it is writable already (bound again it would not be),
        // unless the empty home lies between them.
        if (std::any_of(writable.begin(), writable.end(), [&](const QString &w) {
                const QString folder = cleaned(w);
                return within(path, folder) &&
                       !(hideHome && within(path, hidden) && !within(folder, hidden));
            }))
            continue;
        if (path.startsWith(QLatin1Char('/')) && path != QLatin1String("/") &&
            !(hideHome && path == hidden) && QFileInfo::exists(path))
            mounts.emplace(path, ReadOnly);
    }
    for (const QString &socket : {x11Sockets, xauthority, waylandSocket}) {
        if (!socket.isEmpty() && QFileInfo::exists(socket))
            mounts.emplace(cleaned(socket), ReadOnly);
    }
    if (!wineServerDir.isEmpty() && QFileInfo(wineServerDir).isDir())
        mounts.emplace(cleaned(wineServerDir), Socket);
    for (const auto &[path, kind] : mounts) {
        switch (kind) {
        case Tmpfs:
            args << QStringLiteral("--tmpfs") << path;
            break;
        case Bind:
        case Socket:
            args << QStringLiteral("--bind") << path << path;
            break;
        case ReadOnly:
            args << QStringLiteral("--ro-bind") << path << path;
            break;
        }
    }
    // The empty home takes no new files: a script that writes there is told so, rather than
    // writing into a folder that vanishes with it.
    if (hideHome && hidden != QLatin1String("/tmp"))
        args << QStringLiteral("--remount-ro") << hidden;
    if (!workDir.isEmpty())
        args << QStringLiteral("--chdir") << cleaned(workDir);
    args << QStringLiteral("--");
    return args;
}

ShellCommand confined(const ShellCommand &command, const SandboxPlan &plan, const QString &bwrap)
{
    ShellCommand result = command;
    result.program = bwrap;
    result.arguments = plan.arguments() + QStringList{command.program} + command.arguments;
    return result;
}

QString bubblewrapProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("bwrap"));
}

bool sandboxAvailable()
{
    const QString bwrap = bubblewrapProgram();
    if (bwrap.isEmpty())
        return false;
    static QMutex mutex;
    static std::map<QString, bool> tried;
    const QMutexLocker lock(&mutex);
    const auto found = tried.find(bwrap);
    if (found != tried.end())
        return found->second;
    // The same kind of sandbox as a script gets, with nothing in it but the system.
    SandboxPlan plan;
    QStringList args = plan.arguments();
    args << QStringLiteral("/bin/true");
    QProcess trial;
    trial.setStandardInputFile(QProcess::nullDevice());
    trial.setStandardOutputFile(QProcess::nullDevice());
    trial.setStandardErrorFile(QProcess::nullDevice());
    trial.start(bwrap, args);
    const bool works = trial.waitForFinished(30000) && trial.exitStatus() == QProcess::NormalExit &&
                       trial.exitCode() == 0;
    if (trial.state() != QProcess::NotRunning) {
        trial.kill();
        trial.waitForFinished(5000);
    }
    tried[bwrap] = works;
    return works;
}

} // namespace platform
