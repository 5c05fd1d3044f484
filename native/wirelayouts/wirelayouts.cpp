// vantor.headers.wirelayouts: publishes the one builder of stream_data records
// to the other native modules.
#include "common/entry.hpp"
#include "common/native_api.hpp"

namespace {

vt::stream_data createStreamMsg(uint8_t mcuId, uint8_t cuId, uint8_t cuStatus, uint8_t inverted,
                                double timestamp, uint32_t counts, uint32_t intSize, float monitorV,
                                float biasI, uint32_t rank) {
    vt::stream_data s{};  // reserved bytes: none in this record, but zero the whole anyway
    s.mcuId = mcuId;
    s.cuId = cuId;
    s.cuStatus = cuStatus;
    s.inverted = inverted;
    s.monitorV = monitorV;
    s.biasI = biasI;
    s.counts = counts;
    s.intSize = intSize;
    s.rank = rank;
    s.timestamp = timestamp;
    return s;
}
static_assert(std::is_same_v<decltype(&createStreamMsg), vt::api::createStreamMsg_t>);

int exec_module(PyObject* m) {
    return vt::export_function(m, "createStreamMsg", reinterpret_cast<void*>(&createStreamMsg),
                               vt::api::createStreamMsg_sig);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.headers.wirelayouts",
    "Binary layouts of the wire records and the builder of stream_data records.",
    0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_wirelayouts() { return PyModuleDef_Init(&module_def); }
