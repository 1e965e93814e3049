#pragma once

#include "files/PackPermissions.h"
#include "launch/ScriptLauncher.h"

#include <QDialog>

class QCheckBox;
class QListWidget;
class QMessageBox;
class QPushButton;
class QWidget;

/// The one place where a player sees and takes back what a pack may reach outside itself:
/// the folders it reaches through links (allowed or refused), its scripts' network, their
/// running with full rights, and their running unconfined where the sandbox cannot start.
/// Every change is written at once to the pack's permissions (platform::PackPermissions).
class TPackPermissionsForm final : public QDialog
{
public:
    /// The permissions of @p pack in @p file (by default the player's permissions file).
    TPackPermissionsForm(QWidget *parent, const platform::ScriptPack &pack, QString file = {});

    /// Reads the answers again into the window.
    void reload();

private:
    void setGrant(platform::PackPermissions::Grant grant, bool on);
    void forgetSelected();

    platform::PackPermissions m_store;
    QByteArray m_pack;
    bool m_asksNetwork;
    QListWidget *m_folders;
    QPushButton *m_forget;
    QCheckBox *m_network;
    QCheckBox *m_fullRights;
    QCheckBox *m_unconfined;
    std::vector<platform::PackPermissions::Entry> m_shown;
};

/// The question before a pack's scripts run where the sandbox cannot start: a message box
/// titled "Varimond" with Yes and Cancel, Cancel the default. Made, not shown, for tests.
QMessageBox *MakeUnconfinedQuestion(QWidget *parent, const platform::UnconfinedQuestion &question);
/// Shows it over the active window; true for Yes. Registered with
/// platform::setUnconfinedQuestionHandler().
bool AskUnconfined(const platform::UnconfinedQuestion &question);

/// The question before the program uses a pack's linked folders outside it: Yes and No, No the
/// default. Registered with platform::setFolderQuestionHandler().
QMessageBox *MakeLinkedFolderQuestion(QWidget *parent, const platform::FolderQuestion &question);
bool AskLinkedFolders(const platform::FolderQuestion &question);
