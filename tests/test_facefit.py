import math
import pathlib
import runpy
import sys
import types

import numpy as np
import pytest

from kestrel import facefit

BENCH = pathlib.Path(__file__).resolve().parents[1] / "bench" / "align_paste.py"


def load_bench():
    """The bench's plain recipe, to compare with; it imports its folder's helpers."""
    sys.path.insert(0, str(BENCH.parent))
    try:
        return types.SimpleNamespace(**runpy.run_path(str(BENCH)))
    finally:
        sys.path.remove(str(BENCH.parent))


bench = load_bench()


@pytest.fixture(params=["numpy", pytest.param("cupy", marks=pytest.mark.gpu)])
def xp(request):
    return pytest.importorskip(request.param)


def host(a):
    return a.get() if hasattr(a, "__cuda_array_interface__") else np.asarray(a)


def upright_face(cx, ey, d, e):
    """Eyes d apart at height ey, mouth corners e below them."""
    return np.array([[cx - d / 2, ey], [cx + d / 2, ey], [cx, ey + e / 2],
                     [cx - 0.4 * d, ey + e], [cx + 0.4 * d, ey + e]])


def expected_position(point, cx, ey, d, e, out, transform):
    """Where an upright face's quad (half side max(2d, 1.8e), centred a tenth of the
    eye-to-mouth distance below the eyes) puts a frame point in the output."""
    s = max(2 * d, 1.8 * e)
    corner = np.array([cx - s, ey + 0.1 * e - s])
    u = (np.asarray(point) - corner) / (2 * s) * transform
    if out >= transform:
        return u
    k = transform / out
    return (u + 0.5) / k - 0.5  # area averaging of k x k blocks


def rotate(points, angle, centre):
    c, s = math.cos(angle), math.sin(angle)
    p = np.asarray(points, dtype=np.float64) - centre
    return p @ np.array([[c, s], [-s, c]]) + centre


def blob_frame(h, w, blobs, sigma=2.5):
    """Grey frame with one Gaussian blob per channel, brighter in that channel only."""
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    frame = np.full((h, w, 3), 0.4, dtype=np.float32)
    for c, (bx, by) in enumerate(blobs):
        frame[..., c] += 0.5 * np.exp(-((xx - bx) ** 2 + (yy - by) ** 2) / (2 * sigma**2))
    return frame


def centroid(img, channel, near, radius=6):
    x0, y0 = (int(round(v)) for v in near)
    win = img[y0 - radius:y0 + radius + 1, x0 - radius:x0 + radius + 1, channel] - 0.4
    win = np.clip(win - 0.02, 0, None)
    yy, xx = np.mgrid[y0 - radius:y0 + radius + 1, x0 - radius:x0 + radius + 1]
    return np.array([(xx * win).sum() / win.sum(), (yy * win).sum() / win.sum()])


# frame (h, w), face (cx, ey, d, e), output_size, transform_size
GEOMETRY = {
    "centre": ((300, 400), (200, 120, 40, 44), 64, 256),
    "pre-shrink": ((900, 1000), (500, 380, 160, 170), 64, 256),  # quad 640 >= 4 * 64
    "left edge, padded": ((300, 400), (60, 120, 40, 44), 64, 256),  # quad leaves the frame
    "cropped in x only": ((170, 600), (300, 70, 40, 44), 64, 256),
    "output >= transform": ((300, 400), (200, 120, 40, 44), 256, 128),
}

# Cases whose exact values only the recipe comparison checks.
RECIPE_CASES = {
    **GEOMETRY,
    # pad widths (left, top, right, bottom) = (56, 52, 48, 48): a swapped side shows
    "corner, uneven padding": ((300, 400), (40, 40, 40, 44), 64, 256),
    # shrink 2 of a 403 x 301 frame: rsize (202, 150) by rounding halves to even
    "pre-shrink, odd frame": ((301, 403), (200, 150, 70, 70), 64, 256),
}

# float32 landmarks whose quad's left edge lies just below x = 4 with the recipe's float64
# quad (left pad width 13 > border - 4 = 12: padding runs) but at 4 in float32 arithmetic.
FLOAT32_NEAR_EDGE = np.array([[62.683570861816406, 119.32584381103516], [101.50090026855469, 119.09461975097656],
                              [82.2207260131836, 140.7811737060547], [66.8222885131836, 162.44461059570312],
                              [97.87615203857422, 162.25962829589844]], dtype=np.float32)


def skewed_frame(h, w, kind):
    """Squared noise (median well below mean): uint8, or float32 reaching up to 2."""
    noise = np.random.default_rng(3).random((h, w, 3)) ** 2
    return (noise * 255).astype(np.uint8) if kind == "uint8" else (noise * 2).astype(np.float32)


@pytest.mark.parametrize("angle", [0.0, 0.5, -1.3, math.pi])
@pytest.mark.parametrize("case", GEOMETRY)
def test_marked_points_land_where_the_quad_sends_them(xp, case, angle):
    (h, w), (cx, ey, d, e), out, transform = GEOMETRY[case]
    lm = upright_face(cx, ey, d, e)
    marks = [lm[0], lm[1], (lm[3] + lm[4]) / 2]  # left eye, right eye, mouth centre
    centre = np.array([cx, ey + e / 2])
    frame = blob_frame(h, w, rotate(marks, angle, centre))
    result = host(facefit.align_face_ffhq(xp.asarray(frame), xp.asarray(rotate(lm, angle, centre)), out, transform))
    side = min(out, transform)
    assert result.shape == (side, side, 3) and result.dtype == np.float32
    for channel, mark in enumerate(marks):
        want = expected_position(mark, cx, ey, d, e, out, transform)
        np.testing.assert_allclose(centroid(result, channel, want), want, atol=0.4)


@pytest.mark.parametrize("case", RECIPE_CASES)
@pytest.mark.parametrize("padding", [True, False])
@pytest.mark.parametrize("kind", ["uint8", "float32"])
def test_matches_the_plain_recipe(xp, case, padding, kind):
    (h, w), (cx, ey, d, e), out, transform = RECIPE_CASES[case]
    frame = skewed_frame(h, w, kind)
    lm = upright_face(cx, ey, d, e)
    ours = host(facefit.align_face_ffhq(xp.asarray(frame), xp.asarray(lm), out, transform, padding))
    plain = bench.plain_align_face_ffhq(frame, lm, out, transform, padding)
    np.testing.assert_allclose(ours, plain, atol=1e-4)


def recorded(monkeypatch, owner, name, matrices):
    """Wraps owner.name(image, M, ...) so that each M it is given is kept."""
    real = getattr(owner, name)

    def record(image, M, *args, **kwargs):
        matrices.append(np.array(M))
        return real(image, M, *args, **kwargs)

    monkeypatch.setattr(owner, name, record)


@pytest.mark.parametrize("case", RECIPE_CASES)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_warp_matrix_is_the_recipes_to_float64_rounding(monkeypatch, case, dtype):
    # A tilted face: its corners are not float32 numbers, so a rounding to float32 that
    # the compiler drops (GCC 12.2 vectorising at -O2) shows as an error near 1e-8.
    import cv2

    (h, w), (cx, ey, d, e), out, transform = RECIPE_CASES[case]
    lm = rotate(upright_face(cx, ey, d, e), 0.3, np.array([cx, ey + e / 2])).astype(dtype)
    frame = skewed_frame(h, w, "float32")
    ours, plain = [], []
    recorded(monkeypatch, facefit.rk, "affine_transform", ours)
    recorded(monkeypatch, cv2, "warpAffine", plain)
    facefit.align_face_ffhq(frame, lm, out, transform)
    bench.plain_align_face_ffhq(frame, lm, out, transform)
    np.testing.assert_allclose(ours[0], plain[0], rtol=0, atol=1e-13 * np.abs(plain[0]).max())


@pytest.mark.parametrize(
    "landmarks, runs",
    [
        (upright_face(86.5, 120, 40, 44), False),  # left pad width 10, border 16
        (upright_face(84.5, 120, 40, 44), False),  # 12 = border - 4
        (upright_face(83.5, 120, 40, 44), True),  # 13
        (FLOAT32_NEAR_EDGE, True),
    ],
)
def test_padding_runs_only_when_a_width_exceeds_border_minus_four(xp, landmarks, runs):
    frame = skewed_frame(300, 400, "float32")
    padded, bare = (host(facefit.align_face_ffhq(xp.asarray(frame), xp.asarray(landmarks), 64, 256, padding))
                    for padding in (True, False))
    assert np.array_equal(padded, bare) is not runs
    np.testing.assert_allclose(padded, bench.plain_align_face_ffhq(frame, landmarks, 64, 256), atol=1e-4)


@pytest.mark.parametrize("padding", [True, False])
def test_float32_frame_is_clipped_only_when_padding_runs(xp, padding):
    (h, w), face, out, transform = GEOMETRY["left edge, padded"]
    frame = xp.asarray(blob_frame(h, w, []) * 3)  # 1.2 everywhere
    result = host(facefit.align_face_ffhq(frame, xp.asarray(upright_face(*face)), out, transform, padding))
    assert result.max() == pytest.approx(1.0 if padding else 1.2, abs=1e-5)


def test_padding_fills_the_margin_that_the_frame_lacks(xp):
    (h, w), (cx, ey, d, e), out, transform = GEOMETRY["left edge, padded"]
    frame = xp.asarray(blob_frame(h, w, []) + 0.2)  # 0.6 everywhere
    lm = xp.asarray(upright_face(cx, ey, d, e))
    padded = host(facefit.align_face_ffhq(frame, lm, out, transform, True))
    bare = host(facefit.align_face_ffhq(frame, lm, out, transform, False))
    assert padded.min() > 0.5  # no black margin anywhere
    assert np.all(bare[:, :4] == 0)  # the quad's left part lies outside the frame
    assert np.allclose(bare[:, -8:], 0.6, atol=1e-5)


@pytest.mark.parametrize("padding", [True, False])
def test_uint8_frame_equals_its_float_version_and_inputs_stay_untouched(xp, padding):
    (h, w), (cx, ey, d, e), out, transform = GEOMETRY["left edge, padded"]
    frame8 = np.random.default_rng(5).integers(0, 256, (h, w, 3), dtype=np.uint8)
    frame32 = frame8.astype(np.float32) / np.float32(255)
    lm = upright_face(cx, ey, d, e).astype(np.float32)
    inputs = [xp.asarray(frame8), xp.asarray(frame32), xp.asarray(lm)]
    before = [host(a).copy() for a in inputs]
    a = facefit.align_face_ffhq(inputs[0], inputs[2], out, transform, padding)
    b = facefit.align_face_ffhq(inputs[1], inputs[2], out, transform, padding)
    assert type(a) is type(inputs[0])
    np.testing.assert_allclose(host(a), host(b), atol=1e-6)
    for arr, old in zip(inputs, before):
        np.testing.assert_array_equal(host(arr), old)


# Quad side about 1.2 pixels: every padding width is 0 before the least width (also 0) is
# applied; at the frame edge only the left one becomes positive.
@pytest.mark.parametrize("cx", [10, 0.5])
def test_tiny_face_with_zero_padding_widths_stays_finite(cx):
    frame = np.random.default_rng(0).random((20, 20, 3), dtype=np.float32)
    result = facefit.align_face_ffhq(frame, upright_face(cx, 10, 0.3, 0.3), 8, 32)
    assert result.shape == (8, 8, 3) and np.all(np.isfinite(result))


@pytest.mark.parametrize("padding", [True, False])
@pytest.mark.parametrize("face", [(-500, 100), (1500, 100), (200, -400), (200, 900)])
def test_face_wholly_outside_the_frame(xp, face, padding):
    frame = xp.asarray(blob_frame(300, 400, []))
    lm = xp.asarray(upright_face(*face, 40, 44))
    with pytest.raises(ValueError, match="^the face lies wholly outside the frame: there is nothing to align$"):
        facefit.align_face_ffhq(frame, lm, 64, 256, padding)


# Each image is refused for its own fault before the landmarks' geometry (coincident
# points: NaN) or their place (outside the frame) is looked at.
@pytest.mark.parametrize(
    "img, message",
    [
        ("frame.png", "img must be a NumPy or CuPy array, got str"),
        (blob_frame(30, 30, []).tolist(), "img must be a NumPy or CuPy array, got list"),
        (np.full((30, 30, 3), "a"), "img must be a bool, uint8, uint16 or float array, got <U1"),
        (np.zeros((30, 30, 3), np.int32), "img must be a bool, uint8, uint16 or float array, got int32"),
        (np.zeros((30, 30, 3), np.uint32), "img must be a bool, uint8, uint16 or float array, got uint32"),
    ],
)
@pytest.mark.parametrize("landmarks", [np.zeros((5, 2)), upright_face(-500, 100, 40, 44)])
def test_image_type_is_checked_before_the_geometry(img, message, landmarks):
    with pytest.raises(TypeError) as info:
        facefit.align_face_ffhq(img, landmarks, 64, 256)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "landmarks, output_size, error, message",
    [
        (np.zeros((5, 2)), 64, ValueError, "cannot convert float NaN to integer"),  # coincident points
        (upright_face(np.inf, 120, 40, 44), 64, ValueError, "cannot convert float NaN to integer"),
        (upright_face(200, 120, 40, 44), 0, OverflowError, "cannot convert float infinity to integer"),
        (upright_face(200, 120, 40, 44)[:4], 64, IndexError, "face_landmarks needs at least 5 rows, got 4"),
        (np.zeros((5, 3)), 64, ValueError, "face_landmarks must be an array of (x, y) rows"),
    ],
)
def test_unusable_geometry_raises(landmarks, output_size, error, message):
    with pytest.raises(error) as info:
        facefit.align_face_ffhq(blob_frame(300, 400, []), landmarks, output_size, 256)
    assert str(info.value) == message


class IntSub(int):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"output_size": 256.0}, "Argument 'output_size' has incorrect type (expected int, got float)"),
        ({"output_size": True}, "Argument 'output_size' has incorrect type (expected int, got bool)"),
        ({"transform_size": None}, "Argument 'transform_size' has incorrect type (expected int, got NoneType)"),
        ({"transform_size": IntSub(8)}, "Argument 'transform_size' has incorrect type (expected int, got IntSub)"),
        ({"size": 3}, "align_face_ffhq() got an unexpected keyword argument 'size'"),
        ({"img": 3}, "align_face_ffhq() got multiple values for keyword argument 'img'"),
    ],
)
def test_argument_errors(kwargs, message):
    frame, lm = blob_frame(30, 30, []), upright_face(15, 12, 4, 4)
    with pytest.raises(TypeError) as info:
        facefit.align_face_ffhq(frame, lm, **kwargs)
    assert str(info.value) == message


def test_argument_counts():
    frame, lm = blob_frame(30, 30, []), upright_face(15, 12, 4, 4)
    with pytest.raises(TypeError, match=r"^align_face_ffhq\(\) takes at least 2 positional arguments \(1 given\)$"):
        facefit.align_face_ffhq(frame)
    with pytest.raises(TypeError, match=r"^align_face_ffhq\(\) takes at most 5 positional arguments \(6 given\)$"):
        facefit.align_face_ffhq(frame, lm, 8, 32, True, 0)


@pytest.mark.gpu
@pytest.mark.parametrize("padding", [True, False])
def test_alignment_works_on_the_frame_device(padding):
    cp = pytest.importorskip("cupy")
    if cp.cuda.runtime.getDeviceCount() < 2:
        pytest.skip("needs two GPUs")
    (h, w), face, out, transform = GEOMETRY["left edge, padded"]
    frame, lm = skewed_frame(h, w, "uint8"), upright_face(*face)
    with cp.cuda.Device(1):
        d_frame = cp.asarray(frame)
    got = facefit.align_face_ffhq(d_frame, cp.asarray(lm), out, transform, padding)  # landmarks on GPU 0
    assert got.device.id == 1 and cp.cuda.Device().id == 0
    np.testing.assert_allclose(host(got), facefit.align_face_ffhq(frame, lm, out, transform, padding), atol=1e-6)
