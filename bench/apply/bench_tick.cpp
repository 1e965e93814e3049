// One tick in a selection group of 2,000 options, against rewriting the same 2,000 options.ini
// files with plain whole-file writes. Prints both times and their ratio; the best of several
// runs counts.
//
// Two starting points are measured: the usual one, where one option of the group is selected,
// and the worst one, where every option of the group is selected, so that the tick rewrites
// every descriptor.

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
#include <limits>
#include <vector>

#include <unistd.h>

namespace {

constexpr int LeafCount = 2000;
constexpr int Runs = 9;

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

qint64 TimeBaseline(Group &g)
{
    // The same files with the content they hold after the tick.
    std::vector<QByteArray> contents;
    contents.reserve(static_cast<size_t>(LeafCount));
    for (int i = 0; i < LeafCount; ++i)
        contents.push_back(Descriptor(i == 0 ? CheckOn : CheckOff));
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < LeafCount; ++i)
        WriteWhole(g.iniPaths[static_cast<size_t>(i)], contents[static_cast<size_t>(i)]);
    return timer.nsecsElapsed();
}

void Measure(Group &g, const char *label, int selectedCount)
{
    qint64 bestTick = std::numeric_limits<qint64>::max();
    qint64 bestBase = std::numeric_limits<qint64>::max();
    for (int run = 0; run < Runs; ++run) {
        Reset(g, selectedCount);
        bestTick = std::min(bestTick, TimeTick(g));
        Reset(g, selectedCount);
        bestBase = std::min(bestBase, TimeBaseline(g));
    }
    const double tickMs = static_cast<double>(bestTick) / 1e6;
    const double baseMs = static_cast<double>(bestBase) / 1e6;
    std::printf("%-34s tick %8.2f ms   baseline %8.2f ms   ratio %.2f\n", label, tickMs, baseMs,
                tickMs / baseMs);
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

    std::printf("One tick in a group of %d options (best of %d runs), against rewriting the same "
                "%d options.ini files whole with QFile:\n",
                LeafCount, Runs, LeafCount);
    Measure(g, "one option selected before", 1);
    Measure(g, "every option selected before", LeafCount);
    return 0;
}
