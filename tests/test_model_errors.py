"""The model modules under hostile collaborators: every failure is an ordinary exception.

The image library, the array modules, sessions and engines are replaced by stand-ins that
return wrong types, wrong shapes and negative sizes. Whatever happens, a call either
returns or raises an ordinary exception: never SystemError (an error path that returned
NULL without an exception set, or a C++ exception that escaped).
"""

import itertools
import subprocess
import sys
import types

import numpy as np
import pytest

from kestrel import enhance, segmentation, swap
from standins import FakeGpu, fake_tensorrt


class Odd:
    """An array-like that answers everything with itself, with a shape of negative sizes."""

    def __init__(self, shape=(-3, 3, 4, 4)):
        self.shape = shape
        self.dtype = np.float32
        self.ndim = len(shape)

    def __getitem__(self, key):
        return self

    def __len__(self):
        return -1 if self.shape and self.shape[0] < 0 else 0

    def __iter__(self):
        return iter(())

    def reshape(self, *args):
        return self

    def repeat(self, *args):
        return self

    __add__ = __sub__ = __mul__ = __truediv__ = __iadd__ = __isub__ = __itruediv__ = lambda self, other: self


BAD_VALUES = [None, 7, "text", [], [None], Odd(), Odd(shape=()), Odd(shape=("x",)), np.zeros((0, 3, 4, 4), np.float32)]


def images(n=2):
    return [np.random.default_rng(i).random((8, 8, 3), dtype=np.float32) for i in range(n)]


def rk_with(name, value):
    """rasterkit with one function replaced by one returning `value`."""
    import rasterkit

    fake = types.SimpleNamespace(**{k: getattr(rasterkit, k) for k in dir(rasterkit) if not k.startswith("__")})
    setattr(fake, name, lambda *a, **k: value)
    return fake


class SwapModel(swap.BaseFaceSwap):
    def forward(self, batch, latent):
        return self.result


class ParseModel(segmentation.BaseFaceSegmentation):
    def forward(self, batch):
        return self.result


class RestoreModel(enhance.BaseFaceEnhance):
    def forward(self, batch):
        return self.result


CALLS = {
    swap: [lambda m: m.get(images(1)[0], np.zeros(512, np.float32)),
           lambda m: m.batch_get(images(3), np.zeros(512, np.float32), max_batch=2),
           lambda m: m.batch_get(images(2), [np.zeros(512, np.float32)] * 2)],
    segmentation: [lambda m: m.get(images(1)[0]), lambda m: m.batch_get(images(3), 2),
                   lambda m: m.composite_masks(m.result)],
    enhance: [lambda m: m.get(images(1)[0]), lambda m: m.batch_get(images(3))],
}
MODELS = {swap: SwapModel, segmentation: ParseModel, enhance: RestoreModel}
RK_FUNCTIONS = ["images_to_batch", "image_to_batch", "batch_to_images", "fold_class_masks", "to_numpy"]


def no_system_error(call):
    try:
        call()
    except SystemError as e:  # pragma: no cover - the fault this file looks for
        pytest.fail(f"SystemError: {e}")
    except Exception:
        pass


@pytest.mark.parametrize("module, classes", [
    ("swap", [("OnnxFaceSwap", "onnxruntime", "'cpu' extra"), ("TrtFaceSwap", "tensorrt", "'tensorrt' extra")]),
    ("segmentation", [("OnnxFaceSegmentation", "onnxruntime", "'cpu' extra"),
                      ("TrtFaceSegmentation", "tensorrt", "'tensorrt' extra")]),
    ("enhance", [("OnnxFaceEnhance", "onnxruntime", "'cpu' extra"), ("TrtFaceEnhance", "tensorrt", "'tensorrt' extra")]),
])
def test_modules_import_without_optional_packages(module, classes):
    """Without CuPy, ONNX Runtime and TensorRT a model module imports, binds them as None
    (segmentation's class table is made on the host then), and a backend that needs one
    says which package and which extra brings it."""
    code = ("import sys\n"
            "for name in ('cupy', 'onnxruntime', 'tensorrt'): sys.modules[name] = None\n"
            f"from kestrel import {module} as m\n"
            "assert m.cp is None and m.onnxruntime is None and m.trt is None\n"
            "if hasattr(m, 'BaseFaceSegmentation'):\n"
            "    assert type(m.BaseFaceSegmentation().all_indices).__module__ == 'numpy'\n"
            f"for cls, package, extra in {classes!r}:\n"
            "    try:\n"
            "        getattr(m, cls)(model_bytes=b'x', device='cpu')\n"
            "    except ImportError as e:\n"
            "        assert extra in str(e) and e.name == package, e\n"
            "    else:\n"
            "        raise SystemExit(f'{cls}: no ImportError')\n")
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("module", [swap, segmentation, enhance], ids=lambda m: m.__name__)
@pytest.mark.parametrize("replaced", ["forward", *RK_FUNCTIONS, "np", "cp"])
def test_bad_collaborators_raise_ordinary_errors(monkeypatch, module, replaced):
    for value, call in itertools.product(BAD_VALUES, CALLS[module]):
        model = MODELS[module](device="cpu")
        model.result = np.zeros((2, 19, 4, 4), np.float32)
        if replaced == "forward":
            model.result = value
        elif replaced in ("np", "cp"):
            monkeypatch.setattr(module, replaced, types.SimpleNamespace(ndarray=type(value), asarray=lambda *a: value,
                                                                        concatenate=lambda *a: value))
        else:
            monkeypatch.setattr(module, "rk", rk_with(replaced, value))
        no_system_error(lambda: call(model))
        monkeypatch.undo()


@pytest.mark.parametrize("module, cls", [(swap, "TrtFaceSwap"), (segmentation, "TrtFaceSegmentation"),
                                         (enhance, "TrtFaceEnhance")])
def test_bad_engines_raise_ordinary_errors(monkeypatch, module, cls):
    gpu = FakeGpu()
    monkeypatch.setattr(module, "cp", gpu)
    shapes = [(-1, 3, 8, 8), (-2,), (), (2, -5, 8, 8), ("x", 3)]
    for first, second in itertools.product(shapes, repeat=2):
        tensors = [("a", "in", first), ("b", "in", (-1, 512)), ("c", "out", second)]
        monkeypatch.setattr(module, "trt", fake_tensorrt(gpu, tensors=tensors, run=lambda buf: None))
        for value in BAD_VALUES:
            def construct_and_run():
                model = getattr(module, cls)(model_bytes=b"engine")
                model.forward(*([value, np.zeros((2, 512), np.float32)] if module is swap else [value]))
            no_system_error(construct_and_run)


# One call of each kind of entry point, run for ever by a daemon thread.
EXIT_LOOPS = {
    "swap": "from kestrel import swap as m\n"
            "class Model(m.BaseFaceSwap):\n    def forward(self, batch, latent): return batch\n"
            "model, latent = Model(device='cpu'), np.zeros(512, np.float32)\n"
            "call = lambda: model.get(image, latent)\n",
    "segmentation": "from kestrel import segmentation as m\n"
                    "class Model(m.BaseFaceSegmentation):\n"
                    "    def forward(self, batch): return np.tile(batch, (1, 7, 1, 1))[:, :19]\n"
                    "model = Model(device='cpu')\ncall = lambda: model.get(image)\n",
    "enhance": "from kestrel import enhance as m\n"
               "class Model(m.BaseFaceEnhance):\n    def forward(self, batch): return batch\n"
               "model = Model(device='cpu')\ncall = lambda: model.get(image)\n",
    "facefit": "from kestrel import facefit\n"
               "lm = np.array([[20, 24], [44, 24], [32, 34], [23, 44], [41, 44]], np.float64)\n"
               "call = lambda: facefit.align_face_ffhq(image, lm, 64, 128)\n",
    "paste": "from kestrel import paste\n"
             "pb, M = paste.PasteBack(), np.array([[1.0, 0.1, -3.0], [-0.1, 1.0, 2.0]])\n"
             "call = lambda: pb.get(image, image[8:40, 8:40], M)\n",
}


@pytest.mark.parametrize("module", list(EXIT_LOOPS))
def test_interpreter_exit_while_a_daemon_thread_is_inside(module):
    """A thread still inside a kestrel call when the interpreter exits is ended by
    CPython; nothing on its way out may abort the process."""
    code = ("import threading, time\nimport numpy as np\n"
            "image = np.random.default_rng(0).random((64, 64, 3), dtype=np.float32)\n" + EXIT_LOOPS[module] +
            "def loop():\n    while True:\n        call()\n"
            "threading.Thread(target=loop, daemon=True).start()\ntime.sleep(0.05)\n")
    for _ in range(20):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr[-2000:]


def test_a_context_is_left_once_with_the_error_that_ended_it(monkeypatch, tmp_path):
    """The glue's with: __exit__ runs exactly once, gets the error that ended the block,
    and that error is the one raised."""
    exits = []

    class File:
        def __init__(self, read_fails):
            self.read_fails = read_fails

        def __enter__(self):
            return self

        def read(self):
            if self.read_fails:
                raise OSError("the disk went away")
            return b"not read"

        def __exit__(self, kind, value, traceback):
            exits.append(kind)
            raise RuntimeError("closing failed")

    for read_fails, error, message in [(False, RuntimeError, "closing failed"), (True, OSError, "disk went away")]:
        exits.clear()
        monkeypatch.setattr(swap, "open", lambda *args: File(read_fails), raising=False)
        with pytest.raises(error, match=message):
            swap.OnnxFaceSwap(model_path=str(tmp_path / "m.onnx"), device="cpu")
        assert exits == [OSError if read_fails else None]
