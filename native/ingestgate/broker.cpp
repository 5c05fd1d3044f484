// Broker object: allocation, construction, lifetime, the `inited` property,
// the default hook bodies and the class table.
#include <new>

#include "broker.hpp"

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/entry.hpp"
#include "common/messages.hpp"
#include "common/module_state.hpp"

namespace ingestgate {

void drop_queue(Broker* b) {
    b->core.msgqueue.clear([](void* owner) { Py_DECREF(static_cast<PyObject*>(owner)); });
}

namespace {

PyObject* broker_new(PyTypeObject* type, PyObject*, PyObject*) {
    State* st = vt::state_of_type<State>(type, &module_def);
    if (!st) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);  // zeroes every field
    if (!self) return nullptr;
    Broker* b = as_broker(self);
    b->st = st;
    new (&b->core) Core();
    b->isSynced = 1;
    b->CUIDS = Py_NewRef(Py_None);
    b->backendlock = Py_NewRef(Py_None);
    return self;
}

// The capacity is 2 x total_mcus in 32 bits. Zero would mean a queue that
// never reports full, so no datagram would ever be processed while the queue
// grew without bound.
bool check_queue_capacity(uint32_t total_mcus) {
    if (static_cast<uint32_t>(2u * total_mcus) != 0) return true;
    vt::raise::queue_capacity_zero(total_mcus);
    return false;
}

int broker_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static vt::Signature sig("__init__", {"MAXFAILS", "total_devices", "total_mcus", "c_backend",
                                          "device_addresses", "CUIDS", "logmsg"});
    PyObject* a[7];
    if (!sig.parse(args, kwds, a)) return -1;
    Broker* b = as_broker(self);
    const State& st = *b->st;

    // Conversions and type checks come before anything is stored.
    uint32_t maxfails, total_devices, total_mcus;
    bool logmsg;
    if (!vt::to_u32(a[0], maxfails) || !vt::to_u32(a[1], total_devices) || !vt::to_u32(a[2], total_mcus) ||
        !vt::to_bool(a[6], logmsg) || !vt::check_exact(a[4], &PyDict_Type, "device_addresses") ||
        !vt::check_exact(a[5], &PySet_Type, "CUIDS") || !check_queue_capacity(total_mcus)) {
        return -1;
    }
    b->core.cycle.MAXFAILS = maxfails;
    b->core.cycle.fails = 0;
    b->counter = 0;
    b->total = 0;
    // Generic attribute storage: the host's subclass provides it.
    if (PyObject_SetAttr(self, st.names.device_addresses, a[4]) < 0) return -1;
    Py_SETREF(b->CUIDS, Py_NewRef(a[5]));

    vt::Ref backend[2];
    size_t addr;
    if (!vt::unpack(a[3], 2, backend) || !vt::to_size(backend[0].get(), addr)) return -1;
    b->backendaddr = addr;
    Py_SETREF(b->backendlock, backend[1].release());

    b->logmsg = logmsg;
    b->core.cycle.clear_sets();
    drop_queue(b);
    b->core.msgqueue.reset(2u * total_mcus);
    b->core.queue_ready = true;
    return 0;
}

int broker_traverse(PyObject* self, visitproc visit, void* arg) {
    Broker* b = as_broker(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(b->CUIDS);
    Py_VISIT(b->backendlock);
    return 0;  // queued datagrams are bytes: they hold no references
}

int broker_clear(PyObject* self) {
    Broker* b = as_broker(self);
    Py_CLEAR(b->CUIDS);
    Py_CLEAR(b->backendlock);
    drop_queue(b);
    return 0;
}

// The C_Backend record belongs to the host and is never freed here.
void broker_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    broker_clear(self);
    as_broker(self)->core.~Core();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_inited(PyObject* self, void*) { return PyBool_FromLong(as_broker(self)->inited); }

int set_inited(PyObject* self, PyObject* value, void*) {
    bool flag;
    if (vt::refuse_delete(value) < 0 || !vt::to_bool(value, flag)) return -1;
    as_broker(self)->inited = flag;
    return 0;
}

PyGetSetDef broker_getset[] = {
    vt::property<get_inited, set_inited>("inited", "Flag owned by the host; the broker never reads it."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// Default hook bodies: they check their arguments and do nothing.
PyObject* on_sync_success(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("on_sync_success", {"chunk"});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyBytes_Type, "chunk")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_sync_failed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("on_sync_failed", {});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* log_msg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("log_msg", {"msg"});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyBytes_Type, "msg")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_finally(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("on_finally", {"channelID", "data"});
    PyObject* a[2];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyBytes_Type, "channelID") ||
        !vt::check_exact(a[1], &PyDict_Type, "data")) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* on_missing(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("on_missing", {"mcuId", "cuId"});
    PyObject* a[2];
    int32_t mcuId, cuId;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::to_i32(a[0], mcuId) || !vt::to_i32(a[1], cuId)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef broker_methods[] = {
    vt::method<msg_received>("msg_received",
     "msg_received($self, msg, addr)\n--\n\nTakes in one datagram from the sender `addr`."),
    vt::method<on_sync_success>("on_sync_success",
     "on_sync_success($self, chunk)\n--\n\nHook: the 60 bytes of a record that passed the cycle check."),
    vt::method<on_sync_failed>("on_sync_failed",
     "on_sync_failed($self)\n--\n\nHook: a re-synchronisation was triggered."),
    vt::method<log_msg>("log_msg", "log_msg($self, msg)\n--\n\nHook: every datagram while logmsg is set."),
    vt::method<on_finally>("on_finally",
     "on_finally($self, channelID, data)\n--\n\nHook: every record of a known channel unit, as a dictionary."),
    vt::method<on_missing>("on_missing",
     "on_missing($self, mcuId, cuId)\n--\n\nHook: a record of a channel unit outside CUIDS."),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot broker_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "SpeedUpProtocol(MAXFAILS, total_devices, total_mcus, c_backend, device_addresses, "
                    "CUIDS, logmsg)\n--\n\nDatagram ingest broker; used through a host subclass.")},
    {Py_tp_new, vt::slot<broker_new>()},
    {Py_tp_init, vt::slot<broker_init>()},
    {Py_tp_dealloc, vt::slot<broker_dealloc>()},
    {Py_tp_traverse, vt::slot<broker_traverse>()},
    {Py_tp_clear, vt::slot<broker_clear>()},
    {Py_tp_getset, broker_getset},
    {Py_tp_methods, broker_methods},
    {0, nullptr}};

}  // namespace

PyType_Spec broker_spec = {"vantor.cluster.ingestgate.SpeedUpProtocol", sizeof(Broker), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, broker_slots};

}  // namespace ingestgate
