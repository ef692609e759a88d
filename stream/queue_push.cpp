// The producer side's waits: slot reserve, in-flight bytes, and the back-pressure step
// that either sleeps or asks push_fail_callback what to do.
#include "queue.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tarnwick_stream {

namespace {

// Longest single back-pressure sleep: keeps the conversion to the clock's ticks finite.
constexpr double kMaxBackoffSeconds = 86400.0;

// Sleeps, with the interpreter lock released if this thread holds it.
void sleep_without_gil(std::chrono::duration<double> delay) {
    if (PyGILState_Check()) {
        tarnwick::GILReleaseGuard release;
        std::this_thread::sleep_for(delay);
    } else {
        std::this_thread::sleep_for(delay);
    }
}

}  // namespace

bool Queue::wait_for_slots(size_t n) {
    if (reject_push()) return false;
    // A ring can never have more free slots than it holds: wait for what it can hold
    // (an empty ring of the smallest capacity still fits the next operation).
    n = std::min(n, entries.capacity());
    while (!has_entry_slots(n)) {
        if (!wait_with_push_backoff()) return false;
    }
    return true;
}

bool Queue::wait_for_inflight() {
    if (reject_push()) return false;
    // Releases returned objects itself, so finalisers run: marked like a back-pressure step.
    CountScope waiting(producers_in_backoff);
    for (;;) {
        int64_t limit = inflight_limit();
        if (limit <= 0 || inflight() < limit) return true;
        drain_returned_with_gil(0);
        if (!over_inflight_limit()) return true;
        maybe_notify_return_thread(false);
        if (!wait_with_push_backoff()) return false;
    }
}

bool Queue::wait_with_push_backoff() {
    if (reject_push()) return false;
    CountScope waiting(producers_in_backoff);
    if (!push_fail_callback) {
        // Without a writer thread (a queue with no target) nothing will ever make
        // room: give up rather than wait forever.
        if (!thread_started) return false;
        maybe_notify_worker();
        maybe_notify_return_thread(true);
        sleep_without_gil(std::chrono::milliseconds(1));
        return true;
    }
    tarnwick::GILGuard gil;
    PyObjectPtr callback = PyObjectPtr::borrow(push_fail_callback);
    PyObjectPtr result(PyObject_CallNoArgs(callback.get()));
    if (!result) {
        PyErr_Clear();
        return false;
    }
    if (result.get() == Py_None) return false;
    double delay = PyFloat_AsDouble(result.get());
    if (delay == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!(delay > 0.0)) delay = 0.0;  // negative (or NaN) means: try again at once
    delay = std::min(delay, kMaxBackoffSeconds);
    if (delay > 0.0) {
        tarnwick::GILReleaseGuard release;
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    }
    return true;
}

bool Queue::drain_returned_with_gil(int64_t needed_size) {
    if (!PyGILState_Check()) return false;
    if (inflight_limit() <= 0) return true;
    while (needed_size + inflight() >= inflight_limit()) {
        PyObject* obj = nullptr;
        if (!try_pop_returned(obj)) break;
        if (!obj) return false;  // the stop marker: consumed, the return thread ends anyway
        note_removed(queue_estimate_size(obj));
        if (!queue_is_immortal(obj)) Py_DECREF(obj);
    }
    return needed_size + inflight() < inflight_limit();
}

bool Queue::wait_and_push_entry(QEntry e) {
    for (;;) {
        if (!wait_with_push_backoff()) return false;
        if (reject_push()) return false;
        if (try_push_entry(e)) return true;
    }
}

}  // namespace tarnwick_stream
