// Python type tarnwick_stream.TapeReader: reads a tape's top-level values by next,
// call or iteration, one decode at a time under its read lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>

#include "tape_decoder.h"

namespace tarnwick_stream {

// Serialises decodes and close. owner is the thread state of the holder (null when
// free), so a call that comes back into the reader on the holding thread is refused
// instead of waiting for itself.
struct ReadLock {
    std::mutex mutex;
    std::atomic<PyThreadState*> owner{nullptr};
};

struct TapeReader {
    PyObject_HEAD
    DecoderFields fields;
    vectorcallfunc vectorcall;
    ReadLock* read_mutex;  // null until initialised
};

extern PyTypeObject TapeReader_Type;

}  // namespace tarnwick_stream
