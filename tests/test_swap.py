import collections
import inspect
import types
import warnings

import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

from kestrel import swap
from standins import CupyEngine, FakeGpu, FakeOrt, engine_write, fake_tensorrt

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


# ---------------------------------------------------------------- TrtFaceSwap
# The contract shared with the other TensorRT backends (engine files, buffers, streams,
# error texts) is tested in test_model_runtime.py; here, what is about swapping.

# The latent comes first: bindings are told apart by their number of dimensions.
TENSORS = [("latent", "in", (-1, 512)), ("target", "in", (-1, 3, 256, 256)), ("output", "out", (-1, 3, 256, 256))]


def swap_network(buf):
    """output = target + row mean, upsampled when the output is larger (NumPy or CuPy)."""
    scale = buf["output"].shape[2] // buf["target"].shape[2]
    swapped = buf["target"] + buf["latent"].mean(axis=1)[:, None, None, None]
    engine_write(buf["output"], swapped.repeat(scale, 2).repeat(scale, 3))


def engine(gpu, tensors=TENSORS, **kwargs):
    return fake_tensorrt(gpu, tensors=tensors, run=swap_network, **kwargs)


@pytest.fixture
def gpu(monkeypatch):
    gpu = FakeGpu()
    monkeypatch.setattr(swap, "cp", gpu)
    monkeypatch.setattr(swap, "trt", engine(gpu))
    return gpu


def test_trt_finds_target_and_latent_by_their_dimensions(gpu):
    model = swap.TrtFaceSwap(model_bytes=b"engine", device="cuda:1")
    assert (model.target_name, model.source_name, model.output_names) == ("target", "latent", ["output"])
    assert model.d_inputs == {"latent": None, "target": None}
    assert gpu.log[0] == ("device", 1) and ("alloc", (1, 3, 256, 256)) in gpu.log


def test_trt_normalises_the_batch_on_the_callers_stream(gpu):
    model = swap.TrtFaceSwap(model_bytes=b"engine", device="cuda:1")
    model.input_mean, model.input_std = 0.5, 2.0
    batch, latent = np.ones((2, 3, 256, 256), np.float32), np.full((2, 512), 0.25, np.float32)
    model.forward(batch, latent)
    del gpu.log[:]
    out = model.forward(batch, latent)
    np.testing.assert_allclose(out, 0.5)
    img, lat = (2, 3, 256, 256), (2, 512)
    assert gpu.log == [("device", 1), ("fill", img, "caller stream"), ("-=", img, "caller stream"),
                       ("/=", img, "caller stream"), ("fill", lat, "caller stream"), ("record", "caller stream"),
                       "wait", ("execute", 77), ("copy", img, "engine stream"), "sync", "device left"]


def test_trt_output_buffers_in_any_mapping(gpu):
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    model.d_outputs = collections.UserDict(model.d_outputs)
    out = model.forward(np.zeros((2, 3, 256, 256), np.float32), np.zeros((2, 512), np.float32))
    assert out.shape == model.d_outputs["output"].shape == (2, 3, 256, 256)
    model.d_outputs = list(model.d_outputs.values())
    with pytest.raises(AttributeError, match="keys"):
        model.forward(np.zeros((2, 3, 256, 256), np.float32), np.zeros((2, 512), np.float32))


def test_trt_forward_reports_refusals(gpu):
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    with pytest.raises(ValueError, match=r"latent must have shape \(rows, 512\), got \(512,\)"):
        model.forward(np.zeros((2, 3, 256, 256), np.float32), np.zeros(512, np.float32))
    del gpu.log[:]
    with pytest.raises(RuntimeError, match=r"refused the input shape \(33, 3, 256, 256\) for tensor 'target'"):
        model.forward(np.zeros((33, 3, 256, 256), np.float32), np.zeros((33, 512), np.float32))
    assert gpu.log == [("device", 0), "device left"]  # left on errors too


def test_trt_buffers_follow_the_engine(monkeypatch, gpu):
    # An engine whose output is larger than its input: the buffer takes the context's shape.
    monkeypatch.setattr(swap, "trt", engine(gpu, tensors=TENSORS[:2] + [("output", "out", (-1, 3, 512, 512))]))
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    out = model.forward(np.ones((2, 3, 256, 256)), np.zeros((2, 512)))  # float64 in
    assert out.shape == (2, 3, 512, 512) and model.d_inputs["target"].dtype == np.float32
    np.testing.assert_array_equal(out, 1.0)


@pytest.mark.parametrize("from_file", [False, True])
@pytest.mark.parametrize("engine_args, message", [
    ({"tensors": [("target", "in", (-1, 3, 256, 256)), ("output", "out", (-1, 3, 256, 256))]},
     "^Failed to detect target/source bindings$"),
    ({"dtypes": {"latent": "DataType.BF16"}},
     "^TensorRT engine tensor 'latent' has type DataType.BF16, but the engine inputs and outputs must be float32"),
    ({"dtypes": {"output": "DataType.HALF"}}, "tensor 'output' has type DataType.HALF, .* must be float32"),
], ids=["no latent input", "bf16 input", "fp16 output"])
def test_trt_refuses_engines_it_cannot_serve(tmp_path, monkeypatch, gpu, from_file, engine_args, message):
    monkeypatch.setattr(swap, "trt", engine(gpu, **engine_args))
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

    monkeypatch.setattr(swap, "trt", fake_tensorrt(cp, engine=CupyEngine, tensors=TENSORS, run=swap_network))
    model = swap.TrtFaceSwap(model_bytes=b"engine")
    model.engine.owner = model
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
