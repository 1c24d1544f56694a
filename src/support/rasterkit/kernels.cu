// rasterkit CUDA kernels, compiled at run time by NVRTC through CuPy's RawModule
// (rasterkit/_kernels.py inlines pixel_math.h, so the compile cache sees every line).
// The per-pixel math is the CPU's; these kernels only map threads to pixels.
//
// Sources are strided views (strides in elements, negative ones allowed); outputs are
// C-contiguous. Every kernel walks its outputs in a grid-stride loop, so any grid size
// covers any image. Each kernel exists for uint8 (_u8) and float32 (_f32) images.
//
// Per-channel arrays of four are only indexed by unrolled constants (k < 4, guarded by
// the run-time count), so that they stay in registers rather than local memory.
#include "pixel_math.h"

using rk::index_t;

#define RK_GRID_LOOP(i, total)                                                        \
    for (index_t i = static_cast<index_t>(blockIdx.x) * blockDim.x + threadIdx.x; i < (total); \
         i += static_cast<index_t>(gridDim.x) * blockDim.x)

// Up to four channels per launch where a kernel takes per-channel constants as arguments.
struct ChannelGroup {
    int first, count;
    int source[4];
    float a[4], b[4];
};

__device__ __forceinline__ ChannelGroup make_group(int first, int count, int s0, int s1, int s2, int s3, float a0,
                                                   float a1, float a2, float a3, float b0, float b1, float b2,
                                                   float b3) {
    ChannelGroup g;
    g.first = first;
    g.count = count;
    g.source[0] = s0;
    g.source[1] = s1;
    g.source[2] = s2;
    g.source[3] = s3;
    g.a[0] = a0;
    g.a[1] = a1;
    g.a[2] = a2;
    g.a[3] = a3;
    g.b[0] = b0;
    g.b[1] = b1;
    g.b[2] = b2;
    g.b[3] = b3;
    return g;
}

#define RK_GROUP_PARAMS                                                                                   \
    int first, int count, int s0, int s1, int s2, int s3, float a0, float a1, float a2, float a3, float b0, \
        float b1, float b2, float b3
#define RK_GROUP_ARGS first, count, s0, s1, s2, s3, a0, a1, a2, a3, b0, b1, b2, b3

// ------------------------------------------------------------------ resize

template <class T>
__device__ void resize_pixels(const T* src, index_t sh, index_t sw, index_t cn, index_t sy, index_t sx, index_t sc,
                              T* dst, index_t dh, index_t dw, int mode_x, int mode_y, double scale_x,
                              double scale_y) {
    RK_GRID_LOOP(i, dh * dw) {
        const index_t y = i / dw, x = i - y * dw;
        const rk::AxisSpan ax = rk::axis_span(mode_x, x, scale_x, sw);
        const rk::AxisSpan ay = rk::axis_span(mode_y, y, scale_y, sh);
        T* out = dst + i * cn;
        for (index_t c0 = 0; c0 < cn; c0 += 4) {
            const int group = cn - c0 < 4 ? static_cast<int>(cn - c0) : 4;
            float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            for (index_t ky = 0; ky < ay.count; ++ky) {
                index_t iy;
                float wy;
                rk::axis_tap(mode_y, ay, ky, sh, &iy, &wy);
                for (index_t kx = 0; kx < ax.count; ++kx) {
                    index_t ix;
                    float wx;
                    rk::axis_tap(mode_x, ax, kx, sw, &ix, &wx);
                    const T* p = src + iy * sy + ix * sx + c0 * sc;
                    const float w = wy * wx;
#pragma unroll
                    for (int c = 0; c < 4; ++c)
                        if (c < group) acc[c] += w * rk::load(p + c * sc);
                }
            }
#pragma unroll
            for (int c = 0; c < 4; ++c)
                if (c < group) rk::store(out + c0 + c, acc[c]);
        }
    }
}

#define RK_RESIZE(name, T)                                                                                         \
    extern "C" __global__ void name(const T* src, index_t sh, index_t sw, index_t cn, index_t sy, index_t sx,       \
                                    index_t sc, T* dst, index_t dh, index_t dw, int mode_x, int mode_y,           \
                                    double scale_x, double scale_y) {                                              \
        resize_pixels<T>(src, sh, sw, cn, sy, sx, sc, dst, dh, dw, mode_x, mode_y, scale_x, scale_y);             \
    }
RK_RESIZE(rk_resize_u8, unsigned char)
RK_RESIZE(rk_resize_f32, float)

// ------------------------------------------------------------------ affine warp

// `inv` maps destination to source; `ok` false (a singular matrix) gives zeros.
template <class T>
__device__ void warp_pixels(const T* src, index_t sh, index_t sw, index_t cn, index_t sy, index_t sx, index_t sc,
                            T* dst, index_t dh, index_t dw, const double* inv, bool ok) {
    RK_GRID_LOOP(i, dh * dw) {
        const index_t y = i / dw, x = i - y * dw;
        T* out = dst + i * cn;
        rk::BilinearPos b;
        b.any = false;
        // Grouped as on the CPU, which adds the row's part first.
        if (ok)
            b = rk::bilinear_position(inv[0] * x + (inv[1] * y + inv[2]), inv[3] * x + (inv[4] * y + inv[5]), sw, sh);
        for (index_t c = 0; c < cn; ++c)
            rk::store(out + c, b.any ? rk::bilinear_sample(src + c * sc, sy, sx, b, sw, sh) : 0.0f);
    }
}

// The inverse matrix as six arguments (a matrix known on the host) ...
#define RK_WARP(name, T)                                                                                           \
    extern "C" __global__ void name(const T* src, index_t sh, index_t sw, index_t cn, index_t sy, index_t sx,       \
                                    index_t sc, T* dst, index_t dh, index_t dw, double i0, double i1, double i2,   \
                                    double i3, double i4, double i5) {                                             \
        const double inv[6] = {i0, i1, i2, i3, i4, i5};                                                            \
        warp_pixels<T>(src, sh, sw, cn, sy, sx, sc, dst, dh, dw, inv, true);                                       \
    }
RK_WARP(rk_warp_u8, unsigned char)
RK_WARP(rk_warp_f32, float)

// ... or the forward matrix in device memory (six contiguous doubles), inverted here
// so that no value has to cross to the host.
#define RK_WARP_DEVICE(name, T)                                                                                    \
    extern "C" __global__ void name(const T* src, index_t sh, index_t sw, index_t cn, index_t sy, index_t sx,       \
                                    index_t sc, T* dst, index_t dh, index_t dw, const double* forward) {           \
        double m[6], inv[6];                                                                                       \
        for (int k = 0; k < 6; ++k) m[k] = forward[k];                                                             \
        const bool ok = rk::invert_affine(m, inv);                                                                 \
        warp_pixels<T>(src, sh, sw, cn, sy, sx, sc, dst, dh, dw, inv, ok);                                         \
    }
RK_WARP_DEVICE(rk_warp_device_u8, unsigned char)
RK_WARP_DEVICE(rk_warp_device_f32, float)

// ------------------------------------------------------------------ paste-back

// The frame with crop and mask warped into it and blended, per frame pixel; `inv` maps
// frame to crop pixels, `ok` false (a singular matrix) leaves the frame as it is. A
// one-channel mask serves every channel.
__device__ void paste_pixels(const float* frame, index_t fh, index_t fw, index_t cn, index_t fy, index_t fx,
                             index_t fc, const float* crop, index_t ch, index_t cw, index_t cy, index_t cx, index_t cc,
                             const float* mask, index_t mcn, index_t my, index_t mx, index_t mc, float* dst,
                             const double* inv, bool ok) {
    RK_GRID_LOOP(i, fh * fw) {
        const index_t y = i / fw, x = i - y * fw;
        rk::BilinearPos b;
        b.any = false;
        if (ok)
            b = rk::bilinear_position(inv[0] * x + (inv[1] * y + inv[2]), inv[3] * x + (inv[4] * y + inv[5]), cw, ch);
        float m = 0.0f;
        for (index_t c = 0; c < cn; ++c) {
            if (c < mcn) m = b.any ? rk::bilinear_sample(mask + c * mc, my, mx, b, cw, ch) : 0.0f;
            const float v = b.any ? rk::bilinear_sample(crop + c * cc, cy, cx, b, cw, ch) : 0.0f;
            dst[i * cn + c] = rk::paste_value(m, v, frame[y * fy + x * fx + c * fc]);
        }
    }
}

#define RK_PASTE_PARAMS                                                                                            \
    const float *frame, index_t fh, index_t fw, index_t cn, index_t fy, index_t fx, index_t fc, const float *crop,  \
        index_t ch, index_t cw, index_t cy, index_t cx, index_t cc, const float *mask, index_t mcn, index_t my,    \
        index_t mx, index_t mc, float *dst
#define RK_PASTE_ARGS frame, fh, fw, cn, fy, fx, fc, crop, ch, cw, cy, cx, cc, mask, mcn, my, mx, mc, dst

// The inverse matrix as six arguments (a matrix known on the host) ...
extern "C" __global__ void rk_paste_blend(RK_PASTE_PARAMS, double i0, double i1, double i2, double i3, double i4,
                                          double i5) {
    const double inv[6] = {i0, i1, i2, i3, i4, i5};
    paste_pixels(RK_PASTE_ARGS, inv, true);
}

// ... or the forward matrix in device memory, inverted here.
extern "C" __global__ void rk_paste_blend_device(RK_PASTE_PARAMS, const double* forward) {
    double m[6], inv[6];
    for (int k = 0; k < 6; ++k) m[k] = forward[k];
    const bool ok = rk::invert_affine(m, inv);
    paste_pixels(RK_PASTE_ARGS, inv, ok);
}

// ------------------------------------------------------------------ Gaussian blur

extern "C" __global__ void rk_gaussian_weights(int ksize, double sigma, float* weights) {
    if (blockIdx.x == 0 && threadIdx.x == 0) rk::gaussian_weights(ksize, sigma, weights);
}

// Vertical taps of a strided source into a contiguous float image, as on the CPU.
template <class T>
__device__ void blur_vertical(const T* src, index_t h, index_t w, index_t cn, index_t sy, index_t sx, index_t sc,
                              float* tmp, const float* weights, int ksize) {
    const index_t r = ksize / 2;
    RK_GRID_LOOP(i, h * w * cn) {
        const index_t c = i % cn, p = i / cn, x = p % w, y = p / w;
        const T* column = src + x * sx + c * sc;
        float acc = 0.0f;
        for (int k = 0; k < ksize; ++k) acc += weights[k] * rk::load(column + rk::reflect101(y + k - r, h) * sy);
        tmp[i] = acc;
    }
}

template <class T>
__device__ void blur_horizontal(const float* tmp, index_t h, index_t w, index_t cn, T* dst, const float* weights,
                                int ksize) {
    const index_t r = ksize / 2;
    RK_GRID_LOOP(i, h * w * cn) {
        const index_t c = i % cn, p = i / cn, x = p % w, y = p / w;
        const float* row = tmp + y * w * cn + c;
        float acc = 0.0f;
        for (int k = 0; k < ksize; ++k) acc += weights[k] * row[rk::reflect101(x + k - r, w) * cn];
        rk::store(dst + i, acc);
    }
}

#define RK_BLUR(vname, hname, T)                                                                                   \
    extern "C" __global__ void vname(const T* src, index_t h, index_t w, index_t cn, index_t sy, index_t sx,        \
                                     index_t sc, float* tmp, const float* weights, int ksize) {                    \
        blur_vertical<T>(src, h, w, cn, sy, sx, sc, tmp, weights, ksize);                                          \
    }                                                                                                              \
    extern "C" __global__ void hname(const float* tmp, index_t h, index_t w, index_t cn, T* dst,                   \
                                     const float* weights, int ksize) {                                            \
        blur_horizontal<T>(tmp, h, w, cn, dst, weights, ksize);                                                    \
    }
RK_BLUR(rk_blur_vertical_u8, rk_blur_horizontal_u8, unsigned char)
RK_BLUR(rk_blur_vertical_f32, rk_blur_horizontal_f32, float)

// ------------------------------------------------------------------ Gaussian filter, SciPy's rules

extern "C" __global__ void rk_filter_taps(double sigma, index_t radius, index_t n, float* weights) {
    if (blockIdx.x == 0 && threadIdx.x == 0) rk::filter_taps(sigma, radius, n, weights);
}

// One axis (0 rows, 1 columns, 2 channels) of the filter, from a strided float image
// into a contiguous one.
extern "C" __global__ void rk_filter_axis(const float* src, index_t h, index_t w, index_t cn, index_t sy, index_t sx,
                                          index_t sc, float* dst, int axis, const float* weights, index_t taps) {
    const index_t n = axis == 0 ? h : (axis == 1 ? w : cn);
    const index_t stride = axis == 0 ? sy : (axis == 1 ? sx : sc);
    RK_GRID_LOOP(i, h * w * cn) {
        const index_t c = i % cn, p = i / cn, x = p % w, y = p / w;
        const index_t at = axis == 0 ? y : (axis == 1 ? x : c);
        const float* line = src + y * sy + x * sx + c * sc - at * stride;
        dst[i] = rk::filter_at(line, stride, n, at, weights, taps);
    }
}

// ------------------------------------------------------------------ class masks

// lut[k * channels + c]: the entries of the class table naming class k under category c.
extern "C" __global__ void rk_class_table(const long long* indices, const long long* categories, index_t entries,
                                          index_t classes, index_t channels, float* lut) {
    RK_GRID_LOOP(i, classes * channels) lut[i] = rk::class_count(indices, categories, entries, i / channels, i % channels);
}

// dst (n, channels, h, w) contiguous: each pixel's class, through the table.
extern "C" __global__ void rk_fold_class_masks(const float* preds, index_t n, index_t classes, index_t h, index_t w,
                                               index_t sn, index_t sk, index_t sy, index_t sx, const float* lut,
                                               index_t channels, float* dst) {
    RK_GRID_LOOP(i, n * h * w) {
        const index_t img = i / (h * w), p = i - img * (h * w), y = p / w, x = p - y * w;
        const index_t k = rk::class_argmax(preds + img * sn + y * sy + x * sx, sk, classes);
        for (index_t c = 0; c < channels; ++c) dst[(img * channels + c) * h * w + p] = lut[k * channels + c];
    }
}

// ------------------------------------------------------------------ batch conversion

// One batch entry, channels first .. first + count - 1 of the network order:
// out[k][y][x] = (unit(pixel[source]) - mean) * inv_std, with a = inv_std, b = mean.
// The pixel is resampled bilinearly when `resize` is set.
template <class T>
__device__ void batch_entry(const T* src, index_t sh, index_t sw, index_t sy, index_t sx, index_t sc, float* out,
                            index_t dh, index_t dw, int resize, double scale_x, double scale_y, const ChannelGroup& g) {
    const index_t plane = dh * dw;
    RK_GRID_LOOP(i, plane) {
        const index_t y = i / dw, x = i - y * dw;
        float value[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        if (!resize) {
#pragma unroll
            for (int k = 0; k < 4; ++k)
                if (k < g.count) value[k] = rk::to_unit(src[y * sy + x * sx + g.source[k] * sc]);
        } else {
            const rk::AxisSpan ax = rk::axis_span(rk::LINEAR, x, scale_x, sw);
            const rk::AxisSpan ay = rk::axis_span(rk::LINEAR, y, scale_y, sh);
            for (index_t ky = 0; ky < ay.count; ++ky) {
                index_t iy;
                float wy;
                rk::axis_tap(rk::LINEAR, ay, ky, sh, &iy, &wy);
                for (index_t kx = 0; kx < ax.count; ++kx) {
                    index_t ix;
                    float wx;
                    rk::axis_tap(rk::LINEAR, ax, kx, sw, &ix, &wx);
                    const T* p = src + iy * sy + ix * sx;
#pragma unroll
                    for (int k = 0; k < 4; ++k)
                        if (k < g.count) value[k] += wy * wx * rk::load(p + g.source[k] * sc);
                }
            }
#pragma unroll
            for (int k = 0; k < 4; ++k) value[k] = rk::resampled_to_unit(value[k], src);
        }
#pragma unroll
        for (int k = 0; k < 4; ++k)
            if (k < g.count) out[(g.first + k) * plane + i] = (value[k] - g.b[k]) * g.a[k];
    }
}

#define RK_BATCH(name, T)                                                                                          \
    extern "C" __global__ void name(const T* src, index_t sh, index_t sw, index_t sy, index_t sx, index_t sc,       \
                                    float* out, index_t dh, index_t dw, int resize, double scale_x,                \
                                    double scale_y, RK_GROUP_PARAMS) {                                             \
        const ChannelGroup g = make_group(RK_GROUP_ARGS);                                                          \
        batch_entry<T>(src, sh, sw, sy, sx, sc, out, dh, dw, resize, scale_x, scale_y, g);                         \
    }
RK_BATCH(rk_images_to_batch_u8, unsigned char)
RK_BATCH(rk_images_to_batch_f32, float)

// dst[i][y][x][first + k] = src[i][y][x][source[k]] * a[k] + b[k]; dst contiguous NHWC.
extern "C" __global__ void rk_batch_to_images(const float* src, index_t n, index_t h, index_t w, index_t cn,
                                              index_t sn, index_t sy, index_t sx, index_t sc, float* dst,
                                              RK_GROUP_PARAMS) {
    const ChannelGroup g = make_group(RK_GROUP_ARGS);
    RK_GRID_LOOP(i, n * h * w) {
        const index_t img = i / (h * w), p = i - img * (h * w), y = p / w, x = p - y * w;
        const float* pixel = src + img * sn + y * sy + x * sx;
#pragma unroll
        for (int k = 0; k < 4; ++k)
            if (k < g.count) dst[i * cn + g.first + k] = pixel[g.source[k] * sc] * g.a[k] + g.b[k];
    }
}
