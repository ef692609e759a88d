// Native serialisation of the Persister: values to tape records, the string table, the
// object intern table and the roll-back of a value that fails part-way.
#include "persister.h"

#include <algorithm>
#include <climits>
#include <new>
#include <stdexcept>

#include "binding.h"
#include "gilguard.h"
#include "py_framed_writer.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

// Hard cap on nesting whatever the interpreter's recursion limit says.
constexpr int MAX_WRITE_DEPTH = 10000;
// Native stack one top-level value may use below the frame that started it, so that a
// raised recursion limit cannot overflow the stack of the thread that writes (frames
// are larger in instrumented builds; callbacks run on top of the deepest level).
constexpr uintptr_t STACK_BUDGET = 2 * 1024 * 1024;

// How many elements ahead a container walk prefetches.
constexpr Py_ssize_t PREFETCH_AHEAD = 4;

uintptr_t stack_position() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

// One level of nesting of write(); raises RecursionError past the interpreter's
// recursion limit or the stack budget.
class Level {
public:
    explicit Level(Persister* p) : p_(p), ok_(++p->depth <= p->depth_limit) {
        if (ok_) {
            uintptr_t here = stack_position();
            uintptr_t used = here < p->stack_base ? p->stack_base - here : here - p->stack_base;
            ok_ = used <= STACK_BUDGET;
        }
        if (!ok_)
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while persisting a value");
    }
    ~Level() { --p_->depth; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;
    bool ok() const { return ok_; }

private:
    Persister* p_;
    bool ok_;
};

}  // namespace

// Everything one top-level value changes: buffer length, byte and table counters, and
// the journal positions of the tables. A failed value is withdrawn completely, so the
// tape stays decodable and later references keep naming the right entries.
class Transaction {
public:
    explicit Transaction(Persister* p)
        : p_(p),
          writer_(p->fw),
          buf_mark_(p->fw->buffered()),
          bytes_mark_(p->bytes_written),
          str_counter_(p->interned_counter),
          intern_counter_(p->intern_counter),
          strings_mark_(p->added_strings.size()),
          undo_mark_(p->intern_undo.size()) {
        if (p->depth == 0) {
            p->depth_limit = std::min(Py_GetRecursionLimit(), MAX_WRITE_DEPTH);
            p->stack_base = stack_position();
        }
    }
    ~Transaction() {
        if (!done_) rollback();  // a thrown failure
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        done_ = true;
        p_->sync();
        // Entries overwritten by this value give up their references now.
        for (size_t i = undo_mark_; i < p_->intern_undo.size(); ++i) {
            InternUndo& u = p_->intern_undo[i];
            if (u.had_old) {
                PyObject* old = u.old.held;
                u.had_old = false;
                u.old.held = nullptr;
                Py_XDECREF(old);
            }
        }
        p_->intern_undo.resize(undo_mark_);
        p_->added_strings.resize(strings_mark_);
    }

    void rollback() {
        done_ = true;
        // Releasing references may run finalizers: keep the pending error aside.
        PyObject* exc = PyErr_GetRaisedException();
        while (p_->intern_undo.size() > undo_mark_) {
            InternUndo u = p_->intern_undo.back();
            p_->intern_undo.pop_back();
            PyObject* drop = nullptr;
            auto it = p_->interns.find(u.key);
            if (it != p_->interns.end()) {
                drop = it->second.held;
                if (u.had_old)
                    it.value() = u.old;
                else
                    p_->interns.erase(it);
            } else if (u.had_old) {
                drop = u.old.held;  // cannot happen: the entry was there when journaled
            }
            Py_XDECREF(drop);
        }
        while (p_->added_strings.size() > strings_mark_) {
            PyObject* s = p_->added_strings.back();
            p_->added_strings.pop_back();
            Persister::StrCacheSlot& slot = p_->str_cache[Persister::str_cache_slot(s)];
            if (slot.str == s) slot.str = nullptr;
            if (p_->interned_index.erase(s)) Py_DECREF(s);
        }
        p_->interned_counter = str_counter_;
        p_->intern_counter = intern_counter_;
        p_->bytes_written = bytes_mark_;
        p_->staged = 0;
        // Bytes of this value still in the buffer are cut off. A callback that flushed
        // or re-initialised the writer meanwhile leaves nothing here to cut.
        if (p_->current_writer() == writer_ && writer_->buffered() >= buf_mark_)
            writer_->truncate(buf_mark_);
        PyErr_SetRaisedException(exc);
    }

private:
    Persister* p_;
    FramedWriter* writer_;
    size_t buf_mark_;
    size_t bytes_mark_;
    uint64_t str_counter_;
    int intern_counter_;
    size_t strings_mark_;
    size_t undo_mark_;
    bool done_ = false;
};

bool Persister::construct_native() {
    framed_writer_obj = nullptr;
    fw = nullptr;
    serializer = nullptr;
    intern_serializer = nullptr;
    new (&interns) InternTable();
    intern_counter = 0;
    bytes_written = 0;
    verbose = false;
    new (&interned_index) StringTable();
    str_cache = nullptr;
    interned_counter = 0;
    new (&added_strings) std::vector<PyObject*>();
    new (&intern_undo) std::vector<InternUndo>();
    depth = 0;
    stack_base = 0;
    callbacks = 0;
    depth_limit = MAX_WRITE_DEPTH;
    new (&in_use) std::atomic<bool>(false);
    staged = 0;
    str_cache = new (std::nothrow) StrCacheSlot[STR_CACHE_SIZE]();
    return str_cache != nullptr;
}

void Persister::destroy_native() {
    interns.~InternTable();
    interned_index.~StringTable();
    delete[] str_cache;
    str_cache = nullptr;
    added_strings.~vector();
    intern_undo.~vector();
    in_use.~atomic();
}

FramedWriter* Persister::current_writer() const {
    if (!framed_writer_obj) return nullptr;
    return reinterpret_cast<PyFramedWriter*>(framed_writer_obj)->writer.get();
}

bool Persister::attach_writer() {
    fw = current_writer();
    return fw != nullptr;
}

// After Python code ran: a callback may have re-initialised the FramedWriter, which
// destroys the native writer fw points to.
bool Persister::writer_still_attached() {
    if (current_writer() == fw) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "the FramedWriter was re-initialised while a value was being written");
    return false;
}

// A size above 11: the smallest class that holds it (255, 65535 and 4294967295 take
// the next class up).
void Persister::write_size_with_bytes(SizedTypes type, uint64_t n) {
    uint8_t* d = stage_room(9);
    size_t width;
    if (n <= 254) {
        d[0] = sized_control(type, ONE_BYTE_SIZE);
        width = 1;
    } else if (n <= 65534) {
        d[0] = sized_control(type, TWO_BYTE_SIZE);
        width = 2;
    } else if (n <= 4294967294ULL) {
        d[0] = sized_control(type, FOUR_BYTE_SIZE);
        width = 4;
    } else {
        d[0] = sized_control(type, EIGHT_BYTE_SIZE);
        width = 8;
    }
    for (size_t i = 0; i < width; ++i) d[1 + i] = static_cast<uint8_t>(n >> (8 * i));
    staged += 1 + width;
}

void Persister::write_negative_int(int64_t v) {
    uint8_t* d = stage_room(9);
    d[0] = create_fixed_size(INT64).raw;
    const uint64_t u = static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) d[1 + i] = static_cast<uint8_t>(u >> (8 * i));
    staged += 9;
}

bool Persister::write_long(PyObject* obj) {
    PyLongObject* lo = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(lo)) {
        write_sized_int(static_cast<int64_t>(PyUnstable_Long_CompactValue(lo)));

        return true;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow) return write_fallback(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    write_sized_int(v);
    return true;
}

bool Persister::write_str_value(PyObject* str) {
    const char* data;
    Py_ssize_t len;
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        // The characters are the UTF-8 form; they follow the object header.
        data = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
        len = PyUnicode_GET_LENGTH(str);
    } else if (reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8) {
        data = reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8;
        len = reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8_length;
    } else {
        return write_str_value_slow(str);
    }
    const size_t n = static_cast<size_t>(len);
    if (n <= MAX_INLINE_SIZE && STAGE_SIZE - staged > MAX_INLINE_SIZE) {
        // Short text: header and bytes in one go.
        uint8_t* d = stage + staged;
        d[0] = sized_control(STR, static_cast<uint8_t>(n));
        std::memcpy(d + 1, data, n);
        staged += 1 + n;
        return true;
    }
    write_size(STR, n);
    emit_bytes(reinterpret_cast<const uint8_t*>(data), static_cast<long>(len));
    return true;
}

bool Persister::write_str_value_slow(PyObject* str) {
    Py_ssize_t len;
    const char* data;
    {
        tarnwick::GILGuard gil;
        data = PyUnicode_AsUTF8AndSize(str, &len);  // creates and caches the form
        if (!data) throw PersisterFailure();         // lone surrogates: UnicodeEncodeError
    }
    write_size(STR, static_cast<uint64_t>(len));
    emit_bytes(reinterpret_cast<const uint8_t*>(data), static_cast<long>(len));
    return true;
}

bool Persister::write_string(PyObject* str) {
    if (is_interned_unicode(str)) {
        StrCacheSlot& slot = str_cache[str_cache_slot(str)];
        if (slot.str == str) {
            write_size(STR_REF, slot.index);
            return true;
        }
        auto it = interned_index.find(str);
        if (it != interned_index.end()) {
            slot = StrCacheSlot{str, it->second};
            write_size(STR_REF, it->second);
            return true;
        }
        return write_new_interned_string(str);
    }
    write_str_value(str);
    ++interned_counter;
    return true;
}

bool Persister::write_new_interned_string(PyObject* str) {
    // Registered only once its record is in the buffer: a string that cannot be
    // encoded takes no index.
    write_str_value(str);
    added_strings.push_back(str);
    interned_index.emplace(str, interned_counter);
    Py_INCREF(str);
    ++interned_counter;
    return true;
}

void Persister::write_bytes_header(PyObject* bytes) {
    write_size(BYTES, static_cast<uint64_t>(PyBytes_GET_SIZE(bytes)));
}

void Persister::write_bytes_data(PyObject* bytes) {
    emit_bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
               static_cast<long>(PyBytes_GET_SIZE(bytes)));
}

void Persister::write_bytes_value(PyObject* bytes) {
    write_bytes_header(bytes);
    write_bytes_data(bytes);
}

void Persister::write_pickled_value(PyObject* bytes) {
    write_size(PICKLED, static_cast<uint64_t>(PyBytes_GET_SIZE(bytes)));
    write_bytes_data(bytes);
}

namespace {

// Values whose writing runs no Python code: nothing can free them or change the
// container they sit in while they are written, so they need not be held.
inline bool is_inert(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type || type == &PyBytes_Type || obj == Py_None) return true;
    return type == &PyLong_Type &&
           PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj));
}

}  // namespace

// Python code runs only inside callbacks (serializer, intern serializer), and a callback
// may change the container being walked, free its elements or re-initialise the
// writer. So every element that may lead to a callback is held while it is written,
// and after any callback the container's size and the writer are checked again.
bool Persister::write_element(PyObject* item) {
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyLong_Type) {
        PyLongObject* lo = reinterpret_cast<PyLongObject*>(item);
        if (PyUnstable_Long_IsCompact(lo)) {
            write_sized_int(PyUnstable_Long_CompactValue(lo));
            return true;
        }
    } else if (type == &PyUnicode_Type) {
        return write_string(item);
    } else if (type == &PyTuple_Type) {
        PyObjectPtr held(Py_NewRef(item));
        return write_tuple(item);
    } else if (type == &PyBytes_Type) {
        write_bytes_value(item);
        return true;
    } else if (type == &PyList_Type) {
        PyObjectPtr held(Py_NewRef(item));
        return write_list(item);
    } else if (type == &PyDict_Type) {
        PyObjectPtr held(Py_NewRef(item));
        return write_dict(item);
    } else if (item == Py_None) {
        emit(NONE);
        return true;
    }
    PyObjectPtr held(Py_NewRef(item));
    return write(item);
}

bool Persister::callbacks_left_intact(uint64_t& seen, bool size_changed, const char* what) {
    if (callbacks == seen) return true;
    seen = callbacks;
    if (size_changed) {
        PyErr_Format(PyExc_RuntimeError, "%s changed size while it was persisted", what);
        return false;
    }
    return writer_still_attached();
}

bool Persister::write_list(PyObject* list) {
    Level level(this);
    if (!level.ok()) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    write_size(LIST, static_cast<uint64_t>(n));
    uint64_t seen = callbacks;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // The header already promised n elements.
        if (!callbacks_left_intact(seen, PyList_GET_SIZE(list) != n, "list")) return false;
        // Elements live all over the heap: start loading a later one's header now.
        if (i + PREFETCH_AHEAD < n) __builtin_prefetch(PyList_GET_ITEM(list, i + PREFETCH_AHEAD));
        if (!write_element(PyList_GET_ITEM(list, i))) return false;
    }
    return true;
}

bool Persister::write_tuple(PyObject* tuple) {
    Level level(this);
    if (!level.ok()) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    write_size(TUPLE, static_cast<uint64_t>(n));
    uint64_t seen = callbacks;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A tuple holds its items and is itself held: only the writer can change.
        if (!callbacks_left_intact(seen, false, "tuple")) return false;
        if (i + PREFETCH_AHEAD < n) __builtin_prefetch(PyTuple_GET_ITEM(tuple, i + PREFETCH_AHEAD));
        if (!write(PyTuple_GET_ITEM(tuple, i))) return false;
    }
    return true;
}

bool Persister::write_dict(PyObject* dict) {
    Level level(this);
    if (!level.ok()) return false;
    const Py_ssize_t n = PyDict_GET_SIZE(dict);
    if (n < 0) return false;
    write_size(DICT, static_cast<uint64_t>(n));
    uint64_t seen = callbacks;
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!callbacks_left_intact(seen, PyDict_GET_SIZE(dict) != n, "dictionary")) return false;
        if (!PyDict_Next(dict, &pos, &k, &v)) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size while it was persisted");
            return false;
        }
        if (is_inert(k)) {
            // Writing the key runs no callback: the value is still the dict's.
            write(k);
            if (!write_element(v)) return false;
            continue;
        }
        // Both held: writing the key may run a callback that replaces the value.
        PyObjectPtr key(Py_NewRef(k));
        PyObjectPtr value(Py_NewRef(v));
        if (!write(key.get())) return false;
        if (!callbacks_left_intact(seen, false, "dictionary")) return false;
        if (!write(value.get())) return false;
    }
    return true;
}

bool Persister::write_memoryview(PyObject* view) {
    PyObjectPtr copy(PyBytes_FromObject(view));  // bytes(view); fails for a released view
    if (!copy) return false;
    write_bytes_value(copy.get());
    return true;
}

PyObject* Persister::maybe_intern_payload(PyObject* obj) {
    if (!intern_serializer) return Py_NewRef(Py_None);
    tarnwick::GILGuard gil;
    ++callbacks;
    return PyObject_CallOneArg(intern_serializer, obj);
}

void Persister::remember_intern(uint64_t key, int index, PyObject* keyed) {
    auto it = interns.find(key);
    if (it == interns.end()) {
        intern_undo.push_back(InternUndo{key, false, InternEntry{0, nullptr}});
        auto placed = interns.emplace(key, InternEntry{index, nullptr});
        placed.first.value().held = Py_XNewRef(keyed);
    } else {
        // The old entry's reference moves to the journal until the value commits.
        intern_undo.push_back(InternUndo{key, true, it->second});
        it.value() = InternEntry{index, Py_XNewRef(keyed)};
    }
}

namespace {

// The next intern index, or -1 with OverflowError once 31 bits are used up.
int take_intern_index(int& counter) {
    if (counter == INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "intern table is full");
        return -1;
    }
    return counter++;
}

}  // namespace

bool Persister::write_interned_object(PyObject* obj) {
    const uint64_t key = pointer_handle(obj);
    auto it = interns.find(key);
    if (it != interns.end()) {
        write_intern_lookup(it->second.index);
        return true;
    }
    PyObjectPtr payload(maybe_intern_payload(obj));
    if (!payload) return false;
    if (!writer_still_attached()) return false;
    if (payload.get() == Py_None) {
        payload.reset();
        return write_fallback(obj);
    }
    Level level(this);  // a payload may lead back to obj
    if (!level.ok()) return false;
    emit(Intern);
    if (!write(payload.get())) return false;
    // The index is taken once the payload is complete: definitions nested in it keep
    // the lower indices, as readers number them.
    int index = take_intern_index(intern_counter);
    if (index < 0) return false;
    remember_intern(key, index, obj);
    write_intern_lookup(index);
    return true;
}

bool Persister::write_fallback(PyObject* obj) {
    tarnwick::GILGuard gil;
    PyObjectPtr result;
    {
        // The serializer runs with the cyclic collector off.
        int was_enabled = PyGC_Disable();
        ++callbacks;
        result.reset(PyObject_CallOneArg(serializer, obj));
        if (was_enabled) PyGC_Enable();
    }
    if (!result) return false;
    if (!writer_still_attached()) return false;
    if (PyBytes_Check(result.get())) {
        write_pickled_value(result.get());
        return true;
    }
    Level level(this);  // a serializer may keep returning values it must serialize
    if (!level.ok()) return false;
    emit(SerializeError);
    return write(result.get());
}

// The rarer kinds: None, bytes, Binding, memoryview and everything that goes through
// the intern table.
bool Persister::write_other(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (obj == Py_None) {
        emit(NONE);
        return true;
    }
    if (type == &PyBytes_Type) {
        write_bytes_value(obj);
        return true;
    }
    if (Binding_Check(obj)) {
        emit_handle_ref(Binding_Handle(obj));
        return true;
    }
    if (type == &PyMemoryView_Type) return write_memoryview(obj);
    return write_interned_object(obj);
}

// Kept small so that it compiles to a few compares and tail calls. Exact types only:
// subclasses fall through to the intern path.
bool Persister::write(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyLong_Type) return write_long(obj);
    if (type == &PyUnicode_Type) return write_string(obj);
    if (type == &PyTuple_Type) return write_tuple(obj);
    if (type == &PyList_Type) return write_list(obj);
    if (type == &PyDict_Type) return write_dict(obj);
    return write_other(obj);
}

bool Persister::write_object(PyObject* obj) {
    if (!attach_writer()) {
        Persister_set_uninitialised_error();
        return false;
    }
    Transaction tx(this);
    // A callback may have re-initialised the writer after its last check.
    bool ok = write(obj) && writer_still_attached();
    if (ok)
        tx.commit();
    else
        tx.rollback();
    return ok;
}

void Persister::emit_handle_ref(uint64_t handle) {
    auto it = interns.find(handle);
    if (it != interns.end())
        write_intern_lookup(it->second.index);
    else
        write_binding_lookup(handle);
}

bool Persister::write_handle_ref(uint64_t handle) {
    emit_handle_ref(handle);
    sync();
    return true;
}

bool Persister::intern(PyObject* obj, uint64_t key, PyObject* keyed) {
    if (!attach_writer()) {
        Persister_set_uninitialised_error();
        return false;
    }
    Transaction tx(this);
    auto it = interns.find(key);
    if (it != interns.end()) {
        write_intern_lookup(it->second.index);
        tx.commit();
        return true;
    }
    emit(Intern);
    bool ok = write(obj) && writer_still_attached();
    if (ok) {
        int index = take_intern_index(intern_counter);
        ok = index >= 0;
        if (ok) remember_intern(key, index, keyed);
    }
    if (ok)
        tx.commit();
    else
        tx.rollback();
    return ok;
}

void Persister::start_collection(PyObject* type, size_t len) {
    SizedTypes t;
    if (type == reinterpret_cast<PyObject*>(&PyList_Type)) {
        t = LIST;
    } else if (type == reinterpret_cast<PyObject*>(&PyTuple_Type)) {
        t = TUPLE;
    } else if (type == reinterpret_cast<PyObject*>(&PyDict_Type)) {
        t = DICT;
    } else {
        {
            tarnwick::GILGuard gil;
            PyErr_SetString(PyExc_ValueError, "unknown collection type");
        }
        throw PersisterFailure();
    }
    write_size(t, len);
    sync();
}

void Persister::write_heartbeat() {
    emit(Heartbeat);
    sync();
}

void Persister::write_pickled(PyObject* bytes) {
    tarnwick::GILGuard gil;
    if (!PyBytes_Check(bytes)) {
        PyErr_Format(PyExc_TypeError, "write_pickled() argument must be bytes, not %.200s",
                     Py_TYPE(bytes)->tp_name);
        throw PersisterFailure();
    }
    write_pickled_value(bytes);
    sync();
}

int Persister::flush() { return fw ? fw->flush() : 0; }

void Persister::prepare_resume() {
    if (fw) fw->stamp_pid();
}

void Persister::reset_state() {
    tarnwick::GILGuard gil;  // the entries hold references
    InternTable old;
    old.swap(interns);
    intern_counter = 0;
    for (auto& kv : old) Py_XDECREF(kv.second.held);
}

void Persister::clear() {
    Py_CLEAR(serializer);
    Py_CLEAR(intern_serializer);
    {
        StringTable old;
        old.swap(interned_index);
        added_strings.clear();
        if (str_cache) std::fill(str_cache, str_cache + STR_CACHE_SIZE, StrCacheSlot{nullptr, 0});
        for (auto& kv : old) Py_DECREF(kv.first);
    }
    {
        InternTable old;
        old.swap(interns);
        std::vector<InternUndo> undo;
        undo.swap(intern_undo);
        for (auto& kv : old) Py_XDECREF(kv.second.held);
        for (auto& u : undo)
            if (u.had_old) Py_XDECREF(u.old.held);
    }
    Py_CLEAR(framed_writer_obj);
    fw = nullptr;
    staged = 0;
    intern_counter = 0;
    bytes_written = 0;
    interned_counter = 0;
}

void Persister_set_in_use_error() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Persister is already in use (by one of its own callbacks or another "
                    "thread)");
}

void Persister_set_uninitialised_error() {
    PyErr_SetString(PyExc_RuntimeError, "Persister is not initialised");
}

// ---- entry points of the queue's writer thread ----

bool Persister_write_object(Persister* p, PyObject* obj) {
    PersisterUse use(p);
    if (!use.ok()) {
        Persister_set_in_use_error();
        return false;
    }
    return p->write_object(obj);
}

bool Persister_intern_handle(Persister* p, PyObject* obj, uint64_t handle) {
    PersisterUse use(p);
    if (!use.ok()) {
        Persister_set_in_use_error();
        return false;
    }
    // The queue keys interned objects by their address; then obj is kept alive with it.
    return p->intern(obj, handle, handle == pointer_handle(obj) ? obj : nullptr);
}

namespace {

// Runs without the interpreter lock: takes it only to report why it cannot go on.
bool usable_without_lock(Persister* p, PersisterUse& use) {
    if (!use.ok()) {
        tarnwick::GILGuard gil;
        Persister_set_in_use_error();
        return false;
    }
    if (!p->attach_writer()) {
        tarnwick::GILGuard gil;
        Persister_set_uninitialised_error();
        return false;
    }
    return true;
}

}  // namespace

bool Persister_write_binding_lookup(Persister* p, uint64_t handle) {
    PersisterUse use(p);
    if (!usable_without_lock(p, use)) return false;
    return p->write_handle_ref(handle);
}

bool Persister_start_collection(Persister* p, PyObject* type, uint64_t len) {
    PersisterUse use(p);
    if (!usable_without_lock(p, use)) return false;
    p->start_collection(type, static_cast<size_t>(len));
    return true;
}

bool Persister_write_heartbeat(Persister* p) {
    tarnwick::GILGuard gil;
    PersisterUse use(p);
    if (!use.ok()) {
        Persister_set_in_use_error();
        return false;
    }
    if (!p->attach_writer()) {
        Persister_set_uninitialised_error();
        return false;
    }
    p->write_heartbeat();
    return true;
}

void set_python_error_from_current_exception() {
    try {
        throw;
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_KeyError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "Persister operation failed");
    }
}

}  // namespace tarnwick_stream
