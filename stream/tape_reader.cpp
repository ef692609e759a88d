#include "tape_reader.h"


#include <cstddef>
#include <new>

#include "gilguard.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

using Decoder = TapeDecoder<Flavor::TAPE_READER>;

TapeReader* as_reader(PyObject* self) { return reinterpret_cast<TapeReader*>(self); }

// Holds the read lock for a scope. A thread that has to wait gives up the
// interpreter lock meanwhile, so the decode in progress (which may be waiting for
// the interpreter lock itself) can finish. A request from the thread that already
// holds the lock (a callable calling back into its reader) fails with RuntimeError.
class ReadLockHolder {
public:
    ReadLockHolder(ReadLock* lock, PyThreadState* me) : lock_(lock) {
        if (!lock->mutex.try_lock()) {
            if (lock->owner.load(std::memory_order_relaxed) == me) {
                PyErr_SetString(PyExc_RuntimeError,
                                "TapeReader is already reading on this thread");
                return;
            }
            tarnwick::GILReleaseGuard unlocked;
            lock->mutex.lock();
        }
        lock->owner.store(me, std::memory_order_relaxed);
        held_ = true;
    }
    ~ReadLockHolder() {
        if (held_) {
            lock_->owner.store(nullptr, std::memory_order_relaxed);
            lock_->mutex.unlock();
        }
    }
    ReadLockHolder(const ReadLockHolder&) = delete;
    ReadLockHolder& operator=(const ReadLockHolder&) = delete;
    bool held() const { return held_; }

private:
    ReadLock* lock_;
    bool held_ = false;
};

// One top-level value under the read lock, with native failures translated.
PyObject* next_tuple(TapeReader* self) {
    if (!self->read_mutex || !self->fields.tables) {
        PyErr_SetString(PyExc_RuntimeError, "TapeReader is not initialized");
        return nullptr;
    }
    PyThreadState* tstate = PyThreadState_Get();
    ReadLockHolder lock(self->read_mutex, tstate);
    if (!lock.held()) return nullptr;
    try {
        Decoder decoder(self->fields, tstate);
        decoder.rearm();
        PyObject* value = decoder.read();
        ++self->fields.messages_read;
        return value;
    } catch (...) {
        set_python_error_from_decode_failure("Unknown C++ exception in TapeReader");
        return nullptr;
    }
}

PyObject* call(PyObject* self, PyObject* const*, size_t, PyObject*) {
    return next_tuple(as_reader(self));
}

PyObject* py_next(PyObject* self, PyObject*) { return next_tuple(as_reader(self)); }

PyObject* iternext(PyObject* self) { return next_tuple(as_reader(self)); }

PyObject* iter(PyObject* self) { return Py_NewRef(self); }

PyObject* py_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    // Calls of an instance that never ran __init__ reach next_tuple, which reports it.
    if (self) as_reader(self)->vectorcall = call;
    return self;
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"path",    "deserialize",  "read_timeout", "verbose",
                                   "on_dropped", "on_heartbeat", "start_offset", nullptr};
    PyObject* path = nullptr;
    PyObject* deserialize = nullptr;
    int read_timeout = 0;
    int verbose = 0;
    PyObject* on_dropped = nullptr;
    PyObject* on_heartbeat = nullptr;
    long long start_offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!Oip|OOL", const_cast<char**>(kwlist),
                                     &PyUnicode_Type, &path, &deserialize, &read_timeout,
                                     &verbose, &on_dropped, &on_heartbeat, &start_offset))
        return -1;
    TapeReader* r = as_reader(self);
    if (r->read_mutex) {
        PyErr_SetString(PyExc_RuntimeError, "reader is already initialized");
        return -1;
    }
    try {
        r->read_mutex = new ReadLock();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    r->vectorcall = call;
    return init_decoder_fields(r->fields, path, deserialize, read_timeout, verbose, on_dropped,
                               on_heartbeat, start_offset);
}

PyObject* py_close(PyObject* self, PyObject*) {
    TapeReader* r = as_reader(self);
    if (!r->read_mutex) Py_RETURN_NONE;
    ReadLockHolder lock(r->read_mutex, PyThreadState_Get());
    if (!lock.held()) return nullptr;
    close_decoder_file(r->fields);
    Py_RETURN_NONE;
}

PyObject* py_file_offset(PyObject* self, PyObject*) {
    return decoder_file_offset(as_reader(self)->fields);
}

PyObject* py_reopen(PyObject* self, PyObject* args) {
    long long offset = 0;
    if (!PyArg_ParseTuple(args, "L", &offset)) return nullptr;
    return decoder_reopen(as_reader(self)->fields, offset);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    return traverse_decoder_fields(as_reader(self)->fields, visit, arg);
}

int clear(PyObject* self) {
    clear_decoder_fields(as_reader(self)->fields);
    return 0;
}

void dealloc(PyObject* self) {
    TapeReader* r = as_reader(self);
    PyObject_GC_UnTrack(self);
    // Nobody else can hold the lock: a waiting or reading thread holds a reference.
    close_decoder_file(r->fields);
    clear(self);
    delete r->read_mutex;
    r->read_mutex = nullptr;
    delete r->fields.tables;
    r->fields.tables = nullptr;
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef methods[] = {
    {"close", py_close, METH_NOARGS, "TODO"},
    {"file_offset", py_file_offset, METH_NOARGS, "Return the current file read position"},
    {"reopen", py_reopen, METH_VARARGS, "Close and reopen the trace file at the given byte offset"},
    {"next", py_next, METH_NOARGS, "Read the next tape entry as a record-domain object"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.TapeReader";
    t.tp_basicsize = sizeof(TapeReader);
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = offsetof(TapeReader, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                 Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "Read a vostrel tape as record-domain objects.";
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_iter = iter;
    t.tp_iternext = iternext;
    t.tp_methods = methods;
    t.tp_members = decoder_members<offsetof(TapeReader, fields)>();
    t.tp_init = init;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_new = py_new;
    t.tp_free = PyObject_GC_Del;
    return t;
}

}  // namespace

PyTypeObject TapeReader_Type = make_type();

}  // namespace tarnwick_stream
