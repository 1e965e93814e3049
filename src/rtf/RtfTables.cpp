// The DocumentBuilder's tables. The paragraphs of a table are collected cell by cell and row by
// row; when the table ends (a paragraph outside it, or the end of the document) it goes into
// the document as one QTextTable. Columns come from the cells' right edges (\cellx) of all
// rows, so a cell that spans the edges of another row's cells spans those columns.
#include "rtf/RtfInternal.h"

#include <QTextDocument>
#include <QTextTable>

#include <algorithm>

namespace platform::rtf {

namespace {

// A table takes at most this many distinct column edges; beyond that its cells are simply
// laid side by side.
constexpr int kMaxColumns = 128;
// Width of a cell that has no \cellx of its own.
constexpr int kDefaultCellTwips = 1440;

} // namespace

struct DocumentBuilder::Item
{
    enum Kind { Text, Break, Table } kind;
    QString text;
    CharState chr;
    ParaState para;
    std::unique_ptr<TableBuf> table;
};

struct DocumentBuilder::CellBuf
{
    std::vector<Item> items;
    ParaState lastPara; // properties of the cell's last paragraph, which \cell ends
};

struct DocumentBuilder::RowBuf
{
    RowDef def;
    std::vector<CellBuf> cells;
};

struct DocumentBuilder::TableBuf
{
    std::vector<RowBuf> rows;
};

struct DocumentBuilder::Level
{
    TableBuf table;
    RowBuf row;
    CellBuf cell;
    bool cellHasContent() const { return !cell.items.empty(); }
};

// Here, where the table buffers are complete types.
DocumentBuilder::DocumentBuilder(QTextDocument *document, const DocumentTables &tables)
    : m_document(document), m_tables(tables), m_cursor(document)
{
}

DocumentBuilder::~DocumentBuilder() = default;

DocumentBuilder::Level &DocumentBuilder::levelAt(int depth)
{
    depth = std::clamp(depth, 1, kMaxTableDepth);
    while (static_cast<int>(m_levels.size()) > depth)
        closeLevel();
    if (m_levels.empty()) {
        // The table starts on a line of its own.
        flushRun();
        if (m_pendingBreak || m_cursor.block().length() > 1) {
            if (!m_pendingBreak)
                setBlockFormat(m_cursor, m_blockPara);
            m_cursor.insertBlock();
            m_pendingBreak = false;
        }
    }
    while (static_cast<int>(m_levels.size()) < depth)
        m_levels.emplace_back();
    return m_levels.back();
}

void DocumentBuilder::tableText(const QString &s, const CharState &chr, const ParaState &para)
{
    CellBuf &cell = levelAt(para.itap).cell;
    if (!cell.items.empty() && cell.items.back().kind == Item::Text &&
        cell.items.back().chr == chr) {
        cell.items.back().text += s;
        cell.items.back().para = para;
    } else {
        cell.items.push_back(Item{Item::Text, s, chr, para, nullptr});
    }
}

void DocumentBuilder::tableBreak(const CharState &chr, const ParaState &para)
{
    levelAt(para.itap).cell.items.push_back(Item{Item::Break, QString(), chr, para, nullptr});
}

void DocumentBuilder::cell(int depth, const CharState &chr, const ParaState &para)
{
    Q_UNUSED(chr);
    Level &level = levelAt(depth);
    level.cell.lastPara = para;
    if (static_cast<int>(level.row.cells.size()) >= kMaxRowCells) {
        // Too many cells: the rest of the row joins the last one.
        CellBuf &last = level.row.cells.back();
        if (!level.cell.items.empty())
            last.items.push_back(Item{Item::Break, QString(), chr, last.lastPara, nullptr});
        for (Item &item : level.cell.items)
            last.items.push_back(std::move(item));
        last.lastPara = para;
    } else {
        level.row.cells.push_back(std::move(level.cell));
    }
    level.cell = CellBuf();
}

void DocumentBuilder::row(int depth, const RowDef &def)
{
    if (static_cast<int>(m_levels.size()) < std::clamp(depth, 1, kMaxTableDepth) &&
        m_levels.size() == 0)
        return; // a row end outside any table has nothing to end
    Level &level = levelAt(depth);
    if (level.cellHasContent()) {
        level.row.cells.push_back(std::move(level.cell));
        level.cell = CellBuf();
    }
    if (level.row.cells.empty())
        return;
    level.row.def = def;
    level.table.rows.push_back(std::move(level.row));
    level.row = RowBuf();
}

// Ends the innermost open table: what is left of its last row becomes a row, and the table
// goes into the cell around it, or into the document when it is the outermost.
void DocumentBuilder::closeLevel()
{
    Level level = std::move(m_levels.back());
    m_levels.pop_back();
    // A cell left open by a truncated table: its final paragraph break adds no line.
    if (level.cellHasContent() && level.cell.items.back().kind == Item::Break) {
        level.cell.lastPara = level.cell.items.back().para;
        level.cell.items.pop_back();
    }
    if (level.cellHasContent())
        level.row.cells.push_back(std::move(level.cell));
    if (!level.row.cells.empty()) {
        if (level.table.rows.empty())
            level.row.def = RowDef();
        else
            level.row.def = level.table.rows.back().def;
        level.table.rows.push_back(std::move(level.row));
    }
    if (level.table.rows.empty())
        return;
    auto table = std::make_unique<TableBuf>(std::move(level.table));
    if (m_levels.empty()) {
        renderTable(m_cursor, *table, 1);
        m_blockPara = ParaState();
    } else {
        m_levels.back().cell.items.push_back(
            Item{Item::Table, QString(), CharState(), ParaState(), std::move(table)});
    }
}

void DocumentBuilder::closeTables()
{
    while (!m_levels.empty())
        closeLevel();
}

void DocumentBuilder::renderTable(QTextCursor &cursor, const TableBuf &table, int depth)
{
    if (depth > kMaxLaidOutTableDepth) {
        renderFlat(cursor, table, depth);
        return;
    }
    // The edges of every cell, in twips from the page margin.
    struct Span
    {
        int left, right;
    };
    std::vector<std::vector<Span>> spans(table.rows.size());
    std::vector<int> edges;
    for (size_t r = 0; r < table.rows.size(); ++r) {
        const RowBuf &row = table.rows[r];
        int left = row.def.left;
        edges.push_back(left);
        for (size_t c = 0; c < row.cells.size(); ++c) {
            int right =
                c < row.def.cells.size() ? row.def.cells[c].right : left + kDefaultCellTwips;
            right = std::max(right, left + 1);
            spans[r].push_back({left, right});
            edges.push_back(right);
            left = right;
        }
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    const bool aligned = static_cast<int>(edges.size()) <= kMaxColumns + 1;
    int columns = 0;
    if (aligned) {
        columns = static_cast<int>(edges.size()) - 1;
    } else {
        for (const RowBuf &row : table.rows)
            columns = std::max(columns, static_cast<int>(row.cells.size()));
    }
    const auto column = [&edges](int edge) {
        return static_cast<int>(std::lower_bound(edges.begin(), edges.end(), edge) - edges.begin());
    };

    const RowDef &first = table.rows.front().def;
    QTextTableFormat format;
    format.setBorder(0);
    format.setBorderCollapse(true);
    format.setCellSpacing(0);
    format.setCellPadding(0);
    format.setAlignment(first.align);
    format.setLeftMargin(std::max(0, first.left) / kTwipsPerPixel);
    if (aligned) {
        QList<QTextLength> widths;
        for (int i = 0; i < columns; ++i)
            widths.append(
                QTextLength(QTextLength::FixedLength, (edges[i + 1] - edges[i]) / kTwipsPerPixel));
        format.setColumnWidthConstraints(widths);
    }
    QTextTable *qtable =
        cursor.insertTable(static_cast<int>(table.rows.size()), std::max(1, columns), format);

    for (size_t r = 0; r < table.rows.size(); ++r) {
        const RowBuf &row = table.rows[r];
        int col = 0;
        for (size_t c = 0; c < row.cells.size(); ++c) {
            const CellDef def = c < row.def.cells.size() ? row.def.cells[c] : CellDef();
            int start = aligned ? column(spans[r][c].left) : col;
            int span = aligned ? column(spans[r][c].right) - start : 1;
            // Cells merged into the one before them (\clmrg) widen it.
            size_t next = c + 1;
            while (next < row.cells.size() && next < row.def.cells.size() &&
                   row.def.cells[next].merged) {
                if (aligned)
                    span = column(spans[r][next].right) - start;
                else
                    ++span;
                ++next;
            }
            col = start + span;
            int rowSpan = 1;
            if (def.vmergeFirst) {
                // Cells of the rows below that continue this one (\clvmrg) join it.
                for (size_t below = r + 1; below < table.rows.size(); ++below) {
                    const RowBuf &b = table.rows[below];
                    bool continues = false;
                    for (size_t k = 0; k < b.cells.size() && k < b.def.cells.size(); ++k) {
                        if (aligned && column(spans[below][k].left) == start)
                            continues = b.def.cells[k].vmerged;
                    }
                    if (!continues)
                        break;
                    ++rowSpan;
                }
            }
            if (start >= qtable->columns())
                break;
            span = std::clamp(span, 1, qtable->columns() - start);
            if (def.vmerged && qtable->cellAt(static_cast<int>(r), start).rowSpan() == 1 && r > 0 &&
                qtable->cellAt(static_cast<int>(r) - 1, start).row() +
                        qtable->cellAt(static_cast<int>(r) - 1, start).rowSpan() >
                    static_cast<int>(r)) {
                c = next - 1;
                continue; // already part of the cell above
            }
            if (span > 1 || rowSpan > 1)
                qtable->mergeCells(static_cast<int>(r), start, rowSpan, span);
            QTextTableCell qcell = qtable->cellAt(static_cast<int>(r), start);
            QTextTableCellFormat cellFormat = qcell.format().toTableCellFormat();
            const double padding = row.def.gap / kTwipsPerPixel;
            cellFormat.setLeftPadding(padding);
            cellFormat.setRightPadding(padding);
            if (def.valign == Qt::AlignVCenter)
                cellFormat.setVerticalAlignment(QTextCharFormat::AlignMiddle);
            else if (def.valign == Qt::AlignBottom)
                cellFormat.setVerticalAlignment(QTextCharFormat::AlignBottom);
            const QColor background = shade(def.background, def.pattern, def.shading);
            if (background.isValid())
                cellFormat.setBackground(background);
            // A cell border where the cell gives one, else the row's outer or inner border.
            for (int side = 0; side < 4; ++side) {
                Border border = def.borders[side];
                if (border.width < 0) {
                    const bool outer = side == 0   ? r == 0
                                       : side == 2 ? r + 1 == table.rows.size()
                                       : side == 1 ? c == 0
                                                   : next >= row.cells.size();
                    border = row.def.borders[outer ? side : (side % 2 == 0 ? 4 : 5)];
                }
                if (border.width <= 0 || border.style == QTextFrameFormat::BorderStyle_None)
                    continue;
                const double width = std::max(1.0, border.width / kTwipsPerPixel);
                const QColor c2 =
                    color(border.color).isValid() ? color(border.color) : QColor(Qt::black);
                const auto style = static_cast<QTextFrameFormat::BorderStyle>(border.style);
                switch (side) {
                case 0:
                    cellFormat.setTopBorder(width);
                    cellFormat.setTopBorderBrush(c2);
                    cellFormat.setTopBorderStyle(style);
                    break;
                case 1:
                    cellFormat.setLeftBorder(width);
                    cellFormat.setLeftBorderBrush(c2);
                    cellFormat.setLeftBorderStyle(style);
                    break;
                case 2:
                    cellFormat.setBottomBorder(width);
                    cellFormat.setBottomBorderBrush(c2);
                    cellFormat.setBottomBorderStyle(style);
                    break;
                default:
                    cellFormat.setRightBorder(width);
                    cellFormat.setRightBorderBrush(c2);
                    cellFormat.setRightBorderStyle(style);
                    break;
                }
            }
            qcell.setFormat(cellFormat);
            QTextCursor cellCursor = qcell.firstCursorPosition();
            for (size_t k = c; k < next; ++k) {
                if (k > c && !row.cells[k].items.empty())
                    cellCursor.insertBlock();
                renderCell(cellCursor, row.cells[k], depth);
            }
            c = next - 1;
        }
    }
    cursor = qtable->lastCursorPosition();
    cursor.movePosition(QTextCursor::NextBlock);
}

// A table too deep to lay out as one: each row a paragraph of its own, its cells' text
// separated by tabs; paragraphs within a cell keep their breaks.
void DocumentBuilder::renderFlat(QTextCursor &cursor, const TableBuf &table, int depth)
{
    bool first = cursor.block().length() <= 1; // starts on a line of its own
    for (const RowBuf &row : table.rows) {
        for (size_t c = 0; c < row.cells.size(); ++c) {
            const CellBuf &cell = row.cells[c];
            if (!first && c == 0) {
                cursor.insertBlock();
            } else if (c > 0) {
                insertText(cursor, QStringLiteral("\t"),
                           charFormat(cell.items.empty() ? CharState() : cell.items.front().chr));
            }
            first = false;
            renderCell(cursor, cell, depth);
        }
    }
}

void DocumentBuilder::renderCell(QTextCursor &cursor, const CellBuf &cell, int depth)
{
    bool text = false;
    for (const Item &item : cell.items) {
        switch (item.kind) {
        case Item::Text:
            insertText(cursor, item.text, charFormat(item.chr));
            text = true;
            break;
        case Item::Break:
            cursor.setBlockFormat(blockFormat(item.para));
            cursor.insertBlock(QTextBlockFormat(), charFormat(item.chr));
            text = false;
            break;
        case Item::Table:
            renderTable(cursor, *item.table, depth + 1);
            break;
        }
    }
    if (text || !cell.items.empty())
        cursor.setBlockFormat(blockFormat(cell.lastPara));
}

// clang-format off
bool applyTableWord(RowDef &def, Border *&border, const KwInfo &info, long long param)
{
    switch (info.kw) {
        case Kw::TrLeft: def.left = clampInt(param, -kMaxTwips, kMaxTwips); break;
        case Kw::TrGaph: def.gap = clampInt(param, 0, kMaxTwips); break;
        case Kw::TrAlign: def.align = static_cast<Qt::Alignment>(info.value); break;
        case Kw::TrBorder: border = &def.borders[info.value]; *border = Border(); border->width = 15; break;
        case Kw::ClBorder: border = &def.next.borders[info.value]; *border = Border(); border->width = 15; break;
        case Kw::BrdrStyle:
            if (border) {
                border->style = static_cast<unsigned char>(info.value);
                if (info.value == QTextFrameFormat::BorderStyle_None)
                    border->width = 0;
            }
            break;
        case Kw::BrdrW:
            if (border && border->style != QTextFrameFormat::BorderStyle_None)
                border->width = clampInt(param, 0, 1440);
            break;
        case Kw::BrdrCf: if (border) border->color = clampInt(param, 0, kMaxColors); break;
        case Kw::ClVAlign: def.next.valign = static_cast<Qt::Alignment>(info.value); break;
        case Kw::ClCbPat: def.next.background = clampInt(param, 0, kMaxColors); break;
        case Kw::ClCfPat: def.next.pattern = clampInt(param, 0, kMaxColors); break;
        case Kw::ClShading: def.next.shading = clampInt(param, 0, 10000); break;
        case Kw::ClMerge: {
            CellDef &next = def.next;
            (info.value == 0 ? next.mergeFirst : info.value == 1 ? next.merged
             : info.value == 2 ? next.vmergeFirst : next.vmerged) = true;
            break;
        }
        case Kw::CellX: {
            border = nullptr;
            if (static_cast<int>(def.cells.size()) < kMaxRowCells) {
                def.next.right = clampInt(param, -kMaxTwips, kMaxTwips);
                def.cells.push_back(def.next);
            }
            def.next = CellDef();
            break;
        }

    default:
        return false;
    }
    return true;
}
// clang-format on

} // namespace platform::rtf
