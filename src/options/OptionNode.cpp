#include "options/OptionNode.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

bool isAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

} // namespace

OptionNode *OptionNode::make(OptionNode *parent, const void *bytes, std::uint32_t size,
                             NameForm form)
{
    void *memory = ::operator new(sizeof(OptionNode) + size);
    auto *node = new (memory) OptionNode;
    node->Parent = parent;
    node->m_nameSize = size;
    node->m_nameForm = form;
    if (size != 0)
        std::memcpy(static_cast<char *>(memory) + sizeof(OptionNode), bytes, size);
    return node;
}

QString OptionNode::Text() const
{
    const char *bytes = nameBytes();
    const auto size = static_cast<qsizetype>(m_nameSize);
    switch (m_nameForm) {
    case NameForm::Ascii:
        return QString::fromLatin1(bytes, size);
    case NameForm::Utf8:
        return QString::fromUtf8(bytes, size);
    case NameForm::Utf16:
        break;
    }
    QString text(size / 2, Qt::Uninitialized);
    std::memcpy(text.data(), bytes, static_cast<std::size_t>(size));
    return text;
}

bool OptionNode::HasName(QStringView text) const
{
    if (m_nameForm != NameForm::Ascii)
        return text == Text();
    if (text.size() != static_cast<qsizetype>(m_nameSize))
        return false;
    const char *bytes = nameBytes();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() != static_cast<unsigned char>(bytes[i]))
            return false;
    }
    return true;
}

qsizetype OptionNode::TextLength() const
{
    switch (m_nameForm) {
    case NameForm::Ascii:
        return m_nameSize;
    case NameForm::Utf16:
        return m_nameSize / 2;
    case NameForm::Utf8:
        break;
    }
    // One unit per character, two for a character beyond the first 65,536 (a four-byte form).
    qsizetype length = 0;
    const char *bytes = nameBytes();
    for (std::uint32_t i = 0; i < m_nameSize; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        length += (c & 0xC0) != 0x80;
        length += c >= 0xF0;
    }
    return length;
}

void OptionNode::CopyText(QChar *out) const
{
    if (m_nameForm == NameForm::Ascii) {
        const char *bytes = nameBytes();
        for (std::uint32_t i = 0; i < m_nameSize; ++i)
            out[i] = QLatin1Char(bytes[i]);
        return;
    }
    const QString text = Text();
    std::copy(text.cbegin(), text.cend(), out);
}

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

const std::vector<std::unique_ptr<OptionNode>> &OptionTree::siblingsOf(const OptionNode *node) const
{
    return node->Parent ? node->Parent->Children : m_top;
}

OptionNode *OptionTree::attach(OptionNode *node)
{
    std::unique_ptr<OptionNode> owned(node);
    auto &list = node->Parent ? node->Parent->Children : m_top;
    node->Row = static_cast<int>(list.size());
    list.push_back(std::move(owned));
    return node;
}

OptionNode *OptionTree::Add(OptionNode *parent, const QString &text)
{
    using Form = OptionNode::NameForm;
    if (isAscii(text)) {
        const QByteArray bytes = text.toLatin1();
        return AddAscii(parent, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    // UTF-8 where it gives the same text back, which is every name read from disk; a text that
    // does not (a lone half of a surrogate pair) keeps its UTF-16.
    const QByteArray utf8 = text.toUtf8();
    if (QString::fromUtf8(utf8) == text)
        return attach(OptionNode::make(parent, utf8.constData(),
                                       static_cast<std::uint32_t>(utf8.size()), Form::Utf8));
    return attach(OptionNode::make(parent, text.constData(),
                                   static_cast<std::uint32_t>(text.size() * 2), Form::Utf16));
}

OptionNode *OptionTree::AddAscii(OptionNode *parent, const char *ascii, std::size_t length)
{
    return attach(OptionNode::make(parent, ascii, static_cast<std::uint32_t>(length),
                                   OptionNode::NameForm::Ascii));
}

void OptionTree::FitChildren(OptionNode *parent)
{
    auto &list = parent ? parent->Children : m_top;
    if (list.capacity() != list.size())
        list.shrink_to_fit();
}

void OptionTree::Remove(OptionNode *node)
{
    auto &list = siblingsOf(node);
    list.erase(
        std::remove_if(list.begin(), list.end(),
                       [node](const std::unique_ptr<OptionNode> &n) { return n.get() == node; }),
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
        length += n->TextLength() + 1;
    QString path(length, Qt::Uninitialized);
    QChar *end = path.data() + length;
    const auto put = [&end](const QString &text) {
        end -= text.size();
        std::copy(text.cbegin(), text.cend(), end);
    };
    put(tail);
    for (const OptionNode *n = node; n; n = n->Parent) {
        *--end = QLatin1Char('/');
        end -= n->TextLength();
        n->CopyText(end);
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
