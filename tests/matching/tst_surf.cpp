// Our SURF against the keypoints and descriptors that OpenCV's SURF produced for the pictures in
// tests/data/surf, and its behaviour on pictures that hold nothing to find.
#include "matching/simd.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "matching/surf.h"
#include "matching/surfkernels.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTextStream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

Q_DECLARE_METATYPE(cv::Mat)

namespace {

struct Golden
{
    float x, y, size, angle;
    int laplacian;
    std::vector<float> descriptor;
};

std::vector<Golden> readGolden(const QString &path)
{
    std::vector<Golden> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return out;
    QTextStream in(&file);
    const int count = in.readLine().trimmed().toInt();
    for (int k = 0; k < count && !in.atEnd(); ++k) {
        const QStringList fields = in.readLine().split(' ', Qt::SkipEmptyParts);
        if (fields.size() != 7 + CSurf::descriptorSize)
            return {};
        Golden g;
        g.x = fields[0].toFloat();
        g.y = fields[1].toFloat();
        g.size = fields[2].toFloat();
        g.angle = fields[3].toFloat();
        g.laplacian = fields[6].toInt();
        for (int i = 0; i < CSurf::descriptorSize; ++i)
            g.descriptor.push_back(fields[7 + i].toFloat());
        out.push_back(std::move(g));
    }
    return out;
}

float angleDifference(float a, float b)
{
    const float d = std::fmod(std::fabs(a - b), 360.0f);
    return std::min(d, 360.0f - d);
}

} // namespace

class TestSurf : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithGolden_data();
    void agreesWithGolden();
    void emptyPictures_data();
    void emptyPictures();
    void separateObjectsAgree();
    void narrowPictures_data();
    void narrowPictures();
    void vectorSetAsAsked();
    void windowRowsAreTheFormula();
    void hessianRowsAreTheFormula();
    void windowShrinkIsOpenCvs();
    void orientationWindowsAreTheRule();
    void descriptorDistancesAreTheSum();
};

void TestSurf::agreesWithGolden_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("a stamp") << "a_stamp_128x180";
    QTest::newRow("b turned stamp") << "b_stamp_x2_rot10_400x460";
    QTest::newRow("c texture") << "c_texture_512x512";
    QTest::newRow("d album page") << "d_album_1024x768";
}

void TestSurf::agreesWithGolden()
{
    QFETCH(QString, name);
    const QDir data(TestEnv::dataDir() + "/surf");
    const std::vector<Golden> golden = readGolden(data.filePath("golden/" + name + ".txt"));
    QVERIFY2(!golden.empty(), qPrintable("no golden keypoints under " + data.path()));
    const cv::Mat grey = cv::imread(data.filePath(name + ".png").toStdString(), cv::IMREAD_GRAYSCALE);
    QVERIFY(!grey.empty());

    CSurf surf;
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    surf.detectAndCompute(grey, keypoints, descriptors);
    QCOMPARE(descriptors.rows, int(keypoints.size()));

    // Every golden keypoint looks for the nearest of ours within a pixel that also has its Laplacian
    // sign, size and orientation; each of ours serves one golden keypoint at most.
    std::vector<bool> used(keypoints.size(), false);
    int matched = 0, closeDescriptors = 0;
    for (const Golden &g : golden) {
        int best = -1;
        float bestDistance = 1.0f;
        for (size_t k = 0; k < keypoints.size(); ++k) {
            const cv::KeyPoint &kp = keypoints[k];
            const float distance = std::hypot(kp.pt.x - g.x, kp.pt.y - g.y);
            if (used[k] || distance > bestDistance || kp.class_id != g.laplacian ||
                std::fabs(kp.size - g.size) > 0.05f * g.size || angleDifference(kp.angle, g.angle) > 5.0f)
                continue;
            best = int(k);
            bestDistance = distance;
        }
        if (best < 0)
            continue;
        used[size_t(best)] = true;
        ++matched;
        double squares = 0;
        for (int i = 0; i < CSurf::descriptorSize; ++i) {
            const double d = descriptors.at<float>(best, i) - g.descriptor[size_t(i)];
            squares += d * d;
        }
        if (std::sqrt(squares) <= 0.1)
            ++closeDescriptors;
    }
    const int extra = int(keypoints.size()) - matched;
    const double matchedShare = 100.0 * matched / double(golden.size());
    const double descriptorShare = matched ? 100.0 * closeDescriptors / matched : 0.0;
    const double extraShare = 100.0 * extra / double(golden.size());
    qInfo("%s: OpenCV %zu, ours %zu; matched %.1f%%, descriptors within 0.1: %.1f%%, extra %.1f%%",
          qPrintable(name), golden.size(), keypoints.size(), matchedShare, descriptorShare, extraShare);
    QVERIFY(matchedShare >= 90.0);
    QVERIFY(descriptorShare >= 90.0);
    QVERIFY(extraShare <= 10.0);
}

void TestSurf::emptyPictures_data()
{
    QTest::addColumn<cv::Mat>("picture");
    QTest::newRow("nothing") << cv::Mat();
    QTest::newRow("1 by 1") << cv::Mat(1, 1, CV_8UC1, cv::Scalar(90));
    QTest::newRow("9 by 500") << cv::Mat(500, 9, CV_8UC1, cv::Scalar(90));
    QTest::newRow("500 by 9 colour") << cv::Mat(9, 500, CV_8UC3, cv::Scalar(90, 20, 200));
    QTest::newRow("all black") << cv::Mat(300, 200, CV_8UC1, cv::Scalar(0));
    QTest::newRow("all white") << cv::Mat(300, 200, CV_8UC1, cv::Scalar(255));
    QTest::newRow("floating point") << cv::Mat(300, 200, CV_32FC1, cv::Scalar(0.5));
}

void TestSurf::emptyPictures()
{
    QFETCH(cv::Mat, picture);
    CSurf surf;
    std::vector<cv::KeyPoint> keypoints(3);
    cv::Mat descriptors(3, 64, CV_32F);
    surf.detectAndCompute(picture, keypoints, descriptors);
    QVERIFY(keypoints.empty());
    QCOMPARE(descriptors.rows, 0);
}

void TestSurf::separateObjectsAgree()
{
    // A worker's object keeps nothing from one picture to the next: the second run on a picture gives
    // what a fresh object gives, whatever came between.
    const cv::Mat first = CStampGenerator::stamp(11), second = CStampGenerator::noisy(CStampGenerator::stamp(12), 20);
    CSurf used, fresh;
    std::vector<cv::KeyPoint> a, b;
    cv::Mat da, db;
    used.detectAndCompute(second, a, da);
    used.detectAndCompute(first, a, da);
    fresh.detectAndCompute(first, b, db);
    QVERIFY(!a.empty());
    QCOMPARE(a.size(), b.size());
    QCOMPARE(cv::norm(da, db, cv::NORM_INF), 0.0);
    for (size_t k = 0; k < a.size(); ++k)
        QVERIFY(a[k].pt == b[k].pt && a[k].angle == b[k].angle && a[k].class_id == b[k].class_id);
}

void TestSurf::narrowPictures_data()
{
    // Sides at which some octave's filters fit the picture while the cells to search, or the
    // neighbours around them, run out in one direction only.
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("30 x 54") << 30 << 54;
    QTest::newRow("54 x 30") << 54 << 30;
    QTest::newRow("24 x 300") << 24 << 300;
    QTest::newRow("300 x 24") << 300 << 24;
    QTest::newRow("61 x 120") << 61 << 120;
    QTest::newRow("217 x 73") << 217 << 73;
    QTest::newRow("216 x 216") << 216 << 216;
}

void TestSurf::narrowPictures()
{
    QFETCH(int, width);
    QFETCH(int, height);
    cv::Mat picture;
    cv::resize(CStampGenerator::stamp(5), picture, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    // An object that has just handled a large picture gives what a fresh one gives.
    CSurf used, fresh;
    std::vector<cv::KeyPoint> a, b;
    cv::Mat da, db;
    used.detectAndCompute(CStampGenerator::stamp(6, cv::Size(400, 300)), a, da);
    used.detectAndCompute(picture, a, da);
    fresh.detectAndCompute(picture, b, db);
    QCOMPARE(a.size(), b.size());
    QCOMPARE(da.rows, int(a.size()));
    if (!a.empty())
        QCOMPARE(cv::norm(da, db, cv::NORM_INF), 0.0);
    for (size_t k = 0; k < a.size(); ++k) {
        QVERIFY(a[k].pt == b[k].pt && a[k].size == b[k].size);
        QVERIFY2(a[k].pt.x >= 0 && a[k].pt.x < width && a[k].pt.y >= 0 && a[k].pt.y < height,
                 qPrintable(QString("keypoint at %1, %2").arg(a[k].pt.x).arg(a[k].pt.y)));
        QVERIFY(std::fabs(cv::norm(da.row(int(k))) - 1.0) < 1e-4);
    }
}

void TestSurf::vectorSetAsAsked()
{
    const QByteArray wanted = qgetenv("QUILLET_SIMD");
    qInfo("vector instructions: %s (widest here: %s)", CSimd::name(CSimd::level()), CSimd::name(CSimd::best()));
    if (wanted.isEmpty()) {
        QCOMPARE(CSimd::level(), CSimd::best());
        return;
    }
    for (CSimd::Level l : {CSimd::Level::Sse2, CSimd::Level::Avx2, CSimd::Level::Avx512}) {
        if (wanted != CSimd::name(l))
            continue;
        if (!CSimd::supported(l))
            QSKIP("this processor lacks the asked vector instructions");
        QCOMPARE(CSimd::level(), l);
        return;
    }
    QFAIL("QUILLET_SIMD names no vector instruction set");
}

void TestSurf::windowRowsAreTheFormula()
{
    // Turned rows of samples at all kinds of angles and lengths, inside the picture, across its edges
    // and beyond them, each against the rule worked out sample by sample: every lane of the kernel in
    // use, and its tail, must give the same byte.
    cv::Mat picture(97, 131, CV_8UC1);
    cv::RNG rng(7);
    rng.fill(picture, cv::RNG::UNIFORM, 0, 256);
    const unsigned char *image = picture.ptr();
    const size_t stride = picture.step;
    const int lastCol = picture.cols - 1, lastRow = picture.rows - 1;
    int rows = 0, outside = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const float angle = rng.uniform(0.0f, float(2 * CV_PI));
        const float dx = std::cos(angle), dy = -std::sin(angle);
        const int count = rng.uniform(1, 90);
        const float x0 = rng.uniform(-40.0f, 170.0f), y0 = rng.uniform(-40.0f, 136.0f);
        if (!CSurfKernels::stepsAreExact(x0, dx, count) || !CSurfKernels::stepsAreExact(y0, dy, count))
            continue;
        ++rows;
        std::vector<unsigned char> out(size_t(count), 0);
        CSurfKernels::windowRow(image, stride, picture.cols, picture.rows, x0, y0, dx, dy, count, out.data());
        double x = x0, y = y0;
        for (int j = 0; j < count; ++j, x += dx, y += dy) {
            const int ix = cvFloor(x), iy = cvFloor(y);
            int expected = 0;
            if (ix >= 0 && ix < lastCol && iy >= 0 && iy < lastRow) {
                const float a = float(x - ix), b = float(y - iy);
                const unsigned char *c = image + size_t(iy) * stride + size_t(ix);
                expected = cvRound(c[0] * (1.f - a) * (1.f - b) + c[1] * a * (1.f - b) + c[stride] * (1.f - a) * b +
                                   c[stride + 1] * a * b);
            } else {
                ++outside;
                expected = picture.at<unsigned char>(std::clamp(cvRound(y), 0, lastRow), std::clamp(cvRound(x), 0, lastCol));
            }
            if (out[size_t(j)] != expected)
                QFAIL(qPrintable(QString("trial %1, sample %2 of %3: %4, expected %5")
                                     .arg(trial).arg(j).arg(count).arg(out[size_t(j)]).arg(expected)));
        }
    }
    QVERIFY(rows > 2000);
    QVERIFY(outside > 10000);
}

void TestSurf::hessianRowsAreTheFormula()
{
    // Rows of filter responses on a random integral image, dense and strided, of many lengths: each
    // sample's determinant and Laplacian sign against the formula worked out on its own.
    cv::Mat picture(120, 300, CV_8UC1), sum;
    cv::RNG rng(3);
    rng.fill(picture, cv::RNG::UNIFORM, 0, 256);
    cv::integral(picture, sum, CV_32S);
    const int stride = int(sum.step1());
    auto box = [&](int x1, int y1, int x2, int y2, float weight) {
        CSurfKernels::Box b;
        b.p0 = y1 * stride + x1;
        b.p1 = y1 * stride + x2;
        b.p2 = y2 * stride + x1;
        b.p3 = y2 * stride + x2;
        b.weight = weight / float((x2 - x1) * (y2 - y1));
        return b;
    };
    // The 15-pixel filters.
    const CSurfKernels::Box dxx[3] = {box(0, 3, 5, 12, 1), box(5, 3, 10, 12, -2), box(10, 3, 15, 12, 1)};
    const CSurfKernels::Box dyy[3] = {box(3, 0, 12, 5, 1), box(3, 5, 12, 10, -2), box(3, 10, 12, 15, 1)};
    const CSurfKernels::Box dxy[4] = {box(2, 2, 7, 7, 1), box(8, 2, 13, 7, -1), box(2, 8, 7, 13, -1), box(8, 8, 13, 13, 1)};
    auto filter = [](const int *p, const CSurfKernels::Box *boxes, int n) {
        double d = 0;
        for (int k = 0; k < n; ++k)
            d += double(float(p[boxes[k].p0] + p[boxes[k].p3] - p[boxes[k].p1] - p[boxes[k].p2]) * boxes[k].weight);
        return float(d);
    };
    for (int step : {1, 2, 4, 8})
        for (int count : {1, 3, 7, 8, 15, 16, 17, 31, 33, (300 - 15) / step + 1}) {
            if ((count - 1) * step + 15 > 300)
                continue;
            for (int i = 0; i + 15 <= 120; i += 13) {
                const int *row = sum.ptr<int>(i);
                std::vector<float> det(size_t(count), -1);
                std::vector<signed char> lap(size_t(count), 5);
                CSurfKernels::hessianRow(row, step, count, dxx, dyy, dxy, det.data(), lap.data());
                for (int j = 0; j < count; ++j) {
                    const int *p = row + j * step;
                    const float xx = filter(p, dxx, 3), yy = filter(p, dyy, 3), xy = filter(p, dxy, 4);
                    const float expected = xx * yy - 0.81f * xy * xy;
                    const float trace = xx + yy;
                    QVERIFY2(det[size_t(j)] == expected, qPrintable(QString("step %1, sample %2").arg(step).arg(j)));
                    QCOMPARE(int(lap[size_t(j)]), (trace > 0) - (trace < 0));
                }
            }
        }
}

void TestSurf::windowShrinkIsOpenCvs()
{
    // Our area averaging of descriptor windows against OpenCV's INTER_AREA resize, byte for byte, over
    // every window side SURF meets (up to the largest filters on a big picture), noise and flat.
    cv::RNG rng(5);
    CSurfKernels::AreaWork work;
    int handled = 0;
    for (int side = 1; side <= 700; side += side < 100 ? 1 : 7) {
        std::vector<unsigned char> window(size_t(side) * size_t(side) + 4);
        cv::Mat view(side, side, CV_8U, window.data());
        if (side % 2)
            rng.fill(view, cv::RNG::UNIFORM, 0, 256);
        else
            view.setTo(cv::Scalar(side % 256));
        cv::Mat expected;
        cv::resize(view, expected, cv::Size(21, 21), 0, 0, cv::INTER_AREA);
        unsigned char patch[21 * 21];
        if (!CSurfKernels::shrinkWindow(window.data(), side, 21, patch, work))
            continue;
        ++handled;
        const cv::Mat ours(21, 21, CV_8U, patch);
        QVERIFY2(cv::norm(ours, expected, cv::NORM_INF) == 0, qPrintable(QString("window side %1").arg(side)));
    }
    QVERIFY(handled > 150);
}

void TestSurf::orientationWindowsAreTheRule()
{
    // Each of the 72 windows (starting every 5 degrees) sums, in sample order, the samples whose
    // rounded angle lies less than 30 degrees from its start either way round the circle.
    cv::RNG rng(9);
    for (int trial = 0; trial < 200; ++trial) {
        const int count = rng.uniform(1, 114);
        float x[113], y[113];
        int angles[113];
        for (int k = 0; k < count; ++k) {
            x[k] = rng.uniform(-1.0f, 1.0f);
            y[k] = rng.uniform(-1.0f, 1.0f);
            angles[k] = rng.uniform(0, 361);
        }
        float sumX[72], sumY[72];
        CSurfKernels::sumOrientationWindows(x, y, angles, count, sumX, sumY);
        for (int w = 0; w < 72; ++w) {
            float ex = 0, ey = 0;
            for (int k = 0; k < count; ++k) {
                const int d = ((angles[k] - 5 * w) % 360 + 360) % 360;
                if (d < 30 || d > 330) {
                    ex += x[k];
                    ey += y[k];
                }
            }
            // Exactly equal, not merely close: the sums must be formed in the same order.
            QVERIFY2(sumX[w] == ex && sumY[w] == ey, qPrintable(QString("trial %1, window %2").arg(trial).arg(w)));
        }
    }
}

void TestSurf::descriptorDistancesAreTheSum()
{
    // Distances to descriptors kept by columns, several in the lanes at once, against the matcher's
    // own sum, exactly, for lengths with and without a remainder after the groups of four.
    cv::RNG rng(13);
    for (int length : {64, 10, 3})
        for (int count : {1, 2, 3, 5, 8, 9, 17, 40}) {
            cv::Mat a(1, length, CV_32F), rows(count, length, CV_32F), columns;
            rng.fill(a, cv::RNG::UNIFORM, -1, 1);
            rng.fill(rows, cv::RNG::UNIFORM, -1, 1);
            cv::transpose(rows, columns);
            std::vector<double> out(size_t(count), -1);
            CSurfKernels::squaredDistances(a.ptr<float>(), columns.ptr<float>(), columns.step1(), count, length, out.data());
            for (int c = 0; c < count; ++c)
                QVERIFY2(out[size_t(c)] == CStampMatcher::descriptorDistance(a.ptr<float>(), rows.ptr<float>(c), 1e300, length),
                         qPrintable(QString("length %1, descriptor %2 of %3").arg(length).arg(c).arg(count)));
        }
}

QTEST_GUILESS_MAIN(TestSurf)
#include "tst_surf.moc"
