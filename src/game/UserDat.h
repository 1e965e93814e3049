#pragma once

#include <QString>

/// The game's user-data folder with a trailing '/': the per-user configuration folder followed
/// by "Electronic Arts/Dark Age of Camelot/".
QString GetUserDataPath();

/// ProgramSettings.GameInterfaceMode := item1 of section interface of the game's user.dat, or
/// -1 when the file, section or key is missing or the value is no integer.
void LoadUserDatIniFile();

/// Writes ProgramSettings.GameInterfaceMode to the same user.dat that was read, creating it and
/// its folders when missing. Throws AppError ("Unable to write to %s") when refused.
void SaveUserDatIniFile();
