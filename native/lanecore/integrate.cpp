// Count integration over windows aligned to multiples of buffSize, one stream
// record per finished window.
#include "worker.hpp"

#include "common/messages.hpp"
#include "core/unitmath.hpp"

namespace lanecore {

namespace {

void reset(Worker* w, const vt::cu_message& data) {
    w->MAIN.clear();
    w->STARTSEQ = data.sequence;
}

// The record of the window that ends at ENDSEQ; false with the error set.
bool process_int_interval(Worker* w, uint32_t ENDSEQ, vt::stream_data& out) {
    State& st = *w->st;
    const double timestamp = vt::step_time(ENDSEQ, w->backend.TIMESTAMP);
    const uint32_t counts = st.natives.calculateCounts(w->MAIN.SUM_COUNTS, w->MAIN.DATALENGTH, w->backend.buffSize);
    if (PyErr_Occurred()) return false;
    vt::cu_config c;
    if (!load_config(w, c)) return false;
    out = st.natives.createStreamMsg(c.mcuId, c.cuId, vt::CU_NORMAL, c.inverted, timestamp, counts,
                                  w->backend.buffSize, w->MAIN.AVG_MONITOR, 0.0f, w->rank);
    return true;
}

}  // namespace

bool intergrate_data(Worker* w, const vt::cu_message& data) {
    const uint32_t b = w->backend.buffSize;
    if (b == 0) {
        vt::raise::int_division_by_zero();
        return false;
    }
    switch (vt::window_step(data.sequence, w->PREVSEQ, w->STARTSEQ, b)) {
        case vt::WindowStep::restart:
            reset(w, data);  // the unit restarted its count: drop the partial window
            break;
        case vt::WindowStep::closes:
            if (w->MAIN.DATALENGTH != 0 && w->IVRUNNING == 0) {
                vt::stream_data rec;
                if (!process_int_interval(w, vt::window_end(w->STARTSEQ, b), rec) || !send_stream(w, rec)) {
                    return false;
                }
            }
            reset(w, data);
            break;
        case vt::WindowStep::inside:
            break;
    }
    w->PREVSEQ = data.sequence;
    w->MAIN.add(data.counts, data.monitorV);
    return true;
}

}  // namespace lanecore
