#include "game/UserDat.h"

#include "core/Common.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "files/Paths.h"
#include "wine/WinePrefix.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString InterfaceSection = QStringLiteral("interface");
const QString ModeKey = QStringLiteral("item1");

constexpr int AtlantisMode = 0;
constexpr int ShroudedIsleMode = 4;
constexpr int CustomMode = 7;

} // namespace

QString GetUserDataPath()
{
    const platform::GamePrefix prefix = platform::gamePrefixInForce();
    if (prefix.source != platform::PrefixSource::None)
        return prefix.gameFolder;
    return platform::userAppDataFolder() + QLatin1Char('/') + platform::gameDataSubPath();
}

QString UserDatFileName()
{
    QString folder = platform::resolvePath(GetUserDataPath());
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return platform::resolvePath(folder + QStringLiteral("user.dat"));
}

QString UserDatFileInUse()
{
    return ProgramSettings.GameUserDatFName.isEmpty() ? UserDatFileName()
                                                      : ProgramSettings.GameUserDatFName;
}

void LoadUserDatIniFile()
{
    const QString path = UserDatFileName();
    ProgramSettings.GameUserDatFName = path;
    ProgramSettings.GameInterfaceMode =
        platform::IniFile::readInteger(path, InterfaceSection, ModeKey, -1);
}

void SaveUserDatIniFile()
{
    // The file that was read is the one the game uses: writing anywhere else would leave the
    // game's mode unchanged and bring this check back at every start. It is not looked for
    // again, as another prefix may have become the newest since.
    const QString path = UserDatFileInUse();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        throw iniWriteError(path);
    platform::IniFile::writeInteger(path, InterfaceSection, ModeKey,
                                    ProgramSettings.GameInterfaceMode);
}

QString UserDatFileLine(const QString &file)
{
    return QStringLiteral("File: ") + file;
}

InterfaceModeView InterfaceModeViewFor(int mode)
{
    static const QString changeToCustom =
        QStringLiteral("To use a custom interface the mode needs to be changed to CUSTOM");
    InterfaceModeView view;
    QString prefix;
    switch (mode) {
    case AtlantisMode:
        prefix = QStringLiteral("Atlantis (");
        view.Label3 = changeToCustom;
        view.SetCustomEnabled = true;
        break;
    case ShroudedIsleMode:
        prefix = QStringLiteral("Shrouded Isle (");
        view.Label3 = changeToCustom;
        view.SetCustomEnabled = true;
        break;
    case CustomMode:
        prefix = QStringLiteral("CUSTOM (");
        break;
    default:
        prefix = QStringLiteral("UNKNOWN (");
        view.Label3 = QStringLiteral("The User.dat file was not found.");
        break;
    }
    view.Label2 = prefix + QString::number(mode) + QLatin1Char(')');
    return view;
}
