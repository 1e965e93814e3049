#pragma once

// Packs, archives and tree snapshots for the pack update tests, made at test time.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <vector>

namespace fixtures {

inline bool write(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        return false;
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), executable ? 0755 : 0644) == 0;
}

inline QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Every entry below @p root, links not followed: its kind, mode and content (or link target).
/// Names starting with ".varimond-" at the top are left out when @p withoutOwn is set.
inline QMap<QString, QByteArray> snapshot(const QString &root, bool withoutOwn = false)
{
    QMap<QString, QByteArray> tree;
    std::vector<QString> todo{QString()};
    while (!todo.empty()) {
        const QString rel = todo.back();
        todo.pop_back();
        const QFileInfoList entries = QDir(root + QLatin1Char('/') + rel)
                                          .entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                             QDir::System | QDir::NoDotAndDotDot,
                                                         QDir::Name);
        for (const QFileInfo &e : entries) {
            const QString path = rel + e.fileName();
            if (withoutOwn && rel.isEmpty() && e.fileName().startsWith(QLatin1String(".varimond-")))
                continue;
            struct stat st;
            ::lstat(QFile::encodeName(e.absoluteFilePath()).constData(), &st);
            const QByteArray mode = QByteArray::number(st.st_mode & 07777, 8);
            if (e.isSymLink()) {
                tree[path] = "link " + QFile::encodeName(e.symLinkTarget());
            } else if (e.isDir()) {
                tree[path] = "dir " + mode;
                todo.push_back(path + QLatin1Char('/'));
            } else {
                tree[path] =
                    "file " + mode + ' ' +
                    QCryptographicHash::hash(read(e.absoluteFilePath()), QCryptographicHash::Sha256)
                        .toHex();
            }
        }
    }
    return tree;
}

/// One entry of an archive made by the tests.
struct Entry
{
    enum Kind { File, Folder, Link, HardLink, Device, Fifo };
    QByteArray name;
    QByteArray content; // a file's bytes, or a link's target
    Kind kind = File;
    int mode = 0644;
};

/// Writes @p entries as an archive of @p format ("zip", "tar.gz", "tar.xz", "7z").
inline bool makeArchive(const QString &path, const QString &format,
                        const std::vector<Entry> &entries)
{
    archive *a = archive_write_new();
    if (format == QLatin1String("zip")) {
        archive_write_set_format_zip(a);
    } else if (format == QLatin1String("7z")) {
        archive_write_set_format_7zip(a);
    } else {
        archive_write_set_format_pax_restricted(a);
        if (format == QLatin1String("tar.gz"))
            archive_write_add_filter_gzip(a);
        else
            archive_write_add_filter_xz(a);
    }
    bool ok = archive_write_open_filename(a, QFile::encodeName(path).constData()) == ARCHIVE_OK;
    for (const Entry &e : entries) {
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.constData());
        archive_entry_set_mtime(entry, 1700000000, 0);
        switch (e.kind) {
        case Entry::File:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, e.content.size());
            break;
        case Entry::Folder:
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case Entry::Link:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.content.constData());
            break;
        case Entry::HardLink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, e.content.constData());
            break;
        case Entry::Device:
            archive_entry_set_filetype(entry, AE_IFCHR);
            archive_entry_set_rdev(entry, makedev(1, 3));
            break;
        case Entry::Fifo:
            archive_entry_set_filetype(entry, AE_IFIFO);
            break;
        }
        archive_entry_set_perm(entry, mode_t(e.mode));
        ok = ok && archive_write_header(a, entry) == ARCHIVE_OK;
        if (e.kind == Entry::File && !e.content.isEmpty())
            ok = ok && archive_write_data(a, e.content.constData(), size_t(e.content.size())) ==
                           e.content.size();
        archive_entry_free(entry);
    }
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok;
}

/// The 512-byte ustar header of a regular file.
inline QByteArray ustarHeader(const QByteArray &name, qint64 size)
{
    QByteArray h(512, '\0');
    auto put = [&h](int at, const QByteArray &value) { h.replace(at, value.size(), value); };
    auto octal = [](qint64 value, int width) {
        return QByteArray::number(value, 8).rightJustified(width - 1, '0') + '\0';
    };
    put(0, name.left(99));
    put(100, octal(0644, 8));
    put(108, octal(0, 8));
    put(116, octal(0, 8));
    put(124, octal(size, 12));
    put(136, octal(1700000000, 12));
    put(148, QByteArray(8, ' '));
    put(156, "0");
    put(257, QByteArray("ustar\0", 6));
    put(263, "00");
    int sum = 0;
    for (char c : h)
        sum += static_cast<unsigned char>(c);
    put(148, QByteArray::number(sum, 8).rightJustified(6, '0') + QByteArray("\0 ", 2));
    return h;
}

/// A .tar.gz of a few megabytes holding @p files files of @p size zero bytes each, made without
/// compressing them: the deflate output of one MiB of zeros, after a full flush, stands for
/// every MiB. The gzip trailer is computed for the whole stream.
inline bool makeZeroBomb(const QString &path, int files, qint64 size)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    z_stream z = {};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY); // with a gzip wrapper
    std::vector<unsigned char> buffer(1 << 20);
    uLong crc = crc32(0, nullptr, 0);
    quint64 total = 0;
    auto deflateSome = [&](const QByteArray &input, int flush) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.constData()));
        z.avail_in = uInt(input.size());
        QByteArray produced;
        int status = Z_OK;
        do {
            z.next_out = buffer.data();
            z.avail_out = uInt(buffer.size());
            status = deflate(&z, flush);
            produced.append(reinterpret_cast<char *>(buffer.data()),
                            qsizetype(buffer.size() - z.avail_out));
        } while (z.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
        crc = crc32(crc, reinterpret_cast<const Bytef *>(input.constData()), uInt(input.size()));
        total += quint64(input.size());
        return produced;
    };
    const QByteArray mib(1 << 20, '\0');
    const uLong mibCrc = crc32(0, reinterpret_cast<const Bytef *>(mib.constData()), mib.size());
    QByteArray chunk;
    for (int f = 0; f < files; ++f) {
        const QByteArray name = "Options/zeros" + QByteArray::number(f) + ".bin";
        out.write(deflateSome(ustarHeader(name, size), Z_FULL_FLUSH));
        qint64 left = size;
        for (; left >= mib.size(); left -= mib.size()) {
            if (chunk.isEmpty()) {
                chunk = deflateSome(mib, Z_FULL_FLUSH);
            } else {
                crc = crc32_combine(crc, mibCrc, mib.size());
                total += quint64(mib.size());
            }
            out.write(chunk);
        }
        const qint64 padding = (512 - size % 512) % 512;
        out.write(deflateSome(QByteArray(left + padding, '\0'), Z_FULL_FLUSH));
    }
    QByteArray last = deflateSome(QByteArray(1024, '\0'), Z_FINISH);
    deflateEnd(&z);
    last.chop(8); // zlib's trailer counts only what it saw
    for (int i = 0; i < 4; ++i)
        last.append(char((crc >> (8 * i)) & 0xff));
    for (int i = 0; i < 4; ++i)
        last.append(char((total >> (8 * i)) & 0xff));
    out.write(last);
    return out.error() == QFile::NoError;
}

/// A writable folder on another file system than @p than (a pack on another drive than the
/// state folder), empty when the machine has none.
inline QString otherFileSystem(const QString &than)
{
    struct stat a, b;
    if (::stat(QFile::encodeName(than).constData(), &a) != 0)
        return {};
    for (const QString &candidate : {QStringLiteral("/dev/shm"), QDir::tempPath(),
                                     QStringLiteral(VARIMOND_BINARY_DIR)}) {
        const QByteArray path = QFile::encodeName(candidate);
        if (::stat(path.constData(), &b) == 0 && b.st_dev != a.st_dev &&
            ::access(path.constData(), W_OK) == 0)
            return candidate;
    }
    return {};
}

} // namespace fixtures
