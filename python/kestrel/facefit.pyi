from typing import Any, Optional as Optional, Tuple as Tuple

cp: Any
np: Any
rk: Any
cupyx: Any

def align_face_ffhq(
    img: "cp.ndarray",
    face_landmarks: "cp.ndarray",
    output_size: int = 256,
    transform_size: int = 1024,
    enable_padding: bool = True,
) -> "cp.ndarray":
    """FFHQ-aligned square crop of one face from its five landmarks.

    img is a NumPy or CuPy array of bool, uint8, uint16 or a float type. Returns a float32
    S x S x C image, S = min(output_size, transform_size), on the frame's device (CuPy in,
    CuPy out; NumPy in, NumPy out). A face wholly outside the frame raises ValueError.
    """
