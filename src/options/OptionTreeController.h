#pragma once

#include "options/OptionFilter.h"
#include "options/OptionNode.h"

#include <QObject>

#include <functional>
#include <memory>

class QLabel;
class QModelIndex;
class QToolButton;
class QTreeView;
class EarlyOptionScan;
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
    /// After BeginEarlyScan() or AdoptEarlyScan() the first rebuild takes the early reading when it was made with
    /// the options root and descriptor defaults now in force and is still fresh; it waits for a
    /// reading that has not finished yet, passing its running count to @p progress. Otherwise
    /// it reads the folders itself.
    void UpdateTreeView(const std::function<void(int)> &progress = {});

    /// Starts reading the option folders on a thread of its own, with the settings file of
    /// @p paths (whose program paths are set) as it is on disk now, so that the reading runs
    /// while the start-up does other things.
    void BeginEarlyScan(const TProgramSettings &paths);
    /// Takes a reading started before this controller was made, as BeginEarlyScan() would have
    /// started it.
    void AdoptEarlyScan(std::unique_ptr<EarlyOptionScan> scan);

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

    /// Relative paths ("Group/Sub/") of the folders that are expanded now, depth first.
    QStringList ExpandedFolders() const;
    /// The same, but while the filter is open the expansion from before it: the one the user
    /// made and gets back.
    QStringList UserExpandedFolders() const
    {
        return m_filtering ? m_expandedBefore : ExpandedFolders();
    }
    /// Expands the folders of @p paths that exist in the tree (with their ancestors) and, with
    /// @p exactly, collapses every other one. Paths that name no folder are passed over.
    void ExpandFolders(const QStringList &paths, bool exactly = false);
    /// The node at @p relative ("Group/Sub/" or "Group/Sub"), or null.
    OptionNode *NodeAtPath(const QString &relative) const;

    /// Shows only the nodes whose name contains @p text (ignoring case and accents) and their
    /// ancestors, expanded. The first call keeps the expansion and the selected node, which
    /// ClearFilter() brings back. Returns the number of names that matched.
    int SetFilter(const QString &text);
    /// Shows every node again with the expansion and selection from before the filter.
    void ClearFilter();
    bool IsFiltering() const { return m_filtering; }
    QString FilterText() const { return m_filterText; }
    /// The part of @p node's name the filter matched; invalid when none.
    OptionFilterIndex::Range MatchIn(const OptionNode *node) const;

    /// Folders (nodes with children) and selectable options of the last rebuild.
    int LastFolderCount() const { return m_lastFolders; }
    int LastScanOptionCount() const { return m_lastOptions; }

private:
    void scrollToFirst();
    void applyFilter();
    void showAllRows();

    OptionTree m_tree;
    OptionTreeModel *m_model = nullptr;
    QTreeView *m_view;
    QLabel *m_label;
    QToolButton *m_expand;
    QToolButton *m_collapse;
    int m_optionCount = 0;
    QString m_limitNotice;
    std::unique_ptr<EarlyOptionScan> m_early;

    // The filter: its index over the current nodes (made when first needed), the rows it hid
    // (by position in the index) and what the tree looked like before it.
    std::unique_ptr<OptionFilterIndex> m_filter;
    std::vector<char> m_hiddenRows;
    bool m_filtering = false;
    QString m_filterText;
    QStringList m_expandedBefore;
    QString m_selectedBefore;
    bool m_selectedBeforeSet = false;
    int m_lastFolders = 0;
    int m_lastOptions = 0;
};
