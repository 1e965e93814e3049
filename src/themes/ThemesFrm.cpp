#include "themes/ThemesFrm.h"

#include "core/FormUtils.h"

namespace {
void setUp(QDialog *dialog, const char *name, const QString &caption)
{
    dialog->setObjectName(QString::fromLatin1(name));
    dialog->setWindowTitle(caption);
    QFont font = dialog->font();
    SetVistaFormFont(font);
    dialog->setFont(font);
}
} // namespace

TThemesForm::TThemesForm(QWidget *owner) : QDialog(owner)
{
    setUp(this, "ThemesForm", QStringLiteral("Themes"));
}

TThemesSaveAsForm::TThemesSaveAsForm(QWidget *owner) : QDialog(owner)
{
    setUp(this, "ThemesSaveAsForm", QStringLiteral("Save As"));
}

TApplyThemeForm::TApplyThemeForm(QWidget *owner) : QDialog(owner)
{
    setUp(this, "ApplyThemeForm", QString());
}
