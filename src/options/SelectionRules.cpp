#include "options/SelectionRules.h"

#include "core/Common.h"
#include "files/Error.h"
#include "files/FolderNames.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionPlace.h"

#include <optional>
#include <utility>
#include <vector>

namespace {

using StateChanges = std::vector<std::pair<OptionNode *, int>>;

// A leaf's descriptor opened for the staged write of its mode, found as on disk. A leaf whose
// parent folder this run holds open is opened by its name in that folder.
platform::IniFile OpenLeafDescriptor(const OptionNode *node, const QString &folder,
                                     FolderPlaces &places)
{
    const QString reach = OptionFolderReach(folder);
    const int parent = node->Parent ? places.OpenFolder(node->Parent) : -1;
    if (parent >= 0 && reach == folder) {
        platform::IniFile ini(folder + QStringLiteral("options.ini"),
                              platform::IniFile::Intent::Update, parent,
                              FolderPlaces::NativeName(node) + "/options.ini");
        if (ini.exists())
            return ini;
    }
    platform::FolderNames names(reach); // listed only when the exact name is missing
    return OpenOptionDescriptor(reach, platform::IniFile::Intent::Update, names);
}

// Whether the descriptor of @p node links its children: the one value a group root needs,
// read without the rest of the record. @p own is the ticked option, read already.
bool LinksChildren(OptionNode *node, FolderPlaces &places, const ResolvedOption *own)
{
    if (own && node == own->Node())
        return own->Descriptor().OptionLinkChildren;
    const platform::IniFile ini = places.ReadDescriptor(node);
    return ini.readBool(QStringLiteral("LinkChildren"), QStringLiteral("OptionLinkChildren"),
                        false);
}

// The group root of @p node as GetLinkedNodeParent() finds it, each descriptor read once.
OptionNode *LinkedParent(OptionNode *node, FolderPlaces &places, const ResolvedOption *own)
{
    if (!node || !node->Parent)
        return node;
    // Descriptors are read afresh on every tick: an option author may have changed one.
    for (OptionNode *x = node; x; x = x->Parent) {
        if (LinksChildren(x, places, own))
            return x;
    }
    return node->Parent;
}

// Appends the cleared state of every leaf below @p node (the node itself when it is a leaf),
// depth first in child order, without recursion so that a very deep tree cannot exhaust the
// stack. Whether each leaf lies inside the options folder is settled when it is stored.
void PlanClear(OptionNode *node, StateChanges &changes)
{
    std::vector<OptionNode *> pending{node};
    while (!pending.empty()) {
        OptionNode *current = pending.back();
        pending.pop_back();
        if (current->HasChildren()) {
            for (auto it = current->Children.rbegin(); it != current->Children.rend(); ++it)
                pending.push_back(it->get());
            continue;
        }
        changes.emplace_back(current, ClearedState(current->StateIndex));
    }
}

// Writes every change's state as its folder's OptionMode, all or nothing, then shows them.
// Every descriptor is read and checked, and each change staged, before the first write: a
// descriptor that cannot be written changes nothing. A leaf whose descriptor, reached from its
// held parent folder, already reads its new mode is only looked at; the others are opened for
// the staged write, and those outside the options folder are counted in @p leftOutside and left
// as they are (except the ticked option, @p own, whose place its tick settled). Only the staged
// writes that change a file are kept, within a bound on the memory they hold. A write that
// still fails puts the ones already written back to their old bytes before the error
// propagates.
void StoreStates(OptionTree &tree, const StateChanges &changes, FolderPlaces &places,
                 ResolvedOption *own, int &leftOutside)
{
    constexpr qint64 MaxStaged = 256 * 1024 * 1024;
    qint64 staged = 0;
    std::vector<PendingModeWrite> writes;
    std::vector<bool> outside(changes.size(), false);
    for (size_t i = 0; i < changes.size(); ++i) {
        OptionNode *node = changes[i].first;
        const int mode = changes[i].second;
        // A group's nodes lie apart in memory; the next one is fetched while this one's
        // descriptor is read.
        if (i + 1 < changes.size()) {
            const char *next = reinterpret_cast<const char *>(changes[i + 1].first);
            __builtin_prefetch(next);
            __builtin_prefetch(next + sizeof(OptionNode)); // its name
        }
        // The ticked option's descriptor was read when its tick began; the others are read here,
        // each once.
        std::optional<PendingModeWrite> write;
        const bool ticked = own && node == own->Node();
        if (ticked && own->HoldsDescriptorFile()) {
            write.emplace(own->TakeDescriptorFile(), own->Folder(), mode, places.RealRoot(),
                          own->Placement());
        } else {
            using Look = platform::IniFile::Look;
            const Look look = ticked ? Look::Unreached : places.DescriptorHoldsMode(node, mode);
            if (look == Look::Holds)
                continue;
            // A descriptor reached from the held parent places its folder; the others are
            // looked up.
            const PlacedFolder placement =
                look == Look::Reached ? places.PlacementBelowParent(node) : places.Placement(node);
            if (!ticked && placement.Root < 0 && !places.Inside(node)) {
                outside[i] = true;
                ++leftOutside;
                continue;
            }
            const QString folder = places.Folder(node);
            write.emplace(OpenLeafDescriptor(node, folder, places), folder, mode, places.RealRoot(),
                          placement);
        }
        if (!write->Changes())
            continue;
        staged += write->Size();
        if (staged > MaxStaged)
            throw AppError(QStringLiteral("The descriptors of this group are too large to be "
                                          "changed together. Nothing was changed."));
        writes.push_back(std::move(*write));
    }

    size_t written = 0;
    try {
        for (; written < writes.size(); ++written)
            writes[written].Write();
    } catch (const AppError &) {
        for (size_t i = 0; i < written; ++i)
            writes[i].Undo();
        throw;
    }
    // The tree shows the new states only now that the disk holds all of them.
    for (size_t i = 0; i < changes.size(); ++i) {
        if (!outside[i])
            tree.SetState(changes[i].first, changes[i].second);
    }
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

namespace {

TickResult ClearLinkedChildren(OptionTree &tree, OptionNode *node, FolderPlaces &places)
{
    TickResult result;
    if (!node)
        return result;
    StateChanges changes;
    PlanClear(node, changes);
    StoreStates(tree, changes, places, nullptr, result.LeftOutside);
    return result;
}

} // namespace

TickResult ClearModeLinkedChildren(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    FolderPlaces places(optionsRoot);
    return ClearLinkedChildren(tree, node, places);
}

TickResult ClearTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    if (!node || !node->Parent)
        return {};
    FolderPlaces places(optionsRoot);
    return ClearLinkedChildren(tree, LinkedParent(node, places, nullptr), places);
}

TickResult UpdateTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    if (!node)
        return {};
    FolderPlaces places(optionsRoot);
    ResolvedOption option(node, places, ProgramSettings);
    return UpdateTreeViewCheckBox(tree, option, places);
}

TickResult UpdateTreeViewCheckBox(OptionTree &tree, ResolvedOption &option, FolderPlaces &places)
{
    TickResult result;
    OptionNode *node = option.Node();
    if (!option.Inside())
        throw AppError(QStringLiteral("%1 lies outside the options folder %2 (it is reached "
                                      "through a symbolic link), so it cannot be ticked. Nothing "
                                      "was changed.")
                           .arg(option.Folder(), places.OptionsRoot()));

    // What the tick does, worked out before anything is written: every leaf of the group
    // cleared, then the node toggled from the state the clear left it in.
    StateChanges changes;
    if (node->Parent)
        PlanClear(LinkedParent(node, places, &option), changes);
    auto own = changes.begin();
    while (own != changes.end() && own->first != node)
        ++own;
    if (own == changes.end())
        own = changes.emplace(changes.end(), node, node->StateIndex);
    own->second = ToggledState(own->second);

    StoreStates(tree, changes, places, &option, result.LeftOutside);
    return result;
}
