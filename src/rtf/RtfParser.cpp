// Reading RTF: a single pass over the bytes with an explicit stack of group states, so deep
// nesting cannot exhaust the call stack. Control words change the state of the current group or
// the tables of fonts, colours and fields; text goes to the DocumentBuilder (RtfReader.cpp) in
// the formatting of its group.
#include "rtf/RtfInternal.h"

#include <QTextDocument>

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::rtf {

namespace {

// Group states beyond this depth are not pushed; the braces are still counted.
constexpr int kMaxGroupDepth = 10000;
// Numeric parameters saturate here; every keyword clamps further to its own range.
constexpr int kMaxFonts = 65536;
constexpr int kMaxFields = 65536;
constexpr int kMaxFieldInstruction = 4096;
constexpr int kMaxFontName = 256;

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

enum class Dest : unsigned char {
    Text,       // document text
    Skip,       // read and dropped
    FontTable,  // \fonttbl entries
    ColorTable, // \colortbl entries
    FieldInst,  // a field's instruction, kept to find hyperlinks and symbols
    Pn,         // a paragraph numbering definition: its words, no text
    PnBefore,   // the text before a number or bullet
    PnAfter,    // the text after it
    ListTable,  // \listtable: the lists' levels, numbering and marker texts
    LevelText,  // \leveltext: a list level's marker, kept as raw bytes and characters
    Overrides,  // \listoverridetable: which list each \ls number stands for
};

// Footnote marks look ahead this far for the note they mark, to tell a footnote from an
// endnote; writers put the note right after its mark.
constexpr int kNoteLookahead = 512;
// The list table keeps at most this many lists and overrides.
constexpr int kMaxLists = 1024;
constexpr int kMaxListText = 64;

// One level of a list of the list table.
struct ListLevelDef
{
    ListMarker::Style style = ListMarker::Decimal;
    bool bullet = false; // no number (\levelnfc23)
    bool none = false;   // no marker at all (\levelnfc255)
    int start = 1;
    int font = -1;
    int follow = 0; // \levelfollow: 0 a tab, 1 a space, 2 nothing
    QString text;   // \leveltext: a length, then characters and level placeholders 0..8
};

struct ListDef
{
    int id = 0;
    std::vector<ListLevelDef> levels;
};

// A \levelnfc value: how a list level writes its number.
void levelNumbering(ListLevelDef &level, long long nfc)
{
    level.bullet = nfc == 23;
    level.none = nfc == 255;
    switch (nfc) {
    case 1:
        level.style = ListMarker::UpperRoman;
        break;
    case 2:
        level.style = ListMarker::LowerRoman;
        break;
    case 3:
        level.style = ListMarker::UpperLetter;
        break;
    case 4:
        level.style = ListMarker::LowerLetter;
        break;
    default:
        level.style = ListMarker::Decimal;
        break;
    }
}

struct GroupState
{
    CharState chr;
    ParaState para;
    int uc = 1;     // fallback characters after \uN
    int field = -1; // the \field this group belongs to
    Dest dest = Dest::Text;
    Dest uprBase = Dest::Text; // in an \upr group: the destination its \ud part reads into
    bool starred = false;      // \* seen: an unknown destination that follows is skipped
    bool fieldOwner = false;   // the group \field began in
    bool upr = false;          // an \upr group
    bool pnOwner = false;      // the group \pn began in
    bool footnote = false;     // inside a footnote
    bool footnoteOwner = false;
    bool endnote = false; // the footnote is an endnote (\ftnalt)
    bool marker = false;  // inside \pntext or \listtext
    bool result = false;  // inside a field's \fldrslt
};

class Parser
{
public:
    Parser(const QByteArray &data, QTextDocument *document)
        : m_p(data.constData()), m_end(data.constData() + data.size()),
          m_builder(document, m_tables)
    {
        m_stack.reserve(64);
        m_stack.emplace_back();
        m_rowDefs.resize(kMaxTableDepth + 1);
    }

    void run()
    {
        skipLeadingBlanks();
        m_builder.begin();
        while (m_p < m_end && !m_done) {
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
        appendFootnotes();
        m_builder.finish();
    }

private:
    // One piece of a footnote, kept until the end of the document.
    struct NoteEvent
    {
        QString text; // empty for a paragraph break
        CharState chr;
        ParaState para;
    };

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
        m_skipTrail = false;
        if (m_overflow > 0 || static_cast<int>(m_stack.size()) >= kMaxGroupDepth) {
            ++m_overflow;
            return;
        }
        GroupState copy = m_stack.back();
        copy.starred = false;
        copy.fieldOwner = copy.upr = copy.pnOwner = copy.footnoteOwner = false;
        m_stack.push_back(std::move(copy));
    }

    void closeGroup()
    {
        flushBytes();
        m_fallbackToSkip = 0;
        m_skipTrail = false;
        if (m_overflow > 0) {
            if (m_overflowSkip == m_overflow)
                m_overflowSkip = 0;
            --m_overflow;
            return;
        }
        // An unbalanced '}' at the bottom closes nothing; reading goes on with the base state.
        if (m_stack.size() <= 1)
            return;
        const GroupState closing = std::move(m_stack.back());
        if (closing.dest == Dest::FontTable)
            commitFont();
        m_stack.pop_back();
        // The document is the first group: what follows its closing brace is not part of it.
        if (m_stack.size() == 1) {
            m_done = true;
            return;
        }
        if (closing.pnOwner && !skipping())
            state().para.marker = m_pnBuild;
        if (closing.footnoteOwner) {
            std::vector<NoteEvent> &notes = closing.endnote ? m_endnotes : m_notes;
            if (!notes.empty() && !notes.back().text.isEmpty())
                notes.push_back(NoteEvent{QString(), closing.chr, ParaState()});
        }
        if (closing.fieldOwner && closing.field >= 0) {
            const Field &field = m_tables.fields[closing.field];
            if (!field.hasResult && !skipping()) {
                const QString symbol =
                    symbolFieldText(field.instruction, m_ansiCodePage, m_decoder);
                if (!symbol.isEmpty())
                    emitText(symbol);
            }
        }
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

    bool readsBytes(Dest dest) const
    {
        return dest == Dest::Text || dest == Dest::FieldInst || dest == Dest::PnBefore ||
               dest == Dest::PnAfter;
    }

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
        if (m_fallbackToSkip == 0 && !m_skipTrail && readsBytes(state().dest)) {
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
        if (m_skipTrail) {
            // The second byte of a two-byte character whose first byte was a fallback; it
            // counts as one of the fallback bytes when \uc allows for it.
            m_skipTrail = false;
            if (m_fallbackToSkip > 0)
                --m_fallbackToSkip;
            return;
        }
        if (m_fallbackToSkip > 0) {
            --m_fallbackToSkip;
            m_skipTrail = isLeadByte(currentCodePage(), b);
            return;
        }
        if (skipping())
            return;
        if (state().dest == Dest::LevelText) {
            levelTextChar(b); // placeholders are bytes 0..8
            return;
        }
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
        if (dest == Dest::ColorTable || dest == Dest::Pn || dest == Dest::ListTable ||
            dest == Dest::Overrides)
            return;
        m_bytes.append(static_cast<char>(b));
    }

    int fontCodePageOf(int font) const
    {
        const auto it = m_tables.fonts.constFind(font < 0 ? m_tables.defaultFont : font);
        return it == m_tables.fonts.constEnd() ? 0 : it->codePage;
    }

    int currentCodePage() const
    {
        const GroupState &s = m_stack.back();
        int codePage = fontCodePageOf(s.chr.font);
        if (s.dest == Dest::FontTable) {
            // A font's name is in its character set, except a symbol font's, which is ANSI.
            codePage = m_fontBuild.codePage < 0 ? 0 : m_fontBuild.codePage;
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
            if (st.field >= 0 && st.result)
                m_tables.fields[st.field].hasResult = true;
            if (st.footnote) {
                ParaState para = st.para;
                para.itap = 0;
                (st.endnote ? m_endnotes : m_notes).push_back(NoteEvent{s, st.chr, para});
                return;
            }
            if (st.marker)
                m_paraHasMarker = true;
            else
                listMarker(st);
            m_builder.text(s, st.chr, st.para);
            m_paraHasText = true;
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
        case Dest::PnBefore:
            if (m_pnBuild.before.size() < kMaxFontName)
                m_pnBuild.before += s;
            break;
        case Dest::PnAfter:
            if (m_pnBuild.after.size() < kMaxFontName)
                m_pnBuild.after += s;
            break;
        case Dest::LevelText:
            for (QChar ch : s)
                levelTextChar(ch.unicode());
            break;
        case Dest::ColorTable:
        case Dest::Skip:
        case Dest::Pn:
        case Dest::ListTable:
        case Dest::Overrides:
            break;
        }
    }

    // A paragraph numbered by a \pn definition alone, without the \pntext a writer adds for
    // readers that know no numbering, gets its number or bullet made here.
    void listMarker(const GroupState &st)
    {
        if (m_paraHasMarker || m_paraHasText)
            return;
        m_paraHasMarker = true;
        if (st.para.list > 0 && listTableMarker(st))
            return;
        const ListMarker &m = st.para.marker;
        if (m.kind != ListMarker::Bullet && m.kind != ListMarker::Number) {
            m_lastNumberLevel = -1;
            return;
        }
        if (m.kind == ListMarker::Number) {
            m_listNumber = m_lastNumberLevel == m.level ? m_listNumber + 1 : m.start;
            m_lastNumberLevel = m.level;
        } else {
            m_lastNumberLevel = -1;
        }
        const QString marker = markerText(m, m_listNumber);
        CharState chr = st.chr;
        if (m.font >= 0)
            chr.font = m.font;
        m_builder.text(marker, chr, st.para);
    }

    // One character of a list level's \leveltext, kept as it is: the level's font, which
    // decides what its bytes are, may follow the text.
    void levelTextChar(char16_t ch)
    {
        if (m_lists.empty() || m_lists.back().levels.empty())
            return;
        QString &text = m_lists.back().levels.back().text;
        if (text.size() < kMaxListText)
            text.append(QChar(ch));
    }

    // The marker of a paragraph of a list-table list (\ls, \ilvl), written out when the
    // writer gave no \listtext: numbers counted per list and level, deeper levels starting
    // over after a higher one. False when the list is not defined.
    bool listTableMarker(const GroupState &st)
    {
        const auto override = m_overrides.constFind(st.para.list);
        if (override == m_overrides.constEnd())
            return false;
        const ListDef *list = nullptr;
        for (const ListDef &l : m_lists) {
            if (l.id == *override)
                list = &l;
        }
        if (!list || list->levels.empty())
            return false;
        const int level = std::min<int>(st.para.listLevel, list->levels.size() - 1);
        const ListLevelDef &def = list->levels[level];
        m_lastNumberLevel = -1;
        std::array<int, 9> &counts = m_listCounts[st.para.list];
        counts[level] = counts[level] == 0 ? def.start : counts[level] + 1;
        for (int deeper = level + 1; deeper < 9; ++deeper)
            counts[deeper] = 0;
        if (def.none)
            return true;
        const int fontCodePage = fontCodePageOf(def.font >= 0 ? def.font : st.chr.font);
        const int codePage = fontCodePage == 0 ? m_ansiCodePage : fontCodePage;
        QString marker;
        const int length = def.text.isEmpty() ? 0 : def.text.at(0).unicode();
        for (int i = 1; i <= length && i < def.text.size(); ++i) {
            const char16_t ch = def.text.at(i).unicode();
            if (ch < 9) {
                // A placeholder: the number of that level.
                if (static_cast<size_t>(ch) < list->levels.size()) {
                    const ListLevelDef &other = list->levels[ch];
                    const int n = counts[ch] == 0 ? other.start : counts[ch];
                    if (!other.bullet && !other.none)
                        marker += listNumber(n, other.style);
                }
            } else if (ch <= 0xFF) {
                marker += m_decoder.decode(QByteArray(1, static_cast<char>(ch)), codePage);
            } else {
                const char32_t mapped = symbolFontChar(codePage, ch);
                marker += QString::fromUcs4(&mapped, 1);
            }
        }
        if (marker.isEmpty() && def.bullet)
            marker = QString(QChar(0x2022));
        if (marker.isEmpty())
            return true;
        marker += def.follow == 0   ? QStringLiteral("\t")
                  : def.follow == 1 ? QStringLiteral(" ")
                                    : QString();
        CharState chr = st.chr;
        if (def.font >= 0)
            chr.font = def.font;
        m_builder.text(marker, chr, st.para);
        return true;
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
            } else if (state().dest == Dest::LevelText && value > 0x1F && value <= 0xFFFF) {
                levelTextChar(static_cast<char16_t>(value));
            } else if (value > 0x1F && value <= 0x10FFFF) {
                const char32_t ch = symbolFontChar(currentCodePage(), static_cast<char32_t>(value));
                emitText(QString::fromUcs4(&ch, 1));
            } else if (value > 0x10FFFF || value < 0) {
                emitText(QString(QChar(QChar::ReplacementCharacter)));
            }
        }
        m_fallbackToSkip = state().uc;
        m_skipTrail = false;
    }

    // ---- document ----

    bool inBody()
    {
        flushBytes();
        return !skipping() && state().dest == Dest::Text && !state().marker;
    }

    void newParagraph()
    {
        m_paraHasMarker = false;
        m_paraHasText = false;
    }

    void paragraphBreak()
    {
        if (!inBody())
            return;
        const GroupState &st = state();
        if (st.footnote) {
            (st.endnote ? m_endnotes : m_notes)
                .push_back(NoteEvent{QString(), st.chr, ParaState()});
            return;
        }
        m_builder.paragraphBreak(st.chr, st.para);
        newParagraph();
    }

    void cell(bool nested)
    {
        if (!inBody())
            return;
        const GroupState &st = state();
        if (st.footnote) {
            (st.endnote ? m_endnotes : m_notes)
                .push_back(NoteEvent{QStringLiteral("\t"), st.chr, ParaState()});
            return;
        }
        m_builder.cell(nested ? std::max(2, st.para.itap) : 1, st.chr, st.para);
        newParagraph();
    }

    void row(bool nested)
    {
        if (!inBody() || state().footnote)
            return;
        const int depth = nested ? std::clamp(state().para.itap, 2, kMaxTableDepth) : 1;
        m_builder.row(depth, m_rowDefs[depth]);
        if (!nested)
            state().para.itap = 0;
        newParagraph();
    }

    // Footnotes go after the body, each in its own paragraphs, in the order they came; the
    // endnotes after them.
    void appendFootnotes()
    {
        if (m_notes.empty() && m_endnotes.empty())
            return;
        const GroupState &st = m_stack.back();
        if (m_paraHasText)
            m_builder.paragraphBreak(st.chr, st.para);
        for (const std::vector<NoteEvent> *notes : {&m_notes, &m_endnotes}) {
            for (const NoteEvent &e : *notes) {
                if (e.text.isEmpty())
                    m_builder.paragraphBreak(e.chr, e.para);
                else
                    m_builder.text(e.text, e.chr, e.para);
            }
        }
    }

    // Whether the note that a mark in the body numbers is an endnote: the \footnote group
    // right after the mark says \ftnalt among its first words.
    bool nextNoteIsEndnote() const
    {
        const std::string_view rest(
            m_p, static_cast<size_t>(std::min<std::ptrdiff_t>(m_end - m_p, kNoteLookahead)));
        size_t at = 0;
        while ((at = rest.find("\\footnote", at)) != std::string_view::npos) {
            at += 9;
            if (at < rest.size() && std::isalpha(static_cast<unsigned char>(rest[at])))
                continue;
            // The note's leading control words, up to its first text or group.
            while (at < rest.size()) {
                const char c = rest[at];
                if (c == ' ' || c == '\r' || c == '\n') {
                    ++at;
                } else if (c == '\\') {
                    size_t end = at + 1;
                    while (
                        end < rest.size() &&
                        (std::isalnum(static_cast<unsigned char>(rest[end])) || rest[end] == '-'))
                        ++end;
                    if (rest.substr(at, end - at) == "\\ftnalt")
                        return true;
                    if (end == at + 1)
                        return false;
                    at = end;
                } else {
                    return false;
                }
            }
            return false;
        }
        return false;
    }

    QString noteNumber(bool endnote) const
    {
        const int n = std::max(1, endnote ? m_endnoteNumber : m_footnoteNumber);
        return listNumber(n, endnote ? m_endnoteStyle : m_footnoteStyle);
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

    // The row definition the table words of the current group describe.
    RowDef &rowDef() { return m_rowDefs[std::clamp(state().para.itap, 1, kMaxTableDepth)]; }

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
        if (c == '\\' || c == '{' || c == '}') {
            byte(static_cast<unsigned char>(c));
            return;
        }
        m_skipTrail = false;
        if (m_fallbackToSkip > 0) {
            --m_fallbackToSkip;
            return;
        }
        switch (c) {
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

        const KwInfo *info = findKeyword(std::string_view(name, static_cast<size_t>(length)));
        if (info && info->kw == Kw::Bin) {
            // Binary data is skipped whole, whatever the destination.
            const long long n = hasParam ? std::max<long long>(0, param) : 0;
            m_p += std::min<long long>(n, m_end - m_p);
            return;
        }
        flushBytes();
        m_skipTrail = false;
        if (m_fallbackToSkip > 0) {
            --m_fallbackToSkip;
            return;
        }
        const bool starred = m_overflow == 0 ? state().starred : m_overflowStarred;
        state().starred = false;
        m_overflowStarred = false;
        // The Unicode part of an \upr group is read where the group stands.
        if (info && info->kw == Kw::Ud && m_overflow == 0 && m_overflowSkip == 0 &&
            m_stack.size() >= 2 && m_stack[m_stack.size() - 2].upr) {
            state().dest = m_stack[m_stack.size() - 2].uprBase;
            return;
        }
        if (skipping())
            return;
        // \* marks a destination a reader may not know: one it knows is read all the same.
        if (!info) {
            if (starred)
                setDest(Dest::Skip);
            return;
        }
        apply(*info, hasParam, param);
    }

    // clang-format off
    void apply(const KwInfo &info, bool hasParam, long long param)
    {
        GroupState &st = state();
        CharState &chr = st.chr;
        ParaState &para = st.para;

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
                    m_fontBuild.codePage =
                        param >= 0 && param <= 255 ? codePageOfCharset(static_cast<int>(param)) : 0;
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
        if (st.dest == Dest::ListTable) {
            switch (info.kw) {
            case Kw::List:
                if (m_lists.size() < kMaxLists)
                    m_lists.emplace_back();
                else
                    setDest(Dest::Skip);
                return;
            case Kw::ListId:
                if (!m_lists.empty())
                    m_lists.back().id = clampInt(param, -kMaxParam, kMaxParam);
                return;
            case Kw::ListLevel:
                if (!m_lists.empty() && m_lists.back().levels.size() < 9)
                    m_lists.back().levels.emplace_back();
                else
                    setDest(Dest::Skip);
                return;
            case Kw::LevelText:
                if (!m_lists.empty() && !m_lists.back().levels.empty())
                    m_lists.back().levels.back().text.clear();
                setDest(Dest::LevelText);
                return;
            case Kw::LevelNfc: case Kw::LevelStart: case Kw::LevelFollow: case Kw::F:
                if (!m_lists.empty() && !m_lists.back().levels.empty()) {
                    ListLevelDef &level = m_lists.back().levels.back();
                    if (info.kw == Kw::LevelStart)
                        level.start = clampInt(param, 0, 32767);
                    else if (info.kw == Kw::LevelFollow)
                        level.follow = clampInt(param, 0, 2);
                    else if (info.kw == Kw::F)
                        level.font = clampInt(param, 0, kMaxParam);
                    else
                        levelNumbering(level, param);
                }
                return;
            case Kw::SkipDest: setDest(Dest::Skip); return;
            default: return;
            }
        }
        if (st.dest == Dest::LevelText) {
            switch (info.kw) {
            case Kw::U: unicode(param); return;
            case Kw::Uc: st.uc = clampInt(param, 0, 16); return;
            case Kw::SkipDest: setDest(Dest::Skip); return;
            default: return;
            }
        }
        if (st.dest == Dest::Overrides) {
            switch (info.kw) {
            case Kw::ListOverride: m_overrideList = 0; return;
            case Kw::ListId: m_overrideList = clampInt(param, -kMaxParam, kMaxParam); return;
            case Kw::Ls:
                if (m_overrides.size() < kMaxLists)
                    m_overrides.insert(clampInt(param, 0, kMaxParam), m_overrideList);
                return;
            case Kw::ListLevel: case Kw::SkipDest: setDest(Dest::Skip); return;
            default: return;
            }
        }
        if (st.dest == Dest::Pn) {
            ListMarker &m = m_pnBuild;
            switch (info.kw) {
            case Kw::PnKind: m.kind = static_cast<ListMarker::Kind>(info.value); return;
            case Kw::PnLevel: m.kind = ListMarker::Number; m.level = clampInt(param, 1, 9); return;
            case Kw::PnStyle: m.style = static_cast<ListMarker::Style>(info.value); return;
            case Kw::PnStart: m.start = clampInt(param, 0, 32767); return;
            case Kw::PnFont:
                m.font = clampInt(param, 0, kMaxParam);
                chr.font = m.font; // the marker's text is in this font's code page
                return;
            case Kw::PnTextBefore: m.before.clear(); setDest(Dest::PnBefore); return;
            case Kw::PnTextAfter: m.after.clear(); setDest(Dest::PnAfter); return;
            case Kw::U: unicode(param); return;
            case Kw::Uc: st.uc = clampInt(param, 0, 16); return;
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
                st.fieldOwner = true;
                st.result = false;
                m_tables.fields.emplace_back();
            }
            break;
        case Kw::FldInst: setDest(st.field >= 0 ? Dest::FieldInst : Dest::Skip); break;
        case Kw::FldRslt:
            setDest(Dest::Text);
            st.result = true;
            if (m_overflow == 0 && st.field >= 0) {
                Field &field = m_tables.fields[st.field];
                field.href = hyperlinkTarget(field.instruction);
                if (!field.href.isEmpty())
                    chr.link = st.field;
            }
            break;
        case Kw::TextDest: setDest(Dest::Text); break;
        case Kw::MarkerText:
            setDest(Dest::Text);
            if (m_overflow == 0)
                st.marker = true;
            m_paraHasMarker = true;
            break;
        case Kw::Container: break;
        case Kw::Upr:
            if (m_overflow == 0) {
                st.upr = true;
                st.uprBase = st.dest;
            }
            setDest(Dest::Skip);
            break;
        case Kw::Ud: setDest(Dest::Skip); break; // \ud outside an \upr group
        case Kw::Footnote:
            if (m_overflow == 0) {
                st.footnote = st.footnoteOwner = true;
                st.para = ParaState();
            } else {
                setDest(Dest::Skip);
            }
            break;
        case Kw::Chftn: {
            // The mark in the text numbers the footnote or endnote, each kind counted on its
            // own; the one in the note repeats it.
            bool endnote = st.endnote;
            if (!st.footnote) {
                endnote = nextNoteIsEndnote();
                ++(endnote ? m_endnoteNumber : m_footnoteNumber);
            }
            flushBytes();
            emitText(noteNumber(endnote));
            break;
        }
        case Kw::Pn:
            if (m_overflow == 0) {
                st.pnOwner = true;
                m_pnBuild = ListMarker();
                m_pnBuild.kind = ListMarker::Number;
            }
            setDest(m_overflow == 0 ? Dest::Pn : Dest::Skip);
            break;
        case Kw::PnKind: case Kw::PnLevel: case Kw::PnStyle: case Kw::PnStart: case Kw::PnFont:
            break; // outside a \pn group these mean nothing
        case Kw::PnTextBefore: case Kw::PnTextAfter:
            setDest(Dest::Skip); // nor is their text any of the document's (\pnseclvl has some)
            break;
        case Kw::FtnAlt:
            if (st.footnote)
                st.endnote = true;
            break;
        case Kw::NoteFormat:
            ((info.value & kEndnoteFlag) ? m_endnoteStyle : m_footnoteStyle) =
                static_cast<ListMarker::Style>(info.value & ~kEndnoteFlag);
            break;
        case Kw::NoteStart:
            ((info.value & kEndnoteFlag) ? m_endnoteNumber : m_footnoteNumber) =
                clampInt(param, 1, 32767) - 1;
            break;
        case Kw::ListTable: setDest(m_overflow == 0 ? Dest::ListTable : Dest::Skip); break;
        case Kw::ListOverrideTable: setDest(m_overflow == 0 ? Dest::Overrides : Dest::Skip); break;
        case Kw::List: case Kw::ListLevel: case Kw::LevelText: case Kw::ListOverride:
            setDest(Dest::Skip); // outside their tables
            break;
        case Kw::ListId: case Kw::LevelNfc: case Kw::LevelStart: case Kw::LevelFollow:
            break;

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

        case Kw::TRowD:
            // A row definition without \intbl still makes the paragraphs up to \row its cells.
            para.itap = std::max(para.itap, 1);
            rowDef() = RowDef();
            break;
        case Kw::Par: paragraphBreak(); break;
        case Kw::Line: emitChar(QChar::LineSeparator); break;
        case Kw::Tab: emitChar('\t'); break;
        case Kw::Cell: cell(false); break;
        case Kw::NestCell: cell(true); break;
        case Kw::Row: row(false); break;
        case Kw::NestRow: row(true); break;
        case Kw::Char: emitChar(static_cast<char32_t>(info.value)); break;
        case Kw::U: unicode(param); break;
        case Kw::Uc: st.uc = clampInt(param, 0, 16); break;

        default:
            if (!applyFormatWord(chr, para, info, hasParam, param))
                applyTableWord(rowDef(), m_border, info, param);
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
    bool m_done = false; // the document's closing brace was read

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
    bool m_skipTrail = false; // a dropped fallback byte began a two-byte character
    char16_t m_highSurrogate = 0;

    // Row definitions by table depth (1 = outermost; 0 unused), and the border being described.
    std::vector<RowDef> m_rowDefs;
    Border *m_border = nullptr;

    // Paragraph numbering: the \pn group being read, whether the current paragraph has its
    // marker or text yet, and the running number.
    ListMarker m_pnBuild;
    bool m_paraHasMarker = false;
    bool m_paraHasText = false;
    int m_lastNumberLevel = -1;
    int m_listNumber = 0;

    int m_footnoteNumber = 0;
    int m_endnoteNumber = 0;
    ListMarker::Style m_footnoteStyle = ListMarker::Decimal;
    ListMarker::Style m_endnoteStyle = ListMarker::Decimal;
    std::vector<NoteEvent> m_notes;
    std::vector<NoteEvent> m_endnotes;

    // The list table: its lists, the \ls numbers that stand for them, and the running numbers
    // of each \ls by level.
    std::vector<ListDef> m_lists;
    QHash<int, int> m_overrides;
    int m_overrideList = 0;
    std::unordered_map<int, std::array<int, 9>> m_listCounts;

    DocumentBuilder m_builder;
};

} // namespace

void parse(const QByteArray &data, QTextDocument *document)
{
    Parser(data, document).run();
}

} // namespace platform::rtf
