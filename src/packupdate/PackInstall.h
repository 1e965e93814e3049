#pragma once

#include "packupdate/ArchiveUnpack.h"
#include "packupdate/CarryOver.h"
#include "packupdate/PackSwap.h"
#include "packupdate/PackageInfo.h"
#include "net/Downloader.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace packupdate {

/// The pack an update goes into.
struct InstallTarget
{
    QString packDir;     // the pack's folder, ending in '/'
    QString iniName;     // its settings file's name
    QString programName; // the program's name in the pack (its link or binary stays)
    QString oldVersion;  // the installed version, for the previous version's folder
    QString publicKey;   // [Update] PublicKey of the pack; empty when archives need no signature
};

/// One update of a pack, without a window: downloads the archive (and its signature when it
/// is published apart), verifies its size, SHA-256 and, when the pack names a key, its
/// signature, unpacks it into a staging folder, carries the player's choices over and swaps
/// the files. Any failure before the swap leaves the pack as it was, byte for byte; the swap
/// itself is journalled (SwapPack()).
class PackInstall final : public QObject
{
    Q_OBJECT

public:
    static constexpr int ArchiveTotalMs = 60 * 60 * 1000;
    static constexpr int ArchiveStallMs = 60 * 1000;
    static constexpr qint64 ArchiveMinRate = 4 * 1024;
    static constexpr qint64 MaxSignatureBytes = 4096;

    explicit PackInstall(QObject *parent = nullptr);
    ~PackInstall() override;
    Q_DISABLE_COPY_MOVE(PackInstall)

    /// Starts the update; finished() follows, never from inside this call.
    void start(const PackageInfo &info, const InstallTarget &target);
    /// Stops a download or unpack still running; nothing of it is kept and finished() does
    /// not follow. Once the files are being swapped it is too late to stop.
    void cancel();
    bool isRunning() const { return m_running; }

    /// Limits of the archive's download beyond those derived from its size; tests shorten them.
    platform::DownloadLimits &archiveLimits() { return m_archiveLimits; }
    UnpackLimits &unpackLimits() { return m_unpackLimits; }
    /// Runs just before the carry-over, once the new version is unpacked and sound: the place
    /// to write the player's settings of this run into the settings file.
    void setBeforeCarryOver(std::function<void()> f) { m_beforeCarryOver = std::move(f); }
    void setSwapHook(SwapStepHook hook) { m_swapHook = std::move(hook); }

    /// After finished(): what happened, in plain words, and the chosen options that are gone.
    const QString &message() const { return m_message; }
    const CarryOverResult &carried() const { return m_carried; }

Q_SIGNALS:
    void progress(qint64 received, qint64 total);
    /// What the update does now: "Downloading", "Verifying and unpacking", "Installing".
    void stage(const QString &text);
    void finished(bool ok);

private:
    void downloadArchive();
    static QString verify(const QString &path, const PackageInfo &info, const QString &signature,
                          const QString &publicKey, const std::atomic<bool> &cancel);
    void unpack();
    void install(const UnpackResult &unpacked);
    void fail(const QString &why);
    void cleanUp();

    platform::Downloader *m_download;
    platform::DownloadLimits m_archiveLimits;
    UnpackLimits m_unpackLimits;
    std::function<void()> m_beforeCarryOver;
    SwapStepHook m_swapHook;
    PackageInfo m_info;
    InstallTarget m_target;
    QString m_signature;
    bool m_running = false;
    // The unpack runs on a thread of its own, so that the window stays responsive; its
    // result is posted back with the generation it belongs to.
    std::thread m_unpackThread;
    std::atomic<bool> m_cancelUnpack{false};
    quint64 m_generation = 0;
    QString m_updateFolder; // the pack's update folder (in its state folder), ending in '/'
    bool m_madeUpdateFolder = false;
    enum class Step { Signature, Archive } m_step = Step::Archive;
    QString m_message;
    CarryOverResult m_carried;
};

} // namespace packupdate
