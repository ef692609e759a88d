// Python type tarnwick_stream.FramedWriter: opens an output and owns its native writer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
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
    // The thread whose operation is using the native writer, or 0 (see WriterUse).
    std::atomic<unsigned long> user;
};

// Claims a FramedWriter object for one operation of the calling thread. The native
// writer has no lock, and a Persister works on it with the interpreter lock released,
// so an operation of another thread finds the claim taken and is refused. Operations
// nested on the claiming thread (a Persister's callback using the writer) share it,
// except inside a flush (a signal handler it ran), which they are refused.
class WriterUse {
public:
    // writer_obj: a FramedWriter object, or null (nothing to claim).
    explicit WriterUse(PyObject* writer_obj);
    ~WriterUse() {
        if (owner_) user_->store(0, std::memory_order_release);
    }
    WriterUse(const WriterUse&) = delete;
    WriterUse& operator=(const WriterUse&) = delete;
    bool ok() const { return !refusal_; }
    // Why ok() is false, as RuntimeError (interpreter lock held).
    void set_error() const;

private:
    std::atomic<unsigned long>* user_ = nullptr;
    const char* refusal_ = nullptr;
    bool owner_ = false;
};

extern PyTypeObject FramedWriter_Type;

// The native writer of an object whose type is exactly FramedWriter; otherwise
// TypeError "expected FramedWriter" and null.
FramedWriter* FramedWriter_get(PyObject* obj);

// Sets OSError(err, strerror(err), path) for a failed write on this writer object.
void FramedWriter_set_write_error(PyObject* writer_obj, int err);

}  // namespace tarnwick_stream
