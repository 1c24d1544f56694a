import inspect
import types
import warnings

import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

from kestrel import segmentation
from standins import FakeOrt

onnxruntime = pytest.importorskip("onnxruntime")

TABLE = [[1, 3, 14, 15, 16, 17, 18], [2, 4, 5], [6, 7, 8, 9, 10, 11, 12, 13]]


def plain_composite(preds, indexes=TABLE):
    """The mask composition written out plainly: softmax over the classes, argmax, every
    pixel's class matched against the whole table, matches summed per category."""
    all_indices = np.array([i for classes in indexes for i in classes])
    category_ids = np.array([k for k, classes in enumerate(indexes) for _ in classes])
    if preds.ndim == 5 and preds.shape[0] == 1:
        preds = preds[0]
    e = np.exp(preds - np.max(preds, axis=1, keepdims=True))
    pred = np.argmax(e / np.sum(e, axis=1, keepdims=True), axis=1)
    all_matches = (pred[..., np.newaxis] == all_indices[np.newaxis, np.newaxis, np.newaxis, :]).astype(np.float32)
    category_masks = np.arange(len(indexes))[:, np.newaxis] == category_ids[np.newaxis, :]
    counts = np.sum(np.einsum("nijk,mk->mnijk", all_matches, category_masks.astype(np.float32)), axis=-1)
    return np.stack([np.stack([counts[0, i], counts[1, i], counts[2, i]], axis=0) for i in range(preds.shape[0])])


def parsing_model(size=16):
    """A stand-in face parser: class k scores k * (R - B) per pixel (1x1 convolution), so
    a pixel's class follows its colour."""
    x = helper.make_tensor_value_info("input", TensorProto.FLOAT, ["n", 3, size, size])
    y = helper.make_tensor_value_info("output", TensorProto.FLOAT, ["n", 19, size, size])
    w = np.zeros((19, 3, 1, 1), np.float32)
    w[:, 0, 0, 0] = np.arange(19)
    w[:, 2, 0, 0] = -np.arange(19)
    graph = helper.make_graph([helper.make_node("Conv", ["input", "w"], ["output"])], "parse", [x], [y],
                              [numpy_helper.from_array(w, "w")])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=9).SerializeToString()


def faces(n, size=16, seed=0):
    rng = np.random.default_rng(seed)
    return [rng.random((size, size, 3), dtype=np.float32) for _ in range(n)]


class Recorder(segmentation.BaseFaceSegmentation):
    """A network of 19 classes whose scores are the batch's channels repeated; records
    the batch sizes it saw."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.input_size = (8, 8)
        self.calls = []

    def forward(self, batch):
        self.calls.append(batch.shape[0])
        return np.tile(batch, (1, 7, 1, 1))[:, :19]


# ---------------------------------------------------------------- module and interface


def test_published_interface():
    assert [name for name in vars(segmentation) if not name.startswith("__")] == [
        "os", "cp", "onnxruntime", "rk", "trt", "BaseModelLoader", "np",
        "BaseFaceSegmentation", "OnnxFaceSegmentation", "TrtFaceSegmentation"]
    base = segmentation.BaseFaceSegmentation
    assert base.__doc__ == ("\n    Base class for face segmentation models.\n\n"
                            "    Segments facial regions like eyes, nose, mouth, and skin\n"
                            "    to enable targeted operations like face swapping and enhancement.\n    ")
    assert base.get.__doc__ == "\n        Face segmentation method for a single image.\n        "
    assert base.batch_get.__doc__.splitlines()[1:4] == [
        "        Face segmentation inference method.", "        Common implementation shared by Onnx and Trt versions.",
        "        Supports batch processing for multiple images."]
    assert base.__init__.__doc__ is None and base.init_indexes.__doc__ is None
    assert segmentation.TrtFaceSegmentation.forward.__doc__ == "Forward pass using TensorRT"
    assert str(inspect.signature(base.batch_get)) == "(self, images, MAX_BATCH_SIZE=16)"
    assert str(inspect.signature(segmentation.TrtFaceSegmentation.initialize)) == "(self, model_bytes, device, device_id)"
    model = base("m.onnx", None, "cuda:1")
    assert (model.device_id, model.input_size, model.input_mean, model.input_std, model.num_categories) == (
        "1", (512, 512), (0.485, 0.456, 0.406), (0.229, 0.224, 0.225), 3)
    assert model.all_indices.tolist() == [1, 3, 14, 15, 16, 17, 18, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13]
    assert model.category_ids.tolist() == [0] * 7 + [1] * 3 + [2] * 8


@pytest.mark.parametrize("call, error, message", [
    (lambda: segmentation.BaseFaceSegmentation(model_bytes="x"), TypeError,
     "Argument 'model_bytes' has incorrect type (expected bytes, got str)"),
    (lambda: Recorder().batch_get(tuple(faces(1))), TypeError,
     "Argument 'images' has incorrect type (expected list, got tuple)"),
    (lambda: Recorder().batch_get(faces(1), MAX_BATCH_SIZE=True), TypeError,
     "Argument 'MAX_BATCH_SIZE' has incorrect type (expected int, got bool)"),
    (lambda: Recorder().init_indexes(((1,), (2,))), TypeError,
     "Argument 'indexes' has incorrect type (expected list, got tuple)"),
    (lambda: Recorder().batch_get(faces(1), MAX_BATCH_SIZE=0), ValueError,
     "MAX_BATCH_SIZE must be at least 1 to split 1 images, got 0"),
    (lambda: segmentation.BaseFaceSegmentation().get(faces(1)[0]), NotImplementedError,
     "forward method must be implemented in subclass"),
])
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------- masks


def logits_for(classes, k=19):
    """Logits (1, k, h, w) whose most probable class per pixel is `classes` (h x w)."""
    classes = np.asarray(classes)
    preds = np.zeros((1, k) + classes.shape, np.float32)
    np.put_along_axis(preds, classes[None, None], 5.0, axis=1)
    return preds


def test_masks_fold_classes_into_categories():
    model = segmentation.BaseFaceSegmentation()
    masks = model.composite_masks(logits_for([[0, 2, 18], [5, 6, 13]]))
    assert masks.dtype == np.float32 and masks.shape == (1, 3, 2, 3)
    np.testing.assert_array_equal(masks[0, :, 0], [[0, 0, 1], [0, 1, 0], [0, 0, 0]])  # class 0 is in no category
    np.testing.assert_array_equal(masks[0, :, 1], [[0, 0, 0], [1, 0, 0], [0, 1, 1]])


def test_masks_ties_and_leading_axis():
    model = segmentation.BaseFaceSegmentation()
    preds = np.zeros((1, 19, 1, 2), np.float32)
    preds[0, [2, 6], 0, 0] = 3.0  # a tie: the lower class (2, category 1) wins
    preds[0, [18, 7], 0, 1] = 3.0  # category 2 (class 7) wins over class 18
    expected = [[[0, 0]], [[1, 0]], [[0, 1]]]
    np.testing.assert_array_equal(model.composite_masks(preds)[0], expected)
    np.testing.assert_array_equal(model.composite_masks(preds[None])[0], expected)  # (1, N, 19, H, W)
    with pytest.raises(ValueError):  # a leading axis longer than 1 is not dropped
        model.composite_masks(np.concatenate([preds[None]] * 2))


def test_masks_follow_the_table():
    model = segmentation.BaseFaceSegmentation()
    model.init_indexes([[1, 1], [2], [3], [4]])  # class 1 listed twice; a fourth category
    assert model.num_categories == 4
    masks = model.composite_masks(logits_for([[1, 2, 3, 4]]))
    np.testing.assert_array_equal(masks[0, :, 0], [[2, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]])
    model.init_indexes([[1], [2]])
    with pytest.raises(IndexError):
        model.composite_masks(logits_for([[1, 2]]))


@pytest.mark.parametrize("scale", [1.0, 30.0, 1e-3])
def test_masks_equal_the_plain_composition(scale):
    preds = (np.random.default_rng(7).standard_normal((3, 19, 24, 20)) * scale).astype(np.float32)
    preds[:, 5] = preds[:, 4]  # exact ties on every pixel between two classes
    model = segmentation.BaseFaceSegmentation()
    np.testing.assert_array_equal(model.composite_masks(preds), plain_composite(preds))


# ---------------------------------------------------------------- batches


@pytest.mark.parametrize("n, max_batch, calls", [(16, 16, [16]), (17, 16, [16, 1]), (5, 2, [2, 2, 1])])
def test_batch_get_chunks_and_keeps_order(n, max_batch, calls):
    model = Recorder()
    images = faces(n, size=8)
    out = model.batch_get(images, max_batch)
    assert model.calls == calls and isinstance(out, list) and len(out) == n
    for got, image in zip(out, images):
        assert got.shape == (8, 8, 3)
        np.testing.assert_array_equal(got, model.get(image))


def test_batch_get_of_nothing_is_the_image_librarys_to_refuse():
    with pytest.raises(ValueError):
        Recorder().batch_get([], 0)


def test_batch_get_requires_a_list_from_the_image_library(monkeypatch):
    rk = segmentation.rk
    monkeypatch.setattr(segmentation, "rk", types.SimpleNamespace(
        images_to_batch=rk.images_to_batch, batch_to_images=lambda *a, **k: tuple(rk.batch_to_images(*a, **k)),
        fold_class_masks=rk.fold_class_masks))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        Recorder().batch_get(faces(1, size=8))


# ---------------------------------------------------------------- OnnxFaceSegmentation


def test_onnx_parses_numpy_faces_on_the_cpu(tmp_path):
    path = tmp_path / "parse.onnx"
    path.write_bytes(parsing_model())
    model = segmentation.OnnxFaceSegmentation(model_path=str(path), device="cpu")
    assert (model.input_name, model.input_shape, model.dtype, model.output_name, model.output_shape) == (
        "input", ["n", 3, 16, 16], "tensor(float)", "output", ["n", 19, 16, 16])
    model.input_size = (16, 16)
    images = faces(3)
    batch = segmentation.rk.images_to_batch(images, std=model.input_std, size=16, mean=model.input_mean)
    preds = model.forward(batch)
    assert type(preds) is np.ndarray and preds.shape == (1, 3, 19, 16, 16)  # outputs stacked
    out = model.batch_get(images)
    for got, expected in zip(out, plain_composite(preds)):
        np.testing.assert_array_equal(got, expected.transpose(1, 2, 0)[:, :, ::-1])


@pytest.mark.parametrize("device, providers, options", [
    ("cpu", ["CPUExecutionProvider"], [{}]),
    ("cuda:2", ["CUDAExecutionProvider"], [{"device_id": "2"}]),
])
def test_onnx_session_settings(monkeypatch, device, providers, options):
    fake = FakeOrt()
    monkeypatch.setattr(segmentation, "onnxruntime", fake)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # CUDA asked for, the CPU given
        segmentation.OnnxFaceSegmentation(model_bytes=parsing_model(), device=device)
    (_, opts, got_providers, got_options), = fake.sessions
    assert (got_providers, got_options, fake.preloads) == (providers, options, 1)
    assert (opts.log_severity_level, opts.log_verbosity_level) == (4, 4)


def test_onnx_bytes_win_and_nothing_is_no_model(monkeypatch):
    monkeypatch.setattr(segmentation, "open", lambda *a: pytest.fail("file opened"), raising=False)
    segmentation.OnnxFaceSegmentation(model_path="missing.onnx", model_bytes=parsing_model(), device="cpu")
    with pytest.raises(AssertionError, match="^model_bytes must be provided if model_path is not specified$"):
        segmentation.OnnxFaceSegmentation(device="cpu")


@pytest.mark.gpu
def test_gpu_masks_equal_the_plain_composition():
    import cupy as cp

    preds = np.random.default_rng(3).standard_normal((2, 19, 16, 12)).astype(np.float32)
    model = segmentation.BaseFaceSegmentation()
    assert isinstance(model.all_indices, cp.ndarray)
    masks = model.composite_masks(cp.asarray(preds))
    assert isinstance(masks, cp.ndarray)
    np.testing.assert_array_equal(cp.asnumpy(masks), plain_composite(preds))


@pytest.mark.gpu
def test_onnx_cupy_faces_come_back_as_cupy():
    import cupy as cp

    model = segmentation.OnnxFaceSegmentation(model_bytes=parsing_model(), device="cpu")
    model.input_size = (16, 16)
    out = model.batch_get([cp.asarray(f) for f in faces(2)])
    assert all(isinstance(o, cp.ndarray) and o.shape == (16, 16, 3) for o in out)


# ---------------------------------------------------------------- TrtFaceSegmentation
# Engine files, buffers, streams and error texts: test_model_runtime.py.


def test_trt_input_size_from_the_engine(monkeypatch):
    from standins import FakeGpu, fake_tensorrt

    gpu = FakeGpu()
    monkeypatch.setattr(segmentation, "cp", gpu)
    for shape, size in [((-1, 3, 256, 320), (320, 256)), ((-1, 3, 512, 512), (512, 512)), ((-1, 6), (512, 512)),
                        ((-1, 3, -1, -1), (512, 512))]:
        engine = [("in0", "in", shape), ("in1", "in", (-1, 4)), ("out", "out", (-1, 19, 4, 4))]
        monkeypatch.setattr(segmentation, "trt", fake_tensorrt(gpu, tensors=engine, run=None))
        model = segmentation.TrtFaceSegmentation(model_bytes=b"engine")
        assert (model.input_tensor, model.output_names, model.input_size) == ("in0", ["out"], size)
        assert model.d_inputs["in0"].shape == tuple(max(d, 1) for d in shape)
        assert (model.logger.level, type(model.runtime).__name__) == ("warning", "Runtime")
