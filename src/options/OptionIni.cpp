#include "options/OptionIni.h"

#include "core/Common.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"

TCurrentOption CurrentOption;

namespace {
QString S(const char *text) { return QString::fromLatin1(text); }
} // namespace

QString OptionIniPath(const QString &folder)
{
    return platform::resolvePath(folder + QStringLiteral("options.ini"));
}

TCurrentOption ReadOptionDescriptor(const platform::IniFile &ini, const TProgramSettings &settings,
                                    const std::function<bool(const QString &)> &scriptExists)
{
    TCurrentOption o;
    o.OptionReadMeTxtFName =
        ini.readString(S("ReadMe"), S("OptionReadMeTxtFName"), settings.DefaultReadMeTxtFName);
    o.OptionReadMeHtmlFName =
        ini.readString(S("ReadMe"), S("OptionReadMeHtmlFName"), settings.DefaultReadMeHtmlFName);
    o.OptionReadMeHttpFName =
        ini.readString(S("ReadMe"), S("OptionReadMeHttpFName"), settings.DefaultReadMeHttpFName);
    o.OptionRunMeFName =
        ini.readString(S("RunMe"), S("OptionRunMeFName"), settings.DefaultRunMeFName);
    o.OptionRunMe2FName =
        ini.readString(S("RunMe"), S("OptionRunMe2FName"), settings.DefaultRunMe2FName);
    o.OptionProgramDelay = ini.readInteger(S("ProgramDelay"), S("OptionProgramDelay"),
                                           settings.DefaultProgramDelay);
    o.OptionMode = ini.readInteger(S("Mode"), S("OptionMode"), 1);
    o.OptionLinkChildren = ini.readBool(S("LinkChildren"), S("OptionLinkChildren"), false);

    if (o.OptionMode != 0 && o.OptionMode < 6) {
        // An empty name gives the folder itself, which is no file.
        const bool hasScript =
            scriptExists(o.OptionRunMeFName) || scriptExists(o.OptionRunMe2FName);
        if (!hasScript)
            o.OptionMode = 1;
    }
    return o;
}

TCurrentOption ReadOptionDescriptor(const QString &folder, const TProgramSettings &settings)
{
    const platform::IniFile ini(OptionIniPath(folder));
    return ReadOptionDescriptor(ini, settings, [&folder](const QString &name) {
        return platform::fileExists(folder + name);
    });
}

void LoadOptionIniFile(const QString &folder)
{
    CurrentOption = ReadOptionDescriptor(folder, ProgramSettings);
}

void SaveOptionIniFile(const QString &folder)
{
    platform::IniFile::writeInteger(OptionIniPath(folder), S("Mode"), S("OptionMode"),
                                    CurrentOption.OptionMode);
}

void SaveSelectedIniFile(const QString &folder)
{
    platform::IniFile::writeInteger(platform::resolvePath(folder + S("Selected.ini")), S("Mode"),
                                    S("Selected"), 1);
}
