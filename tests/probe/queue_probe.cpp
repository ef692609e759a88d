// Test-only module: drives the push side of a tarnwick_stream.Queue directly and shows
// the entry words, so the tests can exercise the queue without a front end. Not part
// of the public module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <mutex>

#include "queue.h"

namespace tarnwick_stream {
namespace {

Queue* queue_arg(PyObject* obj) {
    if (std::strcmp(Py_TYPE(obj)->tp_name, "tarnwick_stream.Queue") != 0) {
        PyErr_SetString(PyExc_TypeError, "expected a tarnwick_stream.Queue");
        return nullptr;
    }
    return reinterpret_cast<Queue*>(obj);
}

// A push result: True/False, or the error a push raised.
PyObject* push_result(bool ok) {
    if (!ok && PyErr_Occurred()) return nullptr;
    return PyBool_FromLong(ok);
}

PyObject* push_obj(PyObject*, PyObject* args) {
    PyObject *qo, *obj;
    if (!PyArg_ParseTuple(args, "OO", &qo, &obj)) return nullptr;
    Queue* q = queue_arg(qo);
    return q ? push_result(q->push_obj(obj)) : nullptr;
}

// push_obj under one process-wide native lock, taken as a front end takes its write
// lock (try first, else wait with the interpreter lock released): lets several Python
// threads share one queue the way the ObjectWriter makes them.
PyObject* push_obj_locked(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    static std::mutex write_mutex;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "push_obj_locked(queue, obj)");
        return nullptr;
    }
    Queue* q = queue_arg(args[0]);
    if (!q) return nullptr;
    if (!write_mutex.try_lock()) {
        Py_BEGIN_ALLOW_THREADS
        write_mutex.lock();
        Py_END_ALLOW_THREADS
    }
    bool ok = q->push_obj(args[1]);
    write_mutex.unlock();
    return push_result(ok);
}

PyObject* push_immortal(PyObject*, PyObject* args) {
    PyObject *qo, *obj;
    if (!PyArg_ParseTuple(args, "OO", &qo, &obj)) return nullptr;
    Queue* q = queue_arg(qo);
    if (!q) return nullptr;
    if (!is_immortal(obj)) {
        PyErr_SetString(PyExc_ValueError, "object is not immortal");
        return nullptr;
    }
    return push_result(q->push_immortal(obj));
}

PyObject* push_ref(PyObject*, PyObject* args) {
    PyObject* qo;
    unsigned long long handle;
    if (!PyArg_ParseTuple(args, "OK", &qo, &handle)) return nullptr;
    Queue* q = queue_arg(qo);
    return q ? push_result(q->push_ref(handle)) : nullptr;
}

PyObject* push_intern(PyObject*, PyObject* args) {
    PyObject *qo, *obj;
    unsigned long long handle;
    if (!PyArg_ParseTuple(args, "OOK", &qo, &obj, &handle)) return nullptr;
    Queue* q = queue_arg(qo);
    return q ? push_result(q->push_intern(obj, handle)) : nullptr;
}

PyObject* push_header(PyObject*, PyObject* args) {
    PyObject* qo;
    const char* kind;
    unsigned long long len;
    if (!PyArg_ParseTuple(args, "OsK", &qo, &kind, &len)) return nullptr;
    Queue* q = queue_arg(qo);
    if (!q) return nullptr;
    if (std::strcmp(kind, "list") == 0) return push_result(q->push_list_header(len));
    if (std::strcmp(kind, "tuple") == 0) return push_result(q->push_tuple_header(len));
    if (std::strcmp(kind, "dict") == 0) return push_result(q->push_dict_header(len));
    PyErr_SetString(PyExc_ValueError, "kind must be list, tuple or dict");
    return nullptr;
}

PyObject* push_control(PyObject*, PyObject* args) {
    PyObject* qo;
    const char* kind;
    if (!PyArg_ParseTuple(args, "Os", &qo, &kind)) return nullptr;
    Queue* q = queue_arg(qo);
    if (!q) return nullptr;
    if (std::strcmp(kind, "flush") == 0) return push_result(q->push_flush());
    if (std::strcmp(kind, "shutdown") == 0) return push_result(q->push_shutdown());
    if (std::strcmp(kind, "heartbeat") == 0) return push_result(q->push_heartbeat());
    PyErr_SetString(PyExc_ValueError, "kind must be flush, shutdown or heartbeat");
    return nullptr;
}

// A raw tagged word (never a pointer entry: those must own a reference).
PyObject* push_word(PyObject*, PyObject* args) {
    PyObject* qo;
    unsigned long long word;
    if (!PyArg_ParseTuple(args, "OK", &qo, &word)) return nullptr;
    Queue* q = queue_arg(qo);
    if (!q) return nullptr;
    if (is_pointer_entry(word)) {
        PyErr_SetString(PyExc_ValueError, "raw words must be tagged");
        return nullptr;
    }
    return push_result(q->push(word, 0));
}

PyObject* disable(PyObject*, PyObject* qo) {
    Queue* q = queue_arg(qo);
    if (!q) return nullptr;
    q->disable();
    Py_RETURN_NONE;
}

// A snapshot of the record's counters and flags.
PyObject* info(PyObject*, PyObject* qo) {
    Queue* q = queue_arg(qo);
    if (!q) return nullptr;
    return Py_BuildValue(
        "{s:i,s:N,s:N,s:N,s:n,s:n,s:n,s:n,s:L,s:L,s:L,s:i}", "state",
        static_cast<int>(q->current_state()), "closed", PyBool_FromLong(q->closed),
        "thread_started", PyBool_FromLong(q->thread_started), "accepting",
        PyBool_FromLong(q->accepting_pushes()), "entries", static_cast<Py_ssize_t>(q->entries.size()),
        "returned", static_cast<Py_ssize_t>(q->returned.size()), "capacity",
        static_cast<Py_ssize_t>(q->entries.capacity()), "notify_threshold_entries",
        static_cast<Py_ssize_t>(q->notify_threshold_entries), "total_added",
        static_cast<long long>(q->total_added.load()), "total_removed",
        static_cast<long long>(q->total_removed.load()), "return_notify_threshold_bytes",
        static_cast<long long>(q->return_notify_threshold_bytes.load()), "timeout_ms",
        q->worker_wait_timeout_ms_value);
}

PyObject* drain_returned_with_gil(PyObject*, PyObject* args) {
    PyObject* qo;
    long long needed;
    int release_gil;
    if (!PyArg_ParseTuple(args, "OLp", &qo, &needed, &release_gil)) return nullptr;
    Queue* q = queue_arg(qo);
    if (!q) return nullptr;
    bool ok;
    if (release_gil) {
        Py_BEGIN_ALLOW_THREADS
        ok = q->drain_returned_with_gil(needed);
        Py_END_ALLOW_THREADS
    } else {
        ok = q->drain_returned_with_gil(needed);
    }
    return PyBool_FromLong(ok);
}

PyObject* estimate_size(PyObject*, PyObject* obj) {
    return PyLong_FromLongLong(queue_estimate_size(obj));
}

PyObject* words(PyObject*, PyObject* args) {
    unsigned long long handle;
    unsigned int cmd, len;
    if (!PyArg_ParseTuple(args, "KII", &handle, &cmd, &len)) return nullptr;
    return Py_BuildValue("KK", static_cast<unsigned long long>(ref_entry(handle)),
                         static_cast<unsigned long long>(cmd_entry(cmd, len)));
}

PyObject* decode(PyObject*, PyObject* args) {
    unsigned long long word;
    if (!PyArg_ParseTuple(args, "K", &word)) return nullptr;
    return Py_BuildValue("{s:N,s:N,s:N,s:N,s:I,s:K,s:I,s:K}", "pointer",
                         PyBool_FromLong(is_pointer_entry(word)), "tagged",
                         PyBool_FromLong(is_tagged_entry(word)), "ref",
                         PyBool_FromLong(is_ref_entry(word)), "command",
                         PyBool_FromLong(is_command_entry(word)), "kind", kind_of(word), "handle",
                         static_cast<unsigned long long>(as_binding_handle(word)), "cmd",
                         cmd_of(word), "len", static_cast<unsigned long long>(len_of(word)));
}

PyMethodDef probe_methods[] = {
    {"push_obj", push_obj, METH_VARARGS, nullptr},
    {"push_obj_locked", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(push_obj_locked)),
     METH_FASTCALL, nullptr},
    {"push_immortal", push_immortal, METH_VARARGS, nullptr},
    {"push_ref", push_ref, METH_VARARGS, nullptr},
    {"push_intern", push_intern, METH_VARARGS, nullptr},
    {"push_header", push_header, METH_VARARGS, nullptr},
    {"push_control", push_control, METH_VARARGS, nullptr},
    {"push_word", push_word, METH_VARARGS, nullptr},
    {"disable", disable, METH_O, nullptr},
    {"info", info, METH_O, nullptr},
    {"drain_returned_with_gil", drain_returned_with_gil, METH_VARARGS, nullptr},
    {"estimate_size", estimate_size, METH_O, nullptr},
    {"words", words, METH_VARARGS, nullptr},
    {"decode", decode, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_tarnwick_queue_probe", "Test-only queue probe", 0, probe_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarnwick_stream

PyMODINIT_FUNC PyInit__tarnwick_queue_probe(void) {
    return PyModule_Create(&tarnwick_stream::probe_module);
}
