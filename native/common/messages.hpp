// Every error text the modules raise towards the host, in one place, so the
// wording stays uniform (and the source lint keeps it here). Each function
// sets the host error; callers then return their failure value.
#pragma once
#include "ref.hpp"

namespace vt::raise {

// The host's own wording for the same mistakes in Python code.
void none_not_subscriptable();                        // TypeError
void none_not_iterable();                             // TypeError
void none_has_no_attribute(const char* attr);         // AttributeError
void no_attribute(PyObject* obj, const char* attr);   // AttributeError
void expected_bytes_got_none();                       // TypeError
void int_division_by_zero();                          // ZeroDivisionError
void float_division_by_zero();                        // ZeroDivisionError
void float_to_int(double x);                          // OverflowError (inf) or ValueError (NaN)
void dict_changed_size();                             // RuntimeError
void cannot_pickle(PyObject* obj);                    // TypeError
void missing_builtin(const char* name);               // RuntimeError
void value_too_large(const char* tname);              // OverflowError

// The system's own.
void not_set(const char* name);                       // ValueError "<name> is not set"
void null_address(const char* record);                // ValueError
void backend_address_zero();                          // ValueError
void not_a_class(const char* what);                   // ImportError
void rank_not_device(const char* where, long long rank, long long known);  // ValueError
void recording_changed();                             // RuntimeError
void queue_capacity_zero(unsigned long total_mcus);   // ValueError
void short_piece(Py_ssize_t datagram, Py_ssize_t piece, Py_ssize_t record);  // ValueError
void internal_error(const char* what);                // SystemError
void unknown_unit(unsigned mcuId, unsigned cuId);     // KeyError
void short_record(Py_ssize_t size, Py_ssize_t record);  // ValueError
void wrong_count(const char* what, Py_ssize_t given, Py_ssize_t expected);  // ValueError
void index_out_of_range(const char* what, Py_ssize_t index, Py_ssize_t count);  // IndexError
void lock_timeout(PyObject* name, double seconds, unsigned long owner);  // TimeoutError
void lock_failed(PyObject* name, int code);           // OSError

}  // namespace vt::raise

namespace vt::text {

// Log line of a triggered re-synchronisation; new reference or null.
PyObject* failed_sync(unsigned long maxfails, unsigned mcuId, unsigned cuId);

}  // namespace vt::text
