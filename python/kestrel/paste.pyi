from typing import Any

cp: Any
np: Any
rk: Any

class PasteBack:
    """Pastes processed face crops back into their frames through a feathered mask, built once per crop size and cached."""

    gaussian_blur: Any
    blursize: float
    mask: "cp.ndarray | None"
    size: tuple[int, int] | None

    def __init__(self, blursize: float = 1.0) -> None: ...
    def create_mask(self, size: tuple) -> "cp.ndarray":
        """Feathered height x width x 3 float32 mask for a crop of size (height, width)."""
    def get(self, target_image: "cp.ndarray", paste_image: "cp.ndarray", M: "cp.ndarray") -> "cp.ndarray":
        """Paste a crop back into its frame through the cached feathered mask."""

def paste_back(
    target_image: "cp.ndarray", paste_image: "cp.ndarray", M: "cp.ndarray", mask: "cp.ndarray | None" = None
) -> "cp.ndarray":
    """Blend a crop, cut from the frame with M, back into the frame: mask * crop + (1 - mask) * frame.

    A CuPy frame is worked on its own GPU, whichever is current; the crop and the mask are brought there.
    """
