// Placeholder: the full About window replaces this file.
#include "docs/AboutFrm.h"

#include "docs/DocumentPane.h"

TAboutForm::TAboutForm(QWidget *owner) : QDialog(owner), m_owner(owner)
{
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About"));
    setMinimumSize(500, 300);
}

void TAboutForm::DisplayAboutFName() {}
void TAboutForm::showEvent(QShowEvent *event) { QDialog::showEvent(event); }
