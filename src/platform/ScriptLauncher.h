#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace platform {

/// How the window of a started script is shown: SW_HIDE or SW_SHOWNORMAL on Windows.
enum class ShowCommand { Hidden, Normal };

/// The command line that opens @p file here, by its extension (any case): ".sh" runs with
/// /bin/sh; ".bat" and ".cmd" with "wine cmd /c" and ".exe" with "wine" when wine is on the
/// PATH, in the game's Wine prefix when one is in force (gamePrefixInForce()); any other file
/// with an executable bit runs itself; anything else opens with xdg-open. @p parameters follow
/// the file (xdg-open takes the file alone). A normal window wraps the command in
/// "x-terminal-emulator -e" when that exists. The program is empty when the file cannot be
/// started on this system.
struct ShellCommand
{
    QString program;
    QStringList arguments;
    QString winePrefix; // WINEPREFIX for the process; empty: the inherited environment as it is
    bool inTerminal = false; // program is the terminal; the command follows its "-e"
};
ShellCommand shellOpenCommand(const QString &file, const QStringList &parameters,
                              const QString &directory, ShowCommand show);

/// Lets a caller that records starts see each one: @c wrap may replace the final command (the
/// program and arguments about to start, after every other choice was made; in a terminal, the
/// command after "-e" is the one to wrap, so that the wrapper runs inside the terminal), and
/// @c started learns the process id of what was started. Either may be empty.
struct StartHook
{
    std::function<ShellCommand(const ShellCommand &)> wrap;
    std::function<void(qint64 pid)> started;
};

/// Opens @p file the way the Windows shell's "open" would: started detached in @p directory,
/// never waited for, its standard streams on /dev/null. @p file is looked up case-insensitively
/// when its exact name does not exist. Returns whether a process was started; the option
/// scripts' callers do not look at it.
bool shellOpen(const QString &file, const QStringList &parameters, const QString &directory,
               ShowCommand show, const StartHook *hook = nullptr);

/// True when @p file is a Windows program or script (".bat", ".cmd", ".exe", any case), which
/// only Wine can start here.
bool needsWine(const QString &file);

/// True when a "wine" is on the PATH.
bool wineAvailable();

/// The message a user gets when a Windows script must start and Wine is missing.
QString wineMissingMessage();

/// Throws AppError with wineMissingMessage() when any of @p files needs Wine and Wine is
/// missing. Callers check before they change anything, so that an install that cannot happen
/// leaves no trace.
void requireWineFor(const QStringList &files);

} // namespace platform
