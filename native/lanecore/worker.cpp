// Worker object: allocation, construction, lifetime and the class table.
#include "worker.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/convert.hpp"
#include "common/entry.hpp"
#include "common/module_state.hpp"

namespace lanecore {

conversionFactors getConversionFactor(const State& st, const vt::cu_config& c) {
    conversionFactors f;
    f.toVoltage = st.natives.currentToVoltageMultiplier(c.resistorCryo, c.resistorParallel,
                                                     c.resistorSeries, c.resistorBias);
    if (PyErr_Occurred()) return {0.0f, 0.0f};
    f.toCurrent = st.natives.voltageToCurrentMultiplier(c.resistorCryo, c.resistorParallel,
                                                     c.resistorSeries, c.resistorBias);
    if (PyErr_Occurred()) return {0.0f, 0.0f};
    return f;
}

namespace {

// The delay as a host float, the same object while the delay is unchanged.
PyObject* delay_object(State& st, double delay) {
    PyObject*& last = st.last_delay;
    if (!last || PyFloat_AS_DOUBLE(last) != delay) {
        PyObject* f = PyFloat_FromDouble(delay);
        if (!f) return nullptr;
        Py_XSETREF(last, f);
    }
    return Py_NewRef(last);
}

}  // namespace

PyObject* schedule_timeout(PyObject* self, double delay) {
    State& st = *reinterpret_cast<Worker*>(self)->st;
    vt::Ref loop = vt::steal(PyObject_CallNoArgs(st.host.get_event_loop));
    if (!loop) return nullptr;
    vt::Ref callback = vt::steal(PyObject_GetAttr(self, st.host.s_handle_timeout));
    if (!callback) return nullptr;
    vt::Ref seconds = vt::steal(delay_object(st, delay));
    if (!seconds) return nullptr;
    return vt::call_method(loop.get(), st.host.s_call_later, seconds.get(), callback.get());
}

namespace {

Worker* as_worker(PyObject* o) { return reinterpret_cast<Worker*>(o); }

PyObject* worker_new(PyTypeObject* type, PyObject*, PyObject*) {
    State* st = vt::state_of_type<State>(type, &module_def);
    if (!st) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);  // zeroes every field
    if (!self) return nullptr;
    Worker* w = as_worker(self);
    w->st = st;
    w->IV_INTSIZE = 10;
    w->streamSock = Py_NewRef(Py_None);
    w->updateSock = Py_NewRef(Py_None);
    w->lock = Py_NewRef(Py_None);
    w->backendlock = Py_NewRef(Py_None);
    w->timer = Py_NewRef(Py_None);
    return self;
}

// (address, lock) pair of a shared record.
bool unpack_shared(PyObject* pair, size_t& addr, vt::Ref& lock) {
    vt::Ref items[2];
    if (!vt::unpack(pair, 2, items) || !vt::to_size(items[0].get(), addr)) return false;
    lock = std::move(items[1]);
    return true;
}

int worker_init(PyObject* self, PyObject* args, PyObject* kwds) {
    State& st = *reinterpret_cast<Worker*>(self)->st;
    static vt::Signature sig("__init__",
                             {"rank", "c_config", "c_backend", "streamSock", "updateSock", "timeout"});
    PyObject* a[6];
    if (!sig.parse(args, kwds, a)) return -1;
    Worker* w = as_worker(self);

    // Everything is converted before anything is stored or scheduled.
    double timeout;
    size_t memaddr, backendaddr;
    vt::Ref lock, backendlock;
    uint32_t rank;
    if (!vt::to_seconds(a[5], "timeout", timeout) || !unpack_shared(a[1], memaddr, lock) ||
        !unpack_shared(a[2], backendaddr, backendlock) || !vt::to_u32(a[0], rank) ||
        !vt::check_instance(a[3], st.host.zmq_socket, "streamSock") ||
        !vt::check_instance(a[4], st.host.zmq_socket, "updateSock")) {
        return -1;
    }
    w->timeout = timeout;
    w->memaddr = memaddr;
    Py_SETREF(w->lock, lock.release());
    w->backendaddr = backendaddr;
    Py_SETREF(w->backendlock, backendlock.release());
    w->rank = rank;
    Py_SETREF(w->streamSock, Py_NewRef(a[3]));
    Py_SETREF(w->updateSock, Py_NewRef(a[4]));

    // A second construction replaces the pending call rather than adding one.
    return reset_timer(w, w->timeout) ? 0 : -1;
}

int worker_traverse(PyObject* self, visitproc visit, void* arg) {
    Worker* w = as_worker(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->streamSock);
    Py_VISIT(w->updateSock);
    Py_VISIT(w->lock);
    Py_VISIT(w->backendlock);
    Py_VISIT(w->timer);
    return 0;
}

// Breaks cycles but leaves None behind: a worker that host code still
// reaches after the collector cleared it must fail with errors, not crash.
int worker_clear(PyObject* self) {
    Worker* w = as_worker(self);
    Py_XSETREF(w->streamSock, Py_NewRef(Py_None));
    Py_XSETREF(w->updateSock, Py_NewRef(Py_None));
    Py_XSETREF(w->lock, Py_NewRef(Py_None));
    Py_XSETREF(w->backendlock, Py_NewRef(Py_None));
    Py_XSETREF(w->timer, Py_NewRef(Py_None));
    return 0;
}

// Destruction drops the references; a pending timer call stays scheduled
// (the handle's callback keeps its own reference to the worker anyway).
void worker_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Worker* w = as_worker(self);
    Py_CLEAR(w->streamSock);
    Py_CLEAR(w->updateSock);
    Py_CLEAR(w->lock);
    Py_CLEAR(w->backendlock);
    Py_CLEAR(w->timer);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_timer(PyObject* self, void*) {
    PyObject* t = as_worker(self)->timer;
    return Py_NewRef(t ? t : Py_None);
}

int set_timer(PyObject* self, PyObject* value, void*) {
    if (vt::refuse_delete(value) < 0) return -1;
    Py_XSETREF(as_worker(self)->timer, Py_NewRef(value));
    return 0;
}

PyGetSetDef worker_getset[] = {
    vt::property<get_timer, set_timer>("timer", "Handle of the pending silence call, or None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef worker_methods[] = {
    vt::method<msg_received>("msg_received", "msg_received($self, msg)\n--\n\nTakes in one measurement record (frame 0 of msg)."),
    vt::method<onMismatch>("onMismatch",
     "onMismatch($self, data, config)\n--\n\nHook: the echoed settings disagreed and an update was sent."),
    vt::method<reset_timer_method>("reset_timer",
     "reset_timer($self, timeout_time=0.1)\n--\n\nRe-arms the silence call timeout_time seconds from now."),
    vt::method<handle_timeout>("handle_timeout",
     "handle_timeout($self)\n--\n\nRuns when the unit has been silent for the time-out."),
    vt::method<onTimeout>("onTimeout", "onTimeout($self)\n--\n\nHook: a powered unit has been silent."),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot worker_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "SpeedUpProtocol(rank, c_config, c_backend, streamSock, updateSock, timeout)\n--\n\n"
                    "Worker of one channel unit.")},
    {Py_tp_new, vt::slot<worker_new>()},
    {Py_tp_init, vt::slot<worker_init>()},
    {Py_tp_dealloc, vt::slot<worker_dealloc>()},
    {Py_tp_traverse, vt::slot<worker_traverse>()},
    {Py_tp_clear, vt::slot<worker_clear>()},
    {Py_tp_getset, worker_getset},
    {Py_tp_methods, worker_methods},
    {0, nullptr}};

}  // namespace

PyType_Spec worker_spec = {"vantor.cluster.workers.lanecore.SpeedUpProtocol", sizeof(Worker), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, worker_slots};

}  // namespace lanecore
