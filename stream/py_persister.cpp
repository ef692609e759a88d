// Python type tarnwick_stream.Persister: construction, the methods that drive the native
// Persister one operation at a time (holding or releasing the interpreter lock as the
// queue's writer thread does), attributes and garbage-collector support.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

#include "gilguard.h"
#include "persister.h"
#include "py_framed_writer.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

Persister* as_persister(PyObject* self) { return reinterpret_cast<Persister*>(self); }

// Claims the Persister for one method call; on failure the Python error is set.
class MethodCall {
public:
    explicit MethodCall(Persister* p) : use_(p), ok_(false) {
        if (!p->framed_writer_obj) {
            Persister_set_uninitialised_error();
        } else if (!use_.ok()) {
            use_.set_error();
        } else if (!p->attach_writer()) {
            Persister_set_uninitialised_error();
        } else {
            ok_ = true;
        }
    }
    bool ok() const { return ok_; }

private:
    PersisterUse use_;
    bool ok_;
};

// Runs op with the interpreter lock released; the lock is back when this returns,
// also when op threw. True when op did not throw (its failure is converted then).
template <class Op>
bool run_released(Op&& op) {
    PyThreadState* saved = PyEval_SaveThread();
    try {
        op();
    } catch (...) {
        tarnwick::take_lock_or_park([saved] { PyEval_RestoreThread(saved); });
        set_python_error_from_current_exception();
        return false;
    }
    tarnwick::take_lock_or_park([saved] { PyEval_RestoreThread(saved); });
    return true;
}

// A bool operation's result as a method result.
PyObject* bool_result(bool ok) {
    if (ok) Py_RETURN_NONE;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Persister operation failed");
    return nullptr;
}

// A flush-family result: an errno from write(2) becomes OSError naming the output.
PyObject* flush_result(Persister* p, int err) {
    if (err) {
        FramedWriter_set_write_error(p->framed_writer_obj, err);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, "write failed");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    if (!as_persister(self)->construct_native()) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"writer", "serializer", "thread", "intern_serializer",
                                   nullptr};
    PyObject* writer = nullptr;
    PyObject* serializer = nullptr;
    PyObject* thread = Py_None;
    PyObject* intern_serializer = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OO", const_cast<char**>(kwlist), &writer,
                                     &serializer, &thread, &intern_serializer))
        return -1;
    Persister* p = as_persister(self);
    // The tables number the records of one stream: a second initialisation would
    // either orphan them or let references name strings the new output never saw.
    if (p->framed_writer_obj) {
        PyErr_SetString(PyExc_RuntimeError, "Persister is already initialised");
        return -1;
    }
    FramedWriter* native = FramedWriter_get(writer);
    if (!native) return -1;
    if (intern_serializer != Py_None && !PyCallable_Check(intern_serializer)) {
        PyErr_Format(PyExc_TypeError, "intern_serializer must be callable or None, got %S",
                     intern_serializer);
        return -1;
    }
    p->framed_writer_obj = Py_NewRef(writer);
    p->fw = native;
    p->serializer = Py_NewRef(serializer);
    p->intern_serializer = intern_serializer == Py_None ? nullptr : Py_NewRef(intern_serializer);
    return 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Persister* p = as_persister(self);
    Py_VISIT(p->framed_writer_obj);
    Py_VISIT(p->serializer);
    Py_VISIT(p->intern_serializer);
    for (auto& kv : p->interned_index) Py_VISIT(kv.first);
    for (auto& kv : p->interns) Py_VISIT(kv.second.held);
    return 0;
}

int clear(PyObject* self) {
    as_persister(self)->clear();
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Persister* p = as_persister(self);
    p->clear();
    p->destroy_native();
    Py_TYPE(self)->tp_free(self);
}

// ---- methods: the lock is kept ----

PyObject* py_write_object(PyObject* self, PyObject* obj) {
    Persister* p = as_persister(self);
    MethodCall call(p);
    if (!call.ok()) return nullptr;
    PyObjectPtr held = PyObjectPtr::borrow(obj);
    try {
        return bool_result(p->write_object(held.get()));
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

PyObject* py_intern(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"obj", "ref", nullptr};
    PyObject* obj = nullptr;
    PyObject* ref = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char**>(kwlist), &obj, &ref))
        return nullptr;
    Persister* p = as_persister(self);
    MethodCall call(p);
    if (!call.ok()) return nullptr;
    PyObjectPtr held = PyObjectPtr::borrow(obj);
    // The definition is keyed by the identity of ref (or obj), which it keeps alive.
    PyObject* keyed = ref == Py_None ? obj : ref;
    try {
        return bool_result(p->intern(held.get(), pointer_handle(keyed), keyed));
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// ---- methods: the lock is released for the native operation ----

PyObject* py_write_handle_ref(PyObject* self, PyObject* arg) {
    unsigned long long handle = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    Persister* p = as_persister(self);
    MethodCall call(p);
    if (!call.ok()) return nullptr;
    bool ok = false;
    if (!run_released([&] { ok = p->write_handle_ref(handle); })) return nullptr;
    return bool_result(ok);
}

template <int (Persister::*Flush)()>
PyObject* py_flush_op(PyObject* self, PyObject*) {
    Persister* p = as_persister(self);
    MethodCall call(p);
    if (!call.ok()) return nullptr;
    int err = 0;
    if (!run_released([&] { err = (p->*Flush)(); })) return nullptr;
    return flush_result(p, err);
}

template <void (Persister::*Op)()>
PyObject* py_plain_op(PyObject* self, PyObject*) {
    Persister* p = as_persister(self);
    MethodCall call(p);
    if (!call.ok()) return nullptr;
    if (!run_released([&] { (p->*Op)(); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* start_with_type(PyObject* self, PyObject* type, PyObject* len_obj) {
    unsigned long len = PyLong_AsUnsignedLong(len_obj);
    if (PyErr_Occurred()) return nullptr;
    Persister* p = as_persister(self);
    MethodCall call(p);
    if (!call.ok()) return nullptr;
    PyObjectPtr held = PyObjectPtr::borrow(type);
    if (!run_released([&] { p->start_collection(held.get(), len); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_start_list(PyObject* self, PyObject* len) {
    return start_with_type(self, reinterpret_cast<PyObject*>(&PyList_Type), len);
}

PyObject* py_start_tuple(PyObject* self, PyObject* len) {
    return start_with_type(self, reinterpret_cast<PyObject*>(&PyTuple_Type), len);
}

PyObject* py_start_dict(PyObject* self, PyObject* len) {
    return start_with_type(self, reinterpret_cast<PyObject*>(&PyDict_Type), len);
}

PyObject* py_start_collection(PyObject* self, PyObject* args) {
    PyObject* type = nullptr;
    PyObject* len = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &type, &len)) return nullptr;
    return start_with_type(self, type, len);
}

PyObject* py_write_pickled(PyObject* self, PyObject* obj) {
    Persister* p = as_persister(self);
    MethodCall call(p);
    if (!call.ok()) return nullptr;
    PyObjectPtr held = PyObjectPtr::borrow(obj);
    if (!run_released([&] { p->write_pickled(held.get()); })) return nullptr;
    Py_RETURN_NONE;
}

// ---- attributes ----

PyObject* get_path(PyObject* self, void*) {
    Persister* p = as_persister(self);
    if (!p->framed_writer_obj) return PyUnicode_FromString("");
    return PyObject_GetAttrString(p->framed_writer_obj, "path");
}

PyObject* get_fd(PyObject* self, void*) {
    FramedWriter* w = as_persister(self)->current_writer();
    return PyLong_FromLong(w ? w->fd() : -1);
}

PyObject* get_is_fifo(PyObject* self, void*) {
    Persister* p = as_persister(self);
    if (!p->framed_writer_obj) Py_RETURN_FALSE;
    return PyObject_GetAttrString(p->framed_writer_obj, "is_fifo");
}

PyMethodDef methods[] = {
    {"write_object", py_write_object, METH_O,
     "Write an object while mimicking consumer threading"},
    {"write_handle_ref", py_write_handle_ref, METH_O,
     "Write a binding handle lookup while mimicking consumer threading"},
    {"intern", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_intern)),
     METH_VARARGS | METH_KEYWORDS, "Write and bind an object while mimicking consumer threading"},
    {"flush", py_flush_op<&Persister::flush>, METH_NOARGS,
     "Flush the writer while mimicking consumer threading"},
    {"flush_background", py_flush_op<&Persister::flush_background>, METH_NOARGS,
     "Flush buffered output after a worker batch"},
    {"shutdown", py_flush_op<&Persister::shutdown>, METH_NOARGS,
     "Write shutdown while mimicking consumer threading"},
    {"prepare_resume", py_plain_op<&Persister::prepare_resume>, METH_NOARGS,
     "Restamp the writer before resuming queue workers"},
    {"start_list", py_start_list, METH_O, "Write a list header while mimicking consumer threading"},
    {"start_tuple", py_start_tuple, METH_O,
     "Write a tuple header while mimicking consumer threading"},
    {"start_dict", py_start_dict, METH_O, "Write a dict header while mimicking consumer threading"},
    {"start_collection", py_start_collection, METH_VARARGS,
     "Write a collection header while mimicking consumer threading"},
    {"write_heartbeat", py_plain_op<&Persister::write_heartbeat>, METH_NOARGS,
     "Write a heartbeat while mimicking consumer threading"},
    {"write_pickled", py_write_pickled, METH_O,
     "Write a pre-pickled payload while mimicking consumer threading"},
    {"reset_state", py_plain_op<&Persister::reset_state>, METH_NOARGS,
     "Reset persister state while mimicking consumer threading"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"path", get_path, nullptr, "File path", nullptr},
    {"fd", get_fd, nullptr, "Underlying file descriptor", nullptr},
    {"is_fifo", get_is_fifo, nullptr, "True if the output is a named pipe", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.Persister";
    t.tp_basicsize = sizeof(Persister);
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "File persister sink";
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = init;
    t.tp_new = tp_new;
    return t;
}

}  // namespace

PyTypeObject Persister_Type = make_type();

}  // namespace tarnwick_stream
