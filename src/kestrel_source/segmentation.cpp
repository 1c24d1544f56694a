// kestrel.segmentation: face parsing into region masks.
//
// BaseFaceSegmentation owns what the caller sees: face images into ImageNet-normalised
// 512 x 512 batches, chunks of at most MAX_BATCH_SIZE images, and the fold of the
// network's 19 class scores into three category masks through a class table. The
// backends add only loading and `forward`: OnnxFaceSegmentation on ONNX Runtime,
// TrtFaceSegmentation on a TensorRT engine (batches of 1 to 16) cached beside the ONNX
// file.
//
// The classes are ordinary Python classes; methods call each other through `self`, so a
// subclass's `forward`, `composite_masks` or `initialize` is the one that runs. Module
// globals (cp, np, rk, onnxruntime, trt, os, open) are looked up at call time.
#include "runtime/model_runtime.hpp"

#include <algorithm>

using namespace pyglue;

namespace {

constexpr long long kInputSide = 512;

const runtime::Traits kTrtTraits{"TrtFaceSegmentation", runtime::Traits::Source::bytes_first,
                                 runtime::Traits::Shapes::dynamic, nullptr, true, true};

// ---------------------------------------------------------------- BaseFaceSegmentation

// BaseModelLoader.__init__, the pre-processing constants and the default class table.
Ref init_face_segmentation(PyObject* module, const Args& args) {
    runtime::ModelArgs a = runtime::model_args(args);
    runtime::init_loader(module, a);
    a.self.set_attr("input_size", tuple(kInputSide, kInputSide));
    a.self.set_attr("input_mean", tuple(0.485, 0.456, 0.406));
    a.self.set_attr("input_std", tuple(0.229, 0.224, 0.225));
    // Categories 0, 1 and 2 and the model classes folded into each; class 0 is in none.
    Ref table = list(list(1, 3, 14, 15, 16, 17, 18), list(2, 4, 5), list(6, 7, 8, 9, 10, 11, 12, 13));
    a.self.method("init_indexes", table);
    return a.self;
}

Ref base_init(PyObject* module, const Args& args) {
    init_face_segmentation(module, args);
    return none();
}

const Signature<2> kForward{"forward", {"self", "batch"}, 2};

Ref base_forward(PyObject*, const Args& args) {
    kForward.parse(args);
    raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

Ref init_indexes(PyObject* module, const Args& args) {
    static const Signature<2> sig{"init_indexes", {"self", "indexes"}, 2};
    auto [self_, indexes] = sig.parse(args);
    check_exact(indexes, &PyList_Type, "indexes");
    Ref self = Ref::borrow(self_);
    Ref all_indices = list(), category_ids = list();
    long long category = 0;
    for (const Ref& classes : iterate(Ref::borrow(indexes))) {
        for (const Ref& index : iterate(classes)) {
            append(all_indices, index);
            append(category_ids, category);
        }
        ++category;
    }
    // Made from nothing, so on the GPU when one is usable.
    Ref xp = global(module, gpu_usable(module) ? "cp" : "np");
    self.set_attr("num_categories", category);
    self.set_attr("all_indices", xp.method("array", all_indices));
    self.set_attr("category_ids", xp.method("array", category_ids));
    return none();
}

// images -> batch -> forward -> masks -> list of mask images, for one chunk.
Ref segment(PyObject* module, const Ref& self, const Ref& images) {
    Ref rk = global(module, "rk");
    Ref batch = rk.method("images_to_batch", images, kw("std", self.attr("input_std")),
                          kw("size", self.attr("input_size")), kw("mean", self.attr("input_mean")),
                          kw("swap_rb", true), kw("layout", "HWC"));
    Ref preds = self.method("forward", batch);
    Ref masks = self.method("composite_masks", preds);
    Ref results = rk.method("batch_to_images", masks, kw("swap_rb", true), kw("layout", "NCHW"));
    if (!PyList_Check(results.get()) && !results.is_none())
        raise(PyExc_TypeError, "Expected %s, got %.200s", "list", results.type_name());
    return results;
}

Ref base_get(PyObject* module, const Args& args) {
    static const Signature<2> sig{"get", {"self", "image"}, 2};
    auto [self, image] = sig.parse(args);
    return segment(module, Ref::borrow(self), list(image))[0];
}

Ref base_batch_get(PyObject* module, const Args& args) {
    static const Signature<3> sig{"batch_get", {"self", "images", "MAX_BATCH_SIZE"}, 2};
    auto [self_, images_, max_batch_] = sig.parse(args);
    check_exact(images_, &PyList_Type, "images");
    if (max_batch_) check_exact(max_batch_, &PyLong_Type, "MAX_BATCH_SIZE");
    Ref self = Ref::borrow(self_), images = Ref::borrow(images_);
    // A size beyond the machine's range means one chunk.
    Py_ssize_t max_batch = 16;
    if (max_batch_ && (max_batch = PyNumber_AsSsize_t(max_batch_, nullptr)) == -1 && PyErr_Occurred())
        throw python_error();
    const Py_ssize_t count = images.len();
    if (count <= max_batch) return segment(module, self, images);
    if (max_batch < 1)
        raise(PyExc_ValueError, "MAX_BATCH_SIZE must be at least 1 to split %zd images, got %zd", count, max_batch);
    Ref results = list();
    for (Py_ssize_t start = 0; start < count; start += max_batch) {
        Ref chunk = segment(module, self, images.slice(start, std::min(start + max_batch, count)));
        results.method("extend", chunk);
    }
    return results;
}

Ref composite_masks(PyObject* module, const Args& args) {
    static const Signature<2> sig{"composite_masks", {"self", "preds"}, 2};
    auto [self_, preds_] = sig.parse(args);
    Ref self = Ref::borrow(self_), preds = Ref::borrow(preds_);
    // (1, N, 19, H, W), as an ONNX Runtime session returns its outputs stacked, is (N, 19, H, W).
    std::vector<Py_ssize_t> shape = dims(preds.attr("shape"));
    if (shape.size() == 5 && shape[0] == 1) preds = preds[0];
    // The table is made where a GPU is usable; it goes where the scores are.
    Ref xp = array_module(module, preds);
    return global(module, "rk").method("fold_class_masks", preds, to_module(module, xp, self.attr("all_indices")),
                                       to_module(module, xp, self.attr("category_ids")), self.attr("num_categories"));
}

PyMethodDef base_methods[] = {
    def<base_init>("__init__", "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"),
    def<base_forward>("forward",
                      "forward(self, batch)\n--\n\n"
                      "\n        Placeholder for the forward method.\n        "),
    def<init_indexes>("init_indexes", "init_indexes(self, indexes)\n--\n\n"),
    def<base_get>("get",
                  "get(self, image)\n--\n\n"
                  "\n        Face segmentation method for a single image.\n        "),
    def<base_batch_get>("batch_get",
                        "batch_get(self, images, MAX_BATCH_SIZE=16)\n--\n\n"
                        "\n        Face segmentation inference method.\n"
                        "        Common implementation shared by Onnx and Trt versions.\n"
                        "        Supports batch processing for multiple images.\n        "),
    def<composite_masks>("composite_masks",
                         "composite_masks(self, preds)\n--\n\n"
                         "\n        Composite masks into a single image.\n        "),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- OnnxFaceSegmentation

Ref onnx_init(PyObject* module, const Args& args) {
    runtime::onnx_load(module, init_face_segmentation(module, args), "OnnxFaceSegmentation");
    return none();
}

Ref onnx_initialize(PyObject* module, const Args& args) {
    Ref self = runtime::onnx_initialize(module, args, "OnnxFaceSegmentation");
    Ref session = self.attr("session");
    Ref input = session.method("get_inputs")[0];
    Ref output = session.method("get_outputs")[0];
    self.set_attr("input_name", input.attr("name"));
    self.set_attr("input_shape", input.attr("shape"));
    self.set_attr("dtype", input.attr("type"));
    self.set_attr("output_shape", output.attr("shape"));
    self.set_attr("output_name", output.attr("name"));
    return none();
}

Ref onnx_forward(PyObject* module, const Args& args) {
    auto [self_, batch_] = kForward.parse(args);
    Ref batch = Ref::borrow(batch_);
    // All outputs, stacked on a new leading axis.
    return runtime::like_input(module, batch, runtime::onnx_run(module, Ref::borrow(self_), batch));
}

PyMethodDef onnx_methods[] = {
    def<onnx_init>("__init__", "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"),
    def<onnx_initialize>("initialize", "initialize(self, model_bytes, device, device_id='0')\n--\n\n"),
    def<onnx_forward>("forward",
                      "forward(self, batch)\n--\n\n"
                      "Run the session on the NCHW batch; returns all outputs stacked on a new leading\n"
                      "axis, a CuPy array for a CuPy batch and a NumPy array for a NumPy batch."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- TrtFaceSegmentation

Ref trt_init(PyObject* module, const Args& args) {
    Ref self = init_face_segmentation(module, args);
    Ref kwargs = dict();
    kwargs.set_item("precision", "bf16");
    kwargs.set_item("batch_range", tuple(1, 1, 16));
    kwargs.set_item("spatial_range", tuple(kInputSide, kInputSide, kInputSide));
    kwargs.set_item("workspace", 2147483648LL);
    runtime::trt_load(module, self, kTrtTraits, {runtime::Build::Kind::dynamic, kwargs});
    return none();
}

Ref trt_initialize(PyObject* module, const Args& args) {
    return runtime::trt_initialize(module, args, kTrtTraits, [](const runtime::Opened& o) {
        Ref input_tensor, output_names = list();
        std::vector<Py_ssize_t> input_shape;
        // Every tensor gets a buffer at the engine's shape, dynamic dimensions as 1.
        for (const runtime::Tensor& t : runtime::tensors(o.trt, o.e.engine)) {
            Ref buffer = runtime::bound_buffer(o.cp, o.e.ctx, t.name, runtime::at_least_one(t.shape),
                                               runtime::element_type(o.trt, t));
            (t.is_input ? o.d_inputs : o.d_outputs).set_item(t.name, buffer);
            if (t.is_input && !input_tensor) input_tensor = t.name, input_shape = t.shape;
            if (!t.is_input) append(output_names, t.name);
        }
        if (!input_tensor) raise(PyExc_RuntimeError, "the TensorRT engine of TrtFaceSegmentation has no input tensor");
        o.self.set_attr("input_tensor", input_tensor);
        o.self.set_attr("output_names", output_names);
        // input_size is (width, height) of the engine's input where it fixes them; a
        // dynamic side keeps the default 512.
        if (input_shape.size() >= 4 && input_shape[2] > 0 && input_shape[3] > 0)
            o.self.set_attr("input_size", tuple(input_shape[3], input_shape[2]));
    });
}

Ref trt_forward(PyObject* module, const Args& args) {
    auto [self_, batch] = kForward.parse(args);
    Ref self = Ref::borrow(self_);
    // The result is the last output, as the engine orders them.
    return runtime::forward(module, self, kTrtTraits, {{self.attr("input_tensor"), Ref::borrow(batch)}}, -1);
}

PyMethodDef trt_methods[] = {
    def<trt_init>("__init__", "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"),
    def<trt_initialize>("initialize", "initialize(self, model_bytes, device, device_id)\n--\n\n"),
    def<trt_forward>("forward", "forward(self, batch)\n--\n\nForward pass using TensorRT"),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- module

void exec_module(PyObject* module) {
    Ref loader = runtime::bind_model_globals(module, true);
    Ref base = add_class(module, "BaseFaceSegmentation", loader.get(),
                         "\n    Base class for face segmentation models.\n\n"
                         "    Segments facial regions like eyes, nose, mouth, and skin\n"
                         "    to enable targeted operations like face swapping and enhancement.\n    ",
                         base_methods);
    add_class(module, "OnnxFaceSegmentation", base.get(), "Face segmentation using ONNX Runtime for inference.",
              onnx_methods);
    add_class(module, "TrtFaceSegmentation", base.get(), "Face segmentation using TensorRT for high-performance inference.",
              trt_methods);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.segmentation",
                          "Face segmentation: a face-parsing network folded into three region masks, on ONNX "
                          "Runtime or TensorRT.",
                          0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_segmentation() { return PyModuleDef_Init(&module_def); }
