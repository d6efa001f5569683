#pragma once

#include <cstddef>
#include <vector>

// The inner loops of SURF and of the ratio test, in one variant per vector instruction set (CSimd
// picks one, once). Every variant gives the same bits as the plain C++ formulas it replaces: the same
// operations on the same types in the same order, only several samples at once. No state: any number
// of threads may call them.
class CSurfKernels
{
public:
    // A box of a filter as offsets into the integral image from the filter's top-left corner
    // (top-left, top-right, bottom-left, bottom-right) and its weight.
    struct Box
    {
        int p0 = 0, p1 = 0, p2 = 0, p3 = 0;
        float weight = 0;
    };

    // The Hessian along one row of samples `step` integral-image entries apart, starting at `row`:
    // for each of `count` samples the three filters (each box sum times its weight in float, added in
    // double in box order, stored as float), det = xx * yy - 0.81 * xy * xy and the sign of xx + yy.
    static void hessianRow(const int *row, int step, int count, const Box *dxx, const Box *dyy, const Box *dxy,
                           float *det, signed char *laplacian);

    // One row of a turned descriptor window: sample j (0 .. count - 1) lies at (x0 + j * dx, y0 + j * dy).
    // With all four neighbours in the picture (`image`, `stride` bytes a row) it is their bilinear mix
    // in float, rounded to a byte; otherwise it is the nearest pixel, clamped to the picture. The
    // window's positions are defined by stepping dx in double, so x0 + j * dx must be what that
    // reaches (stepsAreExact), and likewise for y.
    static void windowRow(const unsigned char *image, size_t stride, int width, int height, double x0, double y0,
                          double dx, double dy, int count, unsigned char *out);

    // Area averaging of a `side` x `side` window (rows of `side` bytes, readable 4 bytes past its end)
    // down to `patchSide` x `patchSide` in `patch`, as OpenCV's resize with INTER_AREA computes it for
    // a shrink by a factor that is not a whole number: each row is summed into the patch's columns in
    // float, weights in table order, then the rows are summed the same way into the patch's rows and
    // rounded. False (nothing written) for the sides it does not handle: a whole-number factor, no
    // shrink at all, or a patch over 32 wide; cv::resize serves those. `work` holds the tables and row sums between calls.
    struct AreaWork
    {
        std::vector<int> source, target;
        std::vector<float> weight;
        std::vector<float> rows;
    };
    static bool shrinkWindow(const unsigned char *window, int side, int patchSide, unsigned char *patch, AreaWork &work);

    // The orientation windows: 72 windows of 60 degrees starting every 5 degrees; sample k (rounded
    // angle angles[k], 0..360) adds (x[k], y[k]) to the 12 windows that hold it, in sample order, in
    // float. sumX and sumY (72 values each) are overwritten.
    static constexpr int orientationWindows = 72;
    static void sumOrientationWindows(const float *x, const float *y, const int *angles, int count, float *sumX,
                                      float *sumY);

    // Squared Euclidean distances, in double, from descriptor `a` to `count` descriptors kept by
    // columns (element i of descriptor c at columns[i * stride + c]): each distance adds its
    // differences' squares four at a time, ((t0² + t1²) + t2²) + t3², then one by one for the rest,
    // as CStampMatcher::descriptorDistance does (without its early stop). Several descriptors at once.
    static void squaredDistances(const float *a, const float *columns, size_t stride, int count, int length,
                                 double *out);

    // Whether stepping from `start` by `delta` `count` - 1 times in double lands on every multiple
    // exactly (start and delta are floats, so this holds unless their scales are far apart).
    static bool stepsAreExact(float start, float delta, int count);
};
