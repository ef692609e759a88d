#include "py_framed_writer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "gilguard.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

struct OpenResult {
    int fd = -1;
    size_t frame_size = FramedWriter::MAX_FRAME;
    bool is_fifo = false;
    bool is_socket = false;
    const char* failure = nullptr;  // message format with two %s: path, strerror
    int err = 0;
};

// Opens the output named by path; runs without the interpreter lock because opening
// a FIFO waits for its reader. A signal ends the wait with err EINTR.
OpenResult open_output(const char* path) {
    OpenResult r;
    struct stat st;
    if (::stat(path, &st) == 0) {
        r.is_fifo = (st.st_mode & S_IFMT) == S_IFIFO;
        r.is_socket = (st.st_mode & S_IFMT) == S_IFSOCK;
    }
    if (r.is_socket) {
        int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        if (fd < 0) {
            r.err = errno;
            r.failure = "Could not create socket for: %s: %s";
            return r;
        }
        sockaddr_un addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        // A path the address cannot hold whole is refused: cut short, it could name
        // another socket.
        const bool fits = std::strlen(path) < sizeof addr.sun_path;
        if (fits) std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
        if (!fits || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            r.err = fits ? errno : ENAMETOOLONG;
            r.failure = "Could not connect to socket: %s: %s";
            ::close(fd);
            return r;
        }
        int sndbuf = 0;
        socklen_t len = sizeof sndbuf;
        r.frame_size = FramedWriter::MAX_FRAME;
        if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) == 0 && sndbuf > 0 &&
            static_cast<size_t>(sndbuf) < FramedWriter::MAX_FRAME)
            r.frame_size = static_cast<size_t>(sndbuf);
        r.fd = fd;
        return r;
    }
    int fd = r.is_fifo ? ::open(path, O_WRONLY | O_CLOEXEC)
                       : ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        r.err = errno;
        r.failure = "Could not open file: %s for writing: %s";
        return r;
    }
    r.frame_size = r.is_fifo ? 4096 : FramedWriter::MAX_FRAME;
    r.fd = fd;
    return r;
}

PyFramedWriter* as_fw(PyObject* self) { return reinterpret_cast<PyFramedWriter*>(self); }

// The native writer, or null with RuntimeError when initialisation never succeeded.
FramedWriter* require_writer(PyObject* self) {
    FramedWriter* w = as_fw(self)->writer.get();
    if (!w) PyErr_SetString(PyExc_RuntimeError, "FramedWriter is not initialised");
    return w;
}

// Runs one append; a buffer that cannot grow raises MemoryError (nothing appended)
// instead of letting the exception escape into the interpreter.
template <class Append>
PyObject* appended(Append&& append) {
    try {
        append();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PyFramedWriter* fw = as_fw(self);
    new (&fw->writer) std::unique_ptr<FramedWriter>();
    new (&fw->stored_path) std::string();
    fw->is_fifo = false;
    fw->is_socket = false;
    new (&fw->user) std::atomic<unsigned long>(0);
    return self;
}

// A method that touches the buffer or the descriptor, run under the writer's claim.
template <PyObject* (*Method)(PyObject*, PyObject*)>
PyObject* claimed(PyObject* self, PyObject* arg) {
    WriterUse use(self);
    if (!use.ok()) {
        use.set_error();
        return nullptr;
    }
    return Method(self, arg);
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"path", "raw", nullptr};
    const char* path = nullptr;
    int raw = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "s|p", const_cast<char**>(kwlist), &path, &raw))
        return -1;
    // Held until the new writer is in place: a re-initialisation replaces the native
    // writer that another thread's operation may be using.
    WriterUse use(self);
    if (!use.ok()) {
        use.set_error();
        return -1;
    }
    PyFramedWriter* fw = as_fw(self);
    fw->is_fifo = false;
    fw->is_socket = false;
    std::string path_copy(path);
    OpenResult r;
    for (;;) {
        {
            tarnwick::GILReleaseGuard unlocked;
            r = open_output(path_copy.c_str());
        }
        if (r.fd >= 0 || r.err != EINTR) break;
        // Interrupted while waiting (for a FIFO's reader): a signal handler that raises,
        // such as the one for Ctrl-C, ends the wait; otherwise wait again.
        if (PyErr_CheckSignals() < 0) return -1;
    }
    if (r.fd < 0) {
        PyErr_Format(PyExc_OSError, r.failure, path_copy.c_str(), std::strerror(r.err));
        return -1;
    }
    // A second initialisation closes the output opened by the first.
    if (fw->writer) fw->writer->close();
    try {
        fw->writer = std::make_unique<FramedWriter>(r.fd, r.frame_size, raw != 0);
        fw->stored_path = std::move(path_copy);
    } catch (const std::bad_alloc&) {
        ::close(r.fd);
        PyErr_NoMemory();
        return -1;
    }
    fw->is_fifo = r.is_fifo;
    fw->is_socket = r.is_socket;
    return 0;
}

void dealloc(PyObject* self) {
    PyFramedWriter* fw = as_fw(self);
    if (fw->writer) fw->writer->close();
    fw->writer.~unique_ptr<FramedWriter>();
    fw->stored_path.~basic_string();
    fw->user.~atomic();
    Py_TYPE(self)->tp_free(self);
}

PyObject* py_write(PyObject* self, PyObject* arg) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = appended([&] {
        w->write_bytes(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len));
    });
    PyBuffer_Release(&view);
    return result;
}

PyObject* py_write_uint16(PyObject* self, PyObject* arg) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    unsigned long v = PyLong_AsUnsignedLong(arg);
    if (PyErr_Occurred()) return nullptr;
    if (v > 0xFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "value too large for uint16");
        return nullptr;
    }
    return appended([&] { w->write_uint16(static_cast<uint16_t>(v)); });
}

PyObject* py_write_uint32(PyObject* self, PyObject* arg) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    unsigned long v = PyLong_AsUnsignedLong(arg);
    if (PyErr_Occurred()) return nullptr;
    if (v > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "value too large for uint32");
        return nullptr;
    }
    return appended([&] { w->write_uint32(static_cast<uint32_t>(v)); });
}

PyObject* py_write_uint64(PyObject* self, PyObject* arg) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    unsigned long long v = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    return appended([&] { w->write_uint64(v); });
}

PyObject* py_write_int64(PyObject* self, PyObject* arg) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    long long v = PyLong_AsLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    return appended([&] { w->write_int64(v); });
}

PyObject* py_write_float64(PyObject* self, PyObject* arg) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    double v = PyFloat_AsDouble(arg);
    if (PyErr_Occurred()) return nullptr;
    return appended([&] { w->write_float64(v); });
}

// A flush from Python holds the interpreter lock and may block on a full pipe: a
// signal runs its handlers, and one that raises (Ctrl-C's) stops the flush.
bool signal_raised() { return PyErr_CheckSignals() < 0; }

// A flush or close result: EINTR comes with the handler's exception already set.
PyObject* flushed(PyObject* self, int err) {
    if (!err) Py_RETURN_NONE;
    if (err != EINTR) FramedWriter_set_write_error(self, err);
    return nullptr;
}

PyObject* py_flush(PyObject* self, PyObject*) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    return flushed(self, w->flush(signal_raised));
}

PyObject* py_close(PyObject* self, PyObject*) {
    FramedWriter* w = as_fw(self)->writer.get();
    if (!w) Py_RETURN_NONE;
    return flushed(self, w->close(signal_raised));
}

PyObject* py_resume(PyObject* self, PyObject*) {
    FramedWriter* w = require_writer(self);
    if (!w) return nullptr;
    w->stamp_pid();
    Py_RETURN_NONE;
}

PyObject* get_path(PyObject* self, void*) {
    const std::string& p = as_fw(self)->stored_path;
    return PyUnicode_DecodeFSDefaultAndSize(p.data(), static_cast<Py_ssize_t>(p.size()));
}

PyObject* get_fd(PyObject* self, void*) {
    FramedWriter* w = as_fw(self)->writer.get();
    return PyLong_FromLong(w ? w->fd() : -1);
}

PyObject* get_is_fifo(PyObject* self, void*) { return PyBool_FromLong(as_fw(self)->is_fifo); }

PyObject* get_bytes_written(PyObject* self, void*) {
    FramedWriter* w = as_fw(self)->writer.get();
    return PyLong_FromUnsignedLongLong(w ? w->bytes_written() : 0);
}

PyMethodDef methods[] = {
    {"write", claimed<py_write>, METH_O, "Write raw bytes to the buffer"},
    {"write_uint16", claimed<py_write_uint16>, METH_O, "Write a uint16 (little-endian)"},
    {"write_uint32", claimed<py_write_uint32>, METH_O, "Write a uint32 (little-endian)"},
    {"write_uint64", claimed<py_write_uint64>, METH_O, "Write a uint64 (little-endian)"},
    {"write_int64", claimed<py_write_int64>, METH_O, "Write an int64 (little-endian)"},
    {"write_float64", claimed<py_write_float64>, METH_O, "Write a float64 (IEEE 754)"},
    {"flush", claimed<py_flush>, METH_NOARGS, "Flush buffer as PID-framed chunks"},
    {"close", claimed<py_close>, METH_NOARGS, "Flush and close the file descriptor"},
    {"drain", claimed<py_flush>, METH_NOARGS, "Flush pending data (pre-fork)"},
    {"resume", claimed<py_resume>, METH_NOARGS, "Re-stamp PID after fork"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"path", get_path, nullptr, "File path", nullptr},
    {"fd", get_fd, nullptr, "Underlying fd", nullptr},
    {"is_fifo", get_is_fifo, nullptr, "True if output is FIFO", nullptr},
    {"bytes_written", get_bytes_written, nullptr, "Total unframed payload bytes written", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.FramedWriter";
    t.tp_basicsize = sizeof(PyFramedWriter);
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "PID-framed binary writer with typed primitive methods";
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = init;
    t.tp_new = tp_new;
    return t;
}

}  // namespace

PyTypeObject FramedWriter_Type = make_type();

FramedWriter* FramedWriter_get(PyObject* obj) {
    if (!obj || Py_TYPE(obj) != &FramedWriter_Type) {
        PyErr_SetString(PyExc_TypeError, "expected FramedWriter");
        return nullptr;
    }
    FramedWriter* w = as_fw(obj)->writer.get();
    if (!w) PyErr_SetString(PyExc_RuntimeError, "FramedWriter is not initialised");
    return w;
}

WriterUse::WriterUse(PyObject* writer_obj) {
    if (!writer_obj) return;
    user_ = &as_fw(writer_obj)->user;
    const unsigned long me = PyThread_get_thread_ident();
    unsigned long current = 0;
    if (user_->compare_exchange_strong(current, me, std::memory_order_acquire)) {
        owner_ = true;
    } else if (current != me) {
        refusal_ = "FramedWriter is in use by another thread";
    } else {
        // Nested on this thread: every flush runs under a claim, so only this thread
        // can be flushing it now.
        FramedWriter* w = as_fw(writer_obj)->writer.get();
        if (w && w->flushing()) refusal_ = "FramedWriter is flushing";
    }
}

void WriterUse::set_error() const {
    PyErr_SetString(PyExc_RuntimeError, refusal_ ? refusal_ : "FramedWriter is in use");
}

void FramedWriter_set_write_error(PyObject* writer_obj, int err) {
    PyObject* path = Py_TYPE(writer_obj) == &FramedWriter_Type ? get_path(writer_obj, nullptr)
                                                               : PyUnicode_FromString("");
    if (!path) return;
    PyObject* exc = PyObject_CallFunction(PyExc_OSError, "isO", err, std::strerror(err), path);
    Py_DECREF(path);
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
    }
}

}  // namespace tarnwick_stream
