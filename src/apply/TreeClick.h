#pragma once

class QModelIndex;
class QPoint;
class QRect;
class QTreeView;

/// The rectangle, in @p view's viewport coordinates, where the item at @p index draws its state
/// icon (the item's decoration); empty when the item shows none.
QRect StateIconRect(const QTreeView *view, const QModelIndex &index);

/// True when @p viewportPos (in the tree's viewport coordinates) lies on a node's state icon,
/// not on its label, its expand button or empty space.
bool IsOnStateIcon(const QTreeView *view, const QPoint &viewportPos);
