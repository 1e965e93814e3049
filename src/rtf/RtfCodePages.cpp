// Character sets, code pages and symbol fonts: how the bytes of RTF text become Unicode.
#include "rtf/RtfInternal.h"

#include "files/TextCodec.h"

namespace platform::rtf {

namespace {

// clang-format off
// \fcharset values and their code pages. 1 (the default character set) and values the format
// does not define mean the document's ANSI code page.
constexpr std::pair<int, int> kCharsetCodePages[] = {
    {0, 1252}, {2, kCodePageSymbol},
    {77, 10000}, {78, 10001}, {79, 10003}, {80, 10008}, {81, 10002}, {83, 10005}, {84, 10004},
    {85, 10006}, {86, 10081}, {87, 10021}, {88, 10029}, {89, 10007},
    {128, 932}, {129, 949}, {130, 1361}, {134, 936}, {136, 950}, {161, 1253}, {162, 1254},
    {163, 1258}, {177, 1255}, {178, 1256}, {179, 1256}, {180, 1256}, {181, 1255}, {186, 1257},
    {204, 1251}, {222, 874}, {238, 1250}, {254, 437}, {255, 850},
};

// The Symbol font's bytes 0x20..0xFF as the Unicode characters it draws; 0 = no glyph.
constexpr char16_t kSymbol[224] = {
    0x0020, 0x0021, 0x2200, 0x0023, 0x2203, 0x0025, 0x0026, 0x220B, 0x0028, 0x0029, 0x2217, 0x002B, 0x002C, 0x2212, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,
    0x2245, 0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399, 0x03D1, 0x039A, 0x039B, 0x039C, 0x039D, 0x039F,
    0x03A0, 0x0398, 0x03A1, 0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396, 0x005B, 0x2234, 0x005D, 0x22A5, 0x005F,
    0x203E, 0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9, 0x03D5, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BF,
    0x03C0, 0x03B8, 0x03C1, 0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6, 0x007B, 0x007C, 0x007D, 0x223C, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0x20AC, 0x03D2, 0x2032, 0x2264, 0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194, 0x2190, 0x2191, 0x2192, 0x2193,
    0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022, 0x00F7, 0x2260, 0x2261, 0x2248, 0x2026, 0x23D0, 0x23AF, 0x21B5,
    0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205, 0x2229, 0x222A, 0x2283, 0x2287, 0x2284, 0x2282, 0x2286, 0x2208, 0x2209,
    0x2220, 0x2207, 0x00AE, 0x00A9, 0x2122, 0x220F, 0x221A, 0x22C5, 0x00AC, 0x2227, 0x2228, 0x21D4, 0x21D0, 0x21D1, 0x21D2, 0x21D3,
    0x25CA, 0x2329, 0x00AE, 0x00A9, 0x2122, 0x2211, 0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3, 0x23A7, 0x23A8, 0x23A9, 0x23AA,
    0, 0x232A, 0x222B, 0x2320, 0x23AE, 0x2321, 0x239E, 0x239F, 0x23A0, 0x23A4, 0x23A5, 0x23A6, 0x23AB, 0x23AC, 0x23AD, 0,
};

// The Wingdings font's bytes 0x20..0xFF as Unicode; 0 = no glyph.
constexpr char32_t kWingdings[224] = {
    0x0020, 0x1F589, 0x2702, 0x2701, 0x1F453, 0x1F56D, 0x1F56E, 0x1F56F, 0x1F57F, 0x2706, 0x1F582, 0x1F583, 0x1F4EA, 0x1F4EB, 0x1F4EC, 0x1F4ED,
    0x1F4C1, 0x1F4C2, 0x1F4C4, 0x1F5CF, 0x1F5D0, 0x1F5C4, 0x231B, 0x1F5AE, 0x1F5B0, 0x1F5B2, 0x1F5B3, 0x1F5B4, 0x1F5AB, 0x1F5AC, 0x2707, 0x270D,
    0x1F58E, 0x270C, 0x1F44C, 0x1F44D, 0x1F44E, 0x261C, 0x261E, 0x261D, 0x261F, 0x1F590, 0x263A, 0x1F610, 0x2639, 0x1F4A3, 0x2620, 0x1F3F3,
    0x1F3F1, 0x2708, 0x263C, 0x1F4A7, 0x2744, 0x1F546, 0x271E, 0x1F548, 0x2720, 0x2721, 0x262A, 0x262F, 0x0950, 0x2638, 0x2648, 0x2649,
    0x264A, 0x264B, 0x264C, 0x264D, 0x264E, 0x264F, 0x2650, 0x2651, 0x2652, 0x2653, 0x1F670, 0x1F675, 0x25CF, 0x1F53E, 0x25A0, 0x25A1,
    0x1F790, 0x2751, 0x2752, 0x2B27, 0x29EB, 0x25C6, 0x2756, 0x2B25, 0x2327, 0x2BB9, 0x2318, 0x1F3F5, 0x1F3F6, 0x1F676, 0x1F677, 0,
    0x24EA, 0x2460, 0x2461, 0x2462, 0x2463, 0x2464, 0x2465, 0x2466, 0x2467, 0x2468, 0x2469, 0x24FF, 0x2776, 0x2777, 0x2778, 0x2779,
    0x277A, 0x277B, 0x277C, 0x277D, 0x277E, 0x277F, 0x1F662, 0x1F660, 0x1F661, 0x1F663, 0x1F65E, 0x1F65C, 0x1F65D, 0x1F65F, 0x00B7, 0x2022,
    0x25AA, 0x26AA, 0x1F786, 0x1F788, 0x25C9, 0x25CE, 0x1F53F, 0x25AA, 0x25FB, 0x1F7C2, 0x2726, 0x2605, 0x2736, 0x2734, 0x2739, 0x2735,
    0x2BD0, 0x2316, 0x27E1, 0x2311, 0x2BD1, 0x272A, 0x2730, 0x1F550, 0x1F551, 0x1F552, 0x1F553, 0x1F554, 0x1F555, 0x1F556, 0x1F557, 0x1F558,
    0x1F559, 0x1F55A, 0x1F55B, 0x2BB0, 0x2BB1, 0x2BB2, 0x2BB3, 0x2BB4, 0x2BB5, 0x2BB6, 0x2BB7, 0x1F66A, 0x1F66B, 0x1F655, 0x1F654, 0x1F657,
    0x1F656, 0x1F650, 0x1F651, 0x1F652, 0x1F653, 0x232B, 0x2326, 0x2B98, 0x27A2, 0x2B99, 0x2B9B, 0x2B88, 0x2B8A, 0x2B89, 0x2B8B, 0x1F868,
    0x1F86A, 0x1F869, 0x1F86B, 0x1F86C, 0x1F86D, 0x1F86F, 0x1F86E, 0x1F878, 0x1F87A, 0x1F879, 0x1F87B, 0x1F87C, 0x1F87D, 0x1F87F, 0x1F87E, 0x21E6,
    0x21E8, 0x21E7, 0x21E9, 0x2B04, 0x21F3, 0x2B00, 0x2B01, 0x2B03, 0x2B02, 0x1F8AC, 0x1F8AD, 0x1F5F6, 0x2714, 0x1F5F7, 0x1F5F9, 0,
};

// The Webdings glyphs documents use as bullets and marks.
constexpr std::pair<unsigned char, char16_t> kWebdings[] = {
    {0x33, 0x25C0}, {0x34, 0x25B6}, {0x35, 0x25B2}, {0x36, 0x25BC}, {0x3C, 0x25A0},
    {0x61, 0x2714}, {0x6E, 0x25CF}, {0x72, 0x2716},
};
// clang-format on

// Zapf Dingbats: bytes 0x21..0x7E are the Dingbats block in order, except for the glyphs
// Unicode placed elsewhere.
constexpr std::pair<unsigned char, char16_t> kZapfLowExceptions[] = {
    {0x25, 0x260E}, {0x2A, 0x261B}, {0x2B, 0x261E}, {0x48, 0x2605}, {0x6C, 0x25CF},
    {0x6E, 0x25A0}, {0x73, 0x25B2}, {0x74, 0x25BC}, {0x75, 0x25C6}, {0x77, 0x25D7},
};

char32_t zapfDingbatsChar(unsigned char b)
{
    if (b >= 0x21 && b <= 0x7E) {
        for (const auto &[byte, ch] : kZapfLowExceptions) {
            if (byte == b)
                return ch;
        }
        return 0x2700 + (b - 0x20);
    }
    if (b >= 0x80 && b <= 0x8D)
        return 0x2768 + (b - 0x80); // ornamental brackets
    if (b >= 0xA1 && b <= 0xA7)
        return 0x2761 + (b - 0xA1);
    switch (b) {
    case 0xA8:
        return 0x2663;
    case 0xA9:
        return 0x2666;
    case 0xAA:
        return 0x2665;
    case 0xAB:
        return 0x2660;
    case 0xD5:
        return 0x2192;
    case 0xD6:
        return 0x2194;
    case 0xD7:
        return 0x2195;
    default:
        break;
    }
    if (b >= 0xAC && b <= 0xB5)
        return 0x2460 + (b - 0xAC); // circled digits
    if (b >= 0xB6 && b <= 0xD4)
        return 0x2776 + (b - 0xB6); // negative circled digits, then the heavy arrow
    if (b >= 0xD8 && b <= 0xEF)
        return 0x2798 + (b - 0xD8);
    if (b >= 0xF1 && b <= 0xFE)
        return 0x27B1 + (b - 0xF1);
    return 0;
}

// The Wingdings 2 glyphs documents use: check marks and boxes, circled numbers, marks.
constexpr std::pair<unsigned char, char16_t> kWingdings2[] = {
    {0x25, 0x2704}, {0x26, 0x2700}, {0x4F, 0x2717}, {0x50, 0x2713}, {0x51, 0x2612}, {0x52, 0x2611},
    {0x53, 0x2612}, {0x54, 0x2612}, {0x5C, 0x203D}, {0x69, 0x24EA}, {0x6A, 0x2460}, {0x6B, 0x2461},
    {0x6C, 0x2462}, {0x6D, 0x2463}, {0x6E, 0x2464}, {0x6F, 0x2465}, {0x70, 0x2466}, {0x71, 0x2467},
    {0x72, 0x2468}, {0x73, 0x2469}, {0x74, 0x24FF}, {0x75, 0x2776}, {0x76, 0x2777}, {0x77, 0x2778},
    {0x78, 0x2779}, {0x79, 0x277A}, {0x7A, 0x277B}, {0x7B, 0x277C}, {0x7C, 0x277D}, {0x7D, 0x277E},
    {0x7E, 0x277F}, {0x80, 0x2609}, {0x81, 0x25CB}, {0x82, 0x263D}, {0x83, 0x263E}, {0x97, 0x25CF},
    {0x98, 0x25CF}, {0xA2, 0x25AA}, {0xA3, 0x25A0}, {0xF8, 0x203B}, {0xF9, 0x2042},
};

// The Wingdings 3 glyphs documents use: arrows and triangles.
constexpr std::pair<unsigned char, char16_t> kWingdings3[] = {
    {0x21, 0x2190}, {0x22, 0x2192}, {0x23, 0x2191}, {0x24, 0x2193}, {0x25, 0x2196}, {0x26, 0x2197},
    {0x27, 0x2199}, {0x28, 0x2198}, {0x2F, 0x21DE}, {0x30, 0x21DF}, {0x34, 0x21E2}, {0x35, 0x21E1},
    {0x36, 0x21E3}, {0x37, 0x21AF}, {0x38, 0x21B5}, {0x44, 0x21C4}, {0x45, 0x21C5}, {0x48, 0x21C7},
    {0x49, 0x21C9}, {0x4A, 0x21C8}, {0x4B, 0x21CA}, {0x4C, 0x21B6}, {0x4D, 0x21B7}, {0x50, 0x21BB},
    {0x51, 0x21BA}, {0x53, 0x2324}, {0x54, 0x2303}, {0x55, 0x2325}, {0x56, 0x2334}, {0x58, 0x21EA},
    {0x70, 0x25B2}, {0x71, 0x25BC}, {0x72, 0x25B3}, {0x73, 0x25BD}, {0x74, 0x25C0}, {0x75, 0x25B6},
    {0x76, 0x25C1}, {0x77, 0x25B7}, {0x78, 0x25E3}, {0x79, 0x25E2}, {0x7A, 0x25E4}, {0x7B, 0x25E5},
    {0x7C, 0x25C2}, {0x7D, 0x25B8},
};

template <size_t N>
char32_t lookUp(const std::pair<unsigned char, char16_t> (&table)[N], unsigned char b)
{
    for (const auto &[byte, ch] : table) {
        if (byte == b)
            return ch;
    }
    return 0;
}

// A byte of a symbol font as the character the font draws; 0 when the font has no glyph there
// (or is a symbol font the reader has no table for).
char32_t symbolChar(int codePage, unsigned char b)
{
    switch (codePage) {
    case kCodePageZapfDingbats:
        return zapfDingbatsChar(b);
    case kCodePageWingdings2:
        return lookUp(kWingdings2, b);
    case kCodePageWingdings3:
        return lookUp(kWingdings3, b);
    default:
        break;
    }
    if (b >= 0x20) {
        if (codePage == kCodePageSymbol)
            return kSymbol[b - 0x20];
        if (codePage == kCodePageWingdings)
            return kWingdings[b - 0x20];
    }
    if (codePage == kCodePageWebdings) {
        for (const auto &[byte, ch] : kWebdings) {
            if (byte == b)
                return ch;
        }
        return b == 0x20 ? 0x20 : 0;
    }
    return 0;
}

// Names under which the platform's converters may know a code page. Only code pages that
// documents use are looked up, so a file cannot make the reader open thousands of converters;
// the others read as Windows-1252.
QList<QByteArray> codePageNames(int codePage)
{
    const QByteArray number = QByteArray::number(codePage);
    switch (codePage) {
    case 65001:
        return {"UTF-8"};
    case 932:
    case 10001: // Mac Japanese: Shift_JIS with a few more symbols
        return {"windows-31j", "Shift_JIS"};
    case 936:
        return {"GBK"};
    case 949:
        return {"windows-949", "EUC-KR"};
    case 950:
        return {"windows-950", "Big5"};
    case 10000:
        return {"macintosh"};
    case 10002:
        return {"Big5"};
    case 10003:
        return {"EUC-KR"};
    case 10006:
        return {"x-mac-greek"};
    case 10007:
        return {"x-mac-cyrillic"};
    case 10008:
        return {"GB2312"};
    case 10029:
        return {"x-mac-centraleurroman"};
    case 10081:
        return {"x-mac-turkish"};
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

bool isSymbolCodePage(int codePage)
{
    return codePage <= kCodePageSymbol && codePage >= kCodePageOtherSymbol;
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

bool isLeadByte(int codePage, unsigned char b)
{
    switch (codePage) {
    case 932:
    case 10001:
        return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950:
    case 10002:
    case 10003:
    case 10008:
        return b >= 0x81 && b <= 0xFE;
    case 1361:
        return (b >= 0x84 && b <= 0xD3) || (b >= 0xD8 && b <= 0xF9);
    default:
        return false;
    }
}

char32_t symbolFontChar(int codePage, char32_t ch)
{
    if (ch >= 0xF020 && ch <= 0xF0FF) {
        // Word writes a symbol font's characters in this private-use block; outside such a
        // font they are the Symbol font's, which is what draws them on Windows.
        const int font = isSymbolCodePage(codePage) ? codePage : kCodePageSymbol;
        const char32_t mapped = symbolChar(font, static_cast<unsigned char>(ch & 0xFF));
        return mapped != 0 ? mapped : ch;
    }
    return ch;
}

int fontCodePage(int codePage, const QString &fontName)
{
    // Wingdings and Webdings declare the symbol character set, as Symbol does, but their bytes
    // are other glyphs. A symbol font named without that character set is one all the same.
    const auto named = [&fontName](const char *name) {
        return fontName.startsWith(QLatin1String(name), Qt::CaseInsensitive);
    };
    if (named("Wingdings 2") || named("Wingdings2"))
        return kCodePageWingdings2;
    if (named("Wingdings 3") || named("Wingdings3"))
        return kCodePageWingdings3;
    if (named("Wingdings"))
        return kCodePageWingdings;
    if (named("Webdings"))
        return kCodePageWebdings;
    if (named("Zapf Dingbats") || named("ZapfDingbats") || named("ITC Zapf Dingbats"))
        return kCodePageZapfDingbats;
    if (fontName.compare(QLatin1String("Symbol"), Qt::CaseInsensitive) == 0)
        return kCodePageSymbol;
    // Another font of the symbol character set (Marlett, MT Extra, a maker's own): the reader
    // has no table for its glyphs, so its characters stay as they are. A nameless one is
    // taken for Symbol, as Windows does.
    if (codePage == kCodePageSymbol && !fontName.trimmed().isEmpty() && !named("Symbol"))
        return kCodePageOtherSymbol;
    return codePage;
}

QString CodePageDecoder::decode(const QByteArray &bytes, int codePage)
{
    if (isSymbolCodePage(codePage)) {
        QString out;
        out.reserve(bytes.size());
        for (char c : bytes) {
            // Bytes without a glyph keep their Latin-1 value.
            const auto b = static_cast<unsigned char>(c);
            const char32_t mapped = symbolChar(codePage, b);
            const char32_t ch = mapped != 0 ? mapped : b;
            out.append(QString::fromUcs4(&ch, 1));
        }
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
