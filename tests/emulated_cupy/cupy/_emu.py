"""Shared state of the emulated CuPy: configuration, current device and stream per
thread, an event log, and the errors the emulation raises.

Configuration (environment variables, read at import; also settable at run time):
  EMU_CUPY_DEVICES  number of emulated GPUs (default 1)
  EMU_CUPY_STRICT   1 (default): refuse what real CuPy refuses (implicit device->host
                    conversion, host arrays in device ops, buffer protocol) and what a
                    GPU would mis-execute (kernel argument/parameter mismatches, kernels
                    launched on another device's module or arrays, stream-order faults);
                    0: log a warning event instead where the emulation can go on
  EMU_CUPY_PEER     0 (default): cross-device elementwise ops raise ValueError as CuPy
                    does without peer access; 1: allowed with a warning
  EMU_CUPY_ORDER    forward (default) | reverse | shuffle: order in which the emulated
                    threads of a launch run (each thread runs to completion)
  EMU_CUPY_SEED     seed of the shuffled order
  EMU_CUPY_ASAN     1: build kernels with -fsanitize=address (run Python with
                    LD_PRELOAD=$(g++ -print-file-name=libasan.so))
  EMU_CUPY_TIGHT    1: copy each array argument of a launch into an allocation of exactly
                    its elements' span first (with ASan: bounds of views, not bases)
  EMU_CUPY_CACHE    build cache directory (default: kestrel-emulated-cupy-<uid> in the
                    temporary directory)
  EMU_CUPY_CXX      host compiler for kernels (default g++)
"""

from __future__ import annotations

import os
import tempfile
import threading
import warnings


def _env_int(name, default):
    try:
        return int(os.environ.get(name, default))
    except ValueError:
        return default


class Config:
    devices = _env_int("EMU_CUPY_DEVICES", 1)
    strict = _env_int("EMU_CUPY_STRICT", 1) != 0
    peer = _env_int("EMU_CUPY_PEER", 0) != 0
    order = os.environ.get("EMU_CUPY_ORDER", "forward")
    seed = _env_int("EMU_CUPY_SEED", 12345)
    asan = _env_int("EMU_CUPY_ASAN", 0) != 0
    tight = _env_int("EMU_CUPY_TIGHT", 0) != 0
    cache = os.environ.get("EMU_CUPY_CACHE",
                           os.path.join(tempfile.gettempdir(), f"kestrel-emulated-cupy-{os.getuid()}"))
    cxx = os.environ.get("EMU_CUPY_CXX", "g++")


config = Config()

# Event log: tuples (kind, ...): calls, launches, device, stream and event operations,
# warnings. Tests may read it; reset() clears it.
events: list = []
_events_lock = threading.Lock()


def log(*event):
    with _events_lock:
        events.append(event)


def reset():
    with _events_lock:
        events.clear()


class EmulationError(RuntimeError):
    """Something a real GPU run would get wrong or refuse, found by the emulation."""


class KernelArgumentError(EmulationError, TypeError):
    pass


class StreamOrderError(EmulationError):
    """Work that a GPU could run in the wrong order: nothing makes one stream (or the
    host) wait for what another stream wrote or read."""


class UnsupportedByEmulation(NotImplementedError):
    pass


class _State(threading.local):
    def __init__(self):
        self.device = 0
        self.streams = {}  # device id -> list (stack) of Stream objects


state = _State()


def current_device() -> int:
    return state.device


def check_device_valid(i: int):
    from .cuda import runtime

    if not (0 <= i < config.devices):
        raise runtime.CUDARuntimeError(f"cudaErrorInvalidDevice: invalid device ordinal ({i})")


def cross_device(array_dev: int, what: str):
    """An array on array_dev used by an operation on the current device."""
    cur = current_device()
    if array_dev == cur:
        return
    msg = f"The device where the array resides ({array_dev}) is different from the current device ({cur})."
    log("cross-device", what, array_dev, cur)
    if not config.peer:
        raise ValueError(f"{msg} Peer access is unavailable between these devices. [emulated, in {what}]")
    warnings.warn(f"{msg} Peer access has been activated automatically. [emulated, in {what}]")
