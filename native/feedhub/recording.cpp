// Recording: chosen devices' points kept natively while recording runs and
// turned into host tables only when a stop or the host asks for them.
#include "hub.hpp"

#include "common/call.hpp"
#include "common/convert.hpp"
#include "common/messages.hpp"

namespace feedhub {

bool record_point(PyObject* self, int64_t p, double time, uint32_t counts, float monitorV) {
    State& st = state_of(self);
    Hub* h = as_hub(self);
    const size_t i = static_cast<size_t>(p);
    if (!h->RECORDING || !h->d->recordRunning[i]) return true;
    if (is_full(h->d->allRecord[i])) {
        // A full buffer ends the recording; the record itself still goes to
        // the live batch, which has nothing to do with the cap. The result
        // table is built only for a host that replaced the stop or the table:
        // it would be thrown away here (at the cap, gigabytes of host objects).
        int replaced = vt::overrides(self, st.HubType, st.names.stopRecording, st.memos.stopRecording);
        if (replaced == 0) replaced = vt::overrides(self, st.HubType, st.names.getRecordData, st.memos.getRecordData);
        if (replaced < 0) return false;
        if (!replaced) return stop_buffers(h);
        vt::Ref table = vt::steal(call_stopRecording(self));
        return bool(table);
    }
    append_point(h->d->allRecord[i], {time, counts, monitorV});
    return true;
}

PyObject* call_stopRecording(PyObject* self) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.HubType, st.names.stopRecording, st.memos.stopRecording);
    if (replaced < 0) return nullptr;
    if (!replaced) return stopRecording_native(self);
    return checked(vt::call_method(self, st.names.stopRecording), &PyDict_Type);
}

PyObject* call_getRecordData(PyObject* self) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.HubType, st.names.getRecordData, st.memos.getRecordData);
    if (replaced < 0) return nullptr;
    if (!replaced) return getRecordData_native(as_hub(self));
    return checked(vt::call_method(self, st.names.getRecordData), &PyDict_Type);
}

bool stop_buffers(Hub* h) {
    HubData& d = *h->d;
    h->RECORDING = 0;
    d.recordData.clear();
    ++d.recordData_version;
    for (int64_t i = 0; i < h->totdev; ++i) {
        const size_t k = static_cast<size_t>(i);
        if (!d.recordRunning[k]) continue;
        // The points move into the result; the unit's buffer is left empty
        // and gives its memory back.
        d.recordData[static_cast<int32_t>(i + 1)].swap(d.allRecord[k]);
        d.recordRunning[k] = 0;
        recdatatype().swap(d.allRecord[k]);
    }
    return true;
}

PyObject* stopRecording_native(PyObject* self) {
    return stop_buffers(as_hub(self)) ? call_getRecordData(self) : nullptr;
}

namespace {

PyObject* point_dict(const State& st, const recordData_point& p) {
    vt::Ref t = vt::steal(PyFloat_FromDouble(p.time));
    vt::Ref c = vt::steal(PyLong_FromUnsignedLong(p.counts));
    vt::Ref m = vt::steal(PyFloat_FromDouble(static_cast<double>(p.monitorV)));
    vt::Ref d = t && c && m ? vt::steal(_PyDict_NewPresized(3)) : vt::Ref();
    if (!d || PyDict_SetItem(d.get(), st.names.time, t.get()) < 0 ||
        PyDict_SetItem(d.get(), st.names.counts, c.get()) < 0 ||
        PyDict_SetItem(d.get(), st.names.monitorV, m.get()) < 0) {
        return nullptr;
    }
    return d.release();
}

}  // namespace

PyObject* getRecordData_native(Hub* h) {
    State& st = *h->st;
    HubData& d = *h->d;
    const uint64_t version = d.recordData_version;
    // Allocation may run host code (finalizers); if that stops a recording,
    // the entries walked here are gone and the walk must not go on.
    auto unchanged = [&] {
        if (d.recordData_version == version) return true;
        vt::raise::recording_changed();
        return false;
    };
    vt::Ref out = vt::steal(PyDict_New());
    if (!out) return nullptr;
    for (auto it = d.recordData.begin(); it != d.recordData.end(); ++it) {
        const Py_ssize_t n = static_cast<Py_ssize_t>(it->second.size());
        vt::Ref key = vt::steal(PyLong_FromLong(it->first));
        vt::Ref list = key ? vt::steal(PyList_New(n)) : vt::Ref();
        if (!list || !unchanged()) return nullptr;
        for (Py_ssize_t j = 0; j < n; ++j) {
            const recordData_point pt = it->second[static_cast<size_t>(j)];  // copied before allocating
            PyObject* point = point_dict(st, pt);
            if (!point) return nullptr;
            PyList_SET_ITEM(list.get(), j, point);
            if (!unchanged()) return nullptr;
        }
        if (PyDict_SetItem(out.get(), key.get(), list.get()) < 0 || !unchanged()) return nullptr;
    }
    return out.release();
}

PyObject* meth_startRecording(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("startRecording", {"channels"});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyList_Type, "channels")) return nullptr;
    Hub* h = as_hub(self);
    if (h->RECORDING) {
        vt::Ref harvested = vt::steal(call_stopRecording(self));
        if (!harvested) return nullptr;
    }
    h->RECORDING = 1;
    PyObject* channels = a[0];
    if (channels == Py_None) {
        vt::raise::none_not_iterable();
        return nullptr;
    }
    vt::Ref keep = vt::borrow(channels);
    // The length is read afresh: an element's integer conversion is host code.
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(channels); ++k) {
        vt::Ref item = vt::borrow(PyList_GET_ITEM(channels, k));
        int32_t rank;
        if (!vt::to_i32(item.get(), rank)) return nullptr;
        if (rank < 1 || rank > h->totdev) {
            vt::raise::rank_not_device("startRecording:", rank, h->totdev);
            return nullptr;
        }
        h->d->recordRunning[static_cast<size_t>(rank - 1)] = 1;
    }
    Py_RETURN_NONE;
}

PyObject* meth_stopRecording(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("stopRecording", {});
    PyObject* none[1];
    return sig.parse(args, nargs, kwnames, none) ? stopRecording_native(self) : nullptr;
}

PyObject* meth_getRecordData(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("getRecordData", {});
    PyObject* none[1];
    return sig.parse(args, nargs, kwnames, none) ? getRecordData_native(as_hub(self)) : nullptr;
}

}  // namespace feedhub
