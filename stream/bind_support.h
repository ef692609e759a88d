// Bind support: patches the deallocation slot of registered types so that binders learn
// of their instances' deaths directly from deallocation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick_stream {

struct Binder;

bool AddBindSupport(PyTypeObject* type);
bool RemoveBindSupport(PyTypeObject* type);
// True, with *out set to the recorded previous deallocator, when exactly this type's
// own slot is patched.
bool GetExactBindSupportOriginalDealloc(PyTypeObject* type, destructor* out);

// The first type on the tp_base chain (the type itself included) that is registered.
PyTypeObject* find_bind_supported_type(PyTypeObject* type);
// Makes sure the type's instances reach binder_dealloc. False: a Python error is set.
bool patch_dealloc(PyTypeObject* type);
// The deallocator installed into patched slots.
void binder_dealloc(PyObject* obj);

// Strategy 1 of Binder::bind. Returns false when bind support does not apply to the
// object (the bind goes on with the other strategies). Otherwise returns true with
// *result set to the binding (the reference is handed over) or to null with an
// exception set; binding's reference is consumed in both cases.
bool bind_support_bind(Binder* binder, PyObject* obj, PyObject* binding, PyObject** result);

// Module functions.
PyObject* py_add_bind_support(PyObject* module, PyObject* cls);
PyObject* py_remove_bind_support(PyObject* module, PyObject* cls);
PyObject* py_get_bind_support_original_dealloc(PyObject* module, PyObject* cls);

}  // namespace tarnwick_stream
