// How long the tree's filter takes per typed character on a pack of about 20,000 folders
// (bench/common/OptionPack.h), next to the least any filter must do in the same run.
//
// For each prefix of the typed texts it measures, interleaved:
//   (a) the baseline: a plain loop over the folder names held as UTF-8 byte strings that
//       lower-cases each name into a buffer and searches it for the lower-cased text (strstr),
//       counting the matches. No ancestors, no view;
//   (b) the filter as the main window runs it for a keystroke: OptionTreeController::SetFilter
//       (fold, match, hide and expand rows) and then the view's layout and paint
//       (processEvents), with the tree view on an offscreen screen.
// The filter is cleared (Esc) between typed texts, and that is timed as well. Each text is
// typed Rounds times; min and median per keystroke are printed over all of them.
//
// Usage: bench_filter [folder for the generated options]
#include "common/OptionPack.h"
#include "common/TreeWindow.h"
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int Rounds = 5;

double medianOf(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double minOf(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

double msSince(const QElapsedTimer &t)
{
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTemporaryDir temp((args.isEmpty() ? QDir::tempPath() : args.first()) +
                       QStringLiteral("/bench_filter-XXXXXX"));
    if (!temp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    ProgramSettings.ProgramDir = temp.path() + QLatin1Char('/');
    ProgramSettings.ProgramIniFName = QStringLiteral("missing.ini");
    SecondaryWindowSizes sizes;
    LoadProgramIniFile(ProgramSettings, sizes);
    int folders = 0;
    if (!benchpack::generate(ProgramSettings.optionsRoot(), &folders)) {
        std::fprintf(stderr, "cannot write the option folders\n");
        return 1;
    }

    benchpack::TreeWindow window;
    OptionTreeController &controller = window.controller();
    controller.UpdateTreeView();
    QApplication::processEvents();
    std::printf("%d option folders, %d nodes in the tree\n", folders,
                controller.Tree().NodeCount());

    std::vector<std::string> names;
    controller.Tree().ForEach(
        [&names](OptionNode *node) { names.push_back(node->Text().toStdString()); });

    // Broad first letters that match most of the tree, then narrowing; and a text that
    // matches nothing.
    const QStringList texts{QStringLiteral("choice 07"), QStringLiteral("Group 03"),
                            QStringLiteral("teal")};
    std::vector<double> base, filter, clear;
    int baseMatches = 0, filterMatches = 0;
    std::string lowered;
    for (int round = 0; round < Rounds; ++round) {
        for (const QString &text : texts) {
            for (int n = 1; n <= text.size(); ++n) {
                const QString prefix = text.left(n);
                {
                    QElapsedTimer t;
                    t.start();
                    std::string needle = prefix.toStdString();
                    for (char &c : needle)
                        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    int matches = 0;
                    for (const std::string &name : names) {
                        lowered.assign(name);
                        for (char &c : lowered)
                            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                        if (std::strstr(lowered.c_str(), needle.c_str()))
                            ++matches;
                    }
                    base.push_back(msSince(t));
                    baseMatches = matches;
                }
                {
                    QElapsedTimer t;
                    t.start();
                    filterMatches = controller.SetFilter(prefix);
                    QApplication::processEvents(); // layout and paint of the filtered tree
                    filter.push_back(msSince(t));
                }
                if (baseMatches != filterMatches) {
                    std::fprintf(stderr, "\"%s\": the baseline found %d, the filter %d\n",
                                 qPrintable(prefix), baseMatches, filterMatches);
                    return 1;
                }
            }
            QElapsedTimer t;
            t.start();
            controller.ClearFilter();
            QApplication::processEvents();
            clear.push_back(msSince(t));
        }
    }
    std::printf("%zu keystrokes                       min ms  median ms\n", filter.size());
    std::printf("(a) lower-case and strstr each name  %6.2f  %9.2f\n", minOf(base), medianOf(base));
    std::printf("(b) SetFilter + layout and paint     %6.2f  %9.2f   (target: median < 20)\n",
                minOf(filter), medianOf(filter));
    std::printf("    ratio (b)/(a)                    %6.1f  %9.1f\n", minOf(filter) / minOf(base),
                medianOf(filter) / medianOf(base));
    std::printf("Esc (ClearFilter + layout), %zu times %6.2f  %9.2f\n", clear.size(), minOf(clear),
                medianOf(clear));
    return 0;
}
