// How long saving a theme and clearing the selections take on a large pack, next to the least
// any program must do for the same work.
//
// It builds an options folder of 50 top-level folders x 20 groups x 20 options (21,050 folders,
// each option with options.ini and RunMe.bat) in which one option of every group is selected
// (1,000 Selected.ini files), and measures in the same run:
//   (a) gathering: a baseline walk with opendir/readdir that finds the marks in the listings and
//       reads each selected option's options.ini whole, against GetSelectedOptions;
//   (b) saving a theme of the 1,000 entries (gathering included), against the baseline walk
//       plus writing the same theme text once to a file;
//   (c) clearing: the baseline walk that, for each mark, reads options.ini, writes the new
//       content to a temporary file renamed over it and removes the mark, against
//       ClearAllSelectedOptions. The marks and modes are put back between runs, untimed.
// Each figure is the minimum and the median of the runs.
//
// Usage: bench_themes [folder for the generated pack]
#include "common/Figures.h"
#include "core/Common.h"
#include "themes/ThemeStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int TopLevel = 50;
constexpr int Groups = 20;
constexpr int Options = 20;
constexpr int Runs = 5;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray optionIni(int mode)
{
    return "[RunMe]\r\nOptionRunMeFName=RunMe.bat\r\nOptionRunMe2FName=\r\n"
           "[ProgramDelay]\r\nOptionProgramDelay=2000\r\n[Mode]\r\nOptionMode=" +
           QByteArray::number(mode) + "\r\n";
}

// The options root, and every selected option folder, for putting the marks back.
QString g_root;
std::vector<QString> g_selected;

bool generate(const QString &root)
{
    g_root = root;
    for (int t = 0; t < TopLevel; ++t) {
        const QString top = root + QStringLiteral("Top %1/").arg(t, 2, 10, QLatin1Char('0'));
        if (!QDir().mkpath(top) || !writeFile(top + QStringLiteral("options.ini"), optionIni(7)))
            return false;
        for (int g = 0; g < Groups; ++g) {
            const QString group = top + QStringLiteral("Group %1/").arg(g, 2, 10, QLatin1Char('0'));
            if (!QDir().mkpath(group) ||
                !writeFile(group + QStringLiteral("options.ini"), optionIni(7)))
                return false;
            for (int o = 0; o < Options; ++o) {
                const QString option =
                    group + QStringLiteral("Option %1/").arg(o, 2, 10, QLatin1Char('0'));
                if (!QDir().mkpath(option) ||
                    !writeFile(option + QStringLiteral("RunMe.bat"), "@echo off\r\n"))
                    return false;
                if (o == g % Options)
                    g_selected.push_back(option);
            }
        }
    }
    return true;
}

// Puts every mark back and every selected option's mode to 3 (untimed).
bool reselect()
{
    for (const QString &folder : g_selected) {
        if (!writeFile(folder + QStringLiteral("Selected.ini"), "[Mode]\r\nSelected=1\r\n"))
            return false;
    }
    for (int t = 0; t < TopLevel; ++t) {
        for (int g = 0; g < Groups; ++g) {
            for (int o = 0; o < Options; ++o) {
                const QString option = g_root + QStringLiteral("Top %1/Group %2/Option %3/")
                                                    .arg(t, 2, 10, QLatin1Char('0'))
                                                    .arg(g, 2, 10, QLatin1Char('0'))
                                                    .arg(o, 2, 10, QLatin1Char('0'));
                if (!writeFile(option + QStringLiteral("options.ini"),
                               optionIni(o == g % Options ? 3 : 2)))
                    return false;
            }
        }
    }
    return true;
}

std::string readWhole(const std::string &path)
{
    std::string data;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        data.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return data;
}

// The floor of a walk: list each folder once, note whether it holds the mark, descend into
// sub-folders whose names do not begin with '.', and hand each marked folder to @p marked.
void rawWalk(const std::string &folder, const std::function<void(const std::string &)> &marked)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> subs;
    bool mark = false;
    while (const dirent *e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        if (e->d_type == DT_DIR)
            subs.emplace_back(e->d_name);
        else if (std::strcmp(e->d_name, "Selected.ini") == 0)
            mark = true;
    }
    ::closedir(dir);
    if (mark)
        marked(folder);
    std::sort(subs.begin(), subs.end());
    for (const std::string &s : subs)
        rawWalk(folder + s + '/', marked);
}

void print(const char *what, const Figures &program, const Figures &floor)
{
    std::printf("%-34s min %8.1f ms  median %8.1f ms | baseline min %8.1f ms  median %8.1f ms | "
                "ratio %.2f\n",
                what, program.min(), program.median(), floor.min(), floor.median(),
                program.median() / floor.median());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    const QString program = base + QStringLiteral("/pack/");
    const QString options = program + QStringLiteral("Options/");
    ProgramSettings.ProgramDir = program;
    ProgramSettings.OptionsDir = QStringLiteral("Options");
    ProgramSettings.ThemesDir = QStringLiteral("Themes");
    ProgramSettings.DefaultRunMeFName = QStringLiteral("RunMe.bat");
    ProgramSettings.DefaultRunMe2FName = QStringLiteral("RunMe2.bat");
    ProgramSettings.DefaultProgramDelay = 2000;
    if (!generate(options) || !reselect()) {
        std::fprintf(stderr, "cannot build the pack in %s\n", qPrintable(options));
        return 1;
    }
    QDir().mkpath(program + QStringLiteral("Themes"));
    const std::string root = QFile::encodeName(options).toStdString();
    QElapsedTimer clock;

    Figures gatherFloor, gather, saveFloor, save, clearFloor, clear;
    for (int run = 0; run < Runs; ++run) {
        clock.start();
        size_t bytes = 0;
        rawWalk(root, [&](const std::string &f) { bytes += readWhole(f + "options.ini").size(); });
        gatherFloor.ms.push_back(clock.nsecsElapsed() / 1e6);

        clock.start();
        QStringList delays, scripts;
        GetSelectedOptions(ProgramSettings, delays, scripts);
        gather.ms.push_back(clock.nsecsElapsed() / 1e6);
        if (scripts.size() != static_cast<int>(g_selected.size()) || bytes == 0) {
            std::fprintf(stderr, "gathered %d of %zu\n", int(scripts.size()), g_selected.size());
            return 1;
        }

        clock.start();
        std::string text;
        int n = 0;
        rawWalk(root, [&](const std::string &f) {
            readWhole(f + "options.ini");
            text +=
                "[Option" + std::to_string(n++) + "]\nDelay=2000\nRunMeFName=" + f + "RunMe.bat\n";
        });
        const std::string floorTheme = QFile::encodeName(program).toStdString() + "floor.ini";
        const int fd = ::open(floorTheme.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != ssize_t(text.size()))
            return 1;
        ::close(fd);
        saveFloor.ms.push_back(clock.nsecsElapsed() / 1e6);

        clock.start();
        if (SaveTheme(ProgramSettings, QStringLiteral("Large")) != int(g_selected.size()))
            return 1;
        save.ms.push_back(clock.nsecsElapsed() / 1e6);

        clock.start();
        rawWalk(root, [&](const std::string &f) {
            std::string ini = readWhole(f + "options.ini");
            const size_t at = ini.find("OptionMode=3");
            if (at != std::string::npos)
                ini[at + 11] = '2';
            const std::string tmp = f + ".options.ini.tmp";
            const int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out < 0 || ::write(out, ini.data(), ini.size()) != ssize_t(ini.size()))
                return;
            ::close(out);
            ::rename(tmp.c_str(), (f + "options.ini").c_str());
            ::unlink((f + "Selected.ini").c_str());
        });
        clearFloor.ms.push_back(clock.nsecsElapsed() / 1e6);
        if (!reselect())
            return 1;

        clock.start();
        if (ClearAllSelectedOptions(options) != int(g_selected.size()))
            return 1;
        clear.ms.push_back(clock.nsecsElapsed() / 1e6);
        if (!reselect())
            return 1;
    }
    std::printf("pack: %d folders, %zu selected options, %d runs\n",
                TopLevel * (1 + Groups * (1 + Options)) + 1, g_selected.size(), Runs);
    print("gather the selected options", gather, gatherFloor);
    print("save a theme of 1,000 entries", save, saveFloor);
    print("clear 1,000 selections", clear, clearFloor);
    return 0;
}
