"""The ratios the benches measure, gathered into the one table `make bench` prints.

Each bench prints its own details and calls `ratio(...)` for every figure it compares
with a target. When bench/all.py runs it, the ratios also go, one JSON line each, to the
file named by KESTREL_BENCH_RESULTS.
"""

import json
import os
import statistics
import time

RESULTS = "KESTREL_BENCH_RESULTS"


def ratio(bench, case, threads, value, target):
    """Records `value` (ours / reference: below 1 is faster) for `case` at `threads`
    threads (None where threads do not apply) against `target` (at most)."""
    path = os.environ.get(RESULTS)
    if path:
        with open(path, "a") as f:
            f.write(json.dumps({"bench": bench, "case": case, "threads": threads, "ratio": value,
                                "target": target}) + "\n")


def alternating_ms(fns, rounds):
    """Median milliseconds of each function over `rounds` rounds, one call of each per
    round, so that drifts of the machine's load hit every side alike."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for fn, out in zip(fns, times):
            start = time.perf_counter()
            fn()
            out.append((time.perf_counter() - start) * 1e3)
    return [statistics.median(t) for t in times]
