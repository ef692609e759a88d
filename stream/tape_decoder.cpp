#include "tape_decoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <ctime>
#include <memory>
#include <new>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "binding.h"
#include "gilguard.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

// The byte-level helpers of the decode loop, inlined wherever they are used.
#define TARNWICK_HOT inline __attribute__((always_inline))

// Strings shorter than this decode from the per-thread scratch buffer.
constexpr size_t kScratchSize = 1024;
thread_local char scratch[kScratchSize];

// Payloads up to this size are allocated at once; larger ones grow as their bytes
// arrive, so a size field announcing more than the tape holds costs no more memory
// than the bytes present.
constexpr size_t kEagerPayload = size_t{1} << 20;
// Containers preallocate at most this many slots at any nesting level (every level
// of a nested tape may announce a huge count); beyond it see slots_for.
constexpr uint64_t kPreallocItems = 1024;
constexpr uint64_t kPresizeDict = 64;
// Stdio buffer of an open tape.
constexpr size_t kStreamBuffer = size_t{1} << 16;

template <Flavor F>
constexpr const char* closed_message() {
    return F == Flavor::TAPE_READER ? "TapeReader is closed" : "ObjectStreamReader is closed";
}

template <Flavor F>
constexpr const char* reader_name() {
    return F == Flavor::TAPE_READER ? "TapeReader" : "ObjectStream";
}

PyObject* check(PyObject* obj) {
    if (!obj) throw PythonErrorSet{};
    return obj;
}

[[noreturn]] void fail(PyObject* type, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

[[noreturn]] void fail(PyObject* type, const char* format, ...) {
    char text[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    PyErr_SetString(type, text);
    throw PythonErrorSet{};
}

size_t checked_size(uint64_t value, const char* label) {
    if constexpr (sizeof(size_t) < sizeof(uint64_t)) {
        if (value > SIZE_MAX)
            fail(PyExc_OverflowError, "%s too large for this platform: %llu", label,
                  static_cast<unsigned long long>(value));
    }
    return static_cast<size_t>(value);
}

int32_t checked_index(uint64_t value, const char* label) {
    if (value > static_cast<uint64_t>(INT32_MAX))
        fail(PyExc_OverflowError, "%s too large for this platform: %llu", label,
              static_cast<unsigned long long>(value));
    return static_cast<int32_t>(value);
}

PyObject* binding_lookup(uint64_t handle) { return check(Binding_New(handle)); }

// Whether the collector may have to follow obj, by the interpreter's own rule for
// tuples: a tuple that is untracked stays so; any other collected type may be
// tracked later.
TARNWICK_HOT bool may_be_tracked(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!PyType_IS_GC(type)) return false;
    if (type == &PyTuple_Type) return PyObject_GC_IsTracked(obj);
    return !type->tp_is_gc || type->tp_is_gc(obj);
}

// The interpreter's cached ints 0 to 256, looked up once. They are immortal, so the
// table holds them without counting references.
constexpr uint64_t kSmallInts = 257;
PyObject* small_ints[kSmallInts];

void look_up_small_ints() {
    if (small_ints[kSmallInts - 1]) return;
    for (uint64_t i = 0; i < kSmallInts; ++i) {
        PyObject* v = PyLong_FromLong(static_cast<long>(i));
        if (!v || !is_immortal(v)) {  // not the cached objects: keep calling the constructor
            Py_XDECREF(v);
            PyErr_Clear();
            return;
        }
        small_ints[i] = v;
    }
}

TARNWICK_HOT PyObject* uint_value(uint64_t v) {
    if (v < kSmallInts && small_ints[kSmallInts - 1]) return Py_NewRef(small_ints[v]);
    return check(PyLong_FromUnsignedLongLong(v));
}

// Bounds the nesting of records by the interpreter's own C recursion budget, so a
// deeply nested tape raises RecursionError instead of overflowing the C stack. The
// budget is counted on the thread state the decode fetched once, as the
// interpreter's inline guard does.
struct RecursionGuard {
    explicit RecursionGuard(PyThreadState* tstate) : tstate_(tstate) {
        if (tstate_->c_recursion_remaining-- <= 0) {
            ++tstate_->c_recursion_remaining;
            // Creating the exception object calls into the interpreter, which would
            // refuse with a recursion error of its own at an exhausted budget: the
            // headroom lets it through, as the interpreter's own check does.
            ++tstate_->recursion_headroom;
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while decoding a tape");
            --tstate_->recursion_headroom;
            throw PythonErrorSet{};
        }
    }
    ~RecursionGuard() { ++tstate_->c_recursion_remaining; }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

private:
    PyThreadState* tstate_;
};

// Sleeps ms milliseconds without the interpreter lock, resuming after signals for
// the time that remains.
void sleep_ms(int32_t ms) {
    if (ms <= 0) return;
    tarnwick::GILReleaseGuard unlocked;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Bytes the stream holds in its buffer, readable without a system call. Only the
// GNU C library shows them; elsewhere pipes are read with plain blocking reads.
#if defined(__GLIBC__)
constexpr bool kCanWatchPipes = true;
size_t buffered_bytes(FILE* file) {
    return static_cast<size_t>(file->_IO_read_end - file->_IO_read_ptr);
}
// Consumes n bytes from the stream's buffer when it holds them all, and returns
// where they are (valid until the stream is next read); null otherwise.
TARNWICK_HOT const char* take_buffered(FILE* file, size_t n) {
    if (buffered_bytes(file) < n) return nullptr;
    const char* p = file->_IO_read_ptr;
    file->_IO_read_ptr += n;
    return p;
}
// Where the next n bytes lie in the stream's buffer when it holds them all, without
// consuming them; null otherwise.
TARNWICK_HOT const char* peek_buffered(FILE* file, size_t n) {
    return buffered_bytes(file) >= n ? file->_IO_read_ptr : nullptr;
}
// Consumes n bytes that peek_buffered showed.
TARNWICK_HOT void skip_buffered(FILE* file, size_t n) { file->_IO_read_ptr += n; }
#else
constexpr bool kCanWatchPipes = false;
size_t buffered_bytes(FILE*) { return 0; }
const char* take_buffered(FILE*, size_t) { return nullptr; }
const char* peek_buffered(FILE*, size_t) { return nullptr; }
void skip_buffered(FILE*, size_t) {}
#endif

// Bytes waiting in a pipe.
size_t pipe_bytes(int fd) {
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) < 0 || pending < 0) return 0;
    return static_cast<size_t>(pending);
}

// Waits without the interpreter lock until fd is readable or hung up. A signal
// runs the Python handlers, whose exception ends the read.
void wait_readable(int fd) {
    for (;;) {
        int r;
        int err;
        {
            tarnwick::GILReleaseGuard unlocked;
            pollfd p{fd, POLLIN, 0};
            r = ::poll(&p, 1, -1);
            err = errno;
        }
        if (r >= 0 || err != EINTR) return;
        if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
    }
}

// Strict UTF-8 decoding, with ASCII text (the common case) copied straight into a
// new compact string.
TARNWICK_HOT PyObject* decode_utf8(const char* text, size_t n) {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, text + i, 8);
        high |= word;
    }
    for (; i < n; ++i) high |= static_cast<unsigned char>(text[i]);
    if ((high & 0x8080808080808080ull) == 0 && n > 1) {
        PyObject* s = check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
        std::memcpy(PyUnicode_DATA(s), text, n);
        return s;
    }
    return check(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), "strict"));
}

// A malloc'd buffer that grows and is freed on every path.
struct HeapBuffer {
    char* data = nullptr;
    ~HeapBuffer() { std::free(data); }
    char* grow(size_t size) {
        char* p = static_cast<char*>(std::realloc(data, size));
        if (!p) fail(PyExc_MemoryError, "Error allocating: %zu bytes", size);
        data = p;
        return p;
    }
};

// A W-byte little-endian number, whatever the host's byte order.
template <size_t W>
TARNWICK_HOT uint64_t load_le(const void* p) {
    if constexpr (W == 1) {
        return *static_cast<const unsigned char*>(p);
    } else if constexpr (W == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return le16toh(v);
    } else if constexpr (W == 4) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return le32toh(v);
    } else {
        static_assert(W == 8);
        uint64_t v;
        std::memcpy(&v, p, 8);
        return le64toh(v);
    }
}

}  // namespace

void DecoderTables::clear() {
    size_t n = 0;
    PyObject** strings = interned_strings.release(n);
    tsl::robin_map<int32_t, PyObject*> old;
    old.swap(interns);
    // Released after the tables are empty: a finaliser that runs here sees
    // consistent tables.
    for (size_t i = 0; i < n; ++i) Py_DECREF(strings[i]);
    std::free(strings);
    for (auto& kv : old) Py_DECREF(kv.second);
}

template <Flavor F>
TapeDecoder<F>::TapeDecoder(DecoderFields& fields, PyThreadState* tstate)
    : f_(fields), tables_(fields.tables), tstate_(tstate) {
    look_up_small_ints();
}

// --- Byte input ---

template <Flavor F>
FILE* TapeDecoder<F>::stream() {
    if (!f_.file) throw ReadError(closed_message<F>());
    return f_.file;
}

template <Flavor F>
void TapeDecoder<F>::rearm() {
    if (f_.file && feof_unlocked(f_.file)) clearerr_unlocked(f_.file);
}

template <Flavor F>
void TapeDecoder<F>::throw_short(size_t missing) {
    throw ReadError("Could not read: " + std::to_string(missing) +
                    " bytes from tracefile with timeout: " + std::to_string(f_.read_timeout) +
                    " milliseconds");
}

// Reads up to n bytes; fewer only at end of file or on an error. A regular file
// never blocks. A pipe would, so the interpreter lock is given up while the pipe
// has nothing to read, and then only the bytes already there are read: other
// threads (a writer in this process among them) run while the reader waits.
template <Flavor F>
size_t TapeDecoder<F>::fill(char* buf, size_t n) {
    if (!f_.is_pipe) return fread_unlocked(buf, 1, n, stream());
    size_t got = 0;
    while (got < n) {
        FILE* file = stream();
        size_t ready = buffered_bytes(file);
        if (ready == 0) {
            ready = pipe_bytes(fileno_unlocked(file));
            if (ready == 0) {
                wait_readable(fileno_unlocked(file));
                file = stream();  // close or reopen may have run meanwhile
                // With nothing to read after the wait, every writer has gone: a
                // one-byte read then returns end of file at once.
                ready = std::max<size_t>(pipe_bytes(fileno_unlocked(file)), 1);
            }
        }
        size_t want = std::min(n - got, ready);
        size_t r = fread_unlocked(buf + got, 1, want, file);
        got += r;
        if (r < want) break;
    }
    return got;
}

// The single retry of a short read: wait, then read the missing bytes once more.
// The end-of-file state is cleared first, or stdio would not look for bytes
// appended meanwhile. The stream is looked up again because close or reopen may
// have run while the lock was released.
template <Flavor F>
size_t TapeDecoder<F>::retry_after_wait(char* buf, size_t n) {
    sleep_ms(f_.read_timeout);
    clearerr_unlocked(stream());
    return fill(buf, n);
}

// Bytes already in the stream's buffer are taken inline, as getc does for one
// byte: sizes, numbers and short strings cost no library call.
template <Flavor F>
TARNWICK_HOT const char* TapeDecoder<F>::take(size_t n) {
    const char* p = f_.file ? take_buffered(f_.file, n) : nullptr;
    if (p) f_.bytes_read += n;
    return p;
}

template <Flavor F>
inline void TapeDecoder<F>::read_exact(char* buf, size_t n) {
    if (const char* p = take(n)) {
        std::memcpy(buf, p, n);
        return;
    }
    read_exact_slow(buf, n);
}

template <Flavor F>
void TapeDecoder<F>::read_exact_slow(char* buf, size_t n) {
    size_t got = fill(buf, n);
    if (got < n) got += retry_after_wait(buf + got, n - got);
    if (got < n) throw_short(n - got);
    f_.bytes_read += n;
}

// Reads n bytes into a buffer that grow(capacity) provides, growing it as bytes
// arrive. One wait and retry for the whole payload, as for read_exact.
template <Flavor F>
template <class Grow>
char* TapeDecoder<F>::read_growing(size_t n, Grow&& grow) {
    if (n <= kEagerPayload) {
        char* p = grow(n);
        read_exact(p, n);
        return p;
    }
    char* p = nullptr;
    size_t have = 0, capacity = 0;
    bool waited = false;
    while (have < n) {
        if (have == capacity) {
            capacity = capacity == 0 ? kEagerPayload : (capacity > n / 2 ? n : capacity * 2);
            p = grow(capacity);
        }
        size_t want = capacity - have;
        size_t got = fill(p + have, want);
        have += got;
        if (got < want) {
            if (waited) throw_short(n - have);
            waited = true;
            sleep_ms(f_.read_timeout);
            clearerr_unlocked(stream());
        }
    }
    f_.bytes_read += n;
    return p;
}

template <Flavor F>
TARNWICK_HOT Control TapeDecoder<F>::read_control() {
    if (const char* p = take(1)) return Control(static_cast<uint8_t>(*p));
    return read_control_slow();
}

template <Flavor F>
Control TapeDecoder<F>::read_control_slow() {
    FILE* file = stream();
    int c;
    if (!f_.is_pipe || buffered_bytes(file) > 0) {
        c = getc_unlocked(file);
    } else {
        unsigned char byte = 0;
        c = fill(reinterpret_cast<char*>(&byte), 1) == 1 ? byte : EOF;
    }
    if (c != EOF) {
        ++f_.bytes_read;
        return Control(static_cast<uint8_t>(c));
    }
    unsigned char byte = 0;
    if (retry_after_wait(reinterpret_cast<char*>(&byte), 1) < 1) throw_short(1);
    ++f_.bytes_read;
    return Control(byte);
}

template <Flavor F>
template <size_t W>
TARNWICK_HOT uint64_t TapeDecoder<F>::read_le() {
    unsigned char b[W];
    if (const char* p = take(W))
        std::memcpy(b, p, W);
    else
        read_exact_slow(reinterpret_cast<char*>(b), W);
    return load_le<W>(b);
}

// A size in the record's 1, 2, 4 or 8 following bytes is read without a branch on
// its width whenever the stream's buffer holds 8 bytes: the width then varies from
// record to record at no cost.
template <Flavor F>
TARNWICK_HOT uint64_t TapeDecoder<F>::read_unsigned_number(Control control) {
    uint8_t nibble = control.high();
    if (nibble <= MAX_INLINE_SIZE) return nibble;  // the size itself
    size_t width = size_t{1} << (nibble - ONE_BYTE_SIZE);
    unsigned shift = static_cast<unsigned>(64 - 8 * width);
    FILE* file = f_.file;
    if (const char* p = file ? peek_buffered(file, 8) : nullptr) [[likely]] {
        uint64_t v = load_le<8>(p);
        skip_buffered(file, width);
        f_.bytes_read += width;
        return (v << shift) >> shift;
    }
    unsigned char b[8] = {};
    read_exact_slow(reinterpret_cast<char*>(b), width);
    return (load_le<8>(b) << shift) >> shift;
}

// --- Values ---

template <Flavor F>
PyObject* TapeDecoder<F>::call_marker(PyObject* callable, PyObject* payload) {
    PyObjectPtr keep = PyObjectPtr::borrow(callable);
    return check(PyObject_CallOneArg(keep.get(), payload));
}

template <Flavor F>
void TapeDecoder<F>::store_intern(PyObject* payload) {
    auto& interns = tables_->interns;
    // Indices are signed 32-bit; a table that has used them all takes no more.
    int32_t key = -1;
    if constexpr (F == Flavor::TAPE_READER) {
        key = f_.intern_counter;
    } else {
        if (interns.size() <= static_cast<size_t>(INT32_MAX))
            key = static_cast<int32_t>(interns.size());
    }
    if (key < 0) fail(PyExc_OverflowError, "intern table is full");
    auto [it, inserted] = interns.try_emplace(key, payload);
    Py_INCREF(payload);
    if (!inserted) {
        PyObject* old = it->second;
        it.value() = payload;
        Py_DECREF(old);
    }
    if constexpr (F == Flavor::TAPE_READER)
        f_.intern_counter = key == INT32_MAX ? -1 : key + 1;
}

// The size of a sized record whose control c and following bytes lie at p (9 bytes
// readable), and in used the bytes that control and size take. Without a branch on
// the size class, which varies from record to record: both candidates are computed
// and one is selected.
template <Flavor F>
TARNWICK_HOT uint64_t TapeDecoder<F>::size_field(Control c, const char* p, size_t& used) {
    uint8_t nibble = c.high();
    bool inline_size = nibble <= MAX_INLINE_SIZE;
    size_t width = size_t{1} << ((nibble - ONE_BYTE_SIZE) & 3u);
    unsigned shift = static_cast<unsigned>(64 - 8 * width);
    uint64_t field = (load_le<8>(p + 1) << shift) >> shift;
    used = inline_size ? 1 : 1 + width;
    return inline_size ? nibble : field;
}

// One element of a container. The most frequent elements, small numbers and
// references to strings, are decoded right here; anything else by read().
template <Flavor F>
TARNWICK_HOT PyObject* TapeDecoder<F>::read_element() {
    FILE* file = f_.file;
    if (const char* p = file ? peek_buffered(file, 9) : nullptr) [[likely]] {
        Control c(static_cast<uint8_t>(*p));
        if (!c.is_fixed()) {
            size_t used;
            uint64_t size = size_field(c, p, used);
            skip_buffered(file, used);
            f_.bytes_read += used;
            if (c.low() == UINT) return uint_value(size);
            if (c.low() == STR_REF) return string_lookup(size);
            return sized_value(c, size);
        }
        if (c.high() == INT64) {
            int64_t v = static_cast<int64_t>(load_le<8>(p + 1));
            skip_buffered(file, 9);
            f_.bytes_read += 9;
            return check(PyLong_FromLongLong(v));
        }
    }
    return read();
}

// Nesting deepens only through containers, marker payloads and SERIALIZE_ERROR
// records, so those take the recursion budget (RecursionGuard) and plain scalars
// do not. Marker records are fixed-size, so a sized record skips their tests.
template <Flavor F>
PyObject* TapeDecoder<F>::read() {
    for (;;) {
        // A sized record's control byte and size field together, in one look at the
        // stream's buffer, when it holds the 9 bytes they may take.
        FILE* file = f_.file;
        if (const char* p = file ? peek_buffered(file, 9) : nullptr) [[likely]] {
            Control c(static_cast<uint8_t>(*p));
            if (!c.is_fixed()) {
                size_t used;
                uint64_t size = size_field(c, p, used);
                skip_buffered(file, used);
                f_.bytes_read += used;
                return sized_value(c, size);
            }
            if (c.high() == INT64) {
                int64_t v = static_cast<int64_t>(load_le<8>(p + 1));
                skip_buffered(file, 9);
                f_.bytes_read += 9;
                return check(PyLong_FromLongLong(v));
            }
        }
        Control c = read_control();
        if (!c.is_fixed()) return read_sized(c);
        // The fixed-size values first; the marker records after them.
        if (c.high() == INT64) return check(PyLong_FromLongLong(static_cast<int64_t>(read_le<8>())));
        if (c.high() == NONE) return Py_NewRef(Py_None);
        if (c == Intern) {
            if (f_.verbose)
                std::fprintf(stderr, "Vostrel - %s[%lu, %zu] - Inline INTERN\n",
                             reader_name<F>(), static_cast<unsigned long>(f_.messages_read),
                             static_cast<size_t>(f_.bytes_read - 1));  // the record's start
            RecursionGuard guard(tstate_);
            PyObjectPtr payload(read());
            store_intern(payload.get());
            ++f_.messages_read;
            continue;
        }
        if constexpr (F == Flavor::TAPE_READER) {
            if (c == Dropped || c == Heartbeat) {
                RecursionGuard guard(tstate_);
                PyObjectPtr payload(read());
                ++f_.messages_read;
                PyObject* callable = c == Dropped ? f_.create_dropped : f_.create_heartbeat;
                if (callable) return call_marker(callable, payload.get());
                continue;
            }
        }
        return read_fixedsize(c.high());
    }
}

template <Flavor F>
PyObject* TapeDecoder<F>::read(Control control) {
    if (control.is_fixed()) return read_fixedsize(control.high());
    return read_sized(control);
}

// The value of a sized record of type T whose size has been read.
template <Flavor F>
template <uint8_t T>
inline PyObject* TapeDecoder<F>::sized_record(uint64_t size) {
    if constexpr (T == BYTES) return read_bytes(checked_size(size, "bytes size"));
    if constexpr (T == LIST) return read_list(checked_size(size, "list size"));
    if constexpr (T == DICT) return read_dict(checked_size(size, "dict size"));
    if constexpr (T == TUPLE) return read_tuple(checked_size(size, "tuple size"));
    if constexpr (T == STR) {
        PyObject* s = read_str(checked_size(size, "string size"));
        if (!tables_->interned_strings.push_back(s)) {
            Py_DECREF(s);
            PyErr_NoMemory();
            throw PythonErrorSet{};
        }
        return Py_NewRef(s);
    }
    if constexpr (T == PICKLED) return read_pickled(checked_size(size, "pickled size"));
    if constexpr (T == UINT) return uint_value(size);
    if constexpr (T == BIGINT) return read_bigint(checked_size(size, "bigint size"));
    if constexpr (T == SET || T == FROZENSET) {
        if constexpr (F == Flavor::TAPE_READER)
            return read_set(checked_size(size, T == SET ? "set size" : "frozenset size"),
                            T == FROZENSET);
        fail(PyExc_RuntimeError, "unknown sized type: %i", static_cast<int>(T));
    }
    if constexpr (T == BINDING) return binding_lookup(size);
    if constexpr (T == INTERN) return intern_lookup(size);
    if constexpr (T == STR_REF) return string_lookup(size);
}

template <Flavor F>
TARNWICK_HOT PyObject* TapeDecoder<F>::read_sized(Control control) {
    return sized_value(control, read_unsigned_number(control));
}

template <Flavor F>
TARNWICK_HOT PyObject* TapeDecoder<F>::sized_value(Control control, uint64_t size) {
    switch (control.low()) {
        case BYTES: return sized_record<BYTES>(size);
        case LIST: return sized_record<LIST>(size);
        case DICT: return sized_record<DICT>(size);
        case TUPLE: return sized_record<TUPLE>(size);
        case STR: return sized_record<STR>(size);
        case PICKLED: return sized_record<PICKLED>(size);
        case UINT: return sized_record<UINT>(size);
        case BIGINT: return sized_record<BIGINT>(size);
        case SET: return sized_record<SET>(size);
        case FROZENSET: return sized_record<FROZENSET>(size);
        case BINDING: return sized_record<BINDING>(size);
        case INTERN: return sized_record<INTERN>(size);
        case STR_REF: return sized_record<STR_REF>(size);
        default: break;
    }
    fail(PyExc_RuntimeError, "unknown sized type: %i", static_cast<int>(control.low()));
}

template <Flavor F>
PyObject* TapeDecoder<F>::intern_lookup(uint64_t index) {
    int32_t key = checked_index(index, "intern index");
    auto it = tables_->interns.find(key);
    if (it == tables_->interns.end())
        fail(PyExc_RuntimeError, "unknown intern index: %d", static_cast<int>(key));
    return Py_NewRef(it->second);
}

template <Flavor F>
TARNWICK_HOT PyObject* TapeDecoder<F>::string_lookup(uint64_t index) {
    size_t i = checked_size(index, "string ref index");
    auto& strings = tables_->interned_strings;
    if (i >= strings.size()) fail(PyExc_RuntimeError, "unknown string intern index: %zu", i);
    return Py_NewRef(strings[i]);
}

template <Flavor F>
PyObject* TapeDecoder<F>::read_fixedsize(uint8_t subtype) {
    switch (subtype) {
        case NONE: return Py_NewRef(Py_None);
        case FLOAT: {
            uint64_t bits = read_le<8>();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return check(PyFloat_FromDouble(d));
        }
        case INT64: return check(PyLong_FromLongLong(static_cast<int64_t>(read_le<8>())));
        case SERIALIZE_ERROR: {
            RecursionGuard guard(tstate_);
            return read();
        }
        case HEARTBEAT:
            if constexpr (F == Flavor::OBJECT_STREAM) {
                // A heartbeat where a value is expected stands for the callable's
                // no-argument result; its payload is read as the next value.
                if (f_.create_heartbeat) {
                    PyObjectPtr keep = PyObjectPtr::borrow(f_.create_heartbeat);
                    return check(PyObject_CallNoArgs(keep.get()));
                }
                return Py_NewRef(Py_None);
            }
            break;
        default: break;
    }
    const char* name = FixedSizeTypes_Name(static_cast<FixedSizeTypes>(subtype));
    if (name)
        fail(PyExc_RuntimeError, "unhandled subtype: %s (0x%02X) for FixedSized at byte %zu, message %zu",
              name, static_cast<unsigned>(subtype), static_cast<size_t>(f_.bytes_read),
              static_cast<size_t>(f_.messages_read));
    fail(PyExc_RuntimeError, "Unknown subtype: %i (0x%02X) for FixedSized at byte %zu, message %zu",
          static_cast<int>(subtype), static_cast<unsigned>(subtype),
          static_cast<size_t>(f_.bytes_read), static_cast<size_t>(f_.messages_read));
}

// Slots to make up front for a list or tuple of n elements: up to kPreallocItems at
// any level, and more only out of a budget of the bytes the tape file still holds
// past this point (each element takes at least one byte), spent once per top-level
// value. A count larger than the tape can back costs no more than the tape's size.
template <Flavor F>
uint64_t TapeDecoder<F>::slots_for(uint64_t n) {
    if (n <= kPreallocItems) return n;
    if (!budget_known_) {
        budget_known_ = true;
        struct stat st;
        FILE* file = f_.file;
        if (file && !f_.is_pipe && fstat(fileno_unlocked(file), &st) == 0) {
            off_t pos = ftello(file);
            if (pos >= 0 && st.st_size > pos) budget_ = static_cast<uint64_t>(st.st_size - pos);
        }
    }
    uint64_t extra = std::min(n - kPreallocItems, budget_);
    budget_ -= extra;
    return kPreallocItems + extra;
}

// A list is created empty with room for its preallocated slots and grows by one
// element as each arrives, so it is a complete, consistent list at every moment:
// Python code that runs meanwhile (a callable, a finaliser) and finds it through
// the collector sees the elements read so far and nothing else. It is tracked from
// the start, ahead of its elements, the order in which the collector walks a young
// generation cheapest.
template <Flavor F>
PyObject* TapeDecoder<F>::read_list(uint64_t n) {
    if (n == 0) return check(PyList_New(0));
    RecursionGuard guard(tstate_);
    Py_ssize_t first = static_cast<Py_ssize_t>(slots_for(n));
    PyObjectPtr list(check(PyList_New(first)));
    auto* l = reinterpret_cast<PyListObject*>(list.get());
    Py_SET_SIZE(l, 0);
    for (uint64_t i = 0; i < n; ++i) {
        PyObject* item = read_element();
        // Looked up afresh for each element: Python code may have changed the list.
        Py_ssize_t size = Py_SIZE(l);
        if (size < l->allocated) {
            l->ob_item[size] = item;
            Py_SET_SIZE(l, size + 1);
        } else {
            PyObjectPtr owned(item);
            if (PyList_Append(list.get(), item) < 0) throw PythonErrorSet{};
        }
    }
    return list.release();
}

// A tuple is tracked from its creation, like a list, with None (immortal, so
// holding it counts no reference) in every slot that its element has not reached
// yet: Python code that runs meanwhile and finds it through the collector sees a
// complete tuple, never an empty slot.
template <Flavor F>
PyObject* TapeDecoder<F>::read_tuple(uint64_t n) {
    if (n == 0) return check(PyTuple_New(0));
    if (n > kPreallocItems) {
        PyObjectPtr list(read_list(n));
        return check(PyList_AsTuple(list.get()));
    }
    RecursionGuard guard(tstate_);
    Py_ssize_t len = static_cast<Py_ssize_t>(n);
    PyObjectPtr tuple(check(PyTuple_New(len)));
    PyObject** items = reinterpret_cast<PyTupleObject*>(tuple.get())->ob_item;
    for (Py_ssize_t i = 0; i < len; ++i) items[i] = Py_None;
    bool atomic = true;
    for (Py_ssize_t i = 0; i < len; ++i) {
        PyObject* item = read_element();
        items[i] = item;
        atomic = atomic && !may_be_tracked(item);
    }
    // A tuple of objects the collector never follows cannot be part of a cycle:
    // untracked now, as the collector would untrack it at its first pass.
    if (atomic) PyObject_GC_UnTrack(tuple.get());
    return tuple.release();
}

template <Flavor F>
PyObject* TapeDecoder<F>::read_dict(uint64_t n) {
    Py_ssize_t presize = static_cast<Py_ssize_t>(n < kPresizeDict ? n : kPresizeDict);
    RecursionGuard guard(tstate_);
    PyObjectPtr dict(check(_PyDict_NewPresized(presize)));
    for (uint64_t i = 0; i < n; ++i) {
        PyObjectPtr key(read_element());
        PyObjectPtr value(read_element());
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonErrorSet{};
    }
    return dict.release();
}

template <Flavor F>
PyObject* TapeDecoder<F>::read_set(uint64_t n, bool frozen) {
    RecursionGuard guard(tstate_);
    PyObjectPtr set(check(PySet_New(nullptr)));
    for (uint64_t i = 0; i < n; ++i) {
        PyObjectPtr item(read_element());
        if (PySet_Add(set.get(), item.get()) < 0) throw PythonErrorSet{};
    }
    if (frozen) return check(PyFrozenSet_New(set.get()));
    return set.release();
}

template <Flavor F>
TARNWICK_HOT PyObject* TapeDecoder<F>::read_str(size_t n) {
    if (n < kScratchSize) {
        // Decoded where the bytes lie in the stream's buffer, or else from the
        // thread's scratch buffer: no allocation either way.
        const char* text = take(n);
        if (!text) {
            if (!scratch_) scratch_ = scratch;
            read_exact_slow(scratch_, n);
            scratch_[n] = '\0';
            text = scratch_;
        }
        return decode_utf8(text, n);
    }
    HeapBuffer heap;
    char* buf = read_growing(n, [&](size_t capacity) {
        return heap.grow(capacity == n ? n + 1 : capacity);
    });
    buf[n] = '\0';
    return check(PyUnicode_DecodeUTF8(buf, static_cast<Py_ssize_t>(n), "strict"));
}

template <Flavor F>
PyObject* TapeDecoder<F>::read_bytes(size_t n) {
    if (n == 0) return check(PyBytes_FromStringAndSize(nullptr, 0));
    if (const char* p = take(n)) return check(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
    PyObject* raw = nullptr;
    PyObjectPtr owner;
    read_growing(n, [&](size_t capacity) -> char* {
        if (!raw) {
            raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
        } else {
            owner.release();
            if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(capacity)) < 0) raw = nullptr;
        }
        if (!raw) throw PythonErrorSet{};
        owner.reset(raw);
        return PyBytes_AS_STRING(raw);
    });
    return owner.release();
}

template <Flavor F>
PyObject* TapeDecoder<F>::read_pickled(size_t n) {
    PyObjectPtr payload(read_bytes(n));
    if (!f_.create_pickled) throw ReadError("no deserialize callable");
    PyObjectPtr keep = PyObjectPtr::borrow(f_.create_pickled);
    return check(PyObject_CallOneArg(keep.get(), payload.get()));
}

template <Flavor F>
PyObject* TapeDecoder<F>::read_bigint(size_t n) {
    if (n == 0) return check(PyLong_FromLong(0));
    HeapBuffer heap;
    char* buf = read_growing(n, [&](size_t capacity) { return heap.grow(capacity); });
    return check(_PyLong_FromByteArray(reinterpret_cast<unsigned char*>(buf), n,
                                       /*little_endian=*/0, /*is_signed=*/1));
}

// --- ObjectStream's top level ---

template <Flavor F>
Control TapeDecoder<F>::consume(uint64_t& start) {
    for (;;) {
        start = f_.bytes_read;
        Control c = read_control();
        if (c != Intern) return c;
        if (f_.verbose)
            std::fprintf(stderr, "Vostrel - ObjectStream[%lu, %lu] - Consumed INTERN\n",
                         static_cast<unsigned long>(f_.messages_read),
                         static_cast<unsigned long>(start));
        PyObjectPtr payload(read());
        store_intern(payload.get());
        ++f_.messages_read;
    }
}

// A run of markers without a callable is skipped in a loop, however long it is.
template <Flavor F>
PyObject* TapeDecoder<F>::next() {
    for (;;) {
        uint64_t start = 0;
        Control c = consume(start);
        if (c == Dropped || c == Heartbeat) {
            bool dropped = c == Dropped;
            PyObjectPtr payload(read());
            if (f_.verbose) {
                if (dropped)
                    std::fprintf(stderr, "Vostrel - ObjectStream[%lu, %lu] - Consumed DROPPED(%s)\n",
                                 static_cast<unsigned long>(f_.messages_read),
                                 static_cast<unsigned long>(start),
                                 trace_text(payload.get()).c_str());
                else
                    std::fprintf(stderr, "Vostrel - ObjectStream[%lu, %lu] - Consumed HEARTBEAT\n",
                                 static_cast<unsigned long>(f_.messages_read),
                                 static_cast<unsigned long>(start));
            }
            ++f_.messages_read;
            PyObject* callable = dropped ? f_.create_dropped : f_.create_heartbeat;
            if (callable) return call_marker(callable, payload.get());
            continue;
        }
        PyObjectPtr value(read(c));
        if (f_.verbose)
            std::fprintf(stderr, "Vostrel - ObjectStream[%lu, %lu] - Read: %s\n",
                         static_cast<unsigned long>(f_.messages_read),
                         static_cast<unsigned long>(start), trace_text(value.get()).c_str());
        ++f_.messages_read;
        return value.release();
    }
}

template class TapeDecoder<Flavor::TAPE_READER>;
template class TapeDecoder<Flavor::OBJECT_STREAM>;

// --- Lifecycle helpers ---

FILE* open_tape(PyObject* path, char*& buffer) {
    PyObjectPtr encoded(PyUnicode_EncodeFSDefault(path));
    if (!encoded) return nullptr;
    const char* name = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(name) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
    }
    FILE* file;
    int err;
    bool no_memory = false;
    {
        // Opening a named pipe waits for its writer, which may be another thread.
        tarnwick::GILReleaseGuard unlocked;
        do {
            file = std::fopen(name, "rbe");
        } while (!file && errno == EINTR);
        err = errno;
        // The C library sizes a buffer of its own by the file's block size, often
        // 4 KiB: one read(2) per 4 KiB of tape. A buffer of ours makes it one per
        // kStreamBuffer bytes.
        if (file) {
            buffer = static_cast<char*>(std::malloc(kStreamBuffer));
            if (!buffer) {
                std::fclose(file);
                file = nullptr;
                no_memory = true;
            } else if (setvbuf(file, buffer, _IOFBF, kStreamBuffer) != 0) {
                // The stream keeps the library's own buffer.
                std::free(buffer);
                buffer = nullptr;
            }
        }
    }
    if (no_memory) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!file)
        PyErr_Format(PyExc_OSError, "Could not open file: %S, mode: %s for reader, error: %s",
                     path, "rb", std::strerror(err));
    return file;
}

static void seek_to(FILE* file, long long offset) {
    // The result is not examined: a position past the end reads as a short read.
    if (offset > 0) (void)fseeko(file, static_cast<off_t>(offset), SEEK_SET);
}

// Installs a freshly opened stream and its buffer; one that another thread opened
// meanwhile is closed.
static void install_file(DecoderFields& f, FILE* file, char* buffer) {
    close_decoder_file(f);
    f.file = file;
    f.file_buffer = buffer;
    struct stat st;
    f.is_pipe = kCanWatchPipes && fstat(fileno(file), &st) == 0 && !S_ISREG(st.st_mode) &&
                !S_ISBLK(st.st_mode);
}

int init_decoder_fields(DecoderFields& f, PyObject* path, PyObject* deserialize,
                        int read_timeout, int verbose, PyObject* on_dropped,
                        PyObject* on_heartbeat, long long start_offset) {
    if (f.tables) {
        PyErr_SetString(PyExc_RuntimeError, "reader is already initialized");
        return -1;
    }
    try {
        f.tables = new DecoderTables();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    f.create_pickled = Py_NewRef(deserialize);
    f.create_dropped = Py_XNewRef(on_dropped);
    f.create_heartbeat = Py_XNewRef(on_heartbeat);
    f.read_timeout = read_timeout;
    f.verbose = verbose != 0;
    f.path = Py_NewRef(path);
    char* buffer = nullptr;
    FILE* file = open_tape(path, buffer);
    if (!file) return -1;
    install_file(f, file, buffer);
    seek_to(file, start_offset);
    return 0;
}

void close_decoder_file(DecoderFields& f) {
    if (FILE* file = f.file) {
        f.file = nullptr;
        std::fclose(file);
    }
    std::free(std::exchange(f.file_buffer, nullptr));
}

PyObject* decoder_file_offset(DecoderFields& f) {
    if (!f.file) {
        PyErr_SetString(PyExc_RuntimeError, "file is not open");
        return nullptr;
    }
    off_t pos = ftello(f.file);
    if (pos < 0) return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLongLong(static_cast<long long>(pos));
}

PyObject* decoder_reopen(DecoderFields& f, long long offset) {
    if (!f.path) {
        PyErr_SetString(PyExc_RuntimeError, "no path stored");
        return nullptr;
    }
    close_decoder_file(f);
    PyObjectPtr path = PyObjectPtr::borrow(f.path);
    char* buffer = nullptr;
    FILE* file = open_tape(path.get(), buffer);
    if (!file) return nullptr;
    install_file(f, file, buffer);
    seek_to(file, offset);
    Py_RETURN_NONE;
}

int traverse_decoder_fields(DecoderFields& f, visitproc visit, void* arg) {
    Py_VISIT(f.path);
    Py_VISIT(f.create_pickled);
    Py_VISIT(f.create_dropped);
    Py_VISIT(f.create_heartbeat);
    // The intern table's values too: a payload that a callable built may refer back
    // to the reader. Strings cannot take part in cycles and are skipped.
    if (f.tables)
        for (auto& kv : f.tables->interns) Py_VISIT(kv.second);
    return 0;
}

void clear_decoder_fields(DecoderFields& f) {
    if (f.tables) f.tables->clear();
    Py_CLEAR(f.path);
    Py_CLEAR(f.create_pickled);
    Py_CLEAR(f.create_dropped);
    Py_CLEAR(f.create_heartbeat);
}

void set_python_error_from_decode_failure(const char* unknown_text) {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, unknown_text);
    } catch (const std::bad_alloc&) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, unknown_text);
    }
}

std::string trace_text(PyObject* obj) {
    PyObjectPtr text(PyObject_Str(obj));
    if (text) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
        if (utf8) return std::string(utf8, static_cast<size_t>(len));
    }
    PyErr_Clear();
    return std::string("<unprintable ") + Py_TYPE(obj)->tp_name + " object>";
}

}  // namespace tarnwick_stream
