// Ticks in large groups and in folders whose names are not UTF-8.

#include "common/TestFiles.h"
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "options/SelectionRules.h"

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>

using namespace testfiles;

namespace {

const QByteArray Script = "[RunMe]\r\nOptionRunMeFName=RunMe.sh\r\n";
const QByteArray Links = "[LinkChildren]\r\nOptionLinkChildren=1\r\n";

QByteArray Descriptor(int mode)
{
    return Script + "[Mode]\r\nOptionMode=" + QByteArray::number(mode) + "\r\n";
}

QByteArray Read(const QString &folder)
{
    return readNative(QFile::encodeName(folder) + "/options.ini");
}

} // namespace

class TestSelection : public QObject
{
    Q_OBJECT

private slots:
    void changeInAKeptFolderIsSeen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("descriptor in other case") << S("OPTIONS.INI");
        QTest::newRow("descriptor as written") << S("options.ini");
    }

    // A tick keeps a large group folder's listing for the next one. Pack links its children,
    // so a tick in Group clears Other too; once a descriptor appears in Group saying that it
    // links its children, the next tick there must see it and leave Other alone.
    void changeInAKeptFolderIsSeen()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString root = dir.path() + S("/Options/");
        const QString group = root + S("Pack/Group/");
        OptionTree tree;
        OptionNode *groupNode = tree.Add(tree.Add(nullptr, S("Pack")), S("Group"));
        std::vector<OptionNode *> leaves;
        for (int i = 0; i < 300; ++i) { // large enough for its listing to be kept
            const QString leaf = S("Option%1").arg(i, 3, 10, QLatin1Char('0'));
            QVERIFY(QDir().mkpath(group + leaf) &&
                    writeAll(group + leaf + S("/options.ini"), Descriptor(CheckOff)));
            QVERIFY(writeAll(group + leaf + S("/RunMe.sh"), ""));
            leaves.push_back(tree.Add(groupNode, leaf));
            leaves.back()->StateIndex = CheckOff;
        }
        OptionNode *other = tree.Add(tree.Add(groupNode->Parent, S("OtherGroup")), S("Other"));
        const QString otherFolder = root + S("Pack/OtherGroup/Other");
        QVERIFY(QDir().mkpath(otherFolder) && writeAll(root + S("Pack/options.ini"), Links));
        // Kept only once the folder has not changed for a while before it is listed.
        struct stat st = {};
        QVERIFY(::stat(QFile::encodeName(group).constData(), &st) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() - st.st_ctim.tv_sec >= 3,
                                 10000);

        for (int tick = 0; tick < 2; ++tick) {
            QVERIFY(writeAll(otherFolder + S("/options.ini"), Descriptor(CheckOn)));
            other->StateIndex = CheckOn;
            if (tick == 1)
                QVERIFY(writeAll(group + name, Links));
            UpdateTreeViewCheckBox(tree, leaves[static_cast<size_t>(tick)], root);
            QCOMPARE(Read(group + S("Option000")), Descriptor(tick == 0 ? CheckOn : CheckOff));
            QCOMPARE(Read(otherFolder), Descriptor(tick == 0 ? CheckOff : CheckOn));
        }
        QCOMPARE(Read(group + S("Option001")), Descriptor(CheckOn));
        QCOMPARE(other->StateIndex, int(CheckOn));
    }

    // Folders whose names are not UTF-8 on disk (a group, or the option itself) are reached
    // through an alias: a tick there writes through it, not by the decoded name.
    void namesThatAreNotUtf8_data()
    {
        QTest::addColumn<QByteArray>("group");
        QTest::addColumn<QByteArray>("option");
        QTest::newRow("group") << QByteArray("Caf\xE9") << QByteArray("A");
        QTest::newRow("option") << QByteArray("Group") << QByteArray("\xC9t\xE9");
    }

    void namesThatAreNotUtf8()
    {
        QFETCH(QByteArray, group);
        QFETCH(QByteArray, option);
        QTemporaryDir dir;
        const QByteArray root = QFile::encodeName(dir.path()) + "/Options/";
        const QByteArray folder = root + "Pack/" + group + '/';
        QVERIFY(QDir().mkpath(dir.path() + S("/Options/Pack")) && makeNativeFolder(folder));
        // Renamed at the end to names the temporary folder can remove.
        auto tidy = qScopeGuard([&] {
            ::rename(folder + option, folder + "done");
            ::rename(folder, root + "Pack/done");
        });
        for (const QByteArray &leaf : {option, QByteArray("Z")}) {
            QVERIFY(makeNativeFolder(folder + leaf));
            QVERIFY(makeNativeFile(folder + leaf + "/options.ini",
                                   Descriptor(leaf == "Z" ? CheckOn : CheckOff)));
            QVERIFY(makeNativeFile(folder + leaf + "/RunMe.sh", ""));
        }
        OptionTree tree;
        int count = 0;
        GetDirectories(tree, QFile::decodeName(root), nullptr, count);
        const auto &leaves = tree.TopLevel().front()->Children.front()->Children;
        QCOMPARE(leaves.size(), size_t(2));
        OptionNode *ticked =
            leaves.front()->HasName(S("Z")) ? leaves.back().get() : leaves.front().get();
        UpdateTreeViewCheckBox(tree, ticked, QFile::decodeName(root));
        QCOMPARE(readNative(folder + option + "/options.ini"), Descriptor(CheckOn));
        QCOMPARE(readNative(folder + "Z/options.ini"), Descriptor(CheckOff));
    }
};

QTEST_GUILESS_MAIN(TestSelection)
#include "tst_selection.moc"
