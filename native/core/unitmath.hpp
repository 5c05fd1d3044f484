// Binary32 unit math of a channel unit. Evaluated exactly in the written order
// (the build forbids FMA contraction): verification compares the hardware's
// echo bit for bit with values computed here.
#pragma once
#include "records.hpp"

namespace vt::math {

// -1 for inverted polarity (inverted byte 1), +1 otherwise.
inline float polarity(uint8_t inverted) { return inverted == 1 ? -1.0f : 1.0f; }

// Bias voltage per unit of bias current. rp <= 0: no parallel resistor.
inline float current_to_voltage(float rc, float rp, float rs, float rb) {
    if (rp <= 0.0f) return rc + rb;
    float q = rs / rp;
    float s = (rb + rc) + rp;
    float t = rb + q * s;
    return rc + t;
}

// Bias current per unit of bias voltage; false when the denominator is zero.
inline bool voltage_to_current(float rc, float rp, float rs, float rb, float& out) {
    float r_sum = (rb + rc) + rs;
    if (r_sum == 0.0f) { out = 0.0f; return true; }
    if (rp <= 0.0f) { out = 1.0f / r_sum; return true; }
    float a = (rb + rc) * rp;
    float b = rs * r_sum;
    float d = a + b;
    if (d == 0.0f) { out = -1.0f; return false; }
    out = rp / d;
    return true;
}

// The voltage a unit must echo for a configured current.
inline float to_voltage(float current, float c, float invC) { return (current * c) * invC; }

inline bool verify_config(const cu_message& d, const cu_config& cfg, float c) {
    const float inv = polarity(cfg.inverted);
    bool status_ok;
    if (d.cuStatus == 1) status_ok = true;
    else if (cfg.cuStatus == 10) status_ok = d.cuStatus == 2 || d.cuStatus == 10;
    else status_ok = d.cuStatus == cfg.cuStatus;
    return status_ok && d.prescale == cfg.prescale && d.pgaGain == cfg.pgaGain &&
           d.triggerV == cfg.triggerV &&
           (d.cuStatus == 1 || d.biasV == to_voltage(cfg.biasI, c, inv)) &&
           d.latchV == cfg.latchV && d.latchFLow == cfg.latchFLow && d.latchFHigh == cfg.latchFHigh &&
           d.unlatchT == cfg.unlatchT && d.biasVStart == to_voltage(cfg.biasIStart, c, inv) &&
           d.biasVStop == to_voltage(cfg.biasIStop, c, inv) &&
           d.biasVStep == (c * cfg.biasIStep) * inv && d.biasSweepT == cfg.biasSweepT;
}

// Counts summed over `datalength` messages scaled to an interval of `intsize`
// steps by a whole factor; false when no message was summed.
inline bool scale_counts(uint64_t sum, uint32_t datalength, uint32_t intsize, uint32_t& out) {
    if (datalength == 0) { out = 0xFFFFFFFFu; return false; }
    uint32_t factor = intsize / datalength;
    out = static_cast<uint32_t>(sum * factor);
    return true;
}

// Running mean in binary32: ((x - mean) / n) + mean.
inline float running_mean(float mean, float x, uint32_t n) {
    return ((x - mean) / static_cast<float>(n)) + mean;
}

}  // namespace vt::math
