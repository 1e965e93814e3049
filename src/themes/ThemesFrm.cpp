#include "themes/ThemesFrm.h"

#include "core/Common.h"
#include "core/ErrorReport.h"
#include "core/FormUtils.h"
#include "core/StatusLine.h"
#include "themes/ApplyThemeFrm.h"
#include "themes/ThemeApply.h"
#include "themes/ThemeStore.h"
#include "themes/ThemesSaveAsFrm.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

QPushButton *button(QWidget *parent, const char *name, const QString &caption, const QString &hint)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setToolTip(hint);
    // None of the window's buttons is its default button: Enter presses none of them.
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

} // namespace

TThemesForm::TThemesForm(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_label1(new QLabel(QStringLiteral("Available Themes:"), this)),
      m_btnSave(
          button(this, "btnSave", QStringLiteral("Save"), QStringLiteral("Save selected theme"))),
      m_btnSaveAs(
          button(this, "btnSaveAs", QStringLiteral("Save As.."), QStringLiteral("Save new theme"))),
      m_btnDelete(button(this, "btnDelete", QStringLiteral("Delete"),
                         QStringLiteral("Delete selected theme"))),
      m_listBox1(new QListWidget(this)), m_label2(new QLabel(this)),
      m_btnOkay(button(this, "btnOkay", QStringLiteral("Ok"),
                       QStringLiteral("Apply selected theme and close"))),
      m_btnCancel(button(this, "btnCancel", QStringLiteral("Cancel"), QStringLiteral("Close"))),
      m_btnApply(
          button(this, "btnApply", QStringLiteral("Apply"), QStringLiteral("Apply selected theme")))
{
    setObjectName(QStringLiteral("ThemesForm"));
    setWindowTitle(QStringLiteral("Themes"));
    setSizeGripEnabled(true);
    resize(420, 320); // the layout keeps it from shrinking below its controls
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);

    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_listBox1->setObjectName(QStringLiteral("ListBox1"));
    m_listBox1->setSelectionMode(QAbstractItemView::SingleSelection);

    // The buttons keep to the right edge and the list takes every change of size.
    auto *top = new QHBoxLayout;
    top->addWidget(m_label1);
    top->addStretch(1);
    top->addWidget(m_btnSave);
    top->addWidget(m_btnSaveAs);
    top->addWidget(m_btnDelete);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_label2, 1);
    bottom->addWidget(m_btnOkay);
    bottom->addWidget(m_btnCancel);
    bottom->addWidget(m_btnApply);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_listBox1, 1);
    layout->addLayout(bottom);

    setTabOrder(m_btnDelete, m_listBox1);
    setTabOrder(m_listBox1, m_btnSaveAs);
    setTabOrder(m_btnSaveAs, m_btnOkay);
    setTabOrder(m_btnOkay, m_btnCancel);
    setTabOrder(m_btnCancel, m_btnApply);
    setTabOrder(m_btnApply, m_btnSave);

    connect(m_listBox1, &QListWidget::itemClicked, this, &TThemesForm::ListBox1Click);
    connect(m_listBox1, &QListWidget::itemDoubleClicked, this, &TThemesForm::ListBox1Click);
    // A row chosen with the keyboard counts as a click; the refresh's own choices do not.
    connect(m_listBox1, &QListWidget::currentRowChanged, this, [this] {
        if (!m_refreshing)
            ListBox1Click();
    });
    connect(m_btnSave, &QPushButton::clicked, this, &TThemesForm::btnSaveClick);
    connect(m_btnSaveAs, &QPushButton::clicked, this, &TThemesForm::btnSaveAsClick);
    connect(m_btnDelete, &QPushButton::clicked, this, &TThemesForm::btnDeleteClick);
    connect(m_btnApply, &QPushButton::clicked, this, [this] { btnApplyClick(); });
    connect(m_btnOkay, &QPushButton::clicked, this, &TThemesForm::btnOkayClick);
    connect(m_btnCancel, &QPushButton::clicked, this, &TThemesForm::btnCancelClick);
}

void TThemesForm::SetSaveAsForm(TThemesSaveAsForm *form)
{
    m_saveAsForm = form;
    if (form) {
        form->setParent(this, form->windowFlags());
        form->SetThemes(
            [this] {
                const QListWidgetItem *row = m_listBox1->currentItem();
                return row ? row->text() : QString();
            },
            [this](const QString &name, QWidget *reportTo) {
                // The name becomes the list's last row, selected, until the list is read
                // again; the save goes by the name, so a first theme in an empty list is not
                // taken for the protected row 0.
                m_listBox1->addItem(name);
                m_listBox1->setCurrentRow(m_listBox1->count() - 1);
                if (SaveTheme(name, reportTo))
                    return true;
                delete m_listBox1->takeItem(m_listBox1->count() - 1);
                return false;
            });
    }
}

void TThemesForm::SetApplyThemeForm(TApplyThemeForm *form)
{
    m_applyThemeForm = form;
    if (form)
        form->setParent(this, form->windowFlags());
}

bool TThemesForm::event(QEvent *event)
{
    // The progress window and the message of an apply come and go over this window while it
    // runs; coming back from them is no new activation for the count of entries read.
    if (event->type() == QEvent::WindowDeactivate)
        m_keepEntriesRead = m_applying;
    const bool result = QDialog::event(event);
    if (event->type() == QEvent::WindowActivate)
        FormActivate();
    return result;
}

void TThemesForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    FormShow();
    // Also refreshed here: not every platform activates a window it shows.
    FormActivate();
}

void TThemesForm::hideEvent(QHideEvent *event)
{
    m_entriesRead.clear();
    QDialog::hideEvent(event);
}

void TThemesForm::FormShow()
{
    CentreOver(this, parentWidget());
    m_shownThemeName = ProgramSettings.ThemeName;
}

void TThemesForm::FormActivate()
{
    m_refreshing = true;
    m_listBox1->clear();
    m_listBox1->addItems(ShowAvailableThemes(ThemesFolder(ProgramSettings)));
    const int rows = m_listBox1->count();
    m_listBox1->setCurrentRow(0);
    m_preselectedThemeName = rows > 0 ? m_listBox1->item(0)->text() : QString();
    m_label2->setText(ProgramSettings.ThemeName);
    m_btnApply->setEnabled(rows > 0);

    int found = -1;
    for (int i = 0; i < rows && found < 0; ++i) {
        if (m_listBox1->item(i)->text() == ProgramSettings.ThemeName)
            found = i;
    }
    if (found >= 0) {
        // Save and Delete keep the state they had.
        m_listBox1->setCurrentRow(found);
        m_preselectedThemeName = ProgramSettings.ThemeName;
    } else {
        // An empty list has no row to save over or delete.
        const bool open = rows > 0 && m_preselectedThemeName != DefaultThemeName();
        m_btnSave->setEnabled(open);
        m_btnDelete->setEnabled(open);
    }
    // After an apply the label keeps the number of entries it read over the activations that
    // its own progress window and messages cause; the next activation after them clears it.
    if (!m_entriesRead.isNull()) {
        if (m_keepEntriesRead || m_applying)
            m_label2->setText(m_entriesRead);
        else
            m_entriesRead.clear();
    }
    m_keepEntriesRead = false;
    m_refreshing = false;
}

void TThemesForm::ListBox1Click()
{
    const bool first = m_listBox1->currentRow() == 0;
    m_btnSave->setEnabled(!first);
    m_btnDelete->setEnabled(!first);
}

void TThemesForm::btnSaveClick()
{
    m_entriesRead.clear();
    QListWidgetItem *row = m_listBox1->currentItem();
    if (!row)
        return;
    if (m_listBox1->currentRow() == 0) {
        ShowDefaultThemeError(this);
        return;
    }
    SaveTheme(row->text());
}

bool TThemesForm::SaveTheme(const QString &name, QWidget *reportTo)
{
    return Guarded(reportTo ? reportTo : this, [&] { ::SaveTheme(ProgramSettings, name); });
}

void TThemesForm::btnSaveAsClick()
{
    m_entriesRead.clear();
    if (m_saveAsForm)
        m_saveAsForm->exec();
    FormActivate();
}

void TThemesForm::btnDeleteClick()
{
    m_entriesRead.clear();
    QListWidgetItem *row = m_listBox1->currentItem();
    if (!row)
        return;
    if (DeleteTheme(ProgramSettings, row->text()))
        FormActivate();
}

bool TThemesForm::btnApplyClick()
{
    m_entriesRead.clear();
    QListWidgetItem *row = m_listBox1->currentItem();
    if (!row)
        return true;
    const QString name = row->text();
    bool touched = false; // the selections have been cleared (some of them, at least)
    bool complete = false;
    ThemeApplication application(ProgramSettings);
    m_applying = true;
    const bool ok = Guarded(this, [&] {
        application.Read(name);
        touched = true;
        application.ClearAndPlan();
        const QString entries = QString::number(application.Theme().Entries.size());
        m_label2->setText(entries);

        if (application.Plan().Steps.empty()) {
            application.Start(); // nothing to wait for: completes at once
        } else {
            if (!m_applyThemeForm)
                SetApplyThemeForm(new TApplyThemeForm(this));
            m_applyThemeForm->Run(application);
        }
        complete = application.GetState() == ThemeApplication::State::Complete;
        m_label2->setText(entries);
        m_entriesRead = entries;
    });
    if (touched && (complete || !ok) && m_updateTreeView)
        m_updateTreeView();
    if (complete)
        TheStatusLine().Show(QStringLiteral("Theme %1 applied: %2 options")
                                 .arg(name)
                                 .arg(application.Theme().Entries.size()));

    const ThemePlan &plan = application.Plan();
    if (complete && (plan.Outside > 0 || plan.Ignored > 0 || plan.LeftOutside > 0)) {
        QString text;
        if (plan.Outside > 0)
            text = QStringLiteral("%1 of the theme's entries were skipped: their scripts lie "
                                  "outside the option folders.")
                       .arg(plan.Outside);
        if (plan.LeftOutside > 0)
            text += (text.isEmpty() ? QString() : QStringLiteral("\n")) +
                    QStringLiteral("%1 selected option folder(s) outside the options folder "
                                   "(reached through symbolic links) were left as they were.")
                        .arg(plan.LeftOutside);
        if (plan.Ignored > 0)
            text += (text.isEmpty() ? QString() : QStringLiteral("\n")) +
                    QStringLiteral("Only the first %1 entries of the theme were read; %2 more "
                                   "were skipped.")
                        .arg(MaxThemeEntries)
                        .arg(plan.Ignored);
        QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), text,
                        QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("ThemeEntriesSkipped"));
        box.exec();
    }
    m_applying = false;
    return ok;
}

void TThemesForm::btnOkayClick()
{
    // Ok applies when the active theme changed since the window was shown, when it was not in
    // the list, and when the user chose a row other than the one the refresh selected: a
    // chosen theme is never left unapplied by the button that says it applies.
    const QListWidgetItem *row = m_listBox1->currentItem();
    const bool chosen = row && row->text() != m_preselectedThemeName;
    if (m_shownThemeName != ProgramSettings.ThemeName ||
        m_shownThemeName != m_preselectedThemeName || chosen) {
        if (!btnApplyClick())
            return; // the error was shown; the window stays open
    }
    accept();
}

void TThemesForm::btnCancelClick()
{
    reject();
}
