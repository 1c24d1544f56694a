import math

import numpy as np
import pytest
import rasterkit as rk

from kestrel import paste


@pytest.fixture(params=["numpy", pytest.param("cupy", marks=pytest.mark.gpu)])
def xp(request):
    return pytest.importorskip(request.param)


def host(a):
    return a.get() if hasattr(a, "__cuda_array_interface__") else np.asarray(a)


def smooth_frame(h=240, w=320, seed=0):
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    phase = np.random.default_rng(seed).random(3) * 6
    return np.stack([0.5 + 0.4 * np.sin(xx / 23 + p) * np.cos(yy / 17 - p) for p in phase], axis=-1).astype(np.float32)


def cut_matrix(cx, cy, scale, angle, size):
    """Frame -> crop: the crop's centre shows frame point (cx, cy), turned and scaled."""
    c, s = math.cos(angle) * scale, math.sin(angle) * scale
    return np.array([[c, s, size / 2 - c * cx - s * cy], [-s, c, size / 2 + s * cx - c * cy]])


MATRICES = {
    "inside": cut_matrix(160, 120, 1.5, 0.3, 96),
    "partly off the frame": cut_matrix(10, 230, 1.2, -0.7, 96),
    "off the frame": cut_matrix(-400, 120, 1.0, 0.0, 96),
    "whole frame": cut_matrix(160, 120, 0.25, 0.1, 96),
}


def full_frame_blend(frame, crop, M, mask):
    """The blend computed over the whole frame with the image library's own warps."""
    h, w = crop.shape[:2]
    mask = rk.resize(mask, (w, h), interpolation=rk.INTER_AUTO)
    IM = rk.get_inverse_matrix(M)
    warped = rk.affine_transform(crop, IM, frame.shape[:2])
    warped_mask = rk.affine_transform(mask, IM, frame.shape[:2])
    return warped_mask * warped + (1 - warped_mask) * frame


@pytest.mark.parametrize("case", MATRICES)
@pytest.mark.parametrize("mask_size", [None, (96, 96), (40, 64)])
def test_paste_back_equals_the_full_frame_blend(xp, case, mask_size):
    frame = smooth_frame()
    crop = np.random.default_rng(1).random((96, 96, 3), dtype=np.float32)
    mask = None if mask_size is None else np.random.default_rng(2).random(mask_size + (3,), dtype=np.float32)
    want = full_frame_blend(frame, crop, MATRICES[case], np.ones((96, 96, 3), np.float32) if mask is None else mask)
    got = paste.paste_back(xp.asarray(frame), xp.asarray(crop), MATRICES[case],
                           None if mask is None else xp.asarray(mask))
    assert type(got) is type(xp.asarray(frame)) and got.dtype == np.float32
    np.testing.assert_allclose(host(got), want, atol=1e-5)


def test_round_trip_reproduces_the_frame_inside_and_leaves_it_untouched_outside(xp):
    frame = smooth_frame()
    M = MATRICES["inside"]
    crop = rk.affine_transform(frame, M, (96, 96))
    hard = host(paste.paste_back(xp.asarray(frame), xp.asarray(crop), M))
    # Where the crop's warped footprint is whole, the frame comes back; beyond it, bit for bit.
    footprint = rk.affine_transform(np.ones((96, 96), np.float32), rk.get_inverse_matrix(M), frame.shape[:2])
    inside, outside = footprint > 0.999, footprint == 0
    assert inside.sum() > 1000 and outside.sum() > 1000
    np.testing.assert_allclose(hard[inside], frame[inside], atol=5e-3)
    np.testing.assert_array_equal(hard[outside], frame[outside])

    # A processed crop shows through the feathered mask in the middle, not at the rim.
    result = host(paste.PasteBack().get(xp.asarray(frame), xp.asarray(1 - crop), M))
    middle = rk.affine_transform(np.pad(np.ones((16, 16), np.float32), 40), rk.get_inverse_matrix(M),
                                 frame.shape[:2]) > 0.999
    np.testing.assert_allclose(result[middle], 1 - frame[middle], atol=5e-3)
    np.testing.assert_array_equal(result[outside], frame[outside])


class Recorder:
    """Stands in for the blur: records its arguments and returns the plate unblurred."""

    def get(self, plate, ksize, sigma):
        self.args = (ksize, sigma)
        return plate


# (24, 20) at 2.0: n // d * blursize gives bands 8 and 4 and a blur of (4, 4.0), where
# n * blursize // d would give 9 and 5.
@pytest.mark.parametrize(
    "size, blursize, bands",
    [((256, 256), 1.0, (51, 36)), ((50, 70), 0.5, (5, 5)), ((4, 6), 1.0, (0, 0)), ((20, 30), 2, (8, 8)),
     ((24, 20), 2.0, (8, 4))],
)
def test_create_mask_bands_and_blur_arguments(size, blursize, bands):
    pb = paste.PasteBack(blursize)
    pb.gaussian_blur = Recorder()
    plate = host(pb.create_mask(size))
    ph, pv = bands
    assert plate.shape == size + (3,) and plate.dtype == np.float32
    assert pb.gaussian_blur.args == (pv, float(pv)) and type(pb.gaussian_blur.args[0]) is int
    want = np.zeros(size, np.float32)
    want[ph:size[0] - ph, pv:size[1] - pv] = 1
    np.testing.assert_array_equal(plate, np.repeat(want[..., None], 3, axis=2))


def test_mask_cached_per_crop_size(xp):
    class Counting(paste.PasteBack):
        built = 0

        def create_mask(self, size):
            Counting.built += 1
            return super().create_mask(size)

    pb = Counting()
    crop, M = xp.zeros((96, 96, 3), dtype=xp.float32), MATRICES["inside"]
    pb.get(xp.asarray(smooth_frame()), crop, M)
    first = pb.mask
    pb.get(xp.asarray(smooth_frame(100, 150)), crop, M)  # another frame size, same crop size
    assert (Counting.built, pb.size) == (1, (96, 96)) and pb.mask is first
    pb.get(xp.asarray(smooth_frame()), xp.zeros((64, 80, 3), dtype=xp.float32), M)
    assert (Counting.built, pb.size, pb.mask.shape) == (2, (64, 80), (64, 80, 3))


def test_failed_mask_build_is_retried_not_recorded():
    class Flaky(paste.PasteBack):
        fail = True

        def create_mask(self, size):
            if Flaky.fail:
                Flaky.fail = False
                raise MemoryError("no room for the mask")
            return super().create_mask(size)

    pb, frame, crop = Flaky(), smooth_frame(), np.zeros((96, 96, 3), np.float32)
    with pytest.raises(MemoryError):
        pb.get(frame, crop, MATRICES["inside"])
    assert pb.size is None and pb.mask is None
    pb.get(frame, crop, MATRICES["inside"])
    assert pb.size == (96, 96) and pb.mask.shape == (96, 96, 3) and pb.mask.max() > 0.9


def test_large_blursize_gives_zero_mask_and_unchanged_frame():
    frame8 = np.random.default_rng(4).integers(0, 256, (120, 160, 3), dtype=np.uint8)
    pb = paste.PasteBack(3.0)  # the row bands cover the whole crop height
    result = pb.get(frame8, np.ones((40, 40, 3), np.float32), cut_matrix(80, 60, 1.0, 0.0, 40))
    assert not pb.mask.any()
    np.testing.assert_array_equal(result, rk.to_float32(frame8))


def test_direct_uint8_blend_keeps_unscaled_values_in_float32():
    frame = np.full((60, 80, 3), 200, np.uint8)
    crop = np.full((20, 20, 3), 250, np.uint8)
    result = paste.paste_back(frame, crop, cut_matrix(40, 30, 1.0, 0.0, 20))
    assert result.dtype == np.float32 and result.max() == 250 and result.min() == 200


def test_get_uses_the_current_module_paste_back(monkeypatch):
    calls = []
    monkeypatch.setattr(paste, "paste_back", lambda *args: calls.append(args) or "merged")
    pb = paste.PasteBack()
    frame8 = np.zeros((30, 30, 3), np.uint8)
    assert pb.get(frame8, np.zeros((14, 14, 3), np.float32), MATRICES["inside"]) == "merged"
    target, _, M, mask = calls[0]
    assert target.dtype == np.float32 and M is MATRICES["inside"] and mask is pb.mask


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda pb: pb.create_mask([4, 4]), TypeError,
         "Argument 'size' has incorrect type (expected tuple, got list)"),
        (lambda pb: pb.get(1, 2), TypeError, "get() takes exactly 4 positional arguments (3 given)"),
        (lambda pb: pb.create_mask((4, 4), size=(4, 4)), TypeError,
         "create_mask() got multiple values for keyword argument 'size'"),
        (lambda pb: paste.paste_back(1, 2), TypeError, "paste_back() takes at least 3 positional arguments (2 given)"),
        (lambda pb: paste.PasteBack("1.0"), TypeError, "must be real number, not str"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call(paste.PasteBack())
    assert str(info.value) == message


def test_blursize_is_stored_as_float():
    pb = paste.PasteBack(2)
    assert type(pb.blursize) is float and pb.blursize == 2.0 and pb.size is None and pb.mask is None


@pytest.fixture
def gpu1():
    """CuPy with two GPUs: GPU 0 current, inputs made on GPU 1."""
    cp = pytest.importorskip("cupy")
    if cp.cuda.runtime.getDeviceCount() < 2:
        pytest.skip("needs two GPUs")
    return cp


@pytest.mark.gpu
@pytest.mark.parametrize("mask_on", [None, 0, 1])
def test_paste_back_works_on_the_frame_device(gpu1, mask_on):
    cp, M = gpu1, MATRICES["partly off the frame"]
    frame, crop = smooth_frame(), np.random.default_rng(1).random((96, 96, 3), dtype=np.float32)
    mask = None if mask_on is None else np.random.default_rng(2).random((40, 64, 3), dtype=np.float32)
    with cp.cuda.Device(1):
        d_frame, d_crop = cp.asarray(frame), cp.asarray(crop)
    d_mask = None
    if mask_on is not None:
        with cp.cuda.Device(mask_on):
            d_mask = cp.asarray(mask)
    got = paste.paste_back(d_frame, d_crop, M, d_mask)
    assert got.device.id == 1 and cp.cuda.Device().id == 0
    np.testing.assert_allclose(host(got), paste.paste_back(frame, crop, M, mask), atol=1e-6)


@pytest.mark.gpu
def test_paste_back_object_follows_each_frame_device(gpu1):
    cp, M, pb = gpu1, MATRICES["inside"], paste.PasteBack()
    frame, crop = smooth_frame(), np.random.default_rng(1).random((96, 96, 3), dtype=np.float32)
    want = paste.PasteBack().get(frame, crop, M)
    for device in (1, 0, 1):  # the cached mask serves frames on either GPU
        with cp.cuda.Device(device):
            d_frame, d_crop = cp.asarray(frame), cp.asarray(crop)
        got = pb.get(d_frame, d_crop, M)
        assert got.device.id == device and cp.cuda.Device().id == 0
        np.testing.assert_allclose(host(got), want, atol=1e-6)
