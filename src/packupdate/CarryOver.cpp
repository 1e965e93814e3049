#include "packupdate/CarryOver.h"

#include "files/Confine.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "files/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace packupdate {

namespace {

constexpr int MaxDepth = 256;
constexpr int MaxFolders = 200000;

const QString kMode = QStringLiteral("Mode");
const QString kOptionMode = QStringLiteral("OptionMode");

bool selectable(int mode)
{
    return mode >= 2 && mode <= 5;
}

bool selected(int mode)
{
    return mode == 3 || mode == 5;
}

QString folderNamed(const QString &pack, const QString &iniPath, const char *section,
                    const char *key, const char *fallback)
{
    const QString value = platform::IniFile::readString(
        iniPath, QLatin1String(section), QLatin1String(key), QLatin1String(fallback));
    QString folder = platform::confinedFolder(pack, value);
    if (folder.isEmpty())
        folder = platform::confinedFolder(pack, QLatin1String(fallback));
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/');
}

bool isRealFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

struct Walk
{
    const QString &oldRoot;
    const QString &newRoot;
    const QString &realNew;
    CarryOverResult &result;
    int folders = 0;

    void folder(const QString &rel, int depth)
    {
        if (depth > MaxDepth || ++folders > MaxFolders)
            return;
        const QString oldFolder = oldRoot + rel;
        if (!rel.isEmpty())
            option(rel);
        const QStringList subs = platform::listFolders(oldFolder);
        for (const QString &sub : subs) {
            if (isRealFolder(oldFolder + sub))
                folder(rel + sub + QLatin1Char('/'), depth + 1);
        }
    }

    void option(const QString &rel)
    {
        const QString oldFolder = oldRoot + rel;
        const platform::IniFile oldIni(oldFolder + QStringLiteral("options.ini"));
        const int oldMode = oldIni.readInteger(kMode, kOptionMode, 1);
        const bool oldMark = QFileInfo(oldFolder + QStringLiteral("Selected.ini")).isFile();
        // Names in the new version may differ in case only, as Windows would not notice.
        const QString newFolder = platform::resolvePath(newRoot + rel) + QLatin1Char('/');
        if (!isRealFolder(newFolder) ||
            !platform::isWithin(platform::realLocation(newFolder), realNew)) {
            if (selected(oldMode) || oldMark) {
                QString shown = rel;
                shown.chop(1);
                result.missing.append(shown);
            }
            return;
        }
        if (selectable(oldMode)) {
            platform::IniFile ini(newFolder + QStringLiteral("options.ini"),
                                  platform::IniFile::Intent::Update);
            ini.confineWritesTo(realNew);
            const int newMode = ini.readInteger(kMode, kOptionMode, 1);
            if (selectable(newMode)) {
                const int wanted = (newMode <= 3 ? 2 : 4) + (selected(oldMode) ? 1 : 0);
                if (wanted != newMode) {
                    ini.writeInteger(kMode, kOptionMode, wanted);
                    ++result.modes;
                }
            }
        }
        const QString newMark = newFolder + QStringLiteral("Selected.ini");
        const bool hasNewMark = QFileInfo::exists(newMark) || QFileInfo(newMark).isSymLink();
        if (oldMark && !hasNewMark) {
            platform::IniFile ini(newMark, platform::IniFile::Intent::Update);
            ini.confineWritesTo(realNew);
            ini.writeInteger(kMode, QStringLiteral("Selected"), 1);
            ++result.marks;
        } else if (!oldMark && hasNewMark) {
            if (!QFile::remove(newMark))
                throw AppError(QStringLiteral("Unable to write to %1").arg(newMark));
            ++result.marks;
        }
    }
};

} // namespace

const QList<QPair<QString, QString>> &PlayerSettingsKeys()
{
    static const QList<QPair<QString, QString>> keys = [] {
        QList<QPair<QString, QString>> k;
        auto add = [&k](const char *section, std::initializer_list<const char *> names) {
            for (const char *name : names)
                k.append({QLatin1String(section), QLatin1String(name)});
        };
        add("MainWindowSizes", {"WindowTop", "WindowLeft", "WindowWidth", "WindowHeight",
                                "OptionsTreeWidth", "WindowState"});
        add("ActiveTheme", {"ThemeName"});
        add("Settings", {"HideShell", "AllowDisplayHttpLinks", "CheckInterfaceMode",
                         "CheckForUpdateMode", "PgmFirstRun"});
        add("AboutWindowSizes", {"WindowWidth", "WindowHeight"});
        add("CheckUpdateWindowSizes", {"WindowWidth", "WindowHeight"});
        add("Wine", {"WinePrefix", "WineBinary"});
        return k;
    }();
    return keys;
}

CarryOverResult CarryOver(const QString &oldPack, const QString &newPack, const QString &iniName)
{
    CarryOverResult result;
    const QString realNew = platform::realLocation(newPack);
    const QString oldIniPath = oldPack + iniName;
    const QString newIniPath = newPack + iniName;

    // Each option's selection and marker, matched by path.
    const QString oldOptions =
        folderNamed(oldPack, oldIniPath, "OptionsDir", "OptionsDir", "Options");
    const QString newOptions =
        folderNamed(newPack, newIniPath, "OptionsDir", "OptionsDir", "Options");
    if (!oldOptions.isEmpty() && !newOptions.isEmpty() && isRealFolder(oldOptions) &&
        isRealFolder(newOptions)) {
        Walk walk{oldOptions, newOptions, realNew, result};
        walk.folder(QString(), 0);
    }

    // The player's own settings, written into the new version's file in one replacement.
    const platform::IniFile oldIni(oldIniPath);
    if (oldIni.exists()) {
        platform::IniFile newIni(newIniPath, platform::IniFile::Intent::Update);
        newIni.confineWritesTo(realNew);
        newIni.beginUpdate();
        for (const auto &[section, key] : PlayerSettingsKeys()) {
            if (!oldIni.hasKey(section, key))
                continue;
            const QString value = oldIni.readString(section, key, QString());
            if (!newIni.hasKey(section, key) ||
                newIni.readString(section, key, QString()) != value) {
                newIni.writeString(section, key, value);
                ++result.keys;
            }
        }
        newIni.flush();
    }

    // The player's own themes: theme files the new version does not ship.
    const QString oldThemes = folderNamed(oldPack, oldIniPath, "ThemesDir", "ThemesDir", "Themes");
    const QString newThemes = folderNamed(newPack, newIniPath, "ThemesDir", "ThemesDir", "Themes");
    if (!oldThemes.isEmpty() && !newThemes.isEmpty() && isRealFolder(oldThemes)) {
        QSet<QString> shipped;
        for (const QString &name : QDir(newThemes).entryList(QDir::Files | QDir::Hidden))
            shipped.insert(name.toLower());
        const QFileInfoList files = QDir(oldThemes).entryInfoList(
            {QStringLiteral("*.ini")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
        for (const QFileInfo &file : files) {
            if (shipped.contains(file.fileName().toLower()) || !file.isFile() || file.isSymLink())
                continue;
            if (!QDir().mkpath(newThemes) ||
                !platform::isWithin(platform::realLocation(newThemes), realNew) ||
                !QFile::copy(file.absoluteFilePath(), newThemes + file.fileName()))
                throw AppError(
                    QStringLiteral("Unable to write to %1").arg(newThemes + file.fileName()));
            ++result.themes;
        }
    }
    return result;
}

} // namespace packupdate
