// Calling hooks and overridable operations by name on an instance, so that a
// host subclass's definition is the one that runs.
#pragma once
#include "ref.hpp"

namespace vt {

// self.<name>(args...) through the host's ordinary method look-up; new reference or null.
template <class... A>
inline PyObject* call_method(PyObject* self, PyObject* name, A... args) {
    // Slot 0 is scratch space that vectorcall may use to prepend `self`.
    PyObject* argv[] = {nullptr, self, args...};
    return PyObject_VectorcallMethod(name, argv + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// A hook whose result is discarded: false with the error set on failure.
template <class... A>
inline bool call_hook(PyObject* self, PyObject* name, A... args) {
    PyObject* r = call_method(self, name, args...);
    Py_XDECREF(r);
    return r != nullptr;
}

// The last class asked about one method, with its version tag and answer.
// A memo belongs to one (base, name) pair.
struct Override {
    PyTypeObject* type = nullptr;  // compared only, never dereferenced when stale
    unsigned int tag = 0;          // 0: not cached
    bool replaced = false;
};

// 1 when `self` (its class or its own attributes) replaces the method `name`
// that `base` defines natively; then internal calls must go through
// call_method. 0: the native body may be called directly. -1: error set.
// The class's answer is cached in `memo` on its version tag; the instance's
// own attributes are looked at on every call.
int overrides(PyObject* self, PyTypeObject* base, PyObject* name, Override& memo);

// A hook whose body in `base` does nothing: called only when `self` replaces
// it. False with the error set.
template <class... A>
inline bool call_hook_if_replaced(PyObject* self, PyTypeObject* base, PyObject* name, Override& memo, A... args) {
    const int replaced = overrides(self, base, name, memo);
    if (replaced <= 0) return replaced == 0;
    return call_hook(self, name, args...);
}

}  // namespace vt
