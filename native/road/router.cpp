// Router: what the host's broker does with every record that passed its
// cycle check, natively. The broker calls `on_sync_success` by name; the host
// puts this object's bound method there. Per record it counts it, refines
// the time base's origin from the first records, keeps the unit's last
// record (its echo of the settings), follows the unit's integration windows
// (core/unit_windows.hpp), hands the record to an echo watcher while a
// settings change is verified, and delivers it: to the unit's worker in this
// process (`worker.msg_received([chunk])`), or into the pending batch of the
// worker process that serves the unit. A worker's failure is reported to
// `on_error(mcuId, cuId, exc)` and never stops the broker's drain.
#include "road.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/convert.hpp"
#include "common/entry.hpp"
#include "common/messages.hpp"
#include "common/module_state.hpp"
#include "core/records.hpp"
#include "core/unit_windows.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace road {
namespace {

constexpr Py_ssize_t RECORD = 60;       // cu_message
constexpr Py_ssize_t STREAM = 32;       // stream_data
constexpr uint32_t ORIGIN_RECORDS = 2000;  // records that refine the origin; later ones only cost time

struct Unit {
    vt::UnitWindows windows;
    unsigned char last[RECORD];
    bool heard = false;
    PyObject* deliver = nullptr;  // strong: its worker's msg_received (looked up when routed),
                                  // null when a worker process serves the unit
    int process = -1;
    PyObject* watcher = nullptr;  // strong; the echo watcher while a change is verified
};

struct Process {
    std::string pending;          // records back to back, sent by the host after each datagram
    unsigned long long sent = 0, lost = 0;
    bool up = true;
};

struct Core {
    std::vector<int32_t> index = std::vector<int32_t>(256 * 256, -1);  // mcuId * 256 + cuId -> unit
    std::vector<Unit> units;
    std::vector<Process> processes;
    PyObject* frames = nullptr;   // the one-frame list handed to a worker, reused while nobody keeps it
};

struct Router {
    PyObject_HEAD
    State* st;
    Core* core;
    const vt::C_Backend* backend;   // the one the workers read (buffSize, TIMESTAMP)
    PyObject* on_error;             // callable(mcuId, cuId, exc)
    PyObject* timebase;             // has regained(chunk), called after a lost sync
    unsigned long long records_in, unrouted;
    uint32_t refine;
    double origin;                  // Unix time of sequence 0; NaN until the first record
    bool lost;
};

Router* as_router(PyObject* o) { return reinterpret_cast<Router*>(o); }

uint32_t sequence_of(const unsigned char* p) {
    uint32_t s;
    std::memcpy(&s, p + offsetof(vt::cu_message, sequence), sizeof s);
    return s;
}

// The failure just raised, handed to on_error; never passed on.
void report(Router* r, unsigned mcu, unsigned cu) {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyErr_NormalizeException(&et, &ev, &tb);
    if (tb) PyException_SetTraceback(ev, tb);
    vt::Ref exc = vt::steal(ev);
    Py_XDECREF(et);
    Py_XDECREF(tb);
    vt::Ref m = vt::steal(PyLong_FromUnsignedLong(mcu)), c = vt::steal(PyLong_FromUnsignedLong(cu));
    PyObject* argv[] = {m.get(), c.get(), exc ? exc.get() : Py_None};
    vt::Ref res = m && c ? vt::steal(PyObject_Vectorcall(r->on_error, argv, 3, nullptr)) : vt::Ref();
    if (!res) PyErr_WriteUnraisable(r->on_error);
}

PyObject* router_new(PyTypeObject* type, PyObject*, PyObject*) {
    State* st = vt::state_of_type<State>(type, &module_def);
    if (!st) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Router* r = as_router(self);
    r->st = st;
    r->core = new Core();
    r->origin = NAN;
    r->refine = ORIGIN_RECORDS;
    return self;
}

// Router(pairs, backend_address, on_error, timebase)
int router_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static vt::Signature sig("Router", {"pairs", "backend_address", "on_error", "timebase"});
    PyObject* a[4];
    size_t address;
    if (!sig.parse(args, kwds, a) || !vt::check_exact(a[0], &PyList_Type, "pairs") ||
        !vt::to_size(a[1], address)) {
        return -1;
    }
    if (address == 0) {
        vt::raise::null_address("C_Backend");
        return -1;
    }
    Router* r = as_router(self);
    Core& core = *r->core;
    core.units.clear();
    std::fill(core.index.begin(), core.index.end(), -1);
    const Py_ssize_t n = PyList_GET_SIZE(a[0]);
    core.units.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        vt::Ref pair[2];
        uint8_t mcu, cu;
        if (!vt::unpack(PyList_GET_ITEM(a[0], i), 2, pair) || !vt::to_u8(pair[0].get(), mcu) ||
            !vt::to_u8(pair[1].get(), cu)) {
            return -1;
        }
        core.index[mcu * 256 + cu] = static_cast<int32_t>(i);
    }
    r->backend = reinterpret_cast<const vt::C_Backend*>(address);
    Py_XSETREF(r->on_error, Py_NewRef(a[2]));
    Py_XSETREF(r->timebase, Py_NewRef(a[3]));
    return 0;
}

int router_clear(PyObject* self) {
    Router* r = as_router(self);
    if (r->core) {
        for (Unit& u : r->core->units) {
            Py_CLEAR(u.deliver);
            Py_CLEAR(u.watcher);
        }
        Py_CLEAR(r->core->frames);
    }
    Py_CLEAR(r->on_error);
    Py_CLEAR(r->timebase);
    return 0;
}

int router_traverse(PyObject* self, visitproc visit, void* arg) {
    Router* r = as_router(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->on_error);
    Py_VISIT(r->timebase);
    if (r->core) {
        for (Unit& u : r->core->units) {
            Py_VISIT(u.deliver);
            Py_VISIT(u.watcher);
        }
        Py_VISIT(r->core->frames);
    }
    return 0;
}

void router_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    router_clear(self);
    delete as_router(self)->core;
    type->tp_free(self);
    Py_DECREF(type);
}

// The unit of (mcuId, cuId) given as two arguments; null with the error set.
Unit* unit_arg(Router* r, PyObject* mcu_o, PyObject* cu_o) {
    uint8_t mcu, cu;
    if (!vt::to_u8(mcu_o, mcu) || !vt::to_u8(cu_o, cu)) return nullptr;
    const int32_t i = r->core->index[mcu * 256 + cu];
    if (i < 0) {
        vt::raise::unknown_unit(mcu, cu);
        return nullptr;
    }
    return &r->core->units[static_cast<size_t>(i)];
}

bool take_record(Router* r, PyObject* chunk);

// [chunk] for a worker's msg_received: the router's own list when nobody else
// holds it (a list per record cost an allocation and a free), else a new one.
vt::Ref one_frame(Core* core, PyObject* chunk) {
    if (!core->frames || Py_REFCNT(core->frames) > 1) {
        Py_XSETREF(core->frames, PyList_New(1));
        if (!core->frames) return vt::Ref();
        PyList_SET_ITEM(core->frames, 0, Py_NewRef(Py_None));
    }
    PyList_SetItem(core->frames, 0, Py_NewRef(chunk));
    return vt::borrow(core->frames);
}

PyObject* on_sync_success(PyObject* self, PyObject* chunk) {
    if (!vt::check_exact(chunk, &PyBytes_Type, "chunk")) return nullptr;
    if (PyBytes_GET_SIZE(chunk) < RECORD) {
        vt::raise::short_record(PyBytes_GET_SIZE(chunk), RECORD);
        return nullptr;
    }
    if (!take_record(as_router(self), chunk)) return nullptr;
    Py_RETURN_NONE;
}

// take_batch(data): records back to back (what a worker process is sent),
// each taken as on_sync_success takes one; a short tail is ignored.
PyObject* take_batch(PyObject* self, PyObject* data) {
    if (!vt::check_exact(data, &PyBytes_Type, "data")) return nullptr;
    const char* p = PyBytes_AS_STRING(data);
    const Py_ssize_t count = PyBytes_GET_SIZE(data) / RECORD;
    for (Py_ssize_t k = 0; k < count; ++k) {
        vt::Ref chunk = vt::steal(PyBytes_FromStringAndSize(p + k * RECORD, RECORD));
        if (!chunk || !take_record(as_router(self), chunk.get())) return nullptr;
    }
    return PyLong_FromSsize_t(count);
}

// One record of `RECORD` bytes or more; false only when no memory is left.
bool take_record(Router* r, PyObject* chunk) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(chunk));
    const uint32_t sequence = sequence_of(p);
    r->records_in += 1;
    if (r->refine) {
        // Each record arrives a little after it was sent, so the smallest
        // estimate of the first records is the best one.
        --r->refine;
        const double estimate = realtime() - static_cast<double>(sequence) * vt::INTERVAL10MS;
        if (!(estimate >= r->origin)) r->origin = estimate;
    }
    if (r->lost) {
        r->lost = false;
        if (r->timebase != Py_None) {
            vt::Ref done = vt::steal(vt::call_method(r->timebase, r->st->s_regained, chunk));
            if (!done) PyErr_WriteUnraisable(r->timebase);
        }
    }
    const int32_t i = r->core->index[p[0] * 256 + p[1]];
    if (i < 0) {
        r->unrouted += 1;
        return true;
    }
    Unit& u = r->core->units[static_cast<size_t>(i)];
    std::memcpy(u.last, p, RECORD);
    u.heard = true;
    u.windows.record(sequence, r->backend->buffSize);
    if (u.watcher) {
        vt::Ref seen = vt::steal(PyObject_CallOneArg(u.watcher, chunk));
        if (!seen) report(r, p[0], p[1]);
    }
    if (u.deliver) {
        // Own references: the worker's hook may reroute the unit meanwhile.
        vt::Ref deliver = vt::borrow(u.deliver);
        vt::Ref frames = one_frame(r->core, chunk);
        if (!frames) return false;
        PyObject* argv[] = {frames.get()};
        vt::Ref done = vt::steal(PyObject_Vectorcall(deliver.get(), argv, 1, nullptr));
        // The list is the router's again (a worker that kept it gets its own)
        PyList_SetItem(frames.get(), 0, Py_NewRef(Py_None));
        if (!done) report(r, p[0], p[1]);
    } else if (u.process >= 0) {
        Process& proc = r->core->processes[static_cast<size_t>(u.process)];
        if (proc.up) {
            proc.pending.append(reinterpret_cast<const char*>(p), RECORD);
        } else {
            proc.lost += 1;   // its process is down: counted, not queued
        }
    }
    return true;
}

// route(targets): per unit (in the order of `pairs`) its worker object, the
// index of the worker process that serves it, or None.
PyObject* route(PyObject* self, PyObject* targets) {
    if (!vt::check_exact(targets, &PyList_Type, "targets")) return nullptr;
    Router* r = as_router(self);
    Core& core = *r->core;
    if (PyList_GET_SIZE(targets) != static_cast<Py_ssize_t>(core.units.size())) {
        vt::raise::wrong_count("targets", PyList_GET_SIZE(targets), static_cast<Py_ssize_t>(core.units.size()));
        return nullptr;
    }
    std::vector<int> processes(core.units.size(), -1);
    int most = -1;
    for (size_t i = 0; i < core.units.size(); ++i) {
        PyObject* t = PyList_GET_ITEM(targets, static_cast<Py_ssize_t>(i));
        if (PyLong_CheckExact(t)) {
            int32_t index;
            if (!vt::to_i32(t, index)) return nullptr;
            if (index < 0) {
                vt::raise::index_out_of_range("process", index, 0);
                return nullptr;
            }
            processes[i] = index;
            most = std::max(most, index);
        }
    }
    // A worker's msg_received is looked up once here, not by name per record.
    std::vector<vt::Ref> deliver(core.units.size());
    for (size_t i = 0; i < core.units.size(); ++i) {
        PyObject* t = PyList_GET_ITEM(targets, static_cast<Py_ssize_t>(i));
        if (processes[i] < 0 && t != Py_None) {
            deliver[i] = vt::steal(PyObject_GetAttr(t, r->st->s_msg_received));
            if (!deliver[i]) return nullptr;
        }
    }
    for (size_t i = 0; i < core.units.size(); ++i) {
        Unit& u = core.units[i];
        Py_XSETREF(u.deliver, deliver[i].release());   // none: a process, or nowhere
        u.process = processes[i];
    }
    core.processes.assign(static_cast<size_t>(most + 1), Process{});
    Py_RETURN_NONE;
}

// pending(): [(process index, records back to back)] gathered since the last
// call, for the host to send; sent counts go up by what is handed out.
PyObject* pending(PyObject* self, PyObject*) {
    Core& core = *as_router(self)->core;
    vt::Ref out = vt::steal(PyList_New(0));
    if (!out) return nullptr;
    for (size_t k = 0; k < core.processes.size(); ++k) {
        Process& proc = core.processes[k];
        if (proc.pending.empty()) continue;
        vt::Ref data = vt::steal(PyBytes_FromStringAndSize(proc.pending.data(),
                                                           static_cast<Py_ssize_t>(proc.pending.size())));
        vt::Ref item = data ? vt::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(k), data.get())) : vt::Ref();
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
        proc.sent += proc.pending.size() / RECORD;
        proc.pending.clear();
    }
    return out.release();
}

Process* process_arg(Router* r, PyObject* o) {
    Py_ssize_t k;
    if (!vt::to_ssize(o, k)) return nullptr;
    if (k < 0 || static_cast<size_t>(k) >= r->core->processes.size()) {
        vt::raise::index_out_of_range("process", k, static_cast<Py_ssize_t>(r->core->processes.size()));
        return nullptr;
    }
    return &r->core->processes[static_cast<size_t>(k)];
}

// set_up(index, up): records for a process that is down are counted as lost.
PyObject* set_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("set_up", {"index", "up"});
    PyObject* a[2];
    bool up;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::to_bool(a[1], up)) return nullptr;
    Process* proc = process_arg(as_router(self), a[0]);
    if (!proc) return nullptr;
    proc->up = up;
    if (!up) {
        proc->lost += proc->pending.size() / RECORD;
        proc->pending.clear();
    }
    Py_RETURN_NONE;
}

// process_counts(index): (records sent, records lost while it was down).
PyObject* process_counts(PyObject* self, PyObject* index) {
    Process* proc = process_arg(as_router(self), index);
    return proc ? Py_BuildValue("(KK)", proc->sent, proc->lost) : nullptr;
}

// received(mcuId, cuId, end, take=True): records of the unit's window that
// ended at sequence `end`, or None when the host did not see it close.
PyObject* received(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("received", {"mcuId", "cuId", "end", "take"}, 3);
    PyObject* a[4];
    uint32_t end;
    bool take = true;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::to_u32(a[2], end) || (a[3] && !vt::to_bool(a[3], take))) {
        return nullptr;
    }
    Unit* u = unit_arg(as_router(self), a[0], a[1]);
    if (!u) return nullptr;
    const int64_t n = u->windows.received(end, take);
    if (n < 0) Py_RETURN_NONE;
    return PyLong_FromLongLong(n);
}

// received_of(data): for stream records back to back, the records each one's
// window held, as little-endian uint32 bytes: a window record takes its
// count (0 when the host did not see the window close); silence records and
// sweep points count as whole (their intSize).
PyObject* received_of(PyObject* self, PyObject* data) {
    if (!vt::check_exact(data, &PyBytes_Type, "data")) return nullptr;
    Router* r = as_router(self);
    const Py_ssize_t count = PyBytes_GET_SIZE(data) / STREAM;
    vt::Ref out = vt::steal(PyBytes_FromStringAndSize(nullptr, count * 4));
    if (!out) return nullptr;
    const char* src = PyBytes_AS_STRING(data);
    char* dst = PyBytes_AS_STRING(out.get());
    const double base = static_cast<double>(r->backend->TIMESTAMP);
    for (Py_ssize_t k = 0; k < count; ++k) {
        vt::stream_data rec;
        std::memcpy(&rec, src + k * STREAM, STREAM);
        uint32_t n = rec.intSize;
        if (rec.cuStatus == vt::CU_NORMAL) {
            n = 0;
            const int32_t i = r->core->index[rec.mcuId * 256 + rec.cuId];
            const double steps = (rec.timestamp - base) / vt::INTERVAL10MS;
            if (i >= 0 && steps >= 0 && steps < 4294967296.0) {
                const int64_t got = r->core->units[static_cast<size_t>(i)].windows.received(
                    static_cast<uint32_t>(std::llround(steps)), true);
                if (got > 0) n = static_cast<uint32_t>(got);
            }
        }
        std::memcpy(dst + k * 4, &n, 4);
    }
    return out.release();
}

// last_record(mcuId, cuId): the unit's last record (bytes), or None.
PyObject* last_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("last_record", {"mcuId", "cuId"});
    PyObject* a[2];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    Unit* u = unit_arg(as_router(self), a[0], a[1]);
    if (!u) return nullptr;
    if (!u->heard) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(u->last), RECORD);
}

// watch(mcuId, cuId, watcher): the unit's records also go to `watcher(chunk)`; None stops it.
PyObject* watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("watch", {"mcuId", "cuId", "watcher"});
    PyObject* a[3];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    Unit* u = unit_arg(as_router(self), a[0], a[1]);
    if (!u) return nullptr;
    Py_XSETREF(u->watcher, a[2] == Py_None ? nullptr : Py_NewRef(a[2]));
    Py_RETURN_NONE;
}

PyObject* sync_lost(PyObject* self, PyObject*) {
    as_router(self)->lost = true;
    Py_RETURN_NONE;
}

PyObject* get_records_in(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_router(self)->records_in); }
PyObject* get_unrouted(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_router(self)->unrouted); }
PyObject* get_origin(PyObject* self, void*) {
    const double origin = as_router(self)->origin;
    if (std::isnan(origin)) Py_RETURN_NONE;
    return PyFloat_FromDouble(origin);
}

PyMethodDef router_methods[] = {
    vt::method_o<on_sync_success>("on_sync_success",
     "on_sync_success($self, chunk, /)\n--\n\nOne record that passed the broker's check: counted, followed and delivered."),
    vt::method_o<take_batch>("take_batch",
     "take_batch($self, data, /)\n--\n\nRecords back to back, each taken as on_sync_success takes one."),
    vt::method_o<route>("route", "route($self, targets, /)\n--\n\nPer unit its worker, or the index of its worker process."),
    vt::method_noargs<pending>("pending",
     "pending($self)\n--\n\n[(process index, records)] gathered for worker processes since the last call."),
    vt::method<set_up>("set_up", "set_up($self, index, up)\n--\n\nWhether a worker process takes records."),
    vt::method_o<process_counts>("process_counts",
     "process_counts($self, index, /)\n--\n\n(records sent, records lost while down) of a worker process."),
    vt::method<received>("received",
     "received($self, mcuId, cuId, end, take=True)\n--\n\nRecords the unit's window ending at `end` held, or None."),
    vt::method_o<received_of>("received_of",
     "received_of($self, data, /)\n--\n\nFor stream records back to back, the records each window held (uint32 bytes)."),
    vt::method<last_record>("last_record", "last_record($self, mcuId, cuId)\n--\n\nThe unit's last record, or None."),
    vt::method<watch>("watch", "watch($self, mcuId, cuId, watcher)\n--\n\nThe unit's records also go to watcher(chunk)."),
    vt::method_noargs<sync_lost>("sync_lost",
     "sync_lost($self)\n--\n\nThe broker lost its sync: the next record tells the time base it came back."),
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef router_getset[] = {
    vt::readonly<get_records_in>("records_in", "records that passed the broker's check"),
    vt::readonly<get_unrouted>("unrouted", "records of units the router does not know"),
    vt::readonly<get_origin>("origin", "Unix time of sequence 0, or None before any record"),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot router_slots[] = {
    {Py_tp_doc, const_cast<char*>("Router(pairs, backend_address, on_error, timebase)\n--\n\n"
                                  "Routes every passing record to the worker of its unit.")},
    {Py_tp_new, vt::slot<router_new>()},
    {Py_tp_init, vt::slot<router_init>()},
    {Py_tp_dealloc, vt::slot<router_dealloc>()},
    {Py_tp_traverse, vt::slot<router_traverse>()},
    {Py_tp_clear, vt::slot<router_clear>()},
    {Py_tp_methods, router_methods},
    {Py_tp_getset, router_getset},
    {0, nullptr}};

}  // namespace

PyType_Spec router_spec = {"vantor.host.road.Router", sizeof(Router), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, router_slots};

}  // namespace road
