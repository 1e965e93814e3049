#pragma once

#include <QString>

#include <functional>

class OptionTree;
struct OptionNode;

/// Greatest folder depth below the options root that the scan descends into. Real packs nest
/// a handful of levels; the limit only stops pathological trees.
constexpr int MaxOptionDepth = 256;

/// Scans @p folder (ending in '/') and adds its option folders to @p tree as children of
/// @p parent (top-level nodes when null), recursing into each, with the state rules of the
/// option tree. Descriptors are read with ::ProgramSettings' defaults. Every selectable node
/// adds 1 to @p optionCount; @p progress receives the running count now and then.
void GetDirectories(OptionTree &tree, const QString &folder, OptionNode *parent, int &optionCount,
                    const std::function<void(int)> &progress = {});
