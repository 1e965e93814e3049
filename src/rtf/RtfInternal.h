#pragma once

// The pieces of the RTF reader (platform/RtfReader.h), shared between its source files:
//
//   RtfParser.cpp     reads the bytes: groups, control words, destinations, and the tables of
//                     fonts, colours and fields the document declares;
//   RtfReader.cpp     the entry points, and the DocumentBuilder that puts formatted text into
//                     the QTextDocument;
//   RtfCodePages.cpp  character sets and code pages: text bytes to Unicode.

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringDecoder>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextOption>

#include <cstddef>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

class QTextBlockFormat;
class QTextDocument;

namespace platform::rtf {

// Twips (1/1440 inch) to pixels at 96 per inch.
constexpr double kTwipsPerPixel = 15.0;

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

struct ParaState
{
    Qt::Alignment align = Qt::AlignLeft;
    int li = 0, ri = 0, fi = 0, sb = 0, sa = 0; // twips
    int sl = 0;                                 // line spacing, twips or 240ths when slmult
    bool slmult = false;
    QTextOption::TabType nextTabType = QTextOption::LeftTab;
    QList<QTextOption::Tab> tabs;
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

// Puts text into the document. Text is collected into runs of equal formatting and each run
// goes in with one insertText call; a paragraph's block is made only when something follows
// its \par, so the final \par adds no empty line.
class DocumentBuilder final
{
public:
    DocumentBuilder(QTextDocument *document, const DocumentTables &tables);
    Q_DISABLE_COPY_MOVE(DocumentBuilder)

    void begin();
    // Text of the body in the formatting given.
    void text(const QString &s, const CharState &chr, const ParaState &para);
    // \par: the paragraph properties in force now belong to the paragraph it ends.
    void paragraphBreak(const CharState &chr, const ParaState &para);
    void finish();

    void setDefaultTabStop(int twips);

private:
    void appendRun(const QString &s, const CharState &chr);
    void flushRun();
    void insertBlock(const CharState &chr);
    QTextCharFormat charFormat(const CharState &c);
    std::pair<int, int> fontVariant(int font, int size);
    QColor color(int index) const;
    static QTextBlockFormat blockFormat(const ParaState &p);

    QTextDocument *m_document;
    const DocumentTables &m_tables;
    QTextCursor m_cursor;

    QString m_run; // text of one format not yet in the document
    CharState m_runState;
    ParaState m_blockPara; // paragraph properties of the text in the current block
    bool m_pendingBreak = false;

    std::unordered_map<CharState, QTextCharFormat, CharStateHash> m_formats;
    QSet<quint64> m_fontVariants;
};

// ---- RtfCodePages.cpp ----

// Code page markers for fonts whose bytes are symbols rather than letters.
constexpr int kCodePageSymbol = -1;
constexpr int kCodePageWingdings = -2;

// The code page of a \fcharset value; 0 (the document's ANSI code page) for any other value.
int codePageOfCharset(int charset);

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

} // namespace platform::rtf
