// IV curves: every device's points of the current or last sweep laid on one
// 10 nA grid, as the dictionary the front end plots.
#include "hub.hpp"

#include "common/call.hpp"
#include "common/convert.hpp"
#include "common/messages.hpp"

namespace feedhub {

bool isIvRunning(const Hub* h) {
    const std::vector<int32_t>& running = h->d->ivRunning;
    for (int64_t i = 0; i < h->totdev; ++i) {
        if (running[static_cast<size_t>(i)]) return true;
    }
    return false;
}

bool setTimestamp(Hub* h, double timestamp) {
    State& st = *h->st;
    if (h->cached_data == Py_None) {
        vt::raise::none_not_subscriptable();
        return false;
    }
    vt::Ref cached = vt::borrow(h->cached_data);
    vt::Ref value = vt::steal(PyFloat_FromDouble(timestamp));
    return value && PyObject_SetItem(cached.get(), st.names.timestamp_started, value.get()) == 0;
}

namespace {

PyObject* none_list(Py_ssize_t n) {
    PyObject* list = PyList_New(n);
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) PyList_SET_ITEM(list, k, Py_NewRef(Py_None));
    return list;
}

PyObject* bias_grid(float start, Py_ssize_t n) {
    vt::Ref list = vt::steal(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* v = PyFloat_FromDouble(grid_current(start, k));
        if (!v) return nullptr;
        PyList_SET_ITEM(list.get(), k, v);
    }
    return list.release();
}

// The host's print of ("Index error ch", position, "index", index), so the
// line goes wherever the host sends its standard output.
bool report_index_error(const State& st, int64_t position, int32_t index) {
    PyObject* builtins = PyEval_GetBuiltins();
    vt::Ref print = vt::borrow(builtins ? PyDict_GetItemWithError(builtins, st.names.print) : nullptr);
    if (!print) {
        if (!PyErr_Occurred()) vt::raise::missing_builtin("print");
        return false;
    }
    vt::Ref pos = vt::steal(PyLong_FromLongLong(position));
    vt::Ref idx = vt::steal(PyLong_FromLong(index));
    if (!pos || !idx) return false;
    PyObject* argv[] = {st.names.index_error_ch, pos.get(), st.names.index, idx.get()};
    vt::Ref r = vt::steal(PyObject_Vectorcall(print.get(), argv, 4, nullptr));
    return bool(r);
}

// Bins device i's points into its two lists; a later point in the same bin
// replaces the earlier one.
bool bin_device(Hub* h, int64_t i, float start, float stop, PyObject* counts, PyObject* monitor) {
    const Py_ssize_t n = PyList_GET_SIZE(counts);
    // Indexed afresh on every pass: print runs host code that may feed the hub.
    for (size_t j = 0; j < h->d->allIv[static_cast<size_t>(i)].size(); ++j) {
        const ivData_point pt = h->d->allIv[static_cast<size_t>(i)][j];
        if (outside_range(pt.biasI, start, stop)) continue;
        const int32_t index = bin_index(pt.biasI, start);
        if (index < 0 || index >= n) {
            if (!report_index_error(*h->st, i, index)) return false;
            continue;
        }
        PyObject* c = PyLong_FromUnsignedLong(pt.counts);
        if (!c || PyList_SetItem(counts, index, c) < 0) return false;
        PyObject* m = PyFloat_FromDouble(static_cast<double>(pt.monitorV));
        if (!m || PyList_SetItem(monitor, index, m) < 0) return false;
    }
    return true;
}

}  // namespace

PyObject* get_iv_native(PyObject* self, float start, float stop, int64_t steps) {
    State& st = state_of(self);
    Hub* h = as_hub(self);
    const Py_ssize_t n = steps > 0 ? static_cast<Py_ssize_t>(steps) : 0;
    vt::Ref grid = vt::steal(bias_grid(start, n));
    vt::Ref counts = grid ? vt::steal(PyDict_New()) : vt::Ref();
    vt::Ref monitor = counts ? vt::steal(PyDict_New()) : vt::Ref();
    if (!monitor || PyDict_SetItem(counts.get(), st.names.biasI, grid.get()) < 0 ||
        PyDict_SetItem(monitor.get(), st.names.biasI, grid.get()) < 0) {
        return nullptr;
    }
    for (int64_t i = 0; i < h->totdev; ++i) {
        vt::Ref key = vt::steal(PyLong_FromLongLong(i + 1));
        vt::Ref c = key ? vt::steal(none_list(n)) : vt::Ref();
        vt::Ref m = c ? vt::steal(none_list(n)) : vt::Ref();
        if (!m || PyDict_SetItem(counts.get(), key.get(), c.get()) < 0 ||
            PyDict_SetItem(monitor.get(), key.get(), m.get()) < 0 ||
            !bin_device(h, i, start, stop, c.get(), m.get())) {
            return nullptr;
        }
    }
    PyObject* running = isIvRunning(h) ? Py_True : Py_False;
    vt::Ref sweep_ts = vt::steal(call_get_biasSweepTs(self));
    if (!sweep_ts) return nullptr;
    vt::Ref cached = vt::borrow(h->cached_data);
    vt::Ref started = vt::steal(PyObject_GetItem(cached.get(), st.names.timestamp_started));
    vt::Ref out = started ? vt::steal(PyDict_New()) : vt::Ref();
    if (!out || PyDict_SetItem(out.get(), st.names.running, running) < 0 ||
        PyDict_SetItem(out.get(), st.names.counts, counts.get()) < 0 ||
        PyDict_SetItem(out.get(), st.names.monitorV, monitor.get()) < 0 ||
        PyDict_SetItem(out.get(), st.names.biasSweepTs, sweep_ts.get()) < 0 ||
        PyDict_SetItem(out.get(), st.names.timestamp_started, started.get()) < 0) {
        return nullptr;
    }
    return out.release();
}

PyObject* call_get_iv(PyObject* self, float start, float stop, int64_t steps) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.HubType, st.names.get_iv, st.memos.get_iv);
    if (replaced < 0) return nullptr;
    if (!replaced) return get_iv_native(self, start, stop, steps);
    vt::Ref a = vt::steal(PyFloat_FromDouble(static_cast<double>(start)));
    vt::Ref b = vt::steal(PyFloat_FromDouble(static_cast<double>(stop)));
    vt::Ref c = vt::steal(PyLong_FromLongLong(steps));
    if (!a || !b || !c) return nullptr;
    return checked(vt::call_method(self, st.names.get_iv, a.get(), b.get(), c.get()), &PyDict_Type);
}

PyObject* gen_iv_data_native(PyObject* self) {
    vt::Ref range = vt::steal(call_get_min_max(self));
    float start, stop;
    int32_t steps;
    if (!range || !unpack_range(range.get(), start, stop, steps)) return nullptr;
    return call_get_iv(self, start, stop, steps);
}

PyObject* call_gen_iv_data(PyObject* self) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.HubType, st.names.gen_iv_data, st.memos.gen_iv_data);
    if (replaced < 0) return nullptr;
    if (!replaced) return gen_iv_data_native(self);
    return checked(vt::call_method(self, st.names.gen_iv_data), &PyDict_Type);
}

PyObject* get_iv_data_native(PyObject* self) {
    Hub* h = as_hub(self);
    if (isIvRunning(h)) return call_gen_iv_data(self);
    return Py_NewRef(h->cached_data);  // the stored object itself, not a copy
}

PyObject* meth_get_iv(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("get_iv", {"start", "stop", "steps"});
    PyObject* a[3];
    float start, stop;
    Py_ssize_t steps;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::to_float(a[0], start) || !vt::to_float(a[1], stop) ||
        !vt::to_ssize(a[2], steps)) {
        return nullptr;
    }
    return get_iv_native(self, start, stop, steps);
}

PyObject* meth_gen_iv_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("gen_iv_data", {});
    PyObject* none[1];
    return sig.parse(args, nargs, kwnames, none) ? gen_iv_data_native(self) : nullptr;
}

PyObject* meth_get_iv_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("get_iv_data", {});
    PyObject* none[1];
    return sig.parse(args, nargs, kwnames, none) ? get_iv_data_native(self) : nullptr;
}

}  // namespace feedhub
