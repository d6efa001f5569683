#pragma once

#include "colorvector.h"
#include "matchevidence.h"
#include "surf.h"

#include <QImage>
#include <opencv2/core.hpp>

#include <array>
#include <utility>
#include <vector>

// Decides whether a candidate picture shows the same stamp as the user's framed picture. Built once
// from the user's picture (setReference), then asked about one candidate after another:
//   1. SURF keypoints are paired by a nearest-neighbour ratio test; at least four pairs are needed;
//   2. a RANSAC homography places the reference's outline in the candidate, and every side of it
//      must lie within 20 degrees of an upright rectangle's;
//   3. the candidate, warped back onto the reference, must agree with it in at least 70 percent of
//      the gradient grid's cells.
//
// One object per thread: an object is not safe to use from two threads at once, but objects share
// nothing, so any number of them can work in parallel.
class CStampMatcher
{
public:
    // Where the last comparison stopped.
    enum class Stage {
        Accepted,       // passed every stage
        NoReference,    // the model has no reference image or no reference keypoints
        Picture,        // the candidate could not be turned into a colour image
        TooSmall,       // the scaled candidate is under 100 pixels on a side
        Shape,          // the candidate is more than 10 times longer than wide: no stamp, and too big to scan
        Pairs,          // fewer than four ratio-test pairs
        Homography,     // no homography, or one that sends the outline nowhere sensible
        Outline,        // a side of the projected outline is turned more than 20 degrees
        Appearance,     // the gradient grids do not agree
    };

    CStampMatcher();
    ~CStampMatcher();
    CStampMatcher(const CStampMatcher &) = delete;
    CStampMatcher &operator=(const CStampMatcher &) = delete;

    // The reference image's shorter side, in pixels.
    static constexpr int referenceSide = 128;

    // Builds the model from the user's picture (any QImage format; the 32-bit RGB one is wrapped
    // without copying), its reference image `side` pixels on its shorter side. A picture that
    // cannot be normalised leaves a model that rejects everything.
    void setReference(const QImage &picture, int side = referenceSide);
    // A candidate picture made ready for comparison: grey, scaled to a shorter side of 256, and
    // described by SURF. Preparing is most of a comparison's work and does not depend on the
    // reference, so a candidate prepared once can be compared with several references, and
    // candidates can be prepared on several threads at once (each with its own CSurf).
    struct Candidate
    {
        Stage refused = Stage::Accepted; // set when the picture is turned down before any comparison
        cv::Size size;                   // the candidate picture's
        cv::Mat work;
        std::vector<cv::KeyPoint> keypoints; // strongest first
        cv::Mat descriptors;
    };
    // `colour` is an 8-bit 3-channel (blue, green, red) image.
    static Candidate prepareCandidate(const cv::Mat &colour, CSurf &surf);

    // Whether `picture` shows the reference's stamp.
    bool compareImage(const QImage &picture);
    // The same for a prepared candidate.
    bool compareCandidate(const Candidate &candidate);

    // Fits the homography from the reference's keypoints to the candidate's and projects `corners`
    // through it into `projected` (rounded to whole pixels). False with fewer than four pairs, without
    // a homography, or when a corner lands at infinity or absurdly far away.
    bool locateReference(const std::vector<cv::KeyPoint> &referenceKeypoints, const cv::Mat &referenceDescriptors,
                         const std::vector<cv::KeyPoint> &candidateKeypoints, const cv::Mat &candidateDescriptors,
                         const std::array<cv::Point2f, 4> &corners, std::array<cv::Point, 4> &projected);
    // The outline test: corners top left, top right, bottom right, bottom left (as projected); each
    // side within 20 whole degrees of an upright rectangle's. Corners that are not finite never pass.
    static bool outlineIsUpright(const std::array<cv::Point2f, 4> &corners);
    // Index pairs (reference keypoint, candidate keypoint) that pass the ratio test, in reference order.
    static std::vector<std::pair<int, int>> collectPairs(const std::vector<cv::KeyPoint> &referenceKeypoints,
                                                         const cv::Mat &referenceDescriptors,
                                                         const std::vector<cv::KeyPoint> &candidateKeypoints,
                                                         const cv::Mat &candidateDescriptors);
    // Index of the candidate keypoint (same Laplacian sign) whose descriptor is nearest to `descriptor`,
    // when it is nearer than 0.6 times the second nearest; -1 otherwise.
    static int matchDescriptor(const float *descriptor, int laplacian, const std::vector<cv::KeyPoint> &keypoints,
                               const cv::Mat &descriptors);
    // Squared Euclidean distance, given up (partial sum returned) once it exceeds `bound`.
    static double descriptorDistance(const float *a, const float *b, double bound, int length);

    // Frees the reference image and features; the model then rejects everything.
    void release();

    // Agreeing grid cells of the last accepted candidate (0 before any); a rejection leaves it alone.
    int agreeCount() const { return m_agreeCount; }
    // What the last comparison saw, when it accepted the candidate; empty after a rejection.
    const CMatchEvidence &evidence() const { return m_evidence; }
    Stage lastStage() const { return m_lastStage; }
    static const char *stageName(Stage stage);

    bool hasReference() const { return !m_referenceImage.empty() && !m_referenceKeypoints.empty(); }
    const cv::Mat &referenceImage() const { return m_referenceImage; }
    const std::vector<cv::KeyPoint> &referenceKeypoints() const { return m_referenceKeypoints; }
    const cv::Mat &referenceDescriptors() const { return m_referenceDescriptors; }
    // Heap bytes held by the model between comparisons (reference image, features, grid).
    size_t memoryBytes() const;

private:
    bool reject(Stage stage);
    bool compareWork(const Candidate &candidate);
    CMatchEvidence collectEvidence(cv::Size workSize, cv::Size candidateSize) const;

    // What locateReference fitted, kept for the evidence of an accepted candidate.
    struct Placement
    {
        int pairs = 0;
        std::vector<cv::Point2f> source, destination;
        std::vector<uchar> inliers;
        cv::Mat_<double> homography;
    };

    int m_agreeCount = 0;
    std::vector<cv::KeyPoint> m_referenceKeypoints;
    cv::Mat m_referenceDescriptors;
    CSurf m_surf;
    cv::Mat m_referenceImage;
    CColorVector m_referenceGrid;
    Stage m_lastStage = Stage::NoReference;
    // The user's picture as given (shared, not copied) and the part of it the reference image shows.
    QImage m_referencePicture;
    cv::Rect m_referenceCrop;
    Placement m_placement;
    CMatchEvidence m_evidence;
};
