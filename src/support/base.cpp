// kestrel.base: BaseModelLoader, the common base of the model interfaces.
#include "pyglue.hpp"

using namespace pyglue;

namespace {

// "cuda:1" -> "1"; a device text without a colon, or with nothing after it, names GPU "0".
Ref device_ordinal(PyObject* device) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(device);
    const Py_ssize_t at = PyUnicode_FindChar(device, ':', 0, n, -1);
    if (at == -2) throw python_error();
    if (at < 0 || at + 1 == n) return str("0");
    return Ref::own(PyUnicode_Substring(device, at + 1, n));
}

Ref loader_init(PyObject*, const Args& args) {
    static const Signature<4> sig{"__init__", {"self", "model_path", "model_bytes", "device"}, 1};
    auto [self, model_path, model_bytes, device] = sig.parse(args);
    Ref dev = device ? Ref::borrow(device) : str("cuda");
    model_path = model_path ? model_path : Py_None;
    model_bytes = model_bytes ? model_bytes : Py_None;
    check_exact(model_path, &PyUnicode_Type, "model_path", true);
    check_exact(model_bytes, &PyBytes_Type, "model_bytes", true);
    check_exact(dev.get(), &PyUnicode_Type, "device");
    Ref obj = Ref::borrow(self);
    obj.set_attr("model_path", model_path);
    obj.set_attr("model_bytes", model_bytes);
    obj.set_attr("device", dev);
    obj.set_attr("device_id", device_ordinal(dev.get()));
    return none();
}

PyMethodDef loader_methods[] = {
    def<loader_init>("__init__",
                     "__init__(self, model_path=None, model_bytes=None, device='cuda')\n--\n\n"
                     "Record the model source and the device.\n\n"
                     "Sets model_path, model_bytes, device and device_id: the text after the last\n"
                     "colon of the device text (\"cuda:1\" -> \"1\"), \"0\" when there is none."),
    {nullptr, nullptr, 0, nullptr},
};

void exec_module(PyObject* module) {
    add_class(module, "BaseModelLoader", nullptr,
              "Common base of the model interfaces: where the model comes from and which device runs it.",
              loader_methods);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.base",
                          "Model-loader base class shared by the kestrel model modules.", 0,
                          nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_base() { return PyModuleDef_Init(&module_def); }
