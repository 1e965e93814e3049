#include "themes/ThemeStore.h"

#include "core/Common.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "files/Confine.h"
#include "files/Error.h"
#include "files/FolderNames.h"
#include "ini/IniFile.h"
#include "files/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longest theme name, in bytes of the file name's encoding. Far above any real name, and low
// enough that the file and the temporary file a save writes beside it stay inside the 255 bytes
// a file name may have.
constexpr int MaxThemeNameBytes = 200;

QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

// The selection mark among a folder's files: the exact name, else one that differs in case only
// (packs made on Windows are not careful about case).
QString findMark(const QStringList &files)
{
    const QString mark = SelectionMarkName();
    if (files.contains(mark))
        return mark;
    for (const QString &name : files) {
        if (name.compare(mark, Qt::CaseInsensitive) == 0)
            return name;
    }
    return QString();
}

QString toStored(QString path)
{
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return path;
}

} // namespace

QString ThemesFolder(const TProgramSettings &settings)
{
    // The store is the pack's own, or a folder of the player's it links to once the player
    // allowed it (ConfineSettingsFolders()); a ThemesDir that leads anywhere else (by "..", an
    // absolute path or a symbolic link) gives no store at all.
    const QString folder = settings.FoldersConfined
                               ? settings.ThemesFolder
                               : platform::confinedFolder(settings.ProgramDir, settings.ThemesDir);
    return folder.isEmpty() ? QString() : withSlash(folder);
}

QString OptionsRoot(const TProgramSettings &settings)
{
    return settings.optionsRoot();
}

QString ThemeFile(const TProgramSettings &settings, const QString &name)
{
    const QString folder = ThemesFolder(settings);
    if (folder.isEmpty())
        return QString();
    const QString file = name + QStringLiteral(".ini");
    const QFileInfo exact(folder + file);
    if (exact.exists() || exact.isSymLink() || !ThemeNameProblem(name).isEmpty())
        return exact.filePath();
    // The listing takes ".ini" in any case: a theme listed from "Amber.INI" is that file, to
    // read, save over and delete, never a second "Amber.ini" beside it. Links are never
    // listed, so never taken here either.
    const QStringList names = QDir(folder).entryList(
        QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDir::Name);
    for (const QString &entry : names) {
        if (entry.size() == file.size() && entry.startsWith(name) &&
            entry.endsWith(QStringLiteral(".ini"), Qt::CaseInsensitive))
            return folder + entry;
    }
    return exact.filePath();
}

bool IsThemeLink(const QString &file)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(file).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

QString ThemeNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("Please enter a name for the theme.");
    bool bad = name == QLatin1String(".") || name == QLatin1String("..") ||
               name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
               QFile::encodeName(name).size() > MaxThemeNameBytes;
    QString shown = name;
    for (QChar &c : shown) {
        if (c.category() == QChar::Other_Control) {
            bad = true;
            c = QLatin1Char('?');
        }
    }
    if (!bad)
        return QString();
    if (shown.size() > 60)
        shown = shown.left(60) + QStringLiteral("...");
    return QStringLiteral("The theme name \"%1\" cannot be used: a theme name may not be \".\" or "
                          "\"..\", hold \"/\", \"\\\" or control characters, or be longer than "
                          "%2 bytes")
        .arg(shown)
        .arg(MaxThemeNameBytes);
}

QStringList ShowAvailableThemes(const QString &folder)
{
    if (folder.isEmpty())
        return {};
    // Regular files only: a folder named Old.ini is no theme, a special file (a FIFO) would
    // hang whoever tried to read it, and a symbolic link may lead to any file of the user's.
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    // What an interrupted save left behind goes when the store is next used.
    platform::removeStaleWriteTemporaries(folder);
    QStringList names;
    for (const QFileInfo &entry : entries) {
        const QString file = entry.fileName();
        if (!entry.isFile() || entry.isSymLink() || file.size() <= 4 ||
            !file.endsWith(QStringLiteral(".ini"), Qt::CaseInsensitive))
            continue;
        names.append(file.left(file.size() - 4));
    }
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    // The Themes window protects its first row as the default theme.
    const int at = names.indexOf(DefaultThemeName());
    if (at > 0)
        names.move(at, 0);
    return names;
}

void GetSelectedOptions(const QString &root, const QString &storedRoot, QStringList &delays,
                        QStringList &scripts)
{
    WalkOptionFolders(root, [&](const OptionFolder &folder) {
        if (findMark(folder.Files).isEmpty())
            return;
        LoadOptionIniFile(folder.Path);
        if (CurrentOption.OptionRunMeFName.isEmpty())
            return;
        delays.append(QString::number(CurrentOption.OptionProgramDelay));
        scripts.append(storedRoot + toStored(folder.Relative) + CurrentOption.OptionRunMeFName);
    });
}

void GetSelectedOptions(const TProgramSettings &settings, QStringList &delays, QStringList &scripts)
{
    const QString stored =
        QStringLiteral(".\\") + toStored(settings.OptionsDir) + QLatin1Char('\\');
    GetSelectedOptions(OptionsRoot(settings), stored, delays, scripts);
}

namespace {

// Reads @p folder's descriptor once, opened for the update, and writes its mode back cleared
// (3 becomes 2, 5 becomes 4; the mode as read, no-script rule applied, in every case).
void ClearOptionMode(const QString &folder, const QString &realRoot)
{
    const QString reach = OptionFolderReach(folder);
    platform::FolderNames names(reach);
    try {
        platform::IniFile ini =
            OpenOptionDescriptor(reach, platform::IniFile::Intent::Update, names);
        CurrentOption = ReadOptionDescriptor(ini, ProgramSettings, [&](const QString &name) {
            return OptionScriptExists(reach, name, names);
        });
        if (CurrentOption.OptionMode == CheckOn)
            CurrentOption.OptionMode = CheckOff;
        else if (CurrentOption.OptionMode == ModeOn)
            CurrentOption.OptionMode = ModeOff;
        ini.confineWritesTo(realRoot);
        ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"),
                         CurrentOption.OptionMode);
    } catch (const AppError &) {
        RethrowNamingFolder(reach, folder);
    }
}

} // namespace

int ClearAllSelectedOptions(const QString &root, int *leftOutside)
{
    // Folders reached through a symbolic link that leads out of the options folder are read
    // like the others, but never written to.
    const QString realRoot = platform::realLocation(root);
    int cleared = 0;
    int outside = 0;
    WalkOptionFolders(root, [&](const OptionFolder &folder) {
        const QString mark = findMark(folder.Files);
        if (mark.isEmpty())
            return;
        if (!platform::isWithin(platform::realLocation(folder.Path), realRoot)) {
            ++outside;
            return;
        }
        ClearOptionMode(folder.Path, realRoot); // throws when refused: the mark then stays
        QFile::remove(folder.Path + mark);
        ++cleared;
    });
    if (leftOutside)
        *leftOutside = outside;
    return cleared;
}

int SaveTheme(TProgramSettings &settings, const QString &name)
{
    const QString problem = ThemeNameProblem(name);
    if (!problem.isEmpty())
        throw AppError(problem);

    const QString folder = ThemesFolder(settings);
    if (folder.isEmpty())
        throw iniWriteError(platform::fromStoredPath(settings.ThemesDir));
    const QString path = ThemeFile(settings, name);
    // A theme that is a symbolic link is no theme of this store: it is never written through.
    if (IsThemeLink(path))
        throw iniWriteError(path);
    QStringList delays;
    QStringList scripts;
    GetSelectedOptions(settings, delays, scripts);
    if (scripts.isEmpty()) {
        // A theme without entries has no sections, and so no file.
        QFile::remove(path);
        settings.ThemeName = name;
        return 0;
    }

    QDir().mkpath(folder);
    platform::IniFile ini(path);
    ini.confineWritesTo(platform::realLocation(folder));
    // The new theme replaces the old one whole and in one step: written in full to a temporary
    // file, then renamed over it. A refused write leaves the old theme as it was.
    ini.beginUpdate();
    ini.clear();
    for (int n = 0; n < scripts.size(); ++n) {
        const QString section = QStringLiteral("Option%1").arg(n);
        ini.writeString(section, QStringLiteral("Delay"), delays[n]);
        ini.writeString(section, QStringLiteral("RunMeFName"), scripts[n]);
    }
    ini.flush();
    settings.ThemeName = name;
    return static_cast<int>(scripts.size());
}

bool DeleteTheme(const TProgramSettings &settings, const QString &name)
{
    const QString fileName = name + QStringLiteral(".ini");
    if (fileName.contains(DefaultThemeName()))
        return false;
    // A name read from the folder always names a file in it; anything else deletes nothing.
    const QString file = ThemeFile(settings, name);
    if (!file.isEmpty() && ThemeNameProblem(name).isEmpty())
        QFile::remove(file);
    return true;
}

QString GetAppDataThemePath(const TProgramSettings &settings, QString *ignored)
{
    // Below Varimond's own per-user folder, whatever ThemesAppDataDir says: a value that leads
    // out of it (by "..", an absolute path or a symbolic link) is not used.
    const QString base = platform::varimondConfigFolder();
    QString why;
    const QString folder = platform::confinedFolder(base, settings.ThemesAppDataDir, &why);
    if (!folder.isEmpty())
        return folder;
    if (ignored)
        *ignored = why;
    return base + QStringLiteral("/Themes");
}

int CopyDefaultThemes(const TProgramSettings &settings, const QString &destination)
{
    // The destination is made first, even when there is nothing to copy.
    QDir().mkpath(destination);
    const QString source = ThemesFolder(settings);
    const QString realDestination = platform::realLocation(destination);
    if (source.isEmpty() || realDestination.isEmpty())
        return 0;
    const int from =
        ::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int to = ::open(QFile::encodeName(realDestination).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int copied = 0;
    if (from >= 0 && to >= 0) {
        const QStringList names = QDir(source).entryList(
            QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
        for (const QString &name : names) {
            // Theme files only, never hidden ones: the copy cannot be made to drop a ".profile"
            // or any other file into the user's folder.
            if (name.startsWith(QLatin1Char('.')) || name.size() <= 4 ||
                !name.endsWith(QStringLiteral(".ini"), Qt::CaseInsensitive))
                continue;
            if (platform::copyRegularFile(from, name, to, platform::IniFile::MaxFileSize))
                ++copied;
        }
    }
    if (from >= 0)
        ::close(from);
    if (to >= 0)
        ::close(to);
    return copied;
}
