// One channel-unit record: the CUIDS filter, the cycle check, the
// synchronisation state and the hooks that tell the host about the record.
#include "broker.hpp"

#include "common/call.hpp"
#include "common/dicts.hpp"
#include "common/messages.hpp"

namespace ingestgate {
namespace {

bool log_info(const State& st, PyObject* line) { return vt::call_hook(st.host.logger, st.names.info, line); }

// 1 when the pair is one of the host's channel units, 0 when not, -1 on error.
int known_unit(Broker* b, const vt::cu_message& m) {
    if (b->CUIDS == Py_None) {
        vt::raise::none_not_iterable();
        return -1;
    }
    PyObject* pair = pair_tuple(*b->st, m.mcuId, m.cuId);
    if (!pair) return -1;
    // Held for the look-up: comparing with the set's elements runs host code,
    // which may replace CUIDS and drop the last reference to this set.
    vt::Ref cuids = vt::borrow(b->CUIDS);
    return PySet_Contains(cuids.get(), pair);
}

bool report_missing(PyObject* self, const vt::cu_message& m) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.BrokerType, st.names.on_missing, st.memos.on_missing);
    if (replaced <= 0) return replaced == 0;
    vt::Ref mcu = vt::steal(PyLong_FromLong(m.mcuId));
    vt::Ref cu = vt::steal(PyLong_FromLong(m.cuId));
    return mcu && cu && vt::call_hook(self, st.names.on_missing, mcu.get(), cu.get());
}

bool passed(PyObject* self, Broker* b, const char* record) {
    State& st = *b->st;
    if (!b->isSynced) {
        // Set first: a failing time-stamp write is not retried by later records.
        b->isSynced = 1;
        if (!update_time_stamp(self) || !log_info(st, st.host.timestamp_reset)) return false;
    }
    const int replaced = vt::overrides(self, st.BrokerType, st.names.on_sync_success, st.memos.on_sync_success);
    if (replaced <= 0) return replaced == 0;
    vt::Ref chunk = vt::steal(PyBytes_FromStringAndSize(record, MSG_SIZE));
    return chunk && vt::call_hook(self, st.names.on_sync_success, chunk.get());
}

bool failed(PyObject* self, Broker* b, const vt::cu_message& m) {
    State& st = *b->st;
    b->isSynced = 0;
    // The class's own hooks only check their (always well-typed) arguments.
    if (!vt::call_hook_if_replaced(self, st.BrokerType, st.names.on_sync_failed, st.memos.on_sync_failed)) {
        return false;
    }
    vt::Ref line = vt::steal(vt::text::failed_sync(b->core.cycle.MAXFAILS, m.mcuId, m.cuId));
    return line && log_info(st, line.get());
}

bool report_finally(PyObject* self, const char* record, const vt::cu_message& m) {
    State& st = state_of(self);
    const int replaced = vt::overrides(self, st.BrokerType, st.names.on_finally, st.memos.on_finally);
    if (replaced <= 0) return replaced == 0;
    vt::Ref channelID = vt::steal(PyBytes_FromStringAndSize(record, 2));
    if (!channelID) return false;
    vt::Ref data = vt::steal(vt::cu_message_dict(m));
    return data && vt::call_hook(self, st.names.on_finally, channelID.get(), data.get());
}

}  // namespace

bool handle_cu_messages(PyObject* self, const char* record) {
    Broker* b = as_broker(self);
    vt::cu_message m;
    vt::decode(record, MSG_SIZE, m);  // the caller guarantees 60 readable bytes

    int known = known_unit(b, m);
    if (known < 0) return false;
    if (!known) return report_missing(self, m);

    const bool in_step = b->core.cycle.check(m.sequence, pair_key(m.mcuId, m.cuId));
    if (!(in_step ? passed(self, b, record) : failed(self, b, m))) return false;
    return report_finally(self, record, m);
}

}  // namespace ingestgate
