// The element tree of a parsed page, and the bounds that keep hostile pages cheap to parse.

#include "sites/htmldocument.h"

#include <QtTest>

namespace {

// A byte string literal with its NUL bytes, without the terminating one.
template <qsizetype N>
QByteArray literal(const char (&bytes)[N])
{
    return QByteArray(bytes, N - 1);
}

// Depth of the deepest element and number of elements, walked without recursion.
QPair<int, int> measure(const CWebElement &root)
{
    int deepest = 0;
    int count = 0;
    QList<QPair<CWebElement, int>> pending{{root, 1}};
    while (!pending.isEmpty()) {
        const auto [element, depth] = pending.takeLast();
        ++count;
        deepest = qMax(deepest, depth);
        for (CWebElement child = element.firstChild(); !child.isNull(); child = child.nextSibling())
            pending.append({child, depth + 1});
    }
    return {deepest, count};
}

// The hrefs of every <a>, in document order (pre-order, without recursion).
QStringList links(const CWebElement &root)
{
    QStringList found;
    QList<CWebElement> pending{root};
    while (!pending.isEmpty()) {
        const CWebElement element = pending.takeLast();
        if (element.tagName() == "A")
            found << element.attribute("href");
        QList<CWebElement> children;
        for (CWebElement child = element.firstChild(); !child.isNull(); child = child.nextSibling())
            children << child;
        for (qsizetype i = children.size() - 1; i >= 0; --i)
            pending << children.at(i);
    }
    return found;
}

QByteArray repeated(const QByteArray &piece, int times)
{
    return piece.repeated(times);
}

} // namespace

class TestHtmlDocument : public QObject
{
    Q_OBJECT
private slots:
    void elementHandle();
    void handleOutlivesPage();
    void hostileInput_data();
    void hostileInput();
    void cutKeepsOrdinaryPages();
    void parseBudgetCatchesWhatTheScanMisses();
};

void TestHtmlDocument::elementHandle()
{
    const auto document = CHtmlDocument::fromHtml(
        "<html><body>text <!-- note --><div id=Box CLASS='a b'>x<a href=\"/p?a=1&amp;b=2\">l</a>"
        "<my-widget data-x=\"é\"></my-widget></div><p>last</body></html>");
    const CWebElement html = document->documentElement();
    QCOMPARE(html.tagName(), QString("HTML"));
    QVERIFY(html.parent().isNull());
    const CWebElement body = html.firstChild().nextSibling();
    QCOMPARE(body.tagName(), QString("BODY"));
    const CWebElement div = body.firstChild(); // text and comment passed over
    QCOMPARE(div.tagName(), QString("DIV"));
    QCOMPARE(div.attribute("id"), QString("Box"));
    QCOMPARE(div.attribute("class"), QString("a b")); // attribute names read without regard to case
    QCOMPARE(div.attribute("title", "none"), QString("none"));
    QCOMPARE(div.attribute("title"), QString());
    QVERIFY(!div.hasAttribute("title"));
    const CWebElement link = div.firstChild();
    QCOMPARE(link.attribute("href"), QString("/p?a=1&b=2"));
    QCOMPARE(link.nextSibling().tagName(), QString("MY-WIDGET"));
    QCOMPARE(link.nextSibling().attribute("data-x"), QString::fromUtf8("é"));
    QVERIFY(link.nextSibling().nextSibling().isNull());
    QCOMPARE(link.parent(), div);
    QCOMPARE(div.nextSibling().tagName(), QString("P"));
    QVERIFY(link.firstChild().isNull()); // only text inside

    const CWebElement null;
    QVERIFY(null.isNull() && null.firstChild().isNull() && null.parent().isNull());
    QCOMPARE(null.tagName(), QString());
    QCOMPARE(null.attribute("href", "d"), QString("d"));

    // Even an empty input has the document element, as a browser builds it.
    QCOMPARE(CHtmlDocument::parse({})->documentElement().tagName(), QString("HTML"));
}

void TestHtmlDocument::handleOutlivesPage()
{
    CWebElement kept;
    {
        const auto document = CHtmlDocument::fromHtml("<a href='x'>y</a>");
        kept = document->documentElement().firstChild().nextSibling().firstChild();
    }
    QCOMPARE(kept.attribute("href"), QString("x"));
}

void TestHtmlDocument::hostileInput_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<bool>("cut");

    // An unterminated comment, value or script swallows the rest of the page; the scan that
    // bounds the depth reads on inside it and may cut there, which loses nothing.
    const QByteArray before = "<html><body><div class=offers><a href='first'>one</a></div>";
    const QByteArray after = "<a href='after'>two</a></body></html>";
    const int deep = 100000;
    QTest::newRow("nested divs") << before + repeated("<div>", deep) + after << true;
    QTest::newRow("divs written self-closing") << before + repeated("<div/>", deep) + after << true;
    QTest::newRow("nested lists") << before + repeated("<li><ul>", deep / 2) + after << true;
    QTest::newRow("nested tables") << before + repeated("<table><tr><td>", deep / 3) + after << true;
    QTest::newRow("cells straight in tables") << before + repeated("<table><td>", deep / 2) + after << true;
    QTest::newRow("formatting elements") << before + repeated("<b><i><u><span>", deep / 4) + after << true;
    QTest::newRow("unknown elements") << before + repeated("<x-a><x-b>", deep / 2) + after << true;
    QTest::newRow("svg breakout") << before + "<svg><p>" + repeated("<div/>", deep) + after << true;
    QTest::newRow("svg integration point")
        << before + "<svg><foreignObject>" + repeated("<div/>", deep) + after << true;
    QTest::newRow("unmatched end tags") << before + repeated("<div></x>", deep) + after << true;
    QTest::newRow("empty comment then nesting") << before + "<!-->" + repeated("<div>", deep) + after << true;
    QTest::newRow("bang comment then nesting") << before + "<!-- a --!>" + repeated("<div>", deep) + after << true;
    QTest::newRow("unterminated comment") << before + "<!-- " + repeated("<div>", deep) << true;
    QTest::newRow("cdata outside svg") << before + "<![CDATA[ x >" + repeated("<div>", deep) + after << true;
    QTest::newRow("unterminated quote") << before + "<div title=\"" + repeated("<div>", deep) << true;
    QTest::newRow("script without end") << before + "<script>" + repeated("<div>", deep) << true;
    QTest::newRow("truncated mid-tag") << before + "<a hr" << false;
    QTest::newRow("truncated in attribute") << before + "<img src=\"http://x/" << false;
    QTest::newRow("garbage bytes") << before + literal("\0\xff\xfe<<>>\x80\x81</ </>") + after << false;
    QTest::newRow("many open comments") << before + repeated("<!--", deep * 5) << false;
    // Shapes where the tree builder nests what a naive count takes as closed.
    QTest::newRow("rows outside a table") << before + repeated("<pre></p><tr>", deep / 3) + after << true;
    QTest::newRow("ruby parts without ruby") << before + repeated("<tr><rb><hr>", deep / 2) + after << true;
    QTest::newRow("void names inside MathML") << before + repeated("<col><math></template>", deep / 2) + after << true;
    QTest::newRow("cells inside MathML") << before + repeated("<input><math><mi></td><td><rt></b>", deep / 3) + after
                                         << true;
    QTest::newRow("blocks closing paragraphs") << before + repeated("<p><listing><colgroup>", deep / 2) + after << true;
    QTest::newRow("formatting opened again")
        << before + repeated("<button><b>x<frameset></a><applet><nobr><a>", deep / 4) + after << true;
    QTest::newRow("end tag opening a comment") << before + repeated("</<li><div/>", deep / 2) + after << true;
    QTest::newRow("end tag of an element without scope") << before + repeated("</noscript><noscript><div/>", deep / 2) + after
                                                         << true;
    QTest::newRow("HTML names inside SVG") << before + "<svg>" + repeated("<x><button>", deep / 2) + after << true;
    QTest::newRow("nested forms") << before + repeated("</form><form><x>", deep / 2) + after << true;
    QTest::newRow("framesets") << before + repeated("<p><frameset><br>", deep / 2) + after << true;
    QTest::newRow("50 MB") << before + repeated("<p>filler text for a very long page</p>\n", 50 * 1024 * 1024 / 40) + after
                           << true;
}

void TestHtmlDocument::hostileInput()
{
    QFETCH(QByteArray, html);
    QFETCH(bool, cut);
    const auto document = CHtmlDocument::parse(html);
    QCOMPARE(document->wasCut(), cut);
    const CWebElement root = document->documentElement();
    QCOMPARE(root.tagName(), QString("HTML"));
    // What came before the trouble is all there.
    QCOMPARE(links(root).value(0), QString("first"));
    // The tree stays within the bound, whatever the input.
    QVERIFY2(measure(root).first <= CHtmlDocument::maxOpenElements + 10,
             qPrintable(QString::number(measure(root).first)));
}

void TestHtmlDocument::cutKeepsOrdinaryPages()
{
    // Pages that real sites write: unclosed paragraphs, list items, links and font changes, inline
    // icons, scripts with tags in strings. None of it may make a page look deep.
    QByteArray page = "<html><head><script>var s = '<div><div><div>'; if (a < b) x();</script>"
                      "<style>p > a { }</style></head><body><table>";
    for (int i = 0; i < 5000; ++i) {
        page += "<p>para <li>item <td>cell <font color=red><b>bold<td>next <option>opt <dd>term";
        page += "<svg><path d='M0'/><circle r='1'/></svg><div><ul><li><a href='#'>menu</li></ul></div>";
        page += "<a href='o" + QByteArray::number(i) + "'><img src='x.jpg'></a>";
    }
    page += "<a href='last'>end</a></body></html>";
    const auto document = CHtmlDocument::parse(page);
    QVERIFY(!document->wasCut());
    const QStringList found = links(document->documentElement());
    QCOMPARE(found.size(), 10001);
    QCOMPARE(found.last(), QString("last"));
    QCOMPARE(found.at(found.size() - 2), QString("o4999"));
}

void TestHtmlDocument::parseBudgetCatchesWhatTheScanMisses()
{
    // A flat page the scan lets through, parsed on a budget far too small for it: the parse is
    // abandoned and a shorter part parsed instead, down to one that fits.
    const QByteArray page = "<html><body><a href='first'>one</a>" + repeated("<p>some text here</p>\n", 100000);
    CHtmlDocument::setParseBudgetForTesting(60000, 256 * 1024);
    const auto document = CHtmlDocument::parse(page);
    CHtmlDocument::setParseBudgetForTesting(0, 0);
    QVERIFY(document->wasCut());
    QCOMPARE(links(document->documentElement()).value(0), QString("first"));
    QVERIFY(measure(document->documentElement()).second < 100000);

    // With the usual budget the same page is parsed whole.
    const auto whole = CHtmlDocument::parse(page);
    QVERIFY(!whole->wasCut());
    QCOMPARE(measure(whole->documentElement()).second, 100000 + 4);
}

QTEST_GUILESS_MAIN(TestHtmlDocument)
#include "tst_htmldocument.moc"
