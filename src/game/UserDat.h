#pragma once

#include <QString>

/// The game's user-data folder with a trailing '/'. The game runs under Wine, so this is its
/// folder in the Wine prefix in force (platform::gamePrefixInForce(): pinned, $WINEPREFIX, or
/// the prefix whose user.dat changed last); without a prefix, the per-user configuration
/// folder followed by "Electronic Arts/Dark Age of Camelot/".
QString GetUserDataPath();

/// The game's settings file: "user.dat" in GetUserDataPath(), its folders and name looked up
/// as Windows would find them (case-insensitively when the exact spelling does not exist).
QString UserDatFileName();

/// The user.dat the mode was read from (ProgramSettings.GameUserDatFName), or UserDatFileName()
/// before any reading. The mode is written back to this one file.
QString UserDatFileInUse();

/// ProgramSettings.GameInterfaceMode := item1 of section interface of the game's user.dat, or
/// -1 when the file, section or key is missing or the value is no integer. Keeps the file's
/// name in ProgramSettings.GameUserDatFName.
void LoadUserDatIniFile();

/// Writes ProgramSettings.GameInterfaceMode to the same user.dat that was read, creating it and
/// its folders when missing. Every other line of the file stays as the game wrote it. Throws
/// AppError ("Unable to write to %s") when refused.
void SaveUserDatIniFile();

/// The dialog's line naming the user.dat it checked.
QString UserDatFileLine(const QString &file);

/// What the interface-mode dialog shows for a mode value.
struct InterfaceModeView
{
    QString Label2; // e.g. "Atlantis (0)"
    QString Label3;
    bool SetCustomEnabled = false;
};

/// The game's interface-mode values the program tells apart: 0 Atlantis and 4 Shrouded Isle
/// may be changed to 7 CUSTOM; anything else (-1 for no readable value) is UNKNOWN.
InterfaceModeView InterfaceModeViewFor(int mode);
