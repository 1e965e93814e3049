// Reading RTF: a single pass over the bytes with an explicit stack of group states, so deep
// nesting cannot exhaust the call stack. Control words change the state of the current group or
// the tables of fonts, colours and fields; text goes to the DocumentBuilder (RtfReader.cpp) in
// the formatting of its group.
#include "rtf/RtfInternal.h"

#include <QTextDocument>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::rtf {

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
constexpr int kMaxTwips = 1440 * 22; // wider than any page

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

struct GroupState
{
    CharState chr;
    ParaState para;
    int uc = 1;     // fallback characters after \uN
    int field = -1; // the \field this group belongs to
    Dest dest = Dest::Text;
    bool starred = false; // \* seen: an unknown destination that follows is skipped
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

class Parser
{
public:
    Parser(const QByteArray &data, QTextDocument *document)
        : m_p(data.constData()), m_end(data.constData() + data.size()),
          m_builder(document, m_tables)
    {
        m_stack.reserve(64);
        m_stack.emplace_back();
    }

    void run()
    {
        skipLeadingBlanks();
        m_builder.begin();
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
        flushBytes();
        m_builder.finish();
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
            const auto it =
                m_tables.fonts.constFind(s.chr.font < 0 ? m_tables.defaultFont : s.chr.font);
            if (it != m_tables.fonts.constEnd())
                codePage = it->codePage;
        }
        return codePage == 0 ? m_ansiCodePage : codePage;
    }
    void flushBytes()
    {
        if (m_bytes.isEmpty())
            return;
        const QString decoded = m_decoder.decode(m_bytes, currentCodePage());
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
            if (m_pendingCell) {
                m_pendingCell = false;
                m_builder.text(QStringLiteral("\t"), st.chr, st.para);
            }
            m_builder.text(s, st.chr, st.para);
            break;
        case Dest::FontTable:
            if (m_fontBuild.name.size() < kMaxFontName)
                m_fontBuild.name += s;
            break;
        case Dest::FieldInst:
            if (st.field >= 0 &&
                m_tables.fields[st.field].instruction.size() < kMaxFieldInstruction)
                m_tables.fields[st.field].instruction += s;
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

    // \par ends the paragraph; a cell that ended last gets its tab first.
    void paragraphBreak()
    {
        flushBytes();
        if (skipping() || state().dest != Dest::Text)
            return;
        if (m_pendingCell) {
            m_pendingCell = false;
            m_builder.text(QStringLiteral("\t"), state().chr, state().para);
        }
        m_builder.paragraphBreak(state().chr, state().para);
    }

    // ---- tables ----

    void commitFont()
    {
        if (!m_fontBuild.active)
            return;
        m_fontBuild.active = false;
        if (m_tables.fonts.size() >= kMaxFonts && !m_tables.fonts.contains(m_fontBuild.number))
            return;
        FontEntry entry;
        entry.name = m_fontBuild.name.trimmed();
        entry.codePage = fontCodePage(m_fontBuild.codePage, entry.name);
        entry.hint = m_fontBuild.hint;
        entry.fixedPitch = m_fontBuild.fixedPitch;
        m_tables.fonts.insert(m_fontBuild.number, entry);
    }

    void commitColor()
    {
        if (static_cast<int>(m_tables.colors.size()) < kMaxColors)
            m_tables.colors.push_back(m_colorBuild.any
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
            if (m_overflow == 0 && static_cast<int>(m_tables.fields.size()) < kMaxFields) {
                st.field = static_cast<int>(m_tables.fields.size());
                m_tables.fields.emplace_back();
            }
            break;
        case Kw::FldInst: setDest(st.field >= 0 ? Dest::FieldInst : Dest::Skip); break;
        case Kw::FldRslt:
            setDest(Dest::Text);
            if (m_overflow == 0 && st.field >= 0) {
                Field &field = m_tables.fields[st.field];
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
        case Kw::Deff: m_tables.defaultFont = clampInt(param, 0, kMaxParam); break;
        case Kw::DefTab:
            if (param > 0)
                m_builder.setDefaultTabStop(clampInt(param, 15, kMaxTwips));
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

    std::vector<GroupState> m_stack;
    int m_overflow = 0;     // open groups beyond the depth limit
    int m_overflowSkip = 0; // m_overflow level at which a skipped destination began, or 0
    bool m_overflowStarred = false;

    int m_ansiCodePage = 1252;
    DocumentTables m_tables;
    FontBuild m_fontBuild;
    ColorBuild m_colorBuild;
    CodePageDecoder m_decoder;

    QByteArray m_bytes;       // text bytes not yet decoded
    int m_fallbackToSkip = 0; // \uc characters still to drop after a \uN
    char16_t m_highSurrogate = 0;

    bool m_pendingCell = false; // a cell ended: its tab goes before what follows in the row

    DocumentBuilder m_builder;
};

} // namespace

void parse(const QByteArray &data, QTextDocument *document)
{
    Parser(data, document).run();
}

} // namespace platform::rtf
