// Binding: an immutable handle standing for a live object that is not written by value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tarnwick_stream {

struct Binding {
    PyObject_HEAD
    uint64_t handle;
};

extern PyTypeObject Binding_Type;

// Source of every handle a Binder allocates; touched only with the interpreter lock held.
extern uint64_t next_binding_handle;

// A new Binding of exactly this type holding handle, or null with an exception set.
PyObject* Binding_New(uint64_t handle);

inline bool Binding_Check(PyObject* obj) { return PyObject_TypeCheck(obj, &Binding_Type); }

// No type check: call only after Binding_Check or on an object made by Binding_New.
inline uint64_t Binding_Handle(PyObject* obj) { return reinterpret_cast<Binding*>(obj)->handle; }

}  // namespace tarnwick_stream
