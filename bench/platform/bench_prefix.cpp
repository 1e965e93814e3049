// The game's Wine prefix searched among 400 Steam Proton prefixes and 40 Lutris prefixes, the
// game in one of them, against the floor of a search that knows the exact spelling of every
// name: one listing of Steam's compatdata folder and a stat of each prefix's four possible
// user.dat paths. Prints the minimum and the median of several runs of both.

#include "platform/WinePrefix.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

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
    for (int i = 0; i < LutrisPrefixes; ++i)
        MakePath(home +
                 QStringLiteral("/Games/game%1/drive_c/users/player/AppData/Roaming").arg(i));
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
    const Figures s = Summary(searchTimes), f = Summary(floorTimes);
    std::printf("prefix search over %d prefixes: min %.1f ms, median %.1f ms\n",
                ProtonPrefixes + LutrisPrefixes, s.min, s.median);
    std::printf("floor (exact names, plain stat): min %.1f ms, median %.1f ms\n", f.min, f.median);
    std::printf("ratio of the medians: %.2f\n", s.median / f.median);
    return 0;
}
