// Host lock objects used as critical sections exactly as a `with` statement
// would: __enter__/__exit__ looked up on the type, __exit__ told about a failure
// inside the block and allowed to swallow it by returning a true value.
#pragma once
#include "entry.hpp"
#include "ref.hpp"

namespace vt {

namespace detail {

// Interned once; null (with the error set) only if interning fails.
inline PyObject* special_name(int which) {
    static PyObject* names[2];
    if (!names[which]) names[which] = intern(which ? "__exit__" : "__enter__");
    return names[which];
}

// descr(self, args...) as the bound method would run it, without building the
// bound method when the descriptor allows that (functions, method descriptors).
inline PyObject* call_special(PyObject* descr, PyObject* self, PyObject* a = nullptr, PyObject* b = nullptr,
                              PyObject* c = nullptr) {
    PyObject* argv[5] = {nullptr, self, a, b, c};
    const size_t n = a ? 3 : 0;
    if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return PyObject_Vectorcall(descr, argv + 1, n + 1, nullptr);
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    Ref bound = get ? steal(get(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self)))) : borrow(descr);
    if (!bound) return nullptr;
    return PyObject_Vectorcall(bound.get(), argv + 2, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace detail

// Runs `body` (a callable returning false with the error set on failure) while
// holding `lock`. Returns false with the error set when entering, the body
// (unless __exit__ swallowed its error) or leaving fails.
template <class Body>
bool with_lock(PyObject* lock, Body&& body) {
    PyTypeObject* type = Py_TYPE(lock);
    if (!detail::special_name(0) || !detail::special_name(1)) return false;
    // Missing methods fail as the host's own `with` statement does.
    Ref enter = borrow(_PyType_Lookup(type, detail::special_name(0)));
    if (!enter) {
        PyErr_SetObject(PyExc_AttributeError, detail::special_name(0));
        return false;
    }
    Ref exit = borrow(_PyType_Lookup(type, detail::special_name(1)));
    if (!exit) {
        PyErr_SetObject(PyExc_AttributeError, detail::special_name(1));
        return false;
    }
    Ref entered = steal(detail::call_special(enter.get(), lock));
    if (!entered) return false;
    entered.reset();

    // A C++ exception out of the body becomes the host error here, so that
    // __exit__ still runs and the lock is never left held.
    bool done;
    try {
        done = body();
    } catch (...) {
        set_error_from_exception();
        done = false;
    }
    if (done) {
        Ref r = steal(detail::call_special(exit.get(), lock, Py_None, Py_None, Py_None));
        return bool(r);
    }

    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyErr_NormalizeException(&et, &ev, &tb);
    if (tb) PyException_SetTraceback(ev, tb);
    Ref r = steal(detail::call_special(exit.get(), lock, et, ev, tb ? tb : Py_None));
    int swallow = r ? PyObject_IsTrue(r.get()) : -1;
    if (swallow < 0) {
        _PyErr_ChainExceptions(et, ev, tb);  // the failure of __exit__ wins, with ours as its context
        return false;
    }
    if (swallow) {
        Py_XDECREF(et);
        Py_XDECREF(ev);
        Py_XDECREF(tb);
        return true;
    }
    PyErr_Restore(et, ev, tb);
    return false;
}

}  // namespace vt
