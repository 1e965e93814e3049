// The main window in-process: start-up steps and their status texts, menus, settings toggles,
// placement and what the close writes, the splitter refusal and the general error report.
#include "common/TestFiles.h"
#include "core/Common.h"
#include "core/ErrorReport.h"
#include "app/MainFrm.h"
#include "history/InstallHistory.h"
#include "app/SplashFrm.h"
#include "apply/TreeClick.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"
#include "docs/DocumentPane.h"
#include "platform/IniFile.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

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
        QTest::newRow("full stop added") << "Unable to write to /a/b.ini" << "Unable to write to /a/b.ini.";
        QTest::newRow("full stop kept") << "Done." << "Done.";
        QTest::newRow("exclamation mark") << "Stop!" << "Stop!";
        QTest::newRow("closing bracket") << "Failed (twice)" << "Failed (twice)";
        QTest::newRow("digit") << "Error 5" << "Error 5.";
        QTest::newRow("empty") << "" << "";
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
                 "[History]\nFolders=..\\ui\\custom\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(history::TheHistory().snapshotsOn());
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
                 S("..\\ui\\custom"));
    }

    void welcomeShownAgainWhenAModalWindowCloses()
    {
        QVERIFY(writeAll(pack() + S("/Options/Welcome.txt"), "Welcome aboard"));
        QVERIFY(writeAll(pack() + S("/Options/HowTo.txt"), "How to use it"));
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QTextEdit *text = m_form->Pane()->RichEdit();
        QTRY_COMPARE(text->toPlainText(), S("Welcome aboard"));
        m_form->HowTo1Execute();
        QCOMPARE(text->toPlainText(), S("How to use it"));
        ModalCatcher catcher;
        m_form->HelpAbout1Execute();
        QCOMPARE(catcher.seen, QStringList{S("AboutForm")});
        QTRY_COMPARE(text->toPlainText(), S("Welcome aboard"));
    }

    void keysAndClicksInTheTree()
    {
        const QString group = pack() + S("/Options/Group/");
        for (const auto &[name, mode] : {std::pair{"A", "3"}, std::pair{"B", "2"}}) {
            QVERIFY(writeAll(group + S(name) + S("/options.ini"),
                             QByteArray("[Mode]\nOptionMode=") + mode + "\n"));
            QVERIFY(writeAll(group + S(name) + S("/RunMe.bat"), "@echo off\n"));
        }
        QDir(group + S("Choice")).removeRecursively();
        makeForm("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n");
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        auto *view = m_form->findChild<QTreeView *>(S("TreeView1"));
        OptionTreeController *tree = m_form->TreeController();
        OptionNode *top = tree->Tree().TopLevel().front().get();
        QCOMPARE(top->StateIndex, int(FolderClosed));
        auto mode = [&](const char *name) {
            return platform::IniFile::readInteger(group + S(name) + S("/options.ini"),
                                                  S("Mode"), S("OptionMode"), -1);
        };

        // Space on a folder opens it one level, and again closes it; nothing is written.
        view->setFocus();
        view->setCurrentIndex(tree->IndexOf(top));
        QTest::keyClick(view, Qt::Key_Space);
        QVERIFY(view->isExpanded(tree->IndexOf(top)));
        QCOMPARE(top->StateIndex, int(FolderOpen));
        QTest::keyClick(view, Qt::Key_Space);
        QVERIFY(!view->isExpanded(tree->IndexOf(top)));
        QCOMPARE(top->StateIndex, int(FolderClosed));
        view->expand(tree->IndexOf(top));

        // Enter on a leaf ticks it.
        OptionNode *a = top->Children[0].get();
        OptionNode *b = top->Children[1].get();
        view->setCurrentIndex(tree->IndexOf(b));
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(mode("A"), 2);
        QCOMPARE(mode("B"), 3);
        QCOMPARE(a->StateIndex, int(CheckOff));

        // A click on A's label only selects it; a click on its icon ticks it.
        const QModelIndex indexA = tree->IndexOf(a);
        const QRect label = view->visualRect(indexA);
        const QRect icon = StateIconRect(view, indexA);
        QVERIFY(!icon.isEmpty());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(label.right() - 2, label.center().y()));
        QTRY_COMPARE(tree->SelectedNode(), a);
        QCoreApplication::processEvents(); // the click is acted on from the event loop
        QCOMPARE(mode("A"), 2);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, icon.center());
        QTRY_COMPARE(mode("A"), 3);
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
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QCOMPARE(m_form->size(), QSize(640, 420));
        // A stored tree width below the drag limit is applied as it is.
        QCOMPARE(m_form->findChild<QWidget *>(S("PanelLeft"))->width(), 50);
        if (state == 1)
            m_form->setWindowState(Qt::WindowMinimized);
        else if (state == 2)
            m_form->setWindowState(Qt::WindowMaximized);
        QTRY_COMPARE(m_form->isMaximized(), state == 2);
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
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
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
        QCOMPARE(platform::IniFile::readString(iniPath(), S("Settings"), S("PgmFirstRun"),
                                               QString()),
                 S("0"));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Varimond"));
    QApplication::setQuitOnLastWindowClosed(false);
    TestMainForm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainform.moc"
