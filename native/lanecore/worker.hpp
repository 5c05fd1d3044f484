// The channel-unit worker object and the native functions it binds at load.
#pragma once
#include "common/call.hpp"
#include "common/messages.hpp"
#include "common/native_api.hpp"
#include "core/window.hpp"

#include <cstddef>
#include <cstring>

namespace lanecore {

using vt::INTERVAL10MS;
inline constexpr uint32_t UPDATEMESSAGEINTERVAL = 10;

struct conversionFactors {
    float toVoltage;
    float toCurrent;
};

// Bound from wirelayouts and lanemath when the module is loaded.
struct Natives {
    vt::api::createStreamMsg_t createStreamMsg;
    vt::api::multiplier_t currentToVoltageMultiplier;
    vt::api::multiplier_t voltageToCurrentMultiplier;
    vt::api::verifyConfig_t verifyConfig;
    vt::api::calculateCounts_t calculateCounts;
};

// Host objects the module looks up at load.
struct HostRefs {
    PyTypeObject* zmq_socket;     // pyzmq's native socket class
    PyObject* sndmore;            // zmq.SNDMORE as an int
    PyObject* get_event_loop;     // asyncio.get_event_loop
    PyObject* s_handle_timeout;   // interned method names
    PyObject* s_call_later;
    PyObject* s_cancel;
    PyObject* s_send;
    PyObject* s_reset_timer;
    PyObject* s_onMismatch;
    PyObject* s_onTimeout;
    PyObject* frame_broker;       // b"cu_udp_broker", the update's destination frame
    PyObject* frame_update;       // b"cu_update", the update's kind frame
    PyObject* frame_empty;        // b"", ends an update message that lost a part
    vt::Override reset_timer_memo, onMismatch_memo, onTimeout_memo;  // replaced by the host's class?
};

// Everything one import of the module holds (see common/module_state.hpp).
struct State {
    Natives natives;
    HostRefs host;
    PyTypeObject* WorkerType;
    // Workers re-arm with the same time-out on every message; keeping the
    // last delay object saves one float per message (floats are immutable,
    // so sharing it with the loop is safe).
    PyObject* last_delay;

    template <class F>
    void refs(F f) {
        f(host.zmq_socket), f(host.sndmore), f(host.get_event_loop), f(host.s_handle_timeout);
        f(host.s_call_later), f(host.s_cancel), f(host.s_send), f(host.s_reset_timer), f(host.s_onMismatch);
        f(host.s_onTimeout), f(host.frame_broker), f(host.frame_update), f(host.frame_empty);
        f(WorkerType), f(last_delay);
    }
};
extern PyModuleDef module_def;

struct Worker {
    PyObject_HEAD
    State* st;              // of the module that defined the class
    uint32_t PREVSEQ;
    uint32_t RETRY;
    uint32_t STARTSEQ;
    uint32_t rank;
    int IVRUNNING;
    vt::C_Backend backend;
    bool bound;             // a message has been processed: the configuration is in use
    bool update_open;       // an update message lost a part: its end is still owed to the peer
    conversionFactors conv_fac;
    vt::Accumulator MAIN;   // the open integration window
    vt::Accumulator IV;     // the open sweep point
    uint32_t IV_INTSIZE;
    float IV_biasV;
    double timeout;
    PyObject* streamSock;   // owned; None when missing
    PyObject* updateSock;   // owned; None when missing
    size_t memaddr;
    PyObject* lock;         // owned
    size_t backendaddr;
    PyObject* backendlock;  // owned
    PyObject* timer;        // owned; None when no call is pending
};

// Conversion pair of a configuration; (0, 0) with the error set on failure.
conversionFactors getConversionFactor(const State& st, const vt::cu_config& config);

// Schedules self.handle_timeout on the current event loop after `delay`
// seconds; new reference to the handle, or null with the error set.
PyObject* schedule_timeout(PyObject* self, double delay);

// Per-message steps, run with `lock` held. Each returns false with the error
// set; the caller abandons its work and passes the error on.
bool process_message(Worker* w, const vt::cu_message& data);
bool verify_configuration(Worker* w, const vt::cu_message& data);
vt::cu_update_message create_update_msg(const vt::cu_config& config, conversionFactors conv_fac);
bool intergrate_data(Worker* w, const vt::cu_message& data);
bool process_iv(Worker* w, const vt::cu_message& data);

// Silence supervision (the worker's own bodies, used when not overridden).
bool reset_timer(Worker* w, double timeout_time);
bool reset_timer_through_object(Worker* w);

// Output: one frame on a socket; "streamSock is not set" (ValueError) for None.
bool send_stream(Worker* w, const vt::stream_data& rec);
bool send_update(Worker* w, const vt::cu_update_message& rec);

// Copies the shared record at a host address; ValueError for a null address.
// The host may map records at any address, so they are copied bytewise
// rather than read through a typed pointer.
template <class T>
bool read_shared(size_t addr, T& out) {
    if (addr == 0) {
        vt::raise::null_address(vt::record_name<T>);
        return false;
    }
    std::memcpy(&out, reinterpret_cast<const void*>(addr), sizeof(T));
    return true;
}

// The unit's configuration as it is in shared memory now.
inline bool load_config(const Worker* w, vt::cu_config& out) { return read_shared(w->memaddr, out); }

// Writes the status byte of the configuration in shared memory (and in `copy`).
inline void store_config_status(Worker* w, vt::cu_config& copy, uint8_t status) {
    copy.cuStatus = status;
    std::memcpy(reinterpret_cast<char*>(w->memaddr) + offsetof(vt::cu_config, cuStatus), &status, 1);
}

// Host-callable methods (fast-call signature; tabled through vt::method).
PyObject* msg_received(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* onMismatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* reset_timer_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* handle_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* onTimeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern PyType_Spec worker_spec;

}  // namespace lanecore
