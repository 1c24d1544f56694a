"""rasterkit against OpenCV on the image work of a face-swap frame, same inputs, same
number of threads (OpenCV's and OpenMP's), in one run. Prints one line per operation
with both times and the ratio rasterkit / OpenCV (below 1 means rasterkit is faster),
then the GPU time per operation when CuPy and a CUDA device are present.

    python bench/rasterkit_vs_opencv.py [--threads N] [--repeat R]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import cv2
import numpy as np

import rasterkit as rk
from rasterkit import _cpu

MEAN = (0.485, 0.456, 0.406)
STD = (0.229, 0.224, 0.225)


def best_of(fn, repeat: int) -> float:
    """Median wall time in ms after one warm-up call."""
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1e3)
    return statistics.median(times)


def workloads(rng):
    frame = rng.random((1080, 1920, 3)).astype(np.float32)
    # Frame -> 1024 x 1024 crop around a face: scale 2.4, rotated 12 degrees.
    angle, scale = np.deg2rad(12.0), 2.4
    c, s = scale * np.cos(angle), scale * np.sin(angle)
    M = np.array([[c, -s, 512 - (c * 960 - s * 540)], [s, c, 512 - (s * 960 + c * 540)]])
    IM = cv2.invertAffineTransform(M)
    crop = cv2.warpAffine(frame, M, (1024, 1024))
    big = rng.random((1024, 1024, 3)).astype(np.float32)
    mask = np.zeros((256, 256, 3), np.float32)
    mask[36:-36, 36:-36] = 1.0
    crops = [rng.random((256, 256, 3)).astype(np.float32) for _ in range(16)]
    mean, std = np.array(MEAN, np.float32).reshape(1, 3, 1, 1), np.array(STD, np.float32).reshape(1, 3, 1, 1)
    blur = rk.GaussianBlur()
    return [
        ("warp 1920x1080 -> 1024x1024",
         lambda: rk.affine_transform(frame, M, (1024, 1024)),
         lambda: cv2.warpAffine(frame, M, (1024, 1024))),
        ("warp 1024x1024 -> 1920x1080",
         lambda: rk.affine_transform(crop, IM, (1080, 1920)),
         lambda: cv2.warpAffine(crop, IM, (1920, 1080))),
        ("area resize 1024 -> 256",
         lambda: rk.resize(big, (256, 256), interpolation=rk.INTER_AREA),
         lambda: cv2.resize(big, (256, 256), interpolation=cv2.INTER_AREA)),
        ("gaussian blur 37/36 256x256x3",
         lambda: blur.get(mask, 36, 36.0),
         lambda: cv2.GaussianBlur(mask, (37, 37), 36.0)),
        ("batch 16 x 256x256x3",
         lambda: rk.images_to_batch(crops, std=STD, size=256, mean=MEAN),
         lambda: (cv2.dnn.blobFromImages(crops, 1.0, (256, 256), swapRB=True) - mean) / std),
    ], (frame, M, IM, crop, big, mask, crops)


def gpu_times(inputs, repeat: int) -> None:
    try:
        import cupy as cp

        if not cp.cuda.is_available():
            raise RuntimeError
    except Exception:
        print("GPU: no CuPy with a CUDA device here; GPU times skipped")
        return
    frame, M, IM, crop, big, mask, crops = (cp.asarray(x) if isinstance(x, np.ndarray) else x for x in inputs)
    crops = [cp.asarray(c) for c in crops]
    blur = rk.GaussianBlur()
    ops = [
        ("warp 1920x1080 -> 1024x1024", lambda: rk.affine_transform(frame, M, (1024, 1024))),
        ("warp 1024x1024 -> 1920x1080", lambda: rk.affine_transform(crop, IM, (1080, 1920))),
        ("area resize 1024 -> 256", lambda: rk.resize(big, (256, 256), interpolation=rk.INTER_AREA)),
        ("gaussian blur 37/36 256x256x3", lambda: blur.get(mask, 36, 36.0)),
        ("batch 16 x 256x256x3", lambda: rk.images_to_batch(crops, std=STD, size=256, mean=MEAN)),
    ]
    print(f"GPU ({cp.cuda.runtime.getDeviceProperties(cp.cuda.Device().id)['name'].decode()}):")
    for name, fn in ops:
        fn()
        cp.cuda.get_current_stream().synchronize()
        start, end = cp.cuda.Event(), cp.cuda.Event()
        start.record()
        for _ in range(repeat):
            fn()
        end.record()
        end.synchronize()
        print(f"  {name:32s} {cp.cuda.get_elapsed_time(start, end) / repeat:8.3f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    cv2.setNumThreads(args.threads)
    _cpu.set_num_threads(args.threads)
    ops, inputs = workloads(np.random.default_rng(0))
    print(f"CPU, {args.threads} thread(s), OpenCV {cv2.__version__}; ratio = rasterkit / OpenCV")
    worst = 0.0
    for name, ours, theirs in ops:
        t_rk, t_cv = best_of(ours, args.repeat), best_of(theirs, args.repeat)
        worst = max(worst, t_rk / t_cv)
        print(f"  {name:32s} rasterkit {t_rk:8.3f} ms   OpenCV {t_cv:8.3f} ms   ratio {t_rk / t_cv:5.2f}")
    print(f"  worst ratio {worst:.2f}")
    gpu_times(inputs, args.repeat)


if __name__ == "__main__":
    main()
