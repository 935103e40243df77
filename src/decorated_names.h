// Which attribute names of a class resolve to decorated methods: assigning or deleting one
// through an instance is refused.
#pragma once

#include <Python.h>

namespace kestrine {

// Whether `name` (a str) resolves on `type`, along its MRO with the most derived definition
// deciding, to a KestrineDecorator. 1 yes, 0 no, -1 with an exception set.
//
// Each thread remembers the decorated names of the classes it asked about, keyed by the
// class's version tag, which the interpreter changes whenever the class or one of its bases
// changes. An assignment on an instance therefore costs a few comparisons, and walks the MRO
// only once per class version and thread.
int is_decorated_method_name(PyTypeObject* type, PyObject* name);

}  // namespace kestrine
