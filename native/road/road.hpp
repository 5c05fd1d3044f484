// vantor.host.road: the host's own per-record work in native code, beside the
// six modules: routing a passing record to its unit's worker, the locks of
// the shared records, the workers' silence deadlines and batched UDP
// receive. Every contract of the modules with their host still holds: the
// broker calls on_sync_success by name (the host's broker has it as an
// attribute), the worker takes its locks through __enter__/__exit__ and calls
// its own reset_timer, and every record crosses as its bytes.
#pragma once
#include "common/ref.hpp"

namespace road {

struct State {
    PyTypeObject* RouterType;
    PyTypeObject* ShmLockType;
    PyTypeObject* DeadlinesType;
    PyTypeObject* SlotType;
    PyObject* s_msg_received;
    PyObject* s_regained;

    template <class F>
    void refs(F f) {
        f(RouterType);
        f(ShmLockType);
        f(DeadlinesType);
        f(SlotType);
        f(s_msg_received);
        f(s_regained);
    }
};

extern PyModuleDef module_def;
extern PyType_Spec router_spec;
extern PyType_Spec shm_lock_spec;
extern PyType_Spec deadlines_spec;
extern PyType_Spec slot_spec;

// Module function: datagrams waiting on a UDP socket, read with one recvmmsg.
PyObject* receive_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// CLOCK_MONOTONIC (time.monotonic) and CLOCK_REALTIME (time.time), in seconds.
double monotonic() noexcept;
double realtime() noexcept;

}  // namespace road
