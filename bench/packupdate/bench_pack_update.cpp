// Time to unpack a pack update of 200 MB in 20,000 files (a .tar.gz made here, in 200 folders
// of 100 files of 10 KB of incompressible bytes) with every check of the update's unpacker
// (names, links, modes, entry count, size and ratio limits, no write through a link), beside
// bsdtar -xf of the same archive in the same run: libarchive's own command, which checks less.
// Prints the minimum and the median of 5 runs of each.
#include "packupdate/ArchiveUnpack.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Runs = 5;
constexpr int Folders = 200;
constexpr int FilesPerFolder = 100;
constexpr int FileBytes = 10 * 1000;

bool makeArchive(const QString &path)
{
    archive *a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    archive_write_add_filter_gzip(a);
    archive_write_set_filter_option(a, "gzip", "compression-level", "1");
    if (archive_write_open_filename(a, QFile::encodeName(path).constData()) != ARCHIVE_OK)
        return false;
    QByteArray data(FileBytes, Qt::Uninitialized);
    for (int f = 0; f < Folders; ++f) {
        for (int i = 0; i < FilesPerFolder; ++i) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()),
                                                  FileBytes / 4);
            const QByteArray name = "Pack/Options/Option" + QByteArray::number(f) + "/file" +
                                    QByteArray::number(i) + ".dds";
            archive_entry *entry = archive_entry_new();
            archive_entry_set_pathname(entry, name.constData());
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry, FileBytes);
            archive_write_header(a, entry);
            archive_write_data(a, data.constData(), size_t(data.size()));
            archive_entry_free(entry);
        }
    }
    const bool ok = archive_write_close(a) == ARCHIVE_OK;
    archive_write_free(a);
    return ok;
}

void print(const char *what, std::vector<qint64> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%-44s min %6.1f ms   median %6.1f ms\n", what, double(times.front()) / 1e6,
                double(times[times.size() / 2]) / 1e6);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("update.tar.gz"));
    if (!makeArchive(archive)) {
        std::fprintf(stderr, "cannot write the archive\n");
        return 1;
    }
    std::printf("archive: %d files, %.1f MB unpacked, %.1f MB packed\n", Folders * FilesPerFolder,
                double(Folders) * FilesPerFolder * FileBytes / 1e6,
                double(QFileInfo(archive).size()) / 1e6);

    std::vector<qint64> ours, bsdtar;
    for (int run = 0; run < Runs; ++run) {
        // Alternating, so that both meet the same state of the page cache and the disk.
        const QString a = dir.filePath(QStringLiteral("ours%1").arg(run));
        QElapsedTimer t;
        t.start();
        const packupdate::UnpackResult r = packupdate::UnpackArchive(archive, a);
        ours.push_back(t.nsecsElapsed());
        if (r.entries != Folders * FilesPerFolder) {
            std::fprintf(stderr, "unpacked %lld entries\n", r.entries);
            return 1;
        }
        QDir(a).removeRecursively();

        const QString b = dir.filePath(QStringLiteral("bsdtar%1").arg(run));
        QDir().mkpath(b);
        t.restart();
        const int code = QProcess::execute(
            QStringLiteral("bsdtar"), {QStringLiteral("-xf"), archive, QStringLiteral("-C"), b});
        bsdtar.push_back(t.nsecsElapsed());
        if (code != 0) {
            std::fprintf(stderr, "bsdtar failed\n");
            return 1;
        }
        QDir(b).removeRecursively();
    }
    print("UnpackArchive (all checks)", ours);
    print("bsdtar -xf (baseline, same archive)", bsdtar);
    return 0;
}
