// The datagram ingest broker object and the host objects its module binds at load.
#pragma once
#include "common/call.hpp"
#include "common/ref.hpp"
#include "core/cycle_check.hpp"
#include "core/records.hpp"
#include "core/reorder_queue.hpp"

namespace ingestgate {

using vt::CycleCheck;
using vt::pair_key;
using vt::ReorderQueue;

inline constexpr unsigned long long MSG_SIZE = sizeof(vt::cu_message);
static_assert(MSG_SIZE == 60);

// Looked up when the module is loaded.
struct HostRefs {
    PyObject* logger;      // logging.getLogger("vantor.cluster.ingestgate")
    PyObject* time_module; // its `time` attribute is read at every call, so it can be patched
    PyObject* round;       // builtins.round
    PyObject* three;       // the int 3, decimals kept by the time stamp
    PyObject* timestamp_reset;  // the log line "Timestamp reset"
};

// Interned names of the attributes and hooks called by name.
struct Names {
    PyObject *device_addresses, *get, *log_firmware_version, *log_msg, *on_sync_success,
        *on_sync_failed, *on_finally, *on_missing, *info, *time;
};

// Whether the host's class replaces each hook, cached per class.
struct Memos {
    vt::Override on_sync_success, on_sync_failed, on_finally, on_missing;
};

// Everything one import of the module holds (see common/module_state.hpp).
struct State {
    HostRefs host;
    Names names;
    Memos memos;
    PyTypeObject* BrokerType;
    // One (mcuId, cuId) tuple per possible pair, made on first use: CUIDS
    // look-ups then allocate nothing per record. PyMem block of 65536 entries.
    PyObject** pair_cache;

    template <class F>
    void refs(F f) {
        f(host.logger), f(host.time_module), f(host.round), f(host.three), f(host.timestamp_reset);
        f(names.device_addresses), f(names.get), f(names.log_firmware_version), f(names.log_msg);
        f(names.on_sync_success), f(names.on_sync_failed), f(names.on_finally), f(names.on_missing);
        f(names.info), f(names.time);
        f(BrokerType);
    }
};

// Native state that needs constructors: the reorder heap and the cycle sets.
struct Core {
    ReorderQueue msgqueue;
    CycleCheck cycle;
    bool queue_ready = false;  // false until the constructor has made the queue
};

struct Broker {
    PyObject_HEAD
    State* st;              // of the module that defined the class
    uint32_t counter;
    uint32_t total;
    uint32_t chunksize;
    int inited;
    int isSynced;
    int logmsg;
    PyObject* CUIDS;        // owned; None when missing
    size_t backendaddr;
    PyObject* backendlock;  // owned; None when missing
    Core core;              // placement-constructed in tp_new
};

inline Broker* as_broker(PyObject* o) { return reinterpret_cast<Broker*>(o); }
inline State& state_of(PyObject* self) { return *as_broker(self)->st; }

// The cached (mcuId, cuId) tuple, borrowed; null with MemoryError set.
PyObject* pair_tuple(State& st, uint8_t mcuId, uint8_t cuId);

extern PyModuleDef module_def;

// Intake (msg_received) and its drain.
PyObject* msg_received(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
bool split_chunks(PyObject* self, PyObject* msg);
// One 60-byte record; false with the error set.
bool handle_cu_messages(PyObject* self, const char* record);
// Writes the wall clock into the shared C_Backend record under its lock.
bool update_time_stamp(PyObject* self);

// Drops every queued datagram.
void drop_queue(Broker* b);

extern PyType_Spec broker_spec;

}  // namespace ingestgate
