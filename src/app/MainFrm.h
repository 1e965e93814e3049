#pragma once

#include "core/Common.h"

#include <QMainWindow>
#include <QRect>
#include <QTimer>

#include <memory>

class DocumentPane;
class EarlyOptionScan;
class OptionTreeController;
class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QSplitter;
class QToolButton;
class QTreeView;
class TAboutForm;
class TApplyForm;
class TApplyThemeForm;
class TCheckUpdateForm;
class TCheckUserInterfaceModeForm;
class THistoryForm;
class TSplashForm;
class TThemesForm;
class TThemesSaveAsForm;
struct OptionNode;

/// The main window: the option tree on the left, the document pane on the right, the menus,
/// and the start-up sequence that runs behind the splash before the window appears.
class TMainForm final : public QMainWindow
{
    Q_OBJECT

public:
    /// Creates the window and runs FormCreate: the program's paths come from
    /// @p executablePath (as started, a symbolic link not resolved).
    explicit TMainForm(const QString &executablePath);
    /// The same, with the reading of the option folders that the start-up began before the
    /// window (EarlyOptionScan::Start with the same program paths).
    TMainForm(const QString &executablePath, std::unique_ptr<EarlyOptionScan> earlyScan);
    ~TMainForm() override;

    /// The other windows, created after the main window in the fixed order of the program.
    struct Forms
    {
        TAboutForm *About = nullptr;
        TApplyForm *Apply = nullptr;
        TCheckUserInterfaceModeForm *CheckUserInterfaceMode = nullptr;
        TThemesForm *Themes = nullptr;
        TThemesSaveAsForm *ThemesSaveAs = nullptr;
        TApplyThemeForm *ApplyTheme = nullptr;
        TSplashForm *Splash = nullptr;
        TCheckUpdateForm *CheckUpdate = nullptr;
    };
    void SetForms(const Forms &forms);
    /// Creates the other windows, hidden, in the program's fixed order, owned by this window.
    void CreateForms();
    const Forms &GetForms() const { return m_forms; }

    /// The start-up sequence. Returns false when the program must end at once (the update
    /// window's Weblink result): nothing further runs and nothing is saved.
    bool FormShow();
    /// Shows the window at its stored placement and runs the first activation.
    void ShowMainWindow();
    void FormActivate();

    /// Closes open modal windows first, then the main window, saving the settings.
    void CloseForSignal();

    // Settings file, delegated to the settings record's functions.
    void LoadProgramIniFile();
    void SaveProgramIniFile();
    /// Starts the program again on this pack (after an update replaced its files).
    void StartAgainOnPack();
    /// The program started again after an update; the running binary unless set.
    void SetRestartProgram(const QString &path) { m_restartProgram = path; }

    // Option tree.
    void UpdateTreeView();
    QString GetNodeDir(const OptionNode *node) const;
    OptionTreeController *TreeController() const { return m_tree; }

    // Ticking and the document pane.
    void TreeView1Click(const QPoint &viewportPos);
    bool TreeView1KeyPress(int key);
    void TreeView1Change(OptionNode *node);
    void ApplyChanges();
    void DisplayFName(const QString &baseFolder, const QString &txtName, const QString &htmlName,
                      const QString &httpAddress);
    DocumentPane *Pane() const { return m_pane; }

    // Menu actions.
    void FileExit1Execute();
    /// Asks for another pack folder and restarts the program into it.
    void FileOpenPackItemClick();
    /// Restarts the program into @p folder, as Open Pack does once a folder is chosen. False
    /// when the folder is no pack or the program could not be started again.
    bool OpenPack(const QString &folder);
    /// Fills File > Recent Packs from the recent list.
    void FileRecentPacksPopulate();
    /// Reads the option folders again, keeping the expanded folders (F5).
    void FileReloadItemClick();

    // The tree's filter.
    /// Shows the filter line above the tree and puts the cursor in it (Ctrl+F).
    void OpenFilter();
    /// Clears and hides the filter, bringing back the tree's expansion and selection.
    void CloseFilter();
    void FilterChanged(const QString &text);
    void HowTo1Execute();
    void Welcome1Execute();
    void HelpAbout1Execute();
    void HelpCheckUpdatesItemClick();
    void Themes1Click();
    void FileHistoryItemClick();
    void SettingsCheckForUpdateModeItemClick();
    void SettingsCheckInterfaceModeItemClick();
    void SettingsHideCommandWindowItemClick();
    void SettingsAllowDisplayHTTPLinksItemClick();

    /// Whether a resize request of the window to @p newWidth is taken; a refused request is
    /// refused as a whole, whatever height it asked for. Narrower requests that are taken are
    /// still limited by the minimum size.
    static bool FormCanResize(int newWidth) { return newWidth >= 213; }
    static bool Splitter1CanResize(int newTreeWidth) { return newTreeWidth >= 200; }

    bool StartUpFinished() const { return m_startUpFinished; }
    bool CloseRequested() const { return m_closeRequested; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

    /// The pack this run opened: the program folder without its trailing '/'.
    QString PackFolder() const;

private:
    void FormCreate(const QString &executablePath, std::unique_ptr<EarlyOptionScan> earlyScan);
    void rememberExpandedFolders();
    void buildLayout();
    void buildMenus();
    void reportScriptFailures();
    void applyPlacement(const MainWindowPlacement &placement);
    void applyTreeWidth();
    void keepTreeWidth();
    int execModal(QDialog *dialog);
    void pause(int milliseconds);
    void rememberNormalGeometry();
    void toggleSetting(QAction *item, bool &setting);

    Forms m_forms;
    OptionTreeController *m_tree = nullptr;
    DocumentPane *m_pane = nullptr;
    QTreeView *m_treeView = nullptr;
    QLabel *m_label1 = nullptr;
    QFrame *m_panelLeft = nullptr;
    QSplitter *m_splitter = nullptr;
    QToolButton *m_expand = nullptr;
    QToolButton *m_collapse = nullptr;
    QAction *m_checkForUpdateModeItem = nullptr;
    QAction *m_checkInterfaceModeItem = nullptr;
    QAction *m_hideCommandWindowItem = nullptr;
    QAction *m_allowHttpLinksItem = nullptr;
    QAction *m_helpCheckUpdatesItem = nullptr;
    QAction *m_themes1 = nullptr;
    QMenu *m_recentMenu = nullptr;
    QWidget *m_filterBar = nullptr;
    QLineEdit *m_edFilter = nullptr;
    QLabel *m_lblStatus = nullptr;
    THistoryForm *m_historyForm = nullptr; // made when first opened
    QTimer m_changeTimer;
    QRect m_normalGeometry;
    QSize m_refusedSize;
    int m_acceptedTreeWidth = 200;
    bool m_startUpFinished = false;
    bool m_closeRequested = false;
    bool m_closing = false;
    QString m_restartProgram;
};
