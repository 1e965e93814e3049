// Placeholder: the selection rules and script start replace this file.
#include "apply/ApplyChanges.h"

void ApplyChanges(OptionTreeController &, OptionNode *, TApplyForm *) {}
