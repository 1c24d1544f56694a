"""Vault save + load of a 100 MB float32 matrix against plain np.save + np.load.

Both sides write and read real files in the same temporary folder in the same run;
the ratio is vault time / NumPy time (target: below 2). The vault also flushes the
file to disk before renaming it into place (np.save does not); the bench measures
that flush on its own, on a file of the same size, and prints the ratio without it
as well, since on slow disks the flush alone can exceed the whole NumPy round trip.
"""

import os
import tempfile
import time

import numpy as np

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
        ciphered = os.path.join(folder, "vault.bin")

        def numpy_round_trip():
            np.save(plain, array)
            np.load(plain)

        def vault_round_trip():
            vault.save(array, ciphered)
            vault.load_vault(ciphered)

        def write(flush):
            with open(os.path.join(folder, "flush.bin"), "wb") as f:
                f.write(payload)
                if flush:
                    f.flush()
                    os.fsync(f.fileno())

        payload = array.tobytes()
        numpy_round_trip(), vault_round_trip()  # warm the page cache and allocator
        t_numpy = best_of(5, numpy_round_trip)
        t_vault = best_of(5, vault_round_trip)
        t_flush = max(best_of(5, lambda: write(True)) - best_of(5, lambda: write(False)), 0.0)
    print(f"vault save+load 100 MB: {t_vault * 1e3:.1f} ms, np.save+np.load: {t_numpy * 1e3:.1f} ms, "
          f"ratio {t_vault / t_numpy:.2f} (target < 2)")
    print(f"flush to disk of 100 MB: {t_flush * 1e3:.1f} ms; ratio without it "
          f"{(t_vault - t_flush) / t_numpy:.2f}")


if __name__ == "__main__":
    main()
