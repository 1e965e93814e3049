#include "apply/TreeClick.h"

#include <QApplication>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <QTreeView>

namespace {

// Gives access to the item option the standard delegate paints from, so the icon is hit
// exactly where it is drawn.
class DecorationProbe final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::initStyleOption;
};

// The view's part of the item option, as QAbstractItemView prepares it for its delegate.
QStyleOptionViewItem ViewItemOption(const QTreeView *view)
{
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.state &= ~QStyle::State_HasFocus;
    option.font = view->font();
    option.fontMetrics = QFontMetrics(option.font);
    const QSize iconSize = view->iconSize();
    if (iconSize.isValid()) {
        option.decorationSize = iconSize;
    } else {
        const int pm = view->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, view);
        option.decorationSize = QSize(pm, pm);
    }
    option.decorationPosition = QStyleOptionViewItem::Left;
    option.decorationAlignment = Qt::AlignCenter;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    option.textElideMode = view->textElideMode();
    option.showDecorationSelected =
        view->style()->styleHint(QStyle::SH_ItemView_ShowDecorationSelected, nullptr, view) != 0;
    option.locale = view->locale();
    option.locale.setNumberOptions(QLocale::OmitGroupSeparator);
    option.widget = view;
    if (view->wordWrap())
        option.features = QStyleOptionViewItem::WrapText;
    return option;
}

} // namespace

QRect StateIconRect(const QTreeView *view, const QModelIndex &index)
{
    if (!view || !index.isValid())
        return {};
    QStyleOptionViewItem option = ViewItemOption(view);
    // visualRect leaves out the indentation and the expand arrow of the tree column.
    option.rect = view->visualRect(index);
    DecorationProbe probe;
    probe.initStyleOption(&option, index);
    if (!(option.features & QStyleOptionViewItem::HasDecoration))
        return {};
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    return style->subElementRect(QStyle::SE_ItemViewItemDecoration, &option, widget);
}

bool IsOnStateIcon(const QTreeView *view, const QPoint &viewportPos)
{
    if (!view)
        return false;
    const QModelIndex index = view->indexAt(viewportPos);
    if (!index.isValid())
        return false;
    return StateIconRect(view, index).contains(viewportPos);
}

TreeClickFilter::TreeClickFilter(QWidget *viewport) : QObject(viewport)
{
    viewport->installEventFilter(this);
}

bool TreeClickFilter::eventFilter(QObject *watched, QEvent *event)
{
    Q_UNUSED(watched);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        // A new press starts a new click, unless the window system reports the double-click
        // after it (the double-click event follows the second press).
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            m_inDoubleClick = false;
        break;
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            m_inDoubleClick = true;
        break;
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        const bool second = m_inDoubleClick;
        m_inDoubleClick = false;
        if (!second)
            Q_EMIT clicked(mouse->position().toPoint());
        break;
    }
    default:
        break;
    }
    return false;
}
