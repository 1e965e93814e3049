#include "update/Downloader.h"

#include "update/VersionInfo.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>

#include <cstdio>

namespace update {

Downloader::Downloader(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent), m_manager(manager)
{
    m_stall.setSingleShot(true);
    connect(&m_stall, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("No data received for %1 ms").arg(m_stallTimeout)); });
}

Downloader::~Downloader()
{
    abort();
}

void Downloader::start(const QString &address, const QString &targetPath, qint64 maxBytes,
                       Acceptor accept)
{
    abort();
    m_running = true;
    const quint64 generation = ++m_generation;
    m_target = targetPath;
    m_maxBytes = maxBytes;
    m_written = 0;
    m_redirects = 0;
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
        failLater(QStringLiteral("Not a web address: %1").arg(address));
        return;
    }
    const QFileInfo target(targetPath);
    m_temp = std::make_unique<QTemporaryFile>(target.absolutePath() + QStringLiteral("/.") +
                                              target.fileName() + QStringLiteral(".XXXXXX"));
    if (!m_temp->open()) {
        failLater(QStringLiteral("Cannot create a file beside %1").arg(targetPath));
        return;
    }

    QNetworkRequest request(m_finalUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    m_reply = m_manager->get(request);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &Downloader::onMetaData);
    connect(m_reply, &QNetworkReply::readyRead, this, &Downloader::onReadyRead);
    connect(m_reply, &QNetworkReply::redirected, this, &Downloader::onRedirected);
    connect(m_reply, &QNetworkReply::finished, this, &Downloader::onFinished);
    m_stall.start(m_stallTimeout);
}

void Downloader::abort()
{
    if (!m_running)
        return;
    m_running = false;
    ++m_generation;
    m_stall.stop();
    dropReply();
    m_temp.reset(); // removes the temporary file
}

void Downloader::dropReply()
{
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    // Disconnected first: abort() emits finished() at once.
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void Downloader::onMetaData()
{
    if (!m_running || !m_reply)
        return;
    m_stall.start(m_stallTimeout);
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > m_maxBytes)
        fail(QStringLiteral("The answer is larger than %1 bytes").arg(m_maxBytes));
}

bool Downloader::writeAvailable()
{
    const QByteArray chunk = m_reply->readAll();
    if (m_written + chunk.size() > m_maxBytes) {
        fail(QStringLiteral("The answer is larger than %1 bytes").arg(m_maxBytes));
        return false;
    }
    if (m_temp->write(chunk) != chunk.size()) {
        fail(QStringLiteral("Cannot write %1").arg(m_temp->fileName()));
        return false;
    }
    m_written += chunk.size();
    return true;
}

void Downloader::onReadyRead()
{
    if (!m_running || !m_reply)
        return;
    m_stall.start(m_stallTimeout);
    // Reported for every piece that arrives: the network layer's own progress signal skips
    // pieces that follow each other closely, and would leave a slow transfer's bar standing.
    if (writeAvailable()) {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        emit progress(m_written, length.isValid() ? length.toLongLong() : -1);
    }
}

void Downloader::onRedirected(const QUrl &url)
{
    if (!m_running || !m_reply)
        return;
    // Relative redirect targets arrive resolved; anything but a web address stops here, so a
    // server cannot make the program copy a local file or another scheme's resource.
    if (!IsWebAddress(url)) {
        fail(QStringLiteral("Redirected to a non-web address: %1").arg(url.toString()));
        return;
    }
    // Counted here as well: the network layer's own limit does not hold for redirects that
    // are confirmed one by one.
    if (++m_redirects > MaxRedirects) {
        fail(QStringLiteral("More than %1 redirects").arg(MaxRedirects));
        return;
    }
    m_stall.start(m_stallTimeout);
    m_finalUrl = url;
    emit m_reply->redirectAllowed();
}

void Downloader::onFinished()
{
    if (!m_running || !m_reply)
        return;
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(m_reply->errorString());
        return;
    }
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299) {
        fail(QStringLiteral("HTTP status %1").arg(status));
        return;
    }
    if (!writeAvailable())
        return;
    m_finalUrl = m_reply->url();
    dropReply();
    m_stall.stop();
    if (!m_temp->flush()) {
        fail(QStringLiteral("Cannot write %1").arg(m_temp->fileName()));
        return;
    }
    m_temp->close();
    if (m_accept && !m_accept(m_temp->fileName())) {
        fail(QStringLiteral("The downloaded file was refused"));
        return;
    }
    m_temp->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                           QFile::ReadOther);
    // rename(2) replaces whatever took the name meanwhile in one step; the temporary name is
    // then gone, so the file object must not remove it.
    if (std::rename(QFile::encodeName(m_temp->fileName()).constData(),
                    QFile::encodeName(m_target).constData()) != 0) {
        fail(QStringLiteral("Cannot rename the download to %1").arg(m_target));
        return;
    }
    m_temp->setAutoRemove(false);
    m_temp.reset();
    complete(true);
}

void Downloader::fail(const QString &why)
{
    if (!m_running)
        return;
    m_error = why;
    m_stall.stop();
    dropReply();
    m_temp.reset();
    complete(false);
}

void Downloader::complete(bool ok)
{
    m_running = false;
    ++m_generation;
    emit finished(ok);
}

} // namespace update
