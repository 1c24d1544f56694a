import inspect

import pytest

from kestrel.base import BaseModelLoader


@pytest.mark.parametrize(
    "device, device_id",
    [("cuda", "0"), ("cpu", "0"), ("cuda:3", "3"), ("cuda:12", "12"), ("a:b:7", "7"), ("cuda:", "0")],
)
def test_device_id_is_the_text_after_the_last_colon(device, device_id):
    loader = BaseModelLoader("m.onnx", None, device)
    assert vars(loader) == {"model_path": "m.onnx", "model_bytes": None, "device": device, "device_id": device_id}


def test_is_an_ordinary_subclassable_class():
    class Loader(BaseModelLoader):
        def __init__(self, extra):
            super().__init__(None, b"onnx", "cuda:1")
            self.extra = extra

    loader = Loader(5)
    assert (loader.model_bytes, loader.device_id, loader.extra) == (b"onnx", "1", 5)
    assert str(inspect.signature(BaseModelLoader)) == "(model_path=None, model_bytes=None, device='cuda')"
    assert BaseModelLoader.__module__ == "kestrel.base"


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, None, "cuda"), "Argument 'model_path' has incorrect type (expected str, got int)"),
        ((None, bytearray(b"x"), "cuda"), "Argument 'model_bytes' has incorrect type (expected bytes, got bytearray)"),
        ((None, None, None), "Argument 'device' has incorrect type (expected str, got NoneType)"),
        ((None, None, "cuda", 1), "__init__() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as err:
        BaseModelLoader(*args)
    assert str(err.value) == message
