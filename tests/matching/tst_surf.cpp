// Our SURF against the keypoints and descriptors that OpenCV's SURF produced for the pictures in
// tests/data/surf, and its behaviour on pictures that hold nothing to find.
#include "matching/stampgenerator.h"
#include "matching/surf.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTextStream>
#include <opencv2/imgcodecs.hpp>

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

QTEST_GUILESS_MAIN(TestSurf)
#include "tst_surf.moc"
