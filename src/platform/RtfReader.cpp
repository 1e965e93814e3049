// Rich Text Format reader: turns the RTF that word processors write into a QTextDocument.
//
// The reader is a single pass over the bytes with an explicit stack of group states, so deep
// nesting cannot exhaust the call stack. Text is collected into runs of equal formatting and
// each run goes into the document with one insertText call.
#include "platform/RtfReader.h"

#include "platform/TextCodec.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QList>
#include <QSet>
#include <QStringDecoder>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

// Group states beyond this depth are not pushed; the braces are still counted.
constexpr int kMaxGroupDepth = 10000;
// Numeric parameters saturate here; every keyword clamps further to its own range.
constexpr int kMaxParam = 1000000000;
constexpr int kMaxFonts = 65536;
constexpr int kMaxColors = 65536;
constexpr int kMaxFields = 65536;
constexpr int kMaxFieldInstruction = 4096;
constexpr int kMaxFontName = 256;
constexpr int kMaxTabStops = 64;
constexpr int kMaxFontVariants = 256;
// Twips (1/1440 inch) to pixels at 96 per inch.
constexpr double kTwipsPerPixel = 15.0;
constexpr int kMaxTwips = 1440 * 22; // wider than any page
// Code page markers for fonts whose bytes are symbols rather than letters.
constexpr int kCodePageSymbol = -1;
constexpr int kCodePageWingdings = -2;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int clampInt(long long v, long long lo, long long hi)
{
    return static_cast<int>(std::max(lo, std::min(hi, v)));
}

enum class Dest : unsigned char {
    Text,       // document text
    Skip,       // read and dropped
    FontTable,  // \fonttbl entries
    ColorTable, // \colortbl entries
    FieldInst,  // a field's instruction, kept to find hyperlinks
};

struct CharState
{
    int font = -1; // font table number; -1 = the \deff font
    int size = 24; // half-points
    int fg = 0;    // colour table index; 0 = automatic
    int cb = 0;    // \cb / \chcbpat background
    int hl = 0;    // \highlight background (wins over \cb)
    int link = -1; // field whose result this text is, when it is a hyperlink
    unsigned char underline = QTextCharFormat::NoUnderline;
    unsigned char vertical = QTextCharFormat::AlignNormal;
    unsigned char caps = QFont::MixedCase;
    bool bold = false;
    bool italic = false;
    bool strike = false;
    bool hidden = false;

    bool operator==(const CharState &o) const
    {
        return font == o.font && size == o.size && fg == o.fg && cb == o.cb && hl == o.hl &&
               link == o.link && underline == o.underline && vertical == o.vertical &&
               caps == o.caps && bold == o.bold && italic == o.italic && strike == o.strike &&
               hidden == o.hidden;
    }
    bool operator!=(const CharState &o) const { return !(*this == o); }
};

struct CharStateHash
{
    size_t operator()(const CharState &c) const
    {
        size_t h = std::hash<int>()(c.font);
        for (int v : {c.size, c.fg, c.cb, c.hl, c.link,
                      c.underline | c.vertical << 4 | c.caps << 8 | c.bold << 12 | c.italic << 13 |
                          c.strike << 14 | c.hidden << 15})
            h = h * 31 + std::hash<int>()(v);
        return h;
    }
};

struct ParaState
{
    Qt::Alignment align = Qt::AlignLeft;
    int li = 0, ri = 0, fi = 0, sb = 0, sa = 0; // twips
    int sl = 0;                                 // line spacing, twips or 240ths when slmult
    bool slmult = false;
    QTextOption::TabType nextTabType = QTextOption::LeftTab;
    QList<QTextOption::Tab> tabs;
};

struct GroupState
{
    CharState chr;
    ParaState para;
    int uc = 1;     // fallback characters after \uN
    int field = -1; // the \field this group belongs to
    Dest dest = Dest::Text;
    bool starred = false; // \* seen: an unknown destination that follows is skipped
};

struct FontEntry
{
    QString name;
    int codePage = 0; // 0 = the document's \ansicpg
    QFont::StyleHint hint = QFont::AnyStyle;
    bool fixedPitch = false;
};

struct Field
{
    QString instruction;
    QString href;
};

// clang-format off
enum class Kw {
    // destinations
    SkipDest, FontTable, ColorTable, Field, FldInst, FldRslt, TextDest,
    // document
    Ansi, AnsiCpg, Mac, Pc, Pca, Deff, DefTab,
    // font table
    F, FCharset, Cpg, FFamily, Fprq,
    // colour table
    Red, Green, Blue,
    // character formatting
    Plain, B, I, Ul, UlStyle, UlNone, Strike, Fs, Cf, Cb, Highlight, V, Super, Sub, NoSuperSub,
    Up, Dn, Caps, SCaps,
    // paragraph formatting
    Pard, Ql, Qc, Qr, Qj, Li, Ri, Fi, Sb, Sa, Sl, SlMult, Tx, TabKind,
    // breaks and characters
    Par, Line, Tab, Cell, Row, Char, U, Uc, Bin,
};

struct KwInfo
{
    Kw kw;
    int value = 0; // a character, a style or a family, depending on kw
};

struct KwEntry
{
    const char *name;
    KwInfo info;
};

const KwEntry kKeywords[] = {
    {"fonttbl", {Kw::FontTable}}, {"colortbl", {Kw::ColorTable}}, {"field", {Kw::Field}},
    {"fldinst", {Kw::FldInst}}, {"fldrslt", {Kw::FldRslt}},
    // The numbers or bullets of list items, written for readers that know no lists.
    {"listtext", {Kw::TextDest}}, {"pntext", {Kw::TextDest}},

    {"ansi", {Kw::Ansi}}, {"ansicpg", {Kw::AnsiCpg}}, {"mac", {Kw::Mac}}, {"pc", {Kw::Pc}},
    {"pca", {Kw::Pca}}, {"deff", {Kw::Deff}}, {"deftab", {Kw::DefTab}},

    {"f", {Kw::F}}, {"fcharset", {Kw::FCharset}}, {"cpg", {Kw::Cpg}}, {"fprq", {Kw::Fprq}},
    {"fnil", {Kw::FFamily, QFont::AnyStyle}}, {"froman", {Kw::FFamily, QFont::Serif}},
    {"fswiss", {Kw::FFamily, QFont::SansSerif}}, {"fmodern", {Kw::FFamily, QFont::TypeWriter}},
    {"fscript", {Kw::FFamily, QFont::Cursive}}, {"fdecor", {Kw::FFamily, QFont::Decorative}},
    {"ftech", {Kw::FFamily, QFont::AnyStyle}}, {"fbidi", {Kw::FFamily, QFont::AnyStyle}},

    {"red", {Kw::Red}}, {"green", {Kw::Green}}, {"blue", {Kw::Blue}},

    {"plain", {Kw::Plain}}, {"b", {Kw::B}}, {"i", {Kw::I}}, {"ul", {Kw::Ul}},
    {"ulnone", {Kw::UlNone}},
    {"uldb", {Kw::UlStyle, QTextCharFormat::SingleUnderline}},
    {"ulth", {Kw::UlStyle, QTextCharFormat::SingleUnderline}},
    {"ulw", {Kw::UlStyle, QTextCharFormat::SingleUnderline}},
    {"uld", {Kw::UlStyle, QTextCharFormat::DotLine}},
    {"ulthd", {Kw::UlStyle, QTextCharFormat::DotLine}},
    {"uldash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"uldashd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"uldashdd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulldash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthdash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthdashd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthdashdd", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulthldash", {Kw::UlStyle, QTextCharFormat::DashUnderline}},
    {"ulwave", {Kw::UlStyle, QTextCharFormat::WaveUnderline}},
    {"ulhwave", {Kw::UlStyle, QTextCharFormat::WaveUnderline}},
    {"ululdbwave", {Kw::UlStyle, QTextCharFormat::WaveUnderline}},
    {"strike", {Kw::Strike}}, {"striked", {Kw::Strike}}, {"fs", {Kw::Fs}}, {"cf", {Kw::Cf}},
    {"cb", {Kw::Cb}}, {"chcbpat", {Kw::Cb}}, {"highlight", {Kw::Highlight}}, {"v", {Kw::V}},
    {"super", {Kw::Super}}, {"sub", {Kw::Sub}}, {"nosupersub", {Kw::NoSuperSub}},
    {"up", {Kw::Up}}, {"dn", {Kw::Dn}}, {"caps", {Kw::Caps}}, {"scaps", {Kw::SCaps}},

    {"pard", {Kw::Pard}}, {"ql", {Kw::Ql}}, {"qc", {Kw::Qc}}, {"qr", {Kw::Qr}}, {"qj", {Kw::Qj}},
    {"li", {Kw::Li}}, {"lin", {Kw::Li}}, {"ri", {Kw::Ri}}, {"rin", {Kw::Ri}}, {"fi", {Kw::Fi}},
    {"sb", {Kw::Sb}}, {"sa", {Kw::Sa}}, {"sl", {Kw::Sl}}, {"slmult", {Kw::SlMult}},
    {"tx", {Kw::Tx}}, {"tb", {Kw::Tx}},
    {"tqr", {Kw::TabKind, QTextOption::RightTab}}, {"tqc", {Kw::TabKind, QTextOption::CenterTab}},
    {"tqdec", {Kw::TabKind, QTextOption::DelimiterTab}},

    {"par", {Kw::Par}}, {"sect", {Kw::Par}}, {"page", {Kw::Par}}, {"line", {Kw::Line}},
    {"tab", {Kw::Tab}}, {"cell", {Kw::Cell}}, {"nestcell", {Kw::Cell}}, {"row", {Kw::Row}},
    {"nestrow", {Kw::Row}},
    {"emdash", {Kw::Char, 0x2014}}, {"endash", {Kw::Char, 0x2013}},
    {"emspace", {Kw::Char, 0x2003}}, {"enspace", {Kw::Char, 0x2002}},
    {"qmspace", {Kw::Char, 0x2005}}, {"bullet", {Kw::Char, 0x2022}},
    {"lquote", {Kw::Char, 0x2018}}, {"rquote", {Kw::Char, 0x2019}},
    {"ldblquote", {Kw::Char, 0x201C}}, {"rdblquote", {Kw::Char, 0x201D}},
    {"zwbo", {Kw::Char, 0x200B}}, {"zwnj", {Kw::Char, 0x200C}}, {"zwj", {Kw::Char, 0x200D}},
    {"ltrmark", {Kw::Char, 0x200E}}, {"rtlmark", {Kw::Char, 0x200F}},
    {"u", {Kw::U}}, {"uc", {Kw::Uc}}, {"bin", {Kw::Bin}},
};

// Destinations whose content is not text: metadata, pictures, objects, headers and footers,
// footnotes and comments, tables of styles and lists, XML and theme data, drawing shapes.
const char *const kSkippedDestinations[] = {
    "info", "stylesheet", "pict", "header", "headerl", "headerr", "headerf", "footer", "footerl",
    "footerr", "footerf", "footnote", "object", "objdata", "objclass", "objname", "themedata",
    "colorschememapping", "latentstyles", "datastore", "xmlnstbl", "listtable",
    "listoverridetable", "rsidtbl", "generator", "filetbl", "revtbl", "pgdsctbl", "xe", "tc",
    "tcn", "rxe", "bxe", "txe", "pxe", "annotation", "atnid", "atnauthor", "atndate", "atnref",
    "atnparent", "atnicn", "atrfstart", "atrfend", "author", "operator", "title", "subject",
    "keywords", "comment", "doccomm", "company", "category", "manager", "hlinkbase", "buptim",
    "creatim", "printim", "revtim", "template", "userprops", "docvar", "private", "fchars",
    "lchars", "background", "shp", "shpinst", "shprslt", "shppict", "nonshppict", "do",
    "bkmkstart", "bkmkend", "pn", "pntxta", "pntxtb", "ftnsep", "ftnsepc", "ftncn", "aftnsep",
    "aftnsepc", "aftncn", "mmathPr", "wgrffmtfilter", "passwordhash", "protusertbl",
    "nonesttables", "falt", "panose", "fname", "fontemb", "fontfile", "pgptbl", "listpicture",
    "blipuid", "sv", "sn", "sp", "macpict", "ud", "xmlopen", "xmlclose", "xmlattrname",
    "xmlattrvalue", "oleclsid", "factoidname", "mmath", "datafield", "formfield", "ffname",
    "ffdeftext", "ffformat", "ffhelptext", "ffstattext", "ffentrymcr", "ffexitmcr", "ffl",
    "docfmt", "pgdsc", "leveltext", "levelnumbers", "list", "listname", "listoverride", "tcelld",
};
// clang-format on

const std::unordered_map<std::string_view, KwInfo> &keywords()
{
    static const std::unordered_map<std::string_view, KwInfo> table = [] {
        std::unordered_map<std::string_view, KwInfo> t;
        for (const char *name : kSkippedDestinations)
            t.emplace(name, KwInfo{Kw::SkipDest});
        for (const KwEntry &entry : kKeywords)
            t.emplace(entry.name, entry.info);
        return t;
    }();
    return table;
}

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

int codePageOfCharset(int charset)
{
    for (const auto &[set, codePage] : kCharsetCodePages) {
        if (set == charset)
            return codePage;
    }
    return 0;
}

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

class Parser
{
public:
    Parser(const QByteArray &data, QTextDocument *document)
        : m_p(data.constData()), m_end(data.constData() + data.size()), m_document(document),
          m_cursor(document)
    {
        m_stack.reserve(64);
        m_stack.emplace_back();
    }

    void run()
    {
        skipLeadingBlanks();
        m_cursor.beginEditBlock();
        while (m_p < m_end) {
            const char c = *m_p;
            if (c == '{') {
                ++m_p;
                openGroup();
            } else if (c == '}') {
                ++m_p;
                closeGroup();
            } else if (c == '\\') {
                ++m_p;
                controlSequence();
            } else {
                text();
            }
        }
        finish();
        m_cursor.endEditBlock();
    }

private:
    GroupState &state() { return m_stack.back(); }

    bool skipping() const { return m_stack.back().dest == Dest::Skip || m_overflowSkip > 0; }

    void skipLeadingBlanks()
    {
        if (m_end - m_p >= 3 && static_cast<unsigned char>(m_p[0]) == 0xEF &&
            static_cast<unsigned char>(m_p[1]) == 0xBB &&
            static_cast<unsigned char>(m_p[2]) == 0xBF)
            m_p += 3;
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\r' || *m_p == '\n'))
            ++m_p;
    }

    // ---- groups ----

    void openGroup()
    {
        flushBytes();
        m_fallbackToSkip = 0;
        if (m_overflow > 0 || static_cast<int>(m_stack.size()) >= kMaxGroupDepth) {
            ++m_overflow;
            return;
        }
        GroupState copy = m_stack.back();
        copy.starred = false;
        m_stack.push_back(std::move(copy));
    }

    void closeGroup()
    {
        flushBytes();
        m_fallbackToSkip = 0;
        if (m_overflow > 0) {
            if (m_overflowSkip == m_overflow)
                m_overflowSkip = 0;
            --m_overflow;
            return;
        }
        if (state().dest == Dest::FontTable)
            commitFont();
        // An unbalanced '}' at the bottom closes nothing; reading goes on with the base state.
        if (m_stack.size() > 1)
            m_stack.pop_back();
    }

    // A destination keyword: in a pushed group it scopes to that group; in groups beyond the
    // depth limit only skipping can be scoped, by remembering the brace level it began at.
    void setDest(Dest dest)
    {
        if (m_overflow > 0) {
            if (dest == Dest::Skip && m_overflowSkip == 0)
                m_overflowSkip = m_overflow;
            return;
        }
        state().dest = dest;
    }

    // ---- text ----

    void text()
    {
        const char c = *m_p;
        if (c == '\r' || c == '\n') {
            ++m_p;
            return;
        }
        if (skipping()) {
            while (m_p < m_end && *m_p != '{' && *m_p != '}' && *m_p != '\\')
                ++m_p;
            return;
        }
        const Dest dest = state().dest;
        if (m_fallbackToSkip == 0 && (dest == Dest::Text || dest == Dest::FieldInst)) {
            const char *start = m_p;
            while (m_p < m_end) {
                const auto b = static_cast<unsigned char>(*m_p);
                if (b < 0x20 || b == '{' || b == '}' || b == '\\')
                    break;
                ++m_p;
            }
            if (m_p > start) {
                m_bytes.append(start, m_p - start);
                return;
            }
        }
        ++m_p;
        byte(static_cast<unsigned char>(c));
    }

    // One byte of text in the current code page (a literal byte or an \'hh escape).
    void byte(unsigned char b)
    {
        if (m_fallbackToSkip > 0) {
            --m_fallbackToSkip;
            return;
        }
        if (skipping())
            return;
        if (b < 0x20 && b != '\t')
            return;
        const Dest dest = state().dest;
        if (b == ';' && (dest == Dest::FontTable || dest == Dest::ColorTable)) {
            flushBytes();
            if (dest == Dest::FontTable)
                commitFont();
            else
                commitColor();
            return;
        }
        if (dest == Dest::ColorTable)
            return;
        m_bytes.append(static_cast<char>(b));
    }

    int currentCodePage() const
    {
        const GroupState &s = m_stack.back();
        int codePage = 0;
        if (s.dest == Dest::FontTable) {
            codePage = m_fontBuild.codePage;
        } else {
            const auto it = m_fonts.constFind(s.chr.font < 0 ? m_defaultFont : s.chr.font);
            if (it != m_fonts.constEnd())
                codePage = it->codePage;
        }
        return codePage == 0 ? m_ansiCodePage : codePage;
    }

    QString decode(const QByteArray &bytes, int codePage)
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
    QStringDecoder *decoderFor(int codePage)
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

    void flushBytes()
    {
        if (m_bytes.isEmpty())
            return;
        const QString decoded = decode(m_bytes, currentCodePage());
        m_bytes.clear();
        emitText(decoded);
    }

    // Characters for the current destination.
    void emitText(const QString &s)
    {
        if (m_highSurrogate) {
            m_highSurrogate = 0;
            emitText(QString(QChar(QChar::ReplacementCharacter)));
        }
        GroupState &st = state();
        switch (st.dest) {
        case Dest::Text:
            if (st.chr.hidden)
                return;
            if (m_pendingBreak)
                insertBlock();
            if (m_pendingCell) {
                m_pendingCell = false;
                appendRun(QStringLiteral("\t"));
            }
            appendRun(s);
            m_blockPara = st.para;
            break;
        case Dest::FontTable:
            if (m_fontBuild.name.size() < kMaxFontName)
                m_fontBuild.name += s;
            break;
        case Dest::FieldInst:
            if (st.field >= 0 && m_fields[st.field].instruction.size() < kMaxFieldInstruction)
                m_fields[st.field].instruction += s;
            break;
        case Dest::ColorTable:
        case Dest::Skip:
            break;
        }
    }

    void emitChar(char32_t ch)
    {
        flushBytes();
        if (skipping())
            return;
        emitText(QString::fromUcs4(&ch, 1));
    }

    void unicode(long long value)
    {
        flushBytes();
        if (!skipping()) {
            if (value < 0)
                value += 65536;
            if (value >= 0xD800 && value <= 0xDBFF) {
                if (m_highSurrogate)
                    emitText(QString(QChar(QChar::ReplacementCharacter)));
                m_highSurrogate = static_cast<char16_t>(value);
            } else if (value >= 0xDC00 && value <= 0xDFFF) {
                if (m_highSurrogate) {
                    const QChar pair[2] = {QChar(m_highSurrogate),
                                           QChar(static_cast<char16_t>(value))};
                    m_highSurrogate = 0;
                    emitText(QString(pair, 2));
                } else {
                    emitText(QString(QChar(QChar::ReplacementCharacter)));
                }
            } else if (value == '\t') {
                emitText(QStringLiteral("\t"));
            } else if (value > 0x1F && value <= 0x10FFFF) {
                const auto ch = static_cast<char32_t>(value);
                emitText(QString::fromUcs4(&ch, 1));
            } else if (value > 0x10FFFF || value < 0) {
                emitText(QString(QChar(QChar::ReplacementCharacter)));
            }
        }
        m_fallbackToSkip = state().uc;
    }

    // ---- document ----

    void appendRun(const QString &s)
    {
        if (m_run.isEmpty())
            m_runState = state().chr;
        else if (m_runState != state().chr) {
            flushRun();
            m_runState = state().chr;
        }
        m_run += s;
    }

    void flushRun()
    {
        if (m_run.isEmpty())
            return;
        // Characters the document would take for block or frame boundaries stay text.
        for (QChar &ch : m_run) {
            const char16_t u = ch.unicode();
            if (u == QChar::ParagraphSeparator)
                ch = QChar(QChar::LineSeparator);
            else if (u == 0xFDD0 || u == 0xFDD1 || u == QChar::ObjectReplacementCharacter ||
                     u == '\n' || u == '\r' || u == 0)
                ch = QChar(QChar::ReplacementCharacter);
        }
        m_cursor.insertText(m_run, charFormat(m_runState));
        m_run.clear();
    }

    void insertBlock()
    {
        flushRun();
        m_cursor.insertBlock(QTextBlockFormat(), charFormat(state().chr));
        m_pendingBreak = false;
    }

    // \par: the paragraph properties in force now belong to the paragraph it ends. The new
    // block is made only when something follows, so the final \par adds no empty line.
    void paragraphBreak()
    {
        flushBytes();
        if (skipping() || state().dest != Dest::Text)
            return;
        if (m_pendingCell) {
            m_pendingCell = false;
            if (m_pendingBreak)
                insertBlock();
            appendRun(QStringLiteral("\t"));
        }
        if (m_pendingBreak)
            insertBlock();
        flushRun();
        m_cursor.setBlockFormat(blockFormat(state().para));
        m_pendingBreak = true;
    }

    void finish()
    {
        flushBytes();
        if (m_pendingBreak)
            return;
        flushRun();
        m_cursor.setBlockFormat(blockFormat(m_blockPara));
    }

    // Formats are made once per distinct state: the document hashes and compares each format
    // it is given, and a shared format keeps its hash.
    QTextCharFormat charFormat(const CharState &c)
    {
        const auto cached = m_formats.find(c);
        if (cached != m_formats.end())
            return cached->second;
        if (m_formats.size() >= 4096)
            m_formats.clear();
        QTextCharFormat f;
        const auto [fontNumber, size] = fontVariant(c.font < 0 ? m_defaultFont : c.font, c.size);
        const auto font = m_fonts.constFind(fontNumber);
        if (font != m_fonts.constEnd() && !font->name.isEmpty() && font->codePage >= 0) {
            f.setFontFamilies(QStringList{font->name});
            f.setFontStyleHint(font->hint);
            if (font->fixedPitch)
                f.setFontFixedPitch(true);
        }
        f.setFontPointSize(size / 2.0);
        f.setFontWeight(c.bold ? QFont::Bold : QFont::Normal);
        f.setFontItalic(c.italic);
        f.setUnderlineStyle(static_cast<QTextCharFormat::UnderlineStyle>(c.underline));
        f.setFontStrikeOut(c.strike);
        if (c.vertical != QTextCharFormat::AlignNormal)
            f.setVerticalAlignment(static_cast<QTextCharFormat::VerticalAlignment>(c.vertical));
        if (c.caps != QFont::MixedCase)
            f.setFontCapitalization(static_cast<QFont::Capitalization>(c.caps));
        const QColor fg = color(c.fg);
        if (fg.isValid())
            f.setForeground(fg);
        const QColor bg = color(c.hl > 0 ? c.hl : c.cb);
        if (bg.isValid())
            f.setBackground(bg);
        if (c.link >= 0) {
            f.setAnchor(true);
            f.setAnchorHref(m_fields[c.link].href);
        }
        m_formats.emplace(c, f);
        return f;
    }

    // Every distinct font and size costs the layout a font engine, and a hostile file could ask
    // for thousands. Past kMaxFontVariants a new combination takes the nearest one in use: the
    // same font with the closest size, else the closest size of any font.
    std::pair<int, int> fontVariant(int font, int size)
    {
        const quint64 key = quint64(quint32(font)) << 32 | quint32(size);
        if (m_fontVariants.contains(key))
            return {font, size};
        if (m_fontVariants.size() < kMaxFontVariants) {
            m_fontVariants.insert(key);
            return {font, size};
        }
        std::pair<int, int> best{font, size};
        long long bestDistance = -1;
        for (const quint64 used : std::as_const(m_fontVariants)) {
            const int usedFont = static_cast<int>(used >> 32);
            const int usedSize = static_cast<int>(used & 0xFFFFFFFFu);
            const long long distance =
                (usedFont == font ? 0 : 1000000LL) + std::abs(usedSize - size);
            if (bestDistance < 0 || distance < bestDistance) {
                bestDistance = distance;
                best = {usedFont, usedSize};
            }
        }
        return best;
    }

    QColor color(int index) const
    {
        if (index <= 0 || index >= static_cast<int>(m_colors.size()))
            return {};
        return m_colors[index];
    }

    static QTextBlockFormat blockFormat(const ParaState &p)
    {
        QTextBlockFormat f;
        f.setAlignment(p.align);
        const int left = std::max(0, p.li);
        const int indent = std::max(-left, p.fi);
        f.setLeftMargin(left / kTwipsPerPixel);
        f.setRightMargin(std::max(0, p.ri) / kTwipsPerPixel);
        f.setTextIndent(indent / kTwipsPerPixel);
        f.setTopMargin(std::max(0, p.sb) / kTwipsPerPixel);
        f.setBottomMargin(std::max(0, p.sa) / kTwipsPerPixel);
        if (p.sl != 0) {
            if (p.slmult && p.sl > 0)
                f.setLineHeight(std::clamp(p.sl * 100.0 / 240.0, 50.0, 500.0),
                                QTextBlockFormat::ProportionalHeight);
            else if (p.sl > 0)
                f.setLineHeight(p.sl / kTwipsPerPixel, QTextBlockFormat::MinimumHeight);
            else
                f.setLineHeight(-p.sl / kTwipsPerPixel, QTextBlockFormat::FixedHeight);
        }
        // RTF measures tab stops from the page margin, the layout from where the first line
        // starts. A hanging indent is also a tab stop, so a list item's text after its
        // bullet and tab lines up with the lines below.
        const double lineStart = (left + indent) / kTwipsPerPixel;
        QList<QTextOption::Tab> tabs;
        if (indent < 0)
            tabs.append(QTextOption::Tab(-indent / kTwipsPerPixel, QTextOption::LeftTab));
        for (QTextOption::Tab tab : p.tabs) {
            tab.position -= lineStart;
            if (tab.position > 0)
                tabs.append(tab);
        }
        std::sort(tabs.begin(), tabs.end(),
                  [](const QTextOption::Tab &a, const QTextOption::Tab &b) {
                      return a.position < b.position;
                  });
        if (!tabs.isEmpty())
            f.setTabPositions(tabs);
        return f;
    }

    // ---- tables ----

    void commitFont()
    {
        if (!m_fontBuild.active)
            return;
        m_fontBuild.active = false;
        if (m_fonts.size() >= kMaxFonts && !m_fonts.contains(m_fontBuild.number))
            return;
        FontEntry entry;
        entry.name = m_fontBuild.name.trimmed();
        entry.codePage = m_fontBuild.codePage;
        entry.hint = m_fontBuild.hint;
        entry.fixedPitch = m_fontBuild.fixedPitch;
        if (entry.codePage == kCodePageSymbol &&
            entry.name.contains(QLatin1String("Wingdings"), Qt::CaseInsensitive))
            entry.codePage = kCodePageWingdings;
        m_fonts.insert(m_fontBuild.number, entry);
    }

    void commitColor()
    {
        if (static_cast<int>(m_colors.size()) < kMaxColors)
            m_colors.push_back(m_colorBuild.any
                                   ? QColor(m_colorBuild.r, m_colorBuild.g, m_colorBuild.b)
                                   : QColor());
        m_colorBuild = ColorBuild();
    }

    // ---- control words ----

    void controlSequence()
    {
        if (m_p >= m_end)
            return;
        const char c = *m_p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            controlWord();
            return;
        }
        ++m_p;
        if (c == '\'') {
            int value = 0;
            int digits = 0;
            while (digits < 2 && m_p < m_end) {
                const int d = hexValue(*m_p);
                if (d < 0)
                    break;
                value = value * 16 + d;
                ++digits;
                ++m_p;
            }
            if (digits > 0)
                byte(static_cast<unsigned char>(value));
            return;
        }
        if (m_fallbackToSkip > 0) {
            --m_fallbackToSkip;
            return;
        }
        switch (c) {
        case '\\':
        case '{':
        case '}':
            byte(static_cast<unsigned char>(c));
            break;
        case '~':
            emitChar(0x00A0);
            break;
        case '_':
            emitChar(0x2011);
            break;
        case '-':
            break; // optional hyphen: shown only where a line breaks, so not here
        case '*':
            if (m_overflow == 0)
                state().starred = true;
            else
                m_overflowStarred = true;
            break;
        case '\r':
        case '\n':
            paragraphBreak();
            break;
        case '\t':
            emitChar('\t');
            break;
        default:
            break; // \: \| and unknown symbols
        }
    }

    void controlWord()
    {
        char name[33];
        int length = 0;
        while (m_p < m_end && ((*m_p >= 'a' && *m_p <= 'z') || (*m_p >= 'A' && *m_p <= 'Z'))) {
            if (length < 32)
                name[length] = *m_p;
            ++length;
            ++m_p;
        }
        const bool tooLong = length > 32;
        length = std::min(length, 32);
        bool hasParam = false;
        long long param = 0;
        bool negative = false;
        if (m_p + 1 < m_end && *m_p == '-' && m_p[1] >= '0' && m_p[1] <= '9') {
            negative = true;
            ++m_p;
        }
        while (m_p < m_end && *m_p >= '0' && *m_p <= '9') {
            hasParam = true;
            if (param < kMaxParam)
                param = param * 10 + (*m_p - '0');
            ++m_p;
        }
        param = std::min<long long>(param, kMaxParam);
        if (negative)
            param = -param;
        if (m_p < m_end && *m_p == ' ')
            ++m_p;
        if (tooLong)
            return;

        const std::string_view word(name, static_cast<size_t>(length));
        const auto &table = keywords();
        const auto it = table.find(word);
        if (it != table.end() && it->second.kw == Kw::Bin) {
            // Binary data is skipped whole, whatever the destination.
            const long long n = hasParam ? std::max<long long>(0, param) : 0;
            m_p += std::min<long long>(n, m_end - m_p);
            return;
        }
        flushBytes();
        if (m_fallbackToSkip > 0) {
            --m_fallbackToSkip;
            return;
        }
        const bool starred = m_overflow == 0 ? state().starred : m_overflowStarred;
        state().starred = false;
        m_overflowStarred = false;
        if (skipping())
            return;
        if (it == table.end()) {
            if (starred)
                setDest(Dest::Skip);
            return;
        }
        const KwInfo info = it->second;
        if (starred && info.kw != Kw::FldInst) {
            setDest(Dest::Skip);
            return;
        }
        apply(info, hasParam, param);
    }

    // clang-format off
    void apply(const KwInfo &info, bool hasParam, long long param)
    {
        GroupState &st = state();
        CharState &chr = st.chr;
        ParaState &para = st.para;
        const bool on = !hasParam || param != 0;

        // Inside the tables a few keywords describe the entry; everything else is ignored.
        if (st.dest == Dest::FontTable) {
            switch (info.kw) {
            case Kw::F:
                commitFont();
                m_fontBuild = FontBuild();
                m_fontBuild.active = true;
                m_fontBuild.number = clampInt(param, 0, kMaxParam);
                return;
            case Kw::FCharset:
                if (!m_fontBuild.explicitCodePage)
                    m_fontBuild.codePage = codePageOfCharset(clampInt(param, 0, 255));
                return;
            case Kw::Cpg:
                if (param > 0 && param < 100000) {
                    m_fontBuild.codePage = static_cast<int>(param);
                    m_fontBuild.explicitCodePage = true;
                }
                return;
            case Kw::FFamily: m_fontBuild.hint = static_cast<QFont::StyleHint>(info.value); return;
            case Kw::Fprq: m_fontBuild.fixedPitch = param == 1; return;
            case Kw::SkipDest: setDest(Dest::Skip); return;
            case Kw::U: unicode(param); return;
            case Kw::Uc: st.uc = clampInt(param, 0, 16); return;
            default: return;
            }
        }
        if (st.dest == Dest::ColorTable) {
            switch (info.kw) {
            case Kw::Red: m_colorBuild.r = clampInt(param, 0, 255); m_colorBuild.any = true; return;
            case Kw::Green: m_colorBuild.g = clampInt(param, 0, 255); m_colorBuild.any = true; return;
            case Kw::Blue: m_colorBuild.b = clampInt(param, 0, 255); m_colorBuild.any = true; return;
            case Kw::SkipDest: setDest(Dest::Skip); return;
            default: return;
            }
        }

        switch (info.kw) {
        case Kw::SkipDest: setDest(Dest::Skip); break;
        case Kw::FontTable: m_fontBuild = FontBuild(); setDest(Dest::FontTable); break;
        case Kw::ColorTable: m_colorBuild = ColorBuild(); setDest(Dest::ColorTable); break;
        case Kw::Field:
            if (m_overflow == 0 && static_cast<int>(m_fields.size()) < kMaxFields) {
                st.field = static_cast<int>(m_fields.size());
                m_fields.emplace_back();
            }
            break;
        case Kw::FldInst: setDest(st.field >= 0 ? Dest::FieldInst : Dest::Skip); break;
        case Kw::FldRslt:
            setDest(Dest::Text);
            if (m_overflow == 0 && st.field >= 0) {
                Field &field = m_fields[st.field];
                field.href = hyperlinkTarget(field.instruction);
                if (!field.href.isEmpty())
                    chr.link = st.field;
            }
            break;
        case Kw::TextDest: setDest(Dest::Text); break;

        case Kw::Ansi: m_ansiCodePage = 1252; break;
        case Kw::AnsiCpg:
            if (param > 0 && param < 100000)
                m_ansiCodePage = static_cast<int>(param);
            break;
        case Kw::Mac: m_ansiCodePage = 10000; break;
        case Kw::Pc: m_ansiCodePage = 437; break;
        case Kw::Pca: m_ansiCodePage = 850; break;
        case Kw::Deff: m_defaultFont = clampInt(param, 0, kMaxParam); break;
        case Kw::DefTab:
            if (param > 0) {
                QTextOption option = m_document->defaultTextOption();
                option.setTabStopDistance(clampInt(param, 15, kMaxTwips) / kTwipsPerPixel);
                m_document->setDefaultTextOption(option);
            }
            break;

        case Kw::F: chr.font = clampInt(param, 0, kMaxParam); break;
        case Kw::Plain: {
            const int link = chr.link; // \plain inside a link's text keeps the link
            chr = CharState();
            chr.link = link;
            break;
        }
        case Kw::B: chr.bold = on; break;
        case Kw::I: chr.italic = on; break;
        case Kw::Ul: chr.underline = on ? QTextCharFormat::SingleUnderline : QTextCharFormat::NoUnderline; break;
        case Kw::UlStyle: chr.underline = on ? info.value : QTextCharFormat::NoUnderline; break;
        case Kw::UlNone: chr.underline = QTextCharFormat::NoUnderline; break;
        case Kw::Strike: chr.strike = on; break;
        case Kw::Fs: chr.size = (hasParam && param > 0) ? clampInt(param, 4, 3276) : 24; break;
        case Kw::Cf: chr.fg = clampInt(param, 0, kMaxColors); break;
        case Kw::Cb: chr.cb = clampInt(param, 0, kMaxColors); break;
        case Kw::Highlight: chr.hl = clampInt(param, 0, kMaxColors); break;
        case Kw::V: chr.hidden = on; break;
        case Kw::Super: chr.vertical = QTextCharFormat::AlignSuperScript; break;
        case Kw::Sub: chr.vertical = QTextCharFormat::AlignSubScript; break;
        case Kw::NoSuperSub: chr.vertical = QTextCharFormat::AlignNormal; break;
        case Kw::Up: chr.vertical = on ? QTextCharFormat::AlignSuperScript : QTextCharFormat::AlignNormal; break;
        case Kw::Dn: chr.vertical = on ? QTextCharFormat::AlignSubScript : QTextCharFormat::AlignNormal; break;
        case Kw::Caps: chr.caps = on ? QFont::AllUppercase : QFont::MixedCase; break;
        case Kw::SCaps: chr.caps = on ? QFont::SmallCaps : QFont::MixedCase; break;

        case Kw::Pard: para = ParaState(); break;
        case Kw::Ql: para.align = Qt::AlignLeft; break;
        case Kw::Qc: para.align = Qt::AlignHCenter; break;
        case Kw::Qr: para.align = Qt::AlignRight; break;
        case Kw::Qj: para.align = Qt::AlignJustify; break;
        case Kw::Li: para.li = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::Ri: para.ri = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::Fi: para.fi = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::Sb: para.sb = clampInt(param, 0, kMaxTwips); break;
        case Kw::Sa: para.sa = clampInt(param, 0, kMaxTwips); break;
        case Kw::Sl: para.sl = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::SlMult: para.slmult = on; break;
        case Kw::TabKind: para.nextTabType = static_cast<QTextOption::TabType>(info.value); break;
        case Kw::Tx:
            if (para.tabs.size() < kMaxTabStops) {
                const QChar delimiter = para.nextTabType == QTextOption::DelimiterTab ? QChar('.') : QChar();
                para.tabs.append(QTextOption::Tab(clampInt(param, 0, kMaxTwips) / kTwipsPerPixel,
                                                  para.nextTabType, delimiter));
            }
            para.nextTabType = QTextOption::LeftTab;
            break;

        case Kw::Par: paragraphBreak(); break;
        case Kw::Line: emitChar(QChar::LineSeparator); break;
        case Kw::Tab: emitChar('\t'); break;
        case Kw::Cell:
            // A cell ends with a tab, except the last one of a row.
            if (st.dest == Dest::Text && !chr.hidden) {
                if (m_pendingCell) {
                    m_pendingCell = false;
                    emitChar('\t');
                }
                m_pendingCell = true;
            }
            break;
        case Kw::Row: m_pendingCell = false; paragraphBreak(); break;
        case Kw::Char: emitChar(static_cast<char32_t>(info.value)); break;
        case Kw::U: unicode(param); break;
        case Kw::Uc: st.uc = clampInt(param, 0, 16); break;

        case Kw::FCharset: case Kw::Cpg: case Kw::FFamily: case Kw::Fprq:
        case Kw::Red: case Kw::Green: case Kw::Blue: case Kw::Bin:
            break;
        }
    }
    // clang-format on

    // The target of a HYPERLINK field instruction: the first argument, or "#name" for \l name.
    static QString hyperlinkTarget(const QString &instruction)
    {
        QStringList tokens;
        QString token;
        bool quoted = false;
        bool inToken = false;
        for (QChar ch : instruction) {
            if (ch == QLatin1Char('"')) {
                if (quoted) {
                    tokens.append(token);
                    token.clear();
                    inToken = false;
                }
                quoted = !quoted;
                inToken = quoted;
            } else if (!quoted && ch.isSpace()) {
                if (inToken)
                    tokens.append(token);
                token.clear();
                inToken = false;
            } else {
                token.append(ch);
                inToken = true;
            }
        }
        if (inToken)
            tokens.append(token);
        if (tokens.isEmpty() ||
            tokens.first().compare(QLatin1String("HYPERLINK"), Qt::CaseInsensitive) != 0)
            return {};
        QString url;
        QString anchor;
        for (int i = 1; i < tokens.size(); ++i) {
            const QString &t = tokens[i];
            if (t.startsWith(QLatin1Char('\\'))) {
                const QString sw = t.mid(1).toLower();
                if ((sw == QLatin1String("l") || sw == QLatin1String("o") ||
                     sw == QLatin1String("t")) &&
                    i + 1 < tokens.size()) {
                    if (sw == QLatin1String("l"))
                        anchor = tokens[i + 1];
                    ++i;
                }
                continue;
            }
            if (url.isEmpty())
                url = t;
        }
        if (url.isEmpty() && !anchor.isEmpty())
            return QLatin1Char('#') + anchor;
        if (!anchor.isEmpty())
            url += QLatin1Char('#') + anchor;
        return url;
    }

    struct FontBuild
    {
        int number = 0;
        int codePage = 0;
        QFont::StyleHint hint = QFont::AnyStyle;
        bool fixedPitch = false;
        bool explicitCodePage = false; // \cpg given: it wins over \fcharset
        bool active = false;
        QString name;
    };

    struct ColorBuild
    {
        int r = 0, g = 0, b = 0;
        bool any = false;
    };

    const char *m_p;
    const char *m_end;
    QTextDocument *m_document;
    QTextCursor m_cursor;

    std::vector<GroupState> m_stack;
    int m_overflow = 0;     // open groups beyond the depth limit
    int m_overflowSkip = 0; // m_overflow level at which a skipped destination began, or 0
    bool m_overflowStarred = false;

    int m_ansiCodePage = 1252;
    int m_defaultFont = 0;
    QHash<int, FontEntry> m_fonts;
    FontBuild m_fontBuild;
    std::vector<QColor> m_colors;
    ColorBuild m_colorBuild;
    std::vector<Field> m_fields;
    std::unordered_map<int, std::unique_ptr<QStringDecoder>> m_decoders;

    QByteArray m_bytes;       // text bytes not yet decoded
    int m_fallbackToSkip = 0; // \uc characters still to drop after a \uN
    char16_t m_highSurrogate = 0;

    QString m_run; // text of one format not yet in the document
    CharState m_runState;
    ParaState m_blockPara; // paragraph properties of the text in the current block
    bool m_pendingBreak = false;
    bool m_pendingCell = false;

    std::unordered_map<CharState, QTextCharFormat, CharStateHash> m_formats;
    QSet<quint64> m_fontVariants;
};

} // namespace

bool isRtf(const QByteArray &data)
{
    qsizetype i = 0;
    if (data.startsWith("\xEF\xBB\xBF"))
        i = 3;
    while (i < data.size() &&
           (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
        ++i;
    return data.mid(i, 5) == "{\\rtf";
}

void readRtf(const QByteArray &data, QTextDocument *document)
{
    if (!document)
        return;
    const bool undo = document->isUndoRedoEnabled();
    document->setUndoRedoEnabled(false);
    document->clear();
    // Tab stops every half inch unless the document says otherwise (\deftab).
    QTextOption option = document->defaultTextOption();
    option.setTabStopDistance(720 / kTwipsPerPixel);
    document->setDefaultTextOption(option);
    Parser(data, document).run();
    document->setUndoRedoEnabled(undo);
}

} // namespace platform
