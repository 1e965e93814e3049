#include "core/Common.h"

#include "platform/Confine.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/WinePrefix.h"

#include <utility>

TProgramSettings ProgramSettings;

namespace {

// The launcher and the user.dat look-up find the pinned Wine prefix and Wine in the settings
// record.
[[maybe_unused]] const bool PinnedPrefixRegistered = [] {
    platform::setPinnedPrefixSource([] {
        return platform::PinnedPrefix{ProgramSettings.WinePrefix, ProgramSettings.ProgramDir,
                                      ProgramSettings.WineBinary};
    });
    return true;
}();

const QString kUndef = QStringLiteral("Undef");

QString S(const char *text)
{
    return QString::fromLatin1(text);
}

} // namespace

QString TProgramSettings::optionsRoot() const
{
    // A name from the settings file, so found as Windows would find it: backslashes are
    // separators and the folder's name may differ in case.
    QString dir = platform::fromStoredPath(OptionsDir);
    while (dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return platform::resolvePath(ProgramDir + dir) + QLatin1Char('/');
}

void DeriveProgramPaths(TProgramSettings &settings, const QString &executablePath)
{
    settings.ProgramDir = platform::programDirFrom(executablePath);
    settings.ProgramName = platform::programNameFrom(executablePath);
    settings.ProgramIniFName = settings.ProgramName + QStringLiteral(".ini");
}

MainWindowPlacement ReadMainWindowPlacement(const QString &iniPath)
{
    const platform::IniFile ini(iniPath);
    const QString section = S("MainWindowSizes");
    MainWindowPlacement p;
    p.WindowTop = ini.readInteger(section, S("WindowTop"), 100);
    p.WindowLeft = ini.readInteger(section, S("WindowLeft"), 100);
    p.WindowWidth = ini.readInteger(section, S("WindowWidth"), 500);
    p.WindowHeight = ini.readInteger(section, S("WindowHeight"), 250);
    p.OptionsTreeWidth = ini.readInteger(section, S("OptionsTreeWidth"), 200);
    p.WindowState = ini.readInteger(section, S("WindowState"), 0);
    return p;
}

void LoadProgramIniFile(TProgramSettings &s, SecondaryWindowSizes &sizes)
{
    const platform::IniFile ini(s.iniPath());
    auto str = [&ini](const char *section, const char *key, const QString &def) {
        return ini.readString(S(section), S(key), def);
    };
    auto num = [&ini](const char *section, const char *key, int def) {
        return ini.readInteger(S(section), S(key), def);
    };
    auto flag = [&ini](const char *section, const char *key, bool def) {
        return ini.readBool(S(section), S(key), def);
    };

    s.ProgramTitle = str("ProgramTitle", "ProgramTitle", S("Varimond"));
    s.OptionsDir = str("OptionsDir", "OptionsDir", S("Options"));
    s.ThemesDir = str("ThemesDir", "ThemesDir", S("Themes"));
    s.ThemesAppDataDir = str("ThemesDir", "ThemesAppDataDir", S("Themes"));
    s.ThemeName = str("ActiveTheme", "ThemeName", S("(Default)"));
    s.AboutTxtFName = str("About", "AboutTxtFName", S("About.txt"));
    s.AboutHtmlFName = str("About", "AboutHtmlFName", QString());
    s.AboutHttpFName = str("About", "AboutHttpFName", QString());
    s.HowToTxtFName = str("HowTo", "HowToTxtFName", S("HowTo.txt"));
    s.HowToHtmlFName = str("HowTo", "HowToHtmlFName", QString());
    s.HowToHttpFName = str("HowTo", "HowToHttpFName", QString());
    s.WelcomeTxtFName = str("Welcome", "WelcomeTxtFName", S("Welcome.txt"));
    s.WelcomeHtmlFName = str("Welcome", "WelcomeHtmlFName", QString());
    s.WelcomeHttpFName = str("Welcome", "WelcomeHttpFName", QString());
    s.DefaultReadMeTxtFName = str("ReadMe", "DefaultReadMeTxtFName", S("ReadMe.txt"));
    s.DefaultReadMeHtmlFName = str("ReadMe", "DefaultReadMeHtmlFName", QString());
    s.DefaultReadMeHttpFName = str("ReadMe", "DefaultReadMeHttpFName", QString());
    s.DefaultRunMeFName = str("RunMe", "DefaultRunMeFName", S("RunMe.bat"));
    s.DefaultRunMe2FName = str("RunMe", "DefaultRunMe2FName", S("RunMe2.bat"));
    s.DefaultProgramDelay = num("ProgramDelay", "DefaultProgramDelay", 2000);
    s.HideShell = flag("Settings", "HideShell", false);
    s.AllowDisplayHttpLinks = flag("Settings", "AllowDisplayHttpLinks", true);
    s.CheckInterfaceMode = flag("Settings", "CheckInterfaceMode", true);
    s.CheckForUpdateMode = flag("Settings", "CheckForUpdateMode", false);
    s.HideCheckForUpdate = flag("Settings", "HideCheckForUpdate", true);
    s.PgmFirstRun = flag("Settings", "PgmFirstRun", true);
    s.ShowThemesMenu = flag("Settings", "ShowThemesMenu", false);
    s.ShowPreviews = flag("Settings", "ShowPreviews", true);
    sizes.About.setWidth(num("AboutWindowSizes", "WindowWidth", 200));
    sizes.About.setHeight(num("AboutWindowSizes", "WindowHeight", 200));
    s.UserInterface = str("VersionInfo", "UserInterface", kUndef);
    s.Varimond = str("VersionInfo", "Varimond", kUndef);
    s.AvailableBetas = str("VersionInfo", "AvailableBetas", kUndef);
    s.AvailableAddOns = str("VersionInfo", "AvailableAddOns", kUndef);
    s.UrlVersionInfo = str("VersionInfo", "UrlVersionInfo", kUndef);
    s.UrlVersionNotes = str("VersionInfo", "UrlVersionNotes", kUndef);
    s.UrlWeblinkPage = str("VersionInfo", "UrlWeblinkPage", kUndef);
    s.WeblinkButtonCaption = str("VersionInfo", "WeblinkButtonCaption", kUndef);
    s.CheckUpdateDelay = num("VersionInfo", "CheckUpdateDelay", 12);
    sizes.CheckUpdate.setWidth(num("CheckUpdateWindowSizes", "WindowWidth", 200));
    sizes.CheckUpdate.setHeight(num("CheckUpdateWindowSizes", "WindowHeight", 200));
    s.WinePrefix = str("Wine", "WinePrefix", QString());
    s.WineBinary = str("Wine", "WineBinary", QString());
    s.PublicKey = str("Update", "PublicKey", QString());
}

QString IgnoredSettingLine(const QString &section, const QString &key, const QString &value,
                           const QString &why, const QString &fallback)
{
    return QStringLiteral("[%1] %2=%3 was ignored: %4. \"%5\" is used instead.")
        .arg(section, key, value, why, fallback);
}

QStringList ConfineSettingsFolders(TProgramSettings &s)
{
    QStringList lines;
    auto confine = [&](QString &field, const char *section, const char *key, const char *fallback) {
        QString why;
        if (!platform::confinedFolder(s.ProgramDir, field, &why).isEmpty())
            return;
        lines.append(IgnoredSettingLine(S(section), S(key), field, why, S(fallback)));
        field = S(fallback);
    };
    confine(s.OptionsDir, "OptionsDir", "OptionsDir", "Options");
    confine(s.ThemesDir, "ThemesDir", "ThemesDir", "Themes");
    return lines;
}

void SaveProgramIniFile(const TProgramSettings &s, const WindowStateAtClose &w)
{
    platform::IniFile ini(s.iniPath());
    // A settings file that is a link out of the pack (to the user's .bashrc, say) is never
    // written through.
    ini.confineWritesTo(platform::realLocation(s.ProgramDir));
    // The keys are written in their fixed order and the file is replaced once at the end.
    ini.beginUpdate();
    auto str = [&ini](const char *section, const char *key, const QString &value) {
        ini.writeString(S(section), S(key), value);
    };
    auto num = [&ini](const char *section, const char *key, int value) {
        ini.writeInteger(S(section), S(key), value);
    };
    auto flag = [&ini](const char *section, const char *key, bool value) {
        ini.writeBool(S(section), S(key), value);
    };

    str("ProgramTitle", "ProgramTitle", w.Caption);
    str("OptionsDir", "OptionsDir", s.OptionsDir);
    str("ActiveTheme", "ThemeName", s.ThemeName);
    str("About", "AboutTxtFName", s.AboutTxtFName);
    str("About", "AboutHtmlFName", s.AboutHtmlFName);
    str("About", "AboutHttpFName", s.AboutHttpFName);
    str("HowTo", "HowToTxtFName", s.HowToTxtFName);
    str("HowTo", "HowToHtmlFName", s.HowToHtmlFName);
    str("HowTo", "HowToHttpFName", s.HowToHttpFName);
    str("Welcome", "WelcomeTxtFName", s.WelcomeTxtFName);
    str("Welcome", "WelcomeHtmlFName", s.WelcomeHtmlFName);
    str("Welcome", "WelcomeHttpFName", s.WelcomeHttpFName);
    str("ReadMe", "DefaultReadMeTxtFName", s.DefaultReadMeTxtFName);
    str("ReadMe", "DefaultReadMeHtmlFName", s.DefaultReadMeHtmlFName);
    str("ReadMe", "DefaultReadMeHttpFName", s.DefaultReadMeHttpFName);
    str("RunMe", "DefaultRunMeFName", s.DefaultRunMeFName);
    str("RunMe", "DefaultRunMe2FName", s.DefaultRunMe2FName);
    num("ProgramDelay", "DefaultProgramDelay", s.DefaultProgramDelay);
    flag("Settings", "PgmFirstRun", false);
    flag("Settings", "HideShell", s.HideShell);
    flag("Settings", "AllowDisplayHttpLinks", s.AllowDisplayHttpLinks);
    flag("Settings", "CheckInterfaceMode", s.CheckInterfaceMode);
    flag("Settings", "CheckForUpdateMode", s.CheckForUpdateMode);
    const QRect &r = w.NormalGeometry;
    num("MainWindowSizes", "WindowTop", r.top());
    num("MainWindowSizes", "WindowLeft", r.left());
    num("MainWindowSizes", "WindowWidth", r.width());
    num("MainWindowSizes", "WindowHeight", r.height());
    num("MainWindowSizes", "WindowState", w.WindowState);
    num("MainWindowSizes", "OptionsTreeWidth", w.OptionsTreeWidth);
    num("AboutWindowSizes", "WindowWidth", w.About.width());
    num("AboutWindowSizes", "WindowHeight", w.About.height());
    const std::pair<const char *, const QString *> urls[] = {
        {"UrlVersionInfo", &s.UrlVersionInfo},
        {"UrlVersionNotes", &s.UrlVersionNotes},
        {"UrlWeblinkPage", &s.UrlWeblinkPage},
        {"WeblinkButtonCaption", &s.WeblinkButtonCaption}};
    for (const auto &[key, value] : urls) {
        if (*value != kUndef)
            str("VersionInfo", key, *value);
    }
    num("CheckUpdateWindowSizes", "WindowWidth", w.CheckUpdate.width());
    num("CheckUpdateWindowSizes", "WindowHeight", w.CheckUpdate.height());
    ini.flush();
}
