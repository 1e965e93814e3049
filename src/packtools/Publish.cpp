#include "packtools/Publish.h"

#include "packtools/MinisignKeys.h"
#include "packupdate/Minisign.h"
#include "packupdate/PackageInfo.h"
#include "files/Confine.h"
#include "net/Downloader.h"
#include "files/Error.h"
#include "ini/IniFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace packtools {

namespace {

const QString kIniName = QStringLiteral("varimond.ini");

// Sections of the settings file that only the program writes: the player's window sizes.
const char *const kProgramSections[] = {"MainWindowSizes", "AboutWindowSizes",
                                        "CheckUpdateWindowSizes"};

struct Entry
{
    QByteArray name; // UTF-8, '/'-separated, relative to the pack
    QString path;    // on disk
    enum Kind { File, Folder, Link } kind = File;
    bool executable = false;
    QByteArray linkTarget;
};

// The pack's entries, depth first, names sorted by their bytes so the order never depends on
// the file system or the locale.
void collect(const QString &folder, const QByteArray &prefix, std::vector<Entry> &entries)
{
    QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return a.toUtf8() < b.toUtf8(); });
    for (const QString &name : names) {
        Entry entry;
        entry.name = prefix + name.toUtf8();
        entry.path = folder + QLatin1Char('/') + name;
        if (IsPlayerState(QString::fromUtf8(entry.name)))
            continue;
        struct stat st{};
        if (::lstat(QFile::encodeName(entry.path).constData(), &st) != 0)
            throw AppError(QStringLiteral("%1 cannot be read.").arg(entry.path));
        if (S_ISLNK(st.st_mode)) {
            entry.kind = Entry::Link;
            QByteArray target(4096, '\0');
            const ssize_t n = ::readlink(QFile::encodeName(entry.path).constData(),
                                         target.data(), size_t(target.size()));
            if (n <= 0)
                throw AppError(QStringLiteral("%1 cannot be read.").arg(entry.path));
            entry.linkTarget = target.left(int(n));
            entries.push_back(entry);
        } else if (S_ISDIR(st.st_mode)) {
            entry.kind = Entry::Folder;
            entries.push_back(entry);
            collect(entry.path, entry.name + '/', entries);
        } else if (S_ISREG(st.st_mode)) {
            entry.executable = (st.st_mode & 0111) != 0;
            entries.push_back(entry);
        }
        // Special files cannot travel in an archive; the check reports them.
    }
}

// The settings file as the archive carries it: without the sections only the program writes
// and without its first-start flag, with the new version.
QByteArray archivedSettings(const QString &packIni, const QString &version, const QString &scratch)
{
    QByteArray text;
    QFile in(packIni);
    if (in.exists()) {
        if (in.size() > platform::IniFile::MaxFileSize || !in.open(QIODevice::ReadOnly))
            throw AppError(QStringLiteral("%1 cannot be read.").arg(packIni));
        bool keep = true;
        QByteArray section;
        for (const QByteArray &line : in.readAll().split('\n')) {
            const QByteArray trimmed = line.trimmed();
            if (trimmed.startsWith('[') && trimmed.contains(']')) {
                section = trimmed.mid(1, trimmed.lastIndexOf(']') - 1).trimmed().toLower();
                keep = std::none_of(std::begin(kProgramSections), std::end(kProgramSections),
                                    [&](const char *s) { return section == QByteArray(s).toLower(); });
            }
            const bool firstRun =
                section == "settings" && trimmed.toLower().startsWith("pgmfirstrun") &&
                trimmed.mid(11).trimmed().startsWith('=');
            if (keep && !firstRun)
                text += line + '\n';
        }
        text.chop(1);
    }
    const QString copy = scratch + QLatin1Char('/') + kIniName;
    QFile out(copy);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
        throw AppError(QStringLiteral("%1 cannot be written.").arg(copy));
    out.close();
    platform::IniFile::writeString(copy, QStringLiteral("VersionInfo"),
                                   QStringLiteral("UserInterface"), version);
    QFile result(copy);
    if (!result.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("%1 cannot be read.").arg(copy));
    return result.readAll();
}

struct ArchiveWriter
{
    archive *a = archive_write_new();
    ~ArchiveWriter() { archive_write_free(a); }
    void check(int status, const QString &path)
    {
        if (status < ARCHIVE_WARN)
            throw AppError(QStringLiteral("%1 cannot be written: %2")
                               .arg(path, QString::fromLocal8Bit(archive_error_string(a))));
    }
};

void writeArchive(const std::vector<Entry> &entries, const QByteArray &settings,
                  const QString &format, const QString &path)
{
    ArchiveWriter w;
    if (format == QLatin1String("zip")) {
        w.check(archive_write_set_format_zip(w.a), path);
    } else {
        w.check(archive_write_set_format_pax_restricted(w.a), path);
        w.check(archive_write_add_filter_xz(w.a), path);
    }
    w.check(archive_write_open_filename(w.a, QFile::encodeName(path).constData()), path);
    bool settingsWritten = false;
    auto writeEntry = [&](const QByteArray &name, int type, int mode, const QByteArray *data,
                          const QString &source, const QByteArray &link) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> e(archive_entry_new(),
                                                                    &archive_entry_free);
        archive_entry_set_pathname_utf8(e.get(), name.constData());
        archive_entry_set_filetype(e.get(), type);
        archive_entry_set_perm(e.get(), mode);
        archive_entry_set_mtime(e.get(), ArchiveTime, 0);
        archive_entry_set_uid(e.get(), 0);
        archive_entry_set_gid(e.get(), 0);
        if (type == AE_IFLNK)
            archive_entry_set_symlink_utf8(e.get(), link.constData());
        QFile file(source);
        if (type == AE_IFREG) {
            if (!data && !file.open(QIODevice::ReadOnly))
                throw AppError(QStringLiteral("%1 cannot be read: %2").arg(source, file.errorString()));
            archive_entry_set_size(e.get(), data ? data->size() : file.size());
        }
        w.check(archive_write_header(w.a, e.get()), path);
        if (type != AE_IFREG)
            return;
        if (data) {
            if (archive_write_data(w.a, data->constData(), size_t(data->size())) < 0)
                w.check(ARCHIVE_FATAL, path);
            return;
        }
        QByteArray buffer(1 << 16, Qt::Uninitialized);
        qint64 left = file.size();
        while (left > 0) {
            const qint64 n = file.read(buffer.data(), qMin<qint64>(left, buffer.size()));
            if (n <= 0)
                throw AppError(QStringLiteral("%1 changed while it was archived.").arg(source));
            if (archive_write_data(w.a, buffer.constData(), size_t(n)) < 0)
                w.check(ARCHIVE_FATAL, path);
            left -= n;
        }
    };
    for (const Entry &entry : entries) {
        // The settings file takes its place in the sorted order.
        if (!settingsWritten && entry.name > kIniName.toUtf8()) {
            writeEntry(kIniName.toUtf8(), AE_IFREG, 0644, &settings, {}, {});
            settingsWritten = true;
        }
        if (entry.name == kIniName.toUtf8()) {
            if (!settingsWritten)
                writeEntry(kIniName.toUtf8(), AE_IFREG, 0644, &settings, {}, {});
            settingsWritten = true;
            continue;
        }
        if (entry.kind == Entry::Folder)
            writeEntry(entry.name + '/', AE_IFDIR, 0755, nullptr, {}, {});
        else if (entry.kind == Entry::Link)
            writeEntry(entry.name, AE_IFLNK, 0777, nullptr, {}, entry.linkTarget);
        else
            writeEntry(entry.name, AE_IFREG, entry.executable ? 0755 : 0644, nullptr, entry.path, {});
    }
    if (!settingsWritten)
        writeEntry(kIniName.toUtf8(), AE_IFREG, 0644, &settings, {}, {});
    w.check(archive_write_close(w.a), path);
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        throw AppError(QStringLiteral("%1 cannot be read.").arg(path));
    return hash.result().toHex();
}

void replaceFile(const QString &from, const QString &to)
{
    QFile::remove(to);
    if (!QFile::rename(from, to))
        throw AppError(QStringLiteral("%1 cannot be written.").arg(to));
}

QString joinUrl(const QString &base, const QString &name)
{
    QString url = base;
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

} // namespace

bool IsPlayerState(const QString &relativePath)
{
    const QString name = relativePath.section(QLatin1Char('/'), -1);
    const bool top = !relativePath.contains(QLatin1Char('/'));
    if (top && (name.startsWith(QLatin1String(".varimond-")) ||
                name.compare(QLatin1String("NewVersionInfo.ini"), Qt::CaseInsensitive) == 0))
        return true;
    // The player's ticks, and the INI layer's temporary files a killed program left behind.
    return name.compare(QLatin1String("Selected.ini"), Qt::CaseInsensitive) == 0 ||
           (name.startsWith(QLatin1Char('.')) && name.contains(QLatin1String(".varimond-tmp-")));
}

void ValidatePublishRequest(const PublishRequest &request)
{
    if (request.version.trimmed().isEmpty() || request.version.contains(QLatin1Char('\n')) ||
        request.version.contains(QLatin1Char('\r')) ||
        request.version.size() > platform::IniFile::MaxValueLength - 16)
        throw AppError(QStringLiteral("--version must be one line of text, such as 1.31."));
    if (!platform::IsWebAddress(request.baseUrl))
        throw AppError(QStringLiteral("--url %1 is not an http or https address.")
                           .arg(request.baseUrl));
    if (request.format != QLatin1String("tar.xz") && request.format != QLatin1String("zip"))
        throw AppError(QStringLiteral("--format must be tar.xz or zip."));
    if (!request.oldVersionFile.isEmpty() &&
        !platform::IniFile(request.oldVersionFile).readable())
        throw AppError(QStringLiteral("The version file %1 cannot be read.")
                           .arg(request.oldVersionFile));
    if (!QDir().mkpath(request.outDir))
        throw AppError(QStringLiteral("The output folder %1 cannot be made.").arg(request.outDir));
    if (platform::isWithin(platform::realLocation(QFileInfo(request.outDir).absoluteFilePath()),
                           platform::realLocation(request.pack)))
        throw AppError(QStringLiteral("The output folder %1 lies inside the pack: choose one "
                                      "outside it, or the next archive would hold this one.")
                           .arg(request.outDir));
}

PublishResult Publish(const PublishRequest &request, const SecretKey &key)
{
    QTemporaryDir scratch(QDir(request.outDir).absoluteFilePath(QStringLiteral(".publish-XXXXXX")));
    if (!scratch.isValid())
        throw AppError(QStringLiteral("%1 cannot be written.").arg(request.outDir));
    const QString packIni = request.pack + QLatin1Char('/') + kIniName;

    std::vector<Entry> entries;
    collect(request.pack, {}, entries);
    const QByteArray settings = archivedSettings(packIni, request.version, scratch.path());

    PublishResult result;
    const QString stem =
        packupdate::VersionFolderText(QFileInfo(request.pack).fileName()) + QLatin1Char('-') +
        packupdate::VersionFolderText(request.version);
    const QString archiveName = stem + QLatin1Char('.') + request.format;
    const QString out = QDir(request.outDir).absolutePath() + QLatin1Char('/');
    const QString archiveTemp = scratch.filePath(archiveName);
    writeArchive(entries, settings, request.format, archiveTemp);
    result.sha256 = sha256Of(archiveTemp);
    result.size = QFileInfo(archiveTemp).size();
    if (result.size > packupdate::MaxPackageSize)
        throw AppError(QStringLiteral("The archive is larger than the 4 GiB an update may be."));

    const QString signature =
        SignFile(archiveTemp, key, QStringLiteral("version:") + request.version);
    // A pack that names its key installs only archives signed with it: a signature the
    // players' program would refuse is no publication.
    const QString packKey = platform::IniFile::readString(packIni, QStringLiteral("Update"),
                                                          QStringLiteral("PublicKey"), QString());
    if (!packKey.isEmpty()) {
        const QString refusal = packupdate::VerifyMinisign(archiveTemp, signature, packKey);
        if (!refusal.isEmpty())
            throw AppError(QStringLiteral("The players' program would refuse this archive (%1): "
                                          "sign with the secret key of the pack's [Update] "
                                          "PublicKey.")
                               .arg(refusal));
    }
    result.archiveUrl = joinUrl(request.baseUrl, archiveName);
    result.signatureUrl = joinUrl(request.baseUrl, archiveName + QStringLiteral(".minisig"));

    // The version file: the old one's keys kept, else the pack's own [VersionInfo] addresses,
    // which a published file must name to keep them.
    const QString urlVersionInfo = platform::IniFile::readString(
        packIni, QStringLiteral("VersionInfo"), QStringLiteral("UrlVersionInfo"), QString());
    if (platform::IsWebAddress(urlVersionInfo))
        result.versionFileUrl = urlVersionInfo;
    QString versionName = QUrl(urlVersionInfo).fileName();
    if (result.versionFileUrl.isEmpty() || versionName.isEmpty())
        versionName = QStringLiteral("VersionInfo.ini");
    const QString versionTemp = scratch.filePath(versionName);
    if (!request.oldVersionFile.isEmpty() && !QFile::copy(request.oldVersionFile, versionTemp))
        throw AppError(QStringLiteral("%1 cannot be copied.").arg(request.oldVersionFile));
    {
        platform::IniFile ini(versionTemp);
        ini.beginUpdate();
        const QString vi = QStringLiteral("VersionInfo");
        ini.writeString(vi, QStringLiteral("UserInterface"), request.version);
        if (request.oldVersionFile.isEmpty()) {
            for (const char *key : {"Varimond", "AvailableBetas", "AvailableAddOns",
                                    "UrlVersionInfo", "UrlVersionNotes", "UrlWeblinkPage",
                                    "WeblinkButtonCaption"}) {
                const QString value = platform::IniFile::readString(
                    packIni, vi, QLatin1String(key), QStringLiteral("Undef"));
                if (value != QLatin1String("Undef"))
                    ini.writeString(vi, QLatin1String(key), value);
            }
        }
        const QString pk = QStringLiteral("Package");
        ini.writeString(pk, QStringLiteral("Archive"), result.archiveUrl);
        ini.writeString(pk, QStringLiteral("SHA256"), QString::fromLatin1(result.sha256));
        ini.writeString(pk, QStringLiteral("Size"), QString::number(result.size));
        QString oneLine = signature.trimmed();
        ini.writeString(pk, QStringLiteral("Signature"),
                        oneLine.replace(QLatin1Char('\n'), QLatin1String("\\n")));
        if (ini.hasKey(pk, QStringLiteral("SignatureUrl")))
            ini.writeString(pk, QStringLiteral("SignatureUrl"), result.signatureUrl);
        ini.flush();
    }
    QFile sigFile(scratch.filePath(archiveName + QStringLiteral(".minisig")));
    const QByteArray sigBytes = signature.toUtf8();
    if (!sigFile.open(QIODevice::WriteOnly) || sigFile.write(sigBytes) != sigBytes.size())
        throw AppError(QStringLiteral("%1 cannot be written.").arg(sigFile.fileName()));
    sigFile.close();

    result.archivePath = out + archiveName;
    result.signaturePath = out + archiveName + QStringLiteral(".minisig");
    result.versionFilePath = out + versionName;
    replaceFile(archiveTemp, result.archivePath);
    replaceFile(sigFile.fileName(), result.signaturePath);
    replaceFile(versionTemp, result.versionFilePath);
    return result;
}

QString UploadInstructions(const PublishRequest &request, const PublishResult &result)
{
    QString text = QStringLiteral("Published version %1 of %2:\n\n"
                                  "  archive    %3 (%4, SHA-256 %5)\n"
                                  "  signature  %6\n"
                                  "  version    %7\n\n"
                                  "Upload:\n"
                                  "  %3\n    to %8\n"
                                  "  %6\n    to %9\n")
                       .arg(request.version, QDir::toNativeSeparators(request.pack),
                            result.archivePath, packupdate::SizeText(result.size),
                            QString::fromLatin1(result.sha256), result.signaturePath,
                            result.versionFilePath, result.archiveUrl, result.signatureUrl);
    if (!result.versionFileUrl.isEmpty())
        text += QStringLiteral("  %1\n    to %2 (last: players see the update once it is "
                               "there)\n")
                    .arg(result.versionFilePath, result.versionFileUrl);
    else
        text += QStringLiteral("  %1\n    to the address you choose, and name that address in "
                               "the pack's varimond.ini as [VersionInfo] UrlVersionInfo= (it "
                               "names none yet)\n")
                    .arg(result.versionFilePath);
    return text;
}

} // namespace packtools
