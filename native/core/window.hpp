// Integration windows and IV sweep points of one channel unit: what is summed
// per message and where a message falls relative to the open window. No Python.
#pragma once
#include "unitmath.hpp"

#include <cstdint>

namespace vt {

inline constexpr double INTERVAL10MS = 0.01;  // seconds per sequence step

// Counts and running mean monitor voltage of the messages of one window or point.
struct Accumulator {
    uint64_t SUM_COUNTS = 0;
    float AVG_MONITOR = 0.0f;
    uint32_t DATALENGTH = 0;

    void clear() noexcept { *this = Accumulator{}; }
    void add(uint32_t counts, float monitorV) noexcept {
        SUM_COUNTS += counts;
        DATALENGTH += 1;
        AVG_MONITOR = math::running_mean(AVG_MONITOR, monitorV, DATALENGTH);
    }
};

// The multiple of buffSize that follows `start`, wrapping like the unit's
// 32-bit counter; buffSize must not be 0.
inline uint32_t window_end(uint32_t start, uint32_t buffSize) noexcept {
    return start + (buffSize - start % buffSize);
}

enum class WindowStep {
    inside,    // the message belongs to the open window
    restart,   // the counter went backwards: the open window is dropped
    closes,    // the message lies at or past the window's end
};

// Positions are distances modulo 2^32, so a window runs on across the
// counter's wrap; a step back of less than 2^31 is a restart.
inline WindowStep window_step(uint32_t sequence, uint32_t PREVSEQ, uint32_t STARTSEQ,
                              uint32_t buffSize) noexcept {
    if (static_cast<int32_t>(sequence - PREVSEQ) < 0) return WindowStep::restart;
    if (sequence - STARTSEQ >= buffSize - STARTSEQ % buffSize) return WindowStep::closes;
    return WindowStep::inside;
}

// The time of a sequence step on the shared time base.
inline double step_time(uint32_t sequence, float TIMESTAMP) noexcept {
    return static_cast<double>(sequence) * INTERVAL10MS + static_cast<double>(TIMESTAMP);
}

}  // namespace vt
