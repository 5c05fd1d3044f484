// Decoding records out of host byte objects, with a clear error for short frames.
#pragma once
#include "records.hpp"
#include "ref.hpp"

namespace vt {

// ValueError naming the record and both lengths; nothing is read past `len`.
template <class T>
inline bool decode_or_raise(const char* data, Py_ssize_t len, T& out) {
    if (len >= 0 && decode(data, static_cast<size_t>(len), out)) return true;
    PyErr_Format(PyExc_ValueError, "%s record needs %zu bytes, frame has %zd", record_name<T>, sizeof(T), len);
    return false;
}

// Builds a bytes object holding a record's exact bytes.
template <class T>
inline PyObject* record_bytes(const T& rec) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&rec), sizeof(T));
}

}  // namespace vt
