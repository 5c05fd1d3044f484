#include "dicts.hpp"

namespace vt {
namespace {

enum Key {
    mcuId, cuId, cuStatus, cuError, prescale, pgaGain, sequence, counts, monitorV, triggerV,
    biasV, latchV, latchFLow, latchFHigh, unlatchT, biasVStart, biasVStop, biasVStep,
    biasSweepT, kKeyCount
};
const char* const kNames[kKeyCount] = {
    "mcuId", "cuId", "cuStatus", "cuError", "prescale", "pgaGain", "sequence", "counts",
    "monitorV", "triggerV", "biasV", "latchV", "latchFLow", "latchFHigh", "unlatchT",
    "biasVStart", "biasVStop", "biasVStep", "biasSweepT"};

// Interned once per module, kept for the process lifetime.
PyObject* const* keys() {
    static PyObject* k[kKeyCount];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i < kKeyCount; ++i) {
            if (!k[i] && !(k[i] = intern(kNames[i]))) return nullptr;
        }
        ready = true;
    }
    return k;
}

struct Entry {
    Key key;
    PyObject* value;  // new reference, may be null after a failed allocation
};

template <size_t N>
PyObject* build(const Entry (&entries)[N]) {
    PyObject* const* k = keys();
    Ref d = k ? steal(_PyDict_NewPresized(N)) : Ref();
    bool ok = bool(d);
    for (const Entry& e : entries) {
        if (ok) ok = e.value && PyDict_SetItem(d.get(), k[e.key], e.value) == 0;
        Py_XDECREF(e.value);
    }
    return ok ? d.release() : nullptr;
}

inline PyObject* u(unsigned long v) { return PyLong_FromUnsignedLong(v); }
inline PyObject* f(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }

}  // namespace

PyObject* cu_message_dict(const cu_message& m) {
    return build({{mcuId, u(m.mcuId)}, {cuId, u(m.cuId)}, {cuStatus, u(m.cuStatus)},
                  {cuError, u(m.cuError)}, {prescale, u(m.prescale)}, {pgaGain, u(m.pgaGain)},
                  {sequence, u(m.sequence)}, {counts, u(m.counts)}, {monitorV, f(m.monitorV)},
                  {triggerV, f(m.triggerV)}, {biasV, f(m.biasV)}, {latchV, f(m.latchV)},
                  {latchFLow, f(m.latchFLow)}, {latchFHigh, f(m.latchFHigh)},
                  {unlatchT, u(m.unlatchT)}, {biasVStart, f(m.biasVStart)},
                  {biasVStop, f(m.biasVStop)}, {biasVStep, f(m.biasVStep)},
                  {biasSweepT, u(m.biasSweepT)}});
}

PyObject* cu_update_dict(const cu_update_message& m) {
    return build({{mcuId, u(m.mcuId)}, {cuId, u(m.cuId)}, {cuStatus, u(m.cuStatus)},
                  {prescale, u(m.prescale)}, {pgaGain, u(m.pgaGain)}, {triggerV, f(m.triggerV)},
                  {biasV, f(m.biasV)}, {latchV, f(m.latchV)}, {latchFLow, f(m.latchFLow)},
                  {latchFHigh, f(m.latchFHigh)}, {unlatchT, u(m.unlatchT)},
                  {biasVStart, f(m.biasVStart)}, {biasVStop, f(m.biasVStop)},
                  {biasVStep, f(m.biasVStep)}, {biasSweepT, u(m.biasSweepT)}});
}

}  // namespace vt
