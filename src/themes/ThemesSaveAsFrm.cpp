#include "themes/ThemesSaveAsFrm.h"

#include "core/FormUtils.h"
#include "themes/ThemeStore.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>

void ShowDefaultThemeError(QWidget *parent)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                    QStringLiteral("Error - You cannot change the (Default) Theme."),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("DefaultThemeError"));
    box.move(20, 100);
    box.exec();
}

TThemesSaveAsForm::TThemesSaveAsForm(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_label1(new QLabel(QStringLiteral("Theme Name:"), this)),
      m_edThemeFName(new QLineEdit(this)), m_btnOkay(new QPushButton(QStringLiteral("Ok"), this)),
      m_btnCancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("ThemesSaveAsForm"));
    setWindowTitle(QStringLiteral("Save As"));
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);

    m_label1->setObjectName(QStringLiteral("Label1"));
    m_edThemeFName->setObjectName(QStringLiteral("edThemeFName"));
    m_btnOkay->setObjectName(QStringLiteral("btnOkay"));
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnOkay->setEnabled(false);
    m_btnOkay->setDefault(true); // Enter presses Ok while it is enabled
    m_btnCancel->setAutoDefault(false);

    auto *layout = new QGridLayout(this);
    layout->addWidget(m_label1, 0, 0, 1, 3);
    layout->addWidget(m_edThemeFName, 1, 0, 1, 3);
    layout->setColumnStretch(0, 1);
    layout->addWidget(m_btnOkay, 2, 1);
    layout->addWidget(m_btnCancel, 2, 2);
    setFixedSize(300, sizeHint().height());

    setTabOrder(m_edThemeFName, m_btnOkay);
    setTabOrder(m_btnOkay, m_btnCancel);

    connect(m_edThemeFName, &QLineEdit::textChanged, this, &TThemesSaveAsForm::edThemeFNameChange);
    connect(m_btnOkay, &QPushButton::clicked, this, &TThemesSaveAsForm::btnOkayClick);
    connect(m_btnCancel, &QPushButton::clicked, this, &TThemesSaveAsForm::btnCancelClick);
}

void TThemesSaveAsForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TThemesSaveAsForm::FormShow()
{
    CentreOver(this, parentWidget());
    QString text = m_selectedName ? m_selectedName() : QString();
    if (text == DefaultThemeName())
        text.clear();
    m_edThemeFName->setText(text);
    edThemeFNameChange(); // also when the text did not change
    m_edThemeFName->setFocus();
    m_edThemeFName->selectAll();
}

void TThemesSaveAsForm::edThemeFNameChange()
{
    m_btnOkay->setEnabled(!m_edThemeFName->text().isEmpty());
}

void TThemesSaveAsForm::btnOkayClick()
{
    const QString name = m_edThemeFName->text();
    if (name.isEmpty())
        return;
    // The default theme is protected by its place in the list; under its own name it could
    // otherwise be overwritten from here.
    if (name.compare(DefaultThemeName(), Qt::CaseInsensitive) == 0) {
        ShowDefaultThemeError(this);
        return;
    }
    // A refusal is reported over this window, which keeps the Themes window from refreshing
    // its list meanwhile; refused or failed, the window stays open for another name.
    if (!m_save || m_save(name, this))
        accept();
}

void TThemesSaveAsForm::btnCancelClick()
{
    reject();
}
