// The main window's menus and what their items do: packs (open, recent, reload), the
// history and pack permissions, help documents, themes, updates and the Settings toggles.
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

namespace {

QAction *menuItem(QMenu *menu, const char *name, const QString &caption, bool checkable)
{
    QAction *item = menu->addAction(caption);
    item->setObjectName(QString::fromLatin1(name));
    item->setCheckable(checkable);
    return item;
}

} // namespace

void TMainForm::buildMenus()
{
    auto *actions = new QObject(this);
    actions->setObjectName(QStringLiteral("ActionList1"));
    auto action = [actions](const char *name, const QString &caption, const QString &hint) {
        auto *a = new QAction(caption, actions);
        a->setObjectName(QString::fromLatin1(name));
        if (!hint.isEmpty()) {
            a->setToolTip(hint.section(QLatin1Char('|'), 0, 0));
            a->setStatusTip(hint.section(QLatin1Char('|'), 1));
        }
        return a;
    };
    QAction *fileExit1 =
        action("FileExit1", QStringLiteral("E&xit"), QStringLiteral("Exit|Exit application"));
    QAction *howTo1 = action("HowTo1", QStringLiteral("How To"), QString());
    QAction *welcome1 = action("Welcome1", QStringLiteral("Welcome"), QString());
    QAction *helpAbout1 =
        action("HelpAbout1", QStringLiteral("&About..."),
               QStringLiteral("About|Displays program information, version number, and copyright"));
    connect(fileExit1, &QAction::triggered, this, &TMainForm::FileExit1Execute);
    connect(howTo1, &QAction::triggered, this, &TMainForm::HowTo1Execute);
    connect(welcome1, &QAction::triggered, this, &TMainForm::Welcome1Execute);
    connect(helpAbout1, &QAction::triggered, this, &TMainForm::HelpAbout1Execute);

    QMenuBar *bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    QMenu *file = bar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("File1"));
    file->menuAction()->setToolTip(QStringLiteral("File related commands"));
    file->setToolTipsVisible(true);
    QAction *openPackItem =
        menuItem(file, "FileOpenPackItem", QStringLiteral("&Open Pack..."), false);
    openPackItem->setToolTip(QStringLiteral("Open another option pack"));
    openPackItem->setShortcut(QKeySequence::Open);
    connect(openPackItem, &QAction::triggered, this, &TMainForm::FileOpenPackItemClick);
    m_recentMenu = file->addMenu(QStringLiteral("Recent Pac&ks"));
    m_recentMenu->setObjectName(QStringLiteral("FileRecentPacksItem"));
    m_recentMenu->menuAction()->setObjectName(QStringLiteral("FileRecentPacksMenu"));
    connect(m_recentMenu, &QMenu::aboutToShow, this, &TMainForm::FileRecentPacksPopulate);
    QAction *reloadItem =
        menuItem(file, "FileReloadItem", QStringLiteral("&Reload Options"), false);
    reloadItem->setShortcut(QKeySequence(Qt::Key_F5));
    reloadItem->setToolTip(QStringLiteral("Read the option folders again"));
    connect(reloadItem, &QAction::triggered, this, &TMainForm::FileReloadItemClick);
    file->addSeparator()->setObjectName(QStringLiteral("FileOpenPackSeparator"));
    QAction *historyItem = menuItem(file, "FileHistoryItem", QStringLiteral("&History..."), false);
    connect(historyItem, &QAction::triggered, this, &TMainForm::FileHistoryItemClick);
    QAction *permissionsItem =
        menuItem(file, "FilePackPermissionsItem", QStringLiteral("Pack &Permissions..."), false);
    connect(permissionsItem, &QAction::triggered, this, [this] {
        TPackPermissionsForm form(this, platform::scriptPackInForce());
        form.exec();
    });
    // A Restore put the options' modes and marks back: the tree shows them again.
    connect(&history::TheHistory(), &history::InstallHistory::selectionRestored, this,
            [this] { UpdateTreeView(); });
    QAction *exitItem = menuItem(file, "FileExitItem", fileExit1->text(), false);
    exitItem->setToolTip(fileExit1->toolTip());
    exitItem->setStatusTip(fileExit1->statusTip());
    // The desktop's Quit key, and Ctrl+Q where its key scheme has none (Windows' has only
    // Alt+F4, which the window manager handles).
    QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (!quitKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_Q)))
        quitKeys.prepend(QKeySequence(Qt::CTRL | Qt::Key_Q));
    exitItem->setShortcuts(quitKeys);
    connect(exitItem, &QAction::triggered, fileExit1, &QAction::trigger);

    // Ctrl+F (and the desktop's Find key) opens the tree's filter from anywhere in the window.
    auto *filterItem = new QAction(QStringLiteral("Filter Options"), this);
    filterItem->setObjectName(QStringLiteral("FilterItem"));
    QList<QKeySequence> findKeys = QKeySequence::keyBindings(QKeySequence::Find);
    if (!findKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_F)))
        findKeys.prepend(QKeySequence(Qt::CTRL | Qt::Key_F));
    filterItem->setShortcuts(findKeys);
    addAction(filterItem);
    connect(filterItem, &QAction::triggered, this, &TMainForm::OpenFilter);

    QMenu *settings = bar->addMenu(QStringLiteral("Settings"));
    settings->setObjectName(QStringLiteral("Settings1"));
    m_checkForUpdateModeItem = menuItem(settings, "SettingsCheckForUpdateModeItem",
                                        QStringLiteral("Check for Updates"), true);
    m_checkInterfaceModeItem = menuItem(settings, "SettingsCheckInterfaceModeItem",
                                        QStringLiteral("Check Interface Mode"), true);
    m_checkInterfaceModeItem->setVisible(false);
    m_hideCommandWindowItem = menuItem(settings, "SettingsHideCommandWindowItem",
                                       QStringLiteral("Hide Command Window"), true);
    m_allowHttpLinksItem = menuItem(settings, "SettingsAllowDisplayHTTPLinksItem",
                                    QStringLiteral("Allow Display Http Links"), true);
    connect(m_checkForUpdateModeItem, &QAction::triggered, this,
            &TMainForm::SettingsCheckForUpdateModeItemClick);
    connect(m_checkInterfaceModeItem, &QAction::triggered, this,
            &TMainForm::SettingsCheckInterfaceModeItemClick);
    connect(m_hideCommandWindowItem, &QAction::triggered, this,
            &TMainForm::SettingsHideCommandWindowItemClick);
    connect(m_allowHttpLinksItem, &QAction::triggered, this,
            &TMainForm::SettingsAllowDisplayHTTPLinksItemClick);

    // A menu-bar entry without items, hidden unless the settings file's ShowThemesMenu asks
    // for it.
    m_themes1 = bar->addAction(QStringLiteral("Themes"));
    m_themes1->setObjectName(QStringLiteral("Themes1"));
    m_themes1->setVisible(false);
    connect(m_themes1, &QAction::triggered, this, &TMainForm::Themes1Click);

    QMenu *help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("Help1"));
    help->menuAction()->setToolTip(QStringLiteral("Help topics"));
    help->setToolTipsVisible(true);
    QAction *howToItem = menuItem(help, "HelpHowToItem", howTo1->text(), false);
    howToItem->setShortcut(QKeySequence(Qt::Key_F1));
    connect(howToItem, &QAction::triggered, howTo1, &QAction::trigger);
    QAction *welcomeItem = menuItem(help, "HelpWelcomeItem", welcome1->text(), false);
    connect(welcomeItem, &QAction::triggered, welcome1, &QAction::trigger);
    help->addSeparator()->setObjectName(QStringLiteral("N1"));
    m_helpCheckUpdatesItem =
        menuItem(help, "HelpCheckUpdatesItem", QStringLiteral("Check for Updates"), false);
    connect(m_helpCheckUpdatesItem, &QAction::triggered, this,
            &TMainForm::HelpCheckUpdatesItemClick);
    help->addSeparator()->setObjectName(QStringLiteral("N2"));
    QAction *aboutItem = menuItem(help, "HelpAboutItem", QStringLiteral("&About Varimond"), false);
    aboutItem->setToolTip(helpAbout1->toolTip());
    aboutItem->setStatusTip(helpAbout1->statusTip());
    connect(aboutItem, &QAction::triggered, helpAbout1, &QAction::trigger);
}

void TMainForm::FileExit1Execute()
{
    close();
}

void TMainForm::FileOpenPackItemClick()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Open Pack"), QDir(ProgramSettings.ProgramDir).absolutePath());
    if (folder.isEmpty())
        return;
    OpenPack(folder);
}

bool TMainForm::OpenPack(const QString &folder)
{
    if (!packs::holdsOptionsFolder(folder)) {
        QMessageBox::warning(this, QStringLiteral("Varimond"),
                             QStringLiteral("The folder %1 holds no Options folder.\n\nChoose "
                                            "the folder of an option pack: the folder that "
                                            "holds its Options folder.")
                                 .arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    // Every path of a run is taken from its pack, so switching packs is a restart: this run
    // closes the normal way, saving its pack's settings, and a new one opens the chosen pack.
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                 {QStringLiteral("--pack"), folder})) {
        QMessageBox::warning(this, QStringLiteral("Varimond"),
                             QStringLiteral("Varimond could not be started again for %1.")
                                 .arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    close();
    return true;
}

QString TMainForm::PackFolder() const
{
    QString folder = ProgramSettings.ProgramDir;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

void TMainForm::FileRecentPacksPopulate()
{
    m_recentMenu->clear();
    const QString current = QFileInfo(PackFolder()).absoluteFilePath();
    const QStringList folders = packs::readRecent();
    int n = 0;
    for (const QString &folder : folders) {
        if (n == 10)
            break;
        ++n;
        QString caption = folder;
        caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
        if (n < 10)
            caption = QStringLiteral("&%1 %2").arg(n).arg(caption);
        else
            caption = QStringLiteral("1&0 %1").arg(caption);
        QAction *item = m_recentMenu->addAction(caption);
        item->setObjectName(QStringLiteral("FileRecentPack%1").arg(n));
        item->setData(folder);
        // The pack of this run carries a check mark; a folder that is gone cannot be chosen.
        const bool isCurrent = QFileInfo(folder).absoluteFilePath() == current;
        item->setCheckable(isCurrent);
        item->setChecked(isCurrent);
        item->setEnabled(packs::holdsOptionsFolder(folder));
        // The pack of this run chosen again: nothing to switch to. (Its check mark stays: the
        // item is checkable only to carry it.)
        connect(item, &QAction::triggered, this, [this, item, folder, isCurrent] {
            if (isCurrent)
                item->setChecked(true);
            else
                OpenPack(folder);
        });
    }
    if (n == 0) {
        QAction *none = m_recentMenu->addAction(QStringLiteral("(none)"));
        none->setObjectName(QStringLiteral("FileRecentPackNone"));
        none->setEnabled(false);
    }
}

void TMainForm::FileReloadItemClick()
{
    const QStringList expanded = m_tree->UserExpandedFolders();
    OptionNode *selected = m_tree->SelectedNode();
    const QString selectedPath = selected ? SrNodeTree(selected, QString()) : QString();
    Guarded(this, [this] { UpdateTreeView(); });
    if (m_tree->IsFiltering())
        return; // the filter has shown its own view of the new tree
    m_tree->ExpandFolders(expanded);
    if (OptionNode *again = m_tree->NodeAtPath(selectedPath); again && !selectedPath.isEmpty())
        m_treeView->setCurrentIndex(m_tree->IndexOf(again));
}

void TMainForm::StartAgainOnPack()
{
    const QString pack = QDir(ProgramSettings.ProgramDir).absolutePath();
    const QString program =
        m_restartProgram.isEmpty() ? QCoreApplication::applicationFilePath() : m_restartProgram;
    if (!QProcess::startDetached(program, {QStringLiteral("--pack"), pack}))
        QMessageBox::warning(this, QStringLiteral("Varimond"),
                             QStringLiteral("Varimond could not be started again for %1: start "
                                            "it again by hand.")
                                 .arg(QDir::toNativeSeparators(pack)));
}

void TMainForm::HowTo1Execute()
{
    Guarded(this, [this] {
        DisplayFName(ProgramSettings.optionsRoot(), ProgramSettings.HowToTxtFName,
                     ProgramSettings.HowToHtmlFName, ProgramSettings.HowToHttpFName);
    });
}

void TMainForm::Welcome1Execute()
{
    Guarded(this, [this] {
        DisplayFName(ProgramSettings.optionsRoot(), ProgramSettings.WelcomeTxtFName,
                     ProgramSettings.WelcomeHtmlFName, ProgramSettings.WelcomeHttpFName);
    });
}

void TMainForm::HelpAbout1Execute()
{
    execModal(m_forms.About);
}

void TMainForm::HelpCheckUpdatesItemClick()
{
    ProgramSettings.CheckUpdateDelay = 0;
    if (execModal(m_forms.CheckUpdate) == TCheckUpdateForm::UpdateInstalledResult) {
        StartAgainOnPack();
        m_closing = true; // closes without writing this run's settings over the new file
        close();
        return;
    }
    // Continue applies the window's "Check on startup" box to the setting; the menu follows.
    m_checkForUpdateModeItem->setChecked(ProgramSettings.CheckForUpdateMode);
}

void TMainForm::Themes1Click()
{
    execModal(m_forms.Themes);
}

void TMainForm::FileHistoryItemClick()
{
    if (!m_historyForm)
        m_historyForm = new THistoryForm(this);
    execModal(m_historyForm);
}

void TMainForm::toggleSetting(QAction *item, bool &setting)
{
    // The item has already flipped its own mark: the setting follows the mark it had before.
    const bool before = !item->isChecked();
    setting = !before;
    item->setChecked(setting);
}

void TMainForm::SettingsCheckForUpdateModeItemClick()
{
    toggleSetting(m_checkForUpdateModeItem, ProgramSettings.CheckForUpdateMode);
}

void TMainForm::SettingsCheckInterfaceModeItemClick()
{
    toggleSetting(m_checkInterfaceModeItem, ProgramSettings.CheckInterfaceMode);
}

void TMainForm::SettingsHideCommandWindowItemClick()
{
    toggleSetting(m_hideCommandWindowItem, ProgramSettings.HideShell);
}

void TMainForm::SettingsAllowDisplayHTTPLinksItemClick()
{
    toggleSetting(m_allowHttpLinksItem, ProgramSettings.AllowDisplayHttpLinks);
}
