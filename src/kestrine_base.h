// KestrineBase: the Python type that carries an instance's CacheState, with the methods and
// properties that query, change, show, dump and load it.
#pragma once

#include <Python.h>

#include "access_guard.h"
#include "cache_state.h"

namespace kestrine {

// The guard stays inline; the cache state is allocated on the first memoised call, so an
// instance that never memoises costs a pointer. The pointer is written only under
// exclusive access and read under some access (or by the last owner in dealloc).
struct KestrineBaseObject {
    PyObject ob_base;
    AccessGuard guard;
    CacheState* state;
};

inline KestrineBaseObject* as_base(PyObject* obj) {
    return reinterpret_cast<KestrineBaseObject*>(obj);
}

// Whether `obj` is an instance of KestrineBase or a subclass (a plain type test).
bool is_kestrine_instance(PyObject* obj);

// The instance's state, allocated when missing; needs exclusive access. nullptr with
// MemoryError set when it cannot be allocated.
CacheState* ensure_state(KestrineBaseObject* base);

// A new CacheInfo of `counts` (maxsize -1 shows as None).
PyObject* new_cache_info(const MethodCounts& counts);

PyType_Spec* kestrine_base_spec();

}  // namespace kestrine
