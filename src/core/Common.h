#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

/// The process-wide settings record: the program's paths, every value of the settings file
/// and a few run-time values. Fields take the names of the settings file's keys.
/// One instance, ::ProgramSettings, touched only from the GUI thread.
struct TProgramSettings
{
    // Derived from the executable, never stored.
    QString ProgramDir; // ends in '/'
    QString ProgramName;
    QString ProgramIniFName;

    QString ProgramTitle;
    QString OptionsDir;
    QString ThemesDir;
    QString ThemesAppDataDir;
    QString ThemeName;
    QString AboutTxtFName, AboutHtmlFName, AboutHttpFName;
    QString HowToTxtFName, HowToHtmlFName, HowToHttpFName;
    QString WelcomeTxtFName, WelcomeHtmlFName, WelcomeHttpFName;
    QString DefaultReadMeTxtFName, DefaultReadMeHtmlFName, DefaultReadMeHttpFName;
    QString DefaultRunMeFName, DefaultRunMe2FName;
    int DefaultProgramDelay = 0;
    bool HideShell = false;
    bool AllowDisplayHttpLinks = false;
    bool CheckInterfaceMode = false;
    bool CheckForUpdateMode = false;
    bool HideCheckForUpdate = false;
    bool PgmFirstRun = false;
    /// Shows the Themes menu ([Settings] ShowThemesMenu, off by default). Set by the pack maker:
    /// read at start-up and never written, so the key stays as the pack has it.
    bool ShowThemesMenu = false;
    /// Shows an option's preview pictures above its ReadMe ([Settings] ShowPreviews, on by
    /// default). Read only, like ShowThemesMenu.
    bool ShowPreviews = true;
    int WindowState = 0;
    QString UserInterface, Varimond, AvailableBetas, AvailableAddOns;
    QString UrlVersionInfo, UrlVersionNotes, UrlWeblinkPage, WeblinkButtonCaption;
    int CheckUpdateDelay = 0;
    // [Wine] WinePrefix: the game's Wine prefix when the player or the pack pins it. Read only:
    // the save leaves the key as it was written.
    QString WinePrefix;
    // [Wine] WineBinary: the Wine that runs the Windows scripts when the player pins it. Read
    // only, like WinePrefix.
    QString WineBinary;
    /// [Update] PublicKey: the minisign public key whose signature a pack update's archive must
    /// carry; empty when the pack asks for none. Set by the pack maker, read only.
    QString PublicKey;

    // Run-time values that never reach the settings file.
    // The options and themes folders in use, set by ConfineSettingsFolders(): the folders the
    // settings name when the pack may use them, else the defaults; empty before the check, and
    // the themes folder empty when no themes folder may be used.
    QString OptionsFolder;
    QString ThemesFolder;
    bool FoldersConfined = false;
    // Real folders outside the pack that it reaches through links, as the player allowed.
    QStringList LinkedFolders;
    int GameInterfaceMode = 0;
    QString GameUserDatFName; // the game's user.dat the mode was read from; written back there
    QString NewUserInterface, NewProgramVersion, NewAvailableBetas, NewAvailableAddOns;

    /// The settings file: ProgramDir + ProgramIniFName.
    QString iniPath() const { return ProgramDir + ProgramIniFName; }
    /// The options root with a trailing '/': ProgramDir + OptionsDir + "/", with OptionsDir's
    /// backslashes taken as separators and its folders found without regard to case.
    QString optionsRoot() const;
};

extern TProgramSettings ProgramSettings;

/// Fills ProgramDir, ProgramName and ProgramIniFName from the path the program was started
/// with (a symbolic link to the binary is not resolved).
void DeriveProgramPaths(TProgramSettings &settings, const QString &executablePath);

/// The main window's placement, read from section MainWindowSizes at window creation.
struct MainWindowPlacement
{
    int WindowTop = 100;
    int WindowLeft = 100;
    int WindowWidth = 500;
    int WindowHeight = 250;
    int OptionsTreeWidth = 200;
    int WindowState = 0;
};

MainWindowPlacement ReadMainWindowPlacement(const QString &iniPath);

/// Sizes that the settings file keeps for the About and update windows.
struct SecondaryWindowSizes
{
    QSize About{200, 200};
    QSize CheckUpdate{200, 200};
};

/// Reads every key except section MainWindowSizes into @p settings, in the file's documented
/// order, with every default. A missing or unreadable file gives the defaults.
void LoadProgramIniFile(TProgramSettings &settings, SecondaryWindowSizes &sizes);

/// Checks the folders the settings file names inside the program folder (OptionsDir, ThemesDir)
/// and sets the folders in use (OptionsFolder, ThemesFolder): a folder inside the pack is used;
/// a folder of the player's elsewhere, reached through a link, once the player allowed it for
/// the pack (asked once, for all such folders together, when @p ask is set; see
/// platform::reachFolder()); anything else is not used, and the default ("Options", "Themes")
/// is tried instead. The settings' own values are never changed. Returns one line for each
/// value set aside, naming the key, the value, why, and what is used instead.
QStringList ConfineSettingsFolders(TProgramSettings &settings, bool ask = false);

/// The line ConfineSettingsFolders() gives for a value of [@p section] @p key set aside.
QString IgnoredSettingLine(const QString &section, const QString &key, const QString &value,
                           const QString &why, const QString &fallback);

/// What the windows report at close time for the settings file.
struct WindowStateAtClose
{
    QString Caption;
    QRect NormalGeometry; // the main window's restored frame rectangle
    int WindowState = 0;  // 0 normal, 1 minimised, 2 maximised
    int OptionsTreeWidth = 200;
    QSize About{200, 200};
    QSize CheckUpdate{200, 200};
};

/// Writes the settings file in its fixed order, replacing the file once, so that it holds either
/// the whole save or the old content. Throws AppError ("Unable to write to %s") when the file
/// may not be written; it is then left as it was.
void SaveProgramIniFile(const TProgramSettings &settings, const WindowStateAtClose &state);
