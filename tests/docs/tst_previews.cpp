// Preview pictures of an option folder: which files count, their decoding off the GUI thread,
// the strip above the ReadMe, the viewer, and the setting that turns them off.
#include "common/TestFiles.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "docs/DocumentPane.h"
#include "docs/PreviewPictures.h"
#include "docs/PreviewStrip.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QtEndian>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using testfiles::writeAll;

namespace {

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage filled(int w, int h, QColor color)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

/// A picture that takes a while to decode: noise compresses badly.
QImage noise(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    quint32 x = 12345;
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int i = 0; i < w; ++i) {
            x = x * 1664525u + 1013904223u;
            line[i] = 0xFF000000u | (x >> 8);
        }
    }
    return image;
}

quint32 crc32Of(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray pngChunk(const char *type, const QByteArray &data)
{
    QByteArray chunk;
    quint32 length = qToBigEndian<quint32>(static_cast<quint32>(data.size()));
    chunk.append(reinterpret_cast<const char *>(&length), 4);
    const QByteArray body = QByteArray(type, 4) + data;
    chunk.append(body);
    quint32 crc = qToBigEndian<quint32>(crc32Of(body));
    chunk.append(reinterpret_cast<const char *>(&crc), 4);
    return chunk;
}

/// A PNG whose header says 30,000 × 30,000 pixels, with a few bytes of data after it.
QByteArray hugePngHeader()
{
    QByteArray ihdr;
    const quint32 side = qToBigEndian<quint32>(30000);
    ihdr.append(reinterpret_cast<const char *>(&side), 4);
    ihdr.append(reinterpret_cast<const char *>(&side), 4);
    ihdr.append("\x08\x02\x00\x00\x00", 5); // 8-bit RGB
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) +
           pngChunk("IDAT", QByteArray(64, '\0'));
}

/// A two-frame animated GIF of 1 × 1 pixel.
QByteArray animatedGif()
{
    QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00\xff", 19);
    gif.append("\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    for (int frame = 0; frame < 2; ++frame) {
        gif.append("\x21\xf9\x04\x00\x0a\x00\x00\x00", 8);
        gif.append(
            frame == 0
                ? QByteArray("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00", 15)
                : QByteArray("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x4c\x01\x00", 15));
    }
    gif.append(";");
    return gif;
}

bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(time, QFileDevice::FileModificationTime);
}

QStringList names(const QStringList &paths)
{
    QStringList n;
    for (const QString &p : paths)
        n.append(p.section(QLatin1Char('/'), -1));
    return n;
}

/// The colour in the middle of a tile's thumbnail.
QColor tileColor(QToolButton *tile)
{
    const QImage image = tile->icon().pixmap(tile->iconSize()).toImage();
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

} // namespace

class TestPreviews final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void pictureFiles_data();
    void pictureFiles();
    void decodeRefuses_data();
    void decodeRefuses();
    void stripShowsThumbnailsAndErrorTilesWithoutBlocking();
    void viewerStepsThroughPictures();
    void animatedGifPlays();
    void showPreviewsSetting_data();
    void showPreviewsSetting();
    void quickSwitchNeverShowsOtherPictures();
    void thumbnailsComeFromTheCache();
    void samplePackOptionsHavePreviews();

private:
    QString folder(const QString &name) const { return m_dir->path() + QLatin1Char('/') + name; }
    void write(const QString &path, const QByteArray &bytes)
    {
        QVERIFY(QDir().mkpath(path.section(QLatin1Char('/'), 0, -2)));
        QVERIFY2(writeAll(path, bytes), qPrintable(path));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPreviews::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    ProgramSettings = TProgramSettings();
    ProgramSettings.ProgramDir = m_dir->path() + QLatin1Char('/');
    // Whether the player hid the strip is read from here, not from the machine's user.
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->path() + "/state"));
}

void TestPreviews::cleanup()
{
    m_dir.reset();
}

void TestPreviews::pictureFiles_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expected");
    const QStringList none;
    QTest::newRow("order and case")
        << QStringList{"Screenshot10.png", "screenshot2.JPG", "Preview3.jpeg",
                       "PREVIEW.png",      "Preview1.bmp",    "ReadMe.txt"}
        << QStringList{"PREVIEW.png", "Preview1.bmp", "Preview3.jpeg", "screenshot2.JPG",
                       "Screenshot10.png"};
    QTest::newRow("other names are not previews")
        << QStringList{"Preview10.png", "PreviewX.png", "MyPreview.png", "Preview",
                       "Preview.txt",   "Preview.svg",  "logo.png"}
        << none;
    QTest::newRow("every format Qt reads") << QStringList{"Preview.gif", "Preview1.webp"}
                                           << QStringList{"Preview.gif", "Preview1.webp"};
}

void TestPreviews::pictureFiles()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, expected);
    const QString dir = folder(QStringLiteral("Opt"));
    for (const QString &f : files)
        write(dir + QLatin1Char('/') + f, "x");
    // Never a link (it may lead out of the pack), a folder or a pipe.
    write(folder(QStringLiteral("outside/secret.png")), "x");
    QVERIFY(QFile::link(folder(QStringLiteral("outside/secret.png")), dir + "/Preview2.png"));
    QVERIFY(QDir().mkpath(dir + "/Preview4.png"));
    QCOMPARE(::mkfifo(QFile::encodeName(dir + "/Preview5.png").constData(), 0600), 0);
    QCOMPARE(names(previews::pictureFiles(dir)), expected);
}

void TestPreviews::decodeRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("shown");
    const QByteArray png = encoded(filled(300, 200, Qt::green), "PNG");
    QTest::newRow("good PNG") << png << true;
    QTest::newRow("good JPEG") << encoded(filled(300, 200, Qt::green), "JPEG") << true;
    QTest::newRow("truncated PNG") << png.left(png.size() / 2) << false;
    QTest::newRow("not a picture") << QByteArray("hello, not a picture") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("30000 x 30000 header") << hugePngHeader() << false;
}

void TestPreviews::decodeRefuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, shown);
    const QString path = folder(QStringLiteral("Preview.png"));
    write(path, bytes);
    const previews::Decoded d = previews::decode(path, QSize(160, 96));
    QCOMPARE(!d.image.isNull(), shown);
    QCOMPARE(d.error.isEmpty(), shown);
    if (shown)
        QVERIFY(d.image.width() <= 160 && d.image.height() <= 96);
}

void TestPreviews::stripShowsThumbnailsAndErrorTilesWithoutBlocking()
{
    const QString dir = folder(QStringLiteral("Opt"));
    // A large picture that takes a while, a small one, a damaged one and an oversized one.
    write(dir + "/Preview.png", encoded(noise(3000, 3000), "PNG"));
    write(dir + "/Preview1.jpg", encoded(filled(640, 480, Qt::blue), "JPEG"));
    const QByteArray damaged = encoded(filled(640, 480, Qt::red), "PNG");
    write(dir + "/Preview2.png", damaged.left(damaged.size() - 40));
    write(dir + "/Screenshot.png", hugePngHeader());

    DocumentPane pane;
    pane.resize(800, 600);
    pane.show();
    PreviewStrip *strip = pane.Previews();
    QVERIFY(strip);
    QCOMPARE(strip->objectName(), QStringLiteral("PreviewStrip"));
    QSignalSpy done(strip, &PreviewStrip::allShown);

    // The event loop keeps turning while the pictures decode: count the ticks of a timer and
    // the longest pause between two.
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    int ticks = 0;
    QTimer timer;
    timer.setInterval(2);
    connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
        ++ticks;
    });
    clock.start();
    timer.start();
    pane.ShowPreviews(dir + "/");
    // Nothing was decoded on this thread during the call.
    QCOMPARE(strip->finishedCount(), 0);
    QVERIFY(strip->isVisible());
    QVERIFY(done.wait(HangMs));
    timer.stop();
    qInfo("decoding took %lld ms; %d timer ticks, longest pause of the event loop %lld ms",
          static_cast<long long>(clock.elapsed()), ticks, static_cast<long long>(longest));
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));

    QCOMPARE(strip->pictures().size(), 4);
    QCOMPARE(strip->finishedCount(), 4);
    QCOMPARE(strip->failedCount(), 2);
    int thumbnails = 0;
    for (int i = 1; i <= 4; ++i) {
        auto *tile = strip->findChild<QToolButton *>(QStringLiteral("Preview%1").arg(i));
        QVERIFY(tile);
        if (tile->property("failed").toBool()) {
            QCOMPARE(tile->text(), QStringLiteral("cannot show this picture"));
        } else {
            ++thumbnails;
            QVERIFY(!tile->icon().isNull());
        }
    }
    QCOMPARE(thumbnails, 2);
    QVERIFY(tileColor(strip->findChild<QToolButton *>(QStringLiteral("Preview2"))).blue() > 200);
    // The document shown below is untouched.
    QVERIFY(pane.RichEdit()->isVisible());
}

void TestPreviews::viewerStepsThroughPictures()
{
    const QString dir = folder(QStringLiteral("Opt"));
    write(dir + "/Preview.png", encoded(filled(1200, 900, Qt::red), "PNG"));
    write(dir + "/Preview1.png", "damaged");
    write(dir + "/Screenshot1.jpg", encoded(filled(400, 300, Qt::blue), "JPEG"));
    DocumentPane pane;
    pane.resize(800, 600);
    pane.show();
    pane.ShowPreviews(dir);
    PreviewStrip *strip = pane.Previews();
    QSignalSpy done(strip, &PreviewStrip::allShown);
    QVERIFY(done.wait(HangMs));

    QTest::mouseClick(strip->findChild<QToolButton *>(QStringLiteral("Preview1")), Qt::LeftButton);
    PreviewViewer *viewer = strip->viewer();
    QVERIFY(viewer);
    QCOMPARE(viewer->objectName(), QStringLiteral("PreviewViewer"));
    QVERIFY(viewer->isVisible());
    QCOMPARE(viewer->currentIndex(), 0);
    QSignalSpy shown(viewer, &PreviewViewer::pictureShown);
    QTRY_VERIFY_WITH_TIMEOUT(!viewer->picture().isNull(), HangMs);
    QCOMPARE(viewer->picture().size(), QSize(1200, 900)); // decoded at full size
    // Fitted to the window: the picture on screen is smaller than the picture.
    auto *label = viewer->findChild<QLabel *>(QStringLiteral("lblPicture"));
    QVERIFY(label->width() < 1200);
    viewer->zoomBy(4);
    QVERIFY(label->width() > 1200);

    shown.clear();
    QTest::keyClick(viewer, Qt::Key_Right);
    QCOMPARE(viewer->currentIndex(), 1);
    QVERIFY(shown.wait(HangMs));
    QVERIFY(viewer->picture().isNull());
    QVERIFY(label->text().startsWith(QStringLiteral("cannot show this picture")));

    QTest::mouseClick(viewer->findChild<QToolButton *>(QStringLiteral("btnNext")), Qt::LeftButton);
    QCOMPARE(viewer->currentIndex(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(viewer->picture().size(), QSize(400, 300), HangMs);
    QTest::keyClick(viewer, Qt::Key_Right); // the last one stays
    QCOMPARE(viewer->currentIndex(), 2);
    QTest::keyClick(viewer, Qt::Key_Left);
    QCOMPARE(viewer->currentIndex(), 1);
    QTest::keyClick(viewer, Qt::Key_Escape);
    QVERIFY(!viewer->isVisible());
}

void TestPreviews::animatedGifPlays()
{
    const QString dir = folder(QStringLiteral("Opt"));
    write(dir + "/Preview.gif", animatedGif());
    write(dir + "/Preview1.png", encoded(filled(40, 30, Qt::red), "PNG"));
    QVERIFY(previews::isAnimated(dir + "/Preview.gif"));
    QVERIFY(!previews::isAnimated(dir + "/Preview1.png"));
    PreviewStrip strip;
    strip.showFolder(dir);
    strip.openPicture(0);
    QTRY_VERIFY_WITH_TIMEOUT(strip.viewer()->isPlaying(), HangMs);
    QTest::keyClick(strip.viewer(), Qt::Key_Right);
    QVERIFY(!strip.viewer()->isPlaying());
    QTRY_VERIFY_WITH_TIMEOUT(!strip.viewer()->picture().isNull(), HangMs);
    QVERIFY(!strip.viewer()->isPlaying());
}

void TestPreviews::showPreviewsSetting_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("visible");
    QTest::newRow("default") << QByteArray() << true;
    QTest::newRow("on") << QByteArray("[Settings]\nShowPreviews=1\n") << true;
    QTest::newRow("off") << QByteArray("[Settings]\nShowPreviews=0\n") << false;
}

void TestPreviews::showPreviewsSetting()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, visible);
    const QString iniPath = m_dir->path() + "/varimond.ini";
    write(iniPath, ini);
    ProgramSettings.ProgramIniFName = QStringLiteral("varimond.ini");
    SecondaryWindowSizes sizes;
    LoadProgramIniFile(ProgramSettings, sizes);
    QCOMPARE(ProgramSettings.ShowPreviews, visible);
    // Read only: saving the settings leaves the key as the pack has it.
    SaveProgramIniFile(ProgramSettings, WindowStateAtClose());
    QCOMPARE(testfiles::readAll(iniPath).contains("ShowPreviews"), !ini.isEmpty());

    const QString dir = folder(QStringLiteral("Opt"));
    write(dir + "/Preview.png", encoded(filled(40, 30, Qt::red), "PNG"));
    write(dir + "/ReadMe.txt", "read me");
    DocumentPane pane;
    pane.resize(800, 600);
    pane.show();
    pane.DisplayFName(dir + "/", QStringLiteral("ReadMe.txt"), QString(), QString());
    pane.ShowPreviews(dir + "/");
    QCOMPARE(pane.Previews()->isVisible(), visible);
    // Another document set (Welcome, How To) has no previews.
    pane.DisplayFName(dir + "/", QStringLiteral("ReadMe.txt"), QString(), QString());
    QVERIFY(!pane.Previews()->isVisible());
    // A folder without pictures shows no strip.
    pane.ShowPreviews(folder(QStringLiteral("Empty")));
    QVERIFY(!pane.Previews()->isVisible());
}

void TestPreviews::quickSwitchNeverShowsOtherPictures()
{
    const QString a = folder(QStringLiteral("A"));
    const QString b = folder(QStringLiteral("B"));
    const QByteArray slow = encoded(noise(1500, 1500), "PNG");
    write(a + "/Preview.png", slow);
    for (int i = 1; i <= 9; ++i)
        write(a + QStringLiteral("/Preview%1.png").arg(i), slow);
    write(b + "/Preview.png", encoded(filled(200, 100, Qt::green), "PNG"));
    write(b + "/Preview1.png", encoded(filled(200, 100, Qt::green), "PNG"));

    DocumentPane pane;
    pane.resize(800, 600);
    pane.show();
    PreviewStrip *strip = pane.Previews();
    QSignalSpy done(strip, &PreviewStrip::allShown);
    for (int round = 0; round < 5; ++round) {
        pane.ShowPreviews(a);
        // A different number of A's pictures shown each round, the next one decoding.
        QTRY_VERIFY_WITH_TIMEOUT(strip->finishedCount() >= round, HangMs);
        pane.ShowPreviews(b);
    }
    QVERIFY(done.wait(HangMs));
    // Anything of A's still on its way arrives.
    strip->loader().waitForIdle();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(strip->pictures().size(), 2);
    QCOMPARE(strip->finishedCount(), 2);
    for (const char *name : {"Preview1", "Preview2"}) {
        const QColor c = tileColor(strip->findChild<QToolButton *>(QString::fromLatin1(name)));
        QVERIFY2(c.green() > 200 && c.red() < 50, qPrintable(c.name()));
    }
    QVERIFY(!strip->findChild<QToolButton *>(QStringLiteral("Preview3")));
}

void TestPreviews::thumbnailsComeFromTheCache()
{
    const QString dir = folder(QStringLiteral("Opt"));
    write(dir + "/Preview.png", encoded(filled(300, 200, Qt::red), "PNG"));
    PreviewStrip strip;
    QSignalSpy done(&strip, &PreviewStrip::allShown);
    strip.showFolder(dir);
    QVERIFY(done.wait(HangMs));
    // Changed on disk: the cache knows the file by its size and time, so the new one shows.
    write(dir + "/Preview.png", encoded(filled(300, 200, Qt::blue), "PNG"));
    QVERIFY(setModified(dir + "/Preview.png", QDateTime::currentDateTime().addSecs(5)));
    strip.showFolder(dir);
    QVERIFY(done.wait(HangMs));
    QVERIFY(tileColor(strip.findChild<QToolButton *>(QStringLiteral("Preview1"))).blue() > 200);
    // Unchanged in size and time: shown from the cache, without reading the file again (here
    // garbage of the same size, which a decode would refuse).
    const QFileInfo before(dir + "/Preview.png");
    write(dir + "/Preview.png", QByteArray(before.size(), 'x'));
    QVERIFY(setModified(dir + "/Preview.png", before.lastModified()));
    strip.showFolder(dir);
    QVERIFY(done.wait(HangMs));
    QCOMPARE(strip.failedCount(), 0);
    QVERIFY(tileColor(strip.findChild<QToolButton *>(QStringLiteral("Preview1"))).blue() > 200);
}

// Every option of the sample pack that installs something shows a picture of itself.
void TestPreviews::samplePackOptionsHavePreviews()
{
    int options = 0;
    QDirIterator it(QStringLiteral(VARIMOND_SOURCE_DIR "/demo/Options"),
                    {QStringLiteral("RunMe.sh")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString dir = QFileInfo(it.next()).path();
        const QStringList pictures = previews::pictureFiles(dir);
        QVERIFY2(!pictures.isEmpty(), qPrintable(dir));
        QVERIFY2(!previews::decode(pictures.first(), QSize(160, 96)).image.isNull(),
                 qPrintable(pictures.first()));
        ++options;
    }
    QVERIFY(options >= 8);
}

QTEST_MAIN(TestPreviews)
#include "tst_previews.moc"
