#pragma once

#include <QByteArray>
#include <QString>

namespace packupdate {

/// What a publisher offers for a one-click update: section [Package] of the version file.
struct PackageInfo
{
    QString archive;      // http or https address of the archive
    QByteArray sha256;    // 64 lower-case hex digits
    qint64 size = 0;      // the archive's size in bytes
    QString signature;    // the text of a .minisig file, lines joined with real line breaks
    QString signatureUrl; // where the .minisig file is, when not given inline
    QString version;      // [VersionInfo] UserInterface of the same file: the pack's new version

    /// The file name suffix of the archive's format: ".zip", ".tar.gz", ".tar.xz" or ".7z".
    QString suffix() const;
};

/// The largest archive a [Package] may announce.
constexpr qint64 MaxPackageSize = qint64(4) * 1024 * 1024 * 1024;

/// Reads [Package] of the version file at @p path. Returns true when it is complete and sound:
/// an http/https archive address ending in one of the four suffixes, 64 hex digits of SHA-256
/// and a size from 1 byte to MaxPackageSize. Otherwise false with the reason in @p why (empty
/// when the file has no [Package] at all).
bool ReadPackageInfo(const QString &path, PackageInfo &info, QString *why = nullptr);

/// "1.5 MB", "200 KB", "12 bytes": an archive's size as the window's hint words it.
QString SizeText(qint64 bytes);

/// Whether version @p candidate comes after version @p installed: both are read as runs of
/// digits (compared as numbers) and runs of other characters (compared without regard to case),
/// in order; a run of digits comes after any other run, and a version that goes on after the
/// other ends comes after it. "1.10" is after "1.9", "2.0a" after "2.0", "2.0" after "Undef";
/// "2.0" is not after "2.0" nor after "02.0".
bool IsNewerVersion(const QString &candidate, const QString &installed);

/// The version a minisign trusted comment names: the value of its "version:" item (items are
/// separated by blanks or tabs), empty when it names none.
QString TrustedCommentVersion(const QString &comment);

/// A version text made fit to be part of a folder name: characters other than letters, digits,
/// '.', '-' and '_' become '_', at most 64 of them; "unknown" when nothing is left.
QString VersionFolderText(const QString &version);

} // namespace packupdate
