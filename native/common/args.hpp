// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods and for tp_init,
// with the host-facing messages every class of the package shares.
#pragma once
#include "ref.hpp"

namespace vt {

// Parameters of one callable: names in order, the first `required` of them
// mandatory. Names are interned on first use.
class Signature {
public:
    Signature(const char* fname, std::initializer_list<const char*> names, int required = -1);

    // Fills out[0..size()) with borrowed references; missing optional
    // arguments stay null. Returns false with TypeError set.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
    // The same for a classic (tuple, dict) call such as tp_init.
    bool parse(PyObject* args, PyObject* kwds, PyObject** out);

    int size() const noexcept { return count_; }
    const char* name() const noexcept { return fname_; }

private:
    static constexpr int kMax = 12;
    bool intern_names();
    bool place_keyword(PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out);
    bool finish(Py_ssize_t nargs, PyObject** out);
    void arity_error(Py_ssize_t given) const;

    const char* fname_;
    const char* names_[kMax];
    PyObject* interned_[kMax] = {};
    int count_ = 0;
    int required_ = 0;
};

// Exact-type check of a declared parameter: None passes; subclasses do not.
// TypeError "Argument '...' has incorrect type (expected ..., got ...)".
bool check_exact(PyObject* value, PyTypeObject* type, const char* argname);
// Same message, but instances of subclasses pass (for extension types).
bool check_instance(PyObject* value, PyTypeObject* type, const char* argname);

// TypeError "Expected %.42s, got %.200s" unless `value` is exactly `type` or None.
bool expect_result(PyObject* value, PyTypeObject* type);

// Setter body for a public attribute that must not be deleted.
// Returns -1 with NotImplementedError "__del__" when value is null.
int refuse_delete(PyObject* value);

}  // namespace vt
