// Python type tarnwick_stream.ObjectWriter: slots, method tables, argument parsing.
#include <structmember.h>

#include <new>

#include "object_writer.h"
#include "queue.h"

namespace tarnwick_stream {

namespace {

// The record holds C++ members (a mutex, a hash set), which makes it a non-standard
// layout type in the language's terms; the compilers this builds with still lay it
// out in declaration order, and these offsets name plain C fields only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
constexpr Py_ssize_t kMessagesWrittenOffset = offsetof(ObjectWriter, messages_written);
constexpr Py_ssize_t kVerboseOffset = offsetof(ObjectWriter, verbose);
constexpr Py_ssize_t kVectorcallOffset = offsetof(ObjectWriter, vectorcall);
constexpr Py_ssize_t kWeakreflistOffset = offsetof(ObjectWriter, weakreflist);
#pragma GCC diagnostic pop

ObjectWriter* as_writer(PyObject* self) { return reinterpret_cast<ObjectWriter*>(self); }

PyObject* none_or_null(bool ok) {
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ObjectWriter_construct(as_writer(self));
    return self;
}

PyObject* py_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return ObjectWriter_call(as_writer(self), args, nargsf, kwnames);
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"queue", "verbose", "quit_on_error", nullptr};
    PyObject* queue = nullptr;
    int verbose = 0;
    int quit_on_error = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!|pp", const_cast<char**>(kwlist), &Queue_Type,
                                     &queue, &verbose, &quit_on_error))
        return -1;
    ObjectWriter* w = as_writer(self);
    w->verbose = verbose != 0;
    w->quit_on_error = quit_on_error != 0;
    w->messages_written = 0;
    w->vectorcall = py_vectorcall;
    ObjectWriter_attach(w, queue);
    return 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_writer(self)->queue);
    return 0;
}

int clear(PyObject* self) {
    ObjectWriter_clear(as_writer(self));
    return 0;
}

void dealloc(PyObject* self) {
    ObjectWriter* w = as_writer(self);
    PyObject_GC_UnTrack(self);
    ObjectWriter_push_shutdown(w);
    if (w->weakreflist) PyObject_ClearWeakRefs(self);
    ObjectWriter_clear(w);
    ObjectWriter_destroy(w);
    Py_TYPE(self)->tp_free(self);
}

PyObject* py_flush(PyObject* self, PyObject*) {
    ObjectWriter* w = as_writer(self);
    if (ObjectWriter_disabled(w)) Py_RETURN_NONE;
    return none_or_null(ObjectWriter_flush(w));
}

PyObject* py_heartbeat(PyObject* self, PyObject* payload) {
    ObjectWriter* w = as_writer(self);
    if (ObjectWriter_disabled(w)) Py_RETURN_NONE;
    if (!PyDict_Check(payload)) {
        PyErr_SetString(PyExc_TypeError, "heartbeat payload must be a dict");
        return nullptr;
    }
    return none_or_null(ObjectWriter_heartbeat(w, payload));
}

PyObject* py_disable(PyObject* self, PyObject*) {
    return none_or_null(ObjectWriter_disable(as_writer(self)));
}

PyObject* py__intern(PyObject* self, PyObject* obj) {
    ObjectWriter* w = as_writer(self);
    if (ObjectWriter_disabled(w)) Py_RETURN_NONE;
    return none_or_null(ObjectWriter_intern(w, obj));
}

PyObject* get_queue(PyObject* self, void*) {
    PyObject* q = as_writer(self)->queue;
    return Py_NewRef(q ? q : Py_None);
}

int set_queue(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "deletion of 'output' is not allowed");
        return -1;
    }
    if (value == Py_None) {
        ObjectWriter_attach(as_writer(self), nullptr);
        return 0;
    }
    if (!PyObject_TypeCheck(value, &Queue_Type)) {
        PyErr_SetString(PyExc_TypeError, "output must be a Queue or None");
        return -1;
    }
    ObjectWriter_attach(as_writer(self), value);
    return 0;
}

PyMethodDef methods[] = {
    {"flush", py_flush, METH_NOARGS, "Flush buffered data to the output callback"},
    {"heartbeat", py_heartbeat, METH_O, "Push heartbeat payload dict and flush"},
    {"disable", py_disable, METH_NOARGS, "Null queue pointers to prevent further writes"},
    {"_intern", py__intern, METH_O, "Push an intern definition for an object"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"queue", get_queue, set_queue, "Attached queue", nullptr},
    {"output", get_queue, set_queue, "Output callback", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"messages_written", T_ULONGLONG, kMessagesWrittenOffset, READONLY,
     "Roots written plus interns pushed"},
    {"verbose", T_BOOL, kVerboseOffset, 0, "Trace writes to standard error"},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.ObjectWriter";
    t.tp_basicsize = sizeof(ObjectWriter);
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = kVectorcallOffset;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                 Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "TODO";
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_weaklistoffset = kWeakreflistOffset;
    t.tp_methods = methods;
    t.tp_members = members;
    t.tp_getset = getset;
    t.tp_init = init;
    t.tp_new = tp_new;
    return t;
}

}  // namespace

PyTypeObject ObjectWriter_Type = make_type();

}  // namespace tarnwick_stream
