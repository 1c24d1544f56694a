"""Every GPU operation of rasterkit once, and kestrel's GPU paths, on small inputs: the
workload tools/gpu_check.py runs under compute-sanitizer's memcheck.

CuPy's memory pool is switched off first, so that every array is an allocation of its
own and a read or write past its end is seen (inside a pooled block it would not be).
Inputs cover both pixel types, one and several channels, views that are strided, read
backwards or offset, and sizes that do not fill the last block of threads.

    python tools/gpu_ops.py
"""

from __future__ import annotations

import cupy as cp
import numpy as np

import rasterkit as rk
from kestrel import facefit, paste


def images(rng):
    f = cp.asarray(rng.random((37, 53, 3), dtype=np.float32))
    u8 = cp.asarray((rng.random((29, 41, 4)) * 255).astype(np.uint8))
    gray = cp.asarray(rng.random((23, 31), dtype=np.float32))
    return [f, u8, gray, f[::-1, ::-2], u8[:, :, ::-1], f[3:, 5:40:3, 1:]]


def operations(rng):
    """The operations as calls; each is made before the next is yielded."""
    M = np.array([[0.9, 0.2, 5.3], [-0.15, 1.1, -3.7]])
    blur = rk.GaussianBlur()
    for image in images(rng):
        for mode in (rk.INTER_NEAREST, rk.INTER_LINEAR, rk.INTER_CUBIC, rk.INTER_AREA, rk.INTER_AUTO):
            yield lambda: rk.resize(image, (19, 13), interpolation=mode)
            yield lambda: rk.resize(image, (67, 45), interpolation=mode)
        yield lambda: rk.affine_transform(image, M, (33, 29))
        yield lambda: rk.affine_transform(image, cp.asarray(M), (33, 29))  # inverted on the GPU
        yield lambda: blur.get(image, 5, 0.0)
        yield lambda: blur.get(image, 0, 3.0)
        yield lambda: rk.to_float32(image)
    yield lambda: rk.get_inverse_matrix(cp.asarray(M))
    three = [i[:, :, :3] for i in images(rng) if i.ndim == 3 and i.shape[2] >= 3]
    mean, std = (0.485, 0.456, 0.406), (0.229, 0.224, 0.225)
    batch = rk.images_to_batch(three, std=std, size=32, mean=mean)
    yield lambda: rk.images_to_batch(three[:1])  # no resize
    yield lambda: rk.batch_to_images(batch, std=std, mean=mean)
    yield lambda: rk.batch_to_images(cp.asarray(rng.random((2, 6, 7, 5), dtype=np.float32)))  # > 4 channels

    frame = cp.asarray((rng.random((180, 240, 3)) * 255).astype(np.uint8))
    centre = cp.asarray([[100.0, 80.0], [140.0, 80.0], [120.0, 102.0], [104.0, 120.0], [136.0, 120.0]])
    edge = centre - cp.asarray([90.0, 0.0])  # reflect padding runs
    yield lambda: facefit.align_face_ffhq(frame, centre, output_size=64, transform_size=128)
    yield lambda: facefit.align_face_ffhq(frame, edge, output_size=64, transform_size=128)
    crop_matrix = np.array([[1.2, 0.0, -60.0], [0.0, 1.2, -40.0]])
    crop = cp.asarray(rng.random((64, 64, 3), dtype=np.float32))
    yield lambda: paste.PasteBack().get(frame, crop, crop_matrix)
    yield lambda: paste.paste_back(frame.astype(cp.float32) / 255, crop, crop_matrix)


def main() -> int:
    cp.cuda.set_allocator(None)
    count = 0
    for operation in operations(np.random.default_rng(0)):
        operation()
        count += 1
    cp.cuda.Device().synchronize()  # a fault in the last kernels is reported here
    print(f"{count} GPU operations ran")
    return 0

if __name__ == "__main__":
    raise SystemExit(main())
