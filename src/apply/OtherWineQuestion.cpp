#include "apply/OtherWineQuestion.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <memory>

QMessageBox *MakeOtherWineQuestion(QWidget *parent, const platform::WineQuestion &question)
{
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Varimond"), question.text(),
                                QMessageBox::NoButton, parent);
    box->setObjectName(QStringLiteral("OtherWineQuestion"));
    QPushButton *yes = box->addButton(QMessageBox::Yes);
    yes->setObjectName(QStringLiteral("btnYes"));
    QPushButton *cancel = box->addButton(QMessageBox::Cancel);
    cancel->setObjectName(QStringLiteral("btnCancel"));
    // Upgrading the player's prefix must never be one careless Enter away.
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

bool AskOtherWine(const platform::WineQuestion &question)
{
    QWidget *parent = QApplication::activeModalWidget();
    if (!parent)
        parent = QApplication::activeWindow();
    std::unique_ptr<QMessageBox> box(MakeOtherWineQuestion(parent, question));
    box->exec();
    return box->clickedButton() == box->button(QMessageBox::Yes);
}
