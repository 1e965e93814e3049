#pragma once

#include <QString>
#include <QStringList>

/// Which option pack a start opens, and the list of packs opened before.
///
/// A pack is a folder holding an `Options` folder; it stands in for the program folder, so its
/// settings file, options and themes are the ones used. A binary with an `Options` folder
/// beside it (a pack with a link to the binary, or the build folder) is its own pack; an
/// installed binary opens the pack named with --pack, else the pack it last opened.
namespace packs {

/// $XDG_CONFIG_HOME/varimond/recent (or ~/.config/...): one absolute folder per line, the
/// most recent first.
QString recentListPath();

/// The folders of the recent list, as written, blank lines left out.
QStringList readRecent();

/// Puts @p folder first in the recent list (once, at most ten entries kept). The list is
/// replaced in one rename, so a crash never leaves it half written. Returns false when it could
/// not be written; a pack opens all the same.
bool rememberPack(const QString &folder);

/// The first folder of the recent list that still holds an `Options` folder, or empty.
QString lastUsedPack();

/// Where the folders expanded in the pack @p packDir are remembered: a file of its own below
/// platform::varimondStateFolder() + "/expanded/", named after the pack's absolute path.
QString expandedListPath(const QString &packDir);

/// The remembered expanded folders of @p packDir (relative paths such as "Group/Sub/"), or
/// none. A file that is not ours to read (too large, not a list for this pack) gives none.
QStringList readExpanded(const QString &packDir);

/// Replaces the remembered expanded folders of @p packDir in one rename. Names holding a line
/// break cannot be listed and are left out. Returns false when the file could not be written.
bool rememberExpanded(const QString &packDir, const QStringList &folders);

/// True when @p folder holds a folder named `Options` (any case, as packs made on Windows
/// name it).
bool holdsOptionsFolder(const QString &folder);

/// The sample pack installed with the program (read-only), or empty when there is none: the
/// folder share/varimond/sample-pack beside the bin folder of @p startedExecutable (the path
/// the program was started with), else the one of the configured install prefix.
QString installedSamplePack(const QString &startedExecutable);

/// Where "Try the Sample Pack" puts its own copy: ~/Varimond Sample Pack.
QString samplePackCopyPath();

/// Copies the pack @p source to @p target once: when @p target already holds an Options
/// folder it is the copy made before and is left as it is. Folders and regular files only
/// (links are not followed), each copy writable by its owner; the copy is made in a hidden
/// folder beside @p target and renamed into place when whole, so an interrupted copy never
/// looks like a pack. Returns false with @p error set when @p target is taken by something
/// else or the copy fails.
bool copySamplePack(const QString &source, const QString &target, QString *error);

/// What the command line asks for.
struct CommandLine
{
    enum class Action { Run, Exit };
    Action action = Action::Run;
    int exitCode = 0;
    QString output; // text for standard output (help, version)
    QString error; // text for standard error
    QString packDir; // from --pack, made absolute, without a trailing '/'
};

/// Parses the program's arguments (argv[0] first): --help, --version and --pack DIR. A DIR
/// that does not exist or is not a folder, an unknown option or a stray argument ends the
/// program with status 2 and a message for standard error.
CommandLine parseCommandLine(const QStringList &arguments);

} // namespace packs
