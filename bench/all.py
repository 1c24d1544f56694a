"""Runs every benchmark in bench/ and prints one table of all their ratios.

    python bench/all.py            (what `make bench` runs)

Each bench runs in its own process, as `python bench/<name>.py`, with its output shown
as it comes; the table at the end lists every ratio (ours / reference, below 1.0 is
faster) at one and at two threads, with its target and whether it is met.
"""

import collections
import json
import os
import pathlib
import subprocess
import sys
import tempfile

from _report import RESULTS

HERE = pathlib.Path(__file__).parent


def main():
    benches = sorted(p for p in HERE.glob("*.py") if not p.name.startswith(("_", "all")))
    with tempfile.TemporaryDirectory() as tmp:
        results = pathlib.Path(tmp, "ratios.jsonl")
        env = dict(os.environ, **{RESULTS: str(results)})
        failed = []
        for bench in benches:
            print(f"\n==== {bench.name}", flush=True)
            if subprocess.run([sys.executable, str(bench)], env=env).returncode:
                failed.append(bench.name)
        rows = [json.loads(line) for line in results.read_text().splitlines()] if results.exists() else []

    table = collections.OrderedDict()
    for r in rows:
        table.setdefault((r["bench"], r["case"], r["target"]), {})[r["threads"]] = r["ratio"]
    print(f"\n{'bench':<22}{'case':<44}{'1 thread':>10}{'2 threads':>11}{'target':>9}  met")
    for (bench, case, target), by_threads in table.items():
        cells = [by_threads.get(t, by_threads.get(None)) for t in (1, 2)]
        met = all(c is None or c <= target for c in cells)
        text = "".join(f"{c:>{w}.2f}" if c is not None else f"{'-':>{w}}" for c, w in zip(cells, (10, 11)))
        print(f"{bench:<22}{case:<44}{text}{'<= ' + format(target, 'g'):>9}  {'yes' if met else 'NO'}")
    if failed:
        print(f"\nfailed: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
