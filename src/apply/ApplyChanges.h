#pragma once

#include <QString>

class OptionTree;
class OptionTreeController;
class TApplyForm;
struct OptionNode;

/// Applies a tick on @p node: runs the selection rules, re-reads the option's descriptor and
/// starts its scripts (hidden behind @p applyForm, or in normal windows). Does nothing for a
/// node that is not selectable. Throws AppError when a descriptor may not be written; no script
/// starts then. Throws AppError (platform::wineMissingMessage()) before anything is written when
/// a script needs Wine and Wine is missing. Returns the number of the group's options that were
/// left as they were because their folders lie outside the options folder.
int ApplyChanges(OptionTreeController &controller, OptionNode *node, TApplyForm *applyForm);

/// The same on a bare option tree whose folders lie below @p optionsRoot (ending in '/').
int ApplyChanges(OptionTree &tree, OptionNode *node, const QString &optionsRoot,
                  TApplyForm *applyForm);
