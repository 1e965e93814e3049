// Character sets and code pages: how the bytes of RTF text become Unicode.
#include "rtf/RtfInternal.h"

#include "platform/TextCodec.h"

namespace platform::rtf {

namespace {

// clang-format off
// \fcharset values and their code pages; any other value means the document's ANSI code page.
constexpr std::pair<int, int> kCharsetCodePages[] = {
    {2, kCodePageSymbol}, {77, 10000}, {128, 932}, {129, 949}, {130, 1361}, {134, 936},
    {136, 950}, {161, 1253}, {162, 1254}, {163, 1258}, {177, 1255}, {178, 1256}, {186, 1257},
    {204, 1251}, {222, 874}, {238, 1250}, {254, 437}, {255, 850},
};

// The Wingdings glyphs that documents use for list bullets, as Unicode.
constexpr std::pair<unsigned char, char16_t> kWingdings[] = {
    {0x6C, 0x25CF}, {0x6E, 0x25A0}, {0x71, 0x2751}, {0x76, 0x2756}, {0xA7, 0x25AA},
    {0xD8, 0x27A2}, {0xFC, 0x2713},
};
// clang-format on

// A byte of a Symbol or Wingdings font: the bullets lists use become Unicode bullets, other
// bytes keep their Latin-1 value.
QChar symbolChar(int codePage, unsigned char b)
{
    if (codePage == kCodePageSymbol)
        return b == 0xB7 ? QChar(0x2022) : QChar(b);
    for (const auto &[byte, ch] : kWingdings) {
        if (byte == b)
            return QChar(ch);
    }
    return QChar(b);
}

// Names under which the platform's converters may know a Windows code page. Only code pages
// that documents use are looked up, so a file cannot make the reader open thousands of
// converters; the others read as Windows-1252.
QList<QByteArray> codePageNames(int codePage)
{
    const QByteArray number = QByteArray::number(codePage);
    switch (codePage) {
    case 65001:
        return {"UTF-8"};
    case 932:
        return {"Shift_JIS"};
    case 936:
        return {"GBK"};
    case 949:
        return {"windows-949", "EUC-KR"};
    case 950:
        return {"Big5"};
    case 10000:
        return {"macintosh"};
    case 20866:
        return {"KOI8-R"};
    case 21866:
        return {"KOI8-U"};
    default:
        break;
    }
    if ((codePage >= 1250 && codePage <= 1258) || codePage == 874)
        return {"windows-" + number};
    if (codePage == 437 || codePage == 737 || codePage == 775 ||
        (codePage >= 850 && codePage <= 869))
        return {"IBM" + number, "cp" + number};
    if (codePage >= 28591 && codePage <= 28606)
        return {"ISO-8859-" + QByteArray::number(codePage - 28590)};
    return {};
}

} // namespace

int codePageOfCharset(int charset)
{
    for (const auto &[set, codePage] : kCharsetCodePages) {
        if (set == charset)
            return codePage;
    }
    return 0;
}

int fontCodePage(int codePage, const QString &fontName)
{
    // Wingdings declares the symbol character set, as Symbol does, but its bytes are other glyphs.
    if (codePage == kCodePageSymbol &&
        fontName.contains(QLatin1String("Wingdings"), Qt::CaseInsensitive))
        return kCodePageWingdings;
    return codePage;
}

QString CodePageDecoder::decode(const QByteArray &bytes, int codePage)
{
    if (codePage == kCodePageSymbol || codePage == kCodePageWingdings) {
        QString out;
        out.reserve(bytes.size());
        for (char c : bytes)
            out.append(symbolChar(codePage, static_cast<unsigned char>(c)));
        return out;
    }
    if (codePage != 1252) {
        if (QStringDecoder *decoder = decoderFor(codePage))
            return decoder->decode(bytes);
    }
    return decodeWindows1252(bytes);
}

// Decoders for code pages other than 1252, made once; null when the platform has none.
QStringDecoder *CodePageDecoder::decoderFor(int codePage)
{
    auto it = m_decoders.find(codePage);
    if (it != m_decoders.end())
        return it->second.get();
    std::unique_ptr<QStringDecoder> decoder;
    const QList<QByteArray> names = codePageNames(codePage);
    for (const QByteArray &name : names) {
        auto candidate =
            std::make_unique<QStringDecoder>(name.constData(), QStringDecoder::Flag::Stateless);
        if (candidate->isValid()) {
            decoder = std::move(candidate);
            break;
        }
    }
    QStringDecoder *result = decoder.get();
    m_decoders.emplace(codePage, std::move(decoder));
    return result;
}

} // namespace platform::rtf
