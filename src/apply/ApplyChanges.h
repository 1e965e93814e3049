#pragma once

#include <QString>
#include <QStringList>

class OptionTree;
class OptionTreeController;
class TApplyForm;
struct OptionNode;

/// Applies a tick on @p node: resolves the option's folder, descriptor and scripts once
/// (ResolvedOption), runs the selection rules with it and starts its scripts (hidden behind
/// @p applyForm, or in normal windows); CurrentOption then holds the option's descriptor as
/// the disk now has it. Does nothing for a
/// node that is not selectable. Throws AppError when a descriptor may not be written; no script
/// starts then. Throws AppError (platform::wineMissingMessage()) before anything is written when
/// a script needs Wine and Wine is missing. Returns the number of the group's options that were
/// left as they were because their folders lie outside the options folder.
/// @p started, when given, receives the names of the scripts started, first one first.
int ApplyChanges(OptionTreeController &controller, OptionNode *node, TApplyForm *applyForm,
                 QStringList *started = nullptr);

/// The same on a bare option tree whose folders lie below @p optionsRoot (ending in '/').
int ApplyChanges(OptionTree &tree, OptionNode *node, const QString &optionsRoot,
                 TApplyForm *applyForm, QStringList *started = nullptr);
