// Native functions that one extension module publishes to the others, by name,
// each in a capsule whose name spells the C signature so that a mismatch
// between modules is caught at import rather than as a bad call.
#pragma once
#include "ref.hpp"

#include "core/records.hpp"

namespace vt {

// Module attribute holding the {name: capsule} table.
inline constexpr const char* kNativeApiAttr = "_native_api";

// Adds `fn` under `name` to the module's table. -1 with the error set on failure.
int export_function(PyObject* module, const char* name, void* fn, const char* signature);
// Imports `module_name` and returns the function published under `name`;
// null with ImportError when the module does not publish it with that signature.
void* import_function(const char* module_name, const char* name, const char* signature);

namespace api {

using createStreamMsg_t = stream_data (*)(uint8_t mcuId, uint8_t cuId, uint8_t cuStatus, uint8_t inverted,
                                          double timestamp, uint32_t counts, uint32_t intSize,
                                          float monitorV, float biasI, uint32_t rank);
inline constexpr const char* createStreamMsg_sig =
    "stream_data (uint8_t, uint8_t, uint8_t, uint8_t, double, uint32_t, uint32_t, float, float, uint32_t)";

// Both multipliers take (rc, rp, rs, rb).
using multiplier_t = float (*)(float rc, float rp, float rs, float rb);
inline constexpr const char* multiplier_sig = "float (float, float, float, float)";

using verifyConfig_t = int (*)(cu_message data, const cu_config* config, float currentToVoltage);
inline constexpr const char* verifyConfig_sig = "int (cu_message, cu_config const *, float)";

using calculateCounts_t = uint32_t (*)(uint64_t SUM_COUNTS, uint32_t DATALENGTH, uint32_t INTSIZE);
inline constexpr const char* calculateCounts_sig = "uint32_t (uint64_t, uint32_t, uint32_t)";

}  // namespace api
}  // namespace vt
