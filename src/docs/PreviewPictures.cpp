#include "docs/PreviewPictures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMetaObject>
#include <QRegularExpression>

#include <algorithm>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace previews {

namespace {

/// The names of pictures a folder is searched for; entries beyond this are not looked at, so a
/// folder of a million files costs a bounded time.
constexpr int MaxEntriesLooked = 20000;
/// Thumbnails kept for the session, in kilobytes.
constexpr int CacheKilobytes = 64 * 1024;

/// Formats whose pictures are drawn from a description rather than decoded (SVG): their size
/// says nothing of the work, so they are not previews.
bool isVectorFormat(const QByteArray &format)
{
    return format.startsWith("svg");
}

bool readableFormat(const QString &suffix)
{
    static const QList<QByteArray> formats = [] {
        QList<QByteArray> list;
        for (const QByteArray &f : QImageReader::supportedImageFormats()) {
            if (!isVectorFormat(f.toLower()))
                list.append(f.toLower());
        }
        return list;
    }();
    return formats.contains(suffix.toLower().toLatin1());
}

/// Preview, Preview1..Preview9, then screenshots; -1 for other names.
int pictureRank(const QString &baseName)
{
    static const QRegularExpression preview(QStringLiteral("^preview([1-9]?)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = preview.match(baseName);
    if (m.hasMatch())
        return m.captured(1).isEmpty() ? 0 : m.captured(1).toInt();
    if (baseName.startsWith(QLatin1String("screenshot"), Qt::CaseInsensitive))
        return 10;
    return -1;
}

/// Orders names as people do: without regard to case, and numbers by their value
/// ("Screenshot2" before "Screenshot10").
bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            // Compare the digit runs by value: leading zeros aside, the longer is larger.
            QStringView da = QStringView(a).mid(i, ei - i), db = QStringView(b).mid(j, ej - j);
            while (da.size() > 1 && da.front() == QLatin1Char('0'))
                da = da.mid(1);
            while (db.size() > 1 && db.front() == QLatin1Char('0'))
                db = db.mid(1);
            if (da.size() != db.size())
                return da.size() < db.size();
            const int c = da.compare(db);
            if (c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        const QChar ca = a[i].toCaseFolded(), cb = b[j].toCaseFolded();
        if (ca != cb)
            return ca < cb;
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b;
}

} // namespace

bool openPicture(QFile &file, const QString &path, QString *error)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open the file");
        return false;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("not a picture file");
        return false;
    }
    if (st.st_size > MaxFileBytes) {
        ::close(fd);
        *error = QStringLiteral("the file is too large");
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = QStringLiteral("cannot open the file");
        return false;
    }
    return true;
}

QStringList pictureFiles(const QString &folder)
{
    struct Found
    {
        int rank;
        QString name;
    };
    std::vector<Found> found;
    QDirIterator it(folder, QDir::Files | QDir::NoSymLinks | QDir::Hidden);
    for (int looked = 0; it.hasNext() && looked < MaxEntriesLooked; ++looked) {
        it.next();
        const QString name = it.fileName();
        const int dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot <= 0)
            continue;
        const int rank = pictureRank(name.left(dot));
        if (rank < 0 || !readableFormat(name.mid(dot + 1)))
            continue;
        found.push_back({rank, name});
    }
    std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
        return a.rank != b.rank ? a.rank < b.rank : naturalLess(a.name, b.name);
    });
    QStringList paths;
    const QString dir = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    for (const Found &f : found) {
        if (paths.size() >= MaxPictures)
            break;
        paths.append(dir + f.name);
    }
    return paths;
}

bool isAnimated(const QString &path)
{
    QFile file;
    QString error;
    if (!openPicture(file, path, &error))
        return false;
    QImageReader reader(&file);
    return reader.supportsAnimation() && reader.imageCount() != 1;
}

Decoded decode(const QString &path, QSize box)
{
    Decoded result;
    try {
        QFile file;
        if (!openPicture(file, path, &result.error))
            return result;
        QImageReader reader(&file);
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (!size.isValid() || size.isEmpty()) {
            result.error = reader.errorString();
            if (result.error.isEmpty())
                result.error = QStringLiteral("not a picture Varimond can read");
            return result;
        }
        if (static_cast<qint64>(size.width()) * size.height() > MaxPixels) {
            result.error = QStringLiteral("the picture is too large (%1 × %2)")
                               .arg(size.width())
                               .arg(size.height());
            return result;
        }
        if (box.isValid() && (size.width() > box.width() || size.height() > box.height())) {
            // Handlers that can (JPEG) decode straight to the smaller size.
            reader.setScaledSize(size.scaled(box, Qt::KeepAspectRatio));
        }
        QImage image = reader.read();
        if (image.isNull()) {
            result.error = reader.errorString();
            return result;
        }
        if (box.isValid() && (image.width() > box.width() || image.height() > box.height()))
            image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        result.image = std::move(image);
        if (!box.isValid())
            result.animated = isAnimated(path);
    } catch (const std::bad_alloc &) {
        result.image = QImage();
        result.error = QStringLiteral("not enough memory");
    }
    return result;
}

PreviewLoader::PreviewLoader(QObject *parent) : QObject(parent), m_cache(CacheKilobytes)
{
    // One picture at a time: a picture may take up to the allocation limit while it decodes.
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("PreviewDecoder"));
    // Set once, by the first loader, before any decoder thread reads it.
    static const bool limited = [] {
        QImageReader::setAllocationLimit(AllocationLimitMegabytes);
        return true;
    }();
    Q_UNUSED(limited);
}

PreviewLoader::~PreviewLoader()
{
    m_pool.clear();
    m_pool.waitForDone();
}

void PreviewLoader::cancel()
{
    m_pool.clear();
    ++m_request;
}

quint64 PreviewLoader::requestThumbnails(const QStringList &paths)
{
    cancel();
    const quint64 request = m_request;
    const QSize box(ThumbnailWidth, ThumbnailHeight);
    for (int i = 0; i < paths.size(); ++i) {
        const QFileInfo info(paths[i]);
        const QString key = paths[i] + QLatin1Char('\n') + QString::number(info.size()) +
                            QLatin1Char('\n') +
                            QString::number(info.lastModified().toMSecsSinceEpoch());
        if (const QImage *cached = m_cache.object(key)) {
            Decoded d;
            d.image = *cached;
            QMetaObject::invokeMethod(
                this, [this, request, i, d] { finished(request, i, d, QString()); },
                Qt::QueuedConnection);
            continue;
        }
        start(request, i, paths[i], box, key);
    }
    return request;
}

quint64 PreviewLoader::requestPicture(const QString &path)
{
    cancel();
    start(m_request, -1, path, QSize(), QString());
    return m_request;
}

void PreviewLoader::start(quint64 request, int index, const QString &path, QSize box,
                          const QString &key)
{
    m_pool.start([this, request, index, path, box, key] {
        const Decoded d = decode(path, box);
        // Queued to this object: if it is gone by then, the call is dropped with it.
        QMetaObject::invokeMethod(
            this, [this, request, index, d, key] { finished(request, index, d, key); },
            Qt::QueuedConnection);
    });
}

void PreviewLoader::finished(quint64 request, int index, const Decoded &decoded, const QString &key)
{
    const QImage &image = decoded.image;
    if (!key.isEmpty() && !image.isNull())
        m_cache.insert(key, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes() / 1024));
    if (request != m_request)
        return;
    Q_EMIT pictureReady(request, index, image, decoded.error, decoded.animated);
}

} // namespace previews
