// The server's multipart reader on the shapes clients send.
#include "server/multipartform.h"

#include <QtTest>

class TestMultipartForm : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void TestMultipartForm::parse_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QByteArrayList>("data");
    const QByteArray form =
        "--AyV04a\r\ncontent-disposition: form-data; name=\"key\"\r\n\r\nabc\r\n"
        "--AyV04a\r\ncontent-disposition: file; name=\"file\"; filename=\"ezample.jpg\"\r\n"
        "Content-Transfer-Encoding: binary\r\n\r\n\xff\xd8\r\n--A\r\n\r\n--AyV04a--";
    const QByteArrayList names{"key", "file"};
    QTest::newRow("comma before boundary") << QByteArray("multipart/form-data, boundary=AyV04a") << form << true
                                           << names << QByteArrayList{"abc", "\xff\xd8\r\n--A\r\n"};
    QTest::newRow("semicolon, quoted boundary")
        << QByteArray("Multipart/Form-Data; boundary=\"AyV04a\"") << form << true << names
        << QByteArrayList{"abc", "\xff\xd8\r\n--A\r\n"};
    QByteArray empty = form;
    empty.replace("\xff\xd8\r\n--A\r\n", "");
    QTest::newRow("empty file part") << QByteArray("multipart/form-data, boundary=AyV04a") << empty << true
                                     << names << QByteArrayList{"abc", ""};
    QTest::newRow("preamble and epilogue")
        << QByteArray("multipart/form-data; boundary=AyV04a") << QByteArray("preamble\r\n" + form + "\r\nepilogue")
        << true << names << QByteArrayList{"abc", "\xff\xd8\r\n--A\r\n"};
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << form << false << QByteArrayList() << QByteArrayList();
    QTest::newRow("not multipart") << QByteArray("text/plain; boundary=AyV04a") << form << false << QByteArrayList() << QByteArrayList();
    QTest::newRow("no closing delimiter") << QByteArray("multipart/form-data, boundary=AyV04a") << form.left(form.size() - 2)
                                          << false << QByteArrayList() << QByteArrayList();
    QTest::newRow("no delimiter at all") << QByteArray("multipart/form-data, boundary=AyV04a") << QByteArray("hello")
                                         << false << QByteArrayList() << QByteArrayList();
    QTest::newRow("part without blank line")
        << QByteArray("multipart/form-data, boundary=AyV04a")
        << QByteArray("--AyV04a\r\ncontent-disposition: form-data; name=\"key\"\r\nabc\r\n--AyV04a--")
        << false << QByteArrayList() << QByteArrayList();
    QTest::newRow("empty body") << QByteArray("multipart/form-data, boundary=AyV04a") << QByteArray()
                                << false << QByteArrayList() << QByteArrayList();
}

void TestMultipartForm::parse()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QByteArrayList, names);
    QFETCH(QByteArrayList, data);
    CMultipartForm form;
    QTEST(form.parse(contentType, body), "ok");
    if (names.isEmpty())
        return;
    QCOMPARE(form.parts().size(), names.size());
    for (qsizetype n = 0; n < names.size(); ++n) {
        QCOMPARE(form.parts().at(n).name, names.at(n));
        QCOMPARE(form.parts().at(n).data, data.at(n));
    }
    QCOMPARE(form.part("file")->fileName, QByteArray("ezample.jpg"));
    QVERIFY(!form.part("missing"));
}

QTEST_MAIN(TestMultipartForm)
#include "tst_multipartform.moc"
