// Pieces shared by the queue's own units (writer thread, return thread, lifecycle);
// not part of the push side that other types use.
#pragma once

#include <chrono>

#include "queue.h"

namespace tarnwick_stream {

// Longest time a background thread keeps the interpreter lock for a run of work
// before it lets the program's threads run.
inline constexpr auto kGilHoldBudget = std::chrono::milliseconds(4);
// A batch also ends after this many items, so that a ring the producers keep filling
// still gets its output flushed and the target's buffer stays bounded.
inline constexpr unsigned kMaxBatchItems = 16384;
// Waiting for the rest of an item: yield this many times, then sleep briefly per pass.
inline constexpr unsigned kPayloadSpinYields = 1000;
inline constexpr auto kPayloadSpinSleep = std::chrono::microseconds(50);

// The target method's name as an interned str (prepared by Queue_module_init).
PyObject* target_method_name(TargetMethod method);
// The AttributeError text when a required method is missing; null for optional ones.
const char* target_method_missing_message(TargetMethod method);

// Keeps the interpreter lock across consecutive entries of a writer-thread batch that
// need it, so the lock is taken once per run instead of once per entry, and lets it go
// once the run has held it for kGilHoldBudget. Only at points where no other lock scope
// is open on the thread.
class WorkerGilRun {
public:
    explicit WorkerGilRun(Queue* queue) : queue_(queue) { queue_->worker_gil = this; }
    ~WorkerGilRun() {
        release();
        queue_->worker_gil = nullptr;
    }
    WorkerGilRun(const WorkerGilRun&) = delete;
    WorkerGilRun& operator=(const WorkerGilRun&) = delete;

    void enter() {
        if (held_) return;
        state_ = PyGILState_Ensure();
        held_ = true;
        since_ = std::chrono::steady_clock::now();
    }
    void release() {
        if (!held_) return;
        held_ = false;
        PyGILState_Release(state_);
    }
    // Reads the clock only every kClockStride calls: an entry takes far less time.
    void yield_if_due() {
        if (!held_ || ++calls_ % kClockStride != 0) return;
        if (std::chrono::steady_clock::now() - since_ >= kGilHoldBudget) release();
    }

private:
    static constexpr unsigned kClockStride = 16;
    Queue* queue_;
    unsigned calls_ = 0;
    bool held_ = false;
    PyGILState_STATE state_{};
    std::chrono::steady_clock::time_point since_{};
};

// Gives a background thread one Python thread state for its whole life, so that each
// later acquisition of the interpreter lock is a plain lock hand-off rather than the
// creation and destruction of a thread state. The lock is not held in between.
class BackgroundThreadState {
public:
    BackgroundThreadState() : outer_(PyGILState_Ensure()), saved_(PyEval_SaveThread()) {}
    ~BackgroundThreadState() {
        PyEval_RestoreThread(saved_);
        PyGILState_Release(outer_);
    }
    BackgroundThreadState(const BackgroundThreadState&) = delete;
    BackgroundThreadState& operator=(const BackgroundThreadState&) = delete;

private:
    PyGILState_STATE outer_;
    PyThreadState* saved_;
};

}  // namespace tarnwick_stream
