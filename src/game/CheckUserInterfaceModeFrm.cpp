#include "game/CheckUserInterfaceModeFrm.h"

#include "core/Common.h"
#include "core/ErrorReport.h"
#include "core/FormUtils.h"
#include "game/UserDat.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

TCheckUserInterfaceModeForm::TCheckUserInterfaceModeForm(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_owner(owner)
{
    setObjectName(QStringLiteral("CheckUserInterfaceModeForm"));
    setWindowTitle(QStringLiteral("Check User Interface Mode"));
    buildLayout();
    FormCreate();
    fixSize();

    connect(m_btnOkay, &QPushButton::clicked, this, &TCheckUserInterfaceModeForm::btnOkayClick);
    connect(m_btnSetCustom, &QPushButton::clicked, this,
            &TCheckUserInterfaceModeForm::btnSetCustomClick);
}

void TCheckUserInterfaceModeForm::buildLayout()
{
    auto *outer = new QVBoxLayout(this);

    m_panel1 = new QFrame(this);
    m_panel1->setObjectName(QStringLiteral("Panel1"));
    m_panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto *grid = new QGridLayout(m_panel1);
    m_label1 = new QLabel(QStringLiteral("The User Interface mode in DAOC is currently set to:"),
                          m_panel1);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label2 = new QLabel(QStringLiteral("CUSTOM"), m_panel1);
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_label3 = new QLabel(m_panel1);
    m_label3->setObjectName(QStringLiteral("Label3"));
    // Which user.dat was checked: players with several game installs (Wine, Lutris, Steam)
    // see which one this is. Elided to the dialog's width; the whole path is its hint.
    m_lblUserDatFName = new QLabel(m_panel1);
    m_lblUserDatFName->setObjectName(QStringLiteral("lblUserDatFName"));
    m_lblUserDatFName->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    grid->addWidget(m_label1, 0, 0);
    grid->addWidget(m_label2, 0, 1);
    grid->addWidget(m_label3, 1, 0, 1, 3);
    grid->addWidget(m_lblUserDatFName, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    outer->addWidget(m_panel1);

    auto *row = new QHBoxLayout;
    // Made in tab order: Set to CUSTOM, Ok, the tick box.
    m_btnSetCustom = new QPushButton(QStringLiteral("Set to CUSTOM"), this);
    m_btnSetCustom->setObjectName(QStringLiteral("btnSetCustom"));
    m_btnSetCustom->setToolTip(QStringLiteral("Change setting to CUSTOM"));
    m_btnSetCustom->setEnabled(false);
    m_btnOkay = new QPushButton(QStringLiteral("Ok"), this);
    m_btnOkay->setObjectName(QStringLiteral("btnOkay"));
    m_btnOkay->setToolTip(QStringLiteral("Close"));
    // Ok is the default: the focus starts there and Enter away from the buttons means Ok, so
    // only a deliberate press of Set to CUSTOM changes the game's file.
    m_btnOkay->setDefault(true);
    m_cbDisableInterfaceModeCheck =
        new QCheckBox(QStringLiteral("Disable this check on startup."), this);
    m_cbDisableInterfaceModeCheck->setObjectName(QStringLiteral("cbDisableInterfaceModeCheck"));
    row->addWidget(m_cbDisableInterfaceModeCheck);
    row->addStretch(1);
    row->addWidget(m_btnSetCustom);
    row->addWidget(m_btnOkay);
    outer->addLayout(row);
}

void TCheckUserInterfaceModeForm::fixSize()
{
    // The dialog does not resize: make room for the widest texts activation can put into the
    // labels, so that none is cut off whatever the mode.
    auto widest = [](QLabel *label, std::initializer_list<QString> texts) {
        const QString design = label->text();
        int width = 0;
        for (const QString &text : texts) {
            label->setText(text);
            width = std::max(width, label->sizeHint().width());
        }
        label->setText(design);
        label->setMinimumWidth(width);
    };
    widest(m_label2, {InterfaceModeViewFor(4).Label2,
                      InterfaceModeViewFor(std::numeric_limits<int>::min()).Label2});
    widest(m_label3, {InterfaceModeViewFor(0).Label3, InterfaceModeViewFor(-1).Label3});
    layout()->activate();
    setFixedSize(sizeHint());
}

void TCheckUserInterfaceModeForm::FormCreate()
{
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);
}

void TCheckUserInterfaceModeForm::FormShow()
{
    CentreOver(this, m_owner);
}

void TCheckUserInterfaceModeForm::FormActivate()
{
    const InterfaceModeView view = InterfaceModeViewFor(ProgramSettings.GameInterfaceMode);
    m_label2->setText(view.Label2);
    m_label3->setText(view.Label3);
    m_btnSetCustom->setEnabled(view.SetCustomEnabled);
    const QString file = UserDatFileInUse();
    m_lblUserDatFName->setToolTip(file);
    m_lblUserDatFName->setText(m_lblUserDatFName->fontMetrics().elidedText(
        UserDatFileLine(file), Qt::ElideMiddle, m_lblUserDatFName->width()));
}

void TCheckUserInterfaceModeForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return; // the window system re-exposing the dialog is no new showing
    FormShow();
    FormActivate();
}

void TCheckUserInterfaceModeForm::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Cancel)) {
        event->accept(); // no cancel: only the two buttons close the dialog
        return;
    }
    QDialog::keyPressEvent(event);
}

void TCheckUserInterfaceModeForm::closeEvent(QCloseEvent *event)
{
    // The window system's close request (a close shortcut of the desktop) is refused, as the
    // dialog has no close box. A close from the program itself, as at a termination signal,
    // still goes through.
    if (event->spontaneous()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TCheckUserInterfaceModeForm::btnOkayClick()
{
    if (m_cbDisableInterfaceModeCheck->isChecked()) {
        ProgramSettings.CheckInterfaceMode = false;
        if (m_owner) {
            if (auto *item =
                    m_owner->findChild<QAction *>(QStringLiteral("SettingsCheckInterfaceModeItem")))
                item->setChecked(false);
        }
    }
    accept();
}

void TCheckUserInterfaceModeForm::btnSetCustomClick()
{
    ProgramSettings.GameInterfaceMode = 7;
    if (Guarded(this, [] { SaveUserDatIniFile(); }))
        accept();
}
