#include "app/Signals.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
std::atomic<bool> g_settingsLoaded{false};

extern "C" void onTerminationSignal(int sig)
{
    if (!g_settingsLoaded.load())
        ::_exit(128 + sig);
    const char byte = static_cast<char>(sig);
    // Nothing to do when the pipe is full: a close is already on its way.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[0], &byte, 1);
}

} // namespace

void InstallTerminationHandlers(std::function<void()> onSignal)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_pipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [onSignal = std::move(onSignal)] {
                         char buffer[16];
                         [[maybe_unused]] const ssize_t n = ::read(g_pipe[1], buffer, sizeof buffer);
                         onSignal();
                     });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

void MarkSettingsLoaded() { g_settingsLoaded.store(true); }
