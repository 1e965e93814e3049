#pragma once

class QPoint;
class QTreeView;

/// True when @p viewportPos (in the tree's viewport coordinates) lies on a node's state icon,
/// not on its label, its expand button or empty space.
bool IsOnStateIcon(const QTreeView *view, const QPoint &viewportPos);
