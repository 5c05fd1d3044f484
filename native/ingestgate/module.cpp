// vantor.cluster.ingestgate: binds the host's logging, clock and rounding at
// load and defines the broker class.
#include "broker.hpp"

#include "common/entry.hpp"
#include "common/module_state.hpp"

namespace ingestgate {
namespace {

bool bind_host(State& st) {
    HostRefs& host = st.host;
    vt::Ref logging = vt::steal(PyImport_ImportModule("logging"));
    if (!logging) return false;
    host.logger = PyObject_CallMethod(logging.get(), "getLogger", "s", "vantor.cluster.ingestgate");
    if (!host.logger || !(host.time_module = PyImport_ImportModule("time"))) return false;
    vt::Ref builtins = vt::steal(PyImport_ImportModule("builtins"));
    if (!builtins || !(host.round = PyObject_GetAttrString(builtins.get(), "round"))) return false;
    if (!(host.three = PyLong_FromLong(3))) return false;
    st.pair_cache = static_cast<PyObject**>(PyMem_Calloc(65536, sizeof(PyObject*)));
    if (!st.pair_cache) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool intern_names(State& st) {
    Names& n = st.names;
    return vt::intern_into({{&n.device_addresses, "device_addresses"}, {&n.get, "get"},
                            {&n.log_firmware_version, "log_firmware_version"}, {&n.log_msg, "log_msg"},
                            {&n.on_sync_success, "on_sync_success"}, {&n.on_sync_failed, "on_sync_failed"},
                            {&n.on_finally, "on_finally"}, {&n.on_missing, "on_missing"}, {&n.info, "info"},
                            {&n.time, "time"}, {&st.host.timestamp_reset, "Timestamp reset"}});
}

int exec_module(PyObject* m) {
    State& st = *vt::module_state<State>(m);
    if (!intern_names(st) || !bind_host(st)) return -1;
    PyObject* type = PyType_FromModuleAndSpec(m, &broker_spec, nullptr);
    if (!type) return -1;
    st.BrokerType = reinterpret_cast<PyTypeObject*>(type);
    if (PyModule_AddObjectRef(m, "SpeedUpProtocol", type) < 0) return -1;
    if (PyModule_AddObjectRef(m, "logger", st.host.logger) < 0) return -1;
    vt::Ref size = vt::steal(PyLong_FromUnsignedLongLong(MSG_SIZE));
    return size && PyModule_AddObjectRef(m, "MSG_SIZE", size.get()) == 0 ? 0 : -1;
}

// The cached pairs are tuples of small integers: they hold nothing that could
// form a cycle, so they are not traversed or cleared and go only with the module.
void free_module(void* m) {
    vt::free_state<State>(m);
    State* st = vt::module_state<State>(static_cast<PyObject*>(m));
    if (!st || !st->pair_cache) return;
    for (int k = 0; k < 65536; ++k) Py_XDECREF(st->pair_cache[k]);
    PyMem_Free(st->pair_cache);
    st->pair_cache = nullptr;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.cluster.ingestgate",
    "Datagram ingest broker: reordering, cycle check, synchronisation and time base.",
    sizeof(State), nullptr, slots, vt::traverse_state<State>, vt::clear_state<State>,
    vt::entry<free_module>()};

PyObject* pair_tuple(State& st, uint8_t mcuId, uint8_t cuId) {
    PyObject*& slot = st.pair_cache[pair_key(mcuId, cuId)];
    if (!slot) slot = Py_BuildValue("(ii)", mcuId, cuId);
    return slot;
}

}  // namespace ingestgate

PyMODINIT_FUNC PyInit_ingestgate() { return PyModuleDef_Init(&ingestgate::module_def); }
