// Time from showing an option with 9 large JPEG previews (4000 × 3000) to all their thumbnails
// in the strip, beside decoding the same files to the same size with QImageReader alone, one
// after another on this thread, in the same run. The thumbnail cache is emptied before each
// run, so every run decodes. Prints min and median of 5 runs, and the ratio of the medians.
#include "docs/PreviewPictures.h"
#include "docs/PreviewStrip.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Pictures = 9;
constexpr int Runs = 5;

struct Figures
{
    double min, median;
};

Figures measure(const std::function<void()> &body)
{
    std::vector<double> ms;
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        body();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}

/// A photograph-like picture: gradients and shapes, so the JPEG is of a usual size.
QImage picture(int seed)
{
    QImage image(4000, 3000, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, 3000);
    sky.setColorAt(0, QColor::fromHsv((seed * 40) % 360, 120, 230));
    sky.setColorAt(1, QColor::fromHsv((seed * 40 + 120) % 360, 200, 90));
    p.fillRect(image.rect(), sky);
    for (int i = 0; i < 400; ++i) {
        p.setBrush(QColor::fromHsv((i * 37 + seed) % 360, 180, 200, 160));
        p.drawEllipse((i * 7919 + seed * 31) % 4000, (i * 104729) % 3000, 40 + i % 300,
                      30 + i % 200);
    }
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    qint64 bytes = 0;
    for (int i = 0; i < Pictures; ++i) {
        const QString path = dir.path() + (i == 0 ? QStringLiteral("/Preview.jpg")
                                                  : QStringLiteral("/Preview%1.jpg").arg(i));
        if (!picture(i).save(path, "JPEG", 90)) {
            std::fprintf(stderr, "cannot write the samples\n");
            return 1;
        }
        bytes += QFileInfo(path).size();
    }

    PreviewStrip strip;
    strip.resize(800, 140);
    strip.show();
    const Figures shown = measure([&] {
        strip.loader().clearCache();
        QEventLoop loop;
        QObject::connect(&strip, &PreviewStrip::allShown, &loop, &QEventLoop::quit);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        strip.showFolder(dir.path());
        loop.exec();
        if (strip.finishedCount() != Pictures || strip.failedCount() != 0)
            std::fprintf(stderr, "not every thumbnail was shown\n");
    });
    const QStringList files = previews::pictureFiles(dir.path());
    const QSize box(previews::ThumbnailWidth, previews::ThumbnailHeight);
    const Figures reader = measure([&] {
        for (const QString &path : files) {
            QImageReader r(path);
            r.setScaledSize(r.size().scaled(box, Qt::KeepAspectRatio));
            if (r.read().isNull())
                std::fprintf(stderr, "cannot decode %s\n", qPrintable(path));
        }
    });
    const Figures full = measure([&] {
        for (const QString &path : files) {
            QImageReader r(path);
            if (r.read().isNull())
                std::fprintf(stderr, "cannot decode %s\n", qPrintable(path));
        }
    });
    std::printf("%d JPEG previews of 4000 x 3000 (%lld KB in all), min / median of %d runs\n",
                Pictures, static_cast<long long>(bytes / 1024), Runs);
    std::printf("selected to thumbnails shown          %8.1f / %8.1f ms\n", shown.min,
                shown.median);
    std::printf("QImageReader alone, same size (base) %8.1f / %8.1f ms   ratio %.2f\n", reader.min,
                reader.median, shown.median / reader.median);
    std::printf("QImageReader alone, full size        %8.1f / %8.1f ms\n", full.min, full.median);
    return 0;
}
