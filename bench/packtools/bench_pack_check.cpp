// How long "varimond pack check" takes on a pack of about 20,000 option folders
// (bench/common/OptionPack.h) next to the program's own scan of the same options folder
// (ScanOptionFolders, as the main window reads the tree). Both run interleaved in the same
// process, at least nine times each; the minimum and median are printed with the check's
// ratio to the scan. The check reads every folder the scan reads and more (every entry's
// kind, links, the descriptors' script and ReadMe names, themes, the settings): the target is
// at most twice the scan.
//
// Usage: bench_pack_check [folder for the generated pack]
#include "common/Figures.h"
#include "common/OptionPack.h"
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "packtools/PackCheck.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTemporaryDir temp;
    const QString pack = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    int folders = 0;
    if (!benchpack::writeFile(pack + QStringLiteral("/varimond.ini"), "[Settings]\nShowThemesMenu=1\n") ||
        !benchpack::generate(pack + QStringLiteral("/Options/"), &folders)) {
        std::fprintf(stderr, "cannot write the pack in %s\n", qPrintable(pack));
        return 1;
    }

    TProgramSettings settings;
    DeriveProgramPaths(settings, pack + QStringLiteral("/varimond"));
    SecondaryWindowSizes sizes;
    LoadProgramIniFile(settings, sizes);
    const QString root = settings.optionsRoot();

    Figures scan, check;
    int options = 0;
    std::size_t problems = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer t;
            t.start();
            OptionTree tree;
            options = ScanOptionFolders(tree, root, nullptr, settings).OptionCount;
            scan.ms.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer t;
            t.start();
            problems = packtools::CheckPack(pack).problems.size();
            check.ms.push_back(double(t.nsecsElapsed()) / 1e6);
        }
    }
    std::printf("pack of %d folders (%d options); the check lists %zu problem(s)\n", folders,
                options, problems);
    std::printf("%-28s %10s %10s\n", "", "min ms", "median ms");
    std::printf("%-28s %10.1f %10.1f\n", "program's scan (baseline)", scan.min(), scan.median());
    std::printf("%-28s %10.1f %10.1f   x%.2f (min)  x%.2f (median)\n", "pack check", check.min(),
                check.median(), check.min() / scan.min(), check.median() / scan.median());
    return 0;
}
