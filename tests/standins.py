"""Stand-ins for ONNX Runtime, TensorRT's execution API and CuPy, shared by the model tests.

They record what the model modules do with them, so that tests can check call
arguments, buffer allocation and binding, and the order of work on the streams without a
GPU. The engine runs on NumPy arrays posing as device buffers: each model's test gives it
the computation its fake network performs.
"""

import types

import numpy as np
import onnxruntime


class FakeOrt:
    """ONNX Runtime stand-in recording the session arguments; sessions run on the CPU.
    Older ONNX Runtime releases have no preload_dlls."""

    SessionOptions = onnxruntime.SessionOptions

    def __init__(self, preload=True):
        self.sessions, self.preloads = [], 0
        if preload:
            self.preload_dlls = self.count_preload

    def count_preload(self):
        self.preloads += 1

    def InferenceSession(self, model, *, sess_options, providers, provider_options):
        self.sessions.append((type(model), sess_options, providers, provider_options))
        return onnxruntime.InferenceSession(model, sess_options, providers=["CPUExecutionProvider"])


class DeviceArray(np.ndarray):
    """A NumPy array posing as a device buffer: `data.ptr` is its address. Writes into a
    buffer of FakeGpu.empty are logged with the stream they are issued on."""

    data = property(lambda self: types.SimpleNamespace(ptr=self.ctypes.data))

    def written(self, op):
        gpu = getattr(self, "gpu", None)  # arrays derived from a buffer have none
        if gpu is not None:
            gpu.log.append((op, self.shape, gpu.current))

    def __setitem__(self, key, value):
        self.written("fill")
        super().__setitem__(key, value)

    def __isub__(self, other):
        self.written("-=")
        return super().__isub__(other)

    def __itruediv__(self, other):
        self.written("/=")
        return super().__itruediv__(other)


class FakeStream:
    """The engine's stream; `with stream:` makes it the current one."""

    ptr = 77

    def __init__(self, gpu):
        self.gpu, self.outer = gpu, []

    def __enter__(self):
        self.outer.append(self.gpu.current)
        self.gpu.current = "engine stream"
        return self

    def __exit__(self, *exc):
        self.gpu.current = self.outer.pop()

    def wait_event(self, event):
        self.gpu.log.append("wait")

    def synchronize(self):
        self.gpu.log.append("sync")


class FakeDevice:
    """Entering logs ("device", ordinal), leaving "device left": GPU work logged between
    the two ran in the device context."""

    compute_capability = "90"

    def __init__(self, log, ordinal):
        self.log, self.ordinal = log, ordinal

    def __enter__(self):
        self.log.append(("device", self.ordinal))
        return self

    def __exit__(self, *exc):
        self.log.append("device left")


class FakeGpu:
    """CuPy as the TensorRT backends use it, on NumPy; `log` records allocations,
    bindings, buffer writes and stream work, each with the stream it was issued on where
    that matters. `name` is the GPU's name as the device properties give it."""

    float32 = np.float32
    array, asarray = staticmethod(np.array), staticmethod(np.asarray)
    asnumpy = staticmethod(np.asarray)
    concatenate = staticmethod(np.concatenate)

    ndarray = DeviceArray  # plain NumPy arrays are host arrays

    def __init__(self, name=b"Fake GPU"):
        self.log, self.buffers, self.current, self.name = [], {}, "caller stream", name
        say = self.log.append
        stream = FakeStream(self)
        event = types.SimpleNamespace(record=lambda on: say(("record", on)))
        runtime = types.SimpleNamespace(getDeviceProperties=lambda ordinal: {"name": self.name})
        self.cuda = types.SimpleNamespace(Stream=lambda: stream, Event=lambda disable_timing: event,
                                          get_current_stream=lambda: self.current, runtime=runtime,
                                          is_available=lambda: True,
                                          Device=lambda ordinal: FakeDevice(self.log, ordinal))

    def empty(self, shape, dtype):
        buf = np.empty(shape, dtype).view(DeviceArray)
        buf.gpu = self
        self.buffers[buf.ctypes.data] = buf
        self.log.append(("alloc", tuple(shape)))
        return buf

    def copy(self, array):
        self.log.append(("copy", array.shape, self.current))
        return np.array(array)


def engine_write(out, value):
    """A fake network's write into a bound output buffer: on a FakeGpu buffer it is not
    logged as a fill by the caller."""
    if isinstance(out, np.ndarray):
        np.copyto(out, value)
    else:
        out[...] = value


class FakeEngine:
    """Engine and execution context in one, over `tensors` [(name, "in"/"out", shape)]
    with -1 for a dynamic dimension. Output shapes follow the batch size of the first
    input whose shape has been set. `run(buffers)` is the network: it reads the bound
    input buffers and writes the bound output buffers (a dict name -> array)."""

    def __init__(self, gpu, tensors, run, fail=False, dtypes=None, max_batch=32):
        self.gpu, self.run, self.fail, self.max_batch = gpu, run, fail, max_batch
        self.shapes, self.addresses, self.dtypes = {}, {}, dtypes or {}
        self.modes = {name: mode for name, mode, _ in tensors}
        self.declared = {name: shape for name, _, shape in tensors}

    def __iter__(self):
        return iter(self.modes)

    def get_tensor_mode(self, name):
        return self.modes[name]

    def get_tensor_dtype(self, name):
        return self.dtypes.get(name, "DataType.FLOAT")

    def create_execution_context(self):
        return self

    def get_tensor_shape(self, name):  # dynamic until an input shape is set
        n = next(iter(self.shapes.values()), (-1,))[0]
        return tuple(n if d < 0 else d for d in self.declared[name])

    def set_input_shape(self, name, shape):
        self.shapes[name] = shape
        return shape[0] <= self.max_batch

    def set_tensor_address(self, name, ptr):
        self.addresses[name] = ptr
        self.gpu.log.append(("bind", name))
        return True

    def execute_async_v3(self, stream_ptr):
        self.gpu.log.append(("execute", stream_ptr))
        self.run({name: self.gpu.buffers[ptr] for name, ptr in self.addresses.items()})
        return not self.fail


class CupyEngine(FakeEngine):
    """FakeEngine on CuPy (real or emulated): execute_async_v3 runs the network on the
    stream it is given, as TensorRT does, over the arrays whose addresses are bound, so
    the emulated GPU checks the order of work between the caller's stream and the
    engine's. The test sets `owner` to the model object, which keeps every bound buffer
    in d_inputs and d_outputs."""

    def __init__(self, cp, tensors, run, **kwargs):
        super().__init__(types.SimpleNamespace(log=[]), tensors, run, **kwargs)
        self.cp, self.owner = cp, None

    def execute_async_v3(self, stream_ptr):
        buffers = [b for b in (*self.owner.d_inputs.values(), *self.owner.d_outputs.values()) if b is not None]
        bound = {name: next(b for b in buffers if b.data.ptr == ptr) for name, ptr in self.addresses.items()}
        with self.cp.cuda.ExternalStream(stream_ptr):
            self.run(bound)
        return not self.fail


def fake_tensorrt(gpu, version="10.13.0.35", engine=FakeEngine, **engine_args):
    """TensorRT's execution API over FakeEngine (or CupyEngine, with `gpu` the cupy
    module): bytes b"engine" deserialise, others give None as TensorRT does for an
    engine it cannot load."""

    class Runtime:
        def __init__(self, logger):
            assert logger.level == "warning"

        def deserialize_cuda_engine(self, data):
            return engine(gpu, **engine_args) if data == b"engine" else None

    logger = type("Logger", (), {"WARNING": "warning", "__init__": lambda self, level: setattr(self, "level", level)})

    def nptype(dtype):  # TensorRT's has no NumPy type for BF16, FP8 or FP4
        types_ = {"DataType.FLOAT": np.float32, "DataType.HALF": np.float16, "DataType.INT32": np.int32}
        if dtype not in types_:
            raise TypeError(f"Could not resolve TensorRT datatype to an equivalent numpy datatype. {dtype}")
        return types_[dtype]

    return types.SimpleNamespace(__version__=version, Logger=logger, Runtime=Runtime, nptype=nptype,
                                 DataType=types.SimpleNamespace(FLOAT="DataType.FLOAT"),
                                 TensorIOMode=types.SimpleNamespace(INPUT="in", OUTPUT="out"))
