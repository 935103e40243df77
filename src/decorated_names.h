// Which attribute names of a class resolve to decorated methods: assigning or deleting one
// through an instance is refused.
#pragma once

#include <Python.h>

#include "py_ref.h"

namespace kestrine {

// Calls f(name, value) for each attribute along `type`'s MRO (a class object) whose
// definition is the most derived one, classes in MRO order. f returns 1 to go on, 0 to stop,
// -1 with an exception set. Returns false with an exception set. The MRO and each class's
// items are snapshots of our own: f may run Python code.
template <typename F>
bool for_each_resolved_attribute(PyObject* type, F&& f) {
    Ref mro = Ref::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return false;
    mro = Ref::steal(PySequence_Tuple(mro.get()));
    if (!mro) return false;
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!seen) return false;
    for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(mro.get()); ++c) {
        PyObject* cls = PyTuple_GET_ITEM(mro.get(), c);
        if (!PyType_Check(cls)) continue;
        Ref namespace_ = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
        if (!namespace_) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        Ref items = Ref::steal(PyDict_Items(namespace_.get()));
        if (!items) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(pair, 0);
            int known = PySet_Contains(seen.get(), key);
            if (known < 0 || (known == 0 && PySet_Add(seen.get(), key) < 0)) return false;
            if (known) continue;
            int go_on = f(key, PyTuple_GET_ITEM(pair, 1));
            if (go_on <= 0) return go_on == 0;
        }
    }
    return true;
}

// Whether `name` (a str) resolves on `type`, along its MRO with the most derived definition
// deciding, to a KestrineDecorator. 1 yes, 0 no, -1 with an exception set.
//
// Each thread remembers the decorated names of the classes it asked about, keyed by the
// class's version tag, which the interpreter changes whenever the class or one of its bases
// changes. An assignment on an instance therefore costs a few comparisons, and walks the MRO
// only once per class version and thread.
int is_decorated_method_name(PyTypeObject* type, PyObject* name);

}  // namespace kestrine
