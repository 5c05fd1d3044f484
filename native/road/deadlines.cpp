// Deadlines: the silence deadlines of many workers in one array. A worker
// re-arms its silence timer on every record by calling its own reset_timer;
// the host gives each worker a DeadlineSlot as that attribute, which writes
// the deadline natively, and one periodic check asks `due(now)` for the
// workers whose deadline passed instead of looking at each of them in Python.
#include "road.hpp"

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/entry.hpp"
#include "common/messages.hpp"
#include "common/module_state.hpp"

#include <structmember.h>

#include <cmath>
#include <cstddef>
#include <vector>

namespace road {
namespace {

struct Deadlines {
    PyObject_HEAD
    State* st;
    std::vector<double>* at;   // time.monotonic() seconds; +inf: not armed
};

struct Slot {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* table;           // strong: the Deadlines it writes into
    Py_ssize_t index;
};

Deadlines* as_table(PyObject* o) { return reinterpret_cast<Deadlines*>(o); }
Slot* as_slot(PyObject* o) { return reinterpret_cast<Slot*>(o); }

PyObject* table_new(PyTypeObject* type, PyObject*, PyObject*) {
    State* st = vt::state_of_type<State>(type, &module_def);
    if (!st) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_table(self)->st = st;
    as_table(self)->at = new std::vector<double>();
    return self;
}

// Deadlines(count): every one unarmed.
int table_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static vt::Signature sig("Deadlines", {"count"});
    PyObject* a[1];
    Py_ssize_t count;
    if (!sig.parse(args, kwds, a) || !vt::to_ssize(a[0], count)) return -1;
    if (count < 0) {
        vt::raise::index_out_of_range("count", count, 0);
        return -1;
    }
    as_table(self)->at->assign(static_cast<size_t>(count), INFINITY);
    return 0;
}

void table_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_table(self)->at;
    type->tp_free(self);
    Py_DECREF(type);
}

bool index_arg(PyObject* self, PyObject* o, Py_ssize_t& k) {
    if (!vt::to_ssize(o, k)) return false;
    const Py_ssize_t n = static_cast<Py_ssize_t>(as_table(self)->at->size());
    if (k < 0 || k >= n) {
        vt::raise::index_out_of_range("deadline", k, n);
        return false;
    }
    return true;
}

// slot(timeout_time=0.1): the worker's silence deadline is now + timeout_time.
PyObject* slot_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static vt::Signature sig("reset_timer", {"timeout_time"}, 0);
    PyObject* a[1];
    double seconds = 0.1;
    if (!sig.parse(args, PyVectorcall_NARGS(nargsf), kwnames, a) ||
        (a[0] && !vt::to_seconds(a[0], "timeout_time", seconds))) {
        return nullptr;
    }
    Slot* s = as_slot(self);
    (*as_table(s->table)->at)[static_cast<size_t>(s->index)] = monotonic() + seconds;
    Py_RETURN_NONE;
}

// slot(index): the callable a worker gets as its reset_timer.
PyObject* make_slot(PyObject* self, PyObject* index) {
    Py_ssize_t k;
    if (!index_arg(self, index, k)) return nullptr;
    PyTypeObject* type = as_table(self)->st->SlotType;
    PyObject* slot = type->tp_alloc(type, 0);
    if (!slot) return nullptr;
    as_slot(slot)->vectorcall = vt::entry<slot_call>();
    as_slot(slot)->table = Py_NewRef(self);
    as_slot(slot)->index = k;
    return slot;
}

// due(now): indexes whose deadline is at or before `now`, each unarmed.
PyObject* due(PyObject* self, PyObject* now_o) {
    double now;
    if (!vt::to_double(now_o, now)) return nullptr;
    std::vector<double>& at = *as_table(self)->at;
    vt::Ref out = vt::steal(PyList_New(0));
    if (!out) return nullptr;
    for (size_t k = 0; k < at.size(); ++k) {
        if (at[k] > now) continue;
        at[k] = INFINITY;
        vt::Ref i = vt::steal(PyLong_FromSize_t(k));
        if (!i || PyList_Append(out.get(), i.get()) < 0) return nullptr;
    }
    return out.release();
}

// get(index) / set(index, deadline): a deadline in time.monotonic() seconds (inf: unarmed).
PyObject* get(PyObject* self, PyObject* index) {
    Py_ssize_t k;
    if (!index_arg(self, index, k)) return nullptr;
    return PyFloat_FromDouble((*as_table(self)->at)[static_cast<size_t>(k)]);
}

PyObject* set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("set", {"index", "deadline"});
    PyObject* a[2];
    Py_ssize_t k;
    double deadline;
    if (!sig.parse(args, nargs, kwnames, a) || !index_arg(self, a[0], k) || !vt::to_double(a[1], deadline)) {
        return nullptr;
    }
    (*as_table(self)->at)[static_cast<size_t>(k)] = std::isnan(deadline) ? INFINITY : deadline;
    Py_RETURN_NONE;
}

Py_ssize_t table_len(PyObject* self) { return static_cast<Py_ssize_t>(as_table(self)->at->size()); }

void slot_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_slot(self)->table);
    type->tp_free(self);
    Py_DECREF(type);
}

int slot_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_slot(self)->table);
    return 0;
}

PyMethodDef table_methods[] = {
    vt::method_o<make_slot>("slot", "slot($self, index, /)\n--\n\nThe reset_timer of the worker at `index`."),
    vt::method_o<due>("due", "due($self, now, /)\n--\n\nIndexes whose deadline has passed, each unarmed."),
    vt::method_o<get>("get", "get($self, index, /)\n--\n\nThe deadline at `index` (inf: unarmed)."),
    vt::method<set>("set", "set($self, index, deadline)\n--\n\nSets the deadline at `index`."),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("Deadlines(count)\n--\n\nSilence deadlines of `count` workers.")},
    {Py_tp_new, vt::slot<table_new>()},
    {Py_tp_init, vt::slot<table_init>()},
    {Py_tp_dealloc, vt::slot<table_dealloc>()},
    {Py_sq_length, vt::slot<table_len>()},
    {Py_tp_methods, table_methods},
    {0, nullptr}};

PyMemberDef slot_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Slot, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot slot_slots[] = {
    {Py_tp_doc, const_cast<char*>("DeadlineSlot\n--\n\nA worker's reset_timer: slot(timeout_time).")},
    {Py_tp_dealloc, vt::slot<slot_dealloc>()},
    {Py_tp_traverse, vt::slot<slot_traverse>()},
    {Py_tp_call, vt::vectorcall_call()},
    {Py_tp_members, slot_members},
    {0, nullptr}};

}  // namespace

PyType_Spec deadlines_spec = {"vantor.host.road.Deadlines", sizeof(Deadlines), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, table_slots};
PyType_Spec slot_spec = {"vantor.host.road.DeadlineSlot", sizeof(Slot), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         slot_slots};

}  // namespace road
