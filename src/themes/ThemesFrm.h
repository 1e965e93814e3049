#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QListWidget;
class QPushButton;
class TApplyThemeForm;
class TThemesSaveAsForm;

/// The Themes window: lists the themes of the themes folder and offers Save, Save As, Delete,
/// Apply, Ok and Cancel over the theme store (ThemeStore.h) and theme application
/// (ThemeApply.h). Row 0 of the list is the protected default theme. The list is read again
/// whenever the window becomes active.
class TThemesForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TThemesForm(QWidget *owner);

    /// The Save-As window and the progress window of an apply; both become children of this
    /// window, which they are placed over.
    void SetSaveAsForm(TThemesSaveAsForm *form);
    void SetApplyThemeForm(TApplyThemeForm *form);
    /// Rebuilds the main window's option tree after an apply.
    void SetUpdateTreeView(std::function<void()> update) { m_updateTreeView = std::move(update); }

    QListWidget *ListBox1() const { return m_listBox1; }
    QLabel *Label2() const { return m_label2; }
    /// ThemeName as it was when the window was last shown.
    const QString &ShownThemeName() const { return m_shownThemeName; }
    /// The row the last refresh selected: the active theme when listed, else row 0.
    const QString &PreselectedThemeName() const { return m_preselectedThemeName; }

    void FormShow();
    /// The refresh: lists the themes again and selects the active one.
    void FormActivate();
    void ListBox1Click();
    void btnSaveClick();
    void btnSaveAsClick();
    void btnDeleteClick();
    /// Applies the selected row's theme; false when an error was reported.
    bool btnApplyClick();
    void btnOkayClick();
    void btnCancelClick();

    /// Saves the current selections as theme @p name, reporting any error over @p reportTo
    /// (this window when null); used by Save-As.
    bool SaveTheme(const QString &name, QWidget *reportTo = nullptr);

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QLabel *m_label1;
    QPushButton *m_btnSave;
    QPushButton *m_btnSaveAs;
    QPushButton *m_btnDelete;
    QListWidget *m_listBox1;
    QLabel *m_label2;
    QPushButton *m_btnOkay;
    QPushButton *m_btnCancel;
    QPushButton *m_btnApply;
    TThemesSaveAsForm *m_saveAsForm = nullptr;
    TApplyThemeForm *m_applyThemeForm = nullptr;
    std::function<void()> m_updateTreeView;
    QString m_shownThemeName;
    QString m_preselectedThemeName;
    QString m_entriesRead;          // Label2 after an apply, until the next activation
    bool m_applying = false;        // an apply (its progress window, its messages) is under way
    bool m_keepEntriesRead = false; // the last deactivation was the apply's own
    bool m_refreshing = false;
};
