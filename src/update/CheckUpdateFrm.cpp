#include "update/CheckUpdateFrm.h"

#include "core/FormUtils.h"

#include <QHBoxLayout>
#include <QPushButton>

TCheckUpdateForm::TCheckUpdateForm(QWidget *owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("CheckUpdateForm"));
    setWindowTitle(QStringLiteral("Check for Updates"));
    setMinimumSize(500, 300);
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);
    auto *layout = new QHBoxLayout(this);
    layout->addStretch();
    auto *btnContinue = new QPushButton(QStringLiteral("Continue"), this);
    btnContinue->setObjectName(QStringLiteral("btnContinue"));
    btnContinue->setDefault(true);
    layout->addWidget(btnContinue, 0, Qt::AlignBottom);
    connect(btnContinue, &QPushButton::clicked, this, &QDialog::accept);
}
