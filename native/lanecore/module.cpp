// vantor.cluster.workers.lanecore: binds the record builder and the unit math
// of the other two native modules at load, and defines the worker class.
#include "worker.hpp"

#include "common/entry.hpp"
#include "common/messages.hpp"
#include "common/module_state.hpp"

namespace lanecore {

namespace {

bool bind_natives(Natives& natives) {
    using namespace vt::api;
    const char* wl = "vantor.headers.wirelayouts";
    const char* lm = "vantor.functions.lanemath";
    natives.createStreamMsg = reinterpret_cast<createStreamMsg_t>(
        vt::import_function(wl, "createStreamMsg", createStreamMsg_sig));
    if (!natives.createStreamMsg) return false;
    natives.currentToVoltageMultiplier = reinterpret_cast<multiplier_t>(
        vt::import_function(lm, "currentToVoltageMultiplier", multiplier_sig));
    if (!natives.currentToVoltageMultiplier) return false;
    natives.voltageToCurrentMultiplier = reinterpret_cast<multiplier_t>(
        vt::import_function(lm, "voltageToCurrentMultiplier", multiplier_sig));
    if (!natives.voltageToCurrentMultiplier) return false;
    natives.verifyConfig =
        reinterpret_cast<verifyConfig_t>(vt::import_function(lm, "verifyConfig", verifyConfig_sig));
    if (!natives.verifyConfig) return false;
    natives.calculateCounts =
        reinterpret_cast<calculateCounts_t>(vt::import_function(lm, "calculateCounts", calculateCounts_sig));
    return natives.calculateCounts != nullptr;
}

bool bind_host(HostRefs& host) {
    vt::Ref zmq = vt::steal(PyImport_ImportModule("zmq"));
    if (!zmq) return false;
    vt::Ref backend = vt::steal(PyObject_GetAttrString(zmq.get(), "backend"));
    vt::Ref sock = backend ? vt::steal(PyObject_GetAttrString(backend.get(), "Socket")) : vt::Ref();
    if (!sock) return false;
    if (!PyType_Check(sock.get())) {
        vt::raise::not_a_class("zmq.backend.Socket");
        return false;
    }
    host.zmq_socket = reinterpret_cast<PyTypeObject*>(sock.release());
    host.sndmore = PyObject_GetAttrString(zmq.get(), "SNDMORE");
    if (!host.sndmore) return false;
    vt::Ref asyncio = vt::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return false;
    host.get_event_loop = PyObject_GetAttrString(asyncio.get(), "get_event_loop");
    if (!host.get_event_loop) return false;
    host.s_handle_timeout = vt::intern("handle_timeout");
    host.s_call_later = vt::intern("call_later");
    host.s_cancel = vt::intern("cancel");
    host.s_send = vt::intern("send");
    host.s_reset_timer = vt::intern("reset_timer");
    host.s_onMismatch = vt::intern("onMismatch");
    host.s_onTimeout = vt::intern("onTimeout");
    // Constant frames of every update message, created once.
    host.frame_broker = PyBytes_FromString("cu_udp_broker");
    host.frame_update = PyBytes_FromString("cu_update");
    host.frame_empty = PyBytes_FromString("");
    return host.s_handle_timeout && host.s_call_later && host.s_cancel && host.s_send &&
           host.s_reset_timer && host.s_onMismatch && host.s_onTimeout && host.frame_broker &&
           host.frame_update && host.frame_empty;
}

int add_constants(PyObject* m) {
    return PyModule_AddIntConstant(m, "CU_NORMAL", vt::CU_NORMAL) < 0 ||
                   PyModule_AddIntConstant(m, "CU_IV", vt::CU_IV) < 0 ||
                   PyModule_AddIntConstant(m, "CU_END_IV", vt::CU_END_IV) < 0 ||
                   PyModule_AddObject(m, "INTERVAL10MS", PyFloat_FromDouble(INTERVAL10MS)) < 0 ||
                   PyModule_AddIntConstant(m, "UPDATEMESSAGEINTERVAL", UPDATEMESSAGEINTERVAL) < 0
               ? -1
               : 0;
}

int exec_module(PyObject* m) {
    State& st = *vt::module_state<State>(m);
    if (!bind_natives(st.natives) || !bind_host(st.host)) return -1;
    PyObject* type = PyType_FromModuleAndSpec(m, &worker_spec, nullptr);
    if (!type) return -1;
    st.WorkerType = reinterpret_cast<PyTypeObject*>(type);
    if (PyModule_AddObjectRef(m, "SpeedUpProtocol", type) < 0) return -1;
    return add_constants(m);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.cluster.workers.lanecore",
    "Channel-unit worker: verification, integration, IV sweeps and silence supervision.",
    sizeof(State), nullptr, slots, vt::traverse_state<State>, vt::clear_state<State>, vt::free_state<State>};

}  // namespace lanecore

PyMODINIT_FUNC PyInit_lanecore() { return PyModuleDef_Init(&lanecore::module_def); }
