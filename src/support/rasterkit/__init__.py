"""rasterkit: image operations for NumPy arrays (CPU) and CuPy arrays (GPU).

Every operation returns arrays of the kind it was given: NumPy in, NumPy out (C++
kernels, rows shared by a thread team); CuPy in, CuPy out (CUDA kernels, no host synchronisation).
A GPU operation runs on its input's device, whichever is current: that device is made
current for the call, so its kernels go to CuPy's current stream of that device and
its outputs come from CuPy's memory pool there. GPU inputs of one call on different
devices raise ValueError. Both backends share their per-pixel math, so they agree up
to float rounding.

Sizes, modes, ``ksize``, ``sigma``, ``mean`` and ``std`` are host numbers (Python or
NumPy); GPU arrays there raise TypeError, since reading them would wait for the GPU.

Images are H x W (one channel) or H x W x C arrays of uint8 or float32; float images
use values 0..1, and operations that take an image keep its type. Views, non-contiguous
and negative-stride arrays are read in place.

Conventions follow OpenCV: pixel centres sit at integer coordinates; resize samples at
``(x + 0.5) * scale - 0.5``; interpolation codes have OpenCV's numbers.
"""

from __future__ import annotations

import contextlib
import math
import operator
from typing import Any

import numpy as np

from . import _cpu
from .engines import onnx_to_trt_dynamic_shape, onnx_to_trt_fixed_shape

__all__ = [
    "INTER_AREA",
    "INTER_AUTO",
    "INTER_CUBIC",
    "INTER_LINEAR",
    "INTER_NEAREST",
    "GaussianBlur",
    "affine_transform",
    "batch_to_images",
    "fold_class_masks",
    "gaussian_filter",
    "get_inverse_matrix",
    "image_to_batch",
    "images_to_batch",
    "onnx_to_trt_dynamic_shape",
    "onnx_to_trt_fixed_shape",
    "paste_blend",
    "reflect_pad_fade",
    "resize",
    "to_float32",
    "to_numpy",
]

INTER_NEAREST = 0
"""Nearest neighbour, OpenCV's rule: source index floor(x * scale)."""
INTER_LINEAR = 1
"""Bilinear, sampling at (x + 0.5) * scale - 0.5 with edge pixels replicated."""
INTER_CUBIC = 2
"""Bicubic (OpenCV's kernel, A = -0.75), edge pixels replicated."""
INTER_AREA = 3
"""Exact area averaging: each output pixel is the mean of the source area it covers
(see resize for how that compares with OpenCV's INTER_AREA)."""
INTER_AUTO = -1
"""The library's choice, per axis: INTER_AREA where the axis shrinks, INTER_LINEAR
where it grows or keeps its size. Negative so that it can never clash with an OpenCV code."""

_MODES = {INTER_NEAREST, INTER_LINEAR, INTER_CUBIC, INTER_AREA}
_MAX_KSIZE = 1 << 24
_FLOAT32_MAX = float(np.finfo(np.float32).max)
_LAYOUTS_IN = ("HWC", "CHW")
_LAYOUTS_OUT = ("NCHW", "NHWC")


# ---------------------------------------------------------------- arrays and backends


def _is_gpu(array: Any) -> bool:
    return hasattr(array, "__cuda_array_interface__")


def _cupy():
    try:
        import cupy
    except ImportError as exc:  # pragma: no cover - only without CuPy
        raise ImportError(
            "rasterkit needs the 'cupy' package for GPU arrays; install kestrel with the 'cuda' extra"
        ) from exc
    return cupy


def _gpu():
    """The CUDA backend, rasterkit._cuda. The function has another name because the
    package attribute `_cuda` is that submodule once imported."""
    from . import _cuda

    return _cuda


def _as_array(array: Any, name: str):
    """The array as NumPy or CuPy, with a flag telling which."""
    if _is_gpu(array):
        return _cupy().asarray(array), True
    if isinstance(array, np.ndarray):
        return array, False
    try:
        return np.asarray(array), False
    except Exception as exc:
        raise TypeError(f"{name} must be an array, got {type(array).__name__}") from exc


def _image(image: Any, name: str = "image"):
    """Checks an image argument: H x W or H x W x C, uint8 or float32, not empty."""
    array, gpu = _as_array(image, name)
    if array.ndim not in (2, 3):
        raise ValueError(f"{name} must be H x W or H x W x C, got shape {tuple(array.shape)}")
    if array.dtype != np.uint8 and array.dtype != np.float32:
        raise TypeError(
            f"{name} must be uint8 or float32, got {array.dtype}; convert it with to_float32 first"
        )
    if 0 in array.shape:
        raise ValueError(f"{name} must not be empty, got shape {tuple(array.shape)}")
    return _ready(array, gpu), gpu


def _float_image(image: Any, name: str):
    """A float32 H x W or H x W x C image (from _image), refusing uint8."""
    src, gpu = _image(image, name)
    if src.dtype != np.float32:
        raise TypeError(f"{name} must be float32, got {src.dtype}; convert it with to_float32 first")
    return src, gpu


def _ready(array: Any, gpu: bool) -> Any:
    """Views are read in place unless their address or strides are not whole elements
    apart (possible with as_strided, offset buffers, structured or foreign views): then
    a copy into a fresh, aligned allocation. Not ascontiguousarray, which hands back a
    contiguous view unchanged however it is aligned. Kernels index in elements, and on
    the GPU a misaligned element load faults, so a GPU copy moves bytes and only then
    reads them as elements."""
    item = array.itemsize
    address = array.data.ptr if gpu else array.ctypes.data
    if address % item == 0 and all(s % item == 0 for s in array.strides):
        return array
    if not gpu:
        return array.copy(order="C")
    cp = _cupy()
    raw = cp.ndarray(array.shape + (item,), dtype=cp.uint8, memptr=array.data, strides=array.strides + (1,))
    with array.device:
        return raw.copy(order="C").view(array.dtype).reshape(array.shape)


def _packed_rows(array: np.ndarray) -> np.ndarray:
    """A host float image whose rows are plain runs of pixels (any row stride), as the
    vectorised filter passes read them: the array itself, or a contiguous copy. Those
    passes read every pixel once per tap, so the copy costs little."""
    item = array.itemsize
    if array.strides[1] == item * (array.shape[2] if array.ndim == 3 else 1) and (
            array.ndim == 2 or array.strides[2] == item):
        return array
    return np.ascontiguousarray(array)


def _on_device(array: Any, gpu: bool):
    """The context of a GPU operation: the input's device made current, so that its
    kernels, outputs and stream are there. Nothing for host arrays."""
    return array.device if gpu else contextlib.nullcontext()


def _same_device(first: Any, first_name: str, other: Any, other_name: str) -> None:
    if other.device.id != first.device.id:
        raise ValueError(f"{other_name} is on GPU {other.device.id}, {first_name} on GPU {first.device.id}")


def _host_number(value: Any, name: str) -> Any:
    if _is_gpu(value):
        raise TypeError(f"{name} must be a host number, not a GPU array (reading it would wait for the GPU)")
    return value


def _empty(gpu: bool, shape: tuple, dtype) -> Any:
    return _cupy().empty(shape, dtype=dtype) if gpu else np.empty(shape, dtype=dtype)


def _positive(value: Any, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, got bool")
    try:
        n = operator.index(_host_number(value, name))
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type(value).__name__}") from None
    if n <= 0:
        raise ValueError(f"{name} must be positive, got {n}")
    return n


def _pair(size: Any, name: str) -> tuple[int, int]:
    if isinstance(size, (str, bytes)) or not hasattr(size, "__len__"):
        raise TypeError(f"{name} must be a pair of ints, got {type(size).__name__}")
    if len(size) != 2:
        raise ValueError(f"{name} must be a pair of ints, got {len(size)} values")
    return _positive(size[0], name), _positive(size[1], name)


def _per_channel(value: Any, channels: int, name: str) -> tuple[float, ...]:
    """A scalar or one value per channel (host numbers), as finite floats."""
    values = np.asarray(_host_number(value, name), dtype=np.float64).ravel()
    if values.size == 1:
        values = np.repeat(values, channels)
    if values.size != channels:
        raise ValueError(f"{name} must be a scalar or have {channels} values, got {values.size}")
    if not np.all(np.isfinite(values)):
        raise ValueError(f"{name} must be finite")
    # The kernels compute in float32: a value that does not fit would become inf there.
    if not np.all(np.abs(values) <= _FLOAT32_MAX):
        raise ValueError(f"{name} must be within the float32 range")
    return tuple(float(v) for v in values)


# ---------------------------------------------------------------- conversions


def to_numpy(array: Any) -> np.ndarray:
    """A host (NumPy) array of the same shape, type and values.

    NumPy arrays come back as they are; GPU arrays are copied to the host (this waits
    for the GPU work that produces them).
    """
    if _is_gpu(array):
        return _cupy().asnumpy(array)
    return np.asarray(array)


def to_float32(image: Any) -> Any:
    """The image as float32 in the 0..1 range the other operations use.

    A float32 image comes back unchanged (the same object); uint8 is divided by 255,
    uint16 by 65535, bool becomes 0 or 1, other float types are cast. Signed integer
    types have no agreed range and raise TypeError.
    """
    array, gpu = _as_array(image, "image")
    xp = _cupy() if gpu else np
    dtype = array.dtype
    if dtype == np.float32:
        return array
    with _on_device(array, gpu):
        array = _ready(array, gpu)
        if dtype == np.uint8 and not gpu and array.ndim in (2, 3) and array.size:
            out = np.empty(array.shape, np.float32)  # the same division, on the thread team
            _cpu.to_float32(array, out)
            return out
        if dtype in (np.uint8, np.uint16):
            return xp.divide(array, xp.float32(np.iinfo(dtype).max), dtype=xp.float32)
        if dtype == np.bool_ or dtype.kind == "f":
            return array.astype(xp.float32)
    raise TypeError(f"to_float32 cannot map {dtype} to 0..1; pass uint8, uint16, bool or float images")


# ---------------------------------------------------------------- resize


def _axis_mode(interpolation: int, src: int, dst: int) -> int:
    if interpolation == INTER_AUTO:
        return INTER_AREA if dst < src else INTER_LINEAR
    return interpolation


def resize(image: Any, dsize: tuple[int, int], interpolation: int = INTER_AUTO) -> Any:
    """The image resized to ``dsize = (width, height)``, same channel count and type.

    ``interpolation`` is one of INTER_NEAREST, INTER_LINEAR, INTER_CUBIC, INTER_AREA or
    INTER_AUTO (the default: area averaging along an axis that shrinks, bilinear along
    one that grows or keeps its size). Linear and cubic sample at
    ``(x + 0.5) * scale - 0.5`` with edge pixels replicated; nearest picks
    ``floor(x * scale)`` as OpenCV's INTER_NEAREST does. uint8 results are rounded and
    saturated. An unknown interpolation code raises ValueError.

    INTER_AREA averages exactly the source area under each output pixel, separably per
    axis and in either direction. Along a shrinking axis that is a box average over
    about ``scale`` pixels. Along a growing axis an output pixel covers one source pixel
    or parts of two: it copies the one, or blends the two by the fractions it covers
    (not bilinear interpolation: runs of copies with short blends between them). When
    both axes shrink, or both grow, this is OpenCV's INTER_AREA result. When one axis
    shrinks and the other grows, OpenCV uses its two-tap enlarging rule along both axes,
    while this still averages the whole covered area along the shrinking one.

    On the host, resampling rows of more than 2**28 values, or an INTER_AREA axis of more
    than about 2**28 source pixels, raises ValueError (only broadcast views of huge
    virtual sizes get there).
    """
    src, gpu = _image(image)
    width, height = _pair(dsize, "dsize")
    if isinstance(interpolation, bool) or not isinstance(interpolation, (int, np.integer)):
        raise TypeError(f"interpolation must be an int, got {type(interpolation).__name__}")
    if interpolation != INTER_AUTO and interpolation not in _MODES:
        raise ValueError(f"unknown interpolation code {interpolation}")
    src_h, src_w = src.shape[:2]
    mode_x = _axis_mode(int(interpolation), src_w, width)
    mode_y = _axis_mode(int(interpolation), src_h, height)
    with _on_device(src, gpu):
        if (height, width) == (src_h, src_w):
            return src.copy()
        out = _empty(gpu, (height, width) + tuple(src.shape[2:]), src.dtype)
        (_gpu() if gpu else _cpu).resize(src, out, mode_x, mode_y)
    return out


# ---------------------------------------------------------------- affine maps


def _matrix(array: Any, gpu: bool):
    """M (from _as_array) as a 2 x 3 float64 array on its own device."""
    if array.shape != (2, 3):
        raise ValueError(f"M must be a 2 x 3 matrix, got shape {tuple(array.shape)}")
    if array.dtype.kind not in "biuf":
        raise TypeError(f"M must be numeric, got {array.dtype}")
    with _on_device(array, gpu):
        return _ready(array, gpu).astype(np.float64)


def _host_inverse(m: np.ndarray) -> tuple[float, ...]:
    """The inverse of the 2 x 3 host matrix m as six floats, row-major. Plain float
    arithmetic: the same IEEE operations as NumPy's scalars, without their overhead,
    which made up most of a small warp's time."""
    (m00, m01, m02), (m10, m11, m12) = m.tolist()
    if not all(math.isfinite(v) for v in (m00, m01, m02, m10, m11, m12)):
        raise ValueError("M must be finite")
    # Each row is scaled by a power of two to a largest entry in 0.5..1 first, so that
    # the determinant neither overflows nor underflows for very large or very small
    # entries. Powers of two scale exactly: ordinary matrices give the same bits as
    # inverting them directly.
    # The power itself may exceed the float range (a row of 2**1023): ldexp applies it.
    e0 = math.frexp(max(abs(m00), abs(m01)))[1]
    e1 = math.frexp(max(abs(m10), abs(m11)))[1]
    p, q, r, s = math.ldexp(m00, -e0), math.ldexp(m01, -e0), math.ldexp(m10, -e1), math.ldexp(m11, -e1)
    det = p * s - q * r
    if det == 0 or not math.isfinite(det):
        raise ValueError("M is not invertible")
    a, b = math.ldexp(s / det, -e0), math.ldexp(-q / det, -e1)
    c, d = math.ldexp(-r / det, -e0), math.ldexp(p / det, -e1)
    inv = (a, b, -(a * m02 + b * m12), c, d, -(c * m02 + d * m12))
    if not all(math.isfinite(v) for v in inv):
        raise ValueError("M is not invertible: its inverse is beyond the float64 range")
    return inv


def get_inverse_matrix(M: Any) -> Any:
    """The 2 x 3 matrix of the inverse affine map of the 2 x 3 matrix ``M``.

    The result is on M's device, float32 for a float32 M and float64 otherwise. On the
    host a matrix that is not finite or not invertible raises ValueError; on the GPU the
    check would need a host round trip, so such a matrix gives non-finite entries there.
    """
    array, gpu = _as_array(M, "M")
    m = _matrix(array, gpu)
    dtype = np.float32 if array.dtype == np.float32 else np.float64
    if not gpu:
        return np.array(_host_inverse(m), dtype=dtype).reshape(2, 3)
    cp = _cupy()
    with m.device:
        det = m[0, 0] * m[1, 1] - m[0, 1] * m[1, 0]
        a, b, c, d = m[1, 1] / det, -m[0, 1] / det, -m[1, 0] / det, m[0, 0] / det
        rows = [cp.stack([a, b, -(a * m[0, 2] + b * m[1, 2])]), cp.stack([c, d, -(c * m[0, 2] + d * m[1, 2])])]
        return cp.stack(rows).astype(dtype, copy=False)


def affine_transform(image: Any, M: Any, dsize: tuple[int, int]) -> Any:
    """The image warped by ``M`` into an output of exactly ``dsize = (height, width)``.

    ``M`` is a 2 x 3 matrix mapping source pixel coordinates (x = column, y = row) to
    destination coordinates, pixel centres at integers (OpenCV's warpAffine without
    WARP_INVERSE_MAP). Each output pixel samples the source bilinearly at the exact
    inverse-mapped position; samples outside the source count as 0, so pixels whose
    source lies outside the image are 0 and edges blend towards 0. Same channel count
    and type as the input; uint8 results are rounded. On the host a non-finite or
    singular M raises ValueError; with M on the GPU the check would need a host round
    trip, so such a matrix gives an all-zero image. A GPU M must be on the image's
    device.
    """
    src, gpu = _image(image)
    height, width = _pair(dsize, "dsize")
    array, m_gpu = _as_array(M, "M")
    if gpu and m_gpu:
        _same_device(src, "image", array, "M")
    m = _matrix(array, m_gpu)
    with _on_device(src, gpu):
        out = _empty(gpu, (height, width) + tuple(src.shape[2:]), src.dtype)
        if gpu and m_gpu:
            _gpu().warp_affine_device(src, out, m)
            return out
        inverse = _host_inverse(to_numpy(m))
        (_gpu() if gpu else _cpu).warp_affine(src, out, inverse)
    return out


def paste_blend(frame: Any, crop: Any, mask: Any, M: Any) -> Any:
    """A new float32 frame with ``crop`` pasted through ``mask``: the blend
    ``m * c + (1 - m) * frame`` where ``c`` and ``m`` are the crop and the mask warped by
    ``M`` into the frame's size, computed in one pass over the frame.

    ``frame`` is a float32 H x W x C (or H x W) image, ``crop`` a float32 h x w image with
    the frame's channels, ``mask`` a float32 h x w, h x w x 1 or h x w x C array (one
    channel serves every channel). ``M`` is the 2 x 3 matrix mapping crop pixel
    coordinates to frame coordinates, as ``affine_transform`` takes it (for a crop cut
    from the frame by a matrix A, the inverse of A). The result equals, up to float
    rounding, ``m = affine_transform(mask, M, (H, W))`` and ``c = affine_transform(crop,
    M, (H, W))`` followed by the blend in float32, without making either full-size
    image: outside the crop's reach the frame comes back as it is.

    Raises TypeError for non-float32 arrays and ValueError for mismatched shapes; on the
    host a non-finite or singular ``M`` raises ValueError, while a GPU ``M`` (on the
    frame's device) is inverted there and such a matrix leaves the frame unchanged.
    """
    dst_frame, gpu = _float_image(frame, "frame")
    src_crop, crop_gpu = _float_image(crop, "crop")
    mask_array, mask_gpu = _float_image(mask, "mask")
    if crop_gpu != gpu or mask_gpu != gpu:
        raise TypeError("frame, crop and mask must all be GPU arrays or all host arrays")
    channels = dst_frame.shape[2] if dst_frame.ndim == 3 else 1
    crop_channels = src_crop.shape[2] if src_crop.ndim == 3 else 1
    mask_channels = mask_array.shape[2] if mask_array.ndim == 3 else 1
    if src_crop.ndim != dst_frame.ndim or crop_channels != channels:
        raise ValueError(f"crop must have the frame's layout, got shapes {tuple(src_crop.shape)} and "
                         f"{tuple(dst_frame.shape)}")
    if mask_array.shape[:2] != src_crop.shape[:2] or mask_channels not in (1, channels):
        raise ValueError(f"mask must be {src_crop.shape[0]} x {src_crop.shape[1]} with 1 or {channels} channels, "
                         f"got shape {tuple(mask_array.shape)}")
    array, m_gpu = _as_array(M, "M")
    if gpu:
        _same_device(dst_frame, "frame", src_crop, "crop")
        _same_device(dst_frame, "frame", mask_array, "mask")
        if m_gpu:
            _same_device(dst_frame, "frame", array, "M")
    m = _matrix(array, m_gpu)
    with _on_device(dst_frame, gpu):
        out = _empty(gpu, dst_frame.shape, np.float32)
        if gpu and m_gpu:
            _gpu().paste_blend_device(dst_frame, src_crop, mask_array, out, m)
            return out
        inverse = _host_inverse(to_numpy(m))
        (_gpu() if gpu else _cpu).paste_blend(dst_frame, src_crop, mask_array, out, inverse)
    return out


# ---------------------------------------------------------------- blur


class GaussianBlur:
    """Gaussian smoothing with OpenCV's GaussianBlur rules; use ``get``."""

    def get(self, image: Any, ksize: int, sigma: float) -> Any:
        """The image smoothed by a ``ksize`` x ``ksize`` Gaussian of spread ``sigma``.

        Same shape and type. An even ``ksize`` becomes the next odd one; ``ksize`` 0 is
        derived from sigma (round(sigma * 8 + 1), sigma * 6 for uint8, made odd;
        ValueError when that exceeds 2**24);
        ``sigma`` 0 or below is derived from the size (0.3 * ((ksize - 1) / 2 - 1) + 0.8,
        OpenCV's fixed kernels up to size 9); both 0 return a copy. Borders reflect
        without repeating the edge pixel (OpenCV's default, gfedcb|abcdefgh|gfedcba).
        A negative ksize or a non-finite sigma raises ValueError; both are host numbers
        (GPU arrays raise TypeError). On the host, taps whose float32 weight is 0 are
        left out and taps beyond the reflected image fold onto the pixels they read, so
        a huge ``ksize`` costs no more than the image (the result differs from the full
        kernel's by float rounding only).
        """
        src, gpu = _image(image)
        if isinstance(ksize, bool):
            raise TypeError("ksize must be an int, got bool")
        ksize = operator.index(_host_number(ksize, "ksize"))
        sigma = float(_host_number(sigma, "sigma"))
        if ksize < 0 or not math.isfinite(sigma):
            raise ValueError(f"ksize must be >= 0 and sigma finite, got {ksize} and {sigma}")
        sigma = max(sigma, 0.0)
        with _on_device(src, gpu):
            if ksize == 0:
                if sigma == 0.0:
                    return src.copy()
                derived = sigma * (3 if src.dtype == np.uint8 else 4) * 2 + 1
                if derived > _MAX_KSIZE:  # also inf, which round() cannot take
                    raise ValueError(f"sigma {sigma} needs a kernel larger than {_MAX_KSIZE}")
                ksize = round(derived) | 1
            ksize |= 1
            if ksize > _MAX_KSIZE:
                raise ValueError(f"ksize {ksize} is too large (at most {_MAX_KSIZE})")
            if ksize == 1:
                return src.copy()
            out = _empty(gpu, src.shape, src.dtype)
            if gpu:
                _gpu().gaussian_blur(src, out, ksize, sigma)
            else:
                _cpu.gaussian_blur(_packed_rows(src) if src.dtype == np.float32 else src, out, ksize, sigma)
        return out


def _filter_radius(reach: float, sigma: float) -> int:
    """SciPy's kernel radius int(truncate * sigma + 0.5), at most _MAX_KSIZE: the weights
    of a longer kernel would take minutes to sum (and SciPy's would not fit in memory)."""
    if reach + 0.5 >= _MAX_KSIZE:
        raise ValueError(f"sigma {sigma} needs a kernel radius of {_MAX_KSIZE} or more")
    return int(reach + 0.5)


def gaussian_filter(image: Any, sigma: Any, truncate: float = 4.0) -> Any:
    """The image smoothed by a Gaussian under SciPy's rules: ``scipy.ndimage.gaussian_filter(
    image, sigma, truncate=truncate)`` with its default mode "reflect".

    ``image`` is a float32 H x W or H x W x C array. ``sigma`` is a scalar (every axis,
    channels included, as in SciPy) or one value per axis in axis order (rows, columns
    and channels; 0 leaves an axis alone, the usual choice for channels). Each axis whose
    sigma exceeds 1e-15 is filtered in turn, rows first, by the normalised kernel
    exp(-x**2 / (2 sigma**2)) over ``|x| <= int(truncate * sigma + 0.5)``, its
    borders reflected half-sample symmetric (dcba|abcd|dcba) however far the kernel
    reaches. Returns a new float32 array of the image's shape. The sums run in float32,
    SciPy's in float64: on 0..1 images the results agree within 1e-5.

    Raises TypeError for a non-float32 image; ValueError for a sigma that is negative or
    not finite or needs a kernel radius of 2**24 or more, a sigma sequence whose length is
    not the image's ndim, or a negative or non-finite ``truncate``. Both are host numbers
    (GPU arrays raise TypeError).
    """
    src, gpu = _float_image(image, "image")
    values = np.asarray(_host_number(sigma, "sigma"), dtype=np.float64)
    if values.ndim > 1 or (values.ndim == 1 and values.size != src.ndim):
        raise ValueError(f"sigma must be a scalar or have {src.ndim} values, got shape {values.shape}")
    values = np.broadcast_to(values, (src.ndim,))
    truncate = float(_host_number(truncate, "truncate"))
    if not np.all(np.isfinite(values)) or np.any(values < 0):
        raise ValueError(f"sigma must be finite and non-negative, got {tuple(values.tolist())}")
    if not math.isfinite(truncate) or truncate < 0:
        raise ValueError(f"truncate must be finite and non-negative, got {truncate}")
    # SciPy's rules: axes with sigma <= 1e-15 are skipped, the radius is rounded from
    # truncate * sigma. A radius of -1 tells the kernels to skip the axis.
    sigmas = [float(v) for v in values] + [0.0] * (3 - src.ndim)
    radii = [_filter_radius(truncate * v, v) if v > 1e-15 else -1 for v in sigmas]
    with _on_device(src, gpu):
        out = _empty(gpu, src.shape, np.float32)
        if gpu:
            _gpu().gaussian_filter(src, out, sigmas, radii)
        else:
            _cpu.gaussian_filter(_packed_rows(src), out, sigmas, radii)
    return out


def _fade_ramp(xp, n: int, before: int, after: int):
    """1 - min(i / before, (n - 1 - i) / after) over i = 0 .. n - 1 in float32, a side
    without padding left out (-inf with none): 1 on the outer edge, 0 a pad width in."""
    i = xp.arange(n, dtype=xp.float32)
    nearest = None
    if before > 0:
        nearest = i / before
    if after > 0:
        from_end = (n - 1 - i) / after
        nearest = from_end if nearest is None else xp.minimum(nearest, from_end)
    if nearest is None:
        return xp.full(n, -np.inf, dtype=xp.float32)
    return 1.0 - nearest


def reflect_pad_fade(image: Any, pads: Any, sigma: float) -> Any:
    """The image mirror-padded with its margin faded out, as FFHQ-style alignment pads a
    face that leaves the frame: a new float32 array.

    ``image`` is a float32 H x W or H x W x C array, ``pads`` the (top, bottom, left,
    right) widths, whole numbers from 0. The image is padded as ``numpy.pad(image, ...,
    mode="reflect")`` gives it (p), then, with mask = max(ramp of the row, ramp of the
    column), ramp(i) = 1 - min(i / before, (n - 1 - i) / after) along an axis of n
    padded pixels (1 on the outer edge, 0 a pad width in, negative further inside):

        v = p + (gaussian_filter(p, (sigma, sigma, 0)) - p) * clip(3 mask + 1, 0, 1)
        result = clip(v + (median of v per channel - v) * clip(mask, 0, 1), 0, 1)

    all in float32: the margin fades into a blur of itself (SciPy's rules, as
    ``gaussian_filter``) and then, over the pad itself, into the median colour. A channel
    holding a value that is not finite comes back NaN. On the host it runs in three
    passes over the result without the padded image or its blur as arrays of their own,
    and the blur only where its weight is not 0; results agree with the formulas within
    the filter's float32 rounding (exactly, up to the sign of zeros, given the filter's
    values).

    Raises TypeError for a non-float32 image or pads that are not whole numbers, and
    ValueError for pads that are not four numbers from 0 or a sigma that is negative,
    not finite or needs a kernel radius of 2**24 or more (both host numbers).
    """
    src, gpu = _float_image(image, "image")
    if isinstance(pads, (str, bytes)) or not hasattr(pads, "__len__") or len(pads) != 4:
        raise ValueError(f"pads must be four numbers (top, bottom, left, right), got {pads!r}")
    values = [_host_number(p, "pads") for p in pads]
    if any(isinstance(p, bool) for p in values):
        raise TypeError("pads must be whole numbers, got a bool")
    top, bottom, left, right = (operator.index(p) for p in values)
    if min(top, bottom, left, right) < 0:
        raise ValueError(f"pads must not be negative, got {pads!r}")
    sigma = float(_host_number(sigma, "sigma"))
    if not math.isfinite(sigma) or sigma < 0:
        raise ValueError(f"sigma must be finite and non-negative, got {sigma}")
    # SciPy leaves an axis of sigma 1e-15 or less alone: radius 0, a kernel of one tap.
    blurs = sigma > 1e-15
    radius = _filter_radius(4.0 * sigma, sigma) if blurs else 0
    with _on_device(src, gpu):
        if gpu:
            cp = _cupy()
            widths = ((top, bottom), (left, right)) + ((0, 0),) * (src.ndim - 2)
            padded = cp.pad(src, widths, mode="reflect")
            toward = gaussian_filter(padded, [sigma, sigma] + [0.0] * (src.ndim - 2))
            h, w = padded.shape[:2]
            tail = (1,) * (src.ndim - 2)
            mask = cp.maximum(_fade_ramp(cp, w, left, right).reshape((1, w) + tail),
                              _fade_ramp(cp, h, top, bottom).reshape((h, 1) + tail))
            toward -= padded
            toward *= cp.clip(mask * 3.0 + 1.0, 0.0, 1.0)
            padded += toward
            toward = cp.median(padded, axis=(0, 1)) - padded
            toward *= cp.clip(mask, 0.0, 1.0)
            padded += toward
            cp.clip(padded, 0, 1, out=padded)
            return padded
        out = np.empty((src.shape[0] + top + bottom, src.shape[1] + left + right) + src.shape[2:], np.float32)
        _cpu.reflect_pad_fade(_packed_rows(src), out, (top, bottom, left, right), sigma if blurs else 1.0, radius)
    return out


# ---------------------------------------------------------------- segmentation masks


def _class_table(column: Any, name: str, gpu: bool):
    """A class table column as a contiguous int64 array on the preds' side."""
    array, on_gpu = _as_array(column, name)
    if array.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got shape {tuple(array.shape)}")
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, got {array.dtype}")
    if gpu:
        # A host table is uploaded; the preds' device is current here.
        return _cupy().ascontiguousarray(_cupy().asarray(array), dtype=np.int64)
    return np.ascontiguousarray(to_numpy(array), dtype=np.int64)


def fold_class_masks(preds: Any, all_indices: Any, category_ids: Any, num_categories: int, channels: int = 3) -> Any:
    """Segmentation logits folded into per-category masks, in one pass over the pixels.

    ``preds`` is a float32 (N, K, H, W) array of class scores (any strides), K classes
    on axis 1. The class table has one entry per position j of the 1-D integer arrays
    ``all_indices`` and ``category_ids`` (one length): class ``all_indices[j]`` belongs
    to category ``category_ids[j]``; ``num_categories`` is the table's number of
    categories (an int, empty categories included). Returns a new float32 (N, channels,
    H, W) array on the device of ``preds``: channel c of a pixel is the number of table
    entries of category c naming the pixel's class (0 or 1, 2 for a class listed twice),
    for c = 0 .. channels - 1.

    The pixel's class is the argmax over the K classes of the softmax probabilities
    ``e = exp(x - max); p = e / sum(e)`` as the plain float32 NumPy formulation computes
    them (its float32 exp on x86 hosts, the sum in class order), the lowest class
    winning ties, including ties that rounding creates between different logits. A
    NaN score, or an infinite maximum, makes every probability NaN: class 0. Entries
    naming no class in 0 .. K - 1, or a category outside 0 .. channels - 1, count
    nowhere. The same function runs on the GPU (with the table uploaded when it is on
    the host); there CuPy's own formulation may break a rounding tie between logits
    closer than 2**-18 differently, its exp and sum being rounded differently.

    Raises TypeError for non-float32 preds or non-integer tables, ValueError for other
    shapes or columns of different lengths. When N > 0 and ``num_categories`` is below
    ``channels`` it raises the IndexError that stacking the missing category plane
    gives: "index {num_categories} is out of bounds for axis 0 with size
    {num_categories}". With N == 0 it returns an empty (0, channels, H, W) array.
    """
    array, gpu = _as_array(preds, "preds")
    if array.ndim != 4:
        raise ValueError(f"preds must be (N, K, H, W), got shape {tuple(array.shape)}")
    if array.dtype != np.float32:
        raise TypeError(f"preds must be float32, got {array.dtype}")
    for value, name in ((num_categories, "num_categories"), (channels, "channels")):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if channels < 1:
        raise ValueError(f"channels must be positive, got {channels}")
    n, classes, h, w = array.shape
    if classes == 0:
        raise ValueError("preds must have at least one class")
    with _on_device(array, gpu):
        indices = _class_table(all_indices, "all_indices", gpu)
        categories = _class_table(category_ids, "category_ids", gpu)
        if indices.shape != categories.shape:
            raise ValueError(f"all_indices and category_ids differ in length ({indices.size} and {categories.size})")
        if n > 0 and num_categories < channels:
            index = max(int(num_categories), 0)
            raise IndexError(f"index {index} is out of bounds for axis 0 with size {index}")
        out = _empty(gpu, (n, int(channels), h, w), np.float32)
        if out.size == 0:
            return out
        src = _ready(array, gpu)
        (_gpu() if gpu else _cpu).fold_class_masks(src, indices, categories, out)
    return out


# ---------------------------------------------------------------- batches


def _batch_inputs(images: Any, layout: str):
    if layout not in _LAYOUTS_IN:
        raise ValueError(f"unknown layout {layout!r}; expected one of {', '.join(_LAYOUTS_IN)}")
    if isinstance(images, (list, tuple)):
        items = list(images)
    else:
        array, _ = _as_array(images, "images")
        items = list(array) if array.ndim == 4 else [array]
    if not items:
        raise ValueError("images_to_batch needs at least one image")
    views, kinds = [], set()
    for i, item in enumerate(items):
        array, gpu = _as_array(item, f"images[{i}]")
        if layout == "CHW" and array.ndim == 3:
            array = array.transpose(1, 2, 0)
        array, gpu = _image(array, f"images[{i}]")
        views.append(array if array.ndim == 3 else array[:, :, None])
        kinds.add(gpu)
    if len(kinds) > 1:
        raise TypeError("images mixes GPU and host arrays")
    gpu = kinds.pop()
    # Checked here for both backends: the GPU kernels read every image with the
    # first one's channel count.
    channels = views[0].shape[2]
    for i, view in enumerate(views):
        if view.shape[2] != channels:
            raise ValueError(f"images[{i}] has {view.shape[2]} channels, images[0] has {channels}")
        if gpu:
            _same_device(views[0], "images[0]", view, f"images[{i}]")
    return views, gpu


def images_to_batch(
    images: Any,
    std: Any = 1.0,
    size: Any = None,
    mean: Any = 0.0,
    swap_rb: bool = True,
    layout: str = "HWC",
) -> Any:
    """One NCHW float32 contiguous batch with one entry per image, in list order.

    ``images`` is one image, a list of images or an N x H x W x C array, in ``layout``
    "HWC" (or "CHW"). Each entry is made in one pass: resized bilinearly to ``size``
    (an int for a square or a (width, height) pair; None keeps the images' common
    size; skipped when the size already matches), integer images scaled to 0..1, then
    ``(value - mean) / std`` with scalar or per-channel ``mean``/``std`` given in the
    network's channel order, that is after channels 0 and 2 are exchanged when
    ``swap_rb`` (images with fewer than three channels are never exchanged). An empty
    list, an unknown layout, std 0 (or mean, std or 1 / std beyond the float32
    range), or images of different channel counts (or of different sizes with size
    None) raise ValueError.
    """
    views, gpu = _batch_inputs(images, layout)
    channels = views[0].shape[2]
    if size is None:
        sizes = {v.shape[:2] for v in views}
        if len(sizes) > 1:
            raise ValueError("images differ in size; pass size to resize them to one")
        height, width = sizes.pop()
    elif isinstance(size, (int, np.integer)) and not isinstance(size, bool):
        height = width = _positive(size, "size")
    else:
        width, height = _pair(size, "size")
    mean_c = _per_channel(mean, channels, "mean")
    std_c = _per_channel(std, channels, "std")
    if 0.0 in std_c:
        raise ValueError("std must not be 0")
    if any(abs(1.0 / v) > _FLOAT32_MAX for v in std_c):
        raise ValueError("1 / std must be within the float32 range")
    with _on_device(views[0], gpu):
        out = _empty(gpu, (len(views), channels, height, width), np.float32)
        (_gpu() if gpu else _cpu).images_to_batch(views, out, mean_c, std_c, bool(swap_rb))
    return out


def image_to_batch(
    image: Any,
    size: Any = None,
    std: Any = 1.0,
    mean: Any = 0.0,
    swap_rb: bool = True,
    layout: str = "HWC",
) -> Any:
    """images_to_batch for one image: a batch of one entry."""
    if isinstance(image, (list, tuple)):
        raise TypeError("image_to_batch takes one image; use images_to_batch for a list")
    return images_to_batch([image], std=std, size=size, mean=mean, swap_rb=swap_rb, layout=layout)


def batch_to_images(
    batch: Any, swap_rb: bool = True, layout: str = "NCHW", std: Any = None, mean: Any = None
) -> list:
    """A Python list of contiguous H x W x C float32 images, one per batch entry, in order.

    The exact inverse of images_to_batch: with ``std``/``mean`` (scalar or per channel,
    in the network's channel order) each value becomes ``value * std + mean`` first;
    then channels 0 and 2 are exchanged back when ``swap_rb`` (three or more channels).
    ``layout`` is "NCHW" (or "NHWC"); an unknown layout raises ValueError, and so do
    ``mean`` or ``std`` beyond the float32 range. Other float or integer batches are
    converted to float32 first, values unchanged (integers are not scaled to 0..1).
    """
    if layout not in _LAYOUTS_OUT:
        raise ValueError(f"unknown layout {layout!r}; expected one of {', '.join(_LAYOUTS_OUT)}")
    array, gpu = _as_array(batch, "batch")
    if array.ndim != 4:
        raise ValueError(f"batch must be 4-D ({layout}), got shape {tuple(array.shape)}")
    if array.dtype.kind not in "biuf":
        raise TypeError(f"batch must be numeric, got {array.dtype}")
    nhwc = array.transpose(0, 2, 3, 1) if layout == "NCHW" else array
    if nhwc.shape[0] == 0:
        return []
    if 0 in nhwc.shape:
        raise ValueError(f"batch must not be empty, got shape {tuple(array.shape)}")
    channels = nhwc.shape[3]
    mean_c = _per_channel(0.0 if mean is None else mean, channels, "mean")
    std_c = _per_channel(1.0 if std is None else std, channels, "std")
    with _on_device(array, gpu):
        nhwc = _ready(nhwc, gpu)
        if nhwc.dtype != np.float32:
            nhwc = nhwc.astype(np.float32)
        out = _empty(gpu, nhwc.shape, np.float32)
        (_gpu() if gpu else _cpu).batch_to_images(nhwc, out, mean_c, std_c, bool(swap_rb))
    return list(out)
