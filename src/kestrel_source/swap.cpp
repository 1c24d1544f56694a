// kestrel.swap: the face-swap model.
//
// BaseFaceSwap owns what the caller sees: target crops into an NCHW batch, the identity
// latent weighted and shaped into rows of 512, batches split into sub-batches, model
// output back into images. The backends add only loading and `forward`: OnnxFaceSwap on
// ONNX Runtime, TrtFaceSwap on a TensorRT engine cached beside the ONNX file.
//
// The classes are ordinary Python classes; methods call each other through `self`, so a
// subclass's `forward` or `initialize` is the one that runs. Module globals (cp, np, rk,
// onnxruntime, trt, os, open) are looked up at call time.
#include "runtime/model_runtime.hpp"

#include <algorithm>

using namespace pyglue;

namespace {

constexpr Py_ssize_t kLatentWidth = 512;
constexpr Py_ssize_t kPatch = 256;

const runtime::Traits kTrtTraits{"TrtFaceSwap", runtime::Traits::Source::bytes_first,
                                 runtime::Traits::Shapes::dynamic, nullptr, true, false};

// ---------------------------------------------------------------- BaseFaceSwap

// BaseModelLoader.__init__ with the caller's arguments (checked first), then the
// pre-processing constants. Returns self.
Ref init_face_swap(PyObject* module, const Args& args) {
    runtime::ModelArgs a = runtime::model_args(args);
    runtime::init_loader(module, a);
    a.self.set_attr("input_mean", 0.0);
    a.self.set_attr("input_std", 1.0);
    a.self.set_attr("patch", kPatch);
    a.self.set_attr("input_size", tuple(kPatch, kPatch));
    return a.self;
}

Ref base_init(PyObject* module, const Args& args) {
    init_face_swap(module, args);
    return none();
}

const Signature<3> kForward{"forward", {"self", "batch", "latent"}, 3};

Ref base_forward(PyObject*, const Args& args) {
    kForward.parse(args);
    raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

// rk.images_to_batch(images, std=self.input_std, size=size, mean=self.input_mean,
// swap_rb=True, layout="HWC")
Ref to_batch(PyObject* module, const Ref& self, PyObject* images, const Ref& size) {
    return global(module, "rk").method("images_to_batch", images, kw("std", self.attr("input_std")), kw("size", size),
                                       kw("mean", self.attr("input_mean")), kw("swap_rb", true), kw("layout", "HWC"));
}

// rk.batch_to_images(preds, swap_rb=True, layout="NCHW")
Ref to_images(PyObject* module, const Ref& preds) {
    return global(module, "rk").method("batch_to_images", preds, kw("swap_rb", true), kw("layout", "NCHW"));
}

// Weights one caller latent in place, x += x * (weight - 1) (callers rely on seeing the
// weighted values afterwards), and returns it as float32 rows of 512 in the array module
// `xp` of the batch. The update runs at every weight, 1.0 included, so a latent the
// update cannot take (a list, a read-only or integer array) fails the same way whatever
// the weight.
Ref weighted_rows(PyObject* module, const Ref& xp, const Ref& latent, double weight) {
    Ref x = latent;
    x += latent * (weight - 1.0);
    // A GPU latent for a host batch comes to the host; the other way, asarray copies.
    x = to_module(module, xp, x);
    return xp.method("asarray", x, xp.attr("float32")).method("reshape", -1, kLatentWidth);
}

Ref base_get(PyObject* module, const Args& args) {
    static const Signature<4> sig{"get", {"self", "target_image", "latent", "weight"}, 3};
    auto [self_, target_image, latent, weight_] = sig.parse(args);
    const double weight = to_double(weight_, 1.0);
    Ref self = Ref::borrow(self_);
    Ref batch = to_batch(module, self, target_image, self.attr("input_size"));
    Ref rows = weighted_rows(module, array_module(module, batch), Ref::borrow(latent), weight);
    Ref preds = self.method("forward", batch, rows);
    return to_images(module, preds)[0];
}

// All latent rows the caller supplied, in order: one array, or a list of arrays stacked
// along axis 0 (each element weighted in place).
Ref gather_rows(PyObject* module, const Ref& xp, const Ref& latent, double weight) {
    if (!PyList_Check(latent.get())) return weighted_rows(module, xp, latent, weight);
    Ref parts = list(xp.method("empty", tuple(0, kLatentWidth), xp.attr("float32")));
    for (const Ref& item : iterate(latent)) append(parts, weighted_rows(module, xp, item, weight));
    return xp.method("concatenate", parts, 0);
}

// The latent of the sub-batch [start, end): one row per image when the caller gave one
// per image; otherwise row start / max_batch for the whole sub-batch (an index past the
// last row raises the array library's IndexError).
Ref sub_batch_rows(const Ref& rows, Py_ssize_t row_count, Py_ssize_t batch_size, Py_ssize_t start, Py_ssize_t end,
                   Py_ssize_t max_batch) {
    if (row_count == 1) return rows.method("repeat", end - start, 0);
    if (row_count == batch_size) return rows.slice(start, end);
    return rows[start / max_batch].method("reshape", 1, kLatentWidth);
}

Ref base_batch_get(PyObject* module, const Args& args) {
    static const Signature<5> sig{"batch_get", {"self", "target_images", "latent", "weight", "max_batch"}, 3};
    auto [self_, target_images, latent, weight_, max_batch_] = sig.parse(args);
    check_exact(target_images, &PyList_Type, "target_images");
    if (max_batch_) check_exact(max_batch_, &PyLong_Type, "max_batch");
    const double weight = to_double(weight_, 1.0);
    // A max_batch beyond the machine's range means no split at all.
    Py_ssize_t max_batch = 16;
    if (max_batch_ && (max_batch = PyNumber_AsSsize_t(max_batch_, nullptr)) == -1 && PyErr_Occurred())
        throw python_error();
    if (max_batch < 1) raise(PyExc_ValueError, "max_batch must be at least 1 (got %zd)", max_batch);
    Ref self = Ref::borrow(self_);

    // The resize target is the crop side, not input_size as in get.
    Ref patch = self.attr("patch");
    Ref batch = to_batch(module, self, target_images, tuple(patch, patch));
    Ref rows = gather_rows(module, array_module(module, batch), Ref::borrow(latent), weight);
    const Py_ssize_t batch_size = leading_dims(batch, "the image batch", 1)[0];
    const Py_ssize_t row_count = leading_dims(rows, "the latent rows", 1)[0];

    Ref preds;
    if (batch_size > max_batch) {
        Ref parts = list();
        for (Py_ssize_t start = 0; start < batch_size; start += max_batch) {
            const Py_ssize_t end = std::min(start + max_batch, batch_size);
            Ref part_rows = sub_batch_rows(rows, row_count, batch_size, start, end, max_batch);
            append(parts, self.method("forward", batch.slice(start, end), part_rows));
        }
        preds = array_module(module, parts[0]).method("concatenate", parts, 0);
    } else {
        preds = self.method("forward", batch, row_count == 1 ? rows.method("repeat", batch_size, 0) : rows);
    }
    Ref images = to_images(module, preds);
    if (!PyList_Check(images.get())) raise(PyExc_TypeError, "Expected %s, got %.200s", "list", images.type_name());
    return images;
}

PyMethodDef base_methods[] = {
    def<base_init>("__init__",
                   "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
                   "Record the model source and device and set the pre-processing constants:\n"
                   "input_mean 0.0, input_std 1.0, patch 256, input_size (256, 256)."),
    def<base_forward>("forward",
                      "forward(self, batch, latent)\n--\n\n"
                      "Run the model on an NCHW batch and float32 latent rows (rows, 512).\n\n"
                      "Backends implement it; returns the swapped NCHW batch, one entry per batch entry."),
    def<base_get>("get",
                  "get(self, target_image, latent, weight=1.0)\n--\n\n"
                  "Swap the identity `latent` onto one HWC target image.\n\n"
                  "The image is resized to input_size; the latent (any shape of 512 values per\n"
                  "identity) is weighted in place, x += x * (weight - 1), so the caller's array\n"
                  "holds the weighted values afterwards. Returns the swapped HWC image at model size."),
    def<base_batch_get>("batch_get",
                        "batch_get(self, target_images, latent, weight=1.0, max_batch=16)\n--\n\n"
                        "Swap identities onto a list of HWC target images; returns a list of images.\n\n"
                        "latent is one array or a list of arrays (each weighted in place, as in get),\n"
                        "stacked into rows of 512. One row serves every image; otherwise one row per\n"
                        "image is expected. Lists longer than max_batch run in sub-batches of at most\n"
                        "max_batch images: each gets its own images' rows when there is one row per\n"
                        "image, else row start // max_batch."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- OnnxFaceSwap

Ref onnx_init(PyObject* module, const Args& args) {
    runtime::onnx_load(module, init_face_swap(module, args), "OnnxFaceSwap");
    return none();
}

// (width, height) of the NCHW target input; a dynamic side (reported as a name or None)
// falls back to `patch`, the crop side the model is trained for.
Ref model_input_size(const Ref& self, const Ref& first_input) {
    Ref shape = Ref::own(PySequence_Tuple(first_input.attr("shape").get()));
    Ref patch = self.attr("patch");
    Ref size = list();
    for (Py_ssize_t i = std::min<Py_ssize_t>(shape.len(), 4) - 1; i >= 2; --i) {
        Ref d = shape[i];
        append(size, PyLong_Check(d.get()) ? d : patch);
    }
    return Ref::own(PyList_AsTuple(size.get()));
}

Ref onnx_initialize(PyObject* module, const Args& args) {
    Ref self = runtime::onnx_initialize(module, args, "OnnxFaceSwap");
    Ref session = self.attr("session");
    self.set_attr("input_mean", 0.0);
    self.set_attr("input_std", 1.0);
    Ref inputs = session.method("get_inputs");
    self.set_attr("input_names", runtime::io_names(inputs));
    Ref output_names = runtime::io_names(session.method("get_outputs"));
    self.set_attr("output_names", output_names);
    check_assert(output_names.len() == 1);
    self.set_attr("input_size", model_input_size(self, inputs[0]));
    return none();
}

Ref onnx_forward(PyObject* module, const Args& args) {
    auto [self_, batch, latent] = kForward.parse(args);
    Ref self = Ref::borrow(self_);
    Ref rk = global(module, "rk");
    Ref host_batch = rk.method("to_numpy", batch);
    Ref host_latent = rk.method("to_numpy", latent);
    Ref mean = self.attr("input_mean"), std = self.attr("input_std");
    if (!runtime::is_float(mean, 0.0) || !runtime::is_float(std, 1.0)) host_batch = (host_batch - mean) / std;
    Ref names = self.attr("input_names");
    Ref feed = dict();
    feed.set_item(names[0], host_batch);
    feed.set_item(names[1], host_latent);
    Ref pred = self.attr("session").method("run", self.attr("output_names"), feed)[0];
    // The result follows the input: CuPy in, CuPy out; NumPy in, NumPy out.
    return is_cupy(module, Ref::borrow(batch)) ? global(module, "cp").method("asarray", pred) : pred;
}

PyMethodDef onnx_methods[] = {
    def<onnx_init>("__init__",
                   "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
                   "Load the swap model (bytes, else the file at model_path) into an ONNX Runtime session."),
    def<onnx_initialize>("initialize",
                         "initialize(self, model_bytes, device, device_id='0')\n--\n\n"
                         "Create the session from the model bytes: the CUDA execution provider on GPU\n"
                         "device_id when device contains \"cuda\", the CPU provider otherwise. Sets session,\n"
                         "input_names, output_names and input_size (width, height of the first input)."),
    def<onnx_forward>("forward",
                      "forward(self, batch, latent)\n--\n\n"
                      "Run the session on the NCHW batch (normalised by input_mean and input_std) and the\n"
                      "latent rows; returns the model's output, a CuPy array for a CuPy batch and a NumPy\n"
                      "array for a NumPy batch."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- TrtFaceSwap

Ref trt_init(PyObject* module, const Args& args) {
    Ref self = init_face_swap(module, args);
    Ref patch = self.attr("patch");
    Ref kwargs = dict();
    kwargs.set_item("precision", "bf16");
    kwargs.set_item("batch_range", tuple(1, 1, 32));
    kwargs.set_item("spatial_range", tuple(patch, patch, patch));
    runtime::trt_load(module, self, kTrtTraits, {runtime::Build::Kind::dynamic, kwargs});
    return none();
}

// Every engine tensor must be float32: the buffers are float32 arrays, and TensorRT has
// no array element type for bfloat16 or the FP8/FP4 types at all.
void check_float32(const Ref& trt, const runtime::Tensor& t) {
    if (!t.dtype.equals(trt.attr("DataType").attr("FLOAT")))
        raise(PyExc_RuntimeError,
              "TensorRT engine tensor %R has type %S, but the engine inputs and outputs must be float32: "
              "rebuild the engine from a model with float32 inputs and outputs",
              t.name.get(), t.dtype.get());
}

Ref trt_initialize(PyObject* module, const Args& args) {
    return runtime::trt_initialize(module, args, kTrtTraits, [](const runtime::Opened& o) {
        o.self.set_attr("target_name", none());
        o.self.set_attr("source_name", none());
        Ref output_names = list();
        for (const runtime::Tensor& t : runtime::tensors(o.trt, o.e.engine)) {
            check_float32(o.trt, t);
            if (t.is_input) {
                // The target batch is the 4-D input, whatever its name or position.
                o.self.set_attr(t.shape.size() == 4 ? "target_name" : "source_name", t.name);
                o.d_inputs.set_item(t.name, none());
            } else {
                // A dynamic output dimension gets 1 until forward knows the real shape.
                o.d_outputs.set_item(t.name, runtime::bound_buffer(o.cp, o.e.ctx, t.name, runtime::at_least_one(t.shape),
                                                                 o.cp.attr("float32")));
                append(output_names, t.name);
            }
        }
        if (!o.self.attr("target_name").truthy() || !o.self.attr("source_name").truthy())
            raise(PyExc_RuntimeError, "Failed to detect target/source bindings");
        o.self.set_attr("input_mean", 0.0);
        o.self.set_attr("input_std", 1.0);
        o.self.set_attr("output_names", output_names);
    });
}

Ref trt_forward(PyObject* module, const Args& args) {
    auto [self_, batch, latent_] = kForward.parse(args);
    Ref self = Ref::borrow(self_), latent = Ref::borrow(latent_);
    // Filling the latent buffer would broadcast a (512,) array into (512, 512) unseen.
    Ref latent_shape = Ref::own(PySequence_Tuple(latent.attr("shape").get()));
    if (latent_shape.len() != 2 || !latent_shape[1].equals(kLatentWidth))
        raise(PyExc_ValueError, "latent must have shape (rows, 512), got %R", latent_shape.get());
    Ref target = self.attr("target_name"), source = self.attr("source_name");
    check_assert(!target.is_none() && !source.is_none());
    return runtime::forward(module, self, kTrtTraits,
                            {{target, Ref::borrow(batch), self.attr("input_mean"), self.attr("input_std")},
                             {source, latent}},
                            0);
}

PyMethodDef trt_methods[] = {
    def<trt_init>("__init__",
                  "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
                  "Load a TensorRT engine: model_bytes as a serialised engine, else the \".trt\" file\n"
                  "beside the ONNX file at model_path, built from the ONNX file on first use and\n"
                  "rebuilt when the ONNX file, TensorRT or the GPU changed since."),
    def<trt_initialize>("initialize",
                        "initialize(self, model_bytes, device, device_id)\n--\n\n"
                        "Deserialise the engine on the object's GPU and create its execution context, CUDA\n"
                        "stream and output buffers; the 4-D input is the target batch, the other the latent.\n"
                        "Every engine input and output must be float32 (RuntimeError otherwise)."),
    def<trt_forward>("forward",
                     "forward(self, batch, latent)\n--\n\n"
                     "Run the engine on the NCHW batch (normalised by input_mean and input_std) and the\n"
                     "latent rows on the object's GPU and stream, whatever device is current; returns a\n"
                     "new array with the swapped batch."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- module

void exec_module(PyObject* module) {
    // TensorRT is imported when a TrtFaceSwap first needs it.
    Ref loader = runtime::bind_model_globals(module, false);
    Ref base = add_class(module, "BaseFaceSwap", loader.get(),
                         "\n    Base class for face swapping models.\n\n"
                         "    Performs face identity transfer by swapping facial features\n"
                         "    from a source identity onto a target face image.\n    ",
                         base_methods);
    add_class(module, "OnnxFaceSwap", base.get(), nullptr, onnx_methods);
    add_class(module, "TrtFaceSwap", base.get(), "Face swapper using TensorRT for high-performance face identity transfer.",
              trt_methods);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.swap",
                          "Face swap: an identity latent onto aligned target face crops, on ONNX Runtime or TensorRT.",
                          0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_swap() { return PyModuleDef_Init(&module_def); }
