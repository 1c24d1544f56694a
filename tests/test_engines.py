import concurrent.futures
import json
import signal
import sys
import threading
import time
import types
import warnings

import pytest

from rasterkit import engines

ENGINE_BYTES = b"serialized-engine\x00\x01"


def fake_tensorrt(version, build=None, parse_errors=(), ctrl_c=False):
    """A stand-in `tensorrt` following the Python API of TensorRT 10 or 11.

    The "ONNX file" is JSON mapping input names to shapes. ``build(builder)``
    replaces what build_serialized_network does after reporting progress. With
    ``ctrl_c`` a SIGINT reaches the main thread after the first step, and the build
    goes on for up to 5 s unless the progress monitor cancels it.
    """
    trt = types.ModuleType("tensorrt")
    trt.__version__ = f"{version}.0.0"
    trt.log = types.SimpleNamespace(flags=set(), cleared=set(), pools={}, profiles=[], network_flags=None)
    log = trt.log

    class Severity:
        INTERNAL_ERROR, ERROR, WARNING, INFO, VERBOSE = range(5)

    class ILogger:
        def __init__(self):
            pass

    ILogger.Severity = Severity
    trt.ILogger = ILogger

    class IProgressMonitor:
        def __init__(self):
            pass

    trt.IProgressMonitor = IProgressMonitor
    names = ["TF32", "BF16", "FP16"] if version == 10 else ["TF32"]
    trt.BuilderFlag = types.SimpleNamespace(**{n: n for n in names})
    trt.MemoryPoolType = types.SimpleNamespace(WORKSPACE="WORKSPACE")

    class Network:
        def __init__(self):
            self.inputs = []

        @property
        def num_inputs(self):
            return len(self.inputs)

        def get_input(self, i):
            return self.inputs[i]

    class OnnxParser:
        def __init__(self, network, logger):
            self.network, self.errors = network, list(parse_errors)

        def parse_from_file(self, path):
            with open(path) as f:
                shapes = json.load(f)
            self.network.inputs = [types.SimpleNamespace(name=k, shape=tuple(v)) for k, v in shapes.items()]
            return not self.errors

        @property
        def num_errors(self):
            return len(self.errors)

        def get_error(self, i):
            return self.errors[i]

    class Config:
        progress_monitor = None

        def set_flag(self, flag):
            log.flags.add(flag)

        def clear_flag(self, flag):
            log.cleared.add(flag)

        def set_memory_pool_limit(self, pool, size):
            log.pools[pool] = size

        def add_optimization_profile(self, profile):
            log.profiles.append(profile.shapes)

    class Profile:
        def __init__(self):
            self.shapes = {}

        def set_shape(self, name, low, opt, high):
            self.shapes[name] = (tuple(low), tuple(opt), tuple(high))

    class Builder:
        def __init__(self, logger):
            self.logger = logger

        def create_network(self, flags=0):
            log.network_flags = flags
            return Network()

        def create_builder_config(self):
            return Config()

        def create_optimization_profile(self):
            return Profile()

        def build_serialized_network(self, network, config):
            # TensorRT reports progress from threads of its own while the calling thread
            # stays in its C++ code, where Python runs no signal handler: blocking SIGINT
            # on the calling thread until the build returns has the same effect.
            self.config = config
            blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
            try:
                with concurrent.futures.ThreadPoolExecutor(1) as tensorrt_threads:
                    keep_going = tensorrt_threads.submit(report_progress, config.progress_monitor).result()
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            if not keep_going:
                return None
            return build(self) if build else ENGINE_BYTES

    def report_progress(monitor):
        monitor.phase_start("Building engine", None, 2)
        monitor.phase_start("Tactic selection", "Building engine", 3)
        keep_going = monitor.step_complete("Tactic selection", 0)
        if ctrl_c:
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            deadline = time.monotonic() + 5
            while keep_going and time.monotonic() < deadline:
                time.sleep(0.01)
                keep_going = monitor.step_complete("Tactic selection", 1)
            assert not keep_going, "Ctrl-C did not cancel the build"
        monitor.phase_finish("Tactic selection")
        monitor.phase_finish("Building engine")
        return keep_going

    trt.Builder, trt.OnnxParser = Builder, OnnxParser
    return trt


@pytest.fixture(autouse=True)
def default_ctrl_c():
    """Python's own Ctrl-C handler, whatever the runner inherited (CI may start us with SIGINT ignored)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def model(tmp_path):
    path = tmp_path / "model.onnx"
    path.write_text(json.dumps({"target": [-1, 3, -1, -1], "source": [-1, 512]}))
    return path


def use(monkeypatch, trt):
    monkeypatch.setattr(engines, "trt", trt)
    return trt


def leftovers(directory):
    return sorted(p.name for p in directory.iterdir() if p.suffix != ".onnx")


@pytest.mark.parametrize(
    "version, precision, flags, cleared, warns",
    [
        (10, "bf16", {"BF16"}, set(), False),
        (10, "fp16", {"FP16"}, set(), False),
        (10, "tf32", {"TF32"}, set(), False),
        (10, "fp32", set(), {"TF32"}, False),
        (11, "bf16", set(), set(), True),
        (11, "fp16", set(), set(), True),
        (11, "tf32", {"TF32"}, set(), False),
        (11, "fp32", set(), {"TF32"}, False),
    ],
)
def test_dynamic_build_writes_engine_with_profile_and_precision(
    monkeypatch, capsys, model, version, precision, flags, cleared, warns
):
    trt = use(monkeypatch, fake_tensorrt(version))
    target = model.with_suffix(".trt")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = engines.onnx_to_trt_dynamic_shape(
            str(model), str(target), precision=precision, batch_range=(1, 4, 32),
            spatial_range=(256, 256, 512), workspace=2147483648,
        )
    assert any("strongly typed" in str(w.message) for w in caught) == warns
    assert result == str(target)
    assert target.read_bytes() == ENGINE_BYTES
    assert leftovers(model.parent) == ["model.trt"]
    assert trt.log.network_flags == 0
    assert (trt.log.flags, trt.log.cleared) == (flags, cleared)
    assert trt.log.pools == {"WORKSPACE": 2147483648}
    assert trt.log.profiles == [
        {
            "target": ((1, 3, 256, 256), (4, 3, 256, 256), (32, 3, 512, 512)),
            "source": ((1, 512), (4, 512), (32, 512)),
        }
    ]
    err = capsys.readouterr().err
    assert "Building engine" in err and "Tactic selection" in err and "engine written to" in err


def test_fixed_shape_profile_and_default_workspace(monkeypatch, model):
    trt = use(monkeypatch, fake_tensorrt(10))
    target = model.parent / "model.trt"
    engines.onnx_to_trt_fixed_shape(
        onnx_path=str(model), engine_path=str(target), input_shape=(2, 3, 512, 384), precision="tf32"
    )
    assert trt.log.profiles == [{"target": ((2, 3, 512, 384),) * 3, "source": ((2, 512),) * 3}]
    assert trt.log.pools == {}
    assert target.read_bytes() == ENGINE_BYTES


def test_spatial_range_defaults_to_the_models_own_size(monkeypatch, tmp_path):
    trt = use(monkeypatch, fake_tensorrt(10))
    model = tmp_path / "m.onnx"
    model.write_text(json.dumps({"x": [-1, 3, 64, 48]}))
    engines.onnx_to_trt_dynamic_shape(str(model), str(tmp_path / "m.trt"), batch_range=(1, 2, 8))
    assert trt.log.profiles == [{"x": ((1, 3, 64, 48), (2, 3, 64, 48), (8, 3, 64, 48))}]

    model.write_text(json.dumps({"x": [-1, 3, -1, -1]}))
    with pytest.raises(ValueError, match="dynamic height"):
        engines.onnx_to_trt_dynamic_shape(str(model), str(tmp_path / "m.trt"))


def log_error_and_fail(builder):
    builder.logger.log(builder.logger.Severity.ERROR, "out of memory during tactic selection")
    return None


def raise_interrupt(builder):
    raise KeyboardInterrupt


def raise_error(builder):
    raise ValueError("bad tactic")


@pytest.mark.parametrize(
    "options, error, message",
    [
        (
            {"parse_errors": ["In node 3 (Conv): INVALID_NODE: bad weights"]},
            RuntimeError,
            r"(?s)could not parse.*In node 3 \(Conv\): INVALID_NODE: bad weights",
        ),
        ({"build": log_error_and_fail}, RuntimeError, "(?s)failed to build.*out of memory during tactic selection"),
        ({"build": raise_interrupt}, KeyboardInterrupt, None),
        ({"build": raise_error}, ValueError, "^bad tactic$"),
        ({"ctrl_c": True}, KeyboardInterrupt, "cancelled"),
    ],
)
def test_failed_or_interrupted_build_leaves_no_file(monkeypatch, model, options, error, message):
    use(monkeypatch, fake_tensorrt(10, **options))
    with pytest.raises(error, match=message):
        engines.onnx_to_trt_dynamic_shape(str(model), str(model.with_suffix(".trt")), spatial_range=(8, 8, 8))
    assert leftovers(model.parent) == []
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_interrupt_while_writing_keeps_previous_engine(monkeypatch, model):
    use(monkeypatch, fake_tensorrt(10))
    target = model.with_suffix(".trt")
    target.write_bytes(b"previous engine")

    def interrupted_fsync(fd):
        raise KeyboardInterrupt

    monkeypatch.setattr(engines.os, "fsync", interrupted_fsync)
    with pytest.raises(KeyboardInterrupt):
        engines.onnx_to_trt_dynamic_shape(str(model), str(target), spatial_range=(8, 8, 8))
    assert leftovers(model.parent) == ["model.trt"]
    assert target.read_bytes() == b"previous engine"


def test_missing_tensorrt_names_package_and_extra(monkeypatch, model):
    monkeypatch.setattr(engines, "trt", None)
    monkeypatch.setitem(sys.modules, "tensorrt", None)
    with pytest.raises(ImportError, match=r"'tensorrt'.*kestrel\[tensorrt\]"):
        engines.onnx_to_trt_dynamic_shape(str(model), str(model.with_suffix(".trt")), spatial_range=(8, 8, 8))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"precision": "int8"}, "precision"),
        ({"batch_range": (4, 2, 8)}, "batch_range"),
        ({"batch_range": (1, 1)}, "batch_range"),
        ({"spatial_range": (0, 8, 8)}, "spatial_range"),
        ({"spatial_range": (True, 8, 8)}, "spatial_range"),
        ({"workspace": -1}, "workspace"),
    ],
)
def test_bad_arguments_are_refused_before_building(monkeypatch, model, kwargs, message):
    use(monkeypatch, fake_tensorrt(10))
    kwargs.setdefault("spatial_range", (8, 8, 8))
    with pytest.raises(ValueError, match=message):
        engines.onnx_to_trt_dynamic_shape(str(model), str(model.with_suffix(".trt")), **kwargs)
    assert leftovers(model.parent) == []


@pytest.mark.tensorrt
@pytest.mark.parametrize("precision", ["bf16", "tf32"])
def test_real_engine_builds_and_keeps_float32_io(tmp_path, precision):
    import numpy as np
    import onnx
    from onnx import TensorProto, helper

    import tensorrt

    scale = helper.make_tensor("scale", TensorProto.FLOAT, [1, 3, 1, 1], [0.5, 1.0, 2.0])
    graph = helper.make_graph(
        [helper.make_node("Mul", ["x", "scale"], ["m"]), helper.make_node("Relu", ["m"], ["y"])],
        "tiny",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        [scale],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    onnx_path, trt_path = tmp_path / "tiny.onnx", tmp_path / "tiny.trt"
    onnx.save(model, str(onnx_path))

    engines.onnx_to_trt_dynamic_shape(
        str(onnx_path), str(trt_path), precision=precision, batch_range=(1, 2, 4), spatial_range=(16, 16, 32)
    )
    assert leftovers(tmp_path) == ["tiny.trt"]
    runtime = tensorrt.Runtime(tensorrt.Logger(tensorrt.Logger.WARNING))
    engine = runtime.deserialize_cuda_engine(trt_path.read_bytes())
    assert engine is not None
    for name in ("x", "y"):
        assert tensorrt.nptype(engine.get_tensor_dtype(name)) == np.float32
    profile = [tuple(s) for s in engine.get_tensor_profile_shape("x", 0)]
    assert profile == [(1, 3, 16, 16), (2, 3, 16, 16), (4, 3, 32, 32)]
