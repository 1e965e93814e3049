#include "options/SelectionRules.h"

#include "options/OptionIni.h"
#include "options/OptionNode.h"

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

void UpdateTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    if (!node)
        return;
    ClearTreeViewCheckBox(tree, node, optionsRoot);
    StoreState(tree, node, ToggledState(node->StateIndex), optionsRoot);
}
