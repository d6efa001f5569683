#pragma once

#include "surfkernels.h"

#include <opencv2/core.hpp>

#include <memory>
#include <vector>

// SURF keypoints and 64-value descriptors of a grey picture, computed the way OpenCV's SURF computes
// them (box-filter Hessian on an integral image, non-maximum suppression over space and scale,
// quadratic refinement, Haar-wavelet orientation, 4 x 4 block descriptor), so that thresholds tuned on
// OpenCV's keypoints hold for ours.
//
// Keypoints: pt (centre), size (filter side after refinement), angle (degrees, 0..360, OpenCV's
// convention), response (Hessian determinant), octave, class_id (sign of the Laplacian: 1, -1 or 0).
// Strongest first.
//
// An object keeps work buffers between calls, so one object must not be used by two threads at once;
// separate objects share nothing.
class CSurf
{
public:
    explicit CSurf(double hessianThreshold = 250.0, int octaves = 4, int layersPerOctave = 2);

    // Keypoints and their descriptors (one CV_32F row of 64 unit-length values per keypoint). The
    // picture is 8-bit grey; a colour picture is turned grey first. Pictures too small for the
    // smallest filter give no keypoints.
    void detectAndCompute(const cv::Mat &picture, std::vector<cv::KeyPoint> &keypoints, cv::Mat &descriptors);

    static constexpr int descriptorSize = 64;

private:
    // One filter size of the octave at hand. Its responses are kept for the last three grid rows only
    // (a ring): a maximum compares 3 x 3 cells of three layers, so the rows further up are done with.
    struct Layer
    {
        int size = 0;                // filter side in pixels
        int margin = 0;              // grid cells before the first filter centre, at top and left
        int lastI = -1, lastJ = -1;  // last filter corner, in grid cells; -1 when the filter exceeds the picture
        CSurfKernels::Box dxx[3], dyy[3], dxy[4];
        float *det[3] = {};          // grid row i in det[i % 3]
        signed char *laplacian[3] = {};
    };

    void detectOctave(int octave, std::vector<cv::KeyPoint> &keypoints);
    void computeRow(const Layer &layer, int step, int i, int from, int to);
    void searchRow(int octave, int l, int i, int cols, std::vector<cv::KeyPoint> &keypoints) const;
    bool orient(cv::KeyPoint &keypoint);
    void describe(const cv::KeyPoint &keypoint, float *descriptor);

    double m_threshold;
    int m_octaves;
    int m_layers;

    // Work state of the current call.
    cv::Mat m_grey;
    cv::Mat m_sum;
    std::vector<Layer> m_pyramid;           // the (m_layers + 2) layers of the octave at hand
    std::vector<float> m_detRows;           // their rings of rows
    std::vector<signed char> m_laplacianRows;
    std::vector<std::vector<cv::KeyPoint>> m_foundInLayer;
    std::vector<uchar> m_window;
    CSurfKernels::AreaWork m_area;
};
