#pragma once

#include <QString>

namespace platform {

/// Where a script name that a pack stores leads.
enum class ScriptPlace { Inside, Missing, Outside };

/// Maps @p stored, a script name that a pack's file gives relative to @p base (a folder ending
/// in '/'), onto the file it names, case-insensitively as Windows would find it. Backslashes
/// count as separators and ".." is taken by the text, as Windows takes it. Outside: an absolute
/// path, a drive letter, or a path that, by its text or (links followed) by where the file
/// really is, does not lie below @p root. Missing: no regular file there (the empty name
/// included). On Inside, @p file receives the path to start. @p realRoot, when the caller knows
/// it, is the root's real location, which is then not worked out again.
ScriptPlace locateScript(const QString &base, const QString &root, const QString &stored,
                         QString *file = nullptr, const QString &realRoot = QString());

} // namespace platform
