// The decorator factories (`kestrined`, `automagically_kestrined`), the MethodSpec they
// build, and KestrineDecorator, whose call runs the memoised call path.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "call_key.h"

namespace kestrine {

// The configuration of one decorated method; immutable once built.
struct MethodSpec {
    std::vector<CallKey> dependency_keys;
    std::string name;
    Ref name_str;  // `name` as a str, the first item of every key of this method
    Py_hash_t name_hash = -1;
    Ref func;
    bool use_cache = true;
    bool track_runtime_dependencies = false;
    bool serialisable = false;
    // At most this many stored values per instance unless the instance sets its own;
    // -1: unbounded.
    std::int64_t maxsize = -1;
    FastBinder binder;
    // The hash of `(name, ())` for a method whose only parameter is `self`, else -1.
    Py_hash_t no_argument_hash = -1;
};

// The live instances that ran a decorated method, for its class-wide cache_clear and
// cache_info (defined with them).
struct InstanceRegistry;

struct KestrineDecoratorObject {
    PyObject ob_base;
    vectorcallfunc vectorcall;
    MethodSpec spec;
    InstanceRegistry* instances;
};

// Makes `instance` one of the instances the decorated method `decorator` reaches with its
// class-wide cache_clear and cache_info; false with MemoryError set.
bool join_instances(KestrineDecoratorObject* decorator, PyObject* instance);

// A `maxsize` argument: None (-1, unbounded) or an int >= 0 (a larger one than fits is
// unbounded in effect). TypeError for a bool or another type, ValueError for a negative int.
bool convert_maxsize(PyObject* value, std::int64_t& out);

// TypeError "Cannot assign to decorated method" / NotImplementedError "can't delete
// descriptor": assignment and deletion of a decorated method through an instance.
void raise_assignment_refused();
void raise_deletion_refused();

// The MethodSpec of a KestrineDecorator, or nullptr when `obj` is not one or was cleared by
// the garbage collector.
const MethodSpec* method_spec_of(PyObject* obj);

PyType_Spec* kestrined_spec();
PyType_Spec* automagically_kestrined_spec();
PyType_Spec* kestrine_decorator_spec();

}  // namespace kestrine
