#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace history {
class InstallHistory;
}

/// Asks the user, in a modal box over @p parent, whether the pack may keep history of
/// @p folders, which lie outside it. True when the user allows it.
bool AskHistoryConsent(QWidget *parent, const QStringList &folders);

/// The History window: every recorded install, newest first, with its time, option, scripts,
/// exit status and the files it added, changed and removed; the selected install's files and
/// script output below; Restore puts the history folders back as they were before it.
class THistoryForm final : public QDialog
{
    Q_OBJECT

public:
    explicit THistoryForm(QWidget *parent = nullptr, history::InstallHistory *source = nullptr);
    ~THistoryForm() override;

    /// Reads the log again and fills the list, keeping the selected install when it is there.
    void UpdateHistoryList();
    /// Shows the files and output of the selected install.
    void lvHistoryChange();
    /// Asks for confirmation with the list of changes, then restores.
    void btnRestoreClick();

    /// The id of the selected install; empty when none.
    QString SelectedId() const;
    /// Selects the install @p id; false when it is not listed.
    bool SelectId(const QString &id);

protected:
    void showEvent(QShowEvent *event) override;

private:
    history::InstallHistory &m_history;
    QTreeWidget *m_list = nullptr;
    QPlainTextEdit *m_files = nullptr;
    QPlainTextEdit *m_output = nullptr;
    QLabel *m_notices = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_restore = nullptr;
    QString m_newest; // the newest install listed
};
