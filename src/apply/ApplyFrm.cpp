// Placeholder: the full progress dialog replaces this file.
#include "apply/ApplyFrm.h"

TApplyForm::TApplyForm(QWidget *owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("ApplyForm"));
}
