// Binder: gives live objects stable Binding handles and reports their deaths, by one of
// three strategies (bind support, a weak reference with a callback, or keeping the
// object alive).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "identity_map.h"

namespace tarnwick_stream {

// One strategy-2 entry: both references are owned.
struct WeakBindingEntry {
    PyObject* weakref;  // weak reference to the bound object; its callback is a WeakBindingCallback
    PyObject* binding;
};

struct Binder {
    PyObject_HEAD
    identity_map<PyObject*> bindings;           // borrowed key -> owned Binding (bind support)
    identity_map<PyObject*> fallback_bindings;  // owned key -> owned Binding (kept alive)
    identity_map<WeakBindingEntry> weak_bindings;  // borrowed key -> entry (weak reference)
    PyObject* on_delete;
    vectorcallfunc vectorcall;

    // New reference to a fresh Binding, or null with an exception set.
    PyObject* bind(PyObject* obj);
    // New reference to the object's Binding, or to None; never fails.
    PyObject* lookup(PyObject* obj);
    // Drops the object from whichever map holds it.
    void forget(PyObject* obj);
    // Reports a death to on_delete; never raises, keeps a pending exception.
    void emit_delete(uint64_t handle);
    // A strategy-2 object has died (its weak reference's callback ran).
    void on_weak_collect(PyObject* key);
    // Releases everything the binder holds, in the order that keeps reports out.
    void clear();

private:
    PyObject* bind_with_weakref(PyObject* obj, PyObject* binding);
    PyObject* bind_fallback(PyObject* obj, PyObject* binding);
};

// The hidden weak-reference callback type: remembers its binder (not owned) and the
// address of the bound object (used only as a map key). A null owner means the binder
// is gone or has dropped the entry: the callback then does nothing.
struct WeakBindingCallback {
    PyObject_HEAD
    Binder* owner;
    PyObject* key;
};

extern PyTypeObject Binder_Type;
extern PyTypeObject WeakBindingCallback_Type;

// New WeakBindingCallback for owner and key, or null with an exception set.
PyObject* WeakBindingCallback_New(Binder* owner, PyObject* key);

// Entry points for other native code; TypeError "binder must be a Binder" otherwise.
PyObject* Binder_Bind(PyObject* binder, PyObject* obj);
PyObject* Binder_Lookup(PyObject* binder, PyObject* obj);

}  // namespace tarnwick_stream
