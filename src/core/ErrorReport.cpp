#include "core/ErrorReport.h"

#include <QApplication>
#include <QMessageBox>

QString ErrorReportText(const QString &message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + QLatin1Char('.');
    return message;
}

void ShowGeneralErrorReport(QWidget *parent, const QString &message)
{
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    ErrorReportText(message), QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("GeneralErrorReport"));
    box.exec();
}
