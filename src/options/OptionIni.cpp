#include "options/OptionIni.h"

#include "core/Common.h"
#include "files/Confine.h"
#include "files/Error.h"
#include "files/FileNames.h"
#include "files/FolderNames.h"
#include "files/Paths.h"
#include "ini/IniFile.h"
#include "ini/IniView.h"

#include <QFile>
#include <QFileInfo>

TCurrentOption CurrentOption;

namespace {

// The folder's descriptor as found on disk: the exact name is tried with the open that reads
// it, and only a folder without it pays for the case-insensitive look-up.
platform::IniFile OpenDescriptor(const QString &folder, platform::IniFile::Intent intent,
                                 platform::FolderNames &names)
{
    const QString exact = folder + QStringLiteral("options.ini");
    platform::IniFile ini(exact, intent);
    if (ini.exists())
        return ini;
    const QString found = names.find(QStringLiteral("options.ini"));
    if (found.isEmpty() || found == QLatin1String("options.ini"))
        return ini;
    return platform::IniFile(folder + found, intent);
}

// Whether a script name from the descriptor names a file of the folder: exactly first, then
// without regard to case in the folder's one listing. A name with separators is looked up
// component by component.
bool ScriptExists(const QString &folder, const QString &name, platform::FolderNames &names)
{
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return platform::fileExists(folder + name);
    const QFileInfo exact(folder + name);
    if (exact.exists())
        return exact.isFile(); // an empty name gives the folder itself, which is no file
    const QString found = names.find(name);
    if (!found.isEmpty())
        return QFileInfo(folder + found).isFile();
    // A name beyond ASCII may be stored on disk in the code page of the pack's maker.
    for (const QChar c : name) {
        if (c.unicode() >= 0x80)
            return platform::fileExists(folder + name);
    }
    return false;
}

// A folder path that Qt's file classes can open: names that are not UTF-8 on disk are reached
// through platform::accessPath(). A path of plain ASCII needs no look-up.
QString reachable(const QString &folder)
{
    for (const QChar c : folder) {
        if (c.unicode() >= 0x80)
            return platform::accessPath(folder);
    }
    return folder;
}

} // namespace

platform::IniFile OpenOptionDescriptor(const QString &folder, platform::IniFile::Intent intent,
                                       platform::FolderNames &names)
{
    return OpenDescriptor(folder, intent, names);
}

bool OptionScriptExists(const QString &folder, const QString &name, platform::FolderNames &names)
{
    return ScriptExists(folder, name, names);
}

QString OptionFolderReach(const QString &folder)
{
    return reachable(folder);
}

QString OptionIniPath(const QString &folder)
{
    return platform::resolvePath(folder + QStringLiteral("options.ini"));
}

namespace {

template <typename Ini>
TCurrentOption readDescriptor(const Ini &ini, const TProgramSettings &settings,
                              const std::function<bool(const QString &)> &scriptExists)
{
    TCurrentOption o;
    o.OptionReadMeTxtFName =
        ini.readString(QStringLiteral("ReadMe"), QStringLiteral("OptionReadMeTxtFName"),
                       settings.DefaultReadMeTxtFName);
    o.OptionReadMeHtmlFName =
        ini.readString(QStringLiteral("ReadMe"), QStringLiteral("OptionReadMeHtmlFName"),
                       settings.DefaultReadMeHtmlFName);
    o.OptionReadMeHttpFName =
        ini.readString(QStringLiteral("ReadMe"), QStringLiteral("OptionReadMeHttpFName"),
                       settings.DefaultReadMeHttpFName);
    o.OptionRunMeFName = ini.readString(QStringLiteral("RunMe"), QStringLiteral("OptionRunMeFName"),
                                        settings.DefaultRunMeFName);
    o.OptionRunMe2FName = ini.readString(
        QStringLiteral("RunMe"), QStringLiteral("OptionRunMe2FName"), settings.DefaultRunMe2FName);
    o.OptionProgramDelay =
        ini.readInteger(QStringLiteral("ProgramDelay"), QStringLiteral("OptionProgramDelay"),
                        settings.DefaultProgramDelay);
    o.OptionMode = ini.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 1);
    o.OptionLinkChildren =
        ini.readBool(QStringLiteral("LinkChildren"), QStringLiteral("OptionLinkChildren"), false);

    if (o.OptionMode != 0 && o.OptionMode < 6) {
        // An empty name gives the folder itself, which is no file.
        const bool hasScript =
            scriptExists(o.OptionRunMeFName) || scriptExists(o.OptionRunMe2FName);
        if (!hasScript)
            o.OptionMode = 1;
    }
    return o;
}

} // namespace

TCurrentOption ReadOptionDescriptor(const platform::IniFile &ini, const TProgramSettings &settings,
                                    const std::function<bool(const QString &)> &scriptExists)
{
    return readDescriptor(ini, settings, scriptExists);
}

TCurrentOption ReadOptionDescriptor(const platform::IniView &ini, const TProgramSettings &settings,
                                    const std::function<bool(const QString &)> &scriptExists)
{
    return readDescriptor(ini, settings, scriptExists);
}

TCurrentOption ReadOptionDescriptor(const QString &shownFolder, const TProgramSettings &settings)
{
    const QString folder = reachable(shownFolder);
    // A folder that lacks a name in its exact spelling is listed once for all of them: a group
    // folder of thousands of options without a descriptor of its own is read on every tick.
    platform::FolderNames names(folder);
    const platform::IniFile ini = OpenDescriptor(folder, platform::IniFile::Intent::Read, names);
    return ReadOptionDescriptor(ini, settings, [&folder, &names](const QString &name) {
        return ScriptExists(folder, name, names);
    });
}

void LoadOptionIniFile(const QString &folder)
{
    CurrentOption = ReadOptionDescriptor(folder, ProgramSettings);
}

void RethrowNamingFolder(const QString &reach, const QString &folder)
{
    // A folder whose name is not UTF-8 is written through an alias; the user is told the
    // folder's own name.
    if (reach != folder)
        throw iniWriteError(folder + QStringLiteral("options.ini"));
    throw;
}

void SaveOptionIniFile(const QString &folder, const QString &realRoot)
{
    // Opened for the update: the one read-write open reads the file and answers whether it may
    // be written; a mode already as wanted leaves the file untouched.
    const QString reach = reachable(folder);
    platform::FolderNames names(reach);
    try {
        platform::IniFile ini = OpenDescriptor(reach, platform::IniFile::Intent::Update, names);
        if (!realRoot.isEmpty())
            ini.confineWritesTo(realRoot);
        ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"),
                         CurrentOption.OptionMode);
    } catch (const AppError &) {
        RethrowNamingFolder(reach, folder);
    }
}

namespace {

platform::IniFile OpenForUpdate(const QString &folder)
{
    const QString reach = reachable(folder);
    platform::FolderNames names(reach);
    return OpenDescriptor(reach, platform::IniFile::Intent::Update, names);
}

} // namespace

PendingModeWrite::PendingModeWrite(const QString &folder, int mode, const QString &realRoot)
    : PendingModeWrite(OpenForUpdate(folder), folder, mode, realRoot, PlacedFolder())
{
}

PendingModeWrite::PendingModeWrite(platform::IniFile descriptor, const QString &folder, int mode,
                                   const QString &realRoot, const PlacedFolder &placed)
    : m_ini(std::move(descriptor))
{
    // A folder whose name is not UTF-8 is reached through an alias; the user is told the
    // folder's own name.
    m_shown = reachable(folder) == folder ? m_ini.path() : folder + QStringLiteral("options.ini");
    if (!m_ini.mayWrite())
        throw iniWriteError(m_shown);
    // The folder itself was placed by the caller; a descriptor that is a link may still lead
    // anywhere.
    if (!realRoot.isEmpty()) {
        if (m_ini.exists() && m_ini.isLink() &&
            !platform::isWithin(platform::realLocation(m_ini.path()), realRoot))
            throw iniWriteError(m_shown);
        m_ini.confineWritesTo(realRoot);
        if (placed.Root >= 0)
            m_ini.writeInPlacedFolder(placed.Root, placed.FromRoot);
    }
    m_existed = m_ini.exists();
    m_ini.beginUpdate();
    m_ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), mode);
    if (m_ini.hasPendingChanges())
        m_before = m_ini.bytesOnDisk();
}

void PendingModeWrite::Write()
{
    try {
        m_ini.flush();
    } catch (const AppError &) {
        throw iniWriteError(m_shown);
    }
}

bool PendingModeWrite::Undo()
{
    if (!m_existed)
        return QFile::remove(m_ini.path()) || !QFileInfo::exists(m_ini.path());
    try {
        platform::IniFile(m_ini.path(), platform::IniFile::Intent::Update).replaceWith(m_before);
        return true;
    } catch (const AppError &) {
        return false;
    }
}

void SaveSelectedIniFile(const QString &folder)
{
    platform::IniFile::writeInteger(platform::resolvePath(folder + QStringLiteral("Selected.ini")),
                                    QStringLiteral("Mode"), QStringLiteral("Selected"), 1);
}
