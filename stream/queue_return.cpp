// The return thread: releases, in bulk and under the interpreter lock, the objects the
// writer thread has finished with, so that the writer never waits for the lock just to
// drop a reference.
#include <optional>
#include <thread>

#include "queue.h"
#include "queue_internal.h"

namespace tarnwick_stream {

bool Queue::try_pop_returned(PyObject*& out) {
    PyObject** front = returned.front();
    if (!front) return false;
    out = *front;
    returned.pop();
    return true;
}

void Queue::hand_over_returned(PyObject* obj) {
    if (returned.try_push(obj)) {
        maybe_notify_return_thread(true);
        return;
    }
    // Full: the return thread needs the interpreter lock to make room, so wait without it.
    std::optional<tarnwick::GILReleaseGuard> released;
    if (PyGILState_Check()) released.emplace();
    while (!returned.try_push(obj)) {
        if (!return_loop_running.load(std::memory_order_acquire)) {
            // No one will make room any more: release here instead of waiting forever.
            released.reset();
            if (obj) release_consumed_obj(obj);
            return;
        }
        maybe_notify_return_thread(true);
        std::this_thread::yield();
    }
    maybe_notify_return_thread(true);
}

void Queue::poison_returned_queue() { hand_over_returned(nullptr); }

void Queue::drain_returned_all_with_gil() {
    PyObject* obj = nullptr;
    while (try_pop_returned(obj)) {
        if (!obj) return;
        note_removed(queue_estimate_size(obj));
        if (!queue_is_immortal(obj)) Py_DECREF(obj);
    }
}

void Queue::drain_returned() {
    tarnwick::GILGuard gil;
    drain_returned_all_with_gil();
}

void Queue::return_loop() {
    ActiveConsumerScope scope(this, return_thread_self);
    const auto timeout = std::chrono::milliseconds(worker_wait_timeout_ms_value);
    for (;;) {
        if (!returned.empty()) {
            tarnwick::GILGuard gil;
            const auto since = std::chrono::steady_clock::now();
            PyObject* obj = nullptr;
            unsigned released = 0;
            while (try_pop_returned(obj)) {
                if (!obj) return;  // the stop marker
                note_removed(queue_estimate_size(obj));
                Py_DECREF(obj);
                // Let the program run now and then during a long pass.
                if (++released % 16 == 0 &&
                    std::chrono::steady_clock::now() - since >= kGilHoldBudget) {
                    break;
                }
            }
            continue;
        }
        if (shutdown_flag.load(std::memory_order_acquire)) return;
        {
            std::unique_lock<std::mutex> lock(return_wake_mutex);
            return_thread_waiting.store(true, std::memory_order_release);
            return_wake_cv.wait_for(lock, timeout, [this] {
                return shutdown_flag.load(std::memory_order_acquire) || !returned.empty();
            });
            return_thread_waiting.store(false, std::memory_order_release);
        }
        if (shutdown_flag.load(std::memory_order_acquire) && returned.empty()) return;
        if (worker_wait_timeout_ms_value == 0 && returned.empty()) std::this_thread::yield();
    }
}

}  // namespace tarnwick_stream
