// Decoding of a tape's record stream into Python objects, shared by TapeReader and
// ObjectStreamReader. The decoder reads from a buffered stdio stream with a timed
// retry, keeps the string and intern tables, and hands opaque payloads to the
// caller's callables.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <tsl/robin_map.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include "wireformat.h"

namespace tarnwick_stream {

// The string table: a growable array of str references. It grows with realloc,
// which moves a large block by remapping its pages instead of copying them.
class DecodedStrings {
public:
    DecodedStrings() = default;
    DecodedStrings(const DecodedStrings&) = delete;
    DecodedStrings& operator=(const DecodedStrings&) = delete;
    ~DecodedStrings() { std::free(items_); }

    size_t size() const { return size_; }
    PyObject* operator[](size_t i) const { return items_[i]; }
    // Stores s (a reference the table then owns); false when memory ran out.
    bool push_back(PyObject* s) {
        if (size_ == capacity_ && !grow()) return false;
        items_[size_++] = s;
        return true;
    }
    // Leaves the table empty and hands its storage (malloc'd, n entries) to the caller.
    PyObject** release(size_t& n) {
        n = size_;
        size_ = capacity_ = 0;
        return std::exchange(items_, nullptr);
    }

private:
    bool grow() {
        size_t capacity = capacity_ ? capacity_ * 2 : 256;
        void* p = std::realloc(items_, capacity * sizeof(PyObject*));
        if (!p) return false;
        items_ = static_cast<PyObject**>(p);
        capacity_ = capacity;
        return true;
    }

    PyObject** items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The two tables a tape refers back to. Each entry holds its own reference.
struct DecoderTables {
    DecodedStrings interned_strings;
    tsl::robin_map<int32_t, PyObject*> interns;

    DecoderTables() = default;
    DecoderTables(const DecoderTables&) = delete;
    DecoderTables& operator=(const DecoderTables&) = delete;
    ~DecoderTables() { clear(); }
    // Releases every entry (interpreter lock held).
    void clear();
};

// The decoding state both reader records embed right after their object header.
// Plain data, zero-filled by the generic allocator, so the readers can expose its
// fields as members by offset.
struct DecoderFields {
    FILE* file;                 // none after close or a failed open
    char* file_buffer;          // the stream's stdio buffer, freed after the stream is closed
    PyObject* path;             // kept for reopen
    uint64_t bytes_read;        // bytes consumed by successful reads
    uint64_t messages_read;
    int32_t read_timeout;       // milliseconds a short read waits before its retry
    int32_t intern_counter;     // next inline-intern index (TapeReader)
    DecoderTables* tables;      // null until initialised
    PyObject* create_pickled;   // deserialize
    PyObject* create_dropped;   // on_dropped, or null
    PyObject* create_heartbeat; // on_heartbeat, or null
    bool verbose;
    bool is_pipe;               // the stream is not a regular file: reads may block
};

// The members both reader types publish from their DecoderFields, which sit at
// FieldsOffset inside the reader's object.
template <Py_ssize_t FieldsOffset>
PyMemberDef* decoder_members() {
    static PyMemberDef members[] = {
        {"read_timeout", T_INT, FieldsOffset + offsetof(DecoderFields, read_timeout), 0, "TODO"},
        {"bytes_read", T_ULONGLONG, FieldsOffset + offsetof(DecoderFields, bytes_read), READONLY,
         "TODO"},
        {"messages_read", T_ULONGLONG, FieldsOffset + offsetof(DecoderFields, messages_read),
         READONLY, "TODO"},
        {"verbose", T_BOOL, FieldsOffset + offsetof(DecoderFields, verbose), 0, "TODO"},
        {nullptr, 0, 0, 0, nullptr},
    };
    return members;
}

// Thrown after the Python error indicator has been set.
struct PythonErrorSet {};

// A failure that carries its own message (closed stream, short read); becomes
// RuntimeError at the Python boundary.
using ReadError = std::runtime_error;

// How the two readers differ in decoding.
enum class Flavor { TAPE_READER, OBJECT_STREAM };

template <Flavor F>
class TapeDecoder {
public:
    // Runs on the calling thread with the interpreter lock held, for one top-level read.
    // The fields must have their tables (the reader was initialised); the tables
    // live as long as the reader, which its caller keeps alive during the read.
    TapeDecoder(DecoderFields& fields, PyThreadState* tstate);

    // One value: TapeReader handles inline interns, dropped and heartbeat markers at
    // every depth; ObjectStream handles only inline interns here.
    PyObject* read();
    // The record whose control byte has been read.
    PyObject* read(Control control);
    Control read_control();

    // ObjectStream: skips top-level inline interns and returns the next control
    // byte, its start offset in start.
    Control consume(uint64_t& start);
    // ObjectStream: one top-level value, with its marker handling and trace lines.
    PyObject* next();

    // Clears a sticky end-of-file state left by an earlier read, so that bytes
    // appended since are seen without waiting.
    void rearm();

private:
    FILE* stream();
    const char* take(size_t n);
    size_t fill(char* buf, size_t n);
    void read_exact(char* buf, size_t n);
    void read_exact_slow(char* buf, size_t n);
    Control read_control_slow();
    template <class Grow>
    char* read_growing(size_t n, Grow&& grow);
    size_t retry_after_wait(char* buf, size_t n);
    [[noreturn]] void throw_short(size_t missing);

    template <size_t W>
    uint64_t read_le();
    uint64_t read_unsigned_number(Control control);

    PyObject* read_sized(Control control);
    [[gnu::always_inline]] inline uint64_t size_field(Control c, const char* p, size_t& used);
    [[gnu::always_inline]] inline PyObject* read_element();
    [[gnu::always_inline]] inline PyObject* sized_value(Control control, uint64_t size);
    template <uint8_t T>
    PyObject* sized_record(uint64_t size);
    PyObject* read_fixedsize(uint8_t subtype);
    uint64_t slots_for(uint64_t n);
    PyObject* read_list(uint64_t n);
    PyObject* read_tuple(uint64_t n);
    PyObject* read_dict(uint64_t n);
    PyObject* read_set(uint64_t n, bool frozen);
    PyObject* read_str(size_t n);
    PyObject* read_bytes(size_t n);
    PyObject* read_pickled(size_t n);
    PyObject* read_bigint(size_t n);
    PyObject* intern_lookup(uint64_t index);
    [[gnu::always_inline]] inline PyObject* string_lookup(uint64_t index);
    void store_intern(PyObject* payload);
    PyObject* call_marker(PyObject* callable, PyObject* payload);

    DecoderFields& f_;
    DecoderTables* tables_;     // f_.tables, one load nearer to the string table
    PyThreadState* tstate_;     // the calling thread's, for the recursion budget
    char* scratch_ = nullptr;   // the thread's string scratch buffer, once looked up
    uint64_t budget_ = 0;       // tape bytes that large containers may still preallocate for
    bool budget_known_ = false;
};

extern template class TapeDecoder<Flavor::TAPE_READER>;
extern template class TapeDecoder<Flavor::OBJECT_STREAM>;

// --- Lifecycle helpers shared by both reader types (interpreter lock held) ---

// Opens path (a str) for reading, fully buffered in a malloc'd buffer that the caller
// frees after closing the stream (stored in buffer); null with OSError or MemoryError
// set on failure.
FILE* open_tape(PyObject* path, char*& buffer);

// Stores the arguments common to both constructors and opens the tape. Returns -1
// with an exception set when the tape cannot be opened; the fields stay valid.
int init_decoder_fields(DecoderFields& f, PyObject* path, PyObject* deserialize,
                        int read_timeout, int verbose, PyObject* on_dropped,
                        PyObject* on_heartbeat, long long start_offset);

// Closes the stream if one is open.
void close_decoder_file(DecoderFields& f);

// The stream's position, or null with RuntimeError / OSError set.
PyObject* decoder_file_offset(DecoderFields& f);

// Closes and opens the stored path again at offset; None or null with an exception.
PyObject* decoder_reopen(DecoderFields& f, long long offset);

int traverse_decoder_fields(DecoderFields& f, visitproc visit, void* arg);
void clear_decoder_fields(DecoderFields& f);

// Called inside a catch block: leaves a pending Python error in place, turns a
// message into RuntimeError and anything else into RuntimeError(unknown_text).
void set_python_error_from_decode_failure(const char* unknown_text);

// The UTF-8 text of str(obj) for a trace line, or a fallback text when str() fails
// (the failure is cleared, so the read goes on).
std::string trace_text(PyObject* obj);

}  // namespace tarnwick_stream
