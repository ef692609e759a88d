// Module entry point: readies the internal types, publishes the public ones in a fixed
// order and offers the module-level functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "bind_support.h"
#include "binder.h"
#include "binding.h"
#include "object_stream_reader.h"
#include "persister.h"
#include "py_framed_writer.h"
#include "queue.h"
#include "tape_reader.h"

namespace tarnwick_stream {
namespace {

PyObject* thread_id(PyObject* module, PyObject*) {
    PyObject* dict = PyThreadState_GetDict();
    PyObject* value = dict ? PyDict_GetItem(dict, module) : nullptr;
    return Py_NewRef(value ? value : Py_None);
}

PyObject* set_thread_id(PyObject* module, PyObject* value) {
    PyObject* dict = PyThreadState_GetDict();
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "no thread state dictionary");
        return nullptr;
    }
    if (PyDict_SetItem(dict, module, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"thread_id", thread_id, METH_NOARGS, "TODO"},
    {"set_thread_id", set_thread_id, METH_O, "TODO"},
    {"add_bind_support", py_add_bind_support, METH_O,
     "Enable binder lifecycle support for instances of a type"},
    {"remove_bind_support", py_remove_bind_support, METH_O,
     "Disable binder lifecycle support for instances of a type"},
    {"set_bind_support", py_add_bind_support, METH_O, "Alias for add_bind_support"},
    {"_get_bind_support_original_dealloc", py_get_bind_support_original_dealloc, METH_O,
     "Internal helper for composing native dealloc wrappers"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "_tarnwick_stream_debug",
    "TODO",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Readied, not published.
PyTypeObject* hidden_types[] = {
    &WeakBindingCallback_Type,
    nullptr,
};

// Readied and published, in this order.
PyTypeObject* exposed_types[] = {
    &Queue_Type,
    &FramedWriter_Type,
    &ObjectStreamReader_Type,
    &TapeReader_Type,
    &Persister_Type,
    &Binding_Type,
    &Binder_Type,
    nullptr,
};

const char* attribute_name(const char* tp_name) {
    const char* dot = std::strrchr(tp_name, '.');
    return dot ? dot + 1 : tp_name;
}

}  // namespace
}  // namespace tarnwick_stream

PyMODINIT_FUNC PyInit__tarnwick_stream_debug(void) {
    using namespace tarnwick_stream;
    PyObject* module = PyModule_Create2(&moduledef, 1013);
    if (!module) return nullptr;
    for (PyTypeObject** t = hidden_types; *t; ++t) {
        if (PyType_Ready(*t) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    for (PyTypeObject** t = exposed_types; *t; ++t) {
        if (PyType_Ready(*t) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
        Py_INCREF(*t);
        if (PyModule_AddObject(module, attribute_name((*t)->tp_name),
                               reinterpret_cast<PyObject*>(*t)) < 0) {
            Py_DECREF(*t);
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (Queue_module_init(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
