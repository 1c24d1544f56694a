// rasterkit per-pixel math, compiled twice: by g++ into rasterkit._cpu and by NVRTC
// (or nvcc) into the CUDA kernels of kernels.cu, so both backends give the same
// numbers up to float rounding. Plain C++ only: no standard headers under CUDA, no
// exceptions, no allocation.
//
// Conventions follow OpenCV: pixel centres at integer coordinates, resize sampling at
// (x + 0.5) * scale - 0.5 with scale = source size / destination size, borders of
// resize replicated, warps sampling 0 outside the source, blur borders reflected
// without repeating the edge pixel (gfedcb|abcdefgh|gfedcba).
#pragma once

#if defined(__CUDACC__) || defined(__CUDACC_RTC__)
#define RK_HOST_DEVICE __host__ __device__ __forceinline__
#else
#include <cmath>
#define RK_HOST_DEVICE inline
#endif

namespace rk {

typedef long long index_t;

// Interpolation codes, OpenCV's numbers. Resolved per axis before any kernel runs.
enum { NEAREST = 0, LINEAR = 1, CUBIC = 2, AREA = 3 };

RK_HOST_DEVICE index_t min_index(index_t a, index_t b) { return a < b ? a : b; }
RK_HOST_DEVICE index_t max_index(index_t a, index_t b) { return a > b ? a : b; }
RK_HOST_DEVICE index_t clamp_index(index_t i, index_t n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

// ------------------------------------------------------------------ value types

// Integer pixels map to 0..1; float pixels are taken as they are.
RK_HOST_DEVICE float to_unit(unsigned char v) { return static_cast<float>(v) / 255.0f; }
RK_HOST_DEVICE float to_unit(float v) { return v; }

// A value resampled from pixels like *p (still in their units) brought to 0..1.
RK_HOST_DEVICE float resampled_to_unit(float v, const unsigned char*) { return v / 255.0f; }
RK_HOST_DEVICE float resampled_to_unit(float v, const float*) { return v; }

RK_HOST_DEVICE float load(const unsigned char* p) { return static_cast<float>(*p); }
RK_HOST_DEVICE float load(const float* p) { return *p; }

// Saturated to 0..255 and rounded half to even, as OpenCV's saturate_cast<uchar> does;
// NaN gives 0. Adding and removing 1.5 * 2^23 rounds 0..255 to even exactly in float
// (the default rounding mode) without a libm call. V is float, or on the host a SIMD
// vector of floats, so that the vectorised loops share this arithmetic.
template <class V>
RK_HOST_DEVICE V saturate_u8(V v) {
    v = v > 0.0f ? v : 0.0f;
    v = v < 255.0f ? v : 255.0f;
    return (v + 12582912.0f) - 12582912.0f;
}
RK_HOST_DEVICE void store(unsigned char* p, float v) { *p = static_cast<unsigned char>(saturate_u8(v)); }
RK_HOST_DEVICE void store(float* p, float v) { *p = v; }

// ------------------------------------------------------------------ resampling taps

// One axis of a separable resize: destination index d gets `count` source taps from
// `first` on. `t0`/`t1` carry the mode's state to axis_tap (fraction, or area span).
struct AxisSpan {
    index_t first, count;
    double t0, t1;
};

// OpenCV's cubic kernel (A = -0.75) at tap k of 4 for fraction t.
RK_HOST_DEVICE float cubic_weight(int k, float t) {
    const float a = -0.75f;
    switch (k) {
        case 0: return ((a * (t + 1) - 5 * a) * (t + 1) + 8 * a) * (t + 1) - 4 * a;
        case 1: return ((a + 2) * t - (a + 3)) * t * t + 1;
        case 2: return ((a + 2) * (1 - t) - (a + 3)) * (1 - t) * (1 - t) + 1;
        default: {
            const float w0 = ((a * (t + 1) - 5 * a) * (t + 1) + 8 * a) * (t + 1) - 4 * a;
            const float w1 = ((a + 2) * t - (a + 3)) * t * t + 1;
            const float w2 = ((a + 2) * (1 - t) - (a + 3)) * (1 - t) * (1 - t) + 1;
            return 1.0f - w0 - w1 - w2;
        }
    }
}

// `scale` is source size / destination size (n source pixels along the axis).
RK_HOST_DEVICE AxisSpan axis_span(int mode, index_t d, double scale, index_t n) {
    AxisSpan s;
    s.t0 = 0.0;
    s.t1 = 0.0;
    if (mode == NEAREST) {  // OpenCV's INTER_NEAREST: floor(d * scale), no centring
        s.first = min_index(static_cast<index_t>(floor(d * scale)), n - 1);
        s.count = 1;
    } else if (mode == AREA) {
        // Exact footprint [d * scale, (d + 1) * scale) of the destination pixel.
        const double a = d * scale;
        const double b = (d + 1) * scale < static_cast<double>(n) ? (d + 1) * scale : static_cast<double>(n);
        s.first = min_index(static_cast<index_t>(floor(a)), n - 1);
        if (b - a > 1e-12) {
            s.count = min_index(static_cast<index_t>(ceil(b)), n) - s.first;
            s.t0 = a;
            s.t1 = b;
        } else {
            s.count = 1;  // rounding left no footprint: take the pixel under it
        }
    } else {
        const double f = (d + 0.5) * scale - 0.5;
        index_t i = static_cast<index_t>(floor(f));
        double t = f - static_cast<double>(i);
        if (mode == LINEAR) {
            if (i < 0) {
                i = 0;
                t = 0.0;
            }
            if (i >= n - 1) {
                i = n - 1;
                t = 0.0;
            }
            s.first = i;
            s.count = 2;
        } else {  // CUBIC: taps i - 1 .. i + 2, indices clamped by axis_tap
            s.first = i - 1;
            s.count = 4;
        }
        s.t0 = t;
    }
    return s;
}

// Source index and weight of tap k of a span.
RK_HOST_DEVICE void axis_tap(int mode, const AxisSpan& s, index_t k, index_t n, index_t* index, float* weight) {
    const index_t i = s.first + k;
    *index = clamp_index(i, n);
    if (mode == NEAREST) {
        *weight = 1.0f;
    } else if (mode == AREA) {
        if (s.t1 <= s.t0) {
            *weight = 1.0f;
            return;
        }
        const double lo = static_cast<double>(i) > s.t0 ? static_cast<double>(i) : s.t0;
        const double hi = static_cast<double>(i + 1) < s.t1 ? static_cast<double>(i + 1) : s.t1;
        *weight = hi > lo ? static_cast<float>((hi - lo) / (s.t1 - s.t0)) : 0.0f;
    } else if (mode == LINEAR) {
        const float t = static_cast<float>(s.t0);
        *weight = k == 0 ? 1.0f - t : t;
    } else {
        *weight = cubic_weight(static_cast<int>(k), static_cast<float>(s.t0));
    }
}

// ------------------------------------------------------------------ affine warp

// floor() of a value known to lie well inside the index range, without a libm call.
RK_HOST_DEVICE index_t floor_index(double v) {
    const index_t i = static_cast<index_t>(v);
    return i - (v < static_cast<double>(i) ? 1 : 0);
}

// Where a bilinear sample at (sx, sy) falls in a w x h source: the top-left tap
// (x0, y0), the fractions, whether any tap is inside (otherwise the sample is 0) and
// whether all four are (the common case, no per-tap checks).
struct BilinearPos {
    index_t x0, y0;
    float fx, fy;
    bool any, interior;
};

RK_HOST_DEVICE BilinearPos bilinear_position(double sx, double sy, index_t w, index_t h) {
    BilinearPos b;
    // Also rejects NaN before any float-to-integer conversion.
    b.any = sx > -1.0 && sx < static_cast<double>(w) && sy > -1.0 && sy < static_cast<double>(h);
    if (!b.any) {
        b.x0 = b.y0 = 0;
        b.fx = b.fy = 0.0f;
        b.interior = false;
        return b;
    }
    b.x0 = floor_index(sx);
    b.y0 = floor_index(sy);
    b.fx = static_cast<float>(sx - static_cast<double>(b.x0));
    b.fy = static_cast<float>(sy - static_cast<double>(b.y0));
    b.interior = b.x0 >= 0 && b.y0 >= 0 && b.x0 + 1 < w && b.y0 + 1 < h;
    return b;
}

// Three linear interpolations: fewer operations than four weights, and a constant
// neighbourhood (a mask's 1.0) comes back exactly.
// V as in saturate_u8.
template <class V>
RK_HOST_DEVICE V bilinear_blend(V v00, V v01, V v10, V v11, V fx, V fy) {
    const V top = v00 + (v01 - v00) * fx;
    const V bottom = v10 + (v11 - v10) * fx;
    return top + (bottom - top) * fy;
}

// The sample of one channel; `base` points at channel c of pixel (0, 0) of a source
// with element strides sy (rows) and sx (columns). Taps outside the source are 0.
template <class T>
RK_HOST_DEVICE float bilinear_sample(const T* base, index_t sy, index_t sx, const BilinearPos& b, index_t w,
                                     index_t h) {
    const T* p = base + b.y0 * sy + b.x0 * sx;
    if (b.interior) return bilinear_blend(load(p), load(p + sx), load(p + sy), load(p + sy + sx), b.fx, b.fy);
    const bool x0in = b.x0 >= 0, x1in = b.x0 + 1 < w, y0in = b.y0 >= 0, y1in = b.y0 + 1 < h;
    const float v00 = x0in && y0in ? load(p) : 0.0f;
    const float v01 = x1in && y0in ? load(p + sx) : 0.0f;
    const float v10 = x0in && y1in ? load(p + sy) : 0.0f;
    const float v11 = x1in && y1in ? load(p + sy + sx) : 0.0f;
    return bilinear_blend(v00, v01, v10, v11, b.fx, b.fy);
}

// A frame value f under the warped crop value c and mask value m, as NumPy evaluates
// m * c + (1 - m) * f in float32. Where the warp reaches nothing, m = c = 0 and f
// comes back.
// V as in saturate_u8.
template <class V>
RK_HOST_DEVICE V paste_value(V m, V c, V f) {
    return m * c + (1.0f - m) * f;
}

// Inverse of the 2 x 3 affine map m (row-major); false when it is not invertible.
RK_HOST_DEVICE bool invert_affine(const double* m, double* inv) {
    const double det = m[0] * m[4] - m[1] * m[3];
    if (!(det != 0.0) || !(det == det) || det - det != 0.0) return false;
    const double a = m[4] / det, b = -m[1] / det, c = -m[3] / det, d = m[0] / det;
    inv[0] = a;
    inv[1] = b;
    inv[2] = -(a * m[2] + b * m[5]);
    inv[3] = c;
    inv[4] = d;
    inv[5] = -(c * m[2] + d * m[5]);
    for (int i = 0; i < 6; ++i)
        if (inv[i] - inv[i] != 0.0) return false;  // inf or NaN
    return true;
}

// ------------------------------------------------------------------ Gaussian blur

// Reflect-101 border index: p mirrored about the edge pixels into 0 .. n-1.
RK_HOST_DEVICE index_t reflect101(index_t p, index_t n) {
    if (n == 1) return 0;
    const index_t period = 2 * (n - 1);
    p %= period;
    if (p < 0) p += period;
    return p < n ? p : period - p;
}

// The spread of OpenCV's Gaussian kernel of odd size `ksize`: sigma, or derived from
// the size when not positive.
RK_HOST_DEVICE double gaussian_spread(int ksize, double sigma) {
    return sigma > 0.0 ? sigma : ((ksize - 1) * 0.5 - 1.0) * 0.3 + 0.8;
}

// exp(-x^2 / (2 s^2)) as a float tap weight before normalisation; `scale` is -1 / (2 s^2).
// The centre is 1 outright: a vanishing sigma makes scale -inf, and -inf * 0 is NaN.
RK_HOST_DEVICE float gaussian_tap(double scale, double x) {
    return x == 0.0 ? 1.0f : static_cast<float>(exp(scale * x * x));
}

// The radius beyond which every tap of gaussian_weights(ksize, sigma) is 0 in float
// (exp underflows there), at most ksize / 2: the taps outside it add nothing to any
// result, so a kernel cut to it blurs exactly like the whole one.
RK_HOST_DEVICE int gaussian_radius(int ksize, double sigma) {
    int lo = 0, hi = ksize / 2;  // tap lo is not 0; the answer is in lo .. hi
    if (sigma <= 0.0 && ksize <= 9) return hi;
    const double s = gaussian_spread(ksize, sigma);
    const double scale = -0.5 / (s * s);
    while (lo < hi) {  // taps fall off monotonically from the centre
        const int mid = lo + (hi - lo + 1) / 2;
        if (gaussian_tap(scale, mid) != 0.0f)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

// The central 2 * radius + 1 taps of OpenCV's float Gaussian kernel of odd size `ksize`
// (radius <= ksize / 2): its fixed small kernels when sigma <= 0 and ksize <= 9,
// otherwise exp(-x^2 / (2 sigma^2)) normalised so that the whole kernel sums to 1
// (taps cut off are 0 with radius from gaussian_radius), with sigma derived from the
// size when not positive.
RK_HOST_DEVICE void gaussian_window(int ksize, double sigma, int radius, float* w) {
    const int n = 2 * radius + 1, skip = ksize / 2 - radius;
    if (sigma <= 0.0 && ksize <= 9) {
        const float t1[] = {1.0f};
        const float t3[] = {0.25f, 0.5f, 0.25f};
        const float t5[] = {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f};
        const float t7[] = {0.03125f, 0.109375f, 0.21875f, 0.28125f, 0.21875f, 0.109375f, 0.03125f};
        const float t9[] = {4 / 256.0f,  13 / 256.0f, 30 / 256.0f, 51 / 256.0f, 60 / 256.0f,
                            51 / 256.0f, 30 / 256.0f, 13 / 256.0f, 4 / 256.0f};
        const float* t = ksize == 1 ? t1 : ksize == 3 ? t3 : ksize == 5 ? t5 : ksize == 7 ? t7 : t9;
        for (int i = 0; i < n; ++i) w[i] = t[skip + i];
        return;
    }
    const double s = gaussian_spread(ksize, sigma);
    const double scale = -0.5 / (s * s);
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        w[i] = gaussian_tap(scale, i - radius);
        sum += w[i];
    }
    for (int i = 0; i < n; ++i) w[i] = static_cast<float>(w[i] / sum);
}

// OpenCV's float Gaussian kernel of odd size `ksize`, all of it.
RK_HOST_DEVICE void gaussian_weights(int ksize, double sigma, float* w) { gaussian_window(ksize, sigma, ksize / 2, w); }

// ------------------------------------------------------------------ Gaussian filter, SciPy's rules

// SciPy's "reflect" border: half-sample symmetric, the edge pixel repeated
// (dcba|abcd|dcba), at any distance from the image.
RK_HOST_DEVICE index_t reflect_half(index_t p, index_t n) {
    const index_t period = 2 * n;
    p %= period;
    if (p < 0) p += period;
    return p < n ? p : period - 1 - p;
}

// SciPy's Gaussian taps exp(-x^2 / (2 sigma^2)) for |x| <= radius, normalised to sum 1,
// as applied along an axis of n pixels with reflect borders. The border repeats with
// period 2n, so taps a period apart read the same pixel: they are added into one tap at
// the distance 0 .. n they share, the one at distance n (one pixel, reached from either
// side) split evenly. Writes w[0 .. R] (w[d] at distance d either side) and returns
// R = min(radius, n): however large the radius, an output costs at most 2n + 1 taps.
RK_HOST_DEVICE index_t filter_taps(double sigma, index_t radius, index_t n, float* w) {
    const double scale = -0.5 / (sigma * sigma);
    const index_t period = 2 * n, taps = radius < n ? radius : n;
    double total = 0.0;
    for (index_t k = -radius; k <= radius; ++k) total += exp(scale * static_cast<double>(k) * static_cast<double>(k));
    for (index_t d = 0; d <= taps; ++d) {
        double sum = 0.0;
        // The offsets k = d and k = -d modulo the period, each class once.
        const index_t classes[2] = {d, (period - d) % period};
        for (int c = 0; c < (classes[0] == classes[1] ? 1 : 2); ++c) {
            const index_t m = classes[c];
            for (index_t k = m - (m + radius) / period * period; k <= radius; k += period)
                sum += exp(scale * static_cast<double>(k) * static_cast<double>(k));
        }
        w[d] = static_cast<float>((d == 0 ? sum : sum / 2) / total);
    }
    return taps;
}

// One output of the filter along an axis: w[0] x(p) + sum over k = 1 .. taps of
// w[k] (x(p - k) + x(p + k)), k ascending, positions reflected. `line` points at
// position 0 of the axis, `stride` elements apart. The host's vectorised passes add in
// this same order.
RK_HOST_DEVICE float filter_at(const float* line, index_t stride, index_t n, index_t p, const float* w, index_t taps) {
    float acc = w[0] * line[p * stride];
    for (index_t k = 1; k <= taps; ++k)
        acc += w[k] * (line[reflect_half(p - k, n) * stride] + line[reflect_half(p + k, n) * stride]);
    return acc;
}

// ------------------------------------------------------------------ class masks

// exp(x) for x <= 0 in float32, evaluated as NumPy evaluates float32 exp on x86 hosts
// with AVX2 (Cody-Waite reduction, a 5/2 rational approximation with fused
// multiply-adds, the power of two applied with one rounding), so that softmax
// probabilities made with it tie exactly where the plain NumPy formulation's tie.
RK_HOST_DEVICE float softmax_exp(float x) {
    if (!(x > -103.97208404541015625f)) return 0.0f;  // underflow, and -inf
    const float magic = 12582912.0f;                   // 1.5 * 2^23: adding it rounds to an integer
    const float q = (x * 1.442695040888963407359924681001892137f + magic) - magic;
    float r = __builtin_fmaf(q, -6.93145752e-1f, x);
    r = __builtin_fmaf(q, -1.42860677e-6f, r);
    float num = __builtin_fmaf(5.082762527590693718096e-04f, r, 6.757896990527504603057e-03f);
    num = __builtin_fmaf(num, r, 5.114512081637298353406e-02f);
    num = __builtin_fmaf(num, r, 2.473615434895520810817e-01f);
    num = __builtin_fmaf(num, r, 7.257664613233124478488e-01f);
    num = __builtin_fmaf(num, r, 9.999999999980870924916e-01f);
    float den = __builtin_fmaf(2.159509375685829852307e-02f, r, -2.742335390411667452936e-01f);
    den = __builtin_fmaf(den, r, 1.0f);
    // 2^q exactly in double (q in -150 .. 0), then one rounding to float, subnormal
    // results included.
    double scale = 1.0;
    int e = -static_cast<int>(q);
    for (; e >= 30; e -= 30) scale *= 0x1p-30;
    scale /= static_cast<double>(1 << e);
    return static_cast<float>(static_cast<double>(num / den) * scale);
}

// The class of one pixel: argmax over the K classes of softmax probabilities in
// float32, computed as e = exp(x - max), p = e / sum(e) with the sum in class order,
// the lowest class winning ties. `x` points at class 0, classes `stride` apart.
//
// The probabilities are only needed to break ties that rounding creates: a class
// whose logit is below the maximum by more than 2^-18 has a probability below the
// maximum's whatever exp's last-place rounding, so the first class holding the
// maximum logit wins unless a lower class comes closer than that. NaN anywhere, or a
// maximum of +-inf, makes every probability NaN: class 0, as NumPy's argmax gives.
RK_HOST_DEVICE index_t class_argmax(const float* x, index_t stride, index_t classes) {
    // `below` is the largest logit of the classes before `first` (when first > 0): the
    // maximum so far whenever a new one takes over.
    float top = x[0], below = 0.0f;
    index_t first = 0;
    bool nan = !(top == top);
    for (index_t k = 1; k < classes; ++k) {
        const float v = x[k * stride];
        nan = nan || !(v == v);
        if (v > top) {
            below = top;
            top = v;
            first = k;
        }
    }
    if (nan || top - top != 0.0f) return 0;
    if (first == 0 || !(below - top > -0x1p-18f)) return first;
    float sum = 0.0f;
    for (index_t k = 0; k < classes; ++k) sum += softmax_exp(x[k * stride] - top);
    index_t best = 0;
    float best_p = softmax_exp(x[0] - top) / sum;
    for (index_t k = 1; k < classes; ++k) {
        const float p = softmax_exp(x[k * stride] - top) / sum;
        if (p > best_p) {
            best_p = p;
            best = k;
        }
    }
    return best;
}

// How many entries of the class table name class k under category c: a class listed
// twice in a category counts twice.
RK_HOST_DEVICE float class_count(const long long* indices, const long long* categories, index_t entries, index_t k,
                                 index_t c) {
    float count = 0.0f;
    for (index_t j = 0; j < entries; ++j) count += indices[j] == k && categories[j] == c ? 1.0f : 0.0f;
    return count;
}

}  // namespace rk
