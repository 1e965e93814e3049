#include "options/SelectionRules.h"

#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "platform/Confine.h"
#include "platform/Error.h"

#include <QFile>

#include <unordered_map>
#include <utility>

#include <sys/stat.h>

#include <vector>

namespace {

// Writes @p state as the node's OptionMode, then shows it. Nothing changes in the tree when the
// write is refused.
void StoreState(OptionTree &tree, OptionNode *node, int state, const QString &optionsRoot)
{
    CurrentOption.OptionMode = state;
    SaveOptionIniFile(GetNodeDir(node, optionsRoot));
    tree.SetState(node, state);
}

} // namespace

int ClearedState(int state)
{
    switch (state) {
    case CheckOn:
        return CheckOff;
    case ModeOn:
        return ModeOff;
    default:
        return state;
    }
}

int ToggledState(int state)
{
    switch (state) {
    case CheckOff:
        return CheckOn;
    case CheckOn:
        return CheckOff;
    case ModeOff:
        return ModeOn;
    case ModeOn:
        return ModeOff;
    default:
        return state;
    }
}

OptionNode *GetLinkedNodeParent(OptionNode *node, const QString &optionsRoot)
{
    if (!node || !node->Parent)
        return node;
    // Descriptors are read afresh on every tick: an option author may have changed one.
    for (OptionNode *x = node; x; x = x->Parent) {
        LoadOptionIniFile(GetNodeDir(x, optionsRoot));
        if (CurrentOption.OptionLinkChildren)
            return x;
    }
    return node->Parent;
}

void ClearModeLinkedChildren(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    if (!node)
        return;
    // Depth first in child order without recursion, so a very deep tree cannot exhaust the
    // stack.
    std::vector<OptionNode *> pending{node};
    while (!pending.empty()) {
        OptionNode *current = pending.back();
        pending.pop_back();
        if (current->HasChildren()) {
            for (auto it = current->Children.rbegin(); it != current->Children.rend(); ++it)
                pending.push_back(it->get());
            continue;
        }
        StoreState(tree, current, ClearedState(current->StateIndex), optionsRoot);
    }
}

void ClearTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    if (!node || !node->Parent)
        return;
    ClearModeLinkedChildren(tree, GetLinkedNodeParent(node, optionsRoot), optionsRoot);
}

TickResult UpdateTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    TickResult result;
    if (!node)
        return result;

    // Writes land only in folders that really lie inside the options folder: a folder reached
    // through a symbolic link that leads out of it is shown, but never written to. A folder's
    // real place is its parent's plus its name unless it is itself a link, so each parent is
    // resolved once and each folder costs one lstat.
    const QString realRoot = platform::realLocation(optionsRoot);
    std::unordered_map<const OptionNode *, bool> parentInside;
    auto inside = [&](const OptionNode *n) {
        const QString folder = GetNodeDir(n, optionsRoot);
        struct stat st = {};
        if (::lstat(QFile::encodeName(folder.chopped(1)).constData(), &st) == 0 &&
            S_ISLNK(st.st_mode))
            return platform::isWithin(platform::realLocation(folder), realRoot);
        if (!n->Parent)
            return platform::isWithin(platform::realLocation(folder), realRoot);
        auto known = parentInside.find(n->Parent);
        if (known == parentInside.end()) {
            const bool in = platform::isWithin(
                platform::realLocation(GetNodeDir(n->Parent, optionsRoot)), realRoot);
            known = parentInside.emplace(n->Parent, in).first;
        }
        return known->second;
    };
    if (!inside(node))
        throw AppError(QStringLiteral("%1 lies outside the options folder %2 (it is reached "
                                      "through a symbolic link), so it cannot be ticked. Nothing "
                                      "was changed.")
                           .arg(GetNodeDir(node, optionsRoot), optionsRoot));

    // What the tick does, worked out before anything is written: every leaf of the group
    // cleared, then the node toggled from the state the clear left it in.
    std::vector<std::pair<OptionNode *, int>> changes;
    int nodeAt = -1;
    if (node->Parent) {
        std::vector<OptionNode *> pending{GetLinkedNodeParent(node, optionsRoot)};
        while (!pending.empty()) {
            OptionNode *current = pending.back();
            pending.pop_back();
            if (current->HasChildren()) {
                for (auto it = current->Children.rbegin(); it != current->Children.rend(); ++it)
                    pending.push_back(it->get());
                continue;
            }
            if (current != node && !inside(current)) {
                ++result.LeftOutside;
                continue;
            }
            if (current == node)
                nodeAt = static_cast<int>(changes.size());
            changes.emplace_back(current, ClearedState(current->StateIndex));
        }
    }
    if (nodeAt < 0) {
        nodeAt = static_cast<int>(changes.size());
        changes.emplace_back(node, node->StateIndex);
    }
    changes[static_cast<size_t>(nodeAt)].second = ToggledState(changes[static_cast<size_t>(nodeAt)].second);

    // Every descriptor is read and checked, and each change staged, before the first write: a
    // descriptor that cannot be written changes nothing. Only the staged writes that change a
    // file are kept, within a bound on the memory they hold.
    constexpr qint64 MaxStaged = 256 * 1024 * 1024;
    qint64 staged = 0;
    std::vector<PendingModeWrite> writes;
    for (const auto &change : changes) {
        PendingModeWrite write(GetNodeDir(change.first, optionsRoot), change.second, realRoot);
        if (!write.Changes())
            continue;
        staged += write.Size();
        if (staged > MaxStaged)
            throw AppError(QStringLiteral("The descriptors of this group are too large to be "
                                          "changed together. Nothing was changed."));
        writes.push_back(std::move(write));
    }

    size_t written = 0;
    try {
        for (; written < writes.size(); ++written)
            writes[written].Write();
    } catch (const AppError &) {
        // A write that failed after the checks: what was written goes back to its old bytes,
        // so the group keeps its previous choice.
        for (size_t i = 0; i < written; ++i)
            writes[i].Undo();
        throw;
    }
    // The tree shows the new states only now that the disk holds all of them.
    for (const auto &change : changes)
        tree.SetState(change.first, change.second);
    return result;
}
