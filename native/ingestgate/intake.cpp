// Datagram intake: sender bookkeeping, the reorder queue and its drain, and
// cutting datagrams into records.
#include "broker.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/messages.hpp"

namespace ingestgate {
namespace {

// device_addresses.get(key): a new reference (None when missing) or null.
PyObject* known_address(const State& st, PyObject* addresses, PyObject* key) {
    if (PyDict_CheckExact(addresses)) {
        PyObject* v = PyDict_GetItemWithError(addresses, key);
        if (v) return Py_NewRef(v);
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    return vt::call_method(addresses, st.names.get, key);
}

// Step 1: the first datagram of a microcontroller id without a (true) entry
// is reported and its sender stored in the host's dictionary.
bool note_sender(PyObject* self, PyObject* msg, PyObject* addr) {
    const State& st = state_of(self);
    const Py_ssize_t len = PyBytes_GET_SIZE(msg);
    vt::Ref key = vt::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(msg), len > 0 ? 1 : 0));
    if (!key) return false;
    vt::Ref addresses = vt::steal(PyObject_GetAttr(self, st.names.device_addresses));
    if (!addresses) return false;
    vt::Ref known = vt::steal(known_address(st, addresses.get(), key.get()));
    if (!known) return false;
    int truth = PyObject_IsTrue(known.get());
    if (truth != 0) return truth > 0;
    if (!vt::call_hook(self, st.names.log_firmware_version, msg)) return false;
    // Looked up again: the attribute is the host's and may have been replaced.
    addresses = vt::steal(PyObject_GetAttr(self, st.names.device_addresses));
    return addresses && PyObject_SetItem(addresses.get(), key.get(), addr) == 0;
}

// Bytes 8 to 11 as little-endian uint32; a short datagram gives what it has.
uint32_t priority_of(const unsigned char* data, size_t len) {
    uint32_t p = 0;
    for (size_t i = 8; i < 12 && i < len; ++i) p |= static_cast<uint32_t>(data[i]) << (8 * (i - 8));
    return p;
}

bool enqueue(Broker* b, PyObject* msg) {
    if (!b->core.queue_ready) {
        // Constructor never ran: there is no queue to put into.
        vt::raise::none_has_no_attribute("put");
        return false;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(msg));
    const size_t len = static_cast<size_t>(PyBytes_GET_SIZE(msg));
    b->core.msgqueue.push({priority_of(data, len), data, len, msg});  // unchanged if this throws
    Py_INCREF(msg);
    return true;
}

// Empties a full queue in ascending order. A failing record ends the drain:
// its datagram is consumed, the ones not yet taken out stay queued.
bool drain(PyObject* self) {
    ReorderQueue& q = as_broker(self)->core.msgqueue;
    if (!q.full()) return true;
    for (size_t n = q.size(); n > 0 && !q.empty(); --n) {
        vt::Ref msg = vt::steal(static_cast<PyObject*>(q.pop().owner));
        if (!split_chunks(self, msg.get())) return false;
    }
    return true;
}

}  // namespace

PyObject* msg_received(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("msg_received", {"msg", "addr"});
    PyObject* a[2];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyBytes_Type, "msg") ||
        !vt::check_exact(a[1], &PyTuple_Type, "addr")) {
        return nullptr;
    }
    PyObject* msg = a[0];
    if (msg == Py_None) {
        vt::raise::none_not_subscriptable();
        return nullptr;
    }
    Broker* b = as_broker(self);
    const State& st = *b->st;
    if (!note_sender(self, msg, a[1])) return nullptr;
    if (b->logmsg && !vt::call_hook(self, st.names.log_msg, msg)) return nullptr;
    if (!enqueue(b, msg) || !drain(self)) return nullptr;
    Py_RETURN_NONE;
}

// A piece shorter than a record is never read: it ends the datagram with an error.
bool split_chunks(PyObject* self, PyObject* msg) {
    const char* data = PyBytes_AS_STRING(msg);
    const Py_ssize_t ssize = PyBytes_GET_SIZE(msg);
    constexpr Py_ssize_t step = static_cast<Py_ssize_t>(MSG_SIZE);
    for (Py_ssize_t i = 0; i < ssize; i += step) {
        if (ssize - i < step) {
            vt::raise::short_piece(ssize, ssize - i, step);
            return false;
        }
        if (!handle_cu_messages(self, data + i)) return false;
    }
    return true;
}

}  // namespace ingestgate
