"""rasterkit against the plain OpenCV / NumPy / SciPy recipe for the image work of a
face-swap frame, same inputs, at one thread and at two in one run (both sides limited
to the same threads: cv2.setNumThreads and rasterkit's thread team; SciPy's
filter and NumPy's arithmetic run on one thread anyway). Prints one table: per operation
and thread count the median times and the ratio rasterkit / reference (below 1 means
rasterkit is faster), then the GPU time per operation when CuPy and a CUDA device are
present.

    python bench/rasterkit_vs_opencv.py [--threads 1 2] [--repeat R] [--only WORD]
"""

from __future__ import annotations

import argparse
import statistics
import time

import cv2
import numpy as np
from scipy import ndimage

import rasterkit as rk
from _report import ratio
from rasterkit import _cpu

MEAN = (0.485, 0.456, 0.406)
STD = (0.229, 0.224, 0.225)


def compare(ours, theirs, repeat: int) -> tuple[float, float]:
    """Median wall times in ms after a warm-up call each; the two sides alternate so that
    both see the same load on a shared machine."""
    ours()
    theirs()
    times = ([], [])
    for _ in range(repeat):
        for fn, out in ((ours, times[0]), (theirs, times[1])):
            t0 = time.perf_counter()
            fn()
            out.append((time.perf_counter() - t0) * 1e3)
    return statistics.median(times[0]), statistics.median(times[1])


def plain_paste(frame, crop, mask, IM):
    """The paste-back recipe: crop and mask warped into the frame, then the NumPy blend."""
    h, w = frame.shape[:2]
    warped = cv2.warpAffine(crop, IM, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT)
    warped_mask = cv2.warpAffine(mask, IM, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT)
    return warped_mask * warped + (1 - warped_mask) * frame


# Targets (ours / reference, at most); exact sampling costs the uint8 warp some of
# OpenCV's 1/32-pixel shortcut.
TARGETS = {"warp uint8 1920x1080 -> 1024x1024": 1.2, "paste-back 256x256 into 1920x1080": 0.8}


def workloads(rng):
    frame = rng.random((1080, 1920, 3)).astype(np.float32)
    frame_u8 = (frame * 255).astype(np.uint8)
    # Frame -> 1024 x 1024 crop around a face: scale 2.4, rotated 12 degrees.
    angle, scale = np.deg2rad(12.0), 2.4
    c, s = scale * np.cos(angle), scale * np.sin(angle)
    M = np.array([[c, -s, 512 - (c * 960 - s * 540)], [s, c, 512 - (s * 960 + c * 540)]])
    IM = cv2.invertAffineTransform(M)
    crop = cv2.warpAffine(frame, M, (1024, 1024))
    big = rng.random((1024, 1024, 3)).astype(np.float32)
    mask = np.zeros((256, 256, 3), np.float32)
    mask[36:-36, 36:-36] = 1.0
    mask = cv2.GaussianBlur(mask, (37, 37), 36.0)
    face = rng.random((256, 256, 3)).astype(np.float32)
    # A 256 x 256 crop of a face about 250 px wide, back into the frame.
    paste_M = np.array([[1.0, 0.1, 720.0], [-0.1, 1.0, 400.0]])
    crops = [rng.random((256, 256, 3)).astype(np.float32) for _ in range(16)]
    # Alignment's reflect-padded close-up: about 100 taps a side.
    padded = rng.random((1000, 1000, 3)).astype(np.float32)
    mean, std = np.array(MEAN, np.float32).reshape(1, 3, 1, 1), np.array(STD, np.float32).reshape(1, 3, 1, 1)
    blur = rk.GaussianBlur()
    return [
        ("warp 1920x1080 -> 1024x1024",
         lambda: rk.affine_transform(frame, M, (1024, 1024)),
         lambda: cv2.warpAffine(frame, M, (1024, 1024))),
        ("warp 1024x1024 -> 1920x1080",
         lambda: rk.affine_transform(crop, IM, (1080, 1920)),
         lambda: cv2.warpAffine(crop, IM, (1920, 1080))),
        ("warp uint8 1920x1080 -> 1024x1024",
         lambda: rk.affine_transform(frame_u8, M, (1024, 1024)),
         lambda: cv2.warpAffine(frame_u8, M, (1024, 1024))),
        ("area resize 1024 -> 256",
         lambda: rk.resize(big, (256, 256), interpolation=rk.INTER_AREA),
         lambda: cv2.resize(big, (256, 256), interpolation=cv2.INTER_AREA)),
        ("gaussian blur 37/36 256x256x3",
         lambda: blur.get(mask, 36, 36.0),
         lambda: cv2.GaussianBlur(mask, (37, 37), 36.0)),
        ("gaussian_filter s25 1000x1000x3 (SciPy)",
         lambda: rk.gaussian_filter(padded, (25.0, 25.0, 0.0)),
         lambda: ndimage.gaussian_filter(padded, (25.0, 25.0, 0.0))),
        ("paste-back 256x256 into 1920x1080",
         lambda: rk.paste_blend(frame, face, mask, paste_M),
         lambda: plain_paste(frame, face, mask, paste_M)),
        ("batch 16 x 256x256x3",
         lambda: rk.images_to_batch(crops, std=STD, size=256, mean=MEAN),
         lambda: (cv2.dnn.blobFromImages(crops, 1.0, (256, 256), swapRB=True) - mean) / std),
    ], (frame, M, IM, crop, big, mask, crops, padded, face, paste_M)


def gpu_times(inputs, repeat: int) -> None:
    try:
        import cupy as cp

        if not cp.cuda.is_available():
            raise RuntimeError
    except Exception:
        print("GPU: no CuPy with a CUDA device here; GPU times skipped")
        return
    frame, M, IM, crop, big, mask, crops, padded, face, paste_M = (
        cp.asarray(x) if isinstance(x, np.ndarray) else x for x in inputs)
    crops = [cp.asarray(c) for c in crops]
    blur = rk.GaussianBlur()
    ops = [
        ("warp 1920x1080 -> 1024x1024", lambda: rk.affine_transform(frame, M, (1024, 1024))),
        ("warp 1024x1024 -> 1920x1080", lambda: rk.affine_transform(crop, IM, (1080, 1920))),
        ("area resize 1024 -> 256", lambda: rk.resize(big, (256, 256), interpolation=rk.INTER_AREA)),
        ("gaussian blur 37/36 256x256x3", lambda: blur.get(mask, 36, 36.0)),
        ("gaussian_filter s25 1000x1000x3", lambda: rk.gaussian_filter(padded, (25.0, 25.0, 0.0))),
        ("paste-back 256x256 into 1920x1080", lambda: rk.paste_blend(frame, face, mask, paste_M)),
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
        print(f"  {name:40s} {cp.cuda.get_elapsed_time(start, end) / repeat:8.3f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--only", default="", help="run the operations whose name contains this")
    args = parser.parse_args()
    ops, inputs = workloads(np.random.default_rng(0))
    ops = [op for op in ops if args.only in op[0]]
    before = _cpu.get_num_threads()
    results = {}
    for threads in args.threads:
        cv2.setNumThreads(threads)
        _cpu.set_num_threads(threads)
        for name, ours, theirs in ops:
            results[name, threads] = compare(ours, theirs, args.repeat)
    _cpu.set_num_threads(before)
    print(f"CPU, OpenCV {cv2.__version__}; ms as rasterkit / reference, ratio = rasterkit / reference")
    print(f"  {'operation':40s}" + "".join(f" | {t} thread{'s' if t > 1 else ''}: ms, ratio   " for t in args.threads))
    for name, _, _ in ops:
        cells = []
        for threads in args.threads:
            ours, theirs = results[name, threads]
            cells.append(f" | {ours:8.2f} / {theirs:8.2f} {ours / theirs:5.2f}")
            ratio("rasterkit_vs_opencv", name, threads, ours / theirs, TARGETS.get(name, 1.0))
        print(f"  {name:40s}" + "".join(cells))
    print("  worst ratio per thread count: " + ", ".join(
        f"{t}: {max(results[n, t][0] / results[n, t][1] for n, _, _ in ops):.2f}" for t in args.threads))
    gpu_times(inputs, args.repeat)


if __name__ == "__main__":
    main()
