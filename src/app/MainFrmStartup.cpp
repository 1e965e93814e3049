// The main window's start-up sequence behind the splash window, its activation, and the
// settings file loaded at the start and saved at the close.
#include "app/MainFrm.h"

#include "app/PackChoice.h"
#include "app/Signals.h"
#include "app/SplashFrm.h"
#include "apply/ApplyChanges.h"
#include "apply/ApplyFrm.h"
#include "apply/PackPermissionsFrm.h"
#include "apply/TreeClick.h"
#include "core/ErrorReport.h"
#include "core/FormUtils.h"
#include "core/StatusLine.h"
#include "docs/AboutFrm.h"
#include "docs/DocumentPane.h"
#include "game/CheckUserInterfaceModeFrm.h"
#include "game/UserDat.h"
#include "history/HistoryFrm.h"
#include "history/InstallHistory.h"
#include "history/RunReport.h"
#include "options/OptionIni.h"
#include "options/OptionTreeController.h"
#include "options/StateIcons.h"
#include "themes/ApplyThemeFrm.h"
#include "themes/ThemeStore.h"
#include "themes/ThemesFrm.h"
#include "themes/ThemesSaveAsFrm.h"
#include "update/CheckUpdateFrm.h"
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QSplitter>
#include <QStyle>
#include <QTextBrowser>
#include <QThread>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <cstdio>

bool TMainForm::FormShow()
{
    TSplashForm *splash = m_forms.Splash;
    auto status = [splash](const QString &text) {
        if (splash)
            splash->SetStatus(text);
    };
    if (splash) {
        splash->ShowOver(this);
        splash->SetCount(QString());
    }
    status(QStringLiteral("Loading Program Settings"));
    bool weblink = false;
    auto steps = [&] {
        LoadProgramIniFile();
        // A pack's settings file may not aim the program's writes out of the pack.
        QStringList ignored = ConfineSettingsFolders(ProgramSettings, true);
        MarkSettingsLoaded();
        history::InstallHistory::Environment historyEnvironment;
        historyEnvironment.askConsent = [this](const QStringList &folders) {
            return AskHistoryConsent(this, folders);
        };
        // The options' modes and marks are kept with the game files, so a Restore brings the
        // selection back too.
        historyEnvironment.optionsDir = ProgramSettings.optionsRoot();
        history::TheHistory().configure(ProgramSettings.ProgramDir, ProgramSettings.iniPath(),
                                        historyEnvironment);
        pause(250);
        if (ProgramSettings.HideCheckForUpdate) {
            m_checkForUpdateModeItem->setVisible(false);
            m_helpCheckUpdatesItem->setVisible(false);
        }
        if (ProgramSettings.CheckForUpdateMode && !ProgramSettings.HideCheckForUpdate) {
            status(QStringLiteral("Checking for Updates"));
            const int result = execModal(m_forms.CheckUpdate);
            if (result == TCheckUpdateForm::WeblinkResult) {
                weblink = true;
                return;
            }
            if (result == TCheckUpdateForm::UpdateInstalledResult) {
                // The settings were written before the update took them over; this run ends
                // without writing them again over the new version's file.
                StartAgainOnPack();
                weblink = true;
                return;
            }
        }
        setWindowTitle(ProgramSettings.ProgramTitle);
        m_themes1->setVisible(ProgramSettings.ShowThemesMenu);
        m_checkForUpdateModeItem->setChecked(ProgramSettings.CheckForUpdateMode);
        m_checkInterfaceModeItem->setChecked(ProgramSettings.CheckInterfaceMode);
        m_allowHttpLinksItem->setChecked(ProgramSettings.AllowDisplayHttpLinks);
        m_hideCommandWindowItem->setChecked(ProgramSettings.HideShell);

        status(QStringLiteral("Loading Options"));
        UpdateTreeView();
        if (!history::TheHistory().startNote().isEmpty())
            TheStatusLine().Show(history::TheHistory().startNote());
        // The folders open at the last close of this pack are opened again; nothing is
        // selected, and the Welcome document follows at the activation as always.
        m_tree->ExpandFolders(packs::readExpanded(PackFolder()));
        if (splash)
            splash->repaint();
        pause(500);
        if (splash)
            splash->SetCount(QString());
        // The text view's 5-pixel side margins are part of the document pane itself.

        if (ProgramSettings.CheckInterfaceMode && !m_closeRequested) {
            status(QStringLiteral("Checking User.dat file"));
            LoadUserDatIniFile();
            pause(250);
            if (ProgramSettings.GameInterfaceMode != 7)
                execModal(m_forms.CheckUserInterfaceMode);
        }

        {
            const QString asRead = ProgramSettings.ThemesAppDataDir;
            QString why;
            ProgramSettings.ThemesAppDataDir = GetAppDataThemePath(ProgramSettings, &why);
            if (!why.isEmpty())
                ignored.append(IgnoredSettingLine(QStringLiteral("ThemesDir"),
                                                  QStringLiteral("ThemesAppDataDir"), asRead, why,
                                                  QStringLiteral("Themes")));
        }
        if (ProgramSettings.PgmFirstRun) {
            status(QStringLiteral("\"First Time\" Initialization"));
            CopyDefaultThemes(ProgramSettings, ProgramSettings.ThemesAppDataDir);
            pause(250);
        } else if (!QFileInfo(ProgramSettings.ThemesAppDataDir).isDir()) {
            // Earlier versions kept the per-user copy straight in the configuration folder; a
            // pack opened before then gets its copy afresh in the new place, without a word.
            CopyDefaultThemes(ProgramSettings, ProgramSettings.ThemesAppDataDir);
        }
        QFont memo = m_pane->RichEdit()->font();
        SetVistaMemoFont(memo);
        m_pane->RichEdit()->setFont(memo);
        m_label1->setToolTip(QStringLiteral("Available Options [ %1 ]").arg(m_tree->OptionCount()));

        if (!ignored.isEmpty())
            QMessageBox::warning(
                this, QApplication::applicationDisplayName(),
                QStringLiteral("Some settings of %1 were not used:\n\n%2")
                    .arg(ProgramSettings.iniPath(), ignored.join(QLatin1Char('\n'))));
        status(QStringLiteral("Done!"));
        pause(250);
        if (splash)
            splash->hide();
    };
    Guarded(this, [&] {
        try {
            steps();
        } catch (...) {
            // The sequence ends at the failed step. The error report and then the main window
            // follow; the splash has nothing more to say and must not stay on top of them.
            if (splash)
                splash->hide();
            throw;
        }
    });
    if (weblink)
        return false;
    m_startUpFinished = true;
    return true;
}

void TMainForm::ShowMainWindow()
{
    if (ProgramSettings.WindowState == 2)
        showMaximized();
    else
        show();
    applyTreeWidth();
    FormActivate();
}

void TMainForm::FormActivate()
{
    if (!m_startUpFinished || m_closing || !isVisible())
        return;
    // The stored state is the one read at start: a stored 2 maximises on every activation.
    if (ProgramSettings.WindowState == 2)
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
    else
        setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized));
    Welcome1Execute();
    m_pane->FocusDocument(ProgramSettings.WelcomeTxtFName.isEmpty());
}

void TMainForm::CloseForSignal()
{
    m_closeRequested = true;
    // No box may hold this close: errors go to the standard error stream from now on, and a
    // box that opens later closes at once.
    EndWithoutBoxes();
    // A modal window closes first; its nested loop then ends and the close follows.
    while (QWidget *modal = QApplication::activeModalWidget()) {
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->done(QDialog::Rejected); // also dialogs that offer no way to cancel
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal)
            break;
    }
    if (m_startUpFinished)
        QTimer::singleShot(0, this, [this] { close(); });
}

void TMainForm::LoadProgramIniFile()
{
    SecondaryWindowSizes sizes;
    ::LoadProgramIniFile(ProgramSettings, sizes);
    if (m_forms.About)
        m_forms.About->resize(sizes.About);
    if (m_forms.CheckUpdate)
        m_forms.CheckUpdate->resize(sizes.CheckUpdate);
}

void TMainForm::SaveProgramIniFile()
{
    WindowStateAtClose state;
    state.Caption = windowTitle();
    rememberNormalGeometry();
    state.NormalGeometry = m_normalGeometry;
    if (isMinimized())
        state.WindowState = 1;
    else if (isMaximized())
        state.WindowState = 2;
    else
        state.WindowState = 0;
    // The panel's own width, also when a narrow window shows less of it.
    state.OptionsTreeWidth = m_acceptedTreeWidth;
    if (m_forms.About)
        state.About = m_forms.About->size();
    if (m_forms.CheckUpdate)
        state.CheckUpdate = m_forms.CheckUpdate->size();
    ::SaveProgramIniFile(ProgramSettings, state);
}
