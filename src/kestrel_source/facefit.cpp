// kestrel.facefit: FFHQ-style alignment of one face from its five landmarks.
//
// The face geometry (quad, shrink factor, crop and padding rectangles, affine matrix) is a
// handful of scalars, so it is worked out on the host from one copy of the landmarks, with
// the same float32/float64 promotions as the array arithmetic of the recipe; only the image
// work goes through the array module of the frame (NumPy on the CPU, CuPy on the GPU) and
// the image library `rk`. On the CPU the margin blend after the blur runs in one C++ pass.
#include "legacy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

using pyglue::Ref;

namespace {

// Integer decisions taken from the landmarks before any pixel is touched.
struct Plan {
    long long shrink = 0;
    long long resize_w = 0, resize_h = 0;
    bool crop = false;
    long long crop_l = 0, crop_t = 0, crop_r = 0, crop_b = 0;
    bool empty = false;  // nothing of the frame is left to warp
    bool pad = false;
    long long pad_l = 0, pad_t = 0, pad_r = 0, pad_b = 0;
    double blur = 0;  // Gaussian sigma of the padded margin
    double M[2][3] = {};
};

// int(v) for a host scalar, with int()'s own errors for NaN and infinities. Finite values
// beyond 2**52 are refused too: they would overflow the integer arithmetic that follows
// (and could only lead to absurd allocations).
bool to_int(double v, long long* out) {
    if (std::isnan(v)) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
        return false;
    }
    if (std::isinf(v)) {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        return false;
    }
    if (!(std::fabs(v) < 4503599627370496.0)) {
        PyErr_SetString(PyExc_OverflowError, "face geometry out of range: cannot convert to integer");
        return false;
    }
    *out = static_cast<long long>(v);
    return true;
}

// floor/ceil of the quad's extent: (left, top, right, bottom).
bool quad_bounds(const double quad[4][2], long long b[4]) {
    double lo[2] = {quad[0][0], quad[0][1]}, hi[2] = {quad[0][0], quad[0][1]};
    for (int i = 1; i < 4; ++i)
        for (int k = 0; k < 2; ++k) {
            lo[k] = std::min(lo[k], quad[i][k]);
            hi[k] = std::max(hi[k], quad[i][k]);
        }
    return to_int(std::floor(lo[0]), &b[0]) && to_int(std::floor(lo[1]), &b[1]) &&
           to_int(std::ceil(hi[0]), &b[2]) && to_int(std::ceil(hi[1]), &b[3]);
}

// The affine map taking quad corners 0, 1, 2 (as float32) to (0, 0), (0, size) and
// (size, size). Three corners of a square fix the map exactly.
bool fit_affine(const double quad[4][2], long long size, double M[2][3]) {
    double s[3][2];
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 2; ++k) s[i][k] = static_cast<float>(quad[i][k]);
    // Linear part L: L u = (0, size), L v = (size, 0) for the edges u = s1 - s0, v = s2 - s1.
    const double ux = s[1][0] - s[0][0], uy = s[1][1] - s[0][1];
    const double vx = s[2][0] - s[1][0], vy = s[2][1] - s[1][1];
    const double det = ux * vy - vx * uy;
    if (!std::isfinite(det) || det == 0) {
        PyErr_SetString(PyExc_ValueError, "face landmarks give a degenerate quad");
        return false;
    }
    const double t = static_cast<double>(size);
    // [u v]^-1 = [[vy, -vx], [-uy, ux]] / det; L = [[0, t], [t, 0]] [u v]^-1.
    M[0][0] = -t * uy / det;
    M[0][1] = t * ux / det;
    M[1][0] = t * vy / det;
    M[1][1] = -t * vx / det;
    for (int r = 0; r < 2; ++r) M[r][2] = -(M[r][0] * s[0][0] + M[r][1] * s[0][1]);
    return true;
}

// Step 1 of the recipe: the quad's corners and side. The recipe's arithmetic keeps the
// landmarks' type T for eye_avg, eye_to_eye, eye_to_mouth, their two scaled norms and the
// centre c; the integer (-1, 1) factor of x promotes x, and with it y, the quad, qsize and
// every later decision, to float64.
template <class T>
void face_quad(const double* lm, double quad[4][2], double* qsize) {
    auto row = [&](int r, int k) { return static_cast<T>(lm[2 * r + k]); };
    auto norm = [](auto a, auto b) { return std::sqrt(a * a + b * b); };
    T eye_avg[2], eye_to_eye[2], eye_to_mouth[2], c[2];
    for (int k = 0; k < 2; ++k) {
        eye_avg[k] = (row(0, k) + row(1, k)) * T(0.5);
        eye_to_eye[k] = row(1, k) - row(0, k);
        eye_to_mouth[k] = (row(3, k) + row(4, k)) * T(0.5) - eye_avg[k];
        c[k] = eye_avg[k] + eye_to_mouth[k] * T(0.1);
    }
    // Half-side vectors: x along the eye line, tilted by the eye-to-mouth direction;
    // y perpendicular to it, pointing towards the mouth.
    double x[2] = {double(eye_to_eye[0]) + double(eye_to_mouth[1]), double(eye_to_eye[1]) - double(eye_to_mouth[0])};
    const double xn = norm(x[0], x[1]);
    const T e2e = norm(eye_to_eye[0], eye_to_eye[1]) * T(2.0);
    const T e2m = norm(eye_to_mouth[0], eye_to_mouth[1]) * T(1.8);
    const double scale = e2m > e2e ? e2m : e2e;  // Python's max(): the first unless the second is larger
    for (double& v : x) v = v / xn * scale;
    const double y[2] = {-x[1], x[0]};
    for (int k = 0; k < 2; ++k) {
        quad[0][k] = double(c[k]) - x[k] - y[k];
        quad[1][k] = double(c[k]) - x[k] + y[k];
        quad[2][k] = double(c[k]) + x[k] + y[k];
        quad[3][k] = double(c[k]) + x[k] - y[k];
    }
    *qsize = norm(x[0], x[1]) * 2;
}

// Steps 3 to 8 of the recipe on host scalars. (h, w) is the frame size.
bool make_plan(double quad[4][2], double qsize, long long h, long long w, long long output_size,
               long long transform_size, bool enable_padding, Plan& p) {
    // Pre-shrinking by an integer factor when the quad is at least four output sizes.
    if (!to_int(std::floor(qsize / static_cast<double>(output_size) * 0.5), &p.shrink)) return false;
    if (p.shrink > 1) {
        const double f = static_cast<double>(p.shrink);
        if (!to_int(std::nearbyint(static_cast<double>(w) / f), &p.resize_w) ||
            !to_int(std::nearbyint(static_cast<double>(h) / f), &p.resize_h))
            return false;
        for (int i = 0; i < 4; ++i)
            for (double& v : quad[i]) v /= f;
        qsize /= f;
        w = p.resize_w;
        h = p.resize_h;
    }

    long long border;
    if (!to_int(std::nearbyint(qsize * 0.1), &border)) return false;
    border = std::max(border, 3LL);

    // Crop to the quad plus border, skipped when that covers the whole frame.
    long long b[4];
    if (!quad_bounds(quad, b)) return false;
    p.crop_l = std::max(b[0] - border, 0LL);
    p.crop_t = std::max(b[1] - border, 0LL);
    p.crop_r = std::min(b[2] + border, w);
    p.crop_b = std::min(b[3] + border, h);
    if (p.crop_r - p.crop_l < w || p.crop_b - p.crop_t < h) {
        p.crop = true;
        // A face wholly outside the frame gives an empty crop rather than a slice bound
        // that would count from the far edge and cut out some unrelated part of the frame.
        p.crop_r = std::max(p.crop_r, p.crop_l);
        p.crop_b = std::max(p.crop_b, p.crop_t);
        w = p.crop_r - p.crop_l;
        h = p.crop_b - p.crop_t;
        for (int i = 0; i < 4; ++i) {
            quad[i][0] -= static_cast<double>(p.crop_l);
            quad[i][1] -= static_cast<double>(p.crop_t);
        }
    }
    p.empty = w <= 0 || h <= 0;

    // Padding where the quad plus border leaves the (cropped) frame.
    if (!quad_bounds(quad, b)) return false;
    p.pad_l = std::max(-b[0] + border, 0LL);
    p.pad_t = std::max(-b[1] + border, 0LL);
    p.pad_r = std::max(b[2] - w + border, 0LL);
    p.pad_b = std::max(b[3] - h + border, 0LL);
    p.pad = enable_padding && std::max({p.pad_l, p.pad_t, p.pad_r, p.pad_b}) > border - 4;
    if (p.pad) {
        if (p.empty) {
            PyErr_SetString(PyExc_ValueError,
                            "the face lies wholly outside the frame: there is nothing to mirror-pad");
            return false;
        }
        long long least;
        if (!to_int(std::nearbyint(qsize * 0.3), &least)) return false;
        for (long long* v : {&p.pad_l, &p.pad_t, &p.pad_r, &p.pad_b}) *v = std::max(*v, least);
        p.blur = qsize * 0.02;
        for (int i = 0; i < 4; ++i) {
            quad[i][0] += static_cast<double>(p.pad_l);
            quad[i][1] += static_cast<double>(p.pad_t);
        }
    }
    return fit_affine(quad, transform_size, p.M);
}

// Rows 0..4 of the landmarks as doubles; `single` tells whether they were float32.
bool read_landmarks(PyObject* module, PyObject* landmarks, double lm[10], bool* single) {
    Ref np = pyglue::legacy::global(module, "np");
    Ref host = pyglue::legacy::host_array(module, landmarks, Py_None);
    if (!np || !host) return false;
    Ref dtype = Ref::steal(PyObject_GetAttrString(host.get(), "dtype"));
    Ref f32 = Ref::steal(PyObject_GetAttrString(np.get(), "float32"));
    Ref f64 = Ref::steal(PyObject_GetAttrString(np.get(), "float64"));
    if (!dtype || !f32 || !f64) return false;
    const int is_f32 = PyObject_RichCompareBool(dtype.get(), f32.get(), Py_EQ);
    if (is_f32 < 0) return false;
    *single = is_f32;
    Ref values = pyglue::legacy::call_method_kw(np.get(), "ascontiguousarray", {host.get()}, {{"dtype", f64.get()}});
    pyglue::Buffer buf;
    if (!values || !buf.acquire(values.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    const Py_buffer& v = buf.view();
    if (v.ndim != 2 || v.shape[1] != 2 || v.itemsize != sizeof(double)) {
        PyErr_SetString(PyExc_ValueError, "face_landmarks must be an array of (x, y) rows");
        return false;
    }
    if (v.shape[0] < 5) {
        PyErr_Format(PyExc_IndexError, "face_landmarks needs at least 5 rows, got %zd", v.shape[0]);
        return false;
    }
    std::copy_n(static_cast<const double*>(v.buf), 10, lm);
    return true;
}

Ref py_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref py_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

// img[top:bottom, left:right] (a view, all channels).
Ref crop_view(PyObject* img, const Plan& p) {
    Ref t = py_int(p.crop_t), b = py_int(p.crop_b), l = py_int(p.crop_l), r = py_int(p.crop_r);
    if (!t || !b || !l || !r) return Ref();
    Ref rows = Ref::steal(PySlice_New(t.get(), b.get(), nullptr));
    Ref cols = Ref::steal(PySlice_New(l.get(), r.get(), nullptr));
    Ref key = rows && cols ? Ref::steal(PyTuple_Pack(2, rows.get(), cols.get())) : Ref();
    return key ? Ref::steal(PyObject_GetItem(img, key.get())) : Ref();
}

// 1 - min(i / before, (n - 1 - i) / after) over i = 0..n-1 in float32: the padding weight
// along one axis. A side with no padding contributes no ramp.
Ref ramp(PyObject* xp, PyObject* f32, Py_ssize_t n, long long before, long long after) {
    Ref len = Ref::steal(PyLong_FromSsize_t(n));
    Ref i = len ? pyglue::legacy::call_method_kw(xp, "arange", {len.get()}, {{"dtype", f32}}) : Ref();
    if (!i) return Ref();
    Ref nearest;
    if (before > 0) {
        Ref d = py_int(before);
        if (!d || !(nearest = Ref::steal(PyNumber_TrueDivide(i.get(), d.get())))) return Ref();
    }
    if (after > 0) {
        Ref last = Ref::steal(PyLong_FromSsize_t(n - 1)), d = py_int(after);
        Ref rev = last && d ? Ref::steal(PyNumber_Subtract(last.get(), i.get())) : Ref();
        Ref from_end = rev ? Ref::steal(PyNumber_TrueDivide(rev.get(), d.get())) : Ref();
        if (!from_end) return Ref();
        nearest = nearest ? pyglue::legacy::call_method(xp, "minimum", nearest.get(), from_end.get()) : from_end;
        if (!nearest) return Ref();
    }
    if (!nearest) {
        Ref inf = py_float(-HUGE_VAL);
        return inf ? pyglue::legacy::call_method_kw(xp, "full", {len.get(), inf.get()}, {{"dtype", f32}}) : Ref();
    }
    Ref one = py_float(1.0);
    return one ? Ref::steal(PyNumber_Subtract(one.get(), nearest.get())) : Ref();
}

// xp.clip(a * scale + offset, 0.0, 1.0)
Ref clipped_weight(PyObject* xp, PyObject* a, double scale, double offset) {
    Ref s = py_float(scale), o = py_float(offset), lo = py_float(0.0), hi = py_float(1.0);
    if (!s || !o || !lo || !hi) return Ref();
    Ref scaled = Ref::steal(PyNumber_Multiply(a, s.get()));
    Ref shifted = scaled ? Ref::steal(PyNumber_Add(scaled.get(), o.get())) : Ref();
    return shifted ? pyglue::legacy::call_method(xp, "clip", shifted.get(), lo.get(), hi.get()) : Ref();
}

// The same filter on both devices: cupyx.scipy.ndimage's for CuPy arrays, SciPy's for
// NumPy arrays, both looked up at call time.
Ref gaussian_filter(PyObject* module, PyObject* xp) {
    Ref cp = pyglue::legacy::global(module, "cp");
    if (!cp) return Ref();
    const bool gpu = cp.get() == xp;
    Ref root = pyglue::legacy::global(module, gpu ? "cupyx" : "scipy");
    if (gpu && root) root = Ref::steal(PyObject_GetAttrString(root.get(), "scipy"));
    Ref ndimage = root ? Ref::steal(PyObject_GetAttrString(root.get(), "ndimage")) : Ref();
    return ndimage ? Ref::steal(PyObject_GetAttrString(ndimage.get(), "gaussian_filter")) : Ref();
}

// Sizes `v` to n elements; MemoryError rather than a C++ exception reaching the interpreter.
template <class V>
bool allocate(V& v, size_t n) {
    try {
        v.assign(n, typename V::value_type());
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// One axis of the padding weight as the float32 array arithmetic gives it:
// 1 - min(i / before, (n - 1 - i) / after), a side with no padding left out, and -inf
// where neither side has any (the `ramp` of the array path).
float ramp_at(long long i, long long n, long long before, long long after) {
    float nearest = HUGE_VALF;
    bool any = false;
    if (before > 0) nearest = static_cast<float>(i) / static_cast<float>(before), any = true;
    if (after > 0) {
        const float from_end = (static_cast<float>(n - 1) - static_cast<float>(i)) / static_cast<float>(after);
        nearest = any ? std::min(nearest, from_end) : from_end;
        any = true;
    }
    return any ? 1.0f - nearest : -HUGE_VALF;
}

float clip01(float v) { return v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v; }  // NaN stays NaN, as in np.clip

// Order-preserving unsigned key of a float's bits (NaN aside).
uint32_t sort_key(float v) {
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

// Steps 7.4 and 7.7 to 7.10 on the host, fused into two passes over `padded` (h x w x c
// float32, C-contiguous, modified in place) instead of a dozen NumPy temporaries: the blend
// towards `blurred`, the per-channel median, the blend towards the median and the clip.
// Every value is computed in float32 with the same operations in the same order as the
// array path, so the results agree with it exactly. The median is NumPy's (mean of the two
// middle values for an even count, NaN when a value is NaN), found by a histogram of the top
// 16 key bits and a selection within the one or two bins that hold the middle.
bool blend_margin_host(PyObject* padded, PyObject* blurred, const Plan& p) {
    pyglue::Buffer out, blur;
    if (!out.acquire(padded, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) ||
        !blur.acquire(blurred, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT))
        return false;
    const Py_buffer &v = out.view(), &b = blur.view();
    auto is_image = [](const Py_buffer& x) {
        return x.ndim == 3 && x.itemsize == sizeof(float) && x.format && std::strcmp(x.format, "f") == 0;
    };
    if (!is_image(v) || !is_image(b) || !std::equal(v.shape, v.shape + 3, b.shape) || v.len == 0) {
        PyErr_SetString(PyExc_ValueError, "the padded image and its blur must be non-empty h x w x c float32");
        return false;
    }
    const Py_ssize_t h = v.shape[0], w = v.shape[1], channels = v.shape[2], n = h * w;
    constexpr size_t bins = 65536;
    std::vector<float> cols, rows, bucket, medians;
    std::vector<uint32_t> hist;
    std::vector<Py_ssize_t> nans;
    if (!allocate(cols, size_t(w)) || !allocate(rows, size_t(h)) || !allocate(bucket, size_t(n)) ||
        !allocate(medians, size_t(channels)) || !allocate(hist, bins * size_t(channels)) ||
        !allocate(nans, size_t(channels)))
        return false;
    float* img = static_cast<float*>(v.buf);
    const float* smooth = static_cast<const float*>(b.buf);

    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t q = 0; q < w; ++q) cols[q] = ramp_at(q, w, p.pad_l, p.pad_r);
    for (Py_ssize_t r = 0; r < h; ++r) rows[r] = ramp_at(r, h, p.pad_t, p.pad_b);

    // img + (blurred - img) * clip(mask * 3 + 1, 0, 1), counting keys for the median.
    for (Py_ssize_t r = 0; r < h; ++r)
        for (Py_ssize_t q = 0; q < w; ++q) {
            const float weight = clip01(std::max(cols[q], rows[r]) * 3.0f + 1.0f);
            const Py_ssize_t at = (r * w + q) * channels;
            for (Py_ssize_t c = 0; c < channels; ++c) {
                const float toward = (smooth[at + c] - img[at + c]) * weight;
                const float value = img[at + c] + toward;
                img[at + c] = value;
                nans[c] += value != value;
                ++hist[size_t(c) * bins + (sort_key(value) >> 16)];
            }
        }

    for (Py_ssize_t c = 0; c < channels; ++c) {
        if (nans[c]) {
            medians[c] = NAN;
            continue;
        }
        // Ranks n/2 - 1 (even n only) and n/2 of the sorted channel.
        const Py_ssize_t hi_rank = n / 2, lo_rank = n % 2 ? hi_rank : hi_rank - 1;
        const uint32_t* counts = hist.data() + size_t(c) * bins;
        size_t lo_bin = 0, hi_bin = 0;
        Py_ssize_t below = 0, below_lo = 0;
        for (size_t k = 0;; ++k) {
            if (below + Py_ssize_t(counts[k]) <= lo_rank) below_lo = below + counts[k], lo_bin = k + 1;
            if (below + Py_ssize_t(counts[k]) > hi_rank) {
                hi_bin = k;
                break;
            }
            below += counts[k];
        }
        Py_ssize_t m = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const float value = img[i * channels + c];
            const size_t bin = sort_key(value) >> 16;
            if (bin >= lo_bin && bin <= hi_bin) bucket[m++] = value;
        }
        const auto mid = bucket.begin() + (hi_rank - below_lo);
        std::nth_element(bucket.begin(), mid, bucket.begin() + m);
        float median = *mid;
        if (lo_rank != hi_rank) median = (*std::max_element(bucket.begin(), mid) + median) / 2.0f;
        medians[c] = median;
    }

    // clip(img + (median - img) * clip(mask, 0, 1), 0, 1)
    for (Py_ssize_t r = 0; r < h; ++r)
        for (Py_ssize_t q = 0; q < w; ++q) {
            const float weight = clip01(std::max(cols[q], rows[r]));
            const Py_ssize_t at = (r * w + q) * channels;
            for (Py_ssize_t c = 0; c < channels; ++c) {
                const float toward = (medians[c] - img[at + c]) * weight;
                img[at + c] = clip01(img[at + c] + toward);
            }
        }
    Py_END_ALLOW_THREADS
    return true;
}

// Steps 7.4 and 7.7 to 7.10 with the array module (the GPU path).
Ref blend_margin(PyObject* xp, PyObject* padded, PyObject* blurred, const Plan& p) {
    Py_ssize_t dims[3];
    if (!pyglue::legacy::leading_dims(padded, "the padded image", dims, 3)) return Ref();
    const Py_ssize_t h = dims[0], w = dims[1];
    Ref f32 = Ref::steal(PyObject_GetAttrString(xp, "float32"));
    Ref cols = f32 ? ramp(xp, f32.get(), w, p.pad_l, p.pad_r) : Ref();
    Ref rows = f32 ? ramp(xp, f32.get(), h, p.pad_t, p.pad_b) : Ref();
    Ref col_shape = Ref::steal(Py_BuildValue("(nnn)", Py_ssize_t(1), w, Py_ssize_t(1)));
    Ref row_shape = Ref::steal(Py_BuildValue("(nnn)", h, Py_ssize_t(1), Py_ssize_t(1)));
    if (!cols || !rows || !col_shape || !row_shape) return Ref();
    cols = pyglue::legacy::call_method(cols.get(), "reshape", col_shape.get());
    rows = pyglue::legacy::call_method(rows.get(), "reshape", row_shape.get());
    // h x w x 1: 1 on the outer edge, 0 one pad width in, negative further inside.
    Ref mask = cols && rows ? pyglue::legacy::call_method(xp, "maximum", cols.get(), rows.get()) : Ref();
    if (!mask) return Ref();

    // img + (blurred - img) * clip(mask * 3 + 1, 0, 1), in place on arrays made here.
    Ref img = Ref::borrow(padded), toward = Ref::borrow(blurred);
    Ref weight = clipped_weight(xp, mask.get(), 3.0, 1.0);
    if (!weight || !(toward = Ref::steal(PyNumber_InPlaceSubtract(toward.get(), img.get()))) ||
        !(toward = Ref::steal(PyNumber_InPlaceMultiply(toward.get(), weight.get()))) ||
        !(img = Ref::steal(PyNumber_InPlaceAdd(img.get(), toward.get()))))
        return Ref();
    toward = Ref();

    // img + (median - img) * clip(mask, 0, 1)
    Ref axes = Ref::steal(Py_BuildValue("(ii)", 0, 1));
    Ref median = axes ? pyglue::legacy::call_method_kw(xp, "median", {img.get()}, {{"axis", axes.get()}}) : Ref();
    toward = median ? Ref::steal(PyNumber_Subtract(median.get(), img.get())) : Ref();
    weight = clipped_weight(xp, mask.get(), 1.0, 0.0);
    if (!toward || !weight || !(toward = Ref::steal(PyNumber_InPlaceMultiply(toward.get(), weight.get()))) ||
        !(img = Ref::steal(PyNumber_InPlaceAdd(img.get(), toward.get()))))
        return Ref();

    Ref zero = py_int(0), one = py_int(1);
    if (!zero || !one || !pyglue::legacy::call_method_kw(xp, "clip", {img.get(), zero.get(), one.get()}, {{"out", img.get()}}))
        return Ref();
    return img;
}

// Reflect padding whose margin fades into a blurred copy and then into the median colour,
// so that the mirror seams do not show (step 7). `img` is float32 and not modified.
Ref pad_and_blend(PyObject* module, PyObject* xp, PyObject* img, const Plan& p) {
    Ref pads = Ref::steal(Py_BuildValue("((LL)(LL)(ii))", p.pad_t, p.pad_b, p.pad_l, p.pad_r, 0, 0));
    Ref mode = Ref::steal(PyUnicode_FromString("reflect"));
    if (!pads || !mode) return Ref();
    Ref padded = pyglue::legacy::call_method_kw(xp, "pad", {img, pads.get()}, {{"mode", mode.get()}});
    Ref filter = padded ? gaussian_filter(module, xp) : Ref();
    Ref sigma = Ref::steal(Py_BuildValue("[ddi]", p.blur, p.blur, 0));
    Ref blurred = filter && sigma ? pyglue::legacy::call(filter.get(), padded.get(), sigma.get()) : Ref();
    Ref np = blurred ? pyglue::legacy::global(module, "np") : Ref();
    if (!np) return Ref();
    if (np.get() != xp) return blend_margin(xp, padded.get(), blurred.get(), p);
    return blend_margin_host(padded.get(), blurred.get(), p) ? padded : Ref();
}

// The result of warping nothing: float32 zeros of shape (side, side) + img.shape[2:] on the
// frame's device (CuPy allocates on the current device, so the frame's is entered for it).
Ref zeros_for(PyObject* module, PyObject* xp, PyObject* img, long long side) {
    Ref shape = Ref::steal(PyObject_GetAttrString(img, "shape"));
    Ref tail = shape ? Ref::steal(PySequence_GetSlice(shape.get(), 2, PY_SSIZE_T_MAX)) : Ref();
    Ref head = Ref::steal(Py_BuildValue("(LL)", side, side));
    Ref full = tail && head ? Ref::steal(PySequence_Concat(head.get(), tail.get())) : Ref();
    Ref f32 = Ref::steal(PyObject_GetAttrString(xp, "float32"));
    Ref np = pyglue::legacy::global(module, "np");
    if (!full || !f32 || !np) return Ref();
    if (np.get() == xp) return pyglue::legacy::call_method_kw(xp, "zeros", {full.get()}, {{"dtype", f32.get()}});
    Ref device = Ref::steal(PyObject_GetAttrString(img, "device"));
    if (!device || !pyglue::legacy::call_method(device.get(), "__enter__")) return Ref();
    Ref zeros = pyglue::legacy::call_method_kw(xp, "zeros", {full.get()}, {{"dtype", f32.get()}});
    PyObject* failure = PyErr_GetRaisedException();
    Ref left = pyglue::legacy::call_method(device.get(), "__exit__", Py_None, Py_None, Py_None);
    if (failure) {
        PyErr_SetRaisedException(failure);  // the allocation's error, not the exit's
        return Ref();
    }
    return left ? zeros : Ref();
}

PyObject* align_face_ffhq(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"img", "face_landmarks", "output_size", "transform_size",
                                        "enable_padding"};
    static const pyglue::legacy::Params params{"align_face_ffhq", names, 5, 2};
    PyObject* a[5];
    if (!pyglue::legacy::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* img = a[0];
    long long output_size = 256, transform_size = 1024;
    if (a[2] && (!pyglue::legacy::check_exact(a[2], &PyLong_Type, "output_size") ||
                 ((output_size = PyLong_AsLongLong(a[2])) == -1 && PyErr_Occurred())))
        return nullptr;
    if (a[3] && (!pyglue::legacy::check_exact(a[3], &PyLong_Type, "transform_size") ||
                 ((transform_size = PyLong_AsLongLong(a[3])) == -1 && PyErr_Occurred())))
        return nullptr;
    const int enable_padding = a[4] ? PyObject_IsTrue(a[4]) : 1;
    if (enable_padding < 0) return nullptr;

    Ref xp = pyglue::legacy::array_module(module, img);
    Ref rk = pyglue::legacy::global(module, "rk");
    Py_ssize_t hw[2];
    double lm[10];
    bool single = false;
    if (!xp || !rk || !pyglue::legacy::leading_dims(img, "img", hw, 2) || !read_landmarks(module, a[1], lm, &single))
        return nullptr;
    double quad[4][2], qsize;
    single ? face_quad<float>(lm, quad, &qsize) : face_quad<double>(lm, quad, &qsize);
    Plan plan;
    if (!make_plan(quad, qsize, hw[0], hw[1], output_size, transform_size, enable_padding, plan)) return nullptr;
    const long long side = std::min(output_size, transform_size);
    if (plan.empty) return zeros_for(module, xp.get(), img, side).release();

    Ref dtype = Ref::steal(PyObject_GetAttrString(img, "dtype"));
    Ref f32 = Ref::steal(PyObject_GetAttrString(xp.get(), "float32"));
    const int is_f32 = dtype && f32 ? PyObject_RichCompareBool(dtype.get(), f32.get(), Py_EQ) : -1;
    if (is_f32 < 0) return nullptr;
    Ref work = Ref::borrow(img);
    bool converted = is_f32;
    if (plan.shrink > 1) {
        // Area-shrink the float image, as the recipe does, not the 8-bit one.
        Ref size = Ref::steal(Py_BuildValue("(LL)", plan.resize_w, plan.resize_h));
        Ref area = Ref::steal(PyObject_GetAttrString(rk.get(), "INTER_AREA"));
        if (!converted && !(work = pyglue::legacy::call_method(rk.get(), "to_float32", work.get()))) return nullptr;
        converted = true;
        if (!size || !area ||
            !(work = pyglue::legacy::call_method_kw(rk.get(), "resize", {work.get(), size.get()},
                                            {{"interpolation", area.get()}})))
            return nullptr;
    }
    if (plan.crop && !(work = crop_view(work.get(), plan))) return nullptr;
    // Conversion is per pixel, so converting only the crop gives the same values for
    // a fraction of the work.
    if (!converted && !(work = pyglue::legacy::call_method(rk.get(), "to_float32", work.get()))) return nullptr;
    if (plan.pad && !(work = pad_and_blend(module, xp.get(), work.get(), plan))) return nullptr;

    Ref np = pyglue::legacy::global(module, "np");
    Ref rows = Ref::steal(Py_BuildValue("[[ddd][ddd]]", plan.M[0][0], plan.M[0][1], plan.M[0][2], plan.M[1][0],
                                        plan.M[1][1], plan.M[1][2]));
    Ref M = np && rows ? pyglue::legacy::call_method(np.get(), "array", rows.get()) : Ref();
    Ref out_shape = Ref::steal(Py_BuildValue("(LL)", transform_size, transform_size));
    if (!M || !out_shape || !(work = pyglue::legacy::call_method(rk.get(), "affine_transform", work.get(), M.get(),
                                                         out_shape.get())))
        return nullptr;
    if (output_size < transform_size) {
        Ref size = Ref::steal(Py_BuildValue("(LL)", output_size, output_size));
        Ref area = Ref::steal(PyObject_GetAttrString(rk.get(), "INTER_AREA"));
        if (!size || !area ||
            !(work = pyglue::legacy::call_method_kw(rk.get(), "resize", {work.get(), size.get()},
                                            {{"interpolation", area.get()}})))
            return nullptr;
    }
    return work.release();
}

PyMethodDef functions[] = {
    {"align_face_ffhq", pyglue::fastcall(align_face_ffhq), METH_FASTCALL | METH_KEYWORDS,
     "align_face_ffhq(img, face_landmarks, output_size=256, transform_size=1024, enable_padding=True)\n--\n\n"
     "FFHQ-aligned square crop of one face.\n\n"
     "img: H x W x C frame (CuPy on the GPU or NumPy on the CPU; any dtype).\n"
     "face_landmarks: at least five (x, y) rows: left eye, right eye, nose (unused),\n"
     "left and right mouth corner, in the frame's pixel coordinates.\n"
     "output_size, transform_size: int sides of the result and of the warp.\n"
     "enable_padding: mirror-pad, blur and median-blend where the face nears the edge.\n"
     "Returns a float32 S x S x C image, S = min(output_size, transform_size), of the\n"
     "frame's array module. The frame and the landmarks are not modified."},
    {nullptr, nullptr, 0, nullptr},
};

// `import <name>` for a dotted name: binds the top-level package as `as`, or None when
// it is optional and missing.
bool bind_package(PyObject* module, const char* dotted, const char* top, bool optional) {
    Ref leaf = Ref::steal(PyImport_ImportModule(dotted));
    if (!leaf) {
        if (!optional || !PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        PyErr_Clear();
        return PyModule_AddObjectRef(module, top, Py_None) == 0;
    }
    return pyglue::legacy::bind_import(module, top, top);
}

int exec_module(PyObject* module) {
    if (!pyglue::legacy::bind_import(module, "cupy", "cp", true) || !pyglue::legacy::bind_import(module, "numpy", "np") ||
        !pyglue::legacy::bind_import(module, "rasterkit", "rk") || !bind_package(module, "cupyx.scipy.ndimage", "cupyx", true) ||
        !bind_package(module, "scipy.ndimage", "scipy", false))
        return -1;
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    if (!typing) return -1;
    for (const char* name : {"Optional", "Tuple"}) {
        Ref v = Ref::steal(PyObject_GetAttrString(typing.get(), name));
        if (!v || PyModule_AddObjectRef(module, name, v.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.facefit",
                          "FFHQ-style face alignment from five facial landmarks.", 0, functions, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_facefit() { return PyModuleDef_Init(&module_def); }
