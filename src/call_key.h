// Call keys: a call bound to its function's signature and hashed into a key, the parts a key
// is compared by before its tuple exists, and how keys are shown to Python.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "py_ref.h"
#include "small_vector.h"

namespace kestrine {

// A key tuple `(method_name, ((parameter_name, value), ...))` and its key hash
// (hash_key_parts over its parts).
struct CallKey {
    Py_hash_t hash = -1;
    Ref key;
};

// Builds a CallKey. With `function`, binds `args` (a tuple) and `kwargs` (dict or nullptr)
// through inspect.signature(function).bind(...) and apply_defaults(); without, uses
// `kwargs` unchanged (nullptr for none). The parameter named "self" is left out and the
// items are sorted by the UTF-8 bytes of their names. Returns false with an exception set.
bool make_call_key(std::string_view method_name, PyObject* function, PyObject* args,
                   PyObject* kwargs, CallKey& out);

// How a key without argument items is shown: a new str of its method name.
PyObject* display_key_name(PyObject* method_name);

// One argument item of a key before the tuple exists: name (a str) and value, both
// borrowed: from the call's arguments, the binder's names, or KeyParts::keep_alive.
struct KeyItem {
    PyObject* name;
    PyObject* value;
    Py_hash_t name_hash;
};

// The parts of a key before (or instead of) its tuple: compared with registered keys item
// by item and copied into the registry's native storage when the key is new.
struct KeyParts {
    PyObject* method_name = nullptr;  // borrowed str, alive for the call
    Py_hash_t method_name_hash = -1;  // its hash when known beforehand
    SmallVector<KeyItem, 6> items;    // sorted by the UTF-8 bytes of the names
    SmallVector<Ref, 4> keep_alive;   // objects made or looked up for this key
    Py_hash_t hash = -1;
    // A new key tuple from the parts.
    PyObject* to_tuple() const;
    // Keeps `obj` (a new reference) alive with the parts and returns it borrowed.
    PyObject* keep(PyObject* obj) {
        keep_alive.emplace_back(Ref::steal(obj));
        return obj;
    }
};

// The parts of the key built from `method_name` and `kwargs` (a dict or nullptr) without
// binding or defaults, hashed by hash_key_parts. Returns false with an exception set.
bool key_parts_of_kwargs(std::string_view method_name, PyObject* kwargs, KeyParts& out);
// Borrowed parts of a well-formed key tuple with its known hash; the tuple must outlive
// `out`.
void key_parts_of_tuple(PyObject* key, Py_hash_t hash, KeyParts& out);

// Natively binds calls of one plain Python function the way inspect.signature(func).bind
// followed by apply_defaults() does, for the common case. Built once per decorated method.
class FastBinder {
  public:
    // Prepares a plan for `func` (an exact function object). A function the plan cannot
    // describe yields a binder that always declines.
    static FastBinder plan(PyObject* func);

    FastBinder() = default;
    FastBinder(FastBinder&&) = default;
    FastBinder& operator=(FastBinder&&) = default;

    // 1: bound, `parts.items` filled and sorted (hash not computed); 0: this call must go
    // through inspect (nothing set); -1: error set.
    int bind(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             KeyParts& parts) const;

    // True when the method's only parameter is `self` (no arguments beside the instance).
    bool self_only() const {
        return usable_ && positional_count_ == 1 && keyword_only_ == 0 && names_.empty() &&
               !var_positional_ && !var_keyword_;
    }
    // Whether the plan still describes `func` as inspect would see it now.
    bool applies_to(PyObject* func) const;
    // Shows the collector what the plan holds: a default value may refer back to the class
    // that owns the method.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(code_.get());
        Py_VISIT(defaults_.get());
        Py_VISIT(keyword_defaults_.get());
        for (const Ref& name : param_names_) Py_VISIT(name.get());
        for (const Ref& name : names_) Py_VISIT(name.get());
        return 0;
    }

  private:
    bool usable_ = false;
    Ref code_;                  // the code object the plan describes
    int positional_count_ = 0;  // co_argcount
    int positional_only_ = 0;   // co_posonlyargcount
    int keyword_only_ = 0;      // co_kwonlyargcount
    bool var_positional_ = false;
    bool var_keyword_ = false;
    std::vector<Ref> param_names_;  // code's parameter names, in parameter order
    // __defaults__ and __kwdefaults__ as the plan found them, held: while the function still
    // has them, a call reads them without taking a reference, and another thread's
    // assignment cannot free them under the call.
    Ref defaults_;
    Ref keyword_defaults_;
    // Argument items in key order: index into parameters (positional, keyword-only, then
    // *args, **kwargs), excluding "self"; names_ holds the new strs shown in keys.
    std::vector<int> key_order_;
    std::vector<Ref> names_;
    std::vector<Py_hash_t> name_hashes_;
};

// Computes `parts.hash` from the method name's and the values' hashes, hashing the values in
// the order the interpreter hashes the key's tuple. Equal keys hash equally. Returns false
// with an exception set (an unhashable value).
bool hash_key_parts(KeyParts& parts);

// Fills `parts` for a decorated call: the fast binder where it applies, else the inspect
// path; then the hash, computed as for the built tuple. Returns false with an exception.
// `method_name_hash` is the method name's hash (-1: computed here); `no_argument_hash` the
// precomputed hash of `(name, ())` for a method whose only parameter is `self`, or nullptr.
bool make_key_parts(PyObject* method_name, Py_hash_t method_name_hash, PyObject* func,
                    const FastBinder& binder, const Py_hash_t* no_argument_hash,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, KeyParts& parts);

}  // namespace kestrine
