// The drawn test stamps: reproducible from their seed, different across seeds, and variants that
// keep or change the canvas as documented.
#include "matching/stampgenerator.h"

#include <QTest>
#include <opencv2/imgproc.hpp>

using G = CStampGenerator;

namespace {

double meanDifference(const cv::Mat &a, const cv::Mat &b)
{
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    return cv::mean(diff.reshape(1))[0];
}

} // namespace

class TestStampGenerator : public QObject
{
    Q_OBJECT

private slots:
    void sameSeedSamePixels();
    void seedsDiffer();
    void variants();
    void toImage();
};

void TestStampGenerator::sameSeedSamePixels()
{
    const cv::Mat a = G::stamp(42, cv::Size(180, 220));
    QCOMPARE(a.type(), CV_8UC3);
    QCOMPARE(a.size(), cv::Size(180, 220));
    QCOMPARE(meanDifference(a, G::stamp(42, cv::Size(180, 220))), 0.0);
    QCOMPARE(meanDifference(G::noisy(a, 10, 3), G::noisy(a, 10, 3)), 0.0);
    QCOMPARE(G::stamp(1, cv::Size(5, 5)).size(), cv::Size(40, 40));
}

void TestStampGenerator::seedsDiffer()
{
    for (int seed = 0; seed < 10; ++seed)
        QVERIFY2(meanDifference(G::stamp(seed), G::stamp(seed + 1)) > 15.0, qPrintable(QString::number(seed)));
}

void TestStampGenerator::variants()
{
    const cv::Mat a = G::stamp(3, cv::Size(200, 240));
    QCOMPARE(meanDifference(G::upsideDown(G::upsideDown(a)), a), 0.0);
    QCOMPARE(meanDifference(G::mirrored(G::mirrored(a)), a), 0.0);
    QVERIFY(meanDifference(G::mirrored(a), a) > 5.0);
    // Turning grows the canvas to hold every corner: 90 degrees swaps the sides.
    const cv::Mat quarter = G::rotated(a, 90);
    QVERIFY(std::abs(quarter.cols - 240) <= 1 && std::abs(quarter.rows - 200) <= 1);
    QVERIFY(G::rotated(a, 30).cols > 200);
    QCOMPARE(G::scaled(a, 0.5).size(), cv::Size(100, 120));
    QCOMPARE(G::scaled(a, 0.001).size(), cv::Size(1, 1));
    QVERIFY(G::scaled(a, 0).empty());
    const cv::Mat jpeg = G::jpeg(a, 30);
    QCOMPARE(jpeg.size(), a.size());
    QVERIFY(meanDifference(jpeg, a) > 0.5 && meanDifference(jpeg, a) < 10.0);
    QCOMPARE(G::perspective(a, 0.1).size(), a.size());
    QVERIFY(cv::mean(G::lit(a, 0.7, 0))[1] < cv::mean(a)[1] * 0.75);
    const cv::Mat page = G::onPage(a, cv::Size(300, 300), cv::Point(250, 10)); // partly off the page
    QCOMPARE(page.size(), cv::Size(300, 300));
    QCOMPARE(meanDifference(page(cv::Rect(250, 10, 50, 240)), a(cv::Rect(0, 0, 50, 240))), 0.0);
    // Grey and empty inputs are handled, not crashed on.
    QCOMPARE(G::rotated(cv::Mat(30, 30, CV_8UC1, cv::Scalar(9)), 10).type(), CV_8UC3);
    QVERIFY(G::jpeg(cv::Mat(), 50).empty());
}

void TestStampGenerator::toImage()
{
    cv::Mat bgr(12, 10, CV_8UC3, cv::Scalar(10, 20, 30)); // blue, green, red
    const QImage image = G::toImage(bgr);
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image.size(), QSize(10, 12));
    QCOMPARE(image.pixel(4, 5), qRgb(30, 20, 10));
    QVERIFY(G::toImage(cv::Mat()).isNull());
}

QTEST_GUILESS_MAIN(TestStampGenerator)
#include "tst_stampgenerator.moc"
