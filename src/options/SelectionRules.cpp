#include "options/SelectionRules.h"

#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "files/Confine.h"
#include "files/Error.h"

#include <QFile>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

using StateChanges = std::vector<std::pair<OptionNode *, int>>;

// Where the rules may write: folders that really lie inside the options folder. A folder
// reached through a symbolic link that leads out of it is shown, but never written to. A
// folder's real place is its parent's plus its name unless it is itself a link, so each parent
// is resolved and listed once (the listing tells which entries are links), and a folder costs
// nothing more unless it is a link.
class WritePlaces
{
public:
    explicit WritePlaces(const QString &optionsRoot)
        : m_optionsRoot(optionsRoot), m_realRoot(platform::realLocation(optionsRoot))
    {
    }

    const QString &RealRoot() const { return m_realRoot; }

    bool Inside(const OptionNode *node)
    {
        if (!node->Parent)
            return within(GetNodeDir(node, m_optionsRoot));
        auto known = m_parents.find(node->Parent);
        if (known == m_parents.end())
            known = m_parents.emplace(node->Parent, look(node->Parent)).first;
        const Parent &parent = known->second;
        if (parent.links.count(QFile::encodeName(node->Text()).toStdString()) == 0)
            return parent.inside;
        return within(GetNodeDir(node, m_optionsRoot));
    }

private:
    struct Parent
    {
        bool inside = false;
        std::unordered_set<std::string> links; // names of entries that are symbolic links
    };

    bool within(const QString &folder) const
    {
        return platform::isWithin(platform::realLocation(folder), m_realRoot);
    }

    Parent look(const OptionNode *folderNode) const
    {
        Parent parent;
        const QString folder = GetNodeDir(folderNode, m_optionsRoot);
        parent.inside = within(folder);
        const QByteArray native = QFile::encodeName(folder);
        DIR *listing = ::opendir(native.constData());
        if (!listing)
            return parent;
        while (const dirent *entry = ::readdir(listing)) {
            bool link = entry->d_type == DT_LNK;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st = {};
                link = ::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISLNK(st.st_mode);
            }
            if (link)
                parent.links.insert(entry->d_name);
        }
        ::closedir(listing);
        return parent;
    }

    QString m_optionsRoot;
    QString m_realRoot;
    std::unordered_map<const OptionNode *, Parent> m_parents;
};

// Appends the cleared state of every leaf below @p node (the node itself when it is a leaf),
// depth first in child order, without recursion so that a very deep tree cannot exhaust the
// stack. Leaves outside the options folder are counted instead, except @p keep.
void PlanClear(OptionNode *node, WritePlaces &places, const OptionNode *keep, StateChanges &changes,
               int &leftOutside)
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
        if (current != keep && !places.Inside(current)) {
            ++leftOutside;
            continue;
        }
        changes.emplace_back(current, ClearedState(current->StateIndex));
    }
}

// Writes every change's state as its folder's OptionMode, all or nothing, then shows them.
// Every descriptor is read and checked, and each change staged, before the first write: a
// descriptor that cannot be written changes nothing. Only the staged writes that change a file
// are kept, within a bound on the memory they hold. A write that still fails puts the ones
// already written back to their old bytes before the error propagates.
void StoreStates(OptionTree &tree, const StateChanges &changes, const QString &optionsRoot,
                 const QString &realRoot)
{
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
        for (size_t i = 0; i < written; ++i)
            writes[i].Undo();
        throw;
    }
    // The tree shows the new states only now that the disk holds all of them.
    for (const auto &change : changes)
        tree.SetState(change.first, change.second);
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

TickResult ClearModeLinkedChildren(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    TickResult result;
    if (!node)
        return result;
    WritePlaces places(optionsRoot);
    StateChanges changes;
    PlanClear(node, places, nullptr, changes, result.LeftOutside);
    StoreStates(tree, changes, optionsRoot, places.RealRoot());
    return result;
}

TickResult ClearTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    if (!node || !node->Parent)
        return {};
    return ClearModeLinkedChildren(tree, GetLinkedNodeParent(node, optionsRoot), optionsRoot);
}

TickResult UpdateTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot)
{
    TickResult result;
    if (!node)
        return result;
    WritePlaces places(optionsRoot);
    if (!places.Inside(node))
        throw AppError(QStringLiteral("%1 lies outside the options folder %2 (it is reached "
                                      "through a symbolic link), so it cannot be ticked. Nothing "
                                      "was changed.")
                           .arg(GetNodeDir(node, optionsRoot), optionsRoot));

    // What the tick does, worked out before anything is written: every leaf of the group
    // cleared, then the node toggled from the state the clear left it in.
    StateChanges changes;
    if (node->Parent)
        PlanClear(GetLinkedNodeParent(node, optionsRoot), places, node, changes,
                  result.LeftOutside);
    auto own = changes.begin();
    while (own != changes.end() && own->first != node)
        ++own;
    if (own == changes.end())
        own = changes.emplace(changes.end(), node, node->StateIndex);
    own->second = ToggledState(own->second);

    StoreStates(tree, changes, optionsRoot, places.RealRoot());
    return result;
}
