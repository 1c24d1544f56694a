"""Stream and event order, checked as a GPU would expose a fault in it.

The emulation runs every operation at once, so a missing wait can never show up here as
a wrong result. Instead each stream keeps a vector clock: its own count of operations
and, for every other stream, how much of that stream's work it is known to come after
(through wait_event on an event recorded there). The host keeps one too, advanced by
synchronising a stream, an event or a device; work issued afterwards on any stream
comes after what the host knows complete.

Each allocation remembers, per stream, the last operation that wrote it and the last
that read it. An operation on stream T that reads an allocation written on another
stream S, or writes one that S read or wrote, must come after that access of S; so
must the host when it reads an array (get, asnumpy, item, float...). Waiting on an
event that was never recorded waits for nothing on a GPU, so it is refused too.
Violations raise StreamOrderError (strict mode) or are logged as ("order", message).

The legacy default stream's implicit synchronisation with blocking streams is not
credited: a caller on the per-thread default stream or on a non-blocking stream of its
own does not get it.
"""

from __future__ import annotations

import threading
import weakref

import numpy as _np

from . import _emu

_lock = threading.RLock()
_clocks: dict = {}  # stream key -> {stream key: operation count}
_host: dict = {}  # what the host knows complete
_accesses: dict = {}  # id(allocation) -> _Access


class _Access:
    __slots__ = ("writes", "reads")

    def __init__(self):
        self.writes = {}  # stream key -> operation number
        self.reads = {}


def key(stream):
    return (stream.device_id, stream.ptr)


def _describe(k):
    return f"stream 0x{k[1]:x} of device {k[0]}"


def _allocation(array):
    root = array
    while isinstance(root.base, _np.ndarray):
        root = root.base
    return root


def _record(array, create=True):
    root = _allocation(array)
    rec = _accesses.get(id(root))
    if rec is None and create:
        rec = _accesses[id(root)] = _Access()
        weakref.finalize(root, _accesses.pop, id(root), None)
    return rec


def _join(a, b):
    out = dict(a)
    for k, n in b.items():
        if out.get(k, 0) < n:
            out[k] = n
    return out


def _violation(message):
    _emu.log("order", message)
    if _emu.config.strict:
        raise _emu.StreamOrderError(message)


def _current(device_id=None):
    from .cuda import get_current_stream

    return get_current_stream(device_id)


def _check(k, known, accesses, verb, what, where):
    for other, n in accesses.items():
        if other != k and known.get(other, 0) < n:
            _violation(f"{where} on {_describe(k)} {verb} an array that {_describe(other)} {what} without waiting "
                       f"for it: record an event there and wait_event on it, or synchronise that stream first")


def operation(where, reads=(), writes=(), stream=None):
    """One operation issued on `stream` (default: the current one) that reads and writes
    the given device arrays."""
    k = key(stream if stream is not None else _current())
    with _lock:
        clock = _clocks[k] = _join(_clocks.get(k, {}), _host)
        for a in reads:
            rec = _record(a, create=False)
            if rec is not None:
                _check(k, clock, rec.writes, "reads", "wrote", where)
        for a in writes:
            rec = _record(a, create=False)
            if rec is not None:
                _check(k, clock, rec.writes, "writes", "wrote", where)
                _check(k, clock, rec.reads, "writes", "read", where)
        n = clock[k] = clock.get(k, 0) + 1
        for a in reads:
            _record(a).reads[k] = n
        for a in writes:
            _record(a).writes[k] = n


def host_read(array, where, stream=None):
    """The host reads `array`: a copy on `stream` (default: the current stream of the
    array's device, as CuPy copies inside that device's context), which is then
    synchronised."""
    stream = stream if stream is not None else _current(array._dev)
    operation(where, reads=(array,), stream=stream)
    synchronize_stream(stream)


def alias(new, old):
    """`new` stands for memory of `old` (a 0-d result that the emulation read eagerly)."""
    root = _allocation(new)
    with _lock:
        _accesses[id(root)] = _record(old)
        weakref.finalize(root, _accesses.pop, id(root), None)


def record_event(event, stream):
    k = key(stream)
    with _lock:
        clock = _clocks[k] = _join(_clocks.get(k, {}), _host)
        clock[k] = clock.get(k, 0) + 1
        event._clock = dict(clock)
    _emu.log("event-record", event.ptr, stream.ptr)


def wait_event(stream, event):
    _emu.log("stream-wait", stream.ptr, event.ptr)
    if event._clock is None:
        _violation(f"{_describe(key(stream))} waits on an event that was never recorded: on a GPU the wait does "
                   f"nothing, so what follows may run before the work it was meant to wait for")
        return
    with _lock:
        _clocks[key(stream)] = _join(_clocks.get(key(stream), {}), event._clock)


def synchronize_event(event):
    _emu.log("event-sync", event.ptr)
    if event._clock is None:
        _violation("synchronising an event that was never recorded waits for nothing")
        return
    global _host
    with _lock:
        _host = _join(_host, event._clock)


def synchronize_stream(stream):
    _emu.log("stream-sync", stream.ptr)
    global _host
    with _lock:
        _host = _join(_host, _clocks.get(key(stream), {}))


def synchronize_device(device_id):
    _emu.log("device-sync", device_id)
    global _host
    with _lock:
        for k, clock in _clocks.items():
            if k[0] == device_id:
                _host = _join(_host, clock)
