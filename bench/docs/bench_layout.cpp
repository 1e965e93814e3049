// Time to show a document with a 400,000-character run without spaces (a damaged file, a hex
// dump) in the document pane, from loading the file to a finished layout, beside the same
// length of ordinary words shown the same way in the same run. Prints min and median of 5 runs
// for plain text and RTF, and the ratio of the medians. Then the same for an RTF file of 5000
// rows of a table nested eight deep (the deepest the reader takes) beside the same rows in a
// table of its own.
#include "docs/DocumentPane.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextDocument>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Length = 400000;
constexpr int Runs = 5;

QByteArray run()
{
    QByteArray s;
    s.reserve(Length);
    for (int i = 0; i < Length; ++i)
        s += "0123456789abcdef"[i % 16];
    return s;
}

QByteArray words()
{
    QByteArray s;
    s.reserve(Length);
    for (int i = 0; s.size() < Length; ++i)
        s += (i % 3 == 0 ? "option " : i % 3 == 1 ? "texture " : "folder ");
    return s.left(Length);
}

struct Figures
{
    double min, median;
};

// Shows @p path in the pane; milliseconds from the load to the laid-out document.
Figures show(DocumentPane &pane, const QString &path)
{
    std::vector<double> ms;
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        pane.DisplayTxtFName(path);
        QTextDocument *document = pane.RichEdit()->document();
        const QSizeF size = document->documentLayout()->documentSize();
        ms.push_back(timer.nsecsElapsed() / 1e6);
        if (size.height() < 20)
            std::fprintf(stderr, "layout of %s did not wrap\n", qPrintable(path));
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}

bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString base = dir.path() + QLatin1Char('/');
    const QByteArray rtfHead = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 ";
    if (!write(base + "run.txt", run()) || !write(base + "words.txt", words()) ||
        !write(base + "run.rtf", rtfHead + run() + "}") ||
        !write(base + "words.rtf", rtfHead + words() + "}")) {
        std::fprintf(stderr, "cannot write the samples\n");
        return 1;
    }
    DocumentPane pane;
    pane.resize(800, 600);
    pane.show();
    QApplication::processEvents();

    std::printf("layout of %d characters in the document pane, min / median of %d runs\n", Length,
                Runs);
    for (const char *kind : {"txt", "rtf"}) {
        const Figures words = show(pane, base + "words." + kind);
        const Figures run = show(pane, base + "run." + kind);
        std::printf("%s  run without spaces %8.1f / %8.1f ms   words (baseline) %8.1f / %8.1f ms"
                    "   ratio %.2f\n",
                    kind, run.min, run.median, words.min, words.median, run.median / words.median);
    }

    QByteArray nested = "{\\rtf1 ";
    QByteArray flat = "{\\rtf1 ";
    for (int i = 0; i < 5000; ++i) {
        nested += "\\intbl\\itap8 x\\nestcell{\\*\\nesttableprops\\nestrow}";
        flat += "\\intbl x\\cell\\row";
    }
    nested += "\\cell\\row}";
    flat += "}";
    if (!write(base + "nested.rtf", nested) || !write(base + "flat.rtf", flat)) {
        std::fprintf(stderr, "cannot write the samples\n");
        return 1;
    }
    const Figures unnested = show(pane, base + "flat.rtf");
    const Figures deep = show(pane, base + "nested.rtf");
    std::printf("rtf  5000 rows nested 8 deep (%lld KB) %8.1f / %8.1f ms   same rows unnested "
                "(baseline) %8.1f / %8.1f ms   ratio %.2f\n",
                static_cast<long long>(nested.size() / 1024), deep.min, deep.median, unnested.min,
                unnested.median, deep.median / unnested.median);
    return 0;
}
