#pragma once

// The RTF parser's own state: the stack of group states, the destinations a group can read
// into and the Parser that walks the bytes. RtfParser.cpp reads groups and text and lays out
// the document; RtfControlWords.cpp reads control words and the tables they declare.
#include "rtf/RtfInternal.h"

#include <QTextDocument>

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::rtf {

// Group states beyond this depth are not pushed; the braces are still counted.
constexpr int kMaxGroupDepth = 10000;
// Numeric parameters saturate here; every keyword clamps further to its own range.
constexpr int kMaxFonts = 65536;
constexpr int kMaxFields = 65536;
constexpr int kMaxFieldInstruction = 4096;
constexpr int kMaxFontName = 256;

inline int hexValue(char c)
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
void levelNumbering(ListLevelDef &level, long long nfc);

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

    void run();

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

    void skipLeadingBlanks();

    // ---- groups ----

    void openGroup();

    void closeGroup();

    // A destination keyword: in a pushed group it scopes to that group; in groups beyond the
    // depth limit only skipping can be scoped, by remembering the brace level it began at.
    void setDest(Dest dest);

    // ---- text ----

    bool readsBytes(Dest dest) const;

    void text();

    // One byte of text in the current code page (a literal byte or an \'hh escape).
    void byte(unsigned char b);

    int fontCodePageOf(int font) const;

    int currentCodePage() const;

    void flushBytes();

    // Characters for the current destination.
    void emitText(const QString &s);

    // A paragraph numbered by a \pn definition alone, without the \pntext a writer adds for
    // readers that know no numbering, gets its number or bullet made here.
    void listMarker(const GroupState &st);

    // One character of a list level's \leveltext, kept as it is: the level's font, which
    // decides what its bytes are, may follow the text.
    void levelTextChar(char16_t ch);

    // The marker of a paragraph of a list-table list (\ls, \ilvl), written out when the
    // writer gave no \listtext: numbers counted per list and level, deeper levels starting
    // over after a higher one. False when the list is not defined.
    bool listTableMarker(const GroupState &st);

    void emitChar(char32_t ch);

    void unicode(long long value);

    // ---- document ----

    bool inBody();

    void newParagraph();

    void paragraphBreak();

    void cell(bool nested);

    void row(bool nested);

    // Footnotes go after the body, each in its own paragraphs, in the order they came; the
    // endnotes after them.
    void appendFootnotes();

    // Whether the note that a mark in the body numbers is an endnote: the \footnote group
    // right after the mark says \ftnalt among its first words.
    bool nextNoteIsEndnote() const;

    QString noteNumber(bool endnote) const;

    // ---- tables ----

    void commitFont();

    void commitColor();

    // The row definition the table words of the current group describe.
    RowDef &rowDef() { return m_rowDefs[std::clamp(state().para.itap, 1, kMaxTableDepth)]; }

    // ---- control words ----

    void controlSequence();

    void controlWord();

    void apply(const KwInfo &info, bool hasParam, long long param);

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

} // namespace platform::rtf
