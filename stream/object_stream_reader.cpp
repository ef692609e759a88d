#include "object_stream_reader.h"


#include <cstddef>

#include "stream.h"

namespace tarnwick_stream {

namespace {

using Decoder = TapeDecoder<Flavor::OBJECT_STREAM>;

ObjectStream* as_stream(PyObject* self) { return reinterpret_cast<ObjectStream*>(self); }

PyObject* call(PyObject* self, PyObject* const*, size_t, PyObject*) {
    ObjectStream* s = as_stream(self);
    if (!s->fields.tables) {
        PyErr_SetString(PyExc_RuntimeError, "ObjectStreamReader is closed");
        return nullptr;
    }
    try {
        Decoder decoder(s->fields, PyThreadState_Get());
        decoder.rearm();
        return decoder.next();
    } catch (...) {
        set_python_error_from_decode_failure("Unknown C++ exception in ObjectStream");
        return nullptr;
    }
}

PyObject* py_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    // An instance that never ran __init__ has no file; its calls say so.
    if (self) as_stream(self)->vectorcall = call;
    return self;
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"path",    "deserialize", "stub_factory", "read_timeout",
                                   "verbose", "on_dropped",  "on_heartbeat", "start_offset",
                                   nullptr};
    PyObject* path = nullptr;
    PyObject* deserialize = nullptr;
    PyObject* stub_factory = nullptr;
    int read_timeout = 0;
    int verbose = 0;
    PyObject* on_dropped = nullptr;
    PyObject* on_heartbeat = nullptr;
    long long start_offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!OOip|OOL", const_cast<char**>(kwlist),
                                     &PyUnicode_Type, &path, &deserialize, &stub_factory,
                                     &read_timeout, &verbose, &on_dropped, &on_heartbeat,
                                     &start_offset))
        return -1;
    ObjectStream* s = as_stream(self);
    if (s->fields.tables) {
        PyErr_SetString(PyExc_RuntimeError, "reader is already initialized");
        return -1;
    }
    s->vectorcall = call;
    Py_XSETREF(s->stub_factory, Py_NewRef(stub_factory));
    return init_decoder_fields(s->fields, path, deserialize, read_timeout, verbose, on_dropped,
                               on_heartbeat, start_offset);
}

PyObject* py_close(PyObject* self, PyObject*) {
    close_decoder_file(as_stream(self)->fields);
    Py_RETURN_NONE;
}

PyObject* py_file_offset(PyObject* self, PyObject*) {
    return decoder_file_offset(as_stream(self)->fields);
}

PyObject* py_reopen(PyObject* self, PyObject* args) {
    long long offset = 0;
    if (!PyArg_ParseTuple(args, "L", &offset)) return nullptr;
    return decoder_reopen(as_stream(self)->fields, offset);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    ObjectStream* s = as_stream(self);
    Py_VISIT(s->fields.path);
    Py_VISIT(s->fields.create_pickled);
    Py_VISIT(s->stub_factory);
    Py_VISIT(s->fields.create_dropped);
    Py_VISIT(s->fields.create_heartbeat);
    if (s->fields.tables)
        for (auto& kv : s->fields.tables->interns) Py_VISIT(kv.second);
    return 0;
}

int clear(PyObject* self) {
    ObjectStream* s = as_stream(self);
    if (s->fields.tables) s->fields.tables->clear();
    Py_CLEAR(s->fields.path);
    Py_CLEAR(s->fields.create_pickled);
    Py_CLEAR(s->stub_factory);
    Py_CLEAR(s->fields.create_dropped);
    Py_CLEAR(s->fields.create_heartbeat);
    return 0;
}

void dealloc(PyObject* self) {
    ObjectStream* s = as_stream(self);
    PyObject_GC_UnTrack(self);
    close_decoder_file(s->fields);
    clear(self);
    delete s->fields.tables;
    s->fields.tables = nullptr;
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef methods[] = {
    {"close", py_close, METH_NOARGS, "TODO"},
    {"file_offset", py_file_offset, METH_NOARGS, "Return the current file read position"},
    {"reopen", py_reopen, METH_VARARGS, "Close and reopen the trace file at the given byte offset"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.ObjectStreamReader";
    t.tp_basicsize = sizeof(ObjectStream);
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = offsetof(ObjectStream, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                 Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "TODO";
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_methods = methods;
    t.tp_members = decoder_members<offsetof(ObjectStream, fields)>();
    t.tp_init = init;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_new = py_new;
    t.tp_free = PyObject_GC_Del;
    return t;
}

}  // namespace

PyTypeObject ObjectStreamReader_Type = make_type();

}  // namespace tarnwick_stream
