// The one boundary between CPython and the native code: every function that
// CPython calls (methods, slots, getters and setters) is wrapped here, is
// noexcept, and turns a C++ exception into the host's error: std::bad_alloc
// into MemoryError, anything else into SystemError. Module code may therefore
// let allocation failures of the standard library propagate.
#pragma once
#include "ref.hpp"

#include <type_traits>

namespace vt {

// Sets the host error for the C++ exception being handled; call only inside
// a catch block.
void set_error_from_exception() noexcept;

namespace detail {

template <auto F>
struct Entry;

template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (...) {
            set_error_from_exception();
            if constexpr (std::is_void_v<R>) {
                PyErr_WriteUnraisable(nullptr);  // a deallocator has nobody to report to
            } else if constexpr (std::is_pointer_v<R>) {
                return nullptr;
            } else {
                return R(-1);
            }
        }
    }
};

}  // namespace detail

// A function CPython calls through a typed pointer (m_traverse, ...), behind the boundary.
template <auto F>
constexpr auto entry() noexcept {
    return &detail::Entry<F>::call;
}

// A type slot (tp_new, tp_init, tp_dealloc, ...) behind the boundary.
template <auto F>
inline void* slot() noexcept {
    return reinterpret_cast<void*>(&detail::Entry<F>::call);
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using OneArgMethod = PyObject* (*)(PyObject*, PyObject*);

// Method table entries. METH_FASTCALL | METH_KEYWORDS functions have their own
// signature, which CPython's table stores as a PyCFunction: the cast lives here.
template <FastMethod F>
inline PyMethodDef method(const char* name, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::Entry<F>::call)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}
template <OneArgMethod F>
inline PyMethodDef method_o(const char* name, const char* doc) noexcept {
    return {name, &detail::Entry<F>::call, METH_O, doc};
}
template <OneArgMethod F>
inline PyMethodDef method_noargs(const char* name, const char* doc) noexcept {
    return {name, &detail::Entry<F>::call, METH_NOARGS, doc};
}
// A static method (a function of the class, not of an instance).
template <FastMethod F>
inline PyMethodDef static_method(const char* name, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::Entry<F>::call)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

// tp_call of a type whose instances are called through their vectorcall pointer.
inline void* vectorcall_call() noexcept { return reinterpret_cast<void*>(&PyVectorcall_Call); }

// A read-only property, behind the boundary.
template <getter G>
inline PyGetSetDef readonly(const char* name, const char* doc) noexcept {
    return {name, &detail::Entry<G>::call, nullptr, doc, nullptr};
}

// A property with a getter and a setter, both behind the boundary.
template <getter G, setter S>
inline PyGetSetDef property(const char* name, const char* doc) noexcept {
    return {name, &detail::Entry<G>::call, &detail::Entry<S>::call, doc, nullptr};
}

}  // namespace vt
