#include "binding.h"
#include "stream.h"

#include <structmember.h>

namespace tarnwick_stream {

uint64_t next_binding_handle = 0;

namespace {

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"handle", nullptr};
    unsigned long long handle = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "K", const_cast<char**>(kwlist), &handle))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<Binding*>(self)->handle = handle;
    return self;
}

void dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("Binding(%llu)",
                                static_cast<unsigned long long>(Binding_Handle(self)));
}

Py_hash_t hash(PyObject* self) {
    Py_hash_t h = static_cast<Py_hash_t>(Binding_Handle(self));
    return h == -1 ? -2 : h;
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    if (!Binding_Check(a) || !Binding_Check(b)) Py_RETURN_NOTIMPLEMENTED;
    uint64_t x = Binding_Handle(a), y = Binding_Handle(b);
    switch (op) {
        case Py_LT: return PyBool_FromLong(x < y);
        case Py_LE: return PyBool_FromLong(x <= y);
        case Py_EQ: return PyBool_FromLong(x == y);
        case Py_NE: return PyBool_FromLong(x != y);
        case Py_GT: return PyBool_FromLong(x > y);
        case Py_GE: return PyBool_FromLong(x >= y);
        default: Py_RETURN_NOTIMPLEMENTED;
    }
}

PyObject* nb_int(PyObject* self) { return PyLong_FromUnsignedLongLong(Binding_Handle(self)); }

PyNumberMethods as_number = [] {
    PyNumberMethods n{};
    n.nb_int = nb_int;
    return n;
}();

PyMemberDef members[] = {
    {"handle", T_ULONGLONG, offsetof(Binding, handle), READONLY, "Opaque binding handle"},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject t = blank_static_type();
    t.tp_name = "tarnwick_stream.Binding";
    t.tp_basicsize = sizeof(Binding);
    t.tp_dealloc = dealloc;
    t.tp_repr = repr;
    t.tp_as_number = &as_number;
    t.tp_hash = hash;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_richcompare = richcompare;
    t.tp_members = members;
    t.tp_new = tp_new;
    return t;
}

}  // namespace

PyTypeObject Binding_Type = make_type();

PyObject* Binding_New(uint64_t handle) {
    PyObject* self = Binding_Type.tp_alloc(&Binding_Type, 0);
    if (!self) return nullptr;
    reinterpret_cast<Binding*>(self)->handle = handle;
    return self;
}

}  // namespace tarnwick_stream
