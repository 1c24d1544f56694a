import os
import pathlib
import sys

import pytest

EMULATED_CUPY = pathlib.Path(__file__).parent / "emulated_cupy"


def pytest_addoption(parser):
    parser.addoption(
        "--emulated-gpu", action="store_true",
        help="run on the host emulation of CuPy in tests/emulated_cupy (two emulated GPUs unless "
             "EMU_CUPY_DEVICES says otherwise), so that the gpu tests run without a GPU",
    )


def pytest_configure(config):
    if not config.getoption("--emulated-gpu"):
        return
    # The modules bind `cp` when they are imported, so the emulation must come first
    # before anything imports CuPy; subprocesses of the tests get it too.
    if "cupy" in sys.modules:
        raise pytest.UsageError("--emulated-gpu: CuPy was imported before the emulation could be put first")
    os.environ.setdefault("EMU_CUPY_DEVICES", "2")
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(EMULATED_CUPY), os.environ.get("PYTHONPATH")]))
    sys.path.insert(0, str(EMULATED_CUPY))


def _cuda_available():
    try:
        import cupy

        return cupy.cuda.is_available()
    except Exception:
        return False


def _tensorrt_available():
    try:
        import tensorrt
    except Exception:
        return False
    # A folder of type stubs imports as an empty namespace package.
    return getattr(tensorrt, "__file__", None) is not None


def pytest_report_header(config):
    if not _cuda_available():
        return "GPU: none, gpu tests skipped"
    import cupy

    if getattr(cupy, "_emulated", False):
        return f"GPU: emulated CuPy, {cupy.cuda.runtime.getDeviceCount()} device(s)"
    name = cupy.cuda.runtime.getDeviceProperties(0)["name"].decode()
    return f"GPU: CuPy {cupy.__version__}, {cupy.cuda.runtime.getDeviceCount()} x {name}"


def pytest_collection_modifyitems(config, items):
    skips = {
        "gpu": (_cuda_available(), "needs CuPy and a CUDA device"),
        "tensorrt": (_tensorrt_available(), "needs TensorRT"),
    }
    for item in items:
        for mark, (available, why) in skips.items():
            if mark in item.keywords and not available:
                item.add_marker(pytest.mark.skip(reason=why))
