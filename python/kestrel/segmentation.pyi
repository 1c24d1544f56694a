"""Face segmentation: a face-parsing network folded into three region masks, on ONNX Runtime or TensorRT.

Images are HWC float32 arrays with values 0..1: CuPy arrays on the GPU or NumPy arrays on
the CPU; results follow the input. Masks come back at the network's resolution.
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

class BaseFaceSegmentation(BaseModelLoader):
    """
    Base class for face segmentation models.

    Segments facial regions like eyes, nose, mouth, and skin
    to enable targeted operations like face swapping and enhancement.
    """

    input_size: tuple[int, int]
    input_mean: tuple[float, float, float]
    input_std: tuple[float, float, float]
    num_categories: int
    all_indices: _Array
    category_ids: _Array

    def __init__(
        self, model_path: str | None = None, model_bytes: bytes | None = None, device: str = "cuda"
    ) -> None: ...
    def forward(self, batch: _Array) -> _Array:
        """Placeholder for the forward method."""

    def init_indexes(self, indexes: list[list[int]]) -> None: ...
    def get(self, image: _Array) -> _Array:
        """Face segmentation method for a single image."""

    def batch_get(self, images: list[_Array], MAX_BATCH_SIZE: int = 16) -> list[_Array]:
        """Face segmentation inference method, in chunks of at most MAX_BATCH_SIZE images."""

    def composite_masks(self, preds: _Array) -> _Array:
        """Composite masks into a single image: (N, 19, H, W) scores -> (N, 3, H, W) float32 masks."""

class OnnxFaceSegmentation(BaseFaceSegmentation):
    """Face segmentation using ONNX Runtime for inference."""

    session: Any
    input_name: str
    input_shape: list[Any]
    dtype: str
    output_shape: list[Any]
    output_name: str

    def initialize(self, model_bytes: bytes, device: str, device_id: str = "0") -> None: ...
    def forward(self, batch: _Array) -> _Array:
        """All outputs of the model stacked on a new leading axis."""

class TrtFaceSegmentation(BaseFaceSegmentation):
    """Face segmentation using TensorRT for high-performance inference."""

    logger: Any
    runtime: Any
    engine: Any
    ctx: Any
    stream: Any
    d_inputs: dict[str, Any]
    d_outputs: dict[str, Any]
    input_tensor: str
    output_names: list[str]

    def initialize(self, model_bytes: bytes, device: str, device_id: str) -> None: ...
    def forward(self, batch: _Array) -> _Array:
        """Forward pass using TensorRT"""
