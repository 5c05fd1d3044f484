#include "call.hpp"

namespace vt {

namespace {

// Whether `type` (a strict subclass of `base`) replaces the method.
bool class_replaces(PyTypeObject* type, PyTypeObject* base, PyObject* name) {
    return _PyType_Lookup(type, name) != _PyType_Lookup(base, name);
}

}  // namespace

int overrides(PyObject* self, PyTypeObject* base, PyObject* name, Override& memo) {
    PyTypeObject* type = Py_TYPE(self);
    if (type == base) return 0;
    // The class's answer changes only when the class (or a base) is modified,
    // which gives it a new version tag; tags are never reused.
    bool replaced;
    if (type == memo.type && memo.tag != 0 && type->tp_version_tag == memo.tag &&
        PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        replaced = memo.replaced;
    } else {
        replaced = class_replaces(type, base, name);  // the look-up assigns a tag when it can
        const bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
        memo = {type, tagged ? type->tp_version_tag : 0u, replaced};
    }
    if (replaced) return 1;
    // An attribute of the instance itself shadows a method of its class.
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (dictptr && *dictptr && PyDict_GET_SIZE(*dictptr) > 0) {
        if (PyDict_GetItemWithError(*dictptr, name)) return 1;
        if (PyErr_Occurred()) return -1;
    }
    return 0;
}

}  // namespace vt
