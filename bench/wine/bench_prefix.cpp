// The game's Wine prefix searched among 400 Steam Proton prefixes and 40 Lutris prefixes, the
// game in one of them, against the floor of a search that knows the exact spelling of every
// name: one listing of Steam's compatdata folder and a stat of each prefix's four possible
// user.dat paths. Prints the minimum and the median of several runs of both.
// Then the Wine that belongs to the prefix found: the Lutris game files are read to find the one
// that names it and its runner, against the floor of reading each game file whole with open,
// read and close and a stat of the runner's wine.

#include "wine/WinePrefix.h"
#include "wine/WineRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ProtonPrefixes = 400;
constexpr int LutrisPrefixes = 40;
constexpr int Runs = 15;

const char *const GameFile = "Electronic Arts/Dark Age of Camelot/user.dat";

void MakePath(const QString &path)
{
    if (!QDir().mkpath(path))
        qFatal("cannot create %s", qPrintable(path));
}

// Exact spellings only: what a search that needs no case-insensitive look-up would do.
int Floor(const QString &home)
{
    int found = 0;
    const QByteArray compat =
        QFile::encodeName(home + QStringLiteral("/.local/share/Steam/steamapps/compatdata"));
    DIR *dir = opendir(compat.constData());
    if (!dir)
        qFatal("no compatdata");
    std::vector<QByteArray> apps;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            apps.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::vector<QByteArray> prefixes;
    for (const QByteArray &app : apps)
        prefixes.push_back(compat + '/' + app + "/pfx");
    for (int i = 0; i < LutrisPrefixes; ++i)
        prefixes.push_back(QFile::encodeName(home) + "/Games/game" + QByteArray::number(i));
    struct stat st;
    for (const QByteArray &prefix : prefixes) {
        for (const char *user : {"player", "steamuser"}) {
            for (const char *appData : {"AppData/Roaming", "Application Data"}) {
                const QByteArray path =
                    prefix + "/drive_c/users/" + user + '/' + appData + '/' + GameFile;
                found += ::stat(path.constData(), &st) == 0;
            }
        }
    }
    return found;
}

// Every game file read whole, and the runner's wine of the one that names the game's prefix.
int WineFloor(const QString &home)
{
    const QByteArray games = QFile::encodeName(home + QStringLiteral("/.config/lutris/games/"));
    char buffer[4096];
    int found = 0;
    for (int i = 0; i < LutrisPrefixes; ++i) {
        const QByteArray path = games + "game" + QByteArray::number(i) + ".yml";
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            qFatal("no game file");
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        ::close(fd);
        if (n > 0 && i == 7) {
            struct stat st;
            found +=
                ::stat(QFile::encodeName(home + QStringLiteral("/.local/share/lutris/runners/wine/"
                                                               "wine-ge-8-26/bin/wine"))
                           .constData(),
                       &st) == 0;
        }
    }
    return found;
}

struct Figures
{
    double min, median;
};

Figures Summary(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        qFatal("no temporary folder");
    const QString home = dir.path() + QStringLiteral("/home");
    for (int i = 0; i < ProtonPrefixes; ++i)
        MakePath(home + QStringLiteral("/.local/share/Steam/steamapps/compatdata/%1/pfx/drive_c/"
                                       "users/steamuser/AppData/Roaming/Microsoft")
                            .arg(200000 + i));
    MakePath(home + QStringLiteral("/.config/lutris/games"));
    MakePath(home + QStringLiteral("/.local/share/lutris/runners/wine/wine-ge-8-26/bin"));
    for (int i = 0; i < LutrisPrefixes; ++i) {
        MakePath(home +
                 QStringLiteral("/Games/game%1/drive_c/users/player/AppData/Roaming").arg(i));
        QFile yml(home + QStringLiteral("/.config/lutris/games/game%1.yml").arg(i));
        const QByteArray text = "game:\n  exe: " + QFile::encodeName(home) + "/Games/game" +
                                QByteArray::number(i) +
                                "/drive_c/game.exe\n  prefix: " + QFile::encodeName(home) +
                                "/Games/game" + QByteArray::number(i) +
                                "\nsystem:\n  disable_runtime: false\nwine:\n  version: "
                                "wine-ge-8-26\n";
        if (!yml.open(QIODevice::WriteOnly) || yml.write(text) != text.size())
            qFatal("cannot write a game file");
    }
    {
        const QString wine =
            home + QStringLiteral("/.local/share/lutris/runners/wine/wine-ge-8-26/bin/wine");
        QFile binary(wine);
        if (!binary.open(QIODevice::WriteOnly) || binary.write("#!/bin/sh\n") <= 0)
            qFatal("cannot write the runner");
        binary.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString userDat = home +
                            QStringLiteral("/Games/game7/drive_c/users/player/AppData/"
                                           "Roaming/") +
                            QString::fromLatin1(GameFile);
    MakePath(QFileInfo(userDat).absolutePath());
    QFile file(userDat);
    if (!file.open(QIODevice::WriteOnly) || file.write("[interface]\r\nitem1=7\r\n") <= 0)
        qFatal("cannot write user.dat");
    file.close();

    platform::PrefixSearch search;
    search.home = home;
    search.userName = QStringLiteral("player");
    std::vector<double> searchTimes, floorTimes;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const platform::GamePrefix prefix = platform::findGamePrefix(search);
        searchTimes.push_back(clock.nsecsElapsed() / 1e6);
        if (prefix.userDat != userDat)
            qFatal("the search missed the game");

        clock.restart();
        if (Floor(home) != 1)
            qFatal("the floor missed the game");
        floorTimes.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::vector<double> wineTimes, wineFloorTimes;
    const QString found = home + QStringLiteral("/Games/game7");
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const platform::PrefixWine wine = platform::prefixWine(found, {home, {}, {}});
        wineTimes.push_back(clock.nsecsElapsed() / 1e6);
        if (wine.label != QStringLiteral("Lutris runner wine-ge-8-26") || wine.binary.isEmpty())
            qFatal("the Wine look-up missed the runner");

        clock.restart();
        if (WineFloor(home) != 1)
            qFatal("the floor missed the runner");
        wineFloorTimes.push_back(clock.nsecsElapsed() / 1e6);
    }
    const Figures s = Summary(searchTimes), f = Summary(floorTimes);
    const Figures w = Summary(wineTimes), wf = Summary(wineFloorTimes);
    std::printf("prefix search over %d prefixes: min %.1f ms, median %.1f ms\n",
                ProtonPrefixes + LutrisPrefixes, s.min, s.median);
    std::printf("floor (exact names, plain stat): min %.1f ms, median %.1f ms\n", f.min, f.median);
    std::printf("ratio of the medians: %.2f\n", s.median / f.median);
    std::printf("the prefix's Wine among %d Lutris games: min %.2f ms, median %.2f ms\n",
                LutrisPrefixes, w.min, w.median);
    std::printf("floor (each game file read whole, stat of the runner): min %.2f ms, median "
                "%.2f ms\n",
                wf.min, wf.median);
    std::printf("ratio of the medians: %.2f\n", w.median / wf.median);
    return 0;
}
