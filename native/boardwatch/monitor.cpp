// vantor.cluster.workers.boardwatch: decodes microcontroller status records
// and reports temperatures, PLL lock and status changes to the host.
#include "common/args.hpp"
#include "common/call.hpp"
#include "common/convert.hpp"
#include "common/entry.hpp"
#include "common/frames.hpp"
#include "common/module_state.hpp"

namespace boardwatch {
namespace {

struct State {
    PyTypeObject* MonitorType;
    PyObject* s_on_temp;
    PyObject* s_set_pll_lock;
    PyObject* s_on_status_change;
    vt::Override on_temp_memo, on_status_change_memo;

    template <class F>
    void refs(F f) {
        f(MonitorType);
        f(s_on_temp);
        f(s_set_pll_lock);
        f(s_on_status_change);
    }
};

extern PyModuleDef module_def;

struct Monitor {
    PyObject_HEAD
    State* st;       // of the module that defined the class
    int32_t status;  // mcuStatus of the last change seen
};

Monitor* as_monitor(PyObject* o) { return reinterpret_cast<Monitor*>(o); }

// Every argument is accepted and ignored.
PyObject* monitor_new(PyTypeObject* type, PyObject*, PyObject*) {
    State* st = vt::state_of_type<State>(type, &module_def);
    if (!st) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self) as_monitor(self)->st = st;
    return self;
}
int monitor_init(PyObject*, PyObject*, PyObject*) { return 0; }

void monitor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int monitor_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyObject* msg_received(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("msg_received", {"msg_b"});
    PyObject* a[1];
    vt::mcu_message rec;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::check_exact(a[0], &PyList_Type, "msg_b") ||
        !vt::decode_first_frame(a[0], rec)) {
        return nullptr;
    }
    Monitor* m = as_monitor(self);
    State& st = *m->st;
    const int temp_hook = vt::overrides(self, st.MonitorType, st.s_on_temp, st.on_temp_memo);
    if (temp_hook < 0) return nullptr;
    if (temp_hook) {
        vt::Ref t1 = vt::steal(PyFloat_FromDouble(rec.temp1));
        vt::Ref t2 = vt::steal(PyFloat_FromDouble(rec.temp2));
        if (!t1 || !t2 || !vt::call_hook(self, st.s_on_temp, t1.get(), t2.get())) return nullptr;
    }
    vt::Ref pll = vt::steal(PyLong_FromLong(rec.pllLock));
    if (!pll || !vt::call_hook(self, st.s_set_pll_lock, pll.get())) return nullptr;

    if (m->status == rec.mcuStatus) Py_RETURN_NONE;
    // Stored before the hook runs: a failing hook still leaves the change recorded.
    m->status = rec.mcuStatus;
    const int status_hook = vt::overrides(self, st.MonitorType, st.s_on_status_change, st.on_status_change_memo);
    if (status_hook < 0) return nullptr;
    if (status_hook) {
        vt::Ref status = vt::steal(PyLong_FromLong(rec.mcuStatus));
        if (!status || !vt::call_hook(self, st.s_on_status_change, status.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* on_temp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("on_temp", {"temp1", "temp2"});
    PyObject* a[2];
    float t1, t2;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::to_float(a[0], t1) || !vt::to_float(a[1], t2)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* on_status_change(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("on_status_change", {"status"});
    PyObject* a[1];
    bool status;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::to_bool(a[0], status)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef monitor_methods[] = {
    vt::method<msg_received>("msg_received",
     "msg_received($self, msg_b)\n--\n\nDecodes the status record at the start of the first frame."),
    vt::method<on_temp>("on_temp",
     "on_temp($self, temp1, temp2)\n--\n\nThis function has to be overwritten.\nIt tells the program what to do with new temperature data"),
    vt::method<on_status_change>("on_status_change",
     "on_status_change($self, status)\n--\n\nThis function has to be overwritten.\nIt tells the program what to do with a new status"),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot monitor_slots[] = {
    {Py_tp_doc, const_cast<char*>("SpeedUpProtocol(*args, **kwargs)\n--\n\n"
                                  "Microcontroller status monitor; used through a host subclass "
                                  "that supplies set_pll_lock.")},
    {Py_tp_new, vt::slot<monitor_new>()},
    {Py_tp_init, vt::slot<monitor_init>()},
    {Py_tp_dealloc, vt::slot<monitor_dealloc>()},
    {Py_tp_traverse, vt::slot<monitor_traverse>()},
    {Py_tp_methods, monitor_methods},
    {0, nullptr}};

PyType_Spec monitor_spec = {"vantor.cluster.workers.boardwatch.SpeedUpProtocol", sizeof(Monitor), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, monitor_slots};

int exec_module(PyObject* m) {
    State& st = *vt::module_state<State>(m);
    if (!vt::intern_into({{&st.s_on_temp, "on_temp"},
                          {&st.s_set_pll_lock, "set_pll_lock"},
                          {&st.s_on_status_change, "on_status_change"}})) {
        return -1;
    }
    PyObject* type = PyType_FromModuleAndSpec(m, &monitor_spec, nullptr);
    if (!type) return -1;
    st.MonitorType = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(m, "SpeedUpProtocol", type);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, vt::slot<exec_module>()}, {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantor.cluster.workers.boardwatch",
    "Microcontroller status monitor: temperatures, PLL lock and status changes.",
    sizeof(State), nullptr, slots, vt::traverse_state<State>, vt::clear_state<State>, vt::free_state<State>};

}  // namespace
}  // namespace boardwatch

PyMODINIT_FUNC PyInit_boardwatch() { return PyModuleDef_Init(&boardwatch::module_def); }
