"""One numeric matrix in a file obscured with a fixed key shipped in the package.

It keeps casual readers out and protects nothing from anyone who has the package.
"""

from typing import Any

import numpy as np

script_dir: str

def load_vault(vault_path: str | None = None) -> Any:
    """Load the matrix stored in an enciphered vault file, with the stored dtype and shape.

    A CuPy array when a GPU is usable and CuPy can hold the dtype as stored (booleans and
    numbers in native byte order); a NumPy array otherwise. The key is fixed and ships
    with the package: the file is obscured from casual reading, not protected.
    """

def save(array: np.ndarray, dest_path: str | None = None):
    """Store an array as an enciphered vault file.

    A regular file (or a new one) is replaced atomically through a temporary file beside
    it. Where a replace would change what the path stands for (a device, FIFO or socket,
    a file with other hard links, one whose owner could not be kept, a writable file in a
    directory that refuses new files) it is written in place as ``open(path, "wb")``
    would, and a failed write can leave it truncated. The key is fixed and ships with the
    package: the file is obscured from casual reading, not protected.
    """
