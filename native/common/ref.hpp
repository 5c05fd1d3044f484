// Owned references to Python objects: every early return releases what it holds.
#pragma once
#include <Python.h>
#include <utility>

namespace vt {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null after a failed call).
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for return values and stealing APIs).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* o = nullptr) noexcept { Py_XSETREF(p_, o); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* o) noexcept { return Ref::steal(o); }
inline Ref borrow(PyObject* o) noexcept { return Ref::borrow(o); }

// Interned string created once per module and kept for the process lifetime.
inline PyObject* intern(const char* s) noexcept { return PyUnicode_InternFromString(s); }

}  // namespace vt
