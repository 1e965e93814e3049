#include "wine/WineRunner.h"
#include "files/OwnFile.h"

#include "files/Error.h"
#include "files/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace platform {

namespace {

// Lutris's and Steam's files are small; anything larger is read only this far.
constexpr qint64 MaxConfigFileSize = 1 << 20;
// Lines of a Proton prefix's config_info looked at for the build's folder.
constexpr qsizetype MaxConfigInfoLines = 64;
// The answers file holds a line per prefix the player said yes to.
constexpr qint64 MaxAnswersFileSize = 1 << 20;

WineQuestionHandler &questionHandler()
{
    static WineQuestionHandler handler;
    return handler;
}

std::optional<struct stat> statOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return st;
}

bool samePath(const QString &a, const QString &b)
{
    const auto sa = statOf(a);
    const auto sb = statOf(b);
    return sa && sb && sa->st_dev == sb->st_dev && sa->st_ino == sb->st_ino;
}

bool isExecutableFile(const QString &path)
{
    const auto st = statOf(path);
    return st && S_ISREG(st->st_mode) && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

QString join(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

QByteArray readSmallFile(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(limit);
}

// A YAML scalar as Lutris writes it: plain, or in single or double quotes; a comment after a
// plain value is dropped.
QString yamlScalar(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 &&
        (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
        value.back() == value.front())
        return value.mid(1, value.size() - 2);
    const int comment = value.indexOf(QLatin1String(" #"));
    if (comment >= 0)
        value = value.left(comment).trimmed();
    return value;
}

// The "version:" under the top-level "wine:" of a Lutris game or runner file; empty when
// there is none.
QString lutrisWineVersion(const QString &ymlPath)
{
    const QList<QByteArray> lines = readSmallFile(ymlPath, MaxConfigFileSize).split('\n');
    bool inWine = false;
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        const bool topLevel = !line.front().isSpace();
        if (topLevel) {
            inWine = line.trimmed() == QLatin1String("wine:");
            continue;
        }
        const QString entry = line.trimmed();
        if (inWine && entry.startsWith(QLatin1String("version:")))
            return yamlScalar(entry.mid(8));
    }
    return {};
}

// A runner version names one folder of runners/wine; anything else is no runner of Lutris's.
bool isFolderName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..");
}

// Where a Lutris installation keeps its data (the runners) and its runner settings, by the
// folder its game file was found in.
struct LutrisInstall
{
    QString data;            // runners/wine/<version>/ lies below it
    QStringList runnerFiles; // runners/wine.yml, the default runner version
};

LutrisInstall lutrisInstallOf(const QString &gamesFolder, const QString &home)
{
    LutrisInstall install;
    if (gamesFolder.startsWith(QLatin1String(".var/app/"))) {
        install.data = join(home, QStringLiteral(".var/app/net.lutris.Lutris/data/lutris"));
        install.runnerFiles = {
            join(home, QStringLiteral(".var/app/net.lutris.Lutris/config/lutris/runners/wine.yml")),
            join(install.data, QStringLiteral("runners/wine.yml"))};
    } else {
        install.data = join(home, QStringLiteral(".local/share/lutris"));
        install.runnerFiles = {join(home, QStringLiteral(".config/lutris/runners/wine.yml")),
                               join(install.data, QStringLiteral("runners/wine.yml"))};
    }
    return install;
}

PrefixWine systemPrefixWine()
{
    PrefixWine wine;
    wine.source = WineSource::System;
    wine.binary = systemWine();
    wine.label = QStringLiteral("system wine");
    return wine;
}

// The Wine of the Lutris runner @p version of @p install.
PrefixWine lutrisRunner(const LutrisInstall &install, const QString &version)
{
    if (version == QLatin1String("system"))
        return systemPrefixWine();
    PrefixWine wine;
    wine.source = WineSource::Lutris;
    wine.label = QStringLiteral("Lutris runner ") + version;
    const QString binary =
        join(install.data, QStringLiteral("runners/wine/") + version + QStringLiteral("/bin/wine"));
    if (isFolderName(version) && isExecutableFile(binary))
        wine.binary = binary;
    else
        wine.missing = true;
    return wine;
}

// The Wine of a prefix a Lutris game names: its runner version, else Lutris's default. With
// no version named anywhere Lutris takes the one runner it has, or the system wine when it has
// none; with several it is not known which, and the prefix counts as one whose Wine is missing.
std::optional<PrefixWine> lutrisWine(const QString &prefix, const QString &home)
{
    for (const QString &folder : lutrisGameFolders()) {
        const QDir games(join(home, folder));
        const QStringList ymls =
            games.entryList({QStringLiteral("*.yml")}, QDir::Files, QDir::Name);
        for (const QString &yml : ymls) {
            const QString path = games.filePath(yml);
            const QString named = lutrisGamePrefix(path, home);
            if (named.isEmpty() || !samePath(named, prefix))
                continue;
            const LutrisInstall install = lutrisInstallOf(folder, home);
            QString version = lutrisWineVersion(path);
            for (int i = 0; version.isEmpty() && i < install.runnerFiles.size(); ++i)
                version = lutrisWineVersion(install.runnerFiles[i]);
            PrefixWine wine;
            if (!version.isEmpty()) {
                wine = lutrisRunner(install, version);
            } else {
                const QStringList runners =
                    QDir(join(install.data, QStringLiteral("runners/wine")))
                        .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
                if (runners.isEmpty()) {
                    wine = systemPrefixWine();
                } else if (runners.size() == 1) {
                    wine = lutrisRunner(install, runners.front());
                } else {
                    wine.source = WineSource::Lutris;
                    wine.label = QStringLiteral("Lutris's default runner");
                    wine.missing = true;
                }
            }
            wine.origin = QStringLiteral("Lutris game ") + QFileInfo(yml).completeBaseName();
            return wine;
        }
    }
    return std::nullopt;
}

// The Wine of a Proton prefix, <compatdata>/<appid>/pfx: the build whose files its config_info
// names. The first line of config_info is the Proton version; the others are folders inside
// the build ("<build>/files/share/fonts/", "<build>/dist/lib/wine/" in older builds).
std::optional<PrefixWine> protonWine(const QString &prefix)
{
    if (QFileInfo(prefix).fileName() != QLatin1String("pfx"))
        return std::nullopt;
    const QString compat = QFileInfo(prefix).absolutePath();
    const QString configInfo = join(compat, QStringLiteral("config_info"));
    const QString versionFile = join(compat, QStringLiteral("version"));
    if (!statOf(configInfo) && !statOf(versionFile))
        return std::nullopt;

    const QList<QByteArray> lines = readSmallFile(configInfo, MaxConfigFileSize).split('\n');
    QString version = QString::fromUtf8(lines.value(0)).trimmed();
    if (version.isEmpty() || version.startsWith(QLatin1Char('/')))
        version = QString::fromUtf8(readSmallFile(versionFile, 4096)).trimmed();

    PrefixWine wine;
    wine.source = WineSource::Proton;
    if (version.contains(QLatin1String("proton"), Qt::CaseInsensitive))
        wine.label = version;
    else if (!version.isEmpty())
        wine.label = QStringLiteral("Proton ") + version;
    else
        wine.label = QStringLiteral("Proton");
    wine.origin = QStringLiteral("Steam app ") + QFileInfo(compat).fileName();

    // Steam writes a dozen lines; a damaged file is not searched through to its end.
    for (qsizetype i = 0; i < qMin<qsizetype>(lines.size(), MaxConfigInfoLines); ++i) {
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (!line.startsWith(QLatin1Char('/')))
            continue;
        // A folder above the build may be named "files" or "dist" too: each place is tried.
        for (const char *marker : {"/files/", "/dist/"}) {
            for (qsizetype at = line.indexOf(QLatin1String(marker)); at > 0;
                 at = line.indexOf(QLatin1String(marker), at + 1)) {
                const QString build = line.left(at);
                for (const char *bin : {"files/bin/wine", "dist/bin/wine"}) {
                    const QString binary = join(build, QString::fromLatin1(bin));
                    if (isExecutableFile(binary)) {
                        wine.binary = binary;
                        return wine;
                    }
                }
            }
        }
    }
    wine.missing = true;
    return wine;
}

QString pinnedBinaryPath(const WineSearch &search)
{
    const QString text = search.pinnedBinary.trimmed();
    if (text.isEmpty())
        return {};
    if (!text.contains(QLatin1Char('/'))) {
        const QString found = QStandardPaths::findExecutable(text);
        return found.isEmpty() ? text : found;
    }
    return absolutePrefixPath(text, search.home, search.baseDir);
}

} // namespace

QString systemWine()
{
    return QStandardPaths::findExecutable(QStringLiteral("wine"));
}

PrefixWine prefixWine(const QString &prefix, const WineSearch &search)
{
    PrefixWine wine;
    if (!prefix.isEmpty()) {
        if (auto lutris = lutrisWine(prefix, search.home))
            wine = std::move(*lutris);
        else if (auto proton = protonWine(prefix))
            wine = std::move(*proton);
        else
            wine = systemPrefixWine();
        if (wine.origin.isEmpty() && !search.home.isEmpty()) {
            if (samePath(prefix, join(search.home, QStringLiteral(".wine"))))
                wine.origin = QStringLiteral("~/.wine");
            else if (QFileInfo(prefix).absolutePath() == join(search.home, QStringLiteral("Games")))
                wine.origin = QStringLiteral("~/Games");
        }
    } else {
        wine = systemPrefixWine();
    }

    // A pinned Wine overrides whatever the prefix would have: the player chose it.
    const QString pinned = pinnedBinaryPath(search);
    if (!pinned.isEmpty()) {
        wine.source = WineSource::Pinned;
        wine.label = QStringLiteral("pinned by [Wine] WineBinary");
        wine.binary = pinned;
        wine.missing = false;
    }
    return wine;
}

WineInForce wineInForce()
{
    const PrefixSearch search = PrefixSearch::fromEnvironment();
    WineInForce result;
    result.prefix = findGamePrefix(search);
    result.wine =
        prefixWine(result.prefix.prefix, {search.home, search.wineBinary, search.baseDir});
    return result;
}

OtherWineAnswers::OtherWineAnswers(QString file) : m_file(std::move(file))
{
    if (m_file.isEmpty())
        m_file = varimondConfigFolder() + QStringLiteral("/wine-prefixes");
}

QStringList OtherWineAnswers::read() const
{
    const QString text =
        QString::fromUtf8(readOwnFile(m_file, MaxAnswersFileSize).value_or(QByteArray()));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool OtherWineAnswers::allowed(const QString &prefix) const
{
    return !prefix.isEmpty() && read().contains(prefix);
}

void OtherWineAnswers::allow(const QString &prefix)
{
    // A path with a line break cannot be told apart from two; such a prefix is asked about
    // every time rather than stored wrongly.
    if (prefix.isEmpty() || prefix.contains(QLatin1Char('\n')) || allowed(prefix))
        return;
    QStringList lines = read();
    lines.append(prefix);
    QDir().mkpath(QFileInfo(m_file).absolutePath());
    if (!writeOwnFile(m_file, (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()))
        throw iniWriteError(m_file);
}

QString WineQuestion::text() const
{
    return QStringLiteral("The Wine prefix %1 belongs to %2, which cannot be found: it may have "
                          "been removed.\n\nRun this option's Windows scripts there with %3 "
                          "instead? Running another Wine version in a prefix may upgrade it, "
                          "and the game may then no longer start under its own Wine.")
        .arg(prefix, ownWine, otherWine);
}

void setWineQuestionHandler(WineQuestionHandler handler)
{
    questionHandler() = std::move(handler);
}

bool askWineQuestion(const WineQuestion &question)
{
    const WineQuestionHandler &handler = questionHandler();
    return handler && handler(question);
}

QString pinnedWineMissingMessage(const QString &binary)
{
    return QStringLiteral("The Wine named by [Wine] WineBinary, %1, cannot be run.").arg(binary);
}

QString wineToRun(const WineInForce &wine, const OtherWineAnswers &answers)
{
    if (wine.wine.source == WineSource::Pinned)
        return isExecutableFile(wine.wine.binary) ? wine.wine.binary : QString();
    if (!wine.wine.missing)
        return wine.wine.binary;
    return answers.allowed(wine.prefix.prefix) ? systemWine() : QString();
}

QString DescribedPath::text() const
{
    return note.isEmpty() ? lead + path
                          : lead + path + QStringLiteral(" (") + note + QLatin1Char(')');
}

DescribedPath describePrefix(const WineInForce &wine)
{
    DescribedPath line;
    line.lead = QStringLiteral("Wine prefix: ");
    const GamePrefix &prefix = wine.prefix;
    if (prefix.source == PrefixSource::None) {
        line.path = QStringLiteral("none found");
        return line;
    }
    line.path = prefix.prefix;
    switch (prefix.source) {
    case PrefixSource::Pinned:
        line.note = QStringLiteral("pinned by [Wine] WinePrefix");
        break;
    case PrefixSource::Environment:
        line.note = QStringLiteral("from WINEPREFIX");
        break;
    case PrefixSource::Found:
        line.note = wine.wine.origin.isEmpty() ? QStringLiteral("found")
                                               : QStringLiteral("found: ") + wine.wine.origin;
        break;
    case PrefixSource::None:
        break;
    }
    return line;
}

DescribedPath describeWine(const WineInForce &wine, const OtherWineAnswers &answers)
{
    DescribedPath line;
    line.lead = QStringLiteral("Wine: ");
    const PrefixWine &own = wine.wine;
    if (!own.missing) {
        line.path = own.binary.isEmpty() ? QStringLiteral("none found") : own.binary;
        line.note = own.label;
        return line;
    }
    const QString other = systemWine();
    if (answers.allowed(wine.prefix.prefix) && !other.isEmpty()) {
        line.path = other;
        line.note = QStringLiteral("system wine, allowed in place of the missing ") + own.label;
    } else {
        line.path = QStringLiteral("none found");
        line.note = own.label + QStringLiteral(" is missing");
    }
    return line;
}

} // namespace platform
