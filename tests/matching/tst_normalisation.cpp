// Normalisation of pictures and the gradient grid with its agreement rule.
#include "matching/colorvector.h"
#include "matching/normalisation.h"
#include "matching/stampgenerator.h"

#include <QTest>
#include <opencv2/imgproc.hpp>

Q_DECLARE_METATYPE(CColorVector::Cell)

namespace {

QImage filled(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// A grid of `count` cells in one column, the first `pointingRight` of them with a rightward gradient,
// the rest flat.
CColorVector column(int count, int pointingRight)
{
    std::vector<CColorVector::Cell> cells(static_cast<size_t>(count));
    for (int i = 0; i < pointingRight; ++i)
        cells[size_t(i)].gx = 30;
    CColorVector grid;
    grid.assign(1, count, cells);
    return grid;
}

} // namespace

class TestNormalisation : public QObject
{
    Q_OBJECT

private slots:
    void colourImageKeepsChannels();
    void tooSmallPictures_data();
    void tooSmallPictures();
    void referenceSize_data();
    void referenceSize();
    void referenceUsesComparisonGrey();
    void cropImage();
    void gridShape();
    void gridStaysInsideHalfPicture();
    void cellAgreement_data();
    void cellAgreement();
    void agreementThreshold_data();
    void agreementThreshold();
    void uniformPicturesAgree();
    void releaseAndEmptyGrids();
};

void TestNormalisation::colourImageKeepsChannels()
{
    const QImage image = filled(12, 11, qRgb(200, 100, 50));
    const cv::Mat colour = toColorImage(image);
    QCOMPARE(colour.type(), CV_8UC3);
    QCOMPARE(colour.cols, 12);
    QCOMPARE(colour.rows, 11);
    QCOMPARE(colour.at<cv::Vec3b>(5, 5), cv::Vec3b(50, 100, 200)); // blue, green, red
    // Other formats are converted first.
    const cv::Mat fromIndexed = toColorImage(image.convertToFormat(QImage::Format_Grayscale8));
    QCOMPARE(fromIndexed.type(), CV_8UC3);
    QVERIFY(toColorImage(QImage()).empty());
}

void TestNormalisation::tooSmallPictures_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("9 wide") << 9 << 500;
    QTest::newRow("9 high") << 500 << 9;
    QTest::newRow("1 by 1") << 1 << 1;
}

void TestNormalisation::tooSmallPictures()
{
    QFETCH(int, width);
    QFETCH(int, height);
    const QImage image = filled(width, height, qRgb(10, 20, 30));
    QTest::ignoreMessage(QtDebugMsg, "colorImage->width < 10 || colorImage->height < 10");
    QVERIFY(toColorImage(image).empty());
    QTest::ignoreMessage(QtDebugMsg, "colorImage->width < 10 || colorImage->height < 10");
    QVERIFY(normaliseReference(image).empty());
}

void TestNormalisation::referenceSize_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("reference");
    QTest::newRow("1000 by 500") << QSize(1000, 500) << QSize(256, 128);
    QTest::newRow("500 by 1000") << QSize(500, 1000) << QSize(128, 256);
    QTest::newRow("200 by 240") << QSize(200, 240) << QSize(128, 153);
    QTest::newRow("smallest") << QSize(13, 13) << QSize(128, 128);
    QTest::newRow("truncation bites") << QSize(122, 159) << QSize(127, 168);
}

void TestNormalisation::referenceSize()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, reference);
    const cv::Mat result = normaliseReference(filled(picture.width(), picture.height(), qRgb(90, 140, 10)));
    QCOMPARE(result.type(), CV_8UC1);
    QCOMPARE(QSize(result.cols, result.rows), reference);
}

void TestNormalisation::referenceUsesComparisonGrey()
{
    // The inner 80 percent of a picture, grey by 0.299 blue + 0.587 green + 0.114 red (the channel
    // order the comparison has always used); the 10 percent margins are cut away.
    QImage image = filled(100, 100, qRgb(255, 255, 255));
    for (int y = 10; y < 90; ++y)
        for (int x = 10; x < 90; ++x)
            image.setPixel(x, y, qRgb(0, 0, 200));
    const cv::Mat reference = normaliseReference(image);
    QCOMPARE(QSize(reference.cols, reference.rows), QSize(128, 128));
    QCOMPARE(int(reference.at<uchar>(0, 0)), int(std::lround(0.299 * 200)));
    QCOMPARE(int(reference.at<uchar>(127, 127)), int(std::lround(0.299 * 200)));
}

void TestNormalisation::cropImage()
{
    cv::Mat picture(20, 30, CV_8UC3, cv::Scalar(1, 2, 3));
    picture(cv::Rect(5, 6, 7, 8)).setTo(cv::Scalar(9, 9, 9));
    const cv::Mat cut = ::cropImage(picture, cv::Rect(5, 6, 7, 8));
    QCOMPARE(cut.type(), CV_8UC3);
    QCOMPARE(cut.size(), cv::Size(7, 8));
    QCOMPARE(cv::countNonZero(cut.reshape(1) != 9), 0);
    QCOMPARE(::cropImage(picture, cv::Rect(5, 6, 7, 8), 1).type(), CV_8UC1);
    QVERIFY(::cropImage(picture, cv::Rect(25, 6, 7, 8)).empty()); // reaches past the right edge
    QVERIFY(::cropImage(picture, cv::Rect(0, 0, 0, 8)).empty());
    QVERIFY(::cropImage(cv::Mat(), cv::Rect(0, 0, 1, 1)).empty());
}

void TestNormalisation::gridShape()
{
    // 128 by 128: half size 64, margins 0, 12 by 12 cells over 60 by 60 pixels starting at (1, 1).
    cv::Mat picture(128, 128, CV_8UC1, cv::Scalar(80));
    CColorVector grid;
    QVERIFY(grid.buildGradientGrid(picture));
    QCOMPARE(grid.columns(), 12);
    QCOMPARE(grid.rows(), 12);
    QCOMPARE(grid.cell(0, 0).x, 2);
    QCOMPARE(grid.cell(11, 3).x, 57);
    QCOMPARE(grid.cell(11, 3).y, 17);

    // A bright right half: the cells at the edge see the rise, the others are flat.
    picture(cv::Rect(64, 0, 64, 128)).setTo(200);
    QVERIFY(grid.buildGradientGrid(picture));
    QVERIFY(grid.cell(6, 5).gx > 0);
    QCOMPARE(grid.cell(6, 5).gy, 0);
    QCOMPARE(grid.cell(1, 5).gx, 0);
    QCOMPARE(grid.cell(10, 5).gx, 0);

    // 1000 by 600: half 500 by 300, margins 5 and 3, 98 by 58 cells.
    QVERIFY(grid.buildGradientGrid(cv::Mat(600, 1000, CV_8UC1, cv::Scalar(0))));
    QCOMPARE(grid.columns(), 98);
    QCOMPARE(grid.rows(), 58);

    QVERIFY(!grid.buildGradientGrid(cv::Mat()));
    QVERIFY(!grid.buildGradientGrid(cv::Mat(1, 1, CV_8UC1)));
}

void TestNormalisation::gridStaysInsideHalfPicture()
{
    // Sides of 130 (half 65, margin 0, 13 cells): the last cells' far samples sit on the half
    // picture's last column and row, not one past it. A left-to-right ramp would show a reading from
    // the next row (dark) as a falling gradient at the right edge; the bottom row would read past the
    // picture's memory.
    cv::Mat ramp(130, 130, CV_8UC1);
    for (int x = 0; x < ramp.cols; ++x)
        ramp.col(x).setTo(x);
    CColorVector grid;
    QVERIFY(grid.buildGradientGrid(ramp));
    QCOMPARE(grid.columns(), 13);
    QCOMPARE(grid.rows(), 13);
    for (int c = 0; c < grid.columns(); ++c)
        for (int r = 0; r < grid.rows(); ++r) {
            QVERIFY2(grid.cell(c, r).gx >= 0, qPrintable(QString("cell %1,%2").arg(c).arg(r)));
            QCOMPARE(grid.cell(c, r).gy, 0);
        }
}

void TestNormalisation::cellAgreement_data()
{
    QTest::addColumn<CColorVector::Cell>("a");
    QTest::addColumn<CColorVector::Cell>("b");
    QTest::addColumn<bool>("agree");
    QTest::newRow("flat against down, 90 degrees") << CColorVector::Cell{0, 0} << CColorVector::Cell{0, 40} << true;
    QTest::newRow("flat against diagonal, 135 degrees") << CColorVector::Cell{0, 0} << CColorVector::Cell{40, 40} << false;
    QTest::newRow("right against down") << CColorVector::Cell{30, 0} << CColorVector::Cell{0, 30} << true;
    QTest::newRow("falling counts as flat") << CColorVector::Cell{-50, -50} << CColorVector::Cell{0, 0} << true;
    QTest::newRow("same") << CColorVector::Cell{12, 7} << CColorVector::Cell{12, 7} << true;
}

void TestNormalisation::cellAgreement()
{
    QFETCH(CColorVector::Cell, a);
    QFETCH(CColorVector::Cell, b);
    QFETCH(bool, agree);
    // Ten cells alike, so that the grids agree exactly when the cells do.
    CColorVector ga, gb;
    QVERIFY(ga.assign(2, 5, std::vector<CColorVector::Cell>(10, a)));
    QVERIFY(gb.assign(2, 5, std::vector<CColorVector::Cell>(10, b)));
    int n = -1;
    QCOMPARE(CColorVector::compareGradientGrids(ga, gb, &n), agree);
    QCOMPARE(n, agree ? 10 : -1);
}

void TestNormalisation::agreementThreshold_data()
{
    QTest::addColumn<int>("cells");
    QTest::addColumn<int>("needed");
    QTest::newRow("100 cells") << 100 << 70;
    QTest::newRow("99 cells") << 99 << 69;
    QTest::newRow("144 cells") << 144 << 100;
}

void TestNormalisation::agreementThreshold()
{
    QFETCH(int, cells);
    QFETCH(int, needed);
    const CColorVector reference = column(cells, cells);
    int n = -1;
    QVERIFY(CColorVector::compareGradientGrids(reference, column(cells, needed), &n));
    QCOMPARE(n, needed);
    n = -1;
    QVERIFY(!CColorVector::compareGradientGrids(reference, column(cells, needed - 1), &n));
    QCOMPARE(n, -1);
}

void TestNormalisation::uniformPicturesAgree()
{
    CColorVector a, b;
    QVERIFY(a.buildGradientGrid(cv::Mat(128, 128, CV_8UC1, cv::Scalar(30))));
    QVERIFY(b.buildGradientGrid(cv::Mat(128, 128, CV_8UC1, cv::Scalar(220))));
    QCOMPARE(a.cell(4, 4).gx, 0);
    int n = 0;
    QVERIFY(CColorVector::compareGradientGrids(a, b, &n));
    QCOMPARE(n, 144);
    // A differently shaped grid never agrees.
    QVERIFY(b.buildGradientGrid(cv::Mat(140, 128, CV_8UC1, cv::Scalar(220))));
    QVERIFY(!CColorVector::compareGradientGrids(a, b, &n));
}

void TestNormalisation::releaseAndEmptyGrids()
{
    CColorVector grid;
    QVERIFY(!grid.release());
    QVERIFY(grid.buildGradientGrid(cv::Mat(40, 40, CV_8UC1, cv::Scalar(1))));
    QVERIFY(grid.release());
    QCOMPARE(grid.cellCount(), 0);
    QVERIFY(!grid.release());
    // An empty reference grid agrees with nothing, not even another empty grid.
    CColorVector other;
    QVERIFY(!CColorVector::compareGradientGrids(grid, other));
    // A picture too small for one block builds an empty grid.
    QVERIFY(grid.buildGradientGrid(cv::Mat(8, 200, CV_8UC1, cv::Scalar(1))));
    QVERIFY(grid.isEmpty());
}

QTEST_GUILESS_MAIN(TestNormalisation)
#include "tst_normalisation.moc"
