// kestrel.enhance: face restoration.
//
// BaseFaceEnhance owns what the caller sees: face images into 512 x 512 batches
// normalised to -1..1, one model call per image, restored batches back into images. The
// backends add only loading and `forward`: OnnxFaceEnhance on ONNX Runtime,
// TrtFaceEnhance on a fixed-shape TensorRT engine cached beside the ONNX file.
//
// The classes are ordinary Python classes; methods call each other through `self`, so a
// subclass's `forward` or `initialize` is the one that runs. Module globals (cp, np, rk,
// onnxruntime, trt, os, open) are looked up at call time.
#include "runtime/model_runtime.hpp"

using namespace pyglue;

namespace {

constexpr long long kInputSize = 512;

// The engine runs with the one input shape it was built for; a failed enqueue is the
// published AssertionError.
const runtime::Traits kTrtTraits{"TrtFaceEnhance", runtime::Traits::Source::path_first,
                                 runtime::Traits::Shapes::fixed, "TensorRT execution failed", false, false};

// ---------------------------------------------------------------- BaseFaceEnhance

// BaseModelLoader.__init__, then the pre-processing constants.
void init_face_enhance(PyObject* module, const runtime::ModelArgs& a) {
    runtime::init_loader(module, a);
    a.self.set_attr("input_size", kInputSize);
    a.self.set_attr("input_mean", 0.5);
    a.self.set_attr("input_std", 0.5);
}

Ref base_init(PyObject* module, const Args& args) {
    init_face_enhance(module, runtime::model_args(args));
    return none();
}

const Signature<2> kForward{"forward", {"self", "batch"}, 2};

Ref base_forward(PyObject*, const Args& args) {
    kForward.parse(args);
    raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

// rk.batch_to_images(preds, std=self.input_std, mean=self.input_mean, swap_rb=True,
// layout="NCHW"): the inverse of the normalisation on the way in.
Ref to_images(PyObject* module, const Ref& self, const Ref& preds) {
    return global(module, "rk").method("batch_to_images", preds, kw("std", self.attr("input_std")),
                                       kw("mean", self.attr("input_mean")), kw("swap_rb", true), kw("layout", "NCHW"));
}

// rk.image_to_batch (one image) or rk.images_to_batch (a list) with the object's
// constants: resized to input_size, normalised to -1..1, channels 0 and 2 exchanged.
Ref to_batch(PyObject* module, const Ref& self, const char* convert, PyObject* images) {
    return global(module, "rk").method(convert, images, kw("size", self.attr("input_size")),
                                       kw("std", self.attr("input_std")), kw("mean", self.attr("input_mean")),
                                       kw("swap_rb", true), kw("layout", "HWC"));
}

Ref base_get(PyObject* module, const Args& args) {
    static const Signature<2> sig{"get", {"self", "image"}, 2};
    auto [self_, image] = sig.parse(args);
    Ref self = Ref::borrow(self_);
    Ref preds = self.method("forward", to_batch(module, self, "image_to_batch", image));
    return to_images(module, self, preds)[0];
}

Ref base_batch_get(PyObject* module, const Args& args) {
    static const Signature<2> sig{"batch_get", {"self", "images"}, 2};
    auto [self_, images] = sig.parse(args);
    check_exact(images, &PyList_Type, "images");
    if (PyList_GET_SIZE(images) == 0) raise(PyExc_ValueError, "batch_get needs at least one image, got an empty list");
    Ref self = Ref::borrow(self_);
    Ref batch = to_batch(module, self, "images_to_batch", images);
    // The model runs on one image at a time; the results are joined once.
    Ref preds = list();
    const Py_ssize_t count = leading_dims(batch, "the image batch", 1)[0];
    for (Py_ssize_t i = 0; i < count; ++i) append(preds, self.method("forward", batch.slice(i, i + 1)));
    if (preds.len() == 0) raise(PyExc_ValueError, "the image library returned an empty batch for %zd images", count);
    Ref restored = to_images(module, self, array_module(module, preds[0]).method("concatenate", preds, 0));
    if (!PyList_Check(restored.get()) && !restored.is_none())
        raise(PyExc_TypeError, "Expected %s, got %.200s", "list", restored.type_name());
    return restored;
}

PyMethodDef base_methods[] = {
    def<base_init>("__init__",
                   "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
                   "Record the model source and device and set the pre-processing constants:\n"
                   "input_size 512, input_mean 0.5, input_std 0.5 (values -1..1 for the model)."),
    def<base_forward>("forward",
                      "forward(self, batch)\n--\n\n"
                      "Run the model on an NCHW batch; backends implement it and return the restored\n"
                      "batch as a new array."),
    def<base_get>("get",
                  "get(self, image)\n--\n\n"
                  "Restore one HWC face image; returns it at the model's output size (512 x 512),\n"
                  "in the input's channel order."),
    def<base_batch_get>("batch_get",
                        "batch_get(self, images)\n--\n\n"
                        "Restore a list of HWC face images, one model call per image; returns a list of\n"
                        "images in input order. An empty list raises ValueError."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- OnnxFaceEnhance

Ref onnx_init(PyObject* module, const Args& args) {
    runtime::ModelArgs a = runtime::model_args(args);
    init_face_enhance(module, a);
    runtime::onnx_load(module, a.self, "OnnxFaceEnhance");
    return none();
}

Ref onnx_initialize(PyObject* module, const Args& args) {
    Ref self = runtime::onnx_initialize(module, args, "OnnxFaceEnhance");
    Ref session = self.attr("session");
    Ref input = session.method("get_inputs")[0];
    self.set_attr("input_name", input.attr("name"));
    self.set_attr("input_shape", input.attr("shape"));
    self.set_attr("dtype", input.attr("type"));
    // The image library resizes every image to this side, so it must be a number.
    Ref shape = self.attr("input_shape");
    Ref height = shape.len() > 2 ? shape[2] : none();
    if (!PyLong_CheckExact(height.get()))
        raise(PyExc_ValueError, "OnnxFaceEnhance needs a model whose input height is a fixed integer, got input shape %R",
              shape.get());
    self.set_attr("input_size", height);
    return none();
}

Ref onnx_forward(PyObject* module, const Args& args) {
    auto [self_, batch_] = kForward.parse(args);
    Ref batch = Ref::borrow(batch_);
    return runtime::like_input(module, batch, runtime::onnx_run(module, Ref::borrow(self_), batch)[0]);
}

PyMethodDef onnx_methods[] = {
    def<onnx_init>("__init__",
                   "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
                   "Load the restoration model (bytes, else the file at model_path) into an ONNX\n"
                   "Runtime session."),
    def<onnx_initialize>("initialize",
                         "initialize(self, model_bytes, device, device_id='0')\n--\n\n"
                         "Create the session from the model bytes: the CUDA execution provider on GPU\n"
                         "device_id when device contains \"cuda\", the CPU provider otherwise. Sets session,\n"
                         "input_name, input_shape, dtype and input_size (the input's fixed height)."),
    def<onnx_forward>("forward",
                      "forward(self, batch)\n--\n\n"
                      "Run the session on the NCHW batch; returns the model's first output, a CuPy\n"
                      "array for a CuPy batch and a NumPy array for a NumPy batch."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- TrtFaceEnhance

Ref trt_init(PyObject* module, const Args& args) {
    runtime::ModelArgs a = runtime::model_args(args);
    // The GPU ordinal is an int here: the text after the last colon, 0 without one.
    Ref ordinal = integer(0);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a.device.get());
    const Py_ssize_t colon = PyUnicode_FindChar(a.device.get(), ':', 0, n, -1);
    if (colon == -2) throw python_error();
    if (colon >= 0) ordinal = Ref::own(PyNumber_Long(Ref::own(PyUnicode_Substring(a.device.get(), colon + 1, n)).get()));
    init_face_enhance(module, a);
    Ref self = a.self;
    self.set_attr("device_id", ordinal);
    Ref kwargs = dict();
    kwargs.set_item("input_shape", tuple(1, 3, kInputSize, kInputSize));
    kwargs.set_item("precision", "tf32");
    runtime::trt_load(module, self, kTrtTraits, {runtime::Build::Kind::fixed, kwargs});
    return none();
}

Ref trt_initialize(PyObject* module, const Args& args) {
    return runtime::trt_initialize(module, args, kTrtTraits, [](const runtime::Opened& o) {
        for (const runtime::Tensor& t : runtime::tensors(o.trt, o.e.engine)) {
            if (t.is_input) {
                // Allocated at the first forward; with several inputs the last one is fed.
                o.d_inputs.set_item(t.name, none());
                o.self.set_attr("input_name", t.name);
            } else {
                o.d_outputs.set_item(t.name, runtime::bound_buffer(o.cp, o.e.ctx, t.name, runtime::at_least_one(t.shape),
                                                                 runtime::element_type(o.trt, t)));
            }
        }
        o.self.set_attr("input_size", kInputSize);
    });
}

Ref trt_forward(PyObject* module, const Args& args) {
    auto [self_, batch] = kForward.parse(args);
    Ref self = Ref::borrow(self_);
    return runtime::forward(module, self, kTrtTraits, {{self.attr("input_name"), Ref::borrow(batch)}}, 0);
}

PyMethodDef trt_methods[] = {
    def<trt_init>("__init__",
                  "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
                  "Load a TensorRT engine: the file at model_path (for a \".onnx\" path the \".trt\" file\n"
                  "beside it, built from the ONNX file on first use for input (1, 3, 512, 512) with\n"
                  "TF32 precision and rebuilt when the ONNX file, TensorRT or the GPU changed since),\n"
                  "else model_bytes as a serialised engine. device_id is the GPU ordinal as an int."),
    def<trt_initialize>("initialize",
                        "initialize(self, model_bytes)\n--\n\n"
                        "Deserialise the engine on the object's GPU and create its execution context, CUDA\n"
                        "stream and output buffers."),
    def<trt_forward>("forward",
                     "forward(self, batch)\n--\n\n"
                     "Run the engine on the object's GPU and stream; the batch must have the engine's\n"
                     "input shape and type (ValueError otherwise). Returns a copy of the first output."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- module

void exec_module(PyObject* module) {
    Ref loader = runtime::bind_model_globals(module, true);
    Ref base = add_class(module, "BaseFaceEnhance", loader.get(),
                         "\n    Base class for face enhancement models.\n\n"
                         "    Enhancement models improve face image quality by reducing artifacts,\n"
                         "    enhancing details and restoring facial features with generative\n"
                         "    models such as GFPGAN.\n    ",
                         base_methods);
    add_class(module, "OnnxFaceEnhance", base.get(), "GFPGAN Face enhancer using ONNX Runtime for face quality improvement.",
              onnx_methods);
    add_class(module, "TrtFaceEnhance", base.get(),
              "Face enhancer using TensorRT for high-performance face quality improvement.", trt_methods);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.enhance",
                          "Face enhancement: a restoration network over face crops, on ONNX Runtime or TensorRT.",
                          0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_enhance() { return PyModuleDef_Init(&module_def); }
