// The option scan against a plain reading of the same folders: the tree it builds (order,
// states, counts, the descriptor left last) matches a straightforward walk with Qt's file
// classes on packs full of links, loops, dot folders, odd descriptors and names in other case;
// names that are not UTF-8 become nodes that lead back to their folders; the limits of the
// scan are reported; the options root is found without regard to case; and the reading begun
// at start-up gives the tree a later reading would.
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "core/Common.h"
#include "files/Error.h"
#include "files/Paths.h"
#include "ini/IniFile.h"
#include "options/EarlyOptionScan.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "options/OptionTreeController.h"

#include <QDir>
#include <QFileInfo>
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

// The tree as text: one line per node, indented by level, with its state.
QStringList dump(const OptionTree &tree)
{
    QStringList lines;
    tree.ForEach([&](OptionNode *n) {
        lines << QString(n->Level() * 2, QLatin1Char(' ')) + n->Text() + QLatin1Char(' ') +
                     QString::number(n->StateIndex);
    });
    return lines;
}

bool listingOrder(const QFileInfo &a, const QFileInfo &b)
{
    const int c = a.fileName().compare(b.fileName(), Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a.fileName() < b.fileName();
}

// The option tree as a plain reading with Qt's file classes finds it: every folder listed by
// path, each descriptor read on its own, links compared by their resolved paths.
struct Reference
{
    OptionTree tree;
    int count = 0;
    TCurrentOption last;

    void scan(const QString &folder, OptionNode *parent, int level, QStringList onPath)
    {
        QFileInfoList entries = QDir(folder).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
        std::sort(entries.begin(), entries.end(), listingOrder);
        for (const QFileInfo &e : entries) {
            if (!e.isDir() || e.fileName().startsWith(QLatin1Char('.')))
                continue;
            const QString canonical = e.canonicalFilePath();
            if (e.isSymLink() && onPath.contains(canonical))
                continue;
            OptionNode *node = tree.Add(parent, e.fileName());
            last = ReadOptionDescriptor(folder + e.fileName() + QLatin1Char('/'), ProgramSettings);
            const int mode = last.OptionMode;
            node->StateIndex = mode;
            if (mode >= Hidden && mode <= ModeOn) {
                if (level == 0)
                    node->StateIndex = FolderClosed;
                else if (level >= 2 && mode != Hidden && parent->StateIndex != MarkedFolderClosed)
                    parent->StateIndex = FolderClosed;
            }
            if (IsSelectable(node->StateIndex))
                ++count;
            if (mode == Hidden) {
                tree.Remove(node);
                continue;
            }
            scan(folder + e.fileName() + QLatin1Char('/'), node, level + 1,
                 onPath + QStringList{canonical});
        }
    }
};

// Makes a pack from lines: "A/B/" a folder, "A/f=text" a file, "A/l@target" a symbolic link,
// "A/p|" a named pipe.
bool build(const QString &root, const QStringList &lines)
{
    for (const QString &line : lines) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const qsizetype at = line.indexOf(QLatin1Char('@'));
        if (eq > 0 && (at < 0 || eq < at)) {
            if (!writeAll(root + line.left(eq), line.mid(eq + 1).toUtf8()))
                return false;
        } else if (at > 0) {
            const QString link = root + line.left(at);
            QDir().mkpath(QFileInfo(link).absolutePath());
            if (::symlink(QFile::encodeName(line.mid(at + 1)).constData(),
                          QFile::encodeName(link).constData()) != 0)
                return false;
        } else if (line.endsWith(QLatin1Char('|'))) {
            const QString pipe = root + line.chopped(1);
            QDir().mkpath(QFileInfo(pipe).absolutePath());
            if (::mkfifo(QFile::encodeName(pipe).constData(), 0644) != 0)
                return false;
        } else if (!QDir().mkpath(root + line)) {
            return false;
        }
    }
    return true;
}

QString mode(int m)
{
    return S("[Mode]\nOptionMode=%1\n").arg(m);
}

} // namespace

class TestScan : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root; // ends in '/'

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        ProgramSettings = TProgramSettings{};
        ProgramSettings.ProgramDir = m_dir->path() + S("/");
        ProgramSettings.ProgramIniFName = S("varimond.ini");
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(ProgramSettings, sizes);
        m_root = ProgramSettings.ProgramDir + S("Options/");
        QVERIFY(QDir().mkpath(m_root));
    }

    void cleanup() { m_dir.reset(); }

    void sameTreeAsAPlainReading_data()
    {
        QTest::addColumn<QStringList>("pack");
        const QString bat = S("@echo off\n");
        QTest::newRow("modes, groups and nesting") << QStringList{S("G/options.ini=") + mode(7),
                                                                  S("G/A/options.ini=") + mode(2),
                                                                  S("G/A/RunMe.bat=") + bat,
                                                                  S("G/B/options.ini=") + mode(3),
                                                                  S("G/B/RunMe2.bat=") + bat,
                                                                  S("G/C/options.ini=") + mode(4),
                                                                  S("G/C/RunMe.bat=") + bat,
                                                                  S("G/C/D/options.ini=") + mode(5),
                                                                  S("G/C/D/RunMe.bat=") + bat,
                                                                  S("G/E/options.ini=") + mode(9),
                                                                  S("G/E/F/options.ini=") + mode(2),
                                                                  S("G/E/F/RunMe.bat=") + bat,
                                                                  S("G/H/options.ini=") + mode(0),
                                                                  S("G/H/I/options.ini=") + mode(2),
                                                                  S("G/H/I/RunMe.bat=") + bat,
                                                                  S("G/J/options.ini=") + mode(6),
                                                                  S("G/J/K/options.ini=") + mode(6),
                                                                  S("G/L/options.ini=") + mode(42),
                                                                  S("G/L/M/"),
                                                                  S("Top3/options.ini=") + mode(3),
                                                                  S("Top3/RunMe.bat=") + bat,
                                                                  S("Top6/options.ini=") + mode(6),
                                                                  S("Empty/")};
        QTest::newRow("links, loops and dangling links") << QStringList{
            S("A/options.ini=") + mode(7),
            S("A/B/options.ini=") + mode(2),
            S("A/B/RunMe.bat=") + bat,
            S("C/D/options.ini=") + mode(4),
            S("C/D/RunMe.bat=") + bat,
            S("A/self@."),
            S("A/B/root@../.."),
            S("A/toC@../C"),
            S("C/toA@../A"),
            S("A/dangling@../nowhere"),
            S("A/file@B/RunMe.bat"),
            S("Outside/"),
            S("A/B/script@../../C/D/RunMe.bat"),
            S("E/options.ini=") + mode(2) + S("[RunMe]\nOptionRunMeFName=linked.bat\n"),
            S("E/linked.bat@../A/B/RunMe.bat")};
        QTest::newRow("dot folders, plain files and order")
            << QStringList{S(".git/objects/"),
                           S(".hidden/options.ini=") + mode(2),
                           S("b/"),
                           S("B/"),
                           S("a/"),
                           S("_x/"),
                           S("Zeta=plain file"),
                           S("10/"),
                           S("9/"),
                           S("\xc3\x84pfel/"),
                           S("apfel/"),
                           S("a/.dot/"),
                           S("a/x.y/")};
        QTest::newRow("names in other case") << QStringList{
            S("G/A/OPTIONS.INI=") + mode(2),
            S("G/A/runme.BAT=") + bat,
            S("G/B/options.ini=") + mode(3),
            S("G/B/RUNME.bat=") + bat,
            S("G/B/RunMe.bat/"),
            S("G/C/Options.Ini=") + mode(2),
            S("G/C/options.ini=") + mode(4),
            S("G/C/RunMe2.BAT=") + bat,
            S("G/D/options.ini=[MODE]\noptionmode=5\n[runme]\noptionrunmefname=GO.sh\n"),
            S("G/D/go.SH=") + bat,
            S("G/E/options.ini/"),
            S("G/E/RunMe.bat=") + bat};
        QTest::newRow("descriptor forms") << QStringList{
            S("G/A/options.ini=\xef\xbb\xbf[Mode]\r\nOptionMode = \"3\" \r\n"),
            S("G/A/RunMe.bat=") + bat,
            S("G/B/options.ini=[Mode]\rOptionMode=0x4\r"),
            S("G/B/RunMe.bat=") + bat,
            S("G/C/options.ini=; "
              "comment\n[Mode]\n;OptionMode=2\nOptionMode=$5\n[Mode]\nOptionMode=2\n"),
            S("G/C/RunMe.bat=") + bat,
            S("G/D/options.ini=[Mode\nOptionMode=2\n"),
            S("G/D/RunMe.bat=") + bat,
            S("G/E/"
              "options.ini=[RunMe]\nOptionRunMeFName=\nOptionRunMe2FName=sub\\two.bat\n[Mode]"
              "\nOptionMode=2\n"),
            S("G/E/sub/two.bat=") + bat,
            S("G/E/sub/options.ini=") + mode(0),
            S("G/F/options.ini|"),
            S("G/F/RunMe.bat=") + bat,
            S("G/H/options.ini=[Mode]\nOptionMode=two\n[ReadMe]\nOptionReadMeTxtFName='Lies "
              "mich.txt'\n"),
            S("G/H/RunMe.bat=") + bat};
    }

    void sameTreeAsAPlainReading()
    {
        QFETCH(QStringList, pack);
        QVERIFY(build(m_root, pack));
        Reference reference;
        reference.scan(m_root, nullptr, 0, {QFileInfo(m_root).canonicalFilePath()});

        OptionTree tree;
        int count = 0;
        CurrentOption = TCurrentOption{};
        const OptionScanResult result = GetDirectories(tree, m_root, nullptr, count);
        QCOMPARE(dump(tree), dump(reference.tree));
        QCOMPARE(count, reference.count);
        QVERIFY(!result.DepthLimitReached && !result.NodeLimitReached);
        QCOMPARE(CurrentOption.OptionMode, reference.last.OptionMode);
        QCOMPARE(CurrentOption.OptionRunMeFName, reference.last.OptionRunMeFName);
        QCOMPARE(CurrentOption.OptionRunMe2FName, reference.last.OptionRunMe2FName);
        QCOMPARE(CurrentOption.OptionReadMeTxtFName, reference.last.OptionReadMeTxtFName);
        QCOMPARE(CurrentOption.OptionLinkChildren, reference.last.OptionLinkChildren);
    }

    void unreadableFoldersAsAPlainReading()
    {
        if (::geteuid() == 0)
            QSKIP("permissions do not stop the superuser");
        QVERIFY(build(m_root, {S("G/A/options.ini=") + mode(2), S("G/A/RunMe.bat=x"), S("G/A/In/"),
                               S("G/B/options.ini=") + mode(3), S("G/B/RunMe.bat=x"), S("G/C/")}));
        const QByteArray a = QFile::encodeName(m_root + S("G/A"));
        const QByteArray b = QFile::encodeName(m_root + S("G/B"));
        QVERIFY(::chmod(a.constData(), 0) == 0);
        QVERIFY(::chmod(b.constData(), 0111) == 0); // searched, not listed
        auto tidy = qScopeGuard([&] {
            ::chmod(a.constData(), 0755);
            ::chmod(b.constData(), 0755);
        });
        Reference reference;
        reference.scan(m_root, nullptr, 0, {});
        OptionTree tree;
        int count = 0;
        GetDirectories(tree, m_root, nullptr, count);
        QCOMPARE(dump(tree), dump(reference.tree));
        QCOMPARE(dump(tree), (QStringList{S("G 7"), S("  A 1"), S("  B 3"), S("  C 1")}));
    }

    void namesThatAreNotUtf8()
    {
        // A pack unpacked from a Windows archive: the folder, its script and its ReadMe carry
        // Windows-1252 bytes, and the descriptor names them in the same code page.
        const QByteArray root = QFile::encodeName(m_root);
        const QByteArray group = root + "Gr\xfcn";
        const QByteArray option = group + "/Cr\xe8me";
        QVERIFY(makeNativeFolder(group));
        QVERIFY(makeNativeFolder(option));
        QVERIFY(makeNativeFile(option + "/options.ini",
                               "[Mode]\nOptionMode=2\n[RunMe]\nOptionRunMeFName=Ex\xe9"
                               "cute.sh\n"
                               "[ReadMe]\nOptionReadMeTxtFName=L\xe9"
                               "ame.txt\n",
                               0755));
        QVERIFY(makeNativeFile(option + "/Ex\xe9"
                                        "cute.sh",
                               "pwd -P > \"$1\"\n", 0755));
        QVERIFY(makeNativeFile(option + "/L\xe9"
                                        "ame.txt",
                               "Lisez-moi", 0755));
        QVERIFY(makeNativeFolder(root + "Caf\xc3\xa9")); // valid UTF-8 beside them

        OptionTree tree;
        int count = 0;
        GetDirectories(tree, m_root, nullptr, count);
        QCOMPARE(dump(tree),
                 (QStringList{S("Caf\xc3\xa9 7"), S("Gr\xc3\xbcn 7"), S("  Cr\xc3\xa8me 2")}));
        QCOMPARE(count, 1);

        // The node leads back to the very folder: its descriptor reads, its mode is written
        // there and nowhere else, its ReadMe and its script are found.
        OptionNode *node = FindNode(tree, S("Gr\xc3\xbcn/Cr\xc3\xa8me"));
        QVERIFY(node);
        const QString folder = GetNodeDir(node, m_root);
        LoadOptionIniFile(folder);
        QCOMPARE(CurrentOption.OptionMode, 2);
        QCOMPARE(CurrentOption.OptionRunMeFName, S("Ex\xc3\xa9"
                                                   "cute.sh"));
        QVERIFY(platform::fileExists(folder + CurrentOption.OptionRunMeFName));
        QCOMPARE(readAll(platform::resolvePath(folder + CurrentOption.OptionReadMeTxtFName)),
                 QByteArray("Lisez-moi"));
        CurrentOption.OptionMode = 3;
        SaveOptionIniFile(folder);
        QVERIFY(readNative(option + "/options.ini").contains("OptionMode=3"));
        QVERIFY(!QFileInfo::exists(m_root + S("Gr\xc3\xbcn"))); // no look-alike made
        QVERIFY(!QFileInfo::exists(m_root + S("Gr\xc3\xbcn/Cr\xc3\xa8me/options.ini")));
    }

    void limitsAreReported_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("folders");
        QTest::addColumn<int>("maxDepth");
        QTest::addColumn<int>("maxNodes");
        QTest::addColumn<bool>("depthReached");
        QTest::addColumn<bool>("nodesReached");
        QTest::newRow("chain as deep as the limit") << 5 << 1 << 5 << 100 << false << false;
        QTest::newRow("chain one deeper") << 6 << 1 << 5 << 100 << true << false;
        QTest::newRow("chain deeper than a lower limit") << 5 << 1 << 4 << 100 << true << false;
        QTest::newRow("as many folders as the limit") << 1 << 10 << 5 << 10 << false << false;
        QTest::newRow("one folder more") << 1 << 11 << 5 << 10 << false << true;
    }

    void limitsAreReported()
    {
        QFETCH(int, depth);
        QFETCH(int, folders);
        QFETCH(int, maxDepth);
        QFETCH(int, maxNodes);
        QFETCH(bool, depthReached);
        QFETCH(bool, nodesReached);
        for (int f = 0; f < folders; ++f) {
            QString path = m_root + S("F%1").arg(f);
            for (int d = 1; d < depth; ++d)
                path += S("/d");
            QVERIFY(QDir().mkpath(path));
        }
        OptionScanLimits limits;
        limits.MaxDepth = maxDepth;
        limits.MaxNodes = maxNodes;
        OptionTree tree;
        const OptionScanResult r =
            ScanOptionFolders(tree, m_root, nullptr, ProgramSettings, limits);
        QCOMPARE(r.DepthLimitReached, depthReached);
        QCOMPARE(r.NodeLimitReached, nodesReached);
        QVERIFY(tree.NodeCount() <= maxNodes);
    }

    void treeViewTellsOfTheDepthLimit()
    {
        QString deep = m_root;
        for (int d = 0; d < MaxOptionDepth + 3; ++d)
            deep += S("d/");
        QVERIFY(QDir().mkpath(deep));
        QTreeView view;
        QLabel label;
        QToolButton expand, collapse;
        OptionTreeController controller(&view, &label, &expand, &collapse);
        controller.UpdateTreeView();
        QCOMPARE(controller.LimitNotice(),
                 S("Not every option folder is shown: the option tree stops at 256 levels."));
        QVERIFY(QDir().rmdir(deep.chopped(1)) && QDir().rmdir(deep.chopped(3)) &&
                QDir().rmdir(deep.chopped(5)) && QDir().rmdir(deep.chopped(7)));
        controller.UpdateTreeView();
        QCOMPARE(controller.LimitNotice(), QString());
        QCOMPARE(controller.Tree().NodeCount(), MaxOptionDepth - 1);
    }

    void optionsRootFoundAsWindowsWould_data()
    {
        QTest::addColumn<QString>("optionsDir");
        QTest::addColumn<QString>("onDisk");
        QTest::newRow("other case") << S("options") << S("Options");
        QTest::newRow("backslashes") << S("Pack\\Opts") << S("Pack/Opts");
        QTest::newRow("backslashes and case") << S("pack\\OPTS\\") << S("Pack/Opts");
        QTest::newRow("exact") << S("Options") << S("Options");
    }

    void optionsRootFoundAsWindowsWould()
    {
        QFETCH(QString, optionsDir);
        QFETCH(QString, onDisk);
        QVERIFY(build(ProgramSettings.ProgramDir + onDisk + S("/"),
                      {S("G/O/options.ini=") + mode(2), S("G/O/RunMe.bat=x")}));
        ProgramSettings.OptionsDir = optionsDir;
        QCOMPARE(ProgramSettings.optionsRoot(), ProgramSettings.ProgramDir + onDisk + S("/"));
        QTreeView view;
        QLabel label(S("Options"));
        QToolButton expand, collapse;
        OptionTreeController controller(&view, &label, &expand, &collapse);
        controller.UpdateTreeView();
        QCOMPARE(label.text(), S("Options"));
        QCOMPARE(controller.OptionCount(), 1);
        QVERIFY(FindNode(controller.Tree(), S("G/O")));
    }

    void earlyReadingGivesTheTreeOfALateOne_data()
    {
        QTest::addColumn<QByteArray>("settingsAtStart");
        QTest::addColumn<QByteArray>("settingsAtTreeStep");
        QTest::addColumn<QString>("expectedTop");
        QTest::newRow("settings unchanged") << QByteArray() << QByteArray() << S("G");
        QTest::newRow("options folder changed in between")
            << QByteArray() << QByteArray("[OptionsDir]\nOptionsDir=Other\n") << S("H");
        QTest::newRow("script default changed in between")
            << QByteArray() << QByteArray("[RunMe]\nDefaultRunMeFName=Go.sh\n") << S("G");
    }

    void earlyReadingGivesTheTreeOfALateOne()
    {
        QFETCH(QByteArray, settingsAtStart);
        QFETCH(QByteArray, settingsAtTreeStep);
        QFETCH(QString, expectedTop);
        QStringList pack;
        for (int g = 0; g < 12; ++g) {
            for (int o = 0; o < 8; ++o) {
                const QString opt = S("G/%1/%2/").arg(g).arg(o);
                pack << opt + S("options.ini=") + mode(2 + o % 2) << opt + S("RunMe.bat=x");
            }
        }
        pack << S("G/0/0/Go.sh=x") << S("../Other/H/");
        QVERIFY(build(m_root, pack));
        QVERIFY(writeAll(ProgramSettings.iniPath(), settingsAtStart));

        QTreeView view;
        QLabel label;
        QToolButton expand, collapse;
        OptionTreeController controller(&view, &label, &expand, &collapse);
        TProgramSettings paths;
        paths.ProgramDir = ProgramSettings.ProgramDir;
        paths.ProgramIniFName = ProgramSettings.ProgramIniFName;
        controller.BeginEarlyScan(paths);

        // The start-up loads the settings file at its own step, then builds the tree.
        QVERIFY(writeAll(ProgramSettings.iniPath(), settingsAtTreeStep));
        SecondaryWindowSizes sizes;
        LoadProgramIniFile(ProgramSettings, sizes);
        QList<int> shown;
        CurrentOption = TCurrentOption{};
        controller.UpdateTreeView([&](int c) { shown << c; });

        OptionTree late;
        int count = 0;
        const TCurrentOption before = CurrentOption;
        GetDirectories(late, ProgramSettings.optionsRoot(), nullptr, count);
        QCOMPARE(dump(controller.Tree()), dump(late));
        QCOMPARE(controller.Tree().TopLevel().front()->Text(), expectedTop);
        QCOMPARE(controller.OptionCount(), count);
        QVERIFY(!shown.isEmpty());
        QCOMPARE(shown.last(), count);
        QCOMPARE(before.OptionMode, CurrentOption.OptionMode);
        QCOMPARE(before.OptionRunMeFName, CurrentOption.OptionRunMeFName);
    }

    // The start-up begins the reading before the window and its tree exist; whatever it meets
    // where the options folder should be, the player sees what a reading at the tree step shows.
    void readingBeganBeforeTheTreeShowsWhatALateOneShows_data()
    {
        QTest::addColumn<QStringList>("pack");
        QTest::newRow("options") << QStringList{S("G/O/options.ini=") + mode(3),
                                                S("G/O/RunMe.bat=x")};
        QTest::newRow("missing") << QStringList{};
        QTest::newRow("a file") << QStringList{S("Options=x")};
        QTest::newRow("a link to itself") << QStringList{S("Options@Options")};
        QTest::newRow("a named pipe") << QStringList{S("Options|")};
    }

    void readingBeganBeforeTheTreeShowsWhatALateOneShows()
    {
        QFETCH(QStringList, pack);
        QVERIFY(QDir(m_root).removeRecursively());
        const bool inOptions = pack.value(0).startsWith(S("G/"));
        QVERIFY(build(inOptions ? m_root : ProgramSettings.ProgramDir, pack));
        TProgramSettings paths;
        DeriveProgramPaths(paths, ProgramSettings.ProgramDir + S("varimond"));
        std::unique_ptr<EarlyOptionScan> early = EarlyOptionScan::Start(paths);

        struct Shown
        {
            QTreeView view;
            QLabel label{S("Options")};
            QToolButton expand, collapse;
            OptionTreeController controller{&view, &label, &expand, &collapse};
        } before, late;
        before.controller.AdoptEarlyScan(std::move(early));
        before.controller.UpdateTreeView();
        late.controller.UpdateTreeView();
        QCOMPARE(dump(before.controller.Tree()), dump(late.controller.Tree()));
        QCOMPARE(before.label.text(), late.label.text());
        QCOMPARE(before.expand.isEnabled(), late.expand.isEnabled());
        QCOMPARE(before.controller.OptionCount(), late.controller.OptionCount());
        QCOMPARE(before.controller.LimitNotice(), late.controller.LimitNotice());
        QCOMPARE(before.label.text(), S(inOptions ? "Options" : "Options directory not found!"));
    }
};

QTEST_MAIN(TestScan)
#include "tst_scan.moc"
