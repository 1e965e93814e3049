#include "rtf/RtfReader.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextTable>

#include <functional>

using platform::isRtf;
using platform::readRtf;

namespace {

QByteArray fixture(const char *name)
{
    QFile file(QStringLiteral(VARIMOND_SOURCE_DIR "/tests/data/rtf/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test data %s", name);
    return file.readAll();
}

// The document's text with paragraph ends as '\n'; other characters (no-break spaces, line
// separators) are kept as they are, unlike toPlainText().
QString text(const QTextDocument &doc)
{
    QString s = doc.toRawText();
    s.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return s;
}

QString textOf(const QByteArray &rtf)
{
    QTextDocument doc;
    readRtf(rtf, &doc);
    return text(doc);
}

// The format of the characters of the first occurrence of @p probe; fails the test when the
// probe is missing or its characters are not formatted alike.
QTextCharFormat formatOf(const QTextDocument &doc, const QString &probe)
{
    const int at = text(doc).indexOf(probe);
    if (at < 0) {
        qWarning("probe %s not found in %s", qPrintable(probe), qPrintable(text(doc)));
        return {};
    }
    QTextCursor first(const_cast<QTextDocument *>(&doc));
    first.setPosition(at + 1);
    const QTextCharFormat format = first.charFormat();
    for (int i = 2; i <= probe.size(); ++i) {
        QTextCursor c(const_cast<QTextDocument *>(&doc));
        c.setPosition(at + i);
        if (c.charFormat() != format) {
            qWarning("probe %s has mixed formats", qPrintable(probe));
            return {};
        }
    }
    return format;
}

QTextBlockFormat blockOf(const QTextDocument &doc, const QString &probe)
{
    const int at = text(doc).indexOf(probe);
    return at < 0 ? QTextBlockFormat() : doc.findBlock(at).blockFormat();
}

Qt::Alignment horizontal(const QTextBlockFormat &f)
{
    return f.alignment() & Qt::AlignHorizontal_Mask;
}

QString colorName(const QBrush &brush)
{
    return brush.style() == Qt::NoBrush ? QString() : brush.color().name();
}

int fragmentCount(const QTextBlock &block)
{
    int n = 0;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        ++n;
    return n;
}

// A minimal document around @p body, with a font and colour table like WordPad's.
QByteArray rtf(const QByteArray &body)
{
    return "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"
           "{\\f1\\fmodern\\fprq1\\fcharset0 Courier New;}}"
           "{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green128\\blue0;\\red0\\green0\\blue255;}"
           "\\viewkind4\\uc1\\pard\\f0\\fs20 " +
           body + "\\par\r\n}\r\n";
}

// The tables directly in the document's root frame, in order.
QList<QTextTable *> tablesOf(const QTextDocument &doc)
{
    QList<QTextTable *> tables;
    for (QTextFrame *frame : doc.rootFrame()->childFrames()) {
        if (auto *table = qobject_cast<QTextTable *>(frame))
            tables.append(table);
    }
    return tables;
}

// A cell's text, paragraphs joined with '\n'.
QString cellText(QTextTable *table, int row, int column)
{
    const QTextTableCell cell = table->cellAt(row, column);
    QTextCursor c = cell.firstCursorPosition();
    c.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
    return c.selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
}

} // namespace

class TestRtf : public QObject
{
    Q_OBJECT

private slots:
    void detectsRtf_data();
    void detectsRtf();

    void wordPadDocument();
    void wordDocument();
    void libreOfficeDocument();

    void escapes_data();
    void escapes();
    void codePages_data();
    void codePages();
    void destinations_data();
    void destinations();
    void paragraphs_data();
    void paragraphs();

    void characterFormats_data();
    void characterFormats();
    void paragraphFormats();
    void defaultTabStops();
    void equalRunsShareOneFragment();
    void replacesPreviousContent();
    void largeDocument();

    void malformed_data();
    void malformed();
    void deepNestingKeepsText();
    void formattingBeyondDepthLimitEndsWithItsGroups();
    void destinationBeyondDepthLimitIsSkipped();
    void hugeNumbersAreClamped();
    void fontVariantsAreBounded();
    void binaryGarbageFinishes();

    void codePagesByFont_data();
    void codePagesByFont();
    void symbolFonts_data();
    void symbolFonts();
    void readDestinations_data();
    void readDestinations();
    void tables_data();
    void tables();
    void nestedTable();
    void deepNestedTablesAreFlattened();
    void cellFormats();
    void contextualSpacing();
    void paragraphShading();
    void fuzzSeedsRead();
};

void TestRtf::detectsRtf_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("expected");
    QTest::newRow("plain header") << QByteArray("{\\rtf1\\ansi hello}") << true;
    QTest::newRow("bare") << QByteArray("{\\rtf") << true;
    QTest::newRow("utf-8 bom") << QByteArray("\xEF\xBB\xBF{\\rtf1 x}") << true;
    QTest::newRow("leading blanks") << QByteArray(" \t\r\n{\\rtf1 x}") << true;
    QTest::newRow("bom and blanks") << QByteArray("\xEF\xBB\xBF\r\n {\\rtf1}") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("text") << QByteArray("ReadMe for the option") << false;
    QTest::newRow("short") << QByteArray("{\\rt") << false;
    QTest::newRow("upper case") << QByteArray("{\\RTF1 x}") << false;
    QTest::newRow("text before") << QByteArray("x{\\rtf1 y}") << false;
    QTest::newRow("html") << QByteArray("<html>{\\rtf1</html>") << false;
    QTest::newRow("utf-16") << QByteArray("\xFF\xFE{\0\\\0r\0t\0f\0", 12) << false;
}

void TestRtf::detectsRtf()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, expected);
    QCOMPARE(isRtf(data), expected);
}

void TestRtf::wordPadDocument()
{
    const QByteArray data = fixture("wordpad.rtf");
    QVERIFY(isRtf(data));
    QTextDocument doc;
    readRtf(data, &doc);

    QCOMPARE(text(doc), QString::fromUtf8("Blue Sky Option\n"
                                          "This option replaces the sky textures with a "
                                          "brighter set. Café prices are now in €uro.\n"
                                          "Underlined note, then struck text.\n"
                                          "•\tFirst item\n"
                                          "•\tSecond item\n"
                                          "Version 2.01\n"
                                          "Visit the home page for news."));

    const QTextCharFormat title = formatOf(doc, QStringLiteral("Blue Sky Option"));
    QCOMPARE(title.fontWeight(), int(QFont::Bold));
    QCOMPARE(title.fontPointSize(), 16.0);
    QCOMPARE(title.fontFamilies().toStringList(), QStringList{QStringLiteral("Calibri")});
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("Blue Sky"))), Qt::AlignHCenter);
    QCOMPARE(blockOf(doc, QStringLiteral("Blue Sky")).bottomMargin(), 200 / 15.0);

    const QTextCharFormat body = formatOf(doc, QStringLiteral("This option replaces the "));
    QCOMPARE(body.fontWeight(), int(QFont::Normal));
    QCOMPARE(body.fontPointSize(), 11.0);
    QVERIFY(!body.fontItalic());
    QCOMPARE(colorName(body.foreground()), QString());
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("This option"))), Qt::AlignLeft);

    QVERIFY(formatOf(doc, QStringLiteral("sky textures")).fontItalic());
    QCOMPARE(colorName(formatOf(doc, QStringLiteral("brighter")).foreground()),
             QStringLiteral("#ff0000"));
    QCOMPARE(colorName(formatOf(doc, QStringLiteral(" set.")).foreground()), QString());
    QVERIFY(formatOf(doc, QStringLiteral("Underlined note")).fontUnderline());
    QVERIFY(!formatOf(doc, QStringLiteral(", then")).fontUnderline());
    QVERIFY(formatOf(doc, QStringLiteral("struck")).fontStrikeOut());
    QVERIFY(!formatOf(doc, QStringLiteral(" text.")).fontStrikeOut());

    const QTextBlockFormat item = blockOf(doc, QStringLiteral("First item"));
    QCOMPARE(item.leftMargin(), 48.0);
    QCOMPARE(item.textIndent(), -24.0);
    // Laid out, the bullet hangs 24 pixels left of the item's text, which starts at the indent.
    doc.setTextWidth(600);
    (void)doc.size();
    const int itemAt = text(doc).indexOf(QStringLiteral("First item"));
    const QTextBlock itemBlock = doc.findBlock(itemAt);
    const QTextLine line = itemBlock.layout()->lineAt(0);
    const qreal bulletX = line.cursorToX(0);
    const qreal textX = line.cursorToX(itemAt - itemBlock.position());
    QCOMPARE(qRound(textX - bulletX), 24);
    QCOMPARE(qRound(textX), 48); // from the block's left edge

    const QTextCharFormat version = formatOf(doc, QStringLiteral("Version 2.01"));
    QCOMPARE(version.fontPointSize(), 10.0);
    QCOMPARE(version.fontFamilies().toStringList(), QStringList{QStringLiteral("Times New Roman")});
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("Version"))), Qt::AlignRight);

    const QTextCharFormat link = formatOf(doc, QStringLiteral("the home page"));
    QVERIFY(link.isAnchor());
    QCOMPARE(link.anchorHref(), QStringLiteral("https://example.com/varimond"));
    QVERIFY(link.fontUnderline());
    QCOMPARE(colorName(link.foreground()), QStringLiteral("#004dbb"));
    QVERIFY(!formatOf(doc, QStringLiteral(" for news.")).isAnchor());
}

void TestRtf::wordDocument()
{
    QTextDocument doc;
    readRtf(fixture("word.rtf"), &doc);

    // Header, footer, style sheet, list table, info, theme and XML data show nothing.
    QCOMPARE(text(doc), QString::fromUtf8("Varimond Interface Pack\n"
                                          "Install it from the options tree. It changes the "
                                          "fonts and colours – nothing else.\n"
                                          "•\tBack up your files first\n"
                                          "See the project page."));

    const QTextCharFormat heading = formatOf(doc, QStringLiteral("Varimond Interface Pack"));
    QCOMPARE(heading.fontWeight(), int(QFont::Bold));
    QCOMPARE(heading.fontPointSize(), 18.0);
    QCOMPARE(heading.fontFamilies().toStringList(), QStringList{QStringLiteral("Calibri")});
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("Varimond"))), Qt::AlignHCenter);

    QVERIFY(formatOf(doc, QStringLiteral("fonts")).fontItalic());
    QCOMPARE(colorName(formatOf(doc, QStringLiteral("colours")).foreground()),
             QStringLiteral("#ff0000"));
    QCOMPARE(formatOf(doc, QStringLiteral("Install it")).fontPointSize(), 11.0);
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("Install"))), Qt::AlignLeft);

    const QTextBlockFormat item = blockOf(doc, QStringLiteral("Back up"));
    QCOMPARE(item.leftMargin(), 48.0);
    QCOMPARE(item.textIndent(), -24.0);
    QCOMPARE(item.lineHeightType(), int(QTextBlockFormat::ProportionalHeight));

    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("See the"))), Qt::AlignJustify);
    const QTextCharFormat link = formatOf(doc, QStringLiteral("the project page"));
    QCOMPARE(link.anchorHref(), QStringLiteral("http://www.example.org/pack"));
    QCOMPARE(colorName(link.foreground()), QStringLiteral("#0563c1"));
    QVERIFY(link.fontUnderline());
}

void TestRtf::libreOfficeDocument()
{
    QTextDocument doc;
    readRtf(fixture("libreoffice.rtf"), &doc);
    QCOMPARE(text(doc), QString::fromUtf8("Dark Theme for München\n"
                                          "Prices: 5 € or ¥ red and marked and code.\n"
                                          "The Team"));
    const QTextCharFormat title = formatOf(doc, QStringLiteral("Dark Theme"));
    QCOMPARE(title.fontWeight(), int(QFont::Bold));
    QCOMPARE(title.fontPointSize(), 14.0);
    QCOMPARE(title.fontFamilies().toStringList(), QStringList{QStringLiteral("Liberation Serif")});
    QCOMPARE(colorName(formatOf(doc, QStringLiteral("red")).foreground()),
             QStringLiteral("#800000"));
    QCOMPARE(colorName(formatOf(doc, QStringLiteral("marked")).background()),
             QStringLiteral("#ffff00"));
    const QTextCharFormat code = formatOf(doc, QStringLiteral("code"));
    QCOMPARE(code.fontFamilies().toStringList(), QStringList{QStringLiteral("Liberation Mono")});
    QVERIFY(code.fontFixedPitch());
    QCOMPARE(code.fontPointSize(), 10.0);
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("The Team"))), Qt::AlignRight);
    QVERIFY(formatOf(doc, QStringLiteral("The Team")).fontItalic());
}

void TestRtf::escapes_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    auto row = [](const char *name, const QByteArray &body, const char *utf8) {
        QTest::newRow(name) << body << QString::fromUtf8(utf8);
    };
    row("hex escape", "Caf\\'e9", "Café");
    row("hex escape upper case", "Caf\\'E9", "Café");
    row("hex euro in 1252", "\\'80 5", "€ 5");
    row("hex quotes in 1252", "\\'93q\\'94", "“q”");
    row("hex with one digit", "a\\'e", "a");
    row("hex with no digit", "a\\'zz", "azz");
    row("unicode with fallback", "\\u8364?5", "€5");
    row("unicode then space delimiter", "\\u8364 ?x", "€x");
    row("unicode negative", "\\u-3938?", "\xEF\x82\x9E"); // U+F09E
    row("unicode two fallback bytes", "{\\uc2\\u8364\\'80\\'80}x", "€x");
    row("unicode fallback escape", "\\u233\\'e9t\\u233\\'e9", "été");
    row("unicode no fallback", "\\uc0\\u8364 x", "€x");
    row("unicode fallback group ends", "{\\uc3\\u8364 a}b", "€b");
    row("unicode surrogate pair", "\\u-10179?\\u-8704?", "\xF0\x9F\x98\x80");
    row("unicode lone high surrogate", "\\u-10179?x", "\xEF\xBF\xBDx");
    row("unicode lone low surrogate", "\\u-8704?x", "\xEF\xBF\xBDx");
    row("unicode out of range", "\\u99999999?x", "\xEF\xBF\xBDx");
    row("unicode very negative", "\\u-99999?x", "\xEF\xBF\xBDx");
    row("unicode zero", "a\\u0?b", "ab");
    row("unicode control char", "a\\u7?b", "ab");
    row("unicode paragraph separator", "a\\u8233?b",
        "a\xE2\x80\xA8"
        "b");
    row("uc scoped to group", "{\\uc0 }\\u8364?", "€");
    row("no-break space", "a\\~b",
        "a\xC2\xA0"
        "b");
    row("optional hyphen", "co\\-op", "coop");
    row("non-breaking hyphen", "a\\_b",
        "a\xE2\x80\x91"
        "b");
    row("escaped braces and backslash", "\\{x\\}\\\\", "{x}\\");
    row("dashes and bullet", "\\emdash\\endash\\bullet", "—–•");
    row("single quotes", "\\lquote x\\rquote", "‘x’");
    row("double quotes", "\\ldblquote y\\rdblquote", "“y”");
    row("spaces", "a\\emspace b\\enspace c",
        "a\xE2\x80\x83"
        "b\xE2\x80\x82"
        "c");
    row("tab", "a\\tab b", "a\tb");
    row("raw tab", "a\tb", "a\tb");
    row("line", "a\\line b",
        "a\xE2\x80\xA8"
        "b");
    row("par", "a\\par b", "a\nb");
    row("empty paragraph", "a\\par\\par b", "a\n\nb");
    row("backslash newline", "a\\\nb", "a\nb");
    row("raw newlines ignored", "a\r\nb\nc\rd", "abcd");
    row("space after word is delimiter", "\\b  bold", " bold");
    row("unknown words ignored", "a\\foo b\\bar12 c", "abc");
    row("unknown symbol ignored", "a\\|b\\:c", "abc");
    row("very long word ignored", "a\\" + QByteArray(100, 'x') + " b", "ab");
    row("null bytes ignored", QByteArray("a\0b", 3), "ab");
    row("control bytes ignored",
        "a\x01\x1f"
        "b",
        "ab");
    row("hidden text", "a{\\v hidden}b\\v0 c", "abc");
    row("list text shown", "{\\listtext 1.\\tab}Item", "1.\tItem");
    row("symbol bullet", "{\\fonttbl{\\f5\\fcharset2 Symbol;}}{\\f5\\'b7}x", "•x");
    row("wingdings bullet", "{\\fonttbl{\\f6\\fnil\\fcharset2 Wingdings;}}{\\f6\\'a7}x", "▪x");
    row("binary data skipped", "x{\\pict\\bin4 {{}}}y", "xy");
    row("binary data in text", "a\\bin3 \\}{b", "ab");
}

void TestRtf::escapes()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QCOMPARE(textOf(rtf(body)), expected);
}

void TestRtf::codePages_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");
    QTest::newRow("default is 1252") << QByteArray("{\\rtf1 \\'e9\\'80}") << QStringLiteral("é€");
    QTest::newRow("ansicpg1251") << QByteArray("{\\rtf1\\ansi\\ansicpg1251 \\'c0\\'e1}")
                                 << QStringLiteral("Аб");
    QTest::newRow("ansicpg1250") << QByteArray("{\\rtf1\\ansi\\ansicpg1250 \\'b9}")
                                 << QStringLiteral("ą");
    QTest::newRow("ansicpg866") << QByteArray("{\\rtf1\\ansi\\ansicpg866 \\'80\\'a0}")
                                << QStringLiteral("Аа");
    QTest::newRow("unknown code page falls back to 1252")
        << QByteArray("{\\rtf1\\ansi\\ansicpg4242 \\'e9}") << QStringLiteral("é");
    QTest::newRow("font charset cyrillic")
        << QByteArray("{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0 Arial;}{\\f1\\fcharset204 "
                      "Arial Cyr;}}\\f0 \\'e9{\\f1 \\'e9}\\'e9}")
        << QStringLiteral("éйé");
    QTest::newRow("font charset shift-jis")
        << QByteArray("{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}{\\f1\\fcharset128 MS Mincho;}}"
                      "{\\f1 \\'82\\'a0\\'83\\'41}}")
        << QStringLiteral("あア");
    QTest::newRow("font cpg wins") << QByteArray("{\\rtf1{\\fonttbl{\\f1\\fcharset0\\cpg1253 G;}}"
                                                 "\\f1 \\'e1}")
                                   << QStringLiteral("α");
    QTest::newRow("font name in code page")
        << QByteArray("{\\rtf1{\\fonttbl{\\f0\\fcharset204 \\'c0\\'e1;}}\\f0 x}")
        << QStringLiteral("x");
    QTest::newRow("raw high bytes") << QByteArray("{\\rtf1 caf\xe9}") << QStringLiteral("café");
}

void TestRtf::codePages()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);
    QCOMPARE(textOf(data), expected);
}

void TestRtf::destinations_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    for (const char *dest : {"info",
                             "stylesheet",
                             "pict",
                             "header",
                             "headerl",
                             "footer",
                             "footerf",
                             "fldinst",
                             "object",
                             "themedata",
                             "colorschememapping",
                             "latentstyles",
                             "datastore",
                             "xmlnstbl",
                             "listtable",
                             "listoverridetable",
                             "rsidtbl",
                             "generator",
                             "nonshppict",
                             "annotation",
                             "pn",
                             "fonttbl",
                             "colortbl"}) {
        const QByteArray name(dest);
        QTest::newRow(("skipped " + name).constData())
            << "a{\\" + name + " hidden {\\b nested}\\par more}b" << QStringLiteral("ab");
        QTest::newRow(("skipped starred " + name).constData())
            << "a{\\*\\" + name + " hidden}b" << QStringLiteral("ab");
    }
    QTest::newRow("unknown starred")
        << QByteArray("a{\\*\\unknownthing hidden {x}}b") << QStringLiteral("ab");
    QTest::newRow("unknown plain group shows text")
        << QByteArray("a{\\unknownthing shown}b") << QStringLiteral("ashownb");
    QTest::newRow("picture with hex and binary")
        << QByteArray("a{\\pict\\pngblip\\picw10 89504e47{\\*\\blipuid 00}\\bin2 }{}b")
        << QStringLiteral("ab");
    QTest::newRow("field result") << QByteArray("Page {\\field{\\*\\fldinst PAGE}{\\fldrslt 3}}")
                                  << QStringLiteral("Page 3");
    QTest::newRow("field without star")
        << QByteArray("{\\field{\\fldinst HYPERLINK \"x\"}{\\fldrslt link}}")
        << QStringLiteral("link");
    QTest::newRow("fldinst outside field")
        << QByteArray("a{\\fldinst secret}b") << QStringLiteral("ab");
    QTest::newRow("object result skipped")
        << QByteArray("a{\\object\\objemb{\\*\\objclass Paint}{\\*\\objdata 0102}{\\result x}}b")
        << QStringLiteral("ab");
    QTest::newRow("escaped brace inside skipped")
        << QByteArray("a{\\info \\} \\{ \\'7d}b") << QStringLiteral("ab");
}

void TestRtf::destinations()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QCOMPARE(textOf(rtf(body)), expected);
}

void TestRtf::paragraphs_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");
    QTest::newRow("final par adds no line") << QByteArray("{\\rtf1 a\\par}") << QStringLiteral("a");
    QTest::newRow("two final pars") << QByteArray("{\\rtf1 a\\par\\par}") << QStringLiteral("a\n");
    QTest::newRow("no final par") << QByteArray("{\\rtf1 a\\par b}") << QStringLiteral("a\nb");
    QTest::newRow("only par") << QByteArray("{\\rtf1\\par}") << QString();
    QTest::newRow("empty") << QByteArray("{\\rtf1}") << QString();
    QTest::newRow("sect and page")
        << QByteArray("{\\rtf1 a\\sect b\\page c}") << QStringLiteral("a\nb\nc");
    QTest::newRow("par in font table ignored")
        << QByteArray("{\\rtf1{\\fonttbl{\\f0 Arial;\\par}}x}") << QStringLiteral("x");
    QTest::newRow("text after closing brace")
        << QByteArray("{\\rtf1 a}\r\n\0\0", 14) << QStringLiteral("a");
}

void TestRtf::paragraphs()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);
    QCOMPARE(textOf(data), expected);
}

void TestRtf::characterFormats_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("italic");
    QTest::addColumn<bool>("underline");
    QTest::addColumn<bool>("strike");
    QTest::addColumn<double>("points");
    QTest::addColumn<QString>("foreground");
    QTest::addColumn<QString>("background");
    QTest::addColumn<QString>("family");

    const QString none;
    const QString arial = QStringLiteral("Arial");
    auto row = [&](const char *name, const QByteArray &body, const char *probe, bool b, bool i,
                   bool u, bool s, double pt, const QString &fg, const QString &bg,
                   const QString &family) {
        QTest::newRow(name) << body << QString::fromUtf8(probe) << b << i << u << s << pt << fg
                            << bg << family;
    };
    row("plain run", "x text y", "text", false, false, false, false, 10, none, none, arial);
    row("bold", "\\b text\\b0 y", "text", true, false, false, false, 10, none, none, arial);
    row("bold off", "\\b x\\b0 text", "text", false, false, false, false, 10, none, none, arial);
    row("italic", "\\i text", "text", false, true, false, false, 10, none, none, arial);
    row("italic off", "\\i x\\i0 text", "text", false, false, false, false, 10, none, none, arial);
    row("underline", "\\ul text", "text", false, false, true, false, 10, none, none, arial);
    row("underline zero", "\\ul x\\ul0 text", "text", false, false, false, false, 10, none, none,
        arial);
    row("ulnone", "\\ul x\\ulnone text", "text", false, false, false, false, 10, none, none, arial);
    row("double underline", "\\uldb text", "text", false, false, true, false, 10, none, none,
        arial);
    row("strike", "\\strike text", "text", false, false, false, true, 10, none, none, arial);
    row("strike off", "\\strike x\\strike0 text", "text", false, false, false, false, 10, none,
        none, arial);
    row("group restores", "{\\b\\i\\ul\\fs40\\cf1 x}text", "text", false, false, false, false, 10,
        none, none, arial);
    row("group sets", "{\\b\\i\\ul\\fs40\\cf1 text}", "text", true, true, true, false, 20,
        QStringLiteral("#ff0000"), none, arial);
    row("plain resets", "\\b\\i\\ul\\strike\\fs40\\cf1\\f1\\plain text", "text", false, false,
        false, false, 12, none, none, arial);
    row("half points", "\\fs17 text", "text", false, false, false, false, 8.5, none, none, arial);
    row("huge size clamped", "\\fs999999999999 text", "text", false, false, false, false, 1638,
        none, none, arial);
    row("tiny size clamped", "\\fs1 text", "text", false, false, false, false, 2, none, none,
        arial);
    row("zero size is default", "\\fs0 text", "text", false, false, false, false, 12, none, none,
        arial);
    row("colour", "\\cf2 text", "text", false, false, false, false, 10, QStringLiteral("#008000"),
        none, arial);
    row("colour auto", "\\cf1 x\\cf0 text", "text", false, false, false, false, 10, none, none,
        arial);
    row("colour out of range", "\\cf99 text", "text", false, false, false, false, 10, none, none,
        arial);
    row("colour huge index", "\\cf9999999999 text", "text", false, false, false, false, 10, none,
        none, arial);
    row("highlight", "\\highlight3 text", "text", false, false, false, false, 10, none,
        QStringLiteral("#0000ff"), arial);
    row("highlight off", "\\highlight3 x\\highlight0 text", "text", false, false, false, false, 10,
        none, none, arial);
    row("cb", "\\cb2 text", "text", false, false, false, false, 10, none, QStringLiteral("#008000"),
        arial);
    row("highlight wins over cb", "\\cb2\\highlight1 text", "text", false, false, false, false, 10,
        none, QStringLiteral("#ff0000"), arial);
    row("font", "\\f1 text", "text", false, false, false, false, 10, none, none,
        QStringLiteral("Courier New"));
    row("unknown font", "\\f7 text", "text", false, false, false, false, 10, none, none, none);
    row("hyperlink result keeps its formatting",
        "{\\field{\\*\\fldinst HYPERLINK \"https://x.test/\"}{\\fldrslt\\ul\\cf3 text}}", "text",
        false, false, true, false, 10, QStringLiteral("#0000ff"), none, arial);
}

void TestRtf::characterFormats()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, probe);
    QFETCH(bool, bold);
    QFETCH(bool, italic);
    QFETCH(bool, underline);
    QFETCH(bool, strike);
    QFETCH(double, points);
    QFETCH(QString, foreground);
    QFETCH(QString, background);
    QFETCH(QString, family);

    QTextDocument doc;
    readRtf(rtf(body), &doc);
    const QTextCharFormat f = formatOf(doc, probe);
    QVERIFY2(f.isValid(), qPrintable(text(doc)));
    QCOMPARE(f.fontWeight() >= QFont::Bold, bold);
    QCOMPARE(f.fontItalic(), italic);
    QCOMPARE(f.fontUnderline(), underline);
    QCOMPARE(f.fontStrikeOut(), strike);
    QCOMPARE(f.fontPointSize(), points);
    QCOMPARE(colorName(f.foreground()), foreground);
    QCOMPARE(colorName(f.background()), background);
    const QStringList families = f.fontFamilies().toStringList();
    QCOMPARE(families.value(0), family);
}

void TestRtf::paragraphFormats()
{
    QTextDocument doc;
    readRtf(rtf("\\qc centred\\par"
                "\\qr right\\par"
                "\\qj justified\\par"
                "\\pard left again\\par"
                "\\li1440\\ri720\\fi-360\\sb240\\sa120 indented\\par"
                "\\pard\\li-500\\fi-300 clamped\\par"
                "{\\qc in group\\par}"
                "after group\\par"
                "\\pard\\sl-360 exact\\par"
                "\\pard\\sl360 at least\\par"
                "\\pard\\tqr\\tx4320\\tx720 tabs\\par"
                "\\pard\\li1440\\tx720\\tx2160 indented tabs\\par"
                "\\pard\\li720\\fi-360\\tx2160 hanging\\par"
                "\\pard\\li99999999999\\sb-5 huge\\par"
                "\\pard\\qc last without par"),
            &doc);
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("centred"))), Qt::AlignHCenter);
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("right"))), Qt::AlignRight);
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("justified"))), Qt::AlignJustify);
    // \pard ends the previous paragraph's properties, even though \qc..\qj were never undone.
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("left again"))), Qt::AlignLeft);

    const QTextBlockFormat indented = blockOf(doc, QStringLiteral("indented"));
    QCOMPARE(indented.leftMargin(), 96.0);
    QCOMPARE(indented.rightMargin(), 48.0);
    QCOMPARE(indented.textIndent(), -24.0);
    QCOMPARE(indented.topMargin(), 16.0);
    QCOMPARE(indented.bottomMargin(), 8.0);

    // No paragraph starts left of the text area.
    const QTextBlockFormat clamped = blockOf(doc, QStringLiteral("clamped"));
    QCOMPARE(clamped.leftMargin(), 0.0);
    QCOMPARE(clamped.textIndent(), 0.0);

    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("in group"))), Qt::AlignHCenter);
    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("after group"))), Qt::AlignLeft);

    const QTextBlockFormat exact = blockOf(doc, QStringLiteral("exact"));
    QCOMPARE(exact.lineHeightType(), int(QTextBlockFormat::FixedHeight));
    QCOMPARE(exact.lineHeight(), 24.0);
    const QTextBlockFormat atLeast = blockOf(doc, QStringLiteral("at least"));
    QCOMPARE(atLeast.lineHeightType(), int(QTextBlockFormat::MinimumHeight));
    QCOMPARE(atLeast.lineHeight(), 24.0);

    const QList<QTextOption::Tab> tabs = blockOf(doc, QStringLiteral("tabs")).tabPositions();
    QCOMPARE(tabs.size(), 2);
    QCOMPARE(tabs[0].position, 48.0);
    QCOMPARE(tabs[0].type, QTextOption::LeftTab);
    QCOMPARE(tabs[1].position, 288.0);
    QCOMPARE(tabs[1].type, QTextOption::RightTab);
    // Tab stops count from the page margin in RTF and from the line's start in the layout; a
    // stop left of the indent is gone.
    const QList<QTextOption::Tab> indentedTabs =
        blockOf(doc, QStringLiteral("indented tabs")).tabPositions();
    QCOMPARE(indentedTabs.size(), 1);
    QCOMPARE(indentedTabs[0].position, 48.0);
    // A hanging indent is a tab stop where the lines below start.
    const QList<QTextOption::Tab> hanging = blockOf(doc, QStringLiteral("hanging")).tabPositions();
    QCOMPARE(hanging.size(), 2);
    QCOMPARE(hanging[0].position, 24.0);
    QCOMPARE(hanging[1].position, 120.0);

    const QTextBlockFormat huge = blockOf(doc, QStringLiteral("huge"));
    QCOMPARE(huge.leftMargin(), 1440 * 22 / 15.0);
    QCOMPARE(huge.topMargin(), 0.0);

    QCOMPARE(horizontal(blockOf(doc, QStringLiteral("last without par"))), Qt::AlignHCenter);
}

void TestRtf::defaultTabStops()
{
    QTextDocument doc;
    readRtf("{\\rtf1\\deftab1440 a\\tab b}", &doc);
    QCOMPARE(doc.defaultTextOption().tabStopDistance(), 96.0);
    // The next document without \deftab gets the half-inch default again.
    readRtf("{\\rtf1 a\\tab b}", &doc);
    QCOMPARE(doc.defaultTextOption().tabStopDistance(), 48.0);
}

void TestRtf::equalRunsShareOneFragment()
{
    QTextDocument doc;
    QByteArray body = "{\\b a}{\\b b}{\\b\\i0 c}\\b0 d{\\cf0 e}";
    for (int i = 0; i < 5000; ++i)
        body += "\\'e9{}";
    readRtf(rtf(body), &doc);
    const QTextBlock block = doc.firstBlock();
    QCOMPARE(block.text(), QStringLiteral("abcde") + QString(5000, QChar(0xE9)));
    QCOMPARE(fragmentCount(block), 2);
    QCOMPARE(block.begin().fragment().text(), QStringLiteral("abc"));
}

void TestRtf::replacesPreviousContent()
{
    QTextDocument doc;
    doc.setPlainText(QStringLiteral("old text\nmore old text"));
    readRtf(rtf("new"), &doc);
    QCOMPARE(text(doc), QStringLiteral("new"));
    QCOMPARE(doc.blockCount(), 1);

    // Non-RTF bytes given to the reader still show as text rather than being lost.
    readRtf("just words", &doc);
    QCOMPARE(text(doc), QStringLiteral("just words"));
}

void TestRtf::largeDocument()
{
    // About 1 MB in the shape of a long ReadMe: formatting changes and escapes on every line.
    QByteArray body;
    QString expected;
    for (int i = 0; body.size() < 1024 * 1024; ++i) {
        body += "Line " + QByteArray::number(i) +
                " with {\\b bold}, {\\i italic}, "
                "{\\cf1 colour} and caf\\'e9 \\u8364?.\\par\r\n";
        expected += QStringLiteral("Line %1 with bold, italic, colour and café €.\n").arg(i);
    }
    QTextDocument doc;
    readRtf(rtf(body), &doc);
    QCOMPARE(text(doc), expected);
    QCOMPARE(doc.blockCount(), expected.count(QLatin1Char('\n')) + 1);
    QVERIFY(formatOf(doc, QStringLiteral("bold")).fontWeight() == QFont::Bold);
}

void TestRtf::malformed_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");
    const QByteArray word = fixture("word.rtf");
    const QByteArray wordPad = fixture("wordpad.rtf");
    QTest::newRow("missing closing braces")
        << QByteArray("{\\rtf1 {\\b bold {\\i text") << QStringLiteral("bold text");
    QTest::newRow("extra closing braces")
        << QByteArray("{\\rtf1 {\\b a} b}} c}}") << QStringLiteral("a b");
    QTest::newRow("closing brace first") << QByteArray("}}{\\rtf1 a}") << QStringLiteral("a");
    QTest::newRow("truncated in word")
        << QByteArray("{\\rtf1 Hello \\pa") << QStringLiteral("Hello ");
    QTest::newRow("truncated after backslash")
        << QByteArray("{\\rtf1 Hello\\") << QStringLiteral("Hello");
    QTest::newRow("truncated in hex") << QByteArray("{\\rtf1 Caf\\'") << QStringLiteral("Caf");
    QTest::newRow("truncated in number") << QByteArray("{\\rtf1 x\\fs-2") << QStringLiteral("x");
    QTest::newRow("truncated in font table")
        << QByteArray("{\\rtf1{\\fonttbl{\\f0\\fswiss Ari") << QString();
    QTest::newRow("truncated in binary")
        << QByteArray("{\\rtf1 a\\bin99999999999 bbbb}") << QStringLiteral("a");
    QTest::newRow("negative binary length")
        << QByteArray("{\\rtf1 a\\bin-5 b}") << QStringLiteral("ab");
    QTest::newRow("truncated Word file")
        << word.left(word.indexOf("nothing else"))
        << QString::fromUtf8(
               "Varimond Interface Pack\n"
               "Install it from the options tree. It changes the fonts and colours – ");
    QTest::newRow("truncated WordPad file")
        << wordPad.left(wordPad.indexOf("Underlined"))
        << QString::fromUtf8("Blue Sky Option\nThis option replaces the sky textures with a "
                             "brighter set. Café prices are now in €uro.");
    QTest::newRow("huge unicode") << QByteArray("{\\rtf1 \\u99999999999999999999?x}")
                                  << QStringLiteral("\uFFFDx");
    QTest::newRow("huge uc") << QByteArray("{\\rtf1 {\\uc99999999999\\u65 abc}d}")
                             << QStringLiteral("Ad");
    QTest::newRow("huge font number")
        << QByteArray("{\\rtf1\\deff99999999999\\f-99999999999 x}") << QStringLiteral("x");
    QTest::newRow("huge ansicpg") << QByteArray("{\\rtf1\\ansicpg99999999999 \\'e9}")
                                  << QStringLiteral("é");
    QTest::newRow("many digits") << "{\\rtf1\\fs" + QByteArray(100000, '9') + " x}"
                                 << QStringLiteral("x");
    QTest::newRow("star without destination")
        << QByteArray("{\\rtf1 a\\*b}") << QStringLiteral("ab");
    QTest::newRow("fldrslt outside field")
        << QByteArray("{\\rtf1 {\\fldrslt x}}") << QStringLiteral("x");
    QTest::newRow("unterminated font entry")
        << QByteArray("{\\rtf1{\\fonttbl{\\f0 Arial}{\\f1 Times}}\\f1 x}") << QStringLiteral("x");
    QTest::newRow("colour table without semicolons")
        << QByteArray("{\\rtf1{\\colortbl\\red255}\\cf1 x}") << QStringLiteral("x");
}

void TestRtf::malformed()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);
    QCOMPARE(textOf(data), expected);
}

void TestRtf::deepNestingKeepsText()
{
    const int depth = 100000;
    QByteArray data = "{\\rtf1 start ";
    data += QByteArray(depth, '{');
    data += "deep";
    data += QByteArray(depth, '}');
    data += " after}";
    QCOMPARE(textOf(data), QStringLiteral("start deep after"));

    // Never closed.
    QByteArray open = "{\\rtf1 start ";
    for (int i = 0; i < depth; ++i)
        open += "{\\b ";
    open += "deep";
    QCOMPARE(textOf(open), QStringLiteral("start deep"));
}

void TestRtf::formattingBeyondDepthLimitEndsWithItsGroups()
{
    const int depth = 15000;
    QByteArray data = "{\\rtf1 ";
    data += QByteArray(depth, '{');
    data += "\\b x";
    data += QByteArray(depth, '}');
    data += " y}";
    QTextDocument doc;
    readRtf(data, &doc);
    QCOMPARE(text(doc), QStringLiteral("x y"));
    QCOMPARE(formatOf(doc, QStringLiteral("x")).fontWeight(), int(QFont::Bold));
    QCOMPARE(formatOf(doc, QStringLiteral(" y")).fontWeight(), int(QFont::Normal));
}

void TestRtf::destinationBeyondDepthLimitIsSkipped()
{
    const int depth = 20000;
    QByteArray data = "{\\rtf1 ";
    data += QByteArray(depth, '{');
    data += "{\\*\\secret hidden {nested}}{\\info also hidden}visible";
    data += QByteArray(depth, '}');
    data += "}";
    QCOMPARE(textOf(data), QStringLiteral("visible"));
}

void TestRtf::hugeNumbersAreClamped()
{
    QTextDocument doc;
    readRtf(rtf("\\fs-99999999999 a \\li99999999999999999999\\fi-99999999999999 b "
                "\\sl99999999999\\slmult1 c \\deftab999999999999 d"),
            &doc);
    QCOMPARE(text(doc), QStringLiteral("a b c d"));
    QCOMPARE(formatOf(doc, QStringLiteral("a")).fontPointSize(), 12.0);
    const QTextBlockFormat block = doc.firstBlock().blockFormat();
    QVERIFY(block.leftMargin() <= 1440 * 22 / 15.0);
    QVERIFY(block.leftMargin() + block.textIndent() >= 0);
    QVERIFY(block.lineHeight() <= 500);
    // The document still lays out.
    doc.setTextWidth(400);
    QVERIFY(doc.size().height() > 0);
}

void TestRtf::fontVariantsAreBounded()
{
    // Each font and size in a document costs the layout a font engine; thousands of them must
    // not make the view crawl. Sizes past the limit take the nearest size already in use.
    QByteArray body;
    QString expected;
    for (int i = 0; i < 3000; ++i) {
        body += "{\\f" + QByteArray::number(i % 2) + "\\fs" + QByteArray::number(2 + i) + " x}";
        expected += QLatin1Char('x');
    }
    QTextDocument doc;
    readRtf(rtf(body), &doc);
    QCOMPARE(text(doc), expected);
    QSet<QPair<QString, double>> variants;
    for (auto it = doc.firstBlock().begin(); !it.atEnd(); ++it) {
        const QTextCharFormat f = it.fragment().charFormat();
        variants.insert({f.fontFamilies().toStringList().value(0), f.fontPointSize()});
    }
    QVERIFY2(variants.size() <= 256, qPrintable(QString::number(variants.size())));
    QVERIFY(variants.size() >= 200);
    // The first ones keep their own size, later ones the nearest in use.
    QCOMPARE(formatOf(doc, QStringLiteral("x")).fontPointSize(), 2.0);
    QTextCursor last(&doc);
    last.movePosition(QTextCursor::End);
    QVERIFY(last.charFormat().fontPointSize() < 200);
}

void TestRtf::binaryGarbageFinishes()
{
    QRandomGenerator random(20240515);
    QByteArray garbage(512 * 1024, '\0');
    for (char &c : garbage)
        c = static_cast<char>(random.bounded(256));
    QTextDocument doc;
    readRtf("{\\rtf1 before " + garbage, &doc);
    QVERIFY(text(doc).startsWith(QStringLiteral("before ")));

    // Garbage made of RTF's own special characters.
    const char alphabet[] = "{}\\'*0123456789-abuclfs ?;\r\n";
    QByteArray tokens(512 * 1024, '\0');
    for (char &c : tokens)
        c = alphabet[random.bounded(int(sizeof alphabet) - 1)];
    readRtf("{\\rtf1 " + tokens, &doc);
    doc.setTextWidth(300);
    QVERIFY(doc.size().width() > 0);
}

QTEST_MAIN(TestRtf)
#include "tst_rtf.moc"

void TestRtf::codePagesByFont_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");
    // A font table with one font of the character set given, text in it and in the default font.
    auto row = [](const char *name, const QByteArray &header, const QByteArray &charset,
                  const QByteArray &bytes, const char *utf8) {
        QTest::newRow(name) << "{\\rtf1" + header + "{\\fonttbl{\\f0 Default;}{\\f1\\fcharset" +
                                   charset + " F;}}{\\f1 " + bytes + "}}"
                            << QString::fromUtf8(utf8);
    };
    row("charset 0 in a Cyrillic document", "\\ansi\\ansicpg1251", "0", "\\'e9", "é");
    row("charset 0 in a Japanese document", "\\ansi\\ansicpg932", "0", "\\'e9", "é");
    row("charset 1 is the document's", "\\ansi\\ansicpg1251", "1", "\\'e9", "й");
    row("charset 256 is the document's", "\\ansi\\ansicpg1251", "256", "\\'e9", "й");
    row("charset 300 is the document's", "\\ansi\\ansicpg1253", "300", "\\'e1", "α");
    row("Greek", "", "161", "\\'e1\\'e2", "αβ");
    row("Turkish", "", "162", "\\'fd", "ı");
    row("Hebrew", "", "177", "\\'e0", "א");
    row("Arabic", "", "178", "\\'c7", "ا");
    row("Baltic", "", "186", "\\'e0", "ą");
    row("Cyrillic", "", "204", "\\'c0", "А");
    row("Thai", "", "222", "\\'a1", "ก");
    row("Central European", "", "238", "\\'b9", "ą");
    row("Simplified Chinese", "", "134", "\\'c4\\'e3", "你");
    row("Traditional Chinese", "", "136", "\\'a4\\'a4", "中");
    row("Korean", "", "129", "\\'b0\\'a1", "가");
    row("Japanese trail as literal", "", "128", "\\'83A", "ア");
    row("Japanese trail is a backslash", "", "128", "\\'95\\'5c", "表");
    row("Mac Roman", "", "77", "\\'8e\\'a5", "é•");
    row("Mac Japanese", "", "78", "\\'82\\'a0", "あ");
    row("Mac Cyrillic", "", "89", "\\'80", "А");
    row("fallback lead byte takes its trail", "", "128", "\\uc1\\u12354\\'82\\'a0x\\u12450\\'83A",
        "あxア");
    row("two fallback bytes", "", "128", "\\uc2\\u12354\\'82\\'a0x", "あx");
    QTest::newRow("mac document") << QByteArray("{\\rtf1\\mac \\'8e\\'d5}") << QStringLiteral("é’");
    QTest::newRow("Mac code page")
        << QByteArray("{\\rtf1\\ansi\\ansicpg10000 \\'8e}") << QStringLiteral("é");
    QTest::newRow("Mac Cyrillic code page")
        << QByteArray("{\\rtf1\\ansi\\ansicpg10007 \\'80\\'e0}") << QStringLiteral("Аа");
}

void TestRtf::codePagesByFont()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);
    QCOMPARE(textOf(data), expected);
}

void TestRtf::symbolFonts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    const QByteArray fonts = "{\\fonttbl{\\f5\\ftech\\fcharset2 Symbol;}{\\f6\\fnil\\fcharset2 "
                             "Wingdings;}{\\f7\\fcharset2 Webdings;}{\\f8\\fcharset0 Symbol;}"
                             "{\\f9\\fcharset2 Zapf Dingbats;}{\\f10\\fcharset2 Wingdings 2;}"
                             "{\\f11\\fcharset2 Wingdings 3;}{\\f12\\fcharset2 Marlett;}}";
    auto row = [&fonts](const char *name, const QByteArray &body, const char *utf8) {
        QTest::newRow(name) << fonts + body << QString::fromUtf8(utf8);
    };
    row("Symbol Greek", "{\\f5 abgDW}", "αβγΔΩ");
    row("Symbol mathematics", "{\\f5 \\'b3\\'b9\\'a5\\'b4\\'d6\\'e5}", "≥≠∞×√∑");
    row("Symbol bullet", "{\\f5\\'b7}x", "•x");
    row("Symbol digits stay", "{\\f5 42}", "42");
    row("Symbol named without its character set", "{\\f8 p}", "π");
    row("Wingdings bullets", "{\\f6 l\\'a7n\\'d8v}", "●▪■➢❖");
    row("Wingdings arrows and checks", "{\\f6\\'e8\\'f0\\'fc}", "🡺⇨✔");
    row("Webdings", "{\\f7 a4}", "✔▶");
    row("Zapf Dingbats", "{\\f9 A3l\\'ac\\'d5}", "✡✓●①→");
    row("Zapf Dingbats in private use", "{\\f9\\u61505?}", "✡");
    row("Wingdings 2 checks", "{\\f10 RPO}", "☑✓✗");
    row("Wingdings 2 numbers", "{\\f10 jk}", "①②");
    row("Wingdings 3 arrows", "{\\f11 !\"tu}", "←→◀▶");
    row("Wingdings 3 is not Wingdings", "{\\f11 R}{\\f6 R}", "R☼");
    row("unknown symbol font keeps its characters", "{\\f12 abc}", "abc");
    row("private use in Symbol", "{\\f5\\u-3913?}", "•");
    row("private use in Wingdings", "{\\f6\\u61607?}", "▪");
    row("private use in a text font is Symbol's", "\\u61623?\\u61537?", "•α");
    row("private use without a glyph stays", "\\u61567?", "\xEF\x81\xBF");
    row("symbol font name stays readable", "{\\f6 \\'a7}{\\f0 x}", "▪x");
}

void TestRtf::symbolFonts()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QCOMPARE(textOf(rtf(body)), expected);
}

void TestRtf::readDestinations_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");
    const QByteArray head = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}{\\f5\\fcharset2 Symbol;}}";
    auto row = [&head](const char *name, const QByteArray &body, const char *utf8) {
        QTest::newRow(name) << head + body + "}" << QString::fromUtf8(utf8);
    };
    row("starred field result", "p{\\field{\\*\\fldinst PAGE}{\\*\\fldrslt 7}}", "p7");
    row("starred known destination", "a{\\*\\shptxt box}b", "aboxb");
    row("bullet from pn alone",
        "{\\*\\pn\\pnlvlblt\\pnf5{\\pntxtb\\'b7}}One\\par Two\\par\\pard After",
        "•\tOne\n•\tTwo\nAfter");
    row("bullet without text", "{\\*\\pn\\pnlvlblt}One", "•\tOne");
    row("pntext wins over pn",
        "{\\pntext\\f5\\'b7\\tab}{\\*\\pn\\pnlvlblt\\pnf5{\\pntxtb\\'b7}}One", "•\tOne");
    row("numbers from pn",
        "{\\*\\pn\\pnlvlbody\\pndec\\pnstart3{\\pntxta .}}One\\par Two\\par\\pard Three",
        "3.\tOne\n4.\tTwo\nThree");
    row("roman numbers", "{\\*\\pn\\pnlvlbody\\pnucrm\\pnstart4{\\pntxta )}}a\\par b",
        "IV)\ta\nV)\tb");
    row("letters", "{\\*\\pn\\pnlvl2\\pnlcltr{\\pntxtb (}{\\pntxta )}}a\\par b", "(a)\ta\n(b)\tb");
    row("numbering restarts after a plain paragraph",
        "{\\pard{\\*\\pn\\pnlvlbody\\pndec{\\pntxta .}}a\\par}\\pard "
        "x\\par{\\*\\pn\\pnlvlbody\\pndec{\\pntxta .}}b",
        "1.\ta\nx\n1.\tb");
    row("continuation has no marker", "{\\*\\pn\\pnlvlcont}more", "more");
    row("upr shows its Unicode part", "{\\upr{ansi text}{\\*\\ud{unicode text}}}", "unicode text");
    row("ud alone is skipped", "a{\\*\\ud{x}}b", "ab");
    row("footnotes at the end",
        "Text{\\super\\chftn}{\\footnote\\pard{\\super\\chftn} Note one.}more\\par "
        "Second{\\super\\chftn}{\\footnote{\\super\\chftn} Note two.}\\par",
        "Text1more\nSecond2\n1 Note one.\n2 Note two.");
    row("footnote with paragraphs", "a{\\footnote x\\par y}b", "ab\nx\ny");
    row("text box in place",
        "a{\\shp{\\*\\shpinst\\shpleft0{\\sp{\\sn fillColor}{\\sv 255}}{\\shptxt box "
        "text}}{\\shprslt fallback}}b",
        "abox textb");
    row("SYMBOL field with empty result",
        "{\\field{\\*\\fldinst SYMBOL 183 \\\\f \"Symbol\" \\\\s 10}{\\fldrslt }}x", "•x");
    row("SYMBOL field in Wingdings",
        "{\\field{\\*\\fldinst SYMBOL 216 \\\\f \"Wingdings\"}{\\fldrslt}}", "➢");
    row("SYMBOL field Unicode", "{\\field{\\*\\fldinst SYMBOL 8364 \\\\u}{\\fldrslt}}", "€");
    row("SYMBOL field ANSI", "{\\field{\\*\\fldinst SYMBOL 0xE9}{\\fldrslt}}", "é");
    row("SYMBOL field with a result",
        "{\\field{\\*\\fldinst SYMBOL 183 \\\\f \"Symbol\"}"
        "{\\fldrslt\\f5\\'b7}}",
        "•");
    row("other field with empty result", "a{\\field{\\*\\fldinst PAGE}{\\fldrslt}}b", "ab");
    row("pntxta outside a pn group", "{\\pnseclvl1\\pnucrm{\\pntxta .}}Hello", "Hello");
    QTest::newRow("pntxta beside pnseclvl")
        << QByteArray("{\\rtf1 {\\pnseclvl1\\pnucrm{\\pntxta .}}Hello}") << QStringLiteral("Hello");
    QTest::newRow("endnote in its own format")
        << QByteArray("{\\rtf1\\aftnnrlc A{\\super\\chftn}{\\footnote\\ftnalt{\\super\\chftn} E}}")
        << QStringLiteral("Ai\ni E");
    QTest::newRow("footnotes and endnotes counted apart")
        << QByteArray(
               "{\\rtf1\\aftnnalc\\ftnnruc a{\\super\\chftn}{\\footnote \\ftnalt {\\super\\chftn} "
               "E1}b{\\super\\chftn}{\\footnote{\\super\\chftn} F1}c{\\super\\chftn}{\\footnote"
               "\\ftnalt{\\super\\chftn} E2}\\par}")
        << QStringLiteral("aabIcb\nI F1\na E1\nb E2");
    QTest::newRow("endnotes start where asked")
        << QByteArray("{\\rtf1\\aftnnar\\aftnstart5 a{\\chftn}{\\footnote\\ftnalt{\\chftn} E}}")
        << QStringLiteral("a5\n5 E");
    const QByteArray lists =
        "{\\rtf1{\\fonttbl{\\f0 Arial;}{\\f5\\fcharset2 Symbol;}}"
        "{\\*\\listtable{\\list{\\listlevel\\levelnfc0{\\leveltext\\'02\\'00.;}{\\levelnumbers"
        "\\'01;}}\\listid1}"
        "{\\list\\listid7{\\listlevel\\levelnfc1\\levelstartat3{\\leveltext\\'02\\'00);}}"
        "{\\listlevel\\levelnfc4{\\leveltext\\'04\\'00.\\'01.;}}}"
        "{\\list\\listid9{\\listlevel\\levelnfc23{\\leveltext\\'01\\u-3913 ?;}\\f5}}}"
        "{\\*\\listoverridetable{\\listoverride\\listid1\\ls1}{\\listoverride\\listid7\\ls2}"
        "{\\listoverride\\listid9\\ls3}}";
    QTest::newRow("list table number")
        << QByteArray(
               "{\\rtf1{\\*\\listtable{\\list{\\listlevel\\levelnfc0{\\leveltext\\'02\\'00.;}"
               "{\\levelnumbers\\'01;}}\\listid1}}{\\*\\listoverridetable{\\listoverride"
               "\\listid1\\ls1}}\\pard\\ls1 One\\par}")
        << QStringLiteral("1.\tOne");
    QTest::newRow("list table levels")
        << lists + "\\pard\\ls2 One\\par\\pard\\ls2\\ilvl1 Sub\\par\\pard\\ls2\\ilvl1 Sub\\par"
                   "\\pard\\ls2 Two\\par\\pard\\ls2\\ilvl1 Sub\\par\\pard After}"
        << QStringLiteral("III)\tOne\nIII.a.\tSub\nIII.b.\tSub\nIV)\tTwo\nIV.a.\tSub\nAfter");
    QTest::newRow("list table bullet in its font")
        << lists + "\\pard\\ls3 Item\\par\\pard\\ls3 Item}" << QStringLiteral("•\tItem\n•\tItem");
    QTest::newRow("list text wins over the list table")
        << lists + "\\pard\\ls1{\\listtext 1.\\tab}One\\par}" << QStringLiteral("1.\tOne");
    QTest::newRow("undefined list shows no marker")
        << lists + "\\pard\\ls44 One\\par}" << QStringLiteral("One");
    QTest::newRow("nothing after the closing brace")
        << QByteArray("{\\rtf1 a\\par}b{\\rtf1 c}") << QStringLiteral("a");
}

void TestRtf::readDestinations()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);
    QCOMPARE(textOf(data), expected);
}

void TestRtf::tables_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QStringList>("cells"); // row by row; "-" for a cell covered by another
    QTest::addColumn<QString>("text");      // the document's text outside tables
    const QByteArray row2 = "\\trowd\\trgaph108\\cellx1500\\cellx3000";
    QTest::newRow("two by two") << "before\\par" + row2 + "\\pard\\intbl A\\cell B\\cell\\row" +
                                       row2 + "\\pard\\intbl C\\cell D\\cell\\row\\pard after"
                                << 2 << 2 << QStringList{"A", "B", "C", "D"}
                                << QStringLiteral("before\n\nafter");
    QTest::newRow("without intbl")
        << QByteArray("\\trowd\\cellx1000\\cellx2000 A\\cell B\\cell\\row C") << 1 << 2
        << QStringList{"A", "B"} << QStringLiteral("\nC");
    QTest::newRow("empty cell") << QByteArray("\\trowd\\cellx1000\\cellx2000\\cellx3000\\intbl "
                                              "A\\cell\\cell B\\cell\\row\\pard x")
                                << 1 << 3 << QStringList{"A", "", "B"} << QStringLiteral("\nx");
    QTest::newRow("paragraphs in a cell")
        << QByteArray("\\trowd\\cellx1000\\cellx2000\\intbl one\\par two\\par three\\cell "
                      "B\\cell\\row\\pard")
        << 1 << 2 << QStringList{"one\ntwo\nthree", "B"} << QStringLiteral("\n");
    QTest::newRow("row definition after the cells")
        << QByteArray("\\pard\\intbl A\\cell B\\cell C\\cell\\pard\\intbl{\\trowd\\cellx1000"
                      "\\cellx2000\\cellx3000\\row}\\pard z")
        << 1 << 3 << QStringList{"A", "B", "C"} << QStringLiteral("\nz");
    QTest::newRow("rows of different widths")
        << QByteArray(
               "\\trowd\\cellx1000\\cellx3000\\intbl a\\cell b\\cell\\row"
               "\\trowd\\cellx1000\\cellx2000\\cellx3000\\intbl c\\cell d\\cell e\\cell\\row\\pard")
        << 2 << 3 << QStringList{"a", "b", "-", "c", "d", "e"} << QStringLiteral("\n");
    QTest::newRow("merged cells")
        << QByteArray("\\trowd\\clmgf\\cellx1000\\clmrg\\cellx2000\\cellx3000\\intbl "
                      "wide\\cell\\cell r\\cell\\row\\pard")
        << 1 << 3 << QStringList{"wide", "-", "r"} << QStringLiteral("\n");
    QTest::newRow("vertically merged cells")
        << QByteArray("\\trowd\\clvmgf\\cellx1000\\cellx2000\\intbl tall\\cell a\\cell\\row"
                      "\\trowd\\clvmrg\\cellx1000\\cellx2000\\intbl\\cell b\\cell\\row\\pard")
        << 2 << 2 << QStringList{"tall", "a", "-", "b"} << QStringLiteral("\n");
    QTest::newRow("truncated table") << QByteArray("\\trowd\\cellx1000\\cellx2000\\intbl A\\cell B")
                                     << 1 << 2 << QStringList{"A", "B"} << QStringLiteral("\n");
    QTest::newRow("text after the row in the same paragraph")
        << QByteArray("\\trowd\\cellx1000\\intbl A\\cell\\row after") << 1 << 1 << QStringList{"A"}
        << QStringLiteral("\nafter");
}

void TestRtf::tables()
{
    QFETCH(QByteArray, body);
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(QStringList, cells);
    QFETCH(QString, text);
    QTextDocument doc;
    readRtf(rtf(body), &doc);
    const QList<QTextTable *> tables = tablesOf(doc);
    QCOMPARE(tables.size(), 1);
    QTextTable *table = tables.first();
    QCOMPARE(table->rows(), rows);
    QCOMPARE(table->columns(), columns);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const QTextTableCell cell = table->cellAt(r, c);
            const QString expected = cells.at(r * columns + c);
            if (expected == QLatin1String("-"))
                QVERIFY2(cell.row() != r || cell.column() != c, qPrintable(QString::number(c)));
            else
                QCOMPARE(cellText(table, r, c), expected);
        }
    }
    // The text around the table, with the table's own characters left out.
    QString outside;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        if (!QTextCursor(b).currentTable())
            outside += b.text() + QLatin1Char('\n');
    }
    outside.chop(1);
    QCOMPARE(outside, text);
    if (body.startsWith("before"))
        QCOMPARE(table->format().columnWidthConstraints().value(0).rawValue(), 100.0);
}

// Nested tables deeper than a few levels are written out inside their cell, not laid out as
// tables within tables, whose layout time doubles with each level.
void TestRtf::deepNestedTablesAreFlattened()
{
    QByteArray data = "{\\rtf1 ";
    for (int i = 0; i < 5000; ++i)
        data += "\\intbl\\itap8 x\\nestcell{\\*\\nesttableprops\\nestrow}";
    data += "\\cell\\row}";
    QTextDocument doc;
    readRtf(data, &doc);
    QCOMPARE(text(doc).count(QLatin1Char('x')), 5000);
    int deepest = 0;
    std::function<void(QTextFrame *, int)> walk = [&](QTextFrame *frame, int depth) {
        for (QTextFrame *child : frame->childFrames()) {
            const bool table = qobject_cast<QTextTable *>(child) != nullptr;
            deepest = std::max(deepest, depth + (table ? 1 : 0));
            walk(child, depth + (table ? 1 : 0));
        }
    };
    walk(doc.rootFrame(), 0);
    QVERIFY(deepest >= 1);
    QVERIFY2(deepest <= 3, qPrintable(QString::number(deepest)));
}

void TestRtf::nestedTable()
{
    QTextDocument doc;
    readRtf(rtf("\\trowd\\cellx4000\\cellx8000\\pard\\intbl\\itap1 outer\\par"
                "\\pard\\intbl\\itap2 n1\\nestcell n2\\nestcell{\\*\\nesttableprops\\trowd"
                "\\cellx2000\\cellx4000\\nestrow}"
                "\\pard\\intbl\\itap2 n3\\nestcell n4\\nestcell{\\*\\nesttableprops\\trowd"
                "\\cellx2000\\cellx4000\\nestrow}{\\nonesttables\\par}"
                "\\pard\\intbl\\itap1\\cell right\\cell"
                "\\pard\\intbl{\\trowd\\cellx4000\\cellx8000\\row}\\pard after"),
            &doc);
    const QList<QTextTable *> tables = tablesOf(doc);
    QCOMPARE(tables.size(), 1);
    QTextTable *outer = tables.first();
    QCOMPARE(outer->rows(), 1);
    QCOMPARE(outer->columns(), 2);
    QCOMPARE(cellText(outer, 0, 1), QStringLiteral("right"));
    QTextTable *inner = nullptr;
    for (QTextFrame *frame : outer->childFrames())
        inner = inner ? inner : qobject_cast<QTextTable *>(frame);
    QVERIFY(inner);
    QCOMPARE(inner->rows(), 2);
    QCOMPARE(inner->columns(), 2);
    QCOMPARE(cellText(inner, 0, 0), QStringLiteral("n1"));
    QCOMPARE(cellText(inner, 1, 1), QStringLiteral("n4"));
    QVERIFY(cellText(outer, 0, 0).startsWith(QStringLiteral("outer\n")));
    QVERIFY(text(doc).endsWith(QStringLiteral("after")));
}

void TestRtf::cellFormats()
{
    QTextDocument doc;
    readRtf(rtf("\\trowd\\trgaph75\\trqc\\clbrdrt\\brdrs\\brdrw30\\brdrcf1\\clbrdrb\\brdrdb"
                "\\brdrw15\\clvertalc\\clcbpat3\\cellx1500\\clbrdrt\\brdrnone\\cellx3000"
                "\\pard\\intbl\\qc X\\cell\\qr Y\\cell\\row\\pard"),
            &doc);
    QTextTable *table = tablesOf(doc).value(0);
    QVERIFY(table);
    QCOMPARE(table->format().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    const QTextTableCellFormat x = table->cellAt(0, 0).format().toTableCellFormat();
    QCOMPARE(x.topBorder(), 2.0);
    QCOMPARE(x.topBorderBrush().color().name(), QStringLiteral("#ff0000"));
    QCOMPARE(x.topBorderStyle(), QTextFrameFormat::BorderStyle_Solid);
    QCOMPARE(x.bottomBorderStyle(), QTextFrameFormat::BorderStyle_Double);
    QCOMPARE(x.verticalAlignment(), QTextCharFormat::AlignMiddle);
    QCOMPARE(x.background().color().name(), QStringLiteral("#0000ff"));
    QCOMPARE(x.leftPadding(), 5.0);
    const QTextTableCellFormat y = table->cellAt(0, 1).format().toTableCellFormat();
    QCOMPARE(y.topBorder(), 0.0);
    QCOMPARE(horizontal(table->cellAt(0, 0).firstCursorPosition().blockFormat()), Qt::AlignHCenter);
    QCOMPARE(horizontal(table->cellAt(0, 1).firstCursorPosition().blockFormat()), Qt::AlignRight);
}

void TestRtf::contextualSpacing()
{
    QTextDocument doc;
    readRtf(rtf("\\pard\\s1\\contextualspace\\sb150\\sa300 One\\par Two\\par"
                "\\pard\\s2\\sb150\\sa300 Three\\par\\pard\\s2\\sb150\\sa300 Four"),
            &doc);
    QCOMPARE(blockOf(doc, QStringLiteral("One")).topMargin(), 10.0);
    QCOMPARE(blockOf(doc, QStringLiteral("One")).bottomMargin(), 0.0);
    QCOMPARE(blockOf(doc, QStringLiteral("Two")).topMargin(), 0.0);
    QCOMPARE(blockOf(doc, QStringLiteral("Two")).bottomMargin(), 20.0);
    // Paragraphs without contextual spacing keep theirs, even in the same style.
    QCOMPARE(blockOf(doc, QStringLiteral("Three")).bottomMargin(), 20.0);
    QCOMPARE(blockOf(doc, QStringLiteral("Four")).topMargin(), 10.0);
}

void TestRtf::paragraphShading()
{
    QTextDocument doc;
    readRtf(rtf("\\pard\\cbpat1 red\\par\\pard\\cfpat3\\shading5000 half\\par"
                "\\pard\\cbpat2\\cfpat1\\shading10000 full\\par\\pard plain"),
            &doc);
    QCOMPARE(blockOf(doc, QStringLiteral("red")).background().color().name(),
             QStringLiteral("#ff0000"));
    const QColor half = blockOf(doc, QStringLiteral("half")).background().color();
    QVERIFY2(qAbs(half.red() - 128) <= 1 && qAbs(half.green() - 128) <= 1 && half.blue() == 255,
             qPrintable(half.name()));
    QCOMPARE(blockOf(doc, QStringLiteral("full")).background().color().name(),
             QStringLiteral("#ff0000"));
    QCOMPARE(blockOf(doc, QStringLiteral("plain")).background().style(), Qt::NoBrush);
}

void TestRtf::fuzzSeedsRead()
{
    // The fuzzer's seeds are documents like any other: they read to what they show.
    const auto seed = [](const char *name) {
        QFile file(QStringLiteral(VARIMOND_SOURCE_DIR "/fuzz/seeds/") + QLatin1String(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTextDocument doc;
    readRtf(seed("destinations.rtf"), &doc);
    const QString t = text(doc);
    for (const char *piece :
         {"café Аб あアあ αβγ••", "▪➢✔ é й", "•\tlisted", "(IV)\tnumbered", "(V)\tsecond",
          "a.\tlettered", "unicode €", "note1", "in the box", "•€link", "1 the note\nmore"})
        QVERIFY2(t.contains(QString::fromUtf8(piece)), piece);
    QVERIFY(!t.contains(QStringLiteral("fallback")));
    QVERIFY(!t.contains(QStringLiteral("trailing")));
    QVERIFY(!t.contains(QStringLiteral("ansi")));

    QTextDocument tables;
    readRtf(seed("tables.rtf"), &tables);
    const QList<QTextTable *> found = tablesOf(tables);
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.first()->rows(), 4);
    // Columns at every cell edge of the four rows: -108, 0, 1500, 3000, 4000, 4500, 6000, 8000.
    QCOMPARE(found.first()->columns(), 7);
    QCOMPARE(cellText(found.first(), 0, 2), QStringLiteral("B\nsecond"));
    QCOMPARE(cellText(found.first(), 3, 5), QStringLiteral("right"));
}
