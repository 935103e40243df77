// The decorator factories (`kestrined`, `automagically_kestrined`), the MethodSpec they
// build, and KestrineDecorator, whose call runs the memoised call path.
#pragma once

#include <Python.h>

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
    FastBinder binder;
    // The hash of `(name, ())` for a method whose only parameter is `self`, else -1.
    Py_hash_t no_argument_hash = -1;
};

struct KestrineDecoratorObject {
    PyObject ob_base;
    vectorcallfunc vectorcall;
    MethodSpec spec;
};

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
