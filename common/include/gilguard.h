// Scopes that hold or give up the interpreter lock.
#pragma once

#include <Python.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarnwick {

// Once the interpreter is finalising, it ends any thread other than the finalising one
// that asks for the lock (pthread_exit from inside the request), which would unwind our
// frames and run their destructors without the lock. Such a thread waits here instead
// until the process exits. The process's main thread, which runs the finalisation, goes on.
[[noreturn]] inline void park_forever() {
    for (;;) pause();
}

inline void park_if_finalizing() {
    if (!_Py_IsFinalizing()) return;
    if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) return;
    park_forever();
}

// Asks for the lock through take(). A thread that was already waiting when finalisation
// began is ended from inside take() by a forced unwind, after the interpreter has given
// the lock up again: catch it there and park, so no frame of ours unwinds. take() calls
// only the interpreter's C API, so the forced unwind is the one thing that can arrive.
template <typename Take>
inline auto take_lock_or_park(Take take) {
    park_if_finalizing();
    try {
        return take();
    } catch (...) {
        park_forever();
    }
}

// Holds the interpreter lock for its lifetime. Nests, and works on threads that
// Python did not create.
class GILGuard {
public:
    GILGuard() : gstate_(take_lock_or_park([] { return PyGILState_Ensure(); })) {}
    ~GILGuard() { PyGILState_Release(gstate_); }
    GILGuard(const GILGuard&) = delete;
    GILGuard& operator=(const GILGuard&) = delete;
    GILGuard(GILGuard&&) = delete;
    GILGuard& operator=(GILGuard&&) = delete;

private:
    PyGILState_STATE gstate_;
};

// Releases the lock held by the current thread for its lifetime: used around
// sleeps, blocking waits and joins so that other Python threads keep running.
class GILReleaseGuard {
public:
    GILReleaseGuard() : saved_state_(PyEval_SaveThread()) {}
    ~GILReleaseGuard() {
        take_lock_or_park([this] { PyEval_RestoreThread(saved_state_); });
    }
    GILReleaseGuard(const GILReleaseGuard&) = delete;
    GILReleaseGuard& operator=(const GILReleaseGuard&) = delete;
    GILReleaseGuard(GILReleaseGuard&&) = delete;
    GILReleaseGuard& operator=(GILReleaseGuard&&) = delete;

private:
    PyThreadState* saved_state_;
};

}  // namespace tarnwick
