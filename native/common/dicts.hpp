// Dictionary forms of records handed to host code: one entry per field, keyed
// by field name in layout order, reserved bytes omitted.
#pragma once
#include "ref.hpp"

#include "core/records.hpp"

namespace vt {

PyObject* cu_message_dict(const cu_message& m);        // 19 keys
PyObject* cu_update_dict(const cu_update_message& u);  // 15 keys

}  // namespace vt
