// Binary layouts of every record that crosses a module, socket or shared-memory
// boundary. Little-endian x86-64 native layout; gaps are reserved bytes.
// No Python here: decoding works on byte spans so it can be tested alone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vt {

enum : uint8_t {
    CU_NORMAL = 0,
    CU_IV = 2,
    CU_END_IV = 3,
    CU_TIMEOUT = 100,
    CU_TIMEOUT_POWERED = 200,
};

// Measurement record of one channel unit, sent every 10 ms step.
struct cu_message {
    uint8_t mcuId, cuId, cuStatus, cuError, prescale, pgaGain;
    uint8_t reserved_[2];
    uint32_t sequence, counts;
    float monitorV, triggerV, biasV, latchV, latchFLow, latchFHigh;
    uint32_t unlatchT;
    float biasVStart, biasVStop, biasVStep;
    uint32_t biasSweepT;
};

// Settings update sent towards a unit.
struct cu_update_message {
    uint8_t mcuId, cuId, cuStatus, prescale, pgaGain;
    uint8_t reserved_[3];
    float triggerV, biasV, latchV, latchFLow, latchFHigh;
    uint32_t unlatchT;
    float biasVStart, biasVStop, biasVStep;
    uint32_t biasSweepT;
};

// Desired state of a unit, in shared memory.
struct cu_config {
    uint8_t mcuId, cuId, cuStatus, prescale, pgaGain, powered, inverted;
    uint8_t reserved_;
    float triggerV, biasI, latchV, latchFLow, latchFHigh;
    uint32_t unlatchT;
    float biasIStart, biasIStop, biasIStep;
    uint32_t biasSweepT;
    float resistorCryo, resistorParallel, resistorSeries, resistorBias;
};

// The one shared back-end record.
struct C_Backend {
    uint32_t buffSize;
    float TIMESTAMP;
};

// Worker output: an integration interval, an IV point or a silence record.
struct stream_data {
    uint8_t mcuId, cuId, cuStatus, inverted;
    float monitorV, biasI;
    uint32_t counts, intSize, rank;
    double timestamp;
};

// Microcontroller status record.
struct mcu_message {
    uint8_t mcuId, mcuStatus, mcuError, pllLock;
    float temp1, temp2;
};

#define VT_AT(T, f, off) static_assert(offsetof(T, f) == (off), #T "." #f)
static_assert(sizeof(cu_message) == 60);
VT_AT(cu_message, mcuId, 0); VT_AT(cu_message, cuId, 1); VT_AT(cu_message, cuStatus, 2);
VT_AT(cu_message, cuError, 3); VT_AT(cu_message, prescale, 4); VT_AT(cu_message, pgaGain, 5);
VT_AT(cu_message, sequence, 8); VT_AT(cu_message, counts, 12); VT_AT(cu_message, monitorV, 16);
VT_AT(cu_message, triggerV, 20); VT_AT(cu_message, biasV, 24); VT_AT(cu_message, latchV, 28);
VT_AT(cu_message, latchFLow, 32); VT_AT(cu_message, latchFHigh, 36); VT_AT(cu_message, unlatchT, 40);
VT_AT(cu_message, biasVStart, 44); VT_AT(cu_message, biasVStop, 48); VT_AT(cu_message, biasVStep, 52);
VT_AT(cu_message, biasSweepT, 56);

static_assert(sizeof(cu_update_message) == 48);
VT_AT(cu_update_message, mcuId, 0); VT_AT(cu_update_message, cuId, 1);
VT_AT(cu_update_message, cuStatus, 2); VT_AT(cu_update_message, prescale, 3);
VT_AT(cu_update_message, pgaGain, 4); VT_AT(cu_update_message, triggerV, 8);
VT_AT(cu_update_message, biasV, 12); VT_AT(cu_update_message, latchV, 16);
VT_AT(cu_update_message, latchFLow, 20); VT_AT(cu_update_message, latchFHigh, 24);
VT_AT(cu_update_message, unlatchT, 28); VT_AT(cu_update_message, biasVStart, 32);
VT_AT(cu_update_message, biasVStop, 36); VT_AT(cu_update_message, biasVStep, 40);
VT_AT(cu_update_message, biasSweepT, 44);

static_assert(sizeof(cu_config) == 64);
VT_AT(cu_config, mcuId, 0); VT_AT(cu_config, cuId, 1); VT_AT(cu_config, cuStatus, 2);
VT_AT(cu_config, prescale, 3); VT_AT(cu_config, pgaGain, 4); VT_AT(cu_config, powered, 5);
VT_AT(cu_config, inverted, 6); VT_AT(cu_config, triggerV, 8); VT_AT(cu_config, biasI, 12);
VT_AT(cu_config, latchV, 16); VT_AT(cu_config, latchFLow, 20); VT_AT(cu_config, latchFHigh, 24);
VT_AT(cu_config, unlatchT, 28); VT_AT(cu_config, biasIStart, 32); VT_AT(cu_config, biasIStop, 36);
VT_AT(cu_config, biasIStep, 40); VT_AT(cu_config, biasSweepT, 44);
VT_AT(cu_config, resistorCryo, 48); VT_AT(cu_config, resistorParallel, 52);
VT_AT(cu_config, resistorSeries, 56); VT_AT(cu_config, resistorBias, 60);

static_assert(sizeof(C_Backend) == 8);
VT_AT(C_Backend, buffSize, 0); VT_AT(C_Backend, TIMESTAMP, 4);

static_assert(sizeof(stream_data) == 32);
VT_AT(stream_data, mcuId, 0); VT_AT(stream_data, cuId, 1); VT_AT(stream_data, cuStatus, 2);
VT_AT(stream_data, inverted, 3); VT_AT(stream_data, monitorV, 4); VT_AT(stream_data, biasI, 8);
VT_AT(stream_data, counts, 12); VT_AT(stream_data, intSize, 16); VT_AT(stream_data, rank, 20);
VT_AT(stream_data, timestamp, 24);

static_assert(sizeof(mcu_message) == 12);
VT_AT(mcu_message, mcuId, 0); VT_AT(mcu_message, mcuStatus, 1); VT_AT(mcu_message, mcuError, 2);
VT_AT(mcu_message, pllLock, 3); VT_AT(mcu_message, temp1, 4); VT_AT(mcu_message, temp2, 8);
#undef VT_AT

// Copies the first sizeof(T) bytes of a frame into a record; false (nothing
// read) when the frame is shorter. Surplus bytes are ignored.
template <class T>
inline bool decode(const void* bytes, size_t len, T& out) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    if (len < sizeof(T)) return false;
    std::memcpy(&out, bytes, sizeof(T));
    return true;
}

// Record names for messages.
template <class T> constexpr const char* record_name = "record";
template <> inline constexpr const char* record_name<cu_message> = "cu_message";
template <> inline constexpr const char* record_name<cu_update_message> = "cu_update_message";
template <> inline constexpr const char* record_name<cu_config> = "cu_config";
template <> inline constexpr const char* record_name<C_Backend> = "C_Backend";
template <> inline constexpr const char* record_name<stream_data> = "stream_data";
template <> inline constexpr const char* record_name<mcu_message> = "mcu_message";

}  // namespace vt
