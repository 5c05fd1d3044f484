// Benchmark harness, compiled by bench_broker.py: per 60-byte record, only the
// host work the broker cannot avoid, built with the same dictionary builder.
#include "common/call.hpp"
#include "common/dicts.hpp"

namespace {

PyObject* s_success;
PyObject* s_finally;
PyObject* pairs[65536];

// floor(blob, cuids, hooks): for every record of `blob`, a 60-byte bytes, a
// 2-byte bytes, the 19-key dict, the pair looked up in `cuids`, and the calls
// hooks.on_sync_success(chunk) and hooks.on_finally(channelID, data).
PyObject* floor_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyBytes_Check(args[0]) || !PySet_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "floor(blob: bytes, cuids: set, hooks)");
        return nullptr;
    }
    const char* data = PyBytes_AS_STRING(args[0]);
    const Py_ssize_t len = PyBytes_GET_SIZE(args[0]);
    for (Py_ssize_t i = 0; i + 60 <= len; i += 60) {
        vt::cu_message m;
        vt::decode(data + i, 60, m);
        PyObject*& pair = pairs[m.mcuId << 8 | m.cuId];
        if (!pair && !(pair = Py_BuildValue("(ii)", m.mcuId, m.cuId))) return nullptr;
        if (PySet_Contains(args[1], pair) < 0) return nullptr;
        vt::Ref chunk = vt::steal(PyBytes_FromStringAndSize(data + i, 60));
        if (!chunk || !vt::call_hook(args[2], s_success, chunk.get())) return nullptr;
        vt::Ref channel = vt::steal(PyBytes_FromStringAndSize(data + i, 2));
        vt::Ref dict = vt::steal(vt::cu_message_dict(m));
        if (!channel || !dict || !vt::call_hook(args[2], s_finally, channel.get(), dict.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"floor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_run)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "broker_floor", nullptr, -1, methods,
                   nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_broker_floor() {
    s_success = vt::intern("on_sync_success");
    s_finally = vt::intern("on_finally");
    return s_success && s_finally ? PyModule_Create(&def) : nullptr;
}
