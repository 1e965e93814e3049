#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

/// Node states; the same numbers are the OptionMode of a folder's options.ini.
enum OptionState : int {
    Hidden = 0,
    Notice = 1,
    CheckOff = 2,
    CheckOn = 3,
    ModeOff = 4,
    ModeOn = 5,
    LinkEntry = 6,
    FolderClosed = 7,
    FolderOpen = 8,
    MarkedFolderClosed = 9,
    MarkedFolderOpen = 10,
};

inline bool IsSelectable(int state)
{
    return state >= CheckOff && state <= ModeOn;
}
inline bool IsSelected(int state)
{
    return state == CheckOn || state == ModeOn;
}

/// One option folder in the option tree. A node stores no path and no descriptor: its folder is
/// computed from its own and its ancestors' names, and its descriptor is read from disk when
/// needed.
///
/// A tree holds tens of thousands of nodes, so a node is small: its name is kept in UTF-8 (the
/// form names have on disk) in the same allocation as the node, right after it, and a scan
/// leaves no unused room in its list of children. Nodes are made only by OptionTree.
struct OptionNode
{
    int StateIndex = 0;
    /// Position among the siblings, kept by OptionTree so that views find a node's row at once.
    int Row = 0;
    OptionNode *Parent = nullptr;
    std::vector<std::unique_ptr<OptionNode>> Children;
    bool Expanded = false;

    /// The folder's name as shown.
    QString Text() const;
    /// Whether the name is @p text.
    bool HasName(QStringView text) const;
    /// The name's length in UTF-16 units, as Text().size() counts it, and the name written to
    /// @p out in that many units: paths are built from these without a string per name.
    qsizetype TextLength() const;
    void CopyText(QChar *out) const;
    /// The name's bytes when it is plain ASCII (which names it as the disk does); empty
    /// otherwise.
    std::string_view AsciiName() const
    {
        return m_nameForm == NameForm::Ascii ? std::string_view(nameBytes(), m_nameSize)
                                             : std::string_view();
    }

    int Level() const;
    bool HasChildren() const { return !Children.empty(); }

    OptionNode(const OptionNode &) = delete;
    OptionNode &operator=(const OptionNode &) = delete;
    ~OptionNode() = default;
    /// Frees the node with its name (which a node made by OptionTree::Add() carries).
    static void operator delete(void *node) { ::operator delete(node); }

private:
    friend class OptionTree;

    enum class NameForm : std::uint8_t { Ascii, Utf8, Utf16 };

    OptionNode() = default;
    // The node for @p parent with a name of @p size bytes of @p form at @p bytes, in one
    // allocation.
    static OptionNode *make(OptionNode *parent, const void *bytes, std::uint32_t size,
                            NameForm form);
    const char *nameBytes() const { return reinterpret_cast<const char *>(this) + sizeof(*this); }

    NameForm m_nameForm = NameForm::Ascii; // beside Expanded, so the node is 48 bytes
    std::uint32_t m_nameSize = 0;
};

/// The widget-free option tree. Views follow it through the two callbacks: StateChanged after a
/// node's state or expanded flag changed, Reset around a rebuild.
class OptionTree final
{
public:
    OptionTree() = default;
    OptionTree(const OptionTree &) = delete;
    OptionTree &operator=(const OptionTree &) = delete;
    ~OptionTree() { Clear(); }

    const std::vector<std::unique_ptr<OptionNode>> &TopLevel() const { return m_top; }
    bool IsEmpty() const { return m_top.empty(); }

    /// Appends a node as the last child of @p parent (a top-level node when null).
    OptionNode *Add(OptionNode *parent, const QString &text);
    /// The same for a name of @p length ASCII characters at @p ascii.
    OptionNode *AddAscii(OptionNode *parent, const char *ascii, std::size_t length);
    /// Gives the list of @p parent's children (the top level when null) the exact size of its
    /// children, once a scan has added all of them.
    void FitChildren(OptionNode *parent);
    /// Removes @p node and its subtree.
    void Remove(OptionNode *node);
    void Clear();
    /// Exchanges all nodes with @p other; the callbacks stay with each tree.
    void SwapNodes(OptionTree &other) noexcept { m_top.swap(other.m_top); }

    void SetState(OptionNode *node, int state);
    void SetExpanded(OptionNode *node, bool expanded);

    /// Position of @p node among its siblings.
    int IndexOf(const OptionNode *node) const;
    /// Every node, depth first in child order.
    void ForEach(const std::function<void(OptionNode *)> &visit) const;
    int NodeCount() const;

    std::function<void(OptionNode *)> StateChanged;
    std::function<void()> AboutToReset;
    std::function<void()> ResetDone;

private:
    // Appends @p node, made for its parent, to its parent's children.
    OptionNode *attach(OptionNode *node);
    std::vector<std::unique_ptr<OptionNode>> &siblingsOf(const OptionNode *node);
    const std::vector<std::unique_ptr<OptionNode>> &siblingsOf(const OptionNode *node) const;

    std::vector<std::unique_ptr<OptionNode>> m_top;
};

/// The node's path relative to the options root: each ancestor's text and the node's own,
/// each followed by '/', prefixed to @p tail.
QString SrNodeTree(const OptionNode *node, const QString &tail);

/// The absolute folder of @p node below @p optionsRoot (which ends in '/'); ends in '/'.
QString GetNodeDir(const OptionNode *node, const QString &optionsRoot);
