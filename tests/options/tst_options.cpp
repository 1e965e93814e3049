// The option tree as it is read from disk: the state rules, the descriptor and its no-script
// rule, the folder of a node, the tree view with its folder icons and buttons, and folders that
// would trip up a careless walk (link loops, very deep chains, paths too long to open).
#include "common/TestTree.h"
#include "common/TestFiles.h"
#include "core/Common.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "options/OptionTreeController.h"
#include "options/OptionTreeModel.h"
#include "options/StateIcons.h"
#include "files/Error.h"
#include "ini/IniFile.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testfiles;

namespace {

// An option folder below @p root: its descriptor holds @p mode (none when mode is empty), and
// it gets a RunMe.bat when @p script is set.
void makeOption(const QString &root, const QString &relative, const QVariant &mode,
                bool script = true)
{
    const QString folder = root + relative + QLatin1Char('/');
    QVERIFY(QDir().mkpath(folder));
    if (mode.isValid())
        QVERIFY(writeAll(folder + S("options.ini"),
                         "[Mode]\r\nOptionMode=" + mode.toString().toLatin1() + "\r\n"));
    if (script)
        QVERIFY(writeAll(folder + S("RunMe.bat"), "@echo off\r\n"));
}

int stateOf(const OptionTree &tree, const QString &relative)
{
    const OptionNode *node = FindNode(tree, relative);
    return node ? node->StateIndex : -1000;
}

QStringList names(const std::vector<std::unique_ptr<OptionNode>> &nodes)
{
    QStringList list;
    for (const auto &n : nodes)
        list << n->Text();
    return list;
}

int height(const OptionTree &tree)
{
    int deepest = 0;
    tree.ForEach([&](OptionNode *n) { deepest = std::max(deepest, n->Level() + 1); });
    return deepest;
}

// Every node's parent link and row agree with where the node sits.
bool sound(const OptionTree &tree)
{
    bool ok = true;
    auto check = [&](const std::vector<std::unique_ptr<OptionNode>> &list, OptionNode *parent) {
        for (size_t i = 0; i < list.size(); ++i)
            ok = ok && list[i]->Parent == parent && list[i]->Row == static_cast<int>(i) &&
                 tree.IndexOf(list[i].get()) == static_cast<int>(i);
    };
    check(tree.TopLevel(), nullptr);
    tree.ForEach([&](OptionNode *n) { check(n->Children, n); });
    return ok;
}

// A chain of @p depth folders named "d", built with descriptors relative to each level, so the
// chain may go deeper than any path the platform accepts.
bool makeChain(const QString &root, int depth)
{
    int fd = ::open(QFile::encodeName(root).constData(), O_DIRECTORY | O_RDONLY);
    if (fd < 0)
        return false;
    for (int i = 0; i < depth; ++i) {
        if (::mkdirat(fd, "d", 0755) != 0) {
            ::close(fd);
            return false;
        }
        const int next = ::openat(fd, "d", O_DIRECTORY | O_RDONLY);
        ::close(fd);
        if (next < 0)
            return false;
        fd = next;
    }
    ::close(fd);
    return true;
}

// Removes such a chain one level at a time from the top, by lifting the rest of it up.
void removeChain(const QString &root)
{
    const QByteArray top = QFile::encodeName(root + S("/d"));
    const QByteArray second = QFile::encodeName(root + S("/d/d"));
    const QByteArray lifted = QFile::encodeName(root + S("/lifted"));
    while (::access(top.constData(), F_OK) == 0) {
        if (::access(second.constData(), F_OK) == 0) {
            if (::rename(second.constData(), lifted.constData()) != 0)
                return;
            ::rmdir(top.constData());
            ::rename(lifted.constData(), top.constData());
        } else {
            ::rmdir(top.constData());
        }
    }
}

bool symlinkTo(const QString &target, const QString &link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) ==
           0;
}

struct Scan
{
    OptionTree tree;
    int count = 0;
};

} // namespace

class TestOptions : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    QString m_root; // the options root, ending in '/'

    void scan(Scan &s, const OptionScanLimits &limits = {})
    {
        GetDirectories(s.tree, m_root, nullptr, s.count, {}, limits);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The defaults the program starts with: a settings file that does not exist.
        QTemporaryDir none;
        ProgramSettings.ProgramDir = none.path() + S("/");
        ProgramSettings.ProgramIniFName = S("missing.ini");
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(ProgramSettings, sizes);
        QCOMPARE(ProgramSettings.OptionsDir, S("Options"));
        QCOMPARE(ProgramSettings.DefaultRunMeFName, S("RunMe.bat"));
    }

    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        ProgramSettings.ProgramDir = m_dir->path() + S("/");
        ProgramSettings.OptionsDir = S("Options");
        m_root = ProgramSettings.optionsRoot();
        QVERIFY(QDir().mkpath(m_root));
    }

    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void topLevelRule_data()
    {
        QTest::addColumn<QVariant>("mode");
        QTest::addColumn<bool>("script");
        QTest::addColumn<int>("state"); // -1000: no node
        QTest::newRow("no descriptor") << QVariant() << true << 7;
        QTest::newRow("0 hidden") << QVariant(0) << true << -1000;
        QTest::newRow("1") << QVariant(1) << true << 7;
        QTest::newRow("2") << QVariant(2) << true << 7;
        QTest::newRow("3 with RunMe.bat") << QVariant(3) << true << 7;
        QTest::newRow("4") << QVariant(4) << true << 7;
        QTest::newRow("5") << QVariant(5) << true << 7;
        QTest::newRow("5 without script") << QVariant(5) << false << 7;
        QTest::newRow("6 link entry") << QVariant(6) << false << 6;
        QTest::newRow("7") << QVariant(7) << false << 7;
        QTest::newRow("8") << QVariant(8) << false << 8;
        QTest::newRow("9 marked folder") << QVariant(9) << false << 9;
        QTest::newRow("10") << QVariant(10) << false << 10;
        QTest::newRow("42 unknown") << QVariant(42) << true << 42;
        QTest::newRow("-3 with script") << QVariant(-3) << true << -3;
    }

    void topLevelRule()
    {
        QFETCH(QVariant, mode);
        QFETCH(bool, script);
        QFETCH(int, state);
        makeOption(m_root, S("Top"), mode, script);
        Scan s;
        scan(s);
        QCOMPARE(stateOf(s.tree, S("Top")), state);
        QCOMPARE(s.count, 0); // a top-level node is never selectable
    }

    void parentRule_data()
    {
        QTest::addColumn<QVariant>("parentMode");
        QTest::addColumn<QVariant>("childMode");
        QTest::addColumn<bool>("childScript");
        QTest::addColumn<int>("parentState");
        QTest::addColumn<int>("childState");
        QTest::addColumn<int>("count");
        // Level 1 "B" below top-level "A", level 2 "C" below B; B always has a RunMe.bat.
        QTest::newRow("selectable child turns parent into a folder; both counted")
            << QVariant(2) << QVariant(4) << true << 7 << 4 << 2;
        QTest::newRow("selected child") << QVariant(3) << QVariant(5) << true << 7 << 5 << 2;
        QTest::newRow("notice child") << QVariant(2) << QVariant(1) << true << 7 << 1 << 1;
        QTest::newRow("child without script reads as notice")
            << QVariant(2) << QVariant(3) << false << 7 << 1 << 1;
        QTest::newRow("starred parent stays") << QVariant(9) << QVariant(4) << true << 9 << 4 << 1;
        QTest::newRow("open starred parent does not")
            << QVariant(10) << QVariant(4) << true << 7 << 4 << 1;
        QTest::newRow("link parent") << QVariant(6) << QVariant(2) << true << 7 << 2 << 1;
        QTest::newRow("link entry child keeps parent selectable")
            << QVariant(2) << QVariant(6) << false << 2 << 6 << 1;
        QTest::newRow("folder child keeps parent selectable")
            << QVariant(2) << QVariant(7) << false << 2 << 7 << 1;
        QTest::newRow("hidden child keeps parent selectable")
            << QVariant(2) << QVariant(0) << true << 2 << -1000 << 1;
        QTest::newRow("unknown child mode takes no part")
            << QVariant(2) << QVariant(42) << true << 2 << 42 << 1;
    }

    void parentRule()
    {
        QFETCH(QVariant, parentMode);
        QFETCH(QVariant, childMode);
        QFETCH(bool, childScript);
        QFETCH(int, parentState);
        QFETCH(int, childState);
        QFETCH(int, count);
        makeOption(m_root, S("A"), QVariant(6), false);
        makeOption(m_root, S("A/B"), parentMode, true);
        makeOption(m_root, S("A/B/C"), childMode, childScript);
        Scan s;
        scan(s);
        QCOMPARE(stateOf(s.tree, S("A")), 6); // a level-1 child never changes its parent
        QCOMPARE(stateOf(s.tree, S("A/B")), parentState);
        QCOMPARE(stateOf(s.tree, S("A/B/C")), childState);
        QCOMPARE(s.count, count);
    }

    void countsAccumulateAndTakeNodesBeforeTheirChildren()
    {
        // B is counted as selectable before C turns it into a folder; a second scan adds on.
        makeOption(m_root, S("A"), QVariant(7), false);
        makeOption(m_root, S("A/B"), QVariant(2));
        makeOption(m_root, S("A/B/C"), QVariant(4));
        makeOption(m_root, S("A/B/D"), QVariant(5));
        makeOption(m_root, S("A/E"), QVariant(3));
        Scan s;
        scan(s);
        QCOMPARE(stateOf(s.tree, S("A/B")), 7);
        QCOMPARE(s.count, 4);
        OptionTree again;
        GetDirectories(again, m_root, nullptr, s.count);
        QCOMPARE(s.count, 8);
    }

    void hiddenFolderTakesItsSubtree()
    {
        makeOption(m_root, S("A"), QVariant(7), false);
        makeOption(m_root, S("A/Gone"), QVariant(0));
        makeOption(m_root, S("A/Gone/X"), QVariant(2));
        makeOption(m_root, S("A/Gone/X/Y"), QVariant(3));
        makeOption(m_root, S("A/Kept"), QVariant(2));
        Scan s;
        scan(s);
        QCOMPARE(names(FindNode(s.tree, S("A"))->Children), QStringList{S("Kept")});
        QCOMPARE(s.count, 1);
        QCOMPARE(s.tree.NodeCount(), 2);
        QVERIFY(sound(s.tree));
    }

    void listingSkipsDotFoldersAndFilesAndSortsIgnoringCase()
    {
        for (const char *name : {"beta", "Alpha", ".git", ".hidden", "Gamma", "alpha2", "_x"})
            makeOption(m_root, S(name), QVariant(7), false);
        makeOption(m_root, S("Alpha/.svn"), QVariant(2));
        QVERIFY(writeAll(m_root + S("loose.txt"), "not an option"));
        Scan s;
        scan(s);
        QCOMPARE(names(s.tree.TopLevel()),
                 (QStringList{S("_x"), S("Alpha"), S("alpha2"), S("beta"), S("Gamma")}));
        QVERIFY(FindNode(s.tree, S("Alpha"))->Children.empty());
    }

    void nodeFolderEndsInSlash()
    {
        makeOption(m_root, S("A"), QVariant(7), false);
        makeOption(m_root, S("A/B"), QVariant(2));
        Scan s;
        scan(s);
        const OptionNode *b = FindNode(s.tree, S("A/B"));
        QVERIFY(b);
        QCOMPARE(GetNodeDir(b, m_root), m_root + S("A/B/"));
        QCOMPARE(GetNodeDir(b, ProgramSettings.optionsRoot()),
                 ProgramSettings.ProgramDir + S("Options/A/B/"));
        QVERIFY(QFileInfo::exists(GetNodeDir(b, m_root) + S("RunMe.bat")));
    }

    // The scan reads each descriptor from the folder listing it already holds; whatever the
    // folder looks like, that must give what reading the descriptor on its own gives.
    void scanReadsDescriptorsAsTheyReadAlone_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("iniName");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<int>("mode");
        const QByteArray m3 = "[Mode]\nOptionMode=3\n";
        const QStringList none;
        const QString ini = S("options.ini");
        QTest::newRow("no descriptor, RunMe.bat")
            << QByteArray() << QString() << QStringList{S("RunMe.bat")} << none << 1;
        QTest::newRow("3 without scripts") << m3 << ini << none << none << 1;
        QTest::newRow("3 with RunMe2.bat only")
            << m3 << ini << QStringList{S("RunMe2.bat")} << none << 3;
        QTest::newRow("3, RunMe.bat is a folder")
            << m3 << ini << none << QStringList{S("RunMe.bat")} << 1;
        QTest::newRow("3, script in other case")
            << m3 << ini << QStringList{S("runme.BAT")} << none << 3;
        QTest::newRow("3, exact name folder beside other-case file")
            << m3 << ini << QStringList{S("RUNME.bat")} << QStringList{S("RunMe.bat")} << 1;
        QTest::newRow("descriptor in other case")
            << m3 << S("OPTIONS.INI") << QStringList{S("RunMe.bat")} << none << 3;
        QTest::newRow("descriptor is a folder")
            << QByteArray() << QString() << QStringList{S("RunMe.bat")}
            << QStringList{S("options.ini")} << 1;
        QTest::newRow("script in a sub-folder")
            << QByteArray("[Mode]\nOptionMode=4\n[RunMe]\nOptionRunMeFName=bin\\go.bat\n") << ini
            << QStringList{S("bin/go.bat")} << none << 4;
        QTest::newRow("script names switched off")
            << QByteArray("[Mode]\nOptionMode=4\n[RunMe]\nOptionRunMeFName=\nOptionRunMe2FName=\n")
            << ini << QStringList{S("RunMe.bat"), S("RunMe2.bat")} << none << 1;
        QTest::newRow("6 without scripts")
            << QByteArray("[Mode]\nOptionMode=6\n") << ini << none << none << 6;
        QTest::newRow("9 without scripts")
            << QByteArray("[Mode]\nOptionMode=9\n") << ini << none << none << 9;
        QTest::newRow("negative without scripts")
            << QByteArray("[Mode]\nOptionMode=-2\n") << ini << none << none << 1;
        QTest::newRow("hexadecimal") << QByteArray("[mode]\noptionmode=0x5\n") << ini
                                     << QStringList{S("RunMe.bat")} << none << 5;
        QTest::newRow("not a number") << QByteArray("[Mode]\nOptionMode=two\n") << ini
                                      << QStringList{S("RunMe.bat")} << none << 1;
        QTest::newRow("empty folder") << QByteArray() << QString() << none << none << 1;
    }

    void scanReadsDescriptorsAsTheyReadAlone()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, iniName);
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(int, mode);
        makeOption(m_root, S("Top"), QVariant(7), false);
        const QString folder = m_root + S("Top/X/");
        QVERIFY(QDir().mkpath(folder));
        if (!iniName.isEmpty())
            QVERIFY(writeAll(folder + iniName, ini));
        for (const QString &f : files)
            QVERIFY(writeAll(folder + f, "@echo off\n"));
        // Sub-folders hide themselves (mode 0), so they leave X's state to X's descriptor.
        for (const QString &d : folders)
            QVERIFY(writeAll(folder + d + S("/options.ini"), "[Mode]\nOptionMode=0\n"));
        for (const QString &f : files) {
            if (f.contains(QLatin1Char('/')))
                QVERIFY(writeAll(folder + f.section(QLatin1Char('/'), 0, 0) + S("/options.ini"),
                                 "[Mode]\nOptionMode=0\n"));
        }

        const TCurrentOption alone = ReadOptionDescriptor(folder, ProgramSettings);
        QCOMPARE(alone.OptionMode, mode);
        Scan s;
        scan(s);
        QCOMPARE(stateOf(s.tree, S("Top/X")), mode);
        QVERIFY(FindNode(s.tree, S("Top/X"))->Children.empty());
        if (!folders.isEmpty() || files.join(QString()).contains(QLatin1Char('/')))
            return;
        // The scan leaves the descriptor it read last, here X's, in CurrentOption.
        QCOMPARE(CurrentOption.OptionMode, alone.OptionMode);
        QCOMPARE(CurrentOption.OptionRunMeFName, alone.OptionRunMeFName);
        QCOMPARE(CurrentOption.OptionRunMe2FName, alone.OptionRunMe2FName);
        QCOMPARE(CurrentOption.OptionReadMeTxtFName, alone.OptionReadMeTxtFName);
        QCOMPARE(CurrentOption.OptionProgramDelay, alone.OptionProgramDelay);
    }

    void scriptLinksCountByTheirTarget()
    {
        makeOption(m_root, S("Top"), QVariant(7), false);
        makeOption(m_root, S("Top/Linked"), QVariant(3), false);
        makeOption(m_root, S("Top/Dangling"), QVariant(3), false);
        QVERIFY(writeAll(m_root + S("Top/real.bat"), "@echo off\n"));
        QVERIFY(symlinkTo(S("../real.bat"), m_root + S("Top/Linked/RunMe.bat")));
        QVERIFY(symlinkTo(S("../nowhere.bat"), m_root + S("Top/Dangling/RunMe.bat")));
        Scan s;
        scan(s);
        QCOMPARE(stateOf(s.tree, S("Top/Linked")), 3);
        QCOMPARE(stateOf(s.tree, S("Top/Dangling")), 1);
    }

    void descriptorDefaults()
    {
        const QString folder = m_root + S("Plain/");
        QVERIFY(writeAll(folder + S("RunMe.bat"), "@echo off\n"));
        const TCurrentOption o = ReadOptionDescriptor(folder, ProgramSettings);
        QCOMPARE(o.OptionReadMeTxtFName, S("ReadMe.txt"));
        QCOMPARE(o.OptionReadMeHtmlFName, QString());
        QCOMPARE(o.OptionReadMeHttpFName, QString());
        QCOMPARE(o.OptionRunMeFName, S("RunMe.bat"));
        QCOMPARE(o.OptionRunMe2FName, S("RunMe2.bat"));
        QCOMPARE(o.OptionProgramDelay, 2000);
        QCOMPARE(o.OptionMode, 1);
        QCOMPARE(o.OptionLinkChildren, false);
    }

    void descriptorValues_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("readMe");
        QTest::addColumn<bool>("linked");
        QTest::addColumn<int>("delay");
        QTest::newRow("empty value is no default")
            << QByteArray("[ReadMe]\nOptionReadMeTxtFName=\n") << QString() << false << 2000;
        QTest::newRow("blank value is no default")
            << QByteArray("[ReadMe]\nOptionReadMeTxtFName=   \n") << QString() << false << 2000;
        QTest::newRow("other section keeps default")
            << QByteArray("[RunMe]\nOptionReadMeTxtFName=\n") << S("ReadMe.txt") << false << 2000;
        QTest::newRow("quoted name")
            << QByteArray("[ReadMe]\nOptionReadMeTxtFName=\"Read Me.rtf\"\n") << S("Read Me.rtf")
            << false << 2000;
        QTest::newRow("linked 2 is true") << QByteArray("[LinkChildren]\nOptionLinkChildren=2\n")
                                          << S("ReadMe.txt") << true << 2000;
        QTest::newRow("linked yes is not a number")
            << QByteArray("[LinkChildren]\nOptionLinkChildren=yes\n") << S("ReadMe.txt") << false
            << 2000;
        QTest::newRow("delay") << QByteArray("[ProgramDelay]\nOptionProgramDelay=500\n")
                               << S("ReadMe.txt") << false << 500;
        QTest::newRow("bad delay") << QByteArray("[ProgramDelay]\nOptionProgramDelay=5s\n")
                                   << S("ReadMe.txt") << false << 2000;
    }

    void descriptorValues()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, readMe);
        QFETCH(bool, linked);
        QFETCH(int, delay);
        const QString folder = m_root + S("Opt/");
        QVERIFY(writeAll(folder + S("options.ini"), ini));
        LoadOptionIniFile(folder);
        QCOMPARE(CurrentOption.OptionReadMeTxtFName, readMe);
        QCOMPARE(CurrentOption.OptionLinkChildren, linked);
        QCOMPARE(CurrentOption.OptionProgramDelay, delay);
    }

    void modeWritesTouchOnlyTheMode()
    {
        // A folder without a descriptor gets one holding only the mode.
        const QString fresh = m_root + S("Fresh/");
        QVERIFY(QDir().mkpath(fresh));
        CurrentOption.OptionMode = 3;
        SaveOptionIniFile(fresh);
        const platform::IniFile created(fresh + S("options.ini"));
        QCOMPARE(created.sections(), QStringList{S("Mode")});
        QCOMPARE(created.readInteger(S("Mode"), S("OptionMode"), -1), 3);

        // An existing one keeps every other line, in its own case and line endings.
        const QString old = m_root + S("Old/");
        QVERIFY(
            writeAll(old + S("OPTIONS.INI"),
                     "[ReadMe]\r\nOptionReadMeTxtFName=Info.rtf\r\n[mode]\r\nOptionMode=2\r\n"));
        CurrentOption.OptionMode = 5;
        SaveOptionIniFile(old);
        QCOMPARE(
            readAll(old + S("OPTIONS.INI")),
            QByteArray("[ReadMe]\r\nOptionReadMeTxtFName=Info.rtf\r\n[mode]\r\nOptionMode=5\r\n"));
        QVERIFY(!QFileInfo::exists(old + S("options.ini")));

        // A descriptor that may not be written refuses with the message and stays as it was.
        QVERIFY(QFile::setPermissions(old + S("OPTIONS.INI"), QFile::ReadOwner | QFile::ReadGroup));
        CurrentOption.OptionMode = 4;
        try {
            SaveOptionIniFile(old);
            QFAIL("the write was not refused");
        } catch (const AppError &e) {
            QCOMPARE(e.message(), S("Unable to write to %1").arg(old + S("OPTIONS.INI")));
        }
        QVERIFY(readAll(old + S("OPTIONS.INI")).endsWith("OptionMode=5\r\n"));

        SaveSelectedIniFile(fresh);
        QCOMPARE(
            platform::IniFile::readInteger(fresh + S("Selected.ini"), S("Mode"), S("Selected"), 0),
            1);
    }

    void noScriptRuleLeavesTheFileAlone()
    {
        const QString folder = m_root + S("A/B/");
        const QByteArray ini = "[Mode]\r\nOptionMode=3\r\n";
        QVERIFY(writeAll(folder + S("options.ini"), ini));
        // A folder named like the script, hidden itself so that it leaves B's icon alone.
        QVERIFY(writeAll(folder + S("RunMe.bat/options.ini"), "[Mode]\nOptionMode=0\n"));
        Scan s;
        scan(s);
        QCOMPARE(stateOf(s.tree, S("A/B")), 1);
        QVERIFY(FindNode(s.tree, S("A/B"))->Children.empty());
        QCOMPARE(s.count, 0);
        QCOMPARE(readAll(folder + S("options.ini")), ini);
    }

    void linkLoopsEnd()
    {
        makeOption(m_root, S("A"), QVariant(7), false);
        makeOption(m_root, S("A/B"), QVariant(2));
        makeOption(m_root, S("C"), QVariant(7), false);
        makeOption(m_root, S("C/D"), QVariant(4));
        QVERIFY(symlinkTo(S("."), m_root + S("A/self")));
        QVERIFY(symlinkTo(S("../.."), m_root + S("A/B/root")));
        QVERIFY(symlinkTo(m_root + S("A"), m_root + S("A/B/up")));
        QVERIFY(symlinkTo(S("../C"), m_root + S("A/toC"))); // not on the path: followed
        QVERIFY(symlinkTo(S("../A"), m_root + S("C/toA"))); // ... and from there back to C
        Scan s;
        scan(s);
        QVERIFY(sound(s.tree));
        QCOMPARE(names(s.tree.TopLevel()), (QStringList{S("A"), S("C")}));
        QCOMPARE(names(FindNode(s.tree, S("A"))->Children), (QStringList{S("B"), S("toC")}));
        QVERIFY(FindNode(s.tree, S("A/B"))->Children.empty());
        QCOMPARE(names(FindNode(s.tree, S("A/toC"))->Children), QStringList{S("D")}); // no toA
        QCOMPARE(names(FindNode(s.tree, S("C/toA"))->Children), QStringList{S("B")}); // no toC
        QCOMPARE(GetNodeDir(FindNode(s.tree, S("A/toC/D")), m_root), m_root + S("A/toC/D/"));
        QCOMPARE(stateOf(s.tree, S("A/toC/D")), 4);
        QCOMPARE(s.count, 4); // A/B, A/toC/D, C/D, C/toA/B
    }

    void linkFanOutStopsAtTheNodeLimit()
    {
        // Every level links twice to the next: 2^24 paths through 24 real folders.
        const QString store = m_root + S(".store/");
        for (int i = 0; i <= 24; ++i)
            QVERIFY(QDir().mkpath(store + QString::number(i)));
        for (int i = 0; i < 24; ++i) {
            const QString next = store + QString::number(i + 1);
            QVERIFY(symlinkTo(next, store + QString::number(i) + S("/a")));
            QVERIFY(symlinkTo(next, store + QString::number(i) + S("/b")));
        }
        QVERIFY(symlinkTo(store + S("0"), m_root + S("Fan")));
        Scan s;
        OptionScanLimits limits;
        limits.MaxNodes = 3000;
        scan(s, limits);
        QCOMPARE(s.tree.NodeCount(), 3000);
        QVERIFY(sound(s.tree));
        QCOMPARE(height(s.tree), 25);
    }

    void deepChainStopsAtTheDepthLimit()
    {
        // Five thousand nested folders are slow to make on a disk; a RAM file system, where
        // there is one, keeps the test quick.
        std::unique_ptr<QTemporaryDir> ram;
        if (QFileInfo(S("/dev/shm")).isWritable()) {
            ram = std::make_unique<QTemporaryDir>(S("/dev/shm/tst_options-XXXXXX"));
            if (ram->isValid()) {
                m_root = ram->path() + S("/");
            }
        }
        constexpr int Depth = 5000;
        QVERIFY(makeChain(m_root, Depth));
        auto tidy = qScopeGuard([this] { removeChain(m_root); });
        Scan s;
        scan(s);
        QCOMPARE(height(s.tree), MaxOptionDepth);
        QCOMPARE(s.tree.NodeCount(), MaxOptionDepth);
        QVERIFY(sound(s.tree));
        // Every folder with a sub-folder is a closed folder; the last one read has no script.
        const OptionNode *n = s.tree.TopLevel().front().get();
        QCOMPARE(n->StateIndex, 7);
        while (!n->Children.empty()) {
            QCOMPARE(n->StateIndex, 7);
            n = n->Children.front().get();
        }
        QCOMPARE(n->StateIndex, 1);
        QCOMPARE(n->Level(), MaxOptionDepth - 1);
        QCOMPARE(s.count, 0);
    }

    void pathsTooLongToOpenEndTheirBranch()
    {
        // 30 levels of 200-character names: far beyond the longest path the system opens.
        const QString name = QString(200, QLatin1Char('n'));
        int fd = ::open(QFile::encodeName(m_root).constData(), O_DIRECTORY | O_RDONLY);
        QVERIFY(fd >= 0);
        for (int i = 0; i < 30; ++i) {
            QCOMPARE(::mkdirat(fd, name.toLatin1().constData(), 0755), 0);
            const int next = ::openat(fd, name.toLatin1().constData(), O_DIRECTORY | O_RDONLY);
            ::close(fd);
            QVERIFY(next >= 0);
            fd = next;
        }
        ::close(fd);
        auto tidy = qScopeGuard([&] {
            // Lift the chain up level by level, as for the deep chain.
            const QByteArray top = QFile::encodeName(m_root + name);
            const QByteArray second = QFile::encodeName(m_root + name + S("/") + name);
            const QByteArray lifted = QFile::encodeName(m_root + S("lifted"));
            while (::access(top.constData(), F_OK) == 0) {
                if (::access(second.constData(), F_OK) == 0) {
                    ::rename(second.constData(), lifted.constData());
                    ::rmdir(top.constData());
                    ::rename(lifted.constData(), top.constData());
                } else {
                    ::rmdir(top.constData());
                }
            }
        });
        makeOption(m_root, S("Other"), QVariant(7), false);
        Scan s;
        scan(s);
        QVERIFY(sound(s.tree));
        const int levels = height(s.tree);
        QVERIFY2(levels > 5 && levels < 30, qPrintable(QString::number(levels)));
        QCOMPARE(names(s.tree.TopLevel()).last(), S("Other"));
    }

    void unreadableFolderKeepsItsNode()
    {
        if (::geteuid() == 0)
            QSKIP("permissions do not stop the superuser");
        makeOption(m_root, S("A"), QVariant(7), false);
        makeOption(m_root, S("A/Locked"), QVariant(2));
        makeOption(m_root, S("A/Locked/Inner"), QVariant(2));
        makeOption(m_root, S("A/Open"), QVariant(2));
        const QString locked = m_root + S("A/Locked");
        QVERIFY(::chmod(QFile::encodeName(locked).constData(), 0) == 0);
        auto tidy = qScopeGuard([&] { ::chmod(QFile::encodeName(locked).constData(), 0755); });
        Scan s;
        scan(s);
        QCOMPARE(stateOf(s.tree, S("A/Locked")), 1);
        QVERIFY(FindNode(s.tree, S("A/Locked"))->Children.empty());
        QCOMPARE(stateOf(s.tree, S("A/Open")), 2);
    }

    void progressEndsWithTheCount()
    {
        for (int i = 0; i < 30; ++i) {
            makeOption(m_root, S("G%1").arg(i), QVariant(7), false);
            makeOption(m_root, S("G%1/O").arg(i), QVariant(2));
        }
        OptionTree tree;
        int count = 5; // counts go on from where the last scan left them
        QList<int> reported;
        GetDirectories(tree, m_root, nullptr, count, [&](int c) { reported << c; });
        QCOMPARE(count, 35);
        QVERIFY(!reported.isEmpty());
        QCOMPARE(reported.last(), 35);
        QVERIFY(std::is_sorted(reported.begin(), reported.end()));
    }

    void rowsFollowRemovals()
    {
        OptionTree tree;
        OptionNode *a = tree.Add(nullptr, S("A"));
        for (const char *name : {"x", "y", "z"})
            tree.Add(a, S(name));
        OptionNode *b = tree.Add(nullptr, S("B"));
        tree.Remove(a->Children[1].get());
        tree.Remove(a);
        QCOMPARE(names(tree.TopLevel()), QStringList{S("B")});
        QCOMPARE(tree.IndexOf(b), 0);
        QVERIFY(sound(tree));
    }

    void iconsAreDrawn()
    {
        QSet<size_t> distinct;
        for (int i = 0; i < StateIcons::Count; ++i) {
            const QIcon icon = StateIcons::Image(i);
            QVERIFY2(!icon.isNull(), qPrintable(QString::number(i)));
            const QImage image = icon.pixmap(16, 16).toImage();
            QCOMPARE(image.size(), QSize(16, 16));
            int painted = 0;
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x)
                    painted += qAlpha(image.pixel(x, y)) > 0;
            QVERIFY2(painted > 40, qPrintable(QString::number(i)));
            distinct.insert(qHash(QByteArray(reinterpret_cast<const char *>(image.constBits()),
                                             image.sizeInBytes())));
        }
        QCOMPARE(distinct.size(), StateIcons::Count - 1); // 3 and 5 look alike
        QVERIFY(StateIcons::ForState(0).isNull());
        QVERIFY(StateIcons::ForState(11).isNull());
        QCOMPARE(StateIcons::ForState(8).cacheKey(), StateIcons::Image(8).cacheKey());
        for (int g = StateIcons::GlyphExpand; g <= StateIcons::GlyphHome; ++g)
            QVERIFY(!StateIcons::Glyph(static_cast<StateIcons::GlyphId>(g)).isNull());
    }

    void viewFollowsTheTree()
    {
        makeOption(m_root, S("A"), QVariant(7), false);
        makeOption(m_root, S("A/B"), QVariant(2));
        makeOption(m_root, S("A/B/C"), QVariant(4));
        makeOption(m_root, S("A/Starred"), QVariant(9), false);
        makeOption(m_root, S("A/Starred/D"), QVariant(3));
        makeOption(m_root, S("A/Leaf7"), QVariant(7), false);
        makeOption(m_root, S("Web"), QVariant(6), false);
        const QByteArray starredIni = readAll(m_root + S("A/Starred/options.ini"));

        QWidget window;
        QLabel label(S("Options"), &window);
        QToolButton expand(&window), collapse(&window);
        QTreeView view(&window);
        OptionTreeController controller(&view, &label, &expand, &collapse);
        QAbstractItemModelTester tester(controller.Model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        window.resize(300, 400);
        window.show();
        int progressCalls = 0;
        controller.UpdateTreeView([&](int) { ++progressCalls; });
        QVERIFY(progressCalls >= 1);
        QCOMPARE(controller.OptionCount(), 3);
        QVERIFY(expand.isEnabled() && collapse.isEnabled());
        QCOMPARE(label.text(), S("Options"));
        QVERIFY(!view.rootIsDecorated());
        QCOMPARE(view.indentation(), 19);
        QVERIFY(view.isHeaderHidden());
        QCOMPARE(view.editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(view.model()->rowCount(), 2);

        OptionNode *a = const_cast<OptionNode *>(FindNode(controller.Tree(), S("A")));
        const QModelIndex ai = controller.IndexOf(a);
        QCOMPARE(controller.NodeAt(ai), a);
        QCOMPARE(ai.data().toString(), S("A"));
        auto iconKey = [&](const OptionNode *n) {
            return controller.IndexOf(n).data(Qt::DecorationRole).value<QIcon>().cacheKey();
        };
        QCOMPARE(iconKey(a), StateIcons::Image(7).cacheKey());
        QVERIFY(!(controller.Model()->flags(ai) & Qt::ItemIsEditable));

        // One node by hand, through the view.
        view.expand(ai);
        QCOMPARE(a->StateIndex, 8);
        QVERIFY(a->Expanded);
        QCOMPARE(iconKey(a), StateIcons::Image(8).cacheKey());
        view.collapse(ai);
        QCOMPARE(a->StateIndex, 7);
        QVERIFY(!a->Expanded);

        // Every node with the buttons.
        const OptionNode *b = FindNode(controller.Tree(), S("A/B"));
        const OptionNode *starred = FindNode(controller.Tree(), S("A/Starred"));
        const OptionNode *leaf7 = FindNode(controller.Tree(), S("A/Leaf7"));
        expand.click();
        QCOMPARE(a->StateIndex, 8);
        QCOMPARE(b->StateIndex, 8);
        QCOMPARE(starred->StateIndex, 10);
        QCOMPARE(leaf7->StateIndex, 7); // no children: nothing to open
        QVERIFY(view.isExpanded(controller.IndexOf(b)));
        QVERIFY(view.isExpanded(controller.IndexOf(starred)));
        QCOMPARE(iconKey(starred), StateIcons::Image(10).cacheKey());
        QCOMPARE(view.indexAt(QPoint(5, 5)), controller.IndexOf(a));
        collapse.click();
        QCOMPARE(a->StateIndex, 7);
        QCOMPARE(b->StateIndex, 7);
        QCOMPARE(starred->StateIndex, 9);
        QVERIFY(!view.isExpanded(controller.IndexOf(a)));
        QCOMPARE(readAll(m_root + S("A/Starred/options.ini")), starredIni); // icons only

        // The view's current node is the selected node.
        view.setCurrentIndex(controller.IndexOf(b));
        QCOMPARE(static_cast<const OptionNode *>(controller.SelectedNode()), b);
        QCOMPARE(controller.GetNodeDir(b), m_root + S("A/B/"));

        // A rebuild counts again and starts with everything closed.
        expand.click();
        controller.UpdateTreeView();
        QCOMPARE(controller.OptionCount(), 6);
        a = const_cast<OptionNode *>(FindNode(controller.Tree(), S("A")));
        QCOMPARE(a->StateIndex, 7);
        QVERIFY(!view.isExpanded(controller.IndexOf(a)));
        QVERIFY(!controller.SelectedNode());
    }

    void stateChangesReachTheView()
    {
        makeOption(m_root, S("A"), QVariant(7), false);
        makeOption(m_root, S("A/B"), QVariant(2));
        QWidget window;
        QLabel label(&window);
        QToolButton expand(&window), collapse(&window);
        QTreeView view(&window);
        OptionTreeController controller(&view, &label, &expand, &collapse);
        QAbstractItemModelTester tester(controller.Model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        controller.UpdateTreeView();
        OptionNode *b = const_cast<OptionNode *>(FindNode(controller.Tree(), S("A/B")));
        QSignalSpy changed(controller.Model(), &QAbstractItemModel::dataChanged);
        controller.Tree().SetState(b, 3);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.first().at(0).toModelIndex(), controller.IndexOf(b));
        QCOMPARE(controller.IndexOf(b).data(Qt::DecorationRole).value<QIcon>().cacheKey(),
                 StateIcons::Image(3).cacheKey());
    }

    void emptyOrMissingRoot_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::newRow("missing root") << S("missing");
        QTest::newRow("empty root") << S("empty");
        QTest::newRow("only dot folders and files") << S("dots");
        QTest::newRow("only hidden options") << S("hidden");
    }

    void emptyOrMissingRoot()
    {
        QFETCH(QString, layout);
        if (layout == S("missing")) {
            QVERIFY(QDir(m_root).removeRecursively());
        } else if (layout == S("dots")) {
            makeOption(m_root, S(".git"), QVariant(2));
            QVERIFY(writeAll(m_root + S("Welcome.txt"), "hello"));
        } else if (layout == S("hidden")) {
            makeOption(m_root, S("A"), QVariant(0));
        }
        QWidget window;
        QLabel label(S("Options"), &window);
        QToolButton expand(&window), collapse(&window);
        QTreeView view(&window);
        OptionTreeController controller(&view, &label, &expand, &collapse);
        window.show();
        controller.UpdateTreeView();
        QVERIFY(controller.Tree().IsEmpty());
        QCOMPARE(view.model()->rowCount(), 0);
        QCOMPARE(label.text(), S("Options directory not found!"));
        QVERIFY(!expand.isEnabled());
        QVERIFY(!collapse.isEnabled());
        QCOMPARE(controller.OptionCount(), 0);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(view.updatesEnabled());

        // Options that appear later are found by the next rebuild, and the caption is right
        // again.
        makeOption(m_root, S("Late"), QVariant(7), false);
        controller.UpdateTreeView();
        QCOMPARE(view.model()->rowCount(), 1);
        QCOMPARE(label.text(), S("Options"));
        QVERIFY(expand.isEnabled() && collapse.isEnabled());
    }
};

QTEST_MAIN(TestOptions)
#include "tst_options.moc"
