#include "docs/LocalPages.h"

#include "docs/GuardedPage.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSet>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace localpages {

namespace {

const char Scheme[] = "varimond-page";

void registerScheme()
{
    GuardedPage::registerOpaqueScheme(Scheme);
}
// Schemes must be known before the browser engine starts, which the first window may do.
Q_CONSTRUCTOR_FUNCTION(registerScheme)

QSet<QString> &allowedFolders()
{
    static QSet<QString> folders;
    return folders;
}

bool isAllowed(const QString &realPath)
{
    for (const QString &folder : allowedFolders()) {
        if (realPath.startsWith(folder + QLatin1Char('/')) || folder == QLatin1String("/"))
            return true;
    }
    return false;
}

// The file's bytes, read without blocking: a regular file with one link, under the cap.
bool readPageFile(const QString &realPath, QByteArray &out)
{
    const int fd = ::open(QFile::encodeName(realPath).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
              st.st_size <= MaxPageFileBytes;
    if (ok) {
        out.resize(qsizetype(st.st_size));
        qsizetype got = 0;
        while (got < out.size()) {
            const ssize_t n = ::read(fd, out.data() + got, size_t(out.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        out.truncate(got);
    }
    ::close(fd);
    return ok;
}

class PageServer final : public QWebEngineUrlSchemeHandler
{
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;

    void requestStarted(QWebEngineUrlRequestJob *job) override
    {
        const QString real = QFileInfo(pagePath(job->requestUrl())).canonicalFilePath();
        QByteArray data;
        if (job->requestMethod() != "GET" || real.isEmpty() || !isAllowed(real) ||
            !readPageFile(real, data)) {
            job->fail(QWebEngineUrlRequestJob::UrlNotFound);
            return;
        }
        auto *buffer = new QBuffer(job);
        buffer->setData(data);
        buffer->open(QIODevice::ReadOnly);
        const QMimeType type =
            QMimeDatabase().mimeTypeForFileNameAndData(QFileInfo(real).fileName(), data);
        job->reply(type.name().toUtf8(), buffer);
    }
};

} // namespace

QUrl pageUrl(const QString &path)
{
    QUrl url;
    url.setScheme(QLatin1String(Scheme));
    url.setPath(path);
    return url;
}

QString pagePath(const QUrl &url)
{
    if (url.scheme() != QLatin1String(Scheme))
        return {};
    return url.path(QUrl::FullyDecoded);
}

QUrl asFileUrl(const QUrl &url)
{
    const QString path = pagePath(url);
    return path.isEmpty() ? url : QUrl::fromLocalFile(path);
}

void allowFolder(const QString &folder)
{
    const QString real = QFileInfo(folder).canonicalFilePath();
    if (!real.isEmpty())
        allowedFolders().insert(real);
}

void serveIn(QWebEngineProfile *profile)
{
    if (!profile->urlSchemeHandler(Scheme))
        profile->installUrlSchemeHandler(Scheme, new PageServer(profile));
}

} // namespace localpages
