"""Small stand-in networks with the interfaces of the real ones, built with onnx.helper.

They let the command run end to end without model files: they are not face models. The
swap tints and re-contrasts the crop by its identity latent, the parser marks skin-coloured
pixels as skin, the enhancer sharpens, the encoder projects a thumbnail of the face onto
512 values. Built on first use and kept in the user's cache folder.
"""

import os
import tempfile

import numpy as np

from . import need
from .media import write_atomically

VERSION = 2  # bump when a network changes, so that cached files are rebuilt
SWAP_SIDE, PARSE_SIDE, ENHANCE_SIDE, ENCODE_SIDE = 256, 512, 512, 112
SKIN_CLASS = 1  # class of the parser's table that the default category table folds into category 0


def cache_folder() -> str:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "kestrel", f"standins-v{VERSION}")


def _model(nodes, name, inputs, outputs, initializers):
    onnx = need("onnx", "building the stand-in networks")
    from onnx import helper, numpy_helper

    graph = helper.make_graph(nodes, name, inputs, outputs,
                              [numpy_helper.from_array(np.asarray(v), k) for k, v in initializers.items()])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=9)
    onnx.checker.check_model(model)
    return model.SerializeToString()


def _tensor(name, shape):
    from onnx import TensorProto, helper

    return helper.make_tensor_value_info(name, TensorProto.FLOAT, shape)


def swap_model() -> bytes:
    """target (n, 3, 256, 256) 0..1 and source (n, 512) -> a colour remap of the target, clipped.

    A fixed projection of the latent gives, per identity, a 3 x 3 colour mix (the identity
    matrix plus up to +-0.5 per entry) and an offset of up to +-0.2 per channel: each
    identity gives its own, repeatable, plainly visible change.
    """
    from onnx import helper

    w = np.random.default_rng(11).standard_normal((512, 12)).astype(np.float32) * np.float32(3.0)
    nodes = [
        helper.make_node("MatMul", ["source", "w"], ["proj"]),
        helper.make_node("Tanh", ["proj"], ["t"]),
        helper.make_node("Split", ["t", "parts"], ["mix_t", "offset_t"], axis=1),
        helper.make_node("Mul", ["mix_t", "mix_range"], ["mix_d"]),
        helper.make_node("Reshape", ["mix_d", "mix_shape"], ["mix_r"]),  # (n, 3, 3)
        helper.make_node("Add", ["mix_r", "eye"], ["mix"]),
        helper.make_node("Einsum", ["mix", "target"], ["mixed"], equation="nij,njhw->nihw"),
        helper.make_node("Mul", ["offset_t", "offset_range"], ["offset_d"]),
        helper.make_node("Reshape", ["offset_d", "offset_shape"], ["offset"]),  # (n, 3, 1, 1)
        helper.make_node("Add", ["mixed", "offset"], ["moved"]),
        helper.make_node("Clip", ["moved", "zero", "one"], ["output"]),
    ]
    consts = {"w": w, "parts": np.array([9, 3], np.int64), "mix_range": np.float32(0.5),
              "mix_shape": np.array([-1, 3, 3], np.int64), "eye": np.eye(3, dtype=np.float32),
              "offset_range": np.float32(0.2), "offset_shape": np.array([-1, 3, 1, 1], np.int64),
              "one": np.float32(1.0), "zero": np.float32(0.0)}
    return _model(nodes, "standin_swap",
                  [_tensor("target", ["n", 3, SWAP_SIDE, SWAP_SIDE]), _tensor("source", ["n", 512])],
                  [_tensor("output", ["n", 3, SWAP_SIDE, SWAP_SIDE])], consts)


def parse_model() -> bytes:
    """input (n, 3, 512, 512), ImageNet-normalised with channels in B, G, R order ->
    (n, 19, 512, 512) scores: the skin class where a pixel is skin-coloured, else class 0.

    Skin: red above 0.72, red above green by 0.07 and above blue by 0.1, blue above 0.55 x
    red (which leaves out saturated hair and clothes). Each test is one linear function of
    the normalised input, so one 1 x 1 convolution gives all four margins; their minimum
    is positive exactly on skin.
    """
    from onnx import helper

    mean, std = np.array([0.485, 0.456, 0.406]), np.array([0.229, 0.224, 0.225])  # B, G, R
    # Margins as (weights on B, G, R values 0..1, constant); values = x * std + mean.
    tests = np.array([[0, 0, 1, -0.72], [0, -1, 1, -0.07], [-1, 0, 1, -0.1], [1, 0, -0.55, 0.0]])
    weights = (tests[:, :3] * std).astype(np.float32).reshape(4, 3, 1, 1)
    bias = (tests[:, :3] @ mean + tests[:, 3]).astype(np.float32)
    # Scores from the skin margin: +margin for the skin class, -margin for class 0, and a
    # constant -10 for every other class (never chosen); one 1 x 1 convolution.
    scale = np.zeros((19, 1, 1, 1), np.float32)
    scale[0], scale[SKIN_CLASS] = -1.0, 1.0
    floor = np.full(19, -10.0, np.float32)
    floor[0] = floor[SKIN_CLASS] = 0.0
    nodes = [
        helper.make_node("Conv", ["input", "w", "b"], ["margins"]),
        helper.make_node("ReduceMin", ["margins"], ["skin"], axes=[1], keepdims=1),
        helper.make_node("Conv", ["skin", "scale", "floor"], ["output"]),
    ]
    return _model(nodes, "standin_parse", [_tensor("input", ["n", 3, PARSE_SIDE, PARSE_SIDE])],
                  [_tensor("output", ["n", 19, PARSE_SIDE, PARSE_SIDE])],
                  {"w": weights, "b": bias, "scale": scale, "floor": floor})


def enhance_model() -> bytes:
    """input (1, 3, 512, 512) in -1..1 -> the same sharpened (unsharp mask, amount 1.5), clipped."""
    from onnx import helper

    blur = np.outer([1, 2, 1], [1, 2, 1]) / 16.0
    identity = np.zeros((3, 3))
    identity[1, 1] = 1.0
    kernel = identity + 1.5 * (identity - blur)
    w = np.repeat(kernel[None, None], 3, axis=0).astype(np.float32)
    nodes = [
        helper.make_node("Pad", ["input", "pads"], ["padded"], mode="reflect"),
        helper.make_node("Conv", ["padded", "w"], ["sharp"], group=3),
        helper.make_node("Clip", ["sharp", "low", "high"], ["output"]),
    ]
    return _model(nodes, "standin_enhance", [_tensor("input", [1, 3, ENHANCE_SIDE, ENHANCE_SIDE])],
                  [_tensor("output", [1, 3, ENHANCE_SIDE, ENHANCE_SIDE])],
                  {"w": w, "pads": np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64),
                   "low": np.float32(-1.0), "high": np.float32(1.0)})


def encode_model() -> bytes:
    """input (1, 3, 112, 112), (value - 0.5) / 0.5 -> (1, 512): an 8 x 8 thumbnail of the
    aligned face through a fixed random projection."""
    from onnx import helper

    w = np.random.default_rng(12).standard_normal((192, 512)).astype(np.float32)
    nodes = [
        helper.make_node("AveragePool", ["input"], ["thumb"], kernel_shape=[14, 14], strides=[14, 14]),
        helper.make_node("Flatten", ["thumb"], ["flat"]),
        helper.make_node("MatMul", ["flat", "w"], ["embedding"]),
    ]
    return _model(nodes, "standin_encode", [_tensor("input", [1, 3, ENCODE_SIDE, ENCODE_SIDE])],
                  [_tensor("embedding", [1, 512])], {"w": w})


BUILDERS = {"swap": swap_model, "parse": parse_model, "enhance": enhance_model, "encode": encode_model}


def standin_path(role: str) -> str:
    """The stand-in network for a role as a file in the cache folder, built when missing.

    Written to a temporary name and renamed, so that concurrent first runs and interrupted
    ones never leave a truncated model behind. Where the cache folder cannot be written,
    a temporary folder serves this run.
    """
    folder = cache_folder()
    path = os.path.join(folder, f"{role}.onnx")
    if os.path.exists(path):
        return path
    data = BUILDERS[role]()

    def write(tmp):
        with open(tmp, "wb") as f:
            f.write(data)

    try:
        os.makedirs(folder, exist_ok=True)
        write_atomically(path, write)
    except OSError:
        path = os.path.join(tempfile.mkdtemp(prefix="kestrel-standins-"), f"{role}.onnx")
        write_atomically(path, write)
    return path
