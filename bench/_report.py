"""The ratios the benches measure, gathered into the one table `make bench` prints.

Each bench prints its own details and calls `ratio(...)` for every figure it compares
with a target. When bench/all.py runs it, the ratios also go, one JSON line each, to the
file named by KESTREL_BENCH_RESULTS.
"""

import json
import os

RESULTS = "KESTREL_BENCH_RESULTS"


def ratio(bench, case, threads, value, target):
    """Records `value` (ours / reference: below 1 is faster) for `case` at `threads`
    threads (None where threads do not apply) against `target` (at most)."""
    path = os.environ.get(RESULTS)
    if path:
        with open(path, "a") as f:
            f.write(json.dumps({"bench": bench, "case": case, "threads": threads, "ratio": value,
                                "target": target}) + "\n")
