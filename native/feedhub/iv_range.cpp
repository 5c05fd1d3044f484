// IV range: smallest configured sweep start and largest stop over all
// devices (as magnitudes), the bin count between them, and the range the
// front end was last told.
#include "mapping_walk.hpp"

#include "common/messages.hpp"

#include <cmath>

namespace feedhub {
namespace {

// The bin count with the host's errors: those of round() for NaN and
// infinity, the int32 conversion's for a count that does not fit.
bool bin_count(float min_start, float max_stop, int32_t& steps) {
    switch (vt::bin_count(min_start, max_stop, steps)) {
        case vt::BinCount::ok: return true;
        case vt::BinCount::nan: vt::raise::float_to_int(NAN); return false;
        case vt::BinCount::infinite: vt::raise::float_to_int(INFINITY); return false;
        case vt::BinCount::too_large: vt::raise::value_too_large("int"); return false;
    }
    return false;
}

// |configuration.get_c_value(name)| as float32.
bool configured_magnitude(const State& st, PyObject* conf, PyObject* name, float& out) {
    vt::Ref v = vt::steal(vt::call_method(conf, st.names.get_c_value, name));
    vt::Ref mag = v ? vt::steal(PyNumber_Absolute(v.get())) : vt::Ref();
    return mag && vt::to_float(mag.get(), out);
}

PyObject* new_float(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }

}  // namespace

PyObject* get_min_max_native(Hub* h) {
    State& st = *h->st;
    float min_start = 0.0f, max_stop = 0.0f;
    bool first = true;
    bool ok = walk_devices(h, [&](PyObject* cu) {
        vt::Ref conf = vt::steal(PyObject_GetAttr(cu, st.names.configuration));
        if (!conf) return false;
        // Polarity plays no part (both limits are magnitudes), but a broken
        // configuration must still fail here.
        vt::Ref inverted = vt::steal(PyObject_GetAttr(conf.get(), st.names.inverted));
        bool truth;
        float s, e;
        if (!inverted || !vt::to_bool(inverted.get(), truth) ||
            !configured_magnitude(st, conf.get(), st.names.biasIStart, s) ||
            !configured_magnitude(st, conf.get(), st.names.biasIStop, e)) {
            return false;
        }
        if (first) {
            min_start = s;
            max_stop = e;
            first = false;
        } else {
            if (s < min_start) min_start = s;
            if (e > max_stop) max_stop = e;
        }
        return true;
    });
    int32_t steps;
    if (!ok || !bin_count(min_start, max_stop, steps)) return nullptr;
    vt::Ref a = vt::steal(new_float(min_start)), b = vt::steal(new_float(max_stop));
    vt::Ref c = vt::steal(PyLong_FromLong(steps));
    return a && b && c ? PyTuple_Pack(3, a.get(), b.get(), c.get()) : nullptr;
}

PyObject* get_biasSweepTs_native(Hub* h) {
    State& st = *h->st;
    vt::Ref out = vt::steal(PyList_New(0));
    if (!out) return nullptr;
    bool ok = walk_devices(h, [&](PyObject* cu) {
        vt::Ref conf = vt::steal(PyObject_GetAttr(cu, st.names.configuration));
        vt::Ref t = conf ? vt::steal(PyObject_GetAttr(conf.get(), st.names.biasSweepT)) : vt::Ref();
        return t && PyList_Append(out.get(), t.get()) == 0;
    });
    return ok ? out.release() : nullptr;
}

PyObject* call_get_min_max(PyObject* self) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.HubType, st.names.get_min_max, st.memos.get_min_max);
    if (replaced < 0) return nullptr;
    if (!replaced) return get_min_max_native(as_hub(self));
    return checked(vt::call_method(self, st.names.get_min_max), &PyTuple_Type);
}

PyObject* call_get_biasSweepTs(PyObject* self) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.HubType, st.names.get_biasSweepTs, st.memos.get_biasSweepTs);
    if (replaced < 0) return nullptr;
    if (!replaced) return get_biasSweepTs_native(as_hub(self));
    return checked(vt::call_method(self, st.names.get_biasSweepTs), &PyList_Type);
}

bool unpack_range(PyObject* triple, float& start, float& stop, int32_t& steps) {
    vt::Ref items[3];
    return vt::unpack(triple, 3, items) && vt::to_float(items[0].get(), start) &&
           vt::to_float(items[1].get(), stop) && vt::to_i32(items[2].get(), steps);
}

bool resetIVRange(PyObject* self) {
    State& st = state_of(self);
    Hub* h = as_hub(self);
    vt::Ref range = vt::steal(call_get_min_max(self));
    vt::Ref items[3];
    if (!range || !vt::unpack(range.get(), 3, items)) return false;
    if (isIvRunning(h)) {
        // Other channels are sweeping: tell the front end only about a change,
        // judged by the host's tuple comparison of what get_min_max returned.
        vt::Ref fresh = vt::steal(PyTuple_Pack(3, items[0].get(), items[1].get(), items[2].get()));
        vt::Ref a = vt::steal(new_float(h->iv_start)), b = vt::steal(new_float(h->iv_stop));
        vt::Ref c = vt::steal(PyLong_FromLong(h->iv_steps));
        vt::Ref held = a && b && c ? vt::steal(PyTuple_Pack(3, a.get(), b.get(), c.get())) : vt::Ref();
        if (!fresh || !held) return false;
        const int differs = PyObject_RichCompareBool(fresh.get(), held.get(), Py_NE);
        if (differs <= 0) return differs == 0;
    }
    float start, stop;
    int32_t steps;
    if (!vt::to_float(items[0].get(), start) || !vt::to_float(items[1].get(), stop) ||
        !vt::to_i32(items[2].get(), steps)) {
        return false;
    }
    h->iv_start = start;
    h->iv_stop = stop;
    h->iv_steps = steps;
    vt::Ref a = vt::steal(new_float(start)), b = vt::steal(new_float(stop));
    vt::Ref c = vt::steal(PyLong_FromLong(steps));
    return a && b && c && vt::call_hook(self, st.names.resetIvFrontend, a.get(), b.get(), c.get());
}

PyObject* meth_get_min_max(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("get_min_max", {});
    PyObject* none[1];
    return sig.parse(args, nargs, kwnames, none) ? get_min_max_native(as_hub(self)) : nullptr;
}

PyObject* meth_get_biasSweepTs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("get_biasSweepTs", {});
    PyObject* none[1];
    return sig.parse(args, nargs, kwnames, none) ? get_biasSweepTs_native(as_hub(self)) : nullptr;
}

}  // namespace feedhub
