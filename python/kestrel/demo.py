"""A short tour of kestrel on a synthetic frame: ``python -m kestrel.demo``.

Runs on NumPy arrays (the CPU); with CuPy arrays the same calls run on the GPU. The swap
step uses a tiny stand-in model that tints the face by its identity latent; it is built
with the ``onnx`` package when that is installed and skipped otherwise.
"""

import os
import tempfile
import time

import numpy as np

import rasterkit as rk
from kestrel import vault
from kestrel.facefit import align_face_ffhq
from kestrel.paste import PasteBack

CROP = 256


def synthetic_frame(height=720, width=1280):
    """A grey gradient with a bright elliptical 'face' and its five landmarks."""
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    frame = np.stack([xx / width, yy / height, np.full_like(xx, 0.4)], axis=-1) * 0.5
    cx, cy = 640.0, 360.0
    face = ((xx - cx) / 110) ** 2 + ((yy - cy) / 140) ** 2 < 1
    frame[face] = (0.85, 0.7, 0.6)
    landmarks = np.array([[600, 330], [680, 330], [640, 370], [610, 410], [670, 410]], np.float32)
    return (frame * 255).astype(np.uint8), landmarks


def tint_model():
    """A swap model with the served interface: output = target + mean(latent row)."""
    try:
        from onnx import TensorProto, helper, numpy_helper
    except ImportError:
        return None
    target = helper.make_tensor_value_info("target", TensorProto.FLOAT, ["n", 3, CROP, CROP])
    source = helper.make_tensor_value_info("source", TensorProto.FLOAT, ["n", 512])
    output = helper.make_tensor_value_info("output", TensorProto.FLOAT, None)
    shape = numpy_helper.from_array(np.array([-1, 1, 1, 1], np.int64), "shape4")
    nodes = [
        helper.make_node("ReduceMean", ["source"], ["mean"], axes=[1], keepdims=1),
        helper.make_node("Reshape", ["mean", "shape4"], ["bias"]),
        helper.make_node("Add", ["target", "bias"], ["output"]),
    ]
    graph = helper.make_graph(nodes, "tint", [target, source], [output], [shape])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=9)
    return model.SerializeToString()


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"{label:<44} {1e3 * (time.perf_counter() - start):7.1f} ms")
    return result


def main() -> None:
    frame, landmarks = synthetic_frame()
    print(f"frame {frame.shape[1]}x{frame.shape[0]} uint8, five landmarks around ({landmarks[:, 0].mean():.0f}, "
          f"{landmarks[:, 1].mean():.0f})")

    aligned = timed("facefit: FFHQ-aligned crop", lambda: align_face_ffhq(frame, landmarks, output_size=CROP))
    print(f"  -> {aligned.shape} {aligned.dtype}, mean {aligned.mean():.3f}")

    # A plain similarity crop (frame -> crop pixels) for the swap and paste-back round trip.
    scale = CROP / 320.0
    M = np.array([[scale, 0, CROP / 2 - 640 * scale], [0, scale, CROP / 2 - 360 * scale]], np.float32)
    crop = rk.affine_transform(rk.to_float32(frame), M, (CROP, CROP))

    model = tint_model()
    if model is None:
        print("swap: skipped (install onnx to build the stand-in model)")
        swapped = crop
    else:
        from kestrel.swap import OnnxFaceSwap

        swapper = timed("swap: load a stand-in model on the CPU", lambda: OnnxFaceSwap(None, model, "cpu"))
        latent = np.full((1, 512), -0.3, np.float32)
        swapped = timed("swap: one crop through the model", lambda: swapper.get(crop, latent))
        print(f"  -> crop mean {crop.mean():.3f} became {swapped.mean():.3f}")

    paster = PasteBack()
    pasted = timed("paste: blend the crop back into the frame", lambda: paster.get(frame, swapped, M))
    changed = np.abs(pasted - frame.astype(np.float32) / 255).max(axis=-1) > 1e-3
    footprint = np.zeros_like(changed)
    footprint[360 - 160 : 360 + 160, 640 - 160 : 640 + 160] = True
    print(f"  -> {changed.mean() * 100:.1f} % of the frame changed, {np.count_nonzero(changed & ~footprint)} "
          "pixels outside the crop's footprint")

    matrix = np.random.default_rng(7).standard_normal((512, 512)).astype(np.float32)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "vault.bin")
        timed("vault: save a 512x512 float32 matrix", lambda: vault.save(matrix, path))
        with open(path, "rb") as f:
            head = f.read(6)
        loaded = timed("vault: load it back", lambda: vault.load_vault(path))
    same = bool((np.asarray(loaded.get() if hasattr(loaded, "get") else loaded) == matrix).all())
    print(f"  -> first bytes on disk {head.hex()} (a plain .npy starts 934e554d5059), identical: {same}")


if __name__ == "__main__":
    main()
