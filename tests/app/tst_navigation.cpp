// Finding one's way in the real main window: the tree's filter, the folders remembered per
// pack, File > Recent Packs, the keys, the status line below the panels, and the preview
// pictures' viewer and strip.
#include "app/MainFrm.h"
#include "app/PackChoice.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "core/StatusLine.h"
#include "docs/DocumentPane.h"
#include "docs/PreviewStrip.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"
#include "ini/IniFile.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace testfiles;

class TestNavigation : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_home;
    std::unique_ptr<TMainForm> m_form;

    QString pack() const { return m_dir->filePath(S("pack")); }
    QString options() const { return pack() + S("/Options/"); }
    // Inside the pack: its scripts write nowhere else.
    QString runLog() const { return pack() + S("/runs.log"); }

    void option(const QString &rel, int mode)
    {
        const QString folder = options() + rel + S("/");
        QVERIFY(writeAll(folder + S("options.ini"),
                         "[RunMe]\nOptionRunMeFName=RunMe.sh\nOptionRunMe2FName=\n"
                         "[Mode]\nOptionMode=" +
                             QByteArray::number(mode) + "\n"));
        QVERIFY(writeAll(folder + S("RunMe.sh"), "#!/bin/sh\necho \"$(basename \"$(pwd)\")\" >> '" +
                                                     runLog().toUtf8() + "'\n"));
    }

    // Colours/Glass Teal, Colours/Warm/Crème, Colours/Warm/Deep/{Teal Night, Dawn} (Dawn
    // selected), Fonts/Small, Fonts/Large.
    void samplePack()
    {
        option(S("Colours/Glass Teal"), 2);
        option(S("Colours/Warm/Crème"), 2);
        option(S("Colours/Warm/Deep/Teal Night"), 2);
        option(S("Colours/Warm/Deep/Dawn"), 3);
        option(S("Fonts/Small"), 2);
        option(S("Fonts/Large"), 2);
        QVERIFY(writeAll(options() + S("HowTo.txt"), "How to use this pack.\n"));
    }

    void start()
    {
        QVERIFY(writeAll(pack() + S("/varimond.ini"),
                         "[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n"));
        m_form = std::make_unique<TMainForm>(pack() + S("/varimond"));
        m_form->CreateForms();
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get(), HangMs));
    }

    QTreeView *view() const { return m_form->findChild<QTreeView *>(S("TreeView1")); }
    QLineEdit *filterEdit() const { return m_form->findChild<QLineEdit *>(S("edFilter")); }
    OptionTreeController *tree() const { return m_form->TreeController(); }
    OptionNode *node(const char *rel) const { return FindNode(tree()->Tree(), S(rel)); }
    QModelIndex indexOf(const char *rel) const { return tree()->IndexOf(node(rel)); }

    // The rows a user sees: every row below expanded parents that is not hidden, as paths.
    QStringList shownRows() const
    {
        QStringList rows;
        QModelIndex first;
        for (int row = 0; row < view()->model()->rowCount() && !first.isValid(); ++row) {
            if (!view()->isRowHidden(row, QModelIndex()))
                first = view()->model()->index(row, 0);
        }
        for (QModelIndex i = first; i.isValid(); i = view()->indexBelow(i))
            rows.append(SrNodeTree(tree()->NodeAt(i), QString()).chopped(1));
        return rows;
    }

    void typeFilter(const QString &text)
    {
        QTest::keyClick(m_form.get(), Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(filterEdit()->isVisible(), HangMs);
        QVERIFY(filterEdit()->hasFocus());
        QTest::keyClicks(filterEdit(), text);
    }

    QString statusShown() const
    {
        return m_form->findChild<QLabel *>(S("lblStatusLine"))->property("fullText").toString();
    }

    // Look/Three, a ReadMe and three pictures, selected in the window at its default size.
    void startWithPictures()
    {
        const QString option = options() + S("Look/Three/");
        QVERIFY(writeAll(option + S("options.ini"), "[Mode]\nOptionMode=2\n"));
        QVERIFY(writeAll(option + S("ReadMe.txt"), QByteArray("A line.\n").repeated(40)));
        QImage picture(1200, 900, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        for (const char *name : {"Preview.png", "Preview1.png", "Preview2.png"})
            QVERIFY(picture.save(option + S(name)));
        start();
        QCOMPARE(m_form->size(), QSize(500, 250));
        view()->setExpanded(indexOf("Look"), true);
        view()->setCurrentIndex(indexOf("Look/Three"));
        QTRY_COMPARE_WITH_TIMEOUT(strip()->pictures().size(), 3, HangMs);
    }

    PreviewStrip *strip() const { return m_form->findChild<PreviewStrip *>(S("PreviewStrip")); }

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
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir->filePath(S("config"))));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->filePath(S("state"))));
        samplePack();
    }

    void cleanup()
    {
        m_form.reset();
        m_dir.reset();
    }

    void filterShowsMatchesWithTheirFolders_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("status");
        QTest::newRow("three levels deep and one level down")
            << S("teal")
            << QStringList{S("Colours"), S("Colours/Glass Teal"), S("Colours/Warm"),
                           S("Colours/Warm/Deep"), S("Colours/Warm/Deep/Teal Night")}
            << S("2 options match \"teal\"");
        QTest::newRow("accented name from plain letters")
            << S("creme") << QStringList{S("Colours"), S("Colours/Warm"), S("Colours/Warm/Crème")}
            << S("1 option matches \"creme\"");
        QTest::newRow("nothing") << S("violet") << QStringList{} << S("0 options match \"violet\"");
    }

    void filterShowsMatchesWithTheirFolders()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, rows);
        QFETCH(QString, status);
        start();
        typeFilter(text);
        QCOMPARE(shownRows(), rows);
        QCOMPARE(statusShown(), status);
        // The part of each shown name that matched is the one marked.
        if (text == S("teal")) {
            const OptionFilterIndex::Range range = tree()->MatchIn(node("Colours/Glass Teal"));
            QCOMPARE(range.Start, 6);
            QCOMPARE(range.Length, 4);
            QVERIFY(!tree()->MatchIn(node("Colours/Warm")).IsValid());
        }
    }

    // The selection rules act on the whole group, also on the options the filter hides.
    void tickInTheFilteredTreeClearsAHiddenSibling()
    {
        start();
        typeFilter(S("night"));
        QCOMPARE(shownRows().last(), S("Colours/Warm/Deep/Teal Night"));
        QVERIFY(!shownRows().contains(S("Colours/Warm/Deep/Dawn")));
        view()->setFocus();
        view()->setCurrentIndex(indexOf("Colours/Warm/Deep/Teal Night"));
        QTest::keyClick(view(), Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(runLog()).contains("Teal Night\n"), HangMs);
        QCOMPARE(node("Colours/Warm/Deep/Teal Night")->StateIndex, 3);
        QCOMPARE(node("Colours/Warm/Deep/Dawn")->StateIndex, 2);
        QCOMPARE(platform::IniFile::readInteger(options() + S("Colours/Warm/Deep/Dawn/options.ini"),
                                                S("Mode"), S("OptionMode"), -1),
                 2);
        QCOMPARE(statusShown(), S("Teal Night selected; RunMe.sh started"));
    }

    void escapeBringsBackExpansionAndSelection_data()
    {
        QTest::addColumn<bool>("fromTheTree");
        QTest::newRow("in the filter line") << false;
        QTest::newRow("in the filtered tree") << true;
    }

    void escapeBringsBackExpansionAndSelection()
    {
        start();
        view()->setExpanded(indexOf("Fonts"), true);
        view()->setCurrentIndex(indexOf("Fonts/Small"));
        const QStringList before = shownRows();
        QCOMPARE(before,
                 (QStringList{S("Colours"), S("Fonts"), S("Fonts/Large"), S("Fonts/Small")}));
        typeFilter(S("teal"));
        QVERIFY(!shownRows().contains(S("Fonts")));
        // Moving about in the filtered tree changes nothing that Esc brings back.
        view()->setCurrentIndex(indexOf("Colours/Glass Teal"));
        QFETCH(bool, fromTheTree);
        if (fromTheTree) {
            view()->setFocus();
            QTest::keyClick(view(), Qt::Key_Escape);
        } else {
            filterEdit()->setFocus();
            QTest::keyClick(filterEdit(), Qt::Key_Escape);
        }
        QVERIFY(!filterEdit()->isVisible());
        QVERIFY(filterEdit()->text().isEmpty());
        QCOMPARE(shownRows(), before);
        QCOMPARE(tree()->SelectedNode(), node("Fonts/Small"));
        // Folder icons follow: Colours is closed again.
        QCOMPARE(node("Colours")->StateIndex, int(FolderClosed));
        QCOMPARE(node("Fonts")->StateIndex, int(FolderOpen));
    }

    void expandedFoldersComeBackAtTheNextStart()
    {
        start();
        view()->setExpanded(indexOf("Colours"), true);
        view()->setExpanded(indexOf("Colours/Warm"), true);
        // A filter open at the close does not count: the user's own expansion is kept.
        typeFilter(S("small"));
        QVERIFY(m_form->close());
        m_form.reset();
        QVERIFY(QFileInfo(packs::expandedListPath(pack())).isFile());
        QVERIFY(!QFileInfo::exists(pack() + S("/varimond.ini.expanded")));
        QVERIFY(!readAll(pack() + S("/varimond.ini")).contains("Colours"));

        ProgramSettings = TProgramSettings{};
        start();
        QCOMPARE(shownRows(),
                 (QStringList{S("Colours"), S("Colours/Glass Teal"), S("Colours/Warm"),
                              S("Colours/Warm/Crème"), S("Colours/Warm/Deep"), S("Fonts")}));
        QVERIFY(!tree()->SelectedNode());
    }

    void recentPacksMenu()
    {
        const QString gone = m_dir->filePath(S("Gone Pack"));
        const QString other = m_dir->filePath(S("Other & Co"));
        QVERIFY(QDir().mkpath(other + S("/Options")));
        QVERIFY(packs::rememberPack(other));
        QVERIFY(packs::rememberPack(gone));
        QVERIFY(packs::rememberPack(pack()));
        start();
        auto *menu = m_form->findChild<QMenu *>(S("FileRecentPacksItem"));
        QVERIFY(menu);
        m_form->FileRecentPacksPopulate();
        const QList<QAction *> items = menu->actions();
        QCOMPARE(items.size(), 3);
        QCOMPARE(items[0]->data().toString(), pack());
        QVERIFY(items[0]->isChecked());
        QVERIFY(items[0]->isEnabled());
        QCOMPARE(items[1]->data().toString(), gone);
        QVERIFY(!items[1]->isEnabled());
        QCOMPARE(items[2]->data().toString(), other);
        QVERIFY(items[2]->isEnabled() && !items[2]->isChecked());
        // An ampersand of a folder name is shown, not taken as an access key.
        QVERIFY(items[2]->text().endsWith(S("Other && Co")));
        // The pack of this run chosen again switches nothing.
        items[0]->trigger();
        QVERIFY(m_form->isVisible());
        // Another one does what Open Pack does: this run closes, saving its pack's settings and
        // its open folders, and the program starts again on the chosen pack. (The program here
        // is this test, which declines --pack with a usage message.)
        view()->setExpanded(indexOf("Fonts"), true);
        QFile::remove(pack() + S("/varimond.ini"));
        items[2]->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->isVisible(), HangMs);
        QVERIFY(QFileInfo(pack() + S("/varimond.ini")).isFile());
        QCOMPARE(packs::readExpanded(pack()), QStringList{S("Fonts/")});
    }

    void keys()
    {
        start();
        // F5 reads the folders again: a new option appears, the open folder stays open.
        view()->setExpanded(indexOf("Fonts"), true);
        option(S("Fonts/Tiny"), 2);
        QTest::keyClick(m_form.get(), Qt::Key_F5);
        QTRY_VERIFY_WITH_TIMEOUT(node("Fonts/Tiny"), HangMs);
        QVERIFY(shownRows().contains(S("Fonts/Tiny")));
        QCOMPARE(statusShown(), S("7 options in 4 folders"));

        // F1 shows the How To document.
        QTest::keyClick(m_form.get(), Qt::Key_F1);
        QTRY_VERIFY_WITH_TIMEOUT(
            m_form->Pane()->RichEdit()->toPlainText().contains(S("How to use this pack.")), HangMs);

        // Ctrl+O asks for a pack folder.
        QString asked;
        QTimer::singleShot(200, this, [&asked] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                asked = dialog->windowTitle();
                dialog->reject();
            }
        });
        QTest::keyClick(m_form.get(), Qt::Key_O, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(asked, S("Open Pack"), HangMs);
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get(), HangMs));

        // Ctrl+Q closes the window the normal way, saving the settings.
        QFile::remove(pack() + S("/varimond.ini"));
        QTest::keyClick(m_form.get(), Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->isVisible(), HangMs);
        QVERIFY(QFileInfo(pack() + S("/varimond.ini")).isFile());
    }

    void longStatusTextsAreElided()
    {
        start();
        const QString text =
            S("Theme ") + QString(400, QLatin1Char('x')) + S(" applied: 3 options");
        TheStatusLine().Show(text);
        auto *label = m_form->findChild<QLabel *>(S("lblStatusLine"));
        QCOMPARE(statusShown(), text);
        QVERIFY(label->text().size() < text.size());
        QVERIFY(label->text().endsWith(QChar(0x2026)));
        // One line, whatever the text holds.
        TheStatusLine().Show(S("RunMe.bat of Classic\nended"));
        QCOMPARE(statusShown(), S("RunMe.bat of Classic ended"));
    }

    void viewerKeysStepWhereverTheFocusIs_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("from");
        QTest::addColumn<bool>("zoomed");
        QTest::addColumn<int>("to");
        QTest::newRow("Right") << int(Qt::Key_Right) << 1 << false << 2;
        QTest::newRow("Left") << int(Qt::Key_Left) << 1 << false << 0;
        QTest::newRow("Page Down") << int(Qt::Key_PageDown) << 0 << false << 1;
        QTest::newRow("Home") << int(Qt::Key_Home) << 2 << false << 0;
        QTest::newRow("End") << int(Qt::Key_End) << 0 << false << 2;
        QTest::newRow("Right scrolls a zoomed picture") << int(Qt::Key_Right) << 1 << true << 1;
    }

    void viewerKeysStepWhereverTheFocusIs()
    {
        QFETCH(int, key);
        QFETCH(int, from);
        QFETCH(bool, zoomed);
        QFETCH(int, to);
        startWithPictures();
        auto *tile = strip()->findChild<QToolButton *>(S("Preview%1").arg(from + 1));
        QTRY_VERIFY_WITH_TIMEOUT(tile && tile->isVisible(), HangMs);
        QTest::mouseClick(tile, Qt::LeftButton);
        PreviewViewer *viewer = strip()->viewer();
        QVERIFY(QTest::qWaitForWindowActive(viewer, HangMs));
        QTRY_VERIFY_WITH_TIMEOUT(!viewer->picture().isNull(), 60000);
        if (zoomed)
            viewer->zoomBy(4);
        auto *area = viewer->findChild<QScrollArea *>(S("PictureArea"));
        QTest::mouseClick(area->viewport(), Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), area);
        QTest::keyClick(area, Qt::Key(key));
        QCOMPARE(viewer->currentIndex(), to);
    }

    void readMeKeepsThreeQuartersAndAllWithTheStripHidden()
    {
        startWithPictures();
        auto *text = m_form->findChild<QTextBrowser *>(S("RichEdit1"));
        view()->setCurrentIndex(indexOf("Fonts/Small")); // no pictures: the whole pane
        QTRY_VERIFY_WITH_TIMEOUT(!strip()->isVisible(), HangMs);
        const int all = text->height();
        view()->setCurrentIndex(indexOf("Look/Three"));
        QTRY_VERIFY_WITH_TIMEOUT(strip()->isVisible() && text->height() < all, HangMs);
        QVERIFY2(text->height() * 4 >= all * 3,
                 qPrintable(S("%1 of %2").arg(text->height()).arg(all)));
        auto *button = m_form->findChild<QToolButton *>(S("sbtnPreviewStrip"));
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(text->height(), all, HangMs);
        QVERIFY(!strip()->isVisible());

        // Still hidden after a restart; the choice is not in the pack's settings.
        QVERIFY(m_form->close());
        QVERIFY(!readAll(pack() + S("/varimond.ini")).toLower().contains("strip"));
        m_form.reset();
        startWithPictures();
        QVERIFY(!strip()->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(m_form->findChild<QTextBrowser *>(S("RichEdit1"))->height(), all,
                                  HangMs);
    }
};

QTEST_MAIN(TestNavigation)
#include "tst_navigation.moc"
