#pragma once

#include <QString>

class FolderPlaces;
class OptionTree;
class ResolvedOption;
struct OptionNode;

/// The rules that make a tick a choice within a group. The group of a ticked node is every
/// leaf below its group root: the nearest of the node itself and its ancestors whose
/// descriptor links its children, or else the node's parent. Every state that changes is
/// written to OptionMode of the folder's options.ini first and shown in the tree only once the
/// write succeeded, so the tree never shows what the disk does not hold. Folder paths are built
/// below @p optionsRoot (ending in '/').

/// What a tick left alone.
struct TickResult
{
    /// Options of the group whose folders lie outside the options folder (reached through a
    /// symbolic link): shown in the tree, but never written, so their states stay.
    int LeftOutside = 0;
};

/// The state a group clear leaves on a leaf: 3 becomes 2, 5 becomes 4, every other state stays.
int ClearedState(int state);

/// The state a tick gives a selectable node: 2 and 3 swap, 4 and 5 swap; others stay.
int ToggledState(int state);

/// The group root of @p node. Reads the descriptor of the node and of each ancestor up to the
/// top-level one (CurrentOption is left holding the last read) and returns the first that links
/// its children; the node's parent when none does; the node itself when it is top-level.
OptionNode *GetLinkedNodeParent(OptionNode *node, const QString &optionsRoot);

/// Resets every leaf below @p node (the node itself when it is a leaf), depth first in child
/// order, and writes each leaf's state, whatever it is, into its options.ini (created where
/// missing), all or nothing as a tick does (see below). Nodes with children are neither changed
/// nor written; leaves outside the options folder are left as they are and counted.
TickResult ClearModeLinkedChildren(OptionTree &tree, OptionNode *node, const QString &optionsRoot);

/// Clears the group of @p node; a top-level node has none.
TickResult ClearTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot);

/// A tick on @p node: clears its group, then toggles the node, all or nothing. Every descriptor
/// the tick writes is checked (read whole, below the size limit, writable, really inside the
/// options folder) before the first write, and a refused check throws AppError with nothing
/// changed; a write that still fails midway puts the descriptors already written back to their
/// old bytes before the AppError propagates. A node whose own folder lies outside the options
/// folder is refused the same way. The tree shows the new states once every write succeeded.
TickResult UpdateTreeViewCheckBox(OptionTree &tree, OptionNode *node, const QString &optionsRoot);

/// The same for an option resolved when its tick began, with the folder places of that tick:
/// the option's descriptor as read then is the one staged for its write (a descriptor replaced
/// or changed since is refused at the write).
TickResult UpdateTreeViewCheckBox(OptionTree &tree, ResolvedOption &option, FolderPlaces &places);
