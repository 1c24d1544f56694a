from typing import Any

import numpy as np

script_dir: str

def load_vault(vault_path: str | None = None) -> Any:
    """Load the matrix stored in an enciphered vault file (a CuPy array when a GPU is usable, else NumPy)."""

def save(array: np.ndarray, dest_path: str | None = None):
    """Store an array as an enciphered vault file, replacing any previous file atomically."""
