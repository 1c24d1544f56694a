"""RawModule: the CUDA source is compiled for the host with g++ into a shared library,
one launcher per extern "C" __global__ function; a launch runs every block and thread
of the grid in turn. Arguments are converted as CuPy converts them
(cupy.ndarray -> its data pointer, NumPy scalars -> their bytes, int -> int64,
float -> float64) and handed over in kernelParams slots read with the kernel's own
parameter types. In strict mode a mismatch between what is passed and what the kernel
declares (size, integer/float/pointer kind, pointee type, alignment, count), arrays
on another device, or a module launched on another device than it was loaded on,
raise KernelArgumentError/EmulationError instead of running. A launch reads the arrays
passed for const pointers and writes the others, for the stream-order checks."""

from __future__ import annotations

import ctypes
import hashlib
import os
import re
import subprocess
import threading

import numpy as _np

from . import _emu, _order
from ._core import ndarray

_HERE = os.path.dirname(os.path.abspath(__file__))
_POINTER_TYPES = {_np.dtype(c).type for c in "?bhilqBHILQefdFD"}
_UNSUPPORTED = [
    (r"__shared__", "shared memory"),
    (r"\b__syncthreads\w*\s*\(", "__syncthreads"),
    (r"\b__syncwarp\s*\(", "__syncwarp"),
    (r"\batomic\w+\s*\(", "atomics"),
    (r"\b__shfl\w*\s*\(", "warp shuffles"),
    (r"\b__(?:ballot|any|all|activemask|match)\w*\s*\(", "warp votes"),
    (r"\b__threadfence\w*\s*\(", "memory fences"),
    (r"cooperative_groups", "cooperative groups"),
    (r"\bclock(?:64)?\s*\(", "clock()"),
    (r"\basm\s*(?:volatile\s*)?\(", "inline PTX"),
]
_KIND = {0: "integer", 1: "floating", 2: "pointer", 3: "bool", 4: "struct/enum", 5: "void"}


class _ParamInfo(ctypes.Structure):
    _fields_ = [("size", ctypes.c_longlong), ("align", ctypes.c_longlong), ("kind", ctypes.c_int),
                ("is_signed", ctypes.c_int), ("pointee_size", ctypes.c_longlong),
                ("pointee_align", ctypes.c_longlong), ("pointee_kind", ctypes.c_int),
                ("pointee_signed", ctypes.c_int), ("pointee_const", ctypes.c_int)]


_build_lock = threading.Lock()


def _translate_options(options):
    """NVRTC options as g++ flags. The host build never contracts a * b + c
    (-ffp-contract=off), so only --fmad=false matches it; what it cannot mirror is refused."""
    flags = []
    std = "-std=c++17"
    it = iter(options)
    for opt in it:
        if opt in ("-std", "--std"):
            opt = f"--std={next(it)}"
        if opt.startswith(("--std=", "-std=")):
            std = "-std=" + opt.split("=", 1)[1]
        elif opt in ("--fmad=false", "-fmad=false"):
            pass
        elif opt.startswith(("-D", "-U", "-I")):
            flags.append(opt)
        else:
            raise _emu.UnsupportedByEmulation(f"NVRTC option {opt!r}: the host build cannot mirror it")
    return [std] + flags


def _scan_unsupported(code):
    body = re.sub(r"//[^\n]*|/\*.*?\*/", "", code, flags=re.S)
    found = [what for pat, what in _UNSUPPORTED if re.search(pat, body)]
    if found:
        raise _emu.UnsupportedByEmulation(
            "the kernel source uses " + ", ".join(found) + ": the sequential thread emulation cannot represent it")


def _compile(code, options):
    _scan_unsupported(code)
    flags = _translate_options(options)
    cxx = _emu.config.cxx
    base = [cxx, "-x", "c++", *flags, "-include", os.path.join(_HERE, "_prelude.h"),
            "-Wno-unknown-pragmas", "-ffp-contract=off", "-fno-fast-math", "-fPIC"]
    sanitize = ["-fsanitize=address", "-fno-omit-frame-pointer"] if _emu.config.asan else []
    key = hashlib.sha256(repr((code, base, sanitize, open(os.path.join(_HERE, "_prelude.h")).read(),
                               open(os.path.join(_HERE, "_launch.h")).read())).encode()).hexdigest()[:24]
    out_dir = os.path.join(_emu.config.cache, key)
    lib = os.path.join(out_dir, "kernels.so")
    names_file = os.path.join(out_dir, "kernels.txt")
    with _build_lock:
        if not os.path.exists(lib):
            os.makedirs(out_dir, exist_ok=True)
            src = os.path.join(out_dir, "kernels.cu")
            with open(src, "w") as f:
                f.write(code)
            # Pass 1: find the __global__ functions and whether each is extern "C".
            scan = subprocess.run(base + ["-D__global__=__emu_kernel_marker__", "-E", "-P", src],
                                  capture_output=True, text=True)
            if scan.returncode != 0:
                raise _emu.EmulationError(f"kernel source does not preprocess:\n{scan.stderr}")
            pre = scan.stdout
            names = []
            for m in re.finditer(r"(extern\s+\"C\"\s+)?__emu_kernel_marker__\s+void\s+(\w+)\s*\(", pre):
                names.append((m.group(2), bool(m.group(1))))
            full = os.path.join(out_dir, "kernels_emu.cpp")
            with open(full, "w") as f:
                f.write(code)
                f.write("\n#include \"" + os.path.join(_HERE, "_launch.h") + "\"\n")
                for name, _ in names:
                    f.write(f"EMU_KERNEL_ENTRY({name})\n")
            tmp = lib + f".{os.getpid()}.tmp"
            build = subprocess.run(base + sanitize + ["-O2", "-shared", "-o", tmp, full, "-lm"],
                                   capture_output=True, text=True)
            if build.returncode != 0:
                raise _emu.EmulationError(f"kernel source does not compile for the host:\n{build.stderr}")
            with open(names_file, "w") as f:
                f.write("\n".join(f"{n} {int(c)}" for n, c in names))
            os.replace(tmp, lib)
    names = {}
    with open(names_file) as f:
        for line in f.read().split("\n"):
            if line:
                n, c = line.split()
                names[n] = bool(int(c))
    return ctypes.CDLL(lib, mode=os.RTLD_LOCAL | os.RTLD_NOW), names


class Function:
    """A kernel of a loaded module (what RawModule.get_function returns)."""

    def __init__(self, module, name):
        self.module = module
        self.name = name
        lib = module._lib
        self._launch = getattr(lib, f"__emu_launch__{name}")
        self._launch.restype = ctypes.c_int
        self._launch.argtypes = [ctypes.POINTER(ctypes.c_uint), ctypes.POINTER(ctypes.c_uint),
                                 ctypes.POINTER(ctypes.c_void_p), ctypes.c_int, ctypes.c_ulonglong]
        sig = getattr(lib, f"__emu_sig__{name}")
        sig.restype = ctypes.c_int
        buf = (_ParamInfo * 64)()
        n = sig(buf, 64)
        self.params = [buf[i] for i in range(n)]

    # The CuPy Function signature: grid and block are tuples.
    def __call__(self, grid, block, args, shared_mem=0, stream=None, enable_cooperative_groups=False):
        if not isinstance(grid, tuple) or not isinstance(block, tuple):
            raise TypeError(f"Argument 'grid'/'block' has incorrect type (expected tuple, got "
                            f"{type(grid).__name__}/{type(block).__name__})")
        _run(self, grid, block, args, shared_mem, stream)


def _describe_param(p):
    if p.kind == 2:
        const = "const " if p.pointee_const else ""
        return f"{const}{_KIND[p.pointee_kind]}{'' if p.pointee_kind == 5 else str(p.pointee_size * 8)}*"
    return f"{_KIND[p.kind]}{p.size * 8}"


def _marshal(arg):
    """(kind, bytes, array-or-None, description) as CuPy's _pointer converts it."""
    if arg is None:
        return "ptr", (0).to_bytes(8, "little"), None, "None (NULL pointer)"
    if isinstance(arg, ndarray):
        ptr = arg.data.ptr if arg.size else 0
        return "ptr", ptr.to_bytes(8, "little"), arg, f"cupy.ndarray {arg.dtype} {arg.shape}"
    if type(arg) not in _POINTER_TYPES:
        if isinstance(arg, int):
            arg = _np.int64(arg)
        elif isinstance(arg, float):
            arg = _np.float64(arg)
        elif hasattr(arg, "__cuda_array_interface__"):
            ptr = arg.__cuda_array_interface__["data"][0]
            return "ptr", int(ptr).to_bytes(8, "little"), None, f"{type(arg).__name__} (CUDA array interface)"
        else:
            raise TypeError(f"Unsupported type {type(arg)}")
    return "scalar", arg.tobytes(), arg, f"{type(arg).__name__}"


def _extent(a):
    """[lo, hi) bytes an array's elements occupy."""
    if a.size == 0:
        return (0, 0)
    start = a.data.ptr
    lo = hi = start
    for n, s in zip(a.shape, a.strides):
        if s < 0:
            lo += s * (n - 1)
        else:
            hi += s * (n - 1)
    return (lo, hi + a.itemsize)


def _check_args(fn, args, marshalled):
    problems = []
    params = fn.params
    if len(args) != len(params):
        problems.append(f"{len(args)} arguments for {len(params)} kernel parameters")
    for i, (p, (kind, raw, obj, desc)) in enumerate(zip(params, marshalled)):
        want = _describe_param(p)
        if p.kind == 2:
            if kind != "ptr":
                problems.append(f"argument {i}: kernel takes a pointer ({want}), CuPy passes {desc} ({len(raw)} bytes)")
                continue
            if isinstance(obj, ndarray) and p.pointee_kind != 5:
                dt = obj.dtype
                kind_ok = {0: dt.kind in "iu", 1: dt.kind == "f", 3: dt.kind == "b", 4: True}.get(p.pointee_kind, True)
                if dt.itemsize != p.pointee_size or not kind_ok:
                    problems.append(f"argument {i}: kernel takes {want}, CuPy passes the address of {desc}")
                elif obj.size and obj.data.ptr % p.pointee_align:
                    problems.append(f"argument {i}: {want} at address 0x{obj.data.ptr:x}, not {p.pointee_align}-byte "
                                    f"aligned (a misaligned address fault on a GPU)")
        else:
            if kind == "ptr":
                problems.append(f"argument {i}: kernel takes {want} by value, CuPy passes a pointer ({desc})")
                continue
            dt = obj.dtype
            kind_ok = {0: dt.kind in "iu", 1: dt.kind == "f", 3: dt.kind in "b", 4: True}.get(p.kind, True)
            if dt.itemsize != p.size or not kind_ok:
                problems.append(f"argument {i}: kernel takes {want} ({p.size} bytes), CuPy passes {desc} "
                                f"({dt.itemsize} bytes)")
            elif p.kind == 0 and bool(p.is_signed) != (dt.kind == "i"):
                _emu.log("warning", fn.name, f"argument {i}: signedness differs ({want} <- {desc})")
    return problems


def _run(fn, grid, block, args, shared_mem, stream):
    from .cuda import get_current_stream

    if not isinstance(args, (tuple, list)):
        raise TypeError("args must be a tuple or list")
    grid = tuple(int(g) for g in (tuple(grid) + (1, 1))[:3])
    block = tuple(int(b) for b in (tuple(block) + (1, 1))[:3])
    grid = tuple(max(1, g) for g in grid)
    block = tuple(max(1, b) for b in block)
    from .cuda.driver import CUDADriverError

    if grid[0] > 2**31 - 1 or grid[1] > 65535 or grid[2] > 65535 or block[0] > 1024 or block[1] > 1024 \
            or block[2] > 64 or block[0] * block[1] * block[2] > 1024:
        raise CUDADriverError(f"CUDA_ERROR_INVALID_VALUE: invalid launch dimensions grid={grid} block={block}")
    if shared_mem > 48 * 1024:
        raise CUDADriverError("CUDA_ERROR_INVALID_VALUE: too much dynamic shared memory")
    dev = _emu.current_device()
    strict = _emu.config.strict
    s = stream if stream is not None else get_current_stream()
    if s.device_id != dev:
        raise _emu.EmulationError(f"kernel {fn.name} launched on a stream of device {s.device_id} while device {dev} "
                                  f"is current (an invalid resource handle on a GPU)")
    if fn.module._device != dev:
        msg = (f"kernel {fn.name} of a module loaded on device {fn.module._device} launched while device {dev} is "
               f"current (CUDA_ERROR_INVALID_HANDLE on a GPU)")
        if strict:
            raise _emu.EmulationError(msg)
        _emu.log("warning", fn.name, msg)
    marshalled = [_marshal(a) for a in args]
    for i, (kind, raw, obj, desc) in enumerate(marshalled):
        if kind == "ptr" and isinstance(obj, ndarray) and obj._dev != dev:
            msg = (f"kernel {fn.name} on device {dev} reads argument {i} ({desc}) in device {obj._dev}'s memory "
                   f"(an illegal address without peer access)")
            if strict:
                raise _emu.EmulationError(msg)
            _emu.log("warning", fn.name, msg)
    problems = _check_args(fn, args, marshalled)
    if problems:
        msg = f"kernel {fn.name}: " + "; ".join(problems)
        if strict:
            raise _emu.KernelArgumentError(msg)
        _emu.log("warning", fn.name, msg)
    # Arrays written through a non-const pointer that overlap another array argument.
    written = [i for i, p in enumerate(fn.params[:len(args)]) if p.kind == 2 and not p.pointee_const]
    arrays = [(i, _extent(m[2])) for i, m in enumerate(marshalled) if isinstance(m[2], ndarray) and m[2].size]
    for i in written:
        ext = dict(arrays).get(i)
        if ext is None:
            continue
        for j, other in arrays:
            if j != i and other[0] < ext[1] and ext[0] < other[1]:
                _emu.log("alias", fn.name, i, j)
    # kernelParams: one slot per argument, padded so that a kernel reading more bytes
    # than were passed reads recognisable garbage (lax mode only).
    # Tight mode: every array argument is copied into an allocation of exactly the
    # bytes its elements span (so that AddressSanitizer sees a view's own bounds, not
    # its base's), and copied back after the launch where the kernel may write it.
    tight = []
    if _emu.config.tight:
        for i, (kind, raw, obj, desc) in enumerate(marshalled):
            if kind == "ptr" and isinstance(obj, ndarray) and obj.size:
                lo, hi = _extent(obj)
                tmp = _np.empty(hi - lo, _np.uint8)
                taddr = tmp.__array_interface__["data"][0]
                ctypes.memmove(taddr, lo, hi - lo)
                writable = i < len(fn.params) and fn.params[i].kind == 2 and not fn.params[i].pointee_const
                tight.append((tmp, taddr, lo, hi, writable))
                raw = (taddr + obj.data.ptr - lo).to_bytes(8, "little")
                marshalled[i] = (kind, raw, obj, desc)
    slots = []
    for kind, raw, obj, desc in marshalled:
        b = ctypes.create_string_buffer(raw + b"\xab" * 16, len(raw) + 16)
        slots.append(b)
    n = max(len(slots), len(fn.params))
    argv = (ctypes.c_void_p * max(1, n))(*[ctypes.addressof(b) for b in slots])
    g = (ctypes.c_uint * 3)(*grid)
    b = (ctypes.c_uint * 3)(*block)
    order = {"forward": 0, "reverse": 1, "shuffle": 2}.get(_emu.config.order, 0)
    _emu.log("launch", fn.name, grid, block, dev, s.ptr)
    keep = [m[2] for m in marshalled]  # arrays stay alive during the launch
    fn._launch(g, b, argv, order, _emu.config.seed)
    for tmp, taddr, lo, hi, writable in tight:
        if writable:
            ctypes.memmove(lo, taddr, hi - lo)
    del keep, tight
    arrays = [(m[2], p) for m, p in zip(marshalled, fn.params) if isinstance(m[2], ndarray)]
    _order.operation(f"kernel {fn.name}", reads=[a for a, p in arrays if p.pointee_const],
                     writes=[a for a, p in arrays if not p.pointee_const], stream=s)


class RawModule:
    def __init__(self, code=None, path=None, options=(), backend="nvrtc", translate_cucomplex=False, *,
                 enable_cooperative_groups=False, name_expressions=None, jitify=False):
        if code is None:
            if path is None:
                raise TypeError("One of `code` and `path` should be given")
            with open(path) as f:
                code = f.read()
        self.code = code
        self.options = tuple(options)
        self.backend = backend
        self.name_expressions = name_expressions
        self._lib = None
        self._device = None
        self._names = None

    def _load(self):
        if self._lib is None:
            self._lib, self._names = _compile(self.code, self.options)
            self._device = _emu.current_device()
            _emu.log("module-load", self._device, sorted(self._names))
        return self._lib

    @property
    def module(self):
        self._load()
        return self

    def get_function(self, name):
        self._load()
        from .cuda.driver import CUDADriverError

        if name not in self._names or (not self._names[name] and not self.name_expressions):
            raise CUDADriverError(f"CUDA_ERROR_NOT_FOUND: named symbol not found ({name})")
        return Function(self, name)

    def compile(self, log_stream=None):
        self._load()
