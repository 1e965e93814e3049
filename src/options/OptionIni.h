#pragma once

#include <QString>

#include <functional>

#include "ini/IniFile.h"

struct TProgramSettings;
namespace platform {
class FolderNames;
class IniFile;
class IniView;
} // namespace platform

/// The descriptor of the option folder read last (options.ini). Fields take the names of the
/// descriptor's keys. One process-wide instance, ::CurrentOption.
struct TCurrentOption
{
    QString OptionReadMeTxtFName;
    QString OptionReadMeHtmlFName;
    QString OptionReadMeHttpFName;
    QString OptionRunMeFName;
    QString OptionRunMe2FName;
    int OptionProgramDelay = 0;
    int OptionMode = 0;
    bool OptionLinkChildren = false;
};

extern TCurrentOption CurrentOption;

/// Reads @p folder's options.ini (folder ends in '/') with the defaults taken from
/// @p settings, then applies the no-script rule: when neither script names an existing file
/// (a folder of that name does not count) and the mode is not 0 and below 6, the mode reads
/// as 1. The file itself is never changed.
TCurrentOption ReadOptionDescriptor(const QString &folder, const TProgramSettings &settings);

/// The same record for a caller that has already looked the folder up (the tree scan lists each
/// folder once): @p ini is the folder's descriptor as found on disk, and @p scriptExists tells
/// whether a script name, as read and relative to the folder, names an existing file.
TCurrentOption ReadOptionDescriptor(const platform::IniFile &ini, const TProgramSettings &settings,
                                    const std::function<bool(const QString &)> &scriptExists);
/// The same from a descriptor already read into memory.
TCurrentOption ReadOptionDescriptor(const platform::IniView &ini, const TProgramSettings &settings,
                                    const std::function<bool(const QString &)> &scriptExists);

/// The descriptor of @p folder (ending in '/', as reached on disk) opened for @p intent, found
/// as on disk: the exact name first, then without regard to case in @p names, the folder's one
/// listing (made only when needed).
platform::IniFile OpenOptionDescriptor(const QString &folder, platform::IniFile::Intent intent,
                                       platform::FolderNames &names);

/// Whether @p name, a script name as a descriptor gives it, names a regular file of @p folder
/// (as reached on disk), found as Windows would find it with @p names, the folder's listing.
bool OptionScriptExists(const QString &folder, const QString &name, platform::FolderNames &names);

/// @p folder as it is reached on disk: names that are not UTF-8 go through
/// platform::accessPath(); a path of plain ASCII is itself.
QString OptionFolderReach(const QString &folder);

/// CurrentOption := the descriptor of @p folder, with ::ProgramSettings' defaults.
void LoadOptionIniFile(const QString &folder);

/// Called while an AppError about writing @p folder's descriptor is handled: rethrows it, or,
/// when the folder was reached through the alias @p reach, throws one that names the folder as
/// the user knows it.
[[noreturn]] void RethrowNamingFolder(const QString &reach, const QString &folder);

/// Writes CurrentOption.OptionMode into section Mode of @p folder's options.ini, creating the
/// file when missing and keeping every other line. Throws AppError when refused. With
/// @p realRoot (a real location), a descriptor that, links followed, lies outside it is refused.
void SaveOptionIniFile(const QString &folder, const QString &realRoot = QString());

/// Where a caller found an option folder for a run of writes: @p FromRoot (a relative path, empty
/// for the root itself) below the options folder it holds open as @p Root, with no symbolic
/// link on the way. Unset (Root -1) when the folder was not placed so.
struct PlacedFolder
{
    int Root = -1;
    QByteArray FromRoot;
};

/// One folder's new OptionMode, read and checked but not yet on disk: the first half of a run
/// of writes that must happen all together or not at all.
class PendingModeWrite
{
public:
    /// Reads @p folder's descriptor and stages @p mode in memory. Throws AppError ("Unable to
    /// write to %s") when the descriptor may not be written: not read whole, over the size
    /// limit, not writable (or, when missing, its folder not writable), or, with @p realRoot, a
    /// link that leads out of it.
    PendingModeWrite(const QString &folder, int mode, const QString &realRoot = QString());
    /// The same from @p descriptor, @p folder's descriptor already opened for Update and read.
    /// With @p placed set, the caller found the folder inside @p realRoot for this run of
    /// writes, and the write reaches it from there (platform::IniFile::writeInPlacedFolder()).
    PendingModeWrite(platform::IniFile descriptor, const QString &folder, int mode,
                     const QString &realRoot, const PlacedFolder &placed);

    /// Whether writing changes the file (a mode already as wanted leaves it untouched).
    bool Changes() const { return m_ini.hasPendingChanges(); }
    /// The memory the staged write holds.
    qsizetype Size() const { return m_before.size() + m_ini.size(); }
    /// Puts the staged mode on disk. Throws AppError when refused; the file stays as it was.
    void Write();
    /// After Write(): puts the file back to its bytes from before (or removes it when it did not
    /// exist). Returns false when that failed too.
    bool Undo();

private:
    platform::IniFile m_ini;
    QString m_shown; // the descriptor's path as the user knows the folder
    QByteArray m_before;
    bool m_existed = false;
};

/// Writes the selection marker Selected.ini ([Mode] Selected=1) into @p folder.
void SaveSelectedIniFile(const QString &folder);

/// The descriptor file of @p folder as it is found on disk (names from Windows packs may differ
/// in case), or folder + "options.ini" when there is none.
QString OptionIniPath(const QString &folder);
