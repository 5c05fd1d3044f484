// The shared time base: the wall clock written into C_Backend.TIMESTAMP under
// the back-end lock, with the context-manager exception protocol.
#include <cstring>

#include "broker.hpp"

#include "common/convert.hpp"
#include "common/critical.hpp"
#include "common/messages.hpp"

namespace ingestgate {
namespace {

// round(time.time(), 3), read through the module attribute so a patched clock is seen.
bool wall_clock(const State& st, float& out) {
    vt::Ref clock = vt::steal(PyObject_GetAttr(st.host.time_module, st.names.time));
    vt::Ref now = clock ? vt::steal(PyObject_CallNoArgs(clock.get())) : vt::Ref();
    if (!now) return false;
    PyObject* args[] = {now.get(), st.host.three};
    vt::Ref rounded = vt::steal(PyObject_Vectorcall(st.host.round, args, 2, nullptr));
    return rounded && vt::to_float(rounded.get(), out);
}

bool write_time_stamp(Broker* b) {
    float stamp;
    if (!wall_clock(*b->st, stamp)) return false;
    if (b->backendaddr == 0) {
        vt::raise::backend_address_zero();
        return false;
    }
    std::memcpy(reinterpret_cast<char*>(b->backendaddr) + offsetof(vt::C_Backend, TIMESTAMP), &stamp,
                sizeof stamp);
    return true;
}

}  // namespace

bool update_time_stamp(PyObject* self) {
    Broker* b = as_broker(self);
    // Held: the lock's own code could re-initialise the broker and replace the field.
    vt::Ref lock = vt::borrow(b->backendlock);
    return vt::with_lock(lock.get(), [b] { return write_time_stamp(b); });
}

}  // namespace ingestgate
