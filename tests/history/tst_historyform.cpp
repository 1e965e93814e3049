// The History window on real installs: the list, the selected install's files and output, and
// Restore with its confirmation and refusal, answered through the real message boxes.

#include "HistoryPack.h"
#include "common/Waits.h"
#include "core/StatusLine.h"
#include "history/HistoryFrm.h"
#include "history/InstallHistory.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using namespace testfiles;
using history::TheHistory;

namespace {

QByteArray Quoted(const QString &path)
{
    return "'" + QFile::encodeName(path) + "'";
}

bool Settled(const HistoryPack &pack, const QString &id)
{
    return !pack.record(id).after.isEmpty() || !pack.record(id).snapshotError.isEmpty();
}

// Answers the next message box with @p button and keeps its text and icon.
struct BoxAnswer
{
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool answered = false;
};

void AnswerNextBox(QMessageBox::StandardButton button, BoxAnswer *answer)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, button, answer] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        answer->text = box->text();
        answer->icon = box->icon();
        answer->answered = true;
        QAbstractButton *b = box->button(button);
        if (b)
            b->click();
        else
            box->reject();
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}

} // namespace

class TestHistoryForm : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<HistoryPack> m_pack;
    std::unique_ptr<THistoryForm> m_form;

    QTreeWidget *List() const { return m_form->findChild<QTreeWidget *>(S("lvHistory")); }
    QString Text(const char *name) const
    {
        if (auto *edit = m_form->findChild<QPlainTextEdit *>(S(name)))
            return edit->toPlainText();
        return m_form->findChild<QLabel *>(S(name))->text();
    }
    QPushButton *Restore() const { return m_form->findChild<QPushButton *>(S("btnRestore")); }

    void Open()
    {
        m_form = std::make_unique<THistoryForm>();
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
    }

private slots:
    void init()
    {
        m_pack = std::make_unique<HistoryPack>();
        writeAll(m_pack->ui + S("a.txt"), "one");
    }
    void cleanup()
    {
        m_form.reset();
        m_pack.reset();
    }

    void listsInstallsNewestFirst()
    {
        m_pack->configure();
        const QString first =
            m_pack->install("echo hello; printf x > " + Quoted(m_pack->ui + S("x")) + "\nexit 4\n");
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, first), HangMs);
        const QString second =
            m_pack->install("printf two > " + Quoted(m_pack->ui + S("a.txt")) + "\n");
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, second), HangMs);
        Open();

        QTreeWidget *list = List();
        QCOMPARE(list->objectName(), S("lvHistory"));
        QCOMPARE(list->topLevelItemCount(), 2);
        const QTreeWidgetItem *top = list->topLevelItem(0);
        QCOMPARE(top->text(1), S("Options/Bars"));
        QCOMPARE(top->text(2), S("RunMe.sh"));
        QCOMPARE(top->text(3), S("0"));
        QCOMPARE(top->text(4), S("0 added, 1 changed, 0 removed"));
        QCOMPARE(top->text(0), m_pack->record(second).time.toString(S("yyyy-MM-dd HH:mm:ss")));
        QCOMPARE(list->topLevelItem(1)->text(3), S("4"));
        QCOMPARE(list->topLevelItem(1)->text(4), S("1 added, 0 changed, 0 removed"));

        QVERIFY(m_form->SelectId(first));
        QVERIFY(Text("memOutput").contains(S("hello\n")));
        QVERIFY(Text("memOutput").contains(S("[exit status 4]")));
        QCOMPARE(Text("memFiles"), S("added: ../ui/custom/x"));
        QVERIFY(Restore()->isEnabled());
    }

    void restoreAsksFirst_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("confirmed") << true;
        QTest::newRow("declined") << false;
    }

    void restoreAsksFirst()
    {
        QFETCH(bool, yes);
        m_pack->configure();
        const QString id =
            m_pack->install("printf n > " + Quoted(m_pack->ui + S("new.txt")) + "\nprintf two > " +
                            Quoted(m_pack->ui + S("a.txt")) + "\n");
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, id), HangMs);
        Open();
        QCOMPARE(m_form->SelectedId(), id);

        BoxAnswer answer;
        AnswerNextBox(yes ? QMessageBox::Yes : QMessageBox::No, &answer);
        QTest::mouseClick(Restore(), Qt::LeftButton);
        QVERIFY(answer.answered);
        QVERIFY2(answer.text.contains(S("removed: ../ui/custom/new.txt")), qPrintable(answer.text));
        QVERIFY(answer.text.contains(S("put back: ../ui/custom/a.txt")));

        QCOMPARE(QFileInfo::exists(m_pack->ui + S("new.txt")), !yes);
        QCOMPARE(readAll(m_pack->ui + S("a.txt")), yes ? QByteArray("one") : QByteArray("two"));
        QCOMPARE(List()->topLevelItemCount(), yes ? 2 : 1);
        if (yes) {
            QVERIFY(
                List()->topLevelItem(0)->text(1).startsWith(S("Restore to before Options/Bars")));
            QCOMPARE(List()->topLevelItem(0)->text(4), S("0 added, 1 changed, 1 removed"));
            QCOMPARE(Text("lblStatus"), S("Restored: 2 files changed."));
            // The main window's status line names the install by its time.
            const QString time = List()->topLevelItem(1)->text(0).mid(11, 5);
            QCOMPARE(TheStatusLine().Text(), S("Restored the install of ") + time);
        }
    }

    void restoreOfALargeFileKeepsTheWindowsLive()
    {
        // A large file the install changes: its restore takes a while.
        const QString big = m_pack->ui + S("big.bin");
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(192LL * 1024 * 1024));
        }
        m_pack->configure();
        const QString id = m_pack->install("printf x | dd of=" + Quoted(big) +
                                           " bs=1 seek=1000 conv=notrunc 2>/dev/null\n");
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, id), HangMs);
        Open();
        BoxAnswer answer;
        AnswerNextBox(QMessageBox::Yes, &answer);
        // Events go on being handled while the restore writes: timers fire, windows paint.
        int ticks = 0;
        bool progressShown = false;
        QTimer ticker;
        ticker.setInterval(5);
        connect(&ticker, &QTimer::timeout, this, [&] {
            if (!answer.answered)
                return;
            ++ticks;
            if (auto *p = QApplication::activeModalWidget())
                progressShown = progressShown || p->objectName() == S("RestoreProgress");
        });
        ticker.start();
        QTest::mouseClick(Restore(), Qt::LeftButton);
        ticker.stop();
        QVERIFY(answer.answered);
        QCOMPARE(Text("lblStatus"), S("Restored: 1 files changed."));
        QVERIFY2(ticks > 3, qPrintable(QString::number(ticks)));
        QFile f(big);
        QVERIFY(f.open(QIODevice::ReadOnly) && f.seek(1000));
        QCOMPARE(f.read(1), QByteArray(1, '\0'));
        // A restore that lasts a second shows its progress window.
        if (ticks > 200)
            QVERIFY(progressShown);
    }

    void confirmationListsTheSelection()
    {
        m_pack->configure();
        // The option's script selects itself, as a pack's scripts may.
        const QString id = m_pack->install("printf '[Mode]\\nOptionMode=3\\n' > options.ini\n");
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, id), HangMs);
        Open();
        BoxAnswer answer;
        AnswerNextBox(QMessageBox::Yes, &answer);
        QTest::mouseClick(Restore(), Qt::LeftButton);
        QVERIFY2(answer.text.contains(S("Selection:\nBars: selected \u2192 not selected")),
                 qPrintable(answer.text));
        QVERIFY(!QFileInfo::exists(m_pack->option + S("options.ini")));
    }

    void newInstallTakesTheSelectionLongPathsWrap()
    {
        m_pack->configure();
        const QString name = QString(200, QLatin1Char('n'));
        const QString first = m_pack->install("printf x > " + Quoted(m_pack->ui + name) + "\n");
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, first), HangMs);
        Open();
        QCOMPARE(m_form->SelectedId(), first);
        // The file list stays within its pane: the long name wraps.
        auto *files = m_form->findChild<QPlainTextEdit *>(S("memFiles"));
        QTRY_VERIFY_WITH_TIMEOUT(files->document()->firstBlock().layout()->lineCount() > 1, HangMs);
        QCOMPARE(files->horizontalScrollBar()->maximum(), 0);

        // An install made while the window is open is listed on top and selected; its many
        // scripts (a theme's) do not push its files out of sight.
        QStringList scripts;
        for (int i = 0; i < 40; ++i)
            scripts.append(S("Options/Chat Window/Option number %1/RunMe.sh").arg(i));
        QString second;
        {
            history::InstallSession session(S("theme"), S("Theme Big"), scripts);
            second = session.id();
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_form->SelectedId(), second, HangMs);
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, second), HangMs);
        QHeaderView *header = List()->header();
        QVERIFY2(header->sectionPosition(4) + 40 < List()->viewport()->width(),
                 qPrintable(QString::number(header->sectionPosition(4))));
        // Choosing an older one keeps it selected as the list is read again.
        QVERIFY(m_form->SelectId(first));
        m_form->UpdateHistoryList();
        QCOMPARE(m_form->SelectedId(), first);
    }

    void restoreRefusedWhileScriptRuns()
    {
        m_pack->configure();
        const QString flag = m_pack->programDir + S("go"); // where the script can see it
        const QString id =
            m_pack->install("while [ ! -e " + Quoted(flag) + " ]; do sleep 0.02; done\n");
        QTRY_VERIFY_WITH_TIMEOUT(TheHistory().anyRunning(), HangMs);
        Open();
        QCOMPARE(List()->topLevelItem(0)->text(3), S("running"));
        QCOMPARE(List()->topLevelItem(0)->text(4), S("pending"));

        BoxAnswer answer;
        AnswerNextBox(QMessageBox::Ok, &answer);
        QTest::mouseClick(Restore(), Qt::LeftButton);
        QVERIFY(answer.answered);
        QCOMPARE(answer.icon, QMessageBox::Critical);
        QVERIFY2(answer.text.contains(S("still running")), qPrintable(answer.text));
        QCOMPARE(List()->topLevelItemCount(), 1);

        writeAll(flag, "");
        QTRY_COMPARE_WITH_TIMEOUT(List()->topLevelItem(0)->text(4),
                                  S("0 added, 0 changed, 0 removed"), HangMs);
        QCOMPARE(List()->topLevelItem(0)->text(3), S("0"));
        QVERIFY(Settled(*m_pack, id));
    }

    void unrecordedShownInstallGoesOn()
    {
        // A folder nested deeper than any interface is left out of the snapshot and listed.
        QString deep = m_pack->ui;
        for (int i = 0; i < 210; ++i)
            deep += S("d/");
        QVERIFY(QDir().mkpath(deep));
        m_pack->configure();
        const QString id = m_pack->install("echo installed\n");
        QTRY_VERIFY_WITH_TIMEOUT(Settled(*m_pack, id), HangMs);
        Open();
        QCOMPARE(List()->topLevelItem(0)->text(4),
                 S("0 added, 0 changed, 0 removed; 1 not recorded"));
        QVERIFY2(Text("memFiles").contains(S("not recorded: ../ui/custom/d/d/")) &&
                     Text("memFiles").contains(S("(nested too deeply)")),
                 qPrintable(Text("memFiles")));
        QVERIFY(Text("memOutput").contains(S("installed")));
        QVERIFY(Restore()->isEnabled());
    }

    void noticesShown()
    {
        HistoryPack pack(S("..\\ui\\missing;/"));
        pack.configure();
        Open();
        const QString notices = Text("lblNotices");
        QVERIFY2(notices.contains(S("..\\ui\\missing does not exist")), qPrintable(notices));
        QVERIFY(notices.contains(S("root or home")));
        QVERIFY(m_form->findChild<QLabel *>(S("lblNotices"))->isVisible());
    }
};

QTEST_MAIN(TestHistoryForm)
#include "tst_historyform.moc"
