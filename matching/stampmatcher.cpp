#include "stampmatcher.h"

#include "normalisation.h"
#include "surfkernels.h"

#include <QDebug>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdlib>

namespace {

constexpr double pi = 3.141592653589793;
// Projected corners further out than this are no placement of a stamp; it also keeps the rounding to
// int well defined.
constexpr double farAway = 1.0e6;
constexpr int maxAspect = 10;
// Pairs whose reference points spread less than this across their line (see spread()) are a thin
// motif's, and the pairs a similarity must fit to place it. Stamps' pairs spread 0.1 to 0.3; a
// rocket's, a tower's or a stem's 0.04 to 0.05; the few chance pairs of a mirrored or another stamp
// spread little too, but fit a similarity with only 2 or 3 of them.
constexpr double thinSpread = 0.08;
constexpr int minimumAlongLine = 6;

// The nearest and second-nearest of the distances offered, for the ratio test.
struct NearestTwo
{
    double best = 1000000.0;
    double second = 1000000.0;
    int index = -1;

    void offer(double d, int j)
    {
        if (d < best) {
            second = best;
            best = d;
            index = j;
        } else if (d < second) {
            second = d;
        }
    }
    // The nearest, when it is clearly nearer than the second; -1 otherwise.
    int accepted() const { return index >= 0 && best < 0.6 * second ? index : -1; }
};

int sideAngle(const cv::Point2f &from, const cv::Point2f &to)
{
    return int(std::atan2(double(to.y - from.y), double(to.x - from.x)) * 180.0 / pi);
}

// How widely the points (those with a non-zero `mask` entry, all without a mask) spread across
// their main line: their standard deviation across it, as a share of the outline's extent across
// it. Points on a line give 0; points spread evenly over the outline about 0.29.
double spread(const std::vector<cv::Point2f> &points, const cv::Mat &mask, const std::array<cv::Point2f, 4> &outline)
{
    std::vector<cv::Point2f> chosen;
    for (size_t n = 0; n < points.size(); ++n) {
        if (mask.empty() || mask.at<uchar>(int(n)))
            chosen.push_back(points[n]);
    }
    if (chosen.size() < 2)
        return 0;
    cv::Mat covariance, mean;
    cv::calcCovarMatrix(cv::Mat(chosen).reshape(1), covariance, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE);
    cv::Mat eigenvalues, eigenvectors;
    cv::eigen(covariance, eigenvalues, eigenvectors);
    // Across the line: the eigenvector of the smaller eigenvalue.
    const double ax = eigenvectors.at<double>(1, 0), ay = eigenvectors.at<double>(1, 1);
    double low = 1e30, high = -1e30;
    for (const cv::Point2f &corner : outline) {
        low = std::min(low, corner.x * ax + corner.y * ay);
        high = std::max(high, corner.x * ax + corner.y * ay);
    }
    return high > low ? std::sqrt(std::max(0.0, eigenvalues.at<double>(1))) / (high - low) : 0;
}

// Projects the corners through the 3 x 3 transform, rounded to whole pixels; false for no
// transform, or when a corner lands at infinity or absurdly far away (a degenerate fit).
bool projectCorners(const cv::Mat &transform, const std::array<cv::Point2f, 4> &corners, std::array<cv::Point, 4> &out)
{
    if (transform.rows != 3 || transform.cols != 3)
        return false;
    cv::Mat_<double> h;
    transform.convertTo(h, CV_64F);
    for (size_t k = 0; k < 4; ++k) {
        const double x = corners[k].x, y = corners[k].y;
        const double z = 1.0 / (h(2, 0) * x + h(2, 1) * y + h(2, 2));
        const double X = (h(0, 0) * x + h(0, 1) * y + h(0, 2)) * z;
        const double Y = (h(1, 0) * x + h(1, 1) * y + h(1, 2)) * z;
        if (!std::isfinite(X) || !std::isfinite(Y) || std::abs(X) > farAway || std::abs(Y) > farAway)
            return false;
        out[k] = cv::Point(int(std::nearbyint(X)), int(std::nearbyint(Y)));
    }
    return true;
}

} // namespace

CStampMatcher::CStampMatcher() = default;

CStampMatcher::~CStampMatcher()
{
    release();
}

const char *CStampMatcher::stageName(Stage stage)
{
    switch (stage) {
    case Stage::Accepted: return "accepted";
    case Stage::NoReference: return "reference";
    case Stage::Picture: return "picture";
    case Stage::TooSmall: return "size";
    case Stage::Shape: return "shape";
    case Stage::Pairs: return "pairs";
    case Stage::Homography: return "homography";
    case Stage::Outline: return "outline";
    case Stage::Appearance: return "grid";
    }
    return "unknown";
}

bool CStampMatcher::reject(Stage stage)
{
    m_lastStage = stage;
    m_evidence = CMatchEvidence();
    return false;
}

void CStampMatcher::setReference(const QImage &picture, int side)
{
    release();
    try {
        const cv::Mat reference = normaliseReference(picture, side);
        if (reference.empty())
            return;
        m_referenceImage = reference;
        m_referencePicture = picture;
        m_referenceCrop = referenceCrop(cv::Size(picture.width(), picture.height()));
        m_surf.detectAndCompute(m_referenceImage, m_referenceKeypoints, m_referenceDescriptors);
        // The reference's grid is the same for every candidate: build it once.
        m_referenceGrid.buildGradientGrid(m_referenceImage);
    } catch (const std::exception &e) {
        qDebug() << "reference features failed:" << e.what();
        release();
    }
}

bool CStampMatcher::compareImage(const QImage &picture)
{
    if (!hasReference())
        return reject(Stage::NoReference);
    return compareCandidate(prepareCandidate(toColorImage(picture), m_surf));
}

CStampMatcher::Candidate CStampMatcher::prepareCandidate(const cv::Mat &colour, CSurf &surf)
{
    Candidate candidate;
    if (colour.empty() || colour.type() != CV_8UC3) {
        candidate.refused = Stage::Picture;
        return candidate;
    }
    const int w = colour.cols, h = colour.rows;
    candidate.size = colour.size();
    // Scaled to a shorter side of 256, a banner of 20 by 4000 pixels would need hundreds of
    // megabytes of filter responses in each of 32 workers; no stamp is shaped like that.
    if (std::max(w, h) > maxAspect * std::min(w, h)) {
        candidate.refused = Stage::Shape;
        return candidate;
    }
    const double k = 256.0 / std::min(w, h);
    const cv::Size workSize(int(w * k), int(k * h));
    if (workSize.width < 100 || workSize.height < 100) {
        candidate.refused = Stage::TooSmall;
        return candidate;
    }
    try {
        cv::resize(toComparisonGrey(colour), candidate.work, workSize, 0, 0, cv::INTER_LINEAR);
        surf.detectAndCompute(candidate.work, candidate.keypoints, candidate.descriptors);
    } catch (const std::exception &e) {
        // OpenCV reports trouble by exceptions; the comparison answers "no" instead.
        qDebug() << "comparison failed:" << e.what();
        candidate.refused = Stage::Homography;
    }
    return candidate;
}

bool CStampMatcher::compareCandidate(const Candidate &candidate)
{
    if (!hasReference())
        return reject(Stage::NoReference);
    if (candidate.refused != Stage::Accepted)
        return reject(candidate.refused);
    try {
        return compareWork(candidate);
    } catch (const std::exception &e) {
        qDebug() << "comparison failed:" << e.what();
        return reject(Stage::Homography);
    }
}

bool CStampMatcher::compareWork(const Candidate &candidate)
{
    const cv::Mat &work = candidate.work;
    const std::vector<cv::KeyPoint> &keypoints = candidate.keypoints;
    const cv::Mat &descriptors = candidate.descriptors;

    const float W = float(m_referenceImage.cols), H = float(m_referenceImage.rows);
    const std::array<cv::Point2f, 4> corners = {cv::Point2f(0, 0), cv::Point2f(W, 0), cv::Point2f(W, H), cv::Point2f(0, H)};
    std::array<cv::Point, 4> projected;
    if (!locateReference(m_referenceKeypoints, m_referenceDescriptors, keypoints, descriptors, corners, projected))
        return false;

    const cv::Point2f tl(projected[0]), tr(projected[1]), br(projected[2]), bl(projected[3]);
    if (!outlineIsUpright({tl, tr, br, bl}))
        return reject(Stage::Outline);

    // Warp the candidate back onto the reference's frame.
    const cv::Point2f from[4] = {tl, tr, bl, br};
    const cv::Point2f to[4] = {{0, 0}, {W - 1, 0}, {0, H - 1}, {W - 1, H - 1}};
    cv::Mat transform;
    cv::getPerspectiveTransform(from, to).convertTo(transform, CV_32F);
    cv::Mat warped;
    cv::warpPerspective(work, warped, transform, m_referenceImage.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                        cv::Scalar(0));

    CColorVector candidateGrid;
    candidateGrid.buildGradientGrid(warped);
    int agreeing = 0;
    if (!CColorVector::compareGradientGrids(m_referenceGrid, candidateGrid, &agreeing))
        return reject(Stage::Appearance);
    m_agreeCount = agreeing;
    m_lastStage = Stage::Accepted;
    m_evidence = collectEvidence(work.size(), candidate.size);
    m_evidence.agreeingCells = agreeing;
    m_evidence.cells = m_referenceGrid.cellCount();
    return true;
}

CMatchEvidence CStampMatcher::collectEvidence(cv::Size workSize, cv::Size candidateSize) const
{
    // From the reference image back to the user's picture, and from the work image to the candidate.
    const double referenceX = double(m_referenceCrop.width) / m_referenceImage.cols;
    const double referenceY = double(m_referenceCrop.height) / m_referenceImage.rows;
    const auto toPicture = [&](const cv::Point2f &p) {
        return QPointF(m_referenceCrop.x + p.x * referenceX, m_referenceCrop.y + p.y * referenceY);
    };
    const double candidateX = double(candidateSize.width) / workSize.width;
    const double candidateY = double(candidateSize.height) / workSize.height;
    const auto toCandidate = [&](double x, double y) { return QPointF(x * candidateX, y * candidateY); };

    CMatchEvidence evidence;
    evidence.reference = m_referencePicture;
    evidence.pairs = m_placement.pairs;
    for (size_t i = 0; i < m_placement.inliers.size(); ++i) {
        if (!m_placement.inliers[i])
            continue;
        ++evidence.inliers;
        evidence.referencePoints << toPicture(m_placement.source[i]);
        evidence.candidatePoints << toCandidate(m_placement.destination[i].x, m_placement.destination[i].y);
    }
    // The reference image's corners, as the outline test placed them, but unrounded.
    const cv::Mat_<double> &h = m_placement.homography;
    const double W = m_referenceImage.cols, H = m_referenceImage.rows;
    for (const auto &[x, y] : {std::pair(0.0, 0.0), std::pair(W, 0.0), std::pair(W, H), std::pair(0.0, H)}) {
        const double z = 1.0 / (h(2, 0) * x + h(2, 1) * y + h(2, 2));
        evidence.outline << toCandidate((h(0, 0) * x + h(0, 1) * y + h(0, 2)) * z, (h(1, 0) * x + h(1, 1) * y + h(1, 2)) * z);
    }
    evidence.compared = QRectF(m_referenceCrop.x, m_referenceCrop.y, m_referenceCrop.width, m_referenceCrop.height);
    return evidence;
}

bool CStampMatcher::outlineIsUpright(const std::array<cv::Point2f, 4> &corners)
{
    for (const cv::Point2f &p : corners)
        if (!std::isfinite(p.x) || !std::isfinite(p.y))
            return false;
    const cv::Point2f &tl = corners[0], &tr = corners[1], &br = corners[2], &bl = corners[3];
    // All four sides are measured, as the old comparison did, before deciding.
    const int left = sideAngle(tl, bl), right = sideAngle(tr, br);
    const int top = sideAngle(tl, tr), bottom = sideAngle(bl, br);
    return std::abs(left - 90) <= 20 && std::abs(right - 90) <= 20 && std::abs(top) <= 20 && std::abs(bottom) <= 20;
}

bool CStampMatcher::locateReference(const std::vector<cv::KeyPoint> &referenceKeypoints,
                                    const cv::Mat &referenceDescriptors,
                                    const std::vector<cv::KeyPoint> &candidateKeypoints,
                                    const cv::Mat &candidateDescriptors, const std::array<cv::Point2f, 4> &corners,
                                    std::array<cv::Point, 4> &projected)
{
    const auto pairs = collectPairs(referenceKeypoints, referenceDescriptors, candidateKeypoints, candidateDescriptors);
    if (pairs.size() < 4)
        return reject(Stage::Pairs);
    std::vector<cv::Point2f> source, destination;
    source.reserve(pairs.size());
    destination.reserve(pairs.size());
    for (const auto &[i, j] : pairs) {
        source.push_back(referenceKeypoints[size_t(i)].pt);
        destination.push_back(candidateKeypoints[size_t(j)].pt);
    }
    cv::Mat homography;
    std::vector<uchar> inliers;
    try {
        // The inlier mask is only read back; the fit is the same with or without it.
        homography = cv::findHomography(source, destination, cv::RANSAC, 5.0, inliers);
    } catch (const std::exception &) {
        homography.release();
    }
    if (!homography.empty() && (homography.rows != 3 || homography.cols != 3))
        homography.release();
    std::array<cv::Point, 4> result;
    bool placed = projectCorners(homography, corners, result);
    // A motif along one line (a rocket, a tower, a single stem) leaves the homography free across
    // that line: it folds the outline or throws it away, even for a stamp against itself. When the
    // pairs it kept lie in a narrow band, a similarity (turn, scale, shift), which needs no points
    // off the line, places the outline instead. It is tried only where the homography's outline
    // fails, and taken only when its own passes, so that every other decision stays as it was.
    const auto upright = [](const std::array<cv::Point, 4> &p) {
        return outlineIsUpright({cv::Point2f(p[0]), cv::Point2f(p[1]), cv::Point2f(p[2]), cv::Point2f(p[3])});
    };
    if ((!placed || !upright(result)) && spread(source, homography.empty() ? cv::Mat() : cv::Mat(inliers), corners) < thinSpread) {
        cv::Mat similarity, agreeing;
        try {
            similarity = cv::estimateAffinePartial2D(source, destination, agreeing, cv::RANSAC, 5.0);
        } catch (const std::exception &) {
            similarity.release();
        }
        std::array<cv::Point, 4> alongLine;
        // A few pairs that a mirror or another stamp leaves fit some similarity by chance; a thin
        // motif's fit one with more of them.
        if (!similarity.empty() && cv::countNonZero(agreeing) >= minimumAlongLine) {
            similarity.push_back(cv::Mat((cv::Mat_<double>(1, 3) << 0, 0, 1)));
            if (projectCorners(similarity, corners, alongLine) && upright(alongLine)) {
                result = alongLine;
                placed = true;
                // The evidence shows the fit that placed the outline.
                homography = similarity;
                inliers.assign(agreeing.begin<uchar>(), agreeing.end<uchar>());
            }
        }
    }
    if (!placed)
        return reject(Stage::Homography);
    cv::Mat_<double> h;
    homography.convertTo(h, CV_64F);
    m_placement = {int(pairs.size()), std::move(source), std::move(destination), std::move(inliers), h};
    projected = result;
    return true;
}

std::vector<std::pair<int, int>> CStampMatcher::collectPairs(const std::vector<cv::KeyPoint> &referenceKeypoints,
                                                             const cv::Mat &referenceDescriptors,
                                                             const std::vector<cv::KeyPoint> &candidateKeypoints,
                                                             const cv::Mat &candidateDescriptors)
{
    std::vector<std::pair<int, int>> pairs;
    const int count = std::min(int(referenceKeypoints.size()), referenceDescriptors.rows);
    if (referenceDescriptors.type() != CV_32F || referenceDescriptors.cols != candidateDescriptors.cols)
        return pairs;
    const int candidates = std::min(int(candidateKeypoints.size()), candidateDescriptors.rows);
    if (candidates <= 0 || candidateDescriptors.type() != CV_32F)
        return pairs;
    // The candidates' descriptors by columns, so that the distances to several of them are formed at
    // once. Each distance is the sum descriptorDistance forms; it is only never cut short, and a sum
    // cut short is already past the second best, so the choice below is matchDescriptor's.
    cv::Mat columns;
    cv::transpose(candidateDescriptors.rowRange(0, candidates), columns);
    std::vector<double> distances(static_cast<size_t>(candidates));
    for (int i = 0; i < count; ++i) {
        const int laplacian = referenceKeypoints[size_t(i)].class_id;
        CSurfKernels::squaredDistances(referenceDescriptors.ptr<float>(i), columns.ptr<float>(), columns.step1(),
                                       candidates, columns.rows, distances.data());
        NearestTwo nearest;
        for (int j = 0; j < candidates; ++j) {
            if (candidateKeypoints[size_t(j)].class_id == laplacian)
                nearest.offer(distances[size_t(j)], j);
        }
        if (const int index = nearest.accepted(); index >= 0)
            pairs.emplace_back(i, index);
    }
    return pairs;
}

int CStampMatcher::matchDescriptor(const float *descriptor, int laplacian, const std::vector<cv::KeyPoint> &keypoints,
                                   const cv::Mat &descriptors)
{
    if (!descriptor || descriptors.empty() || descriptors.type() != CV_32F)
        return -1;
    const int length = descriptors.cols;
    NearestTwo nearest;
    const int count = std::min(int(keypoints.size()), descriptors.rows);
    for (int j = 0; j < count; ++j) {
        if (keypoints[size_t(j)].class_id == laplacian)
            nearest.offer(descriptorDistance(descriptor, descriptors.ptr<float>(j), nearest.second, length), j);
    }
    return nearest.accepted();
}

double CStampMatcher::descriptorDistance(const float *a, const float *b, double bound, int length)
{
    double total = 0;
    int i = 0;
    for (; i + 4 <= length; i += 4) {
        const double t0 = double(a[i]) - b[i], t1 = double(a[i + 1]) - b[i + 1];
        const double t2 = double(a[i + 2]) - b[i + 2], t3 = double(a[i + 3]) - b[i + 3];
        total += t0 * t0 + t1 * t1 + t2 * t2 + t3 * t3;
        if (total > bound)
            return total;
    }
    for (; i < length; ++i) {
        const double t = double(a[i]) - b[i];
        total += t * t;
    }
    return total;
}

void CStampMatcher::release()
{
    m_referenceKeypoints.clear();
    m_referenceKeypoints.shrink_to_fit();
    m_referenceDescriptors.release();
    m_referenceImage.release();
    m_referenceGrid.release();
    m_referencePicture = QImage();
    m_placement = Placement();
    m_evidence = CMatchEvidence();
    m_lastStage = Stage::NoReference;
}

size_t CStampMatcher::memoryBytes() const
{
    return m_referenceKeypoints.capacity() * sizeof(cv::KeyPoint) + m_referenceDescriptors.total() * m_referenceDescriptors.elemSize() +
           m_referenceImage.total() * m_referenceImage.elemSize() + size_t(m_referenceGrid.cellCount()) * sizeof(CColorVector::Cell);
}
