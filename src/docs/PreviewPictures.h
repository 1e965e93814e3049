#pragma once

#include <QCache>
#include <QFile>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <memory>

/// The preview pictures of an option folder and their decoding.
namespace previews {

/// At most this many pictures of a folder are shown.
constexpr int MaxPictures = 32;
/// Pictures larger than this many pixels are refused from their header, without decoding.
constexpr qint64 MaxPixels = 100LL * 1000 * 1000;
/// Files larger than this are refused without reading.
constexpr qint64 MaxFileBytes = 256LL * 1024 * 1024;
/// The most memory one decoded picture may take (QImageReader::setAllocationLimit).
constexpr int AllocationLimitMegabytes = 400;
/// The box a thumbnail fits into.
constexpr int ThumbnailHeight = 96;
constexpr int ThumbnailWidth = 160;

/// The preview pictures in @p folder (a local path): the regular files named "Preview.*",
/// "Preview1.*" to "Preview9.*" and "Screenshot*.*", any case, whose extension is an image
/// format Qt reads. Links and special files are left out, so nothing outside the folder is
/// read. Preview first, then Preview1 to Preview9, then the screenshots by name (numbers by
/// value); at most MaxPictures.
QStringList pictureFiles(const QString &folder);

/// Opens @p file on @p path for reading when it is a regular file of at most MaxFileBytes,
/// reached without a link at its end: a named pipe would block the reader, and a link could
/// lead out of the pack. False, with the reason in @p error, otherwise.
bool openPicture(QFile &file, const QString &path, QString *error);

/// Whether @p path is a picture that plays (an animated GIF or the like). Reads the whole file
/// for some formats: call it off the GUI thread.
bool isAnimated(const QString &path);

/// A decoded picture, or the reason it cannot be shown.
struct Decoded
{
    QImage image; // null when the picture cannot be shown
    QString error;
    bool animated = false; // found out for full-size decodes only
};

/// Decodes the picture at @p path (a local path), scaled to fit @p box when @p box is valid,
/// else at full size. Refuses links, special files, files over MaxFileBytes and pictures over
/// MaxPixels; a damaged or truncated file gives an error. Never throws; safe on any thread.
Decoded decode(const QString &path, QSize box);

/// Decodes pictures on a thread of its own, one at a time, and reports them on the thread it
/// lives on. Thumbnails are kept in memory for the loader's life (by path, size and time of
/// change), so showing an option again costs nothing.
class PreviewLoader final : public QObject
{
    Q_OBJECT

public:
    explicit PreviewLoader(QObject *parent = nullptr);
    /// Waits for the picture being decoded, if any; the others are dropped.
    ~PreviewLoader() override;

    /// Starts thumbnails of @p paths; returns the request's number. Pictures requested before
    /// and not yet started are dropped, and results of earlier requests are no longer reported.
    /// Cached thumbnails are reported too, from the event loop, never during this call.
    quint64 requestThumbnails(const QStringList &paths);
    /// Starts a full-size decode of @p path; reported by pictureReady with index -1.
    quint64 requestPicture(const QString &path);
    /// Drops what is waiting: nothing requested so far is reported any more.
    void cancel();

    /// Returns when no picture is being decoded; what the decodes found is then queued to the
    /// event loop.
    void waitForIdle() { m_pool.waitForDone(); }
    /// The number of the latest request.
    quint64 currentRequest() const { return m_request; }
    /// Empties the thumbnail cache.
    void clearCache() { m_cache.clear(); }

Q_SIGNALS:
    /// Picture @p index of request @p request is ready; a null image cannot be shown.
    /// @p animated is only ever set for full-size pictures.
    void pictureReady(quint64 request, int index, const QImage &image, const QString &error,
                      bool animated);

private:
    void start(quint64 request, int index, const QString &path, QSize box, const QString &key);
    void finished(quint64 request, int index, const Decoded &decoded, const QString &key);

    QThreadPool m_pool;
    QCache<QString, QImage> m_cache;
    quint64 m_request = 0;
};

} // namespace previews
