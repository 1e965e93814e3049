#pragma once

#include <QString>

#include <functional>

struct TProgramSettings;
namespace platform {
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

/// CurrentOption := the descriptor of @p folder, with ::ProgramSettings' defaults.
void LoadOptionIniFile(const QString &folder);

/// Writes CurrentOption.OptionMode into section Mode of @p folder's options.ini, creating the
/// file when missing and keeping every other line. Throws AppError when refused. With
/// @p realRoot (a real location), a descriptor that, links followed, lies outside it is refused.
void SaveOptionIniFile(const QString &folder, const QString &realRoot = QString());

/// A descriptor as it was before a run of writes, so that the run can be undone.
struct DescriptorBackup
{
    QString Path; ///< the descriptor's file as found on disk
    bool Existed = false;
    QByteArray Bytes;
};

/// Checks that @p folder's descriptor may be written (read whole, below the size limit, and the
/// file, or its folder when it is missing, writable; when it is a link, leading inside
/// @p realRoot when given) and keeps its bytes. The caller has placed the folder itself. Throws AppError ("Unable to write to %s") when it may not be written.
DescriptorBackup BackUpOptionIniFile(const QString &folder, const QString &realRoot = QString());

/// Puts a descriptor back as @p backup holds it: its old bytes, or no file when there was none.
/// Returns false when that failed too.
bool RestoreOptionIniFile(const DescriptorBackup &backup);

/// Writes the selection marker Selected.ini ([Mode] Selected=1) into @p folder.
void SaveSelectedIniFile(const QString &folder);

/// The descriptor file of @p folder as it is found on disk (names from Windows packs may differ
/// in case), or folder + "options.ini" when there is none.
QString OptionIniPath(const QString &folder);
