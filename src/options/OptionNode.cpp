#include "options/OptionNode.h"

#include <algorithm>

int OptionNode::Level() const
{
    int level = 0;
    for (const OptionNode *p = Parent; p; p = p->Parent)
        ++level;
    return level;
}

std::vector<std::unique_ptr<OptionNode>> &OptionTree::siblingsOf(const OptionNode *node)
{
    return node->Parent ? node->Parent->Children : m_top;
}

const std::vector<std::unique_ptr<OptionNode>> &OptionTree::siblingsOf(
    const OptionNode *node) const
{
    return node->Parent ? node->Parent->Children : m_top;
}

OptionNode *OptionTree::Add(OptionNode *parent, const QString &text)
{
    auto node = std::make_unique<OptionNode>();
    node->Text = text;
    node->Parent = parent;
    auto &list = parent ? parent->Children : m_top;
    node->Row = static_cast<int>(list.size());
    list.push_back(std::move(node));
    return list.back().get();
}

void OptionTree::Remove(OptionNode *node)
{
    auto &list = siblingsOf(node);
    list.erase(std::remove_if(list.begin(), list.end(),
                              [node](const std::unique_ptr<OptionNode> &n) {
                                  return n.get() == node;
                              }),
               list.end());
    for (size_t i = 0; i < list.size(); ++i)
        list[i]->Row = static_cast<int>(i);
}

void OptionTree::Clear()
{
    // Deep trees are torn down iteratively so that no destructor chain can overflow the stack.
    std::vector<std::unique_ptr<OptionNode>> pending = std::move(m_top);
    m_top.clear();
    while (!pending.empty()) {
        std::unique_ptr<OptionNode> node = std::move(pending.back());
        pending.pop_back();
        for (auto &child : node->Children)
            pending.push_back(std::move(child));
        node->Children.clear();
    }
}

void OptionTree::SetState(OptionNode *node, int state)
{
    if (node->StateIndex == state)
        return;
    node->StateIndex = state;
    if (StateChanged)
        StateChanged(node);
}

void OptionTree::SetExpanded(OptionNode *node, bool expanded)
{
    node->Expanded = expanded;
}

int OptionTree::IndexOf(const OptionNode *node) const
{
    const auto &list = siblingsOf(node);
    const auto row = static_cast<size_t>(node->Row);
    if (node->Row >= 0 && row < list.size() && list[row].get() == node)
        return node->Row;
    return -1;
}

void OptionTree::ForEach(const std::function<void(OptionNode *)> &visit) const
{
    // Iterative, so very deep trees cannot overflow the stack.
    std::vector<OptionNode *> stack;
    for (auto it = m_top.rbegin(); it != m_top.rend(); ++it)
        stack.push_back(it->get());
    while (!stack.empty()) {
        OptionNode *node = stack.back();
        stack.pop_back();
        visit(node);
        for (auto it = node->Children.rbegin(); it != node->Children.rend(); ++it)
            stack.push_back(it->get());
    }
}

int OptionTree::NodeCount() const
{
    int count = 0;
    ForEach([&count](OptionNode *) { ++count; });
    return count;
}

namespace {

// @p head, then the names from the top of the tree down to @p node, each followed by '/', then
// @p tail. Sized once and filled from the end: every tick builds thousands of these.
QString NodePath(const QString &head, const OptionNode *node, const QString &tail)
{
    qsizetype length = head.size() + tail.size();
    for (const OptionNode *n = node; n; n = n->Parent)
        length += n->Text.size() + 1;
    QString path(length, Qt::Uninitialized);
    QChar *end = path.data() + length;
    const auto put = [&end](const QString &text) {
        end -= text.size();
        std::copy(text.cbegin(), text.cend(), end);
    };
    put(tail);
    for (const OptionNode *n = node; n; n = n->Parent) {
        *--end = QLatin1Char('/');
        put(n->Text);
    }
    put(head);
    return path;
}

} // namespace

QString SrNodeTree(const OptionNode *node, const QString &tail)
{
    return NodePath(QString(), node, tail);
}

QString GetNodeDir(const OptionNode *node, const QString &optionsRoot)
{
    return NodePath(optionsRoot, node, QString());
}
