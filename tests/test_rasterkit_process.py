"""rasterkit's CPU kernels in the life of a process: forked children after parallel
work, Ctrl-C during long calls, threads inside a kernel while the interpreter exits,
and host buffers at odd byte offsets. Each risky case runs in a child interpreter, so
that a hang or a crash fails its test instead of the run."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import rasterkit as rk
from rasterkit import _cpu


def run_child(args: list, timeout: float = 120, **env) -> tuple[int, str]:
    """Exit status and output of a child interpreter; on a timeout its whole process
    group (a fork pool's workers too) is killed and the test fails."""
    child = subprocess.Popen([sys.executable, *args], env=dict(os.environ, **env), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        out, _ = child.communicate()
        pytest.fail(f"no result after {timeout} s:\n{out[-2000:]}")
    return child.returncode, out


# Every parallel kernel, on inputs large enough to wake the thread team.
KERNELS = """
import numpy as np
import rasterkit as rk

rng = np.random.default_rng(0)
frame = rng.random((1080, 1920, 3)).astype(np.float32)
M = np.array([[0.9, 0.2, 5.3], [-0.15, 1.1, -3.7]])
logits = rng.random((1, 19, 512, 1024)).astype(np.float32)
KERNELS = {
    "resize": lambda: rk.resize(frame, (2880, 1620)),
    "warp": lambda: rk.affine_transform(frame, M, (1500, 1500)),
    "blur": lambda: rk.GaussianBlur().get(frame, 31, 0.0),
    "gaussian_filter": lambda: rk.gaussian_filter(frame, (4.0, 4.0, 0.0)),
    "paste_blend": lambda: rk.paste_blend(frame, frame[:256, :256], frame[:256, :256, :1], M),
    "fold_class_masks": lambda: rk.fold_class_masks(logits, np.arange(19), np.arange(19) % 3, 3),
    "to_batch": lambda: rk.images_to_batch([frame[:512, :512]] * 12, size=1024),
    "from_batch": lambda: rk.batch_to_images(np.ones((12, 3, 1024, 1024), np.float32)),
}
"""

FORK = KERNELS + """
import multiprocessing, sys

def child(name):
    out = KERNELS[name]()
    return [float(np.asarray(o, np.float64).sum()) for o in (out if isinstance(out, list) else [out])]

if __name__ == "__main__":
    name = sys.argv[1]
    rk._cpu.set_num_threads(2)
    expected = child(name)  # the parent's own thread team exists from here on
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map(child, [name] * 2, chunksize=1) == [expected] * 2
    print("ok")
"""


@pytest.mark.parametrize("kernel", ["resize", "warp", "blur", "gaussian_filter", "paste_blend", "fold_class_masks",
                                    "to_batch", "from_batch"])
def test_forked_children_run_kernels_after_the_parent_did(tmp_path, kernel):
    script = tmp_path / "fork_case.py"
    script.write_text(FORK)
    status, out = run_child([str(script), kernel], timeout=60)
    assert status == 0 and out.strip() == "ok", out


# A call whose work is huge but whose output is small (broadcast sources), interrupted
# by SIGINT from another thread after a short delay. Uninterrupted, each runs for
# minutes; the child's timeout fails the test.
CTRL_C = """
import os, signal, threading, time
import numpy as np
import rasterkit as rk

def huge(shape):
    return np.broadcast_to(np.float32(0.5), shape)

calls = {
    "resize": lambda: rk.resize(huge((2**24, 2**12, 3)), (64, 64), interpolation=rk.INTER_AREA),
    "blur": lambda: rk.GaussianBlur().get(huge((3000, 3000, 3)), 2**20 + 1, 1e6),
    "gaussian_filter": lambda: rk.gaussian_filter(huge((2000, 2000, 3)), (3000.0, 3000.0, 0.0)),
}
call = calls[%r]
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    call()
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("kernel", ["resize", "blur", "gaussian_filter"])
def test_ctrl_c_stops_long_calls(kernel):
    status, out = run_child(["-c", CTRL_C % kernel], timeout=60)
    assert status == 0 and out.strip() == "interrupted", out


# Daemon threads loop in every kind of entry while the main thread leaves: CPython
# 3.12/3.13 end such a thread with a forced unwind when it asks for the GIL back, which
# must pass through the kernels' frames.
AT_EXIT = KERNELS + """
import threading, time

def loop(call):
    while True:
        call()

for call in KERNELS.values():
    threading.Thread(target=loop, args=(call,), daemon=True).start()
time.sleep(0.3)
"""


def test_interpreter_exits_cleanly_with_threads_inside_kernels():
    for attempt in range(20):
        status, out = run_child(["-c", AT_EXIT], OMP_NUM_THREADS="2")
        assert status == 0, f"attempt {attempt}: exit status {status}\n{out[-2000:]}"


def unaligned(array: np.ndarray, offset: int = 1) -> np.ndarray:
    """A copy of `array` that starts `offset` bytes into its buffer: contiguous, but
    not aligned to its element size."""
    buf = np.zeros(array.nbytes + offset, np.uint8)
    view = np.frombuffer(buf, array.dtype, count=array.size, offset=offset).reshape(array.shape)
    view[...] = array
    return view


# The team grows while a kernel runs: the kernel's per-thread scratch was sized for the
# team it started with, and no more threads than that may join it.
RESIZED_TEAM = KERNELS + """
import threading, time
from rasterkit import _cpu

_cpu.set_num_threads(1)
threading.Timer(0.05, _cpu.set_num_threads, (8,)).start()
for name in ("resize", "blur", "gaussian_filter", "to_batch"):
    for _ in range(3):
        KERNELS[name]()
    _cpu.set_num_threads(1)
    threading.Timer(0.05, _cpu.set_num_threads, (8,)).start()
time.sleep(0.1)
print("ok")
"""


def test_threads_added_while_a_kernel_runs_stay_out_of_it(tmp_path):
    script = tmp_path / "resized_team.py"
    script.write_text(RESIZED_TEAM)
    status, out = run_child([str(script)], timeout=120)
    assert status == 0 and out.strip() == "ok", out


def test_byte_misaligned_host_arrays_are_copied_and_processed():
    rng = np.random.default_rng(7)
    img = rng.random((40, 50, 3)).astype(np.float32)
    odd = unaligned(img)
    assert not odd.flags.aligned and odd.flags.c_contiguous
    M = np.array([[0.9, 0.2, 5.3], [-0.15, 1.1, -3.7]])
    ops = [
        lambda a: rk.resize(a, (31, 17)),
        lambda a: rk.affine_transform(a, M, (35, 45)),
        lambda a: rk.GaussianBlur().get(a, 7, 0.0),
        lambda a: rk.gaussian_filter(a, (1.5, 2.0, 0.0)),
        lambda a: rk.paste_blend(a, a[:20, :20], a[:20, :20, 0], M),
        lambda a: rk.paste_blend(img, a[:20, :20], a[:20, :20, 0], M),
        lambda a: rk.images_to_batch([a], size=32),
        lambda a: rk.batch_to_images(a[None].transpose(0, 3, 1, 2))[0],
    ]
    for op in ops:
        np.testing.assert_array_equal(op(odd), op(img))
    np.testing.assert_array_equal(rk.get_inverse_matrix(unaligned(M)), rk.get_inverse_matrix(M))
    preds = np.ascontiguousarray(img.transpose(2, 0, 1))[None]
    np.testing.assert_array_equal(rk.fold_class_masks(unaligned(preds), [0, 1, 2], [0, 1, 2], 3),
                                  rk.fold_class_masks(preds, [0, 1, 2], [0, 1, 2], 3))
    # The C++ entries themselves name the fault instead of calling float32 a wrong type.
    with pytest.raises(ValueError, match="aligned"):
        _cpu.resize(odd, np.empty((17, 31, 3), np.float32), 1, 1)


# The kernels written with vector types on inputs that reach every loop of their two
# builds: warps of 1 to 4 channels (packed, strided and flipped), long and short runs,
# the filters' 32-float blocks and tails, and class folds with NaNs and near ties.
BUILDS = """
import sys
import numpy as np
import rasterkit as rk

rng = np.random.default_rng(11)
out = {}
for c in (1, 2, 3, 4):
    for dtype, scale in ((np.float32, 1.0), (np.uint8, 255.0)):
        src = (rng.random((90, 130, c)) * scale).astype(dtype)
        for k, view in enumerate((src, src[:, ::-1], src[::2])):
            for m, (angle, zoom) in enumerate(((0.2, 2.4), (-1.1, 0.7), (3.0, 1.0))):
                a, b = zoom * np.cos(angle), zoom * np.sin(angle)
                M = np.array([[a, -b, 40.0], [b, a, -20.0]])
                out[f"warp{c}{np.dtype(dtype).char}{k}{m}"] = rk.affine_transform(view, M, (301, 77))
img = rng.random((70, 211, 3)).astype(np.float32)
out["filter"] = rk.gaussian_filter(img, (3.5, 2.0, 0.0))
out["filter1"] = rk.gaussian_filter(img[:, :, 0], (0.0, 6.0))
out["blur"] = rk.GaussianBlur().get(img, 15, 4.0)
logits = rng.standard_normal((2, 7, 9, 37)).astype(np.float32)
logits[0, 3, 2, :5] = np.nan
logits[1, 2] = logits[1, 5] + 2.0 ** -20
out["fold"] = rk.fold_class_masks(logits, np.arange(7), np.arange(7) % 3, 3)
np.savez(sys.argv[1], **out)
"""


def test_baseline_builds_give_the_avx2_results(tmp_path):
    """CPUs without AVX2 run the kernels' baseline builds: byte for byte the same."""
    script = tmp_path / "builds.py"
    script.write_text(BUILDS)
    for name, off in (("avx2", "0"), ("baseline", "1")):
        status, out = run_child([str(script), str(tmp_path / name)], RASTERKIT_NO_AVX2=off)
        assert status == 0, out
    avx2, baseline = np.load(tmp_path / "avx2.npz"), np.load(tmp_path / "baseline.npz")
    assert sorted(avx2.files) == sorted(baseline.files)
    for key in avx2.files:
        np.testing.assert_array_equal(avx2[key], baseline[key], err_msg=key)
