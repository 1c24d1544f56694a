"""Face enhancement: a restoration network over face crops, on ONNX Runtime or TensorRT.

Images are HWC float32 arrays with values 0..1: CuPy arrays on the GPU or NumPy arrays on
the CPU; results follow the input and come back at the model's size (512 x 512).
"""

from types import ModuleType
from typing import Any

from ._typing import Array as _Array
from .base import BaseModelLoader as BaseModelLoader

os: ModuleType
np: ModuleType
rk: ModuleType  # the image library rasterkit
cp: ModuleType | None
onnxruntime: ModuleType | None
trt: ModuleType | None

class BaseFaceEnhance(BaseModelLoader):
    """
    Base class for face enhancement models.

    Enhancement models improve face image quality by reducing artifacts,
    enhancing details and restoring facial features with generative
    models such as GFPGAN.
    """

    input_size: int
    input_mean: float
    input_std: float

    def __init__(
        self, model_path: str | None = None, model_bytes: bytes | None = None, device: str = "cuda"
    ) -> None: ...
    def forward(self, batch: _Array) -> _Array:
        """Run the model on an NCHW batch; backends implement it."""

    def get(self, image: _Array) -> _Array:
        """Restore one HWC face image."""

    def batch_get(self, images: list[_Array]) -> list[_Array]:
        """Restore a list of HWC face images, one model call per image (an empty list raises ValueError)."""

class OnnxFaceEnhance(BaseFaceEnhance):
    """GFPGAN Face enhancer using ONNX Runtime for face quality improvement."""

    session: Any
    input_name: str
    input_shape: list[Any]
    dtype: str

    def initialize(self, model_bytes: bytes, device: str, device_id: str = "0") -> None: ...
    def forward(self, batch: _Array) -> _Array: ...

class TrtFaceEnhance(BaseFaceEnhance):
    """Face enhancer using TensorRT for high-performance face quality improvement."""

    device_id: int  # type: ignore[assignment]
    engine: Any
    ctx: Any
    stream: Any
    d_inputs: dict[str, Any]
    d_outputs: dict[str, Any]
    input_name: str

    def initialize(self, model_bytes: bytes) -> None:  # type: ignore[override]
        """Deserialise the engine and create its execution context, stream and output buffers."""

    def forward(self, batch: _Array) -> _Array:
        """Run the engine; the batch must have the engine's input shape and type."""
