#include "packupdate/PackInstall.h"

#include "history/InstallHistory.h"
#include "packupdate/Minisign.h"
#include "files/Confine.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "files/OwnFile.h"
#include "files/Paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace packupdate {

namespace {

QString archivePath(const QString &updateFolder, const PackageInfo &info)
{
    return updateFolder + QStringLiteral("package") + info.suffix();
}

QString signaturePath(const QString &updateFolder)
{
    return updateFolder + QStringLiteral("package.minisig");
}

QString stagingPath(const QString &updateFolder)
{
    return updateFolder + QStringLiteral("staging");
}

/// The top-level names that are the installed version's own: its settings file, the first
/// folder of its options and themes folders, and what the last update put in. Other files in
/// the pack's folder are not the pack's to move.
QByteArrayList packNames(const InstallTarget &t)
{
    QByteArrayList names = InstalledNames(t.packDir);
    auto add = [&names, &t](const QString &stored) {
        const QString first = platform::fromStoredPath(stored).section(QLatin1Char('/'), 0, 0,
                                                                       QString::SectionSkipEmpty);
        if (first.isEmpty() || first == QLatin1String(".") || first == QLatin1String(".."))
            return;
        // Found as Windows would find it: the settings may spell it in another case.
        const QString found = QFileInfo(platform::resolvePath(t.packDir + first)).fileName();
        names.append(QFile::encodeName(found.isEmpty() ? first : found));
    };
    const QString ini = t.packDir + t.iniName;
    add(t.iniName);
    add(platform::IniFile::readString(ini, QStringLiteral("OptionsDir"),
                                      QStringLiteral("OptionsDir"), QStringLiteral("Options")));
    add(platform::IniFile::readString(ini, QStringLiteral("ThemesDir"), QStringLiteral("ThemesDir"),
                                      QStringLiteral("Themes")));
    return names;
}

} // namespace

PackInstall::PackInstall(QObject *parent)
    : QObject(parent), m_download(new platform::Downloader(this))
{
    m_archiveLimits.totalMs = ArchiveTotalMs;
    m_archiveLimits.stallMs = ArchiveStallMs;
    m_archiveLimits.minAverageRate = ArchiveMinRate;
    m_archiveLimits.rateGraceMs = 30000;
    connect(m_download, &platform::Downloader::progress, this, &PackInstall::progress);
    connect(m_download, &platform::Downloader::finished, this, [this](bool ok) {
        if (!ok) {
            fail(QStringLiteral("The update could not be downloaded: %1")
                     .arg(m_download->errorString()));
            return;
        }
        if (m_step == Step::Signature) {
            m_signature = QString::fromUtf8(
                platform::readOwnFile(signaturePath(m_updateFolder), MaxSignatureBytes)
                    .value_or(QByteArray()));
            QFile::remove(signaturePath(m_updateFolder));
            downloadArchive();
            return;
        }
        unpack();
    });
}

PackInstall::~PackInstall()
{
    cancel();
    if (m_unpackThread.joinable())
        m_unpackThread.join();
}

void PackInstall::start(const PackageInfo &info, const InstallTarget &target)
{
    cancel();
    m_info = info;
    m_target = target;
    m_signature = info.signature;
    m_message.clear();
    m_carried = CarryOverResult();
    m_running = true;
    auto failLater = [this](const QString &why) {
        QMetaObject::invokeMethod(
            this, [this, why] { fail(why); }, Qt::QueuedConnection);
    };
    try {
        m_updateFolder = UpdateFolder(target.packDir);
    } catch (const AppError &e) {
        m_updateFolder.clear();
        failLater(QStringLiteral("The update was not installed: %1.").arg(e.message()));
        return;
    }
    const QString &update = m_updateFolder;
    m_madeUpdateFolder = !QFileInfo::exists(update);
    if (!target.publicKey.isEmpty() && !IsMinisignPublicKey(target.publicKey)) {
        failLater(QStringLiteral("The update was not installed: the pack's [Update] PublicKey "
                                 "is not a minisign public key."));
        return;
    }
    // An update goes forward only: an older version announced anew is not installed again.
    if (!IsNewerVersion(info.version, target.oldVersion)) {
        failLater(QStringLiteral("The update was not installed: version %1 is not newer than "
                                 "the installed version %2.")
                      .arg(info.version, target.oldVersion));
        return;
    }
    if (!QDir().mkpath(update) || QFileInfo(QDir::cleanPath(update)).isSymLink()) {
        failLater(
            QStringLiteral("The update was not installed: cannot make the folder %1.").arg(update));
        return;
    }
    emit stage(QStringLiteral("Downloading"));
    if (m_signature.isEmpty() && !info.signatureUrl.isEmpty() && !target.publicKey.isEmpty()) {
        m_step = Step::Signature;
        platform::DownloadLimits limits;
        limits.maxBytes = MaxSignatureBytes;
        limits.totalMs = 30000;
        m_download->start(info.signatureUrl, signaturePath(m_updateFolder), limits);
        return;
    }
    downloadArchive();
}

void PackInstall::downloadArchive()
{
    m_step = Step::Archive;
    platform::DownloadLimits limits = m_archiveLimits;
    // A body larger than announced is cut off as soon as it passes the size.
    limits.maxBytes = m_info.size;
    // The archive is checked once it is complete, on the unpack's thread, before anything of
    // it is read: hashing a large file would stall the window.
    m_download->start(m_info.archive, archivePath(m_updateFolder, m_info), limits);
}

QString PackInstall::verify(const QString &path, const PackageInfo &info, const QString &signature,
                            const QString &publicKey, const std::atomic<bool> &cancel)
{
    const qint64 size = QFileInfo(path).size();
    if (size != info.size)
        return QStringLiteral("the archive is %1 bytes, not the %2 announced")
            .arg(size)
            .arg(info.size);
    QFile file;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const int fd = platform::openOwnFile(path);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return QStringLiteral("the archive cannot be read");
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (cancel)
            return QStringLiteral("cancelled");
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return QStringLiteral("the archive cannot be read");
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), n));
    }
    if (hash.result().toHex() != info.sha256)
        return QStringLiteral("the archive's SHA-256 is not the one announced");
    if (!publicKey.isEmpty()) {
        QString comment;
        const QString why = VerifyMinisign(path, signature, publicKey, &comment);
        if (!why.isEmpty())
            return why;
        // The version is signed with the archive, so that an older archive signed with the same
        // key cannot be announced as a newer version.
        const QString version = TrustedCommentVersion(comment);
        if (version.isEmpty())
            return QStringLiteral("the signature's trusted comment names no version "
                                  "(version:%1)")
                .arg(info.version);
        if (version != info.version)
            return QStringLiteral("the archive is signed as version %1, not %2")
                .arg(version, info.version);
    }
    return {};
}

void PackInstall::unpack()
{
    const QString archive = archivePath(m_updateFolder, m_info);
    const QString staging = stagingPath(m_updateFolder);
    emit stage(QStringLiteral("Verifying and unpacking"));
    // A swap left by a killed run is dealt with at start-up, before any update can begin; its
    // journal still here means it could not be, and nothing may touch the staging folder.
    if (QFileInfo::exists(m_updateFolder + QStringLiteral("journal"))) {
        fail(QStringLiteral("An earlier update of this pack is unfinished; start Varimond again "
                            "to finish it."));
        return;
    }
    m_cancelUnpack = false;
    UnpackLimits limits = m_unpackLimits;
    limits.cancel = &m_cancelUnpack;
    const quint64 generation = ++m_generation;
    m_unpackThread = std::thread([this, archive, staging, limits, generation, info = m_info,
                                  signature = m_signature, key = m_target.publicKey] {
        UnpackResult result;
        QString error;
        try {
            const QString refused = verify(archive, info, signature, key, m_cancelUnpack);
            if (!refused.isEmpty())
                throw AppError(QStringLiteral("The update was not installed: %1").arg(refused));
            // A staging folder an interrupted unpack left holds new files only.
            RemoveTree(staging);
            result = UnpackArchive(archive, staging, limits);
        } catch (const AppError &e) {
            error = e.message();
        } catch (const std::exception &e) {
            error = QString::fromLocal8Bit(e.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, result, error, generation] {
                if (generation != m_generation || !m_running)
                    return;
                if (m_unpackThread.joinable())
                    m_unpackThread.join();
                if (!error.isEmpty())
                    fail(error);
                else
                    install(result);
            },
            Qt::QueuedConnection);
    });
}

void PackInstall::install(const UnpackResult &unpacked)
{
    const QString staging = stagingPath(m_updateFolder);
    try {
        QFile::remove(archivePath(m_updateFolder, m_info));

        // The new version must be a pack: its options folder is where its settings say.
        const QString options = platform::IniFile::readString(
            unpacked.root + m_target.iniName, QStringLiteral("OptionsDir"),
            QStringLiteral("OptionsDir"), QStringLiteral("Options"));
        const QString optionsFolder = platform::confinedFolder(unpacked.root, options);
        if (optionsFolder.isEmpty() || !QFileInfo(optionsFolder).isDir())
            throw AppError(QStringLiteral("The update archive was not installed: it holds no "
                                          "%1 folder")
                               .arg(options));

        // The version the archive itself holds is the one announced (and signed).
        const QString version = platform::IniFile::readString(
            unpacked.root + m_target.iniName, QStringLiteral("VersionInfo"),
            QStringLiteral("UserInterface"), QString());
        if (version != m_info.version)
            throw AppError(QStringLiteral("The update archive was not installed: its %1 names "
                                          "version %2, not the %3 announced")
                               .arg(m_target.iniName, version, m_info.version));

        emit stage(QStringLiteral("Installing"));
        if (m_beforeCarryOver)
            m_beforeCarryOver();
        m_carried = CarryOver(m_target.packDir, unpacked.root, m_target.iniName);
        CheckFinalPlace(unpacked.root, m_target.programName);

        const SwapPlan plan = MakeSwapPlan(m_target.packDir, unpacked.root, m_target.oldVersion,
                                           m_target.programName, packNames(m_target));
        history::InstallSession session(
            QStringLiteral("update"),
            QStringLiteral("Pack update %1 to %2").arg(m_target.oldVersion, m_info.version), {});
        const QString previous = SwapPack(plan, m_swapHook);
        RemoveTree(staging);

        m_message = QStringLiteral("Version %1 is installed. The previous version is kept in %2.")
                        .arg(m_info.version, QDir::toNativeSeparators(previous));
        if (!m_carried.missing.isEmpty())
            m_message += QStringLiteral("\n\nThese options you had chosen are not in the new "
                                        "version:\n") +
                         m_carried.missing.join(QLatin1Char('\n'));
    } catch (const AppError &e) {
        RemoveTree(staging);
        try {
            RemoveUnusedSwapFolder(m_target.packDir);
        } catch (const AppError &) {
        }
        fail(e.message());
        return;
    }
    m_running = false;
    emit finished(true);
}

void PackInstall::cleanUp()
{
    if (m_updateFolder.isEmpty())
        return; // the update folder could not be made: nothing to remove
    QFile::remove(archivePath(m_updateFolder, m_info));
    QFile::remove(signaturePath(m_updateFolder));
    if (m_madeUpdateFolder)
        QDir().rmdir(m_updateFolder);
}

void PackInstall::fail(const QString &why)
{
    if (!m_running)
        return;
    m_message = why;
    cleanUp();
    m_running = false;
    emit finished(false);
}

void PackInstall::cancel()
{
    if (!m_running)
        return;
    m_download->abort();
    ++m_generation;
    m_cancelUnpack = true;
    if (m_unpackThread.joinable())
        m_unpackThread.join(); // the unpack stops at its next block and removes what it made
    cleanUp();
    m_running = false;
}

} // namespace packupdate
