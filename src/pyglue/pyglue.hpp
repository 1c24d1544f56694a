// Thin C++ layer over the CPython C API shared by every kestrel extension module.
//
// Inside a module, failures travel as C++ exceptions: every operation on the owning
// handle `Ref` (attribute access, calls, item access, arithmetic) throws `python_error`
// when CPython reports an error, and `raise` sets an exception of our own and throws. One
// boundary per entry point (`def`, `guard`) turns that back into "NULL with an exception
// set", and any other C++ exception (std::bad_alloc included) into a Python exception, so
// no C++ exception ever reaches the interpreter. A function then reads in the order of
// the Python it implements, one step a line:
//
//     Ref rk = global(module, "rk");
//     Ref batch = rk.method("images_to_batch", images, kw("std", std), kw("swap_rb", true));
//
// Also here: argument parsing with the published error texts, exact type checks,
// assertions that follow `python -O`, call-time lookup of module globals, optional
// packages, classes built from C functions, host buffers and the array-module choice.
// Builds against CPython 3.12 and 3.13.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace pyglue {

// ---------------------------------------------------------------- errors

// Thrown when a Python exception is set; the boundary hands it to the interpreter.
struct python_error {};

// `p`, or python_error when a C API call returned NULL (its exception is set).
inline PyObject* ok(PyObject* p) {
    if (!p) throw python_error();
    return p;
}

// `status`, or python_error when a C API call returned a negative status.
inline int ok_status(int status) {
    if (status < 0) throw python_error();
    return status;
}

// Sets `type(fmt % args)` (PyUnicode_FromFormat's format) and throws.
[[noreturn]] inline void raise(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw python_error();
}

// ---------------------------------------------------------------- references

// True when this thread holds the GIL. PyGILState_Check cannot tell: once the
// interpreter is finalized it answers true for every thread, and that is when a daemon
// thread woken at exit is unwound through our destructors.
inline bool holds_gil() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

class Ref;
struct Arg;

// Holds a strong reference. The reference is dropped only by a thread that holds the
// GIL: a thread that CPython ends while it waits for the GIL at interpreter exit unwinds
// through these destructors, and touching reference counts there would race with the
// finalising interpreter (a few objects are left to the exiting process instead).
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // A new reference returned by the C API, or python_error when it returned NULL.
    static Ref own(PyObject* p) { return Ref(ok(p)); }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() {
        if (p_ && holds_gil()) Py_DECREF(p_);
    }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    bool is_none() const { return p_ == Py_None; }
    bool is(const Ref& o) const { return p_ == o.p_; }

    // Object protocol; each throws python_error on failure.
    Ref attr(const char* name) const { return own(PyObject_GetAttrString(p_, name)); }
    bool has_attr(const char* name) const;
    void set_attr(const char* name, const Arg& value) const;
    Ref operator[](const Arg& key) const;
    void set_item(const Arg& key, const Arg& value) const;
    Ref slice(Py_ssize_t start, Py_ssize_t stop) const;
    Py_ssize_t len() const {
        const Py_ssize_t n = PyObject_Length(p_);
        if (n < 0) throw python_error();
        return n;
    }
    bool truthy() const { return ok_status(PyObject_IsTrue(p_)) != 0; }
    bool equals(const Arg& other) const;
    bool isinstance(const Ref& type) const { return ok_status(PyObject_IsInstance(p_, type.p_)) != 0; }
    const char* type_name() const { return Py_TYPE(p_)->tp_name; }

    // Calls: self(args...) and self.name(args...), where an argument is anything `Arg`
    // takes, keywords as kw("name", value) after the positional ones.
    template <class... A>
    Ref operator()(A&&... args) const;
    template <class... A>
    Ref method(const char* name, A&&... args) const;

    // Conversions to C values, with Python's own errors.
    double to_double() const;
    Py_ssize_t to_ssize() const;
    long long to_longlong() const;

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// A value handed to a call, an attribute or an item: a Ref or PyObject* (borrowed), a
// C number, a bool or a C string (converted); with a name, a keyword argument.
struct Arg {
    Ref value;
    const char* name = nullptr;

    Arg(const Ref& v) : value(v) { need(); }
    Arg(Ref&& v) : value(std::move(v)) { need(); }
    Arg(PyObject* v) : value(Ref::borrow(v)) { need(); }
    Arg(bool v) : value(Ref::borrow(v ? Py_True : Py_False)) {}
    Arg(double v) : value(Ref::own(PyFloat_FromDouble(v))) {}
    Arg(const char* v) : value(Ref::own(PyUnicode_FromString(v))) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    Arg(T v) : value(Ref::own(PyLong_FromLongLong(static_cast<long long>(v)))) {}

private:
    void need() const {
        if (!value) raise(PyExc_SystemError, "pyglue: a null object was passed on");
    }
};

// A keyword argument: f(x, kw("axis", 0)).
inline Arg kw(const char* name, Arg value) {
    value.name = name;
    return value;
}

// Python values.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref str(const char* s) { return Ref::own(PyUnicode_FromString(s)); }
inline Ref integer(long long v) { return Ref::own(PyLong_FromLongLong(v)); }
inline Ref real(double v) { return Ref::own(PyFloat_FromDouble(v)); }
inline Ref dict() { return Ref::own(PyDict_New()); }

template <class... A>
Ref tuple(A&&... items) {
    Ref t = Ref::own(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, Arg(std::forward<A>(items)).value.release())), ...);
    return t;
}

template <class... A>
Ref list(A&&... items) {
    Ref l = Ref::own(PyList_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyList_SET_ITEM(l.get(), i++, Arg(std::forward<A>(items)).value.release())), ...);
    return l;
}

// A tuple of Python ints from C values.
template <class It>
Ref int_tuple(It first, It last) {
    Ref t = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(last - first)));
    for (Py_ssize_t i = 0; first != last; ++first, ++i)
        PyTuple_SET_ITEM(t.get(), i, ok(PyLong_FromLongLong(static_cast<long long>(*first))));
    return t;
}

inline void append(const Ref& list, const Arg& item) { ok_status(PyList_Append(list.get(), item.value.get())); }

// The slice object start:stop, for keys of several axes: img[tuple(slice(t, b), slice(l, r))].
// None leaves that end open.
inline Ref slice(const Arg& start, const Arg& stop) {
    return Ref::own(PySlice_New(start.value.get(), stop.value.get(), nullptr));
}

// ---------------------------------------------------------------- calls

namespace detail {

// Vectorcall with `self` (may be NULL) and the arguments; keywords go last in the
// vector, their names in a tuple.
template <size_t N>
Ref call(PyObject* callable, PyObject* method_name, PyObject* self, std::array<Arg, N>& args) {
    PyObject* argv[N + 2];
    PyObject** out = argv + 1;  // argv[0] is free for PY_VECTORCALL_ARGUMENTS_OFFSET
    size_t n = 0, positional = 0;
    if (self) out[n++] = self;
    Py_ssize_t keywords = 0;
    for (const Arg& a : args) {
        if (a.name)
            ++keywords;
        else if (keywords)
            raise(PyExc_SystemError, "pyglue: a positional argument after a keyword");
        else
            ++positional;
        out[n++] = a.value.get();
    }
    Ref kwnames;
    if (keywords) {
        kwnames = Ref::own(PyTuple_New(keywords));
        Py_ssize_t k = 0;
        for (const Arg& a : args)
            if (a.name) PyTuple_SET_ITEM(kwnames.get(), k++, ok(PyUnicode_InternFromString(a.name)));
    }
    const size_t nargsf = (positional + (self ? 1 : 0)) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (method_name) return Ref::own(PyObject_VectorcallMethod(method_name, out, nargsf, kwnames.get()));
    return Ref::own(PyObject_Vectorcall(callable, out, nargsf, kwnames.get()));
}

}  // namespace detail

template <class... A>
Ref Ref::operator()(A&&... args) const {
    std::array<Arg, sizeof...(A)> a{Arg(std::forward<A>(args))...};
    return detail::call(p_, nullptr, nullptr, a);
}

template <class... A>
Ref Ref::method(const char* name, A&&... args) const {
    std::array<Arg, sizeof...(A)> a{Arg(std::forward<A>(args))...};
    Ref n = Ref::own(PyUnicode_InternFromString(name));
    return detail::call(nullptr, n.get(), p_, a);
}

inline bool Ref::has_attr(const char* name) const {
    PyObject* v = PyObject_GetAttrString(p_, name);
    if (v) {
        Py_DECREF(v);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error();
    PyErr_Clear();
    return false;
}

inline void Ref::set_attr(const char* name, const Arg& value) const {
    ok_status(PyObject_SetAttrString(p_, name, value.value.get()));
}

inline Ref Ref::operator[](const Arg& key) const { return own(PyObject_GetItem(p_, key.value.get())); }

inline void Ref::set_item(const Arg& key, const Arg& value) const {
    ok_status(PyObject_SetItem(p_, key.value.get(), value.value.get()));
}

inline Ref Ref::slice(Py_ssize_t start, Py_ssize_t stop) const {
    Ref s = own(PySlice_New(integer(start).get(), integer(stop).get(), nullptr));
    return (*this)[s];
}

inline bool Ref::equals(const Arg& other) const {
    return ok_status(PyObject_RichCompareBool(p_, other.value.get(), Py_EQ)) != 0;
}

inline double Ref::to_double() const {
    const double v = PyFloat_AsDouble(p_);
    if (v == -1.0 && PyErr_Occurred()) throw python_error();
    return v;
}

inline Py_ssize_t Ref::to_ssize() const {
    Ref index = own(PyNumber_Index(p_));
    const Py_ssize_t v = PyLong_AsSsize_t(index.get());
    if (v == -1 && PyErr_Occurred()) throw python_error();
    return v;
}

inline long long Ref::to_longlong() const {
    Ref index = own(PyNumber_Index(p_));
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw python_error();
    return v;
}

// Arithmetic as Python spells it; the in-place forms rebind the left operand to what
// the in-place operator returned.
inline Ref operator+(const Ref& a, const Arg& b) { return Ref::own(PyNumber_Add(a.get(), b.value.get())); }
inline Ref operator-(const Ref& a, const Arg& b) { return Ref::own(PyNumber_Subtract(a.get(), b.value.get())); }
inline Ref operator*(const Ref& a, const Arg& b) { return Ref::own(PyNumber_Multiply(a.get(), b.value.get())); }
inline Ref operator/(const Ref& a, const Arg& b) { return Ref::own(PyNumber_TrueDivide(a.get(), b.value.get())); }
inline Ref& operator+=(Ref& a, const Arg& b) { return a = Ref::own(PyNumber_InPlaceAdd(a.get(), b.value.get())); }
inline Ref& operator-=(Ref& a, const Arg& b) { return a = Ref::own(PyNumber_InPlaceSubtract(a.get(), b.value.get())); }
inline Ref& operator*=(Ref& a, const Arg& b) { return a = Ref::own(PyNumber_InPlaceMultiply(a.get(), b.value.get())); }
inline Ref& operator/=(Ref& a, const Arg& b) { return a = Ref::own(PyNumber_InPlaceTrueDivide(a.get(), b.value.get())); }

// Iterates any iterable: for (Ref item : iterate(engine)) ...
class iterate {
public:
    explicit iterate(const Ref& iterable) : it_(Ref::own(PyObject_GetIter(iterable.get()))) {}
    class iterator {
    public:
        explicit iterator(const Ref* it) : it_(it) { next(); }
        const Ref& operator*() const { return item_; }
        iterator& operator++() {
            next();
            return *this;
        }
        bool operator!=(const iterator& o) const { return item_.get() != o.item_.get(); }

    private:
        friend class iterate;
        iterator() = default;
        void next() {
            item_ = Ref::steal(PyIter_Next(it_->get()));
            if (!item_ && PyErr_Occurred()) throw python_error();
        }
        const Ref* it_ = nullptr;
        Ref item_;
    };
    iterator begin() const { return iterator(&it_); }
    iterator end() const { return iterator(); }

private:
    Ref it_;
};

// ---------------------------------------------------------------- context managers

// Leaves `context` after `work` failed, as a with statement does: __exit__ gets the
// Python exception (None three times for a C++ one) and the work's error stays the one
// raised, whatever leaving does. An __exit__ that would suppress the error cannot: the
// work produced no result.
inline void exit_after_failure(const Ref& context) {
    PyObject* failure = PyErr_GetRaisedException();
    PyObject* type = failure ? reinterpret_cast<PyObject*>(Py_TYPE(failure)) : Py_None;
    PyObject* traceback = failure ? PyException_GetTraceback(failure) : nullptr;
    PyObject* left = PyObject_CallMethod(context.get(), "__exit__", "OOO", type, failure ? failure : Py_None,
                                         traceback ? traceback : Py_None);
    Py_XDECREF(traceback);
    Py_XDECREF(left);
    PyErr_Clear();
    PyErr_SetRaisedException(failure);
}

// Runs `work` inside the context manager `context`, which is left exactly once on every
// exit, as a with statement leaves it.
template <class Work>
auto with(const Ref& context, Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    context.method("__enter__");
    auto run = [&]() -> std::conditional_t<std::is_void_v<Result>, int, Result> {
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
                return 0;
            } else {
                return work();
            }
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is being ended: no Python may run
        } catch (...) {
            exit_after_failure(context);
            throw;
        }
    };
    [[maybe_unused]] auto result = run();
    context.method("__exit__", none(), none(), none());
    if constexpr (!std::is_void_v<Result>) return result;
}

// ---------------------------------------------------------------- entry points

// The positional and keyword arguments of one METH_FASTCALL | METH_KEYWORDS call.
struct Args {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

// Parameters of one callable, in positional order. For methods `self` is the first
// name, so counts in messages include it, as they do for Python-level methods.
// parse() gives borrowed references, nullptr where an optional argument was not given.
template <size_t N>
struct Signature {
    const char* func;                  // name shown in messages, e.g. "get"
    std::array<const char*, N> names;  // parameter names
    size_t required;                   // the first `required` names have no default

    std::array<PyObject*, N> parse(const Args& a) const {
        auto count_error = [&](Py_ssize_t given) {
            const bool exact = required == N;
            const bool too_many = given > static_cast<Py_ssize_t>(N);
            const Py_ssize_t expected = static_cast<Py_ssize_t>(too_many ? N : required);
            const char* how = exact ? "exactly" : (too_many ? "at most" : "at least");
            raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how,
                  expected, expected == 1 ? "" : "s", given);
        };
        std::array<PyObject*, N> out{};
        if (a.nargs > static_cast<Py_ssize_t>(N)) count_error(a.nargs);
        for (Py_ssize_t i = 0; i < a.nargs; ++i) out[i] = a.args[i];
        const Py_ssize_t nkw = a.kwnames ? PyTuple_GET_SIZE(a.kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(a.kwnames, k);
            size_t i = 0;
            while (i < N && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
            if (i == N) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
            if (out[i]) raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
            out[i] = a.args[a.nargs + k];
        }
        for (size_t i = 0; i < required; ++i)
            if (!out[i]) count_error(a.nargs);
        return out;
    }
};

// The boundary: runs `body` (returning a new reference), turns every C++ exception into
// a Python exception and returns NULL then. A thread that CPython ends at exit passes
// through untouched (catching its forced unwind would abort the process).
template <class Body>
PyObject* guard(Body&& body) {
    try {
        PyObject* result = body();
        if (!result && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "kestrel: an entry point returned no result");
        return result;
    } catch (const python_error&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "kestrel: an error was signalled without an exception");
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "kestrel: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "kestrel: unexpected C++ exception");
    }
    return nullptr;
}

// A module function or method body: (module, arguments) -> result.
using Body = Ref (*)(PyObject* module, const Args& args);

template <Body F>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] { return F(module, Args{args, nargs, kwnames}).release(); });
}

// The PyMethodDef cast of any C function pointer.
template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The PyMethodDef entry of body F (METH_FASTCALL | METH_KEYWORDS). The docstring starts
// with "name(params)\n--\n\n" so that inspect.signature and help() show the parameters.
template <Body F>
PyMethodDef def(const char* name, const char* doc) {
    return {name, fastcall(&entry<F>), METH_FASTCALL | METH_KEYWORDS, doc};
}

// ---------------------------------------------------------------- argument checks

// Exact-type check: bool is not int and subclasses of built-in types are refused.
inline void check_exact(PyObject* value, PyTypeObject* type, const char* name, bool none_ok = false) {
    if (Py_IS_TYPE(value, type) || (none_ok && value == Py_None)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(value)->tp_name);
    if (PyObject_TypeCheck(value, type)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* res = PyObject_CallMethod(exc, "add_note", "s",
                                            "Note that subclasses of built-in types are refused; "
                                            "pass an instance of the built-in type itself.");
        Py_XDECREF(res);
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    throw python_error();
}

// True unless the interpreter runs with -O (sys.flags.optimize > 0), like `assert`.
inline bool assertions_enabled() {
    static int enabled = -1;
    if (enabled < 0) {
        PyObject* flags = PySys_GetObject("flags");  // borrowed
        PyObject* opt = flags ? PyObject_GetAttrString(flags, "optimize") : nullptr;
        enabled = !(opt && PyLong_Check(opt) && PyLong_AsLong(opt) > 0);
        Py_XDECREF(opt);
        PyErr_Clear();
    }
    return enabled != 0;
}

// Raises AssertionError(message) when `condition` is false and assertions are enabled.
inline void check_assert(bool condition, const char* message = nullptr) {
    if (condition || !assertions_enabled()) return;
    if (message)
        PyErr_SetString(PyExc_AssertionError, message);
    else
        PyErr_SetNone(PyExc_AssertionError);
    throw python_error();
}

// The weight-like argument: any real number, converted to a double; `fallback` when
// it was not given.
inline double to_double(PyObject* value, double fallback) {
    return value ? Ref::borrow(value).to_double() : fallback;
}

// ---------------------------------------------------------------- module globals

// Looks `name` up in the module's namespace (then builtins) at call time, so callers
// and tests can replace a module global such as `np` or `rk`.
inline Ref global(PyObject* module, const char* name) {
    Ref key = str(name);
    for (PyObject* ns : {PyModule_GetDict(module), PyEval_GetBuiltins()}) {
        if (PyObject* v = PyDict_GetItemWithError(ns, key.get())) return Ref::borrow(v);
        if (PyErr_Occurred()) throw python_error();
    }
    raise(PyExc_NameError, "name '%s' is not defined", name);
}

inline void add_global(PyObject* module, const char* name, const Arg& value) {
    ok_status(PyModule_AddObjectRef(module, name, value.value.get()));
}

// Imports `name` into the module's namespace as `as`; with `optional`, a missing
// package binds None instead of failing (CuPy, ONNX Runtime, TensorRT).
inline void bind_import(PyObject* module, const char* name, const char* as, bool optional = false) {
    Ref mod = Ref::steal(PyImport_ImportModule(name));
    if (!mod) {
        if (!optional || !PyErr_ExceptionMatches(PyExc_ImportError)) throw python_error();
        PyErr_Clear();
        mod = none();
    }
    add_global(module, as, mod);
}

// `import <dotted>` binding the top-level package as `top` (as Python does), or None
// when it is optional and missing.
inline void bind_package(PyObject* module, const char* dotted, const char* top, bool optional = false) {
    Ref leaf = Ref::steal(PyImport_ImportModule(dotted));
    if (!leaf) {
        if (!optional || !PyErr_ExceptionMatches(PyExc_ImportError)) throw python_error();
        PyErr_Clear();
        add_global(module, top, none());
        return;
    }
    bind_import(module, top, top);
}

// Raises ImportError(message) naming the package, chained to the failure at hand if any.
[[noreturn]] inline void raise_import_error(const char* package, const char* message) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetImportError(str(message).get(), str(package).get(), nullptr);
    if (cause) {
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, cause);
        PyErr_SetRaisedException(exc);
    }
    throw python_error();
}

// An optional package bound at import (module global `name`); None there means it is
// not installed, and ImportError(message) names `package`.
inline Ref require(PyObject* module, const char* name, const char* package, const char* message) {
    Ref v = global(module, name);
    if (v.is_none()) raise_import_error(package, message);
    return v;
}

// The module global `name`, imported on first use and then kept (for packages that
// load large libraries); ImportError(message) naming `package` when it is missing.
inline Ref lazy_import(PyObject* module, const char* name, const char* package, const char* message) {
    Ref v = global(module, name);
    if (!v.is_none()) return v;
    v = Ref::steal(PyImport_ImportModule(package));
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) raise_import_error(package, message);
        throw python_error();
    }
    ok_status(PyObject_SetAttrString(module, name, v.get()));
    return v;
}

// ---------------------------------------------------------------- files

// os.path.exists(path) through the module global `os`.
inline bool path_exists(PyObject* module, const Arg& path) {
    return global(module, "os").attr("path").method("exists", path).truthy();
}

// Reads a whole file through the module's open(path, "rb"); closed on every path.
inline Ref read_file(PyObject* module, const Arg& path) {
    Ref file = global(module, "open")(path, "rb");
    return with(file, [&] { return file.method("read"); });
}

// ---------------------------------------------------------------- classes

#if PY_VERSION_HEX < 0x030D0000
// inspect.signature(cls) as __init__'s signature without `self`. CPython 3.12's inspect
// finds no signature for a class whose __init__ is a C function; it calls a callable
// __signature__, so each class gets this as a classmethod (a Python subclass with an
// __init__ of its own gets the signature of that one).
inline PyObject* class_signature(PyObject*, PyObject* cls) {
    return guard([&] {
        Ref inspect = Ref::own(PyImport_ImportModule("inspect"));
        Ref sig = inspect.method("signature", Ref::borrow(cls).attr("__init__"));
        Ref params = Ref::own(PySequence_List(sig.attr("parameters").method("values").get()));
        Ref replace = sig.attr("replace");
        Ref kwargs = dict();
        kwargs.set_item("parameters", params.slice(1, params.len()));
        return PyObject_Call(replace.get(), Ref::own(PyTuple_New(0)).get(), kwargs.get());
    });
}
#endif

// Builds an ordinary Python class `type(name, (base,), namespace)` whose methods are the
// given C functions (`self` arriving as args[0]) and adds it to the module. Instances get
// a __dict__, subclasses may override any method, and methods call each other through
// `self`. A null `doc` leaves __doc__ None.
inline Ref add_class(PyObject* module, const char* name, PyObject* base, const char* doc, PyMethodDef* methods) {
    Ref modname = Ref::own(PyModule_GetNameObject(module));
    Ref ns = dict();
    ns.set_item("__doc__", doc ? str(doc) : none());
    ns.set_item("__module__", modname);
    ns.set_item("__qualname__", name);
    for (PyMethodDef* m = methods; m && m->ml_name; ++m) {
        Ref fn = Ref::own(PyCMethod_New(m, module, modname.get(), nullptr));
        ns.set_item(m->ml_name, Ref::own(PyInstanceMethod_New(fn.get())));
    }
#if PY_VERSION_HEX < 0x030D0000
    static PyMethodDef signature_def = {"__signature__", class_signature, METH_O, nullptr};
    Ref signature = Ref::own(PyCFunction_New(&signature_def, nullptr));
    ns.set_item("__signature__", Ref::own(PyClassMethod_New(signature.get())));
#endif
    Ref bases = tuple(base ? base : reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
    add_global(module, name, cls);
    return cls;
}

// The PyModuleDef exec slot for a C++ exec function that throws.
template <void (*Exec)(PyObject*)>
int exec_slot(PyObject* module) {
    PyObject* r = guard([&] {
        Exec(module);
        return Py_NewRef(Py_None);
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// ---------------------------------------------------------------- arrays

// A view of a host buffer (NumPy arrays, bytes, memoryviews), released when it goes out
// of scope (by a thread that holds the GIL, as for Ref).
class Buffer {
public:
    Buffer() = default;
    Buffer(PyObject* obj, int flags) { ok_status(PyObject_GetBuffer(obj, &view_, flags)), held_ = true; }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_ && holds_gil()) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }
    unsigned char* bytes() const { return static_cast<unsigned char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// True when `array` is a CuPy array (module global `cp`; False when CuPy is missing).
inline bool is_cupy(PyObject* module, const Ref& array) {
    Ref cp = global(module, "cp");
    return !cp.is_none() && array.isinstance(cp.attr("ndarray"));
}

// The module global `cp` when `array` is a CuPy array, else the module global `np`:
// the array module follows the input.
inline Ref array_module(PyObject* module, const Ref& array) {
    return global(module, is_cupy(module, array) ? "cp" : "np");
}

// True when CuPy is importable and sees a usable GPU: arrays made from nothing go there.
inline bool gpu_usable(PyObject* module) {
    Ref cp = global(module, "cp");
    return !cp.is_none() && cp.attr("cuda").method("is_available").truthy();
}

// `array` moved to the array module `xp` (the module global `np` or `cp`) when it lives
// in the other one.
inline Ref to_module(PyObject* module, const Ref& xp, const Ref& array) {
    const bool on_gpu = is_cupy(module, array);
    Ref cp = global(module, "cp");
    if (on_gpu == xp.is(cp)) return array;
    return on_gpu ? cp.method("asnumpy", array) : cp.method("asarray", array);
}

// Runs `work` with the device of `array` current when it is a CuPy array (CuPy allocates
// and launches on the current device), else simply runs it.
template <class Work>
auto on_device(PyObject* module, const Ref& array, Work&& work) -> decltype(work()) {
    if (!is_cupy(module, array)) return work();
    return with(array.attr("device"), std::forward<Work>(work));
}

// `array` in the array module `xp` and, for CuPy, on the current device: CuPy's asarray
// leaves an array on the device that holds it, its copy() brings it over. The copy runs
// on this device's current stream, which first waits for the work pending on the array's
// own device (streams of two devices are not ordered by themselves).
inline Ref to_current_device(PyObject* module, const Ref& xp, const Ref& array) {
    Ref moved = to_module(module, xp, array);
    if (!is_cupy(module, moved)) return moved;
    Ref cuda = global(module, "cp").attr("cuda");
    if (moved.attr("device").attr("id").equals(cuda.method("Device").attr("id"))) return moved;
    Ref written = with(moved.attr("device"), [&] {
        Ref event = cuda.method("Event", kw("disable_timing", true));
        event.method("record", cuda.method("get_current_stream"));
        return event;
    });
    cuda.method("get_current_stream").method("wait_event", written);
    return moved.method("copy");
}

// The integer entries of a shape (a tuple, TensorRT dims, anything iterable).
inline std::vector<Py_ssize_t> dims(const Ref& shape) {
    std::vector<Py_ssize_t> out;
    for (const Ref& d : iterate(shape)) out.push_back(d.to_ssize());
    return out;
}

// The first `count` entries of `array.shape`; ValueError naming `what` when the array has
// fewer dimensions.
inline std::vector<Py_ssize_t> leading_dims(const Ref& array, const char* what, size_t count) {
    std::vector<Py_ssize_t> shape = dims(array.attr("shape"));
    if (shape.size() < count)
        raise(PyExc_ValueError, "%s must have at least %zd dimensions, got %zd", what, static_cast<Py_ssize_t>(count),
              static_cast<Py_ssize_t>(shape.size()));
    shape.resize(count);
    return shape;
}

// `array` as a C-contiguous NumPy array of `dtype` (a NumPy dtype, its name or None); a
// CuPy array is copied to the host first.
inline Ref host_array(PyObject* module, const Ref& array, const Arg& dtype) {
    Ref np = global(module, "np");
    Ref host = is_cupy(module, array) ? global(module, "cp").method("asnumpy", array) : array;
    return np.method("ascontiguousarray", host, kw("dtype", dtype));
}

}  // namespace pyglue
