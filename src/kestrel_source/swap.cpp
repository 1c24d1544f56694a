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
#include "pyglue.hpp"

#include <algorithm>

using pyglue::Kw;
using pyglue::Ref;

namespace {

constexpr Py_ssize_t kLatentWidth = 512;
constexpr Py_ssize_t kPatch = 256;

// ---------------------------------------------------------------- small helpers

Ref attr(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }
Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }
Ref integer(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

bool set_attr(PyObject* obj, const char* name, PyObject* value) {
    return value && PyObject_SetAttrString(obj, name, value) == 0;
}

// [item]
Ref list_of(PyObject* item) {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// A tuple of Python ints.
Ref int_tuple(std::initializer_list<Py_ssize_t> values) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t i = 0;
    for (Py_ssize_t v : values) {
        if (!t) return Ref();
        PyObject* item = PyLong_FromSsize_t(v);
        if (!item) return Ref();
        PyTuple_SET_ITEM(t.get(), i++, item);
    }
    return t;
}

// A shape (TensorRT dims, a CuPy shape) as a tuple of Python ints; with `dynamic_as_one`
// a dynamic dimension (-1) becomes 1.
Ref shape_of(PyObject* shape, bool dynamic_as_one = false) {
    Ref items = Ref::steal(PySequence_Tuple(shape));
    if (!items) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Ref out = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        Ref v = Ref::steal(PyNumber_Index(PyTuple_GET_ITEM(items.get(), i)));
        if (!v) return Ref();
        if (dynamic_as_one) {
            const long d = PyLong_AsLong(v.get());
            if (d == -1 && PyErr_Occurred()) return Ref();
            if (d < 0 && !(v = integer(1))) return Ref();
        }
        PyTuple_SET_ITEM(out.get(), i, v.release());
    }
    return out;
}

// len(array) as the first dimension of its shape.
Py_ssize_t first_dim(PyObject* array) {
    Ref shape = attr(array, "shape");
    Ref n = shape ? Ref::steal(PySequence_GetItem(shape.get(), 0)) : Ref();
    return n ? PyNumber_AsSsize_t(n.get(), PyExc_OverflowError) : -1;
}

// array[start:end]
Ref slice(PyObject* array, Py_ssize_t start, Py_ssize_t end) {
    Ref s = integer(start), e = integer(end);
    Ref sl = s && e ? Ref::steal(PySlice_New(s.get(), e.get(), nullptr)) : Ref();
    return sl ? Ref::steal(PyObject_GetItem(array, sl.get())) : Ref();
}

bool is_none(const Ref& r) { return r.get() == Py_None; }

// A float attribute equal to `value`: normalisation by 0.0 and 1.0 is skipped, which
// gives the same bits and saves two passes over the batch.
bool is_float(PyObject* v, double value) { return PyFloat_CheckExact(v) && PyFloat_AS_DOUBLE(v) == value; }

// 1 when `array` is a CuPy array, 0 when not (or CuPy is missing), -1 on error.
int is_cupy(PyObject* module, PyObject* array) {
    Ref cp = pyglue::global(module, "cp");
    if (!cp) return -1;
    if (is_none(cp)) return 0;
    Ref ndarray = attr(cp.get(), "ndarray");
    return ndarray ? PyObject_IsInstance(array, ndarray.get()) : -1;
}

// Raises ImportError(message) with `name` set, chaining the original failure if any.
void import_error(const char* name, const char* message) {
    PyObject* cause = PyErr_GetRaisedException();
    Ref msg = text(message), pkg = text(name);
    if (msg && pkg) PyErr_SetImportError(msg.get(), pkg.get(), nullptr);
    if (cause) {
        PyObject* exc = PyErr_GetRaisedException();
        if (exc) PyException_SetCause(exc, cause);
        else Py_DECREF(cause);
        PyErr_SetRaisedException(exc);
    }
}

// An optional package bound at import; None there means it is not installed.
Ref require(PyObject* module, const char* global, const char* name, const char* message) {
    Ref v = pyglue::global(module, global);
    if (v && is_none(v)) {
        import_error(name, message);
        return Ref();
    }
    return v;
}

Ref onnxruntime(PyObject* module) {
    return require(module, "onnxruntime", "onnxruntime",
                   "OnnxFaceSwap needs ONNX Runtime: install kestrel with the 'cpu' extra "
                   "(onnxruntime) or the 'cuda' extra (onnxruntime-gpu), for example "
                   "pip install 'kestrel[cpu]'");
}

Ref cupy(PyObject* module) {
    return require(module, "cp", "cupy",
                   "TrtFaceSwap needs CuPy: install kestrel with the 'cuda' extra (cupy-cuda13x), "
                   "pip install 'kestrel[cuda]'");
}

// TensorRT loads large libraries, so it is imported on first use and then kept as the
// module global `trt` (which a caller may also set).
Ref tensorrt(PyObject* module) {
    Ref trt = pyglue::global(module, "trt");
    if (!trt || !is_none(trt)) return trt;
    trt = Ref::steal(PyImport_ImportModule("tensorrt"));
    if (!trt) {
        if (PyErr_ExceptionMatches(PyExc_ImportError))
            import_error("tensorrt",
                         "TrtFaceSwap needs TensorRT (package tensorrt): install kestrel with the "
                         "'tensorrt' extra, pip install 'kestrel[tensorrt]'");
        return Ref();
    }
    return PyObject_SetAttrString(module, "trt", trt.get()) == 0 ? trt : Ref();
}

// Reads a whole file through the builtin open(path, "rb"); the file is closed on every path.
Ref read_file(PyObject* module, PyObject* path) {
    Ref open = pyglue::global(module, "open");
    Ref mode = text("rb");
    Ref file = open && mode ? pyglue::call(open.get(), path, mode.get()) : Ref();
    if (!file) return Ref();
    Ref data = pyglue::call_method(file.get(), "read");
    PyObject* failed = data ? nullptr : PyErr_GetRaisedException();
    Ref closed = pyglue::call_method(file.get(), "close");
    if (failed) {
        PyErr_Clear();
        PyErr_SetRaisedException(failed);
        return Ref();
    }
    return closed ? data : Ref();
}

// os.path.exists(path) as 1/0, -1 on error.
int path_exists(PyObject* module, PyObject* path) {
    Ref os = pyglue::global(module, "os");
    Ref ospath = os ? attr(os.get(), "path") : Ref();
    Ref r = ospath ? pyglue::call_method(ospath.get(), "exists", path) : Ref();
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// Raises RuntimeError built from `fmt` when `result` is false (TensorRT reports refusals
// through return values); returns false then, true otherwise.
template <class... A>
bool expect_true(const Ref& result, const char* fmt, A... args) {
    if (!result) return false;
    const int ok = PyObject_IsTrue(result.get());
    if (ok < 0) return false;
    if (!ok) PyErr_Format(PyExc_RuntimeError, fmt, args...);
    return ok != 0;
}

// ---------------------------------------------------------------- BaseFaceSwap

const char* const kInitNames[] = {"self", "model_path", "model_bytes", "device"};

struct InitArgs {
    PyObject* self;
    PyObject* model_path;
    PyObject* model_bytes;
    Ref device;
};

// The constructor arguments of all three classes, checked before any work.
bool parse_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, InitArgs& out) {
    static const pyglue::Params params{"__init__", kInitNames, 4, 1};
    PyObject* a[4];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return false;
    out.self = a[0];
    out.model_path = a[1] ? a[1] : Py_None;
    out.model_bytes = a[2] ? a[2] : Py_None;
    out.device = a[3] ? Ref::borrow(a[3]) : text("cuda");
    return out.device && pyglue::check_exact(out.model_path, &PyUnicode_Type, "model_path", true) &&
           pyglue::check_exact(out.model_bytes, &PyBytes_Type, "model_bytes", true) &&
           pyglue::check_exact(out.device.get(), &PyUnicode_Type, "device");
}

// BaseModelLoader.__init__, then the pre-processing constants.
bool init_face_swap(PyObject* module, const InitArgs& a) {
    Ref loader = pyglue::global(module, "BaseModelLoader");
    Ref init = loader ? attr(loader.get(), "__init__") : Ref();
    if (!init || !pyglue::call(init.get(), a.self, a.model_path, a.model_bytes, a.device.get())) return false;
    Ref patch = integer(kPatch);
    Ref size = patch ? Ref::steal(PyTuple_Pack(2, patch.get(), patch.get())) : Ref();
    return set_attr(a.self, "input_mean", real(0.0).get()) && set_attr(a.self, "input_std", real(1.0).get()) &&
           set_attr(a.self, "patch", patch.get()) && set_attr(a.self, "input_size", size.get());
}

PyObject* base_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    InitArgs a;
    if (!parse_init(args, nargs, kwnames, a) || !init_face_swap(module, a)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* base_forward(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "batch", "latent"};
    static const pyglue::Params params{"forward", names, 3, 3};
    PyObject* a[3];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "forward method must be implemented in subclass");
    return nullptr;
}

// rk.images_to_batch(images, std=self.input_std, size=size, mean=self.input_mean,
// swap_rb=True, layout="HWC")
Ref to_batch(PyObject* module, PyObject* self, PyObject* images, PyObject* size) {
    Ref rk = pyglue::global(module, "rk");
    Ref std = attr(self, "input_std");
    Ref mean = std ? attr(self, "input_mean") : Ref();
    Ref layout = text("HWC");
    if (!rk || !mean || !layout) return Ref();
    return pyglue::call_method_kw(rk.get(), "images_to_batch", {images},
                                  {{"std", std.get()}, {"size", size}, {"mean", mean.get()},
                                   {"swap_rb", Py_True}, {"layout", layout.get()}});
}

// rk.batch_to_images(preds, swap_rb=True, layout="NCHW")
Ref to_images(PyObject* module, PyObject* preds) {
    Ref rk = pyglue::global(module, "rk");
    Ref layout = text("NCHW");
    if (!rk || !layout) return Ref();
    return pyglue::call_method_kw(rk.get(), "batch_to_images", {preds},
                                  {{"swap_rb", Py_True}, {"layout", layout.get()}});
}

// Weights one caller latent in place, x += x * (weight - 1) (callers rely on seeing the
// weighted values afterwards), and returns it as float32 rows of 512 in the array module
// `xp` of the batch. The update runs at every weight, 1.0 included, so a latent the
// update cannot take (a list, a read-only or integer array) fails the same way whatever
// the weight.
Ref weighted_rows(PyObject* module, PyObject* xp, PyObject* latent, double weight) {
    Ref factor = real(weight - 1.0);
    Ref product = factor ? Ref::steal(PyNumber_Multiply(latent, factor.get())) : Ref();
    Ref x = product ? Ref::steal(PyNumber_InPlaceAdd(latent, product.get())) : Ref();
    if (!x) return Ref();
    // A GPU latent for a host batch comes to the host; the other way, asarray copies.
    Ref cp = pyglue::global(module, "cp");
    if (!cp) return Ref();
    if (cp.get() != xp && !is_none(cp)) {
        const int on_gpu = is_cupy(module, x.get());
        if (on_gpu < 0 || (on_gpu && !(x = pyglue::call_method(cp.get(), "asnumpy", x.get())))) return Ref();
    }
    Ref f32 = attr(xp, "float32");
    Ref rows = f32 ? pyglue::call_method(xp, "asarray", x.get(), f32.get()) : Ref();
    Ref minus_one = integer(-1), width = integer(kLatentWidth);
    if (!rows || !minus_one || !width) return Ref();
    return pyglue::call_method(rows.get(), "reshape", minus_one.get(), width.get());
}

// The weight argument: any real number, converted to a double.
bool parse_weight(PyObject* value, double& weight) {
    if (!value) return true;
    weight = PyFloat_AsDouble(value);
    return !(weight == -1.0 && PyErr_Occurred());
}

PyObject* base_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "target_image", "latent", "weight"};
    static const pyglue::Params params{"get", names, 4, 3};
    PyObject* a[4];
    double weight = 1.0;
    if (!pyglue::parse(params, args, nargs, kwnames, a) || !parse_weight(a[3], weight)) return nullptr;
    PyObject* self = a[0];

    Ref size = attr(self, "input_size");
    Ref batch = size ? to_batch(module, self, a[1], size.get()) : Ref();
    Ref xp = batch ? pyglue::array_module(module, batch.get()) : Ref();
    Ref rows = xp ? weighted_rows(module, xp.get(), a[2], weight) : Ref();
    Ref preds = rows ? pyglue::call_method(self, "forward", batch.get(), rows.get()) : Ref();
    Ref images = preds ? to_images(module, preds.get()) : Ref();
    return images ? PySequence_GetItem(images.get(), 0) : nullptr;
}

// All latent rows the caller supplied, in order: one array, or a list of arrays stacked
// along axis 0 (each element weighted in place).
Ref gather_rows(PyObject* module, PyObject* xp, PyObject* latent, double weight) {
    if (!PyList_Check(latent)) return weighted_rows(module, xp, latent, weight);
    Ref shape = int_tuple({0, kLatentWidth});
    Ref f32 = attr(xp, "float32");
    Ref empty = shape && f32 ? pyglue::call_method(xp, "empty", shape.get(), f32.get()) : Ref();
    Ref parts = empty ? Ref::steal(PyList_New(0)) : Ref();
    if (!parts || PyList_Append(parts.get(), empty.get()) < 0) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(latent); ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(latent, i));
        Ref rows = item ? weighted_rows(module, xp, item.get(), weight) : Ref();
        if (!rows || PyList_Append(parts.get(), rows.get()) < 0) return Ref();
    }
    Ref axis = integer(0);
    return axis ? pyglue::call_method(xp, "concatenate", parts.get(), axis.get()) : Ref();
}

// rows.repeat(n, 0): one identity for n images.
Ref repeat_rows(PyObject* rows, Py_ssize_t n) {
    Ref count = integer(n), axis = integer(0);
    return count && axis ? pyglue::call_method(rows, "repeat", count.get(), axis.get()) : Ref();
}

// The latent of the sub-batch [start, end): one row per image when the caller gave one
// per image; otherwise row start / max_batch for the whole sub-batch (an index past the
// last row raises the array library's IndexError).
Ref sub_batch_rows(PyObject* rows, Py_ssize_t row_count, Py_ssize_t batch_size, Py_ssize_t start,
                   Py_ssize_t end, Py_ssize_t max_batch) {
    if (row_count == 1) return repeat_rows(rows, end - start);
    if (row_count == batch_size) return slice(rows, start, end);
    Ref index = integer(start / max_batch);
    Ref row = index ? Ref::steal(PyObject_GetItem(rows, index.get())) : Ref();
    Ref one = integer(1), width = integer(kLatentWidth);
    if (!row || !one || !width) return Ref();
    return pyglue::call_method(row.get(), "reshape", one.get(), width.get());
}

PyObject* base_batch_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "target_images", "latent", "weight", "max_batch"};
    static const pyglue::Params params{"batch_get", names, 5, 3};
    PyObject* a[5];
    double weight = 1.0;
    Py_ssize_t max_batch = 16;
    if (!pyglue::parse(params, args, nargs, kwnames, a) ||
        !pyglue::check_exact(a[1], &PyList_Type, "target_images") ||
        (a[4] && !pyglue::check_exact(a[4], &PyLong_Type, "max_batch")) || !parse_weight(a[3], weight))
        return nullptr;
    // A max_batch beyond the machine's range means no split at all.
    if (a[4] && (max_batch = PyNumber_AsSsize_t(a[4], nullptr)) == -1 && PyErr_Occurred()) return nullptr;
    if (max_batch < 1) {
        PyErr_Format(PyExc_ValueError, "max_batch must be at least 1 (got %zd)", max_batch);
        return nullptr;
    }
    PyObject* self = a[0];

    // The resize target is the crop side, not input_size as in get.
    Ref patch = attr(self, "patch");
    Ref size = patch ? Ref::steal(PyTuple_Pack(2, patch.get(), patch.get())) : Ref();
    Ref batch = size ? to_batch(module, self, a[1], size.get()) : Ref();
    Ref xp = batch ? pyglue::array_module(module, batch.get()) : Ref();
    Ref rows = xp ? gather_rows(module, xp.get(), a[2], weight) : Ref();
    if (!rows) return nullptr;
    const Py_ssize_t batch_size = first_dim(batch.get());
    const Py_ssize_t row_count = batch_size < 0 ? -1 : first_dim(rows.get());
    if (row_count < 0) return nullptr;

    Ref preds;
    if (batch_size > max_batch) {
        Ref parts = Ref::steal(PyList_New(0));
        if (!parts) return nullptr;
        for (Py_ssize_t start = 0; start < batch_size; start += max_batch) {
            const Py_ssize_t end = std::min(start + max_batch, batch_size);
            Ref part = slice(batch.get(), start, end);
            Ref latent = part ? sub_batch_rows(rows.get(), row_count, batch_size, start, end, max_batch) : Ref();
            Ref out = latent ? pyglue::call_method(self, "forward", part.get(), latent.get()) : Ref();
            if (!out || PyList_Append(parts.get(), out.get()) < 0) return nullptr;
        }
        Ref out_xp = pyglue::array_module(module, PyList_GET_ITEM(parts.get(), 0));
        Ref axis = integer(0);
        if (!out_xp || !axis) return nullptr;
        preds = pyglue::call_method(out_xp.get(), "concatenate", parts.get(), axis.get());
    } else {
        Ref latent = row_count == 1 ? repeat_rows(rows.get(), batch_size) : rows;
        preds = latent ? pyglue::call_method(self, "forward", batch.get(), latent.get()) : Ref();
    }
    Ref images = preds ? to_images(module, preds.get()) : Ref();
    if (!images) return nullptr;
    if (!PyList_Check(images.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(images.get())->tp_name);
        return nullptr;
    }
    return images.release();
}

PyMethodDef base_methods[] = {
    {"__init__", pyglue::fastcall(base_init), METH_FASTCALL | METH_KEYWORDS,
     "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
     "Record the model source and device and set the pre-processing constants:\n"
     "input_mean 0.0, input_std 1.0, patch 256, input_size (256, 256)."},
    {"forward", pyglue::fastcall(base_forward), METH_FASTCALL | METH_KEYWORDS,
     "forward(self, batch, latent)\n--\n\n"
     "Run the model on an NCHW batch and float32 latent rows (rows, 512).\n\n"
     "Backends implement it; returns the swapped NCHW batch, one entry per batch entry."},
    {"get", pyglue::fastcall(base_get), METH_FASTCALL | METH_KEYWORDS,
     "get(self, target_image, latent, weight=1.0)\n--\n\n"
     "Swap the identity `latent` onto one HWC target image.\n\n"
     "The image is resized to input_size; the latent (any shape of 512 values per\n"
     "identity) is weighted in place, x += x * (weight - 1), so the caller's array\n"
     "holds the weighted values afterwards. Returns the swapped HWC image at model size."},
    {"batch_get", pyglue::fastcall(base_batch_get), METH_FASTCALL | METH_KEYWORDS,
     "batch_get(self, target_images, latent, weight=1.0, max_batch=16)\n--\n\n"
     "Swap identities onto a list of HWC target images; returns a list of images.\n\n"
     "latent is one array or a list of arrays (each weighted in place, as in get),\n"
     "stacked into rows of 512. One row serves every image; otherwise one row per\n"
     "image is expected. Lists longer than max_batch run in sub-batches of at most\n"
     "max_batch images: each gets its own images' rows when there is one row per\n"
     "image, else row start // max_batch."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- OnnxFaceSwap

PyObject* onnx_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    InitArgs a;
    if (!parse_init(args, nargs, kwnames, a) || !init_face_swap(module, a) || !onnxruntime(module)) return nullptr;
    PyObject* self = a.self;
    Ref model_bytes = attr(self, "model_bytes");
    Ref model_path = model_bytes ? attr(self, "model_path") : Ref();
    if (!model_path) return nullptr;
    if (is_none(model_bytes) && !is_none(model_path)) {
        model_bytes = read_file(module, model_path.get());
        if (!set_attr(self, "model_bytes", model_bytes.get())) return nullptr;
    }
    if (!pyglue::check_assert(!is_none(model_bytes), "model_bytes must be provided if model_path is not specified"))
        return nullptr;
    Ref device = attr(self, "device");
    Ref device_id = device ? attr(self, "device_id") : Ref();
    if (!device_id ||
        !pyglue::call_method(self, "initialize", model_bytes.get(), device.get(), device_id.get()))
        return nullptr;
    Py_RETURN_NONE;
}

// (width, height) of the NCHW target input; a dynamic side (reported as a name or None)
// falls back to `patch`, the crop side the model is trained for.
Ref model_input_size(PyObject* self, PyObject* first_input) {
    Ref shape = attr(first_input, "shape");
    Ref dims = shape ? Ref::steal(PySequence_Tuple(shape.get())) : Ref();
    Ref patch = dims ? attr(self, "patch") : Ref();
    if (!patch) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(dims.get());
    Ref size = Ref::steal(PyTuple_New(std::max<Py_ssize_t>(0, std::min<Py_ssize_t>(n, 4) - 2)));
    for (Py_ssize_t i = std::min<Py_ssize_t>(n, 4) - 1, k = 0; size && i >= 2; --i, ++k) {
        PyObject* d = PyTuple_GET_ITEM(dims.get(), i);
        PyObject* v = PyLong_Check(d) ? d : patch.get();
        PyTuple_SET_ITEM(size.get(), k, Py_NewRef(v));
    }
    return size;
}

// The names of session.get_inputs() or get_outputs(), in model order.
Ref io_names(PyObject* io) {
    Ref names = Ref::steal(PyList_New(0));
    Ref it = names ? Ref::steal(PyObject_GetIter(io)) : Ref();
    if (!it) return Ref();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref name = attr(item.get(), "name");
        if (!name || PyList_Append(names.get(), name.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : names;
}

// The session runs with fatal-only logging, so a CUDA provider that failed to load
// would fall back to the CPU unseen: say so, once per session. False on error.
bool warn_if_cuda_missing(PyObject* session, PyObject* device) {
    Ref used = pyglue::call_method(session, "get_providers");
    Ref cuda = used ? text("CUDAExecutionProvider") : Ref();
    const int has_cuda = cuda ? PySequence_Contains(used.get(), cuda.get()) : -1;
    if (has_cuda != 0) return has_cuda > 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "device %R asked for CUDA, but ONNX Runtime runs the model with %R: the CUDA "
                            "execution provider could not be loaded (install the 'cuda' extra, "
                            "onnxruntime-gpu, and the CUDA libraries it needs)",
                            device, used.get()) == 0;
}

PyObject* onnx_initialize(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "model_bytes", "device", "device_id"};
    static const pyglue::Params params{"initialize", names, 4, 3};
    PyObject* a[4];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    PyObject* model_bytes = a[1];
    PyObject* device = a[2];
    Ref device_id = a[3] ? Ref::borrow(a[3]) : text("0");
    if (!device_id || !pyglue::check_exact(model_bytes, &PyBytes_Type, "model_bytes") ||
        !pyglue::check_exact(device, &PyUnicode_Type, "device") ||
        !pyglue::check_exact(device_id.get(), &PyUnicode_Type, "device_id"))
        return nullptr;
    Ref ort = onnxruntime(module);
    if (!ort) return nullptr;

    const int has_preload = PyObject_HasAttrStringWithError(ort.get(), "preload_dlls");
    if (has_preload < 0 || (has_preload && !pyglue::call_method(ort.get(), "preload_dlls"))) return nullptr;
    Ref options = pyglue::call_method(ort.get(), "SessionOptions");
    Ref fatal = integer(4);
    if (!options || !set_attr(options.get(), "log_severity_level", fatal.get()) ||
        !set_attr(options.get(), "log_verbosity_level", fatal.get()))
        return nullptr;

    Ref cuda = text("cuda");
    const int want_cuda = cuda ? PySequence_Contains(device, cuda.get()) : -1;
    if (want_cuda < 0) return nullptr;
    Ref provider = text(want_cuda ? "CUDAExecutionProvider" : "CPUExecutionProvider");
    Ref option = Ref::steal(PyDict_New());
    if (!provider || !option || (want_cuda && PyDict_SetItemString(option.get(), "device_id", device_id.get()) < 0))
        return nullptr;
    Ref providers = list_of(provider.get());
    Ref provider_options = list_of(option.get());
    if (!providers || !provider_options) return nullptr;
    Ref session = pyglue::call_method_kw(
        ort.get(), "InferenceSession", {model_bytes},
        {{"sess_options", options.get()}, {"providers", providers.get()}, {"provider_options", provider_options.get()}});
    if (!set_attr(self, "session", session.get()) || !set_attr(self, "input_mean", real(0.0).get()) ||
        !set_attr(self, "input_std", real(1.0).get()))
        return nullptr;

    Ref inputs = pyglue::call_method(session.get(), "get_inputs");
    Ref input_names = inputs ? io_names(inputs.get()) : Ref();
    Ref outputs = input_names ? pyglue::call_method(session.get(), "get_outputs") : Ref();
    Ref output_names = outputs ? io_names(outputs.get()) : Ref();
    if (!set_attr(self, "input_names", input_names.get()) || !set_attr(self, "output_names", output_names.get()) ||
        !pyglue::check_assert(PyList_GET_SIZE(output_names.get()) == 1))
        return nullptr;
    Ref first = Ref::steal(PySequence_GetItem(inputs.get(), 0));
    Ref size = first ? model_input_size(self, first.get()) : Ref();
    if (!set_attr(self, "input_size", size.get())) return nullptr;
    if (want_cuda && !warn_if_cuda_missing(session.get(), device)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* onnx_forward(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "batch", "latent"};
    static const pyglue::Params params{"forward", names, 3, 3};
    PyObject* a[3];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    Ref rk = pyglue::global(module, "rk");
    Ref host_batch = rk ? pyglue::call_method(rk.get(), "to_numpy", a[1]) : Ref();
    Ref host_latent = host_batch ? pyglue::call_method(rk.get(), "to_numpy", a[2]) : Ref();
    Ref mean = host_latent ? attr(self, "input_mean") : Ref();
    Ref std = mean ? attr(self, "input_std") : Ref();
    if (!std) return nullptr;
    if (!is_float(mean.get(), 0.0) || !is_float(std.get(), 1.0)) {
        Ref centred = Ref::steal(PyNumber_Subtract(host_batch.get(), mean.get()));
        host_batch = centred ? Ref::steal(PyNumber_TrueDivide(centred.get(), std.get())) : Ref();
        if (!host_batch) return nullptr;
    }
    Ref input_names = attr(self, "input_names");
    Ref target = input_names ? Ref::steal(PySequence_GetItem(input_names.get(), 0)) : Ref();
    Ref source = target ? Ref::steal(PySequence_GetItem(input_names.get(), 1)) : Ref();
    Ref feed = source ? Ref::steal(PyDict_New()) : Ref();
    if (!feed || PyDict_SetItem(feed.get(), target.get(), host_batch.get()) < 0 ||
        PyDict_SetItem(feed.get(), source.get(), host_latent.get()) < 0)
        return nullptr;
    Ref session = attr(self, "session");
    Ref output_names = session ? attr(self, "output_names") : Ref();
    Ref results = output_names ? pyglue::call_method(session.get(), "run", output_names.get(), feed.get()) : Ref();
    Ref pred = results ? Ref::steal(PySequence_GetItem(results.get(), 0)) : Ref();
    if (!pred) return nullptr;
    // The result follows the input: CuPy in, CuPy out; NumPy in, NumPy out.
    const int on_gpu = is_cupy(module, a[1]);
    if (on_gpu <= 0) return on_gpu < 0 ? nullptr : pred.release();
    Ref cp = pyglue::global(module, "cp");
    return cp ? pyglue::call_method(cp.get(), "asarray", pred.get()).release() : nullptr;
}

PyMethodDef onnx_methods[] = {
    {"__init__", pyglue::fastcall(onnx_init), METH_FASTCALL | METH_KEYWORDS,
     "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
     "Load the swap model (bytes, else the file at model_path) into an ONNX Runtime session."},
    {"initialize", pyglue::fastcall(onnx_initialize), METH_FASTCALL | METH_KEYWORDS,
     "initialize(self, model_bytes, device, device_id='0')\n--\n\n"
     "Create the session from the model bytes: the CUDA execution provider on GPU\n"
     "device_id when device contains \"cuda\", the CPU provider otherwise. Sets session,\n"
     "input_names, output_names and input_size (width, height of the first input)."},
    {"forward", pyglue::fastcall(onnx_forward), METH_FASTCALL | METH_KEYWORDS,
     "forward(self, batch, latent)\n--\n\n"
     "Run the session on the NCHW batch (normalised by input_mean and input_std) and the\n"
     "latent rows; returns the model's output, a CuPy array for a CuPy batch and a NumPy\n"
     "array for a NumPy batch."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- TrtFaceSwap

// Finds the engine beside the ONNX file, building it when only the ONNX file exists,
// and points self.model_path at it; `onnx_path` receives the ONNX file's path.
bool locate_engine(PyObject* module, PyObject* self, PyObject* model_path, Ref& onnx_path) {
    Ref onnx_ext = text(".onnx"), trt_ext = text(".trt");
    if (!onnx_ext || !trt_ext) return false;
    const Py_ssize_t is_onnx = PyUnicode_Tailmatch(model_path, onnx_ext.get(), 0, PY_SSIZE_T_MAX, 1);
    if (is_onnx < 0) return false;
    Ref trt_path;
    if (is_onnx) {
        onnx_path = Ref::borrow(model_path);
        trt_path = Ref::steal(PyUnicode_Replace(model_path, onnx_ext.get(), trt_ext.get(), -1));
    } else {
        onnx_path = Ref::steal(PyUnicode_Replace(model_path, trt_ext.get(), onnx_ext.get(), -1));
        trt_path = Ref::borrow(model_path);
    }
    if (!onnx_path || !trt_path) return false;
    const int trt_exists = path_exists(module, trt_path.get());
    const int onnx_exists = trt_exists < 0 ? -1 : path_exists(module, onnx_path.get());
    if (onnx_exists < 0) return false;
    if (!trt_exists && onnx_exists) {
        Ref rk = pyglue::global(module, "rk");
        Ref patch = rk ? attr(self, "patch") : Ref();
        Ref precision = text("bf16");
        Ref batch_range = int_tuple({1, 1, 32});
        Ref spatial_range = patch ? Ref::steal(PyTuple_Pack(3, patch.get(), patch.get(), patch.get())) : Ref();
        if (!precision || !batch_range || !spatial_range ||
            !pyglue::call_method_kw(rk.get(), "onnx_to_trt_dynamic_shape", {onnx_path.get(), trt_path.get()},
                                    {{"precision", precision.get()},
                                     {"batch_range", batch_range.get()},
                                     {"spatial_range", spatial_range.get()}}))
            return false;
    } else if (!trt_exists) {
        // Existence is tested again for the message, as the files may have changed.
        const int onnx_now = path_exists(module, onnx_path.get());
        const int trt_now = onnx_now < 0 ? -1 : path_exists(module, trt_path.get());
        if (trt_now < 0) return false;
        PyErr_Format(PyExc_FileNotFoundError, "Model file not found: onnx: %U:%s, trt: %U:%s", onnx_path.get(),
                     onnx_now ? "True" : "False", trt_path.get(), trt_now ? "True" : "False");
        return false;
    }
    return set_attr(self, "model_path", trt_path.get());
}

// Replaces a failed deserialisation of an engine read from `path` by an error that names
// the file and the way out: the cached engine is rebuilt once it is gone, as long as the
// ONNX model at `onnx_path` is there to build it from.
void explain_bad_engine_file(PyObject* module, PyObject* self, PyObject* path, PyObject* onnx_path) {
    PyObject* failed = PyErr_GetRaisedException();
    PyObject* engine = nullptr;
    const int found = PyObject_GetOptionalAttrString(self, "engine", &engine);
    const bool unreadable = found > 0 && engine == Py_None;
    Py_XDECREF(engine);
    PyErr_Clear();
    if (!unreadable) {
        PyErr_SetRaisedException(failed);
        return;
    }
    // Failing to test the ONNX file only loses the hint that deleting the engine is enough.
    const int onnx_exists = path_exists(module, onnx_path);
    PyErr_Clear();
    if (onnx_exists > 0)
        PyErr_Format(PyExc_RuntimeError,
                     "TensorRT cannot load the engine file '%U': it was built by another TensorRT version "
                     "or for another GPU, or it is damaged. Delete it and the next construction rebuilds it "
                     "from the ONNX model beside it.",
                     path);
    else
        PyErr_Format(PyExc_RuntimeError,
                     "TensorRT cannot load the engine file '%U': it was built by another TensorRT version "
                     "or for another GPU, or it is damaged. Rebuild it for this TensorRT version and GPU, "
                     "or replace it with such an engine (there is no ONNX model '%U' to rebuild it from).",
                     path, onnx_path);
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, failed);
    PyErr_SetRaisedException(exc);
}

PyObject* trt_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    InitArgs a;
    // Both packages are checked before any file is touched or an engine is built.
    if (!parse_init(args, nargs, kwnames, a) || !init_face_swap(module, a) || !tensorrt(module) || !cupy(module))
        return nullptr;
    PyObject* self = a.self;
    Ref model_bytes = attr(self, "model_bytes");
    Ref model_path = model_bytes ? attr(self, "model_path") : Ref();
    if (!model_path) return nullptr;
    // Bytes given are a serialised engine; otherwise the engine comes from the file.
    const bool from_file = is_none(model_bytes);
    Ref onnx_path;
    if (from_file) {
        if (is_none(model_path)) {
            PyErr_SetString(PyExc_ValueError, "model_bytes must be provided if model_path is not specified");
            return nullptr;
        }
        if (!pyglue::check_exact(model_path.get(), &PyUnicode_Type, "model_path") ||
            !locate_engine(module, self, model_path.get(), onnx_path) || !(model_path = attr(self, "model_path")))
            return nullptr;
        const int exists = path_exists(module, model_path.get());
        if (exists < 0) return nullptr;
        if (!exists) {
            PyErr_Format(PyExc_FileNotFoundError, "Model file not found: %S", model_path.get());
            return nullptr;
        }
        model_bytes = read_file(module, model_path.get());
        if (!set_attr(self, "model_bytes", model_bytes.get())) return nullptr;
    }
    Ref device = attr(self, "device");
    Ref device_id = device ? attr(self, "device_id") : Ref();
    if (!device_id) return nullptr;
    if (!pyglue::call_method(self, "initialize", model_bytes.get(), device.get(), device_id.get())) {
        if (from_file) explain_bad_engine_file(module, self, model_path.get(), onnx_path.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Every engine tensor must be float32: the buffers are float32 arrays, and trt.nptype
// has no element type for bfloat16 or the FP8/FP4 types at all.
bool check_float32(PyObject* engine, PyObject* name, PyObject* float_type) {
    Ref dtype = pyglue::call_method(engine, "get_tensor_dtype", name);
    const int is_float = dtype ? PyObject_RichCompareBool(dtype.get(), float_type, Py_EQ) : -1;
    if (is_float < 0) return false;
    if (!is_float)
        PyErr_Format(PyExc_RuntimeError,
                     "TensorRT engine tensor %R has type %S, but the engine inputs and outputs must be float32: "
                     "rebuild the engine from a model with float32 inputs and outputs",
                     name, dtype.get());
    return is_float != 0;
}

// Engine, context, stream, bindings and output buffers (initialize steps inside the
// device context).
bool load_engine(PyObject* self, PyObject* trt, PyObject* cp, PyObject* model_bytes) {
    Ref logger_class = attr(trt, "Logger");
    Ref warning = logger_class ? attr(logger_class.get(), "WARNING") : Ref();
    Ref logger = warning ? pyglue::call(logger_class.get(), warning.get()) : Ref();
    Ref runtime_class = logger ? attr(trt, "Runtime") : Ref();
    Ref runtime = runtime_class ? pyglue::call(runtime_class.get(), logger.get()) : Ref();
    Ref engine = runtime ? pyglue::call_method(runtime.get(), "deserialize_cuda_engine", model_bytes) : Ref();
    if (!set_attr(self, "engine", engine.get())) return false;
    if (is_none(engine)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "TensorRT cannot deserialise the engine: it was built by another TensorRT "
                        "version or for another GPU, or it is damaged");
        return false;
    }
    Ref ctx = pyglue::call_method(engine.get(), "create_execution_context");
    if (!ctx) return false;
    if (is_none(ctx)) {
        PyErr_SetString(PyExc_RuntimeError, "TensorRT could not create an execution context for the engine");
        return false;
    }
    Ref cuda = attr(cp, "cuda");
    Ref stream = cuda ? pyglue::call_method(cuda.get(), "Stream") : Ref();
    Ref d_inputs = Ref::steal(PyDict_New()), d_outputs = Ref::steal(PyDict_New());
    Ref output_names = Ref::steal(PyList_New(0));
    if (!set_attr(self, "ctx", ctx.get()) || !set_attr(self, "stream", stream.get()) ||
        !set_attr(self, "target_name", Py_None) || !set_attr(self, "source_name", Py_None) ||
        !set_attr(self, "d_inputs", d_inputs.get()) || !set_attr(self, "d_outputs", d_outputs.get()) ||
        !output_names)
        return false;

    Ref io_mode = attr(trt, "TensorIOMode");
    Ref input_mode = io_mode ? attr(io_mode.get(), "INPUT") : Ref();
    Ref output_mode = input_mode ? attr(io_mode.get(), "OUTPUT") : Ref();
    Ref data_type = output_mode ? attr(trt, "DataType") : Ref();
    Ref float_type = data_type ? attr(data_type.get(), "FLOAT") : Ref();
    Ref float32 = float_type ? attr(cp, "float32") : Ref();
    Ref it = float32 ? Ref::steal(PyObject_GetIter(engine.get())) : Ref();
    if (!it) return false;
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        if (!check_float32(engine.get(), name.get(), float_type.get())) return false;
        Ref mode = pyglue::call_method(engine.get(), "get_tensor_mode", name.get());
        const int is_input = mode ? PyObject_RichCompareBool(mode.get(), input_mode.get(), Py_EQ) : -1;
        const int is_output = is_input < 0 ? -1 : PyObject_RichCompareBool(mode.get(), output_mode.get(), Py_EQ);
        Ref dims = is_output < 0 ? Ref() : pyglue::call_method(engine.get(), "get_tensor_shape", name.get());
        // A dynamic output dimension gets 1 until forward knows the real shape.
        Ref shape = dims ? shape_of(dims.get(), !is_input) : Ref();
        if (!shape) return false;
        if (is_input) {
            // The target batch is the 4-D input, whatever its name or position.
            const char* role = PyTuple_GET_SIZE(shape.get()) == 4 ? "target_name" : "source_name";
            if (!set_attr(self, role, name.get()) || PyDict_SetItem(d_inputs.get(), name.get(), Py_None) < 0)
                return false;
            continue;
        }
        Ref buf = pyglue::call_method_kw(cp, "empty", {shape.get()}, {{"dtype", float32.get()}});
        Ref data = buf ? attr(buf.get(), "data") : Ref();
        Ref ptr = data ? attr(data.get(), "ptr") : Ref();
        if (!ptr || PyDict_SetItem(d_outputs.get(), name.get(), buf.get()) < 0 ||
            !expect_true(pyglue::call_method(ctx.get(), "set_tensor_address", name.get(), ptr.get()),
                         "TensorRT refused the buffer address for output tensor %R", name.get()))
            return false;
        if (is_output && PyList_Append(output_names.get(), name.get()) < 0) return false;
    }
    if (PyErr_Occurred()) return false;

    Ref target = attr(self, "target_name");
    Ref source = target ? attr(self, "source_name") : Ref();
    if (!source) return false;
    const int has_target = PyObject_IsTrue(target.get());
    const int has_source = has_target < 0 ? -1 : PyObject_IsTrue(source.get());
    if (has_source < 0) return false;
    if (!has_target || !has_source) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to detect target/source bindings");
        return false;
    }
    return set_attr(self, "input_mean", real(0.0).get()) && set_attr(self, "input_std", real(1.0).get()) &&
           set_attr(self, "output_names", output_names.get());
}

// Runs `work` (returning a Ref, empty on error) inside the context manager `context`,
// which is left on every exit; an error of `work` wins over one from leaving it.
template <class Work>
Ref within(PyObject* context, Work work) {
    if (!pyglue::call_method(context, "__enter__")) return Ref();
    Ref result = work();
    PyObject* failed = result ? nullptr : PyErr_GetRaisedException();
    Ref left = pyglue::call_method(context, "__exit__", Py_None, Py_None, Py_None);
    if (failed) {
        PyErr_Clear();
        PyErr_SetRaisedException(failed);
        return Ref();
    }
    return left ? result : Ref();
}

// `work` inside the device context cp.cuda.Device(int(self.device_id)).
template <class Work>
Ref on_device(PyObject* self, PyObject* cp, Work work) {
    Ref device_id = attr(self, "device_id");
    Ref ordinal = device_id ? Ref::steal(PyNumber_Long(device_id.get())) : Ref();
    Ref cuda = ordinal ? attr(cp, "cuda") : Ref();
    Ref device = cuda ? pyglue::call_method(cuda.get(), "Device", ordinal.get()) : Ref();
    return device ? within(device.get(), work) : Ref();
}

PyObject* trt_initialize(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "model_bytes", "device", "device_id"};
    static const pyglue::Params params{"initialize", names, 4, 4};
    PyObject* a[4];
    if (!pyglue::parse(params, args, nargs, kwnames, a) ||
        !pyglue::check_exact(a[1], &PyBytes_Type, "model_bytes") ||
        !pyglue::check_exact(a[2], &PyUnicode_Type, "device") ||
        !pyglue::check_exact(a[3], &PyUnicode_Type, "device_id"))
        return nullptr;
    PyObject* self = a[0];
    Ref trt = tensorrt(module);
    Ref cp = trt ? cupy(module) : Ref();
    if (!cp) return nullptr;
    // The object's own device_id picks the GPU (the parameters are accepted, not used).
    return on_device(self, cp.get(), [&] {
               return load_engine(self, trt.get(), cp.get(), a[1]) ? Ref::borrow(Py_None) : Ref();
           }).release();
}

// buf.data.ptr bound to tensor `name` of the context.
bool bind(PyObject* ctx, PyObject* name, PyObject* buf) {
    Ref data = attr(buf, "data");
    Ref ptr = data ? attr(data.get(), "ptr") : Ref();
    return ptr && expect_true(pyglue::call_method(ctx, "set_tensor_address", name, ptr.get()),
                              "TensorRT refused the buffer address for tensor %R", name);
}

// Makes sure `buffers[name]` is a device array of `shape`, allocating and re-binding it
// only when the shape changed. Buffers are float32 like every engine tensor (checked at
// load), so a caller's float64 array is converted by the fill, never reinterpreted.
Ref ensure_buffer(PyObject* self, PyObject* cp, PyObject* buffers, PyObject* name, PyObject* shape) {
    Ref buf = Ref::steal(PyObject_GetItem(buffers, name));
    if (!buf) return Ref();
    if (!is_none(buf)) {
        Ref current = attr(buf.get(), "shape");
        Ref current_shape = current ? shape_of(current.get()) : Ref();
        const int same = current_shape ? PyObject_RichCompareBool(current_shape.get(), shape, Py_EQ) : -1;
        if (same < 0) return Ref();
        if (same) return buf;
    }
    Ref dtype = attr(cp, "float32");
    Ref ctx = dtype ? attr(self, "ctx") : Ref();
    buf = ctx ? pyglue::call_method_kw(cp, "empty", {shape}, {{"dtype", dtype.get()}}) : Ref();
    if (!buf || PyObject_SetItem(buffers, name, buf.get()) < 0 || !bind(ctx.get(), name, buf.get())) return Ref();
    return buf;
}

bool set_input_shape(PyObject* ctx, PyObject* name, PyObject* shape) {
    return expect_true(pyglue::call_method(ctx, "set_input_shape", name, shape),
                       "TensorRT refused the input shape %R for tensor %R (the engine takes 1 to 32 "
                       "target images of its crop size)",
                       shape, name);
}

// forward's work, inside the object's device context.
Ref forward_on_device(PyObject* module, PyObject* self, PyObject* cp, PyObject* batch_in, PyObject* latent_in) {
    // Host arrays go to the GPU and the result comes back to the host.
    const int batch_on_gpu = is_cupy(module, batch_in);
    const int latent_on_gpu = batch_on_gpu < 0 ? -1 : is_cupy(module, latent_in);
    if (latent_on_gpu < 0) return Ref();
    Ref batch = batch_on_gpu ? Ref::borrow(batch_in) : pyglue::call_method(cp, "asarray", batch_in);
    Ref latent = latent_on_gpu ? Ref::borrow(latent_in) : pyglue::call_method(cp, "asarray", latent_in);
    Ref batch_dims = batch && latent ? attr(batch.get(), "shape") : Ref();
    Ref img_shape = batch_dims ? shape_of(batch_dims.get()) : Ref();
    const Py_ssize_t rows = img_shape ? first_dim(latent.get()) : -1;
    Ref lat_shape = rows >= 0 ? int_tuple({rows, kLatentWidth}) : Ref();
    // Filling the latent buffer would broadcast a (512,) array into (512, 512) unseen.
    Ref latent_dims = lat_shape ? attr(latent.get(), "shape") : Ref();
    Ref given = latent_dims ? shape_of(latent_dims.get()) : Ref();
    const int rows_of_512 = given ? PyObject_RichCompareBool(given.get(), lat_shape.get(), Py_EQ) : -1;
    if (rows_of_512 < 0) return Ref();
    if (!rows_of_512) {
        PyErr_Format(PyExc_ValueError, "latent must have shape (rows, 512), got %R", given.get());
        return Ref();
    }
    Ref target = attr(self, "target_name");
    Ref source = target ? attr(self, "source_name") : Ref();
    if (!source || !pyglue::check_assert(!is_none(target) && !is_none(source))) return Ref();

    Ref ctx = attr(self, "ctx");
    if (!ctx || !set_input_shape(ctx.get(), target.get(), img_shape.get()) ||
        !set_input_shape(ctx.get(), source.get(), lat_shape.get()))
        return Ref();

    // Inputs are filled on the caller's current stream.
    Ref d_inputs = attr(self, "d_inputs");
    Ref target_buf = d_inputs ? ensure_buffer(self, cp, d_inputs.get(), target.get(), img_shape.get())
                              : Ref();
    if (!target_buf || PyObject_SetItem(target_buf.get(), Py_Ellipsis, batch.get()) < 0) return Ref();
    Ref mean = attr(self, "input_mean");
    Ref std = mean ? attr(self, "input_std") : Ref();
    if (!std) return Ref();
    if (!is_float(mean.get(), 0.0)) {
        Ref r = Ref::steal(PyNumber_InPlaceSubtract(target_buf.get(), mean.get()));
        if (!r) return Ref();
    }
    if (!is_float(std.get(), 1.0)) {
        Ref r = Ref::steal(PyNumber_InPlaceTrueDivide(target_buf.get(), std.get()));
        if (!r) return Ref();
    }
    Ref source_buf = ensure_buffer(self, cp, d_inputs.get(), source.get(), lat_shape.get());
    if (!source_buf || PyObject_SetItem(source_buf.get(), Py_Ellipsis, latent.get()) < 0) return Ref();

    // Outputs take the shapes the context derives from the input shapes, so the engine
    // can never write past a buffer.
    Ref d_outputs = attr(self, "d_outputs");
    Ref out_names = d_outputs ? Ref::steal(PyMapping_Keys(d_outputs.get())) : Ref();
    if (!out_names) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out_names.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(out_names.get(), i);
        Ref dims = pyglue::call_method(ctx.get(), "get_tensor_shape", name);
        Ref shape = dims ? shape_of(dims.get()) : Ref();
        if (!shape) return Ref();
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(shape.get()); ++k) {
            if (PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), k)) >= 0) continue;
            PyErr_Format(PyExc_RuntimeError, "TensorRT reports no complete shape %R for output tensor %R",
                         shape.get(), name);
            return Ref();
        }
        if (!ensure_buffer(self, cp, d_outputs.get(), name, shape.get())) return Ref();
    }

    // The engine's stream waits for the input fills issued on the caller's stream.
    Ref stream = attr(self, "stream");
    Ref cuda = stream ? attr(cp, "cuda") : Ref();
    Ref event = cuda ? pyglue::call_method_kw(cuda.get(), "Event", {}, {{"disable_timing", Py_True}}) : Ref();
    Ref current = event ? pyglue::call_method(cuda.get(), "get_current_stream") : Ref();
    if (!current || !pyglue::call_method(event.get(), "record", current.get()) ||
        !pyglue::call_method(stream.get(), "wait_event", event.get()))
        return Ref();
    Ref stream_ptr = attr(stream.get(), "ptr");
    if (!stream_ptr || !expect_true(pyglue::call_method(ctx.get(), "execute_async_v3", stream_ptr.get()),
                                    "TensorRT failed to run the engine for target shape %R and latent shape %R",
                                    img_shape.get(), lat_shape.get()))
        return Ref();

    // The result is a copy, as the output buffer is reused by the next call. It is made on
    // the engine's stream, before the wait, so that it is complete on return whatever
    // stream the next call comes from.
    Ref output_names = attr(self, "output_names");
    Ref out_name = output_names ? Ref::steal(PySequence_GetItem(output_names.get(), 0)) : Ref();
    Ref out_buf = out_name ? Ref::steal(PyObject_GetItem(d_outputs.get(), out_name.get())) : Ref();
    Ref result = out_buf ? within(stream.get(), [&] { return pyglue::call_method(cp, "copy", out_buf.get()); })
                         : Ref();
    if (!result || !pyglue::call_method(stream.get(), "synchronize")) return Ref();
    if (batch_on_gpu) return result;
    return pyglue::call_method(cp, "asnumpy", result.get());
}

// The whole pass runs in the object's device context, so that buffers, the event and the
// caller's current stream (read inside it) are on the engine's GPU whatever device is
// current at the call.
PyObject* trt_forward(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "batch", "latent"};
    static const pyglue::Params params{"forward", names, 3, 3};
    PyObject* a[3];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return nullptr;
    Ref cp = cupy(module);
    if (!cp) return nullptr;
    return on_device(a[0], cp.get(), [&] { return forward_on_device(module, a[0], cp.get(), a[1], a[2]); })
        .release();
}

PyMethodDef trt_methods[] = {
    {"__init__", pyglue::fastcall(trt_init), METH_FASTCALL | METH_KEYWORDS,
     "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
     "Load a TensorRT engine: model_bytes as a serialised engine, else the \".trt\" file\n"
     "beside the ONNX file at model_path, built from the ONNX file on first use."},
    {"initialize", pyglue::fastcall(trt_initialize), METH_FASTCALL | METH_KEYWORDS,
     "initialize(self, model_bytes, device, device_id)\n--\n\n"
     "Deserialise the engine on the object's GPU and create its execution context, CUDA\n"
     "stream and output buffers; the 4-D input is the target batch, the other the latent.\n"
     "Every engine input and output must be float32 (RuntimeError otherwise)."},
    {"forward", pyglue::fastcall(trt_forward), METH_FASTCALL | METH_KEYWORDS,
     "forward(self, batch, latent)\n--\n\n"
     "Run the engine on the NCHW batch (normalised by input_mean and input_std) and the\n"
     "latent rows on the object's GPU and stream, whatever device is current; returns a\n"
     "new array with the swapped batch."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- module

constexpr const char* kBaseDoc =
    "\n    Base class for face swapping models.\n\n"
    "    Performs face identity transfer by swapping facial features\n"
    "    from a source identity onto a target face image.\n    ";

int exec_module(PyObject* module) {
    if (!pyglue::bind_import(module, "os", "os") || !pyglue::bind_import(module, "cupy", "cp", true) ||
        !pyglue::bind_import(module, "onnxruntime", "onnxruntime", true) ||
        !pyglue::bind_import(module, "rasterkit", "rk"))
        return -1;
    Ref base = Ref::steal(PyImport_ImportModule("kestrel.base"));
    Ref loader = base ? attr(base.get(), "BaseModelLoader") : Ref();
    // TensorRT is imported when a TrtFaceSwap first needs it.
    if (!loader || PyModule_AddObjectRef(module, "BaseModelLoader", loader.get()) < 0 ||
        !pyglue::bind_import(module, "numpy", "np") || PyModule_AddObjectRef(module, "trt", Py_None) < 0)
        return -1;
    if (!pyglue::add_class(module, "BaseFaceSwap", loader.get(), kBaseDoc, base_methods)) return -1;
    Ref face_swap = pyglue::global(module, "BaseFaceSwap");
    if (!face_swap || !pyglue::add_class(module, "OnnxFaceSwap", face_swap.get(), "", onnx_methods) ||
        !pyglue::add_class(module, "TrtFaceSwap", face_swap.get(),
                           "Face swapper using TensorRT for high-performance face identity transfer.", trt_methods))
        return -1;
    // OnnxFaceSwap has no docstring of its own.
    Ref onnx_class = pyglue::global(module, "OnnxFaceSwap");
    return onnx_class && PyObject_SetAttrString(onnx_class.get(), "__doc__", Py_None) == 0 ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.swap",
                          "Face swap: an identity latent onto aligned target face crops, on ONNX Runtime "
                          "or TensorRT.",
                          0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_swap() { return PyModuleDef_Init(&module_def); }
