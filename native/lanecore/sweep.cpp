// IV sweeps: consecutive CU_IV messages with the same bias voltage form one
// point; each finished point becomes one stream record with status CU_IV.
#include "worker.hpp"

#include "common/messages.hpp"
#include "core/unitmath.hpp"

namespace lanecore {

namespace {

void iv_reset(Worker* w, const vt::cu_message& data) {
    w->IV.clear();
    w->IV_INTSIZE = data.biasSweepT;
    w->IV_biasV = data.biasV;
}

// The record of the point that `data` ends: time and length from `data`, the
// rest from the point's own accumulators. False with the error set.
bool process_iv_interval(Worker* w, const vt::cu_message& data, vt::stream_data& out) {
    State& st = *w->st;
    const double timestamp = vt::step_time(data.sequence, w->backend.TIMESTAMP);
    const uint32_t counts = st.natives.calculateCounts(w->IV.SUM_COUNTS, w->IV.DATALENGTH, w->IV_INTSIZE);
    if (PyErr_Occurred()) return false;
    if (w->conv_fac.toVoltage == 0.0f) {
        vt::raise::float_division_by_zero();
        return false;
    }
    const float biasI = w->IV_biasV / w->conv_fac.toVoltage;
    vt::cu_config c;
    if (!load_config(w, c)) return false;
    out = st.natives.createStreamMsg(c.mcuId, c.cuId, vt::CU_IV, c.inverted, timestamp, counts, data.biasSweepT,
                                  w->IV.AVG_MONITOR, biasI, w->rank);
    return true;
}

bool publish_point(Worker* w, const vt::cu_message& data) {
    vt::stream_data rec;
    return process_iv_interval(w, data, rec) && send_stream(w, rec);
}

}  // namespace

bool process_iv(Worker* w, const vt::cu_message& data) {
    if (data.cuStatus == vt::CU_IV) {
        if (w->IVRUNNING == 0) {
            w->IVRUNNING = 1;
            iv_reset(w, data);
        } else if (!(data.biasV == w->IV_biasV)) {  // exact; a NaN always starts a new point
            if (!publish_point(w, data)) return false;
            iv_reset(w, data);
        }
        w->IV.add(data.counts, data.monitorV);
    } else if (w->IVRUNNING != 0) {
        w->IVRUNNING = 0;
        if (!publish_point(w, data)) return false;
        vt::cu_config c;
        if (!load_config(w, c)) return false;
        store_config_status(w, c, vt::CU_NORMAL);  // the sweep the configuration asked for is over
    }
    return true;
}

}  // namespace lanecore
