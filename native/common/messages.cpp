#include "messages.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace vt::raise {

void none_not_subscriptable() { PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable"); }
void none_not_iterable() { PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable"); }
void none_has_no_attribute(const char* attr) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%s'", attr);
}
void no_attribute(PyObject* obj, const char* attr) {
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'", Py_TYPE(obj)->tp_name, attr);
}
void expected_bytes_got_none() { PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found"); }
void int_division_by_zero() { PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero"); }
void float_division_by_zero() { PyErr_SetString(PyExc_ZeroDivisionError, "float division"); }
void float_to_int(double x) {
    if (std::isnan(x)) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
    } else {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
    }
}
void dict_changed_size() { PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration"); }
void cannot_pickle(PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(obj)->tp_name);
}
void value_too_large(const char* tname) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", tname);
}
void missing_builtin(const char* name) { PyErr_Format(PyExc_RuntimeError, "builtins.%s is missing", name); }

void not_set(const char* name) { PyErr_Format(PyExc_ValueError, "%s is not set", name); }
void null_address(const char* record) { PyErr_Format(PyExc_ValueError, "%s address is null", record); }
void backend_address_zero() {
    PyErr_SetString(PyExc_ValueError, "C_Backend address is 0: no shared record to write");
}
void not_a_class(const char* what) { PyErr_Format(PyExc_ImportError, "%s is not a class", what); }
void rank_not_device(const char* where, long long rank, long long known) {
    PyErr_Format(PyExc_ValueError, "%s rank %lld does not name a device (the hub knows %lld)", where, rank, known);
}
void recording_changed() {
    PyErr_SetString(PyExc_RuntimeError, "recording result changed while it was converted");
}
void queue_capacity_zero(unsigned long total_mcus) {
    if (total_mcus == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "total_mcus must be at least 1: at least one microcontroller is needed, "
                        "otherwise no datagram is ever processed");
    } else {
        PyErr_Format(PyExc_ValueError,
                     "total_mcus of %lu gives a queue capacity of 0 (2 x total_mcus in 32 bits), "
                     "so no datagram would ever be processed",
                     total_mcus);
    }
}
void short_piece(Py_ssize_t datagram, Py_ssize_t piece, Py_ssize_t record) {
    PyErr_Format(PyExc_ValueError,
                 "datagram of %zd bytes ends in a piece of %zd bytes, shorter than a "
                 "%zd-byte cu_message record; the piece is dropped",
                 datagram, piece, record);
}
void internal_error(const char* what) {
    PyErr_Format(PyExc_SystemError, "native code failed: %s", what);
}
void unknown_unit(unsigned mcuId, unsigned cuId) {
    PyErr_Format(PyExc_KeyError, "no unit %u.%u is routed", mcuId, cuId);
}
void short_record(Py_ssize_t size, Py_ssize_t record) {
    PyErr_Format(PyExc_ValueError, "chunk of %zd bytes is shorter than a %zd-byte cu_message record",
                 size, record);
}
void wrong_count(const char* what, Py_ssize_t given, Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "%s: %zd given, %zd expected", what, given, expected);
}
void index_out_of_range(const char* what, Py_ssize_t index, Py_ssize_t count) {
    PyErr_Format(PyExc_IndexError, "%s index %zd out of range (0 to %zd)", what, index, count - 1);
}
void lock_timeout(PyObject* name, double seconds, unsigned long owner) {
    char held[64] = "";
    if (owner) std::snprintf(held, sizeof held, " (held by process %lu)", owner);
    char within[32];
    std::snprintf(within, sizeof within, "%.3g", seconds);  // the host's formatter has no floats
    PyErr_Format(PyExc_TimeoutError, "the lock of %S was not free within %s s%s", name, within, held);
}
void lock_failed(PyObject* name, int code) {
    PyErr_Format(PyExc_OSError, "the lock of %S failed: %s", name, strerror(code));
}

}  // namespace vt::raise

namespace vt::text {

PyObject* failed_sync(unsigned long maxfails, unsigned mcuId, unsigned cuId) {
    return PyUnicode_FromFormat("Failed sync check %lu times. Triggered sync. Last channel checked: %u.%u",
                                maxfails, mcuId, cuId);
}

}  // namespace vt::text
