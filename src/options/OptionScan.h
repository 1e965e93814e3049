#pragma once

#include "options/OptionIni.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class OptionTree;
struct OptionNode;
struct TProgramSettings;

/// Greatest folder depth below the options root that the scan descends into: top-level
/// folders are depth 1, so the tree holds at most this many levels. Real packs nest a handful
/// of levels; the limit only stops pathological trees (and keeps every path the scan builds
/// well inside the platform's path length).
constexpr int MaxOptionDepth = 256;

/// Greatest number of nodes one scan adds. Far above any real pack; it stops a pack whose
/// symbolic links fan out (several links to the same folder on every level) from growing the
/// tree without bound.
constexpr int MaxOptionNodes = 200000;

/// Limits of one scan; the defaults are the program's.
struct OptionScanLimits
{
    int MaxDepth = MaxOptionDepth;
    int MaxNodes = MaxOptionNodes;
};

/// What one scan found besides its nodes.
struct OptionScanResult
{
    /// Selectable options among the nodes this scan added.
    int OptionCount = 0;
    /// The descriptor of the folder read last; meaningful when DescriptorRead.
    TCurrentOption LastDescriptor;
    bool DescriptorRead = false;
    /// Folders were left out because they lie deeper than the depth limit, or because the
    /// tree reached the node limit.
    bool DepthLimitReached = false;
    bool NodeLimitReached = false;
    /// The scan was stopped from outside before it ended.
    bool Stopped = false;
};

/// Reads the option folders below @p folder (ending in '/') into @p tree as children of
/// @p parent (top-level nodes when null), with the rules GetDirectories() describes, but
/// touches no process-wide record: descriptors are read with @p settings' defaults and the
/// count and the last descriptor come back in the result. So it may run on any thread, with a
/// tree of its own. @p progress receives this scan's running count as GetDirectories()'s does.
/// Setting @p stop ends the scan early, with what it has read so far.
///
/// Each folder is opened once, relative to its parent's open descriptor, and listed in one
/// pass; its options.ini is read whole into a buffer the scan reuses, and script names are
/// checked against the listing already read. Names on disk that are not UTF-8 become node
/// texts decoded as Windows-1252 (platform/FileNames.h maps them back).
OptionScanResult ScanOptionFolders(OptionTree &tree, const QString &folder, OptionNode *parent,
                                   const TProgramSettings &settings,
                                   const OptionScanLimits &limits = {},
                                   const std::function<void(int)> &progress = {},
                                   const std::atomic<bool> *stop = nullptr);

/// Scans @p folder (ending in '/') and adds its option folders to @p tree as children of
/// @p parent (top-level nodes when null), descending into each, with the state rules of the
/// option tree. Descriptors are read with ::ProgramSettings' defaults; CurrentOption is left
/// holding the descriptor read last. Every selectable node adds 1 to @p optionCount;
/// @p progress receives the running count now and then (at most about 60 times a second) and
/// once more at the end.
///
/// Sub-folders come sorted by name, ignoring case; names beginning with '.' and plain files
/// are left out. A symbolic link to a folder is followed, except to a folder that is already
/// on the path from @p folder down to it: such a link is left out, so link loops end. A folder
/// that cannot be listed keeps its node and adds nothing below it. The walk keeps its own
/// stack, so the depth of the folders never reaches the call stack.
OptionScanResult GetDirectories(OptionTree &tree, const QString &folder, OptionNode *parent,
                                int &optionCount, const std::function<void(int)> &progress = {});

/// The same with explicit limits; returns what the scan found.
OptionScanResult GetDirectories(OptionTree &tree, const QString &folder, OptionNode *parent,
                                int &optionCount, const std::function<void(int)> &progress,
                                const OptionScanLimits &limits);

/// One folder reached by WalkOptionFolders.
struct OptionFolder
{
    QString Path;      ///< as reached by the walk (links not resolved), ending in '/'
    QString Relative;  ///< below the walk's root, '/'-separated, ending in '/'; empty for the root
    QStringList Files; ///< names of its regular files, links to regular files included
};

/// Visits @p root and every folder below it in the scan's order and by the scan's rules: a
/// folder before its sub-folders, sub-folders sorted by name ignoring case, names beginning with
/// '.' left out, links to folders followed except to a folder already on the path down to them,
/// at most @p limits.MaxDepth levels below the root and @p limits.MaxNodes folders besides it.
/// Unlike the scan it looks at no descriptor: every folder is visited, whatever its mode. A
/// root that does not exist is an empty walk. Returns false when a limit ended the walk early.
bool WalkOptionFolders(const QString &root, const std::function<void(const OptionFolder &)> &visit,
                       const OptionScanLimits &limits = {});
