// Hash tables keyed by an object's address. They never call Python hashing or
// equality, so any object can be a key (hashable or not) and lookups stay safe
// while the object is being deallocated.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

namespace tarnwick_stream {

// The address as an unsigned 64-bit number; robin-map mixes it further.
struct PyObjectIdentityHash {
    size_t operator()(const void* obj) const noexcept {
        uint64_t x = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj));
        // Objects are 16-byte aligned: fold the high bits down so that the table's
        // low bits are not all zero (a cheap multiplicative mix).
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<size_t>(x);
    }
};

struct PyObjectIdentityEqual {
    bool operator()(const void* a, const void* b) const noexcept { return a == b; }
};

template <typename Value, typename Key = PyObject*>
using identity_map = tsl::robin_map<Key, Value, PyObjectIdentityHash, PyObjectIdentityEqual>;

template <typename Key = PyObject*>
using identity_set = tsl::robin_set<Key, PyObjectIdentityHash, PyObjectIdentityEqual>;

}  // namespace tarnwick_stream
