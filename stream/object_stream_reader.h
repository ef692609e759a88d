// Python type tarnwick_stream.ObjectStreamReader (native class ObjectStream): reads
// a tape's top-level values by call, with marker records handled at the top level.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tape_decoder.h"

namespace tarnwick_stream {

struct ObjectStream {
    PyObject_HEAD
    DecoderFields fields;
    vectorcallfunc vectorcall;
    PyObject* stub_factory;  // kept for the reader's lifetime, never called
};

extern PyTypeObject ObjectStreamReader_Type;

}  // namespace tarnwick_stream
