// A tick in a large group keeps the group folder's listing for the next tick; whatever changes
// in that folder in between must be seen by the next tick all the same.

#include "common/TestFiles.h"
#include "core/Common.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "options/SelectionRules.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr int GroupSize = 300; // large enough for its listing to be kept

QString S(const char *text)
{
    return QString::fromUtf8(text);
}

void WriteMode(const QString &folder, int mode, const QByteArray &extra = QByteArray())
{
    QDir().mkpath(folder);
    QFile f(folder + S("/options.ini"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(folder));
    f.write(extra + "[Mode]\r\nOptionMode=" + QByteArray::number(mode) + "\r\n");
    QFile(folder + S("/RunMe.sh")).open(QIODevice::WriteOnly);
}

int ModeOnDisk(const QString &folder)
{
    QFile f(folder + S("/options.ini"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = f.readAll();
    const qsizetype at = text.lastIndexOf("OptionMode=");
    return at < 0 ? -1 : text.mid(at + 11).trimmed().toInt();
}

// Waits until the folder has not changed for the time after which its listing is kept.
void LetSettle(const QString &folder)
{
    struct stat st = {};
    QVERIFY(::stat(QFile::encodeName(folder).constData(), &st) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() - st.st_ctim.tv_sec >= 3, 10000);
}

} // namespace

class TestSelection : public QObject
{
    Q_OBJECT

private slots:
    void changeInAKeptFolderIsSeen_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("descriptor in other case") << QByteArray("OPTIONS.INI");
        QTest::newRow("descriptor as written") << QByteArray("options.ini");
    }

    // Pack links its children, so a tick in Group clears Other as well; once Group's own
    // descriptor says it links its children, a tick there leaves Other alone.
    void changeInAKeptFolderIsSeen()
    {
        QFETCH(QByteArray, name);
        QTemporaryDir dir;
        const QString root = dir.path() + S("/Options/");
        const QString group = root + S("Pack/Group");
        OptionTree tree;
        OptionNode *pack = tree.Add(nullptr, S("Pack"));
        OptionNode *groupNode = tree.Add(pack, S("Group"));
        std::vector<OptionNode *> leaves;
        for (int i = 0; i < GroupSize; ++i) {
            const QString leaf = S("Option%1").arg(i, 3, 10, QLatin1Char('0'));
            WriteMode(group + u'/' + leaf, CheckOff);
            leaves.push_back(tree.Add(groupNode, leaf));
            leaves.back()->StateIndex = CheckOff;
        }
        OptionNode *other = tree.Add(tree.Add(pack, S("OtherGroup")), S("Other"));
        const QString otherFolder = root + S("Pack/OtherGroup/Other");
        WriteMode(root + S("Pack"), FolderClosed, "[LinkChildren]\r\nOptionLinkChildren=1\r\n");
        LetSettle(group);

        WriteMode(otherFolder, CheckOn);
        other->StateIndex = CheckOn;
        UpdateTreeViewCheckBox(tree, leaves[0], root);
        QCOMPARE(ModeOnDisk(group + S("/Option000")), int(CheckOn));
        QCOMPARE(ModeOnDisk(otherFolder), int(CheckOff));

        // Group's listing was kept by that tick; now a descriptor appears in it.
        QFile descriptor(group + u'/' + QString::fromLatin1(name));
        QVERIFY(descriptor.open(QIODevice::WriteOnly));
        descriptor.write("[LinkChildren]\r\nOptionLinkChildren=1\r\n");
        descriptor.close();
        WriteMode(otherFolder, CheckOn);
        other->StateIndex = CheckOn;
        UpdateTreeViewCheckBox(tree, leaves[1], root);
        QCOMPARE(ModeOnDisk(group + S("/Option000")), int(CheckOff));
        QCOMPARE(ModeOnDisk(group + S("/Option001")), int(CheckOn));
        QCOMPARE(ModeOnDisk(otherFolder), int(CheckOn));
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
        const QByteArray groupPath = root + "Pack/" + group;
        QVERIFY(QDir().mkpath(dir.path() + S("/Options/Pack")));
        QVERIFY(testfiles::makeNativeFolder(groupPath));
        const QByteArray descriptor = "[RunMe]\r\nOptionRunMeFName=RunMe.sh\r\n"
                                      "[Mode]\r\nOptionMode=2\r\n";
        const QByteArray selected = "[RunMe]\r\nOptionRunMeFName=RunMe.sh\r\n"
                                    "[Mode]\r\nOptionMode=3\r\n";
        // Names that are not UTF-8 are given names the temporary folder can remove at the end.
        auto tidy = qScopeGuard([&] {
            ::rename(groupPath + '/' + option, groupPath + "/done");
            ::rename(groupPath, root + "Pack/done");
        });
        for (const QByteArray &leaf : {option, QByteArray("Z")}) {
            QVERIFY(testfiles::makeNativeFolder(groupPath + '/' + leaf));
            QVERIFY(testfiles::makeNativeFile(groupPath + '/' + leaf + "/options.ini",
                                              leaf == "Z" ? selected : descriptor));
            QVERIFY(testfiles::makeNativeFile(groupPath + '/' + leaf + "/RunMe.sh", ""));
        }
        OptionTree tree;
        int count = 0;
        GetDirectories(tree, QFile::decodeName(root), nullptr, count);
        OptionNode *groupNode = tree.TopLevel().front()->Children.front().get();
        QCOMPARE(groupNode->Children.size(), size_t(2));
        OptionNode *ticked = groupNode->Children.front().get();
        if (ticked->HasName(S("Z")))
            ticked = groupNode->Children.back().get();
        UpdateTreeViewCheckBox(tree, ticked, QFile::decodeName(root));
        QCOMPARE(testfiles::readNative(groupPath + '/' + option + "/options.ini"), selected);
        QCOMPARE(testfiles::readNative(groupPath + "/Z/options.ini"), descriptor);
    }
};

QTEST_GUILESS_MAIN(TestSelection)
#include "tst_selection.moc"
