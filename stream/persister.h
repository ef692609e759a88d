// The Persister: turns Python values into tape records in a FramedWriter's buffer.
// Entry points used by the queue's writer thread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tsl/robin_map.h>

#include <atomic>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "framed_writer.h"
#include "wireformat.h"

namespace tarnwick_stream {

// Thrown after the Python error indicator has been set; carries nothing.
struct PersisterFailure {};

// Mixes an address or handle so that aligned addresses spread over the buckets of a
// power-of-two table (the low bits of object addresses are always zero).
struct IdentityKeyHash {
    size_t operator()(uint64_t k) const noexcept {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        return static_cast<size_t>(k);
    }
    size_t operator()(PyObject* p) const noexcept {
        return (*this)(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)));
    }
};

// One entry of the object intern table. `held` is a strong reference to the object
// whose identity is the key (null when the key is a caller's handle, not an address),
// so that the address cannot be reused by another object while the entry exists.
struct InternEntry {
    int index;
    PyObject* held;
};

// Undo record for one change of the intern table made by the value being written.
struct InternUndo {
    uint64_t key;
    bool had_old;
    InternEntry old;  // the overwritten entry (its reference now owned here)
};

using InternTable = tsl::robin_map<uint64_t, InternEntry, IdentityKeyHash>;
using StringTable = tsl::robin_map<PyObject*, uint64_t, IdentityKeyHash>;

struct Persister {
    PyObject_HEAD
    PyObject* framed_writer_obj;  // owned
    FramedWriter* fw;             // borrowed from framed_writer_obj, refreshed per operation
    PyObject* serializer;         // owned
    PyObject* intern_serializer;  // owned, may be null
    InternTable interns;          // identity key or handle -> intern index
    int intern_counter;           // next intern index
    size_t bytes_written;         // record bytes emitted
    bool verbose;
    StringTable interned_index;   // interned str (strong reference) -> string index
    uint64_t interned_counter;    // STR records written: the index the next one takes

    // Direct-mapped cache in front of interned_index: most values of a recording come
    // from a small set of names, and one compare beats a hash-table probe.
    struct StrCacheSlot {
        PyObject* str;
        uint64_t index;
    };
    static constexpr size_t STR_CACHE_SIZE = 4096;
    StrCacheSlot* str_cache;  // STR_CACHE_SIZE slots, allocated with the object
    static size_t str_cache_slot(PyObject* s) {
        return (reinterpret_cast<uintptr_t>(s) >> 4) & (STR_CACHE_SIZE - 1);
    }

    // Roll-back journal of the top-level value being written: strings added to the
    // string table and changes of the intern table, withdrawn when the value fails.
    std::vector<PyObject*> added_strings;
    std::vector<InternUndo> intern_undo;
    uint64_t callbacks;  // serializer and intern serializer calls made so far
    int depth;        // current nesting of write()
    int depth_limit;  // nesting that raises RecursionError
    uintptr_t stack_base;  // native stack position where the top-level value began
    // Set while an operation runs: a second caller (a callback of this Persister or
    // another thread) is refused instead of corrupting a half-written record.
    std::atomic<bool> in_use;

    // Native fields live inside a Python object: built and destroyed explicitly.
    // False when memory ran out; the object can still be destroyed.
    bool construct_native();
    void destroy_native();

    // Records are composed in this stage and moved to the FramedWriter's buffer in
    // chunks (when it fills, when an operation completes), so that the many small
    // pieces of a value cost a store each rather than a call into the buffer. Outside
    // an operation the stage is empty.
    static constexpr size_t STAGE_SIZE = 4096;
    size_t staged;
    uint8_t stage[STAGE_SIZE];

    // Moves the staged bytes to the FramedWriter.
    void sync() {
        if (staged) {
            fw->write_bytes(stage, staged);
            bytes_written += staged;
            staged = 0;
        }
    }
    // Room for n (at most STAGE_SIZE) more bytes at the end of the stage.
    uint8_t* stage_room(size_t n) {
        if (STAGE_SIZE - staged < n) sync();
        return stage + staged;
    }
    void put_le(uint64_t v, size_t n) {
        uint8_t* d = stage_room(n);
        for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(v >> (8 * i));
        staged += n;
    }

    // ---- record emission ----
    void emit(uint8_t v) {
        *stage_room(1) = v;
        ++staged;
    }
    void emit(int8_t v) { emit(static_cast<uint8_t>(v)); }
    void emit(uint16_t v) { put_le(v, 2); }
    void emit(int16_t v) { emit(static_cast<uint16_t>(v)); }
    void emit(uint32_t v) { put_le(v, 4); }
    void emit(int32_t v) { emit(static_cast<uint32_t>(v)); }
    void emit(uint64_t v) { put_le(v, 8); }
    void emit(int64_t v) { emit(static_cast<uint64_t>(v)); }
    void emit_bytes(const uint8_t* data, long n) {
        size_t len = static_cast<size_t>(n);
        if (len <= STAGE_SIZE - staged) {
            if (len) std::memcpy(stage + staged, data, len);
            staged += len;
        } else {
            sync();  // large payloads go to the buffer directly
            fw->write_bytes(data, len);
            bytes_written += len;
        }
    }
    void emit_control(Control c) { emit(c.raw); }
    void emit(Control c) { emit(c.raw); }
    void emit(FixedSizeTypes t) { emit(create_fixed_size(t).raw); }

    // ---- record writers ----
    void write_size(SizedTypes type, uint64_t n) {
        if (n <= MAX_INLINE_SIZE) {
            emit(sized_control(type, static_cast<uint8_t>(n)));
            return;
        }
        write_size_with_bytes(type, n);
    }
    [[gnu::noinline]] void write_size_with_bytes(SizedTypes type, uint64_t n);
    void write_unsigned_number(SizedTypes type, uint64_t n) { write_size(type, n); }
    void write_binding_lookup(uint64_t handle) { write_unsigned_number(BINDING, handle); }
    void write_intern_lookup(int index) {
        write_unsigned_number(INTERN, static_cast<uint64_t>(index));
    }
    void write_sized_int(int64_t v) {
        if (v >= 0)
            write_size(UINT, static_cast<uint64_t>(v));
        else
            write_negative_int(v);
    }
    // The INT64 record: control 0x4D and eight bytes.
    [[gnu::noinline]] void write_negative_int(int64_t v);
    [[gnu::noinline]] bool write_long(PyObject* obj);
    bool write_str_value(PyObject* str);
    [[gnu::noinline]] bool write_string(PyObject* str);
    void write_bytes_header(PyObject* bytes);
    void write_bytes_data(PyObject* bytes);
    void write_bytes_value(PyObject* bytes);
    void write_pickled_value(PyObject* bytes);
    bool write_fallback(PyObject* obj);
    PyObject* maybe_intern_payload(PyObject* obj);
    void remember_intern(uint64_t key, int index, PyObject* keyed);

    // ---- operations ----
    bool write_object(PyObject* obj);
    bool write(PyObject* obj);
    bool write_handle_ref(uint64_t handle);
    // Defines obj under key. `keyed` is the object whose address key is (kept alive
    // while the entry exists), or null when key is not an address.
    bool intern(PyObject* obj, uint64_t key, PyObject* keyed);
    void start_collection(PyObject* type, size_t len);
    void write_heartbeat();
    void write_pickled(PyObject* bytes);
    // The flush family returns 0 or the errno of a failed write(2).
    int flush();
    int flush_background() { return flush(); }
    int shutdown() { return flush(); }
    void prepare_resume();
    void reset_state();
    PyObject* writer_object() const { return framed_writer_obj; }
    FramedWriter* native_writer() const { return fw; }

    // The native writer of the held writer object, read afresh: re-initialising the
    // FramedWriter replaces its native writer.
    FramedWriter* current_writer() const;
    // Refreshes fw; false (nothing set) when there is no writer.
    bool attach_writer();

    // Releases every reference and empties both tables (the type's clear).
    void clear();

private:
    // Out of line so that write() stays a short dispatcher.
    [[gnu::noinline]] bool write_list(PyObject* list);
    [[gnu::noinline]] bool write_tuple(PyObject* tuple);
    [[gnu::noinline]] bool write_dict(PyObject* dict);
    [[gnu::noinline]] bool write_other(PyObject* obj);
    void emit_handle_ref(uint64_t handle);
    [[gnu::noinline]] bool write_str_value_slow(PyObject* str);
    [[gnu::noinline]] bool write_new_interned_string(PyObject* str);
    bool write_element(PyObject* item);
    bool callbacks_left_intact(uint64_t& seen, bool size_changed, const char* what);
    bool write_memoryview(PyObject* view);
    bool write_interned_object(PyObject* obj);
    bool writer_still_attached();
    bool enter_level();
    friend class Transaction;
};

extern PyTypeObject Persister_Type;

// Marks a Persister as in use for one operation; a second caller finds it taken.
class PersisterUse {
public:
    explicit PersisterUse(Persister* p)
        : p_(p), ok_(!p->in_use.exchange(true, std::memory_order_acquire)) {}
    ~PersisterUse() {
        if (ok_) p_->in_use.store(false, std::memory_order_release);
    }
    PersisterUse(const PersisterUse&) = delete;
    PersisterUse& operator=(const PersisterUse&) = delete;
    bool ok() const { return ok_; }

private:
    Persister* p_;
    bool ok_;
};

// Python errors for a Persister that cannot run an operation (interpreter lock held).
void Persister_set_in_use_error();
void Persister_set_uninitialised_error();

inline bool Persister_Check(PyObject* obj) { return Py_IS_TYPE(obj, &Persister_Type); }

// The queue's writer thread drives a Persister target through these, without going
// through Python. No exception conversion: a thrown failure propagates. A failed
// write_object or intern leaves nothing of that value on the tape.
bool Persister_write_object(Persister* p, PyObject* obj);              // lock held by caller
bool Persister_intern_handle(Persister* p, PyObject* obj, uint64_t handle);  // lock held
bool Persister_write_binding_lookup(Persister* p, uint64_t handle);    // no lock needed
bool Persister_start_collection(Persister* p, PyObject* type, uint64_t len);  // no lock needed
bool Persister_write_heartbeat(Persister* p);                          // takes the lock

// Called while a native failure is being handled (inside a catch block): sets the
// Python error that corresponds to it.
void set_python_error_from_current_exception();

}  // namespace tarnwick_stream
