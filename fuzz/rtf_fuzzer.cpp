// libFuzzer target for the RTF reader. Built by scripts/fuzz-rtf.sh with clang, outside the
// normal build. Each input is read into a fresh document, which is then laid out as the rich-text
// box would lay it out, so formats the reader produces are exercised by Qt's layout too.
#include "rtf/RtfReader.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Fonts need a QGuiApplication; the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    (void)platform::isRtf(bytes);
    QTextDocument document;
    platform::readRtf(bytes, &document);
    (void)document.toPlainText();
    document.setTextWidth(300);
    (void)document.size();
    return 0;
}
