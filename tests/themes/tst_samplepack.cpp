// The sample pack as a user gets it: its own scripts keep the options' marks, so that a theme
// applied with them leaves the tree showing the theme's options, Save As records what is
// ticked, and a tick moves the mark within its group.
#include "app/MainFrm.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"
#include "ini/IniFile.h"
#include "themes/ThemeStore.h"
#include "themes/ThemesFrm.h"

#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace testfiles;

class TestSamplePack : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_pack;

    QString options() const { return m_pack + S("Options/"); }
    bool marked(const QString &rel) const
    {
        return QFileInfo::exists(options() + rel + S("/Selected.ini"));
    }
    int mode(const QString &rel) const
    {
        return platform::IniFile::readInteger(options() + rel + S("/options.ini"), S("Mode"),
                                              S("OptionMode"), -1);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_pack = m_dir.filePath(S("pack/"));
        QVERIFY(QDir().mkpath(m_pack));
        QCOMPARE(QProcess::execute(S("cp"), {S("-R"), S(VARIMOND_SOURCE_DIR "/demo/."), m_pack}),
                 0);
        // Hidden starts: no terminal opens, whatever the machine has.
        QVERIFY(writeAll(m_pack + S("varimond.ini"), "[Settings]\nShowThemesMenu=1\nHideShell=1\n"
                                                     "CheckInterfaceMode=0\n"));
        qputenv("HOME", QFile::encodeName(m_dir.filePath(S("home"))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(S("config"))));
        qunsetenv("WINEPREFIX");
        qunsetenv("DISPLAY");
        ProgramSettings = TProgramSettings{};
    }

    void themeAppliedWithTheSamplesScripts()
    {
        TMainForm form(m_pack + S("varimond"));
        form.CreateForms();
        QVERIFY(form.FormShow());
        form.ShowMainWindow();
        OptionTree &tree = form.TreeController()->Tree();
        const QStringList chat{S("Chat Window/Classic"), S("Chat Window/Compact"),
                               S("Chat Window/Transparent")};
        const QStringList bars{
            S("Health Bars/Colours/Cool/Blue"), S("Health Bars/Colours/Cool/Teal"),
            S("Health Bars/Colours/Warm/Amber"), S("Health Bars/Colours/Warm/Red Orange")};
        QCOMPARE(FindNode(tree, chat[0])->StateIndex, 3);
        QCOMPARE(FindNode(tree, bars[3])->StateIndex, 5);

        // Cool Blue through the Themes window: the clear, then the sample's scripts.
        TThemesForm *themes = form.GetForms().Themes;
        themes->show();
        const QList<QListWidgetItem *> row =
            themes->ListBox1()->findItems(S("Cool Blue"), Qt::MatchExactly);
        QCOMPARE(row.size(), 1);
        themes->ListBox1()->setCurrentItem(row.first());
        themes->findChild<QPushButton *>(S("btnApply"))->click();
        QCOMPARE(ProgramSettings.ThemeName, S("Cool Blue"));
        themes->hide();

        // The tree read again after the theme's last delay shows the theme's options ticked.
        const QList<int> chatStates{2, 3, 2};
        const QList<int> barStates{5, 4, 4, 4};
        for (int i = 0; i < chat.size(); ++i) {
            QCOMPARE(FindNode(tree, chat[i])->StateIndex, chatStates[i]);
            QCOMPARE(marked(chat[i]), chatStates[i] == 3);
        }
        for (int i = 0; i < bars.size(); ++i) {
            QCOMPARE(FindNode(tree, bars[i])->StateIndex, barStates[i]);
            QCOMPARE(marked(bars[i]), barStates[i] == 5);
        }

        // Save As records what is ticked.
        QCOMPARE(SaveTheme(ProgramSettings, S("Mine")), 2);
        QCOMPARE(platform::IniFile(m_pack + S("Themes/Mine.ini"))
                     .readString(S("Option0"), S("RunMeFName"), QString()),
                 S(".\\Options\\Chat Window\\Compact\\RunMe.sh"));
        QCOMPARE(platform::IniFile(m_pack + S("Themes/Mine.ini"))
                     .readString(S("Option1"), S("RunMeFName"), QString()),
                 S(".\\Options\\Health Bars\\Colours\\Cool\\Blue\\RunMe.sh"));

        // A tick of Amber: its script moves the mark across the linked colour group.
        auto *view = form.findChild<QTreeView *>(S("TreeView1"));
        view->setCurrentIndex(form.TreeController()->IndexOf(FindNode(tree, bars[2])));
        form.ApplyChanges();
        QTRY_VERIFY_WITH_TIMEOUT(marked(bars[2]) && !marked(bars[0]), HangMs);
        QCOMPARE(mode(bars[2]), 5);
        QCOMPARE(mode(bars[0]), 4);
        QVERIFY(marked(chat[1]));
    }
};

QTEST_MAIN(TestSamplePack)
#include "tst_samplepack.moc"
