// Conversion of host numbers into native fields, with the host-facing messages.
#pragma once
#include "ref.hpp"
#include <cstdint>

namespace vt {

// The value's own integer conversion (a float is truncated towards zero);
// TypeError "an integer is required" when it has none.
Ref as_integer(PyObject* o);

// Unsigned field of at most `max`: OverflowError "can't convert negative value
// to <tname>" or "value too large to convert to <tname>".
bool to_unsigned(PyObject* o, unsigned long long max, const char* tname, unsigned long long& out);
// Signed field: OverflowError "value too large to convert to <tname>" either way.
bool to_signed(PyObject* o, long long min, long long max, const char* tname, long long& out);

inline bool to_u8(PyObject* o, uint8_t& out) {
    unsigned long long v;
    if (!to_unsigned(o, UINT8_MAX, "uint8_t", v)) return false;
    out = static_cast<uint8_t>(v);
    return true;
}
inline bool to_u32(PyObject* o, uint32_t& out) {
    unsigned long long v;
    if (!to_unsigned(o, UINT32_MAX, "uint32_t", v)) return false;
    out = static_cast<uint32_t>(v);
    return true;
}
inline bool to_size(PyObject* o, size_t& out) {
    unsigned long long v;
    if (!to_unsigned(o, SIZE_MAX, "size_t", v)) return false;
    out = static_cast<size_t>(v);
    return true;
}
// C `int`: named "int" in messages.
inline bool to_i32(PyObject* o, int32_t& out) {
    long long v;
    if (!to_signed(o, INT32_MIN, INT32_MAX, "int", v)) return false;
    out = static_cast<int32_t>(v);
    return true;
}
// A count that must be index-like (no float truncation), host's own messages.
bool to_ssize(PyObject* o, Py_ssize_t& out);

// Host float conversion (its own TypeError for non-numbers).
inline bool to_double(PyObject* o, double& out) {
    out = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}
inline bool to_float(PyObject* o, float& out) {
    double d;
    if (!to_double(o, d)) return false;
    out = static_cast<float>(d);
    return true;
}

// A delay in seconds: a number that is finite and not negative. ValueError
// "<argname> must be a finite number of seconds >= 0, got <repr>" otherwise
// (an event loop's timer queue cannot order NaN, and a negative delay would
// fire on every turn of the loop).
bool to_seconds(PyObject* o, const char* argname, double& out);

// Truth value; false with the error set when the test itself fails.
inline bool to_bool(PyObject* o, bool& out) {
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    out = t != 0;
    return true;
}

}  // namespace vt

namespace vt {

// Unpacks an iterable into exactly n items (new references in out[0..n)),
// with the host's messages "too many values to unpack (expected N)" and
// "need more than N value(s) to unpack".
bool unpack(PyObject* iterable, Py_ssize_t n, Ref* out);

}  // namespace vt
