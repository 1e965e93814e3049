// A restore of one large file (256 MiB that does not compress) from the history, against the
// floor: copying the same bytes with read() and write() through a 1 MiB buffer. Prints the
// times (min and median of the runs) and the peak memory of the process, which must not grow
// with the file.

#include "history/HistoryFolders.h"
#include "history/SnapshotStore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr qint64 FileSize = 256LL * 1024 * 1024;
constexpr int Runs = 5;

long peakKb()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void writeRandom(const QString &path, quint64 seed)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    std::vector<quint64> block(1 << 17); // 1 MiB
    quint64 s = seed * 0x9E3779B97F4A7C15ull + 1;
    for (qint64 done = 0; done < FileSize; done += qint64(block.size() * 8)) {
        for (quint64 &v : block) {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            v = s;
        }
        f.write(reinterpret_cast<const char *>(block.data()), qint64(block.size() * 8));
    }
}

double copyFile(const QString &from, const QString &to)
{
    QElapsedTimer t;
    t.start();
    const int in = ::open(QFile::encodeName(from).constData(), O_RDONLY);
    const int out = ::open(QFile::encodeName(to).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buffer(1 << 20);
    ssize_t n;
    while ((n = ::read(in, buffer.data(), buffer.size())) > 0) {
        if (::write(out, buffer.data(), size_t(n)) != n)
            qFatal("write failed");
    }
    ::close(in);
    ::close(out);
    return double(t.nsecsElapsed()) / 1e6;
}

void print(const char *what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-40s min %8.1f ms   median %8.1f ms\n", what, ms.front(), ms[ms.size() / 2]);
}

} // namespace

int main()
{
    QTemporaryDir temp;
    const QString ui = temp.path() + QStringLiteral("/ui");
    QDir().mkpath(ui);
    const QString big = ui + QStringLiteral("/big.bin");
    history::NamedFolder folder;
    folder.entry = ui;
    folder.key = history::folderKey(ui);
    folder.path = QFile::encodeName(ui);
    const std::vector<history::NamedFolder> folders{folder};

    history::SnapshotStore store(temp.path() + QStringLiteral("/repo"));
    store.open();
    writeRandom(big, 1);
    const QString a = store.snapshot(folders, QStringLiteral("a"));
    writeRandom(big, 2);
    const QString b = store.snapshot(folders, QStringLiteral("b"));
    const long before = peakKb();

    std::vector<double> restore, copy;
    QString current = b;
    for (int run = 0; run < Runs; ++run) {
        const QString target = current == a ? b : a;
        QElapsedTimer t;
        t.start();
        store.restore(current, target, folders);
        restore.push_back(double(t.nsecsElapsed()) / 1e6);
        current = target;
        copy.push_back(copyFile(big, temp.path() + QStringLiteral("/copy.bin")));
    }
    std::printf("Restore of one %lld MiB file, %d runs\n", FileSize >> 20, Runs);
    print("restore from the history", restore);
    print("baseline: read()/write() copy", copy);
    std::printf("peak memory: %ld KB before the restores, %ld KB after (file: %lld KB)\n", before,
                peakKb(), FileSize >> 10);
    return 0;
}
