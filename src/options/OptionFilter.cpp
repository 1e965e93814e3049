#include "options/OptionFilter.h"

#include "options/OptionNode.h"

#include <functional>

QString FoldForFilter(const QString &text, std::vector<int> *positions)
{
    QString folded;
    folded.reserve(text.size());
    if (positions) {
        positions->clear();
        positions->reserve(static_cast<size_t>(text.size()));
    }
    auto append = [&](QChar c, int from) {
        folded.append(c);
        if (positions)
            positions->push_back(from);
    };
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() < 0x80) {
            // Most names are plain ASCII: no decomposition to look up.
            append(QChar(c.unicode() >= 'A' && c.unicode() <= 'Z' ? c.unicode() + 32 : c.unicode()),
                   i);
            continue;
        }
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            // Outside the basic plane: kept as it is, both halves pointing at the character.
            append(c, i);
            append(text.at(i + 1), i);
            ++i;
            continue;
        }
        // The base letters of the canonical decomposition, without the combining marks.
        const QString decomposed = QString(c).normalized(QString::NormalizationForm_D);
        for (const QChar d : decomposed) {
            if (d.category() == QChar::Mark_NonSpacing || d.category() == QChar::Mark_Enclosing ||
                d.category() == QChar::Mark_SpacingCombining)
                continue;
            append(d.toCaseFolded(), i);
        }
    }
    return folded;
}

OptionFilterIndex::OptionFilterIndex(const OptionTree &tree)
{
    std::function<void(const std::vector<std::unique_ptr<OptionNode>> &, int)> add =
        [&](const std::vector<std::unique_ptr<OptionNode>> &level, int parent) {
            for (const auto &child : level) {
                const int at = static_cast<int>(m_entries.size());
                Entry entry;
                entry.Parent = parent;
                entry.Folded = FoldForFilter(child->Text(), &entry.Positions);
                m_entries.push_back(std::move(entry));
                m_nodes.push_back(child.get());
                m_position.insert(child.get(), at);
                add(child->Children, at);
            }
        };
    add(tree.TopLevel(), -1);
    m_visible.assign(m_entries.size(), 1);
    m_matchAt.assign(m_entries.size(), -1);
}

int OptionFilterIndex::Apply(const QString &text)
{
    m_needle = FoldForFilter(text);
    m_matches = 0;
    const size_t n = m_entries.size();
    if (m_needle.isEmpty()) {
        m_visible.assign(n, 1);
        m_matchAt.assign(n, -1);
        return 0;
    }
    m_visible.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        const int at = m_entries[i].Folded.indexOf(m_needle);
        m_matchAt[i] = at;
        if (at < 0)
            continue;
        ++m_matches;
        // The node and its ancestors, up to the first one already shown.
        for (int p = static_cast<int>(i); p >= 0 && !m_visible[static_cast<size_t>(p)];
             p = m_entries[static_cast<size_t>(p)].Parent)
            m_visible[static_cast<size_t>(p)] = 1;
    }
    return m_matches;
}

bool OptionFilterIndex::IsVisible(const OptionNode *node) const
{
    const auto it = m_position.constFind(node);
    return it == m_position.constEnd() || m_visible[static_cast<size_t>(*it)] != 0;
}

OptionFilterIndex::Range OptionFilterIndex::MatchIn(const OptionNode *node) const
{
    const auto it = m_position.constFind(node);
    if (it == m_position.constEnd())
        return {};
    const size_t i = static_cast<size_t>(*it);
    const int at = m_matchAt[i];
    if (at < 0 || m_needle.isEmpty())
        return {};
    const std::vector<int> &pos = m_entries[i].Positions;
    const int first = pos[static_cast<size_t>(at)];
    const int last = pos[static_cast<size_t>(at + m_needle.size() - 1)];
    // The last matched character may be the first half of a pair, or carry marks after it.
    int end = last + 1;
    const QString name = node->Text();
    while (end < name.size() &&
           (name.at(end).isLowSurrogate() || name.at(end).category() == QChar::Mark_NonSpacing))
        ++end;
    return {first, end - first};
}
