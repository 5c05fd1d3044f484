// Frames leaving the worker: stream records and the three-frame update message,
// sent through the socket's own `send` so that pyzmq's semantics apply.
#include "worker.hpp"

#include "common/call.hpp"
#include "common/frames.hpp"
#include "common/messages.hpp"

namespace lanecore {

namespace {

// A socket may be None (the constructor accepts that); sending on it is an
// error of the host's setup, reported instead of dereferencing anything.
bool require_socket(PyObject* sock, const char* name) {
    if (sock && sock != Py_None) return true;
    vt::raise::not_set(name);
    return false;
}

bool send(const State& st, PyObject* sock, PyObject* frame) {
    vt::Ref sent = vt::steal(vt::call_method(sock, st.host.s_send, frame));
    return bool(sent);
}

bool send_more(const State& st, PyObject* sock, PyObject* frame) {
    vt::Ref sent = vt::steal(vt::call_method(sock, st.host.s_send, frame, st.host.sndmore));
    return bool(sent);
}

}  // namespace

bool send_stream(Worker* w, const vt::stream_data& rec) {
    if (!require_socket(w->streamSock, "streamSock")) return false;
    vt::Ref frame = vt::steal(vt::record_bytes(rec));
    if (!frame) return false;
    // The socket is held for the call: host code inside send may rebind fields.
    vt::Ref sock = vt::borrow(w->streamSock);
    return send(*w->st, sock.get(), frame.get());
}

namespace {

// Ends a message whose later parts were not sent, with an empty last frame:
// the peer then receives it apart from the next update and drops it (its
// last frame is no record). If even that fails, the next update ends it first.
bool end_message(Worker* w, PyObject* sock) {
    State& st = *w->st;
    vt::Ref sent = vt::steal(vt::call_method(sock, st.host.s_send, st.host.frame_empty));
    w->update_open = !sent;
    return bool(sent);
}

}  // namespace

bool send_update(Worker* w, const vt::cu_update_message& rec) {
    State& st = *w->st;
    if (!require_socket(w->updateSock, "updateSock")) return false;
    vt::Ref frame = vt::steal(vt::record_bytes(rec));
    if (!frame) return false;
    vt::Ref sock = vt::borrow(w->updateSock);
    if (w->update_open && !end_message(w, sock.get())) return false;
    // Nothing is out before the first part is taken; after it, a failure
    // must not leave the socket inside the message.
    if (!send_more(st, sock.get(), st.host.frame_broker)) return false;
    if (send_more(st, sock.get(), st.host.frame_update) && send(st, sock.get(), frame.get())) return true;
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    if (!end_message(w, sock.get())) {
        _PyErr_ChainExceptions(et, ev, tb);  // the closing failure, with the send's failure as its context
        return false;
    }
    PyErr_Restore(et, ev, tb);
    return false;
}

}  // namespace lanecore
