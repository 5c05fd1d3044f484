// The boundary between CPython and the native code, with an embedded
// interpreter: C++ exceptions become MemoryError or SystemError, the
// fast-call cast works through a real method object, and a lock is released
// when the body inside it throws.
#include "common/critical.hpp"
#include "common/entry.hpp"
#include "core/tests/check.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace {

PyObject* throws_bad_alloc(PyObject*, PyObject*) { throw std::bad_alloc(); }
PyObject* throws_runtime_error(PyObject*, PyObject*) { throw std::runtime_error("table corrupt"); }
int throws_anything(PyObject*) { throw 42; }

// A fast-call method: returns nargs + the number of keywords.
PyObject* count_args(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return PyLong_FromSsize_t(nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
}
PyObject* fast_throws(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { throw std::bad_alloc(); }

bool error_is(PyObject* type, const char* text = nullptr) {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyErr_NormalizeException(&et, &ev, &tb);
    bool ok = true;
    if (text) {
        vt::Ref s = vt::steal(PyObject_Str(ev));
        ok = s && std::string(PyUnicode_AsUTF8(s.get())).find(text) != std::string::npos;
    }
    Py_XDECREF(et);
    Py_XDECREF(ev);
    Py_XDECREF(tb);
    return ok;
}

void exceptions_become_host_errors() {
    CHECK(vt::entry<throws_bad_alloc>()(nullptr, nullptr) == nullptr && error_is(PyExc_MemoryError));
    CHECK(vt::entry<throws_runtime_error>()(nullptr, nullptr) == nullptr &&
          error_is(PyExc_SystemError, "table corrupt"));
    CHECK(vt::entry<throws_anything>()(nullptr) == -1 && error_is(PyExc_SystemError, "unknown exception"));
    CHECK(!PyErr_Occurred());
}

void fast_call_methods() {
    static PyMethodDef defs[] = {vt::method<count_args>("count_args", nullptr),
                                 vt::method<fast_throws>("fast_throws", nullptr)};
    vt::Ref count = vt::steal(PyCFunction_New(&defs[0], nullptr));
    vt::Ref throws = vt::steal(PyCFunction_New(&defs[1], nullptr));
    vt::Ref one = vt::steal(PyLong_FromLong(1));
    vt::Ref kwnames = vt::steal(Py_BuildValue("(s)", "k"));
    PyObject* args[] = {one.get(), one.get(), one.get()};
    vt::Ref n = vt::steal(PyObject_Vectorcall(count.get(), args, 1, kwnames.get()));
    CHECK(n && PyLong_AsLong(n.get()) == 2);  // one positional, one keyword
    CHECK(!PyObject_Vectorcall(throws.get(), args, 0, nullptr) && error_is(PyExc_MemoryError));
}

void lock_released_when_the_body_throws() {
    vt::Ref threading = vt::steal(PyImport_ImportModule("threading"));
    vt::Ref lock = threading ? vt::steal(PyObject_CallMethod(threading.get(), "Lock", nullptr)) : vt::Ref();
    CHECK(lock);
    if (!lock) return;
    const bool ok = vt::with_lock(lock.get(), []() -> bool { throw std::bad_alloc(); });
    CHECK(!ok && error_is(PyExc_MemoryError));
    vt::Ref locked = vt::steal(PyObject_CallMethod(lock.get(), "locked", nullptr));
    CHECK(locked && locked.get() == Py_False);
}

}  // namespace

int main() {
    Py_InitializeEx(0);
    exceptions_become_host_errors();
    fast_call_methods();
    lock_released_when_the_body_throws();
    if (PyErr_Occurred()) PyErr_Print();
    Py_FinalizeEx();
    return vt::test::finish("test_entry");
}
