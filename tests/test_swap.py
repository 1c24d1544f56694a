import collections
import inspect
import subprocess
import sys
import types
import warnings

import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

from kestrel import swap

onnxruntime = pytest.importorskip("onnxruntime")


# ---------------------------------------------------------------- tiny swap models


def swap_model_bytes(height=256, width=256, outputs=1):
    """Two inputs (target N x 3 x H x W, latent rows x 512), output target + row mean.

    Each image gets the mean of its latent row added, so the output shows which row
    (and which weighting) the model received for every image.
    """
    target = helper.make_tensor_value_info("target", TensorProto.FLOAT, ["n", 3, height, width])
    source = helper.make_tensor_value_info("source", TensorProto.FLOAT, ["rows", 512])
    nodes = [
        helper.make_node("ReduceMean", ["source"], ["row_mean"], axes=[1], keepdims=1),
        helper.make_node("Reshape", ["row_mean", "shape4"], ["bias"]),
        helper.make_node("Add", ["target", "bias"], ["output"]),
    ]
    outs = [helper.make_tensor_value_info("output", TensorProto.FLOAT, None)]
    if outputs == 2:
        nodes.append(helper.make_node("Identity", ["bias"], ["extra"]))
        outs.append(helper.make_tensor_value_info("extra", TensorProto.FLOAT, None))
    shape4 = numpy_helper.from_array(np.array([-1, 1, 1, 1], np.int64), "shape4")
    graph = helper.make_graph(nodes, "swap", [target, source], outs, [shape4])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=9)
    return model.SerializeToString()


@pytest.fixture(scope="module")
def model_bytes():
    return swap_model_bytes()


@pytest.fixture
def model_file(tmp_path, model_bytes):
    path = tmp_path / "swap.onnx"
    path.write_bytes(model_bytes)
    return str(path)


def crops(n, size=256, seed=0):
    rng = np.random.default_rng(seed)
    return [rng.random((size, size, 3), dtype=np.float32) for _ in range(n)]


def latent_with_mean(value, shape=(512,)):
    return np.full(shape, value, np.float32)


class Recorder(swap.BaseFaceSwap):
    """Returns its batch unchanged and records what `forward` received."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def forward(self, batch, latent):
        self.calls.append((batch.shape[0], np.array(latent)))
        return batch


# ---------------------------------------------------------------- module and interface


def test_module_imports_without_optional_packages():
    code = (
        "import sys\n"
        "for name in ('cupy', 'onnxruntime', 'tensorrt'): sys.modules[name] = None\n"
        "from kestrel import swap\n"
        "assert swap.cp is None and swap.onnxruntime is None and swap.trt is None\n"
        "try:\n"
        "    swap.OnnxFaceSwap(model_bytes=b'x', device='cpu')\n"
        "except ImportError as e:\n"
        "    assert \"'cpu'\" in str(e) and \"'cuda'\" in str(e), e\n"
        "else:\n"
        "    raise SystemExit('no ImportError')\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("method, signature", [
    (swap.BaseFaceSwap.__init__, "(self, model_path=None, model_bytes=None, device='cuda')"),
    (swap.BaseFaceSwap.get, "(self, target_image, latent, weight=1.0)"),
    (swap.BaseFaceSwap.batch_get, "(self, target_images, latent, weight=1.0, max_batch=16)"),
    (swap.OnnxFaceSwap.initialize, "(self, model_bytes, device, device_id='0')"),
    (swap.TrtFaceSwap.initialize, "(self, model_bytes, device, device_id)"),
])
def test_published_signatures(method, signature):
    assert str(inspect.signature(method)) == signature


def test_class_docstrings():
    assert swap.BaseFaceSwap.__doc__.startswith("\n    Base class for face swapping models.\n")
    assert swap.OnnxFaceSwap.__doc__ is None
    assert swap.TrtFaceSwap.__doc__ == "Face swapper using TensorRT for high-performance face identity transfer."


def test_base_constructor_sets_constants():
    model = swap.BaseFaceSwap("m.onnx", None, "cuda:1")
    assert vars(model) == {
        "model_path": "m.onnx", "model_bytes": None, "device": "cuda:1", "device_id": "1",
        "input_mean": 0.0, "input_std": 1.0, "patch": 256, "input_size": (256, 256)}
    with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
        model.get(crops(1)[0], latent_with_mean(0.0))


@pytest.mark.parametrize("call, message", [
    (lambda: swap.BaseFaceSwap(model_path=b"m"),
     "Argument 'model_path' has incorrect type (expected str, got bytes)"),
    (lambda: swap.OnnxFaceSwap(model_bytes=bytearray(b"m")),
     "Argument 'model_bytes' has incorrect type (expected bytes, got bytearray)"),
    (lambda: swap.TrtFaceSwap(device=None),
     "Argument 'device' has incorrect type (expected str, got NoneType)"),
    (lambda: Recorder().batch_get(tuple(crops(1)), latent_with_mean(0.0)),
     "Argument 'target_images' has incorrect type (expected list, got tuple)"),
    (lambda: Recorder().batch_get(crops(1), latent_with_mean(0.0), max_batch=True),
     "Argument 'max_batch' has incorrect type (expected int, got bool)"),
    (lambda: Recorder().get(crops(1)[0]),
     "get() takes at least 3 positional arguments (2 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("shape", [(512,), (1, 512)])
@pytest.mark.parametrize("weight", [1.0, 2.0, 3])
def test_get_weights_the_callers_latent_in_place(shape, weight):
    model = Recorder()
    latent = latent_with_mean(0.25, shape)
    image = crops(1)[0]
    out = model.get(image, latent, weight)
    np.testing.assert_array_equal(latent, np.full(shape, 0.25 * weight, np.float32))
    (count, received), = model.calls
    assert count == 1 and received.shape == (1, 512) and received.dtype == np.float32
    np.testing.assert_array_equal(received[0], 0.25 * weight)
    np.testing.assert_allclose(out, image)


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("weight", [1.0, 2.0])
@pytest.mark.parametrize("make_latent, error", [
    (lambda: [0.25] * 512, TypeError),  # get takes one array, never a list
    (lambda: np.zeros(512, np.int64), TypeError),  # the weighted values cannot go back into integers
    (lambda: read_only(np.zeros(512, np.float32)), ValueError),
], ids=["list", "integer", "read-only"])
def test_get_weights_the_latent_whatever_the_weight(weight, make_latent, error):
    model = Recorder()
    with pytest.raises(error):
        model.get(crops(1, size=8)[0], make_latent(), weight)
    assert model.calls == []


@pytest.mark.parametrize("n, max_batch, sizes", [
    (1, 16, [1]), (16, 16, [16]), (17, 16, [16, 1]), (40, 16, [16, 16, 8]), (5, 1, [1] * 5)])
def test_batch_get_splits_and_keeps_order(n, max_batch, sizes):
    model = Recorder()
    images = crops(n, size=8)
    model.patch = 8
    out = model.batch_get(images, latent_with_mean(0.5), max_batch=max_batch)
    assert isinstance(out, list) and len(out) == n
    for got, want in zip(out, images):
        np.testing.assert_allclose(got, want)
    assert [c for c, _ in model.calls] == sizes
    for count, rows in model.calls:  # one latent row serves every image
        np.testing.assert_array_equal(rows, np.full((count, 512), 0.5, np.float32))


def test_batch_get_latent_lists_and_rows_per_sub_batch():
    model = Recorder()
    model.patch = 8
    first, second = latent_with_mean(1.0), latent_with_mean(2.0)
    model.batch_get(crops(2, size=8), [first, second], weight=2.0)
    np.testing.assert_array_equal(model.calls[0][1][:, 0], [2.0, 4.0])
    assert first[0] == 2.0 and second[0] == 4.0  # each list element weighted in place

    # One row per image: each sub-batch takes the rows of its own images.
    model.calls.clear()
    per_image = np.arange(5, dtype=np.float32)[:, None].repeat(512, 1)
    model.batch_get(crops(5, size=8), per_image, max_batch=2)
    assert [rows[:, 0].tolist() for _, rows in model.calls] == [[0, 1], [2, 3], [4]]

    # Fewer rows than images: sub-batch `start` takes row start // max_batch.
    model.calls.clear()
    model.batch_get(crops(5, size=8), per_image[:3], max_batch=2)
    assert [rows[:, 0].tolist() for _, rows in model.calls] == [[0], [1], [2]]
    with pytest.raises(IndexError):
        model.batch_get(crops(5, size=8), per_image[:2], max_batch=2)


@pytest.mark.parametrize("max_batch", [0, -3])
def test_batch_get_refuses_max_batch_below_one(max_batch):
    with pytest.raises(ValueError, match="max_batch must be at least 1"):
        Recorder().batch_get(crops(1), latent_with_mean(0.0), max_batch=max_batch)


def test_batch_get_requires_a_list_from_the_image_library(monkeypatch):
    rk = swap.rk
    monkeypatch.setattr(swap, "rk", types.SimpleNamespace(
        images_to_batch=rk.images_to_batch, batch_to_images=lambda *a, **k: tuple(rk.batch_to_images(*a, **k))))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        Recorder().batch_get(crops(1), latent_with_mean(0.0))


# ---------------------------------------------------------------- OnnxFaceSwap


@pytest.fixture
def no_files(monkeypatch):
    def refuse(*args):
        raise AssertionError(f"file system touched: {args}")
    monkeypatch.setattr(swap, "open", refuse, raising=False)
    monkeypatch.setattr(swap, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=refuse)))


def test_onnx_swaps_numpy_crops_on_the_cpu(model_bytes, no_files):
    model = swap.OnnxFaceSwap(model_bytes=model_bytes, device="cpu")
    assert model.session.get_providers() == ["CPUExecutionProvider"]
    assert (model.input_names, model.output_names, model.input_size) == (["target", "source"], ["output"], (256, 256))
    images = crops(3)
    out = model.batch_get(images, [latent_with_mean(v) for v in (0.1, 0.2, 0.3)])
    for image, got, bias in zip(images, out, (0.1, 0.2, 0.3)):
        assert type(got) is np.ndarray
        np.testing.assert_allclose(got, image + bias, atol=1e-6)
    single = model.get(images[0], latent_with_mean(0.5), weight=2.0)
    np.testing.assert_allclose(single, images[0] + 1.0, atol=1e-6)

    model.input_mean, model.input_std = 0.5, 2.0
    batch = swap.rk.images_to_batch(images, std=1.0, size=256, mean=0.0, swap_rb=True, layout="HWC")
    pred = model.forward(batch, np.zeros((3, 512), np.float32))
    assert pred.shape == (3, 3, 256, 256)
    np.testing.assert_allclose(pred, (batch - 0.5) / 2.0, atol=1e-6)


def test_onnx_reads_the_file_once_and_prefers_bytes(monkeypatch, model_file, model_bytes):
    opened = []
    monkeypatch.setattr(swap, "open", lambda *a: opened.append(a) or open(*a), raising=False)
    model = swap.OnnxFaceSwap(model_path=model_file, device="cpu")
    assert opened == [(model_file, "rb")] and model.model_bytes == model_bytes
    opened.clear()
    swap.OnnxFaceSwap(model_path=model_file + ".missing", model_bytes=model_bytes, device="cpu")
    assert opened == []
    with pytest.raises(AssertionError, match="^model_bytes must be provided if model_path is not specified$"):
        swap.OnnxFaceSwap(device="cpu")


class FakeOrt:
    """ONNX Runtime stand-in recording the session arguments; sessions run on the CPU.
    Older ONNX Runtime releases have no preload_dlls."""

    SessionOptions = onnxruntime.SessionOptions

    def __init__(self, preload=True):
        self.sessions, self.preloads = [], 0
        if preload:
            self.preload_dlls = self.count_preload

    def count_preload(self):
        self.preloads += 1

    def InferenceSession(self, model, *, sess_options, providers, provider_options):
        self.sessions.append((type(model), sess_options, providers, provider_options))
        return onnxruntime.InferenceSession(model, sess_options, providers=["CPUExecutionProvider"])


@pytest.mark.parametrize("device, device_id, providers, options", [
    ("cpu", "0", ["CPUExecutionProvider"], [{}]),
    ("CUDA", "0", ["CPUExecutionProvider"], [{}]),
    ("cuda", "0", ["CUDAExecutionProvider"], [{"device_id": "0"}]),
    ("cuda:1", "1", ["CUDAExecutionProvider"], [{"device_id": "1"}]),
])
def test_onnx_session_settings(monkeypatch, model_bytes, device, device_id, providers, options):
    fake = FakeOrt()
    monkeypatch.setattr(swap, "onnxruntime", fake)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = swap.OnnxFaceSwap(model_bytes=model_bytes, device=device)
    (model_type, opts, got_providers, got_options), = fake.sessions
    assert (model_type, got_providers, got_options, fake.preloads) == (bytes, providers, options, 1)
    assert (opts.log_severity_level, opts.log_verbosity_level) == (4, 4)
    # The session fell back to the CPU: that must not go unnoticed when CUDA was asked for.
    fallback = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(fallback) == ("CUDA" in providers[0])
    if fallback:
        assert "CPUExecutionProvider" in str(fallback[0].message)
    with pytest.warns(RuntimeWarning):
        model.initialize(model_bytes, "cuda", "3")
    assert fake.sessions[-1][3] == [{"device_id": "3"}]


def test_onnx_without_preload_dlls(monkeypatch, model_bytes):
    fake = FakeOrt(preload=False)
    monkeypatch.setattr(swap, "onnxruntime", fake)
    model = swap.OnnxFaceSwap(model_bytes=model_bytes, device="cpu")
    assert len(fake.sessions) == 1 and model.output_names == ["output"]


@pytest.mark.parametrize("height, width, size", [(128, 256, (256, 128)), ("h", "w", (256, 256))])
def test_onnx_input_size_from_the_model(height, width, size):
    model = swap.OnnxFaceSwap(model_bytes=swap_model_bytes(height, width), device="cpu")
    assert (model.input_size, model.patch) == (size, 256)
    model.forward = lambda batch, latent: batch  # only the resize targets matter here
    assert model.get(crops(1, 64)[0], latent_with_mean(0.0)).shape == (size[1], size[0], 3)
    assert model.batch_get(crops(1, 64), latent_with_mean(0.0))[0].shape == (256, 256, 3)


def test_onnx_requires_one_output():
    with pytest.raises(AssertionError):
        swap.OnnxFaceSwap(model_bytes=swap_model_bytes(outputs=2), device="cpu")


def test_onnx_without_onnxruntime_names_the_extras(monkeypatch, no_files):
    monkeypatch.setattr(swap, "onnxruntime", None)
    with pytest.raises(ImportError, match=r"'cpu' extra .*'cuda' extra"):
        swap.OnnxFaceSwap(model_path="m.onnx")


@pytest.mark.gpu
def test_onnx_cupy_crops_come_back_as_cupy(model_bytes):
    import cupy as cp

    model = swap.OnnxFaceSwap(model_bytes=model_bytes, device="cpu")
    images = [cp.asarray(c) for c in crops(2)]
    out = model.batch_get(images, cp.full((512,), 0.25, cp.float32))
    assert all(isinstance(o, cp.ndarray) for o in out)
    cp.testing.assert_allclose(out[1], images[1] + 0.25, atol=1e-5)


# ---------------------------------------------------------------- TrtFaceSwap stand-ins


class DeviceArray(np.ndarray):
    """A NumPy array posing as a device buffer: `data.ptr` is its address. Writes into a
    buffer of FakeGpu.empty are logged with the stream they are issued on."""

    data = property(lambda self: types.SimpleNamespace(ptr=self.ctypes.data))

    def written(self, op):
        gpu = getattr(self, "gpu", None)  # arrays derived from a buffer have none
        if gpu is not None:
            gpu.log.append((op, self.shape, gpu.current))

    def __setitem__(self, key, value):
        self.written("fill")
        super().__setitem__(key, value)

    def __isub__(self, other):
        self.written("-=")
        return super().__isub__(other)

    def __itruediv__(self, other):
        self.written("/=")
        return super().__itruediv__(other)


class FakeStream:
    """The engine's stream; `with stream:` makes it the current one."""

    ptr = 77

    def __init__(self, gpu):
        self.gpu, self.outer = gpu, []

    def __enter__(self):
        self.outer.append(self.gpu.current)
        self.gpu.current = "engine stream"
        return self

    def __exit__(self, *exc):
        self.gpu.current = self.outer.pop()

    def wait_event(self, event):
        self.gpu.log.append("wait")

    def synchronize(self):
        self.gpu.log.append("sync")


class FakeDevice:
    """Entering logs ("device", ordinal), leaving "device left": GPU work logged between
    the two ran in the device context."""

    def __init__(self, log, ordinal):
        self.log, self.ordinal = log, ordinal

    def __enter__(self):
        self.log.append(("device", self.ordinal))
        return self

    def __exit__(self, *exc):
        self.log.append("device left")


class FakeGpu:
    """CuPy as TrtFaceSwap uses it, on NumPy; `log` records allocations, bindings, buffer
    writes and stream work, each with the stream it was issued on where that matters."""

    ndarray, float32 = np.ndarray, np.float32
    asarray = asnumpy = staticmethod(np.asarray)

    def __init__(self):
        self.log, self.buffers, self.current = [], {}, "caller stream"
        say = self.log.append
        stream = FakeStream(self)
        event = types.SimpleNamespace(record=lambda on: say(("record", on)))
        self.cuda = types.SimpleNamespace(Stream=lambda: stream, Event=lambda disable_timing: event,
                                          get_current_stream=lambda: self.current,
                                          Device=lambda ordinal: FakeDevice(self.log, ordinal))

    def empty(self, shape, dtype):
        buf = np.empty(shape, dtype).view(DeviceArray)
        buf.gpu = self
        self.buffers[buf.ctypes.data] = buf
        self.log.append(("alloc", tuple(shape)))
        return buf

    def copy(self, array):
        self.log.append(("copy", array.shape, self.current))
        return np.array(array)


# The latent comes first: bindings are told apart by their number of dimensions.
TENSORS = [("latent", "in", (-1, 512)), ("target", "in", (-1, 3, 256, 256)), ("output", "out", (-1, 3, 256, 256))]


class FakeEngine:
    """Engine and execution context in one. Runs output = target + row mean (upsampled
    when the output is larger), reading and writing the bound buffers."""

    def __init__(self, gpu, tensors=TENSORS, fail=False, dtypes=None):
        self.gpu, self.fail, self.shapes, self.addresses = gpu, fail, {}, {}
        self.dtypes = dtypes or {}
        self.modes = {name: mode for name, mode, _ in tensors}
        self.declared = {name: shape for name, _, shape in tensors}

    def __iter__(self):
        return iter(self.modes)

    def get_tensor_mode(self, name):
        return self.modes[name]

    def get_tensor_dtype(self, name):
        return self.dtypes.get(name, "DataType.FLOAT")

    def create_execution_context(self):
        return self

    def get_tensor_shape(self, name):  # dynamic until the target shape is set
        n = self.shapes.get("target", (-1,))[0]
        return tuple(n if d < 0 else d for d in self.declared[name])

    def set_input_shape(self, name, shape):
        self.shapes[name] = shape
        return shape[0] <= 32

    def set_tensor_address(self, name, ptr):
        self.addresses[name] = ptr
        self.gpu.log.append(("bind", name))
        return True

    def execute_async_v3(self, stream_ptr):
        self.gpu.log.append(("execute", stream_ptr))
        buf = {name: self.gpu.buffers[ptr] for name, ptr in self.addresses.items()}
        scale = buf["output"].shape[2] // buf["target"].shape[2]
        swapped = buf["target"] + buf["latent"].mean(axis=1)[:, None, None, None]
        np.copyto(buf["output"], swapped.repeat(scale, 2).repeat(scale, 3))  # the engine's own write
        return not self.fail


class CupyEngine(FakeEngine):
    """FakeEngine on CuPy: execute_async_v3 reads the bound inputs and writes the bound
    output on the stream it is given, as TensorRT does. `buffers` (set by the test)
    returns the arrays that addresses may be bound to."""

    def __init__(self, cp, **engine_args):
        super().__init__(types.SimpleNamespace(log=[]), **engine_args)
        self.cp = cp

    def execute_async_v3(self, stream_ptr):
        bound = {name: next(b for b in self.buffers() if b is not None and b.data.ptr == ptr)
                 for name, ptr in self.addresses.items()}
        with self.cp.cuda.ExternalStream(stream_ptr):
            bound["output"][...] = bound["target"] + bound["latent"].mean(axis=1)[:, None, None, None]
        return not self.fail


def fake_tensorrt(gpu, engine=FakeEngine, **engine_args):
    class Runtime:
        def __init__(self, logger):
            assert logger.level == "warning"

        def deserialize_cuda_engine(self, data):
            return engine(gpu, **engine_args) if data == b"engine" else None

    logger = type("Logger", (), {"WARNING": "warning", "__init__": lambda self, level: setattr(self, "level", level)})
    def nptype(dtype):  # TensorRT's has no NumPy type for BF16, FP8 or FP4
        if dtype != "DataType.FLOAT":
            raise TypeError(f"Could not resolve TensorRT datatype to an equivalent numpy datatype. {dtype}")
        return np.float32

    return types.SimpleNamespace(Logger=logger, Runtime=Runtime, nptype=nptype,
                                 DataType=types.SimpleNamespace(FLOAT="DataType.FLOAT"),
                                 TensorIOMode=types.SimpleNamespace(INPUT="in", OUTPUT="out"))


@pytest.fixture
def gpu(monkeypatch):
    gpu = FakeGpu()
    monkeypatch.setattr(swap, "cp", gpu)
    monkeypatch.setattr(swap, "trt", fake_tensorrt(gpu))
    return gpu


class RecordingTrt(swap.TrtFaceSwap):
    def initialize(self, model_bytes, device, device_id):
        self.loaded = (model_bytes, device, device_id)


@pytest.fixture
def builder(monkeypatch):
    """Stand-in for rk.onnx_to_trt_dynamic_shape: records the call, writes the engine."""
    calls = []

    def build(onnx_path, trt_path, /, *, precision, batch_range, spatial_range):
        calls.append((onnx_path, trt_path, {"precision": precision, "batch_range": batch_range,
                                            "spatial_range": spatial_range}))
        with open(trt_path, "wb") as f:
            f.write(b"engine")

    monkeypatch.setattr(swap.rk, "onnx_to_trt_dynamic_shape", build, raising=False)
    return calls


@pytest.mark.parametrize("given, existing, onnx, engine", [
    ("m/swap.onnx", ["m/swap.onnx"], "m/swap.onnx", "m/swap.trt"),
    ("m/swap.trt", ["m/swap.onnx"], "m/swap.onnx", "m/swap.trt"),
    ("m.onnx/swap.onnx", ["m.onnx/swap.onnx", "m.trt/"], "m.onnx/swap.onnx", "m.trt/swap.trt"),
    ("m/swap.onnx", ["m/swap.onnx", "m/swap.trt"], None, "m/swap.trt"),
])
def test_trt_engine_path_logic(tmp_path, monkeypatch, gpu, builder, given, existing, onnx, engine):
    monkeypatch.chdir(tmp_path)
    for name in existing:
        if name.endswith("/"):
            (tmp_path / name).mkdir()
        else:
            (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / name).write_bytes(b"engine" if name.endswith(".trt") else b"onnx")
    model = RecordingTrt(model_path=given, device="cuda:2")
    expected = [(onnx, engine, {"precision": "bf16", "batch_range": (1, 1, 32),
                                "spatial_range": (256, 256, 256)})] if onnx else []
    assert builder == expected
    assert (model.model_path, model.model_bytes, model.loaded) == (engine, b"engine", (b"engine", "cuda:2", "2"))
    RecordingTrt(model_path=given)  # the cached engine is used, never rebuilt
    assert len(builder) == len(expected)


def test_trt_missing_files(tmp_path, monkeypatch, gpu):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(swap.rk, "onnx_to_trt_dynamic_shape", lambda *a, **k: None, raising=False)
    with pytest.raises(FileNotFoundError) as info:
        RecordingTrt(model_path="m/swap.onnx")
    assert str(info.value) == "Model file not found: onnx: m/swap.onnx:False, trt: m/swap.trt:False"
    (tmp_path / "m").mkdir()
    (tmp_path / "m/swap.onnx").write_bytes(b"onnx")
    with pytest.raises(FileNotFoundError, match="^Model file not found: m/swap.trt$"):
        RecordingTrt(model_path="m/swap.onnx")  # the builder returned without writing


def test_trt_engine_bytes_without_a_path(gpu, no_files):
    assert RecordingTrt(model_bytes=b"engine").loaded == (b"engine", "cuda", "0")
    with pytest.raises(ValueError, match="^model_bytes must be provided if model_path is not specified$"):
        RecordingTrt()


def test_trt_without_tensorrt_fails_before_touching_files(monkeypatch, no_files):
    monkeypatch.setattr(swap, "trt", None)
    monkeypatch.setitem(sys.modules, "tensorrt", None)
    with pytest.raises(ImportError, match=r"'tensorrt' extra") as info:
        swap.TrtFaceSwap(model_path="m/swap.onnx")
    assert info.value.name == "tensorrt"


@pytest.mark.parametrize("with_onnx, advice", [
    (True, r"Delete it and the next construction rebuilds it from the ONNX model"),
    (False, r"Rebuild it .*or replace it .*no ONNX model '.*swap\.onnx'"),
], ids=["onnx beside it", "no onnx"])
def test_trt_unreadable_engine_file_names_the_file(tmp_path, gpu, with_onnx, advice):
    path = tmp_path / "swap.trt"
    path.write_bytes(b"engine from another TensorRT")
    if with_onnx:
        (tmp_path / "swap.onnx").write_bytes(b"onnx")
    with pytest.raises(RuntimeError, match=r"engine file '.*swap\.trt'.*" + advice):
        swap.TrtFaceSwap(model_path=str(path))
    assert gpu.log[-1] == "device left"


def test_trt_forward_binds_reuses_and_rebinds_buffers(gpu):
    model = swap.TrtFaceSwap(model_bytes=b"engine", device="cuda:1")
    assert (model.target_name, model.source_name, model.output_names) == ("target", "latent", ["output"])
    assert model.d_inputs == {"latent": None, "target": None}
    assert gpu.log[0] == ("device", 1) and ("alloc", (1, 3, 256, 256)) in gpu.log

    def run(n, bias):
        batch = np.random.default_rng(n).random((n, 3, 256, 256), dtype=np.float32)
        latent = np.full((n, 512), bias, np.float32)
        del gpu.log[:]
        out = model.forward(batch, latent)
        np.testing.assert_allclose(out, batch + bias, atol=1e-6)
        return out, [e for e in gpu.log if e[0] in ("alloc", "bind")]

    first, allocations = run(8, 0.5)
    assert len(allocations) == 6  # target, latent and output, each allocated and bound
    kept = first.copy()
    _, allocations = run(8, 0.25)
    assert allocations == []
    _, allocations = run(3, 1.0)
    assert sorted(allocations) == sorted([("alloc", (3, 3, 256, 256)), ("bind", "target"), ("alloc", (3, 512)),
                                          ("bind", "latent"), ("alloc", (3, 3, 256, 256)), ("bind", "output")])
    np.testing.assert_array_equal(first, kept)  # a result is never overwritten by a later call


@pytest.mark.parametrize("caller", ["caller stream", "side stream"])
def test_trt_forward_orders_its_work_on_the_streams(gpu, caller):
    model = swap.TrtFaceSwap(model_bytes=b"engine", device="cuda:1")
    model.input_mean, model.input_std = 0.5, 2.0
    batch, latent = np.ones((2, 3, 256, 256), np.float32), np.full((2, 512), 0.25, np.float32)
    model.forward(batch, latent)  # allocates and binds the buffers
    del gpu.log[:]
    gpu.current = caller
    out = model.forward(batch, latent)
    np.testing.assert_allclose(out, 0.5)
    # All of it on the object's GPU. Inputs are filled on the caller's stream; the engine's
    # stream waits for them, runs the engine and copies the result, which is complete once
    # the wait returns.
    img, lat = (2, 3, 256, 256), (2, 512)
    assert gpu.log == [("device", 1), ("fill", img, caller), ("-=", img, caller), ("/=", img, caller),
                       ("fill", lat, caller), ("record", caller), "wait", ("execute", 77),
                       ("copy", img, "engine stream"), "sync", "device left"]
    assert gpu.current == caller


def test_trt_output_buffers_in_any_mapping(gpu):
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    model.d_outputs = collections.UserDict(model.d_outputs)
    out = model.forward(np.zeros((2, 3, 256, 256), np.float32), np.zeros((2, 512), np.float32))
    assert out.shape == model.d_outputs["output"].shape == (2, 3, 256, 256)
    model.d_outputs = list(model.d_outputs.values())
    with pytest.raises(AttributeError, match="keys"):
        model.forward(np.zeros((2, 3, 256, 256), np.float32), np.zeros((2, 512), np.float32))


def test_trt_forward_reports_refusals(monkeypatch, gpu):
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    with pytest.raises(ValueError, match=r"latent must have shape \(rows, 512\), got \(512,\)"):
        model.forward(np.zeros((2, 3, 256, 256), np.float32), np.zeros(512, np.float32))
    del gpu.log[:]
    with pytest.raises(RuntimeError, match=r"refused the input shape \(33, 3, 256, 256\) for tensor 'target'"):
        model.forward(np.zeros((33, 3, 256, 256), np.float32), np.zeros((33, 512), np.float32))
    assert gpu.log == [("device", 0), "device left"]  # left on errors too
    monkeypatch.setattr(swap, "trt", fake_tensorrt(gpu, fail=True))
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    with pytest.raises(RuntimeError, match=r"failed to run the engine for target shape \(2, 3, 256, 256\)"):
        model.forward(np.zeros((2, 3, 256, 256), np.float32), np.zeros((2, 512), np.float32))


def test_trt_buffers_follow_the_engine(monkeypatch, gpu):
    # An engine whose output is larger than its input: the buffer takes the context's shape.
    monkeypatch.setattr(swap, "trt", fake_tensorrt(gpu, tensors=TENSORS[:2] + [("output", "out", (-1, 3, 512, 512))]))
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    out = model.forward(np.ones((2, 3, 256, 256)), np.zeros((2, 512)))  # float64 in
    assert out.shape == (2, 3, 512, 512) and model.d_inputs["target"].dtype == np.float32
    np.testing.assert_array_equal(out, 1.0)


@pytest.mark.parametrize("from_file", [False, True])
@pytest.mark.parametrize("engine, message", [
    ({"tensors": [("target", "in", (-1, 3, 256, 256)), ("output", "out", (-1, 3, 256, 256))]},
     "^Failed to detect target/source bindings$"),
    ({"dtypes": {"latent": "DataType.BF16"}},
     "^TensorRT engine tensor 'latent' has type DataType.BF16, but the engine inputs and outputs must be float32"),
    ({"dtypes": {"output": "DataType.HALF"}}, "tensor 'output' has type DataType.HALF, .* must be float32"),
], ids=["no latent input", "bf16 input", "fp16 output"])
def test_trt_refuses_engines_it_cannot_serve(tmp_path, monkeypatch, gpu, from_file, engine, message):
    monkeypatch.setattr(swap, "trt", fake_tensorrt(gpu, **engine))
    path = tmp_path / "swap.trt"
    path.write_bytes(b"engine")
    source = {"model_path": str(path)} if from_file else {"model_bytes": b"engine"}
    # A readable engine is not reported as an unreadable file.
    with pytest.raises(RuntimeError, match=message):
        swap.TrtFaceSwap(**source)
    assert gpu.log[-1] == "device left"


@pytest.mark.gpu
def test_trt_forward_on_cupy_orders_the_streams(monkeypatch):
    # On the emulated GPU an engine that could read its inputs before the caller's
    # stream filled them, or a result read before the engine's stream finished, fails.
    import cupy as cp

    monkeypatch.setattr(swap, "trt", fake_tensorrt(cp, engine=CupyEngine))
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    model.engine.buffers = lambda: [*model.d_inputs.values(), *model.d_outputs.values()]
    model.input_mean, model.input_std = 0.5, 2.0
    batch = np.random.default_rng(0).random((2, 3, 256, 256), dtype=np.float32)
    expected = (batch - 0.5) / 2.0 + 0.25
    with cp.cuda.Stream(non_blocking=True):
        d_batch, latent = cp.asarray(batch), cp.full((2, 512), 0.25, cp.float32)
        first = model.forward(d_batch, latent)
        again = model.forward(d_batch[:1], latent[:1])  # new buffers for the new shape
        third = model.forward(d_batch, latent)  # the caller's inputs overwrite what the engine read
        host = model.forward(batch, cp.asnumpy(latent))
        assert isinstance(first, cp.ndarray) and type(host) is np.ndarray
        for got, want in [(first, expected), (again, expected[:1]), (third, expected)]:
            np.testing.assert_allclose(cp.asnumpy(got), want, atol=1e-6)
        np.testing.assert_allclose(host, expected, atol=1e-6)


@pytest.mark.gpu
@pytest.mark.tensorrt
def test_trt_real_engine(tmp_path, model_bytes):
    import cupy as cp

    if not hasattr(swap.rk, "onnx_to_trt_dynamic_shape"):
        pytest.skip("no engine builder in this build of rasterkit")
    onnx_path = tmp_path / "swap.onnx"
    onnx_path.write_bytes(model_bytes)
    model = swap.TrtFaceSwap(model_path=str(onnx_path))
    assert model.model_path == str(tmp_path / "swap.trt")
    images = [cp.asarray(c) for c in crops(3)]
    with cp.cuda.Stream(non_blocking=True):  # the engine waits for inputs filled on this stream
        out = model.batch_get(images, cp.full((512,), 0.25, cp.float32))
        again = model.batch_get(images[:2], cp.full((512,), 0.5, cp.float32))
    cp.testing.assert_allclose(out[2], images[2] + 0.25, atol=2e-2)  # bf16 engine
    cp.testing.assert_allclose(again[1], images[1] + 0.5, atol=2e-2)
    assert swap.TrtFaceSwap(model_path=str(onnx_path)).model_bytes == model.model_bytes
