#include "packtools/PackCheck.h"

#include "core/Common.h"
#include "docs/PreviewPictures.h"
#include "history/HistoryFolders.h"
#include "options/OptionIni.h"
#include "options/OptionScan.h"
#include "packtools/Publish.h"
#include "packupdate/Minisign.h"
#include "packupdate/PackageInfo.h"
#include "files/Confine.h"
#include "net/Downloader.h"
#include "files/Error.h"
#include "files/FolderReader.h"
#include "ini/IniFile.h"
#include "ini/IniView.h"
#include "files/OwnFile.h"
#include "files/Paths.h"
#include "launch/ScriptLauncher.h"
#include "rtf/RtfReader.h"
#include "themes/ThemeApply.h"
#include "themes/ThemeStore.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTextDocument>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace packtools {

namespace {

constexpr const char *kIniName = "varimond.ini";

using Listing = std::vector<std::pair<QByteArray, unsigned char>>;

bool validUtf8(const QByteArray &bytes)
{
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; }))
        return true;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    return !decoder.hasError();
}

class Checker
{
public:
    Checker(const QString &pack, CheckReport &report) : m_pack(pack), m_report(report)
    {
        m_realPack = platform::realLocation(pack);
        m_iniPath = pack + QLatin1Char('/') + QLatin1String(kIniName);
        DeriveProgramPaths(m_settings, pack + QStringLiteral("/varimond"));
        m_settings.ProgramIniFName = QLatin1String(kIniName);
    }

    void run()
    {
        settings();
        walk();
        themes();
        if (m_windowsScripts > 0)
            add(m_firstWindowsScript, 0, PackProblem::Warning, QStringLiteral("windows-script"),
                QStringLiteral("%1 option script(s) are Windows scripts: players need Wine "
                               "installed to run them.")
                    .arg(m_windowsScripts));
    }

private:
    void add(const QString &file, int line, PackProblem::Severity severity, const QString &code,
             const QString &message)
    {
        m_report.problems.push_back({file, line, severity, code, message});
    }

    QString relative(const QString &path) const
    {
        return path.startsWith(m_pack + QLatin1Char('/')) ? path.mid(m_pack.size() + 1) : path;
    }

    // The 1-based line of @p key in @p section of the INI file at @p path, 0 when not found.
    static int lineOf(const QString &path, const QString &section, const QString &key)
    {
        // Read without following a link or waiting on a FIFO a pack may hold at the name.
        const std::optional<QByteArray> text =
            platform::readOwnFile(path, platform::IniFile::MaxFileSize);
        if (!text)
            return 0;
        const QByteArray wantSection = section.toUtf8().toLower();
        const QByteArray wantKey = key.toUtf8().toLower();
        QByteArray current;
        int number = 0;
        for (const QByteArray &raw : text->split('\n')) {
            ++number;
            const QByteArray line = raw.trimmed();
            if (line.startsWith('[') && line.contains(']')) {
                current = line.mid(1, line.lastIndexOf(']') - 1).trimmed().toLower();
                continue;
            }
            const int eq = line.indexOf('=');
            if (current == wantSection && eq > 0 && line.left(eq).trimmed().toLower() == wantKey)
                return number;
        }
        return 0;
    }

    void settings()
    {
        const QFileInfo info(m_iniPath);
        if (!info.exists()) {
            add(QString(), 0, PackProblem::Warning, QStringLiteral("no-settings"),
                QStringLiteral("The pack has no varimond.ini: the program uses its defaults."));
        } else if (info.size() > platform::IniFile::MaxFileSize ||
                   !platform::IniFile(m_iniPath).readable()) {
            add(QLatin1String(kIniName), 0, PackProblem::Error, QStringLiteral("ini-unreadable"),
                QStringLiteral("The settings file is larger than 16 MiB or cannot be read: the "
                               "program ignores it."));
            return;
        }
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(m_settings, sizes);
        const QString ini = QLatin1String(kIniName);
        auto setting = [&](const char *section, const char *key, PackProblem::Severity severity,
                           const QString &code, const QString &message) {
            add(ini, lineOf(m_iniPath, QLatin1String(section), QLatin1String(key)), severity, code,
                QStringLiteral("[%1] %2: %3").arg(QLatin1String(section), QLatin1String(key), message));
        };

        for (auto [key, value] : {std::pair{"OptionsDir", &m_settings.OptionsDir},
                                  std::pair{"ThemesDir", &m_settings.ThemesDir}}) {
            QString why;
            const QString fallback = QLatin1String(key).chopped(3);
            if (platform::confinedFolder(m_settings.ProgramDir, *value, &why).isEmpty()) {
                setting(key, key, PackProblem::Error, QStringLiteral("settings-path"),
                        QStringLiteral("\"%1\" was ignored: %2. Name a folder inside the pack; "
                                       "the program uses \"%3\" instead.")
                            .arg(*value, why, fallback));
                *value = fallback;
            }
        }
        m_optionsRoot = platform::confinedFolder(m_settings.ProgramDir, m_settings.OptionsDir);
        if (!QFileInfo(m_optionsRoot).isDir())
            setting("OptionsDir", "OptionsDir", PackProblem::Error, QStringLiteral("no-options"),
                    QStringLiteral("the options folder \"%1\" does not exist.")
                        .arg(m_settings.OptionsDir));
        QString why;
        GetAppDataThemePath(m_settings, &why);
        if (!why.isEmpty())
            setting("ThemesDir", "ThemesAppDataDir", PackProblem::Warning,
                    QStringLiteral("settings-path"),
                    QStringLiteral("\"%1\" was ignored: %2. The player's themes go to \"Themes\" "
                                   "in the player's own Varimond folder.")
                        .arg(m_settings.ThemesAppDataDir, why));

        for (const history::NamedFolder &folder : history::resolveFolders(
                 history::readFolderEntries(m_iniPath), m_settings.ProgramDir, QDir::homePath(),
                 m_settings.WinePrefix)) {
            if (!folder.problem.isEmpty())
                setting("History", "Folders", PackProblem::Error, QStringLiteral("settings-path"),
                        QStringLiteral("\"%1\" is left out: %2.")
                            .arg(folder.displayName(), folder.problem));
            else if (folder.needsConsent)
                setting("History", "Folders", PackProblem::Warning, QStringLiteral("needs-consent"),
                        QStringLiteral("\"%1\" lies outside the pack: it is used only once the "
                                       "player allows it.")
                            .arg(folder.displayName()));
        }
        for (auto [key, value] : {std::pair{"WinePrefix", m_settings.WinePrefix},
                                  std::pair{"WineBinary", m_settings.WineBinary}}) {
            if (value.isEmpty())
                continue;
            const QString real = platform::realLocation(
                QDir::isAbsolutePath(value) ? value : m_settings.ProgramDir + value);
            if (!platform::isWithin(real, m_realPack))
                setting("Wine", key, PackProblem::Warning, QStringLiteral("needs-consent"),
                        QStringLiteral("\"%1\" lies outside the pack: it is used only once the "
                                       "player allows it.")
                            .arg(value));
        }

        const QString undef = QStringLiteral("Undef");
        for (auto [key, value] : {std::pair{"UrlVersionInfo", m_settings.UrlVersionInfo},
                                  std::pair{"UrlVersionNotes", m_settings.UrlVersionNotes},
                                  std::pair{"UrlWeblinkPage", m_settings.UrlWeblinkPage}}) {
            if (!value.isEmpty() && value != undef && !platform::IsWebAddress(value))
                setting("VersionInfo", key, PackProblem::Error, QStringLiteral("bad-url"),
                        QStringLiteral("\"%1\" is not an http or https address.").arg(value));
        }
        if (!m_settings.PublicKey.isEmpty() && !packupdate::IsMinisignPublicKey(m_settings.PublicKey))
            setting("Update", "PublicKey", PackProblem::Error, QStringLiteral("bad-public-key"),
                    QStringLiteral("this is not a minisign public key: give the base64 line that "
                                   "\"varimond pack keygen\" printed."));
        packupdate::PackageInfo package;
        QString packageWhy;
        if (!packupdate::ReadPackageInfo(m_iniPath, package, &packageWhy) && !packageWhy.isEmpty())
            setting("Package", "Archive", PackProblem::Error, QStringLiteral("bad-package"),
                    packageWhy + QLatin1Char('.'));
    }

    struct Folder
    {
        QByteArray path; // absolute, local bytes
        int depth = 0;   // below the options root; 0 for the root and folders outside it
        bool option = false;
    };

    // Every entry of the pack, links not followed: links out of it, special files, names that
    // are not UTF-8, folders past the depth limit; option folders get their own checks.
    void walk()
    {
        const QByteArray optionsRoot = QFile::encodeName(QDir::cleanPath(m_optionsRoot));
        const QByteArray packPath = QFile::encodeName(m_pack);
        std::vector<Folder> stack{{packPath, 0, false}};
        Listing entries;
        while (!stack.empty()) {
            const Folder folder = stack.back();
            stack.pop_back();
            const int fd = ::open(folder.path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
            if (!dir) {
                if (fd >= 0)
                    ::close(fd);
                add(shownName(folder.path), 0, PackProblem::Error, QStringLiteral("unreadable"),
                    QStringLiteral("This folder cannot be listed."));
                continue;
            }
            entries.clear();
            while (const dirent *e = ::readdir(dir)) {
                const char *n = e->d_name;
                if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
                    continue;
                entries.push_back({QByteArray(n), e->d_type});
            }
            // Names in byte order, so the report's order never depends on the file system.
            std::sort(entries.begin(), entries.end());
            for (auto &[name, type] : entries) {
                if (type == DT_UNKNOWN) {
                    struct stat st{};
                    type = ::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0
                               ? DT_UNKNOWN
                           : S_ISDIR(st.st_mode)              ? DT_DIR
                           : S_ISREG(st.st_mode)              ? DT_REG
                           : S_ISLNK(st.st_mode)              ? DT_LNK
                                                              : DT_FIFO;
                }
            }
            if (folder.option)
                optionFolder(fd, folder.path + '/', entries);
            ::closedir(dir);
            const size_t firstChild = stack.size();
            for (const auto &[name, type] : entries) {
                const QByteArray path = folder.path + '/' + name;
                if (folder.path.size() == packPath.size() &&
                    IsPlayerState(QString::fromUtf8(name)))
                    continue;
                if (!validUtf8(name)) {
                    add(shownName(path), 0, PackProblem::Error, QStringLiteral("name-not-utf8"),
                        QStringLiteral("The name is not valid UTF-8: rename it (players' "
                                       "archives and file systems may garble it)."));
                }
                if (type == DT_LNK) {
                    link(path, shownName(path));
                } else if (type == DT_DIR) {
                    const bool inOptions = path == optionsRoot ||
                                           path.startsWith(optionsRoot + '/');
                    const int depth = inOptions ? folder.depth + (path == optionsRoot ? 0 : 1) : 0;
                    if (depth > MaxOptionDepth) {
                        add(shownName(path), 0, PackProblem::Error, QStringLiteral("too-deep"),
                            QStringLiteral("This folder lies deeper than %1 levels below the "
                                           "options folder: the program leaves it out.")
                                .arg(MaxOptionDepth));
                        continue;
                    }
                    const bool option = inOptions && depth > 0 && !name.startsWith('.') &&
                                        (folder.option || depth == 1);
                    stack.push_back({path, depth, option});
                } else if (type != DT_REG && type != DT_UNKNOWN) {
                    add(shownName(path), 0, PackProblem::Error, QStringLiteral("special-file"),
                        QStringLiteral("This is a special file (a pipe, socket or device): remove "
                                       "it, a pack holds plain files and folders only."));
                }
            }
            // Sub-folders are taken from the stack's end: the first name first.
            std::reverse(stack.begin() + std::ptrdiff_t(firstChild), stack.end());
        }
    }

    // A path as the report names it: relative to the pack; a name that is not UTF-8 is shown
    // as Windows-1252, as the option tree shows it.
    QString shownName(const QByteArray &path) const
    {
        return relative(validUtf8(path) ? QString::fromUtf8(path) : QString::fromLatin1(path));
    }

    void link(const QByteArray &path, const QString &shown)
    {
        QByteArray target(4096, '\0');
        const ssize_t n = ::readlink(path.constData(), target.data(), size_t(target.size()));
        target.truncate(n > 0 ? int(n) : 0);
        const QString real = platform::realLocation(QFile::decodeName(path));
        if (real.isEmpty() || !QFileInfo::exists(real))
            add(shown, 0, PackProblem::Error, QStringLiteral("link-broken"),
                QStringLiteral("The link leads nowhere (or round in a loop): remove it or mend "
                               "its target."));
        else if (!platform::isWithin(real, m_realPack))
            add(shown, 0, PackProblem::Error, QStringLiteral("link-out"),
                QStringLiteral("The link leads out of the pack, to %1: the program does not "
                               "follow it there. Put the file itself in the pack.")
                    .arg(real));
        else if (target.startsWith('/'))
            add(shown, 0, PackProblem::Error, QStringLiteral("link-absolute"),
                QStringLiteral("The link's target is an absolute path: it breaks once the pack "
                               "is elsewhere. Make it relative."));
    }

    void optionFolder(int fd, const QByteArray &folderBytes, const Listing &entries)
    {
        bool pictures = false;
        const QByteArray *descriptor = nullptr;
        for (const auto &entry : entries) {
            const QByteArray &name = entry.first;
            const char c = char(name.isEmpty() ? 0 : name[0] | 0x20);
            if (c == 'p' || c == 's') {
                const QByteArray lower = name.toLower();
                pictures = pictures || lower.startsWith("preview") || lower.startsWith("screenshot");
            } else if (c == 'o' && name.compare("options.ini", Qt::CaseInsensitive) == 0 &&
                       entry.second != DT_DIR) {
                descriptor = &name;
            }
        }
        const QString folder = QFile::decodeName(folderBytes);
        if (descriptor)
            checkDescriptor(fd, *descriptor, folder, entries);
        if (pictures) {
            for (const QString &picture : previews::pictureFiles(folder)) {
                const previews::Decoded decoded = previews::decode(
                    picture, QSize(previews::ThumbnailWidth, previews::ThumbnailHeight));
                if (decoded.image.isNull())
                    add(relative(picture), 0, PackProblem::Error, QStringLiteral("preview"),
                        QStringLiteral("The preview picture cannot be shown: %1.")
                            .arg(decoded.error));
            }
        }
    }

    // The kind of the file a descriptor names in @p folder, found without regard to case as
    // the program finds it: in the folder's listing for a plain name, on disk for a path.
    static unsigned char kindOf(const QString &folder, const QString &name, const Listing &entries,
                                QString *found)
    {
        const QString mapped = platform::fromStoredPath(name);
        if (mapped.contains(QLatin1Char('/'))) {
            *found = platform::resolvePath(folder + mapped);
            const QFileInfo info(*found);
            return info.isSymLink() ? DT_LNK : info.isDir() ? DT_DIR : info.exists() ? DT_REG : 0;
        }
        const QByteArray bytes = QFile::encodeName(mapped);
        const std::pair<QByteArray, unsigned char> *match = nullptr;
        for (const auto &entry : entries) {
            if (entry.first == bytes)
                match = &entry;
            else if (!match && entry.first.compare(bytes, Qt::CaseInsensitive) == 0)
                match = &entry;
        }
        *found = folder + (match ? QFile::decodeName(match->first) : mapped);
        return match ? match->second : 0;
    }

    void checkDescriptor(int fd, const QByteArray &name, const QString &folder,
                         const Listing &entries)
    {
        const QString path = folder + QFile::decodeName(name);
        const QString shown = relative(path);
        // Read relative to the listed folder into one buffer, as the program's scan reads it.
        std::size_t length = 0;
        if (!platform::FolderReader::readFile(fd, name.constData(), m_buffer, length,
                                              std::size_t(platform::IniFile::MaxFileSize))) {
            add(shown, 0, PackProblem::Error, QStringLiteral("descriptor-unreadable"),
                QStringLiteral("The descriptor is larger than 16 MiB or cannot be read: the "
                               "program ignores it."));
            return;
        }
        m_view.parse(m_buffer.data(), length);
        const platform::IniView &ini = m_view;
        const QString absent(QChar(0x1));
        auto hasKey = [&](const QString &section, const QString &key) {
            return ini.readString(section, key, absent) != absent;
        };
        const TCurrentOption option =
            ReadOptionDescriptor(ini, m_settings, [](const QString &) { return true; });
        const QString readMe = QStringLiteral("ReadMe");
        const QString runMe = QStringLiteral("RunMe");
        for (auto [key, name] : {std::pair{"OptionRunMeFName", option.OptionRunMeFName},
                                 std::pair{"OptionRunMe2FName", option.OptionRunMe2FName}}) {
            if (name.isEmpty())
                continue;
            QString file;
            const unsigned char kind = kindOf(folder, name, entries, &file);
            if (kind == DT_REG) {
                if (platform::needsWine(name) && m_windowsScripts++ == 0)
                    m_firstWindowsScript = relative(file);
                continue;
            }
            const bool given = hasKey(runMe, QLatin1String(key));
            if (!given)
                continue;
            auto line = [&] { return lineOf(path, runMe, QLatin1String(key)); };
            if (kind == DT_LNK) {
                add(shown, line(), PackProblem::Error, QStringLiteral("script-link"),
                    QStringLiteral("[RunMe] %1=%2 names a link: the program starts only a plain "
                                   "file in the option's folder.")
                        .arg(QLatin1String(key), name));
            } else if (kind == DT_DIR) {
                add(shown, line(), PackProblem::Error, QStringLiteral("script-folder"),
                    QStringLiteral("[RunMe] %1=%2 names a folder, not a script.")
                        .arg(QLatin1String(key), name));
            } else if (kind == 0) {
                // Only a selectable option (modes 2 to 5 as written) runs its main script;
                // headers and plain entries may name one that is not there. A missing second
                // script is simply not run, unless a script beside it that no name names
                // suggests a typo.
                const int mode = ini.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 1);
                const bool main = QLatin1String(key) == QLatin1String("OptionRunMeFName");
                const QString unnamed = main ? QString() : unnamedScript(option, entries);
                if (main ? mode >= 2 && mode <= 5 : !unnamed.isEmpty())
                    add(shown, line(), main ? PackProblem::Error : PackProblem::Warning,
                        QStringLiteral("script-missing"),
                        QStringLiteral("[RunMe] %1=%2 names no file in the option's folder: check "
                                       "the spelling%3.")
                            .arg(QLatin1String(key), name,
                                 unnamed.isEmpty() ? QString()
                                                   : QStringLiteral(" (%1 is there)").arg(unnamed)));
            }
        }
        for (auto [key, name] : {std::pair{"OptionReadMeTxtFName", option.OptionReadMeTxtFName},
                                 std::pair{"OptionReadMeHtmlFName", option.OptionReadMeHtmlFName}}) {
            if (name.isEmpty())
                continue;
            QString file;
            if (kindOf(folder, name, entries, &file) == DT_REG) {
                if (QLatin1String(key) == QLatin1String("OptionReadMeTxtFName"))
                    rtfTiming(fd, folder, file);
                continue;
            }
            // The pack's default name, repeated in a descriptor, is no typo: an option
            // without a ReadMe is common.
            const QString defaultName = QLatin1String(key) == QLatin1String("OptionReadMeTxtFName")
                                            ? m_settings.DefaultReadMeTxtFName
                                            : m_settings.DefaultReadMeHtmlFName;
            if (hasKey(readMe, QLatin1String(key)) &&
                name.compare(defaultName, Qt::CaseInsensitive) != 0)
                add(shown, lineOf(path, readMe, QLatin1String(key)), PackProblem::Warning,
                    QStringLiteral("readme-missing"),
                    QStringLiteral("[ReadMe] %1=%2 names no file in the option's folder.")
                        .arg(QLatin1String(key), name));
        }
        const QString http = option.OptionReadMeHttpFName;
        if (!http.isEmpty() && hasKey(readMe, QStringLiteral("OptionReadMeHttpFName")) &&
            !platform::IsWebAddress(http))
            add(shown, lineOf(path, readMe, QStringLiteral("OptionReadMeHttpFName")),
                PackProblem::Error, QStringLiteral("bad-url"),
                QStringLiteral("[ReadMe] OptionReadMeHttpFName=%1 is not an http or https "
                               "address.")
                    .arg(http));
    }

    // A script in the folder that neither of the option's script names names.
    static QString unnamedScript(const TCurrentOption &option, const Listing &entries)
    {
        for (const auto &[bytes, type] : entries) {
            const QString name = QFile::decodeName(bytes);
            const bool script = type == DT_REG &&
                                (name.endsWith(QLatin1String(".sh"), Qt::CaseInsensitive) ||
                                 platform::needsWine(name));
            if (script && name.compare(option.OptionRunMeFName, Qt::CaseInsensitive) != 0 &&
                name.compare(option.OptionRunMe2FName, Qt::CaseInsensitive) != 0)
                return name;
        }
        return {};
    }

    // An RTF ReadMe read and laid out as the ReadMe pane would, timed.
    void rtfTiming(int fd, const QString &folder, const QString &file)
    {
        // The pane tells RTF by its content, whatever the name: its start is enough, read
        // relative to the folder already open.
        const int in = ::openat(fd, QFile::encodeName(file.mid(folder.size())).constData(),
                                O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (in < 0)
            return;
        QByteArray data(4096, Qt::Uninitialized);
        const ssize_t got = ::read(in, data.data(), size_t(data.size()));
        ::close(in);
        data.truncate(got > 0 ? int(got) : 0);
        if (!platform::isRtf(data))
            return;
        QFile whole(file);
        if (whole.size() > platform::IniFile::MaxFileSize || !whole.open(QIODevice::ReadOnly))
            return;
        data = whole.readAll();
        QElapsedTimer timer;
        timer.start();
        QTextDocument document;
        platform::readRtf(data, &document);
        document.setTextWidth(600);
        document.documentLayout()->documentSize();
        if (timer.elapsed() > RtfLayoutLimitMs)
            add(relative(file), 0, PackProblem::Warning, QStringLiteral("rtf-slow"),
                QStringLiteral("The RTF ReadMe took %1 ms to lay out (more than %2): players "
                               "wait for it. Make it smaller or simpler.")
                    .arg(timer.elapsed())
                    .arg(RtfLayoutLimitMs));
    }

    void themes()
    {
        const QString folder = ThemesFolder(m_settings);
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            return;
        const QFileInfoList files = QDir(folder).entryInfoList(
            QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        const QString optionsRoot = OptionsRoot(m_settings);
        for (const QFileInfo &info : files) {
            if (!info.fileName().endsWith(QLatin1String(".ini"), Qt::CaseInsensitive))
                continue;
            const QString shown = relative(info.filePath());
            if (info.isSymLink()) {
                add(shown, 0, PackProblem::Error, QStringLiteral("theme-link"),
                    QStringLiteral("The theme is a link: the program never reads it. Put the "
                                   "theme file itself here."));
                continue;
            }
            if (info.size() > platform::IniFile::MaxFileSize) {
                add(shown, 0, PackProblem::Error, QStringLiteral("theme-unreadable"),
                    QStringLiteral("The theme is larger than 16 MiB: the program cannot read it."));
                continue;
            }
            ThemeContent theme;
            try {
                theme = ReadTheme(m_settings, info.completeBaseName());
            } catch (const AppError &e) {
                add(shown, 0, PackProblem::Error, QStringLiteral("theme-unreadable"), e.message());
                continue;
            }
            for (size_t n = 0; n < theme.Entries.size(); ++n) {
                const QString &stored = theme.Entries[n].RunMeFName;
                const QString section = QStringLiteral("Option%1").arg(n);
                const ThemeScriptPlace place =
                    LocateThemeScript(m_settings.ProgramDir, optionsRoot, stored);
                if (place == ThemeScriptPlace::Inside)
                    continue;
                add(shown, lineOf(info.filePath(), section, QStringLiteral("RunMeFName")),
                    PackProblem::Error, QStringLiteral("theme-option-missing"),
                    place == ThemeScriptPlace::Outside
                        ? QStringLiteral("[%1] RunMeFName=%2 lies outside the option folders: "
                                         "the program skips it.")
                              .arg(section, stored)
                        : QStringLiteral("[%1] RunMeFName=%2 names no option's script: the "
                                         "program skips it. Save the theme again from the "
                                         "program.")
                              .arg(section, stored));
            }
        }
    }

    QString m_pack;
    CheckReport &m_report;
    QString m_realPack;
    QString m_iniPath;
    QString m_optionsRoot;
    TProgramSettings m_settings;
    std::vector<char> m_buffer;
    platform::IniView m_view;
    int m_windowsScripts = 0;
    QString m_firstWindowsScript;
};

QString severityName(PackProblem::Severity severity)
{
    return severity == PackProblem::Error ? QStringLiteral("error") : QStringLiteral("warning");
}

} // namespace

int CheckReport::errorCount() const
{
    return int(std::count_if(problems.begin(), problems.end(),
                             [](const PackProblem &p) { return p.severity == PackProblem::Error; }));
}

CheckReport CheckPack(const QString &pack)
{
    CheckReport report;
    report.pack = QDir::cleanPath(QFileInfo(pack).absoluteFilePath());
    Checker(report.pack, report).run();
    return report;
}

QString ReportText(const CheckReport &report)
{
    QString text;
    for (const PackProblem &p : report.problems) {
        QString place = p.file.isEmpty() ? QDir::toNativeSeparators(report.pack) : p.file;
        if (p.line > 0)
            place += QLatin1Char(':') + QString::number(p.line);
        text += QStringLiteral("%1: %2: %3 [%4]\n").arg(severityName(p.severity), place, p.message, p.code);
    }
    const int errors = report.errorCount();
    text += QStringLiteral("%1: %2 error(s), %3 warning(s).\n")
                .arg(QDir::toNativeSeparators(report.pack))
                .arg(errors)
                .arg(int(report.problems.size()) - errors);
    return text;
}

QByteArray ReportJson(const CheckReport &report)
{
    QJsonArray problems;
    for (const PackProblem &p : report.problems) {
        QJsonObject o{{QStringLiteral("file"), p.file},
                      {QStringLiteral("severity"), severityName(p.severity)},
                      {QStringLiteral("code"), p.code},
                      {QStringLiteral("message"), p.message}};
        if (p.line > 0)
            o.insert(QStringLiteral("line"), p.line);
        problems.append(o);
    }
    const int errors = report.errorCount();
    const QJsonObject root{{QStringLiteral("pack"), report.pack},
                           {QStringLiteral("errors"), errors},
                           {QStringLiteral("warnings"), int(report.problems.size()) - errors},
                           {QStringLiteral("problems"), problems}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace packtools
