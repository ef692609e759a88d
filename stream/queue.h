// The Queue: a bounded ring of queue entries from the recording threads to one
// background writer thread that drives a target (a Persister or a Python object), plus
// a return ring through which written objects go to a second thread for release.
//
// This header holds the record and its producer side, which runs on Python threads
// holding the interpreter lock. The writer thread, the return thread and the lifecycle
// live in queue_worker.cpp, queue_return.cpp and queue.cpp; the Python type in
// py_queue.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>

#include "gilguard.h"
#include "queueentry.h"
#include "size.h"
#include "spsc_ring.h"

namespace tarnwick_stream {

enum QueueState : int32_t {
    ACTIVE = 0,    // pushes are accepted
    PAUSED = 1,    // drained; pushes refused until resume
    DRAINING = 2,  // a target failure is being handled
    STOPPED = 3,   // final for this configuration
};

inline constexpr Py_ssize_t kMinQueueCapacity = 5;
inline constexpr Py_ssize_t DEFAULT_QUEUE_CAPACITY = 65536;
inline constexpr int64_t DEFAULT_INFLIGHT_LIMIT = 134217728;  // 128 MiB
inline constexpr int32_t DEFAULT_WORKER_WAIT_TIMEOUT_MS = 100;

// Slots every producer operation leaves free for the next one (which appends at most
// three entries), and after an intern definition.
inline constexpr size_t PUSH_SLOT_RESERVE = 4;
inline constexpr size_t INTERN_SLOT_RESERVE = 6;

inline size_t clamp_queue_capacity(Py_ssize_t capacity) {
    return static_cast<size_t>(capacity < kMinQueueCapacity ? kMinQueueCapacity : capacity);
}

// Texts of the OverflowError raised for values that a queue entry cannot carry.
inline constexpr const char* HANDLE_TOO_LARGE_MESSAGE =
    "binding handle too large for a queue entry";
inline constexpr const char* COLLECTION_TOO_LARGE_MESSAGE =
    "collection too large for a queue entry";

// True when the handle fits a ref entry; else OverflowError is set.
inline bool check_entry_handle(uint64_t handle) {
    if (handle <= MAX_INLINE_BINDING_HANDLE) return true;
    PyErr_SetString(PyExc_OverflowError, HANDLE_TOO_LARGE_MESSAGE);
    return false;
}

// True when the element count fits a collection header; else OverflowError is set.
inline bool check_entry_length(uint64_t len) {
    if (len <= MAX_COLLECTION_LENGTH) return true;
    PyErr_SetString(PyExc_OverflowError, COLLECTION_TOO_LARGE_MESSAGE);
    return false;
}

// Thrown (after a Python error has been set) when the writer thread cannot go on.
struct QueueFailure {};

struct Queue;

// The queue consumed on the current thread: set on a queue's writer and return
// threads for their whole run.
inline thread_local Queue* active_consumer_queue = nullptr;

// This thread's identity, as the queue's threads publish theirs: the thread pointer,
// which addresses the thread's own control block and so differs between live threads
// (one instruction, where pthread_self() is a call into the C library).
inline uintptr_t current_thread_self() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__))
    return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
    return static_cast<uintptr_t>(pthread_self());
#endif
}

// Marks the current thread as a consumer of `queue` for its lifetime: in the
// thread-local above, and by publishing the thread's identity in `self_slot` (one of
// the queue's slots, see Queue::consuming_on_thread).
class ActiveConsumerScope {
public:
    ActiveConsumerScope(Queue* queue, std::atomic<uintptr_t>& self_slot)
        : previous(active_consumer_queue), slot(self_slot), self(current_thread_self()) {
        active_consumer_queue = queue;
        slot.store(self, std::memory_order_relaxed);
    }
    ~ActiveConsumerScope() {
        // Cleared only if it still names this thread.
        uintptr_t expected = self;
        slot.compare_exchange_strong(expected, 0, std::memory_order_relaxed);
        active_consumer_queue = previous;
    }
    ActiveConsumerScope(const ActiveConsumerScope&) = delete;
    ActiveConsumerScope& operator=(const ActiveConsumerScope&) = delete;

    Queue* previous;
    std::atomic<uintptr_t>& slot;
    uintptr_t self;
};

class WorkerGilRun;

// Raises one of the record's counters for the life of a scope: the drains and closes,
// and the producers waiting, under which the record must not be rebuilt.
class CountScope {
public:
    explicit CountScope(int& counter) : counter_(counter) { ++counter_; }
    ~CountScope() { --counter_; }
    CountScope(const CountScope&) = delete;
    CountScope& operator=(const CountScope&) = delete;

private:
    int& counter_;
};

// The methods through which the writer thread drives a target that is not a Persister.
enum class TargetMethod : int {
    WRITE_OBJECT,
    WRITE_HANDLE_REF,
    INTERN,
    START_COLLECTION,
    WRITE_HEARTBEAT,
    FLUSH,
    SHUTDOWN,
    FLUSH_BACKGROUND,
    PREPARE_RESUME,
    RESET_STATE,
    COUNT,
};

struct Queue {
    PyObject_HEAD
    SpscRing<QEntry> entries;
    SpscRing<PyObject*> returned;  // null is the return thread's stop marker
    PyObject* target_obj = nullptr;
    PyObject* push_fail_callback = nullptr;
    PyObject* on_target_error = nullptr;
    std::atomic<int32_t> state{ACTIVE};
    std::atomic<int64_t> total_added{0};  // stored only by producers, under the GIL
    std::atomic<int64_t> total_removed{0};
    std::atomic<int64_t> inflight_limit_bytes;
    std::atomic<int64_t> return_notify_threshold_bytes;
    int32_t worker_wait_timeout_ms_value;
    size_t notify_threshold_entries;
    std::thread writer_thread;
    std::thread return_thread;
    std::mutex wake_mutex;
    std::condition_variable wake_cv;
    std::mutex return_wake_mutex;
    std::condition_variable return_wake_cv;
    std::atomic<bool> shutdown_flag{false};
    std::atomic<bool> worker_waiting{false};
    std::atomic<bool> return_thread_waiting{false};
    bool closed = false;
    bool thread_started = false;
    bool return_thread_started = false;
    bool saw_shutdown = false;
    bool has_target_error_message = false;
    std::string last_target_error_message;

    // Beyond the fields above: the return loop is running (so a hand-over can wait
    // for it), lifecycle operations currently joining threads, producers inside a
    // back-pressure step (which may release the GIL or run Python code), the mutex that keeps
    // two joins of one thread apart, and the writer thread's interpreter-lock run.
    std::atomic<bool> return_loop_running{false};
    int lifecycle_busy = 0;
    int producers_in_backoff = 0;
    bool target_persister = false;  // target_obj is a Persister: fixed while bound
    std::mutex join_mutex;
    WorkerGilRun* worker_gil = nullptr;
    // The identities of the writer and return threads while their loops run (0 or a
    // stale identity otherwise). A thread in such a loop stored its own identity there
    // and no other thread overwrites it meanwhile (a queue runs one thread of each kind
    // at a time, and a thread clears a slot only while it names that thread), so a
    // thread whose identity is in neither slot is not one of the queue's threads. This
    // spares the recording path a thread-local lookup, which in a dynamically loaded
    // module is a call into the dynamic linker.
    std::atomic<uintptr_t> writer_thread_self{0};
    std::atomic<uintptr_t> return_thread_self{0};

    Queue(Py_ssize_t capacity, int64_t inflight_limit, int32_t worker_wait_timeout_ms);
    ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // ---- state -------------------------------------------------------------------
    QueueState current_state() const {
        return static_cast<QueueState>(state.load(std::memory_order_relaxed));
    }
    void set_state(QueueState s) { state.store(s, std::memory_order_relaxed); }
    bool accepting_pushes() const { return !closed && current_state() == ACTIVE; }
    bool reject_push() const { return !accepting_pushes(); }
    bool consuming_on_current_thread() const { return active_consumer_queue == this; }
    // The same answer for the thread whose identity is `me` (the calling thread's
    // current_thread_self()); the thread-local is read only when a slot matches, which
    // a stale identity (a reused one, or one left by a fork) can make happen.
    bool consuming_on_thread(uintptr_t me) const {
        if (writer_thread_self.load(std::memory_order_relaxed) != me &&
            return_thread_self.load(std::memory_order_relaxed) != me) [[likely]]
            return false;
        return consuming_on_current_thread();
    }

    // ---- in-flight accounting -----------------------------------------------------
    void reserve_inflight(int64_t size) {
        total_added.store(total_added.load(std::memory_order_relaxed) + size,
                          std::memory_order_relaxed);
    }
    void note_removed(int64_t size) { total_removed.fetch_add(size, std::memory_order_relaxed); }
    int64_t inflight() const {
        return total_added.load(std::memory_order_relaxed) -
               total_removed.load(std::memory_order_relaxed);
    }
    int64_t inflight_limit() const { return inflight_limit_bytes.load(std::memory_order_relaxed); }
    void set_inflight_limit(int64_t v) {
        inflight_limit_bytes.store(v, std::memory_order_relaxed);
        return_notify_threshold_bytes.store(v >= 1 ? (v / 4 > 1 ? v / 4 : 1) : 1,
                                            std::memory_order_relaxed);
    }

    // ---- ring access ----------------------------------------------------------------
    bool try_push_entry(QEntry e) { return entries.try_push(e); }
    bool has_entry_slots(size_t n) const { return entries.capacity() - entries.size() >= n; }

    // Appends one entry. A full ring (reached only when a producer goes on after a
    // refusal) makes it wait like a back-pressure step instead of dropping the entry;
    // false when that wait gives up, with the entry not appended.
    bool push_entry_unchecked(QEntry e) {
        if (!try_push_entry(e) && !wait_and_push_entry(e)) return false;
        maybe_notify_worker();
        return true;
    }

    // ---- producer operations (GIL held) ---------------------------------------------
    // True: appended and the ring has room for the next operation. False: refused or
    // gave up waiting; the producer must push nothing further.
    bool push(QEntry entry, int64_t estimated_size) {
        return push_owned(entry, estimated_size, nullptr);
    }

    bool push_obj(PyObject* obj) {
        if (queue_is_immortal(obj)) return push_immortal(obj);
        int64_t size = approximate_size_bytes(obj);
        Py_INCREF(obj);
        return push_owned(object_entry(obj), size, obj);
    }

    // push_obj for a caller that found push_cannot_wait(size) true, with `size` the
    // object's queue_estimate_size: the same steps, less the waits for the
    // in-flight limit and for ring room that this answer rules out. False when refused.
    bool push_obj_no_wait(PyObject* obj, int64_t size) {
        if (reject_push()) return false;
        if (size == 0) return push_entry_unchecked(object_entry(obj));
        Py_INCREF(obj);
        reserve_inflight(size);
        if (!push_entry_unchecked(object_entry(obj))) [[unlikely]] {
            drop_unqueued(obj, size);
            return false;
        }
        return true;
    }

    // True when a push of `size` estimated bytes (0 for an immortal object) cannot
    // wait, so can neither release the interpreter lock nor run Python code: the ring
    // has room for it and for the next operation, and its bytes leave the in-flight
    // total under the limit. What the writer and return threads do meanwhile only
    // frees slots and bytes, so it cannot make a true answer wrong; a refused push
    // does not wait either.
    bool push_cannot_wait(int64_t size) const {
        if (!has_entry_slots(PUSH_SLOT_RESERVE + 1)) return false;
        if (size == 0) return true;
        int64_t limit = inflight_limit();
        return limit <= 0 || inflight() + size < limit;
    }

    // No reference is taken; a string interned at run time still counts its bytes.
    bool push_immortal(PyObject* obj) {
        return push_owned(object_entry(obj), queue_estimate_size(obj), nullptr);
    }

    // A handle above MAX_INLINE_BINDING_HANDLE raises OverflowError; nothing is pushed.
    bool push_ref(BindingHandle handle) {
        if (!check_entry_handle(handle)) return false;
        if (reject_push()) return false;
        if (!push_entry_unchecked(ref_entry(handle))) return false;
        return ensure_slots(PUSH_SLOT_RESERVE);
    }

    bool push_intern(PyObject* obj, BindingHandle handle) {
        if (!check_entry_handle(handle)) return false;
        Py_INCREF(obj);
        if (reject_push()) {
            Py_DECREF(obj);
            return false;
        }
        int64_t size = queue_estimate_size(obj);
        if (size != 0) reserve_inflight(size);
        if (!push_entry_unchecked(cmd_entry(CMD_INTERN, 0))) {
            drop_unqueued(obj, size);
            return false;
        }
        // From here on the item is partly in the ring: if an append gives up, the
        // writer meets the gap and ends the queue, like any half-pushed item.
        if (!push_entry_unchecked(object_entry(obj))) {
            drop_unqueued(obj, size);
            return false;
        }
        if (!push_entry_unchecked(ref_entry(handle))) return false;
        if (size != 0 && over_inflight_limit() && !wait_for_inflight()) return false;
        return ensure_slots(INTERN_SLOT_RESERVE);
    }

    // Collection headers. A count above 2^32 - 1 raises OverflowError; nothing is pushed.
    bool push_list_header(uint64_t len) { return push_command(CMD_LIST, len); }
    bool push_tuple_header(uint64_t len) { return push_command(CMD_TUPLE, len); }
    bool push_dict_header(uint64_t len) { return push_command(CMD_DICT, len); }
    bool push_flush() { return push_command(CMD_FLUSH, 0); }
    bool push_shutdown() { return push_command(CMD_SHUTDOWN, 0); }
    bool push_heartbeat() { return push_command(CMD_HEARTBEAT, 0); }

    bool push_command(uint32_t cmd, uint64_t len) {
        if (!check_entry_length(len)) return false;
        return push(cmd_entry(cmd, static_cast<uint32_t>(len)), 0);
    }

    // ---- waits (GIL held by the caller) ---------------------------------------------
    bool over_inflight_limit() const {
        int64_t limit = inflight_limit();
        return limit > 0 && inflight() >= limit;
    }
    bool wait_for_slots(size_t n);
    // wait_for_slots without a call when the ring already has the room.
    bool ensure_slots(size_t n) {
        if (!reject_push() && has_entry_slots(n)) [[likely]]
            return true;
        return wait_for_slots(n);
    }
    bool wait_for_inflight();
    bool wait_with_push_backoff();
    bool drain_returned_with_gil(int64_t needed_size);

    // ---- wake-ups (any thread, no lock taken) ---------------------------------------
    void maybe_notify_worker() {
        if (worker_waiting.load(std::memory_order_acquire) &&
            entries.size() >= notify_threshold_entries) {
            wake_cv.notify_one();
        }
    }
    void maybe_notify_return_thread(bool force) {
        if (!return_thread_started || !return_thread_waiting.load(std::memory_order_acquire)) {
            return;
        }
        int64_t limit = inflight_limit();
        if (force || limit <= 0 ||
            inflight() >= return_notify_threshold_bytes.load(std::memory_order_relaxed)) {
            return_wake_cv.notify_one();
        }
    }

    // ---- writer thread (queue_worker.cpp) -------------------------------------------
    void worker_loop();
    bool run_batch();
    bool try_pop_entry(QEntry& out);
    QEntry pop_entry();
    bool has_entries() const { return !entries.empty(); }
    bool consume();
    PyObject* consume_owned_payload();
    BindingHandle consume_binding_handle();
    bool dispatch_entry(QEntry e);
    bool dispatch_command(QEntry e);
    void dispatch_release(QEntry e);
    void release_items(uint64_t count);
    void discard_entry(QEntry e);
    void release_consumed_obj(PyObject* obj);
    void finish_consumed_obj(PyObject* obj);
    template <typename Write>
    bool write_owned(PyObject* obj, Write write);
    bool is_persister() const { return target_persister; }
    bool target_is_native_persister() const { return is_persister(); }
    bool call_target_write_object(PyObject* obj);
    bool call_target_write_handle_ref(BindingHandle handle);
    bool call_target_intern(PyObject* obj, BindingHandle handle);
    bool call_target_collection(PyObject* type, uint64_t length);
    bool call_target_heartbeat();
    bool call_target_flush();
    bool flush_target_background();
    bool target_shutdown();
    void prepare_target_resume();
    void reset_target_state();
    void capture_current_target_error();
    std::string take_pending_error_message();
    std::string take_target_error_message();
    bool has_target_error() const { return has_target_error_message; }
    void discard_pending_error() { PyErr_Clear(); }
    void notify_target_error(const std::string& message);
    void handle_target_failure(const std::string& message);
    void discard_remaining_entries();
    bool entry_needs_gil(QEntry e) const;
    bool call_target_method(TargetMethod method, PyObject* const* args, size_t nargs);
    bool call_target_with_handle(TargetMethod method, PyObject* first, uint64_t number);
    void forget_target_error();
    void poison_returned_queue();

    // ---- return thread (queue_return.cpp) -------------------------------------------
    void return_loop();
    bool try_pop_returned(PyObject*& out);
    bool has_returned_entries() const { return !returned.empty(); }
    void drain_returned();
    void drain_returned_all_with_gil();
    void hand_over_returned(PyObject* obj);

    // ---- lifecycle (queue.cpp) --------------------------------------------------------
    bool resume();  // false with a Python error when a thread cannot be started
    void drain();
    void close();
    void disable();
    void bind_target(PyObject* target);
    void clear_target();
    void release_entries();
    void join_threads();
    void join_leftover_threads();
    void join_and_release_leftovers();
    void forget_threads_after_fork();
    void notify_all_threads();
    PyObject* persister() const { return target_obj ? target_obj : Py_None; }
    PyObject* push_fail_handler() const {
        return push_fail_callback ? push_fail_callback : Py_None;
    }
    PyObject* target_error_handler() const {
        return on_target_error ? on_target_error : Py_None;
    }
    bool set_push_fail_handler(PyObject* callback);
    bool set_target_error_handler(PyObject* callback);

private:
    // The common body of push and push_obj: `owned` (may be null) is the reference the
    // entry carries, released here when the entry never reaches the ring.
    bool push_owned(QEntry entry, int64_t estimated_size, PyObject* owned) {
        if (reject_push()) {
            Py_XDECREF(owned);
            return false;
        }
        if (estimated_size != 0) reserve_inflight(estimated_size);
        if (!push_entry_unchecked(entry)) {
            drop_unqueued(owned, estimated_size);
            return false;
        }
        if (estimated_size != 0 && over_inflight_limit() && !wait_for_inflight()) return false;
        return ensure_slots(PUSH_SLOT_RESERVE);
    }

    // Undoes the accounting and the reference of an entry that was never appended.
    void drop_unqueued(PyObject* owned, int64_t estimated_size) {
        if (estimated_size != 0) note_removed(estimated_size);
        Py_XDECREF(owned);
    }

    bool wait_and_push_entry(QEntry e);
};

extern PyTypeObject Queue_Type;

inline bool Queue_Check(PyObject* obj) { return Py_IS_TYPE(obj, &Queue_Type); }

// True when obj is a Persister (an instance check).
bool Queue_target_is_persister(PyObject* obj);

// Called once from module initialisation: prepares the target method names and
// registers the exit hook that drains every live queue before the interpreter ends.
int Queue_module_init(PyObject* module);

}  // namespace tarnwick_stream
