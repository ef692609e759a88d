// The writer thread: takes items out of the entry ring in order and writes each to the
// target, natively for a Persister, by method call for any other object; shuts the
// queue down in order when the target fails.
#include "queue.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "persister.h"
#include "queue_internal.h"

namespace tarnwick_stream {

namespace {

Persister* native_persister(PyObject* target) { return reinterpret_cast<Persister*>(target); }

// Sets the Python error for the native failure being handled (call inside a catch):
// the Persister's conversion.
void convert_current_exception() { set_python_error_from_current_exception(); }

// After a native write reported false: make sure an error is set, then capture it.
void ensure_persister_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Persister operation failed");
}

[[noreturn]] void throw_runtime_error(const char* message) {
    {
        tarnwick::GILGuard gil;
        PyErr_SetString(PyExc_RuntimeError, message);
    }
    throw QueueFailure{};
}

}  // namespace

// ---- target calls ----------------------------------------------------------------

bool Queue_target_is_persister(PyObject* obj) {
    return obj != nullptr && PyObject_TypeCheck(obj, &Persister_Type);
}

bool Queue::call_target_method(TargetMethod method, PyObject* const* args, size_t nargs) {
    tarnwick::GILGuard gil;
    if (!target_obj) return true;
    PyObjectPtr target = PyObjectPtr::borrow(target_obj);
    PyObjectPtr bound(PyObject_GetAttr(target.get(), target_method_name(method)));
    if (!bound) {
        PyErr_Clear();
        const char* missing = target_method_missing_message(method);
        if (!missing) return true;  // optional method: skipped
        PyErr_SetString(PyExc_AttributeError, missing);
        capture_current_target_error();
        return false;
    }
    PyObjectPtr result(PyObject_Vectorcall(bound.get(), args, nargs, nullptr));
    if (!result) {
        capture_current_target_error();
        return false;
    }
    return true;
}

bool Queue::call_target_with_handle(TargetMethod method, PyObject* first, uint64_t number) {
    tarnwick::GILGuard gil;
    PyObjectPtr value(PyLong_FromUnsignedLongLong(number));
    if (!value) {
        capture_current_target_error();
        return false;
    }
    if (first) {
        PyObject* args[] = {first, value.get()};
        return call_target_method(method, args, 2);
    }
    PyObject* args[] = {value.get()};
    return call_target_method(method, args, 1);
}

bool Queue::call_target_write_object(PyObject* obj) {
    if (is_persister()) {
        tarnwick::GILGuard gil;
        if (Persister_write_object(native_persister(target_obj), obj)) return true;
        ensure_persister_error();
        capture_current_target_error();
        return false;
    }
    PyObject* args[] = {obj};
    tarnwick::GILGuard gil;
    return call_target_method(TargetMethod::WRITE_OBJECT, args, 1);
}

bool Queue::call_target_write_handle_ref(BindingHandle handle) {
    if (is_persister()) return Persister_write_binding_lookup(native_persister(target_obj), handle);
    return call_target_with_handle(TargetMethod::WRITE_HANDLE_REF, nullptr, handle);
}

bool Queue::call_target_intern(PyObject* obj, BindingHandle handle) {
    if (is_persister()) {
        tarnwick::GILGuard gil;
        if (Persister_intern_handle(native_persister(target_obj), obj, handle)) return true;
        ensure_persister_error();
        capture_current_target_error();
        return false;
    }
    return call_target_with_handle(TargetMethod::INTERN, obj, handle);
}

bool Queue::call_target_collection(PyObject* type, uint64_t length) {
    if (is_persister()) {
        return Persister_start_collection(native_persister(target_obj), type, length);
    }
    return call_target_with_handle(TargetMethod::START_COLLECTION, type, length);
}

bool Queue::call_target_heartbeat() {
    if (is_persister()) return Persister_write_heartbeat(native_persister(target_obj));
    return call_target_method(TargetMethod::WRITE_HEARTBEAT, nullptr, 0);
}

bool Queue::call_target_flush() { return call_target_method(TargetMethod::FLUSH, nullptr, 0); }

bool Queue::flush_target_background() {
    return call_target_method(TargetMethod::FLUSH_BACKGROUND, nullptr, 0);
}

bool Queue::target_shutdown() { return call_target_method(TargetMethod::SHUTDOWN, nullptr, 0); }

void Queue::prepare_target_resume() {
    tarnwick::GILGuard gil;
    if (!call_target_method(TargetMethod::PREPARE_RESUME, nullptr, 0)) forget_target_error();
}

void Queue::reset_target_state() {
    tarnwick::GILGuard gil;
    if (!call_target_method(TargetMethod::RESET_STATE, nullptr, 0)) forget_target_error();
}

// The optional lifecycle methods report nothing: their failure is cleared.
void Queue::forget_target_error() {
    PyErr_Clear();
    has_target_error_message = false;
    last_target_error_message.clear();
}

// ---- error capture -------------------------------------------------------------

std::string Queue::take_pending_error_message() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return "target error";
    std::string name;
    std::string text;
    bool has_name = false;
    bool has_text = false;
    PyObjectPtr type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exc)),
                                                 "__name__"));
    if (type_name && PyUnicode_Check(type_name.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(type_name.get(), &size);
        if (utf8) {
            name.assign(utf8, static_cast<size_t>(size));
            has_name = true;
        }
    }
    PyErr_Clear();
    PyObjectPtr str(PyObject_Str(exc));
    if (str) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
        if (utf8 && size > 0) {
            text.assign(utf8, static_cast<size_t>(size));
            has_text = true;
        }
    }
    PyErr_Clear();
    Py_DECREF(exc);
    if (has_name && has_text) return name + ": " + text;
    if (has_name) return name;
    if (has_text) return text;
    return "target error";
}

void Queue::capture_current_target_error() {
    has_target_error_message = true;
    last_target_error_message = take_pending_error_message();
}

std::string Queue::take_target_error_message() {
    has_target_error_message = false;
    std::string message = std::move(last_target_error_message);
    last_target_error_message.clear();
    if (message.empty()) return "target error";
    return message;
}

void Queue::notify_target_error(const std::string& message) {
    if (!on_target_error) return;
    PyObjectPtr callback = PyObjectPtr::borrow(on_target_error);
    PyObjectPtr text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace"));
    if (text) {
        PyObjectPtr result(PyObject_CallOneArg(callback.get(), text.get()));
    }
    PyErr_Clear();
}

// ---- entries -------------------------------------------------------------------

bool Queue::try_pop_entry(QEntry& out) {
    QEntry* front = entries.front();
    if (!front) return false;
    out = *front;
    entries.pop();
    return true;
}

QEntry Queue::pop_entry() {
    QEntry e;
    if (try_pop_entry(e)) return e;
    // The rest of an item is on its way (a producer appends an item's entries back to
    // back): spin with the interpreter lock released so that the producer can run.
    std::optional<tarnwick::GILReleaseGuard> released;
    if (PyGILState_Check()) released.emplace();
    for (unsigned spins = 0;; ++spins) {
        if (try_pop_entry(e)) return e;
        if (shutdown_flag.load(std::memory_order_acquire)) {
            if (try_pop_entry(e)) return e;
            break;
        }
        if (spins < kPayloadSpinYields) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(kPayloadSpinSleep);
        }
    }
    released.reset();
    throw_runtime_error("queue shutdown while awaiting payload");
}

bool Queue::consume() {
    if (worker_gil) worker_gil->yield_if_due();
    return dispatch_entry(pop_entry());
}

PyObject* Queue::consume_owned_payload() {
    QEntry e = pop_entry();
    if (!is_pointer_entry(e)) throw_runtime_error("expected owned object payload");
    return as_payload_obj(e);
}

BindingHandle Queue::consume_binding_handle() {
    QEntry e = pop_entry();
    if (!is_ref_entry(e)) {
        if (is_pointer_entry(e)) release_consumed_obj(as_object(e));
        throw_runtime_error("expected binding handle payload");
    }
    return as_binding_handle(e);
}

void Queue::release_consumed_obj(PyObject* obj) {
    if (queue_is_immortal(obj)) {
        note_removed(queue_estimate_size(obj));
        return;
    }
    tarnwick::GILGuard gil;
    note_removed(queue_estimate_size(obj));
    Py_DECREF(obj);
}

void Queue::finish_consumed_obj(PyObject* obj) {
    if (queue_is_immortal(obj)) {
        note_removed(queue_estimate_size(obj));
        return;
    }
    hand_over_returned(obj);
}

// Runs write(), the target call for an object its entry owns, then gives the object
// up: to the return thread when written, released here when not or when write() threw.
template <typename Write>
bool Queue::write_owned(PyObject* obj, Write write) {
    bool ok;
    try {
        ok = write();
    } catch (...) {
        release_consumed_obj(obj);
        throw;
    }
    if (ok) {
        finish_consumed_obj(obj);
    } else {
        release_consumed_obj(obj);
    }
    return ok;
}

// Writes one whole item.
bool Queue::dispatch_entry(QEntry e) {
    if (is_pointer_entry(e)) {
        PyObject* obj = as_object(e);
        return write_owned(obj, [&] { return call_target_write_object(obj); });
    }
    if (is_ref_entry(e)) return call_target_write_handle_ref(as_binding_handle(e));
    return dispatch_command(e);
}

bool Queue::dispatch_command(QEntry e) {
    switch (cmd_of(e)) {
        case CMD_INTERN: {
            PyObject* obj = consume_owned_payload();
            return write_owned(obj, [&] {
                BindingHandle handle = consume_binding_handle();
                return call_target_intern(obj, handle);
            });
        }
        case CMD_FLUSH:
            return call_target_flush();
        case CMD_SHUTDOWN:
            saw_shutdown = true;
            return target_shutdown();
        case CMD_LIST:
        case CMD_TUPLE: {
            uint64_t n = static_cast<uint32_t>(len_of(e));
            PyObject* type = cmd_of(e) == CMD_LIST ? reinterpret_cast<PyObject*>(&PyList_Type)
                                                   : reinterpret_cast<PyObject*>(&PyTuple_Type);
            if (!call_target_collection(type, n)) {
                release_items(n);
                return false;
            }
            for (uint64_t i = 0; i < n; ++i) {
                if (!consume()) {
                    release_items(n - i - 1);
                    return false;
                }
            }
            return true;
        }
        case CMD_DICT: {
            uint64_t n = static_cast<uint32_t>(len_of(e));
            if (!call_target_collection(reinterpret_cast<PyObject*>(&PyDict_Type), n)) {
                release_items(2 * n);
                return false;
            }
            for (uint64_t i = 0; i < n; ++i) {
                uint64_t remaining_pairs = n - i - 1;
                if (!consume()) {
                    release_items(1 + 2 * remaining_pairs);
                    return false;
                }
                if (!consume()) {
                    release_items(2 * remaining_pairs);
                    return false;
                }
            }
            return true;
        }
        case CMD_HEARTBEAT:
            return call_target_heartbeat();
        default:
            throw_runtime_error("unexpected command entry");
    }
}

void Queue::release_items(uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) dispatch_release(pop_entry());
}

void Queue::dispatch_release(QEntry e) {
    if (is_pointer_entry(e)) {
        release_consumed_obj(as_object(e));
        return;
    }
    if (is_ref_entry(e)) return;
    switch (cmd_of(e)) {
        case CMD_INTERN: {
            release_consumed_obj(consume_owned_payload());
            consume_binding_handle();
            return;
        }
        case CMD_FLUSH:
        case CMD_SHUTDOWN:
        case CMD_HEARTBEAT:
            return;
        case CMD_LIST:
        case CMD_TUPLE:
            release_items(static_cast<uint32_t>(len_of(e)));
            return;
        case CMD_DICT:
            release_items(2 * static_cast<uint64_t>(static_cast<uint32_t>(len_of(e))));
            return;
        default:
            throw_runtime_error("unexpected command entry");
    }
}

// Entry by entry, without waiting for the rest of a half-pushed item: only pointer
// entries own anything.
void Queue::discard_entry(QEntry e) {
    if (is_pointer_entry(e)) release_consumed_obj(as_object(e));
}

// ---- failure -------------------------------------------------------------------

void Queue::handle_target_failure(const std::string& message) {
    set_state(DRAINING);
    shutdown_flag.store(true, std::memory_order_release);
    notify_target_error(message);
    if (target_obj && !target_shutdown()) discard_pending_error();
    poison_returned_queue();
    discard_remaining_entries();
    set_state(STOPPED);
}

// Producers are refused from the start of failure handling and append only while
// holding the interpreter lock, which this thread holds: whatever is in the ring now is
// all there will be. It is released entry by entry, so a half-pushed item costs no wait.
void Queue::discard_remaining_entries() {
    QEntry e;
    while (try_pop_entry(e)) discard_entry(e);
}

// ---- loop ----------------------------------------------------------------------

bool Queue::run_batch() {
    WorkerGilRun gil(this);
    try {
        QEntry e;
        unsigned items = 0;
        while (items++ < kMaxBatchItems && try_pop_entry(e)) {
            if (entry_needs_gil(e)) gil.enter();
            if (dispatch_entry(e)) {
                if (saw_shutdown) {
                    tarnwick::GILGuard held;
                    set_state(STOPPED);
                    maybe_notify_return_thread(true);
                    return false;
                }
                gil.yield_if_due();
                continue;
            }
            if (has_target_error()) {
                tarnwick::GILGuard held;
                handle_target_failure(take_target_error_message());
                maybe_notify_return_thread(true);
                return false;
            }
            break;  // a failure that captured nothing: the batch ends here
        }
    } catch (...) {
        tarnwick::GILGuard held;
        if (!PyErr_Occurred()) convert_current_exception();
        handle_target_failure(take_pending_error_message());
        maybe_notify_return_thread(true);
        return false;
    }
    // The flush is a Python call: make it while the run still holds the interpreter
    // lock rather than wait for the lock again (a Persister releases it for the write).
    if (!flush_target_background()) {
        tarnwick::GILGuard held;
        std::string message =
            has_target_error() ? take_target_error_message() : take_pending_error_message();
        handle_target_failure(message);
        maybe_notify_return_thread(true);
        return false;
    }
    return true;
}

bool Queue::entry_needs_gil(QEntry e) const {
    if (is_pointer_entry(e) || !is_persister()) return true;
    if (is_ref_entry(e)) return false;
    unsigned cmd = cmd_of(e);
    return !(cmd == CMD_LIST || cmd == CMD_TUPLE || cmd == CMD_DICT || cmd == CMD_HEARTBEAT);
}

void Queue::worker_loop() {
    ActiveConsumerScope scope(this, writer_thread_self);
    const auto timeout = std::chrono::milliseconds(worker_wait_timeout_ms_value);
    for (;;) {
        if (entries.empty()) {
            if (shutdown_flag.load(std::memory_order_acquire)) return;
            {
                std::unique_lock<std::mutex> lock(wake_mutex);
                worker_waiting.store(true, std::memory_order_release);
                wake_cv.wait_for(lock, timeout, [this] {
                    return shutdown_flag.load(std::memory_order_acquire) || !entries.empty();
                });
                worker_waiting.store(false, std::memory_order_release);
            }
            if (shutdown_flag.load(std::memory_order_acquire) && entries.empty()) return;
            if (worker_wait_timeout_ms_value == 0 && entries.empty()) std::this_thread::yield();
            continue;
        }
        if (!run_batch()) return;
        maybe_notify_return_thread(false);
    }
}

}  // namespace tarnwick_stream
