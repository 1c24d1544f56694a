import inspect
import types
import warnings

import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

from kestrel import enhance
from standins import FakeOrt

onnxruntime = pytest.importorskip("onnxruntime")


def restoration_model(shape=(1, 3, 64, 64), gain=0.5):
    """A stand-in restoration network: output = input * gain, in the model's -1..1 scale."""
    x = helper.make_tensor_value_info("input", TensorProto.FLOAT, list(shape))
    y = helper.make_tensor_value_info("output", TensorProto.FLOAT, None)
    k = numpy_helper.from_array(np.array(gain, np.float32), "gain")
    graph = helper.make_graph([helper.make_node("Mul", ["input", "gain"], ["output"])], "restore", [x], [y], [k])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=9).SerializeToString()


def restored(image, gain=0.5):
    """What the stand-in network gives for an HWC image already at model size."""
    return ((image - 0.5) / 0.5 * gain) * 0.5 + 0.5


def faces(n, size=64, seed=0):
    rng = np.random.default_rng(seed)
    return [rng.random((size, size, 3), dtype=np.float32) for _ in range(n)]


class Recorder(enhance.BaseFaceEnhance):
    """Returns its batch unchanged and records the shapes `forward` received."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def forward(self, batch):
        self.calls.append(batch.shape)
        return batch


# ---------------------------------------------------------------- module and interface


def test_published_interface():
    assert [name for name in vars(enhance) if not name.startswith("__")] == [
        "os", "cp", "onnxruntime", "rk", "trt", "BaseModelLoader", "np",
        "BaseFaceEnhance", "OnnxFaceEnhance", "TrtFaceEnhance"]
    assert enhance.BaseFaceEnhance.__doc__.startswith("\n    Base class for face enhancement models.\n")
    assert enhance.OnnxFaceEnhance.__doc__ == "GFPGAN Face enhancer using ONNX Runtime for face quality improvement."
    assert enhance.TrtFaceEnhance.__doc__ == (
        "Face enhancer using TensorRT for high-performance face quality improvement.")
    for method, signature in [
        (enhance.BaseFaceEnhance.__init__, "(self, model_path=None, model_bytes=None, device='cuda')"),
        (enhance.BaseFaceEnhance.batch_get, "(self, images)"),
        (enhance.OnnxFaceEnhance.initialize, "(self, model_bytes, device, device_id='0')"),
        (enhance.TrtFaceEnhance.initialize, "(self, model_bytes)"),
    ]:
        assert str(inspect.signature(method)) == signature
    model = enhance.BaseFaceEnhance("m.onnx", None, "cuda:1")
    assert vars(model) == {"model_path": "m.onnx", "model_bytes": None, "device": "cuda:1", "device_id": "1",
                           "input_size": 512, "input_mean": 0.5, "input_std": 0.5}


@pytest.mark.parametrize("call, error, message", [
    (lambda: enhance.BaseFaceEnhance(device=b"cuda"), TypeError,
     "Argument 'device' has incorrect type (expected str, got bytes)"),
    (lambda: Recorder().batch_get(tuple(faces(1))), TypeError,
     "Argument 'images' has incorrect type (expected list, got tuple)"),
    (lambda: Recorder().batch_get([]), ValueError, "batch_get needs at least one image, got an empty list"),
    (lambda: Recorder().get(), TypeError, "get() takes exactly 2 positional arguments (1 given)"),
    (lambda: enhance.BaseFaceEnhance().get(faces(1)[0]), NotImplementedError,
     "forward method must be implemented in subclass"),
    (lambda: enhance.BaseFaceEnhance().batch_get(faces(1)), NotImplementedError,
     "forward method must be implemented in subclass"),
])
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_one_model_call_per_image_in_input_order():
    model = Recorder()
    model.input_size = 64
    images = faces(3, size=32)
    out = model.batch_get(images)
    assert model.calls == [(1, 3, 64, 64)] * 3
    assert isinstance(out, list) and len(out) == 3
    # The batch comes back as it went in: each image resized to 64, channel order kept.
    for got, image in zip(out, images):
        assert got.shape == (64, 64, 3)
        np.testing.assert_allclose(got, enhance.rk.resize(image, (64, 64)), atol=1e-6)
    np.testing.assert_allclose(model.get(images[1]), out[1], atol=1e-6)


def test_batch_get_requires_a_list_from_the_image_library(monkeypatch):
    rk = enhance.rk
    monkeypatch.setattr(enhance, "rk", types.SimpleNamespace(
        images_to_batch=rk.images_to_batch, batch_to_images=lambda *a, **k: tuple(rk.batch_to_images(*a, **k))))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        Recorder().batch_get(faces(1))


# ---------------------------------------------------------------- OnnxFaceEnhance


def test_onnx_restores_numpy_faces_on_the_cpu(tmp_path):
    path = tmp_path / "restore.onnx"
    path.write_bytes(restoration_model())
    model = enhance.OnnxFaceEnhance(model_path=str(path), device="cpu")
    assert (model.input_name, model.input_shape, model.dtype, model.input_size) == (
        "input", [1, 3, 64, 64], "tensor(float)", 64)
    images = faces(2)
    out = model.batch_get(images)
    for got, image in zip(out, images):
        assert type(got) is np.ndarray and got.shape == (64, 64, 3)
        np.testing.assert_allclose(got, restored(image), atol=1e-6)
    # Any input size comes back at the model's.
    small = faces(1, size=32)[0]
    np.testing.assert_allclose(model.get(small), restored(enhance.rk.resize(small, (64, 64))), atol=1e-6)


@pytest.mark.parametrize("shape", [("n", 3, "h", "w"), (1, 3)])
def test_onnx_needs_a_fixed_input_height(shape):
    with pytest.raises(ValueError, match="input height is a fixed integer"):
        enhance.OnnxFaceEnhance(model_bytes=restoration_model(shape), device="cpu")


@pytest.mark.parametrize("device, providers, options", [
    ("cpu", ["CPUExecutionProvider"], [{}]),
    ("CUDA", ["CPUExecutionProvider"], [{}]),
    ("cuda:1", ["CUDAExecutionProvider"], [{"device_id": "1"}]),
])
def test_onnx_session_settings(monkeypatch, device, providers, options):
    fake = FakeOrt()
    monkeypatch.setattr(enhance, "onnxruntime", fake)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # CUDA asked for, the CPU given
        model = enhance.OnnxFaceEnhance(model_bytes=restoration_model(), device=device)
        model.initialize(restoration_model(), "cuda")
    (_, opts, got_providers, got_options), again = fake.sessions
    assert (got_providers, got_options, fake.preloads) == (providers, options, 2)
    assert (opts.log_severity_level, opts.log_verbosity_level) == (4, 4)
    assert again[3] == [{"device_id": "0"}]


def test_onnx_bytes_win_and_nothing_is_no_model(monkeypatch):
    monkeypatch.setattr(enhance, "open", lambda *a: pytest.fail("file opened"), raising=False)
    enhance.OnnxFaceEnhance(model_path="missing.onnx", model_bytes=restoration_model(), device="cpu")
    with pytest.raises(AssertionError, match="^model_bytes must be provided if model_path is not specified$"):
        enhance.OnnxFaceEnhance(device="cpu")


@pytest.mark.gpu
def test_onnx_cupy_faces_come_back_as_cupy():
    import cupy as cp

    model = enhance.OnnxFaceEnhance(model_bytes=restoration_model(), device="cpu")
    images = [cp.asarray(f) for f in faces(2)]
    out = model.batch_get(images)
    assert all(isinstance(o, cp.ndarray) for o in out)
    cp.testing.assert_allclose(out[1], restored(images[1]), atol=1e-6)


# ---------------------------------------------------------------- TrtFaceEnhance
# Engine files, buffers, streams and error texts: test_model_runtime.py.


@pytest.mark.parametrize("device, ordinal", [("cuda", 0), ("cuda:1", 1), ("cpu", 0), ("gpu:a:2", 2), ("cuda: 3", 3)])
def test_trt_device_ordinal_is_an_int(monkeypatch, device, ordinal):
    class Loaded(enhance.TrtFaceEnhance):
        def initialize(self, model_bytes):
            self.loaded = model_bytes

    monkeypatch.setattr(enhance, "trt", types.SimpleNamespace())
    monkeypatch.setattr(enhance, "cp", types.SimpleNamespace())
    model = Loaded(model_bytes=b"engine", device=device)
    assert model.device_id == ordinal and model.loaded == b"engine"


def test_trt_device_text_that_names_no_ordinal(monkeypatch):
    monkeypatch.setattr(enhance, "rk", None)  # nothing further may run
    with pytest.raises(ValueError, match="invalid literal for int"):
        enhance.TrtFaceEnhance(model_bytes=b"engine", device="cuda:x")
