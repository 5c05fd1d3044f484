// ShmLock: a lock that lives in the shared-memory block itself, next to the
// records it guards, and excludes every process that maps the block. The
// modules take any object with __enter__ and __exit__; this one costs a few
// nanoseconds where a multiprocessing lock (a semaphore reached through the
// interpreter) cost hundreds, and a killed host leaves no semaphore behind:
// it is part of the block, which the next start removes.
//
// The mutex is robust: when its owner dies holding it, the next process to
// take it is told so, makes it consistent again and counts the death in the
// shared slot (`owner_deaths`), so the host can report it. A lock that stays
// taken past `timeout` (an owner stopped, not dead) raises TimeoutError
// naming the lock and its owner instead of hanging the caller.
#include "road.hpp"

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/entry.hpp"
#include "common/messages.hpp"
#include "common/module_state.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace road {
namespace {

// One lock's slot in the shared block.
struct alignas(64) SharedLock {
    pthread_mutex_t mutex;
    uint32_t owner;          // pid of the process holding it, 0 when free
    uint32_t owner_deaths;   // owners that died holding it
};
static_assert(sizeof(SharedLock) == 64, "a lock slot is one cache line");

struct ShmLock {
    PyObject_HEAD
    SharedLock* slot;
    double timeout;
    uint32_t pid;            // this process, stamped into `owner` while held
    PyObject* name;          // for messages
};

ShmLock* as_lock(PyObject* o) { return reinterpret_cast<ShmLock*>(o); }

bool address_arg(PyObject* o, SharedLock*& out) {
    size_t address;
    if (!vt::to_size(o, address)) return false;
    if (address == 0 || address % alignof(SharedLock) != 0) {
        vt::raise::null_address("lock");
        return false;
    }
    out = reinterpret_cast<SharedLock*>(address);
    return true;
}

// ShmLock.initialize(address): makes the slot at `address` a free lock. Only
// the block's creator calls it, before any other process maps the block.
PyObject* initialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("initialize", {"address"});
    PyObject* a[1];
    SharedLock* slot;
    if (!sig.parse(args, nargs, kwnames, a) || !address_arg(a[0], slot)) return nullptr;
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0) rc = pthread_mutex_init(&slot->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    slot->owner = 0;
    slot->owner_deaths = 0;
    Py_RETURN_NONE;
}

PyObject* lock_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) as_lock(self)->pid = static_cast<uint32_t>(getpid());
    return self;
}

// ShmLock(address, name, timeout=5.0)
int lock_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static vt::Signature sig("ShmLock", {"address", "name", "timeout"}, 2);
    PyObject* a[3];
    ShmLock* l = as_lock(self);
    double timeout = 5.0;
    if (!sig.parse(args, kwds, a) || !address_arg(a[0], l->slot) ||
        (a[2] && !vt::to_seconds(a[2], "timeout", timeout))) {
        return -1;
    }
    l->timeout = timeout;
    Py_XSETREF(l->name, Py_NewRef(a[1]));
    return 0;
}

void lock_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_lock(self)->name);
    type->tp_free(self);
    Py_DECREF(type);
}

int lock_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_lock(self)->name);
    return 0;
}

bool take(ShmLock* l) {
    int rc = pthread_mutex_trylock(&l->slot->mutex);
    if (rc == EBUSY) {
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        const double whole = std::floor(l->timeout);
        until.tv_sec += static_cast<time_t>(whole);
        until.tv_nsec += static_cast<long>((l->timeout - whole) * 1e9);
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        Py_BEGIN_ALLOW_THREADS
        rc = pthread_mutex_clocklock(&l->slot->mutex, CLOCK_MONOTONIC, &until);
        Py_END_ALLOW_THREADS
    }
    if (rc == EOWNERDEAD) {
        // Its owner died inside: the records it guarded may be half written,
        // which the next writer overwrites whole; the death is counted.
        pthread_mutex_consistent(&l->slot->mutex);
        l->slot->owner_deaths += 1;
        rc = 0;
    }
    if (rc == ETIMEDOUT) {
        vt::raise::lock_timeout(l->name, l->timeout, l->slot->owner);
        return false;
    }
    if (rc != 0) {
        vt::raise::lock_failed(l->name, rc);
        return false;
    }
    l->slot->owner = l->pid;
    return true;
}

PyObject* enter(PyObject* self, PyObject*) {
    if (!take(as_lock(self))) return nullptr;
    return Py_NewRef(self);
}

PyObject* exit_(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    ShmLock* l = as_lock(self);
    l->slot->owner = 0;
    const int rc = pthread_mutex_unlock(&l->slot->mutex);
    if (rc != 0) {
        vt::raise::lock_failed(l->name, rc);
        return nullptr;
    }
    Py_RETURN_FALSE;   // a failure inside the block goes on
}

PyObject* acquire(PyObject* self, PyObject*) {
    if (!take(as_lock(self))) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* release(PyObject* self, PyObject*) {
    PyObject* r = exit_(self, nullptr, 0, nullptr);
    if (!r) return nullptr;
    Py_DECREF(r);
    Py_RETURN_NONE;
}

PyObject* get_owner(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_lock(self)->slot->owner); }
PyObject* get_owner_deaths(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_lock(self)->slot->owner_deaths);
}

PyMethodDef lock_methods[] = {
    vt::method_noargs<enter>("__enter__", "__enter__($self)\n--\n\nTakes the lock (waiting at most `timeout`)."),
    vt::method<exit_>("__exit__", "__exit__($self, *exc)\n--\n\nGives the lock back."),
    vt::method_noargs<acquire>("acquire", "acquire($self)\n--\n\nTakes the lock, as __enter__."),
    vt::method_noargs<release>("release", "release($self)\n--\n\nGives the lock back."),
    vt::static_method<initialize>("initialize",
     "initialize(address)\n--\n\nMakes the 64-byte slot at `address` (in shared memory) a free lock."),
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef lock_getset[] = {
    vt::readonly<get_owner>("owner", "pid of the process holding the lock, 0 when free"),
    vt::readonly<get_owner_deaths>("owner_deaths", "owners that died holding the lock"),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot lock_slots[] = {
    {Py_tp_doc, const_cast<char*>("ShmLock(address, name, timeout=5.0)\n--\n\n"
                                  "A process-shared lock in a 64-byte slot of shared memory.")},
    {Py_tp_new, vt::slot<lock_new>()},
    {Py_tp_init, vt::slot<lock_init>()},
    {Py_tp_dealloc, vt::slot<lock_dealloc>()},
    {Py_tp_traverse, vt::slot<lock_traverse>()},
    {Py_tp_methods, lock_methods},
    {Py_tp_getset, lock_getset},
    {0, nullptr}};

}  // namespace

PyType_Spec shm_lock_spec = {"vantor.host.road.ShmLock", sizeof(ShmLock), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, lock_slots};

}  // namespace road
