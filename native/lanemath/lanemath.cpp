// vantor.functions.lanemath: conversion factors, settings verification and
// count scaling, published to the other native modules. Errors are raised as
// the host's ZeroDivisionError with a fallback result, and callers check
// PyErr_Occurred() right after the call.
#include "common/entry.hpp"
#include "common/messages.hpp"
#include "common/native_api.hpp"
#include "core/unitmath.hpp"

namespace {

float currentToVoltageMultiplier(float rc, float rp, float rs, float rb) {
    return vt::math::current_to_voltage(rc, rp, rs, rb);
}

float voltageToCurrentMultiplier(float rc, float rp, float rs, float rb) {
    float out;
    if (!vt::math::voltage_to_current(rc, rp, rs, rb, out)) {
        vt::raise::float_division_by_zero();
    }
    return out;
}

int verifyConfig(vt::cu_message data, const vt::cu_config* config, float currentToVoltage) {
    return vt::math::verify_config(data, *config, currentToVoltage) ? 1 : 0;
}

uint32_t calculateCounts(uint64_t SUM_COUNTS, uint32_t DATALENGTH, uint32_t INTSIZE) {
    uint32_t out;
    if (!vt::math::scale_counts(SUM_COUNTS, DATALENGTH, INTSIZE, out)) {
        vt::raise::int_division_by_zero();
    }
    return out;
}

static_assert(std::is_same_v<decltype(&currentToVoltageMultiplier), vt::api::multiplier_t>);
static_assert(std::is_same_v<decltype(&voltageToCurrentMultiplier), vt::api::multiplier_t>);
static_assert(std::is_same_v<decltype(&verifyConfig), vt::api::verifyConfig_t>);
static_assert(std::is_same_v<decltype(&calculateCounts), vt::api::calculateCounts_t>);

int exec_module(PyObject* m) {
    using namespace vt::api;
    if (vt::export_function(m, "currentToVoltageMultiplier",
                            reinterpret_cast<void*>(&currentToVoltageMultiplier), multiplier_sig) < 0 ||
        vt::export_function(m, "voltageToCurrentMultiplier",
                            reinterpret_cast<void*>(&voltageToCurrentMultiplier), multiplier_sig) < 0 ||
        vt::export_function(m, "verifyConfig", reinterpret_cast<void*>(&verifyConfig), verifyConfig_sig) < 0 ||
        vt::export_function(m, "calculateCounts", reinterpret_cast<void*>(&calculateCounts),
                            calculateCounts_sig) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.functions.lanemath",
    "Binary32 conversion factors, settings verification and count scaling.",
    0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_lanemath() { return PyModuleDef_Init(&module_def); }
