// Silence supervision: one pending event-loop call per worker, re-armed by every
// message and by its own expiry; a silent unit yields status records.
#include "worker.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/convert.hpp"
#include "common/critical.hpp"

namespace lanecore {

namespace {

PyObject* as_object(Worker* w) { return reinterpret_cast<PyObject*>(w); }

// Reads the record at memaddr, so it also works before the first message.
bool check_if_powered(Worker* w, int& powered) {
    vt::Ref lock = vt::borrow(w->lock);
    return vt::with_lock(lock.get(), [w, &powered] {
        vt::cu_config c;
        if (!load_config(w, c)) return false;
        powered = c.powered == 1 ? 1 : 0;
        return true;
    });
}

// Identity and polarity as the configuration holds them now (read without the lock).
bool create_status_msg(Worker* w, uint8_t status, vt::stream_data& out) {
    State& st = *w->st;
    vt::cu_config c;
    if (!load_config(w, c)) return false;
    out = st.natives.createStreamMsg(c.mcuId, c.cuId, status, c.inverted, 0.0, 0, 0, 0.0f, 0.0f, w->rank);
    return true;
}

bool send_status(Worker* w, uint8_t status) {
    vt::stream_data rec;
    return create_status_msg(w, status, rec) && send_stream(w, rec);
}

bool call_onTimeout(Worker* w) {
    State& st = *w->st;
    PyObject* self = as_object(w);
    return vt::call_hook_if_replaced(self, st.WorkerType, st.host.s_onTimeout, st.host.onTimeout_memo);
}

}  // namespace

bool reset_timer(Worker* w, double timeout_time) {
    State& st = *w->st;
    if (w->timer && w->timer != Py_None) {
        vt::Ref pending = vt::borrow(w->timer);
        if (!vt::call_hook(pending.get(), st.host.s_cancel)) return false;
    }
    PyObject* handle = schedule_timeout(as_object(w), timeout_time);
    if (!handle) return false;
    Py_XSETREF(w->timer, handle);
    return true;
}

// The worker's own callers pass its timeout; a host override receives it too.
bool reset_timer_through_object(Worker* w) {
    State& st = *w->st;
    PyObject* self = as_object(w);
    const int replaced = vt::overrides(self, st.WorkerType, st.host.s_reset_timer, st.host.reset_timer_memo);
    if (replaced < 0) return false;
    if (!replaced) return reset_timer(w, w->timeout);
    vt::Ref seconds = vt::steal(PyFloat_FromDouble(w->timeout));
    return seconds && vt::call_hook(self, st.host.s_reset_timer, seconds.get());
}

PyObject* reset_timer_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("reset_timer", {"timeout_time"}, 0);
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    double seconds = 0.1;
    if (a[0] && !vt::to_seconds(a[0], "timeout_time", seconds)) return nullptr;
    if (!reset_timer(reinterpret_cast<Worker*>(self), seconds)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* handle_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("handle_timeout", {});
    PyObject* none[1];
    if (!sig.parse(args, nargs, kwnames, none)) return nullptr;
    Worker* w = reinterpret_cast<Worker*>(self);
    int powered = 0;
    if (!check_if_powered(w, powered)) return nullptr;
    // Unbound: supervision resumes with the first message.
    if (!w->bound) Py_RETURN_NONE;
    if (powered == 1) {
        if (!send_status(w, vt::CU_TIMEOUT_POWERED) || !call_onTimeout(w)) return nullptr;
    }
    if (!send_status(w, vt::CU_TIMEOUT) || !reset_timer_through_object(w)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* onTimeout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("onTimeout", {});
    PyObject* none[1];
    if (!sig.parse(args, nargs, kwnames, none)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace lanecore
