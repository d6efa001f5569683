// Ranking of the matches and the HTML report with its picture folder, in temporary folders.
#include "search/searchreport.h"
#include "search/stampsearch.h"
#include "sites/hostconfig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

field_ready match(const QString &source, int score, const QString &id)
{
    field_ready record;
    record.source = source;
    record.score = score;
    record.imageUrl = "http://pictures.test/" + id + ".jpg";
    record.pageUrl = "http://pages.test/" + id;
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(score % 360, 200, 200));
    record.image = image;
    return record;
}

// The evidence a comparison would leave: 42 of 48 cells, 131 of 160 pairs, the stamp outlined in the
// middle of a 40 by 30 picture.
CMatchEvidence evidence()
{
    CMatchEvidence e;
    e.pairs = 160;
    e.inliers = 131;
    e.agreeingCells = 42;
    e.cells = 48;
    e.outline = QPolygonF({QPointF(8, 6), QPointF(32, 6), QPointF(32, 24), QPointF(8, 24)});
    return e;
}

QString label(int site)
{
    return HostConfig::siteLabels().at(site);
}

QStringList idsOf(const QVector<field_ready> &records)
{
    QStringList ids;
    for (const field_ready &record : records)
        ids << record.pageUrl.mid(QStringLiteral("http://pages.test/").size());
    return ids;
}

} // namespace

class TestSearchReport : public QObject
{
    Q_OBJECT
private slots:
    void rankingBySiteAndScore();
    void rankingEdges_data();
    void rankingEdges();
    void reportPageAndPictures();
    void hostileAddressStaysOneLink();
    void evidenceFollowsComparedMatches();
    void hostileSiteNamesStayText();
    void emptyReportIsAValidPage();
    void reportPathFailures_data();
    void reportPathFailures();
    void setAsideKeepsTheOldReportApart();
    void endingIsALineOfItsOwn();
    void failedWriteLeavesTheOldReport();
};

void TestSearchReport::rankingBySiteAndScore()
{
    // eBay (site 3) 25 matches, Colnect (site 1) 3, interleaved; max 10 a site.
    QVector<field_ready> candidates;
    for (int i = 0; i < 25; ++i) {
        candidates << match(label(3), 100 + (i * 37) % 101, QString("e%1").arg(i));
        if (i % 9 == 0)
            candidates << match(label(1), 150 + i, QString("c%1").arg(i));
    }
    const QVector<field_ready> all = candidates;
    const QVector<field_ready> ranked = CStampSearch::rank(&candidates, 10);

    QVector<field_ready> ebay;
    for (const field_ready &record : all) {
        if (record.source == label(3))
            ebay << record;
    }
    std::stable_sort(ebay.begin(), ebay.end(), [](const field_ready &a, const field_ready &b) { return a.score > b.score; });
    QStringList expected = {"c18", "c9", "c0"};
    expected += idsOf(ebay.mid(0, 10));
    QCOMPARE(idsOf(ranked), expected);
    for (const field_ready &record : ranked)
        QCOMPARE(record.score, 0); // the ranked copies carry no score
    QCOMPARE(candidates.size(), all.size() - 13);
}

void TestSearchReport::rankingEdges_data()
{
    QTest::addColumn<QVector<field_ready>>("candidates");
    QTest::addColumn<int>("maxOut");
    QTest::addColumn<QStringList>("ranked");
    QTest::newRow("equal scores keep their order")
        << QVector<field_ready>{match(label(0), 50, "a"), match(label(0), 70, "b"), match(label(0), 50, "c")} << 10
        << QStringList{"b", "a", "c"};
    QTest::newRow("score 0 is never shown")
        << QVector<field_ready>{match(label(2), 0, "zero"), match(label(2), 1, "one")} << 10 << QStringList{"one"};
    QTest::newRow("sites in label order, Google last")
        << QVector<field_ready>{match(label(5), 900, "g"), match(label(4), 30, "p"), match(label(0), 20, "d"),
                                match(label(5), 600, "g4"), match(label(3), 40, "e")}
        << 10 << QStringList{"d", "e", "p", "g", "g4"};
    QTest::newRow("max_out 0 shows nothing") << QVector<field_ready>{match(label(0), 50, "a")} << 0 << QStringList{};
    QTest::newRow("unknown site is never shown")
        << QVector<field_ready>{match("elsewhere.test", 90, "x"), match(label(1), 10, "c")} << 10 << QStringList{"c"};
}

void TestSearchReport::rankingEdges()
{
    QFETCH(QVector<field_ready>, candidates);
    QFETCH(int, maxOut);
    QFETCH(QStringList, ranked);
    QCOMPARE(idsOf(CStampSearch::rank(&candidates, maxOut)), ranked);
}

void TestSearchReport::reportPageAndPictures()
{
    QTemporaryDir dir;
    // The folders do not exist yet; they are made with their parents.
    const QString path = dir.path() + "/out/run 1/Fünd.html";
    QVector<field_ready> results = {match(label(0), 0, "one"), match(label(3), 0, "two?x=1&y=2")};
    results[1].image = QImage(); // a picture that cannot be saved leaves its reference dangling
    CSearchReport::write(path, results);

    QFile page(path);
    QVERIFY(page.open(QIODevice::ReadOnly));
    QCOMPARE(page.readAll(), QByteArray("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                                        "charset=windows-1252\"><title>report</title></head><body>"
                                        "<p><a href=\"http://pages.test/one\"><img border=\"0\" src=\"F%C3%BCnd/0.jpg\"></a></p>"
                                        "<p><a href=\"http://pages.test/two?x=1&amp;y=2\"><img border=\"0\" src=\"F%C3%BCnd/1.jpg\"></a></p>"
                                        "</body></html>"));
    const QImage saved(dir.path() + "/out/run 1/Fünd/0.jpg");
    QCOMPARE(saved.size(), QSize(40, 30));
    QVERIFY(!QFile::exists(dir.path() + "/out/run 1/Fünd/1.jpg"));

    // A second search with the same path replaces page and pictures.
    page.close();
    CSearchReport::write(path, {match(label(1), 0, "three")});
    QVERIFY(page.open(QIODevice::ReadOnly));
    QVERIFY(page.readAll().contains("http://pages.test/three"));
}

void TestSearchReport::hostileAddressStaysOneLink()
{
    QVector<field_ready> results = {match(label(0), 0, "x")};
    const QStringList hostile = {"http://evil.test/a\"><script>alert(1)</script><a href=\"",
                                 "javascript:alert(document.cookie)", "http://evil.test/ä<b>'&\""};
    for (const QString &address : hostile) {
        results[0].pageUrl = address;
        const QByteArray page = CSearchReport::pageText("find", results);
        // ASCII throughout, one link, one picture, no markup from the address.
        for (char c : page)
            QVERIFY(uchar(c) < 0x80);
        QCOMPARE(page.count("<a "), 1);
        QCOMPARE(page.count("<img "), 1);
        QVERIFY(!page.contains("<script"));
        QVERIFY(!page.contains("javascript:"));
        const qsizetype start = page.indexOf("href=\"") + 6;
        const QByteArray href = page.mid(start, page.indexOf('"', start) - start);
        QVERIFY2(!href.contains('<') && !href.contains('>'), href.constData());
    }
}

void TestSearchReport::evidenceFollowsComparedMatches()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/find.html";
    // A compared match, one taken without comparing, and a compared reverse-search hit named by its host.
    QVector<field_ready> results = {match(label(0), 0, "one"), match(label(5), 0, "two"), match(label(5), 0, "three")};
    results[0].evidence = evidence();
    results[1].kind = 2;
    results[1].domain = "dealer.test";
    results[2].kind = 1;
    results[2].domain = "stamps.test";
    results[2].evidence = evidence();
    results[2].evidence.agreeingCells = 40;
    for (field_ready &record : results)
        record.image.fill(Qt::darkBlue);
    // A translation beyond ASCII is written as character references: the page stays ASCII.
    const auto german = [](const QString &text) {
        return text == "%1 of %2 grid cells, %3 matching points" ? QString("%1 von %2 Rasterfeldern, %3 übereinstimmende Punkte")
                                                                 : text;
    };
    CSearchReport::write(path, results, QString(), german);

    QFile page(path);
    QVERIFY(page.open(QIODevice::ReadOnly));
    // Each match's paragraph as it always was, in the same order; the evidence in an element of its own after it.
    QCOMPARE(page.readAll(),
             QByteArray("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                        "charset=windows-1252\"><title>report</title></head><body>"
                        "<p><a href=\"http://pages.test/one\"><img border=\"0\" src=\"find/0.jpg\"></a></p>"
                        "<div class=\"evidence\"><p>delcampe.net<br>42 von 48 Rasterfeldern, 131 &#252;bereinstimmende Punkte</p>"
                        "<img border=\"0\" src=\"find/0-evidence.jpg\"></div>"
                        "<p><a href=\"http://pages.test/two\"><img border=\"0\" src=\"find/1.jpg\"></a></p>"
                        "<p><a href=\"http://pages.test/three\"><img border=\"0\" src=\"find/2.jpg\"></a></p>"
                        "<div class=\"evidence\"><p>stamps.test<br>40 von 48 Rasterfeldern, 131 &#252;bereinstimmende Punkte</p>"
                        "<img border=\"0\" src=\"find/2-evidence.jpg\"></div>"
                        "</body></html>"));
    // The evidence pictures beside the numbered ones: the candidate with the outline drawn on it.
    for (int i : {0, 2}) {
        const QImage plain(dir.path() + QString("/find/%1.jpg").arg(i));
        const QImage outlined(dir.path() + QString("/find/%1-evidence.jpg").arg(i));
        QCOMPARE(outlined.size(), plain.size());
        const QColor onOutline = outlined.pixelColor(20, 6), inside = outlined.pixelColor(20, 15);
        QVERIFY2(onOutline.red() > 120 && onOutline.red() > onOutline.blue(), qPrintable(onOutline.name()));
        QVERIFY2(inside.red() < 50 && inside.blue() > 100, qPrintable(inside.name()));
    }
    QVERIFY(!QFile::exists(dir.path() + "/find/1-evidence.jpg"));
}

void TestSearchReport::hostileSiteNamesStayText()
{
    const QStringList hostile = {"evil.test\"><script>alert(1)</script>", "<img src=x onerror=alert(1)>",
                                 "d\u00e9aler & co <b>", QString("\u043c\u0430\u0440\u043a\u0438.test")};
    for (const QString &name : hostile) {
        QVector<field_ready> results = {match(name, 0, "a"), match(label(5), 0, "b")};
        results[0].evidence = evidence();
        results[1].kind = 1;
        results[1].domain = name;
        results[1].pageUrl = "http://evil.test/a\"><script>alert(1)</script>";
        results[1].evidence = evidence();
        const QByteArray page = CSearchReport::pageText("find", results, QString(), [&name](const QString &) { return name; });
        for (char c : page)
            QVERIFY(uchar(c) < 0x80);
        QCOMPARE(page.count("<a "), 2);
        QCOMPARE(page.count("<img "), 4);
        QCOMPARE(page.count("<div "), 2);
        QVERIFY(!page.contains("<script"));
        QVERIFY(!page.contains("<b>"));
        QVERIFY(!page.contains("onerror=alert(1)>"));
    }
}

void TestSearchReport::emptyReportIsAValidPage()
{
    QTemporaryDir dir;
    CSearchReport::write(dir.path() + "/empty.html", {});
    QFile page(dir.path() + "/empty.html");
    QVERIFY(page.open(QIODevice::ReadOnly));
    QVERIFY(page.readAll().endsWith("<title>report</title></head><body></body></html>"));
    QVERIFY(QFileInfo(dir.path() + "/empty").isDir());
}

void TestSearchReport::reportPathFailures_data()
{
    QTest::addColumn<QString>("path"); // "DIR" stands for a temporary folder
    QTest::addColumn<QString>("message");
    QTest::newRow("no folder") << "find.html" << "report path error";
    QTest::newRow("no base name") << "DIR/.html" << "report path error";
    QTest::newRow("folder blocked by a file") << "DIR/file/find.html" << "creat report path error";
    QTest::newRow("page is a folder") << "DIR/taken.html" << "save report error";
}

void TestSearchReport::reportPathFailures()
{
    QFETCH(QString, path);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QFile blocker(dir.path() + "/file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(QDir(dir.path()).mkdir("taken.html"));
    path.replace("DIR", dir.path());
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    CSearchReport::write(path, {match(label(0), 0, "a")});
    QVERIFY(!QFile::exists("find.html"));
}

void TestSearchReport::setAsideKeepsTheOldReportApart()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/find.html";
    QVERIFY(CSearchReport::write(path, {match(label(0), 0, "a"), match(label(1), 0, "b")}).isEmpty());
    // The user's own file in the picture folder is not the report's.
    QFile own(dir.path() + "/find/notes.txt");
    QVERIFY(own.open(QIODevice::WriteOnly));
    own.close();
    const QByteArray oldPage = CSearchReport::pageText("find", {match(label(0), 0, "a"), match(label(1), 0, "b")});

    CSearchReport::setAside(path);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(QDir(dir.path() + "/find").entryList(QDir::Files), QStringList({"notes.txt"}));
    // Kept whole, in the same layout, so that its page still shows its pictures.
    const QString previous = CSearchReport::previousFolder(path);
    QFile kept(previous + "find.html");
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), oldPage);
    QVERIFY(!QImage(previous + "find/0.jpg").isNull());
    QVERIFY(!QImage(previous + "find/1.jpg").isNull());

    // Setting aside with nothing there keeps what was kept; a new report drops it.
    CSearchReport::setAside(path);
    QVERIFY(QFile::exists(previous + "find.html"));
    QVERIFY(CSearchReport::write(path, {match(label(2), 0, "c")}).isEmpty());
    CSearchReport::dropPrevious(path);
    QVERIFY(!QFileInfo::exists(previous));
    QCOMPARE(QDir(dir.path() + "/find").entryList(QDir::Files), QStringList({"0.jpg", "notes.txt"}));
}

void TestSearchReport::endingIsALineOfItsOwn()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/find.html";
    // A server's message is text, never markup, and stays ASCII.
    const QStringList endings = {"no match", "cancelled", "Server <b>busy</b> – später"};
    for (const QString &ending : endings) {
        QVERIFY(CSearchReport::write(path, {}, ending).isEmpty());
        QFile page(path);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = page.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith("<body>"));
        QCOMPARE(lines.at(2), QByteArray("</body></html>"));
        QCOMPARE(QString::fromLatin1(lines.at(1)), "<p>" + ending.toHtmlEscaped().replace("–", "&#8211;").replace("ä", "&#228;") + "</p>");
    }
}

void TestSearchReport::failedWriteLeavesTheOldReport()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/find.html";
    QVERIFY(CSearchReport::write(path, {match(label(0), 0, "old")}).isEmpty());
    QFile oldPicture(dir.path() + "/find/0.jpg");
    QVERIFY(oldPicture.open(QIODevice::ReadOnly));
    const QByteArray oldJpeg = oldPicture.readAll();
    oldPicture.close();
    const QByteArray oldPage = CSearchReport::pageText("find", {match(label(0), 0, "old")});

    // Files may grow no larger than a few hundred bytes now: a write error in the middle of a
    // picture (a large one) or of the page (a picture small enough).
    QImage large(600, 400, QImage::Format_RGB32);
    for (int y = 0; y < large.height(); ++y)
        for (int x = 0; x < large.width(); ++x)
            large.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x ^ y) % 256));
    field_ready big = match(label(1), 0, "new");
    big.image = large;
    field_ready small = match(label(1), 0, "new");
    small.image = QImage(2, 2, QImage::Format_RGB32);
    small.image.fill(Qt::red);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
    for (const field_ready &result : {big, small}) {
        rlimit tight = before;
        tight.rlim_cur = 400;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &tight) == 0);
        QTest::ignoreMessage(QtDebugMsg, "save report error");
        const QString error = CSearchReport::write(path, {result, result});
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &before) == 0);
        QVERIFY2(error.contains(qt_error_string(EFBIG)), qPrintable(error));

        QFile page(path);
        QVERIFY(page.open(QIODevice::ReadOnly));
        QCOMPARE(page.readAll(), oldPage);
        QVERIFY(oldPicture.open(QIODevice::ReadOnly));
        QCOMPARE(oldPicture.readAll(), oldJpeg);
        oldPicture.close();
        QCOMPARE(QDir(dir.path() + "/find").entryList(QDir::Files), QStringList({"0.jpg"}));
        // Nothing half-written left about.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({"find", "find.html"}));
    }
}

QTEST_MAIN(TestSearchReport)
#include "tst_searchreport.moc"
