"""The CUDA backend of rasterkit: kernels.cu through CuPy's RawModule.

The same entry points as rasterkit._cpu, for CuPy arrays that the package has already
checked (element-aligned, all on the current device, which the package sets to the
input's). The module is compiled once per device and its kernels cached; every launch
goes to CuPy's current stream, outputs come from CuPy's memory pool, and nothing here
waits for the GPU.
"""

from __future__ import annotations

import functools

import cupy as cp
import numpy as np

from . import _kernels

_THREADS = 256
_MAX_BLOCKS = 1 << 20  # kernels loop over the rest


@functools.cache
def _module(device_id: int) -> cp.RawModule:
    # One per device, first used (and so loaded) there: a kernel runs only on the
    # device that loaded it.
    return cp.RawModule(code=_kernels.source(), options=_kernels.OPTIONS)


@functools.cache
def _kernel(device_id: int, name: str) -> cp.RawKernel:
    return _module(device_id).get_function(name)


def _launch(name: str, total: int, args: tuple, blocks: int | None = None, threads: int = _THREADS) -> None:
    kernel = _kernel(cp.cuda.Device().id, name)
    if blocks is None:
        blocks = max(1, min(-(-total // threads), _MAX_BLOCKS))
    kernel((blocks,), (threads,), args)  # on CuPy's current stream


def _suffix(array) -> str:
    return "u8" if array.dtype == np.uint8 else "f32"


def _i(v) -> np.int64:
    return np.int64(v)


def _hwc(image):
    """(h, w, c) and element strides (sy, sx, sc) of a 2-D or 3-D image."""
    item = image.itemsize
    h, w = image.shape[:2]
    c = image.shape[2] if image.ndim == 3 else 1
    sc = image.strides[2] // item if image.ndim == 3 else 1
    return (h, w, c), (image.strides[0] // item, image.strides[1] // item, sc)


def _scale(src: int, dst: int) -> np.float64:
    # The CPU's rounding of the scale, so nearest-neighbour picks agree.
    return np.float64(1.0 / (dst / src))


def _groups(sources, a, b):
    """Per-channel constants in launches of at most four channels."""
    channels = len(sources)
    for first in range(0, channels, 4):
        count = min(4, channels - first)
        pad = 4 - count
        s = list(sources[first : first + count]) + [0] * pad
        av = list(a[first : first + count]) + [0.0] * pad
        bv = list(b[first : first + count]) + [0.0] * pad
        yield (np.int32(first), np.int32(count), *(np.int32(v) for v in s), *(np.float32(v) for v in av),
               *(np.float32(v) for v in bv))


def _source_channel(c: int, channels: int, swap_rb: bool) -> int:
    return 2 - c if swap_rb and channels >= 3 and c in (0, 2) else c


def resize(src, dst, mode_x: int, mode_y: int) -> None:
    (h, w, c), (sy, sx, sc) = _hwc(src)
    dh, dw = dst.shape[:2]
    _launch(f"rk_resize_{_suffix(src)}", dh * dw,
            (src, _i(h), _i(w), _i(c), _i(sy), _i(sx), _i(sc), dst, _i(dh), _i(dw), np.int32(mode_x),
             np.int32(mode_y), _scale(w, dw), _scale(h, dh)))


def _warp_args(src, dst):
    (h, w, c), (sy, sx, sc) = _hwc(src)
    dh, dw = dst.shape[:2]
    return dh * dw, (src, _i(h), _i(w), _i(c), _i(sy), _i(sx), _i(sc), dst, _i(dh), _i(dw))


def warp_affine(src, dst, inverse) -> None:
    total, args = _warp_args(src, dst)
    _launch(f"rk_warp_{_suffix(src)}", total, args + tuple(np.float64(v) for v in inverse))


def warp_affine_device(src, dst, matrix) -> None:
    """Warp by a forward 2 x 3 float64 matrix in device memory, inverted on the GPU."""
    total, args = _warp_args(src, dst)
    _launch(f"rk_warp_device_{_suffix(src)}", total, args + (cp.ascontiguousarray(matrix, dtype=cp.float64),))


def _paste_args(frame, crop, mask, dst):
    (fh, fw, cn), (fy, fx, fc) = _hwc(frame)
    (ch, cw, _), (cy, cx, cc) = _hwc(crop)
    (_, _, mcn), (my, mx, mc) = _hwc(mask)
    return fh * fw, (frame, _i(fh), _i(fw), _i(cn), _i(fy), _i(fx), _i(fc), crop, _i(ch), _i(cw), _i(cy), _i(cx),
                     _i(cc), mask, _i(mcn), _i(my), _i(mx), _i(mc), dst)


def paste_blend(frame, crop, mask, dst, inverse) -> None:
    total, args = _paste_args(frame, crop, mask, dst)
    _launch("rk_paste_blend", total, args + tuple(np.float64(v) for v in inverse))


def paste_blend_device(frame, crop, mask, dst, matrix) -> None:
    """paste_blend by a forward 2 x 3 float64 matrix in device memory, inverted on the GPU."""
    total, args = _paste_args(frame, crop, mask, dst)
    _launch("rk_paste_blend_device", total, args + (cp.ascontiguousarray(matrix, dtype=cp.float64),))


def gaussian_blur(src, dst, ksize: int, sigma: float) -> None:
    (h, w, c), (sy, sx, sc) = _hwc(src)
    weights = cp.empty(ksize, dtype=cp.float32)
    tmp = cp.empty((h, w, c), dtype=cp.float32)
    suffix = _suffix(src)
    # A serial sum over ksize taps, as on the CPU: one thread.
    _launch("rk_gaussian_weights", 1, (np.int32(ksize), np.float64(sigma), weights), blocks=1, threads=1)
    _launch(f"rk_blur_vertical_{suffix}", h * w * c,
            (src, _i(h), _i(w), _i(c), _i(sy), _i(sx), _i(sc), tmp, weights, np.int32(ksize)))
    _launch(f"rk_blur_horizontal_{suffix}", h * w * c, (tmp, _i(h), _i(w), _i(c), dst, weights, np.int32(ksize)))


def gaussian_filter(src, dst, sigmas, radii) -> None:
    """One launch per filtered axis (rows, columns, channels), each into a contiguous
    float32 image; a negative radius skips its axis."""
    (h, w, c), strides = _hwc(src)
    sizes = (h, w, c)
    axes = [a for a in range(3) if radii[a] >= 0]
    if not axes:
        dst[...] = src
        return
    current = src
    for i, axis in enumerate(axes):
        taps = min(radii[axis], sizes[axis])
        weights = cp.empty(taps + 1, dtype=cp.float32)
        # A serial sum over the whole radius, as on the CPU: one thread.
        _launch("rk_filter_taps", 1, (np.float64(sigmas[axis]), _i(radii[axis]), _i(sizes[axis]), weights),
                blocks=1, threads=1)
        target = dst if i == len(axes) - 1 else cp.empty((h, w, c), dtype=cp.float32)
        _launch("rk_filter_axis", h * w * c, (current, _i(h), _i(w), _i(c), *(_i(s) for s in strides), target,
                                               np.int32(axis), weights, _i(taps)))
        current, strides = target, (w * c, c, 1)


def fold_class_masks(preds, indices, categories, dst) -> None:
    n, classes, h, w = preds.shape
    channels = dst.shape[1]
    sn, sk, sy, sx = (s // preds.itemsize for s in preds.strides)
    lut = cp.empty((classes, channels), dtype=cp.float32)
    _launch("rk_class_table", classes * channels, (indices, categories, _i(indices.size), _i(classes), _i(channels), lut))
    _launch("rk_fold_class_masks", n * h * w, (preds, _i(n), _i(classes), _i(h), _i(w), _i(sn), _i(sk), _i(sy), _i(sx),
                                                lut, _i(channels), dst))


def images_to_batch(images, dst, mean, std, swap_rb: bool) -> None:
    _, channels, dh, dw = dst.shape
    sources = [_source_channel(k, channels, swap_rb) for k in range(channels)]
    inv_std = [1.0 / s for s in std]
    groups = list(_groups(sources, inv_std, mean))
    for i, image in enumerate(images):
        (h, w, _), (sy, sx, sc) = _hwc(image)
        resized = (h, w) != (dh, dw)
        head = (image, _i(h), _i(w), _i(sy), _i(sx), _i(sc), dst[i], _i(dh), _i(dw), np.int32(resized),
                _scale(w, dw), _scale(h, dh))
        for group in groups:
            _launch(f"rk_images_to_batch_{_suffix(image)}", dh * dw, head + group)


def batch_to_images(batch, dst, mean, std, swap_rb: bool) -> None:
    n, h, w, c = batch.shape
    item = batch.itemsize
    sn, sy, sx, sc = (s // item for s in batch.strides)
    sources = [_source_channel(k, c, swap_rb) for k in range(c)]
    scale = [std[s] for s in sources]
    shift = [mean[s] for s in sources]
    head = (batch, _i(n), _i(h), _i(w), _i(c), _i(sn), _i(sy), _i(sx), _i(sc), dst)
    for group in _groups(sources, scale, shift):
        _launch("rk_batch_to_images", n * h * w, head + group)
