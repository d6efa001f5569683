#include "surfkernels.h"

#include "simd.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <immintrin.h>

// This file is compiled with -ffp-contract=off: a fused multiply-add rounds once where the scalar
// formulas (and OpenCV's figures) round twice.

#define QUILLET_AVX2 __attribute__((target("avx2")))
#define QUILLET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))

namespace {

using Box = CSurfKernels::Box;

inline int boxSum(const int *p, const Box &b)
{
    // Unsigned arithmetic: corner sums of a large picture may wrap, the box sum itself fits.
    return int(unsigned(p[b.p0]) + unsigned(p[b.p3]) - unsigned(p[b.p1]) - unsigned(p[b.p2]));
}

template <int N>
inline float filterAt(const int *p, const Box *boxes)
{
    double d = 0;
    for (int k = 0; k < N; ++k)
        d += double(float(boxSum(p, boxes[k])) * boxes[k].weight);
    return float(d);
}

inline void hessianAt(const int *p, const Box *dxx, const Box *dyy, const Box *dxy, float &det, signed char &lap)
{
    const float xx = filterAt<3>(p, dxx), yy = filterAt<3>(p, dyy), xy = filterAt<4>(p, dxy);
    det = xx * yy - 0.81f * xy * xy;
    const float trace = xx + yy;
    lap = static_cast<signed char>((trace > 0) - (trace < 0));
}

// ---- SSE2 (every x86-64 processor) ----

template <int N>
inline __m128 filter4(const int *p, int step, const Box *boxes)
{
    __m128d lo = _mm_setzero_pd(), hi = _mm_setzero_pd();
    for (int k = 0; k < N; ++k) {
        const Box &b = boxes[k];
        __m128i s;
        if (step == 1) {
            auto at = [&](int o) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + o)); };
            s = _mm_sub_epi32(_mm_sub_epi32(_mm_add_epi32(at(b.p0), at(b.p3)), at(b.p1)), at(b.p2));
        } else {
            auto at = [&](int o) { return _mm_set_epi32(p[o + 3 * step], p[o + 2 * step], p[o + step], p[o]); };
            s = _mm_sub_epi32(_mm_sub_epi32(_mm_add_epi32(at(b.p0), at(b.p3)), at(b.p1)), at(b.p2));
        }
        const __m128 f = _mm_mul_ps(_mm_cvtepi32_ps(s), _mm_set1_ps(b.weight));
        lo = _mm_add_pd(lo, _mm_cvtps_pd(f));
        hi = _mm_add_pd(hi, _mm_cvtps_pd(_mm_movehl_ps(f, f)));
    }
    return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
}

void hessianRowSse2(const int *row, int step, int count, const Box *dxx, const Box *dyy, const Box *dxy, float *det,
                    signed char *lap)
{
    int j = 0;
    const __m128 zero = _mm_setzero_ps(), k081 = _mm_set1_ps(0.81f);
    for (; j + 4 <= count; j += 4) {
        const int *p = row + size_t(j) * size_t(step);
        const __m128 xx = filter4<3>(p, step, dxx), yy = filter4<3>(p, step, dyy), xy = filter4<4>(p, step, dxy);
        _mm_storeu_ps(det + j, _mm_sub_ps(_mm_mul_ps(xx, yy), _mm_mul_ps(_mm_mul_ps(k081, xy), xy)));
        const __m128 trace = _mm_add_ps(xx, yy);
        const __m128i sign = _mm_sub_epi32(_mm_castps_si128(_mm_cmplt_ps(trace, zero)), _mm_castps_si128(_mm_cmpgt_ps(trace, zero)));
        const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(sign, sign), sign);
        const int packed = _mm_cvtsi128_si32(bytes);
        std::memcpy(lap + j, &packed, 4);
    }
    for (; j < count; ++j)
        hessianAt(row + size_t(j) * size_t(step), dxx, dyy, dxy, det[j], lap[j]);
}

void windowRowSse2(const unsigned char *image, size_t stride, int lastCol, int lastRow, double x0, double y0, double dx,
                   double dy, int count, unsigned char *out)
{
    // Positions are linear along the row, so the samples with all four neighbours form one run: the
    // nearest pixels on either side of it are taken while looking for its ends.
    auto has = [&](int j) {
        return unsigned(cvFloor(x0 + j * dx)) < unsigned(lastCol) && unsigned(cvFloor(y0 + j * dy)) < unsigned(lastRow);
    };
    auto nearest = [&](int j) {
        const int cx = std::clamp(cvRound(x0 + j * dx), 0, lastCol), cy = std::clamp(cvRound(y0 + j * dy), 0, lastRow);
        return image[size_t(cy) * stride + size_t(cx)];
    };
    int first = 0, last = count - 1;
    for (; first < count && !has(first); ++first)
        out[first] = nearest(first);
    for (; last > first && !has(last); --last)
        out[last] = nearest(last);

    const __m128 one = _mm_set1_ps(1.0f);
    const __m128i zero = _mm_setzero_si128();
    // In runs of 64 samples: first each sample's weights and four neighbours, then the mix four
    // samples at a time. Two passes, so that the vector loads never wait on fresh small stores.
    constexpr int run = 64;
    alignas(16) float la[run], lb[run];
    alignas(16) int lq[run];
    double x = x0 + first * dx, y = y0 + first * dy;
    for (int start = first; start <= last; start += run) {
        const int n = std::min(run, last + 1 - start);
        for (int k = 0; k < n; ++k, x += dx, y += dy) {
            const int ix = int(x), iy = int(y); // both positive: truncation is the floor
            la[k] = float(x - ix);
            lb[k] = float(y - iy);
            const unsigned char *c = image + size_t(iy) * stride + size_t(ix);
            lq[k] = int(unsigned(c[0]) | unsigned(c[1]) << 8 | unsigned(c[stride]) << 16 | unsigned(c[stride + 1]) << 24);
        }
        for (int k = n; k < (n + 3) / 4 * 4; ++k) {
            la[k] = lb[k] = 0.0f;
            lq[k] = 0;
        }
        for (int k = 0; k < n; k += 4) {
            const __m128 va = _mm_load_ps(la + k), vb = _mm_load_ps(lb + k);
            const __m128 na = _mm_sub_ps(one, va), nb = _mm_sub_ps(one, vb);
            // 16 bytes: the neighbours of four samples; widen, then transpose to one lane per sample.
            const __m128i raw = _mm_load_si128(reinterpret_cast<const __m128i *>(lq + k));
            const __m128i lo = _mm_unpacklo_epi8(raw, zero), hi = _mm_unpackhi_epi8(raw, zero);
            __m128 r0 = _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)), r1 = _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero));
            __m128 r2 = _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)), r3 = _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero));
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            __m128 v = _mm_mul_ps(_mm_mul_ps(r0, na), nb);
            v = _mm_add_ps(v, _mm_mul_ps(_mm_mul_ps(r1, va), nb));
            v = _mm_add_ps(v, _mm_mul_ps(_mm_mul_ps(r2, na), vb));
            v = _mm_add_ps(v, _mm_mul_ps(_mm_mul_ps(r3, va), vb));
            const __m128i rounded = _mm_cvtps_epi32(v); // to nearest, ties to even, as cvRound
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(rounded, rounded), zero);
            const int packed = _mm_cvtsi128_si32(bytes);
            std::memcpy(out + start + k, &packed, size_t(std::min(4, n - k)));
        }
    }
}

// ---- AVX2 ----

// The lanes of a group of 8 that exist (all bits set), for the last, partial group.
QUILLET_AVX2 inline __m256i lanes8(int n)
{
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Eight integral-image entries `step` apart (index holds 0, step, 2 step, ...); side by side when
// Unit. Missing lanes read nothing.
template <bool Unit>
QUILLET_AVX2 inline __m256i load8(const int *p, __m256i index, __m256i valid)
{
    if constexpr (Unit)
        return _mm256_maskload_epi32(p, valid);
    else
        return _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), p, index, valid, 4);
}

template <int N, bool Unit>
QUILLET_AVX2 inline __m256 filter8(const int *p, __m256i index, const Box *boxes, __m256i valid)
{
    __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
    for (int k = 0; k < N; ++k) {
        const Box &b = boxes[k];
        const __m256i s = _mm256_sub_epi32(
            _mm256_sub_epi32(_mm256_add_epi32(load8<Unit>(p + b.p0, index, valid), load8<Unit>(p + b.p3, index, valid)),
                             load8<Unit>(p + b.p1, index, valid)),
            load8<Unit>(p + b.p2, index, valid));
        const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(s), _mm256_set1_ps(b.weight));
        lo = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(f)));
        hi = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(f, 1)));
    }
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
}

template <bool Unit>
QUILLET_AVX2 void hessianRowAvx2(const int *row, int step, int count, const Box *dxx, const Box *dyy, const Box *dxy,
                                 float *det, signed char *lap)
{
    const __m256 zero = _mm256_setzero_ps(), k081 = _mm256_set1_ps(0.81f);
    const __m256i index = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(step));
    // The last, partial group runs with the missing lanes masked off.
    for (int j = 0; j < count; j += 8) {
        const int n = std::min(8, count - j);
        const __m256i valid = lanes8(n);
        const int *p = row + size_t(j) * size_t(step);
        const __m256 xx = filter8<3, Unit>(p, index, dxx, valid), yy = filter8<3, Unit>(p, index, dyy, valid);
        const __m256 xy = filter8<4, Unit>(p, index, dxy, valid);
        _mm256_maskstore_ps(det + j, valid, _mm256_sub_ps(_mm256_mul_ps(xx, yy), _mm256_mul_ps(_mm256_mul_ps(k081, xy), xy)));
        const __m256 trace = _mm256_add_ps(xx, yy);
        const __m256i sign = _mm256_sub_epi32(_mm256_castps_si256(_mm256_cmp_ps(trace, zero, _CMP_LT_OQ)),
                                              _mm256_castps_si256(_mm256_cmp_ps(trace, zero, _CMP_GT_OQ)));
        const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(sign), _mm256_extracti128_si256(sign, 1));
        const long long signs = _mm_cvtsi128_si64(_mm_packs_epi16(words, words));
        std::memcpy(lap + j, &signs, size_t(n));
    }
}

// Floor and fraction (float) of four exact positions.
QUILLET_AVX2 inline void splitPositions(__m256d p, __m128i &floor, __m128 &fraction)
{
    const __m256d f = _mm256_floor_pd(p);
    floor = _mm256_cvtpd_epi32(f);
    fraction = _mm256_cvtpd_ps(_mm256_sub_pd(p, f));
}

QUILLET_AVX2 inline __m256i join(__m128i lo, __m128i hi)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

QUILLET_AVX2 void windowRowAvx2(const unsigned char *image, size_t stride, int lastCol, int lastRow, double x0, double y0,
                                double dx, double dy, int count, unsigned char *out)
{
    // Positions step 8 samples at a time: every step is exact, so this is x0 + j * dx as well.
    const __m256d lanesLo = _mm256_setr_pd(0, 1, 2, 3), lanesHi = _mm256_setr_pd(4, 5, 6, 7);
    const __m256d stepX = _mm256_set1_pd(8 * dx), stepY = _mm256_set1_pd(8 * dy);
    __m256d xlo = _mm256_add_pd(_mm256_set1_pd(x0), _mm256_mul_pd(lanesLo, _mm256_set1_pd(dx)));
    __m256d xhi = _mm256_add_pd(_mm256_set1_pd(x0), _mm256_mul_pd(lanesHi, _mm256_set1_pd(dx)));
    __m256d ylo = _mm256_add_pd(_mm256_set1_pd(y0), _mm256_mul_pd(lanesLo, _mm256_set1_pd(dy)));
    __m256d yhi = _mm256_add_pd(_mm256_set1_pd(y0), _mm256_mul_pd(lanesHi, _mm256_set1_pd(dy)));
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256i bytes = _mm256_set1_epi32(0xff), vstride = _mm256_set1_epi32(int(stride));
    const __m256i cols = _mm256_set1_epi32(lastCol), rows = _mm256_set1_epi32(lastRow);
    const __m256i none = _mm256_setzero_si256(), below = _mm256_set1_epi32(-1);
    const int *top = reinterpret_cast<const int *>(image);
    // The lower row is read two bytes early, so that no read passes the picture's last byte.
    const int *bottom = reinterpret_cast<const int *>(image + stride - 2);
    // The last, partial group of samples runs with the missing lanes masked off.
    for (int j = 0; j < count; j += 8) {
        const int n = std::min(8, count - j);
        const __m256i valid = lanes8(n);
        __m128i ixlo, ixhi, iylo, iyhi;
        __m128 axlo, axhi, bylo, byhi;
        splitPositions(xlo, ixlo, axlo);
        splitPositions(xhi, ixhi, axhi);
        splitPositions(ylo, iylo, bylo);
        splitPositions(yhi, iyhi, byhi);
        const __m256i ix = join(ixlo, ixhi), iy = join(iylo, iyhi);
        const __m256i inside = _mm256_and_si256(
            _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(ix, below), _mm256_cmpgt_epi32(cols, ix)),
                             _mm256_and_si256(_mm256_cmpgt_epi32(iy, below), _mm256_cmpgt_epi32(rows, iy))),
            valid);
        __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(iy, vstride), ix);
        __m256i shift = none;
        __m256 a = _mm256_insertf128_ps(_mm256_castps128_ps256(axlo), axhi, 1);
        __m256 b = _mm256_insertf128_ps(_mm256_castps128_ps256(bylo), byhi, 1);
        if (_mm256_movemask_ps(_mm256_castsi256_ps(inside)) != (1 << n) - 1) {
            // Outside: the nearest pixel (ties to even), read from three bytes early on the last row,
            // with weights 0 so that the mix is exactly that pixel.
            const __m256i cx = _mm256_min_epi32(
                _mm256_max_epi32(join(_mm256_cvtpd_epi32(xlo), _mm256_cvtpd_epi32(xhi)), none), cols);
            const __m256i cy = _mm256_min_epi32(
                _mm256_max_epi32(join(_mm256_cvtpd_epi32(ylo), _mm256_cvtpd_epi32(yhi)), none), rows);
            const __m256i last = _mm256_andnot_si256(inside, _mm256_cmpeq_epi32(cy, rows));
            const __m256i nearest = _mm256_sub_epi32(_mm256_add_epi32(_mm256_mullo_epi32(cy, vstride), cx),
                                                     _mm256_and_si256(last, _mm256_set1_epi32(3)));
            at = _mm256_blendv_epi8(nearest, at, inside);
            shift = _mm256_and_si256(last, _mm256_set1_epi32(24));
            a = _mm256_and_ps(a, _mm256_castsi256_ps(inside));
            b = _mm256_and_ps(b, _mm256_castsi256_ps(inside));
        }
        const __m256i up = _mm256_mask_i32gather_epi32(none, top, at, valid, 1);
        const __m256i down = _mm256_mask_i32gather_epi32(none, bottom, at, inside, 1);
        const __m256 c0 = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srlv_epi32(up, shift), bytes));
        const __m256 c1 = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(up, 8), bytes));
        const __m256 c2 = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(down, 16), bytes));
        const __m256 c3 = _mm256_cvtepi32_ps(_mm256_srli_epi32(down, 24));
        const __m256 na = _mm256_sub_ps(one, a), nb = _mm256_sub_ps(one, b);
        __m256 v = _mm256_mul_ps(_mm256_mul_ps(c0, na), nb);
        v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_mul_ps(c1, a), nb));
        v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_mul_ps(c2, na), b));
        v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_mul_ps(c3, a), b));
        const __m256i rounded = _mm256_cvtps_epi32(v);
        const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(rounded), _mm256_extracti128_si256(rounded, 1));
        const long long packed = _mm_cvtsi128_si64(_mm_packus_epi16(words, words));
        std::memcpy(out + j, &packed, size_t(n));
        xlo = _mm256_add_pd(xlo, stepX);
        xhi = _mm256_add_pd(xhi, stepX);
        ylo = _mm256_add_pd(ylo, stepY);
        yhi = _mm256_add_pd(yhi, stepY);
    }
}

// ---- AVX-512 ----

// Sixteen integral-image entries `step` apart: side by side (Step 1), every second one picked from
// two loads (Step 2: the second load leaves out its last entry, which may lie past the image), or
// gathered (index holds 0, step, 2 step, ...).
// Which lanes of a group of 16 samples exist, and (for Step 2) which entries of the two loads.
struct Lanes16
{
    __mmask16 valid, low, high;
    explicit Lanes16(int n)
    {
        valid = n >= 16 ? __mmask16(0xffff) : __mmask16((1u << n) - 1);
        const int entries = 2 * n - 1; // every second one of these is used
        low = entries >= 16 ? __mmask16(0xffff) : __mmask16((1u << entries) - 1);
        const int beyond = std::clamp(entries - 16, 0, 15);
        high = __mmask16((1u << beyond) - 1);
    }
};

// Sixteen integral-image entries `step` apart: side by side (Step 1), every second one picked from
// two loads (Step 2), or gathered (index holds 0, step, 2 step, ...). Missing lanes read nothing.
template <int Step>
QUILLET_AVX512 inline __m512i load16(const int *p, __m512i index, const Lanes16 &lanes)
{
    if constexpr (Step == 1) {
        return _mm512_maskz_loadu_epi32(lanes.valid, p);
    } else if constexpr (Step == 2) {
        const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        return _mm512_permutex2var_epi32(_mm512_maskz_loadu_epi32(lanes.low, p), even,
                                         _mm512_maskz_loadu_epi32(lanes.high, p + 16));
    } else {
        return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), lanes.valid, index, p, 4);
    }
}

template <int N, int Step>
QUILLET_AVX512 inline __m512 filter16(const int *p, __m512i index, const Box *boxes, const Lanes16 &lanes)
{
    __m512d lo = _mm512_setzero_pd(), hi = _mm512_setzero_pd();
    for (int k = 0; k < N; ++k) {
        const Box &b = boxes[k];
        const __m512i s = _mm512_sub_epi32(
            _mm512_sub_epi32(_mm512_add_epi32(load16<Step>(p + b.p0, index, lanes), load16<Step>(p + b.p3, index, lanes)),
                             load16<Step>(p + b.p1, index, lanes)),
            load16<Step>(p + b.p2, index, lanes));
        const __m512 f = _mm512_mul_ps(_mm512_cvtepi32_ps(s), _mm512_set1_ps(b.weight));
        lo = _mm512_add_pd(lo, _mm512_cvtps_pd(_mm512_castps512_ps256(f)));
        hi = _mm512_add_pd(hi, _mm512_cvtps_pd(_mm512_extractf32x8_ps(f, 1)));
    }
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo)), _mm512_cvtpd_ps(hi), 1);
}

template <int Step>
QUILLET_AVX512 void hessianRowAvx512(const int *row, int step, int count, const Box *dxx, const Box *dyy,
                                     const Box *dxy, float *det, signed char *lap)
{
    const __m512 zero = _mm512_setzero_ps(), k081 = _mm512_set1_ps(0.81f);
    const __m512i index = _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                             _mm512_set1_epi32(step));
    const __m512i plus = _mm512_set1_epi32(1), minus = _mm512_set1_epi32(-1), none = _mm512_setzero_si512();
    // The last, partial group runs with the missing lanes masked off.
    for (int j = 0; j < count; j += 16) {
        const Lanes16 lanes(count - j);
        const int *p = row + size_t(j) * size_t(step);
        const __m512 xx = filter16<3, Step>(p, index, dxx, lanes), yy = filter16<3, Step>(p, index, dyy, lanes);
        const __m512 xy = filter16<4, Step>(p, index, dxy, lanes);
        _mm512_mask_storeu_ps(det + j, lanes.valid,
                              _mm512_sub_ps(_mm512_mul_ps(xx, yy), _mm512_mul_ps(_mm512_mul_ps(k081, xy), xy)));
        const __m512 trace = _mm512_add_ps(xx, yy);
        __m512i sign = _mm512_mask_blend_epi32(_mm512_cmp_ps_mask(trace, zero, _CMP_GT_OQ), none, plus);
        sign = _mm512_mask_blend_epi32(_mm512_cmp_ps_mask(trace, zero, _CMP_LT_OQ), sign, minus);
        _mm_mask_storeu_epi8(lap + j, lanes.valid, _mm512_cvtepi32_epi8(sign));
    }
}

QUILLET_AVX512 inline __m512i join(__m256i lo, __m256i hi)
{
    return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

QUILLET_AVX512 inline __m512 joinf(__m256 lo, __m256 hi)
{
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
}

QUILLET_AVX512 void windowRowAvx512(const unsigned char *image, size_t stride, int lastCol, int lastRow, double x0,
                                    double y0, double dx, double dy, int count, unsigned char *out)
{
    int j = 0;
    const __m512d lanesLo = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7), lanesHi = _mm512_setr_pd(8, 9, 10, 11, 12, 13, 14, 15);
    const __m512d vdx = _mm512_set1_pd(dx), vdy = _mm512_set1_pd(dy);
    // Positions step 16 samples at a time: every step is exact, so this is x0 + j * dx as well.
    const __m512d stepX = _mm512_set1_pd(16 * dx), stepY = _mm512_set1_pd(16 * dy);
    __m512d xlo = _mm512_add_pd(_mm512_set1_pd(x0), _mm512_mul_pd(lanesLo, vdx));
    __m512d xhi = _mm512_add_pd(_mm512_set1_pd(x0), _mm512_mul_pd(lanesHi, vdx));
    __m512d ylo = _mm512_add_pd(_mm512_set1_pd(y0), _mm512_mul_pd(lanesLo, vdy));
    __m512d yhi = _mm512_add_pd(_mm512_set1_pd(y0), _mm512_mul_pd(lanesHi, vdy));
    const __m512 one = _mm512_set1_ps(1.0f);
    const __m512i bytes = _mm512_set1_epi32(0xff), vstride = _mm512_set1_epi32(int(stride));
    const __m512i cols = _mm512_set1_epi32(lastCol), rows = _mm512_set1_epi32(lastRow), none = _mm512_setzero_si512();
    // The lower row is read two bytes early, so that no read passes the picture's last byte.
    const unsigned char *bottom = image + stride - 2;
    // The last, partial group of samples runs with the missing lanes masked off.
    for (; j < count; j += 16) {
        const __mmask16 valid = count - j >= 16 ? __mmask16(0xffff) : __mmask16((1u << (count - j)) - 1);
        const __m512d fxlo = _mm512_roundscale_pd(xlo, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        const __m512d fxhi = _mm512_roundscale_pd(xhi, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        const __m512d fylo = _mm512_roundscale_pd(ylo, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        const __m512d fyhi = _mm512_roundscale_pd(yhi, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        const __m512i ix = join(_mm512_cvtpd_epi32(fxlo), _mm512_cvtpd_epi32(fxhi));
        const __m512i iy = join(_mm512_cvtpd_epi32(fylo), _mm512_cvtpd_epi32(fyhi));
        const __mmask16 inside = _mm512_cmplt_epu32_mask(ix, cols) & _mm512_cmplt_epu32_mask(iy, rows) & valid;
        __m512 a = joinf(_mm512_cvtpd_ps(_mm512_sub_pd(xlo, fxlo)), _mm512_cvtpd_ps(_mm512_sub_pd(xhi, fxhi)));
        __m512 b = joinf(_mm512_cvtpd_ps(_mm512_sub_pd(ylo, fylo)), _mm512_cvtpd_ps(_mm512_sub_pd(yhi, fyhi)));
        __m512i at = _mm512_add_epi32(_mm512_mullo_epi32(iy, vstride), ix);
        __m512i shift = none;
        if (inside != valid) {
            // Outside: the nearest pixel (ties to even), read from three bytes early on the last row,
            // with weights 0 so that the mix is exactly that pixel.
            const __m512i cx = _mm512_min_epi32(_mm512_max_epi32(join(_mm512_cvtpd_epi32(xlo), _mm512_cvtpd_epi32(xhi)), none), cols);
            const __m512i cy = _mm512_min_epi32(_mm512_max_epi32(join(_mm512_cvtpd_epi32(ylo), _mm512_cvtpd_epi32(yhi)), none), rows);
            const __mmask16 last = _mm512_mask_cmpeq_epi32_mask(__mmask16(valid & ~inside), cy, rows);
            __m512i nearest = _mm512_add_epi32(_mm512_mullo_epi32(cy, vstride), cx);
            nearest = _mm512_mask_sub_epi32(nearest, last, nearest, _mm512_set1_epi32(3));
            at = _mm512_mask_mov_epi32(nearest, inside, at);
            shift = _mm512_maskz_mov_epi32(last, _mm512_set1_epi32(24));
            a = _mm512_maskz_mov_ps(inside, a);
            b = _mm512_maskz_mov_ps(inside, b);
        }
        const __m512i up = _mm512_mask_i32gather_epi32(none, valid, at, image, 1);
        const __m512i down = _mm512_mask_i32gather_epi32(none, inside, at, bottom, 1);
        const __m512 c0 = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srlv_epi32(up, shift), bytes));
        const __m512 c1 = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(up, 8), bytes));
        const __m512 c2 = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(down, 16), bytes));
        const __m512 c3 = _mm512_cvtepi32_ps(_mm512_srli_epi32(down, 24));
        const __m512 na = _mm512_sub_ps(one, a), nb = _mm512_sub_ps(one, b);
        __m512 v = _mm512_mul_ps(_mm512_mul_ps(c0, na), nb);
        v = _mm512_add_ps(v, _mm512_mul_ps(_mm512_mul_ps(c1, a), nb));
        v = _mm512_add_ps(v, _mm512_mul_ps(_mm512_mul_ps(c2, na), b));
        v = _mm512_add_ps(v, _mm512_mul_ps(_mm512_mul_ps(c3, a), b));
        _mm_mask_storeu_epi8(out + j, valid, _mm512_cvtepi32_epi8(_mm512_cvtps_epi32(v)));
        xlo = _mm512_add_pd(xlo, stepX);
        xhi = _mm512_add_pd(xhi, stepX);
        ylo = _mm512_add_pd(ylo, stepY);
        yhi = _mm512_add_pd(yhi, stepY);
    }
}

// ---- Area averaging: rows summed into patch columns, 8 or 16 window rows at a time ----

using AreaWork = CSurfKernels::AreaWork;

// Row sums of one window row: each patch column adds its pixels times their weights in table order.
void areaRowScalar(const unsigned char *row, const AreaWork &t, int patchSide, float *out)
{
    std::fill(out, out + patchSide, 0.0f);
    const size_t n = t.source.size();
    for (size_t k = 0; k < n; ++k)
        out[t.target[k]] += row[t.source[k]] * t.weight[k];
}

// Four window rows in the lanes; a patch column's entries are consecutive in the table, so its sum
// stays in a register until the column changes.
void areaRowsSse2(const unsigned char *window, int side, const AreaWork &t, int patchSide, float *rows)
{
    const size_t n = t.source.size();
    const size_t w = size_t(side);
    int r = 0;
    for (; r + 4 <= side; r += 4) {
        const unsigned char *p = window + size_t(r) * w;
        alignas(16) float lanes[32][4];
        for (int c = 0; c < patchSide; ++c)
            _mm_store_ps(lanes[c], _mm_setzero_ps());
        size_t k = 0;
        while (k < n) {
            const int column = t.target[k];
            __m128 sum = _mm_setzero_ps();
            for (; k < n && t.target[k] == column; ++k) {
                const size_t at = size_t(t.source[k]);
                const __m128 pixels = _mm_cvtepi32_ps(_mm_setr_epi32(p[at], p[w + at], p[2 * w + at], p[3 * w + at]));
                sum = _mm_add_ps(sum, _mm_mul_ps(pixels, _mm_set1_ps(t.weight[k])));
            }
            _mm_store_ps(lanes[column], sum);
        }
        for (int c = 0; c < patchSide; ++c)
            for (int l = 0; l < 4; ++l)
                rows[size_t(r + l) * size_t(patchSide) + size_t(c)] = lanes[c][l];
    }
    for (; r < side; ++r)
        areaRowScalar(window + size_t(r) * w, t, patchSide, rows + size_t(r) * size_t(patchSide));
}

QUILLET_AVX2 void areaRowsAvx2(const unsigned char *window, int side, const AreaWork &t, int patchSide, float *rows)
{
    const size_t n = t.source.size();
    const __m256i bytes = _mm256_set1_epi32(0xff), none = _mm256_setzero_si256();
    __m256 sums[32];
    alignas(32) float lanes[8];
    // The last, partial group of rows runs with the missing lanes masked off.
    for (int r = 0; r < side; r += 8) {
        const int present = std::min(8, side - r);
        const __m256i valid = lanes8(present);
        const __m256i starts = _mm256_mullo_epi32(_mm256_setr_epi32(r, r + 1, r + 2, r + 3, r + 4, r + 5, r + 6, r + 7),
                                                  _mm256_set1_epi32(side));
        for (int c = 0; c < patchSide; ++c)
            sums[c] = _mm256_setzero_ps();
        for (size_t k = 0; k < n; ++k) {
            const __m256i at = _mm256_add_epi32(starts, _mm256_set1_epi32(t.source[k]));
            const __m256i pixels = _mm256_and_si256(
                _mm256_mask_i32gather_epi32(none, reinterpret_cast<const int *>(window), at, valid, 1), bytes);
            __m256 &sum = sums[t.target[k]];
            sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_cvtepi32_ps(pixels), _mm256_set1_ps(t.weight[k])));
        }
        for (int c = 0; c < patchSide; ++c) {
            _mm256_store_ps(lanes, sums[c]);
            for (int l = 0; l < present; ++l)
                rows[size_t(r + l) * size_t(patchSide) + size_t(c)] = lanes[l];
        }
    }
}

QUILLET_AVX512 void areaRowsAvx512(const unsigned char *window, int side, const AreaWork &t, int patchSide, float *rows)
{
    const size_t n = t.source.size();
    const __m512i bytes = _mm512_set1_epi32(0xff), none = _mm512_setzero_si512();
    __m512 sums[32];
    alignas(64) float lanes[16];
    // The last, partial group of rows runs with the missing lanes masked off.
    for (int r = 0; r < side; r += 16) {
        const int present = std::min(16, side - r);
        const __mmask16 valid = present == 16 ? __mmask16(0xffff) : __mmask16((1u << present) - 1);
        const __m512i starts = _mm512_mullo_epi32(
            _mm512_add_epi32(_mm512_set1_epi32(r), _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)),
            _mm512_set1_epi32(side));
        for (int c = 0; c < patchSide; ++c)
            sums[c] = _mm512_setzero_ps();
        for (size_t k = 0; k < n; ++k) {
            const __m512i at = _mm512_add_epi32(starts, _mm512_set1_epi32(t.source[k]));
            const __m512i pixels = _mm512_and_si512(_mm512_mask_i32gather_epi32(none, valid, at, window, 1), bytes);
            __m512 &sum = sums[t.target[k]];
            sum = _mm512_add_ps(sum, _mm512_mul_ps(_mm512_cvtepi32_ps(pixels), _mm512_set1_ps(t.weight[k])));
        }
        for (int c = 0; c < patchSide; ++c) {
            _mm512_store_ps(lanes, sums[c]);
            for (int l = 0; l < present; ++l)
                rows[size_t(r + l) * size_t(patchSide) + size_t(c)] = lanes[l];
        }
    }
}

// The weights of an area shrink from `side` to `patchSide` cells along one axis with cell width
// `scale`: a partly covered first pixel, the fully covered ones, a partly covered last pixel.
void areaTable(int side, int patchSide, double scale, AreaWork &t)
{
    t.source.clear();
    t.target.clear();
    t.weight.clear();
    auto add = [&](int source, int target, float weight) {
        t.source.push_back(source);
        t.target.push_back(target);
        t.weight.push_back(weight);
    };
    for (int d = 0; d < patchSide; ++d) {
        const double from = d * scale, to = from + scale;
        const double width = std::min(scale, side - from);
        int first = cvCeil(from), last = cvFloor(to);
        last = std::min(last, side - 1);
        first = std::min(first, last);
        if (first - from > 1e-3)
            add(first - 1, d, float((first - from) / width));
        for (int x = first; x < last; ++x)
            add(x, d, float(1.0 / width));
        if (to - last > 1e-3)
            add(last, d, float(std::min(std::min(to - last, 1.0), width) / width));
    }
}

// ---- Orientation windows ----

// For each rounded angle 0..360, the windows that hold it, as bits (window w is bit w % 16 of word
// w / 16): the windows starting less than 30 degrees before or after the angle.
struct WindowMasks
{
    unsigned short bits[361][5] = {};
    WindowMasks()
    {
        for (int r = 0; r <= 360; ++r)
            for (int start = ((r - 29 + 360 + 4) / 5) * 5 - 360; start < r + 30; start += 5) {
                const int window = (((start % 360) + 360) % 360) / 5;
                bits[r][window / 16] = static_cast<unsigned short>(bits[r][window / 16] | (1u << (window % 16)));
            }
    }
};

// Built once, read only afterwards.
const WindowMasks &windowMasks()
{
    static const WindowMasks masks;
    return masks;
}

void orientationWindowsScalar(const float *x, const float *y, const int *angles, int count, float *sumX, float *sumY)
{
    const WindowMasks &m = windowMasks();
    std::fill(sumX, sumX + CSurfKernels::orientationWindows, 0.0f);
    std::fill(sumY, sumY + CSurfKernels::orientationWindows, 0.0f);
    for (int k = 0; k < count; ++k) {
        const unsigned short *bits = m.bits[std::clamp(angles[k], 0, 360)];
        for (int word = 0; word < 5; ++word)
            for (unsigned set = bits[word]; set; set &= set - 1) {
                const int w = 16 * word + __builtin_ctz(set);
                sumX[w] += x[k];
                sumY[w] += y[k];
            }
    }
}

// Each window's sum in its own lane; a sample adds to the lanes of its windows. A lane that does not
// hold the sample adds +0, which changes nothing but the sign of a zero sum (and no orientation
// depends on that sign).
QUILLET_AVX2 void orientationWindowsAvx2(const float *x, const float *y, const int *angles, int count, float *sumX,
                                         float *sumY)
{
    const WindowMasks &m = windowMasks();
    __m256 sx[9], sy[9];
    for (int c = 0; c < 9; ++c)
        sx[c] = sy[c] = _mm256_setzero_ps();
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    for (int k = 0; k < count; ++k) {
        const unsigned short *bits = m.bits[std::clamp(angles[k], 0, 360)];
        const __m256 vx = _mm256_set1_ps(x[k]), vy = _mm256_set1_ps(y[k]);
        for (int c = 0; c < 9; ++c) {
            const int byte = (bits[c / 2] >> (8 * (c % 2))) & 0xff;
            const __m256 in = _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(byte), bit), bit));
            sx[c] = _mm256_add_ps(sx[c], _mm256_and_ps(vx, in));
            sy[c] = _mm256_add_ps(sy[c], _mm256_and_ps(vy, in));
        }
    }
    for (int c = 0; c < 9; ++c) {
        _mm256_storeu_ps(sumX + 8 * c, sx[c]);
        _mm256_storeu_ps(sumY + 8 * c, sy[c]);
    }
}

QUILLET_AVX512 void orientationWindowsAvx512(const float *x, const float *y, const int *angles, int count, float *sumX,
                                             float *sumY)
{
    const WindowMasks &m = windowMasks();
    __m512 sx[5], sy[5];
    for (int c = 0; c < 5; ++c)
        sx[c] = sy[c] = _mm512_setzero_ps();
    for (int k = 0; k < count; ++k) {
        const unsigned short *bits = m.bits[std::clamp(angles[k], 0, 360)];
        const __m512 vx = _mm512_set1_ps(x[k]), vy = _mm512_set1_ps(y[k]);
        for (int c = 0; c < 5; ++c) {
            sx[c] = _mm512_mask_add_ps(sx[c], __mmask16(bits[c]), sx[c], vx);
            sy[c] = _mm512_mask_add_ps(sy[c], __mmask16(bits[c]), sy[c], vy);
        }
    }
    alignas(64) float lanesX[80], lanesY[80];
    for (int c = 0; c < 5; ++c) {
        _mm512_store_ps(lanesX + 16 * c, sx[c]);
        _mm512_store_ps(lanesY + 16 * c, sy[c]);
    }
    std::copy(lanesX, lanesX + CSurfKernels::orientationWindows, sumX);
    std::copy(lanesY, lanesY + CSurfKernels::orientationWindows, sumY);
}

// ---- Descriptor distances: descriptors in the lanes ----

template <int Lanes, typename Vec, typename Load, typename Sub, typename Mul, typename Add, typename Store>
inline void distancesInLanes(const float *a, const float *columns, size_t stride, int count, int length, double *out,
                             Load load, Sub sub, Mul mul, Add add, Store store, Vec zero)
{
    int c = 0;
    for (; c + Lanes <= count; c += Lanes) {
        Vec total = zero;
        int i = 0;
        for (; i + 4 <= length; i += 4) {
            const Vec t0 = sub(a[i], load(columns + size_t(i) * stride + size_t(c)));
            const Vec t1 = sub(a[i + 1], load(columns + size_t(i + 1) * stride + size_t(c)));
            const Vec t2 = sub(a[i + 2], load(columns + size_t(i + 2) * stride + size_t(c)));
            const Vec t3 = sub(a[i + 3], load(columns + size_t(i + 3) * stride + size_t(c)));
            total = add(total, add(add(add(mul(t0, t0), mul(t1, t1)), mul(t2, t2)), mul(t3, t3)));
        }
        for (; i < length; ++i) {
            const Vec t = sub(a[i], load(columns + size_t(i) * stride + size_t(c)));
            total = add(total, mul(t, t));
        }
        store(out + c, total);
    }
    for (; c < count; ++c) {
        double total = 0;
        int i = 0;
        for (; i + 4 <= length; i += 4) {
            const double t0 = double(a[i]) - columns[size_t(i) * stride + size_t(c)];
            const double t1 = double(a[i + 1]) - columns[size_t(i + 1) * stride + size_t(c)];
            const double t2 = double(a[i + 2]) - columns[size_t(i + 2) * stride + size_t(c)];
            const double t3 = double(a[i + 3]) - columns[size_t(i + 3) * stride + size_t(c)];
            total += t0 * t0 + t1 * t1 + t2 * t2 + t3 * t3;
        }
        for (; i < length; ++i) {
            const double t = double(a[i]) - columns[size_t(i) * stride + size_t(c)];
            total += t * t;
        }
        out[c] = total;
    }
}

void distancesSse2(const float *a, const float *columns, size_t stride, int count, int length, double *out)
{
    distancesInLanes<2, __m128d>(
        a, columns, stride, count, length, out,
        [](const float *p) { return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)))); },
        [](float x, __m128d v) { return _mm_sub_pd(_mm_set1_pd(double(x)), v); },
        [](__m128d x, __m128d y) { return _mm_mul_pd(x, y); }, [](__m128d x, __m128d y) { return _mm_add_pd(x, y); },
        [](double *p, __m128d v) { _mm_storeu_pd(p, v); }, _mm_setzero_pd());
}

// Descriptors c .. c + 3 less element i of `a`, in double.
QUILLET_AVX2 inline __m256d diff4(const float *a, const float *columns, size_t stride, int c, int i)
{
    return _mm256_sub_pd(_mm256_set1_pd(double(a[i])), _mm256_cvtps_pd(_mm_loadu_ps(columns + size_t(i) * stride + size_t(c))));
}

QUILLET_AVX2 void distancesAvx2(const float *a, const float *columns, size_t stride, int count, int length, double *out)
{
    int c = 0;
    for (; c + 4 <= count; c += 4) {
        __m256d total = _mm256_setzero_pd();
        int i = 0;
        for (; i + 4 <= length; i += 4) {
            const __m256d t0 = diff4(a, columns, stride, c, i), t1 = diff4(a, columns, stride, c, i + 1);
            const __m256d t2 = diff4(a, columns, stride, c, i + 2), t3 = diff4(a, columns, stride, c, i + 3);
            total = _mm256_add_pd(total, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(t0, t0), _mm256_mul_pd(t1, t1)),
                                                                     _mm256_mul_pd(t2, t2)),
                                                       _mm256_mul_pd(t3, t3)));
        }
        for (; i < length; ++i) {
            const __m256d t = diff4(a, columns, stride, c, i);
            total = _mm256_add_pd(total, _mm256_mul_pd(t, t));
        }
        _mm256_storeu_pd(out + c, total);
    }
    if (c < count)
        distancesSse2(a, columns + c, stride, count - c, length, out + c);
}

// Descriptors c .. c + 7 less element i of `a`, in double.
QUILLET_AVX512 inline __m512d diff8(const float *a, const float *columns, size_t stride, int c, int i)
{
    return _mm512_sub_pd(_mm512_set1_pd(double(a[i])), _mm512_cvtps_pd(_mm256_loadu_ps(columns + size_t(i) * stride + size_t(c))));
}

QUILLET_AVX512 void distancesAvx512(const float *a, const float *columns, size_t stride, int count, int length, double *out)
{
    int c = 0;
    for (; c + 8 <= count; c += 8) {
        __m512d total = _mm512_setzero_pd();
        int i = 0;
        for (; i + 4 <= length; i += 4) {
            const __m512d t0 = diff8(a, columns, stride, c, i), t1 = diff8(a, columns, stride, c, i + 1);
            const __m512d t2 = diff8(a, columns, stride, c, i + 2), t3 = diff8(a, columns, stride, c, i + 3);
            total = _mm512_add_pd(total, _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(t0, t0), _mm512_mul_pd(t1, t1)),
                                                                     _mm512_mul_pd(t2, t2)),
                                                       _mm512_mul_pd(t3, t3)));
        }
        for (; i < length; ++i) {
            const __m512d t = diff8(a, columns, stride, c, i);
            total = _mm512_add_pd(total, _mm512_mul_pd(t, t));
        }
        _mm512_storeu_pd(out + c, total);
    }
    if (c < count)
        distancesSse2(a, columns + c, stride, count - c, length, out + c);
}

} // namespace

void CSurfKernels::squaredDistances(const float *a, const float *columns, size_t stride, int count, int length,
                                    double *out)
{
    switch (CSimd::level()) {
    case CSimd::Level::Avx512: distancesAvx512(a, columns, stride, count, length, out); return;
    case CSimd::Level::Avx2: distancesAvx2(a, columns, stride, count, length, out); return;
    case CSimd::Level::Sse2: break;
    }
    distancesSse2(a, columns, stride, count, length, out);
}

void CSurfKernels::sumOrientationWindows(const float *x, const float *y, const int *angles, int count, float *sumX,
                                         float *sumY)
{
    switch (CSimd::level()) {
    case CSimd::Level::Avx512: orientationWindowsAvx512(x, y, angles, count, sumX, sumY); return;
    case CSimd::Level::Avx2: orientationWindowsAvx2(x, y, angles, count, sumX, sumY); return;
    case CSimd::Level::Sse2: break;
    }
    orientationWindowsScalar(x, y, angles, count, sumX, sumY);
}

bool CSurfKernels::shrinkWindow(const unsigned char *window, int side, int patchSide, unsigned char *patch, AreaWork &work)
{
    // The same cell width as cv::resize derives from the two sizes.
    const double scale = 1.0 / (double(patchSide) / double(side));
    if (patchSide > 32 || scale < 1.0 || std::abs(scale - cvRound(scale)) < DBL_EPSILON)
        return false;
    areaTable(side, patchSide, scale, work);
    work.rows.resize(size_t(side) * size_t(patchSide) + 3);
    float *rows = work.rows.data();
    switch (CSimd::level()) {
    case CSimd::Level::Avx512: areaRowsAvx512(window, side, work, patchSide, rows); break;
    case CSimd::Level::Avx2: areaRowsAvx2(window, side, work, patchSide, rows); break;
    case CSimd::Level::Sse2: areaRowsSse2(window, side, work, patchSide, rows); break;
    }
    // The same table serves the rows (the window is square): each patch row adds its window rows'
    // sums times their weights, in table order; four columns at a time (the row sums have room for
    // the last group to run over).
    const int groups = (patchSide + 3) / 4;
    __m128 sum[8];
    for (int g = 0; g < groups; ++g)
        sum[g] = _mm_setzero_ps();
    int row = work.target.empty() ? 0 : work.target[0];
    auto store = [&](int r) {
        alignas(16) unsigned char bytes[32];
        for (int g = 0; g < groups; ++g) {
            // Rounded to nearest (ties to even) and clamped to 0..255, as saturate_cast does.
            const __m128i rounded = _mm_cvtps_epi32(sum[g]);
            const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(rounded, rounded), rounded);
            const int four = _mm_cvtsi128_si32(packed);
            std::memcpy(bytes + 4 * g, &four, 4);
        }
        std::memcpy(patch + size_t(r) * size_t(patchSide), bytes, size_t(patchSide));
    };
    for (size_t k = 0; k < work.source.size(); ++k) {
        const __m128 beta = _mm_set1_ps(work.weight[k]);
        const float *b = rows + size_t(work.source[k]) * size_t(patchSide);
        if (work.target[k] != row) {
            store(row);
            for (int g = 0; g < groups; ++g)
                sum[g] = _mm_mul_ps(beta, _mm_loadu_ps(b + 4 * g));
            row = work.target[k];
        } else {
            for (int g = 0; g < groups; ++g)
                sum[g] = _mm_add_ps(sum[g], _mm_mul_ps(beta, _mm_loadu_ps(b + 4 * g)));
        }
    }
    store(row);
    return true;
}

void CSurfKernels::hessianRow(const int *row, int step, int count, const Box *dxx, const Box *dyy, const Box *dxy,
                              float *det, signed char *laplacian)
{
    switch (CSimd::level()) {
    case CSimd::Level::Avx512:
        if (step == 1)
            hessianRowAvx512<1>(row, step, count, dxx, dyy, dxy, det, laplacian);
        else if (step == 2)
            hessianRowAvx512<2>(row, step, count, dxx, dyy, dxy, det, laplacian);
        else
            hessianRowAvx512<0>(row, step, count, dxx, dyy, dxy, det, laplacian);
        return;
    case CSimd::Level::Avx2:
        if (step == 1)
            hessianRowAvx2<true>(row, step, count, dxx, dyy, dxy, det, laplacian);
        else
            hessianRowAvx2<false>(row, step, count, dxx, dyy, dxy, det, laplacian);
        return;
    case CSimd::Level::Sse2:
        break;
    }
    hessianRowSse2(row, step, count, dxx, dyy, dxy, det, laplacian);
}

void CSurfKernels::windowRow(const unsigned char *image, size_t stride, int width, int height, double x0, double y0,
                             double dx, double dy, int count, unsigned char *out)
{
    // The wide kernels address the picture with 32-bit offsets.
    const bool small = size_t(height) * stride < size_t(INT_MAX) / 2;
    switch (small ? CSimd::level() : CSimd::Level::Sse2) {
    case CSimd::Level::Avx512: windowRowAvx512(image, stride, width - 1, height - 1, x0, y0, dx, dy, count, out); return;
    case CSimd::Level::Avx2: windowRowAvx2(image, stride, width - 1, height - 1, x0, y0, dx, dy, count, out); return;
    case CSimd::Level::Sse2: break;
    }
    windowRowSse2(image, stride, width - 1, height - 1, x0, y0, dx, dy, count, out);
}

bool CSurfKernels::stepsAreExact(float start, float delta, int count)
{
    if (delta == 0 || count <= 1)
        return std::isfinite(start);
    // Binary exponents read from the bits (a zero or subnormal start counts as very fine, which only
    // ever sends a row to the step-by-step loop).
    auto exponent = [](float f) {
        unsigned bits;
        std::memcpy(&bits, &f, sizeof bits);
        return int((bits >> 23) & 0xff) - 127;
    };
    const int es = exponent(start), ed = exponent(delta);
    if (es == 128 || ed == 128) // infinite or not a number
        return false;
    // Every partial sum is a multiple of the finer of the two last-bit weights; when the largest of
    // them still fits in a double's 53 bits (one bit kept in hand), no step rounds.
    const int finest = start == 0 ? ed - 23 : std::min(es, ed) - 23;
    const double largest = std::fabs(double(start)) + double(count - 1) * std::fabs(double(delta));
    unsigned long long bits;
    std::memcpy(&bits, &largest, sizeof bits);
    return int((bits >> 52) & 0x7ff) - 1023 < finest + 52;
}
