#include "sites/hostconfig.h"
#include "server/httpserver.h"
#include "sites/googleimg.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// A result page of the search engine as its rules read it, with the usual surroundings. One result
// is added by a script, which only a page that runs scripts shows.
const QByteArray resultPage =
    "<!doctype html><html><head><title>Results</title>\n"
    "<style>.g { margin: 4px }</style></head><body>\n"
    "<div id=\"nav\"><a href=\"/settings\">Settings</a> <a href=\"/images\">Images</a></div>\n"
    "<img src=\"http://encrypted-tbn0.localhost:1/before-any-title.jpg\">\n"
    "<table><tr><td>\n"
    " <div class=\"g\"><h3 class=\"r\"><a href=\"HTTP://WWW.Delcampe.NET/Item/Penny-Black?ID=5\">Penny Black</a></h3>\n"
    "  <div><img src=\"http://encrypted-tbn1.localhost:1/T1.jpg\"></div></div>\n"
    " <div class=\"g\"><h3 class=\"r x\"><a href=\"http://ignored.localhost:1/\">Ignored</a></h3>\n"
    "  <img src=\"http://encrypted-tbn2.localhost:1/t2.jpg\"></div>\n"
    " <div class=\"g\"><h3 class=\"r\"><a href=\"http://stamps.localhost:1/b\">Second</a></h3>\n"
    "  <img src=\"http://encrypted-tbn1.localhost:1/T1.jpg\"></div>\n"
    "</td></tr></table>\n"
    "<img src=\"http://logo.localhost:1/logo.png\">\n"
    "<div id=\"foot\"><span class=\"csb gbil ch\"></span><a href=\"/search?start=10\">Next</a></div>\n"
    "<script>document.body.insertAdjacentHTML('beforeend',\n"
    "  '<h3 class=\"r\"><a href=\"http://Scripted.localhost:1/S\">From a script</a></h3>' +\n"
    "  '<img src=\"http://encrypted-tbn3.localhost:1/t3.jpg\">');</script>\n"
    "</body></html>\n";

} // namespace

class TestGoogleImg : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void searchByImageWalksResultPage();
    void searchUrl_data();
    void searchUrl();
    void pageThatNeverFinishesIsWalkedAfterTheLimit();
    void scriptThatNeverEndsStillReturns();

private:
    QList<QByteArray> m_targets;
    QList<QByteArray> m_agents;
};

void TestGoogleImg::init()
{
    m_targets.clear();
    m_agents.clear();
    CSiteParser::setPageTimeLimitForTesting(1500);
}

void TestGoogleImg::cleanup()
{
    CSiteParser::setPageTimeLimitForTesting(0);
    HostConfig::global() = HostConfig();
}

void TestGoogleImg::searchByImageWalksResultPage()
{
    HttpServer server([this](HttpServer::Request &request) {
        if (request.target == "/favicon.ico") // the browser's own extra request
            return HttpServer::respond(request.socket, 404, "");
        m_targets << request.target;
        m_agents << request.header("User-Agent");
        HttpServer::respond(request.socket, 200, request.target.contains("&start=") ? QByteArray("<html><body>No more.</body></html>") : resultPage);
    });
    QVERIFY(server.listen());
    HostConfig::global().setValue("search_engine", "http://" + server.hostAndPort());
    HostConfig::global().setValue("recognition", "recognition.localhost:8711");

    CGoogleImg google;
    const QStringList hits = google.searchByImage("20261210-0042", 99);
    QCOMPARE(hits, QStringList({
                       "", "http://encrypted-tbn0.localhost:1/before-any-title.jpg",
                       "http://www.delcampe.net/item/penny-black?id=5", "http://encrypted-tbn1.localhost:1/T1.jpg",
                       "http://www.delcampe.net/item/penny-black?id=5", "http://encrypted-tbn2.localhost:1/t2.jpg",
                       "http://stamps.localhost:1/b", "http://encrypted-tbn1.localhost:1/T1.jpg",
                       "http://scripted.localhost:1/s", "http://encrypted-tbn3.localhost:1/t3.jpg",
                   }));
    QVERIFY(google.m_hasMorePages);
    QCOMPARE(m_targets.first(),
             QByteArray("/searchbyimage?image_url=http://recognition.localhost:8711/db3/process/20261210-0042.jpg"));
    QCOMPARE(m_agents.first(),
             QByteArray("Mozilla/5.0 (Windows NT 6.1; WOW64; rv:24.0) Gecko/20100101 Firefox/24.0"));
    const QString resultUrl = google.m_resultUrl;
    QCOMPARE(QUrl(resultUrl).path(), QString("/searchbyimage"));

    // The next page: the base address and "&start=10", walked from an empty list.
    const QStringList next = google.searchNextPage(resultUrl, 99, 10);
    QVERIFY(next.isEmpty());
    QVERIFY(!google.m_hasMorePages);
    QCOMPARE(m_targets.last(), m_targets.first() + "&start=10");
}

void TestGoogleImg::searchUrl_data()
{
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QString>("expected");
    QTest::newRow("host alone: https") << "www.google.com"
                                       << "https://www.google.com/searchbyimage?image_url=http://rec.localhost:81/db3/process/7.jpg";
    QTest::newRow("own scheme kept") << "http://127.0.0.1:8080"
                                     << "http://127.0.0.1:8080/searchbyimage?image_url=http://rec.localhost:81/db3/process/7.jpg";
}

void TestGoogleImg::searchUrl()
{
    QFETCH(QString, engine);
    HostConfig::global().setValue("search_engine", engine);
    HostConfig::global().setValue("recognition", "rec.localhost:81");
    QTEST(CGoogleImg::searchUrl("7"), "expected");
}

void TestGoogleImg::pageThatNeverFinishesIsWalkedAfterTheLimit()
{
    // The answer's first half arrives, then nothing: the page never finishes loading.
    QList<QTcpSocket *> held;
    HttpServer server([&held](HttpServer::Request &request) {
        const QByteArray part = resultPage.left(resultPage.indexOf("<img src=\"http://logo"));
        request.socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 100000\r\n\r\n" + part);
        held << request.socket;
    });
    QVERIFY(server.listen());
    HostConfig::global().setValue("search_engine", "http://" + server.hostAndPort());

    CGoogleImg google;
    QElapsedTimer clock;
    clock.start();
    const QStringList hits = google.searchByImage("1", 99);
    QVERIFY(clock.elapsed() >= 1400);
    QVERIFY(clock.elapsed() < 1500 + CGoogleImg::snapshotTimeLimitMs + 3000);
    QCOMPARE(hits.size(), 8); // the four results that arrived before the stall
    QVERIFY(!google.m_hasMorePages); // the navigation marker never came
}

void TestGoogleImg::scriptThatNeverEndsStillReturns()
{
    HttpServer server([](HttpServer::Request &request) {
        HttpServer::respond(request.socket, 200,
                            "<html><body><h3 class=\"r\"><a href=\"http://a.localhost:1/\">a</a></h3>"
                            "<script>for (;;) {}</script></body></html>");
    });
    QVERIFY(server.listen());
    HostConfig::global().setValue("search_engine", "http://" + server.hostAndPort());

    CGoogleImg google;
    QElapsedTimer clock;
    clock.start();
    const QStringList hits = google.searchByImage("1", 99);
    QVERIFY(clock.elapsed() < 1500 + CGoogleImg::snapshotTimeLimitMs + 3000);
    QVERIFY(hits.isEmpty());
}

QTEST_MAIN(TestGoogleImg)
#include "tst_googleimg.moc"
