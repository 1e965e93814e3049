#include "app/PackChoice.h"

#include "platform/Paths.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace packs {

namespace {
constexpr int MaxRecent = 10;

QString withoutTrailingSlash(QString folder)
{
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}
} // namespace

QString recentListPath()
{
    return platform::varimondConfigFolder() + QStringLiteral("/recent");
}

QStringList readRecent()
{
    QFile file(recentListPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList folders;
    // A list of folders is small; anything past a few kilobytes is not ours to read.
    const QByteArray content = file.read(64 * 1024);
    for (const QByteArray &line : content.split('\n')) {
        const QString folder = QFile::decodeName(line.trimmed());
        if (!folder.isEmpty())
            folders.append(folder);
    }
    return folders;
}

bool rememberPack(const QString &folder)
{
    const QString absolute = withoutTrailingSlash(QFileInfo(folder).absoluteFilePath());
    QStringList folders = readRecent();
    folders.removeAll(absolute);
    folders.prepend(absolute);
    while (folders.size() > MaxRecent)
        folders.removeLast();

    const QString path = recentListPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (const QString &f : std::as_const(folders)) {
        // A folder name holding a line break cannot be listed; it is simply not remembered.
        if (f.contains(QLatin1Char('\n')) || f.contains(QLatin1Char('\r')))
            continue;
        file.write(QFile::encodeName(f) + '\n');
    }
    return file.commit();
}

namespace {
constexpr qint64 MaxExpandedListBytes = 4 * 1024 * 1024;
const QByteArray ExpandedListHeader = "# varimond expanded folders of ";
} // namespace

QString expandedListPath(const QString &packDir)
{
    const QString absolute = withoutTrailingSlash(QFileInfo(packDir).absoluteFilePath());
    const QByteArray hash =
        QCryptographicHash::hash(QFile::encodeName(absolute), QCryptographicHash::Sha1).toHex();
    return platform::varimondStateFolder() + QStringLiteral("/expanded/") +
           QString::fromLatin1(hash);
}

QStringList readExpanded(const QString &packDir)
{
    QFile file(expandedListPath(packDir));
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxExpandedListBytes)
        return {};
    const QByteArray content = file.read(MaxExpandedListBytes);
    const QList<QByteArray> lines = content.split('\n');
    // The first line names the pack, so a list is never applied to another pack.
    const QString absolute = withoutTrailingSlash(QFileInfo(packDir).absoluteFilePath());
    if (lines.isEmpty() || lines.first() != ExpandedListHeader + QFile::encodeName(absolute))
        return {};
    QStringList folders;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!lines[i].isEmpty())
            folders.append(QString::fromUtf8(lines[i]));
    }
    return folders;
}

bool rememberExpanded(const QString &packDir, const QStringList &folders)
{
    const QString path = expandedListPath(packDir);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QString absolute = withoutTrailingSlash(QFileInfo(packDir).absoluteFilePath());
    file.write(ExpandedListHeader + QFile::encodeName(absolute) + '\n');
    for (const QString &f : folders) {
        if (f.contains(QLatin1Char('\n')) || f.contains(QLatin1Char('\r')))
            continue;
        file.write(f.toUtf8() + '\n');
    }
    return file.commit();
}

bool holdsOptionsFolder(const QString &folder)
{
    if (folder.isEmpty())
        return false;
    const QString base = withoutTrailingSlash(folder) + QLatin1Char('/');
    return QFileInfo(platform::resolvePath(base + QStringLiteral("Options"))).isDir();
}

QString lastUsedPack()
{
    const QStringList folders = readRecent();
    for (const QString &folder : folders) {
        if (holdsOptionsFolder(folder))
            return folder;
    }
    return {};
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Chooses and installs the options of a custom game interface."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption pack(
        QStringLiteral("pack"),
        QStringLiteral("Opens the option pack in <dir>: the folder holding the Options folder, "
                       "the settings file and the themes."),
        QStringLiteral("dir"));
    parser.addOption(pack);

    CommandLine result;
    const QString program = arguments.isEmpty() ? QStringLiteral("varimond")
                                                : QFileInfo(arguments.first()).fileName();
    if (!parser.parse(arguments)) {
        result.action = CommandLine::Action::Exit;
        result.exitCode = 2;
        result.error = program + QStringLiteral(": ") + parser.errorText() +
                       QStringLiteral("\nTry '") + program +
                       QStringLiteral(" --help' for more information.\n");
        return result;
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        result.action = CommandLine::Action::Exit;
        // The program is not running yet, so the parser cannot know its name.
        result.output = parser.helpText().replace(QStringLiteral("<executable_name>"), program);
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLine::Action::Exit;
        result.output = QCoreApplication::applicationName() + QLatin1Char(' ') +
                        QCoreApplication::applicationVersion() + QLatin1Char('\n');
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.action = CommandLine::Action::Exit;
        result.exitCode = 2;
        result.error = program + QStringLiteral(": unexpected argument '") +
                       parser.positionalArguments().first() + QStringLiteral("'\nTry '") +
                       program + QStringLiteral(" --help' for more information.\n");
        return result;
    }
    if (parser.isSet(pack)) {
        const QString dir = parser.value(pack);
        const QFileInfo info(dir);
        if (dir.isEmpty() || !info.exists() || !info.isDir()) {
            result.action = CommandLine::Action::Exit;
            result.exitCode = 2;
            result.error = program + QStringLiteral(": --pack: ") +
                           (info.exists() ? QStringLiteral("'%1' is not a folder\n")
                                          : QStringLiteral("the folder '%1' does not exist\n"))
                               .arg(dir);
            return result;
        }
        result.packDir = withoutTrailingSlash(info.absoluteFilePath());
    }
    return result;
}

} // namespace packs
