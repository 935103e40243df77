// Module surface: the type registry and the argument-binding rules of every slot and
// method that takes arguments.
#pragma once

#include <Python.h>

#include <array>

#include "py_ref.h"

namespace kestrine {

// The classes, each created from its spec once per process on first use and reused
// afterwards (also by a second module object). Return a borrowed reference, or nullptr
// with an exception set.
PyTypeObject* kestrine_base_type();
PyTypeObject* kestrined_type();
PyTypeObject* automagically_kestrined_type();
PyTypeObject* kestrine_decorator_type();

// The named tuple type cache_info returns (hits, misses, maxsize, currsize).
PyTypeObject* cache_info_type();

// The type once created, without creating it (nullptr before). Cheap: one atomic load.
PyTypeObject* kestrine_base_type_if_ready();

// The parameters of one callable, for the shared binding rules. Leading positional-only
// parameters (cls, self) are supplied by the interpreter and only named here for the
// "positional-only arguments passed as keyword arguments" error.
struct ParamSpec {
    static constexpr int kMaxParams = 5;
    const char* full_name;                      // "kestrined.__new__()"
    const char* positional_only_name;           // "cls"/"self"; its value is never in args
    std::array<const char*, kMaxParams> names;  // positional-or-keyword, in order
    int count;                                  // how many of `names` are used
    int required;                               // the first `required` have no default
    bool var_keyword;                           // a ** parameter collects unmatched keywords
};

// Result of binding: one value (or nullptr when absent) per named parameter and the dict
// of unmatched keywords (only when var_keyword; nullptr when there were none).
struct BoundArgs {
    std::array<Ref, ParamSpec::kMaxParams> values;
    Ref extra_keywords;
    PyObject* get(int i) const { return values[i].get(); }
};

// Binds a tuple-and-dict call (tp_new, tp_call, METH_VARARGS|METH_KEYWORDS).
bool bind_arguments(const ParamSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& out);
// Binds a vectorcall (METH_FASTCALL|METH_KEYWORDS).
bool bind_fastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArgs& out);

}  // namespace kestrine
