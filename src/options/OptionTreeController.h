#pragma once

#include "options/OptionNode.h"

#include <QObject>

#include <functional>

class QLabel;
class QModelIndex;
class QToolButton;
class QTreeView;
class OptionTreeModel;

/// Keeps the main window's TreeView1, its Label1 and the expand and collapse buttons in step
/// with the widget-free OptionTree. The main window's handlers delegate to it.
class OptionTreeController final : public QObject
{
    Q_OBJECT

public:
    OptionTreeController(QTreeView *treeView, QLabel *label, QToolButton *expandButton,
                         QToolButton *collapseButton, QObject *parent = nullptr);
    ~OptionTreeController() override;

    OptionTree &Tree() { return m_tree; }
    OptionTreeModel *Model() const { return m_model; }

    /// Discards all nodes and rebuilds the tree from ProgramSettings' options root. @p progress
    /// receives the running count of selectable options while the folders are read.
    void UpdateTreeView(const std::function<void(int)> &progress = {});

    /// Selectable options found by the last scans (never reset while the program runs).
    int OptionCount() const { return m_optionCount; }

    OptionNode *SelectedNode() const;
    OptionNode *NodeAt(const QModelIndex &index) const;
    QModelIndex IndexOf(const OptionNode *node) const;
    QString GetNodeDir(const OptionNode *node) const;

    void sbtnExpandClick();
    void sbtnCollapseClick();
    void TreeView1Expanding(OptionNode *node);
    void TreeView1Collapsing(OptionNode *node);

private:
    OptionTree m_tree;
    OptionTreeModel *m_model = nullptr;
    QTreeView *m_view;
    QLabel *m_label;
    QToolButton *m_expand;
    QToolButton *m_collapse;
    int m_optionCount = 0;
};
