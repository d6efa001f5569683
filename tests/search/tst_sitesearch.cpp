// The site search: keyword clean-up, which sites each pass asks and in what order, the progress it
// shows, and how the reverse image search's hits are routed by the host of their page.
#include "search/sitesearch.h"
#include "sites/hostconfig.h"
#include "sites/siteparser.h"
#include "standins/testweb.h"

#include <QSignalSpy>
#include <QtTest>

using Site = TestWeb::Site;

namespace {

QList<TestWeb::Stamp> stamps(const QStringList &ids)
{
    QList<TestWeb::Stamp> list;
    for (const QString &id : ids)
        list << TestWeb::Stamp{id};
    return list;
}

QStringList imageUrls(const QVector<field_ready> &records)
{
    QStringList urls;
    for (const field_ready &record : records)
        urls << record.imageUrl;
    return urls;
}

// The test web's site a request went to, by host; -1 for other hosts.
QString siteOf(const QUrl &url)
{
    static const QMap<QString, QString> hosts = {
        {TestWeb::siteHost(TestWeb::Delcampe), "delcampe"}, {TestWeb::siteHost(TestWeb::Colnect), "colnect"},
        {TestWeb::siteHost(TestWeb::Bidstart), "bidstart"}, {TestWeb::siteHost(TestWeb::Ebay), "ebay"},
        {TestWeb::siteHost(TestWeb::Poppe), "poppe"}};
    return hosts.value(url.host(), url.host());
}

const QString keyword = QStringLiteral("Demoland[c]5[inf]Generated+stamp[i]Seed+5[i]0001");
const QString uploadId = QStringLiteral("20261210-0001");

} // namespace

class TestSiteSearch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void normalisation_data();
    void normalisation();
    void hostInList_data();
    void hostInList();
    void passesAskTheirSitesInOrder_data();
    void passesAskTheirSitesInOrder();
    void reverseSearchHitsAreRoutedByHost();
    void cancelStopsBeforeTheNextQuery();

private:
    // The search engine's result page for the upload, as its walk reads it.
    void serveSearchEngine(const QList<QPair<QString, QString>> &firstPage,
                           const QList<QPair<QString, QString>> &secondPage);

    TestWeb m_web;
    bool m_cancel = false;
};

void TestSiteSearch::initTestCase()
{
    QVERIFY(m_web.start());
    m_web.useAsProxyExceptLoopback();
    CSiteParser::setPageTimeLimitForTesting(5000);
}

void TestSiteSearch::init()
{
    HostConfig::global() = HostConfig();
    TestWeb::configureHosts();
    // The web engine goes to the search engine directly, not through the proxy.
    HostConfig::global().setValue("search_engine", "http://" + m_web.hostAndPort());
    HostConfig::global().setValue("recognition", "recognition.test:8711");
    m_web.clearStamps();
    m_web.clearRequests();
    m_cancel = false;
}

void TestSiteSearch::cleanupTestCase()
{
    CSiteParser::setPageTimeLimitForTesting(0);
    HostConfig::global() = HostConfig();
}

void TestSiteSearch::serveSearchEngine(const QList<QPair<QString, QString>> &firstPage,
                                       const QList<QPair<QString, QString>> &secondPage)
{
    const auto page = [](const QList<QPair<QString, QString>> &hits, bool more) {
        QByteArray html = "<html><body><div id=\"search\">";
        for (const auto &[pageUrl, pictureUrl] : hits)
            html += "<div class=\"g\"><h3 class=\"r\"><a href=\"" + pageUrl.toUtf8() + "\">Stamp</a></h3><img src=\""
                    + pictureUrl.toUtf8() + "\"></div>\n";
        if (more)
            html += "<span class=\"csb gbil ch\"></span>";
        return html + "</div></body></html>";
    };
    const QString first = "http://" + m_web.hostAndPort() + "/searchbyimage?image_url=http://recognition.test:8711/db3/process/"
                          + uploadId + ".jpg";
    m_web.setPage(first, page(firstPage, !secondPage.isEmpty()));
    m_web.setPage(first + "&start=10", page(secondPage, false));
}

void TestSiteSearch::normalisation_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QStringList>("kept");
    const QString a = "X[c]12[inf]a[i]b[i]c";
    QTest::newRow("duplicates and items without markers go")
        << QStringList{a, "plain text", a, "X[c]13", "Y[c]1[inf]d[i]e[i]f"} << QStringList{a, "Y[c]1[inf]d[i]e[i]f"};
    QTest::newRow("plain number beats its spelling with letters")
        << QStringList{a, "X[c]12a[inf]d[i]e[i]f"} << QStringList{a};
    QTest::newRow("plain number beats an earlier spelling")
        << QStringList{"X[c]12a[inf]d[i]e[i]f", a} << QStringList{a};
    QTest::newRow("two spellings that differ both stay")
        << QStringList{"X[c]12a[inf]a[i]b[i]c", "X[c]12b[inf]a[i]b[i]c"}
        << QStringList{"X[c]12a[inf]a[i]b[i]c", "X[c]12b[inf]a[i]b[i]c"};
    QTest::newRow("the same spelling twice keeps the first")
        << QStringList{"X[c]12a[inf]a[i]b[i]c", "X[c]12a[inf]d[i]e[i]f"} << QStringList{"X[c]12a[inf]a[i]b[i]c"};
    QTest::newRow("same number, other names") << QStringList{a, "Y[c]12[inf]a[i]b[i]c"}
                                               << QStringList{a, "Y[c]12[inf]a[i]b[i]c"};
    QTest::newRow("marker after [inf] is no number") << QStringList{"X[inf]a[c]b", "X[inf]a[c]b[i]"}
                                                      << QStringList{"X[inf]a[c]b", "X[inf]a[c]b[i]"};
    QTest::newRow("removal before the item walked") << QStringList{"X[c]12b[inf]1", "junk", a} << QStringList{a};
    QTest::newRow("nothing") << QStringList{} << QStringList{};
}

void TestSiteSearch::normalisation()
{
    QFETCH(QStringList, items);
    QFETCH(QStringList, kept);
    QCOMPARE(CSiteSearch::normaliseKeywords(items), kept);
}

void TestSiteSearch::hostInList_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("index");
    QTest::newRow("first entry") << "delcampe.net" << true << 0;
    QTest::newRow("part of the host, any case") << "shop.EBAY.co.uk" << true << 3;
    QTest::newRow("first match wins") << "colnect-ebay.test" << true << 1;
    QTest::newRow("not listed leaves the index") << "example.test" << false << -7;
}

void TestSiteSearch::hostInList()
{
    QFETCH(QString, host);
    QFETCH(bool, found);
    QFETCH(int, index);
    int at = -7;
    QCOMPARE(CSiteSearch::hostInList(HostConfig::routableSites(), host, &at), found);
    QCOMPARE(at, index);
}

void TestSiteSearch::passesAskTheirSitesInOrder_data()
{
    QTest::addColumn<bool>("additional");
    QTest::addColumn<QStringList>("sites");
    QTest::addColumn<QList<int>>("progress");
    QTest::newRow("first pass") << false << QStringList{"delcampe", "colnect", "bidstart", "ebay", "poppe", "poppe"}
                                << QList<int>{0, 20, 40, 60, 60, 80, 80, 99};
    QTest::newRow("additional pass") << true << QStringList{"delcampe", "bidstart", "ebay", m_web.hostAndPort().section(':', 0, 0)}
                                     << QList<int>{0, 16, 32, 40, 40, 50};
}

void TestSiteSearch::passesAskTheirSitesInOrder()
{
    QFETCH(bool, additional);
    QFETCH(QStringList, sites);
    QFETCH(QList<int>, progress);
    for (Site site : {Site::Delcampe, Site::Colnect, Site::Bidstart, Site::Ebay, Site::Poppe})
        m_web.setStamps(site, stamps({"a1", "a2"}));
    serveSearchEngine({}, {});

    CSiteSearch search(m_cancel);
    QSignalSpy values(&search, &CSiteSearch::signalProgress);
    QVector<field_ready> found;
    // The same item twice: asked once.
    search.searchSites({keyword, keyword}, additional, additional ? uploadId : QString(), &found);

    QStringList asked;
    for (const TestWeb::SeenRequest &request : m_web.requests()) {
        if (request.url.path() != QLatin1String("/favicon.ico"))
            asked << siteOf(request.url);
    }
    QCOMPARE(asked, sites);
    QList<int> shown;
    for (const QList<QVariant> &value : std::as_const(values))
        shown << value.first().toInt();
    QCOMPARE(shown, progress);

    // Two hits per site asked, labelled with the site, in the order asked, kind 0.
    const QStringList labels = HostConfig::siteLabels();
    const QStringList expectedLabels = additional ? QStringList{labels[0], labels[2], labels[3]}
                                                  : QStringList{labels[0], labels[1], labels[2], labels[3], labels[4], labels[4]};
    QCOMPARE(found.size(), 2 * expectedLabels.size());
    for (qsizetype i = 0; i < found.size(); ++i) {
        QCOMPARE(found.at(i).source, expectedLabels.at(i / 2));
        QCOMPARE(found.at(i).kind, 0);
        QVERIFY(!found.at(i).skipCompare);
        QVERIFY(found.at(i).domain.isEmpty());
        QVERIFY(found.at(i).image.isNull());
    }
}

void TestSiteSearch::reverseSearchHitsAreRoutedByHost()
{
    // The Delcampe offer page the search engine points to lists the offer and two similar items.
    const QString delcampePage = "http://www.delcampe.test/en_gb/collectables/stamps/item-d1.html";
    m_web.setPage(delcampePage, TestWeb::resultPage(Site::Delcampe, stamps({"d1", "d2", "d3"})));
    const QString tbn = "http://encrypted-tbn0.google.test/";
    serveSearchEngine({{delcampePage, tbn + "g1.jpg"},
                       {"http://www.ebay.test/gone/1", tbn + "g2.jpg"},
                       {"http://www.poppe-stamps.test/?t=34&stamp_no=p1", tbn + "g3.jpg"},
                       {"http://WWW.hipstamp.com/listing/9", tbn + "g4.jpg"}},
                      {{"http://stampclub.test/page", tbn + "g5.jpg"}, {"http://news.test/www.x", tbn + "g6.jpg"}});

    CSiteSearch search(m_cancel);
    QVector<field_ready> found;
    search.searchSites({}, true, uploadId, &found);

    const QString google = HostConfig::siteLabels().at(5);
    struct Expected
    {
        QString imageUrl;
        QString domain;
        int kind;
        bool skipCompare;
    };
    const QList<Expected> expected = {
        // The Delcampe page stands for its three offers, compared; the search engine's own hit goes.
        {TestWeb::pictureUrl(Site::Delcampe, "d1"), "delcampe.test", 1, false},
        {TestWeb::pictureUrl(Site::Delcampe, "d2"), "delcampe.test", 1, false},
        {TestWeb::pictureUrl(Site::Delcampe, "d3"), "delcampe.test", 1, false},
        // An eBay page without offers, and Poppe's pages, which are not read, keep the hit itself.
        {tbn + "g2.jpg", "ebay.test", 1, true},
        {tbn + "g3.jpg", "poppe-stamps.test", 1, true},
        {tbn + "g4.jpg", "hipstamp.com", 2, true},
        {tbn + "g5.jpg", "stampclub.test", 3, true},
        {tbn + "g6.jpg", "news.test", 4, true},
    };
    QCOMPARE(imageUrls(found).size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const field_ready &record = found.at(i);
        QCOMPARE(record.imageUrl, expected.at(i).imageUrl);
        QCOMPARE(record.source, google);
        QCOMPARE(record.domain, expected.at(i).domain);
        QCOMPARE(record.kind, expected.at(i).kind);
        QCOMPARE(record.skipCompare, expected.at(i).skipCompare);
        QCOMPARE(record.score, 0);
    }
}

void TestSiteSearch::cancelStopsBeforeTheNextQuery()
{
    m_web.setStamps(Site::Delcampe, stamps({"a1"}));
    // Colnect's page never finishes; the stop comes while the search waits for it.
    m_web.setBehaviour(TestWeb::siteHost(Site::Colnect), TestWeb::Behaviour::Stall, 10);
    CSiteParser::setPageTimeLimitForTesting(20000);
    CSiteSearch search(m_cancel);
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (m_web.requestCount(TestWeb::siteHost(Site::Colnect)) > 0 && !m_cancel) {
            m_cancel = true;
            search.abortWait();
        }
    });
    poll.start(10);
    QElapsedTimer clock;
    clock.start();
    QVector<field_ready> found;
    search.searchSites({keyword}, false, QString(), &found);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(found.size(), 1); // Delcampe's hit, found before the stop
    QCOMPARE(m_web.requestCount(TestWeb::siteHost(Site::Bidstart)), 0);
    m_web.setBehaviour(TestWeb::siteHost(Site::Colnect), TestWeb::Behaviour::Normal);
    CSiteParser::setPageTimeLimitForTesting(5000);
}

QTEST_MAIN(TestSiteSearch)
#include "tst_sitesearch.moc"
