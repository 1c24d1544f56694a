// The machinery the three model modules share, compiled into each of them (each stays
// its own extension module): ONNX Runtime sessions, and for TensorRT the engine file
// beside the ONNX model (located, built on first use, rebuilt when its build record no
// longer matches), deserialisation with clear errors, execution context, the object's
// own stream and device, device buffers sized from what the engine reports and bound to
// the context, and one forward pass in the right stream order.
//
// What differs per model on purpose is a `Traits` value the module passes in; what a
// model's `initialize` discovers about its engine stays in the module, built from the
// pieces here.
#pragma once

#include "pyglue.hpp"

#include <string>
#include <vector>

#include <unistd.h>

namespace runtime {

using namespace pyglue;

// What the modules' TensorRT backends do differently on purpose.
struct Traits {
    const char* class_name;  // for messages: "TrtFaceSwap"
    // Where the engine comes from when both are possible: given bytes win and the path
    // logic derives an engine path from any model path (".onnx" <-> ".trt"); or a given
    // path wins over bytes and only a ".onnx" path is mapped to its engine.
    enum class Source { bytes_first, path_first } source;
    // The engine takes batches of any size in its profile (the input shape is set on
    // the context every call), or exactly the one shape it was built for.
    enum class Shapes { dynamic, fixed } shapes;
    // A failed enqueue: RuntimeError naming the shapes, or AssertionError(text).
    const char* execute_failure_assertion;  // nullptr: RuntimeError
    // initialize(model_bytes, device, device_id), or initialize(model_bytes) alone.
    bool initialize_takes_device;
    // The TensorRT logger and runtime kept as attributes `logger` and `runtime`.
    bool keeps_loader;
};

// ---------------------------------------------------------------- packages

inline Ref onnxruntime(PyObject* module, const char* class_name) {
    const std::string message = std::string(class_name) +
                                " needs ONNX Runtime: install kestrel with the 'cpu' extra (onnxruntime) or "
                                "the 'cuda' extra (onnxruntime-gpu), for example pip install 'kestrel[cpu]'";
    return require(module, "onnxruntime", "onnxruntime", message.c_str());
}

inline Ref cupy(PyObject* module, const char* class_name) {
    const std::string message = std::string(class_name) +
                                " needs CuPy: install kestrel with the 'cuda' extra (cupy-cuda13x), "
                                "pip install 'kestrel[cuda]'";
    return require(module, "cp", "cupy", message.c_str());
}

// TensorRT loads large libraries: the module global `trt` is imported on first use
// where the module does not bind it at import (a caller may also set it).
inline Ref tensorrt(PyObject* module, const char* class_name) {
    const std::string message = std::string(class_name) +
                                " needs TensorRT (package tensorrt): install kestrel with the 'tensorrt' "
                                "extra, pip install 'kestrel[tensorrt]'";
    return lazy_import(module, "trt", "tensorrt", message.c_str());
}

// ---------------------------------------------------------------- module and constructors

// The globals of a model module, in their published order: os, cp, onnxruntime, rk, trt,
// BaseModelLoader, then np for the CPU path. `trt` is bound at import (None when
// missing), or None until a TensorRT object first needs it. Returns BaseModelLoader.
inline Ref bind_model_globals(PyObject* module, bool trt_at_import) {
    bind_import(module, "os", "os");
    bind_import(module, "cupy", "cp", true);
    bind_import(module, "onnxruntime", "onnxruntime", true);
    bind_import(module, "rasterkit", "rk");
    if (trt_at_import)
        bind_import(module, "tensorrt", "trt", true);
    else
        add_global(module, "trt", none());
    Ref loader = Ref::own(PyImport_ImportModule("kestrel.base")).attr("BaseModelLoader");
    add_global(module, "BaseModelLoader", loader);
    bind_import(module, "numpy", "np");
    return loader;
}

// The arguments of every model class's constructor, (self, model_path=None,
// model_bytes=None, device="cuda"), checked before any work.
struct ModelArgs {
    Ref self, model_path, model_bytes, device;
};

inline ModelArgs model_args(const Args& args) {
    static const Signature<4> sig{"__init__", {"self", "model_path", "model_bytes", "device"}, 1};
    auto [self, model_path, model_bytes, device] = sig.parse(args);
    ModelArgs a{Ref::borrow(self), Ref::borrow(model_path ? model_path : Py_None),
                Ref::borrow(model_bytes ? model_bytes : Py_None), device ? Ref::borrow(device) : str("cuda")};
    check_exact(a.model_path.get(), &PyUnicode_Type, "model_path", true);
    check_exact(a.model_bytes.get(), &PyBytes_Type, "model_bytes", true);
    check_exact(a.device.get(), &PyUnicode_Type, "device");
    return a;
}

// BaseModelLoader.__init__(self, model_path, model_bytes, device), positionally.
inline void init_loader(PyObject* module, const ModelArgs& a) {
    global(module, "BaseModelLoader").attr("__init__")(a.self, a.model_path, a.model_bytes, a.device);
}

// ---------------------------------------------------------------- arrays

// The batch as a host array for ONNX Runtime: CuPy arrays are copied down.
inline Ref to_host(PyObject* module, const Ref& array) {
    return is_cupy(module, array) ? global(module, "cp").method("asnumpy", array) : array;
}

// `value` (a host array or a list of them) as an array of the module `like` lives in:
// the result follows the input, CuPy in, CuPy out; NumPy in, NumPy out.
inline Ref like_input(PyObject* module, const Ref& like, const Ref& value) {
    return array_module(module, like).method("asarray", value);
}

// ---------------------------------------------------------------- ONNX Runtime

// The session runs with fatal-only logging, so a CUDA provider that failed to load
// would fall back to the CPU unseen: say so, once per session.
inline void warn_if_cuda_missing(const Ref& session, PyObject* device) {
    Ref used = session.method("get_providers");
    if (ok_status(PySequence_Contains(used.get(), str("CUDAExecutionProvider").get()))) return;
    ok_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "device %R asked for CUDA, but ONNX Runtime runs the model with %R: the CUDA "
                               "execution provider could not be loaded (install the 'cuda' extra, "
                               "onnxruntime-gpu, and the CUDA libraries it needs)",
                               device, used.get()));
}

// onnxruntime.InferenceSession(model_bytes, ...) with fatal-only logging, on the CUDA
// provider (GPU device_id) when the device text contains "cuda", else on the CPU.
inline Ref onnx_session(PyObject* module, const char* class_name, PyObject* model_bytes, PyObject* device,
                        PyObject* device_id) {
    Ref ort = onnxruntime(module, class_name);
    if (ort.has_attr("preload_dlls")) ort.method("preload_dlls");  // older releases have none
    Ref options = ort.method("SessionOptions");
    options.set_attr("log_severity_level", 4);
    options.set_attr("log_verbosity_level", 4);
    const bool cuda = ok_status(PySequence_Contains(device, str("cuda").get())) != 0;
    Ref provider_options = dict();
    if (cuda) provider_options.set_item("device_id", device_id);
    Ref session = ort.method("InferenceSession", model_bytes, kw("sess_options", options),
                             kw("providers", list(cuda ? "CUDAExecutionProvider" : "CPUExecutionProvider")),
                             kw("provider_options", list(provider_options)));
    if (cuda) warn_if_cuda_missing(session, device);
    return session;
}

// The rest of an ONNX backend's constructor: the model bytes (given, else read from
// model_path), the published assertion when there are none, then self.initialize.
inline void onnx_load(PyObject* module, const Ref& self, const char* class_name) {
    onnxruntime(module, class_name);  // before any file is touched
    if (self.attr("model_bytes").is_none() && !self.attr("model_path").is_none())
        self.set_attr("model_bytes", read_file(module, self.attr("model_path")));
    check_assert(!self.attr("model_bytes").is_none(), "model_bytes must be provided if model_path is not specified");
    self.method("initialize", self.attr("model_bytes"), self.attr("device"), self.attr("device_id"));
}

// initialize(self, model_bytes, device, device_id="0") of an ONNX backend: arguments
// checked, then self.session created. Returns the object.
inline Ref onnx_initialize(PyObject* module, const Args& args, const char* class_name) {
    static const Signature<4> sig{"initialize", {"self", "model_bytes", "device", "device_id"}, 3};
    auto [self, model_bytes, device, device_id_] = sig.parse(args);
    Ref device_id = device_id_ ? Ref::borrow(device_id_) : str("0");
    check_exact(model_bytes, &PyBytes_Type, "model_bytes");
    check_exact(device, &PyUnicode_Type, "device");
    check_exact(device_id.get(), &PyUnicode_Type, "device_id");
    Ref obj = Ref::borrow(self);
    obj.set_attr("session", onnx_session(module, class_name, model_bytes, device, device_id.get()));
    return obj;
}

// The `name` of each entry of session.get_inputs() or get_outputs(), in model order.
inline Ref io_names(const Ref& io) {
    Ref names = list();
    for (const Ref& item : iterate(io)) append(names, item.attr("name"));
    return names;
}

// session.run(None, {self.input_name: batch}) with the batch on the host: every output
// of the model, as host arrays.
inline Ref onnx_run(PyObject* module, const Ref& self, const Ref& batch) {
    Ref feed = dict();
    feed.set_item(self.attr("input_name"), to_host(module, batch));
    return self.attr("session").method("run", none(), feed);
}

// ---------------------------------------------------------------- TensorRT engine files

// One call of the image library's engine builder, as the module makes it.
struct Build {
    enum class Kind { dynamic, fixed } kind;
    Ref kwargs;  // keyword arguments besides the paths, in call order
};

// The record written beside an engine: what it was built from and for.
inline Ref engine_record(PyObject* module, const Ref& self, const Ref& onnx_path, const Build& build,
                         const char* class_name) {
    Ref ordinal = Ref::own(PyNumber_Long(self.attr("device_id").get()));
    Ref hashlib = Ref::own(PyImport_ImportModule("hashlib"));
    Ref file = global(module, "open")(onnx_path, "rb");
    Ref digest = with(file, [&] { return hashlib.method("file_digest", file, "sha256").method("hexdigest"); });
    Ref cp = cupy(module, class_name);
    Ref name = cp.attr("cuda").attr("runtime").method("getDeviceProperties", ordinal)["name"];
    if (PyBytes_Check(name.get())) name = name.method("decode", "utf-8", "replace");
    Ref record = dict();
    record.set_item("onnx_sha256", digest);
    record.set_item("tensorrt", tensorrt(module, class_name).attr("__version__"));
    record.set_item("gpu", name);
    record.set_item("compute_capability", cp.attr("cuda").method("Device", ordinal).attr("compute_capability"));
    record.set_item("builder", build.kwargs);
    // As JSON gives it back: tuples become lists, so records compare equal.
    Ref json = Ref::own(PyImport_ImportModule("json"));
    return json.method("loads", json.method("dumps", record));
}

inline Ref record_path(const Ref& engine_path) { return engine_path + ".json"; }

// The stored record, or None when there is none (an engine made elsewhere) or it
// cannot be read as one.
inline Ref stored_record(PyObject* module, const Ref& engine_path) {
    Ref path = record_path(engine_path);
    if (!path_exists(module, path)) return none();
    Ref json = Ref::own(PyImport_ImportModule("json"));
    try {
        Ref file = global(module, "open")(path, "rb");
        Ref record = with(file, [&] { return json.method("load", file); });
        if (PyDict_Check(record.get())) return record;
    } catch (const python_error&) {
        PyErr_Clear();
    }
    return none();
}

// Written through a temporary file renamed into place, like the engine itself.
inline void write_record(PyObject* module, const Ref& engine_path, const Ref& record) {
    Ref path = record_path(engine_path);
    Ref os = global(module, "os");
    Ref tmp = path + Ref::own(PyUnicode_FromFormat(".%d.tmp", static_cast<int>(getpid())));
    Ref text = Ref::own(PyImport_ImportModule("json")).method("dumps", record, kw("indent", 1), kw("sort_keys", true));
    Ref file = global(module, "open")(tmp, "w");
    with(file, [&] { file.method("write", text); });
    os.method("replace", tmp, path);
}

// The keys whose values differ between two records, as "a, b".
inline Ref changed_keys(const Ref& stored, const Ref& current) {
    Ref keys = list();
    for (const Ref& key : iterate(current)) {
        PyObject* old = PyDict_GetItemWithError(stored.get(), key.get());
        if (!old && PyErr_Occurred()) throw python_error();
        if (!old || !current[key].equals(old)) append(keys, key);
    }
    return str(", ").method("join", keys);
}

// (device, inode, size, modification time) of the file at `path`, None where there is none.
inline Ref file_identity(PyObject* module, const Ref& path) {
    if (!path_exists(module, path)) return none();
    Ref st = global(module, "os").method("stat", path);
    return tuple(st.attr("st_dev"), st.attr("st_ino"), st.attr("st_size"), st.attr("st_mtime_ns"));
}

inline bool same_file(PyObject* module, const Ref& path, const Ref& identity) {
    return file_identity(module, path).equals(identity);
}

// Builds the engine at `engine_path` from `onnx_path` with the module's builder call
// (module global `rk`), then records what it was built from.
inline void build_engine(PyObject* module, const Ref& onnx_path, const Ref& engine_path, const Build& build,
                         const Ref& record) {
    Ref before = file_identity(module, engine_path);
    Ref rk = global(module, "rk");
    if (build.kind == Build::Kind::dynamic) {
        Ref builder = rk.attr("onnx_to_trt_dynamic_shape");
        Ref args = tuple(onnx_path, engine_path);
        Ref::own(PyObject_Call(builder.get(), args.get(), build.kwargs.get()));
    } else {
        Ref kwargs = dict();
        kwargs.set_item("onnx_path", onnx_path);
        kwargs.set_item("engine_path", engine_path);
        ok_status(PyDict_Update(kwargs.get(), build.kwargs.get()));
        Ref::own(PyObject_Call(rk.attr("onnx_to_trt_fixed_shape").get(), tuple().get(), kwargs.get()));
    }
    // Recorded only when the builder left a new file: one that kept the old engine in place
    // must not certify it.
    if (!record.is_none() && path_exists(module, engine_path) && !same_file(module, engine_path, before))
        write_record(module, engine_path, record);
}

// Makes sure an engine for `onnx_path` exists at `engine_path`: built when missing,
// rebuilt (saying why on stderr) when its record shows it was built from another ONNX
// file, by another TensorRT, for another GPU or with other builder settings. An engine
// without a record (made elsewhere) is used as it is.
inline void settle_engine(PyObject* module, const Ref& self, const Ref& onnx_path, const Ref& engine_path,
                          const Build& build, const char* class_name) {
    const bool onnx_exists = path_exists(module, onnx_path);
    Ref record = none();
    if (path_exists(module, engine_path)) {
        Ref stored = stored_record(module, engine_path);
        if (stored.is_none() || !onnx_exists) return;
        record = engine_record(module, self, onnx_path, build, class_name);
        Ref changed = changed_keys(stored, record);
        if (!changed.truthy()) return;
        Ref::own(PyImport_ImportModule("sys"))
            .attr("stderr")
            .method("write", Ref::own(PyUnicode_FromFormat("kestrel: rebuilding the TensorRT engine %U: it no longer "
                                                           "matches what it was built from (%U changed)\n",
                                                           engine_path.get(), changed.get())));
    } else if (onnx_exists) {
        record = engine_record(module, self, onnx_path, build, class_name);
    }
    build_engine(module, onnx_path, engine_path, build, record);
}

inline bool ends_with(const Ref& text, const char* suffix) {
    return ok_status(static_cast<int>(PyUnicode_Tailmatch(text.get(), str(suffix).get(), 0, PY_SSIZE_T_MAX, 1))) != 0;
}

inline Ref replace_all(const Ref& text, const char* from, const char* to) {
    return Ref::own(PyUnicode_Replace(text.get(), str(from).get(), str(to).get(), -1));
}

// The engine path for a model path that names the ONNX file or the engine (".onnx" and
// ".trt" are exchanged, every occurrence), settled as above when the ONNX file is
// there. FileNotFoundError naming both when neither exists.
inline Ref engine_beside_model(PyObject* module, const Ref& self, const Ref& model_path, const Build& build,
                               const char* class_name) {
    const bool is_onnx = ends_with(model_path, ".onnx");
    Ref onnx_path = is_onnx ? model_path : replace_all(model_path, ".trt", ".onnx");
    Ref trt_path = is_onnx ? replace_all(model_path, ".onnx", ".trt") : model_path;
    const bool trt_exists = path_exists(module, trt_path);
    if (path_exists(module, onnx_path)) {
        settle_engine(module, self, onnx_path, trt_path, build, class_name);
    } else if (!trt_exists) {
        // Tested again for the message, as the files may have changed meanwhile.
        const bool onnx_now = path_exists(module, onnx_path);
        const bool trt_now = path_exists(module, trt_path);
        raise(PyExc_FileNotFoundError, "Model file not found: onnx: %U:%s, trt: %U:%s", onnx_path.get(),
              onnx_now ? "True" : "False", trt_path.get(), trt_now ? "True" : "False");
    }
    return trt_path;
}

// Where an object's engine came from: its bytes, the engine file they were read from
// and the ONNX model that file is built from (each None where there is none).
struct EngineSource {
    Ref bytes, path, onnx_path;
};

// The serialised engine the object is initialised with, from its model_path and
// model_bytes as the traits say. With bytes first the object's model_path and
// model_bytes then name the engine file and hold its bytes; with the path first they
// keep what the caller gave.
inline EngineSource engine_source(PyObject* module, const Ref& self, const Traits& traits, const Build& build) {
    EngineSource src{self.attr("model_bytes"), none(), none()};
    Ref model_path = self.attr("model_path");
    if (traits.source == Traits::Source::path_first) {
        if (!model_path.is_none()) {
            check_exact(model_path.get(), &PyUnicode_Type, "model_path");
            src.path = model_path;
            if (ends_with(model_path, ".onnx")) {
                src.onnx_path = model_path;
                src.path = replace_all(model_path, ".onnx", ".trt");
                settle_engine(module, self, src.onnx_path, src.path, build, traits.class_name);
                if (!path_exists(module, src.path))
                    raise(PyExc_FileNotFoundError, "Failed to convert ONNX model to TensorRT engine: %U",
                          src.path.get());
            }
            src.bytes = read_file(module, src.path);
        }
        if (src.bytes.is_none())
            raise(PyExc_ValueError, "model_bytes must be provided if model_path is not specified");
        return src;
    }
    if (!src.bytes.is_none()) return src;  // a serialised engine
    if (model_path.is_none())
        raise(PyExc_ValueError, "model_bytes must be provided if model_path is not specified");
    check_exact(model_path.get(), &PyUnicode_Type, "model_path");
    src.path = engine_beside_model(module, self, model_path, build, traits.class_name);
    src.onnx_path = ends_with(model_path, ".onnx") ? model_path : replace_all(model_path, ".trt", ".onnx");
    self.set_attr("model_path", src.path);
    if (!path_exists(module, src.path)) raise(PyExc_FileNotFoundError, "Model file not found: %S", src.path.get());
    src.bytes = read_file(module, src.path);
    self.set_attr("model_bytes", src.bytes);
    return src;
}

// Replaces a failed deserialisation of an engine read from a file by an error that
// names the file and the way out: a cached engine is rebuilt once it is gone, as long as
// its ONNX model is there to build it from.
inline void explain_unloadable_engine(PyObject* module, const Ref& self, const EngineSource& src) {
    PyObject* failed = PyErr_GetRaisedException();
    PyObject* engine = PyObject_GetAttrString(self.get(), "engine");
    const bool unloadable = engine == Py_None;
    Py_XDECREF(engine);
    PyErr_Clear();
    if (!unloadable) {
        PyErr_SetRaisedException(failed);
        return;
    }
    bool can_rebuild = false;
    if (!src.onnx_path.is_none()) {
        try {
            can_rebuild = path_exists(module, src.onnx_path);
        } catch (const python_error&) {
            PyErr_Clear();  // only the hint is lost
        }
    }
    const char* cause = "it was built by another TensorRT version or for another GPU, or it is damaged";
    if (can_rebuild)
        PyErr_Format(PyExc_RuntimeError,
                     "TensorRT cannot load the engine file '%U': %s. Delete it and the next construction rebuilds "
                     "it from the ONNX model beside it.",
                     src.path.get(), cause);
    else if (!src.onnx_path.is_none())
        PyErr_Format(PyExc_RuntimeError,
                     "TensorRT cannot load the engine file '%U': %s. Rebuild it for this TensorRT version and GPU, "
                     "or replace it with such an engine (there is no ONNX model '%U' to rebuild it from).",
                     src.path.get(), cause, src.onnx_path.get());
    else
        PyErr_Format(PyExc_RuntimeError,
                     "TensorRT cannot load the engine file '%U': %s. Rebuild it for this TensorRT version and GPU, "
                     "or replace it with such an engine.",
                     src.path.get(), cause);
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, failed);
    PyErr_SetRaisedException(exc);
}

// self.initialize(*args) for an engine from `src`: one read from a file that TensorRT
// cannot load is reported with the file and the way out.
template <class... A>
void initialize_engine(PyObject* module, const Ref& self, const EngineSource& src, A&&... args) {
    try {
        self.method("initialize", std::forward<A>(args)...);
    } catch (const python_error&) {
        if (!src.path.is_none()) explain_unloadable_engine(module, self, src);
        throw;
    }
}

// The rest of a TensorRT backend's constructor: TensorRT and CuPy checked before any
// file is touched, the engine found (or built) as the traits say, then self.initialize.
inline void trt_load(PyObject* module, const Ref& self, const Traits& traits, const Build& build) {
    tensorrt(module, traits.class_name);
    cupy(module, traits.class_name);
    EngineSource src = engine_source(module, self, traits, build);
    if (traits.initialize_takes_device)
        initialize_engine(module, self, src, src.bytes, self.attr("device"), self.attr("device_id"));
    else
        initialize_engine(module, self, src, src.bytes);
}

// ---------------------------------------------------------------- TensorRT objects

// cp.cuda.Device(int(self.device_id)): the object's GPU, whether its ordinal is text or int.
inline Ref device_of(const Ref& cp, const Ref& self) {
    return cp.attr("cuda").method("Device", Ref::own(PyNumber_Long(self.attr("device_id").get())));
}

// The deserialised engine, its execution context and a new stream (created on the
// current device), with clear errors where TensorRT returns nothing. `keep` receives the
// logger and runtime as attributes when it is not None.
struct Engine {
    Ref engine, ctx, stream;
};

inline Engine open_engine(const Ref& trt, const Ref& cp, PyObject* model_bytes, const Ref& self, bool keep_loader) {
    Ref logger = trt.attr("Logger")(trt.attr("Logger").attr("WARNING"));
    Ref runtime = trt.attr("Runtime")(logger);
    if (keep_loader) {
        self.set_attr("logger", logger);
        self.set_attr("runtime", runtime);
    }
    Engine e;
    e.engine = runtime.method("deserialize_cuda_engine", model_bytes);
    self.set_attr("engine", e.engine);
    if (e.engine.is_none())
        raise(PyExc_RuntimeError,
              "TensorRT cannot deserialise the engine: it was built by another TensorRT version or for "
              "another GPU, or it is damaged");
    e.ctx = e.engine.method("create_execution_context");
    if (e.ctx.is_none()) raise(PyExc_RuntimeError, "TensorRT could not create an execution context for the engine");
    self.set_attr("ctx", e.ctx);
    e.stream = cp.attr("cuda").method("Stream");
    self.set_attr("stream", e.stream);
    return e;
}

// One I/O tensor of an engine, as the engine declares it.
struct Tensor {
    Ref name;
    bool is_input;
    std::vector<Py_ssize_t> shape;  // -1 where dynamic
    Ref dtype;                      // TensorRT's data type
};

inline std::vector<Tensor> tensors(const Ref& trt, const Ref& engine) {
    Ref input = trt.attr("TensorIOMode").attr("INPUT");
    std::vector<Tensor> out;
    for (const Ref& name : iterate(engine))
        out.push_back({name, engine.method("get_tensor_mode", name).equals(input),
                       dims(engine.method("get_tensor_shape", name)), engine.method("get_tensor_dtype", name)});
    return out;
}

// The NumPy element type of a tensor; TensorRT has none for bfloat16 or the FP8/FP4 types.
inline Ref element_type(const Ref& trt, const Tensor& t) {
    try {
        return trt.method("nptype", t.dtype);
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyErr_Clear();
        raise(PyExc_RuntimeError,
              "TensorRT engine tensor %R has type %S, which has no array element type: rebuild the engine "
              "from a model with float32 inputs and outputs",
              t.name.get(), t.dtype.get());
    }
}

// A shape with every dynamic (negative) or zero dimension taken as 1.
inline Ref at_least_one(const std::vector<Py_ssize_t>& shape) {
    std::vector<Py_ssize_t> s(shape);
    for (Py_ssize_t& d : s) d = d < 1 ? 1 : d;
    return int_tuple(s.begin(), s.end());
}

// Binds `buffer` to tensor `name` of the context; RuntimeError when TensorRT refuses.
inline void bind(const Ref& ctx, const Ref& name, const Ref& buffer) {
    if (!ctx.method("set_tensor_address", name, buffer.attr("data").attr("ptr")).truthy())
        raise(PyExc_RuntimeError, "TensorRT refused the buffer address for tensor %R", name.get());
}

// A new device buffer of `shape` and `dtype`, bound to tensor `name`.
inline Ref bound_buffer(const Ref& cp, const Ref& ctx, const Ref& name, const Ref& shape, const Ref& dtype) {
    Ref buffer = cp.method("empty", shape, kw("dtype", dtype));
    bind(ctx, name, buffer);
    return buffer;
}

// buffers[name], replaced by a new bound buffer of `shape` when it is None or has
// another shape; the same buffer (no allocation, no binding) otherwise.
inline Ref ensure_buffer(const Ref& cp, const Ref& ctx, const Ref& buffers, const Ref& name, const Ref& shape,
                         const Ref& dtype) {
    Ref buffer = buffers[name];
    if (!buffer.is_none() && Ref::own(PySequence_Tuple(buffer.attr("shape").get())).equals(shape)) return buffer;
    buffer = bound_buffer(cp, ctx, name, shape, dtype);
    buffers.set_item(name, buffer);
    return buffer;
}

// One input of a forward pass: the array, and the (mean, std) normalisation applied
// while it is copied in (None for none).
struct Input {
    Ref name;
    Ref array;
    Ref mean = none(), std = none();
};

// What a TensorRT backend's initialize works with once its engine is open.
struct Opened {
    Ref self, trt, cp;
    Engine e;
    Ref d_inputs, d_outputs;  // empty dicts, already set on the object
};

// A TensorRT backend's initialize: the arguments checked (model_bytes, and the device
// texts where the traits take them: accepted, not used, as the object's own device_id
// picks the GPU), then on that GPU the engine opened and `discover(opened)` run to find
// the engine's tensors and fill d_inputs and d_outputs.
template <class Discover>
Ref trt_initialize(PyObject* module, const Args& args, const Traits& traits, Discover&& discover) {
    static const Signature<4> with_device{"initialize", {"self", "model_bytes", "device", "device_id"}, 4};
    static const Signature<2> bytes_only{"initialize", {"self", "model_bytes"}, 2};
    PyObject *self_, *model_bytes;
    if (traits.initialize_takes_device) {
        auto a = with_device.parse(args);
        self_ = a[0], model_bytes = a[1];
        check_exact(a[1], &PyBytes_Type, "model_bytes");
        check_exact(a[2], &PyUnicode_Type, "device");
        check_exact(a[3], &PyUnicode_Type, "device_id");
    } else {
        auto a = bytes_only.parse(args);
        self_ = a[0], model_bytes = a[1];
        check_exact(a[1], &PyBytes_Type, "model_bytes");
    }
    Ref self = Ref::borrow(self_);
    Ref trt = tensorrt(module, traits.class_name);
    Ref cp = cupy(module, traits.class_name);
    with(device_of(cp, self), [&] {
        Opened o{self, trt, cp, open_engine(trt, cp, model_bytes, self, traits.keeps_loader), dict(), dict()};
        self.set_attr("d_inputs", o.d_inputs);
        self.set_attr("d_outputs", o.d_outputs);
        discover(o);
    });
    return none();
}

// A float value equal to `v`: normalisation by 0.0 and 1.0 is skipped, which gives the
// same bits and saves two passes over the batch.
inline bool is_float(const Ref& x, double v) { return PyFloat_CheckExact(x.get()) && PyFloat_AS_DOUBLE(x.get()) == v; }

// The forward pass of a TensorRT object, on its GPU whatever device is current:
// 1. for a dynamic engine, the input shapes are set on the context (a refused shape
//    is a RuntimeError); a fixed engine takes exactly its built shape and element type
//    (ValueError otherwise, before anything is copied);
// 2. input buffers (the engine's element types) are reused while their shapes hold,
//    else replaced and re-bound, and filled on the caller's current stream;
// 3. for a dynamic engine, output buffers take the shapes the context reports;
// 4. the engine's stream waits for the fills, runs the engine (a failed enqueue is an
//    error), copies output buffer `result_index` of d_outputs, in engine order (negative
//    counts from the end), and is synchronised, so the copy is complete on return.
// Host inputs are uploaded and the result comes back to the host.
inline Ref forward(PyObject* module, const Ref& self, const Traits& traits, std::vector<Input> inputs,
                   Py_ssize_t result_index) {
    Ref cp = cupy(module, traits.class_name);
    Ref trt = tensorrt(module, traits.class_name);
    const bool on_gpu = is_cupy(module, inputs.front().array);
    return with(device_of(cp, self), [&] {
        Ref ctx = self.attr("ctx"), engine = self.attr("engine"), d_inputs = self.attr("d_inputs");
        for (Input& in : inputs) {
            // On the object's GPU, after the work that made a GPU array on its own device.
            in.array = is_cupy(module, in.array) ? to_current_device(module, cp, in.array)
                                                 : cp.method("asarray", in.array);
            Ref shape = Ref::own(PySequence_Tuple(in.array.attr("shape").get()));
            Ref dtype = trt.method("nptype", engine.method("get_tensor_dtype", in.name));
            if (traits.shapes == Traits::Shapes::dynamic) {
                if (!ctx.method("set_input_shape", in.name, shape).truthy())
                    raise(PyExc_RuntimeError, "TensorRT refused the input shape %R for tensor %R of %s", shape.get(),
                          in.name.get(), traits.class_name);
            } else {
                Ref built = Ref::own(PySequence_Tuple(engine.method("get_tensor_shape", in.name).get()));
                Ref given = in.array.attr("dtype");
                Ref wanted = global(module, "np").method("dtype", dtype);
                if (!shape.equals(built) || !given.equals(wanted))
                    raise(PyExc_ValueError, "%s takes batches of shape %R and type %S for tensor %R, got %R and %S",
                          traits.class_name, built.get(), wanted.get(), in.name.get(), shape.get(), given.get());
            }
            Ref buffer = ensure_buffer(cp, ctx, d_inputs, in.name, shape, dtype);
            buffer.set_item(Py_Ellipsis, in.array);
            if (!in.mean.is_none() && !is_float(in.mean, 0.0)) buffer -= in.mean;
            if (!in.std.is_none() && !is_float(in.std, 1.0)) buffer /= in.std;
        }
        Ref d_outputs = self.attr("d_outputs");
        Ref out_names = Ref::own(PyMapping_Keys(d_outputs.get()));
        if (traits.shapes == Traits::Shapes::dynamic) {
            for (const Ref& name : iterate(out_names)) {
                std::vector<Py_ssize_t> shape = dims(ctx.method("get_tensor_shape", name));
                for (Py_ssize_t d : shape)
                    if (d < 0)
                        raise(PyExc_RuntimeError, "TensorRT reports no complete shape for output tensor %R",
                              name.get());
                ensure_buffer(cp, ctx, d_outputs, name, int_tuple(shape.begin(), shape.end()),
                              d_outputs[name].attr("dtype"));
            }
        }

        // The engine's stream waits for the input fills issued on the caller's stream.
        Ref stream = self.attr("stream");
        Ref cuda = cp.attr("cuda");
        Ref event = cuda.method("Event", kw("disable_timing", true));
        event.method("record", cuda.method("get_current_stream"));
        stream.method("wait_event", event);
        if (!ctx.method("execute_async_v3", stream.attr("ptr")).truthy()) {
            if (traits.execute_failure_assertion)
                raise(PyExc_AssertionError, "%s", traits.execute_failure_assertion);
            Ref shapes = list();
            for (const Input& in : inputs) append(shapes, Ref::own(PySequence_Tuple(in.array.attr("shape").get())));
            raise(PyExc_RuntimeError, "TensorRT failed to run the engine of %s for input shapes %R", traits.class_name,
                  shapes.get());
        }
        // A copy, as the output buffer is reused by the next call; made on the engine's
        // stream before it is synchronised, so it is complete whatever stream comes next.
        const Py_ssize_t at = result_index < 0 ? out_names.len() + result_index : result_index;
        Ref result = with(stream, [&] { return cp.method("copy", d_outputs[out_names[at]]); });
        stream.method("synchronize");
        return on_gpu ? result : cp.method("asnumpy", result);
    });
}

}  // namespace runtime
