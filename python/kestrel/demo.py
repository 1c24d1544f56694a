"""A short tour of what kestrel offers today: ``python -m kestrel.demo``."""

import os
import tempfile

import numpy as np

from kestrel import vault


def main() -> None:
    matrix = np.random.default_rng(7).standard_normal((512, 512)).astype(np.float32)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "vault.bin")
        vault.save(matrix, path)
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            head = f.read(6)
        loaded = vault.load_vault(path)
    kind = type(loaded).__module__.split(".")[0]
    same = bool((np.asarray(loaded.get() if kind == "cupy" else loaded) == matrix).all())
    print(f"vault: saved a {matrix.shape[0]}x{matrix.shape[1]} {matrix.dtype} matrix to an enciphered file of {size} bytes")
    print(f"vault: first bytes on disk {head.hex()} (a plain .npy file starts with 934e554d5059)")
    print(f"vault: loaded it back as a {kind} array, identical: {same}")


if __name__ == "__main__":
    main()
