// kestrel.base: BaseModelLoader, the common base of the model interfaces.
#include "pyglue.hpp"

using pyglue::Ref;

namespace {

// "cuda:1" -> "1"; a device text without a colon names GPU "0".
Ref device_ordinal(PyObject* device) {
    Ref colon = Ref::steal(PyUnicode_FromString(":"));
    if (!colon) return Ref();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(device);
    const Py_ssize_t at = PyUnicode_Find(device, colon.get(), 0, n, -1);
    if (at == -2) return Ref();
    // No colon, or nothing after it: the text names no ordinal.
    if (at < 0 || at + 1 == n) return Ref::steal(PyUnicode_FromString("0"));
    return Ref::steal(PyUnicode_Substring(device, at + 1, n));
}

PyObject* loader_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "model_path", "model_bytes", "device"};
    static const pyglue::Params params{"__init__", names, 4, 1};
    PyObject* a[4];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    PyObject* model_path = a[1] ? a[1] : Py_None;
    PyObject* model_bytes = a[2] ? a[2] : Py_None;
    Ref device = a[3] ? Ref::borrow(a[3]) : Ref::steal(PyUnicode_FromString("cuda"));
    if (!device || !pyglue::check_exact(model_path, &PyUnicode_Type, "model_path", true) ||
        !pyglue::check_exact(model_bytes, &PyBytes_Type, "model_bytes", true) ||
        !pyglue::check_exact(device.get(), &PyUnicode_Type, "device"))
        return nullptr;
    Ref device_id = device_ordinal(device.get());
    if (!device_id || PyObject_SetAttrString(self, "model_path", model_path) < 0 ||
        PyObject_SetAttrString(self, "model_bytes", model_bytes) < 0 ||
        PyObject_SetAttrString(self, "device", device.get()) < 0 ||
        PyObject_SetAttrString(self, "device_id", device_id.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef loader_methods[] = {
    {"__init__", pyglue::fastcall(loader_init),
     METH_FASTCALL | METH_KEYWORDS,
     "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
     "Record the model source and the device.\n\n"
     "Sets model_path, model_bytes, device and device_id: the text after the last\n"
     "colon of the device text (\"cuda:1\" -> \"1\"), \"0\" when there is none."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    return pyglue::add_class(module, "BaseModelLoader", nullptr,
                             "Common base of the model interfaces: where the model comes from and "
                             "which device runs it.",
                             loader_methods)
               ? 0
               : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.base",
                          "Model-loader base class shared by the kestrel model modules.", 0,
                          nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_base() { return PyModuleDef_Init(&module_def); }
