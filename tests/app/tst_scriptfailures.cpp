// A script that fails is told: the main window's status line names it in plain words and the
// History window marks its install, for hidden starts and for starts in a terminal window
// (a stand-in terminal that runs its command, waiting for it or handing it off at once).
#include "app/MainFrm.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "history/HistoryFrm.h"
#include "history/InstallHistory.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"

#include <QPlainTextEdit>
#include <QLabel>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

using namespace testfiles;

class TestScriptFailures : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_home;
    std::unique_ptr<TMainForm> m_form;
    QByteArray m_path;
    QByteArray m_display;

    QString pack() const { return m_dir->filePath(S("pack")); }
    QString option() const { return pack() + S("/Options/Chat/Classic/"); }
    QString bin() const { return m_dir->filePath(S("bin")); }

    void script(const QByteArray &body)
    {
        QVERIFY(writeAll(option() + S("RunMe.sh"), "#!/bin/sh\n" + body));
    }

    // The whole text of the main window's one status line, as it shows it.
    QLabel *statusLine() const { return m_form->findChild<QLabel *>(S("lblStatusLine")); }
    QString told() const { return statusLine()->property("fullText").toString(); }

    void tick()
    {
        OptionNode *node = FindNode(m_form->TreeController()->Tree(), S("Chat/Classic"));
        QVERIFY(node);
        m_form->findChild<QTreeView *>(S("TreeView1"))
            ->setCurrentIndex(m_form->TreeController()->IndexOf(node));
        m_form->ApplyChanges();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qunsetenv("WINEPREFIX");
        m_path = qgetenv("PATH");
        m_display = qgetenv("DISPLAY");
    }

    void init()
    {
        ProgramSettings = TProgramSettings{};
        m_dir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir->filePath(S("config"))));
        // Only the stand-in terminal on the PATH: no real terminal, opener or Wine takes part.
        QVERIFY(QDir().mkpath(bin()));
        testfiles::addSandbox(bin());
        qputenv("PATH", QFile::encodeName(bin()));
        qunsetenv("DISPLAY");
    }

    void cleanup()
    {
        m_form.reset();
        m_dir.reset();
        qputenv("PATH", m_path);
        qputenv("DISPLAY", m_display);
    }

    void failureTold_data()
    {
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<QByteArray>("terminal"); // the stand-in's body; empty: none
        QTest::addColumn<QString>("scriptName");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QByteArray>("output"); // in the History window's output pane

        const QByteArray fails = "echo copying the chat window\nsleep 1\nexit 3\n";
        const QString logged =
            S("RunMe.sh of Classic ended with status 3: File > History shows its output");
        const QString inTerminal =
            S("RunMe.sh of Classic ended with status 3 (its output was in its terminal window)");
        // A stand-in terminal passes over its own options ("-T" and a title) up to "-e".
        const QByteArray toCommand =
            "#!/bin/sh\nwhile [ $# -gt 0 ] && [ \"$1\" != -e ]; do shift; done; shift\n";
        const QByteArray waits = toCommand + "exec \"$@\"\n";
        // Like a terminal whose window belongs to a server: the command runs on after the
        // terminal's own process has ended.
        const QByteArray handsOff = toCommand + "\"$@\" </dev/null >/dev/null 2>&1 &\nexit 0\n";

        QTest::newRow("hidden") << true << QByteArray() << S("RunMe.sh") << fails << logged
                                << S("3") << QByteArray("copying the chat window");
        QTest::newRow("windowed, no terminal: runs as a hidden one does")
            << false << QByteArray() << S("RunMe.sh") << fails << logged << S("3")
            << QByteArray("copying the chat window");
        QTest::newRow("windowed in a terminal that waits")
            << false << waits << S("RunMe.sh") << fails << inTerminal << S("3")
            << QByteArray("its output was shown in its terminal window");
        QTest::newRow("windowed in a terminal that hands its command off")
            << false << handsOff << S("RunMe.sh") << fails << inTerminal << S("3")
            << QByteArray("its output was shown in its terminal window");
        // Like terminals that join the words after "-e" into one command line.
        const QByteArray joins = toCommand + "exec /bin/sh -c \"$*\"\n";
        QTest::newRow("windowed in a terminal that joins its command into one line")
            << false << joins << S("RunMe.sh") << fails << inTerminal << S("3")
            << QByteArray("its output was shown in its terminal window");
        QTest::newRow("a file nothing can open")
            << true << QByteArray() << S("RunMe.txt") << QByteArray("exit 0\n")
            << S("RunMe.txt of Classic could not be started") << S("not started") << QByteArray();
        QTest::newRow("status 0: nothing to tell")
            << true << QByteArray() << S("RunMe.sh") << QByteArray("exit 0\n") << QString()
            << S("0") << QByteArray();
    }

    void failureTold()
    {
        QFETCH(bool, hidden);
        QFETCH(QByteArray, terminal);
        QFETCH(QString, scriptName);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        QFETCH(QString, status);
        QFETCH(QByteArray, output);

        if (!terminal.isEmpty()) {
            const QString path = bin() + S("/x-terminal-emulator");
            QVERIFY(writeAll(path, terminal));
            QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner));
            qputenv("DISPLAY", ":77");
        }
        QVERIFY(writeAll(option() + S("options.ini"),
                         "[RunMe]\nOptionRunMeFName=" + scriptName.toUtf8() +
                             "\nOptionRunMe2FName=\n[ProgramDelay]\nOptionProgramDelay=20\n"
                             "[Mode]\nOptionMode=2\n"));
        QVERIFY(writeAll(option() + scriptName, "#!/bin/sh\n" + body));
        QVERIFY(writeAll(pack() + S("/varimond.ini"),
                         QByteArray("[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\nHideShell=") +
                             (hidden ? "1" : "0") + "\n"));

        m_form = std::make_unique<TMainForm>(pack() + S("/varimond"));
        m_form->CreateForms();
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
        QVERIFY(statusLine());
        QVERIFY(statusLine()->isVisible());

        int ended = 0;
        connect(&history::TheHistory(), &history::InstallHistory::installEnded, m_form.get(),
                [&ended] { ++ended; });
        tick();
        // The tick stands: the option is selected whatever its script did.
        QCOMPARE(FindNode(m_form->TreeController()->Tree(), S("Chat/Classic"))->StateIndex, 3);
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, HangMs);
        // A failure is told in place of the tick's own line, which is all a clean run leaves.
        const QString ticked = S("Classic selected; ") + scriptName + S(" started");
        QCOMPARE(told(), message.isEmpty() ? ticked : message);

        THistoryForm form(m_form.get());
        form.show();
        auto *list = form.findChild<QTreeWidget *>(S("lvHistory"));
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 1, HangMs);
        QTreeWidgetItem *row = list->topLevelItem(0);
        QCOMPARE(list->headerItem()->text(3), S("Exit status"));
        QCOMPARE(row->text(3), status);
        QCOMPARE(row->icon(3).isNull(), message.isEmpty());
        auto *pane = form.findChild<QPlainTextEdit *>(S("memOutput"));
        QVERIFY2(pane->toPlainText().toUtf8().contains(output), qPrintable(pane->toPlainText()));
        form.hide();

        // The next install says its own line over what was said of the last one.
        if (!message.isEmpty() && scriptName == S("RunMe.sh")) {
            QVERIFY(writeAll(option() + scriptName, "#!/bin/sh\nexit 0\n"));
            tick();
            QCOMPARE(told(), ticked);
            QTRY_COMPARE_WITH_TIMEOUT(ended, 2, HangMs);
            QCOMPARE(told(), ticked);
        }
    }
};

QTEST_MAIN(TestScriptFailures)
#include "tst_scriptfailures.moc"
