#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

/// The Save-As window: asks for a theme name and saves the current selections under it.
class TThemesSaveAsForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TThemesSaveAsForm(QWidget *owner);

    /// Saves the current selections as the named theme, reporting any error over the given
    /// window; false when the save was refused or failed.
    using SaveTheme = std::function<bool(const QString &name, QWidget *reportTo)>;

    /// Where the window's theme names come from and go to: the name selected in the Themes
    /// window's list, proposed when the window is shown, and the save of the chosen name.
    void SetThemes(std::function<QString()> selectedName, SaveTheme save)
    {
        m_selectedName = std::move(selectedName);
        m_save = std::move(save);
    }

    QLineEdit *edThemeFName() const { return m_edThemeFName; }
    QPushButton *btnOkay() const { return m_btnOkay; }

    void FormShow();
    void edThemeFNameChange();
    void btnOkayClick();
    void btnCancelClick();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QLabel *m_label1;
    QLineEdit *m_edThemeFName;
    QPushButton *m_btnOkay;
    QPushButton *m_btnCancel;
    std::function<QString()> m_selectedName;
    SaveTheme m_save;
};

/// The refusal "Error - You cannot change the (Default) Theme.": an error box with one OK
/// button at screen position 20, 100.
void ShowDefaultThemeError(QWidget *parent);
