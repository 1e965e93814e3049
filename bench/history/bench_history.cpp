// A snapshot of a 5,000-file, 50 MB interface folder in which one file changed, against the git
// command doing the same on a copy of the same tree ("git add -A" and "git commit"), and against
// the floor: listing every folder, reading every file's status and reading the changed file.
// Then the size of the repository after 100 installs that each change one file.

#include "history/HistoryFolders.h"
#include "history/SnapshotStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int Folders = 50;
constexpr int FilesPerFolder = 100; // 5,000 files
constexpr int FileSize = 10 * 1024; // 50 MB in all
constexpr int Runs = 9;
constexpr int Installs = 100;

quint64 g_state = 0x9E3779B97F4A7C15ull;
quint64 next()
{
    g_state ^= g_state << 13;
    g_state ^= g_state >> 7;
    g_state ^= g_state << 17;
    return g_state;
}

QByteArray content(quint64 seed)
{
    g_state = seed * 0x2545F4914F6CDD1Dull + 1;
    QByteArray data(FileSize, Qt::Uninitialized);
    for (int i = 0; i + 8 <= FileSize; i += 8) {
        const quint64 v = next();
        memcpy(data.data() + i, &v, 8);
    }
    return data;
}

QString filePath(const QString &root, int folder, int file)
{
    return root + QStringLiteral("/f%1/file%2.dds").arg(folder, 2, 10, QLatin1Char('0')).arg(file);
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        qFatal("cannot write %s", qPrintable(path));
}

// The interface folder, its files dated an hour back, as an installed interface is.
void makeTree(const QString &root)
{
    const struct timeval hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (int d = 0; d < Folders; ++d) {
        QDir().mkpath(root + QStringLiteral("/f%1").arg(d, 2, 10, QLatin1Char('0')));
        for (int f = 0; f < FilesPerFolder; ++f) {
            const QString path = filePath(root, d, f);
            writeFile(path, content(quint64(d * FilesPerFolder + f)));
            utimes(QFile::encodeName(path).constData(), hourAgo);
        }
    }
}

bool git(const QString &dir, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("git"),
            QStringList{QStringLiteral("-c"), QStringLiteral("user.name=Bench"),
                        QStringLiteral("-c"), QStringLiteral("user.email=bench@localhost"),
                        QStringLiteral("-c"), QStringLiteral("gc.auto=0"), QStringLiteral("-c"),
                        QStringLiteral("commit.gpgsign=false")} +
                args);
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The floor: list every folder, read every entry's status, read the changed file.
void floorWalk(const QByteArray &root, const QByteArray &changed)
{
    DIR *top = opendir(root.constData());
    while (const dirent *e = readdir(top)) {
        if (e->d_name[0] == '.')
            continue;
        const QByteArray sub = root + '/' + e->d_name;
        DIR *dir = opendir(sub.constData());
        if (!dir)
            continue;
        while (const dirent *f = readdir(dir)) {
            struct stat st;
            fstatat(dirfd(dir), f->d_name, &st, AT_SYMLINK_NOFOLLOW);
        }
        closedir(dir);
    }
    closedir(top);
    char buffer[FileSize];
    const int fd = open(changed.constData(), O_RDONLY);
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
}

struct Stats
{
    std::vector<double> ms;
    double min() const { return *std::min_element(ms.begin(), ms.end()); }
    double median() const
    {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

qint64 folderBytes(const QString &dir)
{
    qint64 total = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat st;
        if (lstat(QFile::encodeName(it.next()).constData(), &st) == 0)
            total += qint64(st.st_blocks) * 512;
    }
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    const QString programDir = temp.path() + QStringLiteral("/pack/");
    // The snapshotted folder lies inside its pack, where the history takes it without asking.
    const QString ui = programDir + QStringLiteral("ui");
    const QString copy = temp.path() + QStringLiteral("/gitcopy");
    QDir().mkpath(programDir);
    QDir().mkpath(temp.path() + QStringLiteral("/state"));
    std::printf("Preparing two copies of %d files, %d MB...\n", Folders * FilesPerFolder,
                Folders * FilesPerFolder * FileSize / (1024 * 1024));
    makeTree(ui);
    makeTree(copy);

    const std::vector<history::NamedFolder> folders =
        history::resolveFolders({QStringLiteral("ui")}, programDir, QDir::homePath());
    if (folders.size() != 1 || !folders.front().usable())
        qFatal("the folder to snapshot is not taken by the history");
    history::SnapshotStore store(temp.path() + QStringLiteral("/state/history"));
    store.open();
    store.snapshot(folders, QStringLiteral("first"));
    if (!git(copy, {QStringLiteral("init"), QStringLiteral("-q")}) ||
        !git(copy, {QStringLiteral("add"), QStringLiteral("-A")}) ||
        !git(copy, {QStringLiteral("commit"), QStringLiteral("-q"), QStringLiteral("-m"),
                    QStringLiteral("first")}))
        qFatal("the git command failed");

    Stats ours, gitCommand, floor;
    for (int run = 0; run < Runs; ++run) {
        const int folder = (run * 7) % Folders;
        const int file = (run * 13) % FilesPerFolder;
        const QByteArray changed = content(quint64(1000000 + run));

        writeFile(filePath(ui, folder, file), changed);
        QElapsedTimer timer;
        timer.start();
        store.snapshot(folders, QStringLiteral("run"));
        ours.ms.push_back(double(timer.nsecsElapsed()) / 1e6);

        writeFile(filePath(copy, folder, file), changed);
        timer.restart();
        if (!git(copy, {QStringLiteral("add"), QStringLiteral("-A")}) ||
            !git(copy, {QStringLiteral("commit"), QStringLiteral("-q"), QStringLiteral("-m"),
                        QStringLiteral("run")}))
            qFatal("the git command failed");
        gitCommand.ms.push_back(double(timer.nsecsElapsed()) / 1e6);

        timer.restart();
        floorWalk(QFile::encodeName(ui), QFile::encodeName(filePath(ui, folder, file)));
        floor.ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("snapshot, one file changed (%d runs):\n", Runs);
    std::printf("  varimond (libgit2)      min %7.1f ms  median %7.1f ms\n", ours.min(),
                ours.median());
    std::printf(
        "  git add -A; git commit  min %7.1f ms  median %7.1f ms  (ratio of medians %.2f)\n",
        gitCommand.min(), gitCommand.median(), ours.median() / gitCommand.median());
    std::printf("  floor: stat every file  min %7.1f ms  median %7.1f ms\n", floor.min(),
                floor.median());

    const qint64 start = folderBytes(store.path());
    for (int i = 0; i < Installs; ++i) {
        store.snapshot(folders, QStringLiteral("before"));
        writeFile(filePath(ui, i % Folders, (i * 31) % FilesPerFolder),
                  content(quint64(2000000 + i)));
        store.snapshot(folders, QStringLiteral("after"));
    }
    const qint64 end = folderBytes(store.path());
    std::printf("repository: %.1f MB after the first snapshots, %.1f MB after %d installs "
                "that each change one %d KB file (%.1f KB per install)\n",
                double(start) / 1048576.0, double(end) / 1048576.0, Installs, FileSize / 1024,
                double(end - start) / 1024.0 / Installs);
    return 0;
}
