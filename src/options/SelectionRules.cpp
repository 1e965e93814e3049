#include "options/SelectionRules.h"

#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "platform/Confine.h"
#include "platform/Error.h"

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
    // through a symbolic link that leads out of it is shown, but never written to.
    const QString realRoot = platform::realLocation(optionsRoot);
    auto inside = [&realRoot](const QString &folder) {
        return platform::isWithin(platform::realLocation(folder), realRoot);
    };
    const QString own = GetNodeDir(node, optionsRoot);
    if (!inside(own))
        throw AppError(QStringLiteral("%1 lies outside the options folder %2 (it is reached "
                                      "through a symbolic link), so it cannot be ticked. Nothing "
                                      "was changed.")
                           .arg(own, optionsRoot));

    // What the tick does, worked out before anything is written: every leaf of the group
    // cleared, then the node toggled from the state the clear left it in.
    std::vector<std::pair<OptionNode *, int>> changes;
    auto stateOf = [&changes](OptionNode *n) {
        for (const auto &change : changes) {
            if (change.first == n)
                return change.second;
        }
        return n->StateIndex;
    };
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
            if (current != node && !inside(GetNodeDir(current, optionsRoot))) {
                ++result.LeftOutside;
                continue;
            }
            changes.emplace_back(current, ClearedState(current->StateIndex));
        }
    }
    const int toggled = ToggledState(stateOf(node));
    bool listed = false;
    for (auto &change : changes) {
        if (change.first == node) {
            change.second = toggled;
            listed = true;
        }
    }
    if (!listed)
        changes.emplace_back(node, toggled);

    // Every descriptor is checked, and its bytes kept, before the first write: a descriptor
    // that cannot be written changes nothing.
    std::vector<DescriptorBackup> backups;
    backups.reserve(changes.size());
    for (const auto &change : changes)
        backups.push_back(BackUpOptionIniFile(GetNodeDir(change.first, optionsRoot), realRoot));

    size_t written = 0;
    try {
        for (; written < changes.size(); ++written) {
            CurrentOption.OptionMode = changes[written].second;
            SaveOptionIniFile(GetNodeDir(changes[written].first, optionsRoot), realRoot);
        }
    } catch (const AppError &) {
        // A write that failed after the checks: what was written goes back to its old bytes,
        // so the group keeps its previous choice.
        for (size_t i = 0; i < written; ++i)
            RestoreOptionIniFile(backups[i]);
        throw;
    }
    // The tree shows the new states only now that the disk holds all of them.
    for (const auto &change : changes)
        tree.SetState(change.first, change.second);
    return result;
}
