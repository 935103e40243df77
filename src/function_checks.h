// The checks a function must pass to be decorated: a serialisable method's signature, and no
// generator or coroutine function.
#pragma once

#include <Python.h>

namespace kestrine {

// Succeeds when the parameters of inspect.signature(func) are exactly ["self"]; otherwise
// ValueError. Returns false with an exception set.
bool check_serialisable_signature(PyObject* func);

// Refuses generator, coroutine and asynchronous generator functions (as inspect recognises
// them, through functools.partial and markcoroutinefunction): the object of the first call
// would be stored and handed out again after it was spent. TypeError naming `name` (the
// function's __name__, a str). Returns false with an exception set.
bool check_memoisable_function(PyObject* func, PyObject* name);

}  // namespace kestrine
