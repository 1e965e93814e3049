#pragma once

#include <QString>

namespace platform {

/// Where a path really is: symbolic links followed and "." and ".." taken as the file system
/// takes them. For a path that does not exist (yet), the real location of its longest existing
/// leading folder followed by the rest of the path as written. Empty when the path is relative,
/// when a link on the way dangles or loops, or when the rest holds a "..".
QString realLocation(const QString &path);

/// True when @p realPath is @p realRoot itself or lies below it. Both are real locations
/// (realLocation()); an empty one is never within anything.
bool isWithin(const QString &realPath, const QString &realRoot);

/// A folder that a settings file names relative to @p base (a folder, real or not): base and
/// the value joined, the value's backslashes taken as separators and its names found without
/// regard to case. Refused (an empty result, with the reason in @p why) when the value is empty,
/// absolute or a drive path, when it holds "..", or when, links followed, it leads out of
/// @p base's real location.
QString confinedFolder(const QString &base, const QString &value, QString *why = nullptr);

/// Where a folder that a pack's settings name really is, and whether the pack may use it.
struct FolderReach
{
    enum Kind {
        Inside,  // inside the pack: used silently
        Outside, // a folder of the player's elsewhere, reached through a link: used once allowed
        Refused  // never used: why says so
    };
    Kind kind = Refused;
    QString path; // base and value joined (settingsFolderPath()), the path the program uses
    QString real; // its real location
    QString why;
};

/// @p base and @p value joined as a settings folder is found: the value's backslashes taken as
/// separators, its names found without regard to case, nothing trimmed. The one path that is
/// both checked and used.
QString settingsFolderPath(const QString &base, const QString &value);

/// Judges the folder @p value names relative to @p base: Refused when the value is empty,
/// absolute or a drive path, holds "..", names @p base itself or a link that dangles; and,
/// links followed, when it leads to the root or a system folder, to @p home or a folder above
/// it, into one of the home's hidden folders, or to a folder the player does not own. Any other
/// folder out of @p base is Outside.
FolderReach reachFolder(const QString &base, const QString &value, const QString &home);

} // namespace platform
