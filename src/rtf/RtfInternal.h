#pragma once

// The pieces of the RTF reader (platform/RtfReader.h), shared between its source files:
//
//   RtfParser.cpp     reads the bytes: groups, text, paragraphs and notes (RtfParserState.h
//                     holds the parser's state);
//   RtfControlWords.cpp  control words and symbols: destinations, and the tables of fonts,
//                     colours, fields and lists the document declares;
//   RtfKeywords.cpp   the control words the parser knows;
//   RtfReader.cpp     the entry points, and the DocumentBuilder that puts formatted text into
//                     the QTextDocument;
//   RtfTables.cpp     the DocumentBuilder's tables: rows and cells collected, then laid out as
//                     QTextTables;
//   RtfCodePages.cpp  character sets, code pages and symbol fonts: text bytes to Unicode;
//   RtfFields.cpp     field instructions and list numbers.

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextOption>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class QTextBlockFormat;
class QTextDocument;

namespace platform::rtf {

// Twips (1/1440 inch) to pixels at 96 per inch.
constexpr double kTwipsPerPixel = 15.0;

// Numeric parameters saturate here; every keyword clamps further to its own range.
constexpr int kMaxParam = 1000000000;
constexpr int kMaxColors = 65536;
constexpr int kMaxTabStops = 64;
constexpr int kMaxTwips = 1440 * 22; // wider than any page

inline int clampInt(long long v, long long lo, long long hi)
{
    return static_cast<int>(std::max(lo, std::min(hi, v)));
}

// ---- the reader's state (RtfParser.cpp keeps it, DocumentBuilder turns it into formats) ----

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

// A paragraph numbering definition of the older kind (\pn): what goes before and after the
// number or bullet, and how the number is written.
struct ListMarker
{
    enum Kind : unsigned char { None, Bullet, Number, Continue };
    enum Style : unsigned char { Decimal, UpperRoman, LowerRoman, UpperLetter, LowerLetter };
    Kind kind = None;
    Style style = Decimal;
    int level = 0; // 0 = body numbering, 1..9 = outline levels
    int start = 1;
    int font = -1; // \pnf: the font of the marker; -1 = the paragraph's
    QString before, after;
};

struct ParaState
{
    Qt::Alignment align = Qt::AlignLeft;
    int li = 0, ri = 0, fi = 0, sb = 0, sa = 0; // twips
    int sl = 0;                                 // line spacing, twips or 240ths when slmult
    bool slmult = false;
    bool contextual = false;               // no space between paragraphs of the same style
    int style = 0;                         // \s: the paragraph style number
    int itap = 0;                          // table depth: 0 outside tables
    int cbpat = 0, cfpat = 0, shading = 0; // background, pattern colour, shading in 1/100 %
    QTextOption::TabType nextTabType = QTextOption::LeftTab;
    QList<QTextOption::Tab> tabs;
    ListMarker marker;
    int list = 0;      // \ls: the list (of the list override table) the paragraph belongs to
    int listLevel = 0; // \ilvl: its level in that list, 0..8
};

// A cell border as the row definition gives it.
struct Border
{
    int width = -1; // twips; -1 = no border given
    int color = 0;
    unsigned char style = 0; // QTextFrameFormat::BorderStyle
};

// One cell of a row definition: \cellx and the cell properties before it.
struct CellDef
{
    int right = 0;     // twips from the page margin
    Border borders[4]; // top, left, bottom, right
    int background = 0, pattern = 0, shading = 0;
    Qt::Alignment valign = Qt::AlignTop;
    bool mergeFirst = false, merged = false;   // \clmgf, \clmrg
    bool vmergeFirst = false, vmerged = false; // \clvmgf, \clvmrg
};

// A row definition, \trowd to the \row it describes.
struct RowDef
{
    int left = 0; // \trleft
    int gap = 0;  // \trgaph: half the space between cells
    Qt::Alignment align = Qt::AlignLeft;
    Border borders[6]; // top, left, bottom, right, inner horizontal, inner vertical
    std::vector<CellDef> cells;
    CellDef next; // properties of the cell whose \cellx comes next
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
    bool hasResult = false; // its result showed some text
};

// What the document declares before or beside its text, which the character formats refer to.
struct DocumentTables
{
    int defaultFont = 0; // \deff
    QHash<int, FontEntry> fonts;
    std::vector<QColor> colors;
    std::vector<Field> fields;
};

// ---- RtfParser.cpp ----

// Reads @p data into @p document, which readRtf has cleared.
void parse(const QByteArray &data, QTextDocument *document);

// ---- RtfReader.cpp ----

// The target of a HYPERLINK field instruction: the first argument, or "#name" for \l name.
// Empty for any other field.
QString hyperlinkTarget(const QString &instruction);

// Tables are nested at most this deep; deeper rows join the innermost table.
constexpr int kMaxTableDepth = 8;
// Tables nested deeper than this are written out as paragraphs in their cell, one per row with
// the cells separated by tabs: each level of QTextTable inside a cell lays its content out
// about twice over, so deeper nesting would freeze the window on a crafted file.
constexpr int kMaxLaidOutTableDepth = 3;
// Cells of a row beyond this many join the last one.
constexpr int kMaxRowCells = 64;

// Puts text into the document. Text is collected into runs of equal formatting and each run
// goes in with one insertText call; a paragraph's block is made only when something follows
// its \par, so the final \par adds no empty line.
//
// Text of paragraphs inside tables (ParaState::itap > 0) is collected per cell, row and table
// until the table ends, because a row's definition may follow its cells; the whole table then
// goes into the document as a QTextTable, nested tables inside their cells.
class DocumentBuilder final
{
public:
    DocumentBuilder(QTextDocument *document, const DocumentTables &tables);
    ~DocumentBuilder();
    Q_DISABLE_COPY_MOVE(DocumentBuilder)

    void begin();
    // Text of the body in the formatting given.
    void text(const QString &s, const CharState &chr, const ParaState &para);
    // \par: the paragraph properties in force now belong to the paragraph it ends.
    void paragraphBreak(const CharState &chr, const ParaState &para);
    // \cell or \nestcell: ends the cell of the table @p depth levels deep; @p para belongs to
    // the cell's last paragraph.
    void cell(int depth, const CharState &chr, const ParaState &para);
    // \row or \nestrow: ends the row of the table @p depth levels deep.
    void row(int depth, const RowDef &def);
    void finish();

    void setDefaultTabStop(int twips);

    struct TableBuf;

private:
    struct Item;
    struct CellBuf;
    struct RowBuf;
    struct Level;

    void appendRun(const QString &s, const CharState &chr);
    void flushRun();
    static void insertText(QTextCursor &cursor, QString s, const QTextCharFormat &format);
    void tableText(const QString &s, const CharState &chr, const ParaState &para);
    void tableBreak(const CharState &chr, const ParaState &para);
    void insertBlock(const CharState &chr);
    void setBlockFormat(QTextCursor &cursor, const ParaState &para);

    Level &levelAt(int depth);
    void closeLevel();
    void closeTables();
    void renderTable(QTextCursor &cursor, const TableBuf &table, int depth);
    void renderFlat(QTextCursor &cursor, const TableBuf &table, int depth);
    void renderCell(QTextCursor &cursor, const CellBuf &cell, int depth);

    QTextCharFormat charFormat(const CharState &c);
    std::pair<int, int> fontVariant(int font, int size);
    QColor color(int index) const;
    QColor shade(int background, int pattern, int shading) const;
    QTextBlockFormat blockFormat(const ParaState &p) const;

    QTextDocument *m_document;
    const DocumentTables &m_tables;
    QTextCursor m_cursor;

    QString m_run; // text of one format not yet in the document
    CharState m_runState;
    ParaState m_blockPara; // paragraph properties of the text in the current block
    bool m_pendingBreak = false;

    // The paragraph before the current one, for contextual spacing.
    int m_prevBlock = -1;
    ParaState m_prevPara;

    std::vector<Level> m_levels; // open tables, outermost first

    std::unordered_map<CharState, QTextCharFormat, CharStateHash> m_formats;
    QSet<quint64> m_fontVariants;
};

// ---- RtfCodePages.cpp ----

// Code page markers for fonts whose bytes are symbols rather than letters.
constexpr int kCodePageSymbol = -1;
constexpr int kCodePageWingdings = -2;
constexpr int kCodePageWebdings = -3;
constexpr int kCodePageZapfDingbats = -4;
constexpr int kCodePageWingdings2 = -5;
constexpr int kCodePageWingdings3 = -6;
constexpr int kCodePageOtherSymbol = -7; // a symbol font without a table: bytes as they are

// The code page of a \fcharset value; 0 (the document's ANSI code page) for \fcharset1 and any
// value the format does not define.
int codePageOfCharset(int charset);

// True when @p b starts a two-byte character in @p codePage.
bool isLeadByte(int codePage, unsigned char b);

// A private-use character U+F020..U+F0FF, which symbol fonts draw as their byte's glyph, as the
// Unicode character that font draws; other characters as they are.
char32_t symbolFontChar(int codePage, char32_t ch);

// The code page a font table entry reads its bytes in, given the one its character set or \cpg
// names and the font's name.
int fontCodePage(int codePage, const QString &fontName);

// Decodes text bytes in a code page, or a Symbol or Wingdings font's bytes, to Unicode. Keeps
// one converter per code page it has met.
class CodePageDecoder final
{
public:
    QString decode(const QByteArray &bytes, int codePage);

private:
    QStringDecoder *decoderFor(int codePage);

    std::unordered_map<int, std::unique_ptr<QStringDecoder>> m_decoders;
};

// ---- RtfFields.cpp ----

// The words of a field instruction: blanks separate them, double quotes group them.
QStringList fieldTokens(const QString &instruction);

// The character a SYMBOL field stands for ("SYMBOL 183 \\f \"Symbol\""), decoded with
// @p decoder; empty for any other field. @p ansiCodePage is the document's code page.
QString symbolFieldText(const QString &instruction, int ansiCodePage, CodePageDecoder &decoder);

// A list number as @p style writes it (3, III, iii, C, c).
QString listNumber(int n, ListMarker::Style style);

// The marker of a list item: the text before, the number (or a bullet when a bullet marker
// gives no text), the text after, and a tab.
QString markerText(const ListMarker &marker, int number);

// ---- RtfKeywords.cpp ----

// clang-format off
enum class Kw {
    // destinations
    SkipDest, FontTable, ColorTable, Field, FldInst, FldRslt, TextDest, MarkerText, Container,
    Upr, Ud, Footnote, Pn, PnTextBefore, PnTextAfter,
    // footnotes and endnotes
    FtnAlt, NoteFormat, NoteStart,
    // list table
    ListTable, ListOverrideTable, List, ListLevel, ListId, LevelNfc, LevelStart, LevelText,
    LevelFollow, ListOverride, Ls, Ilvl,
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
    Pard, Ql, Qc, Qr, Qj, Li, Ri, Fi, Sb, Sa, Sl, SlMult, Tx, TabKind, Style, Contextual,
    CbPat, CfPat, Shading, InTable, Itap,
    // paragraph numbering (\pn)
    PnKind, PnLevel, PnStyle, PnStart, PnFont,
    // tables
    TRowD, TrLeft, TrGaph, TrAlign, TrBorder, ClBorder, BrdrStyle, BrdrW, BrdrCf, CellX,
    ClVAlign, ClCbPat, ClCfPat, ClShading, ClMerge,
    // breaks and characters
    Par, Line, Tab, Cell, NestCell, Row, NestRow, Char, U, Uc, Bin, Chftn,
};
// clang-format on

// In the value of a footnote numbering word: the word is about endnotes.
constexpr int kEndnoteFlag = 0x10;

struct KwInfo
{
    Kw kw;
    int value = 0; // a character, a style or a family, depending on kw
};

// The control word @p word, or null when the reader does not know it.
const KwInfo *findKeyword(std::string_view word);

// Applies a character or paragraph formatting word; false when @p info is none.
bool applyFormatWord(CharState &chr, ParaState &para, const KwInfo &info, bool hasParam,
                     long long param);

// ---- RtfTables.cpp ----

// Applies a row or cell definition word to @p def; @p border is the border that the border
// words describe (\clbrdrt and the like choose it). False when @p info is none.
bool applyTableWord(RowDef &def, Border *&border, const KwInfo &info, long long param);

} // namespace platform::rtf
