"""rasterkit on NumPy arrays, with OpenCV as the oracle for the image operations."""

import warnings

import cv2
import numpy as np
import pytest
from scipy import ndimage

import rasterkit as rk

TOL = 1e-4  # float32 results in 0..1


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def smooth_image(rng, h, w, c=3):
    """A smooth float32 image in 0..1 (random noise is blurred so resampling is well posed)."""
    noise = rng.random((h, w, c)).astype(np.float32)
    return cv2.GaussianBlur(noise, (5, 5), 1.0).reshape(h, w, c)


# ---------------------------------------------------------------- resize


@pytest.mark.parametrize(
    "interp", [rk.INTER_NEAREST, rk.INTER_LINEAR, rk.INTER_CUBIC, rk.INTER_AREA], ids=["nearest", "linear", "cubic", "area"]
)
@pytest.mark.parametrize("src_hw,dsize", [((100, 120), (60, 50)), ((64, 64), (256, 256)), ((97, 131), (37, 29)),
                                          ((1024, 1024), (256, 256)), ((31, 17), (50, 80))])
@pytest.mark.parametrize("channels", [1, 3, 4, 5])
def test_resize_matches_opencv(rng, interp, src_hw, dsize, channels):
    img = rng.random(src_hw + (channels,)).astype(np.float32)
    # OpenCV's area path takes at most 4 channels: compare channel by channel.
    expected = np.stack([cv2.resize(img[:, :, c], dsize, interpolation=interp) for c in range(channels)], axis=2)
    got = rk.resize(img, dsize, interpolation=interp)
    assert got.shape == (dsize[1], dsize[0], channels) and got.dtype == np.float32
    np.testing.assert_allclose(got, expected, atol=TOL)


@pytest.mark.parametrize("interp", [rk.INTER_NEAREST, rk.INTER_LINEAR, rk.INTER_AREA])
def test_resize_uint8_and_2d(rng, interp):
    img = (rng.random((90, 70)) * 255).astype(np.uint8)
    got = rk.resize(img, (33, 41), interpolation=interp)
    expected = cv2.resize(img, (33, 41), interpolation=interp)
    assert got.dtype == np.uint8 and got.shape == (41, 33)
    # OpenCV's bilinear uint8 path uses fixed-point weights: off by one at most.
    assert np.abs(got.astype(int) - expected).max() <= 1


def test_resize_auto_picks_area_or_linear_per_axis(rng):
    img = smooth_image(rng, 80, 60)
    np.testing.assert_array_equal(rk.resize(img, (30, 40)), rk.resize(img, (30, 40), interpolation=rk.INTER_AREA))
    np.testing.assert_array_equal(rk.resize(img, (90, 120)), rk.resize(img, (90, 120), interpolation=rk.INTER_LINEAR))
    # Shrinking one axis and growing the other: each axis keeps its own rule.
    mixed = rk.resize(img, (30, 120))
    ref = rk.resize(rk.resize(img, (30, 80), interpolation=rk.INTER_AREA), (30, 120), interpolation=rk.INTER_LINEAR)
    np.testing.assert_allclose(mixed, ref, atol=1e-6)


@pytest.mark.parametrize(
    "src_hw,dsize",
    [((20, 30), (12, 50)), ((31, 17), (40, 9)), ((24, 36), (9, 10)), ((7, 5), (12, 16))],
    ids=["x-shrinks", "y-shrinks", "both-shrink", "both-grow"],
)
def test_resize_area_is_the_exact_area_mean(rng, src_hw, dsize):
    # Reference by supersampling: each source pixel repeated dst times per axis, then
    # blocks of src averaged, which is the mean over each output pixel's footprint.
    # OpenCV agrees only when both axes shrink or both grow (see resize).
    img = rng.random(src_hw + (3,)).astype(np.float32)
    (sh, sw), (dw, dh) = src_hw, dsize
    fine = img.astype(np.float64).repeat(dh, axis=0).repeat(dw, axis=1)
    expected = fine.reshape(dh, sh, dw, sw, 3).mean(axis=(1, 3))
    np.testing.assert_allclose(rk.resize(img, dsize, interpolation=rk.INTER_AREA), expected, atol=1e-5)


def test_resize_area_keeps_mean_and_constants(rng):
    img = rng.random((97, 131, 3)).astype(np.float32)
    out = rk.resize(img, (29, 37), interpolation=rk.INTER_AREA)
    assert abs(out.mean() - img.mean()) < 2e-3
    const = np.full((97, 131, 2), 0.75, np.float32)
    np.testing.assert_allclose(rk.resize(const, (29, 37), interpolation=rk.INTER_AREA), 0.75, atol=1e-6)


# ---------------------------------------------------------------- affine warp


def exact_warp(img, M, out_hw):
    """Bilinear warp computed in float64 with 0 outside the source."""
    h, w = img.shape[:2]
    inv = cv2.invertAffineTransform(M)
    ys, xs = np.mgrid[0:out_hw[0], 0:out_hw[1]].astype(np.float64)
    sx = inv[0, 0] * xs + inv[0, 1] * ys + inv[0, 2]
    sy = inv[1, 0] * xs + inv[1, 1] * ys + inv[1, 2]
    x0, y0 = np.floor(sx).astype(int), np.floor(sy).astype(int)
    fx, fy = (sx - x0)[..., None], (sy - y0)[..., None]
    out = np.zeros(out_hw + img.shape[2:], np.float64)
    src = img.astype(np.float64).reshape(h, w, -1)
    out = out.reshape(out_hw + (src.shape[2],))
    for dy, dx, wt in [(0, 0, (1 - fx) * (1 - fy)), (0, 1, fx * (1 - fy)), (1, 0, (1 - fx) * fy), (1, 1, fx * fy)]:
        xi, yi = x0 + dx, y0 + dy
        inside = ((xi >= 0) & (xi < w) & (yi >= 0) & (yi < h))[..., None]
        out += np.where(inside, wt * src[np.clip(yi, 0, h - 1), np.clip(xi, 0, w - 1)], 0.0)
    return out.reshape(out_hw + img.shape[2:])


MATRICES = {
    "rotate-scale": np.array([[0.9, 0.2, 5.3], [-0.15, 1.1, -3.7]]),
    "crop-zoom": np.array([[2.5, 0.0, -40.25], [0.0, 2.5, -60.5]]),
    "shrink-rotate": np.array([[0.3, -0.28, 70.0], [0.28, 0.3, 10.0]]),
    "partly-outside": np.array([[1.0, 0.0, 30.7], [0.0, 1.0, -20.2]]),
}


@pytest.mark.parametrize("name", MATRICES)
@pytest.mark.parametrize("channels", [1, 3, 4])
def test_affine_matches_exact_bilinear_and_opencv(rng, name, channels):
    img = rng.random((100, 120, channels)).astype(np.float32)
    M = MATRICES[name]
    got = rk.affine_transform(img, M, (90, 110))
    assert got.shape == (90, 110, channels) and got.dtype == np.float32
    np.testing.assert_allclose(got, exact_warp(img, M, (90, 110)), atol=TOL)
    # OpenCV rounds sample positions to 1/32 pixel: close, not equal, at strong edges.
    expected = cv2.warpAffine(img, M, (110, 90), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT)
    np.testing.assert_allclose(got, expected.reshape(got.shape), atol=0.02)


def test_affine_uint8_2d_and_outside_is_zero(rng):
    img = (rng.random((40, 50)) * 255).astype(np.uint8)
    M = np.array([[1.0, 0.0, 100.0], [0.0, 1.0, 0.0]])  # moves the image out of view
    out = rk.affine_transform(img, M, (40, 50))
    assert out.dtype == np.uint8 and out.shape == (40, 50) and not out.any()
    M = np.array([[0.8, 0.1, 3.2], [-0.1, 0.8, 5.1]], np.float32)
    got = rk.affine_transform(img, M, (30, 30))
    assert np.abs(got.astype(int) - np.rint(exact_warp(img, M.astype(np.float64), (30, 30)))).max() <= 1


@pytest.mark.parametrize("name", MATRICES)
@pytest.mark.parametrize("channels", [1, 3, 4])
def test_affine_uint8_is_the_float_warp_rounded(rng, name, channels):
    # The uint8 kernels (SIMD in the interior, per channel at the edges) blend the same
    # floats as the float32 ones and round half to even with saturation.
    img = (rng.random((100, 120, channels)) * 256).astype(np.uint8)
    got = rk.affine_transform(img, MATRICES[name], (90, 110))
    as_float = rk.affine_transform(img.astype(np.float32), MATRICES[name], (90, 110))
    np.testing.assert_array_equal(got, np.clip(np.rint(as_float), 0, 255).astype(np.uint8))


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("width", [9, 1033, 1034])
def test_affine_interior_runs_of_any_length(rng, channels, width):
    # Every pixel inside the source: rows are one interior run per 1024-column tile, and
    # the vector loops store past a pixel group only onto pixels of the run written
    # after it. A last tile of 9 or 10 columns ends right after such a store.
    img = (rng.random((70, 700, channels)) * 256).astype(np.uint8)
    M = np.array([[1.5, 0.1, -4.0], [-0.1, 1.5, -6.0]])
    got = rk.affine_transform(img, M, (20, width))
    as_float = rk.affine_transform(img.astype(np.float32), M, (20, width))
    np.testing.assert_array_equal(got, np.clip(np.rint(as_float), 0, 255).astype(np.uint8))
    np.testing.assert_allclose(as_float, exact_warp(img, M, (20, width)), atol=1e-3)


@pytest.mark.parametrize("scale", [1e300, 1e-160])
def test_inverse_matrix_of_huge_and_tiny_maps(scale):
    # The determinant of such maps overflows or underflows float64; their inverses do not.
    base = MATRICES["rotate-scale"]
    M = base * [[scale, scale, 1.0], [scale, scale, 1.0]]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        IM = rk.get_inverse_matrix(M)
    # Inverting (s L, t) gives (L^-1 / s, -L^-1 t / s): the inverse of (L, t) over s.
    np.testing.assert_allclose(IM * scale, cv2.invertAffineTransform(base), rtol=1e-12)
    with pytest.raises(ValueError):
        rk.get_inverse_matrix([[scale, 2 * scale, 0], [2 * scale, 4 * scale, 0]])


def test_inverse_matrix_of_a_row_at_the_float_limit():
    # The row's scale, 2**1024, is beyond float64 itself; the inverse is exact.
    IM = rk.get_inverse_matrix([[2.0**1023, 0, 1], [0, 1, 0]])
    np.testing.assert_array_equal(IM, [[2.0**-1023, 0, -(2.0**-1023)], [0, 1, 0]])
    assert rk.affine_transform(np.ones((4, 4), np.float32), [[2.0**1023, 0, 1], [0, 1, 0]], (4, 4)).shape == (4, 4)


def test_inverse_matrix_round_trip():
    M = MATRICES["rotate-scale"]
    IM = rk.get_inverse_matrix(M)
    np.testing.assert_allclose(IM, cv2.invertAffineTransform(M), atol=1e-12)
    np.testing.assert_allclose(rk.get_inverse_matrix(IM), M, atol=1e-12)
    assert rk.get_inverse_matrix(M.astype(np.float32)).dtype == np.float32
    assert rk.get_inverse_matrix([[2, 0, 1], [0, 2, 1]]).dtype == np.float64


# ---------------------------------------------------------------- paste-back


def unfused_paste(frame, crop, mask, M):
    """The plain recipe: crop and mask warped into the frame's size, then blended."""
    size = frame.shape[:2]
    m, c = rk.affine_transform(mask, M, size), rk.affine_transform(crop, M, size)
    if m.ndim < c.ndim:
        m = m[..., None]
    return m * c + (1 - m) * frame


@pytest.mark.parametrize("name", MATRICES)
@pytest.mark.parametrize(
    "frame_shape,mask_channels",
    [((90, 110, 3), 3), ((90, 110, 3), 1), ((90, 110, 3), None), ((90, 110, 4), 4), ((90, 110, 4), 1),
     ((90, 110), None), ((90, 110, 5), 1)],
)
def test_paste_blend_is_the_unfused_warp_and_blend(rng, name, frame_shape, mask_channels):
    frame = rng.random(frame_shape).astype(np.float32)
    crop = rng.random((100, 120) + frame_shape[2:]).astype(np.float32)
    mask = rng.random((100, 120) + ((mask_channels,) if mask_channels else ())).astype(np.float32)
    got = rk.paste_blend(frame, crop, mask, MATRICES[name])
    assert got.dtype == np.float32 and got.shape == frame.shape
    np.testing.assert_array_equal(got, unfused_paste(frame, crop, mask, MATRICES[name]))


def test_paste_blend_views_outside_and_errors(rng):
    frame = rng.random((60, 80, 3)).astype(np.float32)
    crop = rng.random((30, 40, 3)).astype(np.float32)
    mask = rng.random((30, 40, 1)).astype(np.float32)
    M = MATRICES["rotate-scale"]
    views = (frame[:, ::-1], crop[::-1, :, ::-1], mask[:, ::-1])
    np.testing.assert_array_equal(rk.paste_blend(*views, M), unfused_paste(*views, M))
    away = np.array([[1.0, 0.0, 500.0], [0.0, 1.0, 0.0]])
    out = rk.paste_blend(frame, crop, mask, away)
    assert out is not frame
    np.testing.assert_array_equal(out, frame)
    with pytest.raises(ValueError, match="mask"):
        rk.paste_blend(frame, crop, mask[:20], M)
    with pytest.raises(ValueError, match="mask"):
        rk.paste_blend(frame, crop, np.ones((30, 40, 2), np.float32), M)
    with pytest.raises(ValueError, match="crop"):
        rk.paste_blend(frame, crop[:, :, :2], mask, M)
    with pytest.raises(TypeError, match="float32"):
        rk.paste_blend((frame * 255).astype(np.uint8), crop, mask, M)
    with pytest.raises(ValueError, match="invertible"):
        rk.paste_blend(frame, crop, mask, np.zeros((2, 3)))


# ---------------------------------------------------------------- Gaussian blur


@pytest.mark.parametrize("ksize,sigma", [(3, 0.0), (5, 0.0), (9, 0.0), (11, 0.0), (0, 3.0), (37, 36.0), (7, 1.2),
                                         (101, 40.0)])
@pytest.mark.parametrize("shape", [(256, 256, 3), (40, 30), (5, 7, 1)])
def test_blur_matches_opencv(rng, ksize, sigma, shape):
    img = rng.random(shape).astype(np.float32)
    got = rk.GaussianBlur().get(img, ksize, sigma)
    expected = cv2.GaussianBlur(img, (ksize, ksize), sigma).reshape(shape)
    assert got.shape == shape and got.dtype == np.float32
    np.testing.assert_allclose(got, expected, atol=TOL)


@pytest.mark.parametrize("shape", [(6, 7), (1, 5, 3), (9, 1), (2, 2, 4)])
def test_blur_huge_kernel_is_the_reflected_mean(rng, shape):
    # ksize 2**24 - 1 derives sigma ~2.5e6: summed over each reflect-101 period the
    # kernel is flat, so every pixel becomes the mean of one period, where the edge
    # pixels appear once and the others twice along each axis.
    img = rng.random(shape).astype(np.float32)
    got = rk.GaussianBlur().get(img, 2**24 - 1, 0.0)

    def period_weights(n):
        w = np.full(n, 2.0)
        w[[0, -1]] = 1.0
        return w / w.sum()

    mean = np.einsum("y,x,yx...->...", period_weights(shape[0]), period_weights(shape[1]), img.astype(np.float64))
    np.testing.assert_allclose(got, np.broadcast_to(mean, shape), atol=1e-5)


def test_blur_huge_kernel_with_small_sigma_matches_opencv(rng):
    # Taps past ~14 sigma are 0 in float32: the result is that of the short kernel.
    img = rng.random((40, 30, 3)).astype(np.float32)
    got = rk.GaussianBlur().get(img, 2**24 - 1, 2.0)
    np.testing.assert_allclose(got, cv2.GaussianBlur(img, (61, 61), 2.0), atol=TOL)


def test_blur_size_rules(rng):
    img = rng.random((30, 40, 3)).astype(np.float32)
    blur = rk.GaussianBlur()
    np.testing.assert_array_equal(blur.get(img, 4, 1.5), blur.get(img, 5, 1.5))  # even -> next odd
    copy = blur.get(img, 0, 0.0)
    assert copy is not img
    np.testing.assert_array_equal(copy, img)
    u8 = (img * 255).astype(np.uint8)
    got = blur.get(u8, 0, 2.0)  # uint8 derives 6 sigma + 1 like OpenCV
    assert got.dtype == np.uint8
    assert np.abs(got.astype(int) - cv2.GaussianBlur(u8, (0, 0), 2.0)).max() <= 2


# ---------------------------------------------------------------- Gaussian filter, SciPy's rules


@pytest.mark.parametrize(
    "shape,sigma",
    [
        ((64, 80, 3), (2.0, 3.5, 0.0)),      # alignment's use: channels left alone
        ((40, 30), 1.5),                      # a scalar on a 2-D image
        ((9, 11, 4), (1.0, 0.7, 1.2)),        # the channel axis filtered too
        ((9, 11, 3), 2.0),                    # a scalar filters channels too, as in SciPy
        ((7, 5, 3), (10.0, 25.0, 0.0)),       # kernels far longer than the image
        ((1, 6, 3), (3.0, 3.0, 0.0)),         # one row
        ((200, 150, 3), (30.0, 30.0, 0.0)),   # 120 taps a side
        ((20, 20, 3), (1e-16, 2.0, 0.0)),     # below SciPy's 1e-15 an axis is left alone
        ((20, 20, 3), (0.1, 0.05, 0.0)),      # radius 0: the identity
    ],
)
def test_gaussian_filter_matches_scipy(rng, shape, sigma):
    img = rng.random(shape).astype(np.float32)
    got = rk.gaussian_filter(img, sigma)
    assert got.dtype == np.float32 and got.shape == img.shape
    np.testing.assert_allclose(got, ndimage.gaussian_filter(img, sigma), rtol=0, atol=1e-5)


def test_gaussian_filter_truncate_views_and_errors(rng):
    img = rng.random((30, 40, 3)).astype(np.float32)
    for truncate in (0.0, 1.3, 6.0):
        np.testing.assert_allclose(rk.gaussian_filter(img, (2.0, 1.5, 0.0), truncate=truncate),
                                   ndimage.gaussian_filter(img, (2.0, 1.5, 0.0), truncate=truncate), atol=1e-5)
    view = img[::-1, ::2, ::-1]
    np.testing.assert_array_equal(rk.gaussian_filter(view, (2.0, 1.5, 0.0)),
                                  rk.gaussian_filter(np.ascontiguousarray(view), (2.0, 1.5, 0.0)))
    with pytest.raises(TypeError, match="float32"):
        rk.gaussian_filter((img * 255).astype(np.uint8), 1.0)
    for sigma in (-1.0, (1.0, float("nan"), 0.0)):
        with pytest.raises(ValueError, match="sigma"):
            rk.gaussian_filter(img, sigma)
    with pytest.raises(ValueError, match="3 values"):
        rk.gaussian_filter(img, (1.0, 1.0))
    with pytest.raises(ValueError, match="truncate"):
        rk.gaussian_filter(img, 1.0, truncate=-1.0)
    # A kernel whose weights alone would take minutes to sum is refused at once.
    for sigma in (1e7, 1e300):
        with pytest.raises(ValueError, match="radius"):
            rk.gaussian_filter(img, (sigma, 1.0, 0.0))
        with pytest.raises(ValueError, match="radius"):
            rk.reflect_pad_fade(img, (1, 1, 1, 1), sigma)


def plain_pad_fade(img, pads, sigma):
    """The alignment margin written with NumPy and SciPy: pad, blur, two fades, clip."""
    top, bottom, left, right = pads
    tail = img.ndim - 2
    p = np.pad(img, ((top, bottom), (left, right)) + ((0, 0),) * tail, mode="reflect")
    h, w = p.shape[:2]

    def ramp(n, before, after):
        i = np.arange(n, dtype=np.float32)
        sides = ([i / before] if before else []) + ([(n - 1 - i) / after] if after else [])
        return 1.0 - np.minimum.reduce(sides) if sides else np.full(n, -np.inf, np.float32)

    mask = np.maximum(ramp(w, left, right).reshape((1, w) + (1,) * tail),
                      ramp(h, top, bottom).reshape((h, 1) + (1,) * tail))
    v = p + (ndimage.gaussian_filter(p, [sigma, sigma] + [0] * tail) - p) * np.clip(mask * 3.0 + 1.0, 0.0, 1.0)
    v = v + (np.median(v, axis=(0, 1)) - v) * np.clip(mask, 0.0, 1.0)
    return np.clip(v, 0, 1)


@pytest.mark.parametrize(
    "shape,pads,sigma",
    [
        ((60, 50, 3), (30, 24, 40, 20), 3.0),     # every side: blurred bands round an untouched middle
        ((41, 45, 3), (0, 0, 20, 0), 2.0),        # one side only, an odd pixel count
        ((33, 20), (7, 8, 7, 6), 1.5),            # 2-D
        ((5, 4, 3), (20, 3, 17, 25), 4.0),        # pads beyond the image: the mirror repeats
        ((1, 1, 4), (3, 2, 4, 1), 1.0),           # one pixel, four channels
        ((24, 30, 3), (6, 5, 7, 8), 0.0),         # no blur
        ((30, 30, 3), (0, 0, 0, 0), 2.0),         # nothing padded
        ((260, 300, 3), (90, 80, 100, 70), 9.0),  # large enough for the thread team
    ],
)
def test_reflect_pad_fade_matches_plain_recipe(rng, shape, pads, sigma):
    images = [
        rng.random(shape, dtype=np.float32),
        (rng.integers(0, 5, shape) / 4).astype(np.float32),              # few levels: ties at the median
        (rng.random(shape, dtype=np.float32) * 2 - 0.5).astype(np.float32),  # values the clip cuts
    ]
    for img in images:
        got = rk.reflect_pad_fade(img, pads, sigma)
        assert got.dtype == np.float32
        np.testing.assert_allclose(got, plain_pad_fade(img, pads, sigma), rtol=0, atol=1e-5)


def test_reflect_pad_fade_median_of_small_and_flat_images(rng):
    # A few pixels: the random sample that brackets the median often misses it, and the
    # search falls back. Flat and two-valued images: the middle is all ties.
    for _ in range(300):
        shape = tuple(rng.integers(1, 4, 2)) + ((int(rng.integers(1, 4)),) if rng.random() < 0.7 else ())
        pads = tuple(int(p) for p in rng.integers(0, 3, 4))
        img = rng.random(shape, dtype=np.float32)
        np.testing.assert_allclose(rk.reflect_pad_fade(img, pads, 1.0), plain_pad_fade(img, pads, 1.0), atol=1e-6)
    for img in (np.full((40, 50, 3), 0.25, np.float32), (rng.random((41, 50, 3)) < 0.5).astype(np.float32)):
        np.testing.assert_allclose(rk.reflect_pad_fade(img, (9, 8, 7, 6), 2.0), plain_pad_fade(img, (9, 8, 7, 6), 2.0),
                                   atol=1e-6)


def test_reflect_pad_fade_views_nonfinite_and_errors(rng):
    img = rng.random((30, 40, 3), dtype=np.float32)
    pads = (9, 7, 12, 5)
    view = img[::-1, ::2]
    np.testing.assert_array_equal(rk.reflect_pad_fade(view, pads, 2.0),
                                  rk.reflect_pad_fade(np.ascontiguousarray(view), pads, 2.0))
    # A value that is not finite turns its channel's median, and so the whole channel, NaN.
    for bad in (np.inf, np.nan):
        broken = img.copy()
        broken[15, 20, 1] = bad
        got = rk.reflect_pad_fade(broken, pads, 2.0)
        assert np.isnan(got[..., 1]).all() and not np.isnan(got[..., [0, 2]]).any()
        np.testing.assert_allclose(got[..., [0, 2]], plain_pad_fade(img, pads, 2.0)[..., [0, 2]], atol=1e-5)
    with pytest.raises(TypeError, match="float32"):
        rk.reflect_pad_fade((img * 255).astype(np.uint8), pads, 2.0)
    with pytest.raises(TypeError):
        rk.reflect_pad_fade(img, (1.5, 0, 0, 0), 2.0)
    for wrong in ((1, 2, 3), (1, -1, 0, 0), 4):
        with pytest.raises(ValueError, match="pads"):
            rk.reflect_pad_fade(img, wrong, 2.0)
    for sigma in (-1.0, float("nan")):
        with pytest.raises(ValueError, match="sigma"):
            rk.reflect_pad_fade(img, pads, sigma)


# ---------------------------------------------------------------- batches


@pytest.mark.parametrize("size", [64, (48, 40)])
@pytest.mark.parametrize("swap_rb", [True, False])
def test_images_to_batch_matches_blob(rng, size, swap_rb):
    images = [smooth_image(rng, 64, 64) for _ in range(5)]
    batch = rk.images_to_batch(images, std=0.5, size=size, mean=0.25, swap_rb=swap_rb, layout="HWC")
    w, h = (size, size) if isinstance(size, int) else size
    blob = cv2.dnn.blobFromImages(images, 2.0, (w, h), (0.25, 0.25, 0.25), swapRB=swap_rb)
    assert batch.shape == (5, 3, h, w) and batch.dtype == np.float32 and batch.flags.c_contiguous
    np.testing.assert_allclose(batch, blob, atol=TOL)


def test_images_to_batch_uint8_resized_matches_blob(rng):
    images = [(smooth_image(rng, 64, 48) * 255).astype(np.uint8) for _ in range(3)]
    std, mean = 0.5, 0.25
    batch = rk.images_to_batch(images, std=std, size=(40, 56), mean=mean)
    blob = cv2.dnn.blobFromImages(images, 1 / (255 * std), (40, 56), (mean * 255,) * 3, swapRB=True)
    assert batch.shape == blob.shape == (3, 3, 56, 40)
    # OpenCV resizes the uint8 image and rounds it to uint8 (fixed-point weights) before
    # normalising; we normalise the unrounded resampled value. They stay within one
    # uint8 level: 1 / 255 in 0..1, divided by std.
    np.testing.assert_allclose(batch, blob, atol=1 / (255 * std) + TOL)


def test_images_to_batch_per_channel_uint8_and_inverse(rng):
    img = (rng.random((32, 24, 3)) * 255).astype(np.uint8)
    mean, std = (0.485, 0.456, 0.406), (0.229, 0.224, 0.225)
    batch = rk.image_to_batch(img, size=(24, 32), std=std, mean=mean)
    net = img[:, :, ::-1].astype(np.float32) / 255  # network channel order
    expected = ((net - np.array(mean, np.float32)) / np.array(std, np.float32)).transpose(2, 0, 1)[None]
    np.testing.assert_allclose(batch, expected, atol=1e-5)
    (back,) = rk.batch_to_images(batch, std=std, mean=mean)
    assert back.flags.c_contiguous and back.shape == (32, 24, 3)
    np.testing.assert_allclose(back, img / 255.0, atol=1e-5)


def test_batch_to_images_list_and_layouts(rng):
    batch = rng.random((3, 4, 8, 6)).astype(np.float32)
    images = rk.batch_to_images(batch, swap_rb=True, layout="NCHW")
    assert isinstance(images, list) and len(images) == 3
    for i, image in enumerate(images):
        np.testing.assert_array_equal(image, batch[i].transpose(1, 2, 0)[:, :, [2, 1, 0, 3]])
    nhwc = rk.batch_to_images(batch.transpose(0, 2, 3, 1), swap_rb=False, layout="NHWC")
    np.testing.assert_array_equal(nhwc[1], batch[1].transpose(1, 2, 0))
    assert rk.batch_to_images(np.zeros((0, 3, 4, 4), np.float32)) == []


def test_batch_to_images_keeps_integer_values():
    batch = (np.arange(24, dtype=np.uint8) * 10).reshape(2, 3, 2, 2)
    images = rk.batch_to_images(batch, swap_rb=False)
    assert all(image.dtype == np.float32 for image in images)
    np.testing.assert_array_equal(images[1], batch[1].transpose(1, 2, 0))  # 120..230, not 0..1


def test_batch_size_none_and_chw_layout(rng):
    img = smooth_image(rng, 20, 30)
    a = rk.images_to_batch(img)
    b = rk.images_to_batch([img.transpose(2, 0, 1)], layout="CHW")
    np.testing.assert_array_equal(a, b)
    assert a.shape == (1, 3, 20, 30)


@pytest.mark.parametrize("dtype", [np.float32, np.uint8])
def test_same_size_batches_read_through_the_real_strides(rng, dtype):
    # At the batch's own size nothing is resampled: the conversion reads the source in
    # place, so a contiguous CHW array and a view with reversed channels must be read
    # through their strides, not as if they were packed HWC.
    img = smooth_image(rng, 20, 30)
    img = (img * 255).astype(np.uint8) if dtype == np.uint8 else img
    mean, std = (0.1, 0.2, 0.3), (0.5, 0.6, 0.7)
    scale = 255.0 if dtype == np.uint8 else 1.0
    plain = ((img[:, :, ::-1] / scale - np.array(mean)) / np.array(std)).transpose(2, 0, 1)[None].astype(np.float32)
    chw = np.ascontiguousarray(img.transpose(2, 0, 1))
    got = rk.images_to_batch([chw], std=std, size=(30, 20), mean=mean, layout="CHW")
    np.testing.assert_allclose(got, plain, atol=1e-5)
    # Reversed channels, not exchanged again, are the network's order already.
    flipped = rk.images_to_batch([img[:, :, ::-1]], std=std, size=(30, 20), mean=mean, swap_rb=False)
    np.testing.assert_allclose(flipped, plain, atol=1e-5)


# ---------------------------------------------------------------- conversions


def test_conversions():
    u8 = np.array([[0, 128, 255]], np.uint8)
    np.testing.assert_allclose(rk.to_float32(u8), [[0.0, 128 / 255, 1.0]], rtol=1e-7)
    f = np.zeros((2, 2), np.float32)
    assert rk.to_float32(f) is f
    assert rk.to_float32(np.ones(3, np.uint16)).dtype == np.float32
    with pytest.raises(TypeError):
        rk.to_float32(np.ones(3, np.int32))
    assert rk.to_numpy(f) is f
    # Frames and views of them convert as NumPy's float32 division gives them, bit for bit.
    frame = np.random.default_rng(3).integers(0, 256, (300, 400, 3), dtype=np.uint8)
    for view in (frame, frame[::-2, 5:], frame[..., ::-1], frame[..., 0], np.ones((0, 4, 3), np.uint8)):
        got = rk.to_float32(view)
        assert got.dtype == np.float32
        np.testing.assert_array_equal(got, np.divide(view, np.float32(255), dtype=np.float32))


# ---------------------------------------------------------------- errors


class OnGpu:
    """Stands for a GPU scalar: only the interface that marks device memory."""

    __cuda_array_interface__ = {}

    def __float__(self):
        return 1.0

    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "call,exc",
    [
        (lambda img: rk.resize(img, (10, 10), interpolation=7), ValueError),
        (lambda img: rk.resize(img, (0, 10)), ValueError),
        (lambda img: rk.resize(img, 10), TypeError),
        (lambda img: rk.resize(img.astype(np.float64), (5, 5)), TypeError),
        (lambda img: rk.resize(img[None], (5, 5)), ValueError),
        (lambda img: rk.resize(img[:0], (5, 5)), ValueError),
        (lambda img: rk.affine_transform(img, np.eye(3), (5, 5)), ValueError),
        (lambda img: rk.affine_transform(img, [[1, 0, 0], [0, np.nan, 0]], (5, 5)), ValueError),
        (lambda img: rk.affine_transform(img, np.zeros((2, 3)), (5, 5)), ValueError),
        (lambda img: rk.get_inverse_matrix([[1, 2, 0], [2, 4, 0]]), ValueError),
        (lambda img: rk.GaussianBlur().get(img, -1, 1.0), ValueError),
        (lambda img: rk.GaussianBlur().get(img, 3, float("nan")), ValueError),
        (lambda img: rk.GaussianBlur().get(img, 0, 1e308), ValueError),  # derived ksize overflows
        (lambda img: rk.images_to_batch([], size=4), ValueError),
        (lambda img: rk.images_to_batch(img, layout="NHWC"), ValueError),
        (lambda img: rk.images_to_batch([img, img[:5]]), ValueError),
        (lambda img: rk.images_to_batch(img, std=0.0), ValueError),
        (lambda img: rk.images_to_batch(img, mean=(1.0, 2.0)), ValueError),
        # The kernels compute in float32: these would become inf or 0 there.
        (lambda img: rk.images_to_batch(img, std=1e-300), ValueError),
        (lambda img: rk.images_to_batch(img, std=1e300), ValueError),
        (lambda img: rk.images_to_batch(img, mean=(0.0, 1e39, 0.0)), ValueError),
        (lambda img: rk.batch_to_images(img[None], std=1e300), ValueError),
        (lambda img: rk.batch_to_images(img[None], mean=-1e39), ValueError),
        (lambda img: rk.batch_to_images(img, layout="HWC"), ValueError),
        (lambda img: rk.batch_to_images(img), ValueError),
        # Numbers held on a GPU would need a wait for the GPU to read.
        (lambda img: rk.images_to_batch(img, mean=OnGpu()), TypeError),
        (lambda img: rk.batch_to_images(img[None], std=OnGpu()), TypeError),
        (lambda img: rk.GaussianBlur().get(img, OnGpu(), 1.0), TypeError),
        (lambda img: rk.GaussianBlur().get(img, 3, OnGpu()), TypeError),
        (lambda img: rk.resize(img, (OnGpu(), 5)), TypeError),
    ],
)
def test_bad_arguments_raise(call, exc):
    with pytest.raises(exc):
        call(np.zeros((8, 9, 3), np.float32))


@pytest.mark.parametrize(
    "second",
    [lambda img: img[:, :, :2], lambda img: img[:, :, 0], lambda img: np.dstack([img, img[:, :, :1]])],
    ids=["fewer", "gray", "more"],
)
def test_images_to_batch_refuses_mixed_channel_counts(second):
    img = np.zeros((8, 9, 3), np.float32)
    with pytest.raises(ValueError, match=r"images\[1\] has \d channels, images\[0\] has 3"):
        rk.images_to_batch([img, second(img)], size=4)
