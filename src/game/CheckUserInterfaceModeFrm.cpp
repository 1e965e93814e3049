// Placeholder: the full dialog replaces this file.
#include "game/CheckUserInterfaceModeFrm.h"

TCheckUserInterfaceModeForm::TCheckUserInterfaceModeForm(QWidget *owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("CheckUserInterfaceModeForm"));
    setWindowTitle(QStringLiteral("Check User Interface Mode"));
}
