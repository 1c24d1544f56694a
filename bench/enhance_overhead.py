"""What OnnxFaceEnhance.batch_get adds around the model, on the CPU.

8 face crops of 512 x 512 go through `OnnxFaceEnhance.batch_get`, and through the same
ONNX Runtime session fed by plain NumPy pre- and post-processing written here (one model
call per image on both sides, as batch_get makes them). Both sides run the one session,
so model work and thread count are identical; the ratio is the cost of the wrapper
(batch conversion and normalisation, the joined outputs, the images). Target: <= 1.1.
"""

import numpy as np
from _report import alternating_ms, ratio
from onnx import TensorProto, helper, numpy_helper

from kestrel.enhance import OnnxFaceEnhance
from rasterkit import _cpu

FACES = 8
SIDE = 512
ROUNDS = 20


def restoration_model() -> bytes:
    """A small stand-in restoration network: a 3 x 3 convolution and a tanh, fixed 1 x 3 x 512 x 512."""
    rng = np.random.default_rng(0)
    x = helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, SIDE, SIDE])
    y = helper.make_tensor_value_info("output", TensorProto.FLOAT, None)
    w = numpy_helper.from_array(rng.normal(0, 0.2, (3, 3, 3, 3)).astype(np.float32), "w")
    nodes = [helper.make_node("Conv", ["input", "w"], ["conv"], pads=[1, 1, 1, 1]),
             helper.make_node("Tanh", ["conv"], ["output"])]
    graph = helper.make_graph(nodes, "restore", [x], [y], [w])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=9).SerializeToString()


def reference(session, images):
    """Plain NumPy around the session: RGB 0..1 -> BGR -1..1 NCHW, one run per image, back."""
    out = []
    for image in images:
        batch = np.ascontiguousarray(((image[..., ::-1] - 0.5) / 0.5).transpose(2, 0, 1)[None])
        pred = session.run(None, {"input": batch})[0]
        out.append(np.ascontiguousarray((pred[0] * 0.5 + 0.5)[::-1].transpose(1, 2, 0)))
    return out



def main():
    rng = np.random.default_rng(1)
    images = [rng.random((SIDE, SIDE, 3), dtype=np.float32) for _ in range(FACES)]
    model = OnnxFaceEnhance(model_bytes=restoration_model(), device="cpu")

    ours = model.batch_get(images)
    theirs = reference(model.session, images)
    assert all(np.allclose(a, b, atol=1e-5) for a, b in zip(ours, theirs)), "results differ"

    print(f"enhance batch_get, {FACES} faces {SIDE}x{SIDE}, ONNX Runtime CPU, one session for both sides")
    for threads in (1, 2):
        # Our own threads; ONNX Runtime's are the one session's, the same for both sides.
        _cpu.set_num_threads(threads)
        ours_ms, plain_ms = alternating_ms([lambda: model.batch_get(images),
                                            lambda: reference(model.session, images)], ROUNDS)
        print(f"  {threads} thread(s): OnnxFaceEnhance.batch_get {ours_ms:8.2f} ms, plain NumPy + session "
              f"{plain_ms:8.2f} ms, ratio {ours_ms / plain_ms:6.3f}  (target <= 1.1)")
        ratio("enhance_overhead", f"batch_get of {FACES} faces, wrapper cost", threads, ours_ms / plain_ms, 1.1)

if __name__ == "__main__":
    main()
