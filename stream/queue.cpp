// The queue's life: construction, starting its two threads (resume), stopping them
// after everything queued has been written (drain), closing, disabling, destruction,
// and the exit hook that drains every live queue before the interpreter finalises.
#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "queue.h"
#include "queue_internal.h"

namespace tarnwick_stream {

namespace {

// Every constructed queue record, so that the exit hook can find them. Touched only
// with the interpreter lock held.
std::vector<Queue*>& live_queues() {
    static std::vector<Queue*> queues;
    return queues;
}

void register_live(Queue* q) { live_queues().push_back(q); }

void unregister_live(Queue* q) {
    auto& queues = live_queues();
    queues.erase(std::remove(queues.begin(), queues.end(), q), queues.end());
}

// Set by the exit hook: no thread is started after it, since the interpreter is about
// to finalise and a background thread must not be inside it then.
bool interpreter_exiting = false;

struct MethodInfo {
    const char* name;
    const char* missing_message;  // null: the method is optional
};

constexpr MethodInfo kTargetMethods[] = {
    {"write_object", "target is missing 'write_object'"},
    {"write_handle_ref", "target is missing 'write_handle_ref'"},
    {"intern", "target is missing 'intern'"},
    {"start_collection", "target is missing 'start_collection'"},
    {"write_heartbeat", nullptr},
    {"flush", nullptr},
    {"shutdown", nullptr},
    {"flush_background", nullptr},
    {"prepare_resume", nullptr},
    {"reset_state", nullptr},
};
static_assert(std::size(kTargetMethods) == static_cast<size_t>(TargetMethod::COUNT));

PyObject* target_method_names[static_cast<size_t>(TargetMethod::COUNT)] = {};

// Writes and flushes what every live queue holds and joins its threads.
PyObject* queue_exit_hook(PyObject*, PyObject*) {
    interpreter_exiting = true;
    std::vector<PyObject*> running;
    for (Queue* q : live_queues()) {
        if (q->thread_started || q->writer_thread.joinable() || q->return_thread.joinable()) {
            running.push_back(Py_NewRef(reinterpret_cast<PyObject*>(q)));
        }
    }
    for (PyObject* obj : running) {
        Queue* q = reinterpret_cast<Queue*>(obj);
        q->drain();
        q->join_leftover_threads();
    }
    for (PyObject* obj : running) Py_DECREF(obj);
    Py_RETURN_NONE;
}

// In a child process after fork(): the queues' threads did not come along.
PyObject* queue_after_fork_child_hook(PyObject*, PyObject*) {
    for (Queue* q : live_queues()) q->forget_threads_after_fork();
    Py_RETURN_NONE;
}

PyMethodDef queue_after_fork_child_def = {
    "_forget_queue_threads_after_fork", queue_after_fork_child_hook, METH_NOARGS,
    "Reset queues whose threads stayed behind in the parent process"};

PyMethodDef queue_exit_hook_def = {"_drain_queues_at_exit", queue_exit_hook, METH_NOARGS,
                                   "Write out and stop every running queue before exit"};

}  // namespace

PyObject* target_method_name(TargetMethod method) {
    return target_method_names[static_cast<size_t>(method)];
}

const char* target_method_missing_message(TargetMethod method) {
    return kTargetMethods[static_cast<size_t>(method)].missing_message;
}

int Queue_module_init(PyObject*) {
    for (size_t i = 0; i < std::size(kTargetMethods); ++i) {
        if (target_method_names[i]) continue;
        target_method_names[i] = PyUnicode_InternFromString(kTargetMethods[i].name);
        if (!target_method_names[i]) return -1;
    }
    PyObjectPtr atexit(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    PyObjectPtr hook(PyCFunction_New(&queue_exit_hook_def, nullptr));
    if (!hook) return -1;
    PyObjectPtr result(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!result) return -1;
    PyObjectPtr os_module(PyImport_ImportModule("os"));
    if (!os_module) return -1;
    PyObjectPtr register_at_fork(PyObject_GetAttrString(os_module.get(), "register_at_fork"));
    if (!register_at_fork) return -1;
    PyObjectPtr child_hook(PyCFunction_New(&queue_after_fork_child_def, nullptr));
    if (!child_hook) return -1;
    PyObjectPtr kwargs(Py_BuildValue("{s:O}", "after_in_child", child_hook.get()));
    if (!kwargs) return -1;
    PyObjectPtr empty(PyTuple_New(0));
    if (!empty) return -1;
    result.reset(PyObject_Call(register_at_fork.get(), empty.get(), kwargs.get()));
    return result ? 0 : -1;
}

// ---- construction ----------------------------------------------------------------

Queue::Queue(Py_ssize_t capacity, int64_t inflight_limit, int32_t worker_wait_timeout_ms)
    : entries(clamp_queue_capacity(capacity)),
      returned(clamp_queue_capacity(capacity)),
      worker_wait_timeout_ms_value(worker_wait_timeout_ms),
      notify_threshold_entries(std::max<size_t>(1, clamp_queue_capacity(capacity) / 2)) {
    set_inflight_limit(inflight_limit);
    register_live(this);
}

Queue::~Queue() {
    unregister_live(this);
    close();
    Py_CLEAR(push_fail_callback);
    Py_CLEAR(on_target_error);
    clear_target();
    join_leftover_threads();
    // Never reached in practice (destruction on the queue's own thread is refused by
    // the deallocator), but a joinable thread must not be destroyed.
    if (writer_thread.joinable()) writer_thread.detach();
    if (return_thread.joinable()) return_thread.detach();
}

// ---- targets and callbacks -------------------------------------------------------

void Queue::bind_target(PyObject* target) {
    clear_target();
    target_obj = Py_NewRef(target);
    // Decided once, with the interpreter lock held: the writer thread asks per entry.
    target_persister = Queue_target_is_persister(target_obj);
}

void Queue::clear_target() {
    target_persister = false;
    Py_CLEAR(target_obj);
    has_target_error_message = false;
    last_target_error_message.clear();
}

bool Queue::set_push_fail_handler(PyObject* callback) {
    if (callback != Py_None && !PyCallable_Check(callback)) {
        PyErr_SetString(PyExc_TypeError, "push_fail_callback must be callable or None");
        return false;
    }
    Py_XSETREF(push_fail_callback, callback == Py_None ? nullptr : Py_NewRef(callback));
    return true;
}

bool Queue::set_target_error_handler(PyObject* callback) {
    if (callback != Py_None && !PyCallable_Check(callback)) {
        PyErr_SetString(PyExc_TypeError, "on_target_error must be callable or None");
        return false;
    }
    Py_XSETREF(on_target_error, callback == Py_None ? nullptr : Py_NewRef(callback));
    return true;
}

// ---- threads -------------------------------------------------------------------

namespace {

void run_writer_thread(Queue* q) {
    BackgroundThreadState thread_state;
    q->worker_loop();
}

void run_return_thread(Queue* q) {
    {
        BackgroundThreadState thread_state;
        q->return_loop();
    }
    q->return_loop_running.store(false, std::memory_order_release);
}

}  // namespace

void Queue::notify_all_threads() {
    wake_cv.notify_one();
    return_wake_cv.notify_one();
}

void Queue::join_threads() {
    const std::thread::id self = std::this_thread::get_id();
    std::optional<tarnwick::GILReleaseGuard> released;
    if (PyGILState_Check()) released.emplace();
    // Two Python threads may drain or close at once: one of them joins.
    std::lock_guard<std::mutex> lock(join_mutex);
    if (writer_thread.joinable() && writer_thread.get_id() != self) writer_thread.join();
    if (return_thread.joinable() && return_thread.get_id() != self) return_thread.join();
}

bool Queue::resume() {
    if (closed || thread_started || !target_obj || current_state() == STOPPED) return true;
    if (interpreter_exiting || consuming_on_current_thread()) return true;
    prepare_target_resume();
    // prepare_resume() ran Python code, which may have changed the queue meanwhile.
    if (closed || thread_started || !target_obj || current_state() == STOPPED) return true;
    set_state(ACTIVE);
    saw_shutdown = false;
    shutdown_flag.store(false, std::memory_order_release);
    worker_waiting.store(false, std::memory_order_release);
    return_thread_waiting.store(false, std::memory_order_release);
    return_thread_started = true;
    thread_started = true;
    return_loop_running.store(true, std::memory_order_release);
    try {
        return_thread = std::thread(run_return_thread, this);
    } catch (const std::system_error&) {
        return_loop_running.store(false, std::memory_order_release);
        return_thread_started = false;
        thread_started = false;
        PyErr_SetString(PyExc_RuntimeError, "cannot start the queue's return thread");
        return false;
    }
    try {
        writer_thread = std::thread(run_writer_thread, this);
    } catch (const std::system_error&) {
        shutdown_flag.store(true, std::memory_order_release);
        notify_all_threads();
        join_threads();
        drain_returned();
        return_thread_started = false;
        thread_started = false;
        shutdown_flag.store(false, std::memory_order_release);
        PyErr_SetString(PyExc_RuntimeError, "cannot start the queue's writer thread");
        return false;
    }
    return true;
}

void Queue::drain() {
    if (closed || !thread_started) return;
    // The queue's own threads cannot wait for themselves.
    if (consuming_on_current_thread()) return;
    CountScope busy(lifecycle_busy);
    if (current_state() == ACTIVE) set_state(PAUSED);
    shutdown_flag.store(true, std::memory_order_release);
    notify_all_threads();
    join_threads();
    drain_returned();
    thread_started = false;
    return_thread_started = false;
    shutdown_flag.store(false, std::memory_order_release);
}

void Queue::close() {
    if (closed) return;
    closed = true;
    set_state(STOPPED);
    shutdown_flag.store(true, std::memory_order_release);
    notify_all_threads();
    // On the queue's own threads: they end by themselves, and the queue's destruction
    // joins them and releases what is left.
    if (consuming_on_current_thread()) return;
    CountScope busy(lifecycle_busy);
    join_and_release_leftovers();
    reset_target_state();
}

void Queue::disable() {
    if (closed || current_state() == STOPPED) return;
    set_state(STOPPED);
    shutdown_flag.store(true, std::memory_order_release);
    notify_all_threads();
}

// A close made on one of the queue's own threads could not join them; this does, and
// releases what they left behind.
void Queue::join_leftover_threads() {
    if (!writer_thread.joinable() && !return_thread.joinable()) return;
    if (consuming_on_current_thread()) return;
    CountScope busy(lifecycle_busy);
    join_and_release_leftovers();
}

// Joins both threads and releases what is left in the rings without writing it; the
// caller holds the lifecycle mark.
void Queue::join_and_release_leftovers() {
    join_threads();
    thread_started = false;
    return_thread_started = false;
    drain_returned();
    release_entries();
    drain_returned();
}

// Runs in the child after a fork() made while the threads ran (a drain() first is the
// proper way). The threads exist only in the parent, which also writes what was
// queued: the child lets go of its copies, starts its locks and rings afresh and is
// left paused, so that resume() can start new threads. Nothing here calls into
// the threading library: the thread handles are simply forgotten.
void Queue::forget_threads_after_fork() {
    if (!thread_started && !writer_thread.joinable() && !return_thread.joinable()) return;
    new (&writer_thread) std::thread();
    new (&return_thread) std::thread();
    new (&wake_mutex) std::mutex();
    new (&wake_cv) std::condition_variable();
    new (&return_wake_mutex) std::mutex();
    new (&return_wake_cv) std::condition_variable();
    new (&join_mutex) std::mutex();
    writer_thread_self.store(0, std::memory_order_relaxed);
    return_thread_self.store(0, std::memory_order_relaxed);
    thread_started = false;
    return_thread_started = false;
    lifecycle_busy = 0;
    worker_gil = nullptr;
    shutdown_flag.store(false, std::memory_order_relaxed);
    worker_waiting.store(false, std::memory_order_relaxed);
    return_thread_waiting.store(false, std::memory_order_relaxed);
    return_loop_running.store(false, std::memory_order_relaxed);
    QueueState s = current_state();
    if (s == ACTIVE) set_state(PAUSED);
    if (s == DRAINING) set_state(STOPPED);
    QEntry e;
    while (try_pop_entry(e)) discard_entry(e);
    PyObject* obj = nullptr;
    while (try_pop_returned(obj)) {
        if (!obj) continue;
        note_removed(queue_estimate_size(obj));
        Py_DECREF(obj);
    }
    // A pop or push the threads were making at the fork may have left the counts off.
    const size_t capacity = entries.capacity();
    std::destroy_at(&entries);
    std::construct_at(&entries, capacity);
    std::destroy_at(&returned);
    std::construct_at(&returned, capacity);
}

void Queue::release_entries() {
    tarnwick::GILGuard gil;
    QEntry e;
    while (try_pop_entry(e)) discard_entry(e);
}

}  // namespace tarnwick_stream
