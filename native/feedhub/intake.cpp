// Stream intake: silence records forwarded alone, IV sweep state, the
// recording step, and live batches of one timestamp each.
#include "hub.hpp"

#include "common/call.hpp"
#include "common/frames.hpp"
#include "common/messages.hpp"

#include <cmath>

namespace feedhub {
namespace {

// Element 0 of the message, exactly bytes; new reference or null.
PyObject* first_frame(PyObject* msg) {
    PyObject* frame = vt::first_frame(msg);
    if (!frame) return nullptr;
    if (frame == Py_None) {
        vt::raise::expected_bytes_got_none();
        return nullptr;
    }
    if (!vt::expect_result(frame, &PyBytes_Type)) return nullptr;
    return Py_NewRef(frame);
}

// A record is used only when its rank names a known device: the per-device
// tables are indexed by rank - 1.
bool check_rank(const Hub* h, uint32_t rank) {
    if (rank >= 1 && static_cast<int64_t>(rank) <= h->totdev) return true;
    vt::raise::rank_not_device("stream record", rank, h->totdev);
    return false;
}

// The sweep of position p begins, goes on or ends with this record.
bool follow_sweep(PyObject* self, size_t p, const vt::stream_data& rec) {
    State& st = state_of(self);
    Hub* h = as_hub(self);
    if (rec.cuStatus == vt::CU_IV) {
        if (!h->d->ivRunning[p]) {
            if (!resetIVRange(self) || !setTimestamp(h, rec.timestamp)) return false;
            h->d->allIv[p].clear();
            h->d->ivRunning[p] = 1;
        }
        h->d->allIv[p].push_back({std::fabs(rec.biasI), rec.counts, rec.monitorV});
        return true;
    }
    if (!h->d->ivRunning[p]) return true;
    h->d->ivRunning[p] = 0;
    if (isIvRunning(h)) return true;
    // The last running sweep has ended: the result goes out before this
    // record's batch flush.
    vt::Ref result = vt::steal(call_gen_iv_data(self));
    if (!result) return false;
    Py_SETREF(h->cached_data, Py_NewRef(result.get()));
    return vt::call_hook(self, st.names.streamIvData, result.get());
}

// Sends the gathered batch when the timestamp changes, then adds the frame.
bool batch(PyObject* self, double timestamp, PyObject* frame) {
    State& st = state_of(self);
    Hub* h = as_hub(self);
    if (!(timestamp == h->time)) {  // a NaN on either side starts a new batch
        // Detached before the hook runs: a hook that feeds the hub starts the
        // next batch instead of sending this one again.
        ByteBatch& gathered = h->d->stream_msg;
        vt::Ref done =
            vt::steal(PyBytes_FromStringAndSize(gathered.data(), static_cast<Py_ssize_t>(gathered.size())));
        if (!done) return false;
        const double done_time = h->time;
        h->time = timestamp;
        gathered.clear();
        if (!vt::call_hook(self, st.names.streamData, done.get())) {
            // The failed batch stays, ahead of whatever a hook fed in meanwhile.
            h->time = done_time;
            if (!gathered.prepend(PyBytes_AS_STRING(done.get()), static_cast<size_t>(PyBytes_GET_SIZE(done.get())))) {
                PyErr_NoMemory();  // replaces the hook's error: the batch itself is lost now
            }
            return false;
        }
    }
    if (!h->d->stream_msg.append(PyBytes_AS_STRING(frame), static_cast<size_t>(PyBytes_GET_SIZE(frame)))) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool take_in(PyObject* self, PyObject* msg) {
    State& st = state_of(self);
    Hub* h = as_hub(self);
    vt::Ref frame = vt::steal(first_frame(msg));
    vt::stream_data rec;
    if (!frame || !vt::decode_or_raise(PyBytes_AS_STRING(frame.get()), PyBytes_GET_SIZE(frame.get()), rec) ||
        !check_rank(h, rec.rank)) {
        return false;
    }
    if (rec.cuStatus == vt::CU_TIMEOUT || rec.cuStatus == vt::CU_TIMEOUT_POWERED) {
        return vt::call_hook(self, st.names.streamData, frame.get());
    }
    const size_t p = rec.rank - 1;
    return follow_sweep(self, p, rec) && record_point(self, static_cast<int64_t>(p), rec.timestamp, rec.counts,
                                                      rec.monitorV) &&
           batch(self, rec.timestamp, frame.get());
}

}  // namespace

PyObject* meth_msg_received(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("msg_received", {"msg"});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyList_Type, "msg") ||
        !take_in(self, a[0])) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace feedhub
