// Which attribute names of a class resolve to decorated methods: assigning or deleting one
// through an instance is refused.
#pragma once

#include <Python.h>

#include <functional>

namespace kestrine {

// Calls f(name, value) for each attribute along `type`'s MRO (a class object) whose
// definition is the most derived one, classes in MRO order; names that are not str are
// passed over. f returns 1 to go on, 0 to stop, -1 with an exception set. Returns false with
// an exception set. Names are told apart by their characters, so the walk itself runs no
// Python code of a str subclass (its __hash__ or __eq__); the MRO and each class's items
// are snapshots held to the end: f may run Python code.
bool for_each_resolved_attribute(PyObject* type, const std::function<int(PyObject*, PyObject*)>& f);

// Whether a class along `type`'s MRO holds `value` itself in its own dict, under any name:
// 1, 0, or -1 with an exception set. Each dict is read as a snapshot.
int mro_holds(PyObject* type, PyObject* value);

// Whether `name` (a str) resolves on `type`, along its MRO with the most derived definition
// deciding, to a KestrineDecorator. 1 yes, 0 no, -1 with an exception set.
//
// The decorated names of the classes asked about are remembered, shared by all threads and
// keyed by the class's version tag, which the interpreter changes whenever the class or one
// of its bases changes. An assignment on an instance therefore costs a few loads and
// comparisons, and walks the MRO only once per class version. The names are remembered
// only from a walk that ended with the class version it started with; names that are not
// interned exact strs are never compared from memory: another thread may release them at
// any moment, so such a question is answered by a lookup that holds what it compares.
int is_decorated_method_name(PyTypeObject* type, PyObject* name);

}  // namespace kestrine
