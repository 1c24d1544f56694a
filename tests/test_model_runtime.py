"""The contract every TensorRT backend keeps, one row per model module.

Engine files beside the ONNX model (built once, rebuilt when their record no longer
matches), construction from a path or from engine bytes, device buffers reused until a
shape changes, the order of work on the caller's and the engine's streams, and the error
texts. The rows differ where the models differ on purpose: which of path and bytes wins,
dynamic or fixed engine shapes, the device ordinal as text or int, which errors are
assertions.
"""

import dataclasses
import json
import sys
import types
from typing import Any, Callable

import numpy as np
import pytest

from kestrel import enhance, segmentation, swap
from standins import CupyEngine, FakeGpu, engine_write, fake_tensorrt


@dataclasses.dataclass
class Backend:
    id: str
    module: Any
    cls: str
    tensors: list  # [(name, "in"/"out", engine shape)]
    run: Callable  # the fake network: bound buffers in, outputs written
    batch: Callable  # n -> (forward arguments, expected result)
    builder: str  # the rasterkit builder the module calls
    build_kwargs: dict  # its arguments besides the two paths
    path_first: bool  # a given path wins over given bytes
    dynamic: bool  # the engine takes any batch size in its profile
    ordinal: Callable  # device text -> the device_id the object keeps
    initialize_args: Callable  # (engine bytes, object) -> initialize's arguments
    execute_error: tuple  # (exception type, message regex) for a failed enqueue
    missing_message: str  # FileNotFoundError for m/x.onnx when nothing exists

    def __str__(self):
        return self.id


# The fake networks run on NumPy (FakeGpu) and on CuPy (CupyEngine) alike.
def swap_run(buf):
    engine_write(buf["output"], buf["target"] + buf["latent"].mean(axis=1)[:, None, None, None])


def swap_batch(n):
    rng = np.random.default_rng(n)
    batch = rng.random((n, 3, 256, 256), dtype=np.float32)
    latent = np.full((n, 512), 0.5, np.float32)
    return (batch, latent), batch + 0.5


def parse_run(buf):
    """Class k scores k times the pixel's channel sum; a second output that the
    module must not return comes first."""
    engine_write(buf["aux"], buf["aux"] * 0 - 1)
    image = buf["input"].sum(axis=1, keepdims=True)
    engine_write(buf["scores"], image.repeat(19, axis=1) * buf["scores"].dtype.type(1))
    for k in range(19):
        buf["scores"][:, k] *= k


def parse_batch(n):
    batch = np.random.default_rng(n).random((n, 3, 8, 8), dtype=np.float32)
    return (batch,), batch.sum(axis=1, keepdims=True).repeat(19, axis=1) * np.arange(19, dtype=np.float32)[:, None, None]


def restore_run(buf):
    engine_write(buf["restored"], buf["face"] * 0.5)


def restore_batch(n):
    batch = np.random.default_rng(n).random((n, 3, 8, 8), dtype=np.float32)
    return (batch,), batch * 0.5


def text_ordinal(device):
    return device.rpartition(":")[2] if ":" in device else "0"


BACKENDS = [
    Backend(
        id="swap", module=swap, cls="TrtFaceSwap",
        tensors=[("latent", "in", (-1, 512)), ("target", "in", (-1, 3, 256, 256)), ("output", "out", (-1, 3, 256, 256))],
        run=swap_run, batch=swap_batch,
        builder="onnx_to_trt_dynamic_shape",
        build_kwargs={"precision": "bf16", "batch_range": (1, 1, 32), "spatial_range": (256, 256, 256)},
        path_first=False, dynamic=True, ordinal=text_ordinal,
        initialize_args=lambda data, obj: (data, obj.device, obj.device_id),
        execute_error=(RuntimeError, r"failed to run the engine of TrtFaceSwap for input shapes"),
        missing_message="Model file not found: onnx: m/x.onnx:False, trt: m/x.trt:False"),
    Backend(
        id="segmentation", module=segmentation, cls="TrtFaceSegmentation",
        tensors=[("input", "in", (-1, 3, 8, 8)), ("aux", "out", (-1, 1)), ("scores", "out", (-1, 19, 8, 8))],
        run=parse_run, batch=parse_batch,
        builder="onnx_to_trt_dynamic_shape",
        build_kwargs={"precision": "bf16", "batch_range": (1, 1, 16), "spatial_range": (512, 512, 512),
                      "workspace": 2147483648},
        path_first=False, dynamic=True, ordinal=text_ordinal,
        initialize_args=lambda data, obj: (data, obj.device, obj.device_id),
        execute_error=(RuntimeError, r"failed to run the engine of TrtFaceSegmentation for input shapes"),
        missing_message="Model file not found: onnx: m/x.onnx:False, trt: m/x.trt:False"),
    Backend(
        id="enhance", module=enhance, cls="TrtFaceEnhance",
        tensors=[("face", "in", (2, 3, 8, 8)), ("restored", "out", (2, 3, 8, 8))],
        run=restore_run, batch=restore_batch,
        builder="onnx_to_trt_fixed_shape",
        build_kwargs={"input_shape": (1, 3, 512, 512), "precision": "tf32"},
        path_first=True, dynamic=False, ordinal=lambda device: int(text_ordinal(device)),
        initialize_args=lambda data, obj: (data,),
        execute_error=(AssertionError, r"^TensorRT execution failed$"),
        missing_message="Failed to convert ONNX model to TensorRT engine: m/x.trt"),
]


@pytest.fixture(params=BACKENDS, ids=str)
def backend(request):
    return request.param


@pytest.fixture
def gpu(monkeypatch, backend):
    gpu = FakeGpu()
    monkeypatch.setattr(backend.module, "cp", gpu)
    use_engine(monkeypatch, backend, gpu)
    return gpu


def use_engine(monkeypatch, backend, gpu, version="10.13.0.35", **engine_args):
    engine_args = {"tensors": backend.tensors, "run": backend.run, **engine_args}
    monkeypatch.setattr(backend.module, "trt", fake_tensorrt(gpu, version=version, **engine_args))


@pytest.fixture
def builds(monkeypatch, backend):
    """Stand-in for the rasterkit builder the backend calls: records each call and writes
    the engine (b"engine") at the engine path."""
    calls = []

    def dynamic(onnx_path, trt_path, /, **kwargs):
        calls.append((onnx_path, trt_path, kwargs))
        with open(trt_path, "wb") as f:
            f.write(b"engine")

    def fixed(*, onnx_path, engine_path, **kwargs):
        dynamic(onnx_path, engine_path, **kwargs)

    monkeypatch.setattr(backend.module.rk, "onnx_to_trt_dynamic_shape", dynamic)
    monkeypatch.setattr(backend.module.rk, "onnx_to_trt_fixed_shape", fixed)
    return calls


@pytest.fixture
def no_files(monkeypatch, backend):
    def refuse(*args):
        raise AssertionError(f"file system touched: {args}")
    monkeypatch.setattr(backend.module, "open", refuse, raising=False)
    monkeypatch.setattr(backend.module, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=refuse)))


def recording(backend):
    """The backend class with an initialize that only records its arguments."""
    def initialize(self, *args):
        self.loaded = args
    return type("Recording", (getattr(backend.module, backend.cls),), {"initialize": initialize})


def write(root, *names, content=b"onnx"):
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"engine" if name.endswith(".trt") else content)


# ---------------------------------------------------------------- engine files


def test_engine_bytes_need_no_files(backend, gpu, no_files):
    model = getattr(backend.module, backend.cls)(model_bytes=b"engine", device="cuda:1")
    args, expected = backend.batch(2)
    np.testing.assert_allclose(model.forward(*args), expected, atol=1e-6)
    assert model.device_id == backend.ordinal("cuda:1")


def test_engine_built_once_beside_the_onnx_model(backend, tmp_path, monkeypatch, gpu, builds):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, "m.onnx/x.onnx")
    (tmp_path / "m.trt").mkdir()
    model = recording(backend)(model_path="m.onnx/x.onnx", device="cuda:2")
    assert builds == [("m.onnx/x.onnx", "m.trt/x.trt", backend.build_kwargs)]  # every ".onnx" replaced
    assert model.loaded == backend.initialize_args(b"engine", model)
    # Bytes first: the object names the engine file and holds its bytes.
    expected = ("m.onnx/x.onnx", None) if backend.path_first else ("m.trt/x.trt", b"engine")
    assert (model.model_path, model.model_bytes) == expected
    record = json.loads((tmp_path / "m.trt/x.trt.json").read_text())
    assert record["gpu"] == "Fake GPU" and record["tensorrt"] == "10.13.0.35"
    recording(backend)(model_path="m.onnx/x.onnx")
    assert len(builds) == 1


def test_missing_model_files(backend, tmp_path, monkeypatch, gpu):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(backend.module.rk, backend.builder, lambda *a, **k: None)
    with pytest.raises(FileNotFoundError) as info:
        recording(backend)(model_path="m/x.onnx")
    assert str(info.value) == backend.missing_message
    write(tmp_path, "m/x.onnx")
    message = ("Failed to convert ONNX model to TensorRT engine: m/x.trt" if backend.path_first
               else "Model file not found: m/x.trt")
    with pytest.raises(FileNotFoundError, match=f"^{message}$"):
        recording(backend)(model_path="m/x.onnx")  # the builder returned without writing
    with pytest.raises(ValueError, match="^model_bytes must be provided if model_path is not specified$"):
        recording(backend)()


def test_a_given_path_or_given_bytes_win(backend, tmp_path, gpu, builds):
    engine = tmp_path / "x.engine"
    engine.write_bytes(b"engine")
    model = recording(backend)(model_path=str(engine), model_bytes=b"other")
    assert model.loaded[0] == (b"engine" if backend.path_first else b"other")
    assert builds == []


def test_a_rebuild_that_leaves_the_old_engine_does_not_certify_it(backend, tmp_path, gpu, builds, monkeypatch):
    onnx = tmp_path / "x.onnx"
    onnx.write_bytes(b"onnx")
    recording(backend)(model_path=str(onnx))
    stale = (tmp_path / "x.trt.json").read_text()
    onnx.write_bytes(b"onnx, retrained")
    monkeypatch.setattr(backend.module.rk, backend.builder, lambda *a, **k: None)  # builds nothing
    recording(backend)(model_path=str(onnx))
    assert (tmp_path / "x.trt.json").read_text() == stale  # still says the old model: rebuilt next time


@pytest.mark.parametrize("change, reason", [
    (None, None),
    ("onnx", "onnx_sha256"),
    ("tensorrt", "tensorrt"),
    ("gpu", "gpu"),
    ("no record", None),
])
def test_engine_record_keeps_the_cache_honest(backend, tmp_path, monkeypatch, capsys, gpu, builds, change, reason):
    onnx = tmp_path / "x.onnx"
    onnx.write_bytes(b"onnx")
    recording(backend)(model_path=str(onnx))
    assert len(builds) == 1
    if change == "onnx":
        onnx.write_bytes(b"onnx, retrained")
    elif change == "tensorrt":
        use_engine(monkeypatch, backend, gpu, version="10.14.1")
    elif change == "gpu":
        gpu.name = b"Other GPU"
    elif change == "no record":  # an engine made elsewhere is used as it is
        (tmp_path / "x.trt.json").unlink()
        onnx.write_bytes(b"onnx, retrained")
    capsys.readouterr()
    recording(backend)(model_path=str(onnx))
    err = capsys.readouterr().err
    if reason:
        assert len(builds) == 2 and f"({reason} changed)" in err and "x.trt" in err
        record = json.loads((tmp_path / "x.trt.json").read_text())
        assert recording(backend)(model_path=str(onnx)) and len(builds) == 2  # rebuilt once only
        assert record["onnx_sha256"] == __import__("hashlib").sha256(onnx.read_bytes()).hexdigest()
    else:
        assert len(builds) == 1 and err == ""


def test_without_tensorrt_nothing_is_touched(backend, monkeypatch, no_files):
    monkeypatch.setattr(backend.module, "trt", None)
    monkeypatch.setitem(sys.modules, "tensorrt", None)
    with pytest.raises(ImportError, match=r"'tensorrt' extra") as info:
        getattr(backend.module, backend.cls)(model_path="m/x.onnx")
    assert info.value.name == "tensorrt"


@pytest.mark.parametrize("with_onnx", [True, False], ids=["onnx beside it", "no onnx"])
def test_unloadable_engine_file_names_the_file_and_the_way_out(backend, tmp_path, gpu, with_onnx):
    path = tmp_path / "x.onnx"
    engine = tmp_path / "x.trt"
    engine.write_bytes(b"engine from another TensorRT")
    if with_onnx:
        path.write_bytes(b"onnx")
    given = path if with_onnx or not backend.path_first else engine
    advice = (r"Delete it and the next construction rebuilds it from the ONNX model" if with_onnx
              else r"Rebuild it .*or replace it with such an engine")
    with pytest.raises(RuntimeError, match=r"engine file '.*x\.trt'.*" + advice):
        getattr(backend.module, backend.cls)(model_path=str(given))
    assert gpu.log[-1] == "device left"


# ---------------------------------------------------------------- forward


def test_forward_reuses_buffers_until_a_shape_changes(backend, gpu):
    model = getattr(backend.module, backend.cls)(model_bytes=b"engine", device="cuda:1")

    def run(n):
        args, expected = backend.batch(n)
        del gpu.log[:]
        out = model.forward(*args)
        np.testing.assert_allclose(out, expected, atol=1e-6)
        return out, sorted(e for e in gpu.log if e[0] in ("alloc", "bind"))

    first, allocations = run(2)
    kept = first.copy()
    assert allocations  # at least the inputs, allocated and bound at first use
    assert run(2)[1] == []
    if backend.dynamic:
        _, allocations = run(3)
        names = [name for name, _, _ in backend.tensors]
        assert [e for e in allocations if e[0] == "bind"] == sorted(("bind", n) for n in names)
    else:
        with pytest.raises(ValueError, match="takes batches of shape"):
            model.forward(*backend.batch(3)[0])
    np.testing.assert_array_equal(first, kept)  # a result is never overwritten by a later call


@pytest.mark.parametrize("caller", ["caller stream", "side stream"])
def test_forward_orders_its_work_on_the_streams(backend, gpu, caller):
    model = getattr(backend.module, backend.cls)(model_bytes=b"engine", device="cuda:1")
    args, _ = backend.batch(2)
    model.forward(*args)  # allocates and binds the buffers
    del gpu.log[:]
    gpu.current = caller
    model.forward(*args)
    # All of it on the object's GPU. Inputs are filled on the caller's stream; the engine's
    # stream waits for them, runs the engine and copies the result, which is complete once
    # the wait returns.
    ordinal = int(backend.ordinal("cuda:1"))
    fills = [e for e in gpu.log if e[0] in ("fill", "-=", "/=")]
    assert fills and all(e[2] == caller for e in fills)
    rest = [e for e in gpu.log if e not in fills]
    assert rest[:1] == [("device", ordinal)] and rest[-1] == "device left"
    assert [e if isinstance(e, str) else e[0] for e in rest[1:-1]] == ["record", "wait", "execute", "copy", "sync"]
    assert rest[1] == ("record", caller) and rest[4][2] == "engine stream"
    assert gpu.current == caller


def test_forward_reports_a_failed_enqueue(backend, monkeypatch, gpu):
    use_engine(monkeypatch, backend, gpu, fail=True)
    model = getattr(backend.module, backend.cls)(model_bytes=b"engine")
    error, message = backend.execute_error
    with pytest.raises(error, match=message):
        model.forward(*backend.batch(2)[0])
    assert gpu.log[-1] == "device left" and "sync" not in gpu.log


@pytest.mark.gpu
def test_forward_on_cupy_keeps_the_stream_order(backend, monkeypatch):
    """The network runs on the stream the backend gives the engine: on the emulated GPU,
    an engine that could read its inputs before the caller's stream filled them, or a
    result read before the engine's stream finished, fails."""
    import cupy as cp

    monkeypatch.setattr(backend.module, "trt", fake_tensorrt(cp, engine=CupyEngine, tensors=backend.tensors,
                                                             run=backend.run))
    model = getattr(backend.module, backend.cls)(model_bytes=b"engine")
    model.engine.owner = model
    with cp.cuda.Stream(non_blocking=True):
        for n in (2, 2) if not backend.dynamic else (2, 3, 2):
            args, expected = backend.batch(n)
            on_gpu = model.forward(*(cp.asarray(a) for a in args))
            on_host = model.forward(*args)
            assert isinstance(on_gpu, cp.ndarray) and type(on_host) is np.ndarray
            np.testing.assert_allclose(cp.asnumpy(on_gpu), expected, rtol=1e-6)
            np.testing.assert_allclose(on_host, expected, rtol=1e-6)
    if cp.cuda.runtime.getDeviceCount() > 1:
        # Inputs made on another GPU come over after the work that made them there.
        args, expected = backend.batch(2)
        with cp.cuda.Device(1), cp.cuda.Stream(non_blocking=True):
            elsewhere = [cp.asarray(a) * 1 for a in args]
            out = model.forward(*elsewhere)
        assert out.device.id == 0
        np.testing.assert_allclose(cp.asnumpy(out), expected, rtol=1e-6)
