// The earlier C API style of the glue (failures returned as NULL, false or -1 with a
// Python exception set), kept only for the modules not yet moved to the exception-based
// layer in pyglue.hpp. Removed once the last of them has moved.
#pragma once

#include "pyglue.hpp"

#include <initializer_list>

namespace pyglue::legacy {

// ---------------------------------------------------------------- arguments

// Parameters of one callable, in positional order. For methods `self` is the first
// name, so counts in messages include it, as they do for Python-level methods.
struct Params {
    const char* func;                  // name shown in messages, e.g. "get"
    const char* const* names;          // parameter names
    Py_ssize_t count;                  // number of names
    Py_ssize_t required;               // the first `required` names have no default
};

// Parses METH_FASTCALL | METH_KEYWORDS arguments into out[0 .. count-1] (borrowed
// references; nullptr where an optional argument was not given).
inline bool parse(const Params& p, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out) {
    auto count_error = [&](Py_ssize_t given) {
        const bool exact = p.required == p.count;
        const bool too_many = given > p.count;
        const Py_ssize_t expected = too_many ? p.count : p.required;
        const char* how = exact ? "exactly" : (too_many ? "at most" : "at least");
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     p.func, how, expected, expected == 1 ? "" : "s", given);
        return false;
    };
    if (nargs > p.count) return count_error(nargs);
    for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < p.count && PyUnicode_CompareWithASCIIString(key, p.names[i]) != 0) ++i;
        if (i == p.count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.func, key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.func, key);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < p.required; ++i)
        if (!out[i]) return count_error(nargs);
    return true;
}

// Exact-type check: bool is not int and subclasses of built-in types are refused.
inline bool check_exact(PyObject* value, PyTypeObject* type, const char* name, bool none_ok = false) {
    if (Py_IS_TYPE(value, type) || (none_ok && value == Py_None)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, type->tp_name, Py_TYPE(value)->tp_name);
    if (PyObject_TypeCheck(value, type)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* res = PyObject_CallMethod(exc, "add_note", "s",
                                            "Note that subclasses of built-in types are refused; "
                                            "pass an instance of the built-in type itself.");
        Py_XDECREF(res);
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    return false;
}

// True unless the interpreter runs with -O (sys.flags.optimize > 0), like `assert`.
inline bool assertions_enabled() {
    static int enabled = -1;
    if (enabled < 0) {
        PyObject* flags = PySys_GetObject("flags");  // borrowed
        Ref opt = flags ? Ref::steal(PyObject_GetAttrString(flags, "optimize")) : Ref();
        enabled = !(opt && PyLong_Check(opt.get()) && PyLong_AsLong(opt.get()) > 0);
        PyErr_Clear();
    }
    return enabled != 0;
}

// Raises AssertionError(message) when `ok` is false and assertions are enabled.
inline bool check_assert(bool ok, const char* message = nullptr) {
    if (ok || !assertions_enabled()) return true;
    if (message)
        PyErr_SetString(PyExc_AssertionError, message);
    else
        PyErr_SetNone(PyExc_AssertionError);
    return false;
}

// ---------------------------------------------------------------- module globals

// Looks `name` up in the module's namespace (then builtins) at call time, so callers
// and tests can replace a module global such as `np` or `rk`.
inline Ref global(PyObject* module, const char* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* v = nullptr;
    if ((v = PyDict_GetItemString(dict, name), Py_XINCREF(v), false)) return Ref();
    if (v) return Ref::steal(v);
    if ((v = PyDict_GetItemString(PyEval_GetBuiltins(), name), Py_XINCREF(v), false))
        return Ref();
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return Ref();
    }
    return Ref::steal(v);
}

// Imports `name` into the module's namespace as `as`; with `optional`, a missing
// package binds None instead of failing (CuPy, ONNX Runtime, TensorRT).
inline bool bind_import(PyObject* module, const char* name, const char* as, bool optional = false) {
    Ref mod = Ref::steal(PyImport_ImportModule(name));
    if (!mod) {
        if (!optional || !PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        PyErr_Clear();
        mod = Ref::borrow(Py_None);
    }
    return PyModule_AddObjectRef(module, as, mod.get()) == 0;
}

// Calls `obj.name(*args)` with borrowed arguments.
template <class... A>
Ref call_method(PyObject* obj, const char* name, A... args) {
    Ref n = Ref::steal(PyUnicode_InternFromString(name));
    if (!n) return Ref();
    PyObject* argv[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(n.get(), argv, 1 + sizeof...(A), nullptr));
}

// Calls `callable(*args)` with borrowed arguments.
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---------------------------------------------------------------- classes

// Builds an ordinary Python class `type(name, (base,), namespace)` whose methods are the
// given C functions (METH_FASTCALL | METH_KEYWORDS, `self` arriving as args[0]).
// Each docstring starts with "name(self, ...)\n--\n\n" so that inspect.signature works.
// Instances get a __dict__, subclasses may override any method, and the class is added
// to the module.
inline bool add_class(PyObject* module, const char* name, PyObject* base, const char* doc,
                      PyMethodDef* methods) {
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    Ref ns = Ref::steal(PyDict_New());
    if (!modname || !ns) return false;
    Ref docstr = Ref::steal(PyUnicode_FromString(doc));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!docstr || !qualname || PyDict_SetItemString(ns.get(), "__doc__", docstr.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0)
        return false;
    for (PyMethodDef* m = methods; m && m->ml_name; ++m) {
        Ref fn = Ref::steal(PyCMethod_New(m, module, modname.get(), nullptr));
        Ref im = fn ? Ref::steal(PyInstanceMethod_New(fn.get())) : Ref();
        if (!im || PyDict_SetItemString(ns.get(), m->ml_name, im.get()) < 0) return false;
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base ? base : reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref cls = bases ? Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                       name, bases.get(), ns.get()))
                    : Ref();
    return cls && PyModule_AddObjectRef(module, name, cls.get()) == 0;
}

// ---------------------------------------------------------------- arrays

// The module global `cp` when `array` is a CuPy array, else the module global `np`:
// the array module follows the input.
inline Ref array_module(PyObject* module, PyObject* array) {
    Ref cp = global(module, "cp");
    if (!cp) return Ref();
    if (cp.get() != Py_None) {
        Ref ndarray = Ref::steal(PyObject_GetAttrString(cp.get(), "ndarray"));
        if (!ndarray) return Ref();
        int is_cupy = PyObject_IsInstance(array, ndarray.get());
        if (is_cupy < 0) return Ref();
        if (is_cupy) return cp;
    }
    return global(module, "np");
}

// ---------------------------------------------------------------- keyword calls

// One keyword argument of call_kw: its name and a borrowed value.
struct Kw {
    const char* name;
    PyObject* value;
};

// Calls `callable(*args, **kwargs)` with borrowed values, keywords in the order given:
// call_kw(f, {x}, {{"axis", zero}}). A null value (left by a failed earlier step, its
// exception still set) fails the call.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
                   std::initializer_list<Kw> kwargs) {
    constexpr size_t kMaxArgs = 16;  // the most any call in the package passes
    if (args.size() + kwargs.size() > kMaxArgs) {
        PyErr_SetString(PyExc_SystemError, "call_kw: too many arguments");
        return Ref();
    }
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    if (!kwnames) return Ref();
    PyObject* argv[1 + kMaxArgs] = {nullptr};
    size_t n = 1;
    for (PyObject* a : args) {
        if (!a) return Ref();
        argv[n++] = a;
    }
    Py_ssize_t k = 0;
    for (const Kw& kw : kwargs) {
        if (!kw.value) return Ref();
        PyObject* name = PyUnicode_InternFromString(kw.name);
        if (!name) return Ref();
        PyTuple_SET_ITEM(kwnames.get(), k++, name);
        argv[n++] = kw.value;
    }
    const size_t nargs = args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, nargs, k ? kwnames.get() : nullptr));
}

// Calls `obj.name(*args, **kwargs)` with borrowed values.
inline Ref call_method_kw(PyObject* obj, const char* name, std::initializer_list<PyObject*> args,
                          std::initializer_list<Kw> kwargs) {
    Ref method = Ref::steal(PyObject_GetAttrString(obj, name));
    return method ? call_kw(method.get(), args, kwargs) : Ref();
}

// ---------------------------------------------------------------- shapes and host copies

// Reads the first `count` entries of `array.shape` into dims; ValueError naming `what`
// when the array has fewer dimensions.
inline bool leading_dims(PyObject* array, const char* what, Py_ssize_t* dims, Py_ssize_t count) {
    Ref shape = Ref::steal(PyObject_GetAttrString(array, "shape"));
    if (!shape) return false;
    const Py_ssize_t ndim = PySequence_Size(shape.get());
    if (ndim < 0) return false;
    if (ndim < count) {
        PyErr_Format(PyExc_ValueError, "%s must have at least %zd dimensions, got %zd", what, count, ndim);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref d = Ref::steal(PySequence_GetItem(shape.get(), i));
        dims[i] = d ? PyNumber_AsSsize_t(d.get(), PyExc_OverflowError) : -1;
        if (dims[i] == -1 && PyErr_Occurred()) return false;
    }
    return true;
}

// `array` as a C-contiguous NumPy array of `dtype` (a NumPy dtype or its name); a CuPy
// array is copied to the host first (module globals `cp` and `np`).
inline Ref host_array(PyObject* module, PyObject* array, PyObject* dtype) {
    Ref np = global(module, "np");
    Ref xp = array_module(module, array);
    if (!np || !xp) return Ref();
    Ref host = xp.get() == np.get() ? Ref::borrow(array) : call_method(xp.get(), "asnumpy", array);
    if (!host) return Ref();
    return call_method_kw(np.get(), "ascontiguousarray", {host.get()}, {{"dtype", dtype}});
}

}  // namespace pyglue::legacy
