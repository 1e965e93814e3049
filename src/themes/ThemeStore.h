#pragma once

#include <QString>
#include <QStringList>

struct TProgramSettings;

/// The theme store: named snapshots of the selected options, one INI file per theme in the
/// themes folder. Everything here works on the file system alone, so tests drive it without a
/// window; the Themes window calls it from its handlers.
///
/// A theme file holds sections Option0 .. Option(N-1), each with "Delay" (the option's delay in
/// milliseconds) and then "RunMeFName" (the option's main script as ".\Options\Folder\RunMe.bat",
/// backslashes and all, whatever the host's separator).
/// The name of the protected default theme, listed first.
inline QString DefaultThemeName()
{
    return QStringLiteral("(Default)");
}

/// The name of an option folder's selection mark.
inline QString SelectionMarkName()
{
    return QStringLiteral("Selected.ini");
}

/// The themes folder: ProgramDir + ThemesDir, ending in '/'; empty when ThemesDir leads out of
/// the program folder (by "..", an absolute path or a symbolic link): there is no store then.
QString ThemesFolder(const TProgramSettings &settings);

/// The option folders' root that gathering and clearing walk: ProgramDir + OptionsDir, ending
/// in '/'. Never the program folder itself, which may be a whole home folder.
QString OptionsRoot(const TProgramSettings &settings);

/// The file of theme @p name: the themes folder, the name and ".ini"; when no such file exists,
/// the file that ShowAvailableThemes() listed as @p name (its ".ini" in another case). Empty
/// without a store.
QString ThemeFile(const TProgramSettings &settings, const QString &name);

/// True when @p file is a symbolic link: such a theme is never listed, read or written.
bool IsThemeLink(const QString &file);

/// Why @p name cannot name a theme file, or an empty text when it can. Refused: the empty
/// name, "." and "..", names holding '/', '\' or a control character, and names whose file
/// name would be longer than the file system allows.
QString ThemeNameProblem(const QString &name);

/// The theme names in @p folder: every regular file whose name ends in ".ini" (any case),
/// without those four characters, sorted by name ignoring case, with "(Default)" first when it
/// is there. Folders, symbolic links, special files and anything else are left out; a missing
/// folder (or none) gives an empty list. Temporaries that an interrupted save left in the
/// folder are removed.
QStringList ShowAvailableThemes(const QString &folder);

/// Appends, for every selected option folder found by the walk from @p root, the option's delay
/// (decimal) to @p delays and its main script's stored path to @p scripts. A folder is selected
/// when it holds a regular file Selected.ini; one whose descriptor names no main script adds
/// nothing, but its sub-folders are walked all the same. Stored paths begin with @p storedRoot
/// (".\Options\" for the options root) and continue with the walk's folders, each followed by a
/// backslash. Leaves CurrentOption holding the last descriptor read.
void GetSelectedOptions(const QString &root, const QString &storedRoot, QStringList &delays,
                        QStringList &scripts);

/// The same from the program's options root, stored as ".\" + OptionsDir + "\".
void GetSelectedOptions(const TProgramSettings &settings, QStringList &delays,
                        QStringList &scripts);

/// Removes the selection mark of every selected folder in and below @p root and turns the
/// option's selected mode into its not-selected mode (3 becomes 2, 5 becomes 4; the mode as
/// read, no-script rule applied, is written back in every case). Each folder's mode is written
/// before its mark is removed, so a refused write (AppError) leaves that folder still marked.
/// A folder that, links followed, lies outside @p root is left as it is and counted in
/// @p leftOutside. Returns the number of folders cleared.
int ClearAllSelectedOptions(const QString &root, int *leftOutside = nullptr);

/// Saves theme @p name from the current selections and makes it the active theme
/// (settings.ThemeName). The new content is written whole to a temporary file and renamed over
/// the old theme, so a refused write (AppError "Unable to write to %s") leaves the old theme and
/// ThemeName as they were. With no selected option the theme file is removed instead. A name
/// that ThemeNameProblem() refuses throws AppError with that text and changes nothing.
/// Returns the number of entries written.
int SaveTheme(TProgramSettings &settings, const QString &name);

/// Deletes theme @p name unless the name contains "(Default)"; a failure is ignored. Returns
/// false when it refused (the caller then does nothing more), true otherwise.
bool DeleteTheme(const TProgramSettings &settings, const QString &name);

/// The per-user themes folder: Varimond's per-user folder, '/', and ThemesAppDataDir. A value
/// that leads out of Varimond's per-user folder is not used: "Themes" is, and @p ignored
/// receives the reason.
QString GetAppDataThemePath(const TProgramSettings &settings, QString *ignored = nullptr);

/// The first-run copy: every theme file (a regular file whose name ends in ".ini", any case,
/// and does not begin with a dot) of the themes folder is copied into @p destination (created
/// with its parents, also when there is nothing to copy), replacing files of the same name.
/// Sources are opened without following links; each copy is a new file of mode 0644 (less the
/// umask), written to a temporary and renamed into place, never through a link, so a failed
/// copy leaves the user's file as it was. Files too large for a theme are not copied. Failures
/// are ignored. Returns the number of files copied.
int CopyDefaultThemes(const TProgramSettings &settings, const QString &destination);
