// How long the real program takes from its start to a filled option tree, beyond the fixed
// pauses of its start-up.
//
// It writes a pack of about 20,000 option folders (bench/common/OptionPack.h) and a pack with a
// single option, places a link to the built program in each, and starts the program on the
// offscreen platform again and again, interleaving the two packs. The program prints a line
// when its tree holds the options (VARIMOND_STARTUP_MARKER); the time from the start of the
// process to that line, less the start-up's fixed pause before the tree step (250 ms after the
// settings are loaded), is the figure. The single-option pack gives what the start-up costs
// without a pack to read, measured in the same run. Each program is then ended with SIGTERM.
//
// Usage: bench_startup [runs] [folder for the generated packs]
#include "common/OptionPack.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

// The start-up's pause between loading the settings and building the tree.
constexpr double PauseBeforeTreeMs = 250;

bool makePack(const QString &pack, bool large, int *folders)
{
    if (!QDir().mkpath(pack + QStringLiteral("/Options")))
        return false;
    if (large && !benchpack::generate(pack + QStringLiteral("/Options/"), folders))
        return false;
    if (!large) {
        *folders = 1;
        const QString one = pack + QStringLiteral("/Options/Only/");
        if (!QDir().mkpath(one) ||
            !benchpack::writeFile(one + QStringLiteral("options.ini"),
                                  benchpack::optionIni(2, false)) ||
            !benchpack::writeFile(one + QStringLiteral("RunMe.bat"), "@echo off\r\n"))
            return false;
    }
    // No update check; the game's interface check finds CUSTOM, so no dialog opens.
    return benchpack::writeFile(pack + QStringLiteral("/varimond.ini"),
                                "[Settings]\nCheckForUpdateMode=0\n") &&
           QFile::link(QStringLiteral(VARIMOND_BINARY), pack + QStringLiteral("/varimond"));
}

// CPU time the process @p pid has used so far, all its threads, in ms.
double processCpuMs(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = static_cast<double>(fields[11].toLongLong() + fields[12].toLongLong());
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Start
{
    double wallMs = -1; // from the start of the process to its marker
    double cpuMs = -1;  // CPU time the process used until then
};

Start timeToTree(const QString &pack, const QString &config)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("VARIMOND_STARTUP_MARKER"), QStringLiteral("1"));
    process.setProcessEnvironment(env);
    process.setProgram(pack + QStringLiteral("/varimond"));
    process.setProcessChannelMode(QProcess::MergedChannels); // the marker comes on stderr
    QElapsedTimer clock;
    clock.start();
    process.start();
    Start result;
    QByteArray seen;
    while (result.wallMs < 0 && process.state() != QProcess::NotRunning &&
           clock.elapsed() < 60000) {
        if (!process.waitForReadyRead(1000))
            continue;
        seen += process.readAll();
        if (seen.contains("varimond: option tree filled")) {
            result.wallMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
            result.cpuMs = processCpuMs(process.processId());
        }
    }
    process.terminate();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
    }
    return result;
}

double minOf(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}
double medianOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const int runs = std::max(5, args.value(0, QStringLiteral("7")).toInt());
    QTemporaryDir temp((args.size() > 1 ? args.at(1) : QDir::tempPath()) +
                       QStringLiteral("/bench_startup-XXXXXX"));
    if (!temp.isValid())
        return 1;
    const QString config = temp.filePath(QStringLiteral("config"));
    const QString game = config + QStringLiteral("/Electronic Arts/Dark Age of Camelot");
    if (!QDir().mkpath(game) ||
        !benchpack::writeFile(game + QStringLiteral("/user.dat"), "[interface]\nitem1=7\n"))
        return 1;

    int large = 0, small = 0;
    const QString big = temp.filePath(QStringLiteral("large"));
    const QString one = temp.filePath(QStringLiteral("small"));
    if (!makePack(big, true, &large) || !makePack(one, false, &small)) {
        std::fprintf(stderr, "cannot write the packs\n");
        return 1;
    }
    std::printf("pack of %d option folders; %d runs each, interleaved\n", large, runs);

    timeToTree(big, config); // the first start warms the caches for both
    timeToTree(one, config);
    std::vector<double> withPack, without, cpuWith, cpuWithout;
    for (int i = 0; i < runs; ++i) {
        const Start a = timeToTree(big, config);
        const Start b = timeToTree(one, config);
        if (a.wallMs < 0 || b.wallMs < 0) {
            std::fprintf(stderr, "the program gave no marker\n");
            return 1;
        }
        withPack.push_back(a.wallMs - PauseBeforeTreeMs);
        without.push_back(b.wallMs - PauseBeforeTreeMs);
        cpuWith.push_back(a.cpuMs);
        cpuWithout.push_back(b.cpuMs);
    }
    std::printf(
        "exec to tree filled, less the fixed pause   min      median     cpu min  median\n");
    std::printf("20,000-folder pack                       %7.1f ms %7.1f ms %7.1f %7.1f ms\n",
                minOf(withPack), medianOf(withPack), minOf(cpuWith), medianOf(cpuWith));
    std::printf("one-option pack (start-up alone)         %7.1f ms %7.1f ms %7.1f %7.1f ms\n",
                minOf(without), medianOf(without), minOf(cpuWithout), medianOf(cpuWithout));
    std::printf("the pack adds                            %7.1f ms %7.1f ms"
                "                      (target <= 100)\n",
                minOf(withPack) - minOf(without), medianOf(withPack) - medianOf(without));
    return 0;
}
