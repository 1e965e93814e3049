#pragma once

#include <QDialog>
#include <QPointer>

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;

/// "Check User Interface Mode": names the game's interface mode and offers to set it to CUSTOM.
/// Shown modally at start-up when the mode in the game's user.dat is not CUSTOM. The user
/// leaves it only with its two buttons: it has no close box and ignores Escape.
class TCheckUserInterfaceModeForm final : public QDialog
{
    Q_OBJECT

public:
    /// @p owner is the main window: the dialog centres itself over it and unticks its
    /// SettingsCheckInterfaceModeItem when the check is switched off.
    explicit TCheckUserInterfaceModeForm(QWidget *owner);

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void FormCreate();
    void FormShow();
    void FormActivate();
    void btnOkayClick();
    void btnSetCustomClick();

    void buildLayout();
    void fixSize();

    QPointer<QWidget> m_owner;
    QFrame *m_panel1 = nullptr;
    QLabel *m_label1 = nullptr;
    QLabel *m_label2 = nullptr;
    QLabel *m_label3 = nullptr;
    QLabel *m_lblUserDatFName = nullptr;
    QPushButton *m_btnSetCustom = nullptr;
    QPushButton *m_btnOkay = nullptr;
    QCheckBox *m_cbDisableInterfaceModeCheck = nullptr;
};
