// The comparison's decisions on drawn stamps and their photographic variants, its stages, and what it
// does with pictures that hold nothing to compare.
#include "matching/normalisation.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"

#include <QTest>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <memory>
#include <thread>

using G = CStampGenerator;
using Stage = CStampMatcher::Stage;

Q_DECLARE_METATYPE(cv::Mat)

namespace {

// The user's framed picture: a stamp on a little of the album page around it.
cv::Mat framed(int seed)
{
    const cv::Mat stamp = G::stamp(seed);
    return G::onPage(stamp, stamp.size() + cv::Size(20, 20), cv::Point(10, 10));
}

// Unit descriptors that differ clearly from each other: one strong component each.
cv::Mat distinctDescriptors(int count)
{
    cv::Mat d(count, 64, CV_32F, cv::Scalar(0));
    for (int i = 0; i < count; ++i) {
        d.at<float>(i, i % 64) = 0.8f;
        d.at<float>(i, (i * 7 + 3) % 64) = 0.6f;
    }
    return d;
}

std::vector<cv::KeyPoint> keypointsAt(const std::vector<cv::Point2f> &points)
{
    std::vector<cv::KeyPoint> out;
    for (const cv::Point2f &p : points)
        out.emplace_back(p, 20.0f, 0.0f, 1000.0f, 0, 1);
    return out;
}

// A thin motif: a tall narrow rocket on a plain ground, its portholes and lettering along its axis.
// Nearly every keypoint lies on that axis, which leaves a homography free across it: fitted alone,
// it folds this outline even against the picture itself.
cv::Mat rocket(int portholes = 5)
{
    cv::Mat picture(320, 240, CV_8UC3, cv::Scalar(225, 232, 238));
    const cv::Point centre(120, 160);
    cv::ellipse(picture, centre, cv::Size(10, 120), 0, 0, 360, cv::Scalar(200, 200, 210), cv::FILLED);
    cv::ellipse(picture, centre, cv::Size(10, 120), 0, 0, 360, cv::Scalar(40, 40, 60), 2);
    for (int k = 0; k < portholes; ++k)
        cv::circle(picture, cv::Point(120, 80 + k * 32), 4, cv::Scalar(150, 80, 30), cv::FILLED);
    cv::putText(picture, "USA", cv::Point(114, 213), cv::FONT_HERSHEY_SIMPLEX, 1 / 3.0, cv::Scalar(30, 30, 200), 1,
                cv::LINE_AA);
    return picture;
}

// A single stem with leaves and a flower: another thin motif.
cv::Mat stem()
{
    cv::Mat picture(320, 240, CV_8UC3, cv::Scalar(225, 232, 238));
    cv::line(picture, cv::Point(120, 32), cv::Point(120, 288), cv::Scalar(40, 120, 40), 12, cv::LINE_AA);
    for (int k = 0; k < 6; ++k)
        cv::ellipse(picture, cv::Point(k % 2 ? 132 : 108, 64 + k * 35), cv::Size(18, 6), k % 2 ? -20 : 20, 0, 360,
                    cv::Scalar(50, 160, 60), cv::FILLED);
    cv::circle(picture, cv::Point(120, 32), 24, cv::Scalar(40, 40, 210), cv::FILLED);
    return picture;
}

} // namespace

class TestStampMatcher : public QObject
{
    Q_OBJECT

private slots:
    void decisions_data();
    void decisions();
    void identicalCutOutAgreesAlmostEverywhere();
    void agreeCountSurvivesRejection();
    void evidencePlacesTheStamp_data();
    void evidencePlacesTheStamp();
    void rejectionLeavesNoEvidence();
    void ratioTest();
    void pairsAreTheRatioTestsChoices();
    void descriptorDistance();
    void fewPairsRejectBeforeHomography();
    void degenerateHomographyNeverPasses();
    void pairsAlongALinePlaceTheOutline();
    void thinMotifs_data();
    void thinMotifs();
    void outlineTest_data();
    void outlineTest();
    void badPictures_data();
    void badPictures();
    void withoutReference();
    void modelsWorkInParallel();
    void preparedCandidateServesEveryReference();
};

void TestStampMatcher::decisions_data()
{
    QTest::addColumn<int>("seed");
    QTest::addColumn<cv::Mat>("candidate");
    QTest::addColumn<bool>("same");
    QTest::addColumn<int>("stage");

    for (int seed : {3, 21, 40}) {
        const cv::Mat stamp = G::stamp(seed);
        const QByteArray s = "seed " + QByteArray::number(seed) + ": ";
        QTest::newRow(s + "turned 15 degrees") << seed << G::rotated(stamp, 15) << true << int(Stage::Accepted);
        QTest::newRow(s + "turned -15 degrees") << seed << G::rotated(stamp, -15) << true << int(Stage::Accepted);
        QTest::newRow(s + "turned 25 degrees") << seed << G::rotated(stamp, 25) << false << int(Stage::Outline);
        QTest::newRow(s + "turned -30 degrees") << seed << G::rotated(stamp, -30) << false << int(Stage::Outline);
        QTest::newRow(s + "upside down") << seed << G::upsideDown(stamp) << false << int(Stage::Outline);
        QTest::newRow(s + "mirrored") << seed << G::mirrored(stamp) << false << int(Stage::Outline);
        QTest::newRow(s + "JPEG quality 30") << seed << G::jpeg(stamp, 30) << true << int(Stage::Accepted);
        QTest::newRow(s + "30 percent darker") << seed << G::lit(stamp, 0.7, 0) << true << int(Stage::Accepted);
        QTest::newRow(s + "brighter") << seed << G::lit(stamp, 1.0, 25) << true << int(Stage::Accepted);
        QTest::newRow(s + "0.4 of the size") << seed << G::scaled(stamp, 0.4) << true << int(Stage::Accepted);
        QTest::newRow(s + "2.5 times the size") << seed << G::scaled(stamp, 2.5) << true << int(Stage::Accepted);
        QTest::newRow(s + "noisy") << seed << G::noisy(stamp, 6, seed) << true << int(Stage::Accepted);
        QTest::newRow(s + "slanted") << seed << G::perspective(stamp, 0.08) << true << int(Stage::Accepted);
        QTest::newRow(s + "on an album page") << seed << G::onPage(stamp, cv::Size(480, 400), cv::Point(200, 90)) << true
                                              << int(Stage::Accepted);
        QTest::newRow(s + "a different stamp") << seed << G::stamp(seed + 1) << false << -1;
        QTest::newRow(s + "another different stamp") << seed << G::rotated(G::stamp(seed + 100), 5) << false << -1;
    }
}

void TestStampMatcher::decisions()
{
    QFETCH(int, seed);
    QFETCH(cv::Mat, candidate);
    QFETCH(bool, same);
    QFETCH(int, stage);
    CStampMatcher matcher;
    matcher.setReference(G::toImage(framed(seed)));
    QVERIFY(matcher.hasReference());
    QCOMPARE(matcher.compareImage(G::toImage(candidate)), same);
    if (stage >= 0)
        QCOMPARE(CStampMatcher::stageName(matcher.lastStage()), CStampMatcher::stageName(Stage(stage)));
    if (same)
        QVERIFY(matcher.agreeCount() > 0);
    else
        QCOMPARE(matcher.agreeCount(), 0);
}

void TestStampMatcher::identicalCutOutAgreesAlmostEverywhere()
{
    // The projected corners are rounded to whole pixels before the warp back, so a few cells at the
    // edges may turn; nearly all must agree.
    for (int seed : {1, 8, 15}) {
        const cv::Mat picture = framed(seed);
        CStampMatcher matcher;
        matcher.setReference(G::toImage(picture));
        QVERIFY(matcher.compareImage(G::toImage(picture)));
        CColorVector grid;
        grid.buildGradientGrid(matcher.referenceImage());
        qInfo("seed %d: %d of %d cells agree", seed, matcher.agreeCount(), grid.cellCount());
        QVERIFY(matcher.agreeCount() >= grid.cellCount() * 9 / 10);
        QVERIFY(matcher.agreeCount() <= grid.cellCount());
    }
}

void TestStampMatcher::agreeCountSurvivesRejection()
{
    CStampMatcher matcher;
    QCOMPARE(matcher.agreeCount(), 0);
    const cv::Mat stamp = G::stamp(6);
    matcher.setReference(G::toImage(stamp));
    QVERIFY(matcher.compareImage(G::toImage(G::rotated(stamp, 10))));
    const int count = matcher.agreeCount();
    QVERIFY(count > 0);
    QVERIFY(!matcher.compareImage(G::toImage(G::upsideDown(stamp))));
    QVERIFY(!matcher.compareImage(G::toImage(G::stamp(7))));
    QVERIFY(!matcher.compareImage(QImage()));
    QCOMPARE(matcher.agreeCount(), count);
}

void TestStampMatcher::evidencePlacesTheStamp_data()
{
    QTest::addColumn<int>("seed");
    QTest::addColumn<double>("degrees");
    QTest::addColumn<double>("factor");
    QTest::newRow("turned 10, 1.5 times the size") << 6 << 10.0 << 1.5;
    QTest::newRow("turned -12, 0.7 of the size") << 21 << -12.0 << 0.7;
    QTest::newRow("upright, twice the size") << 40 << 0.0 << 2.0;
    QTest::newRow("turned 15, as it was") << 3 << 15.0 << 1.0;
}

void TestStampMatcher::evidencePlacesTheStamp()
{
    QFETCH(int, seed);
    QFETCH(double, degrees);
    QFETCH(double, factor);
    const cv::Mat picture = framed(seed);
    const cv::Mat turned = G::rotated(picture, degrees);
    const cv::Mat candidate = G::scaled(turned, factor);
    // Where the generator sends a pixel of the user's picture: turned about its centre onto the
    // grown canvas, then scaled.
    const cv::Point2f centre((picture.cols - 1) / 2.0f, (picture.rows - 1) / 2.0f);
    cv::Mat_<double> turn = cv::getRotationMatrix2D(centre, degrees, 1.0);
    turn(0, 2) += (turned.cols - 1) / 2.0 - centre.x;
    turn(1, 2) += (turned.rows - 1) / 2.0 - centre.y;
    const double sx = double(candidate.cols) / turned.cols, sy = double(candidate.rows) / turned.rows;
    const auto known = [&](QPointF p) {
        return QPointF((turn(0, 0) * p.x() + turn(0, 1) * p.y() + turn(0, 2)) * sx,
                       (turn(1, 0) * p.x() + turn(1, 1) * p.y() + turn(1, 2)) * sy);
    };

    CStampMatcher matcher;
    matcher.setReference(G::toImage(picture));
    QVERIFY(matcher.compareImage(G::toImage(candidate)));
    const CMatchEvidence &evidence = matcher.evidence();
    QVERIFY(!evidence.isEmpty());
    QCOMPARE(evidence.agreeingCells, matcher.agreeCount());
    CColorVector grid;
    grid.buildGradientGrid(matcher.referenceImage());
    QCOMPARE(evidence.cells, grid.cellCount());
    QVERIFY(evidence.inliers >= 4 && evidence.inliers <= evidence.pairs);
    QCOMPARE(evidence.referencePoints.size(), evidence.inliers);
    QCOMPARE(evidence.candidatePoints.size(), evidence.inliers);
    QCOMPARE(evidence.reference.size(), QSize(picture.cols, picture.rows));

    // The outline: the compared part's corners (the picture less a tenth on each side) where the
    // generator put them, within 6 pixels of the comparison's own scale (the candidate at a shorter
    // side of 256), a little more than the fit's threshold, as corners lie beyond the keypoints.
    const double scale = std::min(candidate.cols, candidate.rows) / 256.0;
    const QRectF compared = evidence.compared;
    QCOMPARE(compared, QRectF(picture.cols / 10, picture.rows / 10, picture.cols - picture.cols / 10 * 2,
                              picture.rows - picture.rows / 10 * 2));
    const QPointF corners[4] = {compared.topLeft(), compared.topRight(), compared.bottomRight(), compared.bottomLeft()};
    QCOMPARE(evidence.outline.size(), 4);
    for (int k = 0; k < 4; ++k) {
        const QPointF miss = evidence.outline.at(k) - known(corners[k]);
        QVERIFY2(std::hypot(miss.x(), miss.y()) <= 6.0 * scale,
                 qPrintable(QString("corner %1 is %2, %3 pixels off").arg(k).arg(miss.x()).arg(miss.y())));
    }
    // Every inlier pair joins the same spot of the stamp: within the fit's 5 pixels of the work image.
    const double allowed = 5.0 * scale + 2.0;
    for (qsizetype i = 0; i < evidence.inliers; ++i) {
        const QPointF miss = evidence.candidatePoints.at(i) - known(evidence.referencePoints.at(i));
        QVERIFY2(std::hypot(miss.x(), miss.y()) <= allowed, qPrintable(QString("pair %1").arg(i)));
    }
}

void TestStampMatcher::rejectionLeavesNoEvidence()
{
    const cv::Mat stamp = framed(9);
    const QImage rejected[] = {G::toImage(G::upsideDown(stamp)), G::toImage(G::stamp(77)),
                               G::toImage(G::rotated(stamp, 30)), QImage()};
    CStampMatcher matcher;
    QVERIFY(matcher.evidence().isEmpty());
    matcher.setReference(G::toImage(stamp));
    for (const QImage &candidate : rejected) {
        QVERIFY(matcher.compareImage(G::toImage(G::rotated(stamp, 5))));
        QVERIFY(!matcher.evidence().isEmpty());
        QVERIFY(!matcher.compareImage(candidate));
        QVERIFY(matcher.evidence().isEmpty());
        QVERIFY(matcher.evidence().outline.isEmpty());
        QVERIFY(matcher.evidence().candidatePoints.isEmpty());
    }
}

void TestStampMatcher::ratioTest()
{
    const cv::Mat candidates = distinctDescriptors(6);
    const std::vector<cv::KeyPoint> keypoints = keypointsAt({{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}});
    cv::Mat query = candidates.row(2).clone();
    query.at<float>(0, 10) += 0.05f;
    QCOMPARE(CStampMatcher::matchDescriptor(query.ptr<float>(), 1, keypoints, candidates), 2);
    // Another Laplacian sign sees none of them.
    QCOMPARE(CStampMatcher::matchDescriptor(query.ptr<float>(), -1, keypoints, candidates), -1);
    // Halfway between two candidates: not distinct enough.
    cv::Mat between = (candidates.row(1) + candidates.row(2)) * 0.5;
    QCOMPARE(CStampMatcher::matchDescriptor(between.ptr<float>(), 1, keypoints, candidates), -1);
    // A single eligible candidate is compared with the starting distance, so it matches.
    std::vector<cv::KeyPoint> oneEligible = keypoints;
    for (size_t k = 0; k < oneEligible.size(); ++k)
        oneEligible[k].class_id = k == 4 ? 1 : -1;
    QCOMPARE(CStampMatcher::matchDescriptor(query.ptr<float>(), 1, oneEligible, candidates), 4);

    const auto pairs = CStampMatcher::collectPairs(keypoints, candidates, keypoints, candidates);
    QCOMPARE(int(pairs.size()), 6);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(pairs[size_t(i)], std::make_pair(i, i));
}

void TestStampMatcher::pairsAreTheRatioTestsChoices()
{
    // collectPairs forms all distances at once; its pairs must be exactly matchDescriptor's choices,
    // also with repeated candidates (equal distances), near misses of the ratio and mixed signs.
    cv::RNG rng(21);
    size_t found = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const int references = rng.uniform(1, 30), candidates = rng.uniform(1, 70);
        cv::Mat a(references, 64, CV_32F), b(candidates, 64, CV_32F);
        rng.fill(a, cv::RNG::NORMAL, 0, 1);
        rng.fill(b, cv::RNG::NORMAL, 0, 1);
        for (int i = 0; i < references; ++i) {
            if (i % 3 == 0) { // close to a candidate, so that some pass
                b.row(rng.uniform(0, candidates)).copyTo(a.row(i));
                a.row(i) += cv::Scalar(rng.uniform(0.0, 0.3));
            }
            cv::normalize(a.row(i), a.row(i));
        }
        for (int j = 0; j < candidates; ++j) {
            if (j > 0 && j % 5 == 0)
                b.row(j - 1).copyTo(b.row(j));
            cv::normalize(b.row(j), b.row(j));
        }
        std::vector<cv::KeyPoint> ka(static_cast<size_t>(references)), kb(static_cast<size_t>(candidates));
        for (auto &k : ka)
            k.class_id = rng.uniform(0, 2) ? 1 : -1;
        for (auto &k : kb)
            k.class_id = rng.uniform(0, 4) ? 1 : -1;
        std::vector<std::pair<int, int>> expected;
        for (int i = 0; i < references; ++i) {
            const int j = CStampMatcher::matchDescriptor(a.ptr<float>(i), ka[size_t(i)].class_id, kb, b);
            if (j >= 0)
                expected.emplace_back(i, j);
        }
        QCOMPARE(CStampMatcher::collectPairs(ka, a, kb, b), expected);
        found += expected.size();
    }
    qInfo("%zu pairs in all", found);
    QVERIFY(found > 40);
}

void TestStampMatcher::descriptorDistance()
{
    const float a[8] = {1, 0, 0, 0, 1, 0, 0, 0};
    const float b[8] = {0, 0, 0, 0, 0, 0, 0, 3};
    QCOMPARE(CStampMatcher::descriptorDistance(a, b, 1e9, 8), 11.0);
    // Given up after the first four once past the bound.
    QCOMPARE(CStampMatcher::descriptorDistance(a, b, 0.5, 8), 1.0);
    QCOMPARE(CStampMatcher::descriptorDistance(a, b, 1e9, 0), 0.0);
    QCOMPARE(CStampMatcher::descriptorDistance(a, b, 1e9, -4), 0.0);
}

void TestStampMatcher::fewPairsRejectBeforeHomography()
{
    CStampMatcher matcher;
    const std::array<cv::Point2f, 4> corners = {cv::Point2f(0, 0), {100, 0}, {100, 150}, {0, 150}};
    std::array<cv::Point, 4> projected;
    const std::vector<cv::Point2f> points = {{10, 10}, {90, 15}, {80, 140}, {15, 120}, {50, 60}};

    // Three pairs: no fit is tried.
    const std::vector<cv::KeyPoint> three = keypointsAt({points.begin(), points.begin() + 3});
    QVERIFY(!matcher.locateReference(three, distinctDescriptors(3), three, distinctDescriptors(3), corners, projected));
    QCOMPARE(CStampMatcher::stageName(matcher.lastStage()), "pairs");

    // Five pairs of a pure shift: the outline moves with it.
    const std::vector<cv::KeyPoint> five = keypointsAt(points);
    std::vector<cv::KeyPoint> shifted = five;
    for (cv::KeyPoint &kp : shifted)
        kp.pt += cv::Point2f(40, 25);
    QVERIFY(matcher.locateReference(five, distinctDescriptors(5), shifted, distinctDescriptors(5), corners, projected));
    QCOMPARE(projected[0], cv::Point(40, 25));
    QCOMPARE(projected[2], cv::Point(140, 175));
}

void TestStampMatcher::degenerateHomographyNeverPasses()
{
    // Every reference keypoint pairs with candidate keypoints on one spot, or on one line: no fit
    // places the outline, and nothing is projected.
    CStampMatcher matcher;
    const std::array<cv::Point2f, 4> corners = {cv::Point2f(0, 0), {128, 0}, {128, 160}, {0, 160}};
    const std::vector<cv::KeyPoint> reference = keypointsAt({{10, 10}, {100, 12}, {90, 150}, {12, 130}, {60, 70}, {30, 90}});
    for (const auto &points : {std::vector<cv::Point2f>(6, cv::Point2f(77, 77)),
                               std::vector<cv::Point2f>{{10, 50}, {20, 50}, {30, 50}, {40, 50}, {50, 50}, {60, 50}}}) {
        std::array<cv::Point, 4> projected = {};
        QVERIFY(!matcher.locateReference(reference, distinctDescriptors(6), keypointsAt(points), distinctDescriptors(6),
                                         corners, projected));
        QCOMPARE(CStampMatcher::stageName(matcher.lastStage()), "homography");
    }
}

// A thin motif's outline is placed by a similarity where the homography folds it: the motif passes
// against itself, smaller, larger and compressed; turned too far or against another thin motif it
// is still refused.
void TestStampMatcher::pairsAlongALinePlaceTheOutline()
{
    // Eleven pairs in a band 3 pixels wide down the middle, the candidate twice the size and
    // shifted, each point off by up to half a pixel: the homography fitted to them folds the
    // outline, the placement follows the similarity.
    const std::array<cv::Point2f, 4> corners = {cv::Point2f(0, 0), {128, 0}, {128, 160}, {0, 160}};
    cv::RNG rng(7);
    std::vector<cv::Point2f> reference, candidate;
    for (int k = 0; k < 11; ++k) {
        reference.emplace_back(63.5f + float(rng.uniform(-1.5, 1.5)), 10.0f + 14.0f * k);
        candidate.push_back(reference.back() * 2 + cv::Point2f(5, 7)
                            + cv::Point2f(float(rng.uniform(-0.5, 0.5)), float(rng.uniform(-0.5, 0.5))));
    }
    const cv::Mat homography = cv::findHomography(reference, candidate, cv::RANSAC, 5.0);
    std::vector<cv::Point2f> folded;
    cv::perspectiveTransform(std::vector<cv::Point2f>(corners.begin(), corners.end()), folded, homography);
    QVERIFY(!CStampMatcher::outlineIsUpright({folded[0], folded[1], folded[2], folded[3]}));

    CStampMatcher matcher;
    std::array<cv::Point, 4> projected;
    QVERIFY(matcher.locateReference(keypointsAt(reference), distinctDescriptors(11), keypointsAt(candidate),
                                    distinctDescriptors(11), corners, projected));
    for (size_t k = 0; k < 4; ++k) {
        const cv::Point2f expected = corners[k] * 2 + cv::Point2f(5, 7);
        QVERIFY2(cv::norm(cv::Point2f(projected[k]) - expected) < 4,
                 qPrintable(QStringLiteral("corner %1 at %2,%3").arg(k).arg(projected[k].x).arg(projected[k].y)));
    }
}

void TestStampMatcher::thinMotifs_data()
{
    QTest::addColumn<cv::Mat>("reference");
    QTest::addColumn<cv::Mat>("candidate");
    QTest::addColumn<bool>("same");
    QTest::addColumn<int>("stage");
    const cv::Mat thin = rocket();
    QTest::newRow("rocket against itself") << thin << thin << true << int(Stage::Accepted);
    QTest::newRow("rocket, 0.8 of the size") << thin << G::scaled(thin, 0.8) << true << int(Stage::Accepted);
    QTest::newRow("rocket, twice the size") << thin << G::scaled(thin, 2.0) << true << int(Stage::Accepted);
    QTest::newRow("rocket, JPEG quality 70") << thin << G::jpeg(thin, 70) << true << int(Stage::Accepted);
    QTest::newRow("rocket turned 30 degrees") << thin << G::rotated(thin, 30, cv::Scalar(225, 232, 238)) << false
                                              << int(Stage::Outline);
    QTest::newRow("rocket upside down") << thin << G::upsideDown(thin) << false << -1;
    QTest::newRow("rocket against a stem") << thin << stem() << false << -1;
    QTest::newRow("rocket against one with three portholes") << thin << rocket(3) << false << -1;
}

void TestStampMatcher::thinMotifs()
{
    QFETCH(cv::Mat, reference);
    QFETCH(cv::Mat, candidate);
    QFETCH(bool, same);
    QFETCH(int, stage);
    CStampMatcher matcher;
    matcher.setReference(G::toImage(reference));
    QCOMPARE(matcher.compareImage(G::toImage(candidate)), same);
    if (stage >= 0)
        QCOMPARE(CStampMatcher::stageName(matcher.lastStage()), CStampMatcher::stageName(Stage(stage)));
}

void TestStampMatcher::outlineTest_data()
{
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    QTest::addColumn<QList<QPointF>>("corners");
    QTest::addColumn<bool>("upright");
    auto turned = [](double degrees) {
        const double a = degrees * CV_PI / 180, c = std::cos(a), s = std::sin(a);
        QList<QPointF> out;
        for (const QPointF &p : {QPointF(-60, -80), QPointF(60, -80), QPointF(60, 80), QPointF(-60, 80)})
            out << QPointF(200 + p.x() * c - p.y() * s, 200 + p.x() * s + p.y() * c);
        return out;
    };
    QTest::newRow("upright") << turned(0) << true;
    QTest::newRow("turned 15") << turned(15) << true;
    QTest::newRow("turned -19") << turned(-19) << true;
    QTest::newRow("turned 25") << turned(25) << false;
    QTest::newRow("upside down") << turned(180) << false;
    QTest::newRow("mirrored") << QList<QPointF>{{260, 120}, {140, 120}, {140, 280}, {260, 280}} << false;
    QTest::newRow("collapsed on a point") << QList<QPointF>{{77, 77}, {77, 77}, {77, 77}, {77, 77}} << false;
    QTest::newRow("NaN corner") << QList<QPointF>{{0, 0}, {100, 0}, {nan, nan}, {0, 100}} << false;
    QTest::newRow("all NaN") << QList<QPointF>{{nan, nan}, {nan, nan}, {nan, nan}, {nan, nan}} << false;
    QTest::newRow("infinite corner") << QList<QPointF>{{0, 0}, {inf, 0}, {100, 100}, {0, 100}} << false;
}

void TestStampMatcher::outlineTest()
{
    QFETCH(QList<QPointF>, corners);
    QFETCH(bool, upright);
    std::array<cv::Point2f, 4> points;
    for (int k = 0; k < 4; ++k)
        points[size_t(k)] = cv::Point2f(float(corners[k].x()), float(corners[k].y()));
    QCOMPARE(CStampMatcher::outlineIsUpright(points), upright);
}

void TestStampMatcher::badPictures_data()
{
    QTest::addColumn<QImage>("picture");
    cv::Mat noise(200, 160, CV_8UC3, cv::Scalar(120, 60, 30));
    noise = G::noisy(noise, 4, 3);
    QTest::newRow("null") << QImage();
    QTest::newRow("1 by 1") << G::toImage(cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)));
    QTest::newRow("9 by 500") << G::toImage(cv::Mat(500, 9, CV_8UC3, cv::Scalar(1, 2, 3)));
    QTest::newRow("500 by 9") << G::toImage(cv::Mat(9, 500, CV_8UC3, cv::Scalar(1, 2, 3)));
    QTest::newRow("all black") << G::toImage(cv::Mat(200, 160, CV_8UC3, cv::Scalar(0, 0, 0)));
    QTest::newRow("all white") << G::toImage(cv::Mat(200, 160, CV_8UC3, cv::Scalar(255, 255, 255)));
    QTest::newRow("one colour with noise") << G::toImage(noise);
    QTest::newRow("banner 20 by 4000") << G::toImage(G::stamp(2)).scaled(20, 4000);
    QTest::newRow("grey format") << G::toImage(G::stamp(3)).convertToFormat(QImage::Format_Grayscale8);
}

void TestStampMatcher::badPictures()
{
    QFETCH(QImage, picture);
    // As a candidate.
    CStampMatcher matcher;
    matcher.setReference(G::toImage(G::stamp(4)));
    QVERIFY(matcher.hasReference());
    QVERIFY(!matcher.compareImage(picture));
    QCOMPARE(matcher.agreeCount(), 0);
    // As the reference: a model that finds nothing rejects everything, the picture itself too.
    CStampMatcher fromBad;
    fromBad.setReference(picture);
    const bool usable = fromBad.hasReference();
    const bool self = fromBad.compareImage(picture);
    QVERIFY(usable || !self);
    QVERIFY(!fromBad.compareImage(G::toImage(G::stamp(4))));
}

void TestStampMatcher::withoutReference()
{
    CStampMatcher matcher;
    const QImage stamp = G::toImage(G::stamp(5));
    QVERIFY(!matcher.compareImage(stamp));
    QCOMPARE(CStampMatcher::stageName(matcher.lastStage()), "reference");
    matcher.setReference(stamp);
    QVERIFY(matcher.compareImage(stamp));
    QVERIFY(matcher.memoryBytes() > 0);
    matcher.release();
    QVERIFY(!matcher.hasReference());
    QCOMPARE(matcher.memoryBytes(), size_t(0));
    QVERIFY(!matcher.compareImage(stamp));
    // A second setReference replaces the first.
    matcher.setReference(G::toImage(G::stamp(6)));
    QVERIFY(!matcher.compareImage(stamp));
    QVERIFY(matcher.compareImage(G::toImage(G::stamp(6))));
}

void TestStampMatcher::modelsWorkInParallel()
{
    // Each download worker owns a model and uses it on its own thread: models built on this thread
    // and run side by side must answer exactly as they do one after another.
    constexpr int models = 4;
    std::vector<QImage> candidates;
    for (int seed = 30; seed < 30 + models; ++seed) {
        candidates.push_back(G::toImage(G::rotated(G::stamp(seed), 7)));
        candidates.push_back(G::toImage(G::jpeg(G::stamp(seed + 50), 50)));
    }
    auto runAll = [&](CStampMatcher &matcher) {
        std::vector<int> answers;
        for (const QImage &candidate : candidates)
            answers.push_back(matcher.compareImage(candidate) ? matcher.agreeCount() : -1);
        return answers;
    };
    std::vector<std::unique_ptr<CStampMatcher>> sequential, parallel;
    for (int k = 0; k < models; ++k) {
        for (auto *list : {&sequential, &parallel}) {
            list->push_back(std::make_unique<CStampMatcher>());
            list->back()->setReference(G::toImage(G::stamp(30 + k)));
        }
    }
    std::vector<std::vector<int>> expected, actual(models);
    for (auto &matcher : sequential)
        expected.push_back(runAll(*matcher));
    std::vector<std::thread> threads;
    for (int k = 0; k < models; ++k)
        threads.emplace_back([&, k] { actual[size_t(k)] = runAll(*parallel[size_t(k)]); });
    for (std::thread &t : threads)
        t.join();
    QCOMPARE(actual, expected);
    // Each model recognises its own stamp and nobody else's.
    for (int k = 0; k < models; ++k)
        for (int c = 0; c < int(candidates.size()); ++c)
            QCOMPARE(expected[size_t(k)][size_t(c)] > 0, c == 2 * k);
}

void TestStampMatcher::preparedCandidateServesEveryReference()
{
    // The server prepares a catalogue picture once and compares it with the upload at two sizes and
    // turned: a prepared candidate must be judged by every reference as the picture itself is, and
    // must come out of a comparison as it went in.
    std::vector<QImage> pictures;
    for (int seed = 40; seed < 43; ++seed) {
        pictures.push_back(G::toImage(G::rotated(G::stamp(seed), 6)));
        pictures.push_back(G::toImage(G::scaled(G::stamp(seed), 0.5)));
    }
    pictures.push_back(QImage());
    pictures.push_back(G::toImage(cv::Mat(20, 400, CV_8UC3, cv::Scalar(90, 120, 150))));
    std::vector<CStampMatcher::Candidate> prepared;
    CSurf surf;
    for (const QImage &picture : pictures)
        prepared.push_back(CStampMatcher::prepareCandidate(toColorImage(picture), surf));
    for (int seed = 40; seed < 43; ++seed) {
        for (int side : {CStampMatcher::referenceSide, 2 * CStampMatcher::referenceSide}) {
            CStampMatcher direct, reusing;
            direct.setReference(G::toImage(framed(seed)), side);
            reusing.setReference(G::toImage(framed(seed)), side);
            for (size_t k = 0; k < pictures.size(); ++k) {
                const QByteArray row = QByteArray::number(seed) + " at " + QByteArray::number(side) + ", picture "
                    + QByteArray::number(int(k));
                const bool same = direct.compareImage(pictures[k]);
                QCOMPARE(reusing.compareCandidate(prepared[k]), same);
                QVERIFY2(reusing.lastStage() == direct.lastStage(), row);
                QVERIFY2(reusing.evidence().inliers == direct.evidence().inliers, row);
                QVERIFY2(reusing.evidence().outline == direct.evidence().outline, row);
                // Its own stamp, and no other.
                QVERIFY2(same == (k / 2 == size_t(seed - 40) && k < 6), row);
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestStampMatcher)
#include "tst_stampmatcher.moc"
