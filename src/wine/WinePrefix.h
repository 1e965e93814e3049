#pragma once

#include <QString>
#include <QStringList>

namespace platform {

/// The game's per-user folder below a Windows profile's roaming application-data folder.
QString gameDataSubPath(); // "Electronic Arts/Dark Age of Camelot/"

/// Where the Wine prefix in force came from.
enum class PrefixSource {
    None,        // no prefix: the game's files are looked for in the configuration folder
    Pinned,      // [Wine] WinePrefix of the settings file
    Environment, // $WINEPREFIX
    Found,       // the newest user.dat among the prefixes the search knows
};

/// The game's Wine prefix and the game's files inside it.
struct GamePrefix
{
    PrefixSource source = PrefixSource::None;
    QString prefix;     // absolute, without a trailing '/'; empty with PrefixSource::None
    QString gameFolder; // the game's per-user folder in the prefix, ending in '/'
    QString userDat;    // the user.dat there when it exists (its spelling on disk), else empty
};

/// What a search looks at. fromEnvironment() fills it from this process.
struct PrefixSearch
{
    QString pinned;     // [Wine] WinePrefix as the player wrote it; "~/" means the home folder
    QString baseDir;    // a relative pinned path is taken from here (the program folder)
    QString winePrefix; // $WINEPREFIX
    QString home;       // the home folder, where ~/.wine, ~/Games and Steam's folders live
    QString userName;   // the Unix user name, which Wine gives the Windows profile
    QString wineBinary; // [Wine] WineBinary as written

    static PrefixSearch fromEnvironment();
};

/// The pinned prefix as the settings hold it: the text and the folder a relative path starts
/// from. The settings layer registers where it comes from; without a source nothing is pinned.
struct PinnedPrefix
{
    QString text;
    QString baseDir;
    QString wineBinary; // [Wine] WineBinary as written: the Wine that runs the prefix's scripts
};
void setPinnedPrefixSource(PinnedPrefix (*source)());

/// Every prefix the search knows, in its order, each folder once (however it is reached) and
/// only existing ones: ~/.wine; Lutris's ~/Games/*/ and the "prefix:" of each
/// ~/.config/lutris/games/*.yml; Steam's steamapps/compatdata/*/pfx below ~/.steam/steam,
/// ~/.local/share/Steam and the library folders their libraryfolders.vdf list.
QStringList candidatePrefixes(const PrefixSearch &search);

/// The game's user.dat in @p prefix, for the profile of @p userName or Proton's "steamuser",
/// below "AppData/Roaming" or the older "Application Data", names matched as Windows would;
/// empty when there is none.
QString userDatInPrefix(const QString &prefix, const QString &userName);

/// The game's per-user folder in @p prefix (ending in '/'), whether it exists or not: the one
/// holding user.dat when there is one, else the profile folder present in the prefix.
QString gameFolderInPrefix(const QString &prefix, const QString &userName);

/// The folders of Lutris's game files below the home folder, in search order: ~/.config and
/// ~/.local/share, then the Flatpak build's config and data folders.
const QStringList &lutrisGameFolders();

/// The prefix a Lutris game file names: its first usable "prefix:" entry ("~/" starts at
/// @p home), or empty.
QString lutrisGamePrefix(const QString &ymlPath, const QString &home);

/// The prefix in force: the pinned one when set, else $WINEPREFIX, else the candidate whose
/// user.dat changed last (the earlier in search order on a tie); PrefixSource::None when no
/// candidate holds one.
GamePrefix findGamePrefix(const PrefixSearch &search);

/// findGamePrefix() for this process.
GamePrefix gamePrefixInForce();

/// A prefix path as written by a player or another program, made absolute: "~" and "~/" start
/// at @p home, a relative path at @p baseDir; trailing '/' removed. Empty stays empty.
QString absolutePrefixPath(const QString &text, const QString &home, const QString &baseDir);

} // namespace platform
