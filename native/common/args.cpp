#include "args.hpp"

#include <cstring>

namespace vt {

Signature::Signature(const char* fname, std::initializer_list<const char*> names, int required)
    : fname_(fname) {
    for (const char* n : names) {
        if (count_ < kMax) names_[count_++] = n;
    }
    required_ = required < 0 ? count_ : required;
}

bool Signature::intern_names() {
    if (count_ == 0 || interned_[0]) return true;
    for (int i = 0; i < count_; ++i) {
        interned_[i] = intern(names_[i]);
        if (!interned_[i]) return false;
    }
    return true;
}

void Signature::arity_error(Py_ssize_t given) const {
    const bool exact = required_ == count_;
    const Py_ssize_t expected = given < required_ ? required_ : count_;
    const char* how = exact ? "exactly" : (given < required_ ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fname_, how, expected, expected == 1 ? "" : "s", given);
}

bool Signature::place_keyword(PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname_);
        return false;
    }
    int slot = -1;
    for (int i = 0; i < count_; ++i) {  // interned keywords usually match by identity
        if (interned_[i] == key) { slot = i; break; }
    }
    if (slot < 0) {
        for (int i = 0; i < count_; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names_[i]) == 0) { slot = i; break; }
        }
    }
    if (slot < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname_, key);
        return false;
    }
    if (slot < nargs || out[slot]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname_, key);
        return false;
    }
    out[slot] = value;
    return true;
}

bool Signature::finish(Py_ssize_t nargs, PyObject** out) {
    for (int i = 0; i < required_; ++i) {
        if (!out[i]) {
            arity_error(i < nargs ? nargs : i);
            return false;
        }
    }
    return true;
}

bool Signature::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (int i = 0; i < count_; ++i) out[i] = nullptr;
    if (nargs > count_) {
        arity_error(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        if (!intern_names()) return false;
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
        }
    }
    return finish(nargs, out);
}

bool Signature::parse(PyObject* args, PyObject* kwds, PyObject** out) {
    for (int i = 0; i < count_; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > count_) {
        arity_error(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        if (!intern_names()) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (!place_keyword(key, value, nargs, out)) return false;
        }
    }
    return finish(nargs, out);
}

static void incorrect_type(PyObject* value, PyTypeObject* type, const char* argname) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, type->tp_name, Py_TYPE(value)->tp_name);
}

bool check_exact(PyObject* value, PyTypeObject* type, const char* argname) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    incorrect_type(value, type, argname);
    return false;
}

bool check_instance(PyObject* value, PyTypeObject* type, const char* argname) {
    if (value == Py_None || PyObject_TypeCheck(value, type)) return true;
    incorrect_type(value, type, argname);
    return false;
}

bool expect_result(PyObject* value, PyTypeObject* type) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

int refuse_delete(PyObject* value) {
    if (value) return 0;
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

}  // namespace vt
