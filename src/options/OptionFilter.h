#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

class OptionTree;
struct OptionNode;

/// Folds a name for the tree's filter: case-folded, accents dropped ("Crème" gives "creme").
/// @p positions, when given, receives for each character of the result the position in
/// @p text of the character it came from, so that a match can be shown in the original name.
QString FoldForFilter(const QString &text, std::vector<int> *positions = nullptr);

/// Which nodes of an option tree a filter text shows: the nodes whose name contains the text
/// (case- and accent-insensitive) and their ancestors. The folded names are worked out once
/// when the index is built, so each keystroke is one pass of plain substring searches over
/// them and one pass up the parents of the matches.
///
/// The index holds pointers into the tree: build it again after the tree is rebuilt.
class OptionFilterIndex final
{
public:
    OptionFilterIndex() = default;
    explicit OptionFilterIndex(const OptionTree &tree);

    /// Where the text matched in a node's own name: start and length in the name as shown.
    struct Range
    {
        int Start = -1;
        int Length = 0;
        bool IsValid() const { return Start >= 0; }
    };

    /// Applies @p text. An empty (or all-accent) text matches nothing and shows everything.
    /// Returns the number of nodes whose name matched.
    int Apply(const QString &text);

    bool IsActive() const { return !m_needle.isEmpty(); }
    int NodeCount() const { return static_cast<int>(m_entries.size()); }
    int MatchCount() const { return m_matches; }

    /// Whether @p node is shown by the current text (every node when the filter is inactive).
    bool IsVisible(const OptionNode *node) const;
    /// The part of @p node's name the current text matched; invalid when it did not.
    Range MatchIn(const OptionNode *node) const;

    /// Every node of the index, depth first in child order; position i of Visible() and
    /// Matched() belongs to Nodes()[i].
    const std::vector<OptionNode *> &Nodes() const { return m_nodes; }
    const std::vector<char> &Visible() const { return m_visible; }

private:
    struct Entry
    {
        int Parent = -1; // position of the parent node, -1 for a top-level node
        QString Folded;
        std::vector<int> Positions;
    };

    std::vector<OptionNode *> m_nodes;
    std::vector<Entry> m_entries;
    QHash<const OptionNode *, int> m_position;
    std::vector<char> m_visible;
    std::vector<int> m_matchAt; // start in the folded name, -1 when no match
    QString m_needle;
    int m_matches = 0;
};
