// vantor.host.road: module state and initialisation (see road.hpp).
#include "road.hpp"

#include "common/entry.hpp"
#include "common/module_state.hpp"

#include <ctime>

namespace road {

double monotonic() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double realtime() noexcept {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

namespace {

PyMethodDef functions[] = {
    vt::method<receive_many>("receive_many",
     "receive_many(fd, limit=256, size=65536)\n--\n\n"
     "Up to `limit` datagrams waiting on the non-blocking UDP socket `fd`, each\n"
     "(data, (host, port)), read with one recvmmsg; [] when none waits."),
    {nullptr, nullptr, 0, nullptr}};

bool add_type(PyObject* m, PyType_Spec* spec, const char* name, PyTypeObject*& slot) {
    PyObject* type = PyType_FromModuleAndSpec(m, spec, nullptr);
    if (!type) return false;
    slot = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(m, name, type) == 0;
}

int exec_module(PyObject* m) {
    State& st = *vt::module_state<State>(m);
    if (!vt::intern_into({{&st.s_msg_received, "msg_received"}, {&st.s_regained, "regained"}})) return -1;
    return add_type(m, &router_spec, "Router", st.RouterType) &&
                   add_type(m, &shm_lock_spec, "ShmLock", st.ShmLockType) &&
                   add_type(m, &deadlines_spec, "Deadlines", st.DeadlinesType) &&
                   add_type(m, &slot_spec, "DeadlineSlot", st.SlotType)
               ? 0
               : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.host.road",
    "The host's per-record work: routing, shared-record locks, silence deadlines, batched receive.",
    sizeof(State), functions, slots, vt::traverse_state<State>, vt::clear_state<State>,
    vt::free_state<State>};

}  // namespace road

PyMODINIT_FUNC PyInit_road() { return PyModuleDef_Init(&road::module_def); }
