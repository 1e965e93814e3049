#include "core/Common.h"

#include "files/Confine.h"
#include "ini/IniFile.h"
#include "files/PackPermissions.h"
#include "files/Paths.h"
#include "launch/ScriptLauncher.h"
#include "wine/WinePrefix.h"

#include <QDir>
#include <QFile>

#include <QFileInfo>

#include <algorithm>
#include <utility>
#include <vector>

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

// The scripts' sandbox learns the pack in force, whether it asks for the network ([Scripts]
// Network=1, read only) and the linked folders the player allowed it.
[[maybe_unused]] const bool ScriptPackRegistered = [] {
    platform::setScriptPackSource([] {
        platform::ScriptPack pack;
        pack.dir = ProgramSettings.ProgramDir;
        pack.name = ProgramSettings.ProgramTitle;
        if (!pack.dir.isEmpty())
            pack.asksNetwork = platform::IniFile::readInteger(
                ProgramSettings.iniPath(), QStringLiteral("Scripts"), QStringLiteral("Network"),
                0) == 1;
        pack.folders = ProgramSettings.LinkedFolders;
        return pack;
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
    // separators and the folder's name may differ in case. The folder the check let through is
    // the one used.
    const QString folder = FoldersConfined
                               ? OptionsFolder
                               : platform::settingsFolderPath(ProgramDir, OptionsDir);
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
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

QStringList ConfineSettingsFolders(TProgramSettings &s, bool ask)
{
    const platform::PackPermissions permissions;
    const QByteArray pack = platform::PackPermissions::packKey(s.ProgramDir);
    const QString home = QDir::homePath();
    struct Setting
    {
        const char *section, *key, *fallback;
        QString value;
        QString *inUse;
        std::vector<platform::FolderReach> tried; // the value, then the default when it differs
    };
    Setting settings[] = {{"OptionsDir", "OptionsDir", "Options", s.OptionsDir, &s.OptionsFolder, {}},
                          {"ThemesDir", "ThemesDir", "Themes", s.ThemesDir, &s.ThemesFolder, {}}};

    // The folders out of the pack that the player has not answered for are asked about in one
    // question, before any is used.
    std::vector<QByteArray> unasked;
    QStringList named;
    for (Setting &setting : settings) {
        for (const QString &value : {setting.value, S(setting.fallback)}) {
            if (!setting.tried.empty() && value == setting.value)
                break;
            platform::FolderReach reach = platform::reachFolder(s.ProgramDir, value, home);
            if (reach.kind == platform::FolderReach::Outside) {
                const QByteArray real = QFile::encodeName(reach.real);
                const auto answer = permissions.folder(pack, real);
                if (answer == platform::PackPermissions::Unasked &&
                    std::find(unasked.begin(), unasked.end(), real) == unasked.end()) {
                    unasked.push_back(real);
                    named.append(QStringLiteral("[%1] %2=%3: %4")
                                     .arg(S(setting.section), S(setting.key), value, reach.real));
                }
            }
            setting.tried.push_back(reach);
            if (value == S(setting.fallback))
                break;
        }
    }
    if (!unasked.empty() && ask) {
        const QString name = s.ProgramTitle.isEmpty()
                                 ? QFileInfo(QDir::cleanPath(s.ProgramDir)).fileName()
                                 : s.ProgramTitle;
        const bool yes = platform::askFolderQuestion({name, named});
        platform::PackPermissions().rememberFolders(pack, unasked, yes);
    }

    QStringList lines;
    s.LinkedFolders.clear();
    const platform::PackPermissions answered;
    for (Setting &setting : settings) {
        setting.inUse->clear();
        QString why;
        for (size_t i = 0; i < setting.tried.size() && setting.inUse->isEmpty(); ++i) {
            const platform::FolderReach &reach = setting.tried[i];
            QString refusal = reach.why;
            if (reach.kind == platform::FolderReach::Inside) {
                *setting.inUse = reach.path;
            } else if (reach.kind == platform::FolderReach::Outside) {
                switch (answered.folder(pack, QFile::encodeName(reach.real))) {
                case platform::PackPermissions::Allowed:
                    *setting.inUse = reach.path;
                    s.LinkedFolders.append(reach.real);
                    break;
                case platform::PackPermissions::Refused:
                    refusal = QStringLiteral("it leads to %1, which you did not allow this pack")
                                  .arg(reach.real);
                    break;
                case platform::PackPermissions::Unasked:
                    refusal = QStringLiteral("it leads to %1, which you have not allowed yet")
                                  .arg(reach.real);
                    break;
                }
            }
            if (i == 0)
                why = refusal;
        }
        if (!why.isEmpty()) {
            const bool fallbackUsed = setting.tried.size() > 1 && !setting.inUse->isEmpty();
            lines.append(
                fallbackUsed
                    ? IgnoredSettingLine(S(setting.section), S(setting.key), setting.value, why,
                                         S(setting.fallback))
                    : QStringLiteral("[%1] %2=%3 was not used: %4.")
                          .arg(S(setting.section), S(setting.key), setting.value, why));
        }
    }
    // Without a usable options folder the tree reads an empty place inside the pack.
    if (s.OptionsFolder.isEmpty())
        s.OptionsFolder = s.ProgramDir + QStringLiteral(".varimond-no-options");
    s.FoldersConfined = true;
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
    // Written back as it was read: a blank at either end is kept by quotes.
    const QString optionsDir = s.OptionsDir.trimmed() == s.OptionsDir
                                   ? s.OptionsDir
                                   : QLatin1Char('"') + s.OptionsDir + QLatin1Char('"');
    str("OptionsDir", "OptionsDir", optionsDir);
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
