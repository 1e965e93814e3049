#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <thread>

class QTemporaryFile;

namespace platform {

/// What a download may take: every limit that ends a download early, so that no server can
/// hold it open, fill the memory or the disk.
struct DownloadLimits
{
    /// Largest body accepted, in bytes.
    qint64 maxBytes = 64 * 1024;
    /// Nothing received for this long (no answer at all, or a transfer that stops) ends it.
    int stallMs = 15000;
    /// The whole download, redirects included, must end within this; 0 for no limit.
    int totalMs = 0;
    /// After rateGraceMs, the average since the start must reach this many bytes a second;
    /// 0 for no minimum.
    qint64 minAverageRate = 1024;
    int rateGraceMs = 15000;
    /// All response headers of the download together, redirects included.
    qint64 maxHeaderBytes = 64 * 1024;
    int maxRedirects = 5;
};

/// Downloads one http or https address to a file, on a thread of its own, and reports on the
/// thread it lives on.
///
/// Redirects are followed only to other http or https addresses, at most
/// DownloadLimits::maxRedirects, each address requested once. The body goes to a temporary
/// file beside the target, which takes the target's name only when the download completed
/// within its limits and passed the optional check; on any failure or cancel no file of either
/// name is left. errorString() then says why in plain words ("HTTP 404 Not Found", "no answer
/// for 15 s", "larger than 64 KiB"). abort() closes the connection at once: no thread goes on
/// reading after it returns, nor after finished().
///
/// @code
/// platform::Downloader d;
/// connect(&d, &platform::Downloader::finished, this, [&](bool ok) { ... d.errorString(); });
/// d.start(QStringLiteral("https://example.org/v.ini"), dir + QStringLiteral("v.ini"), limits);
/// @endcode
class Downloader final : public QObject
{
    Q_OBJECT

public:
    /// Decides whether a complete download may take its name; gets the temporary file's path
    /// and returns an empty text to accept it, or the reason it is refused.
    using Acceptor = std::function<QString(const QString &path)>;

    explicit Downloader(QObject *parent = nullptr);
    ~Downloader() override;
    Q_DISABLE_COPY_MOVE(Downloader)

    /// Starts a download; one that is still running is abandoned first. finished() always
    /// follows later, never from inside this call.
    void start(const QString &address, const QString &targetPath, const DownloadLimits &limits,
               Acceptor accept = {});
    /// Cancels the running download without a finished() signal: its connection is closed and
    /// its temporary file removed before this returns.
    void abort();
    bool isRunning() const { return m_running; }

    /// Why the last download failed, in plain words; empty after a success.
    QString errorString() const { return m_error; }
    /// The address the last download's body came from, after redirects.
    QUrl finalUrl() const { return m_finalUrl; }

    /// "64 KiB", "4 MiB", "1.5 s": sizes and times as the reasons word them.
    static QString sizeText(qint64 bytes);
    static QString secondsText(int milliseconds);

Q_SIGNALS:
    /// Bytes of the body so far, and its announced size or -1.
    void progress(qint64 received, qint64 total);
    void finished(bool ok);

private:
    struct Job;
    void onProgress(quint64 generation);
    void onDone(quint64 generation);
    void fail(const QString &why);
    void stopJob();

    std::shared_ptr<Job> m_job;
    std::thread m_thread;
    std::unique_ptr<QTemporaryFile> m_temp;
    QString m_target;
    Acceptor m_accept;
    bool m_running = false;
    quint64 m_generation = 0;
    QString m_error;
    QUrl m_finalUrl;
};

/// True for an absolute http or https address with a host: the only addresses downloaded
/// from, followed by a redirect, or opened in the web browser.
bool IsWebAddress(const QUrl &url);
bool IsWebAddress(const QString &address);

} // namespace platform
