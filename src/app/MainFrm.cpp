#include "app/MainFrm.h"

#include "core/ErrorReport.h"
#include "core/StatusLine.h"
#include "core/FormUtils.h"
#include "app/Signals.h"
#include "app/PackChoice.h"
#include "app/SplashFrm.h"
#include "apply/ApplyChanges.h"
#include "apply/ApplyFrm.h"
#include "apply/PackPermissionsFrm.h"
#include "apply/TreeClick.h"
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
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QStyle>
#include <QMenuBar>
#include <QSplitter>
#include <QTextBrowser>
#include <QThread>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <cstdio>

namespace {

QToolButton *flatButton(QWidget *parent, const char *name, const QString &hint)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoRaise(true);
    button->setFixedSize(23, 22);
    button->setIconSize(QSize(16, 16));
    button->setToolTip(hint);
    return button;
}

QAction *menuItem(QMenu *menu, const char *name, const QString &caption, bool checkable)
{
    QAction *item = menu->addAction(caption);
    item->setObjectName(QString::fromLatin1(name));
    item->setCheckable(checkable);
    return item;
}

// One line of plain text that elides its end when the window is too narrow for it; the whole
// text is its tooltip and its fullText property.
class StatusLabel final : public QLabel
{
public:
    explicit StatusLabel(QWidget *parent) : QLabel(parent)
    {
        setTextFormat(Qt::PlainText);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        setMinimumWidth(1);
    }

    void SetFullText(const QString &text)
    {
        m_full = text;
        setProperty("fullText", text);
        setToolTip(text);
        refresh();
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        refresh();
    }

private:
    void refresh() { setText(fontMetrics().elidedText(m_full, Qt::ElideRight, width())); }

    QString m_full;
};

// "2,014": counts in the status line are grouped the way the program's English texts read.
QString count(int n)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(n);
}

} // namespace

TMainForm::TMainForm(const QString &executablePath)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Varimond"));
    setMinimumSize(215, 210);
    buildLayout();
    buildMenus();
    reportScriptFailures();
    FormCreate(executablePath);

    m_changeTimer.setSingleShot(true);
    m_changeTimer.setInterval(50);
    connect(&m_changeTimer, &QTimer::timeout, this, [this] {
        if (OptionNode *node = m_tree->SelectedNode())
            TreeView1Change(node);
    });
}

TMainForm::~TMainForm() = default;

void TMainForm::SetForms(const Forms &forms)
{
    m_forms = forms;
    // Every modal window of the program hands the focus back to the main window when it
    // closes; that is an activation of the main window.
    for (QDialog *dialog : {static_cast<QDialog *>(forms.About),
                            static_cast<QDialog *>(forms.Apply),
                            static_cast<QDialog *>(forms.CheckUserInterfaceMode),
                            static_cast<QDialog *>(forms.Themes),
                            static_cast<QDialog *>(forms.CheckUpdate)}) {
        if (dialog)
            connect(dialog, &QDialog::finished, this, &TMainForm::FormActivate,
                    Qt::QueuedConnection);
    }
    if (forms.Themes) {
        forms.Themes->SetSaveAsForm(forms.ThemesSaveAs);
        forms.Themes->SetApplyThemeForm(forms.ApplyTheme);
        forms.Themes->SetUpdateTreeView([this] { UpdateTreeView(); });
    }
}

void TMainForm::CreateForms()
{
    Forms forms;
    forms.About = new TAboutForm(this);
    forms.Apply = new TApplyForm(this);
    forms.CheckUserInterfaceMode = new TCheckUserInterfaceModeForm(this);
    forms.Themes = new TThemesForm(this);
    forms.ThemesSaveAs = new TThemesSaveAsForm(this);
    forms.ApplyTheme = new TApplyThemeForm(this);
    forms.Splash = new TSplashForm(this);
    forms.CheckUpdate = new TCheckUpdateForm(this);
    // An update carries the player's settings over from the settings file: this run's go
    // there first.
    forms.CheckUpdate->setSaveSettings([this] { SaveProgramIniFile(); });
    SetForms(forms);
}

void TMainForm::reportScriptFailures()
{
    // A script of an install that failed is told in plain words on the window's status line,
    // where it stays until the next message (the next tick, theme or rebuild says its own).
    connect(&history::TheHistory(), &history::InstallHistory::installEnded, this,
            [](const history::InstallRecord &record) {
                const QString report = history::failureReport(record);
                if (!report.isEmpty())
                    TheStatusLine().Show(report);
            });
}

void TMainForm::buildLayout()
{
    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("Central"));
    auto *outer = new QVBoxLayout(central);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    m_splitter = new QSplitter(Qt::Horizontal, central);
    m_splitter->setObjectName(QStringLiteral("Splitter1"));
    m_splitter->setChildrenCollapsible(false);

    m_panelLeft = new QFrame(m_splitter);
    m_panelLeft->setObjectName(QStringLiteral("PanelLeft"));
    m_panelLeft->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto *leftLayout = new QVBoxLayout(m_panelLeft);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(0);

    auto *topLeft = new QWidget(m_panelLeft);
    topLeft->setObjectName(QStringLiteral("PanelTopLeft"));
    topLeft->setFixedHeight(25);
    auto *topLayout = new QHBoxLayout(topLeft);
    topLayout->setContentsMargins(8, 0, 2, 0);
    topLayout->setSpacing(0);
    m_label1 = new QLabel(QStringLiteral("Options"), topLeft);
    m_label1->setObjectName(QStringLiteral("Label1"));
    auto *label2 = new QLabel(QString(), topLeft);
    label2->setObjectName(QStringLiteral("Label2"));
    label2->hide();
    m_expand = flatButton(topLeft, "sbtnExpand", QStringLiteral("Expand Option Tree"));
    m_expand->setIcon(StateIcons::Glyph(StateIcons::GlyphExpand));
    m_collapse = flatButton(topLeft, "sbtnCollapse", QStringLiteral("Collapse Option Tree"));
    m_collapse->setIcon(StateIcons::Glyph(StateIcons::GlyphCollapse));
    topLayout->addWidget(m_label1, 1);
    topLayout->addWidget(m_expand);
    topLayout->addWidget(m_collapse);
    leftLayout->addWidget(topLeft);

    // The filter line: shown on Ctrl+F below the strip, taking its room from the tree.
    m_filterBar = new QWidget(m_panelLeft);
    m_filterBar->setObjectName(QStringLiteral("PanelFilter"));
    auto *filterLayout = new QHBoxLayout(m_filterBar);
    filterLayout->setContentsMargins(8, 3, 8, 0);
    filterLayout->setSpacing(2);
    m_edFilter = new QLineEdit(m_filterBar);
    m_edFilter->setObjectName(QStringLiteral("edFilter"));
    m_edFilter->setPlaceholderText(QStringLiteral("Filter options"));
    m_edFilter->setToolTip(QStringLiteral("Shows the options whose name holds this text"));
    QToolButton *filterClose =
        flatButton(m_filterBar, "sbtnFilterClose", QStringLiteral("Close the filter (Esc)"));
    filterClose->setIcon(style()->standardIcon(QStyle::SP_LineEditClearButton));
    filterLayout->addWidget(m_edFilter, 1);
    filterLayout->addWidget(filterClose);
    m_filterBar->hide();
    leftLayout->addWidget(m_filterBar);
    connect(m_edFilter, &QLineEdit::textChanged, this, &TMainForm::FilterChanged);
    connect(filterClose, &QToolButton::clicked, this, &TMainForm::CloseFilter);
    m_edFilter->installEventFilter(this);

    auto *treeHolder = new QVBoxLayout;
    treeHolder->setContentsMargins(8, 3, 8, 8);
    m_treeView = new QTreeView(m_panelLeft);
    m_treeView->setObjectName(QStringLiteral("TreeView1"));
    m_treeView->setToolTip(QStringLiteral("Click on icon to select an option"));
    treeHolder->addWidget(m_treeView);
    leftLayout->addLayout(treeHolder, 1);

    auto *panelRight = new QFrame(m_splitter);
    panelRight->setObjectName(QStringLiteral("PanelRight"));
    // The document pane gives way to the tree panel when the window narrows.
    panelRight->setMinimumWidth(1);
    panelRight->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto *rightLayout = new QVBoxLayout(panelRight);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    m_pane = new DocumentPane(panelRight);
    rightLayout->addWidget(m_pane);

    m_splitter->addWidget(m_panelLeft);
    m_splitter->addWidget(panelRight);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    connect(m_splitter, &QSplitter::splitterMoved, this, [this] {
        const int width = m_panelLeft->width();
        if (Splitter1CanResize(width)) {
            m_acceptedTreeWidth = width;
            return;
        }
        // Refused: put the tree panel back at the width it had.
        const int total = m_splitter->sizes().value(0) + m_splitter->sizes().value(1);
        m_splitter->setSizes({m_acceptedTreeWidth, total - m_acceptedTreeWidth});
    });

    auto *panelBottom = new QWidget(central);
    panelBottom->setObjectName(QStringLiteral("PanelBottom"));
    panelBottom->setFixedHeight(24);
    auto *bottomLayout = new QHBoxLayout(panelBottom);
    bottomLayout->setContentsMargins(8, 0, 8, 0);
    auto *status = new StatusLabel(panelBottom);
    status->setObjectName(QStringLiteral("lblStatusLine"));
    bottomLayout->addWidget(status);
    m_lblStatus = status;
    connect(&TheStatusLine(), &StatusLine::Changed, status, &StatusLabel::SetFullText);
    status->SetFullText(TheStatusLine().Text());

    outer->addWidget(m_splitter, 1);
    outer->addWidget(panelBottom);
    setCentralWidget(central);

    m_tree = new OptionTreeController(m_treeView, m_label1, m_expand, m_collapse, this);
    // The tree selects the clicked node first; the click is acted on from the event loop.
    auto *clicks = new TreeClickFilter(m_treeView->viewport());
    connect(clicks, &TreeClickFilter::clicked, this, &TMainForm::TreeView1Click,
            Qt::QueuedConnection);
    m_treeView->installEventFilter(this);
    connect(m_treeView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { m_changeTimer.start(); });
}

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
    QAction *fileExit1 = action("FileExit1", QStringLiteral("E&xit"),
                                QStringLiteral("Exit|Exit application"));
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
    QAction *reloadItem = menuItem(file, "FileReloadItem", QStringLiteral("&Reload Options"), false);
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
    m_checkForUpdateModeItem =
        menuItem(settings, "SettingsCheckForUpdateModeItem", QStringLiteral("Check for Updates"), true);
    m_checkInterfaceModeItem =
        menuItem(settings, "SettingsCheckInterfaceModeItem", QStringLiteral("Check Interface Mode"), true);
    m_checkInterfaceModeItem->setVisible(false);
    m_hideCommandWindowItem =
        menuItem(settings, "SettingsHideCommandWindowItem", QStringLiteral("Hide Command Window"), true);
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

void TMainForm::FormCreate(const QString &executablePath)
{
    DeriveProgramPaths(ProgramSettings, executablePath);
    // The option folders are read from now on, while the windows are made and the start-up's
    // first steps run; the tree is built from that reading at its step.
    m_tree->BeginEarlyScan(ProgramSettings);
    const MainWindowPlacement placement = ReadMainWindowPlacement(ProgramSettings.iniPath());
    ProgramSettings.WindowState = placement.WindowState;
    applyPlacement(placement);
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);
    // The glass frame and taskbar styles have no counterpart here: Qt already gives the main
    // window the program's only taskbar entry.
}

void TMainForm::applyPlacement(const MainWindowPlacement &p)
{
    // Left and top place the window's frame; width and height are the window's own size. The
    // minimum size limits what takes effect; no value is checked against a range.
    move(p.WindowLeft, p.WindowTop);
    resize(p.WindowWidth, p.WindowHeight);
    m_normalGeometry = QRect(pos(), size());
    m_acceptedTreeWidth = p.OptionsTreeWidth;
    applyTreeWidth();
}

void TMainForm::applyTreeWidth()
{
    // The stored width is applied as it is, even below the width a drag may reach; drags are
    // checked when they happen, so the splitter itself sets no lower limit.
    m_panelLeft->setMinimumWidth(1);
    const int total = qMax(m_splitter->width(), width());
    m_splitter->setSizes({m_acceptedTreeWidth, qMax(0, total - m_acceptedTreeWidth)});
}

void TMainForm::pause(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

int TMainForm::execModal(QDialog *dialog)
{
    if (!dialog)
        return 0;
    // A modal window of the start-up comes above the splash, which otherwise stays on top of
    // everything; the splash goes back on top when the window closes.
    TSplashForm *splash = m_forms.Splash;
    const bool lowered = splash && splash->isVisible() && splash->StaysOnTop();
    if (lowered)
        splash->SetStaysOnTop(false);
    const int result = dialog->exec();
    if (lowered && splash->isVisible())
        splash->SetStaysOnTop(true);
    return result;
}

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
                                                  QStringLiteral("ThemesAppDataDir"), asRead,
                                                  why, QStringLiteral("Themes")));
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
            QMessageBox::warning(this, QApplication::applicationDisplayName(),
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

void TMainForm::rememberNormalGeometry()
{
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)))
        m_normalGeometry = QRect(pos(), size());
}

void TMainForm::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    rememberNormalGeometry();
}

void TMainForm::resizeEvent(QResizeEvent *event)
{
    const QSize requested = event->size();
    const QSize before = event->oldSize();
    if (!FormCanResize(requested.width()) && before.isValid() && FormCanResize(before.width()) &&
        requested != m_refusedSize) {
        // Refused as a whole: the window goes back to the size it had, height included. A
        // window system that insists on the same size gets it the second time.
        m_refusedSize = requested;
        QMetaObject::invokeMethod(
            this, [this, before] { resize(before); }, Qt::QueuedConnection);
        return;
    }
    m_refusedSize = QSize();
    if (requested.width() < minimumWidth() || requested.height() < minimumHeight()) {
        // Taken, but only down to the window's minimum size.
        const QSize limited = requested.expandedTo(minimumSize());
        QMetaObject::invokeMethod(
            this, [this, limited] { resize(limited); }, Qt::QueuedConnection);
    }
    QMainWindow::resizeEvent(event);
    rememberNormalGeometry();
    keepTreeWidth();
}

void TMainForm::keepTreeWidth()
{
    // The tree panel has a width of its own: a narrower window clips it but does not shrink
    // it, and it has that width again when the window widens.
    if (m_splitter->sizes().value(0) != m_acceptedTreeWidth)
        applyTreeWidth();
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    if (m_closing) {
        event->accept();
        return;
    }
    m_closing = true;
    m_changeTimer.stop();
    // A settings file that cannot be written is reported, and the program still closes: the
    // user asked to leave, and nothing else is lost by it.
    Guarded(this, [this] { SaveProgramIniFile(); });
    if (m_startUpFinished)
        rememberExpandedFolders();
    event->accept(); // the last window closing ends the program
}

void TMainForm::UpdateTreeView()
{
    TSplashForm *splash = m_forms.Splash;
    m_tree->UpdateTreeView([splash](int count) {
        if (splash && splash->isVisible())
            splash->SetCount(QString::number(count));
    });
    // For timing the start-up from outside: the moment the tree holds the options.
    if (qEnvironmentVariableIsSet("VARIMOND_STARTUP_MARKER"))
        std::fprintf(stderr, "varimond: option tree filled\n");
    TheStatusLine().Show(QStringLiteral("%1 options in %2 folders")
                             .arg(count(m_tree->LastScanOptionCount()),
                                  count(m_tree->LastFolderCount())));
    const QString notice = m_tree->LimitNotice();
    if (!notice.isEmpty())
        QMessageBox::warning(this, QApplication::applicationDisplayName(), notice);
}

QString TMainForm::GetNodeDir(const OptionNode *node) const
{
    return m_tree->GetNodeDir(node);
}

void TMainForm::TreeView1Click(const QPoint &viewportPos)
{
    if (!IsOnStateIcon(m_treeView, viewportPos))
        return;
    OptionNode *node = m_tree->SelectedNode();
    if (node && IsSelectable(node->StateIndex))
        ApplyChanges();
}

bool TMainForm::TreeView1KeyPress(int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Space)
        return false;
    OptionNode *node = m_tree->SelectedNode();
    if (!node)
        return true;
    if (node->HasChildren()) {
        const QModelIndex index = m_tree->IndexOf(node);
        m_treeView->setExpanded(index, !m_treeView->isExpanded(index));
    } else {
        ApplyChanges();
    }
    return true;
}

void TMainForm::ApplyChanges()
{
    int leftOutside = 0;
    OptionNode *node = m_tree->SelectedNode();
    const QString name = node ? node->Text : QString();
    QStringList started;
    const quint64 serial = TheStatusLine().Serial();
    const bool ok = Guarded(this, [this, node, &leftOutside, &started] {
        leftOutside = ::ApplyChanges(*m_tree, node, m_forms.Apply, &started);
    });
    // The node may be gone when a rebuild ran during the progress dialog: its state is read
    // only when it is still the tree's. A message given meanwhile (a script that failed while
    // the progress dialog counted down) says more than the tick's and stays.
    if (ok && node && m_tree->SelectedNode() == node && IsSelectable(node->StateIndex) &&
        TheStatusLine().Serial() == serial) {
        QString line = IsSelected(node->StateIndex) ? QStringLiteral("%1 selected").arg(name)
                                                    : QStringLiteral("%1 cleared").arg(name);
        if (started.size() == 1)
            line += QStringLiteral("; %1 started").arg(started.first());
        else if (started.size() > 1)
            line += QStringLiteral("; %1 and %2 started").arg(started.at(0), started.at(1));
        TheStatusLine().Show(line);
    }
    if (leftOutside > 0)
        QMessageBox::warning(this, QApplication::applicationDisplayName(),
                             QStringLiteral("%1 option(s) of this group lie outside the options "
                                            "folder (they are reached through symbolic links) "
                                            "and were left as they were.")
                                 .arg(leftOutside));
}

void TMainForm::TreeView1Change(OptionNode *node)
{
    if (!node)
        return;
    Guarded(this, [this, node] {
        const QString folder = GetNodeDir(node);
        LoadOptionIniFile(folder);
        const TCurrentOption o = CurrentOption;
        DisplayFName(folder, o.OptionReadMeTxtFName, o.OptionReadMeHtmlFName,
                     o.OptionReadMeHttpFName);
        m_pane->ShowPreviews(folder);
    });
}

void TMainForm::DisplayFName(const QString &baseFolder, const QString &txtName,
                             const QString &htmlName, const QString &httpAddress)
{
    m_pane->DisplayFName(baseFolder, txtName, htmlName, httpAddress);
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edFilter && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Escape) {
            CloseFilter();
            return true;
        }
        if (key->key() == Qt::Key_Down || key->key() == Qt::Key_Return ||
            key->key() == Qt::Key_Enter) {
            // On into the filtered tree, to its first row when nothing there is current.
            m_treeView->setFocus();
            if (!m_treeView->currentIndex().isValid() || m_treeView->isRowHidden(
                    m_treeView->currentIndex().row(), m_treeView->currentIndex().parent()))
                m_treeView->setCurrentIndex(m_treeView->indexAt(QPoint(1, 1)));
            return true;
        }
    }
    if (watched == m_treeView && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Escape && m_filterBar->isVisible()) {
            CloseFilter();
            return true;
        }
        if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier)
            return TreeView1KeyPress(key->key());
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::FileExit1Execute() { close(); }

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

void TMainForm::rememberExpandedFolders()
{
    // Nothing is lost when it fails: the folders simply open closed next time.
    packs::rememberExpanded(PackFolder(), m_tree->UserExpandedFolders());
}

void TMainForm::OpenFilter()
{
    if (!m_startUpFinished)
        return;
    m_filterBar->show();
    m_edFilter->setFocus(Qt::ShortcutFocusReason);
    m_edFilter->selectAll();
}

void TMainForm::CloseFilter()
{
    {
        const QSignalBlocker quiet(m_edFilter);
        m_edFilter->clear();
    }
    const bool was = m_tree->IsFiltering();
    m_tree->ClearFilter();
    m_filterBar->hide();
    m_treeView->setFocus();
    if (was)
        TheStatusLine().Show(QStringLiteral("Filter closed"));
}

void TMainForm::FilterChanged(const QString &text)
{
    if (text.isEmpty() && !m_tree->IsFiltering())
        return;
    const int matches = m_tree->SetFilter(text);
    if (text.isEmpty())
        TheStatusLine().Show(QString());
    else if (matches == 1)
        TheStatusLine().Show(QStringLiteral("1 option matches \"%1\"").arg(text));
    else
        TheStatusLine().Show(
            QStringLiteral("%1 options match \"%2\"").arg(count(matches), text));
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

void TMainForm::HelpAbout1Execute() { execModal(m_forms.About); }

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

void TMainForm::Themes1Click() { execModal(m_forms.Themes); }

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
