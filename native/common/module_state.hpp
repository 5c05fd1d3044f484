// Per-module state instead of process globals: every import of a module (a
// reload, a second interpreter) gets its own types, interned names and host
// references, so one import never overwrites another's. A state type lists
// its references in `refs(f)`, which the collector's hooks below walk.
#pragma once
#include "ref.hpp"

#include <initializer_list>
#include <utility>

namespace vt {

template <class State>
inline State* module_state(PyObject* module) noexcept {
    return static_cast<State*>(PyModule_GetState(module));
}

// The state of the module that defined `type` or one of its bases; null with
// TypeError when there is none.
template <class State>
inline State* state_of_type(PyTypeObject* type, PyModuleDef* def) noexcept {
    PyObject* module = PyType_GetModuleByDef(type, def);
    return module ? module_state<State>(module) : nullptr;
}

// Interns every text into its slot; false with the error set.
inline bool intern_into(std::initializer_list<std::pair<PyObject**, const char*>> table) noexcept {
    for (const auto& [slot, text] : table) {
        if (!(*slot = intern(text))) return false;
    }
    return true;
}

// m_traverse, m_clear and m_free of a module whose state is `State`.
template <class State>
int traverse_state(PyObject* module, visitproc visit, void* arg) noexcept {
    State* s = module_state<State>(module);
    if (!s) return 0;
    int r = 0;
    s->refs([&](auto*& o) {
        if (!r && o) r = visit(reinterpret_cast<PyObject*>(o), arg);
    });
    return r;
}

template <class State>
int clear_state(PyObject* module) noexcept {
    State* s = module_state<State>(module);
    if (s) s->refs([](auto*& o) { Py_CLEAR(o); });
    return 0;
}

template <class State>
void free_state(void* module) noexcept {
    clear_state<State>(static_cast<PyObject*>(module));
}

}  // namespace vt
