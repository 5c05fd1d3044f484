// Message intake: decode frame 0, refresh the back-end copy, run the per-message
// steps under the configuration lock, then re-arm the silence timer.
#include "worker.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/critical.hpp"
#include "common/frames.hpp"

namespace lanecore {

namespace {

bool copy_backend(Worker* w) { return read_shared(w->backendaddr, w->backend); }

}  // namespace

bool process_message(Worker* w, const vt::cu_message& data) {
    vt::cu_config config;
    if (!load_config(w, config)) return false;
    w->bound = true;
    w->conv_fac = getConversionFactor(*w->st, config);
    if (PyErr_Occurred()) return false;
    if (data.sequence == w->PREVSEQ) return true;  // repeated record
    return verify_configuration(w, data) && intergrate_data(w, data) && process_iv(w, data);
}

PyObject* msg_received(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("msg_received", {"msg"});
    PyObject* msg;
    if (!sig.parse(args, nargs, kwnames, &msg) || !vt::check_exact(msg, &PyList_Type, "msg")) return nullptr;
    vt::cu_message data;
    if (!vt::decode_first_frame(msg, data)) return nullptr;  // before any host code runs

    Worker* w = reinterpret_cast<Worker*>(self);
    // The lock objects are held for the calls: host code may run inside them.
    vt::Ref backendlock = vt::borrow(w->backendlock);
    if (!vt::with_lock(backendlock.get(), [w] { return copy_backend(w); })) return nullptr;
    vt::Ref lock = vt::borrow(w->lock);
    if (!vt::with_lock(lock.get(), [w, &data] { return process_message(w, data); })) return nullptr;
    if (!reset_timer_through_object(w)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace lanecore
