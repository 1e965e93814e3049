#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTemporaryFile;

namespace update {

/// Downloads one web address to a file, asynchronously, on the thread it lives on.
///
/// Only http and https addresses are fetched, and a redirect is followed only to another http
/// or https address (at most MaxRedirects). The body goes to a temporary file in the target's
/// folder, which is renamed to the target name only when the download completed, stayed within
/// its size cap and passed the optional check; on any failure no file of either name is left
/// by the download. A server that sends nothing for stallTimeout() milliseconds (no answer at
/// all, or a transfer that stops) ends the download as a failure.
///
/// @code
/// update::Downloader d(&manager);
/// connect(&d, &update::Downloader::finished, this, [&](bool ok) { ... });
/// d.start(QStringLiteral("https://example.org/v.ini"), dir + QStringLiteral("v.ini"), 65536);
/// @endcode
class Downloader final : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRedirects = 5;
    static constexpr int DefaultStallTimeout = 15000;

    /// Decides whether a complete download may take its name; gets the temporary file's path.
    using Acceptor = std::function<bool(const QString &path)>;

    explicit Downloader(QNetworkAccessManager *manager, QObject *parent = nullptr);
    ~Downloader() override;
    Q_DISABLE_COPY_MOVE(Downloader)

    void setStallTimeout(int milliseconds) { m_stallTimeout = milliseconds; }
    int stallTimeout() const { return m_stallTimeout; }

    /// Starts a download; one that is still running is abandoned first. finished() always
    /// follows later, never from inside this call.
    void start(const QString &address, const QString &targetPath, qint64 maxBytes,
               Acceptor accept = {});
    /// Abandons the running download without a finished() signal; its temporary file goes.
    void abort();
    bool isRunning() const { return m_running; }

    /// Why the last download failed (for diagnostics; the window shows its own text).
    QString errorString() const { return m_error; }
    /// The address the last download's body came from, after redirects.
    QUrl finalUrl() const { return m_finalUrl; }

Q_SIGNALS:
    void progress(qint64 received, qint64 total);
    void finished(bool ok);

private:
    void onMetaData();
    void onReadyRead();
    void onRedirected(const QUrl &url);
    void onFinished();
    void fail(const QString &why);
    void complete(bool ok);
    void dropReply();
    bool writeAvailable();

    QNetworkAccessManager *m_manager;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QTemporaryFile> m_temp;
    QTimer m_stall;
    QString m_target;
    qint64 m_maxBytes = 0;
    qint64 m_written = 0;
    int m_redirects = 0;
    Acceptor m_accept;
    int m_stallTimeout = DefaultStallTimeout;
    bool m_running = false;
    quint64 m_generation = 0;
    QString m_error;
    QUrl m_finalUrl;
};

} // namespace update
