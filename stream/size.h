// Size estimates of queued objects, for the queue's in-flight byte accounting. They
// read only the object header and the type, never the contents, so a list of a
// thousand strings counts as the list object and its pointer array.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "stream.h"

namespace tarnwick_stream {

inline int64_t layout_size_bytes(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    int64_t size = type->tp_basicsize;
    if (type->tp_itemsize != 0) {
        Py_ssize_t n = Py_SIZE(obj);
        int64_t count = n < 0 ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
        size += count * type->tp_itemsize;
    }
    return size;
}

inline int64_t approximate_unicode_size_bytes(PyObject* obj) {
    return Py_TYPE(obj)->tp_basicsize +
           static_cast<int64_t>(PyUnicode_GET_LENGTH(obj)) * PyUnicode_KIND(obj);
}

inline int64_t approximate_size_bytes(PyObject* obj) {
    return Py_IS_TYPE(obj, &PyUnicode_Type) ? approximate_unicode_size_bytes(obj)
                                            : layout_size_bytes(obj);
}

inline bool queue_is_immortal(PyObject* obj) { return is_immortal(obj); }

// The bytes an entry for obj keeps in flight, the same at push and at release. Interning
// a string makes it immortal, which may happen while it is queued; so a string interned at
// run time counts like a mortal one, whether it was interned before its push or after.
// Objects immortal from the start (None, small ints, static strings) count nothing.
inline int64_t queue_estimate_size(PyObject* obj) {
    if (!queue_is_immortal(obj)) return approximate_size_bytes(obj);
    if (Py_IS_TYPE(obj, &PyUnicode_Type) &&
        PyUnicode_CHECK_INTERNED(obj) == SSTATE_INTERNED_IMMORTAL) {
        return approximate_unicode_size_bytes(obj);
    }
    return 0;
}

}  // namespace tarnwick_stream
