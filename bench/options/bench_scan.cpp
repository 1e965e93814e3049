// How long reading the option tree takes next to the least any program must do to read the same
// folders, and what the tree costs in memory per node.
//
// It builds an options folder of about 20,000 folders (bench/common/OptionPack.h) and measures,
// in the same run and interleaved:
//   (a) the baseline: a raw POSIX walk that opens each folder relative to its parent (openat),
//       lists it with fdopendir/readdir, reads its options.ini whole and checks the script
//       names against the listing it has read, visiting sub-folders in name order;
//   (b) the program's scan into option nodes (GetDirectories);
//   (c) the whole rebuild of the main window's tree (UpdateTreeView) with its view on an
//       offscreen screen, until the first paint is done.
// Each is run at least five times; the minimum and the median are printed, by the clock and by
// the process's CPU time (which a busy machine disturbs less), with their ratios to (a).
// The memory the tree holds is counted by the allocator: every byte it hands out for the nodes,
// their names and their lists of children, with its own bookkeeping per block.
//
// Usage: bench_scan [--only a|b|c] [folder for the generated options]
// --only repeats one part alone, for a profiler.
#include "common/OptionPack.h"
#include "common/TreeWindow.h"
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "options/OptionTreeController.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int Rounds = 3;      // interleaved rounds
constexpr int Repetitions = 3; // runs of each part per round: 9 runs in all

// (a) The floor: what any reader of these folders must ask the system for.
struct RawWalk
{
    std::vector<char> buffer = std::vector<char>(16 * 1024);
    long bytes = 0;
    int folders = 0;

    void folder(int parent, const char *name)
    {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return;
        }
        std::vector<std::string> subFolders;
        bool ini = false, script = false, script2 = false;
        while (const dirent *e = ::readdir(dir)) {
            const char *n = e->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
                continue;
            unsigned char type = e->d_type;
            if (type == DT_UNKNOWN || type == DT_LNK) {
                struct stat st
                {
                };
                if (::fstatat(fd, n, &st, 0) == 0)
                    type = S_ISDIR(st.st_mode)   ? static_cast<unsigned char>(DT_DIR)
                           : S_ISREG(st.st_mode) ? static_cast<unsigned char>(DT_REG)
                                                 : type;
            }
            if (type == DT_DIR && n[0] != '.')
                subFolders.emplace_back(n);
            else if (type == DT_REG) {
                ini = ini || ::strcasecmp(n, "options.ini") == 0;
                script = script || ::strcasecmp(n, "RunMe.bat") == 0;
                script2 = script2 || ::strcasecmp(n, "RunMe2.bat") == 0;
            }
        }
        if (ini) {
            const int file = ::openat(fd, "options.ini", O_RDONLY | O_CLOEXEC);
            if (file >= 0) {
                ssize_t got;
                while ((got = ::read(file, buffer.data(), buffer.size())) > 0)
                    bytes += got;
                ::close(file);
            }
        }
        bytes += script + script2;
        std::sort(subFolders.begin(), subFolders.end(),
                  [](const std::string &a, const std::string &b) {
                      return ::strcasecmp(a.c_str(), b.c_str()) < 0;
                  });
        for (const std::string &sub : subFolders) {
            ++folders;
            folder(fd, sub.c_str());
        }
        ::closedir(dir);
    }
};

double cpuMs()
{
    return static_cast<double>(std::clock()) * 1000.0 / CLOCKS_PER_SEC;
}

// Every run's time of one part, by the clock and by CPU time, in ms.
struct Samples
{
    std::vector<double> wall, cpu;

    void run(const std::function<void()> &part)
    {
        for (int i = 0; i < Repetitions; ++i) {
            QElapsedTimer t;
            const double cpu0 = cpuMs();
            t.start();
            part();
            wall.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
            cpu.push_back(cpuMs() - cpu0);
        }
    }
};

double minOf(std::vector<double> v)
{
    return *std::min_element(v.begin(), v.end());
}
double medianOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Bytes the allocator has handed out and not taken back, its per-block overhead included.
std::size_t heapInUse()
{
    const struct mallinfo2 m = ::mallinfo2();
    return m.uordblks + m.hblkhd;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QStringList args = app.arguments().mid(1);
    QString only;
    if (args.size() >= 2 && args.first() == QLatin1String("--only")) {
        only = args.at(1);
        args = args.mid(2);
    }
    QTemporaryDir temp((args.isEmpty() ? QDir::tempPath() : args.first()) +
                       QStringLiteral("/bench_scan-XXXXXX"));
    if (!temp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    ProgramSettings.ProgramDir = temp.path() + QLatin1Char('/');
    ProgramSettings.ProgramIniFName = QStringLiteral("missing.ini");
    SecondaryWindowSizes sizes;
    LoadProgramIniFile(ProgramSettings, sizes); // the defaults of a first start
    const QString root = ProgramSettings.optionsRoot();

    QElapsedTimer made;
    made.start();
    int folders = 0;
    if (!benchpack::generate(root, &folders)) {
        std::fprintf(stderr, "cannot write the option folders\n");
        return 1;
    }
    std::printf("generated %d option folders in %.1f s\n", folders,
                static_cast<double>(made.elapsed()) / 1000.0);
    const QByteArray nativeRoot = QFile::encodeName(root);
    auto rawWalk = [&] {
        RawWalk walk;
        walk.folder(AT_FDCWD, nativeRoot.constData());
        return walk.folders;
    };

    // Memory first, while the heap is still fresh.
    rawWalk(); // warm the caches the same way for every measurement
    int nodes = 0;
    {
        auto tree = std::make_unique<OptionTree>();
        int count = 0;
        const std::size_t before = heapInUse();
        GetDirectories(*tree, root, nullptr, count);
        const std::size_t after = heapInUse();
        nodes = tree->NodeCount();
        std::printf("memory held per node: %.0f bytes (%zu bytes allocated for %d nodes, names "
                    "and child lists included; target <= 128)\n",
                    static_cast<double>(after - before) / nodes, after - before, nodes);
    }

    // The window part of (c): the tree view in its panel, as in the main window.
    benchpack::TreeWindow window;
    OptionTreeController &controller = window.controller();

    int walked = folders;
    const auto partA = [&] { walked = rawWalk(); };
    const auto partB = [&] {
        OptionTree tree;
        int count = 0;
        GetDirectories(tree, root, nullptr, count);
    };
    const auto partC = [&] {
        controller.UpdateTreeView([](int) {});
        QApplication::processEvents(); // layout and first paint
    };
    if (!only.isEmpty()) {
        Samples t;
        for (int i = 0; i < 10; ++i)
            t.run(only == QLatin1String("a")   ? std::function<void()>(partA)
                  : only == QLatin1String("b") ? std::function<void()>(partB)
                                               : std::function<void()>(partC));
        std::printf("(%s) min %.1f ms, median %.1f ms, cpu min %.1f ms\n", qPrintable(only),
                    minOf(t.wall), medianOf(t.wall), minOf(t.cpu));
        return 0;
    }

    Samples a, b, c;
    // Interleaved rounds, so a slow moment of the machine does not fall on one side only.
    for (int round = 0; round < Rounds; ++round) {
        a.run(partA);
        b.run(partB);
        c.run(partC);
    }
    if (walked != folders || nodes != folders || controller.Tree().NodeCount() != folders) {
        std::fprintf(stderr, "walked %d, scanned %d, shown %d of %d folders\n", walked, nodes,
                     controller.Tree().NodeCount(), folders);
        return 1;
    }

    std::printf(
        "%zu runs each                 wall min  median   ratio min/median   cpu min  ratio\n",
        a.wall.size());
    auto row = [&](const char *name, const Samples &s, const char *target) {
        std::printf("%-28s %8.1f %7.1f   %5.2f / %5.2f    %8.1f  %5.2f  %s\n", name, minOf(s.wall),
                    medianOf(s.wall), minOf(s.wall) / minOf(a.wall),
                    medianOf(s.wall) / medianOf(a.wall), minOf(s.cpu), minOf(s.cpu) / minOf(a.cpu),
                    target);
    };
    row("(a) raw POSIX walk", a, "");
    row("(b) scan into nodes", b, "(target <= 1.1)");
    row("(c) UpdateTreeView+view", c, "(target <= 1.15)");
    std::printf("OptionCount after all rebuilds: %d\n", controller.OptionCount());
    return 0;
}
