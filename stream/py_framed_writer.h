// Python type tarnwick_stream.FramedWriter: opens an output and owns its native writer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>

#include "framed_writer.h"

namespace tarnwick_stream {

struct PyFramedWriter {
    PyObject_HEAD
    std::unique_ptr<FramedWriter> writer;
    std::string stored_path;
    bool is_fifo;
    bool is_socket;
};

extern PyTypeObject FramedWriter_Type;

// The native writer of an object whose type is exactly FramedWriter; otherwise
// TypeError "expected FramedWriter" and null.
FramedWriter* FramedWriter_get(PyObject* obj);

// Sets OSError(err, strerror(err), path) for a failed write on this writer object.
void FramedWriter_set_write_error(PyObject* writer_obj, int err);

}  // namespace tarnwick_stream
