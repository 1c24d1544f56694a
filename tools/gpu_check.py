"""The GPU check: build kestrel for an interpreter and prove it on this machine's GPU.

    python3 tools/gpu_check.py [--python PYTHON] [--wheels DIR] [--budget SECONDS]
    make gpu-check [GPU_CHECK_PYTHON=python3.12]

Needs no network. The package is built with `pip install --no-build-isolation --no-deps
--no-index` into a throwaway folder that is put first on PYTHONPATH, so the machine's
own CuPy, NumPy, ONNX Runtime and build tools are used. Then, in one time budget (8
minutes by default):

  1. the gpu tests against real CuPy (pytest -m gpu);
  2. every rasterkit GPU operation once under compute-sanitizer's memcheck
     (tools/gpu_ops.py);
  3. the benchmarks' GPU figures: milliseconds per operation, and a 1080p frame
     without networks (align, warp, paste).

junit.xml, summary.txt and the logs go to the folder named by $OUT, or build/gpu-check.
Without CuPy or a CUDA device it says so and exits 0; otherwise it exits 1 when any
step failed. pytest comes from the machine, or from the wheels in --wheels DIR.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEVICE_PROBE = """
import cupy, sys
count = cupy.cuda.runtime.getDeviceCount()
props = cupy.cuda.runtime.getDeviceProperties(0)
print(f"{count} x {props['name'].decode()}, CuPy {cupy.__version__}, CUDA runtime "
      f"{cupy.cuda.runtime.runtimeGetVersion()}, Python {sys.version.split()[0]}")
"""
BENCHES = [
    ("bench rasterkit", ["bench/rasterkit_vs_opencv.py", "--repeat", "10"]),
    ("bench frame", ["bench/align_paste.py", "--gpu", "--repeat", "10"]),
]


class Step:
    """One line of the summary and one test case of the report."""

    def __init__(self, name, status, seconds, detail="", log=""):
        self.name, self.status, self.seconds, self.detail, self.log = name, status, seconds, detail, log


class Check:
    def __init__(self, python, out, budget):
        self.python, self.out, self.deadline = python, out, time.monotonic() + budget
        self.steps: list[Step] = []
        self.env = dict(os.environ)

    def remaining(self, cap):
        return max(1.0, min(cap, self.deadline - time.monotonic()))

    def run(self, name, command, cap, log_name, env=None):
        """Runs a command with what is left of the budget (at most `cap` seconds), its
        output kept in `log_name`. Returns (return code or None on timeout, output, seconds)."""
        started = time.monotonic()
        try:
            done = subprocess.run(command, cwd=ROOT, env=env or self.env, capture_output=True, text=True,
                                  timeout=self.remaining(cap))
            code, output = done.returncode, done.stdout + done.stderr
        except subprocess.TimeoutExpired as timeout:
            code = None
            output = "".join(part.decode(errors="replace") if isinstance(part, bytes) else part or ""
                             for part in (timeout.stdout, timeout.stderr))
            output += f"\n[gpu-check] {name}: stopped after {timeout.timeout:.0f} s (time budget)\n"
        (self.out / log_name).write_text(output)
        return code, output, time.monotonic() - started

    def add(self, step):
        self.steps.append(step)
        print(f"[gpu-check] {step.name}: {step.status} ({step.seconds:.0f} s) {step.detail}", flush=True)
        return step.status == "passed"

    # ------------------------------------------------------------ the steps

    def build(self, target):
        command = [self.python, "-m", "pip", "install", "-v", "--no-build-isolation", "--no-deps", "--no-index",
                   "--target", str(target), str(ROOT)]
        code, output, seconds = self.run("build", command, 300, "build.log")
        warnings = sorted(set(re.findall(r"^.*warning: .*$", output, flags=re.M)))
        if code != 0:
            errors = re.findall(r"^.*error: .*$", output, flags=re.M)
            return self.add(Step("build", "failed", seconds, f"pip exited {code}; see build.log",
                                 "\n".join(errors[:40]) or output[-4000:]))
        self.add(Step("build warnings", "failed" if warnings else "passed", 0, f"{len(warnings)} compiler warnings",
                      "\n".join(warnings)))
        return self.add(Step("build", "passed", seconds, f"for {self.python}"))

    def ensure_pytest(self, target, wheels):
        if subprocess.run([self.python, "-c", "import pytest"], env=self.env, capture_output=True).returncode == 0:
            return True
        if wheels:
            command = [self.python, "-m", "pip", "install", "--no-index", "--find-links", str(wheels),
                       "--target", str(target), "pytest"]
            code, output, seconds = self.run("pytest install", command, 120, "pytest-install.log")
            if code == 0:
                return True
        return self.add(Step("gpu tests", "failed", 0, "pytest is not installed here: pass --wheels with its "
                                                       "wheels (pip download pytest -d DIR)"))

    def gpu_tests(self):
        files = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "tests").glob("test_*.py")
                       if "mark.gpu" in p.read_text())
        report = self.out / "gpu-tests.xml"
        command = [self.python, "-m", "pytest", "-m", "gpu", "-rfEs", "-p", "no:cacheprovider",
                   f"--junitxml={report}", *files]
        code, output, seconds = self.run("gpu tests", command, 300, "gpu-tests.log")
        counts = _pytest_counts(report)
        detail = ", ".join(f"{n} {what}" for what, n in counts.items()) if counts else "no report"
        header = next((line for line in output.splitlines() if line.startswith("GPU:")), "")
        status = "passed" if code == 0 else "failed"
        return self.add(Step("gpu tests", status, seconds, f"{detail} ({header or 'no GPU line'})",
                             output[-6000:] if code != 0 else ""))

    def sanitizer(self):
        tool = shutil.which("compute-sanitizer") or "/usr/local/cuda/bin/compute-sanitizer"
        if not os.access(tool, os.X_OK):
            return self.add(Step("memcheck", "skipped", 0, "compute-sanitizer not found"))
        command = [tool, "--tool", "memcheck", "--error-exitcode", "1", "--print-limit", "20",
                   self.python, "tools/gpu_ops.py"]
        code, output, seconds = self.run("memcheck", command, 180, "memcheck.log")
        summary = re.findall(r"ERROR SUMMARY: .*", output)
        ran = re.findall(r"\d+ GPU operations ran", output)
        detail = "; ".join(ran + summary) or f"exit {code}"
        return self.add(Step("memcheck", "passed" if code == 0 else "failed", seconds, detail,
                             output[-6000:] if code != 0 else ""))

    def benches(self):
        for name, args in BENCHES:
            code, output, seconds = self.run(name, [self.python, *args], 150, name.replace(" ", "-") + ".txt")
            gpu_part = output[output.find("\nGPU"):].strip() if "\nGPU" in output else ""
            self.add(Step(name, "passed" if code == 0 else "failed", seconds, "", gpu_part or output[-3000:]))

    # ------------------------------------------------------------ the report

    def write(self, machine):
        failed = [s.name for s in self.steps if s.status == "failed"]
        lines = [f"kestrel GPU check: {'FAILED: ' + ', '.join(failed) if failed else 'passed'}", f"machine: {machine}"]
        for s in self.steps:
            lines.append(f"{s.name:15s} {s.status:8s} {s.seconds:6.0f} s  {s.detail}".rstrip())
        for s in self.steps:
            if s.name.startswith("bench") and s.log:
                lines += ["", f"{s.name}:", s.log]
        summary = "\n".join(lines) + "\n"
        (self.out / "summary.txt").write_text(summary)
        print("\n" + summary, end="")
        _write_junit(self.out / "junit.xml", self.steps, self.out / "gpu-tests.xml")
        return not failed


def _pytest_counts(report):
    if not report.is_file():
        return {}
    suite = ET.parse(report).getroot()
    suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
    total, failures, errors, skipped = (int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped"))
    counts = {"passed": total - failures - errors - skipped, "failed": failures, "errors": errors,
              "skipped": skipped}
    return {k: v for k, v in counts.items() if v or k == "passed"}


def _write_junit(path, steps, pytest_report):
    root = ET.Element("testsuites", name="kestrel gpu-check")
    suite = ET.SubElement(root, "testsuite", name="gpu-check", tests=str(len(steps)),
                          failures=str(sum(s.status == "failed" for s in steps)),
                          skipped=str(sum(s.status == "skipped" for s in steps)))
    for s in steps:
        case = ET.SubElement(suite, "testcase", classname="gpu-check", name=s.name, time=f"{s.seconds:.1f}")
        if s.status in ("failed", "skipped"):
            ET.SubElement(case, "failure" if s.status == "failed" else "skipped", message=s.detail).text = s.log
        elif s.log:
            ET.SubElement(case, "system-out").text = s.log
    if pytest_report.is_file():  # the gpu tests, one case each
        tests = ET.parse(pytest_report).getroot()
        root.extend([tests] if tests.tag == "testsuite" else list(tests))
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable, help="interpreter to build for and test with")
    parser.add_argument("--wheels", type=pathlib.Path, help="folder of wheels to install pytest from, offline")
    parser.add_argument("--budget", type=float, default=480.0, help="seconds for the whole check")
    args = parser.parse_args(argv)
    if shutil.which(args.python) is None:
        parser.error(f"no interpreter {args.python}")
    out = pathlib.Path(os.environ.get("OUT") or ROOT / "build" / "gpu-check")
    out.mkdir(parents=True, exist_ok=True)
    check = Check(args.python, out, args.budget)

    probe = subprocess.run([args.python, "-c", DEVICE_PROBE], capture_output=True, text=True, timeout=120)
    if probe.returncode != 0:
        reason = (probe.stderr.strip().splitlines() or ["no output"])[-1]
        message = f"kestrel GPU check: no GPU here ({reason}); nothing to check\n"
        (out / "summary.txt").write_text(message)
        print(message, end="")
        return 0
    machine = probe.stdout.strip()
    print(f"[gpu-check] {machine}; results in {out}", flush=True)

    with tempfile.TemporaryDirectory(prefix="kestrel-gpu-check-") as target:
        check.env["PYTHONPATH"] = os.pathsep.join(filter(None, [target, os.environ.get("PYTHONPATH")]))
        if check.build(pathlib.Path(target)):
            if check.ensure_pytest(pathlib.Path(target), args.wheels):
                check.gpu_tests()
            check.sanitizer()
            check.benches()
        return 0 if check.write(machine) else 1


if __name__ == "__main__":
    raise SystemExit(main())
