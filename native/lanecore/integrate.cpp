// Count integration over windows aligned to multiples of buffSize, one stream
// record per finished window.
#include "worker.hpp"

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
    const vt::cu_config* c = w->config;
    out = natives.createStreamMsg(c->mcuId, c->cuId, vt::CU_NORMAL, c->inverted, timestamp, counts,
                                  w->backend.buffSize, w->MAIN_AVG_MONITOR, 0.0f, w->rank);
    return true;
}

}  // namespace

bool intergrate_data(Worker* w, const vt::cu_message& data) {
    const uint32_t b = w->backend.buffSize;
    if (b == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        return false;
    }
    const uint32_t ENDSEQ = w->STARTSEQ + b - (w->STARTSEQ % b);  // wraps like the unit's counter
    if (data.sequence < w->PREVSEQ) {
        reset(w, data);  // the unit restarted its count: drop the partial window
    } else if (data.sequence >= ENDSEQ) {
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
