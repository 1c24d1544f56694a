"""Every TensorRT name the package uses (tensorrt_api.USED), and every name the tests'
TensorRT stand-ins offer, exists in TensorRT's published API with a signature that
takes the calls made. The package runs against the stand-ins in the other tests, so
between them a name TensorRT does not have cannot go unnoticed."""

import inspect
import os

import pytest

import tensorrt_api as api
from tensorrt_api import ATTR, ITER, SET, Call


@pytest.fixture(scope="module")
def stubs():
    folder = api.stubs_folder()
    if not (folder / "tensorrt_bindings" / "tensorrt.pyi").is_file():
        message = f"TensorRT's type stubs are not in {folder}: make test installs them there"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    return api.Stubs(folder)


def test_the_package_uses_only_what_tensorrt_has(stubs):
    problems = [p for cls, members in api.USED.items() for member, use in members.items()
                if (p := stubs.problem(cls, member, use))]
    assert not problems, "\n".join(problems)


def test_the_check_catches_wrong_names_and_calls(stubs):
    assert "no member" in stubs.problem("IExecutionContext", "execute_async_v2", Call(1))  # gone in TensorRT 10
    assert "no class" in stubs.problem("IExecutionContextV2", "execute_async_v3", Call(1))
    assert "accepts 2 positional" in stubs.problem("IExecutionContext", "execute_async_v3", Call(2))
    assert "accepts" in stubs.problem("IExecutionContext", "set_input_shape", Call(2, ("dims",)))
    assert "not an attribute" in stubs.problem("OnnxParser", "get_error", ATTR)
    assert "not a function" in stubs.problem("OnnxParser", "num_errors", Call(0))
    assert "read-only" in stubs.problem("INetworkDefinition", "num_inputs", SET)
    assert stubs.problem("Logger", "log", Call(2)) is None  # inherited from ILogger
    assert stubs.problem("ICudaEngine", "__iter__", ITER) is None
    assert stubs.problem("tensorrt", "nptype", Call(1)) is None


def _use(value, method):
    """How a stand-in's member would be used: an attribute, or a call with its
    required positional arguments."""
    if isinstance(value, staticmethod):
        value, method = value.__func__, False
    if isinstance(value, property) or isinstance(value, type) or not callable(value):
        return ATTR
    kinds = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    required = [p for p in inspect.signature(value).parameters.values()
                if p.kind in kinds and p.default is inspect.Parameter.empty]
    return Call(len(required) - method)


def _stand_ins():
    """(stand-in, TensorRT classes it stands for, names that are the test's own)."""
    import standins
    import test_engines

    model_trt = standins.fake_tensorrt(gpu=None)
    yield model_trt, ("tensorrt",), ()
    for name in ("Logger", "Runtime", "DataType", "TensorIOMode"):
        yield getattr(model_trt, name), (name,), ()
    for engine in (standins.FakeEngine, standins.CupyEngine):
        yield engine, ("ICudaEngine", "IExecutionContext"), ()
    for version in (10, 11):
        trt = test_engines.fake_tensorrt(version)
        yield trt, ("tensorrt",), ("log",)
        for name in ("ILogger", "IProgressMonitor", "BuilderFlag", "MemoryPoolType", "Builder", "OnnxParser"):
            yield getattr(trt, name), (name,), ()
        yield trt.ILogger.Severity, ("ILogger.Severity",), ()
        builder = trt.Builder(None)
        yield type(builder.create_network()), ("INetworkDefinition",), ()
        yield type(builder.create_builder_config()), ("IBuilderConfig",), ()
        yield type(builder.create_optimization_profile()), ("IOptimizationProfile",), ()


def test_the_stand_ins_offer_only_what_tensorrt_has(stubs):
    problems, checked = [], 0
    for stand_in, classes, own in _stand_ins():
        method = isinstance(stand_in, type)
        for name, value in vars(stand_in).items():
            if name in own or (name.startswith("__") and name not in ("__iter__", "__version__")):
                continue
            use = ITER if name == "__iter__" else _use(value, method)
            found = [stubs.problem(cls, name, use) for cls in classes]
            if None not in found:
                problems.append(f"{getattr(stand_in, '__name__', type(stand_in).__name__)}.{name}: {found}")
            checked += 1
    assert not problems, "\n".join(problems)
    assert checked > 40  # the stand-ins were found and read

