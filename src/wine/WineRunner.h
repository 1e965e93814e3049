#pragma once

#include "wine/WinePrefix.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace platform {

/// Where the Wine that runs a prefix's scripts came from.
enum class WineSource {
    System, // the "wine" on the PATH: plain prefixes, and Lutris's "system" version
    Pinned, // [Wine] WineBinary of the settings file
    Lutris, // the runner version a Lutris game names (or Lutris's default runner)
    Proton, // the Proton build a Steam prefix was made with
};

/// The Wine a prefix belongs to. A prefix made by a Lutris runner or a Proton build is run by
/// that Wine only: another Wine version upgrades the prefix's registry and files, and the game
/// may then no longer start under its own Wine.
struct PrefixWine
{
    WineSource source = WineSource::System;
    QString binary;       // the wine to run, absolute; empty when it is not there
    QString label;        // "Lutris runner wine-ge-8-26", "Proton 8.0-5", "system wine", ...
    QString origin;       // how a found prefix was known: "Lutris game daoc", "Steam app 2510", ...
    bool missing = false; // the prefix's own Wine was removed (a Lutris runner, a Proton build)
};

/// What the Wine look-up reads besides the prefix: the home folder (Lutris's and Steam's
/// folders), [Wine] WineBinary as written and the folder a relative one starts at.
struct WineSearch
{
    QString home;
    QString pinnedBinary;
    QString baseDir;
};

/// The Wine that belongs to @p prefix (absolute, as GamePrefix holds it):
/// - [Wine] WineBinary when pinned (a bare name is looked for on the PATH);
/// - a prefix named by a Lutris game's *.yml: the runner under "wine: version:", else the
///   default of Lutris's runners/wine.yml, found as <Lutris data>/runners/wine/<version>/bin/wine
///   ("system" is the wine on the PATH);
/// - a Proton prefix (<compatdata>/<appid>/pfx): the build its config_info names, files/bin/wine
///   or, in older builds, dist/bin/wine;
/// - any other prefix: the wine on the PATH.
/// An empty @p prefix (none in force) gets the wine on the PATH.
PrefixWine prefixWine(const QString &prefix, const WineSearch &search);

/// The prefix in force and its Wine, as the scripts of this process run them.
struct WineInForce
{
    GamePrefix prefix;
    PrefixWine wine;
};
WineInForce wineInForce();

/// The wine on the PATH, or empty.
QString systemWine();

/// Answers the player gave to running the system Wine in a prefix whose own Wine is missing.
/// They are the player's, not the pack's: kept in Varimond's configuration folder, one prefix a
/// line.
class OtherWineAnswers final
{
public:
    /// The answers in @p file; by default "wine-prefixes" in varimondConfigFolder().
    explicit OtherWineAnswers(QString file = {});

    bool allowed(const QString &prefix) const;
    /// Remembers the yes for @p prefix. Throws AppError ("Unable to write to ...") when the
    /// answers cannot be stored.
    void allow(const QString &prefix);

    const QString &file() const { return m_file; }

private:
    QStringList read() const;

    QString m_file;
};

/// What the player is asked before Windows scripts run in a prefix whose own Wine is missing.
struct WineQuestion
{
    QString prefix;
    QString ownWine;   // the Wine the prefix belongs to, PrefixWine::label
    QString otherWine; // the wine that would run instead (the system wine)

    /// The question's text, naming the prefix and both Wines.
    QString text() const;
};

/// Asks the question; true for yes. The application registers a dialog; without one every
/// question counts as answered with Cancel, so nothing ever runs silently in another Wine.
using WineQuestionHandler = std::function<bool(const WineQuestion &)>;
void setWineQuestionHandler(WineQuestionHandler handler);
/// Asks @p question through the registered handler; false without one.
bool askWineQuestion(const WineQuestion &question);

/// The message when a pinned [Wine] WineBinary cannot be run.
QString pinnedWineMissingMessage(const QString &binary);

/// The Wine that runs the scripts in the prefix in force, once the player may have been asked:
/// the prefix's own Wine when it is there, the system wine in a prefix whose own Wine is missing
/// when the player allowed it. Empty when scripts may not start.
QString wineToRun(const WineInForce &wine, const OtherWineAnswers &answers);

/// One line for the About window: what goes before the path, the path, and its note.
struct DescribedPath
{
    QString lead;
    QString path;
    QString note;

    QString text() const;
};

/// "Wine prefix: <path> (<where it came from>)", or "Wine prefix: none found".
DescribedPath describePrefix(const WineInForce &wine);
/// "Wine: <binary> (<where it came from>)".
DescribedPath describeWine(const WineInForce &wine, const OtherWineAnswers &answers);

} // namespace platform
