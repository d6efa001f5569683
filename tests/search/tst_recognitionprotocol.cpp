// The recognition protocol's pure parts: the letter cipher, the salt, the request body and the
// answer grammar.
#include "search/pc1cipher.h"
#include "search/recognitionanswer.h"
#include "search/recognitionclient.h"

#include <QRandomGenerator>
#include <QtTest>

class TestRecognitionProtocol : public QObject
{
    Q_OBJECT
private slots:
    void cipherIsRepeatableAndReversible_data();
    void cipherIsRepeatableAndReversible();
    void highBytesGiveLowFirstLetters_data();
    void highBytesGiveLowFirstLetters();
    void lengthBoundsTheInput();
    void saltHasItsShape();
    void keyFieldCarriesSaltAndAccount();
    void requestBodyIsExact();
    void requestAddresses();
    void grammar_data();
    void grammar();
    void indexedCount_data();
    void indexedCount();
};

static QByteArray encrypt(CPc1Cipher &cipher, const QByteArray &plain)
{
    cipher.setLength(int(plain.size()));
    return cipher.encryptText(plain);
}

static QByteArray decrypt(CPc1Cipher &cipher, const QByteArray &letters)
{
    cipher.setLength(int(letters.size()));
    return cipher.decryptText(letters);
}

void TestRecognitionProtocol::cipherIsRepeatableAndReversible_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("a");
    QTest::newRow("cache") << QByteArray("cache");
    QTest::newRow("answer") << QByteArray("ABCDid123[n]Country_3[c]103[inf]Motif[i]Red[i]0001");
    QByteArray all;
    for (int b = 0; b < 0x80; ++b)
        all.append(char(b));
    QTest::newRow("every byte below 0x80") << all;
    QRandomGenerator random(7);
    QByteArray longText(5000, '\0');
    for (char &ch : longText)
        ch = char(random.bounded(0x80));
    QTest::newRow("5000 random bytes") << longText;
}

void TestRecognitionProtocol::cipherIsRepeatableAndReversible()
{
    QFETCH(QByteArray, plain);
    CPc1Cipher cipher;
    const QByteArray first = encrypt(cipher, plain);
    // A message in between must not disturb the next one.
    encrypt(cipher, "something else entirely");
    const QByteArray second = encrypt(cipher, plain);
    QCOMPARE(second, first);
    QCOMPARE(first.size(), 2 * plain.size());
    for (char letter : first)
        QVERIFY2(letter >= 'a' && letter <= 'p', qPrintable(QStringLiteral("letter %1").arg(int(letter))));
    QCOMPARE(decrypt(cipher, first), plain);
    if (!plain.isEmpty()) {
        // Changing one byte changes the letters from there on (the stream depends on the text).
        QByteArray changed = plain;
        changed[0] = char(changed[0] ^ 1);
        QVERIFY(encrypt(cipher, changed) != first);
    }
}

void TestRecognitionProtocol::highBytesGiveLowFirstLetters_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("0x80 first") << QByteArray("\x80xyz");
    QTest::newRow("0xFF alone") << QByteArray("\xff");
    QTest::newRow("salt with a high byte") << QByteArray("\x3b\xc7\x05\x91");
    QTest::newRow("utf-8 text") << QString::fromUtf8("Österreich [c] Ελλάδα").toUtf8();
}

void TestRecognitionProtocol::highBytesGiveLowFirstLetters()
{
    QFETCH(QByteArray, plain);
    CPc1Cipher cipher;
    const QByteArray letters = encrypt(cipher, plain);
    for (qsizetype n = 0; n < plain.size(); ++n) {
        const uchar first = uchar(letters.at(2 * n));
        const uchar second = uchar(letters.at(2 * n + 1));
        if (uchar(plain.at(n)) >= 0x80)
            QVERIFY2(first >= 0x51 && first <= 0x60, qPrintable(QString::number(first, 16)));
        else
            QVERIFY2(first >= 'a' && first <= 'p', qPrintable(QString::number(first, 16)));
        QVERIFY(second >= 'a' && second <= 'p');
    }
    QVERIFY(CPc1Cipher::isLetterText(letters));
    QCOMPARE(decrypt(cipher, letters), plain);
}

void TestRecognitionProtocol::lengthBoundsTheInput()
{
    CPc1Cipher cipher;
    const QByteArray full = encrypt(cipher, "abcdef");
    cipher.setLength(3);
    QCOMPARE(cipher.encryptText("abcdef"), full.left(6));
    // A length beyond the input reads nothing past it.
    cipher.setLength(100);
    QCOMPARE(cipher.encryptText("abcdef"), full);
    cipher.setLength(5); // an odd last letter is ignored
    QCOMPARE(cipher.decryptText(full), QByteArray("ab"));
    cipher.setLength(-4);
    QCOMPARE(cipher.decryptText(full), QByteArray());
}

void TestRecognitionProtocol::saltHasItsShape()
{
    int fourBytes = 0;
    for (quint32 seed = 0; seed < 3000; ++seed) {
        QRandomGenerator generator(seed);
        QRandomGenerator replay(seed);
        const QByteArray salt = CRecognitionClient::saltText(generator);
        QVERIFY(salt.size() <= 4);
        QVERIFY(!salt.contains('\0'));
        const quint32 number = replay.bounded(32768);
        if (salt.size() >= 2 && (number & 0xFF) != 0 && (number >> 8) != 0) {
            // The number's own low bytes lead the text when they are not zero.
            QCOMPARE(uchar(salt.at(0)), uchar(number & 0xFF));
            QCOMPARE(uchar(salt.at(1)), uchar(number >> 8));
        }
        fourBytes += salt.size() == 4;
    }
    // The two upper bytes are always replaced, and a replacement is rarely zero.
    QVERIFY(fourBytes > 2900);
}

void TestRecognitionProtocol::keyFieldCarriesSaltAndAccount()
{
    CRecognitionClient client;
    QCOMPARE(client.accountText(), QString());
    client.setAccountText(QStringLiteral("collector@example.org"));
    const QByteArray salt("\x11\xa2\x33\x44", 4);
    const QByteArray key = client.keyField(salt);
    QCOMPARE(client.keyField(salt), key);
    CPc1Cipher cipher;
    const QByteArray inner = decrypt(cipher, key);
    QCOMPARE(inner.mid(8), QByteArray("collector@example.org"));
    QCOMPARE(decrypt(cipher, inner.left(8)), salt);
}

void TestRecognitionProtocol::requestBodyIsExact()
{
    const QByteArray expected =
        "--AyV04a\r\n"
        "content-disposition: form-data; name=\"key\"\r\n"
        "\r\n"
        "KEYLETTERS\r\n"
        "--AyV04a\r\n"
        "content-disposition: file; name=\"file\"; filename=\"ezample.jpg\"\r\n"
        "Content-Transfer-Encoding: binary\r\n"
        "\r\n"
        "cache\r\n"
        "--AyV04a--";
    QCOMPARE(CRecognitionClient::requestBody("KEYLETTERS", "cache"), expected);
    QByteArray empty = expected;
    empty.replace("cache\r\n", "\r\n");
    QCOMPARE(CRecognitionClient::requestBody("KEYLETTERS", QByteArray()), empty);
    const QByteArray binary("\xff\xd8\x00\r\n--x\x00", 9);
    QByteArray withBinary = expected;
    withBinary.replace("cache", binary);
    QCOMPARE(CRecognitionClient::requestBody("KEYLETTERS", binary), withBinary);
}

void TestRecognitionProtocol::requestAddresses()
{
    QCOMPARE(CRecognitionClient::requestUrl("127.0.0.1:8711", "cache"),
             QStringLiteral("http://127.0.0.1:8711/db3/index.php?cache=get&ver=2"));
    QCOMPARE(CRecognitionClient::requestUrl("recognition.example", "\xff\xd8 jpeg"),
             QStringLiteral("http://recognition.example/db3/index.php?os=win&ver=2"));
    QCOMPARE(CRecognitionClient::requestUrl("host", "cache "),
             QStringLiteral("http://host/db3/index.php?os=win&ver=2"));
    QCOMPARE(CRecognitionClient::requestUrl(" http://10.0.0.2:80/ ", "cache"),
             QStringLiteral("http://10.0.0.2:80/db3/index.php?cache=get&ver=2"));
    QCOMPARE(CRecognitionClient::requestUrl("[::1]:8711", "cache"),
             QStringLiteral("http://[::1]:8711/db3/index.php?cache=get&ver=2"));
}

void TestRecognitionProtocol::grammar_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("recognitionText");
    QTest::addColumn<QStringList>("keywords");
    const int good = CRecognitionAnswer::Good;
    const QString none = QStringLiteral("Matches in the database is not found");
    const QString fault = QStringLiteral("Technical problems on the server");
    QTest::newRow("empty") << "" << int(CRecognitionAnswer::NoMatch) << none << "" << QStringList();
    QTest::newRow("only line feeds") << "\n\n" << int(CRecognitionAnswer::NoMatch) << none << "" << QStringList();
    QTest::newRow("DB_ERROR") << "DB_ERROR" << int(CRecognitionAnswer::ServerFault) << fault << "" << QStringList();
    QTest::newRow("DB_ERROR with line feed") << "DB_ERROR\n" << int(CRecognitionAnswer::ServerFault) << fault << "" << QStringList();
    QTest::newRow("NULL") << "NULL" << int(CRecognitionAnswer::ServerFault) << fault << "" << QStringList();
    QTest::newRow("error") << "error" << int(CRecognitionAnswer::NoExchange) << "Server not responding" << "" << QStringList();
    QTest::newRow("one line") << "abc123" << int(CRecognitionAnswer::Malformed) << "Wrong answer" << "" << QStringList();
    QTest::newRow("number") << "1234" << int(CRecognitionAnswer::Malformed) << "Wrong answer" << "" << QStringList();
    QTest::newRow("good")
        << "id7[n]Great_Britain[c]12[inf]Queen[i]Red[i]0001[,]France[c]3[inf]Ceres[i]Blue[i]1849"
        << good << "" << "id7"
        << QStringList{"Great+Britain[c]12[inf]Queen[i]Red[i]0001", "France[c]3[inf]Ceres[i]Blue[i]1849"};
    QTest::newRow("line feeds removed, empty pieces dropped, later lines ignored")
        << "i\nd[n][,]A[c]1[inf]x[i]y[i]z[,][,]B_b[c]2[inf]x[i]y[i]z[,][n]ignored[n]"
        << good << "" << "id" << QStringList{"A[c]1[inf]x[i]y[i]z", "B+b[c]2[inf]x[i]y[i]z"};
    QTest::newRow("empty second line") << "id[n]" << good << "" << "id" << QStringList();
    QTest::newRow("empty first line") << "[n]A[c]1" << good << "" << "" << QStringList{"A[c]1"};
}

void TestRecognitionProtocol::grammar()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    const CRecognitionAnswer answer = CRecognitionAnswer::parse(text);
    QCOMPARE(int(answer.kind()), kind);
    QTEST(answer.message(), "message");
    QTEST(answer.recognitionText(), "recognitionText");
    QTEST(answer.keywordList(), "keywords");
    QCOMPARE(answer.isGood(), kind == CRecognitionAnswer::Good);
}

void TestRecognitionProtocol::indexedCount_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("count");
    QTest::newRow("count") << "1234567" << true << qint64(1234567);
    QTest::newRow("zero") << "0" << true << qint64(0);
    QTest::newRow("empty") << "" << false << qint64(0);
    QTest::newRow("error") << "error" << false << qint64(0);
    QTest::newRow("answer") << "id[n]A[c]1" << false << qint64(0);
    QTest::newRow("hex") << "0x10" << false << qint64(0);
}

void TestRecognitionProtocol::indexedCount()
{
    QFETCH(QString, text);
    qint64 count = 0;
    QTEST(CRecognitionAnswer::readIndexedCount(text, &count), "ok");
    QTEST(count, "count");
}

QTEST_MAIN(TestRecognitionProtocol)
#include "tst_recognitionprotocol.moc"
