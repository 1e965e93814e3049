// The tree filter's index without a window: which nodes a text shows, and where in each name it
// matched, for folded (case, accents) and plain names.
#include "common/TestFiles.h"
#include "options/OptionFilter.h"
#include "options/OptionNode.h"

#include <QtTest>

using namespace testfiles;

class TestFilter : public QObject
{
    Q_OBJECT

    // Colours/Glass Teal, Colours/Warm/Crème, Colours/Warm/Deep/Teal Night, Fonts/Small, and
    // a top-level "TEAL" with no children.
    static void build(OptionTree &tree)
    {
        OptionNode *colours = tree.Add(nullptr, S("Colours"));
        tree.Add(colours, S("Glass Teal"));
        OptionNode *warm = tree.Add(colours, S("Warm"));
        tree.Add(warm, S("Crème"));
        OptionNode *deep = tree.Add(warm, S("Deep"));
        tree.Add(deep, S("Teal Night"));
        OptionNode *fonts = tree.Add(nullptr, S("Fonts"));
        tree.Add(fonts, S("Small"));
        tree.Add(nullptr, S("TEAL"));
    }

    static QStringList shown(const OptionFilterIndex &index)
    {
        QStringList names;
        for (size_t i = 0; i < index.Nodes().size(); ++i) {
            if (index.Visible()[i])
                names.append(index.Nodes()[i]->Text());
        }
        return names;
    }

private Q_SLOTS:
    void fold_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("folded");
        QTest::newRow("ascii") << S("Glass TEAL") << S("glass teal");
        QTest::newRow("precomposed accents") << S("Crème Brûlée") << S("creme brulee");
        QTest::newRow("combining mark in the name") << S("Cre\u0300me") << S("creme");
        QTest::newRow("capital with accent") << S("ÉCLAIR") << S("eclair");
        QTest::newRow("letters without decomposition") << S("Øre Straße") << S("øre straße");
        QTest::newRow("outside the basic plane") << S("A\U0001F600b") << S("a\U0001F600b");
    }

    void fold()
    {
        QFETCH(QString, text);
        QFETCH(QString, folded);
        std::vector<int> positions;
        QCOMPARE(FoldForFilter(text, &positions), folded);
        QCOMPARE(static_cast<int>(positions.size()), folded.size());
        // Every folded character points at a character of the name, in order.
        for (size_t i = 0; i < positions.size(); ++i) {
            QVERIFY(positions[i] >= 0 && positions[i] < text.size());
            if (i > 0)
                QVERIFY(positions[i] >= positions[i - 1]);
        }
    }

    void visibleNodes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("visible");
        QTest::addColumn<int>("matches");
        QTest::newRow("lower case finds every teal, three levels deep")
            << S("teal") << QStringList{S("Colours"), S("Glass Teal"), S("Warm"),
                                        S("Deep"),    S("Teal Night"), S("TEAL")}
            << 3;
        QTest::newRow("plain letters find the accented name")
            << S("creme") << QStringList{S("Colours"), S("Warm"), S("Crème")} << 1;
        QTest::newRow("accented text finds it too")
            << S("CRÈME") << QStringList{S("Colours"), S("Warm"), S("Crème")} << 1;
        QTest::newRow("a folder's own name shows it alone")
            << S("font") << QStringList{S("Fonts")} << 1;
        QTest::newRow("no match hides everything") << S("zzz") << QStringList{} << 0;
        QTest::newRow("empty text shows everything")
            << QString()
            << QStringList{S("Colours"),    S("Glass Teal"), S("Warm"),  S("Crème"), S("Deep"),
                           S("Teal Night"), S("Fonts"),      S("Small"), S("TEAL")}
            << 0;
        QTest::newRow("only a combining mark is no text")
            << S("\u0300")
            << QStringList{S("Colours"),    S("Glass Teal"), S("Warm"),  S("Crème"), S("Deep"),
                           S("Teal Night"), S("Fonts"),      S("Small"), S("TEAL")}
            << 0;
    }

    void visibleNodes()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, visible);
        QFETCH(int, matches);
        OptionTree tree;
        build(tree);
        OptionFilterIndex index(tree);
        // A narrower text after a wider one leaves nothing of the first behind.
        index.Apply(S("a"));
        QCOMPARE(index.Apply(text), matches);
        QCOMPARE(shown(index), visible);
    }

    void matchRangeInTheShownName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("length");
        QTest::newRow("plain") << S("Glass Teal") << S("teal") << 6 << 4;
        QTest::newRow("accented character inside") << S("Crème") << S("reme") << 1 << 4;
        QTest::newRow("ends on an accented character") << S("Café Noir") << S("cafe") << 0 << 4;
        QTest::newRow("combining mark stays with its letter")
            << S("Cafe\u0301 Noir") << S("cafe") << 0 << 5;
        QTest::newRow("no match") << S("Small") << S("teal") << -1 << 0;
    }

    void matchRangeInTheShownName()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(int, start);
        QFETCH(int, length);
        OptionTree tree;
        OptionNode *node = tree.Add(nullptr, name);
        OptionFilterIndex index(tree);
        index.Apply(text);
        const OptionFilterIndex::Range range = index.MatchIn(node);
        QCOMPARE(range.Start, start);
        if (start >= 0)
            QCOMPARE(range.Length, length);
    }
};

QTEST_GUILESS_MAIN(TestFilter)
#include "tst_filter.moc"
