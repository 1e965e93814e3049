#include "options/OptionTreeModel.h"

#include "options/OptionNode.h"
#include "options/StateIcons.h"

#include <QIcon>

OptionTreeModel::OptionTreeModel(OptionTree &tree, QObject *parent)
    : QAbstractItemModel(parent), m_tree(tree)
{
    m_tree.StateChanged = [this](OptionNode *node) { nodeChanged(node); };
    m_tree.AboutToReset = [this] {
        m_resetting = true;
        beginResetModel();
    };
    m_tree.ResetDone = [this] {
        endResetModel();
        m_resetting = false;
    };
}

OptionTreeModel::~OptionTreeModel()
{
    m_tree.StateChanged = nullptr;
    m_tree.AboutToReset = nullptr;
    m_tree.ResetDone = nullptr;
}

void OptionTreeModel::nodeChanged(OptionNode *node)
{
    // Nodes that change while the tree is rebuilt are announced by the reset as a whole.
    if (m_resetting || !node)
        return;
    const QModelIndex index = IndexOf(node);
    if (index.isValid())
        Q_EMIT dataChanged(index, index, {Qt::DecorationRole});
}

OptionNode *OptionTreeModel::NodeAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<OptionNode *>(index.internalPointer());
}

QModelIndex OptionTreeModel::IndexOf(const OptionNode *node) const
{
    if (!node)
        return {};
    return createIndex(node->Row, 0, const_cast<OptionNode *>(node));
}

QModelIndex OptionTreeModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0 || parent.column() > 0)
        return {};
    const OptionNode *p = NodeAt(parent);
    const auto &list = p ? p->Children : m_tree.TopLevel();
    if (static_cast<size_t>(row) >= list.size())
        return {};
    return createIndex(row, 0, list[static_cast<size_t>(row)].get());
}

QModelIndex OptionTreeModel::parent(const QModelIndex &child) const
{
    const OptionNode *node = NodeAt(child);
    if (!node || !node->Parent)
        return {};
    return IndexOf(node->Parent);
}

int OptionTreeModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    const OptionNode *p = NodeAt(parent);
    return static_cast<int>(p ? p->Children.size() : m_tree.TopLevel().size());
}

int OptionTreeModel::columnCount(const QModelIndex &parent) const
{
    return parent.column() > 0 ? 0 : 1;
}

bool OptionTreeModel::hasChildren(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return false;
    const OptionNode *p = NodeAt(parent);
    return p ? p->HasChildren() : !m_tree.IsEmpty();
}

QVariant OptionTreeModel::data(const QModelIndex &index, int role) const
{
    const OptionNode *node = NodeAt(index);
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return node->Text();
    case Qt::DecorationRole: {
        // State 0 and states the program does not know show no icon at all.
        const QIcon icon = StateIcons::ForState(node->StateIndex);
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    default:
        return {};
    }
}

Qt::ItemFlags OptionTreeModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (const OptionNode *node = NodeAt(index); node && !node->HasChildren())
        f |= Qt::ItemNeverHasChildren;
    return f;
}
