#include "app/PackChoice.h"
#include "files/OwnFile.h"

#include "files/Paths.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>

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
    // A list of folders is small; anything past a few kilobytes is not ours to read.
    const std::optional<QByteArray> read = platform::readOwnFile(recentListPath(), 64 * 1024);
    if (!read)
        return {};
    QStringList folders;
    const QByteArray &content = *read;
    for (const QByteArray &line : content.split('\n')) {
        const QString folder = QFile::decodeName(line.trimmed());
        if (!folder.isEmpty())
            folders.append(folder);
    }
    return folders;
}

namespace {

// Replaces the file at @p path, making its folder, with @p head and then one line per entry,
// each encoded by @p encode, in one step. An entry holding a line break cannot be listed; it is
// simply left out.
bool writeList(const QString &path, const QByteArray &head, const QStringList &entries,
               const std::function<QByteArray(const QString &)> &encode)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QByteArray content = head;
    for (const QString &entry : entries) {
        if (entry.contains(QLatin1Char('\n')) || entry.contains(QLatin1Char('\r')))
            continue;
        content += encode(entry) + '\n';
    }
    return platform::writeOwnFile(path, content);
}

} // namespace

bool rememberPack(const QString &folder)
{
    const QString absolute = withoutTrailingSlash(QFileInfo(folder).absoluteFilePath());
    QStringList folders = readRecent();
    folders.removeAll(absolute);
    folders.prepend(absolute);
    while (folders.size() > MaxRecent)
        folders.removeLast();

    return writeList(recentListPath(), QByteArray(), folders, &QFile::encodeName);
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
    const QByteArray content =
        platform::readOwnFile(expandedListPath(packDir), MaxExpandedListBytes)
            .value_or(QByteArray());
    if (content.isEmpty())
        return {};
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
    // A state folder that is not there yet is made private to the user, as the base
    // directory rules ask.
    const QString base = QFileInfo(platform::varimondStateFolder()).absolutePath();
    if (!QFileInfo(base).isDir()) {
        if (!QDir().mkpath(base))
            return false;
        QFile::setPermissions(base, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString absolute = withoutTrailingSlash(QFileInfo(packDir).absoluteFilePath());
    return writeList(path, ExpandedListHeader + QFile::encodeName(absolute) + '\n', folders,
                     [](const QString &f) { return f.toUtf8(); });
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

QString installedSamplePack(const QString &startedExecutable)
{
    const QString relative = QFileInfo(startedExecutable).absolutePath() +
                             QStringLiteral("/../share/varimond/sample-pack");
    if (holdsOptionsFolder(relative))
        return QDir::cleanPath(relative);
#ifdef VARIMOND_SAMPLE_PACK_DIR
    const QString configured = QStringLiteral(VARIMOND_SAMPLE_PACK_DIR);
    if (holdsOptionsFolder(configured))
        return configured;
#endif
    return {};
}

QString samplePackCopyPath()
{
    return QDir::homePath() + QStringLiteral("/Varimond Sample Pack");
}

namespace {

// Folders and regular files of @p from into the existing folder @p to; links and anything
// else are left out. Bounded like the tree: a sample pack is small.
bool copyTree(const QString &from, const QString &to, int depth, int &entries, QString *error)
{
    if (depth > 32 || entries > 20000) {
        *error = QStringLiteral("%1 is deeper or larger than a sample pack.").arg(from);
        return false;
    }
    const QFileInfoList list = QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                        QDir::NoDotAndDotDot | QDir::System);
    for (const QFileInfo &info : list) {
        ++entries;
        const QString target = to + QLatin1Char('/') + info.fileName();
        if (info.isSymLink())
            continue;
        if (info.isDir()) {
            if (!QDir().mkdir(target)) {
                *error = QStringLiteral("Cannot create %1.").arg(target);
                return false;
            }
            if (!copyTree(info.filePath(), target, depth + 1, entries, error))
                return false;
            QFile::setPermissions(target, QFile::permissions(target) | QFile::WriteOwner |
                                              QFile::ExeOwner | QFile::ReadOwner);
        } else if (info.isFile()) {
            if (!QFile::copy(info.filePath(), target)) {
                *error = QStringLiteral("Cannot copy %1 to %2.").arg(info.filePath(), target);
                return false;
            }
            QFile::setPermissions(target, QFile::permissions(target) | QFile::WriteOwner |
                                              QFile::ReadOwner);
        }
    }
    return true;
}

} // namespace

bool copySamplePack(const QString &source, const QString &target, QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    error->clear();
    if (holdsOptionsFolder(target))
        return true; // the copy of an earlier first start, with the user's choices in it
    const QFileInfo place(target);
    if (place.exists() || place.isSymLink()) {
        *error = QStringLiteral("%1 already exists and is no option pack; move it away to try "
                                "the sample pack.")
                     .arg(QDir::toNativeSeparators(target));
        return false;
    }
    if (!holdsOptionsFolder(source)) {
        *error = QStringLiteral("The sample pack %1 is missing.").arg(source);
        return false;
    }
    const QString parent = place.absolutePath();
    if (!QDir().mkpath(parent)) {
        *error = QStringLiteral("Cannot create %1.").arg(parent);
        return false;
    }
    QTemporaryDir partial(parent + QStringLiteral("/.varimond-sample-XXXXXX"));
    if (!partial.isValid()) {
        *error = QStringLiteral("Cannot write in %1.").arg(parent);
        return false;
    }
    int entries = 0;
    if (!copyTree(source, partial.path(), 0, entries, error))
        return false;
    QFile::setPermissions(partial.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadGroup | QFile::ExeGroup |
                                              QFile::ReadOther | QFile::ExeOther);
    if (!QDir().rename(partial.path(), target)) {
        *error = QStringLiteral("Cannot create %1.").arg(target);
        return false;
    }
    partial.setAutoRemove(false);
    return true;
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
