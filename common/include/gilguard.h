// Scopes that hold or give up the interpreter lock.
#pragma once

#include <Python.h>

namespace tarnwick {

// Holds the interpreter lock for its lifetime. Nests, and works on threads that
// Python did not create.
class GILGuard {
public:
    GILGuard() : gstate_(PyGILState_Ensure()) {}
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
    ~GILReleaseGuard() { PyEval_RestoreThread(saved_state_); }
    GILReleaseGuard(const GILReleaseGuard&) = delete;
    GILReleaseGuard& operator=(const GILReleaseGuard&) = delete;
    GILReleaseGuard(GILReleaseGuard&&) = delete;
    GILReleaseGuard& operator=(GILReleaseGuard&&) = delete;

private:
    PyThreadState* saved_state_;
};

}  // namespace tarnwick
