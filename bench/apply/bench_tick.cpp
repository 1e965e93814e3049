// One tick in a selection group of 2,000 options, each case against the system calls it cannot
// do without, measured in the same run. Prints the minimum and the median over the runs.
//
// Two starting points are measured: the usual one, where one option of the group is selected,
// so the tick has to read the 2,000 descriptors and change two of them (baseline: open, read to
// the end and close each descriptor), and the worst one, where every option of the group is
// selected, so that the tick rewrites every descriptor (baseline: a crash-safe rewrite of the
// same 2,000 files with their new content, each written to a temporary file renamed over it).

#include "core/Common.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/SelectionRules.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int LeafCount = 2000;
constexpr int Runs = 15;

using Timings = std::vector<qint64>;

QByteArray Descriptor(int mode)
{
    return QByteArrayLiteral("[ReadMe]\r\n"
                             "OptionReadMeTxtFName=ReadMe.rtf\r\n"
                             "OptionReadMeHtmlFName=\r\n"
                             "\r\n"
                             "[RunMe]\r\n"
                             "OptionRunMeFName=RunMe.sh\r\n"
                             "OptionRunMe2FName=\r\n"
                             "\r\n"
                             "[ProgramDelay]\r\n"
                             "OptionProgramDelay=1500\r\n"
                             "\r\n"
                             "[Mode]\r\n"
                             "OptionMode=") +
           QByteArray::number(mode) + QByteArrayLiteral("\r\n");
}

void WriteWhole(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

struct Group
{
    QString root; // options root, ending in '/'
    OptionTree tree;
    OptionNode *group = nullptr;
    std::vector<OptionNode *> leaves;
    std::vector<QString> iniPaths;
};

void Build(Group &g, const QString &root)
{
    g.root = root;
    QDir().mkpath(root + QStringLiteral("Pack/Group"));
    OptionNode *pack = g.tree.Add(nullptr, QStringLiteral("Pack"));
    g.tree.SetState(pack, FolderClosed);
    g.group = g.tree.Add(pack, QStringLiteral("Group"));
    g.tree.SetState(g.group, FolderClosed);
    for (int i = 0; i < LeafCount; ++i) {
        const QString name = QStringLiteral("Option%1").arg(i, 4, 10, QLatin1Char('0'));
        const QString folder = root + QStringLiteral("Pack/Group/") + name + QLatin1Char('/');
        QDir().mkpath(folder);
        WriteWhole(folder + QStringLiteral("RunMe.sh"), "#!/bin/sh\nexit 0\n");
        g.leaves.push_back(g.tree.Add(g.group, name));
        g.iniPaths.push_back(folder + QStringLiteral("options.ini"));
    }
}

// Every leaf's descriptor and node state; @p selectedCount leaves from the end are selected.
void Reset(Group &g, int selectedCount)
{
    for (int i = 0; i < LeafCount; ++i) {
        const int mode = i >= LeafCount - selectedCount ? CheckOn : CheckOff;
        WriteWhole(g.iniPaths[static_cast<size_t>(i)], Descriptor(mode));
        g.leaves[static_cast<size_t>(i)]->StateIndex = mode;
    }
    // Each measurement starts without our own dirty pages still waiting to be written.
    ::sync();
}

qint64 TimeTick(Group &g)
{
    QElapsedTimer timer;
    timer.start();
    UpdateTreeViewCheckBox(g.tree, g.leaves.front(), g.root);
    const qint64 ns = timer.nsecsElapsed();
    if (g.leaves.front()->StateIndex != CheckOn || g.leaves.back()->StateIndex != CheckOff)
        qFatal("the tick did not select the first option and clear the last");
    return ns;
}

std::vector<std::string> NativePaths(const Group &g)
{
    std::vector<std::string> paths;
    for (const QString &path : g.iniPaths)
        paths.push_back(QFile::encodeName(path).toStdString());
    return paths;
}

// The floor of the worst case: every file rewritten crash-safely with the content it holds
// after the tick.
qint64 TimeCrashSafeRewrite(const std::vector<std::string> &paths)
{
    std::vector<QByteArray> contents;
    std::vector<std::string> temporaries;
    for (size_t i = 0; i < paths.size(); ++i) {
        contents.push_back(Descriptor(i == 0 ? CheckOn : CheckOff));
        const size_t slash = paths[i].rfind('/');
        temporaries.push_back(paths[i].substr(0, slash + 1) + ".options.ini.A1b2C3");
    }
    QElapsedTimer timer;
    timer.start();
    for (size_t i = 0; i < paths.size(); ++i) {
        const int fd =
            ::open(temporaries[i].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 ||
            ::write(fd, contents[i].constData(), static_cast<size_t>(contents[i].size())) !=
                contents[i].size() ||
            ::close(fd) != 0 || ::rename(temporaries[i].c_str(), paths[i].c_str()) != 0)
            qFatal("cannot rewrite %s", paths[i].c_str());
    }
    return timer.nsecsElapsed();
}

// The floor of the usual case: every descriptor read once, to its end.
qint64 TimePlainRead(const std::vector<std::string> &paths)
{
    char buffer[4096];
    qint64 total = 0;
    QElapsedTimer timer;
    timer.start();
    for (const std::string &path : paths) {
        // Read to the end of the file, as the program does: until read() answers 0.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t n = fd < 0 ? -1 : ::read(fd, buffer, sizeof buffer);
        qint64 got = 0;
        while (n > 0) {
            got += n;
            n = ::read(fd, buffer, sizeof buffer);
        }
        if (n < 0 || got == 0 || ::close(fd) != 0)
            qFatal("cannot read %s", path.c_str());
        total += got;
    }
    const qint64 ns = timer.nsecsElapsed();
    if (total == 0)
        qFatal("nothing read");
    return ns;
}

// A second floor of the usual case: every descriptor read once, and the two whose mode the tick
// changes (the first selected, the last cleared) rewritten crash-safely, as any tick must.
qint64 TimeReadAndRewriteTwo(const std::vector<std::string> &paths)
{
    const std::vector<std::string> changed{paths.front(), paths.back()};
    const std::vector<QByteArray> contents{Descriptor(CheckOn), Descriptor(CheckOff)};
    QElapsedTimer timer;
    timer.start();
    qint64 ns = TimePlainRead(paths);
    timer.restart();
    for (size_t i = 0; i < changed.size(); ++i) {
        const std::string temporary =
            changed[i].substr(0, changed[i].rfind('/') + 1) + ".options.ini.A1b2C3";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 ||
            ::write(fd, contents[i].constData(), static_cast<size_t>(contents[i].size())) !=
                contents[i].size() ||
            ::close(fd) != 0 || ::rename(temporary.c_str(), changed[i].c_str()) != 0)
            qFatal("cannot rewrite %s", changed[i].c_str());
    }
    ns += timer.nsecsElapsed();
    return ns;
}

double Ms(qint64 ns)
{
    return static_cast<double>(ns) / 1e6;
}

qint64 Median(Timings t)
{
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void Measure(Group &g, const char *label, int selectedCount, const char *baselineLabel,
             qint64 (*baseline)(const std::vector<std::string> &))
{
    const std::vector<std::string> paths = NativePaths(g);
    Timings ticks;
    Timings bases;
    for (int run = 0; run < Runs; ++run) {
        Reset(g, selectedCount);
        ticks.push_back(TimeTick(g));
        Reset(g, selectedCount);
        bases.push_back(baseline(paths));
    }
    const qint64 tickMin = *std::min_element(ticks.begin(), ticks.end());
    const qint64 baseMin = *std::min_element(bases.begin(), bases.end());
    const qint64 tickMedian = Median(ticks);
    const qint64 baseMedian = Median(bases);
    std::printf("%s\n  tick      min %8.2f ms   median %8.2f ms\n"
                "  %-9s min %8.2f ms   median %8.2f ms\n"
                "  ratio     min %8.2f      median %8.2f\n",
                label, Ms(tickMin), Ms(tickMedian), baselineLabel, Ms(baseMin), Ms(baseMedian),
                Ms(tickMin) / Ms(baseMin), Ms(tickMedian) / Ms(baseMedian));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ProgramSettings.DefaultReadMeTxtFName = QStringLiteral("ReadMe.txt");
    ProgramSettings.DefaultRunMeFName = QStringLiteral("RunMe.bat");
    ProgramSettings.DefaultRunMe2FName = QStringLiteral("RunMe2.bat");
    ProgramSettings.DefaultProgramDelay = 2000;

    QTemporaryDir dir;
    if (!dir.isValid())
        qFatal("no temporary folder");
    Group g;
    Build(g, dir.path() + QStringLiteral("/Options/"));

    std::printf("One tick in a group of %d options, %d runs each, against its floor in the same "
                "run:\n",
                LeafCount, Runs);
    // "one" or "all" measures that case alone (for a profiler); by default both run.
    const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (only != QLatin1String("all")) {
        Measure(g, "one option selected before (baseline: read the descriptors)", 1, "read",
                TimePlainRead);
        Measure(g,
                "one option selected before (baseline: read the descriptors, rewrite the two "
                "that change)",
                1, "read+2", TimeReadAndRewriteTwo);
    }
    if (only != QLatin1String("one"))
        Measure(g,
                "every option selected before (baseline: crash-safe rewrite of every descriptor)",
                LeafCount, "rewrite", TimeCrashSafeRewrite);
    return 0;
}
