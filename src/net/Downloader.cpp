#include "net/Downloader.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

qint64 msSince(Clock::time_point from, Clock::time_point now)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - from).count();
}

QString httpStatusText(long status)
{
    static const std::pair<long, const char *> names[] = {
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Timeout"},
        {410, "Gone"},
        {429, "Too Many Requests"},
        {451, "Unavailable For Legal Reasons"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    // The server's own reason phrase is not shown: it is untrusted text of any length.
    for (const auto &[code, name] : names) {
        if (code == status)
            return QStringLiteral("HTTP %1 %2").arg(status).arg(QLatin1String(name));
    }
    return QStringLiteral("HTTP %1").arg(status);
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

/// One download's state, shared by the Downloader's thread and the download's own thread. The
/// Downloader sets it up and reads it only after the download's thread has ended (or through
/// the atomics); the download's thread owns everything else while it runs.
struct Downloader::Job
{
    CURLM *multi = nullptr;
    QByteArray url;
    DownloadLimits limits;
    int fd = -1;
    std::atomic<bool> cancel{false};
    std::atomic<qint64> received{0};
    std::atomic<qint64> total{-1};
    std::atomic<bool> progressPosted{false};
    std::function<void()> postProgress, postDone;

    // Owned by the download's thread until postDone.
    CURL *easy = nullptr;
    qint64 headerBytes = 0;
    qint64 bodyBytes = 0;
    Clock::time_point started, lastData;
    char curlError[CURL_ERROR_SIZE] = {};
    bool ok = false;
    QString reason;
    QByteArray effectiveUrl;

    void run();
    QString reasonFor(CURLcode code) const;
    QString checkTime(Clock::time_point now) const;
    int waitMs(Clock::time_point now) const;

    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
};

size_t Downloader::Job::onHeader(char *, size_t size, size_t count, void *self)
{
    Job &job = *static_cast<Job *>(self);
    const size_t length = size * count;
    job.lastData = Clock::now();
    job.headerBytes += qint64(length);
    if (job.headerBytes > job.limits.maxHeaderBytes) {
        job.reason = QStringLiteral("response header larger than %1")
                         .arg(sizeText(job.limits.maxHeaderBytes));
        return 0; // a short count ends the transfer
    }
    return length;
}

size_t Downloader::Job::onBody(char *data, size_t size, size_t count, void *self)
{
    Job &job = *static_cast<Job *>(self);
    const size_t length = size * count;
    job.lastData = Clock::now();
    if (job.bodyBytes + qint64(length) > job.limits.maxBytes) {
        job.reason = QStringLiteral("larger than %1").arg(sizeText(job.limits.maxBytes));
        return 0;
    }
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::write(job.fd, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            job.reason = QStringLiteral("cannot write the file");
            return 0;
        }
        done += size_t(n);
    }
    job.bodyBytes += qint64(length);
    curl_off_t announced = -1;
    curl_easy_getinfo(job.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    job.total = announced;
    job.received = job.bodyBytes;
    // One report on its way at a time; it carries the latest figures when it arrives.
    if (!job.progressPosted.exchange(true))
        job.postProgress();
    return length;
}

QString Downloader::Job::checkTime(Clock::time_point now) const
{
    const qint64 elapsed = msSince(started, now);
    if (msSince(lastData, now) >= limits.stallMs)
        return QStringLiteral("no answer for %1").arg(secondsText(limits.stallMs));
    if (limits.totalMs > 0 && elapsed >= limits.totalMs)
        return QStringLiteral("too slow: %1 limit").arg(secondsText(limits.totalMs));
    if (limits.minAverageRate > 0 && elapsed >= limits.rateGraceMs &&
        (headerBytes + bodyBytes) * 1000 < limits.minAverageRate * elapsed)
        return QStringLiteral("too slow: under %1/s").arg(sizeText(limits.minAverageRate));
    return {};
}

int Downloader::Job::waitMs(Clock::time_point now) const
{
    // Wakes for the next limit that can be reached; data and cancel wake it earlier.
    qint64 wait = qint64(limits.stallMs) - msSince(lastData, now);
    const qint64 elapsed = msSince(started, now);
    if (limits.totalMs > 0)
        wait = std::min<qint64>(wait, limits.totalMs - elapsed);
    if (limits.minAverageRate > 0)
        wait = std::min<qint64>(wait,
                                elapsed < limits.rateGraceMs ? limits.rateGraceMs - elapsed : 1000);
    return int(std::clamp<qint64>(wait, 1, 1000));
}

QString Downloader::Job::reasonFor(CURLcode code) const
{
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    switch (code) {
    case CURLE_OK:
        return status >= 200 && status <= 299 ? QString() : httpStatusText(status);
    case CURLE_HTTP_RETURNED_ERROR:
        return httpStatusText(status);
    case CURLE_TOO_MANY_REDIRECTS:
        return QStringLiteral("more than %1 redirects").arg(limits.maxRedirects);
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        // The first address was checked before the start: this is where a redirect led.
        return QStringLiteral("redirected to an address that is not http or https");
    case CURLE_FILESIZE_EXCEEDED:
        return QStringLiteral("larger than %1").arg(sizeText(limits.maxBytes));
    case CURLE_OUT_OF_MEMORY:
        // The network layer refuses a single header line over its own limit this way.
        if (bodyBytes == 0)
            return QStringLiteral("response header larger than %1")
                .arg(sizeText(limits.maxHeaderBytes));
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("server not found");
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("could not connect to the server");
    case CURLE_GOT_NOTHING:
        return QStringLiteral("the server closed the connection without an answer");
    case CURLE_PARTIAL_FILE:
        return QStringLiteral("the server closed the connection before the end");
    case CURLE_OPERATION_TIMEDOUT:
        return QStringLiteral("too slow: %1 limit").arg(secondsText(limits.totalMs));
    case CURLE_PEER_FAILED_VERIFICATION:
        return QStringLiteral("the server's certificate is not trusted");
    case CURLE_SSL_CONNECT_ERROR:
        return QStringLiteral("secure connection failed");
    default:
        break;
    }
    const QString detail = QString::fromUtf8(curlError[0] ? curlError : curl_easy_strerror(code));
    return QStringLiteral("network error: %1").arg(detail.left(200));
}

void Downloader::Job::run()
{
    started = lastData = Clock::now();
    easy = curl_easy_init();
    if (!easy) {
        reason = QStringLiteral("network error: cannot start a download");
        postDone();
        return;
    }
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(limits.maxRedirects));
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limits.maxBytes));
    // A connection serves one download and is closed with it: nothing stays open and read
    // once the download has ended.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A cancel during a name look-up does not wait for the look-up to end.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Varimond");
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curlError);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Job::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Job::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_multi_add_handle(multi, easy);

    CURLcode result = CURLE_OK;
    bool ended = false;
    while (!ended && !cancel) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            reason = QStringLiteral("network error: the transfer failed");
            break;
        }
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                result = message->data.result;
                ended = true;
            }
        }
        if (ended || !reason.isEmpty())
            break;
        const Clock::time_point now = Clock::now();
        reason = checkTime(now);
        if (!reason.isEmpty())
            break;
        curl_multi_poll(multi, nullptr, 0, waitMs(now), nullptr);
    }
    if (ended && reason.isEmpty())
        reason = reasonFor(result);
    else if (!ended && reason.isEmpty())
        reason = QStringLiteral("cancelled");
    ok = ended && reason.isEmpty();
    if (ok) {
        char *effective = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            effectiveUrl = QByteArray(effective);
    }
    // Removing the handle closes its connection, finished or not.
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    easy = nullptr;
    if (!cancel)
        postDone();
}

Downloader::Downloader(QObject *parent) : QObject(parent)
{
    initCurlOnce();
}

Downloader::~Downloader()
{
    abort();
}

QString Downloader::sizeText(qint64 bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString Downloader::secondsText(int milliseconds)
{
    if (milliseconds % 1000 == 0)
        return QStringLiteral("%1 s").arg(milliseconds / 1000);
    return QStringLiteral("%1 s").arg(QString::number(milliseconds / 1000.0, 'g', 4));
}

void Downloader::start(const QString &address, const QString &targetPath,
                       const DownloadLimits &limits, Acceptor accept)
{
    abort();
    m_running = true;
    const quint64 generation = ++m_generation;
    m_target = targetPath;
    m_accept = std::move(accept);
    m_error.clear();
    m_finalUrl = QUrl(address.trimmed(), QUrl::StrictMode);

    // A failure found before any request is reported on the next turn of the event loop, as
    // any other result is, so callers never see finished() from inside start().
    auto failLater = [this, generation](const QString &why) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, why] {
                if (m_running && m_generation == generation)
                    fail(why);
            },
            Qt::QueuedConnection);
    };
    if (!IsWebAddress(m_finalUrl)) {
        failLater(QStringLiteral("not an http or https address"));
        return;
    }
    const QFileInfo target(targetPath);
    m_temp = std::make_unique<QTemporaryFile>(target.absolutePath() + QStringLiteral("/.") +
                                              target.fileName() + QStringLiteral(".XXXXXX"));
    if (!m_temp->open()) {
        failLater(QStringLiteral("cannot create a file beside %1").arg(targetPath));
        return;
    }

    m_job = std::make_shared<Job>();
    Job &job = *m_job;
    job.multi = curl_multi_init();
    job.url = m_finalUrl.toEncoded();
    job.limits = limits;
    job.fd = m_temp->handle();
    // Posted to this object: a report that arrives after it is gone is dropped with it.
    job.postProgress = [this, generation] {
        QMetaObject::invokeMethod(
            this, [this, generation] { onProgress(generation); }, Qt::QueuedConnection);
    };
    job.postDone = [this, generation] {
        QMetaObject::invokeMethod(
            this, [this, generation] { onDone(generation); }, Qt::QueuedConnection);
    };
    if (!job.multi) {
        m_job.reset();
        failLater(QStringLiteral("network error: cannot start a download"));
        return;
    }
    m_thread = std::thread([shared = m_job] { shared->run(); });
}

void Downloader::stopJob()
{
    if (!m_job)
        return;
    m_job->cancel = true;
    curl_multi_wakeup(m_job->multi);
    if (m_thread.joinable())
        m_thread.join();
    curl_multi_cleanup(m_job->multi);
    m_job.reset();
}

void Downloader::abort()
{
    if (!m_running)
        return;
    m_running = false;
    ++m_generation;
    stopJob();
    m_temp.reset(); // removes the temporary file
}

void Downloader::onProgress(quint64 generation)
{
    if (!m_running || generation != m_generation || !m_job)
        return;
    m_job->progressPosted = false;
    emit progress(m_job->received, m_job->total);
}

void Downloader::onDone(quint64 generation)
{
    if (!m_running || generation != m_generation || !m_job)
        return;
    // The download's thread has posted this as its last act; joining it takes no time.
    if (m_thread.joinable())
        m_thread.join();
    const bool ok = m_job->ok;
    const QString reason = m_job->reason;
    const QByteArray effective = m_job->effectiveUrl;
    const qint64 received = m_job->bodyBytes;
    const qint64 total = m_job->total;
    stopJob();
    if (!ok) {
        fail(reason);
        return;
    }
    emit progress(received, total);
    m_finalUrl = QUrl::fromEncoded(effective);
    m_temp->close();
    if (m_accept) {
        const QString refused = m_accept(m_temp->fileName());
        if (!refused.isEmpty()) {
            fail(refused);
            return;
        }
    }
    m_temp->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                           QFile::ReadOther);
    // rename(2) replaces whatever took the name meanwhile in one step; the temporary name is
    // then gone, so the file object must not remove it.
    if (std::rename(QFile::encodeName(m_temp->fileName()).constData(),
                    QFile::encodeName(m_target).constData()) != 0) {
        fail(QStringLiteral("cannot write %1").arg(m_target));
        return;
    }
    m_temp->setAutoRemove(false);
    m_temp.reset();
    m_running = false;
    ++m_generation;
    emit finished(true);
}

void Downloader::fail(const QString &why)
{
    if (!m_running)
        return;
    m_error = why;
    stopJob();
    m_temp.reset();
    m_running = false;
    ++m_generation;
    emit finished(false);
}

bool IsWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool IsWebAddress(const QString &address)
{
    return IsWebAddress(QUrl(address.trimmed(), QUrl::StrictMode));
}

} // namespace platform
