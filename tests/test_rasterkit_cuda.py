"""rasterkit's CUDA path: the kernel source compiles for the GPUs we ship for, and on a
GPU every operation gives the CPU's numbers on the same inputs."""

import shutil
import subprocess

import numpy as np
import pytest

import rasterkit as rk
from rasterkit import _kernels


@pytest.mark.skipif(shutil.which("nvcc") is None, reason="needs nvcc")
@pytest.mark.parametrize("arch", ["sm_80", "sm_90"])
def test_kernels_compile_with_nvcc(tmp_path, arch):
    # Exactly the text and options NVRTC gets at run time, in a folder of its own so
    # that nothing but the pasted source can be included.
    source = tmp_path / "rasterkit_kernels.cu"
    source.write_text(_kernels.source())
    result = subprocess.run(
        ["nvcc", *_kernels.OPTIONS, f"-arch={arch}", "-Werror", "all-warnings", "-c", str(source),
         "-o", str(tmp_path / "kernels.o")],
        capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stderr


# ---------------------------------------------------------------- on a GPU


@pytest.fixture
def cp():
    import cupy

    return cupy


def images(rng, cp):
    """(host, GPU) pairs of both types, 2-D and 3-D, contiguous and strided (negative
    steps too). The GPU views are sliced after the upload, so the kernels read them
    strided, as they would a caller's views."""
    f = rng.random((70, 90, 3)).astype(np.float32)
    u8 = (rng.random((61, 47, 4)) * 255).astype(np.uint8)
    gray = rng.random((33, 50)).astype(np.float32)
    pairs = [(a, cp.asarray(a)) for a in (f, u8, gray)]
    for view in (lambda a: a[::-1, ::-2], lambda a: a[:, :, ::-1], lambda a: a[5:, 3:40:3, 1:]):
        pairs += [(view(a), view(d)) for a, d in pairs[:2]]
    return pairs


def same(gpu_result, cpu_result, cp):
    assert isinstance(gpu_result, cp.ndarray)
    got = cp.asnumpy(gpu_result)
    assert got.shape == cpu_result.shape and got.dtype == cpu_result.dtype
    atol = 1 if got.dtype == np.uint8 else 1e-5  # uint8: float rounding may flip a .5
    np.testing.assert_allclose(got.astype(np.float64), cpu_result.astype(np.float64), atol=atol)


@pytest.mark.gpu
@pytest.mark.parametrize("interp", [rk.INTER_NEAREST, rk.INTER_LINEAR, rk.INTER_CUBIC, rk.INTER_AREA, rk.INTER_AUTO])
@pytest.mark.parametrize("dsize", [(31, 20), (128, 100), (40, 90)])
def test_gpu_resize_matches_cpu(cp, interp, dsize):
    for img, d_img in images(np.random.default_rng(0), cp):
        same(rk.resize(d_img, dsize, interpolation=interp), rk.resize(img, dsize, interpolation=interp), cp)


@pytest.mark.gpu
def test_gpu_affine_matches_cpu(cp):
    M = np.array([[0.9, 0.2, 5.3], [-0.15, 1.1, -3.7]])
    for img, d_img in images(np.random.default_rng(1), cp):
        expected = rk.affine_transform(img, M, (64, 80))
        same(rk.affine_transform(d_img, M, (64, 80)), expected, cp)
        # A matrix already on the GPU is inverted there, with no host round trip.
        same(rk.affine_transform(d_img, cp.asarray(M), (64, 80)), expected, cp)
    singular = cp.zeros((2, 3))
    assert not rk.affine_transform(cp.ones((8, 8, 3), cp.float32), singular, (4, 4)).any()
    np.testing.assert_allclose(cp.asnumpy(rk.get_inverse_matrix(cp.asarray(M))), rk.get_inverse_matrix(M))


@pytest.mark.gpu
@pytest.mark.parametrize("ksize,sigma", [(5, 0.0), (0, 2.0), (37, 36.0), (4, 1.5)])
def test_gpu_blur_matches_cpu(cp, ksize, sigma):
    blur = rk.GaussianBlur()
    for img, d_img in images(np.random.default_rng(2), cp):
        same(blur.get(d_img, ksize, sigma), blur.get(img, ksize, sigma), cp)


@pytest.mark.gpu
def test_gpu_paste_blend_matches_cpu(cp):
    rng = np.random.default_rng(8)
    frame = rng.random((60, 80, 3)).astype(np.float32)
    crop = rng.random((30, 40, 3)).astype(np.float32)
    M = np.array([[1.3, 0.2, 5.3], [-0.15, 1.4, -3.7]])
    for mask in (rng.random((30, 40, 3)), rng.random((30, 40))):
        mask = mask.astype(np.float32)
        expected = rk.paste_blend(frame, crop, mask, M)
        d_frame, d_crop, d_mask = cp.asarray(frame)[:, ::-1], cp.asarray(crop)[::-1], cp.asarray(mask)
        expected_view = rk.paste_blend(frame[:, ::-1], crop[::-1], mask, M)
        same(rk.paste_blend(cp.asarray(frame), cp.asarray(crop), d_mask, M), expected, cp)
        same(rk.paste_blend(d_frame, d_crop, d_mask, cp.asarray(M)), expected_view, cp)
    # A singular GPU matrix cannot be checked without a host round trip: the frame stays.
    same(rk.paste_blend(cp.asarray(frame), cp.asarray(crop), cp.asarray(mask), cp.zeros((2, 3))), frame, cp)


@pytest.mark.gpu
@pytest.mark.parametrize("pads,sigma", [((20, 15, 30, 10), 3.0), ((0, 0, 25, 0), 1.5), ((5, 5, 5, 5), 0.0)])
def test_gpu_reflect_pad_fade_matches_cpu(cp, pads, sigma):
    for img, d_img in images(np.random.default_rng(8), cp):
        if img.dtype == np.float32:
            same(rk.reflect_pad_fade(d_img, pads, sigma), rk.reflect_pad_fade(img, pads, sigma), cp)


@pytest.mark.gpu
@pytest.mark.parametrize("sigma", [(2.0, 3.5, 0.0), 1.5, (1.0, 0.7, 1.2), (10.0, 25.0, 0.0), 1e-16])
def test_gpu_gaussian_filter_matches_cpu(cp, sigma):
    for img, d_img in images(np.random.default_rng(6), cp):
        if img.dtype == np.float32:
            sig = sigma if np.isscalar(sigma) else sigma[: img.ndim]
            same(rk.gaussian_filter(d_img, sig), rk.gaussian_filter(img, sig), cp)


@pytest.mark.gpu
@pytest.mark.parametrize("size", [None, 64, (48, 40)])
def test_gpu_batches_match_cpu(cp, size):
    rng = np.random.default_rng(3)
    f = rng.random((64, 64, 3)).astype(np.float32)
    u8 = (rng.random((64, 64, 3)) * 255).astype(np.uint8)
    host = [f, u8[::-1]]
    mean, std = (0.485, 0.456, 0.406), (0.229, 0.224, 0.225)
    expected = rk.images_to_batch(host, std=std, size=size, mean=mean)
    batch = rk.images_to_batch([cp.asarray(f), cp.asarray(u8)[::-1]], std=std, size=size, mean=mean)
    same(batch, expected, cp)
    back = rk.batch_to_images(batch, std=std, mean=mean)
    assert isinstance(back, list) and len(back) == 2
    for g, c in zip(back, rk.batch_to_images(expected, std=std, mean=mean)):
        assert g.flags.c_contiguous
        same(g, c, cp)
    five = rng.random((2, 5, 6, 7)).astype(np.float32)  # more channels than one launch takes
    for g, c in zip(rk.batch_to_images(cp.asarray(five)), rk.batch_to_images(five)):
        same(g, c, cp)
    spaced = rng.random((4, 3, 8, 9)).astype(np.float32)  # every other image: the batch stride is two images
    for g, c in zip(rk.batch_to_images(cp.asarray(spaced)[::2]), rk.batch_to_images(spaced[::2])):
        same(g, c, cp)
    with pytest.raises(ValueError, match="channels"):  # checked before any kernel reads them
        rk.images_to_batch([cp.asarray(f), cp.asarray(u8)[:, :, :2]], size=size)



M_TEST = np.array([[0.9, 0.2, 5.3], [-0.15, 1.1, -3.7]])


@pytest.mark.gpu
@pytest.mark.parametrize("offset,pad", [(0, 2), (1, 0), (3, 6)], ids=["odd-strides", "misaligned", "both"])
def test_gpu_reads_views_that_are_not_element_aligned(cp, offset, pad):
    # Float pixels `offset` bytes into a buffer, rows `pad` bytes apart: the package
    # must copy them before any kernel indexes them in elements.
    h, w, c = 20, 30, 3
    strides = (w * c * 4 + pad, c * 4, 4)
    buf = np.zeros(offset + h * strides[0], np.uint8)
    host = np.ndarray((h, w, c), np.float32, buffer=buf, offset=offset, strides=strides)
    host[...] = np.random.default_rng(4).random((h, w, c))
    d_buf = cp.asarray(buf)
    d_img = cp.ndarray((h, w, c), cp.float32, memptr=d_buf.data + offset, strides=strides)
    same(rk.resize(d_img, (17, 11)), rk.resize(host, (17, 11)), cp)
    same(rk.affine_transform(d_img, M_TEST, (25, 35)), rk.affine_transform(host, M_TEST, (25, 35)), cp)
    same(rk.GaussianBlur().get(d_img, 5, 0.0), rk.GaussianBlur().get(host, 5, 0.0), cp)
    same(rk.gaussian_filter(d_img, (1.5, 2.0, 0.0)), rk.gaussian_filter(host, (1.5, 2.0, 0.0)), cp)
    same(rk.paste_blend(d_img, d_img[:9, :7], d_img[:9, :7, 0], M_TEST),
         rk.paste_blend(host, host[:9, :7], host[:9, :7, 0], M_TEST), cp)
    same(rk.images_to_batch(d_img), rk.images_to_batch(host), cp)
    d_batch = d_img[None].transpose(0, 3, 1, 2)
    for got, expected in zip(rk.batch_to_images(d_batch), rk.batch_to_images(host[None].transpose(0, 3, 1, 2))):
        same(got, expected, cp)


@pytest.mark.gpu
def test_gpu_work_stays_on_the_input_device(cp):
    if cp.cuda.runtime.getDeviceCount() < 2:
        pytest.skip("needs two GPUs")
    host = np.random.default_rng(5).random((30, 40, 3)).astype(np.float32)
    with cp.cuda.Device(1):
        d_img, d_M, d_u8 = cp.asarray(host), cp.asarray(M_TEST), cp.asarray((host * 255).astype(np.uint8))
    assert cp.cuda.Device().id == 0
    same(rk.affine_transform(d_img, M_TEST, (25, 35)), rk.affine_transform(host, M_TEST, (25, 35)), cp)
    results = [rk.resize(d_img, (20, 10)), rk.resize(d_img, (40, 30)), rk.GaussianBlur().get(d_img, 5, 1.0),
               rk.affine_transform(d_img, d_M, (25, 35)), rk.get_inverse_matrix(d_M), rk.images_to_batch(d_img),
               rk.to_float32(d_u8), *rk.batch_to_images(d_img[None], layout="NHWC")]
    assert [r.device.id for r in results] == [1] * len(results)
    assert cp.cuda.Device().id == 0
    with pytest.raises(ValueError, match="GPU"):
        rk.images_to_batch([d_img, cp.asarray(host)])
    with pytest.raises(ValueError, match="GPU"):
        rk.affine_transform(cp.asarray(host), d_M, (25, 35))


@pytest.mark.gpu
def test_gpu_conversions(cp):
    u8 = cp.arange(256, dtype=cp.uint8).reshape(16, 16)
    np.testing.assert_allclose(cp.asnumpy(rk.to_float32(u8)), rk.to_float32(cp.asnumpy(u8)))
    f = cp.zeros((2, 2), cp.float32)
    assert rk.to_float32(f) is f
    assert isinstance(rk.to_numpy(f), np.ndarray)
