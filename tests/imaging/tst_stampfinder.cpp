// CStampFinder on generated album pages, single stamps and plain pictures, and quillet-tool
// find-stamps as the maintainers run it.
#include "imaging/stampfinder.h"
#include "matching/albumpagegenerator.h"
#include "matching/stampgenerator.h"
#include "testenv.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

QRect toQt(const cv::Rect &r)
{
    return QRect(r.x, r.y, r.width, r.height);
}

// The best overlap any found box has with `truth`.
double bestIou(const QRect &truth, const QList<QRect> &found)
{
    double best = 0;
    for (const QRect &f : found)
        best = std::max(best, CStampFinder::overlap(truth, f));
    return best;
}

} // namespace

class TestStampFinder : public QObject
{
    Q_OBJECT

private slots:
    void pages_data()
    {
        QTest::addColumn<int>("background");
        QTest::addColumn<bool>("touching");
        QTest::addColumn<bool>("overlapping");
        QTest::addColumn<double>("turn");
        QTest::addColumn<bool>("labels");
        QTest::addColumn<bool>("onTable");
        QTest::newRow("dark stock page") << int(CAlbumPageGenerator::DarkStockPage) << false << false << 0.0 << false << false;
        QTest::newRow("dark stock page, labels") << int(CAlbumPageGenerator::DarkStockPage) << false << false << 0.0 << true << false;
        QTest::newRow("light album page, turned, labels") << int(CAlbumPageGenerator::LightAlbumPage) << false << false << 6.0 << true << false;
        QTest::newRow("dark stock page, touching") << int(CAlbumPageGenerator::DarkStockPage) << true << false << 0.0 << false << false;
        QTest::newRow("light album page, overlapping") << int(CAlbumPageGenerator::LightAlbumPage) << false << true << 0.0 << false << false;
        QTest::newRow("light album page, touching, turned") << int(CAlbumPageGenerator::LightAlbumPage) << true << false << 3.0 << false << false;
        QTest::newRow("dark stock page, overlapping, turned") << int(CAlbumPageGenerator::DarkStockPage) << false << true << 3.0 << false << false;
        QTest::newRow("table, touching") << int(CAlbumPageGenerator::Table) << true << false << 0.0 << false << false;
        // A stock page lying on a light table: its stamps are found against the page, not the table.
        QTest::newRow("dark stock page on a table, turned") << int(CAlbumPageGenerator::DarkStockPage) << false << false << 3.0 << false << true;
    }
    // Every stamp is found with a box that fits it, and no paper label is taken for a stamp.
    void pages()
    {
        QFETCH(int, background);
        QFETCH(bool, touching);
        QFETCH(bool, overlapping);
        QFETCH(double, turn);
        QFETCH(bool, labels);
        QFETCH(bool, onTable);
        CAlbumPageGenerator::Options o;
        o.seed = 3;
        o.background = CAlbumPageGenerator::Background(background);
        o.touching = touching;
        o.overlapping = overlapping;
        o.maxTurn = turn;
        o.labels = labels;
        o.onTable = onTable;
        const CAlbumPageGenerator::Page page = CAlbumPageGenerator::page(o);
        const QList<QRect> found = CStampFinder::findStamps(CStampGenerator::toImage(page.picture));

        int missed = 0;
        for (const cv::Rect &stamp : page.stamps)
            missed += bestIou(toQt(stamp), found) < 0.7;
        for (const cv::Rect &label : page.labels)
            for (const QRect &f : found)
                QVERIFY2(!f.intersects(toQt(label)) || f.intersected(toQt(label)).width() * f.intersected(toQt(label)).height() < 0.3 * label.area(),
                         "a label was taken for a stamp");
        QCOMPARE(missed, 0);
        QVERIFY(found.size() <= int(page.stamps.size()));
    }

    // One stamp lying on a table or a page, photographed with room around it: the first box is the stamp.
    void singleStamp_data()
    {
        QTest::addColumn<int>("background");
        QTest::addColumn<double>("turn");
        QTest::addColumn<double>("margin");
        QTest::newRow("table") << int(CAlbumPageGenerator::Table) << 0.0 << 0.3;
        QTest::newRow("table, turned") << int(CAlbumPageGenerator::Table) << 4.0 << 0.3;
        QTest::newRow("light page") << int(CAlbumPageGenerator::LightAlbumPage) << -3.0 << 0.3;
        QTest::newRow("dark page") << int(CAlbumPageGenerator::DarkStockPage) << 2.0 << 0.3;
        // Framed closely, the stamp fills half the picture: it is no page lying on a table, whose
        // stamps would be looked for inside it.
        QTest::newRow("table, close") << int(CAlbumPageGenerator::Table) << 2.0 << 0.15;
        QTest::newRow("light page, close") << int(CAlbumPageGenerator::LightAlbumPage) << 0.0 << 0.12;
        QTest::newRow("dark page, close") << int(CAlbumPageGenerator::DarkStockPage) << -2.0 << 0.15;
    }
    void singleStamp()
    {
        QFETCH(int, background);
        QFETCH(double, turn);
        QFETCH(double, margin);
        const CAlbumPageGenerator::Page page = CAlbumPageGenerator::single(11, CAlbumPageGenerator::Background(background), margin, turn);
        const QList<QRect> found = CStampFinder::findStamps(CStampGenerator::toImage(page.picture));
        QVERIFY(!found.isEmpty());
        QVERIFY2(CStampFinder::overlap(found.first(), toQt(page.stamps.front())) >= 0.8,
                 qPrintable(QString("IoU %1").arg(CStampFinder::overlap(found.first(), toQt(page.stamps.front())))));
    }

    // A light stamp turned on a plain light card, whose margin and teeth hardly differ from the card:
    // the box reaches the tips of its teeth at the turned corners, not just its printed frame.
    void turnedOnPlainCard_data()
    {
        QTest::addColumn<int>("seed");
        QTest::addColumn<double>("turn");
        QTest::newRow("stamp 7, turned 8") << 7 << 8.0;
        QTest::newRow("stamp 12, upright") << 12 << 0.0;
    }
    void turnedOnPlainCard()
    {
        QFETCH(int, seed);
        QFETCH(double, turn);
        const cv::Mat turned = CStampGenerator::rotated(CStampGenerator::stamp(seed, cv::Size(400, 480)), turn);
        const cv::Point at(230, 90);
        const QImage picture = CStampGenerator::toImage(CStampGenerator::onPage(turned, cv::Size(900, 700), at));
        // The turned picture's corners are the teeth's tips.
        const QRect truth(at.x, at.y, turned.cols, turned.rows);
        const QList<QRect> found = CStampFinder::findStamps(picture);
        QVERIFY(!found.isEmpty());
        const double iou = CStampFinder::overlap(found.first(), truth);
        QVERIFY2(iou >= 0.8, qPrintable(QString("IoU %1").arg(iou)));
    }

    // A stamp on a stock page framed loosely: its neighbours, cut by the picture's edge, cover much
    // of the border; the first box is still the stamp in the middle, not a neighbour or a piece.
    void looselyFramedOnPage_data()
    {
        QTest::addColumn<int>("background");
        QTest::addColumn<double>("margin");
        QTest::newRow("dark, margin 0.25") << int(CAlbumPageGenerator::DarkStockPage) << 0.25;
        QTest::newRow("dark, margin 0.4") << int(CAlbumPageGenerator::DarkStockPage) << 0.4;
        QTest::newRow("light, margin 0.3") << int(CAlbumPageGenerator::LightAlbumPage) << 0.3;
    }
    void looselyFramedOnPage()
    {
        QFETCH(int, background);
        QFETCH(double, margin);
        CAlbumPageGenerator::Options o;
        o.background = CAlbumPageGenerator::Background(background);
        const CAlbumPageGenerator::Page page = CAlbumPageGenerator::page(o);
        const QImage picture = CStampGenerator::toImage(page.picture);
        // The stamps of the middle row with neighbours on every side.
        for (size_t k = 5; k <= 6; ++k) {
            const QRect t = toQt(page.stamps[k]);
            const QRect cut = t.adjusted(-int(t.width() * margin), -int(t.height() * margin), int(t.width() * margin),
                                         int(t.height() * margin)).intersected(picture.rect());
            const QList<QRect> found = CStampFinder::findStamps(picture.copy(cut));
            QVERIFY2(!found.isEmpty(), qPrintable(QString("stamp %1").arg(k)));
            const double iou = CStampFinder::overlap(found.first(), t.translated(-cut.topLeft()));
            QVERIFY2(iou >= 0.8, qPrintable(QString("stamp %1: IoU %2").arg(k).arg(iou)));
        }
    }

    // The same on a stock page photographed as the card really looks: the clear strip's gloss turns
    // part of the card grey, so that no one colour is the ground around the stamp, and the design
    // holds a strong shape of its own (a dark frame around a light panel) that stands out from the
    // card as a stamp does. The first box is the whole stamp, not the panel or a piece of the design.
    void looselyFramedOnShinyCard_data()
    {
        QTest::addColumn<int>("stamp");
        QTest::addColumn<double>("margin");
        QTest::newRow("stamp 5, margin 0.2") << 5 << 0.2;
        QTest::newRow("stamp 6, margin 0.35") << 6 << 0.35;
    }
    void looselyFramedOnShinyCard()
    {
        QFETCH(int, stamp);
        QFETCH(double, margin);
        CAlbumPageGenerator::Options o;
        o.fill = 0.85;
        const CAlbumPageGenerator::Page page = CAlbumPageGenerator::page(o);
        cv::Mat picture = page.picture.clone();
        const cv::Rect t = page.stamps[size_t(stamp)];
        const cv::Rect panel(t.x + t.width / 5, t.y + t.height / 5, t.width * 3 / 5, t.height * 3 / 5);
        cv::rectangle(picture, panel, cv::Scalar(235, 235, 230), cv::FILLED);
        cv::rectangle(picture, panel, cv::Scalar(40, 30, 30), std::max(4, t.width / 25));
        cv::putText(picture, "QUILLET", panel.tl() + cv::Point(panel.width / 10, panel.height / 2), cv::FONT_HERSHEY_SIMPLEX,
                    panel.width / 260.0, cv::Scalar(60, 40, 160), 3);
        // The gloss: the lower half of the picture washed grey, card and stamps alike.
        cv::Mat lower = picture.rowRange(t.y + t.height / 2, picture.rows);
        lower.convertTo(lower, -1, 0.6, 100);
        const QImage whole = CStampGenerator::toImage(picture);
        const QRect truth = toQt(t);
        const QRect cut = truth.adjusted(-int(truth.width() * margin), -int(truth.height() * margin), int(truth.width() * margin),
                                         int(truth.height() * margin)).intersected(whole.rect());
        const QList<QRect> found = CStampFinder::findStamps(whole.copy(cut));
        QVERIFY(!found.isEmpty());
        const double iou = CStampFinder::overlap(found.first(), truth.translated(-cut.topLeft()));
        QVERIFY2(iou >= 0.8, qPrintable(QString("IoU %1").arg(iou)));
    }

    // A picture that is all stamp gives the whole picture; a plain one gives nothing.
    void wholeAndPlain()
    {
        const QImage stamp = CStampGenerator::toImage(CStampGenerator::stamp(5, cv::Size(420, 500)).colRange(12, 408).rowRange(12, 488));
        QCOMPARE(CStampFinder::findStamps(stamp), QList<QRect>{stamp.rect()});

        const QImage plain = CStampGenerator::toImage(CStampGenerator::noisy(cv::Mat(900, 1200, CV_8UC3, cv::Scalar(60, 90, 120)), 4.0));
        QVERIFY(CStampFinder::findStamps(plain).isEmpty());
        QVERIFY(CStampFinder::findStamps(QImage()).isEmpty());
    }

    // Pictures far narrower than a stamp (a strip cut from a scan, a thumbnail) give boxes inside
    // the picture or none, never an exception, however plain or noisy.
    void oddSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("8 x 8") << QSize(8, 8);
        QTest::newRow("9 x 1000") << QSize(9, 1000);
        QTest::newRow("1300 x 17") << QSize(1300, 17);
        QTest::newRow("30 x 3000") << QSize(30, 3000);
        QTest::newRow("64 x 48") << QSize(64, 48);
    }
    void oddSizes()
    {
        QFETCH(QSize, size);
        cv::Mat noise(size.height(), size.width(), CV_8UC3);
        cv::RNG(5).fill(noise, cv::RNG::UNIFORM, 0, 255);
        cv::Mat card(size.height(), size.width(), CV_8UC3, cv::Scalar(30, 30, 30));
        cv::rectangle(card, cv::Rect(size.width() / 4, size.height() / 4, size.width() / 2, size.height() / 2), cv::Scalar(240, 240, 240), cv::FILLED);
        for (const cv::Mat &m : {noise, card}) {
            const QImage picture = CStampGenerator::toImage(m);
            QList<QRect> found;
            QVERIFY_THROWS_NO_EXCEPTION(found = CStampFinder::findStamps(picture));
            for (const QRect &r : found)
                QVERIFY(picture.rect().contains(r));
        }
    }

    // quillet-tool find-stamps prints the finder's boxes, one a line; an unreadable picture is an error.
    void tool()
    {
        QTemporaryDir dir;
        CAlbumPageGenerator::Options o;
        o.background = CAlbumPageGenerator::LightAlbumPage;
        const CAlbumPageGenerator::Page page = CAlbumPageGenerator::page(o);
        const QString pictureFile = dir.filePath("page.png");
        QVERIFY(cv::imwrite(pictureFile.toStdString(), page.picture));
        const QString broken = dir.filePath("broken.jpg");
        {
            QFile f(broken);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("\xff\xd8\xff not really a JPEG");
        }

        QProcess run;
        run.start(TestEnv::binDir() + "/quillet-tool", {"find-stamps", pictureFile});
        QVERIFY(run.waitForFinished(60000));
        QCOMPARE(run.exitCode(), 0);
        QStringList expected;
        for (const QRect &r : CStampFinder::findStamps(QImage(pictureFile)))
            expected << QString("%1 %2 %3 %4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
        QVERIFY(!expected.isEmpty());
        QCOMPARE(QString::fromUtf8(run.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts), expected);

        for (const QString &bad : {broken, dir.filePath("missing.png")}) {
            run.start(TestEnv::binDir() + "/quillet-tool", {"find-stamps", bad});
            QVERIFY(run.waitForFinished(60000));
            QCOMPARE(run.exitStatus(), QProcess::NormalExit);
            QCOMPARE(run.exitCode(), 1);
            QVERIFY(run.readAllStandardOutput().isEmpty());
            QVERIFY(QString::fromUtf8(run.readAllStandardError()).contains(bad));
        }
    }
};

QTEST_GUILESS_MAIN(TestStampFinder)
#include "tst_stampfinder.moc"
