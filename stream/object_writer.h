// ObjectWriter: the recording front end. Python threads call it with values; it turns
// each into queue items on the calling thread and pushes them into its Queue.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tsl/robin_set.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "stream.h"

namespace tarnwick_stream {

struct Queue;

// Containers nested deeper than this, and containers met again inside themselves,
// travel as one object entry instead of being flattened further.
constexpr int MAX_FLATTEN_DEPTH = 32;

// An operation asked for by the thread that already holds the write lock (from a
// finaliser or a push_fail_callback that runs inside a push): it is queued and run when
// the outer operation is done, so it neither deadlocks nor splits an item.
struct DeferredOp {
    enum Kind : uint8_t { ROOT, FLUSH, HEARTBEAT, INTERN };
    Kind kind;
    PyObject* obj;  // owned reference, or null for FLUSH
};

struct ObjectWriter {
    PyObject_HEAD
    PyObject* queue;  // owned reference to a Queue, or null when detached
    // The write lock. Every caller holds the interpreter lock when it takes or gives
    // up the write lock, so its owner field needs no atomics: write_owner identifies the
    // holding thread (0 when free) and write_waiters counts the threads blocked
    // for it, both read and written only with the interpreter lock held. A blocked
    // thread releases the interpreter lock and sleeps on write_cv under write_mutex
    // until write_release_gen moves.
    std::mutex write_mutex;
    std::condition_variable write_cv;
    uint64_t write_release_gen;
    uintptr_t write_owner;
    unsigned write_waiters;
    // The fork generation in which the write lock was last taken (object_writer.cpp).
    uint64_t write_generation;
    tsl::robin_set<uint64_t> interned_handles;
    uint64_t messages_written;
    bool verbose;
    bool quit_on_error;
    vectorcallfunc vectorcall;
    PyObject* weakreflist;

    // Counts attachments; interned_handles belongs to the attachment numbered
    // interned_for, and is emptied when a write finds another queue attached.
    uint64_t attach_count;
    uint64_t interned_for;
    // Operations deferred by re-entrant calls; touched only by the lock holder.
    std::vector<DeferredOp> deferred;
};

extern PyTypeObject ObjectWriter_Type;

// Native operations behind the Python type (object_writer.cpp). All run on a Python
// thread holding the interpreter lock; each returns false with a Python error set when
// it fails, true otherwise (a disabled writer succeeds without pushing).

// Builds the record fields of a freshly allocated object.
void ObjectWriter_construct(ObjectWriter* w);
// Releases the queue and empties the interned set (garbage-collector clear).
void ObjectWriter_clear(ObjectWriter* w);
// Destroys the record fields (after clear).
void ObjectWriter_destroy(ObjectWriter* w);
// Replaces the attached queue (null detaches); takes a new reference.
void ObjectWriter_attach(ObjectWriter* w, PyObject* queue);
// True when writes are refused: no queue, queue not accepting, or a queue thread.
bool ObjectWriter_disabled(ObjectWriter* w);

// The call writer(*values): checks, then write_all; a new reference to None, or null
// with an exception set.
PyObject* ObjectWriter_call(ObjectWriter* w, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames);
bool ObjectWriter_write_all(ObjectWriter* w, PyObject* const* values, Py_ssize_t n);
bool ObjectWriter_flush(ObjectWriter* w);
bool ObjectWriter_heartbeat(ObjectWriter* w, PyObject* payload);
bool ObjectWriter_intern(ObjectWriter* w, PyObject* obj);
bool ObjectWriter_disable(ObjectWriter* w);
// Pushes CMD_SHUTDOWN at destruction; never raises.
void ObjectWriter_push_shutdown(ObjectWriter* w);

}  // namespace tarnwick_stream
