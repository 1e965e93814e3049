// Rich Text Format reader: turns the RTF that word processors write into a QTextDocument.
//
// RtfParser.cpp reads the bytes and keeps the state of each group; the DocumentBuilder here
// puts the text it finds into the document. RtfInternal.h lists the pieces.
#include "rtf/RtfReader.h"

#include "rtf/RtfInternal.h"

#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextDocument>

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace rtf {

namespace {

// At most this many combinations of font and size reach the document; see fontVariant.
constexpr int kMaxFontVariants = 256;

void setTabStopDistance(QTextDocument *document, int twips)
{
    QTextOption option = document->defaultTextOption();
    option.setTabStopDistance(twips / kTwipsPerPixel);
    document->setDefaultTextOption(option);
}

} // namespace

void DocumentBuilder::begin()
{
    m_cursor.beginEditBlock();
}

void DocumentBuilder::text(const QString &s, const CharState &chr, const ParaState &para)
{
    if (para.itap > 0) {
        tableText(s, chr, para);
        return;
    }
    closeTables();
    if (m_pendingBreak)
        insertBlock(chr);
    appendRun(s, chr);
    m_blockPara = para;
}

void DocumentBuilder::paragraphBreak(const CharState &chr, const ParaState &para)
{
    if (para.itap > 0) {
        tableBreak(chr, para);
        return;
    }
    closeTables();
    if (m_pendingBreak)
        insertBlock(chr);
    flushRun();
    setBlockFormat(m_cursor, para);
    m_pendingBreak = true;
}

void DocumentBuilder::finish()
{
    closeTables();
    if (!m_pendingBreak) {
        flushRun();
        setBlockFormat(m_cursor, m_blockPara);
    }
    m_cursor.endEditBlock();
}

// Contextual spacing: between two paragraphs of the same style, a paragraph that asks for it
// loses its space on that side.
void DocumentBuilder::setBlockFormat(QTextCursor &cursor, const ParaState &para)
{
    QTextBlockFormat format = blockFormat(para);
    const QTextBlock block = cursor.block();
    if (cursor == m_cursor) {
        const QTextBlock previous = block.previous();
        if (previous.isValid() && previous.blockNumber() == m_prevBlock &&
            m_prevPara.style == para.style) {
            if (para.contextual)
                format.setTopMargin(0);
            if (m_prevPara.contextual) {
                QTextCursor before(previous);
                QTextBlockFormat f = previous.blockFormat();
                f.setBottomMargin(0);
                before.setBlockFormat(f);
            }
        }
        m_prevBlock = block.blockNumber();
        m_prevPara = para;
    }
    cursor.setBlockFormat(format);
}

void DocumentBuilder::setDefaultTabStop(int twips)
{
    setTabStopDistance(m_document, twips);
}

void DocumentBuilder::appendRun(const QString &s, const CharState &chr)
{
    if (m_run.isEmpty())
        m_runState = chr;
    else if (m_runState != chr) {
        flushRun();
        m_runState = chr;
    }
    m_run += s;
}

void DocumentBuilder::flushRun()
{
    if (m_run.isEmpty())
        return;
    insertText(m_cursor, m_run, charFormat(m_runState));
    m_run.clear();
}

void DocumentBuilder::insertText(QTextCursor &cursor, QString s, const QTextCharFormat &format)
{
    // Characters the document would take for block or frame boundaries stay text.
    for (QChar &ch : s) {
        const char16_t u = ch.unicode();
        if (u == QChar::ParagraphSeparator)
            ch = QChar(QChar::LineSeparator);
        else if (u == 0xFDD0 || u == 0xFDD1 || u == QChar::ObjectReplacementCharacter ||
                 u == '\n' || u == '\r' || u == 0)
            ch = QChar(QChar::ReplacementCharacter);
    }
    cursor.insertText(s, format);
}

void DocumentBuilder::insertBlock(const CharState &chr)
{
    flushRun();
    m_cursor.insertBlock(QTextBlockFormat(), charFormat(chr));
    m_pendingBreak = false;
}

// Formats are made once per distinct state: the document hashes and compares each format
// it is given, and a shared format keeps its hash.
QTextCharFormat DocumentBuilder::charFormat(const CharState &c)
{
    const auto cached = m_formats.find(c);
    if (cached != m_formats.end())
        return cached->second;
    if (m_formats.size() >= 4096)
        m_formats.clear();
    QTextCharFormat f;
    const auto [fontNumber, size] = fontVariant(c.font < 0 ? m_tables.defaultFont : c.font, c.size);
    const auto font = m_tables.fonts.constFind(fontNumber);
    if (font != m_tables.fonts.constEnd() && !font->name.isEmpty() && font->codePage >= 0) {
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
        f.setAnchorHref(m_tables.fields[c.link].href);
    }
    m_formats.emplace(c, f);
    return f;
}

// Every distinct font and size costs the layout a font engine, and a hostile file could ask
// for thousands. Past kMaxFontVariants a new combination takes the nearest one in use: the
// same font with the closest size, else the closest size of any font.
std::pair<int, int> DocumentBuilder::fontVariant(int font, int size)
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
        const long long distance = (usedFont == font ? 0 : 1000000LL) + std::abs(usedSize - size);
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            best = {usedFont, usedSize};
        }
    }
    return best;
}

QColor DocumentBuilder::color(int index) const
{
    if (index <= 0 || index >= static_cast<int>(m_tables.colors.size()))
        return {};
    return m_tables.colors[index];
}

QColor DocumentBuilder::shade(int background, int pattern, int shading) const
{
    // Shading lays the pattern colour (black unless given) over the background colour (white
    // unless given) at the strength given in hundredths of a percent.
    const QColor back = color(background);
    if (shading <= 0)
        return back;
    const QColor base = back.isValid() ? back : QColor(Qt::white);
    const QColor fore = color(pattern).isValid() ? color(pattern) : QColor(Qt::black);
    const double t = std::min(shading, 10000) / 10000.0;
    return QColor::fromRgbF(float(base.redF() + (fore.redF() - base.redF()) * t),
                            float(base.greenF() + (fore.greenF() - base.greenF()) * t),
                            float(base.blueF() + (fore.blueF() - base.blueF()) * t));
}

QTextBlockFormat DocumentBuilder::blockFormat(const ParaState &p) const
{
    QTextBlockFormat f;
    f.setAlignment(p.align);
    const QColor background = shade(p.cbpat, p.cfpat, p.shading);
    if (background.isValid())
        f.setBackground(background);
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
    std::sort(tabs.begin(), tabs.end(), [](const QTextOption::Tab &a, const QTextOption::Tab &b) {
        return a.position < b.position;
    });
    if (!tabs.isEmpty())
        f.setTabPositions(tabs);
    return f;
}

} // namespace rtf

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
    rtf::setTabStopDistance(document, 720);
    rtf::parse(data, document);
    document->setUndoRedoEnabled(undo);
}

} // namespace platform
