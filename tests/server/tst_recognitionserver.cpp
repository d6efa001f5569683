// quillet-server as a real process on loopback, driven by the program's own recognition client
// and by raw requests for the bad cases.
#include "sites/hostconfig.h"
#include "search/pc1cipher.h"
#include "search/recognitionanswer.h"
#include "search/recognitionclient.h"
#include "testenv.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "matching/stampphotographer.h"
#include "server/democatalogue.h"
#include "server/recognitionserver.h"
#include "server/stampcatalogue.h"
#include "server/stamprecognizer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int catalogueSize = 12;

QByteArray encipher(const QByteArray &plain)
{
    CPc1Cipher cipher;
    cipher.setLength(int(plain.size()));
    return cipher.encryptText(plain);
}

// What the client keeps of a demo stamp's keyword item (blanks come back as "+").
QString keywordOf(int n)
{
    return CDemoCatalogue::keywordItem(n).replace(QLatin1Char('_'), QLatin1Char('+'));
}

// A photo of stamp n: turned, shrunk, on the album page, JPEG-compressed.
QByteArray photograph(int n, double degrees, double scale, int quality)
{
    const cv::Mat photo = CStampGenerator::rotated(CStampGenerator::scaled(CStampGenerator::stamp(n), scale), degrees);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", photo, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// A hand-held photo of stamp n on the album page as a collector takes it: the frame loose, taking
// in parts of the neighbours on either side, a lamp's glare on the stamp, a small picture. The
// signature, which sees the whole frame, cannot tell it from other stamps.
cv::Mat photoWithNeighbours(int n)
{
    const cv::Mat stamp = CStampGenerator::stamp(n);
    cv::Mat page(stamp.rows + 120, stamp.cols * 3 + 80, CV_8UC3, CStampGenerator::pageColour());
    CStampGenerator::stamp(n + 600).copyTo(page(cv::Rect(0, 70, stamp.cols, stamp.rows)));
    stamp.copyTo(page(cv::Rect(stamp.cols + 40, 60, stamp.cols, stamp.rows)));
    CStampGenerator::stamp(n + 700).copyTo(page(cv::Rect(2 * stamp.cols + 80, 50, stamp.cols, stamp.rows)));
    cv::Mat glare(page.size(), CV_8UC3, cv::Scalar(0, 0, 0));
    cv::circle(glare, cv::Point(stamp.cols + 40 + stamp.cols * 2 / 3, 60 + stamp.rows / 3), stamp.cols / 5,
               cv::Scalar(255, 255, 255), cv::FILLED);
    cv::GaussianBlur(glare, glare, cv::Size(0, 0), stamp.cols / 12.0);
    page += glare;
    const cv::Mat photo = page(cv::Rect(stamp.cols / 2, 0, stamp.cols * 2 + 80, page.rows));
    return CStampGenerator::jpeg(CStampGenerator::scaled(CStampGenerator::rotated(photo, 3.0), 0.75), 75);
}

QByteArray jpegBytes(const cv::Mat &picture)
{
    std::vector<uchar> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

} // namespace

class TestRecognitionServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cacheQueryGivesCatalogueSize();
    void photoOfCatalogueStampGivesItsKeywordsFirst_data();
    void photoOfCatalogueStampGivesItsKeywordsFirst();
    void photoTheSignatureMissesIsAnswered_data();
    void photoTheSignatureMissesIsAnswered();
    void hardPhotoIsPlacedWithTheFinerReference_data();
    void hardPhotoIsPlacedWithTheFinerReference();
    void otherPictureFindsNothing_data();
    void otherPictureFindsNothing();
    void badRequestsAreRefusedAndServingGoesOn_data();
    void badRequestsAreRefusedAndServingGoesOn();
    void startsWithClearErrors_data();
    void startsWithClearErrors();
    void refusedClientStillSendingIsNotReset();
    void ownFaultsAnswerDbErrorAndOldUploadsGo();
    void keyCheck_data();
    void keyCheck();
    void stopsCleanlyOnTerminate();

private:
    // Sends raw bytes, returns the status code of the answer (0 when none came).
    int rawExchange(const QByteArray &request, QByteArray *body = nullptr);
    QByteArray get(const QString &path, int *status);
    QString serverLog();

    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_hostAndPort;
    QByteArray m_log;
};

void TestRecognitionServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(CDemoCatalogue::write(m_dir.path(), catalogueSize));
    m_server.setProgram(TestEnv::binDir() + QStringLiteral("/quillet-server"));
    m_server.setArguments({"--catalogue", m_dir.path(), "--port", "0"});
    m_server.start();
    QVERIFY2(m_server.waitForStarted(), qPrintable(m_server.errorString()));
    QByteArray out;
    while (!out.contains('\n') && m_server.waitForReadyRead(30000))
        out += m_server.readAllStandardOutput();
    QVERIFY2(out.startsWith("listening on "), out.constData());
    const qsizetype end = out.indexOf('\n');
    m_hostAndPort = QString::fromLatin1(out.mid(13, end - 13).trimmed());
    m_log = out.mid(end + 1);
    QVERIFY(m_hostAndPort.startsWith(QLatin1String("127.0.0.1:")));
    HostConfig::global().setValue(QStringLiteral("recognition"), m_hostAndPort);
}

void TestRecognitionServer::cleanupTestCase()
{
    m_server.terminate();
    if (!m_server.waitForFinished(5000))
        m_server.kill();
    m_server.waitForFinished(5000);
}

QString TestRecognitionServer::serverLog()
{
    m_log += m_server.readAllStandardOutput();
    return QString::fromUtf8(m_log);
}

int TestRecognitionServer::rawExchange(const QByteArray &request, QByteArray *body)
{
    QTcpSocket socket;
    const QStringList hostPort = m_hostAndPort.split(QLatin1Char(':'));
    socket.connectToHost(hostPort.at(0), hostPort.at(1).toUShort());
    if (!socket.waitForConnected(5000))
        return 0;
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    answer += socket.readAll();
    if (body)
        *body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    const QList<QByteArray> statusLine = answer.left(answer.indexOf("\r\n")).split(' ');
    return statusLine.size() >= 2 ? statusLine.at(1).toInt() : 0;
}

QByteArray TestRecognitionServer::get(const QString &path, int *status)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(QStringLiteral("http://") + m_hostAndPort + path)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(10000);
    *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray data = reply->readAll();
    delete reply;
    return data;
}

void TestRecognitionServer::cacheQueryGivesCatalogueSize()
{
    CRecognitionClient client;
    qint64 count = -1;
    QVERIFY(CRecognitionAnswer::readIndexedCount(client.queryRecognitionServer("cache"), &count));
    QCOMPARE(count, qint64(catalogueSize));
    QTRY_VERIFY(serverLog().contains(QStringLiteral("cache: %1 stamps").arg(catalogueSize)));
}

void TestRecognitionServer::photoOfCatalogueStampGivesItsKeywordsFirst_data()
{
    QTest::addColumn<int>("stamp");
    QTest::addColumn<double>("degrees");
    QTest::addColumn<double>("scale");
    QTest::addColumn<int>("quality");
    QTest::newRow("stamp 3, turned 6 degrees, quality 60") << 3 << 6.0 << 1.0 << 60;
    QTest::newRow("stamp 7, turned -10 degrees, 1.5 times, quality 35") << 7 << -10.0 << 1.5 << 35;
    QTest::newRow("stamp 12, straight, quality 85") << 12 << 0.0 << 1.0 << 85;
    QTest::newRow("stamp 5, 12 times as large (decoded smaller)") << 5 << 3.0 << 12.0 << 80;
}

void TestRecognitionServer::photoOfCatalogueStampGivesItsKeywordsFirst()
{
    QFETCH(int, stamp);
    QFETCH(double, degrees);
    QFETCH(double, scale);
    QFETCH(int, quality);
    const QByteArray photo = photograph(stamp, degrees, scale, quality);
    CRecognitionClient client;
    client.setAccountText(QStringLiteral("someone"));
    const CRecognitionAnswer answer = CRecognitionAnswer::parse(client.queryRecognitionServer(photo));
    QVERIFY2(answer.isGood(), qPrintable(answer.message()));
    QVERIFY(!answer.keywordList().isEmpty());
    QCOMPARE(answer.keywordList().first(), keywordOf(stamp));

    // The upload is kept under its identifier, byte for byte.
    int status = 0;
    QCOMPARE(get(QStringLiteral("/db3/process/%1.jpg").arg(answer.recognitionText()), &status), photo);
    QCOMPARE(status, 200);
}

void TestRecognitionServer::photoTheSignatureMissesIsAnswered_data()
{
    QTest::addColumn<int>("stamp");
    QTest::addColumn<bool>("neighbours"); // among neighbours with glare, or alone
    QTest::addColumn<int>("rotation");    // cv::RotateFlags, or -1 for none
    QTest::newRow("stamp 2 among neighbours, glare") << 2 << true << -1;
    QTest::newRow("stamp 11 among neighbours, glare") << 11 << true << -1;
    QTest::newRow("stamp 7 among neighbours, glare") << 7 << true << -1;
    QTest::newRow("stamp 6 turned a quarter clockwise") << 6 << false << int(cv::ROTATE_90_CLOCKWISE);
    QTest::newRow("stamp 10 turned a half") << 10 << false << int(cv::ROTATE_180);
    QTest::newRow("stamp 4 turned a quarter anticlockwise") << 4 << false << int(cv::ROTATE_90_COUNTERCLOCKWISE);
}

void TestRecognitionServer::photoTheSignatureMissesIsAnswered()
{
    QFETCH(int, stamp);
    QFETCH(bool, neighbours);
    QFETCH(int, rotation);
    cv::Mat photo = neighbours ? photoWithNeighbours(stamp)
                               : CStampGenerator::jpeg(CStampGenerator::rotated(CStampGenerator::stamp(stamp), 5.0), 75);
    if (rotation >= 0)
        cv::rotate(photo, photo, rotation);
    // The premise: the signature's shortlist alone leaves the stamp out.
    CStampCatalogue catalogue;
    QVERIFY(catalogue.load(m_dir.path()));
    const QList<int> bySignature = CStampRecognizer(catalogue).shortlist(
        CStampGenerator::toImage(photo), CStampRecognizer::defaultShortlistSize);
    for (int row : bySignature)
        QVERIFY(catalogue.entries().at(row).fileName != CDemoCatalogue::fileName(stamp));

    CRecognitionClient client;
    const CRecognitionAnswer answer = CRecognitionAnswer::parse(client.queryRecognitionServer(jpegBytes(photo)));
    QVERIFY2(answer.isGood(), qPrintable(answer.message()));
    QCOMPARE(answer.keywordList().first(), keywordOf(stamp));
}

void TestRecognitionServer::hardPhotoIsPlacedWithTheFinerReference_data()
{
    QTest::addColumn<int>("stamp");
    QTest::addColumn<int>("seed"); // of the hard photo: glare, a steep angle, 200 to 400 pixels
    QTest::newRow("stamp 4, photo 3") << 4 << 3;
    QTest::newRow("stamp 4, photo 9") << 4 << 9;
    QTest::newRow("stamp 12, photo 7") << 12 << 7;
}

void TestRecognitionServer::hardPhotoIsPlacedWithTheFinerReference()
{
    QFETCH(int, stamp);
    QFETCH(int, seed);
    CStampPhotographer::Options options;
    options.hard = true;
    const CStampPhotographer::Photo photo = CStampPhotographer::photograph(CStampGenerator::stamp(stamp), seed, options);
    // The premise: the comparison at its usual reference size cannot place the stamp's outline.
    CStampMatcher matcher;
    matcher.setReference(CStampGenerator::toImage(photo.picture));
    QVERIFY(!matcher.compareImage(CStampGenerator::toImage(CStampGenerator::stamp(stamp))));

    CRecognitionClient client;
    const QByteArray bytes(reinterpret_cast<const char *>(photo.jpeg.data()), qsizetype(photo.jpeg.size()));
    const CRecognitionAnswer answer = CRecognitionAnswer::parse(client.queryRecognitionServer(bytes));
    QVERIFY2(answer.isGood(), qPrintable(answer.message()));
    QCOMPARE(answer.keywordList().first(), keywordOf(stamp));
}

void TestRecognitionServer::otherPictureFindsNothing_data()
{
    QTest::addColumn<QByteArray>("picture");
    QTest::newRow("a stamp not in the catalogue")
        << photograph(500, 3.0, 1.0, 70);
    QImage grey(300, 300, QImage::Format_RGB32);
    grey.fill(QColor(128, 128, 128));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    grey.save(&buffer, "PNG");
    QTest::newRow("a plain grey PNG") << png;
}

void TestRecognitionServer::otherPictureFindsNothing()
{
    QFETCH(QByteArray, picture);
    CRecognitionClient client;
    const QString text = client.queryRecognitionServer(picture);
    QCOMPARE(text, QString());
    QCOMPARE(CRecognitionAnswer::parse(text).message(), QStringLiteral("Matches in the database is not found"));
}

void TestRecognitionServer::badRequestsAreRefusedAndServingGoesOn_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    CRecognitionClient client;
    const QByteArray key = client.keyField("\x21\x22\x23\x24");
    const QByteArray photo = photograph(4, 0.0, 1.0, 80);
    const auto post = [](const QByteArray &target, const QByteArray &body,
                         const QByteArray &type = "multipart/form-data, boundary=AyV04a") {
        return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + type
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    const QByteArray upload = "/db3/index.php?os=win&ver=2";
    const QByteArray cache = "/db3/index.php?cache=get&ver=2";
    QByteArray noKey = CRecognitionClient::requestBody(key, photo);
    noKey.replace("name=\"key\"", "name=\"kex\"");
    QTest::newRow("no key field") << post(upload, noKey) << 403;
    QTest::newRow("key is not a letter text")
        << post(cache, CRecognitionClient::requestBody("this is no key!", "cache")) << 403;
    QTest::newRow("key of letters that decipher to no salt")
        << post(cache, CRecognitionClient::requestBody(encipher("\x01\x02\x03\x04 plain"), "cache")) << 403;
    QTest::newRow("key with an odd letter")
        << post(upload, CRecognitionClient::requestBody(key + "a", photo)) << 403;
    QTest::newRow("body over the limit")
        << QByteArray("POST " + upload + " HTTP/1.1\r\nContent-Type: multipart/form-data, boundary=AyV04a\r\n"
                      "Content-Length: 999999999\r\n\r\n--AyV04a\r\n") << 413;
    QTest::newRow("not a picture")
        << post(upload, CRecognitionClient::requestBody(key, "GIF89a but not really")) << 415;
    QImage wide(10001, 2, QImage::Format_RGB32);
    wide.fill(Qt::red);
    QByteArray widePng;
    QBuffer wideBuffer(&widePng);
    wideBuffer.open(QIODevice::WriteOnly);
    wide.save(&wideBuffer, "PNG");
    QTest::newRow("picture over 10000 pixels wide")
        << post(upload, CRecognitionClient::requestBody(key, widePng)) << 415;
    QTest::newRow("empty file part") << post(upload, CRecognitionClient::requestBody(key, "")) << 415;
    QTest::newRow("picture cut after its header")
        << post(upload, CRecognitionClient::requestBody(key, photo.left(200))) << 415;
    QByteArray unterminated = CRecognitionClient::requestBody(key, photo);
    unterminated.chop(10);
    QTest::newRow("multipart without closing delimiter") << post(upload, unterminated) << 400;
    QTest::newRow("wrong boundary")
        << post(upload, CRecognitionClient::requestBody(key, photo), "multipart/form-data; boundary=other") << 400;
    QTest::newRow("not multipart")
        << post(upload, "key=abc&file=def", "application/x-www-form-urlencoded") << 400;
    QTest::newRow("no file part")
        << post(upload, "--AyV04a\r\ncontent-disposition: form-data; name=\"key\"\r\n\r\n" + key + "\r\n--AyV04a--") << 400;
    QTest::newRow("neither cache nor os")
        << post("/db3/index.php?ver=2", CRecognitionClient::requestBody(key, "cache")) << 400;
    QTest::newRow("GET on the form address") << QByteArray("GET " + cache + " HTTP/1.1\r\n\r\n") << 405;
    QTest::newRow("unknown upload") << QByteArray("GET /db3/process/0123abc.jpg HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("path outside the uploads")
        << QByteArray("GET /db3/process/../catalogue.tsv HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("unknown address") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("address with placeholders") << QByteArray("GET /%1%2%9x HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("garbage request line") << QByteArray("HELLO\r\n\r\n") << 400;
}

void TestRecognitionServer::badRequestsAreRefusedAndServingGoesOn()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const int linesBefore = int(serverLog().count(QLatin1Char('\n')));
    QCOMPARE(rawExchange(request), status);
    QTRY_COMPARE(int(serverLog().count(QLatin1Char('\n'))), linesBefore + 1);
    // One log line names the refusal's status and the target as it came.
    const QString line = serverLog().section(QLatin1Char('\n'), -2, -2);
    QByteArray target = request.left(request.indexOf("\r\n")).split(' ').value(1);
    if (target.isEmpty())
        target = "-";
    QVERIFY2(line.contains(QStringLiteral(" %1 ").arg(status)), qPrintable(line));
    QVERIFY2(line.contains(QString::fromLatin1(" " + target + " ")), qPrintable(line));
    // The server still serves (and logs that, too, before the next case counts its lines).
    CRecognitionClient client;
    QCOMPARE(client.queryRecognitionServer("cache"), QString::number(catalogueSize));
    QCOMPARE(m_server.state(), QProcess::Running);
    QTRY_COMPARE(int(serverLog().count(QLatin1Char('\n'))), linesBefore + 2);
}

void TestRecognitionServer::refusedClientStillSendingIsNotReset()
{
    // A client refused while its body is still coming goes on sending for a moment before it reads
    // the answer. Were the server to close on it, the kernel would answer those bytes with a reset,
    // and many clients lose an answer they have not read yet when reset. Plain sockets, to see the
    // reset itself rather than what a toolkit makes of it.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    const timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_hostAndPort.section(QLatin1Char(':'), 1).toUShort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    const QByteArray head = "POST /db3/index.php?os=win&ver=2 HTTP/1.1\r\nHost: x\r\n"
                            "Content-Length: 999999999\r\n\r\n";
    QCOMPARE(::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL), ssize_t(head.size()));
    QByteArray answer;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, got);
    QCOMPARE(got, ssize_t(0)); // the server has shut its side: the answer is whole
    QVERIFY2(answer.startsWith("HTTP/1.1 413 "), answer.constData());

    const QByteArray chunk(64 * 1024, 'x');
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(::send(fd, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL), ssize_t(chunk.size()));
        QThread::msleep(50);
    }
}

void TestRecognitionServer::startsWithClearErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no catalogue") << QStringList{"--port", "0"} << "--catalogue DIR is required";
    QTest::newRow("missing folder") << QStringList{"--catalogue", "/nonexistent/catalogue", "--port", "0"}
                                    << "cannot read /nonexistent/catalogue/catalogue.tsv";
    QTest::newRow("bad port") << QStringList{"--catalogue", "/tmp", "--port", "70000"} << "bad --listen";
}

void TestRecognitionServer::startsWithClearErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QProcess process;
    process.start(TestEnv::binDir() + QStringLiteral("/quillet-server"), arguments);
    QVERIFY(process.waitForFinished(30000));
    QVERIFY(process.exitCode() != 0);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
}

void TestRecognitionServer::ownFaultsAnswerDbErrorAndOldUploadsGo()
{
    // In process, to reach into the upload folder; the client's wait runs the server's events.
    CStampCatalogue catalogue;
    QVERIFY(catalogue.load(m_dir.path()));
    CRecognitionServer server(std::move(catalogue));
    QTemporaryDir uploads;
    const QString folder = uploads.filePath(QStringLiteral("kept"));
    QVERIFY(server.setUploadFolder(folder));
    server.setMaxStoredUploads(2);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    HostConfig::global().setValue(QStringLiteral("recognition"), server.hostAndPort());
    QStringList log;
    connect(&server, &CRecognitionServer::logLine, this, [&log](const QString &line) { log << line; });

    CRecognitionClient client;
    QStringList ids;
    for (int n = 1; n <= 3; ++n) {
        const CRecognitionAnswer answer = CRecognitionAnswer::parse(client.queryRecognitionServer(photograph(n, 4.0, 1.0, 70)));
        QVERIFY2(answer.isGood(), qPrintable(answer.message()));
        QCOMPARE(answer.keywordList().value(0), keywordOf(n));
        ids << answer.recognitionText();
    }
    // Only the newest two uploads are kept.
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 2);
    QVERIFY(!QFile::exists(QDir(folder).filePath(ids.at(0) + QStringLiteral(".jpg"))));
    QVERIFY(QFile::exists(QDir(folder).filePath(ids.at(2) + QStringLiteral(".jpg"))));

    // The folder vanishes: the server cannot keep the upload and says so.
    QVERIFY(QDir(folder).removeRecursively());
    const QString text = client.queryRecognitionServer(photograph(1, 0.0, 1.0, 80));
    QCOMPARE(text, QStringLiteral("DB_ERROR"));
    QCOMPARE(CRecognitionAnswer::parse(text).message(), QStringLiteral("Technical problems on the server"));
    QVERIFY(log.last().contains(QStringLiteral("DB_ERROR")));
    HostConfig::global().setValue(QStringLiteral("recognition"), m_hostAndPort);
}

void TestRecognitionServer::keyCheck_data()
{
    QTest::addColumn<QByteArray>("salt");
    QTest::addColumn<QString>("account");
    QTest::addColumn<bool>("valid");
    QTest::newRow("four low bytes") << QByteArray("\x21\x22\x23\x24") << "" << true;
    QTest::newRow("high bytes, account") << QByteArray("\x80\xff\x91\x7f") << "someone@example.org" << true;
    QTest::newRow("one byte") << QByteArray("\x05") << "" << true;
    QTest::newRow("empty salt, no account") << QByteArray() << "" << true;
}

void TestRecognitionServer::keyCheck()
{
    QFETCH(QByteArray, salt);
    QFETCH(QString, account);
    CRecognitionClient client;
    client.setAccountText(account);
    QTEST(CRecognitionServer::isValidKey(client.keyField(salt)), "valid");
    // Any salt the client draws passes.
    for (quint32 seed = 0; seed < 500; ++seed) {
        QRandomGenerator generator(seed);
        const QByteArray drawn = CRecognitionClient::saltText(generator);
        QVERIFY2(CRecognitionServer::isValidKey(client.keyField(drawn)), drawn.toHex().constData());
    }
}

void TestRecognitionServer::stopsCleanlyOnTerminate()
{
    QProcess process;
    process.start(TestEnv::binDir() + QStringLiteral("/quillet-server"),
                  {"--catalogue", m_dir.path(), "--port", "0"});
    QVERIFY(process.waitForReadyRead(30000));
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(process.readAllStandardError().contains("quillet-server: stopped"));
}

QTEST_MAIN(TestRecognitionServer)
#include "tst_recognitionserver.moc"
