// Configuration verification: compare the unit's echo with its configuration and
// send an update on the first and every tenth consecutive disagreement.
#include "worker.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/dicts.hpp"
#include "core/unitmath.hpp"

namespace lanecore {

namespace {

// The host sees what was received and what was sent; the dictionaries are
// built only when the host replaced the hook that receives them.
bool call_onMismatch(Worker* w, const vt::cu_message& data, const vt::cu_update_message& update) {
    State& st = *w->st;
    PyObject* self = reinterpret_cast<PyObject*>(w);
    const int replaced = vt::overrides(self, st.WorkerType, st.host.s_onMismatch, st.host.onMismatch_memo);
    if (replaced <= 0) return replaced == 0;  // the default does nothing
    vt::Ref d = vt::steal(vt::cu_message_dict(data));
    if (!d) return false;
    vt::Ref u = vt::steal(vt::cu_update_dict(update));
    if (!u) return false;
    return vt::call_hook(self, st.host.s_onMismatch, d.get(), u.get());
}

}  // namespace

vt::cu_update_message create_update_msg(const vt::cu_config& config, conversionFactors conv_fac) {
    const float inv = vt::math::polarity(config.inverted);
    const float v = conv_fac.toVoltage;
    vt::cu_update_message u = {};
    u.mcuId = config.mcuId;
    u.cuId = config.cuId;
    u.cuStatus = config.cuStatus;
    u.prescale = config.prescale;
    u.pgaGain = config.pgaGain;
    u.triggerV = config.triggerV;
    u.biasV = vt::math::to_voltage(config.biasI, v, inv);
    u.latchV = config.latchV;
    u.latchFLow = config.latchFLow;
    u.latchFHigh = config.latchFHigh;
    u.unlatchT = config.unlatchT;
    u.biasVStart = vt::math::to_voltage(config.biasIStart, v, inv);
    u.biasVStop = vt::math::to_voltage(config.biasIStop, v, inv);
    u.biasVStep = (v * config.biasIStep) * inv;  // operand order as the unit's echo is checked
    u.biasSweepT = config.biasSweepT;
    return u;
}

bool verify_configuration(Worker* w, const vt::cu_message& data) {
    State& st = *w->st;
    vt::cu_config c;
    if (!load_config(w, c)) return false;
    if (w->IVRUNNING == 0) {
        if (c.cuStatus == vt::CU_END_IV) store_config_status(w, c, vt::CU_NORMAL);  // no sweep left to end
        if (st.natives.verifyConfig(data, &c, w->conv_fac.toVoltage) == 1) {
            w->RETRY = 0;
            return true;
        }
    } else if (c.cuStatus != vt::CU_END_IV) {
        w->RETRY = 0;  // settings are not compared while a sweep runs
        return true;
    }
    if (w->RETRY % UPDATEMESSAGEINTERVAL != 0) {
        ++w->RETRY;
        return true;
    }
    const vt::cu_update_message update = create_update_msg(c, w->conv_fac);
    // RETRY moves only once the update is out and the host was told, so that
    // a failed attempt is repeated by the next disagreeing message.
    if (!send_update(w, update) || !call_onMismatch(w, data, update)) return false;
    ++w->RETRY;
    return true;
}

PyObject* onMismatch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("onMismatch", {"data", "config"});
    PyObject* a[2];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace lanecore
