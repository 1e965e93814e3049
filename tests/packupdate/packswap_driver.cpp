// Runs one swap of a pack for the kill loop, killing itself with SIGKILL before step N (the
// old version's own names are its Options, Themes, varimond.ini and what the last update
// installed):
//   packswap_driver swap <pack/> <newRoot/> <oldVersion> <N>   (N = -1: no kill)
//   packswap_driver recover <pack/>                            prints what the recovery did

#include "packupdate/PackSwap.h"
#include "files/Error.h"

#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    try {
        if (args.size() == 6 && args[1] == QLatin1String("swap")) {
            const int killAt = args[5].toInt();
            const packupdate::SwapPlan plan =
                packupdate::MakeSwapPlan(args[2], args[3], args[4], QStringLiteral("varimond"),
                                         QByteArrayList{"Options", "Themes", "varimond.ini"} +
                                             packupdate::InstalledNames(args[2]));
            packupdate::SwapPack(plan, [killAt](int step) {
                if (step == killAt)
                    ::kill(::getpid(), SIGKILL);
            });
            return 0;
        }
        if (args.size() == 3 && args[1] == QLatin1String("recover")) {
            const char *words[] = {"nothing", "finished", "rolled back"};
            std::printf("%s\n", words[int(packupdate::RecoverSwap(args[2]))]);
            return 0;
        }
    } catch (const AppError &e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    std::fprintf(stderr, "usage: packswap_driver swap PACK NEWROOT VERSION N | recover PACK\n");
    return 2;
}
