#pragma once

#include <QAbstractItemModel>

class OptionTree;
struct OptionNode;

/// A read-only item model over an OptionTree: one column, the node's text as its display role
/// and its state icon as its decoration. It follows the tree through the tree's callbacks:
/// StateChanged becomes dataChanged, AboutToReset and ResetDone frame a model reset. Each
/// index carries its node, and each node knows its row, so every query is O(1).
class OptionTreeModel final : public QAbstractItemModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OptionTreeModel)

public:
    explicit OptionTreeModel(OptionTree &tree, QObject *parent = nullptr);
    ~OptionTreeModel() override;

    OptionTree &Tree() const { return m_tree; }

    /// The node of @p index, or null for the root and for indexes of another model.
    OptionNode *NodeAt(const QModelIndex &index) const;
    /// The index of @p node (invalid for null).
    QModelIndex IndexOf(const OptionNode *node) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    void nodeChanged(OptionNode *node);

    OptionTree &m_tree;
    bool m_resetting = false;
};
