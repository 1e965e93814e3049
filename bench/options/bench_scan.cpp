// How long reading the option tree takes next to the least any program must do to read the same
// folders, and what the tree costs in memory per node.
//
// It builds an options folder of 50 top-level folders x 20 groups x 20 options (each option with
// options.ini and RunMe.bat, some with RunMe2.bat and ReadMe files) and measures, in the same run:
//   (a) a baseline walk that lists the same folders, reads every options.ini whole and tests
//       both script names;
//   (b) the program's scan into option nodes (GetDirectories);
//   (c) the whole rebuild of the main window's tree (UpdateTreeView) with its view on an
//       offscreen screen, until the first paint is done.
// Each time is the best of several runs, by the clock and by the process's CPU time (which a
// busy machine disturbs less).
//
// Usage: bench_scan [--only a|b|c] [folder for the generated options]
// --only repeats one part alone, for a profiler.
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "options/OptionTreeController.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr int TopLevel = 50;
constexpr int Groups = 20;
constexpr int Options = 20;
constexpr int Repetitions = 5;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray optionIni(int mode, bool linked)
{
    return "[ReadMe]\r\nOptionReadMeTxtFName=ReadMe.txt\r\nOptionReadMeHtmlFName=\r\n"
           "[RunMe]\r\nOptionRunMeFName=RunMe.bat\r\nOptionRunMe2FName=RunMe2.bat\r\n"
           "[ProgramDelay]\r\nOptionProgramDelay=2000\r\n"
           "[Mode]\r\nOptionMode=" +
           QByteArray::number(mode) +
           "\r\n[LinkChildren]\r\nOptionLinkChildren=" + QByteArray(linked ? "1" : "0") + "\r\n";
}

bool generate(const QString &root, int *folders)
{
    *folders = 0;
    const QByteArray script = "@echo off\r\ncopy /y *.xml ..\\..\\..\\..\\ui\\custom\\ >nul\r\n";
    const QByteArray readMe = "What this option changes, in a few lines of text.\r\n";
    for (int t = 0; t < TopLevel; ++t) {
        const QString top = root + QStringLiteral("Top %1/").arg(t, 2, 10, QLatin1Char('0'));
        if (!QDir().mkpath(top) ||
            !writeFile(top + QStringLiteral("options.ini"), optionIni(7, false)))
            return false;
        ++*folders;
        for (int g = 0; g < Groups; ++g) {
            const QString group = top + QStringLiteral("Group %1/").arg(g, 2, 10, QLatin1Char('0'));
            if (!QDir().mkpath(group) ||
                !writeFile(group + QStringLiteral("options.ini"), optionIni(7, g % 4 == 0)))
                return false;
            ++*folders;
            for (int o = 0; o < Options; ++o) {
                const QString option =
                    group + QStringLiteral("Option %1/").arg(o, 2, 10, QLatin1Char('0'));
                if (!QDir().mkpath(option) ||
                    !writeFile(option + QStringLiteral("options.ini"),
                               optionIni(o == 0 ? 3 : 2, false)) ||
                    !writeFile(option + QStringLiteral("RunMe.bat"), script))
                    return false;
                if (o % 5 == 0 && !writeFile(option + QStringLiteral("RunMe2.bat"), script))
                    return false;
                if (o % 3 == 0 && !writeFile(option + QStringLiteral("ReadMe.txt"), readMe))
                    return false;
                if (o % 7 == 0 && !writeFile(option + QStringLiteral("ReadMe.htm"),
                                             "<html><body>" + readMe + "</body></html>"))
                    return false;
                ++*folders;
            }
        }
    }
    return true;
}

// (a) The least a reader of these folders must do: list each folder once, read its
// descriptor whole and test both script names.
int baselineWalk(const QString &root, qint64 *bytes)
{
    int folders = 0;
    *bytes = 0;
    std::vector<QString> pending{root};
    while (!pending.empty()) {
        const QString folder = pending.back();
        pending.pop_back();
        QStringList subFolders;
        QDirIterator it(folder, QDir::Dirs | QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            it.next();
            if (it.fileInfo().isDir() && !it.fileName().startsWith(QLatin1Char('.')))
                subFolders << it.fileName();
        }
        std::sort(subFolders.begin(), subFolders.end(), [](const QString &a, const QString &b) {
            return a.compare(b, Qt::CaseInsensitive) < 0;
        });
        for (auto n = subFolders.crbegin(); n != subFolders.crend(); ++n) {
            const QString sub = folder + *n + QLatin1Char('/');
            ++folders;
            QFile ini(sub + QStringLiteral("options.ini"));
            if (ini.open(QIODevice::ReadOnly))
                *bytes += ini.readAll().size();
            const bool script = QFileInfo(sub + QStringLiteral("RunMe.bat")).isFile();
            const bool script2 = QFileInfo(sub + QStringLiteral("RunMe2.bat")).isFile();
            *bytes += script + script2;
            pending.push_back(sub);
        }
    }
    return folders;
}

struct Time
{
    double wall = 1e300; // ms
    double cpu = 1e300;  // ms
};

double cpuMs()
{
    return static_cast<double>(std::clock()) * 1000.0 / CLOCKS_PER_SEC;
}

void bestOf(Time &best, const std::function<void()> &run)
{
    for (int i = 0; i < Repetitions; ++i) {
        QElapsedTimer t;
        const double cpu0 = cpuMs();
        t.start();
        run();
        best.wall = std::min(best.wall, static_cast<double>(t.nsecsElapsed()) / 1e6);
        best.cpu = std::min(best.cpu, cpuMs() - cpu0);
    }
}

// Resident and peak resident memory of this process, in KiB.
qint64 statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(static_cast<qsizetype>(qstrlen(field)))
                .trimmed()
                .split(' ')
                .value(0)
                .toLongLong();
    }
    return -1;
}

// Starts a new peak at the present size; false where the system cannot.
bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
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
    if (!generate(root, &folders)) {
        std::fprintf(stderr, "cannot write the option folders\n");
        return 1;
    }
    std::printf("generated %d option folders (%d options) in %.1f s\n", folders,
                TopLevel * Groups * Options, static_cast<double>(made.elapsed()) / 1000.0);

    // Memory first, while the heap is still fresh.
    qint64 bytes = 0;
    baselineWalk(root, &bytes); // warm the caches the same way for every measurement
    double perNodeBytes = -1;
    int nodes = 0;
    {
        const qint64 before = statusKiB("VmRSS:");
        const bool peak = resetPeak();
        auto tree = std::make_unique<OptionTree>();
        int count = 0;
        GetDirectories(*tree, root, nullptr, count);
        nodes = tree->NodeCount();
        const qint64 after = peak ? statusKiB("VmHWM:") : statusKiB("VmRSS:");
        perNodeBytes = static_cast<double>(after - before) * 1024.0 / nodes;
        std::printf("memory: %.0f bytes per node (%s RSS %+lld KiB for %d nodes; target < 1024)\n",
                    perNodeBytes, peak ? "peak" : "current", static_cast<long long>(after - before),
                    nodes);
    }

    // The window part of (c): the tree view in its panel, as in the main window.
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *label = new QLabel(QStringLiteral("Options"), &window);
    auto *expand = new QToolButton(&window);
    auto *collapse = new QToolButton(&window);
    auto *view = new QTreeView(&window);
    layout->addWidget(label);
    layout->addWidget(expand);
    layout->addWidget(collapse);
    layout->addWidget(view, 1);
    OptionTreeController controller(view, label, expand, collapse);
    window.resize(300, 600);
    window.show();
    QApplication::processEvents();

    int walked = folders;
    const auto partA = [&] { walked = baselineWalk(root, &bytes); };
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
        Time t;
        for (int i = 0; i < 10; ++i)
            bestOf(t, only == QLatin1String("a")   ? std::function<void()>(partA)
                      : only == QLatin1String("b") ? std::function<void()>(partB)
                                                   : std::function<void()>(partC));
        std::printf("(%s) %.1f ms, cpu %.1f ms\n", qPrintable(only), t.wall, t.cpu);
        return 0;
    }

    Time a, b, c;
    // Interleaved rounds, so a slow moment of the machine does not fall on one side only.
    for (int round = 0; round < 3; ++round) {
        bestOf(a, partA);
        bestOf(b, partB);
        bestOf(c, partC);
    }
    if (walked != folders || nodes != folders || controller.Tree().NodeCount() != folders) {
        std::fprintf(stderr, "walked %d, scanned %d, shown %d of %d folders\n", walked, nodes,
                     controller.Tree().NodeCount(), folders);
        return 1;
    }

    std::printf("                          wall (ms)  ratio   cpu (ms)  ratio\n");
    std::printf("(a) baseline walk:        %9.1f          %9.1f\n", a.wall, a.cpu);
    std::printf("(b) scan into nodes:      %9.1f  %5.2f   %9.1f  %5.2f   (target <= 1.5)\n", b.wall,
                b.wall / a.wall, b.cpu, b.cpu / a.cpu);
    std::printf("(c) UpdateTreeView+view:  %9.1f  %5.2f   %9.1f  %5.2f   (target <= 3)\n", c.wall,
                c.wall / a.wall, c.cpu, c.cpu / a.cpu);
    std::printf("OptionCount after all rebuilds: %d\n", controller.OptionCount());
    return 0;
}
