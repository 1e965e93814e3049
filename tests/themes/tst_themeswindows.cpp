// The Themes, Save-As and theme progress windows driven as a user would, on real folders with
// real scripts, and the main window's Themes menu.

#include "ThemeFixture.h"
#include "app/MainFrm.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/StatusLine.h"
#include "options/OptionTreeController.h"
#include "ini/IniFile.h"
#include "themes/ApplyThemeFrm.h"
#include "themes/ThemeStore.h"
#include "themes/ThemesFrm.h"
#include "themes/ThemesSaveAsFrm.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <functional>

using namespace testfiles;

namespace {

// Acts on each modal window that comes up while it lives, by object name.
struct ModalDriver
{
    QMap<QString, std::function<void(QWidget *)>> actions;
    QStringList seen;
    QTimer timer;
    QPointer<QWidget> last; // a window at the address of a closed one is a new window

    ModalDriver()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || modal == last)
                return;
            last = modal;
            seen.append(modal->objectName());
            // Acted on from the event loop, not from this timer, so that windows the action
            // opens in turn are still seen: a timer does not fire again inside its own slot.
            if (auto action = actions.value(modal->objectName())) {
                QPointer<QWidget> target(modal);
                QTimer::singleShot(0, modal, [action, target] {
                    if (target)
                        action(target);
                });
            }
        });
        timer.start();
    }
};

QString textOf(QWidget *w, const char *name)
{
    auto *label = w->findChild<QLabel *>(QString::fromLatin1(name));
    return label ? label->text() : QString();
}

QStringList rows(const QListWidget *list)
{
    QStringList names;
    for (int i = 0; i < list->count(); ++i)
        names.append(list->item(i)->text());
    return names;
}

} // namespace

class TestThemesWindows : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThemeFixture> f;
    std::unique_ptr<QWidget> m_owner;
    TThemesForm *m_themes = nullptr;
    TThemesSaveAsForm *m_saveAs = nullptr;
    TApplyThemeForm *m_apply = nullptr;
    int m_treeUpdates = 0;

    QPushButton *button(QWidget *w, const char *name) const
    {
        return w->findChild<QPushButton *>(QString::fromLatin1(name));
    }

    QListWidget *list() const { return m_themes->ListBox1(); }

    void open()
    {
        m_themes->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_themes, HangMs));
    }

    void select(const QString &name)
    {
        const QList<QListWidgetItem *> found = list()->findItems(name, Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        const QRect r = list()->visualItemRect(found.first());
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, r.center());
        QCOMPARE(list()->currentItem(), found.first());
    }

private Q_SLOTS:
    void init()
    {
        f = std::make_unique<ThemeFixture>();
        m_owner = std::make_unique<QWidget>();
        m_owner->setGeometry(200, 200, 600, 400);
        m_themes = new TThemesForm(m_owner.get());
        m_saveAs = new TThemesSaveAsForm(m_owner.get());
        m_apply = new TApplyThemeForm(m_owner.get());
        m_themes->SetSaveAsForm(m_saveAs);
        m_themes->SetApplyThemeForm(m_apply);
        m_treeUpdates = 0;
        m_themes->SetUpdateTreeView([this] { ++m_treeUpdates; });
        f->layout({S("Chat/Classic 3,selected,delay=150"), S("Chat/Compact 2"),
                   S("Bars/Red 5,selected,delay=20"), S("Bars/Blue 4")});
        f->theme(S("(Default)"),
                 ThemeFixture::themeText({S(".\\Options\\Chat\\Compact\\RunMe.sh")}));
        f->theme(S("Blue"), ThemeFixture::themeText({S(".\\Options\\Bars\\Blue\\RunMe.sh"),
                                                     S(".\\Options\\Chat\\Compact\\RunMe.sh")},
                                                    100));
    }

    void cleanup()
    {
        m_owner.reset();
        f.reset();
    }

    void windowsAsDesigned()
    {
        const Qt::WindowFlags buttons = Qt::WindowMinimizeButtonHint |
                                        Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowContextHelpButtonHint;
        QCOMPARE(m_themes->windowFlags() & buttons,
                 Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint);
        QCOMPARE(m_saveAs->windowFlags() & buttons,
                 Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint);
        QCOMPARE(m_apply->windowFlags() & buttons, Qt::WindowFlags());
        QVERIFY(m_apply->windowTitle().isEmpty());
        QCOMPARE(m_themes->windowTitle(), S("Themes"));
        QCOMPARE(m_saveAs->windowTitle(), S("Save As"));
        QVERIFY(m_themes->minimumSize() != m_themes->maximumSize()); // resizable
        QCOMPARE(m_saveAs->minimumSize(), m_saveAs->maximumSize());

        const QList<QStringList> controls{
            {S("btnSave"), S("Save"), S("Save selected theme")},
            {S("btnSaveAs"), S("Save As.."), S("Save new theme")},
            {S("btnDelete"), S("Delete"), S("Delete selected theme")},
            {S("btnOkay"), S("Ok"), S("Apply selected theme and close")},
            {S("btnCancel"), S("Cancel"), S("Close")},
            {S("btnApply"), S("Apply"), S("Apply selected theme")}};
        for (const QStringList &c : controls) {
            auto *b = m_themes->findChild<QPushButton *>(c[0]);
            QVERIFY2(b, qPrintable(c[0]));
            QCOMPARE(b->text(), c[1]);
            QCOMPARE(b->toolTip(), c[2]);
            QVERIFY(!b->isDefault() && !b->autoDefault());
        }
        QCOMPARE(textOf(m_themes, "Label1"), S("Available Themes:"));
        QVERIFY(m_themes->findChild<QListWidget *>(S("ListBox1")));
        QStringList order;
        QWidget *w = button(m_themes, "btnDelete");
        for (int i = 0; i < 7; ++i, w = w->nextInFocusChain()) {
            while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty() ||
                   w->objectName().startsWith(S("qt_")))
                w = w->nextInFocusChain();
            order.append(w->objectName());
        }
        QCOMPARE(order, (QStringList{S("btnDelete"), S("ListBox1"), S("btnSaveAs"), S("btnOkay"),
                                     S("btnCancel"), S("btnApply"), S("btnSave")}));

        QCOMPARE(textOf(m_saveAs, "Label1"), S("Theme Name:"));
        QVERIFY(button(m_saveAs, "btnOkay")->isDefault());
        QVERIFY(!button(m_saveAs, "btnOkay")->isEnabled());
        QCOMPARE(textOf(m_apply, "Label1"), S("Applying Theme..."));
        QCOMPARE(textOf(m_apply, "Label2"), S("Applying Option 1 of 50..."));
    }

    void refreshAndButtons()
    {
        f->theme(S("alpha"), ThemeFixture::themeText({}));
        QVERIFY(QDir().mkpath(f->themes() + S("Old.ini")));
        ProgramSettings.ThemeName = S("Blue");
        open();
        QCOMPARE(rows(list()), (QStringList{S("(Default)"), S("alpha"), S("Blue")}));
        QCOMPARE(list()->currentItem()->text(), S("Blue"));
        QCOMPARE(m_themes->PreselectedThemeName(), S("Blue"));
        QCOMPARE(m_themes->ShownThemeName(), S("Blue"));
        QCOMPARE(m_themes->Label2()->text(), S("Blue"));
        select(S("(Default)"));
        QVERIFY(!button(m_themes, "btnSave")->isEnabled());
        QVERIFY(!button(m_themes, "btnDelete")->isEnabled());
        // The refresh finds the active theme and leaves both as the click left them.
        m_themes->hide();
        open();
        QCOMPARE(list()->currentItem()->text(), S("Blue"));
        QVERIFY(!button(m_themes, "btnSave")->isEnabled());
        select(S("alpha"));
        QVERIFY(button(m_themes, "btnSave")->isEnabled());
        QVERIFY(button(m_themes, "btnDelete")->isEnabled());

        // Save on row 0 is refused with the box at 20, 100; the file stays.
        select(S("(Default)"));
        const QByteArray before = readAll(f->themes() + S("(Default).ini"));
        ModalDriver driver;
        QPoint where;
        driver.actions[S("DefaultThemeError")] = [&](QWidget *box) {
            where = box->pos();
            static_cast<QMessageBox *>(box)->done(QMessageBox::Ok);
        };
        m_themes->btnSaveClick();
        QCOMPARE(driver.seen, QStringList{S("DefaultThemeError")});
        QCOMPARE(where, QPoint(20, 100));
        QCOMPARE(readAll(f->themes() + S("(Default).ini")), before);

        // Delete removes the file and refreshes; the active theme gone, row 0 is chosen.
        select(S("Blue"));
        button(m_themes, "btnDelete")->click();
        QCOMPARE(rows(list()), (QStringList{S("(Default)"), S("alpha")}));
        QCOMPARE(list()->currentRow(), 0);
        QVERIFY(!button(m_themes, "btnDelete")->isEnabled());
    }

    void saveAsNewNameThenApply()
    {
        open();
        QCOMPARE(list()->currentItem()->text(), S("(Default)"));
        ModalDriver driver;
        QString prefilled;
        bool okBefore = true;
        driver.actions[S("ThemesSaveAsForm")] = [&](QWidget *w) {
            auto *edit = w->findChild<QLineEdit *>(S("edThemeFName"));
            prefilled = edit->text();
            okBefore = button(w, "btnOkay")->isEnabled();
            QTest::keyClicks(edit, S("Evening"));
            QTest::keyClick(edit, Qt::Key_Return);
        };
        button(m_themes, "btnSaveAs")->click();
        QCOMPARE(driver.seen, QStringList{S("ThemesSaveAsForm")});
        QCOMPARE(prefilled, QString());
        QVERIFY(!okBefore);
        QVERIFY(!m_saveAs->isVisible());
        QCOMPARE(ProgramSettings.ThemeName, S("Evening"));
        QCOMPARE(rows(list()), (QStringList{S("(Default)"), S("Blue"), S("Evening")}));
        QCOMPARE(list()->currentItem()->text(), S("Evening"));
        QCOMPARE(platform::IniFile(f->themes() + S("Evening.ini")).sections(),
                 (QStringList{S("Option0"), S("Option1")}));

        // Apply Blue: the marks are cleared, the progress window paces the two starts.
        select(S("Blue"));
        QStringList progress;
        driver.actions[S("ApplyThemeForm")] = [&](QWidget *w) {
            progress.append(textOf(w, "Label1"));
            // No caption, and not the application's name in its place either.
            QCOMPARE(w->windowTitle(), QString());
            QCOMPARE(w->windowHandle()->title(), S(" "));
            auto *poll = new QTimer(w);
            poll->setInterval(5);
            QObject::connect(poll, &QTimer::timeout, w, [w, poll, &progress] {
                const QString text = textOf(w, "Label2");
                if (!progress.contains(text))
                    progress.append(text);
                if (!w->isVisible())
                    poll->stop();
            });
            poll->start();
        };
        button(m_themes, "btnApply")->click();
        QVERIFY(driver.seen.contains(S("ApplyThemeForm")));
        QVERIFY(!m_apply->isVisible());
        QCOMPARE(progress, (QStringList{S("Applying Theme..."), S("Applying Option 1 of 2..."),
                                        S("Applying Option 2 of 2...")}));
        QCOMPARE(ProgramSettings.ThemeName, S("Blue"));
        QCOMPARE(m_treeUpdates, 1);
        QVERIFY(m_themes->isVisible());
        QCOMPARE(m_themes->Label2()->text(), S("2"));
        QVERIFY(!f->selected(S("Chat/Classic")));
        QCOMPARE(f->mode(S("Chat/Classic")), 2);
        QCOMPARE(f->mode(S("Bars/Red")), 4);
        QTRY_COMPARE_WITH_TIMEOUT(f->runs().size(), 2, HangMs);
        QStringList ran = f->ranFolders();
        ran.sort();
        QCOMPARE(ran, (QStringList{S("Bars/Blue"), S("Chat/Compact")}));
        QCOMPARE(m_apply->ProgressBar2()->maximum(), 100);
    }

    void saveAsRefusals()
    {
        open();
        select(S("Blue"));
        ModalDriver driver;
        QStringList prefilled;
        driver.actions[S("ThemesSaveAsForm")] = [&](QWidget *w) {
            auto *edit = w->findChild<QLineEdit *>(S("edThemeFName"));
            prefilled.append(edit->text());
            if (prefilled.size() == 1) {
                edit->setText(S("(default)"));
                button(w, "btnOkay")->click(); // refused: the window stays
                edit->setText(S("a/b"));
                button(w, "btnOkay")->click(); // refused: the window stays
                edit->clear();
                prefilled.append(button(w, "btnOkay")->isEnabled() ? S("enabled") : S("disabled"));
                button(w, "btnCancel")->click();
            }
        };
        QStringList messages;
        auto dismiss = [&](QWidget *box) {
            messages.append(static_cast<QMessageBox *>(box)->text());
            static_cast<QMessageBox *>(box)->done(QMessageBox::Ok);
        };
        driver.actions[S("DefaultThemeError")] = dismiss;
        driver.actions[S("GeneralErrorReport")] = dismiss;
        button(m_themes, "btnSaveAs")->click();
        QCOMPARE(prefilled.first(), S("Blue"));
        QCOMPARE(prefilled.last(), S("disabled"));
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[0], S("Error - You cannot change the (Default) Theme."));
        QVERIFY2(messages[1].startsWith(S("The theme name \"a/b\" cannot be used")),
                 qPrintable(messages[1]));
        QCOMPARE(rows(list()), (QStringList{S("(Default)"), S("Blue")}));
        QCOMPARE(ProgramSettings.ThemeName, S("(Default)"));
        QCOMPARE(readAll(f->themes() + S("(Default).ini")),
                 ThemeFixture::themeText({S(".\\Options\\Chat\\Compact\\RunMe.sh")}));
    }

    void okAndCancel_data()
    {
        QTest::addColumn<QString>("active");
        QTest::addColumn<QString>("choose");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QStringList>("ran");
        QTest::addColumn<QString>("after");
        const QStringList ok{S("btnOkay")};
        QTest::newRow("Ok on the active theme: nothing applied")
            << S("Blue") << QString() << ok << QStringList() << S("Blue");
        QTest::newRow("Ok after choosing another row: that row applied")
            << S("Blue") << S("(Default)") << ok << QStringList{S("Chat/Compact")}
            << S("(Default)");
        QTest::newRow("Ok after choosing another row, then the active one: nothing applied")
            << S("Blue") << S("(Default)|Blue") << ok << QStringList() << S("Blue");
        QTest::newRow("Ok when the active theme is not listed: the selected row")
            << S("Gone") << QString() << ok << QStringList{S("Chat/Compact")} << S("(Default)");
        QTest::newRow("Ok, not listed, another row chosen")
            << S("Gone") << S("Blue") << ok << QStringList{S("Bars/Blue"), S("Chat/Compact")}
            << S("Blue");
        QTest::newRow("Apply, then Ok applies a second time")
            << S("(Default)") << S("Blue") << QStringList{S("btnApply"), S("btnOkay")}
            << QStringList{S("Bars/Blue"), S("Bars/Blue"), S("Chat/Compact"), S("Chat/Compact")}
            << S("Blue");
        QTest::newRow("Cancel applies nothing")
            << S("Gone") << S("Blue") << QStringList{S("btnCancel")} << QStringList() << S("Gone");
    }

    void okAndCancel()
    {
        QFETCH(QString, active);
        QFETCH(QString, choose);
        QFETCH(QStringList, buttons);
        QFETCH(QStringList, ran);
        QFETCH(QString, after);
        ProgramSettings.ThemeName = active;
        open();
        for (const QString &row : choose.split(QLatin1Char('|'), Qt::SkipEmptyParts))
            select(row);
        ModalDriver driver; // lets the progress window run
        for (const QString &name : buttons)
            button(m_themes, name.toLatin1().constData())->click();
        QVERIFY(!m_themes->isVisible());
        QCOMPARE(ProgramSettings.ThemeName, after);
        QCOMPARE(f->selected(S("Chat/Classic")), ran.isEmpty());
        QCOMPARE(m_treeUpdates, ran.isEmpty() ? 0 : static_cast<int>(buttons.size()));
        QTRY_COMPARE_WITH_TIMEOUT(f->runs().size(), ran.size(), HangMs);
        QStringList folders = f->ranFolders();
        folders.sort();
        QCOMPARE(folders, ran);
    }

    void applyMessages_data()
    {
        QTest::addColumn<QString>("theme"); // Blue's new content; "dir": a folder instead
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("ran");
        QTest::addColumn<QString>("label");
        QTest::newRow("unreadable: reported, nothing cleared, the window stays")
            << S("dir") << S("GeneralErrorReport") << S("Unable to read theme Blue.")
            << QStringList() << S("Gone");
        QTest::newRow("entries outside the option folders: told after the apply")
            << S("/bin/sh|.\\..\\..\\bin\\sh|.\\Options\\Bars\\Blue\\RunMe.sh")
            << S("ThemeEntriesSkipped")
            << S("2 of the theme's entries were skipped: their scripts lie outside the option "
                 "folders.")
            << QStringList{S("Bars/Blue")} << S("3");
    }

    void applyMessages()
    {
        QFETCH(QString, theme);
        QFETCH(QString, box);
        QFETCH(QString, message);
        QFETCH(QStringList, ran);
        QFETCH(QString, label);
        ProgramSettings.ThemeName = S("Gone"); // so that Ok applies
        open();
        select(S("Blue"));
        QVERIFY(QFile::remove(f->themes() + S("Blue.ini")));
        if (theme == S("dir"))
            QVERIFY(QDir().mkpath(f->themes() + S("Blue.ini")));
        else
            f->theme(S("Blue"), ThemeFixture::themeText(theme.split(QLatin1Char('|'))));
        ModalDriver driver;
        QString shown;
        driver.actions[box] = [&](QWidget *w) {
            shown = static_cast<QMessageBox *>(w)->text();
            static_cast<QMessageBox *>(w)->done(QMessageBox::Ok);
        };
        button(m_themes, "btnApply")->click();
        QCOMPARE(shown, message);
        QVERIFY(m_themes->isVisible());
        QCOMPARE(f->selected(S("Chat/Classic")), ran.isEmpty());
        QCOMPARE(m_treeUpdates, ran.isEmpty() ? 0 : 1);
        QTRY_COMPARE_WITH_TIMEOUT(f->ranFolders(), ran, HangMs);
        QCOMPARE(m_themes->Label2()->text(), label);
        // Ok applies again and closes only when the apply succeeds.
        select(S("Blue"));
        button(m_themes, "btnOkay")->click();
        QCOMPARE(m_themes->isVisible(), ran.isEmpty());
    }

    // A theme file whose ".ini" is in another case is the theme listed: applied, saved over
    // (keeping its name) and deleted as that file.
    void themeFileInOtherCase_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("apply") << S("btnApply");
        QTest::newRow("save over") << S("btnSave");
        QTest::newRow("delete") << S("btnDelete");
    }

    void themeFileInOtherCase()
    {
        QFETCH(QString, button);
        const QByteArray amber = ThemeFixture::themeText({S(".\\Options\\Bars\\Blue\\RunMe.sh")});
        QVERIFY(writeAll(f->themes() + S("Amber.INI"), amber));
        open();
        QCOMPARE(rows(list()), (QStringList{S("(Default)"), S("Amber"), S("Blue")}));
        select(S("Amber"));
        ModalDriver driver;
        QStringList errors;
        driver.actions[S("GeneralErrorReport")] = [&](QWidget *box) {
            errors.append(static_cast<QMessageBox *>(box)->text());
            static_cast<QMessageBox *>(box)->done(QMessageBox::Ok);
        };
        this->button(m_themes, button.toLatin1().constData())->click();
        QCOMPARE(errors, QStringList());
        const QStringList files = QDir(f->themes()).entryList(QDir::Files, QDir::Name);
        if (button == S("btnApply")) {
            QCOMPARE(ProgramSettings.ThemeName, S("Amber"));
            QTRY_COMPARE_WITH_TIMEOUT(f->ranFolders(), QStringList{S("Bars/Blue")}, HangMs);
            QCOMPARE(files, (QStringList{S("(Default).ini"), S("Amber.INI"), S("Blue.ini")}));
        } else if (button == S("btnSave")) {
            // Saved from the marks of Chat/Classic and Bars/Red, into the same file.
            QCOMPARE(files, (QStringList{S("(Default).ini"), S("Amber.INI"), S("Blue.ini")}));
            QCOMPARE(platform::IniFile(f->themes() + S("Amber.INI")).sections().size(), 2);
            QCOMPARE(rows(list()), (QStringList{S("(Default)"), S("Amber"), S("Blue")}));
        } else {
            QCOMPARE(files, (QStringList{S("(Default).ini"), S("Blue.ini")}));
            QCOMPARE(rows(list()), (QStringList{S("(Default)"), S("Blue")}));
        }
    }

    // The number of entries an apply read stays in Label2 while the apply's own windows come
    // and go, and gives way to the active theme's name at the next activation.
    void entriesReadUntilNextActivation()
    {
        open();
        QVERIFY(QTest::qWaitForWindowActive(m_themes, HangMs));
        select(S("Blue"));
        {
            ModalDriver driver; // lets the progress window run
            button(m_themes, "btnApply")->click();
            QVERIFY(driver.seen.contains(S("ApplyThemeForm")));
        }
        QCOMPARE(m_themes->Label2()->text(), S("2"));
        // Back from the progress window, as a window manager hands the focus back.
        m_themes->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_themes, HangMs));
        QCOMPARE(m_themes->Label2()->text(), S("2"));

        QWidget other;
        other.setGeometry(50, 50, 200, 100);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other, HangMs));
        QCOMPARE(m_themes->Label2()->text(), S("2"));
        m_themes->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_themes, HangMs));
        QCOMPARE(m_themes->Label2()->text(), S("Blue"));
    }

    void emptyFolderStartsTheFirstTheme()
    {
        QVERIFY(QFile::remove(f->themes() + S("(Default).ini")));
        QVERIFY(QFile::remove(f->themes() + S("Blue.ini")));
        open();
        QCOMPARE(list()->count(), 0);
        for (const char *name : {"btnSave", "btnDelete", "btnApply"})
            QVERIFY2(!button(m_themes, name)->isEnabled(), name);
        ModalDriver driver;
        driver.actions[S("ThemesSaveAsForm")] = [&](QWidget *w) {
            QTest::keyClicks(w->findChild<QLineEdit *>(S("edThemeFName")), S("First"));
            button(w, "btnOkay")->click();
        };
        button(m_themes, "btnSaveAs")->click();
        QCOMPARE(rows(list()), QStringList{S("First")});
        QVERIFY(button(m_themes, "btnApply")->isEnabled());
    }

    void themesMenu_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("visible");
        QTest::newRow("hidden by default") << QByteArray() << false;
        QTest::newRow("shown by the pack") << QByteArray("ShowThemesMenu=1\n") << true;
        QTest::newRow("switched off") << QByteArray("ShowThemesMenu=0\n") << false;
    }

    void themesMenu()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, visible);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(f->root() + S("config")));
        const QString iniPath = f->program() + S("varimond.ini");
        QVERIFY(writeAll(iniPath, "[Settings]\nCheckInterfaceMode=0\n" + ini));
        TMainForm form(f->program() + S("varimond"));
        form.CreateForms();
        QVERIFY(form.FormShow());
        form.ShowMainWindow();
        auto *themes1 = form.findChild<QAction *>(S("Themes1"));
        QCOMPARE(themes1->isVisible(), visible);
        QCOMPARE(ProgramSettings.ShowThemesMenu, visible);
        // The copy of the shipped themes was made at this first run.
        QVERIFY(QFileInfo::exists(f->root() + S("config/varimond/Themes/Blue.ini")));

        // The menu opens the Themes window; an apply rebuilds the main window's tree.
        ModalDriver driver;
        driver.actions[S("ThemesForm")] = [&](QWidget *w) {
            auto *t = static_cast<TThemesForm *>(w);
            const QList<QListWidgetItem *> blue =
                t->ListBox1()->findItems(S("Blue"), Qt::MatchExactly);
            t->ListBox1()->setCurrentItem(blue.first());
            button(t, "btnApply")->click();
            button(t, "btnCancel")->click();
        };
        QVERIFY(f->selected(S("Chat/Classic")));
        QCOMPARE(FindNode(form.TreeController()->Tree(), S("Chat/Classic"))->StateIndex, 3);
        themes1->trigger();
        QVERIFY(driver.seen.contains(S("ThemesForm")));
        QCOMPARE(ProgramSettings.ThemeName, S("Blue"));
        QVERIFY(!f->selected(S("Chat/Classic")));
        QCOMPARE(FindNode(form.TreeController()->Tree(), S("Chat/Classic"))->StateIndex, 2);
        // The status line tells of the theme, not of the rebuild that followed it.
        QCOMPARE(TheStatusLine().Text(), S("Theme Blue applied: 2 options"));

        QVERIFY(form.close());
        const QByteArray saved = readAll(iniPath);
        QCOMPARE(saved.contains("ShowThemesMenu"), !ini.isEmpty());
        if (!ini.isEmpty())
            QVERIFY(saved.contains(ini));
        QCOMPARE(platform::IniFile(iniPath).readString(S("ActiveTheme"), S("ThemeName"), QString()),
                 S("Blue"));
    }
};

QTEST_MAIN(TestThemesWindows)
#include "tst_themeswindows.moc"
