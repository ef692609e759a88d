// Small shared helpers: an owning reference and the interned-string test.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

namespace tarnwick_stream {

// Owns exactly one reference (or none) to a Python object.
struct PyObjectPtr {
    PyObject* ptr = nullptr;

    PyObjectPtr() = default;
    explicit PyObjectPtr(PyObject* new_ref) : ptr(new_ref) {}
    ~PyObjectPtr() { Py_XDECREF(ptr); }
    PyObjectPtr(const PyObjectPtr&) = delete;
    PyObjectPtr& operator=(const PyObjectPtr&) = delete;
    PyObjectPtr(PyObjectPtr&& other) noexcept : ptr(std::exchange(other.ptr, nullptr)) {}
    PyObjectPtr& operator=(PyObjectPtr&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr);
            ptr = std::exchange(other.ptr, nullptr);
        }
        return *this;
    }

    // Takes a new reference to a borrowed object.
    static PyObjectPtr borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return PyObjectPtr(obj);
    }

    PyObject* get() const { return ptr; }
    // Gives up ownership without releasing.
    PyObject* release() { return std::exchange(ptr, nullptr); }
    void reset(PyObject* new_ref = nullptr) {
        PyObject* old = std::exchange(ptr, new_ref);
        Py_XDECREF(old);
    }
    explicit operator bool() const { return ptr != nullptr; }
};

// True when a str object is interned, by the interpreter's own flag.
inline bool is_interned_unicode(PyObject* obj) {
    return PyUnicode_CHECK_INTERNED(obj) != 0;
}

// An object's identity as an unsigned 64-bit key.
inline uint64_t pointer_handle(PyObject* obj) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj));
}

// CPython 3.12: immortal objects have a negative low 32 bits of the refcount.
inline bool is_immortal(PyObject* obj) {
    return static_cast<int32_t>(static_cast<uint32_t>(obj->ob_refcnt)) < 0;
}

// A zeroed static type object with its header filled in; each type's unit sets the
// slots it needs.
inline PyTypeObject blank_static_type() {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    return t;
}

}  // namespace tarnwick_stream
