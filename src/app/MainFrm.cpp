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
#include "options/EarlyOptionScan.h"
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

TMainForm::TMainForm(const QString &executablePath) : TMainForm(executablePath, nullptr) {}

TMainForm::TMainForm(const QString &executablePath, std::unique_ptr<EarlyOptionScan> earlyScan)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Varimond"));
    setMinimumSize(215, 210);
    buildLayout();
    buildMenus();
    reportScriptFailures();
    FormCreate(executablePath, std::move(earlyScan));

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
    for (QDialog *dialog :
         {static_cast<QDialog *>(forms.About), static_cast<QDialog *>(forms.Apply),
          static_cast<QDialog *>(forms.CheckUserInterfaceMode),
          static_cast<QDialog *>(forms.Themes), static_cast<QDialog *>(forms.CheckUpdate)}) {
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

void TMainForm::FormCreate(const QString &executablePath,
                           std::unique_ptr<EarlyOptionScan> earlyScan)
{
    DeriveProgramPaths(ProgramSettings, executablePath);
    // The option folders are read from now on (or since before the window was made), while the
    // windows are made and the start-up's first steps run; the tree is built from that reading
    // at its step.
    if (earlyScan)
        m_tree->AdoptEarlyScan(std::move(earlyScan));
    else
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
    TheStatusLine().Show(
        QStringLiteral("%1 options in %2 folders")
            .arg(count(m_tree->LastScanOptionCount()), count(m_tree->LastFolderCount())));
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
    const QString name = node ? node->Text() : QString();
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
            if (!m_treeView->currentIndex().isValid() ||
                m_treeView->isRowHidden(m_treeView->currentIndex().row(),
                                        m_treeView->currentIndex().parent()))
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
        TheStatusLine().Show(QStringLiteral("%1 options match \"%2\"").arg(count(matches), text));
}
