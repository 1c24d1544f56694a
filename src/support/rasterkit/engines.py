"""TensorRT engine builders: ONNX model in, serialised engine file out.

Engines take minutes to build and are cached on disk, where every later run loads
them without checking. So the builders show progress on stderr, and write the
engine to a temporary file in the target directory that is renamed into place
only once it is complete: an interrupted or failed build leaves no file at the
target path, never a truncated engine.

TensorRT is looked up at call time through the module global ``trt`` (imported
on first use), so the package imports without it and a test can stand in its own.
"""

import contextlib
import os
import secrets
import signal
import sys
import threading
import time
import warnings

trt = None

PRECISIONS = ("bf16", "tf32", "fp16", "fp32")

# Builder flag each reduced precision asks for; on TensorRT 11 only TF32 is left.
_PRECISION_FLAGS = {"bf16": "BF16", "fp16": "FP16", "tf32": "TF32"}


def onnx_to_trt_dynamic_shape(
    onnx_path,
    trt_path,
    precision="bf16",
    batch_range=(1, 1, 1),
    spatial_range=None,
    workspace=None,
):
    """Build a TensorRT engine from an ONNX model for a range of input shapes.

    ``batch_range`` and ``spatial_range`` are (min, preferred, max) triples: the
    batch size, and the height and width of every 4-D (NCHW) input. The channel
    count comes from the model. With ``spatial_range`` None the model's own height
    and width are used, which must then be fixed. Inputs of other ranks (such as a
    per-image latent) take the batch range for a dynamic first dimension and the
    model's sizes for the rest. Returns ``trt_path``.

    ``precision`` is "bf16", "fp16", "tf32" or "fp32" (float32 throughout, TF32
    off). On TensorRT 10 "bf16" and "fp16" enable that builder flag, letting
    TensorRT choose reduced-precision kernels per layer. TensorRT 11 has no such
    flags and builds strongly typed networks only: there the engine computes in
    the model's own types, and a warning says so. Convert the model to bfloat16
    beforehand to get a bfloat16 engine there, keeping its inputs and outputs
    float32 (a cast at each end of the graph): the engines' users take float32
    inputs and outputs only. Engine inputs and outputs keep the model's types
    (float32 for float32 models) in every case.

    ``workspace`` limits the builder's scratch memory in bytes; None keeps
    TensorRT's default (the device's memory size).

    The engine is written to a temporary file beside ``trt_path`` and renamed into
    place when complete. Ctrl-C during the build cancels it (KeyboardInterrupt),
    and nothing is left at ``trt_path``; this needs the call on the main thread
    with Python's default Ctrl-C handler in place.
    """
    batch = _check_range("batch_range", batch_range)
    spatial = None if spatial_range is None else _check_range("spatial_range", spatial_range)

    def image_dims(name, dims):
        channels = _fixed_dim(name, dims, 1, "channel count")
        if spatial is None:
            height = _fixed_dim(name, dims, 2, "height (pass spatial_range)")
            width = _fixed_dim(name, dims, 3, "width (pass spatial_range)")
            return [(n, channels, height, width) for n in batch]
        return [(n, channels, s, s) for n, s in zip(batch, spatial)]

    summary = f"batch {batch[0]}..{batch[2]}"
    if spatial is not None:
        summary += f", height and width {spatial[0]}..{spatial[2]}"
    return _build(onnx_path, trt_path, precision, workspace, batch, image_dims, summary)


def onnx_to_trt_fixed_shape(onnx_path, engine_path, input_shape, precision="tf32", workspace=None):
    """Build a TensorRT engine from an ONNX model for one fixed NCHW input shape.

    ``input_shape`` (N, C, H, W) is the shape of every 4-D input; inputs of other
    ranks take N for a dynamic first dimension. ``precision`` and ``workspace``
    are as for ``onnx_to_trt_dynamic_shape`` (on TensorRT 11 "bf16" and "fp16"
    build in the model's own types, with a warning). The engine is written to a
    temporary file and renamed to ``engine_path`` when complete. Returns
    ``engine_path``.
    """
    if (
        not isinstance(input_shape, (tuple, list))
        or len(input_shape) != 4
        or not all(_is_positive_int(v) for v in input_shape)
    ):
        raise ValueError(f"input_shape must be four positive integers (N, C, H, W), got {input_shape!r}")
    shape = tuple(input_shape)
    batch = (shape[0],) * 3

    def image_dims(name, dims):
        return [shape] * 3

    summary = "input " + "x".join(map(str, shape))
    return _build(onnx_path, engine_path, precision, workspace, batch, image_dims, summary)


def _is_positive_int(value):
    return isinstance(value, int) and not isinstance(value, bool) and value > 0


def _check_range(what, value):
    if (
        not isinstance(value, (tuple, list))
        or len(value) != 3
        or not all(_is_positive_int(v) for v in value)
        or not value[0] <= value[1] <= value[2]
    ):
        raise ValueError(
            f"{what} must be three positive integers (min, opt, max) with min <= opt <= max, got {value!r}"
        )
    return tuple(value)


def _fixed_dim(name, dims, axis, what):
    if dims[axis] < 0:
        raise ValueError(f"input '{name}' of the model has a dynamic {what}")
    return dims[axis]


def _tensorrt():
    global trt
    if trt is None:
        try:
            import tensorrt
        except ImportError as e:
            raise ImportError(
                "building a TensorRT engine needs the package 'tensorrt'; "
                "install it with the extra: pip install 'kestrel[tensorrt]'"
            ) from e
        trt = tensorrt
    return trt


def _say(message):
    print(f"[rasterkit] {message}", file=sys.stderr, flush=True)


def _build(onnx_path, engine_path, precision, workspace, batch, image_dims, summary):
    if precision not in PRECISIONS:
        raise ValueError(f"precision must be one of {', '.join(PRECISIONS)}, got {precision!r}")
    if workspace is not None and not _is_positive_int(workspace):
        raise ValueError(f"workspace must be a positive number of bytes or None, got {workspace!r}")
    onnx_path, engine_path = os.fspath(onnx_path), os.fspath(engine_path)
    if not os.path.isfile(onnx_path):
        raise FileNotFoundError(f"ONNX model not found: {onnx_path}")
    trt = _tensorrt()

    # Logger and progress monitor must outlive every TensorRT object using them,
    # so they live here and the builder objects inside _serialize.
    logger = _make_logger(trt)
    cancelled = threading.Event()
    monitor = _make_progress_monitor(trt, cancelled) if hasattr(trt, "IProgressMonitor") else None

    _say(f"building TensorRT engine {engine_path} from {onnx_path} ({precision}, {summary}); this can take minutes")
    started = time.monotonic()
    with _cancel_on_interrupt(cancelled, enabled=monitor is not None) as run:
        engine = _serialize(trt, logger, monitor, run, onnx_path, precision, workspace, batch, image_dims)
    if cancelled.is_set():
        raise KeyboardInterrupt("TensorRT engine build cancelled")
    if engine is None:
        raise RuntimeError(f"TensorRT failed to build an engine from {onnx_path}" + logger.describe_errors())
    data = memoryview(engine)
    _write_atomically(engine_path, data)
    _say(f"engine written to {engine_path} ({data.nbytes / 1e6:.1f} MB, {time.monotonic() - started:.0f} s)")
    return engine_path


def _serialize(trt, logger, monitor, run, onnx_path, precision, workspace, batch, image_dims):
    """Parses and configures here; ``run(function, *args)`` makes the build call itself."""
    builder = trt.Builder(logger)
    # No creation flags: TensorRT 10 then builds weakly typed networks, which the
    # precision flags need; TensorRT 11 types every network strongly anyway.
    network = builder.create_network(0)
    parser = trt.OnnxParser(network, logger)
    if not parser.parse_from_file(onnx_path):
        errors = "".join(f"\n  {parser.get_error(i)}" for i in range(parser.num_errors))
        raise RuntimeError(f"TensorRT could not parse the ONNX model {onnx_path}:{errors}{logger.describe_errors()}")

    config = builder.create_builder_config()
    _set_precision(trt, config, precision)
    if workspace is not None:
        config.set_memory_pool_limit(trt.MemoryPoolType.WORKSPACE, workspace)
    if monitor is not None:
        config.progress_monitor = monitor

    profile = builder.create_optimization_profile()
    for i in range(network.num_inputs):
        tensor = network.get_input(i)
        dims = tuple(tensor.shape)
        if len(dims) == 4:
            shapes = image_dims(tensor.name, dims)
        else:
            rest = tuple(_fixed_dim(tensor.name, dims, axis, f"dimension {axis}") for axis in range(1, len(dims)))
            shapes = [(n, *rest) if dims and dims[0] < 0 else dims for n in batch]
        profile.set_shape(tensor.name, *shapes)
    config.add_optimization_profile(profile)
    # The parser owns the network's weights, so it stays alive (in this frame) until
    # the build returns.
    return run(builder.build_serialized_network, network, config)


def _set_precision(trt, config, precision):
    flags = trt.BuilderFlag
    if precision == "fp32":
        # TensorRT enables TF32 by default; plain fp32 has to switch it off.
        if hasattr(flags, "TF32"):
            config.clear_flag(flags.TF32)
        return
    name = _PRECISION_FLAGS[precision]
    if hasattr(flags, name):
        config.set_flag(getattr(flags, name))
    else:
        warnings.warn(
            f"this TensorRT ({getattr(trt, '__version__', 'unknown version')}) has no {name} builder flag "
            f"and builds strongly typed networks only: the engine computes in the model's own types, "
            f"not {precision}; convert the model beforehand for a {precision} engine",
            stacklevel=5,
        )


def _make_logger(trt):
    severity = trt.ILogger.Severity
    errors = (severity.INTERNAL_ERROR, severity.ERROR)
    shown = errors + (severity.WARNING,)

    class Logger(trt.ILogger):
        """Shows warnings and errors on stderr and keeps the errors for the exception."""

        def __init__(self):
            trt.ILogger.__init__(self)
            self.errors = []

        def log(self, level, message):
            if level in errors:
                self.errors.append(message)
            if level in shown:
                print(f"[TensorRT] {message}", file=sys.stderr, flush=True)

        def describe_errors(self):
            return "".join(f"\n  {message}" for message in self.errors)

    return Logger()


def _make_progress_monitor(trt, cancelled):
    class ProgressMonitor(trt.IProgressMonitor):
        """Prints the top two levels of build phases, and step counts at most once a second.

        TensorRT may call from several threads, hence the lock. Returning False
        from step_complete is TensorRT's way to cancel a build.
        """

        def __init__(self):
            trt.IProgressMonitor.__init__(self)
            self._lock = threading.Lock()
            self._phases = {}  # name -> (depth, number of steps)
            self._last_step_shown = 0.0

        def phase_start(self, phase_name, parent_phase, num_steps):
            with self._lock:
                depth = self._phases[parent_phase][0] + 1 if parent_phase in self._phases else 0
                self._phases[phase_name] = (depth, num_steps)
                if depth <= 1:
                    _say(f"{'  ' * depth}{phase_name} ({num_steps} step{'' if num_steps == 1 else 's'})")

        def step_complete(self, phase_name, step):
            with self._lock:
                depth, steps = self._phases.get(phase_name, (2, 0))
                now = time.monotonic()
                if depth <= 1 and now - self._last_step_shown >= 1.0:
                    self._last_step_shown = now
                    _say(f"{'  ' * depth}{phase_name}: {step + 1}/{steps}")
            return not cancelled.is_set()

        def phase_finish(self, phase_name):
            with self._lock:
                if self._phases.pop(phase_name, (None,))[0] == 0:
                    _say(f"{phase_name} finished")

    return ProgressMonitor()


@contextlib.contextmanager
def _cancel_on_interrupt(cancelled, enabled):
    """Turn Ctrl-C during the build into a cancellation through the progress monitor.

    Yields ``run(function, *args)``, which makes the build call. A KeyboardInterrupt
    raised inside a TensorRT callback would have to unwind through TensorRT's C++
    code; a flag that step_complete reports lets TensorRT stop cleanly instead.
    Python runs signal handlers only on the main thread and only between bytecodes,
    and the build call holds its thread inside TensorRT for minutes, so the build
    runs in a worker thread while the main thread waits in short slices, free to
    run the handler that sets the flag. Only where Python's default handler is in
    place (the main thread, no handler of the application's own); elsewhere the
    build is called directly and a Ctrl-C takes effect once it returns.
    """
    if (
        not enabled
        or threading.current_thread() is not threading.main_thread()
        or signal.getsignal(signal.SIGINT) is not signal.default_int_handler
    ):
        yield _call
        return

    # Only sets the flag: printing from a signal handler can hit a write in progress.
    signal.signal(signal.SIGINT, lambda signum, frame: cancelled.set())
    try:
        yield lambda function, *args: _run_in_worker(cancelled, function, *args)
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def _call(function, *args):
    return function(*args)


def _run_in_worker(cancelled, function, *args):
    """``function(*args)`` on a worker thread; its result is returned, its exception raised here."""
    outcome = {}

    def work():
        try:
            outcome["result"] = function(*args)
        except BaseException as e:  # handed to the waiting thread, KeyboardInterrupt included
            outcome["error"] = e

    worker = threading.Thread(target=work, name="TensorRT engine build")
    worker.start()
    try:
        while worker.is_alive():
            worker.join(0.2)
    except BaseException:
        # Something other than our handler raised while waiting (another signal's
        # handler, say): cancel the build and wait for it, so that no build goes on
        # unseen, holding the GPU.
        cancelled.set()
        worker.join()
        raise
    if "error" in outcome:
        raise outcome.pop("error")
    return outcome["result"]


def _write_atomically(path, data):
    """Write ``data`` to ``path`` through a temporary file in the same directory."""
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.partial")
    # O_EXCL: never write through someone else's file; 0o666 lets the umask decide,
    # as for any file the application writes.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with open(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
