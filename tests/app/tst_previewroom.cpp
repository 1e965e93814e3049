// An option's preview pictures in the real main window: the viewer's keys wherever the focus
// is, and the room the strip leaves the ReadMe at the window's default size.
#include "app/MainFrm.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "core/Common.h"
#include "docs/DocumentPane.h"
#include "docs/PreviewStrip.h"
#include "options/OptionTreeController.h"

#include <QApplication>
#include <QLayout>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace testfiles;

class TestPreviewRoom : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_home;
    std::unique_ptr<TMainForm> m_form;

    QString pack() const { return m_dir->filePath(S("pack")); }

    // The main window at its default size with the option of three pictures selected.
    void start()
    {
        m_form = std::make_unique<TMainForm>(pack() + S("/varimond"));
        m_form->CreateForms();
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QCOMPARE(m_form->size(), QSize(500, 250));
        m_form->findChild<QToolButton *>(S("sbtnExpand"))->click();
        OptionTreeController *tree = m_form->TreeController();
        m_form->findChild<QTreeView *>(S("TreeView1"))
            ->setCurrentIndex(tree->IndexOf(FindNode(tree->Tree(), S("Look/Three"))));
        QTRY_COMPARE(strip()->pictures().size(), 3);
    }

    PreviewStrip *strip() const { return m_form->findChild<PreviewStrip *>(S("PreviewStrip")); }
    QToolButton *button() const { return m_form->findChild<QToolButton *>(S("sbtnPreviewStrip")); }

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
        QVERIFY(writeAll(pack() + S("/varimond.ini"),
                         "[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\n"));
        const QString option = pack() + S("/Options/Look/Three/");
        QVERIFY(writeAll(option + S("options.ini"), "[Mode]\nOptionMode=2\n"));
        QVERIFY(writeAll(option + S("ReadMe.txt"), QByteArray("A line.\n").repeated(40)));
        QImage picture(1200, 900, QImage::Format_RGB32);
        for (const char *name : {"Preview.png", "Preview1.png", "Preview2.png"}) {
            picture.fill(Qt::darkCyan);
            QVERIFY(picture.save(option + S(name)));
        }
    }

    void cleanup()
    {
        m_form.reset();
        m_dir.reset();
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
        start();
        auto *tile = strip()->findChild<QToolButton *>(S("Preview%1").arg(from + 1));
        QTRY_VERIFY(tile && tile->isVisible());
        QTest::mouseClick(tile, Qt::LeftButton);
        PreviewViewer *viewer = strip()->viewer();
        QVERIFY(viewer);
        QVERIFY(QTest::qWaitForWindowActive(viewer));
        QTRY_VERIFY_WITH_TIMEOUT(!viewer->picture().isNull(), 60000);
        if (zoomed)
            viewer->zoomBy(4);
        auto *area = viewer->findChild<QWidget *>(S("PictureArea"));
        QTest::mouseClick(qobject_cast<QAbstractScrollArea *>(area)->viewport(), Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), area);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(viewer->currentIndex(), to);
    }

    void readMeKeepsThreeQuartersAndAllWithTheStripHidden()
    {
        start();
        const auto text = [this] { return m_form->findChild<QTextBrowser *>(S("RichEdit1")); };
        const auto document = [this] {
            const auto *area = m_form->findChild<QWidget *>(S("DocumentArea"));
            return area ? area->layout()->contentsRect() : QRect();
        };
        QTRY_VERIFY(strip()->isVisible());
        QVERIFY2(text()->height() * 4 >= document().height() * 3,
                 qPrintable(S("%1 of %2").arg(text()->height()).arg(document().height())));

        QVERIFY(button());
        QTest::mouseClick(button(), Qt::LeftButton);
        QTRY_COMPARE(text()->geometry(), document());
        QVERIFY(!strip()->isVisible());

        // After a restart the strip stays hidden; the choice is not in the pack's settings.
        QVERIFY(m_form->close());
        m_form.reset();
        QVERIFY(!readAll(pack() + S("/varimond.ini")).toLower().contains("strip"));
        start();
        QVERIFY(!button()->isChecked());
        QVERIFY(!strip()->isVisible());
        QTRY_COMPARE(text()->geometry(), document());
    }
};

QTEST_MAIN(TestPreviewRoom)
#include "tst_previewroom.moc"
