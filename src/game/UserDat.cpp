// Placeholder: reading and writing the game's user.dat replaces this file.
#include "game/UserDat.h"

#include "app/Common.h"

QString GetUserDataPath() { return QString(); }
void LoadUserDatIniFile() { ProgramSettings.GameInterfaceMode = 7; }
void SaveUserDatIniFile() {}
