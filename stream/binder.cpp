// Native operations of the Binder.
#include "binder.h"

#include <utility>
#include <vector>

#include "bind_support.h"
#include "binding.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

// Stops a weak reference's callback from ever reaching its binder again: used whenever
// the binder drops an entry other than through that callback (the weak reference may be
// kept alive by Python code, and a stale callback would otherwise act on a newer entry
// at the same address or on a freed binder).
void detach_callback(PyObject* weakref) {
    PyObject* callback = reinterpret_cast<PyWeakReference*>(weakref)->wr_callback;
    if (callback && Py_IS_TYPE(callback, &WeakBindingCallback_Type))
        reinterpret_cast<WeakBindingCallback*>(callback)->owner = nullptr;
}

void release_weak_entry(WeakBindingEntry& entry) {
    detach_callback(entry.weakref);
    Py_DECREF(entry.weakref);
    Py_DECREF(entry.binding);
}

}  // namespace

PyObject* Binder::lookup(PyObject* obj) {
    if (auto it = bindings.find(obj); it != bindings.end()) return Py_NewRef(it->second);
    if (auto it = fallback_bindings.find(obj); it != fallback_bindings.end())
        return Py_NewRef(it->second);
    if (auto it = weak_bindings.find(obj); it != weak_bindings.end()) {
        // A dead object whose callback has not run yet is no longer bound.
        if (PyWeakref_GetObject(it->second.weakref) == obj) return Py_NewRef(it->second.binding);
    }
    Py_RETURN_NONE;
}

PyObject* Binder::bind(PyObject* obj) {
    PyObject* existing = lookup(obj);
    bool bound = Binding_Check(existing);
    Py_DECREF(existing);
    if (bound) {
        PyErr_SetString(PyExc_RuntimeError, "object is already bound");
        return nullptr;
    }
    // The handle is used up from here on, whatever happens next.
    uint64_t handle = next_binding_handle++;
    PyObject* binding = Binding_New(handle);
    if (!binding) return nullptr;

    PyObject* result = nullptr;
    if (bind_support_bind(this, obj, binding, &result)) return result;

    // Types without weak-reference support go straight to the fallback: trying first
    // would only build and discard a TypeError.
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(obj))) return bind_fallback(obj, binding);
    result = bind_with_weakref(obj, binding);
    if (result) {
        Py_DECREF(binding);
        return result;
    }
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return bind_fallback(obj, binding);
    }
    Py_DECREF(binding);
    return nullptr;
}

PyObject* Binder::bind_with_weakref(PyObject* obj, PyObject* binding) {
    PyObject* callback = WeakBindingCallback_New(this, obj);
    if (!callback) return nullptr;
    PyObject* weakref = PyWeakref_NewRef(obj, callback);
    Py_DECREF(callback);
    if (!weakref) return nullptr;
    WeakBindingEntry entry{weakref, Py_NewRef(binding)};
    auto [it, inserted] = weak_bindings.try_emplace(obj, entry);
    if (!inserted) {
        // A dead object at the same address whose callback has not run yet.
        WeakBindingEntry old = it->second;
        it.value() = entry;
        release_weak_entry(old);
    }
    return Py_NewRef(binding);
}

PyObject* Binder::bind_fallback(PyObject* obj, PyObject* binding) {
    auto [it, inserted] = fallback_bindings.try_emplace(obj, binding);
    if (inserted) {
        Py_INCREF(obj);
        Py_INCREF(binding);
        return binding;
    }
    PyObject* stored = Py_NewRef(it->second);
    Py_DECREF(binding);
    return stored;
}

void Binder::forget(PyObject* obj) {
    if (auto it = bindings.find(obj); it != bindings.end()) {
        PyObject* binding = it->second;
        bindings.erase(it);
        Py_DECREF(binding);
        return;
    }
    if (auto it = fallback_bindings.find(obj); it != fallback_bindings.end()) {
        PyObject* binding = it->second;
        fallback_bindings.erase(it);
        Py_DECREF(obj);
        Py_DECREF(binding);
        return;
    }
    if (auto it = weak_bindings.find(obj); it != weak_bindings.end()) {
        WeakBindingEntry entry = it->second;
        weak_bindings.erase(it);
        release_weak_entry(entry);
    }
}

void Binder::emit_delete(uint64_t handle) {
    if (!on_delete || _Py_IsFinalizing()) return;
    PyObject* number = PyLong_FromUnsignedLongLong(handle);
    if (!number) {
        PyErr_Clear();
        return;
    }
    // The callback may replace on_delete while it runs: keep it alive for the call.
    PyObject* callback = Py_NewRef(on_delete);
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* result = PyObject_CallOneArg(callback, number);
    Py_XDECREF(result);
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(saved);
    Py_DECREF(callback);
    Py_DECREF(number);
}

void Binder::on_weak_collect(PyObject* key) {
    auto it = weak_bindings.find(key);
    if (it == weak_bindings.end()) return;
    // The callback object is reachable from Python and can be called by hand while the
    // object lives; a real death has cleared the weak reference before callbacks run.
    if (PyWeakref_GetObject(it->second.weakref) != Py_None) return;
    WeakBindingEntry entry = it->second;
    weak_bindings.erase(it);
    uint64_t handle = Binding_Handle(entry.binding);
    release_weak_entry(entry);
    emit_delete(handle);
}

void Binder::clear() {
    // 1. No report can start from here on.
    PyObject* callback = std::exchange(on_delete, nullptr);
    // Detach every weak callback before anything below can run Python code.
    for (auto& kv : weak_bindings) detach_callback(kv.second.weakref);

    // Each map is emptied before its references are released: releasing can run
    // arbitrary code that may come back to this binder.
    std::vector<PyObject*> refs;
    refs.reserve(bindings.size());
    for (auto& kv : bindings) refs.push_back(kv.second);
    bindings.clear();
    for (PyObject* r : refs) Py_DECREF(r);

    std::vector<WeakBindingEntry> weak;
    weak.reserve(weak_bindings.size());
    for (auto& kv : weak_bindings) weak.push_back(kv.second);
    weak_bindings.clear();
    for (auto& e : weak) {
        Py_DECREF(e.weakref);
        Py_DECREF(e.binding);
    }

    std::vector<std::pair<PyObject*, PyObject*>> kept;
    kept.reserve(fallback_bindings.size());
    for (auto& kv : fallback_bindings) kept.emplace_back(kv.first, kv.second);
    fallback_bindings.clear();
    for (auto& [obj, binding] : kept) {
        Py_DECREF(obj);
        Py_DECREF(binding);
    }
    Py_XDECREF(callback);
}

}  // namespace tarnwick_stream
