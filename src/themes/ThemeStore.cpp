#include "themes/ThemeStore.h"

#include "core/Common.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString GetAppDataThemePath(const TProgramSettings &settings)
{
    return platform::userAppDataFolder() + QLatin1Char('/') +
           platform::fromStoredPath(settings.ThemesAppDataDir);
}

void CopyDefaultThemes(const TProgramSettings &settings, const QString &destination)
{
    const QString source =
        platform::resolvePath(settings.ProgramDir + platform::fromStoredPath(settings.ThemesDir));
    const QFileInfoList files =
        QDir(source).entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    QDir().mkpath(destination);
    for (const QFileInfo &file : files) {
        const QString target = destination + QLatin1Char('/') + file.fileName();
        QFile::remove(target); // the copy replaces a file of the same name
        QFile::copy(file.absoluteFilePath(), target);
    }
}
