#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class TThemesForm;

/// The Save-As window: asks for a theme name and saves the current selections under it.
class TThemesSaveAsForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TThemesSaveAsForm(QWidget *owner);

    /// The Themes window whose list it reads and adds to.
    void SetThemesForm(TThemesForm *form) { m_themes = form; }

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
    TThemesForm *m_themes = nullptr;
};
