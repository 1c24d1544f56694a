"""The parts of CuPy that kestrel and rasterkit use, emulated on the host: kestrel's
test double for running its GPU code paths on a machine without a GPU (see _emu.py for
the configuration).

Arrays are cupy.ndarray, a NumPy subclass standing for device memory; functions are
NumPy's, delegated with CuPy's rules on argument types and devices; RawModule compiles
CUDA C++ for the host (see _raw.py); devices, streams and events are bookkeeping, with
the order of work on streams checked (see _order.py).
"""

from __future__ import annotations

import functools as _functools
import types as _types

import numpy as _np

from . import _emu
from ._core import (ndarray, _check_dtype, _check_tree, _issue, _plain, _unwrap_tree, _wrap_tree,
                    _np_array, _np_asarray, install_numpy_guards)
from . import cuda, testing  # noqa: F401
from ._raw import RawModule  # noqa: F401

__version__ = "14.0.0+host-emulation"
_emulated = True  # tells the test suite which CuPy it runs on

if _emu.config.strict:
    install_numpy_guards()

# dtypes and scalar types are NumPy's own, as in CuPy
from numpy import (bool_, int8, int16, int32, int64, uint8, uint16, uint32, uint64, float16, float32,  # noqa: F401,E402
                   float64, complex64, complex128, intp, uintp, dtype, inf, nan, pi, e, newaxis, finfo, iinfo,
                   generic, number, integer, floating, complexfloating, signedinteger, unsignedinteger, byte, ubyte,
                   short, ushort, intc, uintc, longlong, ulonglong, single, double, csingle, cdouble, half)


def _from_host(obj, dtype=None, order="K", ndmin=0):
    """cupy.array of a host object: checks the dtype, makes it little-endian, copies it
    into a new allocation on the current device (an upload on the current stream)."""
    if isinstance(obj, (list, tuple)) and any(isinstance(x, ndarray) for x in obj):
        obj = [_plain(x) if isinstance(x, ndarray) else x for x in obj]
    if order is not None and order[:1] in "KAka":
        order = "F" if isinstance(obj, _np.ndarray) and obj.flags.f_contiguous and not obj.flags.c_contiguous \
            else "C"
    a_cpu = _np_array(obj, dtype=dtype, copy=None, order=order, ndmin=ndmin)
    if a_cpu.dtype.char not in "?bhilqBHILQefdFD":
        raise ValueError(f"Unsupported dtype {a_cpu.dtype}")
    a_cpu = a_cpu.astype(a_cpu.dtype.newbyteorder("<"), copy=False)
    out = _np_array(a_cpu, copy=True, order=order).view(ndarray)
    out._dev = _emu.current_device()
    return _issue("upload", (), out)


def _copy_on_current_device(a, what, **kwargs):
    _emu.cross_device(a._dev, what)
    out = _np_array(_plain(a), copy=True, **kwargs).view(ndarray)
    out._dev = _emu.current_device()
    return _issue(what, a, out)


def array(obj, dtype=None, copy=True, order="K", subok=False, ndmin=0, *, blocking=False):
    if isinstance(obj, ndarray):
        if dtype is not None:
            dtype = _check_dtype(dtype)
        if not copy and (dtype is None or dtype == obj.dtype) and ndmin <= obj.ndim:
            return obj
        return _copy_on_current_device(obj, "array", dtype=dtype, order=order, ndmin=ndmin)
    return _from_host(obj, dtype, order, ndmin)


def asarray(a, dtype=None, order=None, *, blocking=False):
    if isinstance(a, ndarray):
        if dtype is not None and _np.dtype(dtype) != a.dtype:
            return a.astype(dtype)
        if order is not None and order in "Cc" and not a.flags.c_contiguous:
            return ascontiguousarray(a)
        return a
    return _from_host(a, dtype, order or "K")


def asanyarray(a, dtype=None, order=None):
    return asarray(a, dtype, order)


def ascontiguousarray(a, dtype=None):
    if isinstance(a, ndarray):
        if (dtype is None or _np.dtype(dtype) == a.dtype) and a.flags.c_contiguous:
            return a
        return _copy_on_current_device(a, "ascontiguousarray", dtype=dtype, order="C")
    return _from_host(a, dtype, "C")


def asnumpy(a, stream=None, order="C", out=None, *, blocking=True):
    if isinstance(a, ndarray):
        return a.get(stream=stream, order=order, out=out, blocking=blocking)
    if hasattr(a, "__cuda_array_interface__"):
        raise _emu.UnsupportedByEmulation("asnumpy of a foreign CUDA array")
    return _np_asarray(a, order=order)


def copy(a, order="K"):
    if not isinstance(a, ndarray):
        raise TypeError(f"Unsupported type {type(a)}")
    return a.copy(order="C" if order == "K" and a.flags.c_contiguous else ("F" if order == "K" else order))


def is_available():
    return cuda.is_available()


# Allocations that hold nothing yet: no write for the stream-order checks.
_UNFILLED = {"empty", "empty_like"}


def _delegate(name, func):
    """A CuPy function that NumPy computes: device arrays in, device arrays out."""

    @_functools.wraps(func)
    def wrapper(*args, **kwargs):
        _emu.log("call", name)
        _check_tree((args, kwargs), name)
        args2 = _unwrap_tree(args)
        kwargs2 = _unwrap_tree(kwargs)
        if "dtype" in kwargs2 and kwargs2["dtype"] is not None:
            _check_dtype(kwargs2["dtype"])
        result = func(*args2, **kwargs2)
        if kwargs.get("out") is not None:
            _issue(name, (args, kwargs), None, outs=kwargs["out"])
            return kwargs["out"]
        return _issue(name, (args, kwargs), _wrap_tree(result), fills=name not in _UNFILLED)

    wrapper._emu_delegate = func
    return wrapper


_NOT_DELEGATED = {"asarray", "array", "asanyarray", "ascontiguousarray", "asfortranarray", "ndarray", "frombuffer",
                  "fromfile", "load", "save", "savez", "loadtxt", "genfromtxt", "memmap", "require"}


def __getattr__(name):
    if name.startswith("__") or name in _NOT_DELEGATED:
        raise AttributeError(f"module 'cupy' (emulated) has no attribute {name!r}")
    try:
        obj = getattr(_np, name)
    except AttributeError:
        raise AttributeError(f"module 'cupy' (emulated) has no attribute {name!r}") from None
    if isinstance(obj, _types.ModuleType):  # cupy.linalg, cupy.random...: not emulated
        raise AttributeError(f"module 'cupy' (emulated) has no attribute {name!r}")
    if isinstance(obj, type) or not callable(obj):
        value = obj
    else:
        value = _delegate(name, obj)
    globals()[name] = value
    return value
