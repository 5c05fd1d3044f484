// RecordData: one recorded sample as a small value class for the host.
#include "hub.hpp"

#include "common/convert.hpp"
#include "common/entry.hpp"

#include <cstddef>

namespace feedhub {
namespace {

struct RecordData {
    PyObject_HEAD
    int32_t mcuId;
    uint8_t cuId;
    float monitorV;
    uint32_t counts;
    double timestamp;
};

RecordData* as_record(PyObject* o) { return reinterpret_cast<RecordData*>(o); }

// Each setter converts first and stores only on success.
int set_mcuId(PyObject* self, PyObject* v, void*) {
    int32_t x;
    if (vt::refuse_delete(v) < 0 || !vt::to_i32(v, x)) return -1;
    as_record(self)->mcuId = x;
    return 0;
}
int set_cuId(PyObject* self, PyObject* v, void*) {
    uint8_t x;
    if (vt::refuse_delete(v) < 0 || !vt::to_u8(v, x)) return -1;
    as_record(self)->cuId = x;
    return 0;
}
int set_monitorV(PyObject* self, PyObject* v, void*) {
    float x;
    if (vt::refuse_delete(v) < 0 || !vt::to_float(v, x)) return -1;
    as_record(self)->monitorV = x;
    return 0;
}
int set_counts(PyObject* self, PyObject* v, void*) {
    uint32_t x;
    if (vt::refuse_delete(v) < 0 || !vt::to_u32(v, x)) return -1;
    as_record(self)->counts = x;
    return 0;
}
int set_timestamp(PyObject* self, PyObject* v, void*) {
    double x;
    if (vt::refuse_delete(v) < 0 || !vt::to_double(v, x)) return -1;
    as_record(self)->timestamp = x;
    return 0;
}

PyObject* get_mcuId(PyObject* self, void*) { return PyLong_FromLong(as_record(self)->mcuId); }
PyObject* get_cuId(PyObject* self, void*) { return PyLong_FromLong(as_record(self)->cuId); }
PyObject* get_monitorV(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(as_record(self)->monitorV));
}
PyObject* get_counts(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_record(self)->counts); }
PyObject* get_timestamp(PyObject* self, void*) { return PyFloat_FromDouble(as_record(self)->timestamp); }

PyGetSetDef record_getset[] = {
    vt::property<get_mcuId, set_mcuId>("mcuId", "Microcontroller number (signed 32-bit)."),
    vt::property<get_cuId, set_cuId>("cuId", "Channel-unit number (0 to 255)."),
    vt::property<get_monitorV, set_monitorV>("monitorV", "Monitor voltage, held as binary32."),
    vt::property<get_counts, set_counts>("counts", "Counts (unsigned 32-bit)."),
    vt::property<get_timestamp, set_timestamp>("timestamp", "Seconds."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

int record_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static vt::Signature sig("__init__", {"mcuId", "cuId", "monitorV", "counts", "timestamp"});
    PyObject* a[5];
    if (!sig.parse(args, kwds, a)) return -1;
    return set_mcuId(self, a[0], nullptr) < 0 || set_cuId(self, a[1], nullptr) < 0 ||
                   set_monitorV(self, a[2], nullptr) < 0 || set_counts(self, a[3], nullptr) < 0 ||
                   set_timestamp(self, a[4], nullptr) < 0
               ? -1
               : 0;
}

void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot record_slots[] = {
    {Py_tp_doc, const_cast<char*>("RecordData(mcuId, cuId, monitorV, counts, timestamp)\n--\n\nOne recorded sample.")},
    {Py_tp_init, vt::slot<record_init>()},
    {Py_tp_dealloc, vt::slot<record_dealloc>()},
    {Py_tp_getset, record_getset},
    {0, nullptr}};

}  // namespace

PyType_Spec record_data_spec = {"vantor.cluster.feedhub.RecordData", sizeof(RecordData), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, record_slots};

}  // namespace feedhub
