// The start of a script that does nothing, run to its end: in the sandbox the program builds
// for a pack (bubblewrap with the system read-only, the pack and a prefix writable, the home
// hidden, no network), unconfined as /bin/sh, and the floor of a bare fork and exec of
// /bin/true. Each is spawned and waited for the same way; prints the minimum and the median.

#include "launch/ScriptSandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

#include "../common/Figures.h"

extern char **environ;

namespace {

constexpr int Runs = 41;

// Spawns @p args and waits for it; the time in milliseconds.
double Run(const QStringList &args)
{
    std::vector<QByteArray> bytes;
    for (const QString &arg : args)
        bytes.push_back(QFile::encodeName(arg));
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        qFatal("cannot start %s", argv[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        qFatal("%s failed", argv[0]);
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString pack = dir.path() + QStringLiteral("/pack");
    const QString prefix = dir.path() + QStringLiteral("/prefix/drive_c");
    QDir().mkpath(pack);
    QDir().mkpath(prefix);
    const QString script = pack + QStringLiteral("/RunMe.sh");
    QFile file(script);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\nexit 0\n") < 0)
        qFatal("cannot write the script");
    file.close();

    const QString bwrap = platform::bubblewrapProgram();
    if (bwrap.isEmpty() || !platform::sandboxAvailable()) {
        std::printf("bubblewrap cannot start here: nothing to measure\n");
        return 0;
    }
    platform::SandboxPlan plan = platform::SandboxPlan::forSession();
    plan.writable = {pack, dir.path() + QStringLiteral("/prefix")};
    plan.workDir = pack;
    const QStringList sandboxed =
        QStringList{bwrap} + plan.arguments() + QStringList{QStringLiteral("/bin/sh"), script};
    const QStringList unconfined{QStringLiteral("/bin/sh"), script};
    const QStringList floor{QStringLiteral("/bin/true")};

    Figures inSandbox, outside, bare;
    for (int i = 0; i < Runs; ++i) {
        bare.ms.push_back(Run(floor));
        outside.ms.push_back(Run(unconfined));
        inSandbox.ms.push_back(Run(sandboxed));
    }
    std::printf("Start of a do-nothing script, run to its end (%d runs each, ms):\n", Runs);
    std::printf("  fork/exec floor (/bin/true)  min %7.2f  median %7.2f\n", bare.min(),
                bare.median());
    std::printf("  unconfined (/bin/sh)         min %7.2f  median %7.2f\n", outside.min(),
                outside.median());
    std::printf("  sandboxed (bubblewrap)       min %7.2f  median %7.2f\n", inSandbox.min(),
                inSandbox.median());
    std::printf("  the sandbox adds             min %7.2f  median %7.2f\n",
                inSandbox.min() - outside.min(), inSandbox.median() - outside.median());
    return 0;
}
