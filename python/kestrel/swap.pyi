"""Face swap: an identity latent onto aligned target face crops, on ONNX Runtime or TensorRT.

Images are HWC float32 arrays with values 0..1: CuPy arrays on the GPU or NumPy arrays on
the CPU; results follow the input.
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

class BaseFaceSwap(BaseModelLoader):
    """
    Base class for face swapping models.

    Performs face identity transfer by swapping facial features
    from a source identity onto a target face image.
    """

    input_mean: float
    input_std: float
    patch: int
    input_size: tuple[int, int]

    def __init__(
        self, model_path: str | None = None, model_bytes: bytes | None = None, device: str = "cuda"
    ) -> None: ...
    def forward(self, batch: _Array, latent: _Array) -> _Array:
        """Run the model on an NCHW batch and float32 latent rows (rows, 512)."""

    def get(self, target_image: _Array, latent: _Array, weight: float = 1.0) -> _Array:
        """Swap the identity `latent` onto one HWC target image (the latent is weighted in place)."""

    def batch_get(
        self,
        target_images: list[_Array],
        latent: _Array | list[_Array],
        weight: float = 1.0,
        max_batch: int = 16,
    ) -> list[_Array]:
        """Swap identities onto a list of HWC target images, in sub-batches of at most max_batch."""

class OnnxFaceSwap(BaseFaceSwap):
    session: Any
    input_names: list[str]
    output_names: list[str]

    def initialize(self, model_bytes: bytes, device: str, device_id: str = "0") -> None:
        """Create the ONNX Runtime session: the CUDA provider when device contains "cuda", else the CPU."""

    def forward(self, batch: _Array, latent: _Array) -> _Array: ...

class TrtFaceSwap(BaseFaceSwap):
    """Face swapper using TensorRT for high-performance face identity transfer."""

    engine: Any
    ctx: Any
    stream: Any
    target_name: str | None
    source_name: str | None
    d_inputs: dict[str, Any]
    d_outputs: dict[str, Any]
    output_names: list[str]

    def initialize(self, model_bytes: bytes, device: str, device_id: str) -> None:
        """Deserialise the engine and create its execution context, stream and output buffers.

        Every engine input and output must be float32 (RuntimeError otherwise)."""

    def forward(self, batch: _Array, latent: _Array) -> _Array:
        """Run the engine on the object's GPU and stream, whatever device is current."""
