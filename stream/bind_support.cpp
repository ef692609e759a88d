// Bind support: registration, lazy patching of tp_dealloc and the patched deallocator.
//
// Patched slots keep pointing at binder_dealloc for as long as the patch exists: no
// temporary swap, so deaths nested inside another death, and deaths on other threads,
// always pass through it. For a class defined in Python, whose recorded deallocator is
// the interpreter's generic subtype_dealloc, binder_dealloc performs the generic
// deallocation itself (calling subtype_dealloc would find binder_dealloc again on its
// way up the type chain), and it guards deep chains with the interpreter's trashcan,
// which subtype_dealloc only enables for types whose slot holds subtype_dealloc.
#include "bind_support.h"

#include <utility>
#include <vector>

#include "binder.h"
#include "binding.h"
#include "identity_map.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

// One record per binder that bound an object through bind support; both owned.
struct BoundEntry {
    PyObject* binder;
    PyObject* binding;
};

// Process-global tables. Allocated once and never destroyed: deallocations can still
// reach them while the process exits.
identity_set<PyTypeObject*>& bind_supported_types() {
    static auto& s = *new identity_set<PyTypeObject*>();
    return s;
}

identity_map<destructor, PyTypeObject*>& dealloc_patches() {
    static auto& m = *new identity_map<destructor, PyTypeObject*>();
    return m;
}

// The records of one object, in binding order. Most objects are bound by one binder:
// its record is kept inline, so that binding allocates nothing here.
struct BoundRecords {
    BoundEntry first;
    std::vector<BoundEntry> more;
};

identity_map<BoundRecords>& bound_entries() {
    static auto& m = *new identity_map<BoundRecords>();
    return m;
}

destructor cached_subtype_dealloc = nullptr;

// The interpreter's subtype_dealloc, found by probing a throw-away class. Null with an
// exception set if the probe class cannot be created.
destructor get_subtype_dealloc() {
    if (cached_subtype_dealloc) return cached_subtype_dealloc;
    PyObject* probe = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}",
                                            "_BinderSubtypeProbe", &PyBaseObject_Type);
    if (!probe) return nullptr;
    cached_subtype_dealloc = reinterpret_cast<PyTypeObject*>(probe)->tp_dealloc;
    Py_DECREF(probe);
    return cached_subtype_dealloc;
}

bool is_heap(PyTypeObject* t) { return PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE); }

bool is_subtype_of(PyTypeObject* type, PyTypeObject* base) {
    for (PyTypeObject* t = type; t; t = t->tp_base)
        if (t == base) return true;
    return false;
}

bool has_patched_base(PyTypeObject* type) {
    auto& patches = dealloc_patches();
    for (PyTypeObject* t = type->tp_base; t; t = t->tp_base)
        if (patches.find(t) != patches.end()) return true;
    return false;
}

struct Patch {
    PyTypeObject* patched = nullptr;
    destructor previous = nullptr;
};

// The first patched type on the chain, starting with the type itself.
Patch find_patch(PyTypeObject* type) {
    auto& patches = dealloc_patches();
    for (PyTypeObject* t = type; t; t = t->tp_base)
        if (auto it = patches.find(t); it != patches.end()) return {t, it->second};
    return {};
}

void unpatch_descendants(PyTypeObject* type) {
    auto& patches = dealloc_patches();
    // Keys first: erasing while iterating could visit an entry twice.
    std::vector<std::pair<PyTypeObject*, destructor>> found;
    for (auto& kv : patches)
        if (kv.first != type && is_subtype_of(kv.first, type)) found.emplace_back(kv.first, kv.second);
    for (auto& [patched, previous] : found) {
        patches.erase(patched);
        patched->tp_dealloc = previous;
        PyType_Modified(patched);
        Py_DECREF(patched);
    }
}

// True for types whose exact instances CPython 3.12 may free through specialised paths
// that never call tp_dealloc; a patched slot would miss their deaths.
bool freed_behind_slot(PyTypeObject* type) {
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type;
}

// Whether the deallocation of an instance of `type` reaches the slot of its ancestor
// `supported`: every type below it must run the generic deallocator (which walks up to
// the slot) or already hold ours. A native subtype with a deallocator of its own may free
// the object without ever calling up, and its records would outlive it.
bool reaches_slot_of(PyTypeObject* type, PyTypeObject* supported, destructor subtype_dealloc) {
    for (PyTypeObject* t = type; t != supported; t = t->tp_base)
        if (t->tp_dealloc != subtype_dealloc && t->tp_dealloc != binder_dealloc) return false;
    return true;
}

// Whether taking away the patches below `type` (as patching it does) leaves every bound
// instance reported. A patch whose instances would no longer reach `type`'s slot (it did
// not give way to the generic deallocator, or a deallocator of its own stands between)
// may only go while none of its instances is bound.
bool descendants_reach_slot_of(PyTypeObject* type, destructor subtype_dealloc) {
    for (auto& [patched, previous] : dealloc_patches()) {
        if (patched == type || !is_subtype_of(patched, type)) continue;
        if (previous == subtype_dealloc && reaches_slot_of(patched->tp_base, type, subtype_dealloc))
            continue;
        for (auto& entry : bound_entries())
            if (is_subtype_of(Py_TYPE(entry.first), patched)) return false;
    }
    return true;
}

// Tells every binder that bound the object through bind support, in binding order. The
// records leave the table first, so nothing that runs below can see or extend them.
void report_death(PyObject* obj) {
    auto& entries = bound_entries();
    if (entries.empty()) return;
    auto it = entries.find(obj);
    if (it == entries.end()) return;
    BoundRecords records = std::move(it.value());
    entries.erase(it);
    auto report = [obj](BoundEntry& record) {
        Binder* binder = reinterpret_cast<Binder*>(record.binder);
        binder->forget(obj);
        binder->emit_delete(Binding_Handle(record.binding));
        Py_DECREF(record.binding);
        Py_DECREF(record.binder);  // may free the binder
    };
    report(records.first);
    for (BoundEntry& record : records.more) report(record);
}

// Clears the __slots__ values a heap type added (what subtype_dealloc does per type).
void clear_slots(PyTypeObject* type, PyObject* self) {
    if (!is_heap(type)) return;
    Py_ssize_t n = Py_SIZE(type);
    auto* mp = reinterpret_cast<PyMemberDef*>(reinterpret_cast<char*>(type) +
                                              Py_TYPE(type)->tp_basicsize);
    for (Py_ssize_t i = 0; i < n; ++i, ++mp) {
        if (mp->type == Py_T_OBJECT_EX && !(mp->flags & Py_READONLY)) {
            auto** addr = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + mp->offset);
            if (PyObject* value = *addr) {
                *addr = nullptr;
                Py_DECREF(value);
            }
        }
    }
}

void gc_track(PyObject* obj) {
    if (!PyObject_GC_IsTracked(obj)) PyObject_GC_Track(obj);
}

void gc_untrack(PyObject* obj) {
    if (PyObject_GC_IsTracked(obj)) PyObject_GC_UnTrack(obj);
}

// Walks the levels whose part of the object the generic deallocation handles: from the
// object's own type up to (and including) the patched type, and above it every type whose
// slot is the generic deallocator. Without a patched type only the object's own type is
// such a level. Slots holding binder_dealloc are passed over, never chained to. Calls
// visit(level) for each and returns the nearest base with a deallocator of its own.
template <typename Visit>
PyTypeObject* walk_generic_levels(PyTypeObject* type, PyTypeObject* patched,
                                  destructor subtype_dealloc, Visit visit) {
    PyTypeObject* t = type;
    bool below = true;
    while (t->tp_base && (below || t->tp_dealloc == subtype_dealloc ||
                          t->tp_dealloc == binder_dealloc)) {
        visit(t);
        if (!patched || t == patched) below = false;
        t = t->tp_base;
    }
    return t;
}

// The generic deallocation of an instance of a class defined in Python, as the
// interpreter's subtype_dealloc performs it, for the levels up to the nearest base with
// a deallocator of its own, which it then calls. `continuation`: the object's own type
// runs subtype_dealloc, which has already done its part (finalizer included) for the
// levels below the patched type before it chained to the patched slot (read by the
// caller before any Python code ran: a patch may move while the death is reported).
void generic_dealloc(PyObject* self, PyTypeObject* patched, destructor subtype_dealloc,
                     bool continuation) {
    PyTypeObject* type = Py_TYPE(self);

    PyTypeObject* base = walk_generic_levels(type, patched, subtype_dealloc, [](PyTypeObject*) {});

    if (!PyType_IS_GC(type)) {
        if (!continuation) {
            if (type->tp_finalize && PyObject_CallFinalizerFromDealloc(self) < 0) return;
            if (type->tp_del) {
                type->tp_del(self);
                if (Py_REFCNT(self) > 0) return;
            }
            // The finalizer may have bound the object again: it dies all the same.
            if (type->tp_finalize || type->tp_del) report_death(self);
        }
        type = Py_TYPE(self);
        bool type_needs_decref = is_heap(type) && !is_heap(base);
        base->tp_dealloc(self);
        if (type_needs_decref) Py_DECREF(type);
        return;
    }

    gc_untrack(self);
    bool has_finalizer = !continuation && (type->tp_finalize || type->tp_del);
    if (!continuation && type->tp_finalize) {
        gc_track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected, stays tracked
        gc_untrack(self);
    }
    if (type->tp_weaklistoffset && !base->tp_weaklistoffset) PyObject_ClearWeakRefs(self);
    if (!continuation && type->tp_del) {
        gc_track(self);
        type->tp_del(self);
        if (Py_REFCNT(self) > 0) return;  // resurrected
        gc_untrack(self);
    }
    // The finalizer may have bound the object again: it dies all the same.
    if (has_finalizer) report_death(self);
    if (has_finalizer && type->tp_weaklistoffset && !base->tp_weaklistoffset) {
        // Weak references made by the finalizer are cleared without their callbacks,
        // which could see a half-destroyed object. The list sits at tp_weaklistoffset,
        // also for managed weak references (a negative offset into the pre-header).
        auto** list = reinterpret_cast<PyWeakReference**>(reinterpret_cast<char*>(self) +
                                                          type->tp_weaklistoffset);
        while (*list) _PyWeakref_ClearRef(*list);
    }
    walk_generic_levels(type, patched, subtype_dealloc, [self](PyTypeObject* level) {
        if (Py_SIZE(level)) clear_slots(level, self);
    });
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        _PyObject_ClearManagedDict(self);
    } else if (type->tp_dictoffset && !base->tp_dictoffset) {
        PyObject** dictptr = _PyObject_GetDictPtr(self);
        if (dictptr && *dictptr) {
            PyObject* dict = *dictptr;
            *dictptr = nullptr;
            Py_DECREF(dict);
        }
    }
    type = Py_TYPE(self);
    if (PyType_IS_GC(base)) gc_track(self);
    // The type must not be read after the base deallocator: it may free the type.
    bool type_needs_decref = is_heap(type) && !is_heap(base);
    base->tp_dealloc(self);
    if (type_needs_decref) Py_DECREF(type);
}

}  // namespace

bool AddBindSupport(PyTypeObject* type) {
    if (bind_supported_types().insert(type).second) Py_INCREF(type);
    return true;
}

bool RemoveBindSupport(PyTypeObject* type) {
    if (bind_supported_types().erase(type)) Py_DECREF(type);
    return true;
}

bool GetExactBindSupportOriginalDealloc(PyTypeObject* type, destructor* out) {
    auto& patches = dealloc_patches();
    auto it = patches.find(type);
    if (it == patches.end()) return false;
    *out = it->second;
    return true;
}

PyTypeObject* find_bind_supported_type(PyTypeObject* type) {
    auto& supported = bind_supported_types();
    if (supported.empty()) return nullptr;
    for (PyTypeObject* t = type; t; t = t->tp_base)
        if (supported.find(t) != supported.end()) return t;
    return nullptr;
}

bool patch_dealloc(PyTypeObject* type) {
    auto& patches = dealloc_patches();
    if (patches.find(type) != patches.end()) return true;
    if (has_patched_base(type)) return true;
    if (!type->tp_dealloc) {
        PyErr_Format(PyExc_TypeError, "type '%.200s' has no tp_dealloc", type->tp_name);
        return false;
    }
    if (!type->tp_base) {
        PyErr_SetString(PyExc_TypeError, "Binder cannot patch the root object type");
        return false;
    }
    if (freed_behind_slot(type)) {
        PyErr_Format(PyExc_TypeError,
                     "Binder cannot patch type '%.200s': CPython frees its exact instances "
                     "through specialised paths that bypass tp_dealloc, so their deaths "
                     "could not be reported",
                     type->tp_name);
        return false;
    }
    if (!get_subtype_dealloc()) return false;
    unpatch_descendants(type);
    Py_INCREF(type);
    patches.emplace(type, type->tp_dealloc);
    type->tp_dealloc = binder_dealloc;
    PyType_Modified(type);
    return true;
}

bool bind_support_bind(Binder* binder, PyObject* obj, PyObject* binding, PyObject** result) {
    PyTypeObject* supported = find_bind_supported_type(Py_TYPE(obj));
    if (!supported) return false;
    destructor subtype_dealloc = get_subtype_dealloc();
    if (!subtype_dealloc) {
        Py_DECREF(binding);
        *result = nullptr;
        return true;
    }
    // The slot that will report this death: the registered type's, or that of its nearest
    // patched ancestor, which patch_dealloc leaves in place.
    PyTypeObject* patched = find_patch(supported).patched;
    if (!reaches_slot_of(Py_TYPE(obj), patched ? patched : supported, subtype_dealloc))
        return false;
    if (!patched && !descendants_reach_slot_of(supported, subtype_dealloc)) return false;
    if (!patch_dealloc(supported)) {
        Py_DECREF(binding);
        *result = nullptr;
        return true;
    }
    binder->bindings[obj] = Py_NewRef(binding);
    BoundEntry record{Py_NewRef(reinterpret_cast<PyObject*>(binder)), Py_NewRef(binding)};
    auto [it, inserted] = bound_entries().try_emplace(obj, BoundRecords{record, {}});
    if (!inserted) it.value().more.push_back(record);
    *result = binding;
    return true;
}

void binder_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    // Everything about the patch is read before any Python code can run.
    Patch patch = find_patch(type);
    destructor subtype_dealloc = cached_subtype_dealloc;
    // Called straight by the interpreter (or by its trashcan), not from a subclass's
    // subtype_dealloc or from another wrapper.
    bool top_level = type->tp_dealloc == binder_dealloc;
    bool continuation = type->tp_dealloc == subtype_dealloc;
    bool gc = PyObject_IS_GC(obj);
    if (gc) gc_untrack(obj);

    // The trashcan bounds the depth of nested deallocations: past a fixed depth the
    // object is put aside (it must be untracked for that) and deallocated later through
    // its type's slot, which is this function again.
    PyThreadState* tstate = nullptr;
    if (gc && top_level) {
        tstate = PyThreadState_Get();
        if (_PyTrash_begin(tstate, obj)) return;
    }

    report_death(obj);

    // Generic deallocation for classes defined in Python, and for the state the patch
    // bookkeeping never produces (no patched type on the chain); never a call back into
    // this function.
    if (!patch.patched || patch.previous == subtype_dealloc || patch.previous == binder_dealloc) {
        generic_dealloc(obj, patch.patched, subtype_dealloc, continuation);
    } else {
        // A native deallocator expects a tracked object, as the interpreter hands it over;
        // it untracks it itself.
        if (gc) gc_track(obj);
        patch.previous(obj);
    }

    if (tstate) _PyTrash_end(tstate);
}

PyObject* py_add_bind_support(PyObject*, PyObject* cls) {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "add_bind_support takes a type");
        return nullptr;
    }
    AddBindSupport(reinterpret_cast<PyTypeObject*>(cls));
    Py_RETURN_NONE;
}

PyObject* py_remove_bind_support(PyObject*, PyObject* cls) {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "remove_bind_support takes a type");
        return nullptr;
    }
    RemoveBindSupport(reinterpret_cast<PyTypeObject*>(cls));
    Py_RETURN_NONE;
}

PyObject* py_get_bind_support_original_dealloc(PyObject*, PyObject* cls) {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "_get_bind_support_original_dealloc takes a type");
        return nullptr;
    }
    destructor previous = nullptr;
    if (GetExactBindSupportOriginalDealloc(reinterpret_cast<PyTypeObject*>(cls), &previous))
        return PyLong_FromVoidPtr(reinterpret_cast<void*>(previous));
    Py_RETURN_NONE;
}

}  // namespace tarnwick_stream
