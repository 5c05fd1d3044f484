// Walking the host's mappings the way the settings object allows: an exact
// dict directly (its size must not change meanwhile), anything else through
// its items().
#pragma once
#include "hub.hpp"

#include "common/call.hpp"
#include "common/convert.hpp"
#include "common/messages.hpp"

namespace feedhub {

// f(key, value) for each pair; both stay referenced during the call, since
// host code that f runs may change the dict.
template <class F>
bool walk_dict(PyObject* dict, F&& f) {
    vt::Ref keep = vt::borrow(dict);
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) {
            vt::raise::dict_changed_size();
            return false;
        }
        if (!PyDict_Next(dict, &pos, &key, &value)) return true;
        vt::Ref k = vt::borrow(key), v = vt::borrow(value);
        if (!f(k.get(), v.get())) return false;
    }
}

template <class F>
bool walk_items(const State& st, PyObject* mapping, F&& f) {
    if (PyDict_CheckExact(mapping)) return walk_dict(mapping, f);
    vt::Ref items = vt::steal(vt::call_method(mapping, st.names.items));
    vt::Ref it = items ? vt::steal(PyObject_GetIter(items.get())) : vt::Ref();
    if (!it) return false;
    while (vt::Ref item = vt::steal(PyIter_Next(it.get()))) {
        vt::Ref pair[2];
        if (!vt::unpack(item.get(), 2, pair) || !f(pair[0].get(), pair[1].get())) return false;
    }
    return !PyErr_Occurred();
}

// f(value) for each value of the device look-up, in its order.
template <class F>
bool walk_devices(Hub* h, F&& f) {
    if (!PyDict_Check(h->devices)) {
        vt::raise::no_attribute(h->devices, "values");
        return false;
    }
    return walk_dict(h->devices, [&](PyObject*, PyObject* cu) { return f(cu); });
}

}  // namespace feedhub
