// Call keys: binding a call's arguments to the wrapped function's signature (natively for the
// common case, otherwise through the interpreter's own `inspect`) and hashing them, and how
// keys are shown to Python.
#include "call_key.h"

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.h"
#include "py_ref.h"
#include "py_shorthands.h"

namespace kestrine {

PyObject* display_key_name(PyObject* method_name) {
    std::string_view name;
    if (!view_text(method_name, name)) return nullptr;
    return new_str(name).release();
}

// ---------------------------------------------------------------------------------------
// Call keys

namespace {

// One argument item while a key is being built: UTF-8 name and the value.
struct NamedValue {
    std::string name;
    Ref value;
};

// The argument mapping of a call: inspect.signature(function).bind(...) + apply_defaults(),
// or `kwargs` itself (a new empty dict when absent) without a function.
Ref argument_mapping(PyObject* function, PyObject* args, PyObject* kwargs) {
    if (!function) return kwargs ? Ref::borrow(kwargs) : Ref::steal(PyDict_New());
    Ref inspect = import_module("inspect");
    if (!inspect) return Ref();
    Ref signature = Ref::steal(PyObject_CallMethod(inspect.get(), "signature", "O", function));
    if (!signature) return Ref();
    Ref bind = Ref::steal(PyObject_GetAttrString(signature.get(), "bind"));
    if (!bind) return Ref();
    Ref bound = Ref::steal(PyObject_Call(bind.get(), args, kwargs));
    if (!bound) return Ref();
    Ref applied = Ref::steal(PyObject_CallMethod(bound.get(), "apply_defaults", nullptr));
    if (!applied) return Ref();
    return Ref::steal(PyObject_GetAttrString(bound.get(), "arguments"));
}

// Steps shared by every way of building a key: walk the mapping, convert and filter the
// names, sort by UTF-8 bytes.
bool collect_items(PyObject* function, PyObject* args, PyObject* kwargs,
                   std::vector<NamedValue>& items) {
    Ref mapping = argument_mapping(function, args, kwargs);
    if (!mapping) return false;
    if (!PyDict_Check(mapping.get())) {
        raise_type_mismatch(mapping.get(), "dict");
        return false;
    }
    std::vector<std::pair<Ref, Ref>> entries;
    Py_BEGIN_CRITICAL_SECTION(mapping.get());
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(mapping.get(), &pos, &name, &value))
        entries.emplace_back(Ref::borrow(name), Ref::borrow(value));
    Py_END_CRITICAL_SECTION();
    for (auto& [name_ref, value_ref] : entries) {
        std::string text;
        if (!convert_text(name_ref.get(), text)) return false;
        if (text == "self") continue;
        items.push_back({std::move(text), std::move(value_ref)});
    }
    // std::string orders by unsigned bytes; names in one mapping are distinct.
    std::sort(items.begin(), items.end(),
              [](const NamedValue& a, const NamedValue& b) { return a.name < b.name; });
    return true;
}

// Moves collected items into `parts`, each name a new str kept alive with the parts.
bool add_items(std::vector<NamedValue>& items, KeyParts& parts) {
    for (auto& item : items) {
        Ref name = new_str(item.name);
        if (!name) return false;
        Py_hash_t hash = PyObject_Hash(name.get());
        if (hash == -1) return false;
        PyObject* value = parts.keep(item.value.release());
        parts.items.emplace_back(KeyItem{parts.keep(name.release()), value, hash});
    }
    return true;
}

}  // namespace

bool make_call_key(std::string_view method_name, PyObject* function, PyObject* args,
                   PyObject* kwargs, CallKey& out) {
    std::vector<NamedValue> items;
    if (!collect_items(function, args, kwargs, items)) return false;
    Ref name = new_str(method_name);
    if (!name) return false;
    KeyParts parts;
    parts.method_name = name.get();
    if (!add_items(items, parts) || !hash_key_parts(parts)) return false;
    Ref key = Ref::steal(parts.to_tuple());
    if (!key) return false;
    out.hash = parts.hash;
    out.key = std::move(key);
    return true;
}

bool key_parts_of_kwargs(std::string_view method_name, PyObject* kwargs, KeyParts& out) {
    std::vector<NamedValue> items;
    if (!collect_items(nullptr, nullptr, kwargs, items)) return false;
    Ref name = new_str(method_name);
    if (!name) return false;
    out.method_name = out.keep(name.release());
    return add_items(items, out) && hash_key_parts(out);
}

void key_parts_of_tuple(PyObject* key, Py_hash_t hash, KeyParts& out) {
    // Tuples are immutable: their items stay alive as long as the tuple.
    out.method_name = PyTuple_GET_ITEM(key, 0);
    PyObject* items = PyTuple_GET_ITEM(key, 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(items, i);
        out.items.emplace_back(KeyItem{PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), -1});
    }
    out.hash = hash;
}

PyObject* KeyParts::to_tuple() const {
    Ref items_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!items_tuple) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* pair = PyTuple_Pack(2, items[i].name, items[i].value);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(items_tuple.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return PyTuple_Pack(2, method_name, items_tuple.get());
}

// ---------------------------------------------------------------------------------------
// Native binding

FastBinder FastBinder::plan(PyObject* func) {
    FastBinder binder;
    if (!Py_IS_TYPE(func, &PyFunction_Type)) return binder;
    PyObject* code = PyFunction_GetCode(func);
    if (!code || !PyCode_Check(code)) return binder;
    auto* co = reinterpret_cast<PyCodeObject*>(code);
    binder.code_ = Ref::borrow(code);
    binder.positional_count_ = co->co_argcount;
    binder.positional_only_ = co->co_posonlyargcount;
    binder.keyword_only_ = co->co_kwonlyargcount;
    binder.var_positional_ = (co->co_flags & CO_VARARGS) != 0;
    binder.var_keyword_ = (co->co_flags & CO_VARKEYWORDS) != 0;
    int total = binder.positional_count_ + binder.keyword_only_ + binder.var_positional_ +
                binder.var_keyword_;
    Ref varnames = Ref::steal(PyCode_GetVarnames(co));
    if (!varnames || PyTuple_GET_SIZE(varnames.get()) < total) {
        PyErr_Clear();
        return FastBinder();
    }
    std::vector<std::pair<std::string, int>> order;
    for (int i = 0; i < total; ++i) {
        PyObject* name = PyTuple_GET_ITEM(varnames.get(), i);
        binder.param_names_.push_back(Ref::borrow(name));
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (!text) {
            PyErr_Clear();
            return FastBinder();
        }
        std::string utf8(text, static_cast<std::size_t>(size));
        if (utf8 != "self") order.emplace_back(std::move(utf8), i);
    }
    std::sort(order.begin(), order.end());
    for (auto& [utf8, index] : order) {
        Ref name = new_str(utf8);
        if (!name) {
            PyErr_Clear();
            return FastBinder();
        }
        Py_hash_t hash = PyObject_Hash(name.get());
        if (hash == -1) {
            PyErr_Clear();
            return FastBinder();
        }
        binder.key_order_.push_back(index);
        binder.names_.push_back(std::move(name));
        binder.name_hashes_.push_back(hash);
    }
    binder.defaults_ = Ref::borrow(PyFunction_GetDefaults(func));
    binder.keyword_defaults_ = Ref::borrow(PyFunction_GetKwDefaults(func));
    binder.usable_ = true;
    return binder;
}

namespace {

// Whether inspect.signature would see `func` as the plain function its code describes:
// no attributes that unwrapping or a stored signature could use, and (3.14) annotations
// that inspect would not need to evaluate.
[[gnu::always_inline]] inline bool plain_function(PyObject* func, PyObject* code) {
    auto* f = reinterpret_cast<PyFunctionObject*>(func);
    if (std::atomic_ref<PyObject*>(f->func_code).load(std::memory_order_relaxed) != code)
        return false;
    // Usually no __dict__ was ever made. When there is one, its size is read under the
    // function's lock: `func.__dict__ = ...` swaps and releases the old dict under that lock,
    // so without it the dict read could be freed by another thread meanwhile.
    if (std::atomic_ref<PyObject*>(f->func_dict).load(std::memory_order_acquire)) {
        Py_ssize_t size = 0;
        Py_BEGIN_CRITICAL_SECTION(func);
        if (PyObject* dict = f->func_dict) size = PyDict_GET_SIZE(dict);
        Py_END_CRITICAL_SECTION();
        if (size != 0) return false;
    }
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* annotate =
        std::atomic_ref<PyObject*>(f->func_annotate).load(std::memory_order_relaxed);
    PyObject* annotations =
        std::atomic_ref<PyObject*>(f->func_annotations).load(std::memory_order_relaxed);
    if (annotate && annotate != Py_None && !annotations) return false;
#endif
    return true;
}

// The function's defaults (a tuple or dict, or nullptr for none) in `out`: the object the
// binder holds when the function still has it, else the function's current one fetched with
// a reference that `parts` keeps. false with an exception set.
[[gnu::always_inline]] inline bool current_or_fetched(PyObject* func,
                                                      PyObject* PyFunctionObject::* field,
                                                      PyObject* held, const char* attribute,
                                                      KeyParts& parts, PyObject*& out) {
    auto* f = reinterpret_cast<PyFunctionObject*>(func);
    if (std::atomic_ref<PyObject*>(f->*field).load(std::memory_order_relaxed) == held) {
        out = held;
        return true;
    }
    PyObject* fetched = PyObject_GetAttrString(func, attribute);
    if (!fetched) return false;
    if (fetched == Py_None) {
        Py_DECREF(fetched);
        out = nullptr;
    } else {
        out = parts.keep(fetched);
    }
    return true;
}

bool same_name(PyObject* a, PyObject* b) {
    return a == b || PyUnicode_Compare(a, b) == 0;
}

}  // namespace

bool FastBinder::applies_to(PyObject* func) const {
    return usable_ && plain_function(func, code_.get());
}

int FastBinder::bind(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     KeyParts& parts) const {
    constexpr int kMaxSlots = 16;
    int named = positional_count_ + keyword_only_;
    int slot_count = named + var_positional_ + var_keyword_;
    if (slot_count > kMaxSlots || !applies_to(func)) return 0;
    // Cleared in fixed-size blocks the compiler writes with a few vector stores: clearing a
    // variable length costs a string instruction whose start-up takes longer than binding.
    PyObject* slots[kMaxSlots];
    if (slot_count <= 4) {
        std::memset(slots, 0, 4 * sizeof(PyObject*));
    } else {
        std::memset(slots, 0, sizeof(slots));
    }

    Py_ssize_t positional = nargs < positional_count_ ? nargs : positional_count_;
    // A few positional arguments are copied one by one: a loop would become a library call.
    switch (positional) {
        case 4:
            slots[3] = args[3];
            [[fallthrough]];
        case 3:
            slots[2] = args[2];
            [[fallthrough]];
        case 2:
            slots[1] = args[1];
            [[fallthrough]];
        case 1:
            slots[0] = args[0];
            [[fallthrough]];
        case 0:
            break;
        default:
            std::memcpy(slots, args, static_cast<std::size_t>(positional) * sizeof(PyObject*));
    }
    if (var_positional_) {
        PyObject* surplus = PyTuple_New(nargs - positional);
        if (!surplus) return -1;
        for (Py_ssize_t i = positional; i < nargs; ++i)
            PyTuple_SET_ITEM(surplus, i - positional, Py_NewRef(args[i]));
        slots[named] = parts.keep(surplus);
    } else if (nargs > positional_count_) {
        return 0;
    }

    PyObject* extra_keywords = nullptr;
    if (var_keyword_) {
        extra_keywords = PyDict_New();
        if (!extra_keywords) return -1;
        slots[named + var_positional_] = parts.keep(extra_keywords);
    }
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_CheckExact(name)) return 0;
        int match = -1;
        for (int i = 0; i < named && match < 0; ++i)
            if (same_name(param_names_[i].get(), name)) match = i;
        if (match >= 0) {
            // Positional-only names given by keyword, and duplicates, are inspect's to judge.
            if (match < positional_only_ || slots[match]) return 0;
            slots[match] = args[nargs + j];
            continue;
        }
        if (!extra_keywords) return 0;
        if (PyDict_SetItem(extra_keywords, name, args[nargs + j]) < 0) return -1;
    }

    // Defaults are read on every call: __defaults__ and __kwdefaults__ may be replaced, by
    // another thread too. While they are the ones the plan holds, their items are read
    // without references. A replacement is read through the function's attribute, which
    // gives a reference of our own.
    PyObject* defaults = nullptr;
    bool defaults_read = false;
    for (int i = 0; i < positional_count_; ++i) {
        if (slots[i]) continue;
        if (!defaults_read) {
            defaults_read = true;
            if (!current_or_fetched(func, &PyFunctionObject::func_defaults, defaults_.get(),
                                    "__defaults__", parts, defaults))
                return -1;
        }
        if (!defaults || !PyTuple_Check(defaults)) return 0;
        Py_ssize_t index = i - (positional_count_ - PyTuple_GET_SIZE(defaults));
        if (index < 0) return 0;
        slots[i] = PyTuple_GET_ITEM(defaults, index);
    }
    PyObject* keyword_defaults = nullptr;
    bool keyword_defaults_read = false;
    for (int i = positional_count_; i < named; ++i) {
        if (slots[i]) continue;
        if (!keyword_defaults_read) {
            keyword_defaults_read = true;
            if (!current_or_fetched(func, &PyFunctionObject::func_kwdefaults,
                                    keyword_defaults_.get(), "__kwdefaults__", parts,
                                    keyword_defaults))
                return -1;
        }
        if (!keyword_defaults || !PyDict_Check(keyword_defaults)) return 0;
        PyObject* value = nullptr;
        int found = PyDict_GetItemRef(keyword_defaults, param_names_[i].get(), &value);
        if (found < 0) return -1;
        if (found == 0) return 0;
        slots[i] = parts.keep(value);
    }

    for (std::size_t k = 0; k < key_order_.size(); ++k)
        parts.items.emplace_back(KeyItem{names_[k].get(), slots[key_order_[k]], name_hashes_[k]});
    return 1;
}

namespace {

// The inspect path for a vectorcall: pack the arguments and bind them through inspect.
bool inspect_key_parts(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       KeyParts& parts) {
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return false;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, j), args[nargs + j]) < 0)
                return false;
    }
    std::vector<NamedValue> items;
    return collect_items(func, tuple.get(), kwargs.get(), items) && add_items(items, parts);
}

}  // namespace

namespace {

// PyObject_Hash, with the commonest argument type hashed in line: a small int is its own
// hash (-1 excepted).
Py_hash_t hash_value(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
        return v == -1 ? -2 : static_cast<Py_hash_t>(v);
    }
    return PyObject_Hash(value);
}

[[gnu::always_inline]] inline bool hash_parts(KeyParts& parts) {
    // Values are hashed in the order the interpreter hashes the key's tuple, so the first
    // unhashable value raises the same error. The key's own hash is a cheap chain of one
    // multiplication per item (equal keys have equal item hashes, so equal key hashes); the
    // registry spreads it before use.
    constexpr Py_uhash_t kValueFactor = 0x9E3779B97F4A7C15ULL;
    constexpr Py_uhash_t kChainFactor = 0xC2B2AE3D27D4EB4FULL;
    Py_hash_t name_hash = parts.method_name_hash;
    if (name_hash == -1 && (name_hash = hash_value(parts.method_name)) == -1) return false;
    auto acc = static_cast<Py_uhash_t>(name_hash);
    for (const KeyItem& item : parts.items) {
        Py_hash_t value_hash = hash_value(item.value);
        if (value_hash == -1) return false;
        Py_uhash_t item_hash = static_cast<Py_uhash_t>(item.name_hash) +
                               static_cast<Py_uhash_t>(value_hash) * kValueFactor;
        acc = (acc ^ item_hash) * kChainFactor;
    }
    acc ^= acc >> 32;
    parts.hash = acc == static_cast<Py_uhash_t>(-1) ? 1 : static_cast<Py_hash_t>(acc);
    return true;
}

}  // namespace

bool hash_key_parts(KeyParts& parts) {
    return hash_parts(parts);
}

bool make_key_parts(PyObject* method_name, Py_hash_t method_name_hash, PyObject* func,
                    const FastBinder& binder, const Py_hash_t* no_argument_hash,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, KeyParts& parts) {
    parts.method_name = method_name;
    parts.method_name_hash = method_name_hash;
    // A method whose only parameter is `self`, called with the instance alone: the key is
    // always `(name, ())`, hashed once.
    if (no_argument_hash && nargs == 1 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) &&
        binder.applies_to(func)) {
        parts.hash = *no_argument_hash;
        return true;
    }
    int bound = binder.bind(func, args, nargs, kwnames, parts);
    if (bound < 0) return false;
    if (bound == 0) {
        parts.items.clear();
        if (!inspect_key_parts(func, args, nargs, kwnames, parts)) return false;
    }
    if (parts.items.empty() && no_argument_hash) {
        parts.hash = *no_argument_hash;
        return true;
    }
    return hash_parts(parts);
}

}  // namespace kestrine
