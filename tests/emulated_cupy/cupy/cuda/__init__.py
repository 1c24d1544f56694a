"""cupy.cuda emulated on the host: every operation runs at once; devices, streams and
events are bookkeeping, which _order uses to check that work on different streams, and
the host's reads, are put in order as a GPU needs them."""

from __future__ import annotations

import itertools

from .. import _emu, _order
from . import runtime, driver  # noqa: F401
from .memory import Memory, MemoryPointer  # noqa: F401


def is_available() -> bool:
    return _emu.config.devices > 0


def get_device_id() -> int:
    return _emu.current_device()


def set_allocator(allocator=None):
    """Accepted for CuPy's sake: every emulated array is an allocation of its own anyway."""


class Device:
    def __init__(self, device=None):
        if device is None:
            device = _emu.current_device()
        self.id = int(device)
        self._stack = []

    def __enter__(self):
        _emu.check_device_valid(self.id)
        self._stack.append(_emu.state.device)
        _emu.state.device = self.id
        _emu.log("device-enter", self.id)
        return self

    def __exit__(self, *exc):
        _emu.state.device = self._stack.pop()
        _emu.log("device-exit", self.id)
        return False

    def use(self):
        _emu.check_device_valid(self.id)
        _emu.state.device = self.id
        _emu.log("device-use", self.id)

    def synchronize(self):
        _order.synchronize_device(self.id)

    def __int__(self):
        return self.id

    def __index__(self):
        return self.id

    def __eq__(self, other):
        return isinstance(other, Device) and other.id == self.id

    def __hash__(self):
        return hash(("Device", self.id))

    def __repr__(self):
        return f"<CUDA Device {self.id}>"


_stream_ids = itertools.count(0x7000)


class _BaseStream:
    def __init__(self, ptr, device_id):
        self.ptr = ptr
        self.device_id = device_id

    def __enter__(self):
        _emu.state.streams.setdefault(self.device_id, []).append(self)
        _emu.log("stream-enter", self.ptr)
        return self

    def __exit__(self, *exc):
        stack = _emu.state.streams.get(self.device_id, [])
        if stack:
            stack.pop()
        _emu.log("stream-exit", self.ptr)
        return False

    def use(self):
        stack = _emu.state.streams.setdefault(self.device_id, [])
        if stack:
            stack[-1] = self
        else:
            stack.append(self)
        _emu.log("stream-use", self.ptr)
        return self

    def synchronize(self):
        _order.synchronize_stream(self)

    @property
    def done(self):
        _order.synchronize_stream(self)  # always complete: the host knows it from here on
        return True

    def record(self, event=None):
        if event is None:
            event = Event()
        event.record(self)
        return event

    def wait_event(self, event):
        _order.wait_event(self, event)

    def __eq__(self, other):
        return isinstance(other, _BaseStream) and (other.device_id, other.ptr) == (self.device_id, self.ptr)

    def __hash__(self):
        return hash(("Stream", self.device_id, self.ptr))

    def __repr__(self):
        return f"<Stream {self.ptr} (device {self.device_id})>"


class Stream(_BaseStream):
    def __init__(self, null=False, non_blocking=False, ptds=False, priority=None):
        super().__init__(0 if null else (1 if ptds else next(_stream_ids)), _emu.current_device())
        self.non_blocking = non_blocking


class ExternalStream(_BaseStream):
    def __init__(self, ptr, device_id=-1):
        super().__init__(int(ptr), _emu.current_device() if device_id < 0 else device_id)


def get_current_stream(device_id=None):
    dev = _emu.current_device() if device_id is None else int(device_id)
    stack = _emu.state.streams.get(dev)
    if stack:
        return stack[-1]
    s = Stream.__new__(Stream)
    _BaseStream.__init__(s, 0, dev)
    s.non_blocking = False
    return s


_event_ids = itertools.count(0x9000)


class Event:
    def __init__(self, block=False, disable_timing=False, interprocess=False):
        self.ptr = next(_event_ids)
        self.block = block
        self.disable_timing = disable_timing
        self._clock = None  # what the event stands for, once recorded

    def record(self, stream=None):
        _order.record_event(self, stream if stream is not None else get_current_stream())

    def synchronize(self):
        _order.synchronize_event(self)

    @property
    def done(self):
        if self._clock is not None:
            _order.synchronize_event(self)
        return True


def get_elapsed_time(start_event, end_event):
    """No timing on the host: 0 ms."""
    return 0.0
