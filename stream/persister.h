// The Persister: turns Python values into tape records in a FramedWriter's buffer.
// Entry points used by the queue's writer thread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tarnwick_stream {

struct Persister;

extern PyTypeObject Persister_Type;

// The queue's writer thread drives a Persister target through these, without going
// through Python. No exception conversion: a thrown failure propagates.
bool Persister_write_object(Persister* p, PyObject* obj);              // lock held by caller
bool Persister_intern_handle(Persister* p, PyObject* obj, uint64_t handle);  // lock held
bool Persister_write_binding_lookup(Persister* p, uint64_t handle);    // no lock needed
bool Persister_start_collection(Persister* p, PyObject* type, uint64_t len);  // no lock needed
bool Persister_write_heartbeat(Persister* p);                          // takes the lock

// Called while a native failure is being handled (inside a catch block): sets the
// Python error that corresponds to it.
void set_python_error_from_current_exception();

}  // namespace tarnwick_stream
