// The ObjectWriter's work: taking the write lock, turning values into queue items
// (one pointer entry per root for a Persister target, a flattened walk for any other
// target), interning strings, heartbeats, flushes, the stall rule and the trace.
#include "object_writer.h"

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <utility>

#include "binding.h"
#include "gilguard.h"
#include "persister.h"
#include "queue.h"
#include "queueentry.h"

namespace tarnwick_stream {

namespace {

Queue* as_queue(PyObject* q) { return reinterpret_cast<Queue*>(q); }

// ---------------------------------------------------------------------------
// Trace

// Short text of a value for the trace, in a per-thread buffer (at most 255 chars).
const char* debugstr(PyObject* obj) {
    thread_local char buf[256];
    if (!obj) return "<null>";
    PyTypeObject* t = Py_TYPE(obj);
    if (obj == Py_None || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type ||
        t == &PyUnicode_Type || t == &PyBytes_Type) {
        PyObject* s = PyObject_Str(obj);
        const char* text = s ? PyUnicode_AsUTF8(s) : nullptr;
        if (text) {
            std::snprintf(buf, sizeof buf, "%s", text);
            Py_DECREF(s);
            return buf;
        }
        Py_XDECREF(s);
        PyErr_Clear();
    }
    std::snprintf(buf, sizeof buf, "<%s at %p>", t->tp_name, static_cast<void*>(obj));
    return buf;
}

void trace_root(ObjectWriter* w, PyObject* value) {
    const char* text = debugstr(value);
    std::fprintf(stderr, "Vostrel(%i) - ObjectWriter[%lu] -- %s\n", static_cast<int>(getpid()),
                 static_cast<unsigned long>(w->messages_written), text);
}

void trace_intern(ObjectWriter* w, PyObject* obj) {
    std::fprintf(stderr, "Vostrel(%i) - ObjectWriter[%lu] -- INTERN(%s)\n",
                 static_cast<int>(getpid()), static_cast<unsigned long>(w->messages_written),
                 Py_TYPE(obj)->tp_name);
}

// ---------------------------------------------------------------------------
// Flattening plan
//
// For a target that is not a Persister, a root is first walked, with the interpreter
// lock held throughout and no Python code run, into a list of steps that each hold a
// reference to their object. Only then is anything pushed. So a push that waits with
// the lock released cannot see a container change under it: every header carries the
// count of the elements that follow, no element is read after it could have been
// freed, and a value that cannot be represented is refused before anything is pushed.

struct Step {
    enum Kind : uint8_t { OBJECT, REF, INTERNED_STR, HEADER };
    Kind kind;
    Cmd cmd;         // HEADER: CMD_LIST, CMD_TUPLE or CMD_DICT
    uint64_t value;  // REF: handle; HEADER: element count
    PyObject* obj;   // OBJECT, INTERNED_STR: owned reference
};

// A step list taken from a per-thread cache so that repeated writes do not allocate;
// its references are released when it goes out of scope.
class Plan {
public:
    Plan() : steps_(std::move(cache())) { steps_.clear(); }
    ~Plan() {
        release();
        if (steps_.capacity() <= kMaxCachedSteps) cache() = std::move(steps_);
    }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;

    std::vector<Step>& steps() { return steps_; }
    size_t size() const { return steps_.size(); }
    const Step& operator[](size_t i) const { return steps_[i]; }

    // Each step takes its reference once it is stored, so a failed append leaks none.
    void add_object(PyObject* obj) {
        steps_.push_back({Step::OBJECT, CMD_FLUSH, 0, obj});
        Py_INCREF(obj);
    }
    void add_ref(uint64_t handle) { steps_.push_back({Step::REF, CMD_FLUSH, handle, nullptr}); }
    void add_interned_str(PyObject* s) {
        steps_.push_back({Step::INTERNED_STR, CMD_FLUSH, 0, s});
        Py_INCREF(s);
    }
    void add_header(Cmd cmd, uint64_t n) { steps_.push_back({Step::HEADER, cmd, n, nullptr}); }

    // Drops the references (finalisers may run) and empties the list.
    void release() {
        // Swap out first: a finaliser that writes again uses a list of its own.
        std::vector<Step> old;
        old.swap(steps_);
        for (Step& s : old) Py_XDECREF(s.obj);
        old.clear();
        if (steps_.capacity() < old.capacity()) steps_.swap(old);
    }

private:
    static constexpr size_t kMaxCachedSteps = 4096;
    static std::vector<Step>& cache() {
        thread_local std::vector<Step> c;
        return c;
    }
    std::vector<Step> steps_;
};

// Containers on the path from the root to the value being walked.
struct Ancestors {
    PyObject* items[MAX_FLATTEN_DEPTH];
    int n = 0;
    bool contains(PyObject* o) const {
        for (int i = 0; i < n; ++i)
            if (items[i] == o) return true;
        return false;
    }
};

bool flatten(ObjectWriter* w, Plan& plan, PyObject* obj, int depth, Ancestors& path);

bool flatten_container(ObjectWriter* w, Plan& plan, PyObject* obj, int depth, Ancestors& path) {
    PyTypeObject* t = Py_TYPE(obj);
    Py_ssize_t n = t == &PyDict_Type ? PyDict_GET_SIZE(obj) : Py_SIZE(obj);
    // The queue's own checks, with its OverflowError texts.
    if (!check_entry_length(static_cast<uint64_t>(n))) return false;
    path.items[path.n++] = obj;
    bool ok = true;
    if (t == &PyList_Type) {
        plan.add_header(CMD_LIST, static_cast<uint64_t>(n));
        for (Py_ssize_t i = 0; ok && i < n; ++i)
            ok = flatten(w, plan, PyList_GET_ITEM(obj, i), depth + 1, path);
    } else if (t == &PyTuple_Type) {
        plan.add_header(CMD_TUPLE, static_cast<uint64_t>(n));
        for (Py_ssize_t i = 0; ok && i < n; ++i)
            ok = flatten(w, plan, PyTuple_GET_ITEM(obj, i), depth + 1, path);
    } else {
        plan.add_header(CMD_DICT, static_cast<uint64_t>(n));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (ok && PyDict_Next(obj, &pos, &key, &value)) {
            ok = flatten(w, plan, key, depth + 1, path) && flatten(w, plan, value, depth + 1, path);
        }
    }
    --path.n;
    return ok;
}

// Appends the steps for one value. Runs no Python code, so nothing changes while it
// walks; fails with a Python error set (nothing will be pushed then).
bool flatten(ObjectWriter* w, Plan& plan, PyObject* obj, int depth, Ancestors& path) {
    if (Binding_Check(obj)) {
        uint64_t handle = Binding_Handle(obj);
        if (!check_entry_handle(handle)) return false;
        plan.add_ref(handle);
        return true;
    }
    uint64_t address = pointer_handle(obj);
    if (w->interned_handles.find(address) != w->interned_handles.end()) {
        plan.add_ref(address);
        return true;
    }
    PyTypeObject* t = Py_TYPE(obj);
    if (t == &PyMemoryView_Type) {
        PyObjectPtr copy(PyBytes_FromObject(obj));
        if (!copy) return false;
        plan.add_object(copy.get());
        return true;
    }
    if (t == &PyUnicode_Type && is_interned_unicode(obj)) {
        plan.add_interned_str(obj);
        return true;
    }
    if ((t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type) &&
        depth < MAX_FLATTEN_DEPTH && !path.contains(obj))
        return flatten_container(w, plan, obj, depth, path);
    plan.add_object(obj);
    return true;
}

bool build_plan(ObjectWriter* w, Plan& plan, PyObject* obj) {
    Ancestors path;
    try {
        return flatten(w, plan, obj, 0, path);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// ---------------------------------------------------------------------------
// Pushing

// This thread's identity, for the write lock and the queue-thread test.
uintptr_t current_thread() { return current_thread_self(); }

// Writes made on the queue's own threads are refused.
bool on_queue_thread(Queue* q, uintptr_t me) { return q->consuming_on_thread(me); }

// The queue's target is a native Persister: the answer the queue settled when it bound
// the target (a flag beside the fields every push reads), so that every recorded value
// does not have to look at the target object itself.
bool persister_target(Queue* q) { return q->is_persister(); }


// One operation of the writer on the queue that was attached when it took the lock.
struct Op {
    ObjectWriter* w;
    PyObject* queue_obj;  // kept alive by the caller for the whole operation
    uintptr_t me;         // the calling thread

    Op(ObjectWriter* writer, PyObject* queue, uintptr_t self)
        : w(writer), queue_obj(queue), me(self) {}
    Queue* q() const { return as_queue(queue_obj); }

    bool disabled() const {
        return !queue_obj || !q()->accepting_pushes() || on_queue_thread(q(), me);
    }

    // The stall rule. A push fails either because the wait gave up (push_fail_callback
    // said so) while the queue still accepts pushes: a stall, reported and recording
    // disabled; or because the queue's owner drained, disabled or closed it meanwhile:
    // not a stall, so recording is left to follow the queue's state.
    bool check(bool ok) {
        if (!ok) [[unlikely]]
            push_failed();
        return ok;
    }
    [[gnu::noinline, gnu::cold]] void push_failed() {
        if (queue_obj && q()->accepting_pushes()) {
            std::fputs("vostrel: writer queue stalled, disabling recording\n", stderr);
            q()->disable();
        }
    }

    void intern_value(PyObject* obj, uint64_t address) {
        if (disabled()) return;
        if (w->verbose) trace_intern(w, obj);
        bool ok = q()->push_intern(obj, address);
        if (ok) {
            ++w->messages_written;
            // Recorded only once the definition is in the ring.
            w->interned_handles.insert(address);
        }
        check(ok);
    }

    // Pushes an intern definition for obj unless one was pushed already.
    uint64_t ensure_interned(PyObject* obj) {
        uint64_t address = pointer_handle(obj);
        if (w->interned_handles.find(address) == w->interned_handles.end())
            intern_value(obj, address);
        return address;
    }

    bool push_header(Cmd cmd, uint64_t n) {
        switch (cmd) {
            case CMD_LIST: return q()->push_list_header(n);
            case CMD_TUPLE: return q()->push_tuple_header(n);
            default: return q()->push_dict_header(n);
        }
    }

    // Pushes steps [begin, end); stops at the first failure or once disabled.
    void push_steps(const Plan& plan, size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            if (disabled()) return;
            const Step& s = plan[i];
            bool ok = true;
            switch (s.kind) {
                case Step::OBJECT: ok = q()->push_obj(s.obj); break;
                case Step::REF: ok = q()->push_ref(s.value); break;
                case Step::HEADER: ok = push_header(s.cmd, s.value); break;
                case Step::INTERNED_STR: {
                    uint64_t address = ensure_interned(s.obj);
                    if (disabled()) return;
                    ok = q()->push_ref(address);
                    break;
                }
            }
            if (!check(ok)) return;
        }
    }

    bool write_values(PyObject* const* values, Py_ssize_t n);
    bool flush();
    bool heartbeat(PyObject* payload);
    bool intern(PyObject* obj);
    void run_deferred();
};

bool Op::write_values(PyObject* const* values, Py_ssize_t n) {
    if (persister_target(q())) {
        // One pointer entry per root; the Persister serialises on the writer thread.
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (w->verbose) trace_root(w, values[i]);
            check(q()->push_obj(values[i]));
            ++w->messages_written;
        }
        return true;
    }
    Plan plan;
    // Where each root's steps end.
    std::vector<size_t> ends;
    ends.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!build_plan(w, plan, values[i])) return false;
        ends.push_back(plan.size());
    }
    size_t begin = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (w->verbose) trace_root(w, values[i]);
        push_steps(plan, begin, ends[static_cast<size_t>(i)]);
        begin = ends[static_cast<size_t>(i)];
        ++w->messages_written;
    }
    return true;
}

bool Op::flush() {
    check(q()->push_flush());
    return true;
}

bool Op::heartbeat(PyObject* payload) {
    Plan plan;
    if (!build_plan(w, plan, payload)) return false;
    if (!check(q()->push_heartbeat())) return true;
    push_steps(plan, 0, plan.size());
    if (!disabled()) check(q()->push_flush());
    return true;
}

bool Op::intern(PyObject* obj) {
    ensure_interned(obj);
    return true;
}

// Runs what re-entrant calls queued while this operation held the lock. Their errors
// have no caller left to receive them and are cleared; nothing is thrown.
void Op::run_deferred() {
    size_t i = 0;
    while (i < w->deferred.size()) {
        DeferredOp d = w->deferred[i];
        w->deferred[i].obj = nullptr;
        ++i;
        PyObjectPtr held(d.obj);
        if (disabled()) continue;
        bool ok = true;
        try {
            switch (d.kind) {
                case DeferredOp::ROOT: ok = write_values(&d.obj, 1); break;
                case DeferredOp::FLUSH: ok = flush(); break;
                case DeferredOp::HEARTBEAT: ok = heartbeat(d.obj); break;
                case DeferredOp::INTERN: ok = intern(d.obj); break;
            }
        } catch (abi::__forced_unwind&) {
            throw;  // a thread ending while it waits for the interpreter lock
        } catch (...) {
            ok = false;
        }
        if (!ok) PyErr_Clear();
    }
    // References are dropped by `held` above as each one is done.
    w->deferred.clear();
}


// Counts the forks this process came out of as a child. A write lock taken in an
// earlier generation was held by a thread of the parent, which the child does not
// have: the child takes such a lock over instead of waiting for it forever.
std::atomic<uint64_t> fork_generation{0};

void note_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

const int fork_handler_registered = pthread_atfork(nullptr, nullptr, note_fork_in_child);

uint64_t current_generation() { return fork_generation.load(std::memory_order_relaxed); }

// Takes over, in a forked child, a write lock held in the parent at the fork. Runs
// with the interpreter lock held, before any thread of the child can wait on it.
void reset_write_lock_after_fork(ObjectWriter* w) {
    // The parent's holder or waiters may have left the mutex and condition variable in
    // any state; they own no resources, so they are built afresh in place.
    new (&w->write_mutex) std::mutex();
    new (&w->write_cv) std::condition_variable();
    w->write_owner = 0;
    w->write_waiters = 0;
    std::vector<DeferredOp> left;
    left.swap(w->deferred);
    for (DeferredOp& d : left) Py_XDECREF(d.obj);
}

// Takes a free write lock.
void take_write_lock(ObjectWriter* w, uintptr_t me) {
    w->write_owner = me;
    w->write_generation = current_generation();
}

// Frees the write lock and wakes the threads waiting for it.
void release_write_lock(ObjectWriter* w) {
    w->write_owner = 0;
    if (w->write_waiters != 0) {
        {
            std::lock_guard<std::mutex> g(w->write_mutex);
            ++w->write_release_gen;
        }
        w->write_cv.notify_all();
    }
}

// Holds the write lock for one operation (see the fields in object_writer.h). Taking a
// free lock is two plain field accesses under the interpreter lock; a thread that
// finds it taken releases the interpreter lock and sleeps until the holder lets go.
class WriteLock {
public:
    WriteLock(ObjectWriter* w, uintptr_t me) : w_(w) {
        if (w->write_owner != 0) {
            if (w->write_generation != current_generation())
                reset_write_lock_after_fork(w);
            else
                wait_until_free();
            blocked_ = true;
        }
        take_write_lock(w, me);
    }
    ~WriteLock() { unlock_now(); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    // The interpreter lock was released while waiting: anything may have changed.
    bool blocked() const { return blocked_; }

    void unlock_now() {
        if (!w_) return;
        release_write_lock(w_);
        w_ = nullptr;
    }

private:
    void wait_until_free() {
        ++w_->write_waiters;
        while (w_->write_owner != 0) {
            // The generation is read with both locks held, and the holder moves it only
            // after it has taken the interpreter lock back and freed the write lock,
            // so the wake-up cannot be missed. write_mutex is never held while waiting
            // for the interpreter lock.
            std::unique_lock<std::mutex> lk(w_->write_mutex);
            uint64_t gen = w_->write_release_gen;
            PyThreadState* saved = PyEval_SaveThread();
            w_->write_cv.wait(lk, [&] { return w_->write_release_gen != gen; });
            lk.unlock();
            tarnwick::take_lock_or_park([saved] { PyEval_RestoreThread(saved); });
        }
        --w_->write_waiters;
    }

    ObjectWriter* w_;
    bool blocked_ = false;
};

// Queues an operation asked for by the lock holder itself; returns false with
// MemoryError when it cannot.
bool defer(ObjectWriter* w, DeferredOp::Kind kind, PyObject* obj) {
    try {
        w->deferred.push_back({kind, Py_XNewRef(obj)});
    } catch (const std::bad_alloc&) {
        Py_XDECREF(obj);
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Runs body(op) under the write lock, then the deferred operations. The caller found
// the writer enabled; unless taking the lock released the interpreter lock, that
// still holds.
template <typename Body>
bool locked(ObjectWriter* w, uintptr_t me, Body body) {
    // A reference to the queue for the operation's whole length, dropped after the
    // lock: detaching the queue from another thread while a push waits cannot free it.
    PyObjectPtr queue;
    bool ok = true;
    {
        WriteLock lock(w, me);
        queue = PyObjectPtr::borrow(w->queue);
        Op op(w, queue.get(), me);
        if (w->interned_for != w->attach_count) {
            // Definitions pushed into an earlier queue are unknown to this one.
            w->interned_handles.clear();
            w->interned_for = w->attach_count;
        }
        if (lock.blocked() && op.disabled()) return true;
        try {
            ok = body(op);
            op.run_deferred();
        } catch (const std::bad_alloc&) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            ok = false;
        } catch (abi::__forced_unwind&) {
            throw;  // a thread ending while it waits for the interpreter lock
        } catch (...) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_RuntimeError, "ObjectWriter push failed");
            ok = false;
        }
        if (!w->deferred.empty()) {
            // Left behind by a failure: dropped, but not while the lock is held.
            std::vector<DeferredOp> left;
            left.swap(w->deferred);
            lock.unlock_now();
            for (DeferredOp& d : left) Py_XDECREF(d.obj);
        }
    }
    return ok;
}

// Kept out of line so that the fast path below stays small.
[[gnu::noinline, gnu::cold]] void run_deferred_of(Op& op) { op.run_deferred(); }

// The path every value takes when recording to a Persister, for a writer found
// enabled, with the write lock free and no trace: the general path's steps without its
// bookkeeping, so that a recorded value costs little more than its push.
[[gnu::flatten]] bool write_roots_to_persister(ObjectWriter* w, Queue* q, uintptr_t me,
                                              PyObject* const* values, Py_ssize_t n) {
    take_write_lock(w, me);
    // A push may release the interpreter lock; the queue must outlive the operation
    // even if another thread detaches it meanwhile.
    Py_INCREF(q);
    Op op(w, reinterpret_cast<PyObject*>(q), me);
    for (Py_ssize_t i = 0; i < n; ++i) {
        op.check(q->push_obj(values[i]));
        ++w->messages_written;
    }
    if (!w->deferred.empty()) [[unlikely]]
        run_deferred_of(op);
    release_write_lock(w);
    Py_DECREF(q);
    return true;
}

// The commonest call of all, writer(value) to a Persister, when the push cannot
// wait: write_roots_to_persister's steps for one value. As the push can neither
// release the interpreter lock nor run Python code, no other thread can detach the
// queue meanwhile and no re-entrant call can queue an operation, so it needs no
// reference to the queue and has no deferred operations to run. False (nothing done)
// when the push could wait: the caller takes the general path then.
[[gnu::always_inline]] inline bool write_one_root_no_wait(ObjectWriter* w, Queue* q,
                                                          uintptr_t me, PyObject* value) {
    int64_t size = queue_estimate_size(value);
    if (!q->push_cannot_wait(size)) return false;
    take_write_lock(w, me);
    if (!q->push_obj_no_wait(value, size)) [[unlikely]]
        Op(w, reinterpret_cast<PyObject*>(q), me).push_failed();
    ++w->messages_written;
    release_write_lock(w);
    return true;
}

}  // namespace

void ObjectWriter_construct(ObjectWriter* w) {
    w->queue = nullptr;
    new (&w->write_mutex) std::mutex();
    new (&w->write_cv) std::condition_variable();
    w->write_release_gen = 0;
    w->write_owner = 0;
    w->write_waiters = 0;
    w->write_generation = 0;
    new (&w->interned_handles) tsl::robin_set<uint64_t>();
    w->messages_written = 0;
    w->verbose = false;
    w->quit_on_error = false;
    w->vectorcall = nullptr;
    w->weakreflist = nullptr;
    w->attach_count = 0;
    w->interned_for = 0;
    new (&w->deferred) std::vector<DeferredOp>();
}

void ObjectWriter_clear(ObjectWriter* w) {
    w->interned_handles.clear();
    PyObject* q = std::exchange(w->queue, nullptr);
    Py_XDECREF(q);
}

void ObjectWriter_destroy(ObjectWriter* w) {
    for (DeferredOp& d : w->deferred) Py_XDECREF(d.obj);
    w->deferred.~vector();
    w->interned_handles.~robin_set();
    w->write_cv.~condition_variable();
    w->write_mutex.~mutex();
}

void ObjectWriter_attach(ObjectWriter* w, PyObject* queue) {
    PyObject* old = std::exchange(w->queue, Py_XNewRef(queue));
    ++w->attach_count;
    Py_XDECREF(old);
}

namespace {

bool disabled_for(ObjectWriter* w, uintptr_t me) {
    PyObject* q = w->queue;
    return !q || !as_queue(q)->accepting_pushes() || on_queue_thread(as_queue(q), me);
}

bool write_all_as(ObjectWriter* w, uintptr_t me, PyObject* const* values, Py_ssize_t n);

}  // namespace

bool ObjectWriter_disabled(ObjectWriter* w) { return disabled_for(w, current_thread()); }

namespace {

// Every call that the path below does not finish.
[[gnu::noinline]] PyObject* call_general(ObjectWriter* w, uintptr_t me, PyObject* const* args,
                                         size_t nargsf, PyObject* kwnames) {
    if (disabled_for(w, me)) Py_RETURN_NONE;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_SetString(PyExc_TypeError, "ObjectWriter does not accept keyword arguments");
        return nullptr;
    }
    if (!write_all_as(w, me, args, PyVectorcall_NARGS(nargsf))) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* ObjectWriter_call(ObjectWriter* w, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    uintptr_t me = current_thread();
    // writer(value) to a Persister, with the writer enabled, its lock free and no
    // trace, and a push that cannot wait; anything else takes the general path, which
    // makes every check again in its own order.
    PyObject* queue = w->queue;
    if (queue && !kwnames && PyVectorcall_NARGS(nargsf) == 1 && w->write_owner == 0 &&
        !w->verbose && w->interned_for == w->attach_count) [[likely]] {
        Queue* q = as_queue(queue);
        if (q->accepting_pushes() && !on_queue_thread(q, me) && persister_target(q) &&
            write_one_root_no_wait(w, q, me, args[0])) [[likely]]
            Py_RETURN_NONE;
    }
    return call_general(w, me, args, nargsf, kwnames);
}

bool ObjectWriter_write_all(ObjectWriter* w, PyObject* const* values, Py_ssize_t n) {
    return write_all_as(w, current_thread(), values, n);
}

namespace {

bool write_all_as(ObjectWriter* w, uintptr_t me, PyObject* const* values, Py_ssize_t n) {
    if (w->write_owner == 0 && !w->verbose && w->interned_for == w->attach_count) {
        Queue* q = as_queue(w->queue);
        if (persister_target(q)) [[likely]]
            return write_roots_to_persister(w, q, me, values, n);
    }
    if (w->write_owner == me) {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!defer(w, DeferredOp::ROOT, values[i])) return false;
        return true;
    }
    return locked(w, me, [&](Op& op) { return op.write_values(values, n); });
}

}  // namespace

bool ObjectWriter_flush(ObjectWriter* w) {
    uintptr_t me = current_thread();
    if (w->write_owner == me) return defer(w, DeferredOp::FLUSH, nullptr);
    return locked(w, me, [](Op& op) { return op.flush(); });
}

bool ObjectWriter_heartbeat(ObjectWriter* w, PyObject* payload) {
    uintptr_t me = current_thread();
    if (w->write_owner == me) return defer(w, DeferredOp::HEARTBEAT, payload);
    return locked(w, me, [&](Op& op) { return op.heartbeat(payload); });
}

bool ObjectWriter_intern(ObjectWriter* w, PyObject* obj) {
    uintptr_t me = current_thread();
    if (w->write_owner == me) return defer(w, DeferredOp::INTERN, obj);
    return locked(w, me, [&](Op& op) { return op.intern(obj); });
}

bool ObjectWriter_disable(ObjectWriter* w) {
    if (w->queue) as_queue(w->queue)->disable();
    return true;
}

void ObjectWriter_push_shutdown(ObjectWriter* w) {
    if (!w->queue) return;
    Queue* q = as_queue(w->queue);
    // The queue's own threads never produce into it.
    if (q->consuming_on_current_thread()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        (void)q->push_shutdown();
    } catch (abi::__forced_unwind&) {
        throw;  // a thread ending while it waits for the interpreter lock
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

}  // namespace tarnwick_stream
