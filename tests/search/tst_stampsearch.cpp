// Whole searches without a window: the real quillet-server on a demo catalogue, the test web for the
// stamp sites and the search engine, the real workers. What the user would see is read from the
// search's signals.
#include "matching/loadthreadimg.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "search/pc1cipher.h"
#include "search/searchreport.h"
#include "search/stampsearch.h"
#include "server/democatalogue.h"
#include "serverprocess.h"
#include "sites/hostconfig.h"
#include "sites/siteparser.h"
#include "standins/testweb.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

using G = CStampGenerator;
using Site = TestWeb::Site;

namespace {

constexpr int catalogueSize = 12;
constexpr int userStamp = 5;

// Pictures of the user's stamp as sites would show them, and of other stamps.
QImage matching(int variant)
{
    const cv::Mat stamp = G::stamp(userStamp);
    switch (variant % 5) {
    case 0: return G::toImage(G::rotated(stamp, 5));
    case 1: return G::toImage(G::scaled(stamp, 0.8));
    case 2: return G::toImage(G::lit(stamp, 0.8, 10));
    case 3: return G::toImage(G::jpeg(stamp, 40));
    default: return G::toImage(G::scaled(stamp, 1.3));
    }
}

QImage other(int seed)
{
    return G::toImage(G::stamp(seed));
}

QByteArray enciphered(const QByteArray &plain)
{
    CPc1Cipher cipher;
    cipher.setLength(int(plain.size()));
    return cipher.encryptText(plain);
}

// What the user sees of a search, in order.
struct Seen
{
    QStringList live;   // sources of the matches shown during the comparison
    QStringList ranked; // pageUrls of the final strip
    QStringList rankedSources;
    QStringList messages;
    int notFound = 0;
    int finished = 0;
    QList<int> stages;
    int lastProgress = -1;
    QStringList statuses;
};

// The line of the report at path that says how a search without matches ended; "none" without a
// report.
QString reportEnding(const QString &path)
{
    QFile page(path);
    if (!page.open(QIODevice::ReadOnly))
        return "none";
    const QList<QByteArray> lines = page.readAll().split('\n');
    return lines.size() == 3 ? QString::fromLatin1(lines.at(1)) : QString();
}

// A report as an earlier search left it.
void writeOldReport(const QString &path)
{
    field_ready old;
    old.pageUrl = "http://old.test/page";
    old.image = QImage(8, 8, QImage::Format_RGB32);
    old.image.fill(Qt::blue);
    QVERIFY(CSearchReport::write(path, {old}).isEmpty());
}

} // namespace

class TestStampSearch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void wholeSearchShowsLiveAndRankedMatches();
    void fewerThanFourMatchesRunTheAdditionalPass();
    void nothingMatchesSaysStampNotFound();
    void serverMessagesEndTheSearch_data();
    void serverMessagesEndTheSearch();
    void stopEndsTheSearchQuietly_data();
    void stopEndsTheSearchQuietly();

private:
    CStampSearch::Outcome run(CStampSearch &search, Seen *seen);
    // A recognition server of its own: answers the cache query with `count` and an upload with
    // `answer` (enciphered after four filler characters), or holds the upload when `hold` is set.
    void fakeRecognitionServer(const QByteArray &count, const QByteArray &answer, bool raw = false,
                               bool hold = false);
    void serveSearchEngine(const QList<QPair<QString, QString>> &hits);

    QTemporaryDir m_catalogue;
    ServerProcess m_server;
    TestWeb m_web;
    QImage m_selection;
    QByteArray m_jpeg;
    std::unique_ptr<HttpServer> m_fake;
    QList<QPointer<QTcpSocket>> m_held;
    int m_uploads = 0;
};

void TestStampSearch::initTestCase()
{
    qRegisterMetaType<QVector<field_ready> *>();
    QVERIFY(CDemoCatalogue::write(m_catalogue.path(), catalogueSize));
    QVERIFY2(m_server.start(m_catalogue.path()), qPrintable(m_server.error()));
    QVERIFY(m_web.start());
    m_web.useAsProxyExceptLoopback();
    CSiteParser::setPageTimeLimitForTesting(5000);

    // The user's photo: the stamp a little turned on the album page, framed with some page around.
    m_selection = G::toImage(G::onPage(G::rotated(G::stamp(userStamp), 3), cv::Size(250, 290), cv::Point(15, 15)));
    QBuffer buffer(&m_jpeg);
    buffer.open(QIODevice::WriteOnly);
    m_selection.save(&buffer, "JPEG", 90);

    // Thumbnails of the search engine's hits.
    m_web.addHandler("encrypted-tbn0.google.test", [](HttpServer::Request &request) {
        QByteArray jpeg;
        QBuffer out(&jpeg);
        out.open(QIODevice::WriteOnly);
        TestWeb::drawStamp(request.url.path()).save(&out, "JPEG", 90);
        HttpServer::respond(request.socket, 200, jpeg, "image/jpeg");
        return true;
    });
}

void TestStampSearch::init()
{
    m_web.configureSearch(m_server.hostAndPort());
    m_web.clearStamps();
    m_web.clearRequests();
    serveSearchEngine({});
    m_uploads = 0;
}

void TestStampSearch::cleanup()
{
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_held)) {
        if (socket)
            socket->abort();
    }
    m_held.clear();
    m_fake.reset();
    for (Site site : {Site::Delcampe, Site::Colnect, Site::Bidstart, Site::Ebay, Site::Poppe})
        m_web.setBehaviour(TestWeb::siteHost(site), TestWeb::Behaviour::Normal);
}

void TestStampSearch::serveSearchEngine(const QList<QPair<QString, QString>> &hits)
{
    QByteArray page = "<html><body><div id=\"search\">";
    for (const auto &[pageUrl, pictureUrl] : hits)
        page += "<div class=\"g\"><h3 class=\"r\"><a href=\"" + pageUrl.toUtf8() + "\">Stamp</a></h3><img src=\""
                + pictureUrl.toUtf8() + "\"></div>\n";
    page += "</div></body></html>";
    // Whatever upload it is asked about.
    m_web.addHandler("127.0.0.1", [page](HttpServer::Request &request) {
        if (request.url.path() != QLatin1String("/searchbyimage"))
            return false;
        HttpServer::respond(request.socket, 200, page);
        return true;
    });
}

void TestStampSearch::fakeRecognitionServer(const QByteArray &count, const QByteArray &answer, bool raw, bool hold)
{
    m_fake = std::make_unique<HttpServer>([=, this](HttpServer::Request &request) {
        if (request.target.contains("cache=get"))
            return HttpServer::respond(request.socket, 200, enciphered("abcd" + count), "text/plain");
        ++m_uploads;
        if (hold)
            return void(m_held << request.socket);
        HttpServer::respond(request.socket, 200, raw ? answer : enciphered("abcd" + answer), "text/plain");
    });
    QVERIFY(m_fake->listen());
    HostConfig::global().setValue("recognition", m_fake->hostAndPort());
}

CStampSearch::Outcome TestStampSearch::run(CStampSearch &search, Seen *seen)
{
    bool cleared = false;
    connect(&search, &CStampSearch::signalOutImg, this,
            [&](const QImage &, const QString &pageUrl, const QString &source, const QString &, int) {
                if (cleared) {
                    seen->ranked << pageUrl;
                    seen->rankedSources << source;
                } else {
                    seen->live << source;
                }
            });
    connect(&search, &CStampSearch::signalClearResults, this, [&] { cleared = true; });
    connect(&search, &CStampSearch::signalServerMessage, this, [&](const QString &text) { seen->messages << text; });
    connect(&search, &CStampSearch::signalNotFound, this, [&] { ++seen->notFound; });
    connect(&search, &CStampSearch::signalFinished, this, [&] { ++seen->finished; });
    connect(&search, &CStampSearch::signalStage, this, [&](int stage) { seen->stages << stage; });
    connect(&search, &CStampSearch::signalProgress, this, [&](int value) { seen->lastProgress = value; });
    connect(&search, &CStampSearch::signalStatus, this, [&](const QString &text) { seen->statuses << text; });
    const CStampSearch::Outcome outcome = search.run(m_selection, m_jpeg);
    disconnect(&search, nullptr, this, nullptr);
    for (CLoadThreadImg *worker : search.workers())
        worker->wait(); // every worker has reported; none may still be running
    return outcome;
}

void TestStampSearch::wholeSearchShowsLiveAndRankedMatches()
{
    const auto stamp = [](const QString &id, const QImage &picture) { return TestWeb::Stamp{id, picture}; };
    m_web.setStamps(Site::Delcampe, {stamp("m1", matching(0)), stamp("m2", matching(1)), stamp("x1", other(9)),
                                     stamp("m3", matching(2))});
    m_web.setStamps(Site::Colnect, {stamp("m4", matching(3)), stamp("x2", other(2))});
    m_web.setStamps(Site::Bidstart, {stamp("x3", other(3))});
    m_web.setStamps(Site::Ebay, {stamp("m5", matching(4)), stamp("x4", other(4))});
    m_web.setStamps(Site::Poppe, {stamp("m6", matching(0))},
                    [](const QUrl &url) { return url.query().contains(QLatin1String("sgno")); });

    QTemporaryDir reports;
    CStampSearch search;
    search.setMaxOut(2);
    search.setReportPath(reports.path() + "/found.html");
    Seen seen;
    QCOMPARE(run(search, &seen), CStampSearch::Finished);

    // Six matches in the first pass: no additional pass, the search engine is never asked.
    QCOMPARE(m_web.requestCount("127.0.0.1"), 0);
    QVERIFY(!seen.stages.contains(CStampSearch::Additional));
    QCOMPARE(seen.live.size(), 6);
    QCOMPARE(seen.notFound, 0);
    QCOMPARE(seen.finished, 1);
    QCOMPARE(seen.lastProgress, 100);
    QCOMPARE(seen.stages.last(), int(CStampSearch::AllDone));
    QVERIFY(seen.statuses.first() == "Connecting to server...");
    QVERIFY(seen.statuses.contains("Searching stamp. This can take some minutes.\nIndexed stamps 1.2e-05 Millions"));

    // Grouped by site, at most two each, the better Delcampe match first.
    const QStringList labels = HostConfig::siteLabels();
    QCOMPARE(seen.rankedSources, QStringList({labels[0], labels[0], labels[1], labels[3], labels[4]}));
    CStampMatcher matcher;
    matcher.setReference(m_selection.convertToFormat(QImage::Format_RGB32));
    QMap<QString, int> scores;
    for (int n : {0, 1, 2}) {
        QByteArray jpeg;
        QBuffer out(&jpeg);
        out.open(QIODevice::WriteOnly);
        matching(n).save(&out, "JPEG", 90);
        QVERIFY(matcher.compareImage(QImage::fromData(jpeg).convertToFormat(QImage::Format_RGB32)));
        scores[TestWeb::pageUrl(Site::Delcampe, QString("m%1").arg(n + 1))] = matcher.agreeCount();
    }
    QVERIFY(scores.contains(seen.ranked.at(0)) && scores.contains(seen.ranked.at(1)));
    QVERIFY(scores.value(seen.ranked.at(0)) >= scores.value(seen.ranked.at(1)));
    for (const QString &page : scores.keys()) {
        if (page != seen.ranked.at(0) && page != seen.ranked.at(1))
            QVERIFY(scores.value(page) <= scores.value(seen.ranked.at(1)));
    }
    QCOMPARE(seen.ranked.at(4), TestWeb::pageUrl(Site::Poppe, "m6"));

    // The report: a link for each of the five, with their pictures.
    QFile page(reports.path() + "/found.html");
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray html = page.readAll();
    QCOMPARE(html.count("<p><a href="), 5);
    const QByteArray poppeLink = QUrl(TestWeb::pageUrl(Site::Poppe, "m6")).toEncoded().replace("&", "&amp;");
    QVERIFY(html.contains("<a href=\"" + poppeLink + "\"><img border=\"0\" src=\"found/4.jpg\">"));
    for (int i = 0; i < 5; ++i)
        QVERIFY(!QImage(reports.path() + QString("/found/%1.jpg").arg(i)).isNull());
    // Every match was compared: each carries its evidence from its worker to the report.
    QCOMPARE(search.results().size(), 5);
    for (int i = 0; i < 5; ++i) {
        QVERIFY(!search.results().at(i).evidence.isEmpty());
        QVERIFY(!QImage(reports.path() + QString("/found/%1-evidence.jpg").arg(i)).isNull());
    }
    QCOMPARE(html.count("<div class=\"evidence\">"), 5);
}

void TestStampSearch::fewerThanFourMatchesRunTheAdditionalPass()
{
    const auto stamp = [](const QString &id, const QImage &picture) { return TestWeb::Stamp{id, picture}; };
    const auto byDescription = [](const QUrl &url) { return url.toString().contains(QLatin1String("Seed")); };
    // First pass: three matches.
    m_web.setStamps(Site::Delcampe, {stamp("m1", matching(0)), stamp("m2", matching(1)), stamp("x1", other(9))});
    m_web.setStamps(Site::Colnect, {stamp("m3", matching(2))});
    // By description: one of them again, a new one, and another stamp.
    m_web.setStamps(Site::Delcampe, {stamp("m2", matching(1)), stamp("m7", matching(3)), stamp("x5", other(8))},
                    byDescription);
    // A Delcampe offer page the search engine found, and pictures elsewhere.
    m_web.setStamps(Site::Delcampe, {stamp("m8", matching(4))}, [](const QUrl &) { return false; });
    const QString offerPage = "http://www.delcampe.test/en_gb/collectables/stamps/item-m8.html";
    m_web.setPage(offerPage, TestWeb::resultPage(Site::Delcampe, {stamp("m8", matching(4))}));
    const QString tbn = "http://encrypted-tbn0.google.test/";
    serveSearchEngine({{offerPage, tbn + "g1.jpg"},
                       {"http://www.hipstamp.com/listing/9", tbn + "g2.jpg"},
                       {"http://stampclub.test/page", tbn + "g3.jpg"},
                       {"http://news.test/item", tbn + "g4.jpg"}});

    CStampSearch search;
    search.setMaxOut(0); // nothing ranked: the merged list stays as the passes left it
    Seen seen;
    QCOMPARE(run(search, &seen), CStampSearch::Finished);
    QVERIFY(seen.stages.contains(CStampSearch::Additional));
    QCOMPARE(seen.notFound, 0);
    QVERIFY(seen.ranked.isEmpty());

    const QVector<field_ready> &merged = search.candidates();
    QStringList urls;
    for (const field_ready &record : merged)
        urls << record.imageUrl;
    QCOMPARE(QSet<QString>(urls.begin(), urls.end()).size(), urls.size()); // each picture once
    const QStringList firstPass = {TestWeb::pictureUrl(Site::Delcampe, "m1"), TestWeb::pictureUrl(Site::Delcampe, "m2"),
                                   TestWeb::pictureUrl(Site::Colnect, "m3")};
    QCOMPARE(QSet<QString>(urls.begin(), urls.begin() + 3), QSet<QString>(firstPass.begin(), firstPass.end()));

    // The reverse search's hits: the Delcampe page became its (compared) offer; the others are
    // taken as they are, scored by where they come from.
    QMap<QString, QPair<int, int>> google; // imageUrl -> kind, score
    for (const field_ready &record : merged) {
        if (record.source == HostConfig::siteLabels().at(5))
            google.insert(record.imageUrl, {record.kind, record.score});
    }
    QCOMPARE(google.value(TestWeb::pictureUrl(Site::Delcampe, "m8")), qMakePair(1, 900));
    QCOMPARE(google.value(tbn + "g2.jpg"), qMakePair(2, 800));
    QCOMPARE(google.value(tbn + "g3.jpg"), qMakePair(3, 700));
    QCOMPARE(google.value(tbn + "g4.jpg"), qMakePair(4, 600));
    QCOMPARE(google.size(), 4);
    QVERIFY(urls.contains(TestWeb::pictureUrl(Site::Delcampe, "m7")));
    QVERIFY(!urls.contains(tbn + "g1.jpg"));
}

void TestStampSearch::nothingMatchesSaysStampNotFound()
{
    m_web.setStamps(Site::Ebay, {TestWeb::Stamp{"x1", other(9)}, TestWeb::Stamp{"x2", other(10)}});
    CStampSearch search;
    Seen seen;
    QCOMPARE(run(search, &seen), CStampSearch::Finished);
    QCOMPARE(seen.notFound, 1);
    QVERIFY(seen.live.isEmpty() && seen.ranked.isEmpty());
    QVERIFY(seen.stages.contains(CStampSearch::Additional));
    QCOMPARE(seen.lastProgress, 100);
}

void TestStampSearch::serverMessagesEndTheSearch_data()
{
    QTest::addColumn<QByteArray>("count");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("uploads");
    QTest::newRow("no server") << QByteArray() << QByteArray() << false << "Server not responding" << 0;
    QTest::newRow("no match") << QByteArray("500000") << QByteArray() << false
                              << "Matches in the database is not found" << 1;
    QTest::newRow("server fault") << QByteArray("7") << QByteArray("DB_ERROR") << false
                                  << "Technical problems on the server" << 1;
    QTest::newRow("binary garbage") << QByteArray("7") << QByteArray("\x01\xff\x00garbage\x80[n", 12) << true
                                    << "Wrong answer" << 1;
}

void TestStampSearch::serverMessagesEndTheSearch()
{
    QFETCH(QByteArray, count);
    QFETCH(QByteArray, answer);
    QFETCH(bool, raw);
    QFETCH(QString, message);
    QFETCH(int, uploads);
    if (count.isEmpty()) {
        // A port nobody listens on.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        HostConfig::global().setValue("recognition", QString("127.0.0.1:%1").arg(closed.serverPort()));
    } else {
        fakeRecognitionServer(count, answer, raw);
    }
    QTemporaryDir reports;
    const QString report = reports.path() + "/found.html";
    writeOldReport(report);
    CStampSearch search;
    search.setReportPath(report);
    Seen seen;
    QCOMPARE(run(search, &seen), CStampSearch::ServerMessage);
    QCOMPARE(seen.messages, QStringList{message});
    // The report is this search's: it says how it ended, and the old one is gone with its picture.
    QCOMPARE(reportEnding(report), "<p>" + message + "</p>");
    QVERIFY(!QFileInfo::exists(reports.path() + "/found/0.jpg"));
    QVERIFY(!QFileInfo::exists(CSearchReport::previousFolder(report)));
    QCOMPARE(m_uploads, uploads);
    QCOMPARE(seen.notFound + seen.finished, 0);
    QCOMPARE(m_web.requestCount(), 0); // no site was asked
    if (count == "500000")
        QVERIFY(seen.statuses.contains("Searching stamp. This can take some minutes.\nIndexed stamps 0.5 Millions"));
}

void TestStampSearch::stopEndsTheSearchQuietly_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<bool>("replaced"); // stopped for a new search, which writes the report
    QTest::newRow("upload") << "upload" << false;
    QTest::newRow("site search") << "sites" << false;
    QTest::newRow("comparison") << "comparison" << false;
    QTest::newRow("comparison, for a new search") << "comparison" << true;
}

void TestStampSearch::stopEndsTheSearchQuietly()
{
    QFETCH(QString, stage);
    QFETCH(bool, replaced);
    CSiteParser::setPageTimeLimitForTesting(30000);
    if (stage == "upload")
        fakeRecognitionServer("7", QByteArray(), false, true);
    if (stage == "sites")
        m_web.setBehaviour(TestWeb::siteHost(Site::Delcampe), TestWeb::Behaviour::Stall, 20);
    // Pictures that never come.
    QList<TestWeb::Stamp> stamps;
    for (int i = 0; i < 40; ++i)
        stamps << TestWeb::Stamp{QString("s%1").arg(i)};
    m_web.setStamps(Site::Ebay, stamps);
    m_web.addHandler("i.ebayimg.test", [this](HttpServer::Request &request) {
        m_held << request.socket;
        return true;
    });

    QTemporaryDir reports;
    const QString report = reports.path() + "/found.html";
    writeOldReport(report);
    CStampSearch search;
    search.setReportPath(report);
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        const bool due = stage == "upload"   ? m_uploads > 0
                         : stage == "sites" ? m_web.requestCount(TestWeb::siteHost(Site::Delcampe)) > 0
                                            : m_web.requestCount("i.ebayimg.test") >= 32;
        if (due) {
            poll.stop();
            if (replaced)
                search.supersede();
            else
                search.cancel();
        }
    });
    poll.start(5);
    Seen seen;
    QElapsedTimer clock;
    clock.start();
    const CStampSearch::Outcome outcome = run(search, &seen);
    CSiteParser::setPageTimeLimitForTesting(5000);
    QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(seen.messages.isEmpty());
    QCOMPARE(seen.notFound, 0);
    // Never the old report: "cancelled", or nothing when the new search is to write it.
    QCOMPARE(reportEnding(report), replaced ? "none" : "<p>cancelled</p>");
    QVERIFY(!QFileInfo::exists(reports.path() + "/found/0.jpg"));
    if (stage == "comparison") {
        // The workers stop and report; the search then ends as usual, with no match shown.
        QCOMPARE(outcome, CStampSearch::Finished);
        QCOMPARE(search.workers().size(), CStampSearch::workerCount);
        QVERIFY(seen.ranked.isEmpty());
    } else {
        QCOMPARE(outcome, CStampSearch::Cancelled);
        QCOMPARE(seen.finished, 0);
        QCOMPARE(m_web.requestCount("i.ebayimg.test"), 0);
    }
}

QTEST_MAIN(TestStampSearch)
#include "tst_stampsearch.moc"
