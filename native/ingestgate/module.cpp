// vantor.cluster.ingestgate: binds the host's logging, clock and rounding at
// load and defines the broker class.
#include "broker.hpp"
#include "common/entry.hpp"

namespace ingestgate {

HostRefs host;
Names names;
Memos memos;
PyTypeObject* BrokerType;

namespace {

// One tuple per possible pair, made on first use: CUIDS look-ups then
// allocate nothing per record.
PyObject** pair_cache;

bool intern_names() {
    struct { PyObject** slot; const char* text; } table[] = {
        {&names.device_addresses, "device_addresses"}, {&names.get, "get"},
        {&names.log_firmware_version, "log_firmware_version"}, {&names.log_msg, "log_msg"},
        {&names.on_sync_success, "on_sync_success"}, {&names.on_sync_failed, "on_sync_failed"},
        {&names.on_finally, "on_finally"}, {&names.on_missing, "on_missing"}, {&names.info, "info"},
        {&names.time, "time"},
        {&host.timestamp_reset, "Timestamp reset"}};
    for (auto& e : table) {
        if (!*e.slot && !(*e.slot = vt::intern(e.text))) return false;
    }
    return true;
}

bool bind_host() {
    if (!host.logger) {
        vt::Ref logging = vt::steal(PyImport_ImportModule("logging"));
        if (!logging) return false;
        host.logger = PyObject_CallMethod(logging.get(), "getLogger", "s", "vantor.cluster.ingestgate");
        if (!host.logger) return false;
    }
    if (!host.time_module && !(host.time_module = PyImport_ImportModule("time"))) return false;
    if (!host.round) {
        vt::Ref builtins = vt::steal(PyImport_ImportModule("builtins"));
        if (!builtins || !(host.round = PyObject_GetAttrString(builtins.get(), "round"))) return false;
    }
    if (!host.three && !(host.three = PyLong_FromLong(3))) return false;
    if (!pair_cache) {
        pair_cache = static_cast<PyObject**>(PyMem_Calloc(65536, sizeof(PyObject*)));
        if (!pair_cache) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

int exec_module(PyObject* m) {
    if (!intern_names() || !bind_host()) return -1;
    PyObject* type = PyType_FromModuleAndSpec(m, &broker_spec, nullptr);
    if (!type) return -1;
    BrokerType = reinterpret_cast<PyTypeObject*>(type);
    if (PyModule_AddObjectRef(m, "SpeedUpProtocol", type) < 0) return -1;
    if (PyModule_AddObjectRef(m, "logger", host.logger) < 0) return -1;
    vt::Ref size = vt::steal(PyLong_FromUnsignedLongLong(MSG_SIZE));
    return size && PyModule_AddObjectRef(m, "MSG_SIZE", size.get()) == 0 ? 0 : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.cluster.ingestgate",
    "Datagram ingest broker: reordering, cycle check, synchronisation and time base.",
    0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyObject* pair_tuple(uint8_t mcuId, uint8_t cuId) {
    PyObject*& slot = pair_cache[pair_key(mcuId, cuId)];
    if (!slot) slot = Py_BuildValue("(ii)", mcuId, cuId);
    return slot;
}

}  // namespace ingestgate

PyMODINIT_FUNC PyInit_ingestgate() { return PyModuleDef_Init(&ingestgate::module_def); }
