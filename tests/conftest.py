import pytest


def _cuda_available():
    try:
        import cupy

        return cupy.cuda.is_available()
    except Exception:
        return False


def _tensorrt_available():
    try:
        import tensorrt  # noqa: F401

        return True
    except Exception:
        return False


def pytest_collection_modifyitems(config, items):
    skips = {
        "gpu": (_cuda_available(), "needs CuPy and a CUDA device"),
        "tensorrt": (_tensorrt_available(), "needs TensorRT"),
    }
    for item in items:
        for mark, (available, why) in skips.items():
            if mark in item.keywords and not available:
                item.add_marker(pytest.mark.skip(reason=why))
