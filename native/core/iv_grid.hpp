// The hub's IV grid: 10 nA bins from a start current. The bin index is
// binary32 arithmetic in a fixed order, so a point lands in the same bin on
// every build. No Python.
#pragma once
#include <cmath>
#include <cstdint>
#include <vector>

namespace vt {

// One point of a sweep; biasI is stored as a magnitude.
struct ivData_point {
    float biasI;
    uint32_t counts;
    float monitorV;
};
using ivdatatype = std::vector<ivData_point>;

inline constexpr double kBinWidth = 1e-8;  // amperes
inline constexpr float kBinsPerAmpere = 1e8f;  // exact in binary32

// Current of grid entry k: float64 from the float32 start and k as float32.
inline double grid_current(float start, int64_t k) {
    return static_cast<double>(start) + static_cast<double>(static_cast<float>(k)) * kBinWidth;
}

// Bin of a current at or above `start`: the float32 product rounded with
// halves away from zero; INT32_MIN when that is NaN or beyond int32.
inline int32_t bin_index(float biasI, float start) {
    const float diff = biasI - start;
    const float scaled = diff * kBinsPerAmpere;
    const float rounded = std::round(scaled);
    if (!(rounded >= -2147483648.0f && rounded < 2147483648.0f)) return INT32_MIN;
    return static_cast<int32_t>(rounded);
}

// Points outside [start, stop] are left out; a NaN current is kept (and
// lands on INT32_MIN).
inline bool outside_range(float biasI, float start, float stop) { return biasI > stop || start > biasI; }

}  // namespace vt

namespace vt {

enum class BinCount { ok, nan, infinite, too_large };

// Bins from min_start to max_stop inclusive: R(stop * 1e8) + 1 - R(start * 1e8)
// with R rounding ties to even, as exact integers; too_large when the count
// does not fit int32.
inline BinCount bin_count(float min_start, float max_stop, int32_t& steps) {
    const double hi = std::nearbyint(static_cast<double>(max_stop) * 1e8);
    const double lo = std::nearbyint(static_cast<double>(min_start) * 1e8);
    for (double x : {hi, lo}) {
        if (std::isnan(x)) return BinCount::nan;
        if (std::isinf(x)) return BinCount::infinite;
    }
    // Both are integers. Below 2^53 the difference is exact in int64; above,
    // it is either exact (operands within a factor of two) or far beyond int32.
    constexpr double kExact = 9007199254740992.0;  // 2^53
    double count;
    if (std::fabs(hi) < kExact && std::fabs(lo) < kExact) {
        count = static_cast<double>(static_cast<int64_t>(hi) + 1 - static_cast<int64_t>(lo));
    } else {
        count = (hi - lo) + 1.0;
    }
    if (!(count >= -2147483648.0 && count <= 2147483647.0)) return BinCount::too_large;
    steps = static_cast<int32_t>(count);
    return BinCount::ok;
}

}  // namespace vt
