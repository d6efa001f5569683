// Whole searches while one outside server misbehaves: a picture or a page that never ends, an
// announced size that never comes, a redirect loop, a server that never answers, a decompression
// bomb, a page nested 100 000 deep, a recognition server that answers garbage or hangs up half-way.
// Each time the search ends as it should, the rest of its matches still count, the event loop keeps
// turning and memory stays bounded.
#include "matching/loadthreadimg.h"
#include "matching/stampgenerator.h"
#include "search/pc1cipher.h"
#include "search/sendgethttprequest.h"
#include "search/stampsearch.h"
#include "server/democatalogue.h"
#include "standins/testweb.h"
#include "serverprocess.h"
#include "sites/hostconfig.h"
#include "sites/siteparser.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using G = CStampGenerator;
using Site = TestWeb::Site;

namespace {

constexpr int userStamp = 5;

long peakResidentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

} // namespace

class TestMisbehavingServers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void badPictureIsDroppedAndTheSearchGoesOn_data();
    void badPictureIsDroppedAndTheSearchGoesOn();
    void badResultPageIsWalkedAsFarAsItCame_data();
    void badResultPageIsWalkedAsFarAsItCame();
    void badRecognitionServerEndsWithItsMessage_data();
    void badRecognitionServerEndsWithItsMessage();

private:
    struct Run
    {
        CStampSearch::Outcome outcome = CStampSearch::Cancelled;
        QStringList messages;
        int notFound = 0;
        QStringList ranked; // page addresses of the final strip
        qint64 longestPauseMs = 0;
        qint64 elapsedMs = 0;
    };
    Run runSearch();

    QTemporaryDir m_catalogue;
    ServerProcess m_server;
    TestWeb m_web;
    QImage m_selection;
    QByteArray m_jpeg;
    QList<QPointer<QTcpSocket>> m_held;
    std::unique_ptr<HttpServer> m_recognition;
    long m_peakBefore = 0;
};

void TestMisbehavingServers::initTestCase()
{
    qRegisterMetaType<QVector<field_ready> *>();
    QVERIFY(CDemoCatalogue::write(m_catalogue.path(), 8));
    QVERIFY2(m_server.start(m_catalogue.path()), qPrintable(m_server.error()));
    QVERIFY(m_web.start());
    m_web.useAsProxyExceptLoopback();
    m_selection = G::toImage(G::onPage(G::rotated(G::stamp(userStamp), 3), cv::Size(250, 290), cv::Point(15, 15)));
    QBuffer buffer(&m_jpeg);
    buffer.open(QIODevice::WriteOnly);
    m_selection.save(&buffer, "JPEG", 90);
    // The limits the users wait out, shortened; what is tested is that each one ends the wait.
    CLoadThreadImg::setPictureTimeLimitForTesting(2000);
    CSiteParser::setPageTimeLimitForTesting(2000);
    CSendGetHTTPRequest::setTimeoutForTesting(2000);
    m_peakBefore = peakResidentKilobytes();
}

void TestMisbehavingServers::cleanupTestCase()
{
    CLoadThreadImg::setPictureTimeLimitForTesting(0);
    CSiteParser::setPageTimeLimitForTesting(0);
    CSendGetHTTPRequest::setTimeoutForTesting(0);
    // Nothing that misbehaved cost memory beyond what the searches themselves need.
    const long grown = peakResidentKilobytes() - m_peakBefore;
    QVERIFY2(grown < 600 * 1024, qPrintable(QString("peak grew by %1 MB").arg(grown / 1024)));
}

void TestMisbehavingServers::init()
{
    m_web.configureSearch(m_server.hostAndPort());
    m_web.clearStamps();
    m_web.clearRequests();
    m_web.addHandler("127.0.0.1", [](HttpServer::Request &request) {
        HttpServer::respond(request.socket, 200, "<html><body></body></html>");
        return true;
    });
}

void TestMisbehavingServers::cleanup()
{
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_held)) {
        if (socket)
            socket->abort();
    }
    m_held.clear();
    m_recognition.reset();
    m_web.setBehaviour(TestWeb::siteHost(Site::Delcampe), TestWeb::Behaviour::Normal);
    for (const QString &host : {QStringLiteral("127.0.0.1"), QStringLiteral("i.ebayimg.test"), TestWeb::siteHost(Site::Delcampe)})
        m_web.removeHandlers(host);
}

TestMisbehavingServers::Run TestMisbehavingServers::runSearch()
{
    Run run;
    CStampSearch search;
    bool cleared = false;
    connect(&search, &CStampSearch::signalClearResults, this, [&] { cleared = true; });
    connect(&search, &CStampSearch::signalOutImg, this,
            [&](const QImage &, const QString &page, const QString &, const QString &, int) {
                if (cleared)
                    run.ranked << page;
            });
    connect(&search, &CStampSearch::signalServerMessage, this, [&](const QString &text) { run.messages << text; });
    connect(&search, &CStampSearch::signalNotFound, this, [&] { ++run.notFound; });
    // The window stays live: a timer on the GUI thread keeps firing throughout.
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        run.longestPauseMs = qMax(run.longestPauseMs, sinceTick.restart());
    });
    ticker.start(20);
    QElapsedTimer clock;
    clock.start();
    run.outcome = search.run(m_selection, m_jpeg);
    run.elapsedMs = clock.elapsed();
    qInfo("search took %lld ms, longest pause of the event loop %lld ms", run.elapsedMs, run.longestPauseMs);
    return run;
}

void TestMisbehavingServers::badPictureIsDroppedAndTheSearchGoesOn_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::newRow("body that never ends") << "endless";
    QTest::newRow("2 GB announced, never sent") << "huge";
    QTest::newRow("redirect loop") << "loop";
    QTest::newRow("accepts, never answers") << "silent";
    QTest::newRow("decompression bomb") << "bomb";
}

void TestMisbehavingServers::badPictureIsDroppedAndTheSearchGoesOn()
{
    QFETCH(QString, behaviour);
    // eBay's pictures misbehave; Delcampe's four photographs of the stamp are fine.
    const auto good = [](const QString &id, const cv::Mat &picture) { return TestWeb::Stamp{id, G::toImage(picture)}; };
    const cv::Mat stamp = G::stamp(userStamp);
    m_web.setStamps(Site::Delcampe, {good("d1", G::rotated(stamp, 4)), good("d2", G::scaled(stamp, 0.8)),
                                     good("d3", G::lit(stamp, 0.85, 10)), good("d4", G::jpeg(stamp, 50))});
    m_web.setStamps(Site::Ebay, {TestWeb::Stamp{"bad"}});
    m_web.addHandler("i.ebayimg.test", [this, behaviour](HttpServer::Request &request) {
        QTcpSocket *socket = request.socket;
        if (behaviour == "endless") {
            TestWeb::sendEndlessBody(socket);
            m_held << socket;
        } else if (behaviour == "huge") {
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 2147483648\r\n\r\n");
            m_held << socket;
        } else if (behaviour == "loop") {
            HttpServer::respond(socket, 302, "", "text/plain", {{"Location", request.url.toString().toUtf8()}});
        } else if (behaviour == "silent") {
            m_held << socket;
        } else {
            HttpServer::respond(socket, 200, TestWeb::pngDeclaring(100000, 100000), "image/png");
        }
        return true;
    });

    const Run run = runSearch();
    QCOMPARE(run.outcome, CStampSearch::Finished);
    QVERIFY(run.messages.isEmpty());
    QCOMPARE(run.notFound, 0);
    QCOMPARE(run.ranked.size(), 4);
    for (const QString &page : run.ranked)
        QVERIFY(page.contains("delcampe"));
    QVERIFY2(run.longestPauseMs < 1000, qPrintable(QString::number(run.longestPauseMs)));
    QVERIFY2(run.elapsedMs < 20000, qPrintable(QString::number(run.elapsedMs)));
}

void TestMisbehavingServers::badResultPageIsWalkedAsFarAsItCame_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::newRow("nested 100 000 deep") << "deep";
    QTest::newRow("body that never ends") << "drip";
}

void TestMisbehavingServers::badResultPageIsWalkedAsFarAsItCame()
{
    QFETCH(QString, behaviour);
    const cv::Mat stamp = G::stamp(userStamp);
    const QList<TestWeb::Stamp> offers = {{"d1", G::toImage(G::rotated(stamp, 4))}, {"d2", G::toImage(G::scaled(stamp, 0.8))},
                                          {"d3", G::toImage(G::lit(stamp, 0.85, 10))}, {"d4", G::toImage(G::jpeg(stamp, 50))}};
    m_web.setStamps(Site::Delcampe, offers);
    const QByteArray page = TestWeb::resultPage(Site::Delcampe, offers);
    if (behaviour == "deep") {
        // The offers first, then a nest of 100 000 elements before the page's end.
        const qsizetype end = page.lastIndexOf("</body>");
        m_web.addHandler(TestWeb::siteHost(Site::Delcampe), [page, end](HttpServer::Request &request) {
            if (request.url.path() != QLatin1String("/items"))
                return false;
            HttpServer::respond(request.socket, 200, page.left(end) + QByteArray("<div>").repeated(100000) + page.mid(end));
            return true;
        });
    } else {
        // The offers arrive, then a byte a second without end.
        m_web.setBehaviour(TestWeb::siteHost(Site::Delcampe), TestWeb::Behaviour::Drip, page.lastIndexOf("<div id=\"footer\">"));
    }
    const Run run = runSearch();
    QCOMPARE(run.outcome, CStampSearch::Finished);
    QCOMPARE(run.ranked.size(), 4);
    QVERIFY2(run.longestPauseMs < 1000, qPrintable(QString::number(run.longestPauseMs)));
    QVERIFY(m_web.requestCount(TestWeb::siteHost(Site::Delcampe)) > 0);
}

void TestMisbehavingServers::badRecognitionServerEndsWithItsMessage_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<QString>("message");
    QTest::newRow("binary garbage") << "garbage" << "Wrong answer";
    QTest::newRow("hangs up half-way") << "halfway" << "Server not responding";
    QTest::newRow("never answers the upload") << "silent" << "Server not responding";
}

void TestMisbehavingServers::badRecognitionServerEndsWithItsMessage()
{
    QFETCH(QString, behaviour);
    QFETCH(QString, message);
    m_recognition = std::make_unique<HttpServer>([this, behaviour](HttpServer::Request &request) {
        if (request.target.contains("cache=get")) {
            CPc1Cipher cipher;
            cipher.setLength(6);
            return HttpServer::respond(request.socket, 200, cipher.encryptText("abcd12"), "text/plain");
        }
        if (behaviour == "garbage") {
            QByteArray noise(4096, Qt::Uninitialized);
            for (qsizetype i = 0; i < noise.size(); ++i)
                noise[i] = char((i * 7919 + 13) % 256);
            return HttpServer::respond(request.socket, 200, noise, "application/octet-stream");
        }
        if (behaviour == "halfway") {
            request.socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4000\r\n\r\nabcdefgh");
            request.socket->flush();
            request.socket->disconnectFromHost();
            return;
        }
        m_held << request.socket;
    });
    QVERIFY(m_recognition->listen());
    HostConfig::global().setValue("recognition", m_recognition->hostAndPort());
    const Run run = runSearch();
    QCOMPARE(run.outcome, CStampSearch::ServerMessage);
    QCOMPARE(run.messages, QStringList{message});
    QCOMPARE(m_web.requestCount(), 0);
    QVERIFY2(run.longestPauseMs < 1000, qPrintable(QString::number(run.longestPauseMs)));
}

QTEST_MAIN(TestMisbehavingServers)
#include "tst_misbehavingservers.moc"
