#include "core/FormUtils.h"

#include <QFont>
#include <QWidget>

void CentreOver(QWidget *window, const QWidget *owner)
{
    if (!window || !owner)
        return;
    const QRect o = owner->frameGeometry();
    const QRect w = window->frameGeometry();
    window->move(o.left() + (o.width() - w.width()) / 2, o.top() + (o.height() - w.height()) / 2);
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
