"""Mask composition of the segmentation module against two plain NumPy versions.

`BaseFaceSegmentation.composite_masks` folds (16, 19, 512, 512) float32 class scores into
(16, 3, 512, 512) masks. It is timed in one run against

  (a) the composition written out step by step: softmax over the class axis, argmax,
      every pixel's class matched against the whole class table (N x H x W x K), the
      matches multiplied into categories (categories x N x H x W x K) and summed;
  (b) the best plain NumPy a user would write: argmax over the class axis, a lookup
      table from class to category counts, one-hot planes.

Both sides run with the same threads (rasterkit's team for ours; NumPy's reductions use one). Each
side's peak extra memory is measured in a fresh child process: the peak resident size
during the call (VmHWM, reset just before it) less the resident size before it. Targets: time at most 0.5 x (b), peak
extra memory at most 1.5 x the output.

    python bench/segmentation_masks.py [--threads 1 2] [--repeat 5] [--gpu]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
from _report import ratio

SHAPE = (16, 19, 512, 512)
TABLE = [[1, 3, 14, 15, 16, 17, 18], [2, 4, 5], [6, 7, 8, 9, 10, 11, 12, 13]]
ALL_INDICES = np.array([i for classes in TABLE for i in classes])
CATEGORY_IDS = np.array([k for k, classes in enumerate(TABLE) for _ in classes])


def logits(seed=0):
    return np.random.default_rng(seed).standard_normal(SHAPE, dtype=np.float32)


def stepwise(preds):
    """(a): every intermediate the step-by-step composition makes."""
    e = np.exp(preds - np.max(preds, axis=1, keepdims=True))
    pred = np.argmax(e / np.sum(e, axis=1, keepdims=True), axis=1)
    all_matches = (pred[..., np.newaxis] == ALL_INDICES[np.newaxis, np.newaxis, np.newaxis, :]).astype(np.float32)
    category_masks = np.arange(len(TABLE))[:, np.newaxis] == CATEGORY_IDS[np.newaxis, :]
    counts = np.sum(np.einsum("nijk,mk->mnijk", all_matches, category_masks.astype(np.float32)), axis=-1)
    return np.stack([np.stack([counts[0, i], counts[1, i], counts[2, i]], axis=0) for i in range(preds.shape[0])])


def lookup(preds):
    """(b): argmax, class -> category counts by a table, one plane per category."""
    table = np.zeros((preds.shape[1], 3), np.float32)
    np.add.at(table, (ALL_INDICES, CATEGORY_IDS), 1.0)
    return np.ascontiguousarray(table[np.argmax(preds, axis=1)].transpose(0, 3, 1, 2))


def ours():
    from kestrel.segmentation import BaseFaceSegmentation

    model = BaseFaceSegmentation(device="cpu")
    return model.composite_masks


def status_bytes(field):
    """VmRSS (resident now) or VmHWM (the peak since the last reset) of this process."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def child(side):
    """Runs one side once and prints its peak extra memory in bytes."""
    preds = logits()
    fn = {"ours": ours(), "stepwise": stepwise, "lookup": lookup}[side]
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restarts VmHWM from the resident size now
    before = status_bytes("VmRSS")
    fn(preds)
    print(json.dumps(max(0, status_bytes("VmHWM") - before)))


def peak_extra(side, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, "--child", side], env=env, capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout)


def median_ms(fn, preds, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn(preds)
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--gpu", action="store_true", help="also report milliseconds on CuPy arrays")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child)

    from rasterkit import _cpu

    preds = logits()
    fold = ours()
    expected = lookup(preds)
    assert np.array_equal(fold(preds), expected) and np.array_equal(stepwise(preds[:2]), expected[:2])
    out_bytes = expected.nbytes
    print(f"composite_masks on {SHAPE} float32 scores -> {expected.shape} masks ({out_bytes / 2**20:.0f} MiB)")
    for threads in args.threads:
        _cpu.set_num_threads(threads)
        t_ours = median_ms(fold, preds, args.repeat)
        t_lookup = median_ms(lookup, preds, args.repeat)
        t_step = median_ms(stepwise, preds, max(1, args.repeat // 3))
        read = preds.nbytes + out_bytes
        print(f"  {threads} thread(s): ours {t_ours:8.1f} ms ({read / t_ours / 1e6:5.1f} GB/s through memory), "
              f"(b) lookup {t_lookup:8.1f} ms, (a) stepwise {t_step:9.1f} ms")
        print(f"    ratio ours / (b) {t_ours / t_lookup:6.3f}  (target <= 0.5)   ours / (a) {t_ours / t_step:6.4f}")
        ratio("segmentation_masks", "composite_masks vs argmax + lookup table", threads, t_ours / t_lookup, 0.5)
    for side in ("ours", "lookup", "stepwise"):
        extra = peak_extra(side, args.threads[-1])
        print(f"  peak extra memory {side:9s} {extra / 2**20:8.0f} MiB = {extra / out_bytes:5.2f} x the output")
        if side == "ours":
            ratio("segmentation_masks", "composite_masks peak extra memory / output", None, extra / out_bytes, 1.5)
    if args.gpu:
        import cupy as cp

        gpu_preds = cp.asarray(preds)
        fold(gpu_preds)
        cp.cuda.Device().synchronize()
        start = time.perf_counter()
        for _ in range(args.repeat):
            fold(gpu_preds)
        cp.cuda.Device().synchronize()
        print(f"  GPU: {(time.perf_counter() - start) * 1e3 / args.repeat:.2f} ms per call")


if __name__ == "__main__":
    main()
