#pragma once

#include <QObject>
#include <QPoint>

class QModelIndex;
class QRect;
class QTreeView;
class QWidget;

/// The rectangle, in @p view's viewport coordinates, where the item at @p index draws its state
/// icon (the item's decoration); empty when the item shows none.
QRect StateIconRect(const QTreeView *view, const QModelIndex &index);

/// True when @p viewportPos (in the tree's viewport coordinates) lies on a node's state icon,
/// not on its label, its expand button or empty space.
bool IsOnStateIcon(const QTreeView *view, const QPoint &viewportPos);

/// Turns the mouse events of a tree's viewport into clicks: one per click of the left button,
/// reported when the button is released. A double-click is one click: the release that ends it
/// is not reported again, so a double-click on a state icon ticks once.
class TreeClickFilter final : public QObject
{
    Q_OBJECT

public:
    /// Watches @p viewport; the filter is owned by it.
    explicit TreeClickFilter(QWidget *viewport);

Q_SIGNALS:
    /// A left-button click ended at @p viewportPos.
    void clicked(const QPoint &viewportPos);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_inDoubleClick = false;
};
