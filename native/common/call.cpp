#include "call.hpp"

namespace vt {

bool overrides(PyObject* self, PyTypeObject* base, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self);
    if (type == base) return false;
    if (_PyType_Lookup(type, name) != _PyType_Lookup(base, name)) return true;
    // An attribute of the instance itself shadows a method of its class.
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (dictptr && *dictptr && PyDict_GET_SIZE(*dictptr) > 0) {
        PyObject* own = PyDict_GetItemWithError(*dictptr, name);
        if (own) return true;
        PyErr_Clear();
    }
    return false;
}

}  // namespace vt
