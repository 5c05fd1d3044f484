// The shared time base: the wall clock written into C_Backend.TIMESTAMP under
// the back-end lock, with the context-manager exception protocol.
#include <cstring>

#include "broker.hpp"
#include "common/convert.hpp"

namespace ingestgate {
namespace {

// Special-method look-up on the type, as a `with` statement does; the
// AttributeError names the missing method.
PyObject* lookup_special(PyObject* o, PyObject* name) {
    PyObject* attr = _PyType_Lookup(Py_TYPE(o), name);  // borrowed
    if (!attr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    return get ? get(attr, o, reinterpret_cast<PyObject*>(Py_TYPE(o))) : Py_NewRef(attr);
}

// round(time.time(), 3), read through the module attribute so a patched clock is seen.
bool wall_clock(float& out) {
    vt::Ref clock = vt::steal(PyObject_GetAttr(host.time_module, names.time));
    vt::Ref now = clock ? vt::steal(PyObject_CallNoArgs(clock.get())) : vt::Ref();
    if (!now) return false;
    PyObject* args[] = {now.get(), host.three};
    vt::Ref rounded = vt::steal(PyObject_Vectorcall(host.round, args, 2, nullptr));
    return rounded && vt::to_float(rounded.get(), out);
}

bool write_time_stamp(Broker* b) {
    float stamp;
    if (!wall_clock(stamp)) return false;
    if (b->backendaddr == 0) {
        PyErr_SetString(PyExc_ValueError, "C_Backend address is 0: no shared record to write");
        return false;
    }
    std::memcpy(reinterpret_cast<char*>(b->backendaddr) + offsetof(vt::C_Backend, TIMESTAMP), &stamp,
                sizeof stamp);
    return true;
}

}  // namespace

bool update_time_stamp(PyObject* self) {
    Broker* b = as_broker(self);
    // Held: the lock's own code could re-initialise the broker and replace the field.
    vt::Ref lock = vt::borrow(b->backendlock);
    vt::Ref exit = vt::steal(lookup_special(lock.get(), names.exit));
    if (!exit) return false;
    vt::Ref enter = vt::steal(lookup_special(lock.get(), names.enter));
    if (!enter) return false;
    vt::Ref entered = vt::steal(PyObject_CallNoArgs(enter.get()));
    if (!entered) return false;

    if (write_time_stamp(b)) {
        PyObject* none[] = {Py_None, Py_None, Py_None};
        vt::Ref r = vt::steal(PyObject_Vectorcall(exit.get(), none, 3, nullptr));
        return bool(r);
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    PyObject* info[] = {type, value, tb ? tb : Py_None};
    vt::Ref r = vt::steal(PyObject_Vectorcall(exit.get(), info, 3, nullptr));
    int swallow = r ? PyObject_IsTrue(r.get()) : -1;
    if (swallow < 0) {
        _PyErr_ChainExceptions(type, value, tb);  // __exit__'s own error, with this one as context
        return false;
    }
    if (swallow) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return true;
    }
    PyErr_Restore(type, value, tb);
    return false;
}

}  // namespace ingestgate
