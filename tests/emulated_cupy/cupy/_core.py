"""cupy.ndarray emulated as a NumPy subclass whose memory stands for device memory.

NumPy math works on it, results stay cupy.ndarray, and (in strict mode) what real
CuPy refuses is refused: host ndarrays as operands of device operations, implicit
conversion to NumPy (np.asarray & co. are guarded), the buffer protocol,
__array_interface__ and .ctypes. Results are allocated on the current device; views
keep their base's device; operands on another device follow CuPy's peer-access rule.
Every operation and host read goes through the stream-order checks of _order.
"""

from __future__ import annotations

import numpy as _np

from . import _emu, _order

# Originals, before strict mode guards NumPy's conversion functions.
_np_asarray = _np.asarray
_np_array = _np.array
_np_asanyarray = _np.asanyarray
_np_ascontiguousarray = _np.ascontiguousarray
_np_asfortranarray = _np.asfortranarray

SUPPORTED_CHARS = "?bhilqBHILQefdFD"
_IMPLICIT = ("Implicit conversion to a NumPy array is not allowed. "
             "Please use `.get()` to construct a NumPy array explicitly.")


def _check_dtype(dtype):
    dtype = _np.dtype(dtype)
    if dtype.char not in SUPPORTED_CHARS:
        raise ValueError(f"Unsupported dtype {dtype}")
    return dtype


def _plain(a):
    """A plain NumPy view of a cupy.ndarray (same memory)."""
    return a.view(_np.ndarray)


def _root_u8(a):
    """The allocation an array lives in, as a plain 1-D uint8 array."""
    r = a
    while isinstance(r.base, _np.ndarray):
        r = r.base
    r = r.view(_np.ndarray)
    flat = r.ravel(order="K")
    if not _np.shares_memory(flat, r) and r.size:
        raise _emu.EmulationError("cannot find the allocation of an array")
    return flat.view(_np.uint8) if flat.dtype != _np.uint8 else flat


def _address(a):
    return _np.ndarray.__array_interface__.__get__(a)["data"][0]


class ndarray(_np.ndarray):
    __module__ = "cupy"
    __array_priority__ = 100

    def __new__(cls, shape, dtype=float, memptr=None, strides=None, order="C"):
        if isinstance(shape, (int, _np.integer)):
            shape = (int(shape),)
        shape = tuple(int(s) for s in shape)
        if any(s < 0 for s in shape):
            raise ValueError("Negative dimensions are not allowed")
        dtype = _check_dtype(dtype)
        if order not in ("C", "F", None):
            raise ValueError(f"order not understood. order={order}")
        if strides is not None and memptr is None:
            raise ValueError("memptr is required if strides is given.")
        if memptr is None:
            obj = _np.ndarray.__new__(cls, shape, dtype, order=order or "C")
            obj._dev = _emu.current_device()
            return obj
        buf = memptr.mem._buf
        offset = memptr.ptr - memptr.mem.ptr
        try:
            obj = _np.ndarray.__new__(cls, shape, dtype, buffer=buf, offset=offset, strides=strides, order=order or "C")
        except (ValueError, TypeError) as exc:
            # CuPy does not check; a GPU would read outside the allocation.
            raise _emu.EmulationError(
                f"cupy.ndarray(shape={shape}, dtype={dtype}, memptr=+{offset}, strides={strides}) reaches outside "
                f"its allocation of {buf.nbytes} bytes: {exc}") from exc
        obj._dev = memptr.device_id
        return obj

    def __array_finalize__(self, obj):
        parent = getattr(obj, "_dev", None)
        if parent is not None and self.base is not None:
            self._dev = parent  # a view: same memory, same device
        else:
            self._dev = _emu.current_device()  # a new allocation

    # ------------------------------------------------------------ CuPy attributes

    @property
    def __cuda_array_interface__(self):
        desc = {"shape": self.shape, "typestr": self.dtype.str, "descr": self.dtype.descr, "version": 3,
                "stream": None, "strides": None if self.flags.c_contiguous else self.strides,
                "data": (_address(self) if self.size else 0, False)}
        return desc

    @property
    def __array_interface__(self):
        raise AttributeError("cupy.ndarray has no __array_interface__ (it is device memory)")

    @property
    def ctypes(self):
        raise AttributeError("'cupy.ndarray' object has no attribute 'ctypes'")

    def __buffer__(self, flags):
        raise TypeError("cupy.ndarray does not support the buffer protocol (device memory)")

    def __array__(self, dtype=None, copy=None):
        raise TypeError(_IMPLICIT)

    @property
    def data(self):
        from .cuda.memory import Memory, MemoryPointer

        root = _root_u8(self)
        mem = Memory(root, self._dev)
        return MemoryPointer(mem, _address(self) - mem.ptr if self.size else 0)

    @property
    def device(self):
        from .cuda import Device

        return Device(self._dev)

    def get(self, stream=None, order="C", out=None, blocking=True):
        if not blocking:
            raise _emu.UnsupportedByEmulation("get(blocking=False): the host copy would be valid only later")
        _order.host_read(self, "get", stream)
        host = _np_array(_plain(self), order=order, copy=True)
        if out is not None:
            out[...] = host
            return out
        return host

    def set(self, arr, stream=None):
        if isinstance(arr, ndarray):
            raise TypeError("Only numpy.ndarray can be set to cupy.ndarray")
        _np.ndarray.__setitem__(self, Ellipsis, _np_asarray(arr))
        _order.operation("set", writes=(self,), stream=stream)

    # Host reads: each waits for the current stream, as CuPy's do.

    def item(self):
        _order.host_read(self, "item")
        return _plain(self).item()

    def tolist(self):
        _order.host_read(self, "tolist")
        return _plain(self).tolist()

    def __float__(self):
        _order.host_read(self, "float")
        return float(_plain(self))

    def __int__(self):
        _order.host_read(self, "int")
        return int(_plain(self))

    def __index__(self):
        _order.host_read(self, "index")
        return _plain(self).__index__()

    def __bool__(self):
        _order.host_read(self, "bool")
        return bool(_plain(self))

    def __complex__(self):
        _order.host_read(self, "complex")
        return complex(_plain(self))

    def __repr__(self):
        return _np.array_repr(_plain(self))

    def __str__(self):
        return _np.array_str(_plain(self))

    def __format__(self, spec):
        return format(_plain(self), spec) if self.ndim == 0 else str(self)

    def __reduce__(self):
        raise TypeError("pickling emulated cupy arrays is not supported")

    # ------------------------------------------------------------ indexing

    def __getitem__(self, key):
        key = _unwrap_index(key, self._dev)
        r = _np.ndarray.__getitem__(self, key)
        if not isinstance(r, _np.ndarray):  # CuPy returns 0-d arrays (views), not scalars
            r = _np_array(r).view(ndarray)
            r._dev = self._dev
            _order.alias(r, self)
        return r

    def __setitem__(self, key, value):
        _emu.cross_device(self._dev, "__setitem__")
        key = _unwrap_index(key, self._dev)
        reads = ()
        if isinstance(value, ndarray):
            _emu.cross_device(value._dev, "__setitem__")
            reads = (value,)
            value = _plain(value)
        elif isinstance(value, _np.ndarray) and _emu.config.strict and value.ndim > 0:
            raise ValueError("non-scalar numpy.ndarray cannot be used for fill")
        _np.ndarray.__setitem__(self, key, value)
        _order.operation("__setitem__", reads=reads, writes=(self,))

    def fill(self, value):
        self[...] = value

    # ------------------------------------------------------------ methods returning scalars in NumPy

    def argmax(self, axis=None, out=None, **kw):
        _emu.cross_device(self._dev, "argmax")
        return _issue("argmax", self, _wrap(_plain(self).argmax(axis=axis, **kw)))

    def argmin(self, axis=None, out=None, **kw):
        _emu.cross_device(self._dev, "argmin")
        return _issue("argmin", self, _wrap(_plain(self).argmin(axis=axis, **kw)))

    def astype(self, dtype, order="K", casting=None, subok=None, copy=True):
        dtype = _check_dtype(dtype)
        if not copy and dtype == self.dtype:
            return self
        _emu.cross_device(self._dev, "astype")
        return _issue("astype", self, _np.ndarray.astype(self, dtype, order=order, copy=True))

    def copy(self, order="C"):
        # CuPy copies across devices by memcpy
        return _issue("copy", self, _np.ndarray.copy(self, order=order))

    def repeat(self, repeats, axis=None):
        _emu.cross_device(self._dev, "repeat")
        return _issue("repeat", self, _np.ndarray.repeat(self, repeats, axis))

    # ------------------------------------------------------------ NumPy protocols

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        where = f"{ufunc.__name__}.{method}" if method != "__call__" else ufunc.__name__
        _emu.log("ufunc", where)
        for x in inputs:
            _check_operand(x, where)
        out = kwargs.get("out")
        if out is not None:
            for o in out:
                _check_operand(o, where)
            kwargs["out"] = tuple(_plain(o) if isinstance(o, ndarray) else o for o in out)
        if "where" in kwargs and isinstance(kwargs["where"], _np.ndarray):
            _check_operand(kwargs["where"], where)
            if isinstance(kwargs["where"], ndarray):
                kwargs["where"] = _plain(kwargs["where"])
        args = [_plain(x) if isinstance(x, ndarray) else x for x in inputs]
        result = getattr(ufunc, method)(*args, **kwargs)
        if method == "at":
            _issue(where, inputs, None, outs=inputs[:1])
            return None
        if out is not None:
            _issue(where, inputs, None, outs=out)
            return out[0] if len(out) == 1 else tuple(out)
        return _issue(where, inputs, _wrap(result))

    def __array_function__(self, func, types, args, kwargs):
        where = getattr(func, "__name__", str(func))
        _emu.log("numpy-function", where)
        _check_tree((args, kwargs), where)
        result = func(*_unwrap_tree(args), **_unwrap_tree(kwargs))
        out = kwargs.get("out")
        if out is not None:
            _issue(where, (args, kwargs), None, outs=out)
            return out
        return _issue(where, (args, kwargs), _wrap_tree(result))


def _device_arrays(obj, found=None):
    """The cupy.ndarrays in a tree of lists, tuples and dicts."""
    found = [] if found is None else found
    if isinstance(obj, ndarray):
        found.append(obj)
    elif isinstance(obj, (list, tuple)):
        for x in obj:
            _device_arrays(x, found)
    elif isinstance(obj, dict):
        for x in obj.values():
            _device_arrays(x, found)
    return found


def _issue(where, operands, result, outs=(), fills=True):
    """Stream-order bookkeeping of an operation that has run: it read its device
    operands and wrote its `out` arrays and its results (views of an operand aside;
    with fills False, new results hold nothing yet). Returns the result."""
    reads = _device_arrays(operands)
    written = _device_arrays(outs)
    if fills:
        operand_memory = {id(_order._allocation(a)) for a in reads}
        written += [r for r in _device_arrays(result) if id(_order._allocation(r)) not in operand_memory]
    _order.operation(where, reads, written)
    return result


def _check_operand(x, where):
    if isinstance(x, ndarray):
        _emu.cross_device(x._dev, where)
    elif isinstance(x, _np.ndarray):
        if _emu.config.strict:
            raise TypeError(
                f"Unsupported type {type(x)} [emulated CuPy: a host numpy.ndarray as an operand of {where}]")
    elif isinstance(x, (list, tuple)) and _emu.config.strict:
        raise TypeError(f"Unsupported type {type(x)} [emulated CuPy: in {where}]")


def _check_tree(obj, where, allow_host=False):
    if isinstance(obj, ndarray):
        _emu.cross_device(obj._dev, where)
    elif isinstance(obj, _np.ndarray):
        if _emu.config.strict and not allow_host:
            raise TypeError(f"Unsupported type {type(obj)} [emulated CuPy: a host numpy.ndarray passed to {where}]")
    elif isinstance(obj, (list, tuple)):
        for x in obj:
            _check_tree(x, where, allow_host)
    elif isinstance(obj, dict):
        for x in obj.values():
            _check_tree(x, where, allow_host)


def _unwrap_tree(obj):
    if isinstance(obj, ndarray):
        return _plain(obj)
    if isinstance(obj, list):
        return [_unwrap_tree(x) for x in obj]
    if isinstance(obj, tuple):
        return tuple(_unwrap_tree(x) for x in obj)
    if isinstance(obj, dict):
        return {k: _unwrap_tree(v) for k, v in obj.items()}
    return obj


def _unwrap_index(key, dev):
    if isinstance(key, ndarray):
        _emu.cross_device(key._dev, "indexing")
        return _plain(key)
    if isinstance(key, tuple):
        return tuple(_unwrap_index(k, dev) for k in key)
    return key


def _wrap(x, dev=None):
    if isinstance(x, ndarray):
        return x
    if isinstance(x, _np.ndarray):
        r = x.view(ndarray)
    elif isinstance(x, _np.generic):
        r = _np_array(x).view(ndarray)
    else:
        return x
    r._dev = _emu.current_device() if dev is None else dev
    return r


def _wrap_tree(x):
    if isinstance(x, (_np.ndarray, _np.generic)):
        return _wrap(x)
    if isinstance(x, list):
        return [_wrap_tree(v) for v in x]
    if isinstance(x, tuple) and type(x) is tuple:
        return tuple(_wrap_tree(v) for v in x)
    return x


# ---------------------------------------------------------------- strict NumPy guards

def _reject(a, depth=0):
    if isinstance(a, ndarray):
        raise TypeError(_IMPLICIT)
    if depth < 2 and isinstance(a, (list, tuple)):
        for x in a:
            _reject(x, depth + 1)


def _guard(orig):
    def guarded(a, *args, **kwargs):
        if _emu.config.strict:
            _reject(a)
        return orig(a, *args, **kwargs)

    guarded.__name__ = orig.__name__
    guarded.__qualname__ = orig.__qualname__
    guarded.__doc__ = orig.__doc__
    guarded.__wrapped__ = orig
    guarded._emu_guard = True
    return guarded


def install_numpy_guards():
    for name in ("asarray", "array", "asanyarray", "ascontiguousarray", "asfortranarray"):
        f = getattr(_np, name)
        if not getattr(f, "_emu_guard", False):
            setattr(_np, name, _guard(f))
