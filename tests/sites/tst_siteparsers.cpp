// The five site parsers against the test web: the addresses they ask for, what they find on pages
// shaped like each site's, their limit and URL-slot rules, and pages that misbehave.

#include "sites/hostconfig.h"
#include "sites/bidstartcom.h"
#include "sites/delcampe.h"
#include "sites/ebaycom.h"
#include "sites/stampparsercolnectcom.h"
#include "sites/stampparserpoppestamps.h"
#include "sites/webpage.h"
#include "standins/testweb.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <memory>

using Site = TestWeb::Site;
Q_DECLARE_METATYPE(TestWeb::Site)
Q_DECLARE_METATYPE(TestWeb::Behaviour)

namespace {

// A byte string literal with its NUL bytes, without the terminating one.
template <qsizetype N>
QByteArray literal(const char (&bytes)[N])
{
    return QByteArray(bytes, N - 1);
}

QStringList pairsOf(Site site, const QStringList &ids)
{
    QStringList pairs;
    for (const QString &id : ids)
        pairs << TestWeb::pageUrl(site, id) << TestWeb::pictureUrl(site, id);
    return pairs;
}

QList<TestWeb::Stamp> stamps(const QStringList &ids)
{
    QList<TestWeb::Stamp> list;
    for (const QString &id : ids)
        list << TestWeb::Stamp{id};
    return list;
}

const char *const anyKeyword = "Germany[c]12[inf]Germany[i]Posthorn[i]0001";

} // namespace

class TestSiteParsers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void searchUrls_data();
    void searchUrls();
    void noRequestWithoutMarkers_data();
    void noRequestWithoutMarkers();
    void hitLists_data();
    void hitLists();
    void picturesListedOnceOrEveryTime_data();
    void picturesListedOnceOrEveryTime();
    void limitIsCheckedOnEnteringAnElement();
    void urlSlotsSurviveBetweenWalks();
    void bidstartPairsOnlyOnSecondLink();
    void delcampeTitleBeforeAnyPicture();
    void repeatedOperationsAreIndependent();
    void slowPagesEndAtTheLimit_data();
    void slowPagesEndAtTheLimit();
    void hostilePagesKeepWhatCameFirst_data();
    void hostilePagesKeepWhatCameFirst();
    void redirectsAndEncodings();
    void unloadableAddresses();
    void picturesAreServed_data();
    void picturesAreServed();

private:
    QStringList run(const QString &site, const QString &operation, const QString &argument, int limit = 99);

    TestWeb m_web;
    std::unique_ptr<CEbayCom> m_ebay;
    std::unique_ptr<CDelcampe> m_delcampe;
    std::unique_ptr<CBidstartCom> m_bidstart;
    std::unique_ptr<CStampParserColnectCom> m_colnect;
    std::unique_ptr<CStampParserPoppeStamps> m_poppe;
};

void TestSiteParsers::initTestCase()
{
    QVERIFY(m_web.start());
    m_web.useAsProxy();
    TestWeb::configureHosts();
    // Every load here ends long before this unless a test makes it hang on purpose.
    CSiteParser::setPageTimeLimitForTesting(1500);
}

void TestSiteParsers::init()
{
    m_ebay = std::make_unique<CEbayCom>();
    m_delcampe = std::make_unique<CDelcampe>();
    m_bidstart = std::make_unique<CBidstartCom>();
    m_colnect = std::make_unique<CStampParserColnectCom>();
    m_poppe = std::make_unique<CStampParserPoppeStamps>();
    m_web.clearRequests();
    m_web.clearStamps();
}

void TestSiteParsers::cleanup()
{
    m_web.setBehaviour(TestWeb::siteHost(Site::Ebay), TestWeb::Behaviour::Normal);
}

// site: ebay, delcampe, bidstart, colnect, poppe; poppe's operation is "searchByNumber FIELD".
QStringList TestSiteParsers::run(const QString &site, const QString &operation, const QString &argument, int limit)
{
    if (site == "ebay")
        return operation == "searchByNumber" ? m_ebay->searchByNumber(argument, limit)
               : operation == "searchByInfo" ? m_ebay->searchByInfo(argument, limit)
                                             : m_ebay->loadPage(argument, limit);
    if (site == "delcampe")
        return operation == "searchByNumber" ? m_delcampe->searchByNumber(argument, limit)
               : operation == "searchByInfo" ? m_delcampe->searchByInfo(argument, limit)
                                             : m_delcampe->loadPage(argument, limit);
    if (site == "bidstart")
        return operation == "searchByNumber" ? m_bidstart->searchByNumber(argument, limit)
               : operation == "searchByInfo" ? m_bidstart->searchByInfo(argument, limit)
                                             : m_bidstart->loadPage(argument, limit);
    if (site == "colnect")
        return operation == "searchByNumber" ? m_colnect->searchByNumber(argument, limit)
                                             : m_colnect->loadPage(argument, limit);
    if (site == "poppe")
        return m_poppe->searchByNumber(argument, operation.section(' ', 1), limit);
    qFatal("unknown site");
}

void TestSiteParsers::searchUrls_data()
{
    QTest::addColumn<QString>("site");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("url");

    const QString ebay = "http://www.ebay.test/sch/Stamps-/260/i.html?_nkw=";
    const QString delcampe = "http://www.delcampe.test/items?language=E&searchString=";
    const QString bidstart = "http://www.bidstart.test/search_results.php?keywords=";
    const QString colnect = "http://colnect.test/en/stamps/list/";
    const QString poppe = "http://www.poppe-stamps.test/?t=32&cid=";
    const QString number = "searchByNumber";
    const QString info = "searchByInfo";

    const QString germany = "Germany[c]Mi 123a[inf]a[i]b[i]c";
    QTest::newRow("eBay number") << "ebay" << number << germany << ebay + "Germany+123";
    QTest::newRow("Delcampe number") << "delcampe" << number << germany << delcampe + "Germany+123";
    QTest::newRow("Bidstart number") << "bidstart" << number << germany << bidstart + "Germany+123";
    const QString britain = "Great Britain[c]SG 12[inf]a[i]b[i]c";
    QTest::newRow("eBay keeps blanks") << "ebay" << number << britain << ebay + "Great Britain+12";
    QTest::newRow("Delcampe keeps blanks") << "delcampe" << number << britain << delcampe + "Great Britain+12";
    QTest::newRow("Bidstart blanks as +") << "bidstart" << number << britain << bidstart + "Great+Britain+12";
    QTest::newRow("eBay hyphens as +") << "ebay" << number << "A-B[c]7-8[inf]a[i]b[i]c" << ebay + "A+B+78";
    QTest::newRow("Delcampe keeps hyphens") << "delcampe" << number << "A-B[c]7-8[inf]x" << delcampe + "A-B+78";
    QTest::newRow("no [c] before [inf]") << "bidstart" << number << "New Zealand[inf]a[c]b" << bidstart + "New+Zealand";
    QTest::newRow("empty parts") << "ebay" << number << "[c][inf][i][i]" << ebay + "+";

    const QString marianne = "France[c]1[inf]France[i]1950, Marianne[i]0001";
    QTest::newRow("eBay info, no third field") << "ebay" << info << marianne << ebay + "France+1950++Marianne";
    QTest::newRow("Delcampe info") << "delcampe" << info << marianne << delcampe + "France+1950++Marianne";
    QTest::newRow("Bidstart info, third field")
        << "bidstart" << info << "France[c]1[inf]France[i]1950, Marianne[i]15c" << bidstart + "France+1950++Marianne+15c";
    QTest::newRow("info punctuation") << "ebay" << info << "X[c]1[inf]\"Mint\" St. Pierre[i]a,b[i]two words"
                                      << ebay + "Mint+St++Pierre+a+b+two words";
    QTest::newRow("info empty fields") << "delcampe" << info << "X[c]1[inf][i][i]" << delcampe + "++";
    QTest::newRow("info stops at the second [inf]")
        << "ebay" << info << "X[c]1[inf]a[i]b[i]c[inf]d[i]e[i]f" << ebay + "a+b+c";

    QTest::newRow("percent and non-ASCII") << "ebay" << number << QString::fromUtf8("Österreich 50%[c]Nr. 7[inf]x")
                                           << ebay + QString::fromUtf8("Österreich 50%+7");
    QTest::newRow("non-ASCII info") << "bidstart" << info << QString::fromUtf8("X[c]1[inf]Česko[i]Hradčany[i]0001")
                                    << bidstart + QString::fromUtf8("Česko+Hradčany");

    QTest::newRow("Colnect Zimbabwe") << "colnect" << number << "Zimbabwe[c]SG 12a[inf]x"
                                      << colnect + "country/8454-zimbabwe/catalog_code/12";
    QTest::newRow("Colnect unknown country") << "colnect" << number << "Atlantis[c]5[inf]x" << colnect + "catalog_code/5";
    QTest::newRow("Colnect + as blank") << "colnect" << number << "United+States[c]#101[inf]x"
                                        << colnect + "country/2669-united_states/catalog_code/101";
    QTest::newRow("Colnect name in capitals") << "colnect" << number << "FRANCE[c]12[inf]x"
                                              << colnect + "country/2626-france/catalog_code/12";
    QTest::newRow("Colnect key percent-encoded") << "colnect" << number << "Aland Islands[c]3[inf]x"
                                                 << colnect + "country/2636-%c3%85land_islands/catalog_code/3";
    QTest::newRow("Colnect known name, key unknown") << "colnect" << number << "Aden[c]3[inf]x"
                                                     << colnect + "catalog_code/3";
    QTest::newRow("Colnect [c] after [inf]") << "colnect" << number << "France[inf]a[c]b" << colnect + "catalog_code/";
    QTest::newRow("Poppe unknown country") << "poppe" << "searchByNumber sgno" << "Atlantis[c]5[inf]x"
                                           << poppe + "&sgno=5";
    QTest::newRow("Poppe France") << "poppe" << "searchByNumber scott_no" << "France[c]Y&T 12[inf]x"
                                  << poppe + "69&scott_no=12";
    QTest::newRow("Poppe Zimbabwe") << "poppe" << "searchByNumber sgno" << "zimbabwe[c]12[inf]x" << poppe + "229&sgno=12";
    QTest::newRow("Poppe [c] after [inf]") << "poppe" << "searchByNumber sgno" << "France[inf]a[c]b"
                                           << poppe + "&sgno=France";
}

void TestSiteParsers::searchUrls()
{
    QFETCH(QString, site);
    QFETCH(QString, operation);
    QFETCH(QString, keyword);
    QFETCH(QString, url);

    run(site, operation, keyword);
    QCOMPARE(m_web.requestCount(), 1);
    const TestWeb::SeenRequest seen = m_web.requests().first();
    // The request is the address as built, sent as a valid request target.
    QCOMPARE(seen.url, QUrl(url));
    for (const char c : seen.target)
        QVERIFY2(c > ' ' && c < 127, seen.target.constData());
    QVERIFY(QUrl::fromEncoded(seen.target, QUrl::StrictMode).isValid());
    QCOMPARE(seen.method, QByteArray("GET"));
    QCOMPARE(QString::fromLatin1(seen.userAgent), CWebPage::userAgentForUrl(seen.url));
    QCOMPARE(CWebPage::userAgentForUrl(QUrl("about:blank")),
             QString("Mozilla/5.0 (Windows NT 6.1; WOW64; rv:24.0) Gecko/20100101 Firefox/24.0"));
}

void TestSiteParsers::noRequestWithoutMarkers_data()
{
    QTest::addColumn<QString>("site");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("keyword");

    const QStringList numberSites = {"ebay", "delcampe", "bidstart", "colnect"};
    for (const QString &site : numberSites) {
        QTest::addRow("%s no [c]", qPrintable(site)) << site << "searchByNumber" << "abc[inf]x[i]y[i]z";
        QTest::addRow("%s no [inf]", qPrintable(site)) << site << "searchByNumber" << "abc[c]12";
        QTest::addRow("%s empty", qPrintable(site)) << site << "searchByNumber" << "";
    }
    QTest::newRow("poppe no [c]") << "poppe" << "searchByNumber sgno" << "abc[inf]x[i]y[i]z";
    QTest::newRow("poppe no [inf]") << "poppe" << "searchByNumber scott_no" << "France[c]12";
    for (const QString &site : QStringList{"ebay", "delcampe", "bidstart"}) {
        QTest::addRow("%s info no [c]", qPrintable(site)) << site << "searchByInfo" << "abc[inf]x[i]y[i]z";
        QTest::addRow("%s info two fields", qPrintable(site)) << site << "searchByInfo" << "a[c]1[inf]a[i]b";
        QTest::addRow("%s info four fields", qPrintable(site)) << site << "searchByInfo" << "a[c]1[inf]a[i]b[i]c[i]d";
        QTest::addRow("%s info [c] in the info part", qPrintable(site)) << site << "searchByInfo" << "a[inf]b[c]c[inf]d";
    }
}

void TestSiteParsers::noRequestWithoutMarkers()
{
    QFETCH(QString, site);
    QFETCH(QString, operation);
    QFETCH(QString, keyword);
    m_web.setStamps(Site::Ebay, stamps({"s1"}));
    QVERIFY(run(site, operation, keyword).isEmpty());
    QCOMPARE(m_web.requestCount(), 0);
}

void TestSiteParsers::hitLists_data()
{
    QTest::addColumn<QString>("site");
    QTest::addColumn<Site>("webSite");
    QTest::addColumn<QString>("operation");

    QTest::newRow("eBay") << "ebay" << Site::Ebay << "searchByNumber";
    QTest::newRow("Delcampe") << "delcampe" << Site::Delcampe << "searchByInfo";
    QTest::newRow("Bidstart") << "bidstart" << Site::Bidstart << "searchByNumber";
    QTest::newRow("Colnect") << "colnect" << Site::Colnect << "searchByNumber";
    QTest::newRow("Poppe") << "poppe" << Site::Poppe << "searchByNumber sgno";
}

void TestSiteParsers::hitLists()
{
    QFETCH(QString, site);
    QFETCH(Site, webSite);
    QFETCH(QString, operation);

    // The decoys in scripts, comments and adverts are no offers.
    m_web.setStamps(webSite, stamps({"s1", "s2", "s3"}));
    QCOMPARE(run(site, operation, anyKeyword), pairsOf(webSite, {"s1", "s2", "s3"}));

    // A search with no results walks a page of noise only.
    m_web.setStamps(webSite, {}, [](const QUrl &url) { return url.toString().contains("777"); });
    QCOMPARE(run(site, operation, "Nothing[c]777[inf]Nothing777[i]x[i]0001"), QStringList());

    // An offer page, loaded as it is: the offer and its similar items.
    if (site != "poppe")
        QCOMPARE(run(site, "loadPage", TestWeb::pageUrl(webSite, "s2")), pairsOf(webSite, {"s2", "s1", "s3"}));
}

void TestSiteParsers::picturesListedOnceOrEveryTime_data()
{
    QTest::addColumn<QString>("site");
    QTest::addColumn<Site>("webSite");
    QTest::addColumn<QStringList>("expected");

    const QStringList once = {"s1", "s2"};
    QTest::newRow("eBay") << "ebay" << Site::Ebay << once;
    QTest::newRow("Delcampe") << "delcampe" << Site::Delcampe << once;
    QTest::newRow("Bidstart") << "bidstart" << Site::Bidstart << once;
    QTest::newRow("Colnect") << "colnect" << Site::Colnect << once;
    QTest::newRow("Poppe") << "poppe" << Site::Poppe << QStringList{"s1", "s1", "s2", "s1"};
}

void TestSiteParsers::picturesListedOnceOrEveryTime()
{
    QFETCH(QString, site);
    QFETCH(Site, webSite);
    QFETCH(QStringList, expected);
    m_web.setStamps(webSite, stamps({"s1", "s1", "s2", "s1"}));
    QCOMPARE(run(site, site == "poppe" ? "searchByNumber sgno" : "searchByNumber", anyKeyword), pairsOf(webSite, expected));
}

void TestSiteParsers::limitIsCheckedOnEnteringAnElement()
{
    const QString item = "http://www.ebay.test/itm/1";
    const auto picture = [](int n) { return QString("http://i.ebayimg.test/d/l225/m/%1.jpg").arg(n); };
    const QString url = "http://www.ebay.test/custom/limit";
    m_web.setPage(url, QString("<html><body><div><a href='%1'>offer</a><img src='%2'><img src='%3'>"
                               "<div><img src='%4'></div></div><img src='%5'></body></html>")
                           .arg(item, picture(1), picture(2), picture(3), picture(4))
                           .toUtf8());
    // Limit 1: the first picture makes the pair; its sibling still adds one, the later <div> is not
    // entered, and the loop over the body's children still takes the last picture.
    QCOMPARE(m_ebay->loadPage(url, 1), QStringList({item, picture(1), item, picture(2), item, picture(4)}));
    QCOMPARE(m_ebay->loadPage(url, 99).size(), 8);

    // On a result page, the offers sit in elements of their own: limit 1 gives one pair.
    m_web.setStamps(Site::Ebay, stamps({"s1", "s2", "s3"}));
    QCOMPARE(m_ebay->searchByNumber(anyKeyword, 1), pairsOf(Site::Ebay, {"s1"}));
    QCOMPARE(m_ebay->searchByNumber(anyKeyword, 2), pairsOf(Site::Ebay, {"s1", "s2"}));
}

void TestSiteParsers::urlSlotsSurviveBetweenWalks()
{
    m_web.setStamps(Site::Ebay, stamps({"s1"}));
    m_web.setStamps(Site::Delcampe, stamps({"s1"}));
    m_web.setStamps(Site::Colnect, stamps({"s1"}));
    QCOMPARE(m_ebay->searchByNumber(anyKeyword, 99).size(), 2);
    QCOMPARE(m_delcampe->searchByNumber(anyKeyword, 99).size(), 2);
    QCOMPARE(m_colnect->searchByNumber(anyKeyword, 99).size(), 2);

    // The next pages show a picture (eBay, Colnect) or a title link (Delcampe) before anything
    // else: the pair takes the other half from the previous walk.
    m_web.setPage("http://www.ebay.test/next", "<p><img src='http://i.ebayimg.test/d/l225/m/n.jpg'>");
    QCOMPARE(m_ebay->loadPage("http://www.ebay.test/next", 99),
             QStringList({TestWeb::pageUrl(Site::Ebay, "s1"), "http://i.ebayimg.test/d/l225/m/n.jpg"}));
    m_web.setPage("http://www.delcampe.test/next", "<a class='a0408' href='n.html'>n</a>");
    QCOMPARE(m_delcampe->loadPage("http://www.delcampe.test/next", 99),
             QStringList({"http://www.delcampe.test/n.html", TestWeb::pictureUrl(Site::Delcampe, "s1")}));
    m_web.setPage("http://colnect.test/next", "<img src='http://i.colnect.test/images/t/n.jpg'>");
    QCOMPARE(m_colnect->loadPage("http://colnect.test/next", 99),
             QStringList({TestWeb::pageUrl(Site::Colnect, "s1"), "http://i.colnect.test/images/f/n.jpg"}));

    // A fresh parser starts with empty slots.
    CEbayCom fresh;
    QCOMPARE(fresh.loadPage("http://www.ebay.test/next", 99), QStringList({"", "http://i.ebayimg.test/d/l225/m/n.jpg"}));
}

void TestSiteParsers::bidstartPairsOnlyOnSecondLink()
{
    const auto offer = [](const char *id) { return QString("http://stampwants.bidstart.test/auction/") + id; };
    const QString url = "http://www.bidstart.test/custom";
    m_web.setPage(url, QString("<table><tr><td><a href='%1'><img src='http://thumbs.stampwants.test/small/a.jpg'></a></td></tr>"
                               "<tr><td><a href='%2'><img src='http://elsewhere.test/b.jpg'></a></td></tr>"
                               "<tr><td><a href='%3'><img src='http://thumbs.stampwants.test/small/c.jpg'></a></td>"
                               "<td><a href='%3'>c again</a></td></tr>"
                               "<tr><td><a href='%4'>d</a><a href='%4'>d again</a></td></tr></table>")
                           .arg(offer("a"), offer("b"), offer("c"), offer("d"))
                           .toUtf8());
    const QString picture = "http://www.bidstart.test/makethumbdetails.php?pic=http://images.stampwants.test/c.jpg&w=999&mx=Y";
    // a and b come once each: no pair (b's picture is from another host, no thumbnail). c twice in
    // a row pairs with the site's rendering of the thumbnail between. d twice with no thumbnail of
    // its own would take c's picture, which is listed already.
    QCOMPARE(m_bidstart->loadPage(url, 99), QStringList({offer("c"), picture}));
}

void TestSiteParsers::delcampeTitleBeforeAnyPicture()
{
    const QString url = "http://www.delcampe.test/custom";
    const QString large = "http://images.delcampe-static.test/img_large/auction/000/L.jpg";
    m_web.setPage(url, QString("<a class='item a0408' href='t1.html'>1</a><a class='A0408' href='t2.html'>2</a>"
                               "<a href='%1'><img src='x'></a><a class='a0408' href='t3.html'>3</a>")
                           .arg(large)
                           .toUtf8());
    // The empty picture URL of the first title link is listed once: the second title link adds nothing.
    QCOMPARE(m_delcampe->loadPage(url, 99),
             QStringList({"http://www.delcampe.test/t1.html", "", "http://www.delcampe.test/t3.html", large}));
}

void TestSiteParsers::repeatedOperationsAreIndependent()
{
    m_web.setStamps(Site::Poppe, stamps({"s1", "s2"}));
    const QStringList first = m_poppe->searchByNumber(anyKeyword, "sgno", 99);
    const QStringList second = m_poppe->searchByNumber(anyKeyword, "sgno", 99);
    QCOMPARE(first, pairsOf(Site::Poppe, {"s1", "s2"}));
    QCOMPARE(second, first);
    QCOMPARE(m_web.requestCount(), 2);
}

void TestSiteParsers::slowPagesEndAtTheLimit_data()
{
    QTest::addColumn<TestWeb::Behaviour>("behaviour");
    QTest::addColumn<int>("offersSent");

    QTest::newRow("headers, then nothing") << TestWeb::Behaviour::Stall << 0;
    QTest::newRow("two offers, then nothing") << TestWeb::Behaviour::Stall << 2;
    QTest::newRow("one offer, then a byte a second") << TestWeb::Behaviour::Drip << 1;
}

void TestSiteParsers::slowPagesEndAtTheLimit()
{
    QFETCH(TestWeb::Behaviour, behaviour);
    QFETCH(int, offersSent);
    const QStringList ids = {"s1", "s2", "s3"};
    m_web.setStamps(Site::Ebay, stamps(ids));
    const QByteArray page = TestWeb::resultPage(Site::Ebay, stamps(ids));
    const qint64 prefix = offersSent == 0 ? 0 : page.indexOf("<li class=\"s-item\" id=\"item" + ids.at(offersSent).toUtf8());
    QVERIFY(prefix >= 0);
    m_web.setBehaviour(TestWeb::siteHost(Site::Ebay), behaviour, prefix);

    QElapsedTimer clock;
    clock.start();
    const QStringList hits = m_ebay->searchByNumber(anyKeyword, 99);
    // It waited for the limit (a coarse timer may end up to 5 percent early), not for the page.
    QVERIFY(clock.elapsed() >= CSiteParser::pageTimeLimit() * 9 / 10);
    QCOMPARE(hits, pairsOf(Site::Ebay, ids.mid(0, offersSent)));
}

void TestSiteParsers::hostilePagesKeepWhatCameFirst_data()
{
    QTest::addColumn<QByteArray>("trouble");

    QTest::newRow("100,000 nested elements") << QByteArray("<div>").repeated(100000);
    QTest::newRow("100,000 nested tables") << QByteArray("<table><tr><td><span>").repeated(25000);
    QTest::newRow("truncated mid-tag") << QByteArray("<div><a hr");
    QTest::newRow("truncated in a value") << QByteArray("<img src='http://i.ebayimg.test/d/l225/m/");
    QTest::newRow("garbage") << literal("\x00\xff</></<<img\x01>\xc3(").repeated(1000);
    QTest::newRow("50 MB") << QByteArray("<tr><td>lorem ipsum dolor sit amet</td></tr>\n").repeated(50 * 1024 * 1024 / 45);
}

void TestSiteParsers::hostilePagesKeepWhatCameFirst()
{
    QFETCH(QByteArray, trouble);
    const QString url = "http://www.ebay.test/custom/hostile";
    const QByteArray offer = ("<div class='offer'><a href='" + TestWeb::pageUrl(Site::Ebay, "s1") + "'><img src='"
                              + TestWeb::pictureUrl(Site::Ebay, "s1") + "'></a></div>")
                                 .toUtf8();
    m_web.setPage(url, "<html><body><table><tr><td>" + offer + "</td></tr></table>" + trouble + offer);
    const QStringList hits = m_ebay->loadPage(url, 99);
    QCOMPARE(hits.mid(0, 2), pairsOf(Site::Ebay, {"s1"}));
    m_web.setPage(url, {});
}

void TestSiteParsers::redirectsAndEncodings()
{
    m_web.setStamps(Site::Ebay, stamps({"s1"}));
    m_web.addHandler("www.ebay.test", [](HttpServer::Request &request) {
        if (request.url.path() != "/moved")
            return false;
        HttpServer::respond(request.socket, 302, {}, "text/html",
                            {{"Location", TestWeb::pageUrl(Site::Ebay, "s1").toUtf8()}});
        return true;
    });
    QCOMPARE(m_ebay->loadPage("http://www.ebay.test/moved", 99), pairsOf(Site::Ebay, {"s1"}));

    // A page in another encoding than UTF-8, named by the answer or by the page.
    const QByteArray latin1 = "<a href='http://www.ebay.test/itm/Timbr\xe9'><img src='http://i.ebayimg.test/d/l225/m/e.jpg'></a>";
    m_web.setPage("http://www.ebay.test/latin1", latin1, "text/html; charset=ISO-8859-1");
    m_web.setPage("http://www.ebay.test/meta", "<html><head><meta charset=\"windows-1252\"></head><body>" + latin1,
                  "text/html");
    const QStringList expected = {QString::fromUtf8("http://www.ebay.test/itm/Timbré"), "http://i.ebayimg.test/d/l225/m/e.jpg"};
    QCOMPARE(m_ebay->loadPage("http://www.ebay.test/latin1", 99), expected);
    QCOMPARE(m_ebay->loadPage("http://www.ebay.test/meta", 99), expected);
}

void TestSiteParsers::unloadableAddresses()
{
    QElapsedTimer clock;
    clock.start();
    for (const QString &url : {"", "not a url", "ftp://www.ebay.test/x", "file:///etc/passwd", "http://"})
        QCOMPARE(m_ebay->loadPage(url, 99), QStringList());
    QCOMPARE(m_web.requestCount(), 0);
    QVERIFY(clock.elapsed() < CSiteParser::pageTimeLimit()); // they fail at once, not at the limit
    // A host that answers with an error page is walked like any page.
    QCOMPARE(m_ebay->loadPage("http://www.ebay.test/no/such/page", 99), QStringList());
    QCOMPARE(m_web.requestCount(), 1);
}

void TestSiteParsers::picturesAreServed_data()
{
    QTest::addColumn<Site>("site");
    QTest::newRow("eBay") << Site::Ebay;
    QTest::newRow("Delcampe") << Site::Delcampe;
    QTest::newRow("Bidstart") << Site::Bidstart;
    QTest::newRow("Colnect") << Site::Colnect;
    QTest::newRow("Poppe") << Site::Poppe;
}

void TestSiteParsers::picturesAreServed()
{
    QFETCH(Site, site);
    QImage given(120, 90, QImage::Format_RGB32);
    given.fill(Qt::darkGreen);
    m_web.setStamps(site, {TestWeb::Stamp{"given", given}});
    QNetworkAccessManager network;
    const auto fetch = [&network](const QString &url) {
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(url))));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        finished.wait(5000);
        return QImage::fromData(reply->readAll());
    };
    const QImage served = fetch(TestWeb::pictureUrl(site, "given"));
    QCOMPARE(served.size(), given.size());
    QCOMPARE(QColor(served.pixel(60, 45)).green() > 80, true);
    QCOMPARE(fetch(TestWeb::pictureUrl(site, "drawn")).size(), QSize(200, 240));
}

QTEST_MAIN(TestSiteParsers)
#include "tst_siteparsers.moc"
