// The recognition exchange over real loopback sockets, against small servers that answer (or
// misbehave) as each case needs.
#include "sites/hostconfig.h"
#include "search/pc1cipher.h"
#include "search/recognitionanswer.h"
#include "search/recognitionclient.h"
#include "search/sendgethttprequest.h"
#include "server/httpserver.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

namespace {

QByteArray encipher(const QByteArray &plain)
{
    CPc1Cipher cipher;
    cipher.setLength(int(plain.size()));
    return cipher.encryptText(plain);
}

} // namespace

class TestRecognitionExchange : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void requestCarriesOneContentTypeAndExactBody_data();
    void requestCarriesOneContentTypeAndExactBody();
    void everyMessageThroughAnExchange_data();
    void everyMessageThroughAnExchange();
    void serverDownFailsAtOnce();
    void silentServerEndsAtTheLimit();
    void cancelEndsTheWaitAtOnce();
    void secondCallWhileWaitingIsRefused();

private:
    // Starts a server whose handler is given; points the recognition host at it.
    HttpServer *startServer(HttpServer::Handler handler);
    std::unique_ptr<HttpServer> m_server;
};

HttpServer *TestRecognitionExchange::startServer(HttpServer::Handler handler)
{
    m_server = std::make_unique<HttpServer>(std::move(handler));
    if (!m_server->listen())
        return nullptr;
    HostConfig::global().setValue(QStringLiteral("recognition"), m_server->hostAndPort());
    return m_server.get();
}

void TestRecognitionExchange::cleanup()
{
    CSendGetHTTPRequest::setTimeoutForTesting(0);
    m_server.reset();
}

void TestRecognitionExchange::requestCarriesOneContentTypeAndExactBody_data()
{
    QTest::addColumn<QByteArray>("filePart");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("account");
    QTest::newRow("cache query") << QByteArray("cache") << "/db3/index.php?cache=get&ver=2" << "";
    QTest::newRow("upload") << QByteArray("\xff\xd8\xff\xe0 not really a jpeg \x00\x01", 24)
                            << "/db3/index.php?os=win&ver=2" << "me@example.org";
    QTest::newRow("empty upload") << QByteArray() << "/db3/index.php?os=win&ver=2" << "";
}

void TestRecognitionExchange::requestCarriesOneContentTypeAndExactBody()
{
    QFETCH(QByteArray, filePart);
    QFETCH(QString, account);
    HttpServer::Request seen;
    QVERIFY(startServer([&seen](HttpServer::Request &request) {
        seen = request;
        HttpServer::respond(request.socket, 200, encipher("XXXX42"), "text/plain");
    }));
    CRecognitionClient client;
    client.setAccountText(account);
    QCOMPARE(client.queryRecognitionServer(filePart), QStringLiteral("42"));

    QCOMPARE(seen.method, QByteArray("POST"));
    QTEST(QString::fromLatin1(seen.target), "target");
    QCOMPARE(seen.headerCount("Content-Type"), 1);
    QCOMPARE(seen.header("Content-Type"), QByteArray("multipart/form-data, boundary=AyV04a"));
    QCOMPARE(seen.header("Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(seen.header("Accept"), QByteArray("*/*"));

    // The body is the fixed frame around the key field and the file part.
    const QByteArray head = "--AyV04a\r\ncontent-disposition: form-data; name=\"key\"\r\n\r\n";
    QVERIFY(seen.body.startsWith(head));
    const QByteArray key = seen.body.mid(head.size(), seen.body.indexOf("\r\n", head.size()) - head.size());
    QCOMPARE(seen.body, CRecognitionClient::requestBody(key, filePart));
    // The key is the salt's letters (eight for a four-byte salt) plus the account text, enciphered.
    CPc1Cipher cipher;
    cipher.setLength(int(key.size()));
    const QByteArray inner = cipher.decryptText(key);
    QVERIFY(CPc1Cipher::isLetterText(inner.left(8)));
    QCOMPARE(inner.mid(8), account.toUtf8());
}

void TestRecognitionExchange::everyMessageThroughAnExchange_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("keywords");
    QTest::newRow("good answer")
        << 200 << encipher("ABCDid9[n]Country_3[c]103[inf]Motif_3[i]Blue[i]0001[,]Other[c]7[inf]a[i]b[i]c")
        << "id9[n]Country_3[c]103[inf]Motif_3[i]Blue[i]0001[,]Other[c]7[inf]a[i]b[i]c" << ""
        << QStringList{"Country+3[c]103[inf]Motif+3[i]Blue[i]0001", "Other[c]7[inf]a[i]b[i]c"};
    QTest::newRow("no match: filler only") << 200 << encipher("ABCD") << "" << "Matches in the database is not found" << QStringList();
    QTest::newRow("DB_ERROR") << 200 << encipher("ABCDDB_ERROR") << "DB_ERROR" << "Technical problems on the server" << QStringList();
    QTest::newRow("NULL") << 200 << encipher("ABCDNULL") << "NULL" << "Technical problems on the server" << QStringList();
    QTest::newRow("garbage") << 200 << QByteArray("<html>this is not a cipher text at all</html>") << "" << "Wrong answer" << QStringList();
    QTest::newRow("shorter than four") << 200 << encipher("AB") << "" << "Matches in the database is not found" << QStringList();
    QTest::newRow("empty reply") << 200 << QByteArray() << "" << "Matches in the database is not found" << QStringList();
    QTest::newRow("HTTP error status") << 500 << encipher("ABCD1") << "error" << "Server not responding" << QStringList();
    QTest::newRow("not found") << 404 << QByteArray("nope") << "error" << "Server not responding" << QStringList();
}

void TestRecognitionExchange::everyMessageThroughAnExchange()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(QString, result);
    QVERIFY(startServer([status, reply](HttpServer::Request &request) {
        HttpServer::respond(request.socket, status, reply, "text/plain");
    }));
    CRecognitionClient client;
    const QString answer = client.queryRecognitionServer("\xff\xd8 picture");
    if (QTest::currentDataTag() == QLatin1String("garbage"))
        QVERIFY(!answer.contains(QStringLiteral("[n]")));
    else
        QCOMPARE(answer, result);
    const CRecognitionAnswer parsed = CRecognitionAnswer::parse(answer);
    QTEST(parsed.message(), "message");
    QTEST(parsed.keywordList(), "keywords");
}

void TestRecognitionExchange::serverDownFailsAtOnce()
{
    // A port that was just free and is closed again: the connection is refused.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    HostConfig::global().setValue(QStringLiteral("recognition"), QStringLiteral("127.0.0.1:%1").arg(port));
    CRecognitionClient client;
    QElapsedTimer timer;
    timer.start();
    const QString answer = client.queryRecognitionServer("cache");
    QCOMPARE(answer, QStringLiteral("error"));
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(CRecognitionAnswer::parse(answer).message(), QStringLiteral("Server not responding"));
}

void TestRecognitionExchange::silentServerEndsAtTheLimit()
{
    QVERIFY(startServer([](HttpServer::Request &) { /* never answers */ }));
    CSendGetHTTPRequest::setTimeoutForTesting(400);
    CRecognitionClient client;
    QElapsedTimer timer;
    timer.start();
    const QString answer = client.queryRecognitionServer("cache");
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(answer, QStringLiteral("error"));
    QVERIFY2(elapsed >= 400 && elapsed < 5000, qPrintable(QString::number(elapsed)));
    QCOMPARE(CRecognitionAnswer::parse(answer).message(), QStringLiteral("Server not responding"));
}

void TestRecognitionExchange::cancelEndsTheWaitAtOnce()
{
    int requests = 0;
    QVERIFY(startServer([&requests](HttpServer::Request &) { ++requests; }));
    QCOMPARE(CSendGetHTTPRequest::timeoutMs(), CSendGetHTTPRequest::requestTimeoutMs);
    CRecognitionClient client;
    // Cancelling with nothing waiting changes nothing.
    client.cancel();
    QTimer::singleShot(300, &client, [&client] { client.cancel(); });
    QElapsedTimer timer;
    timer.start();
    const QString answer = client.queryRecognitionServer("\xff\xd8 picture");
    QCOMPARE(answer, QStringLiteral("error"));
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(requests, 1);

    // The helper is usable again afterwards.
    m_server.reset();
    QVERIFY(startServer([](HttpServer::Request &request) {
        HttpServer::respond(request.socket, 200, encipher("XXXX7"), "text/plain");
    }));
    QCOMPARE(client.queryRecognitionServer("cache"), QStringLiteral("7"));
}

void TestRecognitionExchange::secondCallWhileWaitingIsRefused()
{
    QVERIFY(startServer([](HttpServer::Request &) {}));
    CSendGetHTTPRequest::setTimeoutForTesting(1500);
    CSendGetHTTPRequest helper;
    QString nested;
    QTimer::singleShot(100, &helper, [&] {
        nested = helper.sendRequest(QStringLiteral("http://%1/db3/index.php?cache=get&ver=2").arg(m_server->hostAndPort()), "x");
        helper.cancel();
    });
    const QString outer = helper.sendRequest(QStringLiteral("http://%1/db3/index.php?cache=get&ver=2").arg(m_server->hostAndPort()), "x");
    QCOMPARE(nested, QStringLiteral("error"));
    QCOMPARE(outer, QStringLiteral("error"));
    QVERIFY(!helper.isWaiting());
}

QTEST_MAIN(TestRecognitionExchange)
#include "tst_recognitionexchange.moc"
