// Hub object: allocation (A), construction (B), lifetime, hooks and the class table.
#include "hub.hpp"

#include "common/call.hpp"
#include "common/entry.hpp"
#include "common/messages.hpp"
#include "common/module_state.hpp"

namespace feedhub {
namespace {

// The IV result the front end sees before the first sweep has ended.
PyObject* initial_cached_data(const State& st) {
    vt::Ref counts_grid = vt::steal(PyList_New(0));
    vt::Ref monitor_grid = vt::steal(PyList_New(0));
    vt::Ref counts = vt::steal(PyDict_New());
    vt::Ref monitor = vt::steal(PyDict_New());
    vt::Ref sweep_ts = vt::steal(PyList_New(0));
    vt::Ref zero = vt::steal(PyLong_FromLong(0));
    vt::Ref d = vt::steal(PyDict_New());
    if (!counts_grid || !monitor_grid || !counts || !monitor || !sweep_ts || !zero || !d ||
        PyDict_SetItem(counts.get(), st.names.biasI, counts_grid.get()) < 0 ||
        PyDict_SetItem(monitor.get(), st.names.biasI, monitor_grid.get()) < 0 ||
        PyDict_SetItem(d.get(), st.names.running, Py_False) < 0 ||
        PyDict_SetItem(d.get(), st.names.timestamp_started, zero.get()) < 0 ||
        PyDict_SetItem(d.get(), st.names.counts, counts.get()) < 0 ||
        PyDict_SetItem(d.get(), st.names.monitorV, monitor.get()) < 0 ||
        PyDict_SetItem(d.get(), st.names.biasSweepTs, sweep_ts.get()) < 0) {
        return nullptr;
    }
    return d.release();
}

PyObject* hub_new(PyTypeObject* type, PyObject*, PyObject*) {
    State* st = vt::state_of_type<State>(type, &module_def);
    if (!st) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);  // zeroes time, totdev, RECORDING and the range
    if (!self) return nullptr;
    Hub* h = as_hub(self);
    h->st = st;
    h->d = new (std::nothrow) HubData();
    if (!h->d) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    h->settings = Py_NewRef(Py_None);
    h->cached_data = initial_cached_data(*st);
    h->devices = h->cached_data ? PyDict_New() : nullptr;
    if (!h->devices) {
        Py_DECREF(self);
        return nullptr;
    }
    // The host's subclass holds `length`; the bare class has no attribute
    // storage and is refused here. Its storage may run host code that calls
    // the hub or keeps it, so every table exists before.
    vt::Ref zero = vt::steal(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttr(self, st->names.length, zero.get()) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

int hub_init(PyObject* self, PyObject* args, PyObject* kwds) {
    State& st = state_of(self);
    static vt::Signature sig("__init__", {"settings"});
    PyObject* a[1];
    if (!sig.parse(args, kwds, a)) return -1;
    Hub* h = as_hub(self);
    Py_SETREF(h->settings, Py_NewRef(a[0]));
    if (!vt::call_hook(self, st.names.create_look_up, a[0])) return -1;
    vt::Ref range = vt::steal(call_get_min_max(self));
    float start, stop;
    int32_t steps;
    if (!range || !unpack_range(range.get(), start, stop, steps)) return -1;
    h->iv_start = start;
    h->iv_stop = stop;
    h->iv_steps = steps;
    return 0;
}

int hub_traverse(PyObject* self, visitproc visit, void* arg) {
    Hub* h = as_hub(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(h->settings);
    Py_VISIT(h->cached_data);
    Py_VISIT(h->devices);
    return 0;
}

// Breaks cycles but leaves None behind: a hub that host code still reaches
// after the collector cleared it must fail with errors, not crash.
int hub_clear(PyObject* self) {
    Hub* h = as_hub(self);
    Py_XSETREF(h->settings, Py_NewRef(Py_None));
    Py_XSETREF(h->cached_data, Py_NewRef(Py_None));
    Py_XSETREF(h->devices, Py_NewRef(Py_None));
    return 0;
}

void hub_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Hub* h = as_hub(self);
    Py_CLEAR(h->settings);
    Py_CLEAR(h->cached_data);
    Py_CLEAR(h->devices);
    delete h->d;
    type->tp_free(self);
    Py_DECREF(type);
}

// Hooks: the host's subclass replaces them; here they only check their arguments.
PyObject* streamData(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("streamData", {"data"});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyBytes_Type, "data")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* streamIvData(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("streamIvData", {"data"});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyDict_Type, "data")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* resetIvFrontend(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("resetIvFrontend", {"start", "stop", "steps"});
    PyObject* a[3];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    Py_RETURN_NONE;
}

// Native buffers and host references cannot be restored from a pickle.
PyObject* reduce_ex(PyObject* self, PyObject*) {
    vt::raise::cannot_pickle(self);
    return nullptr;
}

PyMethodDef hub_methods[] = {
    vt::method<meth_get_biasSweepTs>("get_biasSweepTs",
     "get_biasSweepTs($self)\n--\n\nConfigured sweep point length of every device, in look-up order."),
    vt::method<meth_get_min_max>("get_min_max",
     "get_min_max($self)\n--\n\nIV range over all configured sweeps."),
    vt::method<meth_get_iv>("get_iv",
     "get_iv($self, start, stop, steps)\n--\n\nIV curves of every device on the 10 nA grid from start."),
    vt::method<meth_get_iv_data>("get_iv_data",
     "get_iv_data($self)\n--\n\nFresh curves while a sweep runs, else the last result."),
    vt::method<meth_gen_iv_data>("gen_iv_data",
     "gen_iv_data($self)\n--\n\nCurves over the currently configured range."),
    vt::method<meth_msg_received>("msg_received",
     "msg_received($self, msg)\n--\n\nTakes in one stream record (element 0 of msg)."),
    vt::method<meth_startRecording>("startRecording",
     "startRecording($self, channels)\n--\n\nStarts recording the given ranks (a running recording is harvested first)."),
    vt::method<meth_stopRecording>("stopRecording",
     "stopRecording($self)\n--\n\nStops recording and returns the new result table."),
    vt::method<meth_getRecordData>("getRecordData",
     "getRecordData($self)\n--\n\nResult table of the most recent stop, built afresh."),
    vt::method<meth_create_look_up>("create_look_up",
     "create_look_up($self, settings)\n--\n\nAppends every channel unit of the settings to the device look-up."),
    vt::method<streamData>("streamData", "streamData($self, data)\n--\n\nHook: one live batch of stream records."),
    vt::method<streamIvData>("streamIvData", "streamIvData($self, data)\n--\n\nHook: the IV result."),
    vt::method<resetIvFrontend>("resetIvFrontend",
     "resetIvFrontend($self, start, stop, steps)\n--\n\nHook: the IV range changed."),
    vt::method_o<reduce_ex>("__reduce_ex__", nullptr),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot hub_slots[] = {
    {Py_tp_doc, const_cast<char*>("SpeedUpProtocol(settings)\n--\n\nStream hub of the front end.")},
    {Py_tp_new, vt::slot<hub_new>()},
    {Py_tp_init, vt::slot<hub_init>()},
    {Py_tp_dealloc, vt::slot<hub_dealloc>()},
    {Py_tp_traverse, vt::slot<hub_traverse>()},
    {Py_tp_clear, vt::slot<hub_clear>()},
    {Py_tp_methods, hub_methods},
    {0, nullptr}};

}  // namespace

PyType_Spec hub_spec = {"vantor.cluster.feedhub.SpeedUpProtocol", sizeof(Hub), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, hub_slots};

}  // namespace feedhub
