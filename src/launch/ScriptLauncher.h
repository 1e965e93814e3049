#pragma once

#include "launch/ShellCommand.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace platform {

/// How the window of a started script is shown: SW_HIDE or SW_SHOWNORMAL on Windows.
enum class ShowCommand { Hidden, Normal };

/// The command line that opens @p file here, by its extension (any case): ".sh" runs with
/// /bin/sh; ".bat" and ".cmd" with "wine cmd /c" and ".exe" with "wine", in the game's Wine
/// prefix when one is in force, where "wine" is that prefix's own Wine (wineInForce(),
/// wineToRun()), with Wine's debug output and its desktop menu entries turned off; any other
/// file with an executable bit runs itself; anything else opens with xdg-open. @p parameters
/// follow the file (xdg-open takes the file alone). A normal window wraps the command in
/// "x-terminal-emulator -T <file name> -e" when that exists. The program is empty when the file
/// cannot be started on this system, or in a prefix whose own Wine is missing and the player
/// has not allowed another. With @p sandbox, the command (inside its terminal, when it has one)
/// runs in that sandbox.
struct SandboxPlan;
ShellCommand shellOpenCommand(const QString &file, const QStringList &parameters,
                              const QString &directory, ShowCommand show,
                              const SandboxPlan *sandbox = nullptr);

/// The pack whose scripts start, as the program knows it.
struct ScriptPack
{
    QString dir;              // the pack's folder
    QString name;             // how the player knows it
    bool asksNetwork = false; // [Scripts] Network=1 in its settings file
    QStringList folders;      // folders outside it that the player let it use
};
/// The program registers where the pack in force comes from; without a source the scripts'
/// own folders are the only writable ones.
void setScriptPackSource(std::function<ScriptPack()> source);
/// Adds folders a pack's scripts may write besides its own (the history's allowed folders).
/// The source is kept for the life of the process.
void addScriptFolderSource(std::function<QStringList()> source);

/// How a pack's scripts start.
enum class LaunchMode {
    Sandboxed,  // in the sandbox
    FullRights, // unconfined, the player trusts the pack
    Unconfined, // unconfined where the sandbox cannot start, as the player allowed
    NeedsAnswer // the sandbox cannot start and the player has not said yes: nothing starts
};
LaunchMode launchMode(const ScriptPack &pack);
ScriptPack scriptPackInForce();

/// What the player is asked before a pack's scripts run where the sandbox cannot start.
struct UnconfinedQuestion
{
    QString pack;   // the pack's name
    QString folder; // its folder

    QString text() const;
};
/// Asks the question; true for yes. Without a registered handler every question counts as
/// answered with Cancel, so no script ever runs unconfined silently.
void setUnconfinedQuestionHandler(std::function<bool(const UnconfinedQuestion &)> handler);

/// Checks, when any of @p files is set, that the pack's scripts may start: where the sandbox
/// cannot start and the player has not said yes for this pack, asks; a yes is remembered for
/// the pack, a Cancel throws UserCancelled. Callers check before they change anything.
void requireScriptStart(const QStringList &files);

/// How many questions requireScriptStart() and requireWineFor() have put to the player so far:
/// a caller that found its scripts before them tells whether time for a change passed since.
unsigned questionsAsked();

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
/// never waited for, its standard streams on /dev/null, confined as launchMode() says (nothing
/// starts in LaunchMode::NeedsAnswer). @p file is looked up case-insensitively
/// when its exact name does not exist. Returns whether a process was started; the option
/// scripts' callers do not look at it.
bool shellOpen(const QString &file, const QStringList &parameters, const QString &directory,
               ShowCommand show, const StartHook *hook = nullptr);

/// Whether a found script is looked at once more before it starts.
enum class FoundAt {
    Earlier, ///< found some time ago (a delay or a question since): a file gone starts nothing
    JustNow  ///< found just before the start: not looked at again
};

/// The same for a caller that has found both already: @p file is the file to start as
/// locateScript() gave it, @p directory the folder as it is reached on disk. Neither is looked
/// up again; with FoundAt::Earlier, a file that is no longer a regular file starts nothing.
bool shellOpenFound(const QString &file, const QStringList &parameters, const QString &directory,
                    ShowCommand show, const StartHook *hook = nullptr,
                    FoundAt found = FoundAt::Earlier);

/// True when @p file is a Windows program or script (".bat", ".cmd", ".exe", any case), which
/// only Wine can start here.
bool needsWine(const QString &file);

/// True when a "wine" is on the PATH.
bool wineAvailable();

/// The variables a Windows script runs with besides the inherited environment: WINEPREFIX
/// when @p prefix is set, WINEDEBUG=-all unless the environment sets WINEDEBUG, and
/// WINEDLLOVERRIDES with winemenubuilder.exe disabled (added to the inherited overrides), so
/// that an install adds no menu entries or file associations to the player's desktop.
QStringList wineEnvironment(const QString &prefix);

/// The message a user gets when a Windows script must start and Wine is missing.
QString wineMissingMessage();

/// Checks, when any of @p files needs Wine, that the prefix in force can run it: throws
/// AppError with wineMissingMessage() when no Wine is there, and pinnedWineMissingMessage()
/// when a pinned one cannot be run. When the prefix's own Wine is missing, the player is asked
/// (askWineQuestion()) unless a yes for that prefix is remembered; a yes is remembered
/// (OtherWineAnswers), a Cancel throws UserCancelled. Callers check before they change
/// anything, so that an install that cannot happen, or is cancelled, leaves no trace.
void requireWineFor(const QStringList &files);

} // namespace platform
