"""The device, the models of each role and the source identity, checked before any frame is read.

Every failure here is a BadInput naming the option and the file, so that the command can
report it in one line.
"""

import os
from dataclasses import dataclass

import numpy as np

import rasterkit as rk

from . import BadInput, need
from . import standins
from .faces import RECOGNITION_TEMPLATE, fit_similarity

LATENT_SIZE = 512


# ---------------------------------------------------------------- device


def cupy_or_none():
    try:
        import cupy
    except ImportError:
        return None
    return cupy


def gpu_count(cp) -> int:
    try:
        return cp.cuda.runtime.getDeviceCount()
    except Exception:  # no driver, no device: CuPy raises its own runtime errors
        return 0


def _ort_has_cuda() -> bool:
    try:
        import onnxruntime
    except ImportError:
        return False
    return "CUDAExecutionProvider" in onnxruntime.get_available_providers()


def choose_device(requested, backend: str) -> str:
    """"cpu" or "cuda:N". By default the first GPU where CuPy sees one and the backend can
    use it (ONNX Runtime with its CUDA provider, or TensorRT), else the CPU."""
    cp = cupy_or_none()
    asked = f"--device {requested}" if requested is not None else "--backend trt"
    if requested is None:
        usable = cp is not None and gpu_count(cp) > 0 and (backend == "trt" or _ort_has_cuda())
        requested = "cuda" if usable or backend == "trt" else "cpu"
    if requested == "cpu":
        if backend == "trt":
            raise BadInput("--backend trt runs on a GPU; use --backend onnx with --device cpu")
        return "cpu"
    head, _, ordinal = requested.partition(":")
    if head != "cuda" or (ordinal and not ordinal.isdigit()):
        raise BadInput(f"--device {requested}: expected cpu, cuda or cuda:N")
    if cp is None:
        raise BadInput(f"{asked}: needs CuPy, which is not installed: pip install 'kestrel[cuda]'")
    count = gpu_count(cp)
    index = int(ordinal or 0)
    if count == 0:
        raise BadInput(f"{asked}: no CUDA GPU is visible here" + ("; use --device cpu" if backend == "onnx" else ""))
    if index >= count:
        raise BadInput(f"{asked}: there {'is' if count == 1 else 'are'} only {count} CUDA GPU"
                       f"{'' if count == 1 else 's'} (cuda:0{'' if count == 1 else f' .. cuda:{count - 1}'})")
    if backend == "onnx" and not _ort_has_cuda():
        need("onnxruntime", "--backend onnx")
        raise BadInput(f"{asked}: this ONNX Runtime has no CUDA provider: "
                       "pip install 'kestrel[cuda]' (onnxruntime-gpu instead of onnxruntime)")
    if backend == "trt":
        need("tensorrt", "--backend trt")
    return f"cuda:{index}"


# ---------------------------------------------------------------- models by role


@dataclass(frozen=True)
class Role:
    option: str
    module: str
    base: str  # class name without its backend prefix
    wants: str  # the interface, for messages
    inputs: tuple  # per input: the dimensions, None where any size fits
    output: tuple  # the first output's dimensions, or None for any


ROLES = {
    "swap": Role("--swap-model", "kestrel.swap", "FaceSwap",
                 "two inputs (target images N x 3 x H x W, identity latents N x 512) and one output N x 3 x H x W",
                 ((None, 3, None, None), (None, LATENT_SIZE)), (None, 3, None, None)),
    "enhance": Role("--enhance-model", "kestrel.enhance", "FaceEnhance",
                    "one input (face images N x 3 x H x W) and an output N x 3 x H x W",
                    ((None, 3, None, None),), (None, 3, None, None)),
    "parse": Role("--parse-model", "kestrel.segmentation", "FaceSegmentation",
                  "one input (face images N x 3 x H x W) and an output of 19 class scores N x 19 x H x W",
                  ((None, 3, None, None),), (None, 19, None, None)),
    "encode": Role("--encoder", "", "", "one input (aligned faces N x 3 x 112 x 112) and an output N x 512",
                   ((None, 3, 112, 112),), (None, LATENT_SIZE)),
}


def _fits(shape, wanted) -> bool:
    """Whether a model's dimensions (ints, or names / None where dynamic) can take `wanted`."""
    if wanted is None:
        return True
    if shape is None or len(shape) != len(wanted):
        return False
    return all(w is None or not isinstance(d, int) or d == w for d, w in zip(shape, wanted))


def _shape_text(io) -> str:
    return ", ".join(f"{name} {'x'.join(str(d) if isinstance(d, int) else '?' for d in shape or ())}"
                     for name, shape in io)


def check_role(role: str, path: str, inputs, outputs) -> None:
    """Refuse a model whose inputs and outputs do not fit the role. `inputs`, `outputs`:
    (name, dimensions) pairs."""
    spec = ROLES[role]
    ok = (len(inputs) == len(spec.inputs) and all(_fits(s, w) for (_, s), w in zip(inputs, spec.inputs))
          and len(outputs) >= 1 and _fits(outputs[0][1], spec.output) and (role != "swap" or len(outputs) == 1))
    if not ok:
        raise BadInput(f"{spec.option} {path} does not fit: it needs {spec.wants}; it has inputs "
                       f"{_shape_text(inputs) or 'none'} and outputs {_shape_text(outputs) or 'none'}")


def _session_io(session):
    return ([(i.name, i.shape) for i in session.get_inputs()], [(o.name, o.shape) for o in session.get_outputs()])


def _onnx_file_io(path: str):
    onnx = need("onnx", "checking a model for TensorRT")
    try:
        graph = onnx.load(path, load_external_data=False).graph
    except Exception as e:
        raise BadInput(f"{path}: not an ONNX model ({_first_line(e)})") from None
    given = {t.name for t in graph.initializer}

    def dims(value):
        return [d.dim_value if d.HasField("dim_value") else d.dim_param for d in value.type.tensor_type.shape.dim]

    return ([(v.name, dims(v)) for v in graph.input if v.name not in given], [(v.name, dims(v)) for v in graph.output])


def _first_line(e: BaseException) -> str:
    text = str(e).strip()
    return text.splitlines()[-1].strip() if text else type(e).__name__


def _existing(role: str, path: str, backend: str) -> None:
    option = ROLES[role].option
    beside = path.replace(".onnx", ".trt") if backend == "trt" else None
    if os.path.isfile(path) or (beside and os.path.isfile(beside)):
        return
    if os.path.isdir(path):
        raise BadInput(f"{option} {path}: is a folder, not a model file")
    raise BadInput(f"{option} {path}: no such file" + (f" (nor an engine {beside} beside it)" if beside else ""))


def load_model(role: str, path: str, backend: str, device: str):
    """The kestrel model object of the role on the backend, from a file (None: the stand-in)."""
    import importlib

    standin = path is None
    if standin:
        path = standins.standin_path(role)
    spec = ROLES[role]
    _existing(role, path, backend)
    if backend == "trt" and os.path.isfile(path) and path.endswith(".onnx"):
        check_role(role, path, *_onnx_file_io(path))
    module = importlib.import_module(spec.module)
    cls = getattr(module, ("Trt" if backend == "trt" else "Onnx") + spec.base)
    try:
        model = cls(path, None, device)
    except AssertionError:  # the swap class asserts a single output
        raise BadInput(f"{spec.option} {path} does not fit: it needs {spec.wants}") from None
    except OSError as e:
        raise BadInput(f"{spec.option} {path}: {e.strerror or _first_line(e)}") from None
    except Exception as e:
        raise BadInput(f"{spec.option} {path}: cannot load it ({_first_line(e)})") from None
    if backend == "onnx":
        check_role(role, path, *_session_io(model.session))
    if role == "swap" and not all(isinstance(v, int) for v in model.input_size):
        model.input_size = (model.patch, model.patch)  # a dynamic size: the swap's default crop
    return model


# ---------------------------------------------------------------- identity


def _latent_from_npy(path: str) -> np.ndarray:
    try:
        data = np.load(path, allow_pickle=False)
    except OSError as e:
        raise BadInput(f"--source {path}: {e.strerror or _first_line(e)}") from None
    except ValueError as e:
        raise BadInput(f"--source {path}: not a .npy array ({_first_line(e)})") from None
    if not np.issubdtype(data.dtype, np.number) or data.size != LATENT_SIZE:
        raise BadInput(f"--source {path}: a latent holds {LATENT_SIZE} numbers, this one has shape {data.shape} "
                       f"of {data.dtype}")
    latent = data.astype(np.float32).reshape(1, LATENT_SIZE)
    if not np.isfinite(latent).all():
        raise BadInput(f"--source {path}: the latent holds values that are not finite")
    return latent


def _encode_picture(path: str, encoder_path, detector) -> np.ndarray:
    """The picture's face, aligned to the 112 x 112 recognition template, through the encoder."""
    from .media import read_picture

    image = read_picture(path, "--source")
    points = detector(image)
    if points is None:
        raise BadInput(f"--source {path}: no face found in the picture")
    M = fit_similarity(points, RECOGNITION_TEMPLATE)
    face = rk.affine_transform(image, M, (112, 112))
    ort = need("onnxruntime", "--encoder")
    option_path = encoder_path or standins.standin_path("encode")
    _existing("encode", option_path, "onnx")
    try:
        with open(option_path, "rb") as f:
            session = ort.InferenceSession(f.read(), providers=["CPUExecutionProvider"])
    except OSError as e:
        raise BadInput(f"--encoder {option_path}: {e.strerror or _first_line(e)}") from None
    except Exception as e:
        raise BadInput(f"--encoder {option_path}: cannot load it ({_first_line(e)})") from None
    check_role("encode", option_path, *_session_io(session))
    # Face-recognition networks take RGB scaled to -1..1.
    batch = rk.images_to_batch(face, mean=0.5, std=0.5, swap_rb=False)
    embedding = np.asarray(session.run(None, {session.get_inputs()[0].name: batch})[0], np.float32)
    return embedding.reshape(1, LATENT_SIZE)


def _unit(rows: np.ndarray) -> np.ndarray:
    norm = np.linalg.norm(rows, axis=1, keepdims=True)
    return rows / np.where(norm > 0, norm, 1)


def source_latent(source: str, encoder, detector) -> np.ndarray:
    """The identity as one float32 row of 512 values: a .npy is the latent itself; a
    picture goes through the encoder and is normalised to unit length."""
    if not os.path.exists(source):
        raise BadInput(f"--source {source}: no such file")
    if source.lower().endswith(".npy"):
        return _latent_from_npy(source)
    return _unit(_encode_picture(source, encoder, detector)).astype(np.float32)


def apply_matrix(latent: np.ndarray, path: str) -> np.ndarray:
    """latent @ matrix, normalised to unit length again."""
    return _unit(latent @ load_matrix(path)).astype(np.float32)


def load_matrix(path: str) -> np.ndarray:
    from kestrel import vault

    if not os.path.isfile(path):
        raise BadInput(f"--matrix {path}: no such file")
    try:
        m = vault.load_vault(path)
    except OSError as e:
        raise BadInput(f"--matrix {path}: {e.strerror or _first_line(e)}") from None
    except Exception:  # a wrong key or a file of another kind reads as a damaged .npy stream
        raise BadInput(f"--matrix {path}: not a matrix file in the vault format") from None
    m = rk.to_numpy(m)
    if m.shape != (LATENT_SIZE, LATENT_SIZE) or not np.issubdtype(m.dtype, np.number):
        raise BadInput(f"--matrix {path}: expected a {LATENT_SIZE} x {LATENT_SIZE} matrix, got shape {m.shape}")
    return m.astype(np.float32)


def default_latent() -> np.ndarray:
    """The embedded default's identity: a fixed unit vector."""
    return _unit(np.random.default_rng(8).standard_normal((1, LATENT_SIZE))).astype(np.float32)
