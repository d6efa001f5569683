// The download-and-compare worker against a real HTTP server on loopback: what it keeps, what it
// drops, what it reports, and how it ends on a stop, a silent server and hostile replies.
#include "matching/loadthreadimg.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "server/httpserver.h"
#include "standins/testweb.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

using G = CStampGenerator;

namespace {

QByteArray encoded(const QImage &image, const char *format = "JPEG")
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 92);
    return bytes;
}

field_ready candidate(const QString &url, int kind = 0, bool skipCompare = false)
{
    field_ready record;
    record.imageUrl = url;
    record.pageUrl = url + QStringLiteral("/page");
    record.source = QStringLiteral("site.test");
    record.domain = kind > 0 ? QStringLiteral("dealer.test") : QString();
    record.kind = kind;
    record.skipCompare = skipCompare;
    return record;
}

} // namespace

class TestLoadThreadImg : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void emptyListFinishesAtOnce();
    void keepsMatchesAndDropsTheRest();
    void silentServerCostsOneTimeLimit();
    void stopEndsTheWaitAndKeepsUntakenCandidates();
    void hostileRepliesAreDropped_data();
    void hostileRepliesAreDropped();
    void deletingARunningWorkerJoinsIt();

private:
    // Runs the worker to its end; the list it reported.
    QVector<field_ready> runToEnd(CLoadThreadImg &worker, int timeoutMs = 20000);
    QString url(const QString &path) const { return "http://" + m_server->hostAndPort() + path; }

    HttpServer *m_server = nullptr;
    QImage m_reference;
    QHash<QString, QByteArray> m_bodies;
    QList<QPointer<QTcpSocket>> m_held; // connections left unanswered on purpose
};

void TestLoadThreadImg::initTestCase()
{
    qRegisterMetaType<QVector<field_ready> *>();
    m_reference = G::toImage(G::onPage(G::stamp(7), cv::Size(220, 260), cv::Point(10, 10)));
    m_bodies["/match.jpg"] = encoded(G::toImage(G::rotated(G::scaled(G::stamp(7), 1.4), 8)));
    m_bodies["/other.jpg"] = encoded(G::toImage(G::stamp(31)));
    m_bodies["/thin.png"] = encoded(QImage(19, 300, QImage::Format_RGB32), "PNG");
    m_bodies["/garbage.jpg"] = QByteArray(5000, '\x5a');
    // 60000 by 60000 pixels declared: 14 GB as 32-bit pixels.
    m_bodies["/bomb.png"] = TestWeb::pngDeclaring(60000, 60000);

    m_server = new HttpServer([this](HttpServer::Request &request) {
        const QString path = request.url.path();
        if (path == QLatin1String("/silent")) {
            m_held << request.socket; // accepted, never answered
        } else if (path == QLatin1String("/huge-announced")) {
            request.socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 2147483648\r\n\r\n");
            m_held << request.socket;
        } else if (path == QLatin1String("/endless")) {
            TestWeb::sendEndlessBody(request.socket);
            m_held << request.socket;
        } else if (path == QLatin1String("/loop")) {
            HttpServer::respond(request.socket, 302, "", "text/plain", {{"Location", "/loop"}});
        } else if (m_bodies.contains(path)) {
            HttpServer::respond(request.socket, 200, m_bodies.value(path), "image/jpeg");
        } else {
            HttpServer::respond(request.socket, 404, "not here");
        }
    });
    QVERIFY(m_server->listen());
}

void TestLoadThreadImg::cleanup()
{
    CLoadThreadImg::setPictureTimeLimitForTesting(0);
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_held)) {
        if (socket)
            socket->abort();
    }
    m_held.clear();
}

QVector<field_ready> TestLoadThreadImg::runToEnd(CLoadThreadImg &worker, int timeoutMs)
{
    QVector<field_ready> reported;
    bool finished = false;
    connect(&worker, &CLoadThreadImg::signalFinish, this, [&](QVector<field_ready> *list) {
        reported = *list;
        finished = true;
    });
    worker.start();
    if (!QTest::qWaitFor([&] { return finished; }, timeoutMs))
        qWarning("worker did not finish");
    worker.wait();
    return reported;
}

void TestLoadThreadImg::emptyListFinishesAtOnce()
{
    CLoadThreadImg worker(m_reference, nullptr);
    QSignalSpy beeps(&worker, &CLoadThreadImg::signalBeep);
    QSignalSpy finishes(&worker, &CLoadThreadImg::signalFinish);
    QVERIFY(runToEnd(worker).isEmpty());
    QCOMPARE(finishes.size(), 1);
    QCOMPARE(beeps.size(), 0);
}

void TestLoadThreadImg::keepsMatchesAndDropsTheRest()
{
    CLoadThreadImg worker(m_reference, nullptr);
    worker.candidates = {candidate(url("/match.jpg")), candidate(url("/other.jpg")), candidate(url("/thin.png")),
                         candidate(url("/garbage.jpg")), candidate(url("/missing.jpg")),
                         candidate(url("/other.jpg"), 2, true)};
    QSignalSpy beeps(&worker, &CLoadThreadImg::signalBeep);
    QSignalSpy minis(&worker, &CLoadThreadImg::signalOutMiniImg);
    QSignalSpy matches(&worker, &CLoadThreadImg::signalOutImg);
    const QVector<field_ready> kept = runToEnd(worker);

    QCOMPARE(beeps.size(), 6);
    // Only pictures of at least 20 by 20 are shown: the match, the other stamp twice.
    QCOMPARE(minis.size(), 3);
    for (const QList<QVariant> &mini : std::as_const(minis))
        QCOMPARE(mini.at(0).value<QImage>().format(), QImage::Format_RGB32);

    QCOMPARE(kept.size(), 2);
    // The compared match scores its agreeing cells, as the comparison counts them.
    CStampMatcher matcher;
    matcher.setReference(m_reference);
    QVERIFY(matcher.compareImage(QImage::fromData(m_bodies["/match.jpg"]).convertToFormat(QImage::Format_RGB32)));
    QCOMPARE(kept.at(0).imageUrl, url("/match.jpg"));
    QCOMPARE(kept.at(0).score, matcher.agreeCount());
    QVERIFY(kept.at(0).score > 0);
    QVERIFY(!kept.at(0).image.isNull());
    // The picture as decoded, not converted: a JPEG comes as 32-bit RGB, a grey one would not.
    QCOMPARE(kept.at(0).image.size(), QImage::fromData(m_bodies["/match.jpg"]).size());
    // Accepted as it is by its kind: (10 - 2) * 100.
    QCOMPARE(kept.at(1).score, 800);
    QVERIFY(kept.at(1).skipCompare);
    QVERIFY(!kept.at(1).image.isNull());

    QCOMPARE(matches.size(), 2);
    const QList<QVariant> second = matches.at(1);
    QCOMPARE(second.at(1).toString(), kept.at(1).pageUrl);
    QCOMPARE(second.at(2).toString(), QString("site.test"));
    QCOMPARE(second.at(3).toString(), QString("dealer.test"));
    QCOMPARE(second.at(4).toInt(), 2);
}

void TestLoadThreadImg::silentServerCostsOneTimeLimit()
{
    CLoadThreadImg::setPictureTimeLimitForTesting(400);
    CLoadThreadImg worker(m_reference, nullptr);
    worker.candidates = {candidate(url("/silent")), candidate(url("/other.jpg"), 4, true)};
    QElapsedTimer clock;
    clock.start();
    const QVector<field_ready> kept = runToEnd(worker);
    QVERIFY2(clock.elapsed() >= 380 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(kept.size(), 1);
    QCOMPARE(kept.at(0).score, 600);
}

void TestLoadThreadImg::stopEndsTheWaitAndKeepsUntakenCandidates()
{
    CLoadThreadImg worker(m_reference, nullptr);
    worker.candidates = {candidate(url("/silent")), candidate(url("/match.jpg")), candidate(url("/other.jpg"))};
    const QVector<field_ready> given = worker.candidates;
    // Stop once the first download is under way: its request has reached the server.
    QTimer poll;
    connect(&poll, &QTimer::timeout, &worker, [&] {
        if (!m_held.isEmpty())
            worker.slotStop();
    });
    poll.start(5);
    QSignalSpy minis(&worker, &CLoadThreadImg::signalOutMiniImg);
    QElapsedTimer clock;
    clock.start();
    const QVector<field_ready> kept = runToEnd(worker);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(minis.size(), 0);
    QCOMPARE(kept.size(), given.size());
    for (qsizetype i = 0; i < kept.size(); ++i) {
        QCOMPARE(kept.at(i).imageUrl, given.at(i).imageUrl);
        QVERIFY(kept.at(i).image.isNull());
        QCOMPARE(kept.at(i).score, 0);
    }
}

void TestLoadThreadImg::hostileRepliesAreDropped_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<int>("atMostMs");
    // Each is dropped, and the next candidate is still compared.
    QTest::newRow("header declares 60000 x 60000") << "/bomb.png" << 10000 << 5000;
    QTest::newRow("2 GB announced, never sent") << "/huge-announced" << 10000 << 5000;
    QTest::newRow("redirect loop") << "/loop" << 10000 << 5000;
    QTest::newRow("body that never ends") << "/endless" << 1500 << 8000;
}

void TestLoadThreadImg::hostileRepliesAreDropped()
{
    QFETCH(QString, path);
    QFETCH(int, limitMs);
    QFETCH(int, atMostMs);
    CLoadThreadImg::setPictureTimeLimitForTesting(limitMs);
    CLoadThreadImg worker(m_reference, nullptr);
    worker.candidates = {candidate(url(path)), candidate(url("/match.jpg"))};
    QElapsedTimer clock;
    clock.start();
    const QVector<field_ready> kept = runToEnd(worker);
    QVERIFY2(clock.elapsed() < atMostMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(kept.size(), 1);
    QCOMPARE(kept.at(0).imageUrl, url("/match.jpg"));
}

void TestLoadThreadImg::deletingARunningWorkerJoinsIt()
{
    auto *worker = new CLoadThreadImg(m_reference, nullptr);
    worker->candidates = {candidate(url("/silent")), candidate(url("/silent"))};
    worker->start();
    QVERIFY(QTest::qWaitFor([&] { return !m_held.isEmpty(); }, 5000));
    QElapsedTimer clock;
    clock.start();
    delete worker; // must neither crash nor wait out the 10 seconds
    QVERIFY(clock.elapsed() < 3000);
}

QTEST_MAIN(TestLoadThreadImg)
#include "tst_loadthreadimg.moc"
