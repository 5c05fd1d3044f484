#include "native_api.hpp"

namespace vt {

int export_function(PyObject* module, const char* name, void* fn, const char* signature) {
    Ref table = steal(PyObject_GetAttrString(module, kNativeApiAttr));
    if (!table) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        table = steal(PyDict_New());
        if (!table || PyObject_SetAttrString(module, kNativeApiAttr, table.get()) < 0) return -1;
    }
    Ref capsule = steal(PyCapsule_New(fn, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

void* import_function(const char* module_name, const char* name, const char* signature) {
    Ref module = steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref table = steal(PyObject_GetAttrString(module.get(), kNativeApiAttr));
    PyObject* capsule = nullptr;
    if (table && PyDict_Check(table.get())) {
        capsule = PyDict_GetItemString(table.get(), name);
    }
    PyErr_Clear();
    if (!capsule || !PyCapsule_IsValid(capsule, signature)) {
        PyErr_Format(PyExc_ImportError, "%s does not export native function %s with signature %s",
                     module_name, name, signature);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

}  // namespace vt
