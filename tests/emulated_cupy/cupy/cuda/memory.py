"""Device memory emulated by host memory: a Memory is one allocation (a plain NumPy
uint8 array), a MemoryPointer an address inside it."""

from __future__ import annotations


class Memory:
    def __init__(self, buf, device_id):
        self._buf = buf  # plain 1-D uint8 NumPy array covering the allocation
        self.ptr = buf.__array_interface__["data"][0] if buf.size else 0
        self.size = buf.nbytes
        self.device_id = device_id

    @property
    def device(self):
        from . import Device

        return Device(self.device_id)


class MemoryPointer:
    def __init__(self, mem, offset):
        self.mem = mem
        self.ptr = mem.ptr + offset
        self.device_id = mem.device_id

    @property
    def device(self):
        return self.mem.device

    def __add__(self, offset):
        return MemoryPointer(self.mem, self.ptr - self.mem.ptr + int(offset))

    __radd__ = __add__

    def __sub__(self, offset):
        return self + (-int(offset))

    def __int__(self):
        return self.ptr

    def __repr__(self):
        return f"<MemoryPointer 0x{self.ptr:x} device={self.device_id}>"
