// Python glue of the Binder and of the hidden WeakBindingCallback type: slots, method
// tables, argument parsing.
#include <new>

#include "binder.h"
#include "binding.h"
#include "stream.h"

namespace tarnwick_stream {

namespace {

Binder* as_binder(PyObject* self) { return reinterpret_cast<Binder*>(self); }

bool check_callable(PyObject* value) {
    if (value == Py_None || PyCallable_Check(value)) return true;
    PyErr_SetString(PyExc_TypeError, "on_delete must be callable or None");
    return false;
}

void set_on_delete(Binder* self, PyObject* value) {
    PyObject* old = self->on_delete;
    self->on_delete = (value && value != Py_None) ? Py_NewRef(value) : nullptr;
    Py_XDECREF(old);
}

// binder(obj): a lookup that hands back the object itself when it is not bound.
PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
        PyErr_SetString(PyExc_TypeError, "Binder() takes exactly one positional argument");
        return nullptr;
    }
    PyObject* found = as_binder(self)->lookup(args[0]);
    if (Binding_Check(found)) return found;
    Py_DECREF(found);
    return Py_NewRef(args[0]);
}

PyObject* py_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Binder* b = as_binder(self);
    new (&b->bindings) identity_map<PyObject*>();
    new (&b->fallback_bindings) identity_map<PyObject*>();
    new (&b->weak_bindings) identity_map<WeakBindingEntry>();
    b->on_delete = nullptr;
    b->vectorcall = nullptr;
    return self;
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"on_delete", nullptr};
    PyObject* on_delete = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O", const_cast<char**>(kwlist), &on_delete))
        return -1;
    if (!check_callable(on_delete)) return -1;
    set_on_delete(as_binder(self), on_delete);
    as_binder(self)->vectorcall = vectorcall;
    return 0;
}

void dealloc(PyObject* self) {
    Binder* b = as_binder(self);
    b->clear();
    b->bindings.~identity_map<PyObject*>();
    b->fallback_bindings.~identity_map<PyObject*>();
    b->weak_bindings.~identity_map<WeakBindingEntry>();
    Py_TYPE(self)->tp_free(self);
}

PyObject* py_bind(PyObject* self, PyObject* obj) { return as_binder(self)->bind(obj); }
PyObject* py_lookup(PyObject* self, PyObject* obj) { return as_binder(self)->lookup(obj); }

PyObject* get_on_delete(PyObject* self, void*) {
    PyObject* cb = as_binder(self)->on_delete;
    return Py_NewRef(cb ? cb : Py_None);
}

int setter_on_delete(PyObject* self, PyObject* value, void*) {
    if (value && !check_callable(value)) return -1;
    set_on_delete(as_binder(self), value);
    return 0;
}

PyMethodDef methods[] = {
    {"bind", py_bind, METH_O, "Bind an object and return its handle"},
    {"lookup", py_lookup, METH_O, "Return the bound handle for an object or None"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"on_delete", get_on_delete, setter_on_delete, "Delete callback", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The Binder record holds C++ maps, so it is not standard-layout; the compiler still
// lays out these plain members in declaration order.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
constexpr Py_ssize_t kVectorcallOffset = offsetof(Binder, vectorcall);
#pragma GCC diagnostic pop

PyTypeObject make_binder_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.Binder";
    t.tp_basicsize = sizeof(Binder);
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = kVectorcallOffset;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = init;
    t.tp_new = py_new;
    return t;
}

// Calling the callback (the only argument, the dead weak reference, is ignored).
PyObject* callback_call(PyObject* self, PyObject*, PyObject*) {
    auto* cb = reinterpret_cast<WeakBindingCallback*>(self);
    Binder* owner = cb->owner;
    if (owner) {
        // The binder detaches its callbacks before it lets go of an entry or dies, so a
        // non-null owner is alive here.
        Py_INCREF(owner);
        owner->on_weak_collect(cb->key);
        Py_DECREF(owner);
    }
    Py_RETURN_NONE;
}

void callback_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyTypeObject make_callback_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.WeakBindingCallback";
    t.tp_basicsize = sizeof(WeakBindingCallback);
    t.tp_dealloc = callback_dealloc;
    t.tp_call = callback_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "Internal weak binding cleanup callback";
    return t;
}

bool check_binder(PyObject* binder) {
    if (PyObject_TypeCheck(binder, &Binder_Type)) return true;
    PyErr_SetString(PyExc_TypeError, "binder must be a Binder");
    return false;
}

}  // namespace

PyTypeObject Binder_Type = make_binder_type();
PyTypeObject WeakBindingCallback_Type = make_callback_type();

PyObject* WeakBindingCallback_New(Binder* owner, PyObject* key) {
    PyObject* self = PyType_GenericAlloc(&WeakBindingCallback_Type, 0);
    if (!self) return nullptr;
    auto* cb = reinterpret_cast<WeakBindingCallback*>(self);
    cb->owner = owner;
    cb->key = key;
    return self;
}

PyObject* Binder_Bind(PyObject* binder, PyObject* obj) {
    return check_binder(binder) ? as_binder(binder)->bind(obj) : nullptr;
}

PyObject* Binder_Lookup(PyObject* binder, PyObject* obj) {
    return check_binder(binder) ? as_binder(binder)->lookup(obj) : nullptr;
}

}  // namespace tarnwick_stream
