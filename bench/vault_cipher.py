"""Vault save + load of a 100 MB float32 matrix against plain np.save + np.load.

Both sides write and read real files in the same temporary folder in the same run.
The vault replaces its file durably (temporary file, fsync, rename), which plain
np.save does not, so a third line times NumPy doing the same durable replace: the
difference between the second and third ratio is the cost of that protocol on this
disk, not of the cipher. Target for the first ratio: below 2.
"""

import os
import tempfile
import time

import numpy as np
from _report import ratio

from kestrel import vault


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    array = np.random.default_rng(0).standard_normal(25_000_000).astype(np.float32)  # 100 MB
    with tempfile.TemporaryDirectory() as folder:
        plain = os.path.join(folder, "plain.npy")
        durable = os.path.join(folder, "durable.npy")
        ciphered = os.path.join(folder, "vault.bin")

        def numpy_round_trip():
            np.save(plain, array)
            np.load(plain)

        def numpy_durable_round_trip():
            with open(durable + ".tmp", "wb") as f:
                np.save(f, array)
                f.flush()
                os.fsync(f.fileno())
            os.replace(durable + ".tmp", durable)
            np.load(durable)

        def vault_round_trip():
            vault.save(array, ciphered)
            vault.load_vault(ciphered)

        for fn in (numpy_round_trip, numpy_durable_round_trip, vault_round_trip):
            fn()  # warm the page cache and allocator
        t_numpy = best_of(5, numpy_round_trip)
        t_durable = best_of(5, numpy_durable_round_trip)
        t_vault = best_of(5, vault_round_trip)
    print(f"vault save+load 100 MB:                 {t_vault * 1e3:7.1f} ms")
    print(f"np.save+np.load:                        {t_numpy * 1e3:7.1f} ms   ratio {t_vault / t_numpy:.2f} (target < 2)")
    print(f"np.save+np.load, durable replace as ours: {t_durable * 1e3:5.1f} ms   ratio {t_vault / t_durable:.2f}")
    ratio("vault_cipher", "save+load 100 MB vs np.save+np.load", None, t_vault / t_numpy, 2.0)
    ratio("vault_cipher", "save+load 100 MB vs the same durable replace", None, t_vault / t_durable, 2.0)


if __name__ == "__main__":
    main()
