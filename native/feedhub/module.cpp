// vantor.cluster.feedhub: the front end's stream hub and the recorded-sample class.
#include "hub.hpp"

#include "common/entry.hpp"
#include "common/module_state.hpp"

namespace feedhub {

bool init_names(Names& names) {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&names.create_look_up, "create_look_up"}, {&names.get_min_max, "get_min_max"},
        {&names.get_biasSweepTs, "get_biasSweepTs"}, {&names.get_iv, "get_iv"},
        {&names.gen_iv_data, "gen_iv_data"}, {&names.get_iv_data, "get_iv_data"},
        {&names.stopRecording, "stopRecording"}, {&names.getRecordData, "getRecordData"},
        {&names.streamData, "streamData"}, {&names.streamIvData, "streamIvData"},
        {&names.resetIvFrontend, "resetIvFrontend"}, {&names.devices, "devices"},
        {&names.channels, "channels"}, {&names.items, "items"}, {&names.rank, "rank"},
        {&names.configuration, "configuration"}, {&names.inverted, "inverted"},
        {&names.get_c_value, "get_c_value"}, {&names.biasSweepT, "biasSweepT"},
        {&names.biasIStart, "biasIStart"}, {&names.biasIStop, "biasIStop"}, {&names.length, "length"},
        {&names.running, "running"}, {&names.timestamp_started, "timestamp_started"},
        {&names.counts, "counts"}, {&names.monitorV, "monitorV"}, {&names.biasI, "biasI"},
        {&names.biasSweepTs, "biasSweepTs"}, {&names.time, "time"}, {&names.print, "print"},
        {&names.index_error_ch, "Index error ch"}, {&names.index, "index"},
    };
    for (const Entry& e : entries) {
        if (!(*e.slot = vt::intern(e.text))) return false;
    }
    return true;
}

namespace {

int exec_module(PyObject* m) {
    State& st = *vt::module_state<State>(m);
    if (!init_names(st.names)) return -1;
    PyObject* hub = PyType_FromModuleAndSpec(m, &hub_spec, nullptr);
    if (!hub) return -1;
    st.HubType = reinterpret_cast<PyTypeObject*>(hub);
    if (PyModule_AddObjectRef(m, "SpeedUpProtocol", hub) < 0) return -1;
    PyObject* rec = PyType_FromModuleAndSpec(m, &record_data_spec, nullptr);
    if (!rec) return -1;
    st.RecordDataType = reinterpret_cast<PyTypeObject*>(rec);
    if (PyModule_AddObjectRef(m, "RecordData", rec) < 0) return -1;
    vt::Ref cap = vt::steal(PyLong_FromUnsignedLong(MAX_RECORDING_LENGTH));
    return cap ? PyModule_AddObjectRef(m, "MAX_RECORDING_LENGTH", cap.get()) : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.cluster.feedhub",
    "Stream hub: device look-up, live batches, IV curves, IV range and recordings.",
    sizeof(State), nullptr, slots, vt::traverse_state<State>, vt::clear_state<State>, vt::free_state<State>};

}  // namespace feedhub

PyMODINIT_FUNC PyInit_feedhub() { return PyModuleDef_Init(&feedhub::module_def); }
