// The main window in-process: start-up steps and their status texts, menus, settings toggles,
// placement and what the close writes, the splitter refusal and the general error report.
#include "app/MainFrm.h"
#include "app/SplashFrm.h"
#include "apply/TreeClick.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "core/ErrorReport.h"
#include "docs/DocumentPane.h"
#include "history/InstallHistory.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "app/WindowFrame.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QSplitterHandle>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QWindow>
#include <QtTest>

#include <functional>
#include <memory>

using namespace testfiles;

namespace {

// Closes the next message box that opens and hands back its title and text.
struct MessageBoxCatcher
{
    QString title;
    QString text;
    QTimer timer;

    MessageBoxCatcher()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                box->done(QMessageBox::Ok);
                timer.stop();
            }
        });
        timer.start();
    }
};

// Closes every modal dialog that opens and notes its name.
struct ModalCatcher
{
    QStringList seen;
    QTimer timer;

    ModalCatcher()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                seen.append(dialog->objectName());
                dialog->done(QDialog::Accepted);
            }
        });
        timer.start();
    }
};

// Waits for a modal window of the given name (any message box for "QMessageBox"), lets the
// test look at the program while it is open, then closes it with a result.
struct ModalProbe
{
    QString name;
    int result;
    std::function<void(QWidget *)> look;
    int seen = 0;
    QTimer timer;

    ModalProbe(const QString &modalName, int closeWith, std::function<void(QWidget *)> onOpen)
        : name(modalName), result(closeWith), look(std::move(onOpen))
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            auto *dialog = qobject_cast<QDialog *>(modal);
            if (!dialog)
                return;
            const bool box = qobject_cast<QMessageBox *>(dialog) != nullptr;
            if (box ? name != QLatin1String("QMessageBox") : dialog->objectName() != name)
                return;
            ++seen;
            if (look)
                look(dialog);
            dialog->done(result);
        });
        timer.start();
    }
};

} // namespace

class TestMainForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_home; // for the whole run: no Wine prefix of the machine's user takes part
    std::unique_ptr<TMainForm> m_form;
    QStringList m_statuses;

    QString pack() const { return m_dir->filePath(S("pack")); }
    QString iniPath() const { return pack() + S("/varimond.ini"); }

    void makeForm(const QByteArray &ini = QByteArray(), bool gameIsCustom = true)
    {
        if (!ini.isNull())
            QVERIFY(writeAll(iniPath(), ini));
        const QString userDat =
            m_dir->filePath(S("config/Electronic Arts/Dark Age of Camelot/user.dat"));
        if (gameIsCustom)
            QVERIFY(writeAll(userDat, "[interface]\nitem1=7\n"));
        m_form = std::make_unique<TMainForm>(pack() + S("/varimond"));
        m_form->CreateForms();
        connect(m_form->GetForms().Splash, &TSplashForm::statusChanged, this,
                [this](const QString &text) { m_statuses.append(text); });
    }

    QAction *action(const char *name) const
    {
        return m_form->findChild<QAction *>(QString::fromLatin1(name));
    }

    QString options() const { return pack() + S("/Options/"); }
    // Inside the pack: its scripts write nowhere else.
    QString runLog() const { return pack() + S("/runs.log"); }

    // An option folder whose script notes the folder it was started in; no second script, and
    // the shortest delay of the progress dialog.
    void option(const QString &rel, int mode)
    {
        const QString folder = options() + rel + S("/");
        QVERIFY(writeAll(folder + S("options.ini"),
                         "[RunMe]\nOptionRunMeFName=RunMe.sh\nOptionRunMe2FName=\n"
                         "[ProgramDelay]\nOptionProgramDelay=20\n[Mode]\nOptionMode=" +
                             QByteArray::number(mode) + "\n"));
        QVERIFY(writeAll(folder + S("RunMe.sh"), "#!/bin/sh\necho \"$(basename \"$(pwd)\")\" >> '" +
                                                     runLog().toUtf8() + "'\n"));
    }

    // A pack with a group P of two leaves, a selectable node S with a link entry below it, a
    // notice N and, in a group of its own, F (ticked to know that earlier scripts have run).
    void samplePack()
    {
        QDir(options() + S("Group")).removeRecursively();
        option(S("Pack/P/A"), 2);
        option(S("Pack/P/B"), 3);
        option(S("Pack/S"), 2);
        QVERIFY(writeAll(options() + S("Pack/S/W/options.ini"), "[Mode]\nOptionMode=6\n"));
        QVERIFY(writeAll(options() + S("Pack/N/options.ini"), "[Mode]\nOptionMode=1\n"));
        option(S("Fence/F"), 2);
    }

    int modeOf(const QString &rel) const
    {
        return platform::IniFile::readInteger(options() + rel + S("/options.ini"), S("Mode"),
                                              S("OptionMode"), -1);
    }

    // Whether the run log holds an install of the option folder ending in @p option and an
    // exit status for every start of every install: each script is waited for by its own exit
    // record, in whatever order they end.
    static bool allEnded(const QString &option)
    {
        bool seen = false;
        for (const history::InstallRecord &record : history::TheHistory().log()->list()) {
            seen = seen || QDir::cleanPath(record.option).endsWith(option);
            if (!record.closed)
                return false;
            for (const history::ScriptStart &start : record.starts) {
                if (!start.hasExitStatus)
                    return false;
            }
        }
        return seen;
    }

    // How often each option's script ran, once every install made so far has ended. The fence
    // option F is ticked last, so anything the earlier key presses and clicks left queued has
    // made its install by the time F's exists.
    void runsAfterFence(QMap<QString, int> &runs)
    {
        OptionNode *fence = FindNode(m_form->TreeController()->Tree(), S("Fence/F"));
        auto *view = m_form->findChild<QTreeView *>(S("TreeView1"));
        view->setCurrentIndex(m_form->TreeController()->IndexOf(fence));
        QTest::keyClick(view, Qt::Key_Space);
        runs.clear();
        QTRY_VERIFY_WITH_TIMEOUT(allEnded(S("/Fence/F")), HangMs);
        for (const QByteArray &line : readAll(runLog()).split('\n')) {
            if (!line.isEmpty() && line != "F")
                ++runs[QString::fromUtf8(line)];
        }
        QVERIFY(readAll(runLog()).contains("F\n"));
    }

    void startMain(const QByteArray &ini)
    {
        makeForm(ini);
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
    }

    QTreeView *treeView() const { return m_form->findChild<QTreeView *>(S("TreeView1")); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qunsetenv("WINEPREFIX");
    }

    void init()
    {
        ProgramSettings = TProgramSettings{};
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(pack() + S("/Options/Group/Choice")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir->filePath(S("config"))));
        m_statuses.clear();
    }

    void cleanup()
    {
        m_form.reset();
        m_dir.reset();
    }

    void errorReportText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("full stop added") << "Unable to write to /a/b.ini"
                                         << "Unable to write to /a/b.ini.";
        QTest::newRow("full stop kept") << "Done."
                                        << "Done.";
        QTest::newRow("exclamation mark") << "Stop!"
                                          << "Stop!";
        QTest::newRow("closing bracket") << "Failed (twice)"
                                         << "Failed (twice)";
        QTest::newRow("digit") << "Error 5"
                               << "Error 5.";
        QTest::newRow("empty") << ""
                               << "";
    }

    void errorReportText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(ErrorReportText(message), shown);
    }

    void startUpStatusTexts_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("gameIsCustom");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QStringList>("dialogs");
        const QStringList all{S("Loading Program Settings"), S("Loading Options"),
                              S("Checking User.dat file"), S("\"First Time\" Initialization"),
                              S("Done!")};
        QTest::newRow("fresh install, custom interface")
            << QByteArray() << true << all << QStringList();
        QTest::newRow("fresh install, other interface")
            << QByteArray() << false << all << QStringList{S("CheckUserInterfaceModeForm")};
        QTest::newRow("later run without the interface check")
            << QByteArray("[Settings]\nPgmFirstRun=0\nCheckInterfaceMode=0\n") << false
            << QStringList{S("Loading Program Settings"), S("Loading Options"), S("Done!")}
            << QStringList();
    }

    void startUpStatusTexts()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, gameIsCustom);
        QFETCH(QStringList, statuses);
        QFETCH(QStringList, dialogs);
        makeForm(ini.isEmpty() ? QByteArray() : ini, gameIsCustom);
        ModalCatcher catcher;
        QVERIFY(m_form->FormShow());
        QCOMPARE(m_statuses, statuses);
        QCOMPARE(catcher.seen, dialogs);
        QVERIFY(!m_form->GetForms().Splash->isVisible());
        QCOMPARE(m_form->windowTitle(), S("Varimond"));
    }

    void menusFollowTheSettings()
    {
        makeForm("[ProgramTitle]\nProgramTitle=My Interface\n"
                 "[Settings]\nHideShell=2\nAllowDisplayHttpLinks=0\nCheckInterfaceMode=0\n"
                 "PgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QCOMPARE(m_form->windowTitle(), S("My Interface"));
        // Update entries are hidden by default; the interface-mode item and Themes always.
        QVERIFY(!action("SettingsCheckForUpdateModeItem")->isVisible());
        QVERIFY(!action("HelpCheckUpdatesItem")->isVisible());
        QVERIFY(!action("SettingsCheckInterfaceModeItem")->isVisible());
        QVERIFY(!action("Themes1")->isVisible());
        QVERIFY(action("HelpAboutItem")->isVisible());
        QCOMPARE(action("HelpAboutItem")->text(), S("&About Varimond"));
        QVERIFY(action("SettingsHideCommandWindowItem")->isChecked());
        QVERIFY(!action("SettingsAllowDisplayHTTPLinksItem")->isChecked());
        QVERIFY(!action("SettingsCheckInterfaceModeItem")->isChecked());

        // A toggle takes effect at once but reaches the file only at close.
        action("SettingsHideCommandWindowItem")->trigger();
        QVERIFY(!ProgramSettings.HideShell);
        QVERIFY(!action("SettingsHideCommandWindowItem")->isChecked());
        action("SettingsAllowDisplayHTTPLinksItem")->trigger();
        QVERIFY(ProgramSettings.AllowDisplayHttpLinks);
        QCOMPARE(platform::IniFile::readString(iniPath(), S("Settings"), S("HideShell"), QString()),
                 S("2"));
        QVERIFY(m_form->close());
        const platform::IniFile ini(iniPath());
        QCOMPARE(ini.readString(S("Settings"), S("HideShell"), QString()), S("0"));
        QCOMPARE(ini.readString(S("Settings"), S("AllowDisplayHttpLinks"), QString()), S("1"));
        QCOMPARE(ini.readString(S("ProgramTitle"), S("ProgramTitle"), QString()),
                 S("My Interface"));
    }

    void historyWindowFromTheFileMenu()
    {
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n"
                 "[History]\nFolders=ui\\custom\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(history::TheHistory().snapshotsOn()); // inside the pack: used without asking
        QCOMPARE(action("FileHistoryItem")->text(), S("&History..."));
        QString shown;
        QTimer::singleShot(0, this, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            shown = modal ? modal->objectName() : S("none");
            if (modal)
                modal->close();
        });
        action("FileHistoryItem")->trigger();
        QCOMPARE(shown, S("HistoryForm"));
        // Read at start-up, never rewritten.
        QVERIFY(m_form->close());
        QCOMPARE(platform::IniFile::readString(iniPath(), S("History"), S("Folders"), QString()),
                 S("ui\\custom"));
    }

    void historyFolderOutsideThePackAskedAboutOnce()
    {
        QVERIFY(QDir().mkpath(m_dir->filePath(S("game/ui"))));
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n"
                 "[History]\nFolders=..\\game\\ui\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(!history::TheHistory().snapshotsOn());
        QString text;
        ModalProbe probe(S("QMessageBox"), QMessageBox::Yes, [&](QWidget *box) {
            QCOMPARE(box->objectName(), S("HistoryConsentBox"));
            text = static_cast<QMessageBox *>(box)->text();
        });
        for (int i = 0; i < 2; ++i)
            history::InstallSession(S("tick"), pack() + S("/Options/Group/Choice/"), {});
        QCOMPARE(probe.seen, 1);
        QVERIFY2(text.contains(QFileInfo(m_dir->filePath(S("game/ui"))).canonicalFilePath()),
                 qPrintable(text));
        QVERIFY(history::TheHistory().snapshotsOn());
        // Remembered in the user's own folder, never in the pack.
        QVERIFY(
            readAll(m_dir->filePath(S("config/varimond/pack-permissions"))).startsWith("allow\t"));
        QVERIFY(!readAll(iniPath()).contains("allow"));
    }

    void welcomeShownAgainWhenAModalWindowCloses()
    {
        QVERIFY(writeAll(pack() + S("/Options/Welcome.txt"), "Welcome aboard"));
        QVERIFY(writeAll(pack() + S("/Options/HowTo.txt"), "How to use it"));
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QTextEdit *text = m_form->Pane()->RichEdit();
        QTRY_COMPARE_WITH_TIMEOUT(text->toPlainText(), S("Welcome aboard"), HangMs);
        m_form->HowTo1Execute();
        QCOMPARE(text->toPlainText(), S("How to use it"));
        ModalCatcher catcher;
        m_form->HelpAbout1Execute();
        QCOMPARE(catcher.seen, QStringList{S("AboutForm")});
        QTRY_COMPARE_WITH_TIMEOUT(text->toPlainText(), S("Welcome aboard"), HangMs);
    }

    void clicksInTheTree()
    {
        const QString group = pack() + S("/Options/Group/");
        for (const auto &[name, mode] : {std::pair{"A", "2"}, std::pair{"B", "3"}}) {
            QVERIFY(writeAll(group + S(name) + S("/options.ini"),
                             QByteArray("[Mode]\nOptionMode=") + mode + "\n"));
            QVERIFY(writeAll(group + S(name) + S("/RunMe.bat"), "@echo off\n"));
        }
        QDir(group + S("Choice")).removeRecursively();
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
        auto *view = m_form->findChild<QTreeView *>(S("TreeView1"));
        OptionTreeController *tree = m_form->TreeController();
        OptionNode *top = tree->Tree().TopLevel().front().get();
        QCOMPARE(top->StateIndex, int(FolderClosed));
        auto mode = [&](const char *name) {
            return platform::IniFile::readInteger(group + S(name) + S("/options.ini"), S("Mode"),
                                                  S("OptionMode"), -1);
        };

        view->expand(tree->IndexOf(top));
        OptionNode *a = top->Children[0].get();
        OptionNode *b = top->Children[1].get();
        QCOMPARE(a->StateIndex, int(CheckOff));

        // A click on A's label only selects it; a click on its icon ticks it.
        const QModelIndex indexA = tree->IndexOf(a);
        const QRect label = view->visualRect(indexA);
        const QRect icon = StateIconRect(view, indexA);
        QVERIFY(!icon.isEmpty());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(label.right() - 2, label.center().y()));
        QTRY_COMPARE_WITH_TIMEOUT(tree->SelectedNode(), a, HangMs);
        QCoreApplication::processEvents(); // the click is acted on from the event loop
        QCOMPARE(mode("A"), 2);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, icon.center());
        QTRY_COMPARE_WITH_TIMEOUT(mode("A"), 3, HangMs);
        QCOMPARE(mode("B"), 2);
        QCOMPARE(b->StateIndex, int(CheckOff));
    }

    void updateEntriesShownWhenNotHidden()
    {
        makeForm("[Settings]\nHideCheckForUpdate=0\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        QVERIFY(action("SettingsCheckForUpdateModeItem")->isVisible());
        QVERIFY(action("HelpCheckUpdatesItem")->isVisible());
    }

    void placementAndCloseState_data()
    {
        QTest::addColumn<int>("state");
        QTest::newRow("normal") << 0;
        QTest::newRow("minimised") << 1;
        QTest::newRow("maximised") << 2;
    }

    void placementAndCloseState()
    {
        QFETCH(int, state);
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n[MainWindowSizes]\n"
                 "WindowLeft=30\nWindowTop=40\nWindowWidth=$280\nWindowHeight=420\n"
                 "OptionsTreeWidth=50\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
        QCOMPARE(m_form->size(), QSize(640, 420));
        // A stored tree width below the drag limit is applied as it is.
        QCOMPARE(m_form->findChild<QWidget *>(S("PanelLeft"))->width(), 50);
        if (state == 1)
            m_form->setWindowState(Qt::WindowMinimized);
        else if (state == 2)
            m_form->setWindowState(Qt::WindowMaximized);
        QTRY_COMPARE_WITH_TIMEOUT(m_form->isMaximized(), state == 2, HangMs);
        QVERIFY(m_form->close());
        const platform::IniFile ini(iniPath());
        QCOMPARE(ini.readInteger(S("MainWindowSizes"), S("WindowState"), -1), state);
        // The restored size is what is saved, not the maximised one.
        QCOMPARE(ini.readInteger(S("MainWindowSizes"), S("WindowWidth"), -1), 640);
        QCOMPARE(ini.readInteger(S("MainWindowSizes"), S("WindowHeight"), -1), 420);
        QCOMPARE(ini.readInteger(S("MainWindowSizes"), S("WindowLeft"), -1), 30);
    }

    void resizeRules()
    {
        QVERIFY(!TMainForm::FormCanResize(212));
        QVERIFY(TMainForm::FormCanResize(213));
        QVERIFY(!TMainForm::Splitter1CanResize(199));
        QVERIFY(TMainForm::Splitter1CanResize(200));
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QCOMPARE(m_form->minimumSize(), QSize(215, 210));
    }

    void splitterDragBelowTheLimitIsRefused()
    {
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n[MainWindowSizes]\n"
                 "WindowWidth=600\nOptionsTreeWidth=260\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
        auto *splitter = m_form->findChild<QSplitter *>(S("Splitter1"));
        QWidget *panel = m_form->findChild<QWidget *>(S("PanelLeft"));
        QCOMPARE(panel->width(), 260);
        QSplitterHandle *handle = splitter->handle(1);
        const QPoint grip(handle->width() / 2, handle->height() / 2);
        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, grip);
        QTest::mouseMove(handle, grip + QPoint(-120, 0));
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, grip + QPoint(-120, 0));
        QCOMPARE(panel->width(), 260);
        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, grip);
        QTest::mouseMove(handle, grip + QPoint(-40, 0));
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, grip + QPoint(-40, 0));
        QCOMPARE(panel->width(), 220);
    }

    void closeWithReadOnlySettingsReportsAndCloses()
    {
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QFile::setPermissions(iniPath(), QFileDevice::ReadOwner));
        MessageBoxCatcher catcher;
        QVERIFY(m_form->close());
        QCOMPARE(catcher.title, S("Varimond"));
        QCOMPARE(catcher.text, S("Unable to write to ") + iniPath() + S("."));
        QVERIFY(!m_form->isVisible());
    }

    void doubleClickOnAStateIconIsOneTick_data()
    {
        QTest::addColumn<QString>("ticked");
        QTest::addColumn<int>("modeAfter");
        QTest::newRow("leaf") << S("Pack/P/A") << 3;
        QTest::newRow("selectable node with children") << S("Pack/S") << 3;
    }

    void doubleClickOnAStateIconIsOneTick()
    {
        QFETCH(QString, ticked);
        QFETCH(int, modeAfter);
        samplePack();
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\nHideShell=1\n");
        m_form->findChild<QToolButton *>(S("sbtnExpand"))->click();
        QTreeView *view = treeView();
        const QModelIndex index =
            m_form->TreeController()->IndexOf(FindNode(m_form->TreeController()->Tree(), ticked));
        const QPoint icon = StateIconRect(view, index).center();
        QVERIFY(IsOnStateIcon(view, icon));
        // Through the window system: press, release, press (a double-click), release.
        QTest::mouseDClick(m_form->windowHandle(), Qt::LeftButton, {},
                           view->viewport()->mapTo(m_form.get(), icon));
        QTRY_COMPARE_WITH_TIMEOUT(modeOf(ticked), modeAfter, HangMs);
        const QString name = ticked.section(QLatin1Char('/'), -1);
        QMap<QString, int> runs;
        runsAfterFence(runs);
        QCOMPARE(runs, (QMap<QString, int>{{name, 1}}));
        QCOMPARE(modeOf(ticked), modeAfter);
    }

    void keysOnTheTree_data()
    {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("key");
        QTest::addColumn<QStringList>("modes"); // "path mode" afterwards
        QTest::addColumn<int>("runs");
        QTest::newRow("Space on a leaf ticks it")
            << S("Pack/P/A") << int(Qt::Key_Space) << QStringList{S("Pack/P/A 3"), S("Pack/P/B 2")}
            << 1;
        QTest::newRow("Enter on a leaf ticks it")
            << S("Pack/P/A") << int(Qt::Key_Return) << QStringList{S("Pack/P/A 3"), S("Pack/P/B 2")}
            << 1;
        QTest::newRow("Space on a folder only folds it")
            << S("Pack/P") << int(Qt::Key_Space) << QStringList{S("Pack/P/A 2"), S("Pack/P/B 3")}
            << 0;
        QTest::newRow("Enter on a selectable node with children only folds it")
            << S("Pack/S") << int(Qt::Key_Return) << QStringList{S("Pack/S 2"), S("Pack/S/W 6")}
            << 0;
        QTest::newRow("Space on a selectable node with children only folds it")
            << S("Pack/S") << int(Qt::Key_Space) << QStringList{S("Pack/S 2")} << 0;
        QTest::newRow("Enter on a notice does nothing")
            << S("Pack/N") << int(Qt::Key_Return) << QStringList{S("Pack/N 1"), S("Pack/P/B 3")}
            << 0;
    }

    void keysOnTheTree()
    {
        QFETCH(QString, selected);
        QFETCH(int, key);
        QFETCH(QStringList, modes);
        QFETCH(int, runs);
        samplePack();
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\nHideShell=1\n");
        OptionTreeController *tree = m_form->TreeController();
        m_form->findChild<QToolButton *>(S("sbtnExpand"))->click();
        OptionNode *node = FindNode(tree->Tree(), selected);
        QVERIFY(node);
        const QModelIndex index = tree->IndexOf(node);
        if (node->HasChildren())
            treeView()->collapse(index);
        const QByteArray fileBefore = readAll(options() + selected + S("/options.ini"));
        treeView()->setFocus();
        treeView()->setCurrentIndex(index);

        const int closedIcon = node->StateIndex;
        QTest::keyClick(treeView(), Qt::Key(key));
        if (node->HasChildren()) {
            QVERIFY(treeView()->isExpanded(index));
            if (closedIcon == FolderClosed || closedIcon == MarkedFolderClosed)
                QCOMPARE(node->StateIndex, closedIcon + 1); // the open folder's icon
            QTest::keyClick(treeView(), Qt::Key(key));
            QVERIFY(!treeView()->isExpanded(index));
            QCOMPARE(node->StateIndex, closedIcon);
            QCOMPARE(readAll(options() + selected + S("/options.ini")), fileBefore);
        }
        for (const QString &m : modes) {
            const QString rel = m.section(QLatin1Char(' '), 0, 0);
            const int mode = m.section(QLatin1Char(' '), 1).toInt();
            QTRY_COMPARE_WITH_TIMEOUT(modeOf(rel), mode, HangMs);
            QCOMPARE(FindNode(tree->Tree(), rel)->StateIndex, mode);
        }
        QMap<QString, int> seen;
        runsAfterFence(seen);
        QCOMPARE(seen.value(selected.section(QLatin1Char('/'), -1)), runs);
        QCOMPARE(seen.size(), runs);
    }

    void restoreShowsTheSelectionFromBefore()
    {
        samplePack();
        QVERIFY(QDir().mkpath(pack() + S("/ui")));
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\nHideShell=1\n"
                  "[History]\nFolders=ui\n");
        OptionTreeController *tree = m_form->TreeController();
        m_form->findChild<QToolButton *>(S("sbtnExpand"))->click();
        treeView()->setFocus();
        treeView()->setCurrentIndex(tree->IndexOf(FindNode(tree->Tree(), S("Pack/P/A"))));
        QTest::keyClick(treeView(), Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(FindNode(tree->Tree(), S("Pack/P/A"))->StateIndex, 3, HangMs);
        QCOMPARE(FindNode(tree->Tree(), S("Pack/P/B"))->StateIndex, 2);
        const auto records = history::TheHistory().log()->list();
        QCOMPARE(records.size(), size_t(1));
        QTRY_VERIFY_WITH_TIMEOUT(!history::TheHistory().log()->load(records[0].id).after.isEmpty(),
                                 HangMs);

        history::TheHistory().restore(records[0].id);
        // The tree is read again: B is ticked as before the install, on disk and on screen.
        QCOMPARE(modeOf(S("Pack/P/A")), 2);
        QCOMPARE(modeOf(S("Pack/P/B")), 3);
        QCOMPARE(FindNode(tree->Tree(), S("Pack/P/A"))->StateIndex, 2);
        QCOMPARE(FindNode(tree->Tree(), S("Pack/P/B"))->StateIndex, 3);
    }

    // Selecting an option shows its preview pictures above its ReadMe; selecting another one
    // shows that one's, and the Welcome document none.
    void selectingAnOptionShowsItsPreviews()
    {
        samplePack();
        QImage red(64, 48, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(red.save(options() + S("Pack/P/A/Preview.png")));
        QVERIFY(red.save(options() + S("Pack/P/A/Screenshot 2.png")));
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        OptionTreeController *tree = m_form->TreeController();
        m_form->findChild<QToolButton *>(S("sbtnExpand"))->click();
        auto *strip = m_form->findChild<QScrollArea *>(S("PreviewStrip"));
        QVERIFY(strip);
        QVERIFY(!strip->isVisible());
        treeView()->setCurrentIndex(tree->IndexOf(FindNode(tree->Tree(), S("Pack/P/A"))));
        QTRY_VERIFY_WITH_TIMEOUT(strip->isVisible(), HangMs);
        QTRY_VERIFY_WITH_TIMEOUT(strip->findChild<QToolButton *>(S("Preview2")), HangMs);
        QTRY_VERIFY_WITH_TIMEOUT(!strip->findChild<QToolButton *>(S("Preview2"))->icon().isNull(),
                                 HangMs);
        treeView()->setCurrentIndex(tree->IndexOf(FindNode(tree->Tree(), S("Pack/P/B"))));
        QTRY_VERIFY_WITH_TIMEOUT(!strip->isVisible(), HangMs);
        treeView()->setCurrentIndex(tree->IndexOf(FindNode(tree->Tree(), S("Pack/P/A"))));
        QTRY_VERIFY_WITH_TIMEOUT(strip->isVisible(), HangMs);
        action("Welcome1")->trigger();
        QVERIFY(!strip->isVisible());
    }

    void refusedWriteOnATickGivesTheErrorBox()
    {
        samplePack();
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\nHideShell=1\n");
        OptionTreeController *tree = m_form->TreeController();
        m_form->findChild<QToolButton *>(S("sbtnExpand"))->click();
        const QString locked = options() + S("Pack/P/A/options.ini");
        QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner));
        const QByteArray before = readAll(locked);
        treeView()->setFocus();
        treeView()->setCurrentIndex(tree->IndexOf(FindNode(tree->Tree(), S("Pack/P/B"))));
        MessageBoxCatcher catcher;
        QTest::keyClick(treeView(), Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(catcher.title, S("Varimond"), HangMs);
        QCOMPARE(catcher.text, S("Unable to write to ") + locked + S("."));
        // The tick stopped at the first leaf it could not write: B is not toggled, no script.
        QCOMPARE(readAll(locked), before);
        QCOMPARE(modeOf(S("Pack/P/B")), 3);
        QCOMPARE(FindNode(tree->Tree(), S("Pack/P/B"))->StateIndex, 3);
        QMap<QString, int> runs;
        runsAfterFence(runs);
        QCOMPARE(runs, (QMap<QString, int>{}));
    }

    void updateCheckAtStartUp_data()
    {
        QTest::addColumn<int>("result");
        QTest::newRow("Weblink ends the program") << 6;
        QTest::newRow("Continue goes on") << 1;
    }

    void updateCheckAtStartUp()
    {
        QFETCH(int, result);
        const QByteArray ini = "[ProgramTitle]\nProgramTitle=My Interface\n"
                               "[Settings]\nCheckForUpdateMode=1\nHideCheckForUpdate=0\n"
                               "CheckInterfaceMode=0\nPgmFirstRun=0\n";
        makeForm(ini);
        QStringList seenWhileOpen;
        ModalProbe probe(S("CheckUpdateForm"), result, [&](QWidget *) {
            TSplashForm *splash = m_form->GetForms().Splash;
            seenWhileOpen << splash->Status() << m_form->windowTitle()
                          << QString::number(m_form->TreeController()->Tree().TopLevel().size())
                          << QString::number(splash->isVisible())
                          << QString::number(splash->StaysOnTop());
        });
        const bool goesOn = m_form->FormShow();
        QCOMPARE(probe.seen, 1);
        // Before the tree is built and the caption set; the splash stays, below the window.
        QCOMPARE(seenWhileOpen,
                 (QStringList{S("Checking for Updates"), S("Varimond"), S("0"), S("1"), S("0")}));
        QCOMPARE(goesOn, result != 6);
        if (result == 6) {
            m_form.reset(); // the program ends: nothing else runs, nothing is saved
            QCOMPARE(readAll(iniPath()), ini);
            QVERIFY(!QFileInfo::exists(m_dir->filePath(S("config/varimond/Themes"))));
        } else {
            QCOMPARE(m_form->windowTitle(), S("My Interface"));
            QCOMPARE(m_form->TreeController()->Tree().TopLevel().size(), size_t(1));
            QVERIFY(m_form->close());
            QVERIFY(readAll(iniPath()) != ini);
        }
    }

    void startUpDialogsComeAboveTheSplash()
    {
        makeForm("[Settings]\nPgmFirstRun=0\n", false); // no user.dat: the dialog opens
        QStringList seenWhileOpen;
        QList<bool> onTopAtStatus;
        connect(m_form->GetForms().Splash, &TSplashForm::statusChanged, this,
                [&] { onTopAtStatus.append(m_form->GetForms().Splash->StaysOnTop()); });
        ModalProbe probe(S("CheckUserInterfaceModeForm"), QDialog::Accepted, [&](QWidget *) {
            TSplashForm *splash = m_form->GetForms().Splash;
            seenWhileOpen << splash->Status() << QString::number(splash->isVisible())
                          << QString::number(splash->StaysOnTop());
        });
        QVERIFY(m_form->FormShow());
        QCOMPARE(probe.seen, 1);
        QCOMPARE(seenWhileOpen, (QStringList{S("Checking User.dat file"), S("1"), S("0")}));
        // On top before the dialog and again after it.
        QCOMPARE(onTopAtStatus, (QList<bool>{true, true, true, true}));
        QCOMPARE(m_statuses.last(), S("Done!"));
        QVERIFY(!m_form->GetForms().Splash->isVisible());
    }

    void startUpErrorIsReportedAndTheMainWindowAppears()
    {
        QVERIFY(writeAll(pack() + S("/Options/Welcome.txt"), "Welcome aboard"));
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        TSplashForm *splash = m_form->GetForms().Splash;
        // A step that fails: the tree cannot be built.
        connect(splash, &TSplashForm::statusChanged, this, [](const QString &text) {
            if (text == QLatin1String("Loading Options"))
                throw AppError(S("Options unreadable"));
        });
        bool splashShownWithReport = true;
        MessageBoxCatcher catcher;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                splashShownWithReport = splash->isVisible();
        });
        watch.start(5);
        QVERIFY(m_form->FormShow());
        QCOMPARE(catcher.text, S("Options unreadable."));
        QCOMPARE(catcher.title, S("Varimond"));
        QVERIFY(!splashShownWithReport);
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
        QVERIFY(!splash->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(m_form->Pane()->RichEdit()->toPlainText(), S("Welcome aboard"),
                                  HangMs);
    }

    void windowStateOnActivation_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<bool>("userMaximises");
        QTest::addColumn<bool>("maximisedAfterModal");
        QTest::newRow("stored 2, restored by the user") << 2 << false << true;
        QTest::newRow("stored 0, maximised by the user") << 0 << true << false;
        QTest::newRow("stored 1 opens normal") << 1 << false << false;
    }

    void windowStateOnActivation()
    {
        QFETCH(int, stored);
        QFETCH(bool, userMaximises);
        QFETCH(bool, maximisedAfterModal);
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n[MainWindowSizes]\n"
                  "WindowState=" +
                  QByteArray::number(stored) + "\n");
        QTRY_COMPARE_WITH_TIMEOUT(m_form->isMaximized(), stored == 2, HangMs);
        m_form->setWindowState(userMaximises ? Qt::WindowMaximized : Qt::WindowNoState);
        QTRY_COMPARE_WITH_TIMEOUT(m_form->isMaximized(), userMaximises, HangMs);
        ModalProbe probe(S("AboutForm"), QDialog::Accepted, nullptr);
        m_form->HelpAbout1Execute();
        QCOMPARE(probe.seen, 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_form->isMaximized(), maximisedAfterModal, HangMs);
    }

    void availableOptionsHint_data()
    {
        QTest::addColumn<QStringList>("folders"); // "path mode"
        QTest::addColumn<QString>("hint");
        QTest::newRow("no options folder") << QStringList() << S("Available Options [ 0 ]");
        QTest::newRow("three selectable among others")
            << QStringList{S("G/A 2"), S("G/B 5"), S("G/N 1"), S("G/W 6"), S("H/C 3")}
            << S("Available Options [ 3 ]");
    }

    void availableOptionsHint()
    {
        QFETCH(QStringList, folders);
        QFETCH(QString, hint);
        QVERIFY(QDir(options()).removeRecursively());
        for (const QString &f : folders)
            option(f.section(QLatin1Char(' '), 0, 0), f.section(QLatin1Char(' '), 1).toInt());
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        QCOMPARE(m_form->findChild<QLabel *>(S("Label1"))->toolTip(), hint);
    }

    void helpCheckForUpdatesWaitsForTheUser()
    {
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\nHideCheckForUpdate=0\n"
                  "[VersionInfo]\nCheckUpdateDelay=12\n");
        QCOMPARE(ProgramSettings.CheckUpdateDelay, 12);
        int delayWhileOpen = -1;
        ModalProbe probe(S("CheckUpdateForm"), QDialog::Accepted,
                         [&](QWidget *) { delayWhileOpen = ProgramSettings.CheckUpdateDelay; });
        action("HelpCheckUpdatesItem")->trigger();
        QCOMPARE(probe.seen, 1);
        QCOMPARE(delayWhileOpen, 0);
    }

    void windowFramesAndCaptions_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("required");
        QTest::addColumn<int>("forbidden");
        const int buttons = int(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint);
        QTest::newRow("main window")
            << S("MainForm") << S("Varimond")
            << int(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint)
            << int(Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
        QTest::newRow("About: fixed border, close box only")
            << S("AboutForm") << S("About") << int(Qt::WindowCloseButtonHint | Qt::WindowTitleHint)
            << int(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowContextHelpButtonHint);
        QTest::newRow("interface-mode dialog: no buttons")
            << S("CheckUserInterfaceModeForm") << S("Check User Interface Mode")
            << int(Qt::WindowTitleHint) << (buttons | int(Qt::WindowSystemMenuHint));
        QTest::newRow("progress dialog: no buttons, empty caption")
            << S("ApplyForm") << QString() << int(Qt::WindowTitleHint)
            << (buttons | int(Qt::WindowSystemMenuHint));
        QTest::newRow("splash: no border, on top")
            << S("SplashForm") << QString()
            << int(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) << buttons;
    }

    void windowFramesAndCaptions()
    {
        QFETCH(QString, window);
        QFETCH(QString, caption);
        QFETCH(int, required);
        QFETCH(int, forbidden);
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QWidget *w = window == S("MainForm")
                         ? static_cast<QWidget *>(m_form.get())
                         : m_form->findChild<QWidget *>(window, Qt::FindDirectChildrenOnly);
        QVERIFY(w);
        QVERIFY(w->isWindow());
        QCOMPARE(w->windowTitle(), caption);
        const Qt::WindowFlags flags = w->windowFlags();
        QCOMPARE(int(flags) & required, required);
        QCOMPARE(int(flags) & forbidden, 0);
        // What the window system gets: no application name added to any caption.
        QVERIFY(QGuiApplication::applicationDisplayName() == QCoreApplication::applicationName());
    }

    void frameHintsOfEveryWindow_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<bool>("applies");
        QTest::addColumn<unsigned>("functions"); // close 0x20, maximise 0x10, minimise 0x8
        QTest::addColumn<unsigned>("buttons");   // maximise 0x40, minimise 0x20, menu 0x10
        QTest::newRow("main window: every button") << S("MainForm") << true << 0x3cu << 0x70u;
        QTest::newRow("About: close box, fixed border") << S("AboutForm") << true << 0x24u << 0x10u;
        QTest::newRow("interface-mode dialog: none")
            << S("CheckUserInterfaceModeForm") << true << 0x04u << 0x00u;
        QTest::newRow("progress dialog: none") << S("ApplyForm") << true << 0x04u << 0x00u;
        QTest::newRow("splash: no frame to describe") << S("SplashForm") << false << 0u << 0u;
    }

    void frameHintsOfEveryWindow()
    {
        QFETCH(QString, window);
        QFETCH(bool, applies);
        QFETCH(unsigned, functions);
        QFETCH(unsigned, buttons);
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QWidget *w = window == S("MainForm")
                         ? static_cast<QWidget *>(m_form.get())
                         : m_form->findChild<QWidget *>(window, Qt::FindDirectChildrenOnly);
        QVERIFY(w);
        // What the window manager is told when the window is shown, with its size rules then.
        w->show();
        QVERIFY(w->windowHandle());
        const platform::FrameHints hints = platform::FrameHintsFor(
            w->windowHandle()->flags(), w->minimumSize() != w->maximumSize());
        w->hide();
        QCOMPARE(hints.applies, applies);
        QCOMPARE(hints.functions & ~0x2u, functions); // resizing aside
        QCOMPARE(hints.decorations & 0x70u, buttons);
    }

    void resizeBelowTheLimitIsRefusedAsAWhole_data()
    {
        QTest::addColumn<QSize>("requested");
        QTest::addColumn<QSize>("result");
        QTest::newRow("212 wide, refused with its height") << QSize(212, 300) << QSize(600, 420);
        QTest::newRow("100 wide") << QSize(100, 420) << QSize(600, 420);
        QTest::newRow("213 wide, taken up to the minimum") << QSize(213, 300) << QSize(215, 300);
        QTest::newRow("300 wide") << QSize(300, 250) << QSize(300, 250);
    }

    void resizeBelowTheLimitIsRefusedAsAWhole()
    {
        QFETCH(QSize, requested);
        QFETCH(QSize, result);
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n[MainWindowSizes]\n"
                  "WindowWidth=600\nWindowHeight=420\n");
        QCOMPARE(m_form->size(), QSize(600, 420));
        // A request from the window system, which does not have to keep to the minimum size.
        m_form->windowHandle()->resize(requested);
        QTRY_COMPARE_WITH_TIMEOUT(m_form->size(), result, HangMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_form->windowHandle()->size(), result, HangMs);
    }

    void treePanelKeepsItsWidthInANarrowWindow_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<bool>("widenAgain");
        QTest::newRow("default width, closed narrow") << 200 << false;
        QTest::newRow("wide panel, closed narrow") << 320 << false;
        QTest::newRow("wide panel, window widened again") << 320 << true;
    }

    void treePanelKeepsItsWidthInANarrowWindow()
    {
        QFETCH(int, stored);
        QFETCH(bool, widenAgain);
        startMain("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n[MainWindowSizes]\n"
                  "WindowWidth=600\nWindowHeight=420\nOptionsTreeWidth=" +
                  QByteArray::number(stored) + "\n");
        QWidget *panel = m_form->findChild<QWidget *>(S("PanelLeft"));
        QCOMPARE(panel->width(), stored);
        m_form->resize(215, 420);
        QTRY_COMPARE_WITH_TIMEOUT(m_form->width(), 215, HangMs);
        QVERIFY(panel->width() >= qMin(stored, 200));
        if (widenAgain) {
            m_form->resize(700, 420);
            QTRY_COMPARE_WITH_TIMEOUT(panel->width(), stored, HangMs);
        }
        QVERIFY(m_form->close());
        QCOMPARE(platform::IniFile::readInteger(iniPath(), S("MainWindowSizes"),
                                                S("OptionsTreeWidth"), -1),
                 stored);
    }

    void signalWhileAModalWindowIsOpenClosesItFirst()
    {
        // No user.dat: the interface-mode dialog opens during start-up.
        makeForm("[Settings]\nPgmFirstRun=0\n", false);
        QTimer poll;
        poll.setInterval(20);
        bool sawModal = false;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (QApplication::activeModalWidget() && !sawModal) {
                sawModal = true;
                m_form->CloseForSignal();
            }
        });
        poll.start();
        QVERIFY(m_form->FormShow());
        QVERIFY(sawModal);
        QVERIFY(m_form->CloseRequested());
        QVERIFY(m_form->close());
        QCOMPARE(
            platform::IniFile::readString(iniPath(), S("Settings"), S("PgmFirstRun"), QString()),
            S("0"));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varimond"));
    QApplication::setQuitOnLastWindowClosed(false);
    TestMainForm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainform.moc"
