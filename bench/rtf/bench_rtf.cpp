// Time to read about 1 MB of RTF into a document, beside Qt's own HTML import of the same text
// and formatting and a plain-text load, measured in the same run. Prints the median of 5 runs.
#include "rtf/RtfReader.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTextDocument>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

struct Sample
{
    QByteArray rtf;
    QString html;
    QString plain;
};

// A long ReadMe: paragraphs of text with a few bold, italic and coloured words and escapes.
Sample readMe()
{
    Sample s;
    s.rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}}"
            "{\\colortbl ;\\red192\\green0\\blue0;}\\viewkind4\\uc1\\pard\\f0\\fs20 ";
    s.html = "<html><body style=\"font-family:Arial; font-size:10pt\">";
    for (int i = 0; s.rtf.size() < 1024 * 1024; ++i) {
        const QByteArray n = QByteArray::number(i);
        s.rtf += "Step " + n + ": copy the {\\b textures} into the game folder, then start the "
                 "{\\i launcher} and choose the {\\cf1 option} you want. Caf\\'e9 \\u8364? "
                 "prices apply to everything in this paragraph of ordinary text.\\par\r\n";
        s.html += "<p>Step " + QString::fromLatin1(n) +
                  ": copy the <b>textures</b> into the game folder, then start the <i>launcher</i> "
                  "and choose the <span style=\"color:#c00000\">option</span> you want. "
                  "Caf\u00e9 \u20ac prices apply to everything in this paragraph of ordinary "
                  "text.</p>";
        s.plain += "Step " + QString::fromLatin1(n) +
                   ": copy the textures into the game folder, then start the launcher and choose "
                   "the option you want. Caf\u00e9 \u20ac prices apply to everything in this "
                   "paragraph of ordinary text.\n";
    }
    s.rtf += "}";
    s.html += "</body></html>";
    return s;
}

// The worst shape: the format changes every few characters.
Sample formatChurn()
{
    Sample s;
    s.rtf = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}{\\f1 Times New Roman;}}"
            "{\\colortbl ;\\red255\\green0\\blue0;}";
    s.html = "<html><body>";
    for (int i = 0; s.rtf.size() < 1024 * 1024; ++i) {
        s.rtf += "{\\b ab}{\\i cd}{\\cf1 ef}{\\f1 gh}";
        s.html += "<b>ab</b><i>cd</i><span style=\"color:#ff0000\">ef</span>"
                  "<span style=\"font-family:'Times New Roman'\">gh</span>";
        s.plain += "abcdefgh";
        if (i % 40 == 39) {
            s.rtf += "\\par\r\n";
            s.html += "<br>";
            s.plain += '\n';
        }
    }
    s.rtf += "}";
    s.html += "</body></html>";
    return s;
}

double medianMs(const std::function<void()> &run)
{
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void measure(const char *name, const Sample &s)
{
    const double rtf = medianMs([&] {
        QTextDocument doc;
        platform::readRtf(s.rtf, &doc);
    });
    const double html = medianMs([&] {
        QTextDocument doc;
        doc.setHtml(s.html);
    });
    const double plain = medianMs([&] {
        QTextDocument doc;
        doc.setPlainText(s.plain);
    });
    std::printf("%s (%.0f KB of RTF)\n", name, s.rtf.size() / 1024.0);
    std::printf("  readRtf:                      %8.1f ms\n", rtf);
    std::printf("  baseline setHtml (same text): %8.1f ms\n", html);
    std::printf("  baseline setPlainText:        %8.1f ms\n", plain);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    measure("ReadMe-style document", readMe());
    measure("Format change every 2 characters", formatChurn());
    return 0;
}
