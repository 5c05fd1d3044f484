// Native storage of a recording: 16 bytes per point, no host objects. No Python.
#pragma once
#include <cstdint>
#include <new>
#include <vector>

#ifndef VANTOR_MAX_RECORDING_LENGTH
#define VANTOR_MAX_RECORDING_LENGTH 100000000
#endif

namespace vt {

// Most points one unit's buffer holds in one recording (lowered by test builds).
inline constexpr uint32_t MAX_RECORDING_LENGTH = VANTOR_MAX_RECORDING_LENGTH;

struct recordData_point {
    double time;
    uint32_t counts;
    float monitorV;
};
static_assert(sizeof(recordData_point) == 16);

using recdatatype = std::vector<recordData_point>;

inline bool is_full(const recdatatype& buf) { return buf.size() >= MAX_RECORDING_LENGTH; }

// Appends one point; throws std::bad_alloc when memory runs out (the buffer
// keeps its points).
inline void append_point(recdatatype& buf, const recordData_point& p) { buf.push_back(p); }

}  // namespace vt
