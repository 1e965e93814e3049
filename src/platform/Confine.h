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

} // namespace platform
