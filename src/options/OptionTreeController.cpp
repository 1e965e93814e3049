#include "options/OptionTreeController.h"

#include "core/Common.h"
#include "options/EarlyOptionScan.h"
#include "options/OptionScan.h"
#include "options/OptionTreeModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QModelIndex>
#include <QPainter>
#include <QSet>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QTreeView>

namespace {

const QString NotFoundCaption = QStringLiteral("Options directory not found!");
const QString DefaultCaption = QStringLiteral("Options");

QString limitNotice(const OptionScanResult &result, const OptionScanLimits &limits)
{
    if (result.DepthLimitReached)
        return QStringLiteral("Not every option folder is shown: the option tree stops at %1 "
                              "levels.")
            .arg(limits.MaxDepth);
    if (result.NodeLimitReached)
        return QStringLiteral("Not every option folder is shown: the option tree stops at %1 "
                              "folders.")
            .arg(limits.MaxNodes);
    return {};
}

// The hourglass for the duration of a rebuild, and the tree's repainting suspended; both come
// back however the rebuild ends.
class BusyTree final
{
public:
    explicit BusyTree(QTreeView *view) : m_view(view), m_updates(view->updatesEnabled())
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_view->setUpdatesEnabled(false);
    }
    ~BusyTree()
    {
        m_view->setUpdatesEnabled(m_updates);
        QApplication::restoreOverrideCursor();
    }
    BusyTree(const BusyTree &) = delete;
    BusyTree &operator=(const BusyTree &) = delete;

private:
    QTreeView *m_view;
    bool m_updates;
};

// Announces a change of the whole node set to the model; ResetDone follows also when the
// change throws, so the model never stays in a reset.
class TreeReset final
{
public:
    explicit TreeReset(OptionTree &tree) : m_tree(tree)
    {
        if (m_tree.AboutToReset)
            m_tree.AboutToReset();
    }
    ~TreeReset()
    {
        if (m_tree.ResetDone)
            m_tree.ResetDone();
    }
    TreeReset(const TreeReset &) = delete;
    TreeReset &operator=(const TreeReset &) = delete;

private:
    OptionTree &m_tree;
};

// Paints a node as usual, then marks the part of its name the filter matched with the
// palette's highlight colour, translucent so the text stays readable.
class FilterHighlight final : public QStyledItemDelegate
{
public:
    FilterHighlight(const OptionTreeController *controller, QObject *parent)
        : QStyledItemDelegate(parent), m_controller(controller)
    {
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        if (!m_controller->IsFiltering())
            return;
        const OptionNode *node = m_controller->NodeAt(index);
        const OptionFilterIndex::Range range =
            node ? m_controller->MatchIn(node) : OptionFilterIndex::Range{};
        if (!range.IsValid())
            return;
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget *widget = opt.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        const QFontMetrics metrics(opt.font);
        const QString name = node->Text();
        const int left =
            textRect.left() + margin + metrics.horizontalAdvance(name.left(range.Start));
        const int width = metrics.horizontalAdvance(name.mid(range.Start, range.Length));
        QColor colour = opt.palette.color(QPalette::Highlight);
        colour.setAlpha(90);
        const QRect mark(left, textRect.top() + 1, width, textRect.height() - 2);
        painter->fillRect(mark.intersected(textRect), colour);
    }

private:
    const OptionTreeController *m_controller;
};

} // namespace

OptionTreeController::OptionTreeController(QTreeView *treeView, QLabel *label,
                                           QToolButton *expandButton, QToolButton *collapseButton,
                                           QObject *parent)
    : QObject(parent), m_view(treeView), m_label(label), m_expand(expandButton),
      m_collapse(collapseButton)
{
    m_model = new OptionTreeModel(m_tree, this);
    m_view->setModel(m_model);
    m_view->setHeaderHidden(true);
    m_view->setRootIsDecorated(false);
    m_view->setIndentation(19);
    m_view->setIconSize(QSize(16, 16));
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setUniformRowHeights(true);
    m_view->setItemDelegate(new FilterHighlight(this, this));

    connect(m_view, &QTreeView::expanded, this,
            [this](const QModelIndex &index) { TreeView1Expanding(NodeAt(index)); });
    connect(m_view, &QTreeView::collapsed, this,
            [this](const QModelIndex &index) { TreeView1Collapsing(NodeAt(index)); });
    connect(m_expand, &QToolButton::clicked, this, &OptionTreeController::sbtnExpandClick);
    connect(m_collapse, &QToolButton::clicked, this, &OptionTreeController::sbtnCollapseClick);
}

OptionTreeController::~OptionTreeController()
{
    // The model refers to m_tree, so it goes before the tree does; a view that is still there
    // lets go of a model that is destroyed.
    delete m_model;
}

void OptionTreeController::BeginEarlyScan(const TProgramSettings &paths)
{
    m_early.reset();
    m_early = EarlyOptionScan::Start(paths);
}

void OptionTreeController::AdoptEarlyScan(std::unique_ptr<EarlyOptionScan> scan)
{
    m_early = std::move(scan);
}

void OptionTreeController::UpdateTreeView(const std::function<void(int)> &progress)
{
    std::unique_ptr<EarlyOptionScan> early = std::move(m_early);
    if (early && !early->Answers(ProgramSettings))
        early.reset(); // stopped and joined
    const int before = m_optionCount;
    const OptionScanLimits limits;
    {
        BusyTree busy(m_view);
        {
            TreeReset reset(m_tree);
            m_tree.Clear();
        }
        // The new nodes are built apart and handed to the view in one reset, so nothing the
        // splash lets run while it repaints can meet a half-built tree.
        OptionTree fresh;
        std::function<void(int)> running;
        if (progress)
            running = [&](int count) { progress(before + count); };
        OptionScanResult result;
        if (early) {
            result = early->Take(fresh, running);
        } else {
            result = ScanOptionFolders(fresh, ProgramSettings.optionsRoot(), nullptr,
                                       ProgramSettings, limits, running);
        }
        m_optionCount = before + result.OptionCount;
        if (result.DescriptorRead)
            CurrentOption = result.LastDescriptor;
        m_limitNotice = limitNotice(result, limits);
        TreeReset reset(m_tree);
        m_tree.SwapNodes(fresh);
        // The view forgot its hidden rows with the reset; the filter's index names old nodes.
        m_filter.reset();
        m_hiddenRows.clear();
        m_lastOptions = result.OptionCount;
    }
    m_lastFolders = 0;
    m_tree.ForEach([this](OptionNode *node) {
        if (node->HasChildren())
            ++m_lastFolders;
    });

    const bool found = !m_tree.IsEmpty();
    if (found) {
        // A caption left from an earlier scan that found nothing would now be wrong.
        if (m_label->text() == NotFoundCaption)
            m_label->setText(DefaultCaption);
        scrollToFirst();
    } else {
        m_label->setText(NotFoundCaption);
    }
    m_expand->setEnabled(found);
    m_collapse->setEnabled(found);
    if (m_filtering)
        applyFilter();
}

OptionNode *OptionTreeController::SelectedNode() const
{
    return NodeAt(m_view->currentIndex());
}

OptionNode *OptionTreeController::NodeAt(const QModelIndex &index) const
{
    return m_model->NodeAt(index);
}

QModelIndex OptionTreeController::IndexOf(const OptionNode *node) const
{
    return m_model->IndexOf(node);
}

QString OptionTreeController::GetNodeDir(const OptionNode *node) const
{
    return ::GetNodeDir(node, ProgramSettings.optionsRoot());
}

void OptionTreeController::scrollToFirst()
{
    const QModelIndex first = m_model->index(0, 0);
    if (first.isValid())
        m_view->scrollTo(first, QAbstractItemView::PositionAtTop);
}

void OptionTreeController::sbtnExpandClick()
{
    // The view expands everything in one layout pass and reports no single expansions, so the
    // icons are switched here, for every node.
    m_tree.ForEach([this](OptionNode *node) { TreeView1Expanding(node); });
    m_view->expandAll();
    scrollToFirst();
}

void OptionTreeController::sbtnCollapseClick()
{
    m_tree.ForEach([this](OptionNode *node) { TreeView1Collapsing(node); });
    m_view->collapseAll();
    scrollToFirst();
}

void OptionTreeController::TreeView1Expanding(OptionNode *node)
{
    if (!node || !node->HasChildren())
        return;
    m_tree.SetExpanded(node, true);
    if (node->StateIndex == FolderClosed)
        m_tree.SetState(node, FolderOpen);
    if (node->StateIndex == MarkedFolderClosed)
        m_tree.SetState(node, MarkedFolderOpen);
}

void OptionTreeController::TreeView1Collapsing(OptionNode *node)
{
    if (!node || !node->HasChildren())
        return;
    m_tree.SetExpanded(node, false);
    if (node->StateIndex == FolderOpen)
        m_tree.SetState(node, FolderClosed);
    if (node->StateIndex == MarkedFolderOpen)
        m_tree.SetState(node, MarkedFolderClosed);
}

QStringList OptionTreeController::ExpandedFolders() const
{
    QStringList paths;
    m_tree.ForEach([&paths](OptionNode *node) {
        if (node->Expanded && node->HasChildren())
            paths.append(SrNodeTree(node, QString()));
    });
    return paths;
}

OptionNode *OptionTreeController::NodeAtPath(const QString &relative) const
{
    const std::vector<std::unique_ptr<OptionNode>> *level = &m_tree.TopLevel();
    OptionNode *node = nullptr;
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        node = nullptr;
        for (const auto &n : *level) {
            if (n->HasName(part)) {
                node = n.get();
                break;
            }
        }
        if (!node)
            return nullptr;
        level = &node->Children;
    }
    return node;
}

void OptionTreeController::ExpandFolders(const QStringList &paths, bool exactly)
{
    std::vector<OptionNode *> wanted;
    wanted.reserve(static_cast<size_t>(paths.size()));
    for (const QString &path : paths) {
        if (OptionNode *node = NodeAtPath(path); node && node->HasChildren())
            wanted.push_back(node);
    }
    if (exactly) {
        QSet<const OptionNode *> keep;
        for (OptionNode *node : wanted)
            keep.insert(node);
        std::vector<OptionNode *> close;
        m_tree.ForEach([&](OptionNode *node) {
            if (node->Expanded && !keep.contains(node))
                close.push_back(node);
        });
        for (OptionNode *node : close)
            m_view->setExpanded(IndexOf(node), false);
    }
    for (OptionNode *node : wanted) {
        // A folder shows only below expanded ancestors; ancestors come first in the list, so
        // only a path whose ancestors were not listed needs them opened here.
        for (OptionNode *up = node; up; up = up->Parent) {
            if (!up->Expanded)
                m_view->setExpanded(IndexOf(up), true);
        }
    }
}

int OptionTreeController::SetFilter(const QString &text)
{
    if (!m_filtering) {
        m_expandedBefore = ExpandedFolders();
        const OptionNode *selected = SelectedNode();
        m_selectedBeforeSet = selected != nullptr;
        m_selectedBefore = selected ? SrNodeTree(selected, QString()) : QString();
        m_filtering = true;
    }
    m_filterText = text;
    applyFilter();
    return m_filter->MatchCount();
}

void OptionTreeController::applyFilter()
{
    if (!m_filter) {
        m_filter = std::make_unique<OptionFilterIndex>(m_tree);
        m_hiddenRows.assign(static_cast<size_t>(m_filter->NodeCount()), 0);
    }
    m_filter->Apply(m_filterText);
    const std::vector<OptionNode *> &nodes = m_filter->Nodes();
    const std::vector<char> &visible = m_filter->Visible();
    const size_t n = nodes.size();

    // A node is expanded exactly when one of its children is shown.
    QSet<const OptionNode *> openers;
    for (size_t i = 0; i < n; ++i) {
        if (visible[i] && nodes[i]->Parent)
            openers.insert(nodes[i]->Parent);
    }
    // Rows are hidden only at the top of a hidden subtree: below a hidden row nothing shows
    // anyway, and the view keeps one record per hidden row.
    for (size_t i = 0; i < n; ++i) {
        OptionNode *node = nodes[i];
        const bool parentShown = !node->Parent || m_filter->IsVisible(node->Parent);
        const char hide = (!visible[i] && parentShown) ? 1 : 0;
        if (hide != m_hiddenRows[i]) {
            m_view->setRowHidden(node->Row, IndexOf(node->Parent), hide != 0);
            m_hiddenRows[i] = hide;
        }
    }
    if (m_filter->IsActive()) {
        for (size_t i = 0; i < n; ++i) {
            OptionNode *node = nodes[i];
            if (!node->HasChildren())
                continue;
            const bool open = visible[i] && openers.contains(node);
            if (open != node->Expanded)
                m_view->setExpanded(IndexOf(node), open);
        }
        // The first rows shown, whichever they are (the first top-level node may be hidden).
        m_view->scrollToTop();
    }
}

void OptionTreeController::showAllRows()
{
    if (!m_filter)
        return;
    const std::vector<OptionNode *> &nodes = m_filter->Nodes();
    for (size_t i = 0; i < m_hiddenRows.size(); ++i) {
        if (m_hiddenRows[i]) {
            m_view->setRowHidden(nodes[i]->Row, IndexOf(nodes[i]->Parent), false);
            m_hiddenRows[i] = 0;
        }
    }
    m_filter->Apply(QString());
}

void OptionTreeController::ClearFilter()
{
    if (!m_filtering)
        return;
    m_filtering = false;
    m_filterText.clear();
    showAllRows();
    ExpandFolders(m_expandedBefore, true);
    OptionNode *selected = m_selectedBeforeSet ? NodeAtPath(m_selectedBefore) : nullptr;
    if (selected) {
        m_view->setCurrentIndex(IndexOf(selected));
        m_view->scrollTo(IndexOf(selected));
    } else {
        m_view->selectionModel()->clear();
        scrollToFirst();
    }
    m_view->viewport()->update();
}

OptionFilterIndex::Range OptionTreeController::MatchIn(const OptionNode *node) const
{
    if (!m_filtering || !m_filter)
        return {};
    return m_filter->MatchIn(node);
}
