// The stream hub object and what its source files share.
#pragma once
#include "common/args.hpp"
#include "common/call.hpp"
#include "core/byte_batch.hpp"
#include "core/iv_grid.hpp"
#include "core/record_buffer.hpp"

#include <map>

namespace feedhub {

using vt::ByteBatch;
using vt::ivData_point;
using vt::ivdatatype;
using vt::recdatatype;
using vt::recordData_point;
using vt::MAX_RECORDING_LENGTH;
using vt::append_point;
using vt::bin_index;
using vt::grid_current;
using vt::is_full;
using vt::outside_range;

// Native state, one entry per device position (rank - 1) in each vector.
// The vectors always hold exactly `totdev` entries.
struct HubData {
    std::vector<ivdatatype> allIv;
    std::vector<recdatatype> allRecord;
    std::vector<int32_t> ivRunning;
    std::vector<int32_t> recordRunning;
    std::map<int32_t, recdatatype> recordData;
    ByteBatch stream_msg;
    // Bumped whenever recordData changes, so a conversion that host code
    // interrupts can tell that its entries are gone.
    uint64_t recordData_version = 0;
};

struct State;

struct Hub {
    PyObject_HEAD
    PyObject* settings;     // owned; None until construction stores it
    double time;            // timestamp of the batch being gathered
    PyObject* cached_data;  // owned; dict or None
    PyObject* devices;      // owned dict: rank -> channel-unit entry
    int64_t totdev;
    int32_t RECORDING;
    float iv_start;
    float iv_stop;
    int32_t iv_steps;
    HubData* d;             // owned; created with the object
    State* st;              // of the module that defined the class
};

inline Hub* as_hub(PyObject* o) { return reinterpret_cast<Hub*>(o); }
inline State& state_of(PyObject* self) { return *as_hub(self)->st; }

// Interned names, created once when the module is loaded.
struct Names {
    // operations and hooks reached through the object
    PyObject *create_look_up, *get_min_max, *get_biasSweepTs, *get_iv, *gen_iv_data, *get_iv_data,
        *stopRecording, *getRecordData, *streamData, *streamIvData, *resetIvFrontend;
    // settings object
    PyObject *devices, *channels, *items, *rank, *configuration, *inverted, *get_c_value, *biasSweepT,
        *biasIStart, *biasIStop;
    // result keys and the rest
    PyObject *length, *running, *timestamp_started, *counts, *monitorV, *biasI, *biasSweepTs, *time,
        *print, *index_error_ch, *index;
};

// Whether the host's class replaces each virtual operation, cached per class.
struct Memos {
    vt::Override get_min_max, get_biasSweepTs, get_iv, gen_iv_data, stopRecording, getRecordData;
};
bool init_names(Names& names);

// Everything one import of the module holds (see common/module_state.hpp).
struct State {
    PyTypeObject* HubType;
    PyTypeObject* RecordDataType;
    Names names;
    Memos memos;

    template <class F>
    void refs(F f) {
        f(HubType), f(RecordDataType);
        constexpr size_t count = sizeof(Names) / sizeof(PyObject*);
        PyObject** all = reinterpret_cast<PyObject**>(&names);  // Names holds only these pointers
        for (size_t k = 0; k < count; ++k) f(all[k]);
    }
};
extern PyModuleDef module_def;

// A host method's result must be exactly `type` or None; steals `r`.
inline PyObject* checked(PyObject* r, PyTypeObject* type) {
    if (r && !vt::expect_result(r, type)) {
        Py_DECREF(r);
        return nullptr;
    }
    return r;
}

// Native bodies, reached directly when the object's class keeps them.
PyObject* get_min_max_native(Hub* h);
PyObject* get_biasSweepTs_native(Hub* h);
PyObject* get_iv_native(PyObject* self, float start, float stop, int64_t steps);
PyObject* gen_iv_data_native(PyObject* self);
PyObject* get_iv_data_native(PyObject* self);
PyObject* stopRecording_native(PyObject* self);
PyObject* getRecordData_native(Hub* h);

// Virtual operations: the host's override when there is one, else the body.
PyObject* call_get_min_max(PyObject* self);
PyObject* call_get_biasSweepTs(PyObject* self);
PyObject* call_get_iv(PyObject* self, float start, float stop, int64_t steps);
PyObject* call_gen_iv_data(PyObject* self);
PyObject* call_stopRecording(PyObject* self);
PyObject* call_getRecordData(PyObject* self);

// Native-only operations.
// Ends the recording: the running units' points move into the result
// (retrievable with getRecordData) without building the host table.
bool stop_buffers(Hub* h);
bool isIvRunning(const Hub* h);
bool setTimestamp(Hub* h, double timestamp);
bool resetIVRange(PyObject* self);
// Unpacks a range triple (start, stop, steps) into native fields.
bool unpack_range(PyObject* triple, float& start, float& stop, int32_t& steps);

// Recording step of intake for one record at device position p; false with
// the error set when intake must end (the record then goes nowhere).
bool record_point(PyObject* self, int64_t p, double time, uint32_t counts, float monitorV);

// Host-visible methods (fast-call signature; tabled through vt::method).
#define FEEDHUB_METHOD(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
FEEDHUB_METHOD(meth_create_look_up);
FEEDHUB_METHOD(meth_msg_received);
FEEDHUB_METHOD(meth_get_min_max);
FEEDHUB_METHOD(meth_get_biasSweepTs);
FEEDHUB_METHOD(meth_get_iv);
FEEDHUB_METHOD(meth_gen_iv_data);
FEEDHUB_METHOD(meth_get_iv_data);
FEEDHUB_METHOD(meth_startRecording);
FEEDHUB_METHOD(meth_stopRecording);
FEEDHUB_METHOD(meth_getRecordData);
#undef FEEDHUB_METHOD

extern PyType_Spec hub_spec;
extern PyType_Spec record_data_spec;

}  // namespace feedhub

