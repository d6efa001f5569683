#include "surf.h"

#include "surfkernels.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <emmintrin.h>

namespace {

// A box of a filter given on a small base grid: corners (x1, y1) inclusive, (x2, y2) exclusive.
struct BaseBox
{
    int x1, y1, x2, y2;
    float weight;
};

// The same box scaled to a filter side, as offsets into the integral image from the filter's corner.
using Box = CSurfKernels::Box;

constexpr BaseBox dxxBase[3] = {{0, 2, 3, 7, 1}, {3, 2, 6, 7, -2}, {6, 2, 9, 7, 1}};
constexpr BaseBox dyyBase[3] = {{2, 0, 7, 3, 1}, {2, 3, 7, 6, -2}, {2, 6, 7, 9, 1}};
constexpr BaseBox dxyBase[4] = {{1, 1, 4, 4, 1}, {5, 1, 8, 4, -1}, {1, 5, 4, 8, -1}, {5, 5, 8, 8, 1}};
constexpr BaseBox haarXBase[2] = {{0, 0, 2, 4, -1}, {2, 0, 4, 4, 1}};
constexpr BaseBox haarYBase[2] = {{0, 0, 4, 2, 1}, {0, 2, 4, 4, -1}};

template <size_t N>
std::array<Box, N> scaleBoxes(const BaseBox (&base)[N], int baseSide, int side, int stride)
{
    const float ratio = float(side) / float(baseSide);
    std::array<Box, N> out;
    for (size_t k = 0; k < N; ++k) {
        const int x1 = cvRound(base[k].x1 * ratio), y1 = cvRound(base[k].y1 * ratio);
        const int x2 = cvRound(base[k].x2 * ratio), y2 = cvRound(base[k].y2 * ratio);
        out[k].p0 = y1 * stride + x1;
        out[k].p1 = y1 * stride + x2;
        out[k].p2 = y2 * stride + x1;
        out[k].p3 = y2 * stride + x2;
        const int area = (x2 - x1) * (y2 - y1);
        out[k].weight = area != 0 ? base[k].weight / float(area) : 0.0f;
    }
    return out;
}

inline int boxSum(const int *origin, const Box &b)
{
    // Unsigned arithmetic: corner sums of a large picture may wrap, the box sum itself fits.
    return int(unsigned(origin[b.p0]) + unsigned(origin[b.p3]) - unsigned(origin[b.p1]) - unsigned(origin[b.p2]));
}

template <size_t N>
inline float filter(const int *origin, const std::array<Box, N> &boxes)
{
    double d = 0;
    for (const Box &b : boxes)
        d += float(boxSum(origin, b)) * b.weight;
    return float(d);
}

constexpr int patchSide = 20;
constexpr int orientationRadius = 6;

struct Tables
{
    // Orientation samples: integer offsets inside a disc of radius 6 and their Gaussian weights.
    std::vector<cv::Point> samples;
    std::vector<float> sampleWeights;
    // Descriptor weights over the 20 x 20 derivative patch.
    float patchWeights[patchSide][patchSide];

    Tables()
    {
        const cv::Mat g = cv::getGaussianKernel(2 * orientationRadius + 1, 2.5, CV_32F);
        for (int a = -orientationRadius; a <= orientationRadius; ++a)
            for (int b = -orientationRadius; b <= orientationRadius; ++b)
                if (a * a + b * b <= orientationRadius * orientationRadius) {
                    samples.emplace_back(a, b);
                    sampleWeights.push_back(g.at<float>(a + orientationRadius) * g.at<float>(b + orientationRadius));
                }
        const cv::Mat d = cv::getGaussianKernel(patchSide, 3.3, CV_32F);
        for (int i = 0; i < patchSide; ++i)
            for (int j = 0; j < patchSide; ++j)
                patchWeights[i][j] = d.at<float>(i) * d.at<float>(j);
    }
};

// Built once, read only afterwards; C++ makes the first construction thread-safe.
const Tables &tables()
{
    static const Tables instance;
    return instance;
}

// Side of a keypoint's descriptor window in picture pixels.
int windowSide(const cv::KeyPoint &kp)
{
    const float s = kp.size * 1.2f / 9.0f;
    return int((patchSide + 1) * s);
}

bool stronger(const cv::KeyPoint &a, const cv::KeyPoint &b)
{
    if (a.response != b.response)
        return a.response > b.response;
    if (a.size != b.size)
        return a.size > b.size;
    if (a.octave != b.octave)
        return a.octave > b.octave;
    if (a.pt.y != b.pt.y)
        return a.pt.y > b.pt.y;
    return a.pt.x < b.pt.x;
}

} // namespace

CSurf::CSurf(double hessianThreshold, int octaves, int layersPerOctave)
    : m_threshold(hessianThreshold), m_octaves(std::max(1, octaves)), m_layers(std::max(1, layersPerOctave))
{
}

void CSurf::detectAndCompute(const cv::Mat &picture, std::vector<cv::KeyPoint> &keypoints, cv::Mat &descriptors)
{
    keypoints.clear();
    descriptors.release();
    if (picture.empty() || picture.depth() != CV_8U)
        return;
    if (picture.channels() == 3)
        cv::cvtColor(picture, m_grey, cv::COLOR_BGR2GRAY);
    else if (picture.channels() == 4)
        cv::cvtColor(picture, m_grey, cv::COLOR_BGRA2GRAY);
    else if (picture.channels() == 1)
        m_grey = picture;
    else
        return;
    tables();

    cv::integral(m_grey, m_sum, CV_32S);
    // One octave at a time, its layers a few rows at a time: maxima only compare neighbouring rows of
    // layers of the same octave, so the detector's memory is a few rows, kept in the caches.
    std::vector<cv::KeyPoint> found;
    for (int o = 0; o < m_octaves; ++o)
        detectOctave(o, found);
    std::sort(found.begin(), found.end(), stronger);

    std::vector<cv::KeyPoint> kept;
    kept.reserve(found.size());
    for (cv::KeyPoint &kp : found)
        if (orient(kp))
            kept.push_back(kp);

    // One window buffer for the largest: growing it keypoint by keypoint filled it again and again.
    int widest = 0;
    for (const cv::KeyPoint &kp : kept)
        widest = std::max(widest, windowSide(kp));
    m_window.assign(size_t(widest) * size_t(widest) + 4, 0); // the area kernels read 4 bytes at a time
    descriptors.create(int(kept.size()), descriptorSize, CV_32F);
    for (size_t k = 0; k < kept.size(); ++k)
        describe(kept[k], descriptors.ptr<float>(int(k)));
    keypoints.swap(kept);

    // Hold nothing between calls: a matcher lives as long as its worker, and 32 of them exist at once.
    m_grey.release();
    m_sum.release();
    std::vector<Layer>().swap(m_pyramid);
    std::vector<float>().swap(m_detRows);
    std::vector<signed char>().swap(m_laplacianRows);
    std::vector<std::vector<cv::KeyPoint>>().swap(m_foundInLayer);
    std::vector<uchar>().swap(m_window);
    m_area = CSurfKernels::AreaWork();
}

void CSurf::detectOctave(int o, std::vector<cv::KeyPoint> &keypoints)
{
    const int H = m_sum.rows - 1, W = m_sum.cols - 1;
    const int perOctave = m_layers + 2;
    const int step = 1 << o, rows = H / step, cols = W / step;
    const int stride = int(m_sum.step1());
    m_pyramid.resize(size_t(perOctave));
    for (int l = 0; l < perOctave; ++l) {
        Layer &layer = m_pyramid[size_t(l)];
        const int L = (9 + 6 * l) << o;
        layer.size = L;
        layer.margin = (L / 2) / step;
        const bool computed = L <= H && L <= W;
        layer.lastI = computed ? (H - L) / step : -1;
        layer.lastJ = computed ? (W - L) / step : -1;
        const auto dxx = scaleBoxes(dxxBase, 9, L, stride);
        const auto dyy = scaleBoxes(dyyBase, 9, L, stride);
        const auto dxy = scaleBoxes(dxyBase, 9, L, stride);
        std::copy(dxx.begin(), dxx.end(), layer.dxx);
        std::copy(dyy.begin(), dyy.end(), layer.dyy);
        std::copy(dxy.begin(), dxy.end(), layer.dxy);
    }
    // Layer l is searched in the cells at least (side of layer l + 1) / 2 / step + 1 from every edge;
    // the rows and columns one cell further out are its neighbours. Nothing outside them is computed.
    auto searchMargin = [&](int l) { return m_pyramid[size_t(l + 1)].margin + 1; };
    const int need = searchMargin(1) - 1;
    if (m_pyramid[1].lastI < 0 || std::min(rows, cols) - need - 1 < need + 2)
        return; // no cell to search
    const size_t ring = 3 * size_t(cols);
    if (m_detRows.size() < ring * size_t(perOctave)) {
        // Zeroed once: the maxima's prefilter may look a few cells past the searched ones.
        m_detRows.assign(ring * size_t(perOctave), 0.0f);
        m_laplacianRows.assign(ring * size_t(perOctave), 0);
    }
    for (int l = 0; l < perOctave; ++l)
        for (int k = 0; k < 3; ++k) {
            m_pyramid[size_t(l)].det[k] = m_detRows.data() + size_t(l) * ring + size_t(k) * size_t(cols);
            m_pyramid[size_t(l)].laplacian[k] = m_laplacianRows.data() + size_t(l) * ring + size_t(k) * size_t(cols);
        }
    m_foundInLayer.resize(size_t(m_layers));
    for (std::vector<cv::KeyPoint> &found : m_foundInLayer)
        found.clear();

    // Row by row: once grid row i + 1 of every layer is there, row i of the searched layers is final.
    for (int i = need; i <= rows - need - 1; ++i) {
        for (const Layer &layer : m_pyramid)
            computeRow(layer, step, i, need, cols - need + 1);
        const int centre = i - 1;
        if (centre < need + 1)
            continue;
        for (int l = 1; l <= m_layers; ++l) {
            const int margin = searchMargin(l);
            if (m_pyramid[size_t(l)].lastI >= 0 && centre >= margin && centre < rows - margin)
                searchRow(o, l, centre, cols, m_foundInLayer[size_t(l - 1)]);
        }
    }
    // Layer by layer, as a whole-layer search would find them.
    for (const std::vector<cv::KeyPoint> &found : m_foundInLayer)
        keypoints.insert(keypoints.end(), found.begin(), found.end());
}

void CSurf::computeRow(const Layer &layer, int step, int i, int from, int to)
{
    float *det = layer.det[i % 3];
    signed char *lap = layer.laplacian[i % 3];
    // Cells no filter reaches are zero: those of a filter larger than the picture, the margin rows and
    // the margin columns.
    int first = to, last = to;
    if (layer.lastI >= 0 && i >= layer.margin && i <= layer.margin + layer.lastI) {
        first = std::clamp(layer.margin, from, to);
        last = std::clamp(layer.margin + layer.lastJ + 1, first, to);
    }
    std::fill(det + from, det + first, 0.0f);
    std::fill(lap + from, lap + first, 0);
    std::fill(det + last, det + to, 0.0f);
    std::fill(lap + last, lap + to, 0);
    if (first < last) {
        const int stride = int(m_sum.step1());
        const int *corner = m_sum.ptr<int>() + size_t(i - layer.margin) * size_t(step) * size_t(stride) +
                            size_t(first - layer.margin) * size_t(step);
        CSurfKernels::hessianRow(corner, step, last - first, layer.dxx, layer.dyy, layer.dxy, det + first, lap + first);
    }
}

void CSurf::searchRow(int o, int l, int i, int cols, std::vector<cv::KeyPoint> &keypoints) const
{
    const float threshold = float(m_threshold);
    const Layer &below = m_pyramid[size_t(l - 1)];
    const Layer &layer = m_pyramid[size_t(l)];
    const Layer &above = m_pyramid[size_t(l + 1)];
    const int step = 1 << o, L = layer.size;
    const int margin = above.margin + 1;
    // Rows i - 1, i and i + 1 of the layer below, this one and the one above.
    const Layer *stack[3] = {&below, &layer, &above};
    const float *d[3][3];
    for (int s = 0; s < 3; ++s)
        for (int di = 0; di < 3; ++di)
            d[s][di] = stack[s]->det[(i - 1 + di) % 3];
    const float *row = d[1][1];
    const __m128 floor4 = _mm_set1_ps(threshold);
    // Four cells at a time, only those above the threshold and both row neighbours go on to the full
    // test (every maximum is among them). Cells j - 1 .. j + 4 lie inside the row.
    unsigned candidates = 0;
    for (int j = margin; j < cols - margin; ++j) {
        if (((j - margin) & 3) == 0) {
            if (j + 4 < cols) {
                const __m128 v = _mm_loadu_ps(row + j);
                const __m128 rising = _mm_and_ps(_mm_cmpgt_ps(v, floor4), _mm_cmpgt_ps(v, _mm_loadu_ps(row + j - 1)));
                candidates = unsigned(_mm_movemask_ps(_mm_and_ps(rising, _mm_cmpgt_ps(v, _mm_loadu_ps(row + j + 1)))));
            } else {
                candidates = 0xf;
            }
            if (!candidates) {
                j += 3;
                continue;
            }
        }
        if (!(candidates & (1u << ((j - margin) & 3))))
            continue;
        const float value = row[j];
        if (!(value > threshold))
            continue;
        // The 3 x 3 neighbourhoods in the layer below, this one and the one above.
        float n9[3][9];
        bool maximum = true;
        for (int s = 0; s < 3 && maximum; ++s)
            for (int di = 0; di < 3; ++di)
                for (int dj = -1; dj <= 1; ++dj) {
                    const float v = d[s][di][j + dj];
                    n9[s][di * 3 + (dj + 1)] = v;
                    if (!(s == 1 && di == 1 && dj == 0) && !(value > v))
                        maximum = false;
                }
        if (!maximum)
            continue;

        const int cornerI = step * (i - (L / 2) / step);
        const int cornerJ = step * (j - (L / 2) / step);
        const float centreI = cornerI + (L - 1) * 0.5f;
        const float centreJ = cornerJ + (L - 1) * 0.5f;
        cv::KeyPoint kp(centreJ, centreI, float(L), -1, value, o, layer.laplacian[i % 3][j]);

        // Fit a quadratic through the 27 values and move to its peak.
        const cv::Vec3f gradient(-(n9[1][5] - n9[1][3]) / 2, -(n9[1][7] - n9[1][1]) / 2, -(n9[2][4] - n9[0][4]) / 2);
        const float dxy = (n9[1][8] - n9[1][6] - n9[1][2] + n9[1][0]) / 4;
        const float dxs = (n9[2][5] - n9[2][3] - n9[0][5] + n9[0][3]) / 4;
        const float dys = (n9[2][7] - n9[2][1] - n9[0][7] + n9[0][1]) / 4;
        const cv::Matx33f hessian(n9[1][3] - 2 * n9[1][4] + n9[1][5], dxy, dxs,
                                  dxy, n9[1][1] - 2 * n9[1][4] + n9[1][7], dys,
                                  dxs, dys, n9[0][4] - 2 * n9[1][4] + n9[2][4]);
        const cv::Vec3f offset = hessian.solve(gradient, cv::DECOMP_LU);
        const bool ok = (offset[0] != 0 || offset[1] != 0 || offset[2] != 0) && std::abs(offset[0]) <= 1 &&
                        std::abs(offset[1]) <= 1 && std::abs(offset[2]) <= 1;
        if (!ok)
            continue;
        kp.pt.x += offset[0] * float(step);
        kp.pt.y += offset[1] * float(step);
        kp.size = float(cvRound(kp.size + offset[2] * float(L - below.size)));
        keypoints.push_back(kp);
    }
}

bool CSurf::orient(cv::KeyPoint &kp)
{
    const Tables &t = tables();
    const float s = kp.size * 1.2f / 9.0f;
    const int g = 2 * cvRound(2 * s);
    if (m_sum.rows < g || m_sum.cols < g)
        return false;
    const int stride = int(m_sum.step1());
    const auto haarX = scaleBoxes(haarXBase, 4, g, stride);
    const auto haarY = scaleBoxes(haarYBase, 4, g, stride);
    const int *sum = m_sum.ptr<int>();

    const size_t n = t.samples.size();
    float X[128], Y[128], angle[128];
    int count = 0;
    const float half = float(g - 1) / 2;
    for (size_t k = 0; k < n; ++k) {
        const int x = cvRound(kp.pt.x + t.samples[k].x * s - half);
        const int y = cvRound(kp.pt.y + t.samples[k].y * s - half);
        if (y < 0 || y >= m_sum.rows - g || x < 0 || x >= m_sum.cols - g)
            continue;
        const int *origin = sum + size_t(y) * size_t(stride) + size_t(x);
        X[count] = filter(origin, haarX) * t.sampleWeights[k];
        Y[count] = filter(origin, haarY) * t.sampleWeights[k];
        ++count;
    }
    if (count == 0)
        return false;
    cv::Mat mx(1, count, CV_32F, X), my(1, count, CV_32F, Y), ma(1, count, CV_32F, angle);
    cv::phase(mx, my, ma, true);
    int rounded[128];
    for (int k = 0; k < count; ++k)
        rounded[k] = cvRound(angle[k]);

    // Windows of 60 degrees starting every 5 degrees, each summing the samples it holds in sample order.
    constexpr int windows = CSurfKernels::orientationWindows;
    float sumX[windows], sumY[windows];
    CSurfKernels::sumOrientationWindows(X, Y, rounded, count, sumX, sumY);
    float bestX = 0, bestY = 0, bestLength = 0;
    for (int window = 0; window < windows; ++window) {
        const float sx = sumX[window], sy = sumY[window];
        const float length = sx * sx + sy * sy;
        if (length > bestLength) {
            bestLength = length;
            bestX = sx;
            bestY = sy;
        }
    }
    kp.angle = cv::fastAtan2(-bestY, bestX);
    return true;
}

void CSurf::describe(const cv::KeyPoint &kp, float *descriptor)
{
    const Tables &t = tables();
    const int w = windowSide(kp);
    const float theta = kp.angle * float(CV_PI / 180);
    const float sinDir = -std::sin(theta);
    const float cosDir = std::cos(theta);

    // The w x w window around the keypoint, turned to its orientation.
    const float offset = -float(w - 1) / 2;
    float startX = kp.pt.x + offset * cosDir + offset * sinDir;
    float startY = kp.pt.y - offset * sinDir + offset * cosDir;

    // A sample with all four neighbours in the picture is their bilinear mix; one without takes the
    // nearest pixel. Along a row the positions step by (cosDir, -sinDir) in double. Nearly always no
    // step rounds, so sample j sits at start + j * step and the vector kernel fills the row; else
    // the steps are taken one by one.
    const int lastCol = m_grey.cols - 1, lastRow = m_grey.rows - 1;
    const size_t imageStep = m_grey.step;
    const uchar *image = m_grey.ptr();
    uchar *out = m_window.data();
    const float stepY = -sinDir;
    for (int i = 0; i < w; ++i, startX += sinDir, startY += cosDir, out += w) {
        const double x0 = startX, y0 = startY;
        if (CSurfKernels::stepsAreExact(startX, cosDir, w) && CSurfKernels::stepsAreExact(startY, stepY, w)) {
            CSurfKernels::windowRow(image, imageStep, m_grey.cols, m_grey.rows, x0, y0, cosDir, stepY, w, out);
            continue;
        }
        double x = x0, y = y0;
        for (int j = 0; j < w; ++j, x += cosDir, y -= sinDir) {
            const int ix = cvFloor(x), iy = cvFloor(y);
            if (unsigned(ix) < unsigned(lastCol) && unsigned(iy) < unsigned(lastRow)) {
                const float a = float(x - ix), b = float(y - iy);
                const uchar *c = image + size_t(iy) * imageStep + size_t(ix);
                out[j] = uchar(cvRound(c[0] * (1.f - a) * (1.f - b) + c[1] * a * (1.f - b) + c[imageStep] * (1.f - a) * b +
                                       c[imageStep + 1] * a * b));
            } else {
                const int cx = std::clamp(cvRound(x), 0, lastCol), cy = std::clamp(cvRound(y), 0, lastRow);
                out[j] = image[size_t(cy) * imageStep + size_t(cx)];
            }
        }
    }
    uchar patch[patchSide + 1][patchSide + 1];
    cv::Mat patchMat(patchSide + 1, patchSide + 1, CV_8U, patch);
    if (!CSurfKernels::shrinkWindow(m_window.data(), w, patchSide + 1, &patch[0][0], m_area))
        cv::resize(cv::Mat(w, w, CV_8U, m_window.data()), patchMat, patchMat.size(), 0, 0, cv::INTER_AREA);

    float dx[patchSide][patchSide], dy[patchSide][patchSide];
    for (int i = 0; i < patchSide; ++i)
        for (int j = 0; j < patchSide; ++j) {
            const float v = t.patchWeights[i][j];
            dx[i][j] = float(patch[i][j + 1] - patch[i][j] + patch[i + 1][j + 1] - patch[i + 1][j]) * v;
            dy[i][j] = float(patch[i + 1][j] - patch[i][j] + patch[i + 1][j + 1] - patch[i][j + 1]) * v;
        }

    float *vec = descriptor;
    for (int bi = 0; bi < 4; ++bi)
        for (int bj = 0; bj < 4; ++bj, vec += 4) {
            vec[0] = vec[1] = vec[2] = vec[3] = 0;
            for (int y = bi * 5; y < bi * 5 + 5; ++y)
                for (int x = bj * 5; x < bj * 5 + 5; ++x) {
                    const float tx = dx[y][x], ty = dy[y][x];
                    vec[0] += tx;
                    vec[1] += ty;
                    vec[2] += std::fabs(tx);
                    vec[3] += std::fabs(ty);
                }
        }
    double squares = 0;
    for (int k = 0; k < descriptorSize; ++k)
        squares += descriptor[k] * descriptor[k];
    const float scale = float(1.0 / (std::sqrt(squares) + FLT_EPSILON));
    for (int k = 0; k < descriptorSize; ++k)
        descriptor[k] *= scale;
}
