#pragma once

#include "options/OptionNode.h"

#include <QObject>

#include <functional>
#include <memory>

class QLabel;
class QModelIndex;
class QToolButton;
class QTreeView;
class OptionTreeModel;
struct TProgramSettings;

/// Keeps the main window's TreeView1, its Label1 and the expand and collapse buttons in step
/// with the widget-free OptionTree. The main window's handlers delegate to it.
///
/// It sets its model on the view at construction (the view keeps that model and its selection
/// model for good), connects the view's expanded and collapsed signals to TreeView1Expanding
/// and TreeView1Collapsing, and the buttons' clicks to sbtnExpandClick and sbtnCollapseClick.
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
    ///
    /// After BeginEarlyScan() the first rebuild takes the early reading when it was made with
    /// the options root and descriptor defaults now in force and is still fresh; it waits for a
    /// reading that has not finished yet, passing its running count to @p progress. Otherwise
    /// it reads the folders itself.
    void UpdateTreeView(const std::function<void(int)> &progress = {});

    /// Starts reading the option folders on a thread of its own, with the settings file of
    /// @p paths (whose program paths are set) as it is on disk now, so that the reading runs
    /// while the start-up does other things.
    void BeginEarlyScan(const TProgramSettings &paths);

    /// What the user must be told about the last rebuild: which limit left folders out of the
    /// tree. Empty when every folder is in it.
    QString LimitNotice() const { return m_limitNotice; }

    /// Selectable options found by the scans so far: it starts at 0 when the program starts and
    /// every scan adds to it.
    int OptionCount() const { return m_optionCount; }

    /// The view's current node, or null.
    OptionNode *SelectedNode() const;
    OptionNode *NodeAt(const QModelIndex &index) const;
    QModelIndex IndexOf(const OptionNode *node) const;
    QString GetNodeDir(const OptionNode *node) const;

    /// Expands, or collapses, every node at every level, then scrolls the first top-level node
    /// to the top row.
    void sbtnExpandClick();
    void sbtnCollapseClick();
    /// Icon changes of a node with children: a closed folder (7, 9) opens (8, 10) when the node
    /// is expanded and closes again when it is collapsed. Never written to disk.
    void TreeView1Expanding(OptionNode *node);
    void TreeView1Collapsing(OptionNode *node);

private:
    struct EarlyScan;

    void scrollToFirst();

    OptionTree m_tree;
    OptionTreeModel *m_model = nullptr;
    QTreeView *m_view;
    QLabel *m_label;
    QToolButton *m_expand;
    QToolButton *m_collapse;
    int m_optionCount = 0;
    QString m_limitNotice;
    std::unique_ptr<EarlyScan> m_early;
};
