"""What OnnxFaceSwap.batch_get adds around the model, on the CPU.

16 crops of 256 x 256 go through `OnnxFaceSwap.batch_get`, and through the same ONNX
Runtime session fed by plain NumPy pre- and post-processing written here. Both sides
run the one session, so model work and thread count are identical; the ratio is the
cost of the wrapper (batch conversion, latent handling, output images). Target: <= 1.1.
"""

import numpy as np
from _report import alternating_ms, ratio
from onnx import TensorProto, helper, numpy_helper

from kestrel.swap import OnnxFaceSwap
from rasterkit import _cpu

CROPS = 16
SIDE = 256
ROUNDS = 30


def swap_model() -> bytes:
    """A small stand-in swap network: a 3 x 3 convolution plus a bias from the latent."""
    rng = np.random.default_rng(0)
    target = helper.make_tensor_value_info("target", TensorProto.FLOAT, ["n", 3, SIDE, SIDE])
    source = helper.make_tensor_value_info("source", TensorProto.FLOAT, ["rows", 512])
    output = helper.make_tensor_value_info("output", TensorProto.FLOAT, None)
    weights = [
        numpy_helper.from_array(rng.normal(0, 0.2, (3, 3, 3, 3)).astype(np.float32), "conv_w"),
        numpy_helper.from_array(rng.normal(0, 0.05, (512, 3)).astype(np.float32), "proj_w"),
        numpy_helper.from_array(np.array([-1, 3, 1, 1], np.int64), "bias_shape"),
    ]
    nodes = [
        helper.make_node("Conv", ["target", "conv_w"], ["conv"], pads=[1, 1, 1, 1]),
        helper.make_node("MatMul", ["source", "proj_w"], ["proj"]),
        helper.make_node("Reshape", ["proj", "bias_shape"], ["bias"]),
        helper.make_node("Add", ["conv", "bias"], ["output"]),
    ]
    graph = helper.make_graph(nodes, "swap", [target, source], [output], weights)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=9).SerializeToString()


def reference(session, images, latent):
    """Plain NumPy around the session: HWC RGB crops -> NCHW BGR batch -> HWC RGB crops."""
    batch = np.ascontiguousarray(np.stack(images)[..., ::-1].transpose(0, 3, 1, 2))
    rows = np.repeat(latent.reshape(1, 512), len(images), axis=0)
    pred = session.run(["output"], {"target": batch, "source": rows})[0]
    return [np.ascontiguousarray(image) for image in pred[:, ::-1].transpose(0, 2, 3, 1)]



def main():
    rng = np.random.default_rng(1)
    images = [rng.random((SIDE, SIDE, 3), dtype=np.float32) for _ in range(CROPS)]
    latent = rng.normal(0, 1, 512).astype(np.float32)
    model = OnnxFaceSwap(model_bytes=swap_model(), device="cpu")

    ours = model.batch_get(images, latent)
    theirs = reference(model.session, images, latent)
    assert all(np.allclose(a, b, atol=1e-5) for a, b in zip(ours, theirs)), "results differ"

    print(f"swap batch_get, {CROPS} crops {SIDE}x{SIDE}, ONNX Runtime CPU, one session for both sides")
    for threads in (1, 2):
        # Our own threads; ONNX Runtime's are the one session's, the same for both sides.
        _cpu.set_num_threads(threads)
        ours_ms, plain_ms = alternating_ms([lambda: model.batch_get(images, latent),
                                            lambda: reference(model.session, images, latent)], ROUNDS)
        print(f"  {threads} thread(s): OnnxFaceSwap.batch_get {ours_ms:8.2f} ms, plain NumPy + session "
              f"{plain_ms:8.2f} ms, ratio {ours_ms / plain_ms:6.3f}  (target <= 1.1)")
        ratio("swap_overhead", f"batch_get of {CROPS} crops, wrapper cost", threads, ours_ms / plain_ms, 1.1)

if __name__ == "__main__":
    main()
