// Python glue of tarnwick_stream.Queue: allocation, __init__, deallocation, methods
// and attributes over the native Queue record.
#include <new>

#include "queue.h"

namespace tarnwick_stream {

namespace {

// Rings beyond this many entries are refused: building one would exhaust memory.
constexpr Py_ssize_t kMaxQueueCapacity = Py_ssize_t{1} << 28;

Queue* as_queue(PyObject* self) { return reinterpret_cast<Queue*>(self); }

// Builds the native record behind the object header, leaving the header as it was.
// False (nothing built) when memory runs out.
bool construct_record(Queue* q, Py_ssize_t capacity, int64_t inflight_limit,
                      int32_t worker_wait_timeout_ms) {
    const PyObject header = q->ob_base;
    try {
        new (q) Queue(capacity, inflight_limit, worker_wait_timeout_ms);
    } catch (const std::bad_alloc&) {
        q->ob_base = header;
        return false;
    }
    q->ob_base = header;
    return true;
}

void destroy_record(Queue* q) {
    const PyObject header = q->ob_base;
    q->~Queue();
    q->ob_base = header;
}

PyObject* py_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    if (!construct_record(as_queue(self), kMinQueueCapacity, 0, DEFAULT_WORKER_WAIT_TIMEOUT_MS)) {
        type->tp_free(self);
        return PyErr_NoMemory();
    }
    return self;
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"persister",       "thread",         "push_fail_callback",
                                   "on_target_error", "queue_capacity", "inflight_limit",
                                   "worker_wait_timeout_ms", nullptr};
    PyObject* persister = Py_None;
    PyObject* thread = Py_None;
    PyObject* push_fail_callback = Py_None;
    PyObject* on_target_error = Py_None;
    Py_ssize_t queue_capacity = DEFAULT_QUEUE_CAPACITY;
    long long inflight_limit = DEFAULT_INFLIGHT_LIMIT;
    int worker_wait_timeout_ms = DEFAULT_WORKER_WAIT_TIMEOUT_MS;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOnLi", const_cast<char**>(kwlist),
                                     &persister, &thread, &push_fail_callback, &on_target_error,
                                     &queue_capacity, &inflight_limit, &worker_wait_timeout_ms)) {
        return -1;
    }
    if (queue_capacity <= 0) {
        PyErr_SetString(PyExc_ValueError, "queue_capacity must be positive");
        return -1;
    }
    if (queue_capacity > kMaxQueueCapacity) {
        PyErr_SetString(PyExc_ValueError, "queue_capacity is too large");
        return -1;
    }
    if (worker_wait_timeout_ms < 0) {
        PyErr_SetString(PyExc_ValueError, "worker_wait_timeout_ms must be non-negative");
        return -1;
    }
    if (thread != Py_None && !PyCallable_Check(thread)) {
        PyErr_SetString(PyExc_TypeError, "thread must be callable");
        return -1;
    }
    if (push_fail_callback != Py_None && !PyCallable_Check(push_fail_callback)) {
        PyErr_SetString(PyExc_TypeError, "push_fail_callback must be callable or None");
        return -1;
    }
    if (on_target_error != Py_None && !PyCallable_Check(on_target_error)) {
        PyErr_SetString(PyExc_TypeError, "on_target_error must be callable or None");
        return -1;
    }
    Queue* q = as_queue(self);
    // Rebuilding the record on the queue's own thread, or under a drain or close
    // running on another thread, would pull it from under that thread.
    if (q->consuming_on_current_thread()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Queue cannot be re-initialised from its own writer or return thread");
        return -1;
    }
    if (q->producers_in_backoff != 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Queue cannot be re-initialised while a push is waiting on it");
        return -1;
    }
    if (q->lifecycle_busy != 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Queue cannot be re-initialised while it is being drained or closed");
        return -1;
    }
    // Keep the new configuration alive while the old record (which may hold the last
    // references to it) is destroyed.
    PyObjectPtr keep_persister = PyObjectPtr::borrow(persister);
    PyObjectPtr keep_callback = PyObjectPtr::borrow(push_fail_callback);
    PyObjectPtr keep_error_callback = PyObjectPtr::borrow(on_target_error);
    destroy_record(q);
    if (!construct_record(q, queue_capacity, inflight_limit, worker_wait_timeout_ms)) {
        // Leave a valid (small, target-less) record behind.
        if (!construct_record(q, kMinQueueCapacity, 0, DEFAULT_WORKER_WAIT_TIMEOUT_MS)) abort();
        PyErr_NoMemory();
        return -1;
    }
    if (push_fail_callback != Py_None) q->push_fail_callback = Py_NewRef(push_fail_callback);
    if (on_target_error != Py_None) q->on_target_error = Py_NewRef(on_target_error);
    if (persister == Py_None) return 0;
    q->bind_target(persister);
    return q->resume() ? 0 : -1;
}

void dealloc(PyObject* self) {
    Queue* q = as_queue(self);
    if (q->consuming_on_current_thread()) {
        // The last reference went away on one of the queue's own threads, which cannot
        // join themselves: stop the queue and keep the object; the exit hook joins it.
        q->close();
        Py_SET_REFCNT(self, 1);
        return;
    }
    PyObject* pending = PyErr_GetRaisedException();
    PyTypeObject* type = Py_TYPE(self);
    destroy_record(q);
    PyErr_SetRaisedException(pending);
    type->tp_free(self);
}

PyObject* py_close(PyObject* self, PyObject*) {
    as_queue(self)->close();
    Py_RETURN_NONE;
}

PyObject* py_drain(PyObject* self, PyObject*) {
    as_queue(self)->drain();
    Py_RETURN_NONE;
}

PyObject* py_resume(PyObject* self, PyObject*) {
    if (!as_queue(self)->resume()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"close", py_close, METH_NOARGS, "Stop queue workers and release the persister"},
    {"drain", py_drain, METH_NOARGS, "Drain queue workers without closing the queue"},
    {"resume", py_resume, METH_NOARGS, "Resume queue workers for the configured persister"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_inflight_bytes(PyObject* self, void*) {
    return PyLong_FromLongLong(as_queue(self)->inflight());
}

PyObject* get_inflight_limit(PyObject* self, void*) {
    return PyLong_FromLongLong(as_queue(self)->inflight_limit());
}

int set_inflight_limit(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "deletion of 'inflight_limit' is not allowed");
        return -1;
    }
    long long limit = PyLong_AsLongLong(value);
    if (limit == -1 && PyErr_Occurred()) return -1;
    as_queue(self)->set_inflight_limit(limit);
    return 0;
}

PyObject* get_persister(PyObject* self, void*) { return Py_NewRef(as_queue(self)->persister()); }

PyObject* get_push_fail_callback(PyObject* self, void*) {
    return Py_NewRef(as_queue(self)->push_fail_handler());
}

int set_push_fail_callback(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "deletion of 'push_fail_callback' is not allowed");
        return -1;
    }
    return as_queue(self)->set_push_fail_handler(value) ? 0 : -1;
}

PyObject* get_on_target_error(PyObject* self, void*) {
    return Py_NewRef(as_queue(self)->target_error_handler());
}

int set_on_target_error(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "deletion of 'on_target_error' is not allowed");
        return -1;
    }
    return as_queue(self)->set_target_error_handler(value) ? 0 : -1;
}

PyGetSetDef getset[] = {
    {"inflight_bytes", get_inflight_bytes, nullptr, "Current estimated bytes in flight", nullptr},
    {"inflight_limit", get_inflight_limit, set_inflight_limit, "Maximum bytes allowed in flight",
     nullptr},
    {"persister", get_persister, nullptr, "Attached persister sink", nullptr},
    {"push_fail_callback", get_push_fail_callback, set_push_fail_callback,
     "Retry callback used when a logical push stalls", nullptr},
    {"on_target_error", get_on_target_error, set_on_target_error,
     "Callback invoked when a target failure shuts the queue down", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.Queue";
    t.tp_basicsize = sizeof(Queue);
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "Stream queue object";
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = init;
    t.tp_new = py_new;
    return t;
}

}  // namespace

PyTypeObject Queue_Type = make_type();

}  // namespace tarnwick_stream
