"""The emulated GPU refuses what a GPU would run wrong: kernel arguments that do not
match the kernel's parameters, and work on streams (or host reads) that nothing puts
in order. The gpu tests rely on it for that, so these guard its strictness."""

import numpy as np
import pytest

import rasterkit as rk

pytestmark = pytest.mark.gpu


@pytest.fixture
def cp():
    import cupy

    if not getattr(cupy, "_emulated", False):
        pytest.skip("checks of the emulated GPU (--emulated-gpu)")
    return cupy


@pytest.fixture
def emu(cp):
    from cupy import _emu

    return _emu


KERNEL = r"""
extern "C" __global__ void scale(const float* src, float* dst, long long n, float factor) {
    for (long long i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += gridDim.x * blockDim.x)
        dst[i] = src[i] * factor;
}
"""


def test_kernel_arguments_must_match_the_parameters(cp, emu):
    scale = cp.RawModule(code=KERNEL, options=("--std=c++17",)).get_function("scale")
    src = cp.arange(10, dtype=cp.float32)
    dst = cp.empty_like(src)
    scale((1,), (32,), (src, dst, np.int64(10), np.float32(2.0)))
    cp.testing.assert_array_equal(dst, np.arange(10) * 2.0)
    wrong = [
        ((src.astype(cp.float64), dst, np.int64(10), np.float32(2.0)), "floating32"),  # pointee type
        ((src, dst, np.int32(10), np.float32(2.0)), "integer64"),  # 4 bytes for a long long
        ((src, dst, 10, 2.0), "floating32"),  # a Python float goes as a double
        ((src, dst, np.int64(10)), "3 arguments for 4"),
    ]
    for args, message in wrong:
        with pytest.raises(emu.KernelArgumentError, match=message):
            scale((1,), (32,), args)
    with pytest.raises(cp.cuda.driver.CUDADriverError, match="launch dimensions"):
        scale((1,), (2048,), (src, dst, np.int64(10), np.float32(2.0)))


def test_a_stream_waits_for_what_another_stream_wrote(cp, emu):
    image = cp.asarray(np.random.default_rng(0).random((16, 16, 3), dtype=np.float32))  # current stream
    side = cp.cuda.Stream(non_blocking=True)
    with side, pytest.raises(emu.StreamOrderError, match="reads an array that stream 0x0 of device 0 wrote"):
        rk.resize(image, (8, 8))  # the kernel runs on `side`
    written = cp.cuda.Event()
    written.record()
    side.wait_event(written)
    with side:
        small = rk.resize(image, (8, 8))
    with pytest.raises(emu.StreamOrderError, match="reads an array"):
        cp.asnumpy(small)  # on the current stream, which never waited for `side`
    side.synchronize()
    assert cp.asnumpy(small).shape == (8, 8, 3)


def test_a_stream_waits_before_overwriting_what_another_stream_reads(cp, emu):
    image = cp.ones((16, 16, 3), cp.float32)
    side = cp.cuda.Stream()
    done = cp.cuda.Event()
    done.record()
    side.wait_event(done)
    with side:
        total = image.sum()
    with pytest.raises(emu.StreamOrderError, match="writes an array that stream 0x[0-9a-f]+ of device 0 read"):
        image[...] = 0  # the sum on `side` may not have read it yet
    side.record(done)
    cp.cuda.get_current_stream().wait_event(done)
    image[...] = 0
    done.synchronize()
    assert float(total) == 16 * 16 * 3


def test_waiting_on_an_event_never_recorded_is_refused(cp, emu):
    side = cp.cuda.Stream()
    with pytest.raises(emu.StreamOrderError, match="never recorded"):
        side.wait_event(cp.cuda.Event())
    with pytest.raises(emu.StreamOrderError, match="never recorded"):
        cp.cuda.Event().synchronize()
