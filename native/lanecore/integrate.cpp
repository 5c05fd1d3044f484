// Count integration over windows aligned to multiples of buffSize, one stream
// record per finished window.
#include "worker.hpp"
#include "common/messages.hpp"

#include "common/unitmath.hpp"

namespace lanecore {

namespace {

void clear_data(Worker* w) {
    w->MAIN_SUM_COUNTS = 0;
    w->MAIN_AVG_MONITOR = 0.0f;
    w->MAIN_DATALENGTH = 0;
}

void add_data(Worker* w, const vt::cu_message& data) {
    w->MAIN_SUM_COUNTS += data.counts;
    w->MAIN_DATALENGTH += 1;
    w->MAIN_AVG_MONITOR = vt::math::running_mean(w->MAIN_AVG_MONITOR, data.monitorV, w->MAIN_DATALENGTH);
}

void reset(Worker* w, const vt::cu_message& data) {
    clear_data(w);
    w->STARTSEQ = data.sequence;
}

// The record of the window that ends at ENDSEQ; false with the error set.
bool process_int_interval(Worker* w, uint32_t ENDSEQ, vt::stream_data& out) {
    const double timestamp =
        static_cast<double>(ENDSEQ) * INTERVAL10MS + static_cast<double>(w->backend.TIMESTAMP);
    const uint32_t counts = natives.calculateCounts(w->MAIN_SUM_COUNTS, w->MAIN_DATALENGTH, w->backend.buffSize);
    if (PyErr_Occurred()) return false;
    vt::cu_config c;
    if (!load_config(w, c)) return false;
    out = natives.createStreamMsg(c.mcuId, c.cuId, vt::CU_NORMAL, c.inverted, timestamp, counts,
                                  w->backend.buffSize, w->MAIN_AVG_MONITOR, 0.0f, w->rank);
    return true;
}

}  // namespace

bool intergrate_data(Worker* w, const vt::cu_message& data) {
    const uint32_t b = w->backend.buffSize;
    if (b == 0) {
        vt::raise::int_division_by_zero();
        return false;
    }
    // The unit's counter wraps at 2^32, and so may ENDSEQ: positions are
    // compared as distances, modulo 2^32, so a window runs on across the wrap.
    const uint32_t length = b - (w->STARTSEQ % b);
    const uint32_t ENDSEQ = w->STARTSEQ + length;
    if (static_cast<int32_t>(data.sequence - w->PREVSEQ) < 0) {
        reset(w, data);  // the unit restarted its count: drop the partial window
    } else if (data.sequence - w->STARTSEQ >= length) {
        if (w->MAIN_DATALENGTH != 0 && w->IVRUNNING == 0) {
            vt::stream_data rec;
            if (!process_int_interval(w, ENDSEQ, rec) || !send_stream(w, rec)) return false;
        }
        reset(w, data);
    }
    w->PREVSEQ = data.sequence;
    add_data(w, data);
    return true;
}

}  // namespace lanecore
