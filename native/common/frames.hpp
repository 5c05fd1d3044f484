// Decoding records out of host byte objects, with a clear error for short frames.
#pragma once
#include "ref.hpp"

#include "core/records.hpp"

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

namespace vt {

// Frame 0 of a message list that already passed check_exact (so a list or
// None); borrowed, or null with the host's TypeError/IndexError.
inline PyObject* first_frame(PyObject* msg) {
    if (msg == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return nullptr;
    }
    if (PyList_GET_SIZE(msg) == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    return PyList_GET_ITEM(msg, 0);
}

// The buffer of a bytes or bytearray frame (subclasses too), else the host's
// TypeError for a bytes conversion.
inline bool frame_buffer(PyObject* frame, const char*& data, Py_ssize_t& len) {
    if (PyBytes_Check(frame)) {
        data = PyBytes_AS_STRING(frame);
        len = PyBytes_GET_SIZE(frame);
        return true;
    }
    if (PyByteArray_Check(frame)) {
        data = PyByteArray_AS_STRING(frame);
        len = PyByteArray_GET_SIZE(frame);
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(frame)->tp_name);
    return false;
}

// Decodes the record at the start of frame 0; nothing is read past the frame.
template <class T>
inline bool decode_first_frame(PyObject* msg, T& out) {
    PyObject* frame = first_frame(msg);
    const char* data;
    Py_ssize_t len;
    return frame && frame_buffer(frame, data, len) && decode_or_raise(data, len, out);
}

}  // namespace vt
