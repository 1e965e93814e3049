#include "core/FormUtils.h"

#include <QFont>
#include <QWidget>
#include <QWindow>

void CentreOver(QWidget *window, const QWidget *owner)
{
    if (!window || !owner)
        return;
    const QRect o = owner->frameGeometry();
    const QRect w = window->frameGeometry();
    window->move(o.left() + (o.width() - w.width()) / 2, o.top() + (o.height() - w.height()) / 2);
}

void ShowEmptyCaption(QWidget *window)
{
    if (!window || !window->windowTitle().isEmpty())
        return;
    if (QWindow *handle = window->windowHandle())
        handle->setTitle(QStringLiteral(" "));
}

bool IsWindowsVista() { return false; }

void SetVistaFormFont(QFont &font)
{
    if (!IsWindowsVista())
        return;
    font.setPointSize(9);
    font.setFamily(QStringLiteral("Segoe UI"));
}

void SetVistaMemoFont(QFont &font)
{
    if (!IsWindowsVista())
        return;
    font.setPointSize(10);
    font.setFamily(QStringLiteral("Calibri"));
}
