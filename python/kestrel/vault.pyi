from typing import Any

import numpy as np

script_dir: str

def load_vault(vault_path: str | None = None) -> Any:
    """Load the matrix stored in an enciphered vault file, with the stored dtype and shape.

    A CuPy array when a GPU is usable and CuPy can hold the dtype as stored (booleans and
    numbers in native byte order); a NumPy array otherwise.
    """

def save(array: np.ndarray, dest_path: str | None = None):
    """Store an array as an enciphered vault file, replacing any previous file atomically."""
