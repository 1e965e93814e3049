#pragma once

#include <QString>

namespace packtools {

struct SecretKey;

/// What "varimond pack publish" is asked to do.
struct PublishRequest
{
    QString pack;           // the pack's folder, absolute
    QString version;        // the new version, [VersionInfo] UserInterface
    QString baseUrl;        // where the archive and its signature will be downloadable
    QString secretKey;      // the minisign secret key file
    QString oldVersionFile; // the version file published before, or empty
    QString outDir;         // where the files are written
    QString format;         // "tar.xz" or "zip"
};

/// The three files written and where they belong.
struct PublishResult
{
    QString archivePath;
    QString signaturePath;
    QString versionFilePath;
    QString archiveUrl;
    QString signatureUrl;
    QString versionFileUrl; // the pack's UrlVersionInfo, or empty when it names none
    QByteArray sha256;
    qint64 size = 0;
};

/// The time every entry of a published archive carries, so that the same pack gives the same
/// bytes: 2000-01-01 00:00:00 UTC.
constexpr qint64 ArchiveTime = 946684800;

/// Whether @p relativePath (from the pack's folder, '/'-separated) is state the program keeps
/// for a player rather than a file of the pack: never published.
bool IsPlayerState(const QString &relativePath);

/// Throws AppError, saying what to change, when @p request cannot be carried out: a version
/// with line breaks, an address that is not http/https, an unknown format, an old version file
/// that cannot be read, an output folder inside the pack.
void ValidatePublishRequest(const PublishRequest &request);

/// Writes the archive of the pack's own files (names sorted, entries owned by 0:0 with
/// ArchiveTime, modes 0644/0755; the archive's varimond.ini names @p request's version), its
/// pre-hashed minisign signature with the trusted comment "version:V", and the version file
/// with [VersionInfo] and [Package]. The pack itself is not changed. Throws AppError.
PublishResult Publish(const PublishRequest &request, const SecretKey &key);

/// The lines telling the pack maker what to upload where.
QString UploadInstructions(const PublishRequest &request, const PublishResult &result);

} // namespace packtools
