#include "app/FirstStartFrm.h"

#include "core/FormUtils.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TFirstStartForm::TFirstStartForm(bool sampleAvailable, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FirstStartForm"));
    setWindowTitle(QStringLiteral("Varimond"));
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);

    auto *layout = new QVBoxLayout(this);
    auto *label1 = new QLabel(
        QStringLiteral("Varimond works on an option pack: a folder holding an Options folder, "
                       "with one folder for each option of a custom game interface."),
        this);
    label1->setObjectName(QStringLiteral("Label1"));
    label1->setWordWrap(true);
    layout->addWidget(label1);

    auto *buttons = new QHBoxLayout;
    auto *open = new QPushButton(QStringLiteral("&Open a Pack Folder..."), this);
    open->setObjectName(QStringLiteral("btnOpenPack"));
    auto *sample = new QPushButton(QStringLiteral("&Try the Sample Pack"), this);
    sample->setObjectName(QStringLiteral("btnTrySample"));
    sample->setEnabled(sampleAvailable);
    auto *quit = new QPushButton(QStringLiteral("&Quit"), this);
    quit->setObjectName(QStringLiteral("btnQuit"));
    buttons->addWidget(open);
    buttons->addWidget(sample);
    buttons->addStretch(1);
    buttons->addWidget(quit);
    layout->addLayout(buttons);

    // Enter tries the sample when there is one: the quickest way to see what the program does.
    (sampleAvailable ? sample : open)->setDefault(true);
    (sampleAvailable ? sample : open)->setFocus();
    connect(open, &QPushButton::clicked, this, &TFirstStartForm::btnOpenPackClick);
    connect(sample, &QPushButton::clicked, this, &TFirstStartForm::btnTrySampleClick);
    connect(quit, &QPushButton::clicked, this, &TFirstStartForm::btnQuitClick);
    setFixedWidth(460);
}
