"""rasterkit's CUDA path: the kernel source compiles for the GPUs we ship for, and on a
GPU every operation gives the CPU's numbers on the same inputs."""

import pathlib
import shutil
import subprocess

import numpy as np
import pytest

import rasterkit as rk

PACKAGE = pathlib.Path(rk.__file__).parent


@pytest.mark.skipif(shutil.which("nvcc") is None, reason="needs nvcc")
@pytest.mark.parametrize("arch", ["sm_80", "sm_90"])
def test_kernels_compile_with_nvcc(tmp_path, arch):
    result = subprocess.run(
        ["nvcc", "-std=c++17", f"-arch={arch}", "-Werror", "all-warnings", f"-I{PACKAGE}", "-c",
         str(PACKAGE / "kernels.cu"), "-o", str(tmp_path / "kernels.o")],
        capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stderr


# ---------------------------------------------------------------- on a GPU


@pytest.fixture
def cp():
    import cupy

    return cupy


def images(rng):
    """Inputs of both types, 2-D and 3-D, contiguous and strided (negative steps too)."""
    f = rng.random((70, 90, 3)).astype(np.float32)
    u8 = (rng.random((61, 47, 4)) * 255).astype(np.uint8)
    gray = rng.random((33, 50)).astype(np.float32)
    return {"f32": f, "u8": u8, "gray": gray, "flipped": f[::-1, ::-2], "bgr-view": f[:, :, ::-1]}


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
    for img in images(np.random.default_rng(0)).values():
        same(rk.resize(cp.asarray(img), dsize, interpolation=interp), rk.resize(img, dsize, interpolation=interp), cp)


@pytest.mark.gpu
def test_gpu_affine_matches_cpu(cp):
    M = np.array([[0.9, 0.2, 5.3], [-0.15, 1.1, -3.7]])
    for img in images(np.random.default_rng(1)).values():
        expected = rk.affine_transform(img, M, (64, 80))
        same(rk.affine_transform(cp.asarray(img), M, (64, 80)), expected, cp)
        # A matrix already on the GPU is inverted there, with no host round trip.
        same(rk.affine_transform(cp.asarray(img), cp.asarray(M), (64, 80)), expected, cp)
    singular = cp.zeros((2, 3))
    assert not rk.affine_transform(cp.ones((8, 8, 3), cp.float32), singular, (4, 4)).any()
    np.testing.assert_allclose(cp.asnumpy(rk.get_inverse_matrix(cp.asarray(M))), rk.get_inverse_matrix(M))


@pytest.mark.gpu
@pytest.mark.parametrize("ksize,sigma", [(5, 0.0), (0, 2.0), (37, 36.0), (4, 1.5)])
def test_gpu_blur_matches_cpu(cp, ksize, sigma):
    for img in images(np.random.default_rng(2)).values():
        blur = rk.GaussianBlur()
        same(blur.get(cp.asarray(img), ksize, sigma), blur.get(img, ksize, sigma), cp)


@pytest.mark.gpu
@pytest.mark.parametrize("size", [None, 64, (48, 40)])
def test_gpu_batches_match_cpu(cp, size):
    rng = np.random.default_rng(3)
    host = [rng.random((64, 64, 3)).astype(np.float32), (rng.random((64, 64, 3)) * 255).astype(np.uint8)[::-1]]
    mean, std = (0.485, 0.456, 0.406), (0.229, 0.224, 0.225)
    expected = rk.images_to_batch(host, std=std, size=size, mean=mean)
    batch = rk.images_to_batch([cp.asarray(i) for i in host], std=std, size=size, mean=mean)
    same(batch, expected, cp)
    back = rk.batch_to_images(batch, std=std, mean=mean)
    assert isinstance(back, list) and len(back) == 2
    for g, c in zip(back, rk.batch_to_images(expected, std=std, mean=mean)):
        assert g.flags.c_contiguous
        same(g, c, cp)
    five = rng.random((2, 5, 6, 7)).astype(np.float32)  # more channels than one launch takes
    for g, c in zip(rk.batch_to_images(cp.asarray(five)), rk.batch_to_images(five)):
        same(g, c, cp)


@pytest.mark.gpu
def test_gpu_conversions(cp):
    u8 = cp.arange(256, dtype=cp.uint8).reshape(16, 16)
    np.testing.assert_allclose(cp.asnumpy(rk.to_float32(u8)), rk.to_float32(cp.asnumpy(u8)))
    f = cp.zeros((2, 2), cp.float32)
    assert rk.to_float32(f) is f
    assert isinstance(rk.to_numpy(f), np.ndarray)
