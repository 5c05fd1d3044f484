// Device look-up: one entry per channel unit of the settings object, in
// visiting order, addressed later by rank - 1.
#include "mapping_walk.hpp"

namespace feedhub {
namespace {

// Geometric growth: one reserve per doubling, not per device.
template <class V>
void make_room(V& v) {
    if (v.size() == v.capacity()) v.reserve(v.capacity() ? 2 * v.capacity() : 8);
}

// Appends one device position to every per-device vector at once, so the
// vectors never disagree with totdev.
bool add_position(Hub* h) {
    HubData& d = *h->d;
    // Only the reservations can throw, and they change no size.
    make_room(d.allIv);
    make_room(d.allRecord);
    make_room(d.ivRunning);
    make_room(d.recordRunning);
    d.allIv.emplace_back();
    d.allRecord.emplace_back();
    d.ivRunning.push_back(0);
    d.recordRunning.push_back(0);
    ++h->totdev;
    return true;
}

// cached_data[key][rank] = []
bool add_empty_curve(Hub* h, PyObject* key, PyObject* rank) {
    vt::Ref cached = vt::borrow(h->cached_data);
    vt::Ref table = vt::steal(PyObject_GetItem(cached.get(), key));
    vt::Ref empty = table ? vt::steal(PyList_New(0)) : vt::Ref();
    return empty && PyObject_SetItem(table.get(), rank, empty.get()) == 0;
}

bool add_channel_unit(Hub* h, PyObject* cu) {
    State& st = *h->st;
    // The rank is read first so that a unit without one adds nothing.
    vt::Ref rank = vt::steal(PyObject_GetAttr(cu, st.names.rank));
    if (!rank) return false;
    vt::Ref devices = vt::borrow(h->devices);
    if (PyObject_SetItem(devices.get(), rank.get(), cu) < 0 || !add_position(h)) return false;
    return add_empty_curve(h, st.names.counts, rank.get()) && add_empty_curve(h, st.names.monitorV, rank.get());
}

bool create_look_up(Hub* h, PyObject* settings) {
    State& st = *h->st;
    vt::Ref mcus = vt::steal(PyObject_GetAttr(settings, st.names.devices));
    if (!mcus) return false;
    return walk_items(st, mcus.get(), [h, &st](PyObject*, PyObject* mcu) {
        vt::Ref channels = vt::steal(PyObject_GetAttr(mcu, st.names.channels));
        return channels && walk_items(st, channels.get(), [h](PyObject*, PyObject* cu) { return add_channel_unit(h, cu); });
    });
}

}  // namespace

PyObject* meth_create_look_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("create_look_up", {"settings"});
    PyObject* a[1];
    if (!sig.parse(args, nargs, kwnames, a) || !create_look_up(as_hub(self), a[0])) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace feedhub
