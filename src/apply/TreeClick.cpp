// Placeholder: the hit test replaces this file.
#include "apply/TreeClick.h"

bool IsOnStateIcon(const QTreeView *, const QPoint &) { return false; }
