#include "convert.hpp"
#include "messages.hpp"

#include <cmath>

namespace vt {

Ref as_integer(PyObject* o) {
    if (PyLong_Check(o)) return borrow(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    Ref r = steal(nb->nb_int(o));
    if (r && !PyLong_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
        return {};
    }
    return r;
}

static void too_large(const char* tname) { raise::value_too_large(tname); }

bool to_unsigned(PyObject* o, unsigned long long max, const char* tname, unsigned long long& out) {
    Ref n = as_integer(o);
    if (!n) return false;
    if (_PyLong_Sign(n.get()) < 0) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s", tname);
        return false;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(n.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        too_large(tname);
        return false;
    }
    if (v > max) {
        too_large(tname);
        return false;
    }
    out = v;
    return true;
}

bool to_signed(PyObject* o, long long min, long long max, const char* tname, long long& out) {
    Ref n = as_integer(o);
    if (!n) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < min || v > max) {
        too_large(tname);
        return false;
    }
    out = v;
    return true;
}

bool to_seconds(PyObject* o, const char* argname, double& out) {
    double v;
    if (!to_double(o, v)) return false;
    if (!std::isfinite(v) || v < 0.0) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number of seconds >= 0, got %R", argname, o);
        return false;
    }
    out = v;
    return true;
}

bool to_ssize(PyObject* o, Py_ssize_t& out) {
    Py_ssize_t v = PyNumber_AsSsize_t(o, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

}  // namespace vt

namespace vt {

static void need_more(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}
static void too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

bool unpack(PyObject* iterable, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size != n) {
            size > n ? too_many(n) : need_more(size);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = borrow(items[i]);
        return true;
    }
    Ref it = steal(PyObject_GetIter(iterable));
    if (!it) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) need_more(i);
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) {
        too_many(n);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace vt
