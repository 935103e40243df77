// KestrineBase and its CacheState: validation rules, the query and mutation methods, the
// inspection properties, and dump/load.
#include "kestrine_base.h"

#include <algorithm>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "decorator.h"
#include "errors.h"
#include "module.h"
#include "py_introspection_utils.h"

namespace kestrine {

// ---------------------------------------------------------------------------------------
// CacheState

CacheState::~CacheState() {
    // Values go first, then (with the registry) the key tuples.
    for (PyObject*& value : values_) Py_CLEAR(value);
}

void CacheState::ensure(KeyId k) {
    if (k < meta_.size()) return;
    std::size_t size = static_cast<std::size_t>(k) + 1;
    meta_.resize(size, kNoState);
    dependents_.resize(size);
    dependencies_.resize(size);
}

EntryState CacheState::state_of(KeyId k) const {
    if (k >= meta_.size()) return EntryState::PermanentlyInvalid;
    std::uint8_t s = meta_[k] & kStateMask;
    return s == kNoState ? EntryState::PermanentlyInvalid : EntryState(s);
}

PyObject* CacheState::servable_value(KeyId k) const {
    if (state_of(k) != EntryState::Valid || !has_value(k)) return nullptr;
    return Py_NewRef(values_[k]);
}

void CacheState::set_state(KeyId k, EntryState s) {
    ensure(k);
    meta_[k] = static_cast<std::uint8_t>((meta_[k] & ~kStateMask) | static_cast<std::uint8_t>(s));
}

void CacheState::make_node(KeyId k) {
    ensure(k);
    meta_[k] |= kNodeBit;
}

void CacheState::add_edge(KeyId dependency, KeyId dependent) {
    if (dependents_[dependency].insert(static_cast<std::uint32_t>(dependent)))
        dependencies_[dependent].insert(static_cast<std::uint32_t>(dependency));
}

void CacheState::register_call(KeyId k, const KeyId* declared, std::size_t count) {
    if (has_state(k)) return;
    set_state(k, EntryState::Invalid);
    make_node(k);
    for (std::size_t i = 0; i < count; ++i) {
        make_node(declared[i]);
        add_edge(declared[i], k);
    }
}

void CacheState::record_runtime_dependency(KeyId caller, KeyId callee) {
    make_node(caller);
    make_node(callee);
    add_edge(callee, caller);
}

void CacheState::derive_state(KeyId k) {
    ensure(k);
    // The forward edges are exactly the nodes whose dependents contain k; the outcome does
    // not depend on the order they are read in.
    bool saw_invalid = false;
    bool permanently = false;
    dependencies_[k].for_each([&](std::uint32_t d) {
        EntryState s = state_of(d);
        if (s == EntryState::PermanentlyInvalid) permanently = true;
        if (s == EntryState::Invalid) saw_invalid = true;
    });
    if (permanently) {
        mark_permanently_invalid(k);
    } else if (saw_invalid) {
        invalidate(k);
    } else {
        revalidate(k);
    }
}

void CacheState::store_if_valid(KeyId k, PyObject* value) {
    if (state_of(k) != EntryState::Valid) {
        Py_DECREF(value);
        return;
    }
    Py_XDECREF(exchange_value(k, value));
}

void CacheState::invalidate(KeyId k) {
    // Iterative depth-first walk over the dependents; cycles are cut by the visited marks.
    if (visit_mark_.size() < meta_.size()) visit_mark_.resize(meta_.size(), 0);
    if (++visit_epoch_ == 0) {
        std::fill(visit_mark_.begin(), visit_mark_.end(), 0);
        visit_epoch_ = 1;
    }
    std::vector<std::uint32_t> pending{static_cast<std::uint32_t>(k)};
    if (k < visit_mark_.size()) visit_mark_[k] = visit_epoch_;
    while (!pending.empty()) {
        std::uint32_t x = pending.back();
        pending.pop_back();
        if (x >= meta_.size()) continue;
        demote_if_valid(meta_[x]);
        if (!(meta_[x] & kNodeBit)) continue;
        dependents_[x].for_each([&](std::uint32_t y) {
            if (visit_mark_[y] == visit_epoch_) return;
            visit_mark_[y] = visit_epoch_;
            pending.push_back(y);
        });
    }
}

void CacheState::revalidate(KeyId k) {
    if (has_state(k) && state_of(k) == EntryState::Invalid) set_state(k, EntryState::Valid);
}

PyObject* CacheState::exchange_value(KeyId k, PyObject* value) {
    if (values_.size() <= k) values_.resize(static_cast<std::size_t>(k) + 1, nullptr);
    PyObject* old = values_[k];
    values_[k] = value;
    return old;
}

PyObject* CacheState::take_value(KeyId k) {
    if (!has_value(k)) return nullptr;
    PyObject* old = values_[k];
    values_[k] = nullptr;
    return old;
}

void CacheState::clear_all() {
    for (std::uint8_t& m : meta_) demote_if_valid(m);
    // The table keeps its storage for the values computed next.
    for (PyObject*& value : values_) Py_CLEAR(value);
}

// ---------------------------------------------------------------------------------------
// KestrineBase: creation and release

namespace {

PyObject* base_new(PyTypeObject* cls, PyObject*, PyObject*) {
    PyObject* self = cls->tp_alloc(cls, 0);
    if (!self) return nullptr;
    new (&as_base(self)->guard) AccessGuard();
    new (&as_base(self)->state) CacheState();
    return self;
}

void base_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_base(self)->state.~CacheState();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------
// Query and mutation methods

const ParamSpec kGetSpec{
    "KestrineBase.get_cached_value()", "self", {"method_name", "strict"}, 2, 1, true};
const ParamSpec kIsCachedSpec{"KestrineBase.is_cached()", "self", {"method_name"}, 1, 1, true};
const ParamSpec kUpdateSpec{
    "KestrineBase.update_cached_value()", "self", {"method_name", "value"}, 2, 2, true};
const ParamSpec kClearSpec{
    "KestrineBase.clear_cached_value()", "self", {"method_name"}, 1, 1, true};
const ParamSpec kDumpSpec{"KestrineBase.dump_cache()", "self", {"order"}, 1, 0, false};
const ParamSpec kLoadSpec{"KestrineBase.load_cache()", "self", {"data", "order"}, 2, 1, false};

PyObject* raise_key_error_for(const char* format, PyObject* method_name) {
    Ref message = Ref::steal(PyUnicode_FromFormat(format, method_name));
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
    return nullptr;
}

// The steps every single-entry method shares: bind, take exclusive use, convert
// `method_name`, then (after `convert_more`) find the entry. `own_step` runs with the hold.
template <typename ConvertMore, typename OwnStep>
PyObject* with_entry(PyObject* self, const ParamSpec& spec, PyObject* args, PyObject* kwargs,
                     ConvertMore&& convert_more, OwnStep&& own_step) {
    BoundArgs bound;
    if (!bind_arguments(spec, args, kwargs, bound)) return nullptr;
    KestrineBaseObject* base = as_base(self);
    ExclusiveHold hold(base->guard);
    if (!hold.acquired_or_raise()) return nullptr;
    std::string_view method_name;
    if (!view_text(bound.get(0), method_name)) {
        add_processing_note("method_name");
        return nullptr;
    }
    if (!convert_more(bound)) return nullptr;
    KeyId k;
    if (!lookup_key_id(base->state.key_registry(), method_name, bound.extra_keywords.get(), k))
        return nullptr;
    return own_step(base->state, k, bound);
}

bool no_conversion(const BoundArgs&) {
    return true;
}

PyObject* get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    int strict = 1;
    return with_entry(
        self, kGetSpec, args, kwargs,
        [&](const BoundArgs& bound) {
            if (!bound.get(1)) return true;
            strict = convert_bool(bound.get(1));
            if (strict < 0) add_processing_note("strict");
            return strict >= 0;
        },
        [&](CacheState& state, KeyId k, const BoundArgs& bound) -> PyObject* {
            if (PyObject* value = state.servable_value(k)) return value;
            if (!strict) Py_RETURN_NONE;
            return raise_key_error_for("Cannot get cached value for '%U'", bound.get(0));
        });
}

PyObject* is_cached(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_entry(self, kIsCachedSpec, args, kwargs, no_conversion,
                      [](CacheState& state, KeyId k, const BoundArgs&) -> PyObject* {
                          Ref value = Ref::steal(state.servable_value(k));
                          return PyBool_FromLong(value ? 1 : 0);
                      });
}

PyObject* update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_entry(self, kUpdateSpec, args, kwargs, no_conversion,
                      [](CacheState& state, KeyId k, const BoundArgs& bound) -> PyObject* {
                          if (!state.has_value(k))
                              return raise_key_error_for("Cannot update cached value for '%U'",
                                                         bound.get(0));
                          Py_XDECREF(state.exchange_value(k, Py_NewRef(bound.get(1))));
                          state.invalidate(k);
                          state.revalidate(k);
                          Py_RETURN_NONE;
                      });
}

PyObject* clear_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_entry(self, kClearSpec, args, kwargs, no_conversion,
                      [](CacheState& state, KeyId k, const BoundArgs& bound) -> PyObject* {
                          PyObject* old = state.take_value(k);
                          if (!old)
                              return raise_key_error_for("Cannot clear cached value for '%U'",
                                                         bound.get(0));
                          Py_DECREF(old);
                          state.invalidate(k);
                          Py_RETURN_NONE;
                      });
}

PyObject* clear_cache(PyObject* self, PyObject*) {
    KestrineBaseObject* base = as_base(self);
    ExclusiveHold hold(base->guard);
    if (!hold.acquired_or_raise()) return nullptr;
    base->state.clear_all();
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// Inspection properties

// The shown call of `k`, or an empty Ref with no error when the registry has no key for it.
bool shown_call(const CacheState& state, KeyId k, Ref& out) {
    PyObject* key = state.key_registry().key_of(k);
    if (!key) {
        out = Ref();
        return true;
    }
    out = Ref::steal(display_key(key));
    return static_cast<bool>(out);
}

template <typename Fill>
PyObject* inspect_state(PyObject* self, Fill&& fill) {
    KestrineBaseObject* base = as_base(self);
    SharedHold hold(base->guard);
    if (!hold.acquired_or_raise()) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result || !fill(base->state, result.get())) return nullptr;
    return result.release();
}

PyObject* get_cached_values(PyObject* self, void*) {
    return inspect_state(self, [](const CacheState& state, PyObject* dict) {
        return state.for_each_value([&](KeyId k, PyObject* value) {
            Ref shown;
            if (!shown_call(state, k, shown)) return false;
            return !shown || PyDict_SetItem(dict, shown.get(), value) == 0;
        });
    });
}

PyObject* get_dependency_graph(PyObject* self, void*) {
    return inspect_state(self, [](const CacheState& state, PyObject* dict) {
        return state.for_each_node([&](KeyId k, const IdSet& dependents) {
            Ref shown;
            if (!shown_call(state, k, shown)) return false;
            if (!shown) return true;
            Ref members = Ref::steal(PySet_New(nullptr));
            if (!members) return false;
            bool ok = true;
            dependents.for_each([&](std::uint32_t d) {
                if (!ok) return;
                Ref member;
                ok = shown_call(state, d, member) &&
                     (!member || PySet_Add(members.get(), member.get()) == 0);
            });
            return ok && PyDict_SetItem(dict, shown.get(), members.get()) == 0;
        });
    });
}

PyObject* get_validation_state(PyObject* self, void*) {
    return inspect_state(self, [](const CacheState& state, PyObject* dict) {
        return state.for_each_state([&](KeyId k, EntryState s) {
            const char* label = s == EntryState::Valid     ? "valid"
                                : s == EntryState::Invalid ? "invalid"
                                                           : "permanently invalid";
            Ref shown;
            if (!shown_call(state, k, shown)) return false;
            if (!shown) return true;
            Ref text = Ref::steal(PyUnicode_FromString(label));
            return text && PyDict_SetItem(dict, shown.get(), text.get()) == 0;
        });
    });
}

// ---------------------------------------------------------------------------------------
// Dump and load

// Each thread draws its permutations from its own generator.
std::mt19937_64& thread_generator() {
    thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    return generator;
}

// `order` as a list of texts; absent or None gives an empty list.
bool convert_order(PyObject* order, std::vector<std::string>& out) {
    if (!order || order == Py_None) return true;
    bool ok = [&] {
        if (PyUnicode_Check(order)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            return false;
        }
        if (!PySequence_Check(order)) {
            raise_type_mismatch(order, "Sequence");
            return false;
        }
        Ref iterator = Ref::steal(PyObject_GetIter(order));
        if (!iterator) return false;
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            std::string text;
            if (!convert_text(item.get(), text)) return false;
            out.push_back(std::move(text));
        }
        return !PyErr_Occurred();
    }();
    if (!ok) add_processing_note("order");
    return ok;
}

// Names given in `order` first (each once), then the remaining candidates in a fresh random
// order. `keep_ordered` says whether a name from `order` is visited at all.
template <typename Keep>
std::vector<std::string> visiting_order(const std::vector<std::string>& order,
                                        const std::vector<std::string>& candidates,
                                        Keep&& keep_ordered) {
    std::vector<std::string> result;
    std::unordered_set<std::string> named;
    for (const std::string& name : order) {
        if (!named.insert(name).second) continue;
        if (keep_ordered(name)) result.push_back(name);
    }
    std::vector<std::string> rest;
    for (const std::string& name : candidates)
        if (!named.count(name)) rest.push_back(name);
    if (rest.size() >= 2) std::shuffle(rest.begin(), rest.end(), thread_generator());
    for (std::string& name : rest) result.push_back(std::move(name));
    return result;
}

// Names of the serialisable decorated methods of `type`: the most derived definition of a
// name decides; dunder names never count.
bool serialisable_names(PyObject* type, std::vector<std::string>& out) {
    Ref mro = Ref::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return false;
    Ref classes = Ref::steal(PySequence_Fast(mro.get(), "'__mro__' is not a sequence"));
    if (!classes) return false;
    std::unordered_set<std::string> seen;
    for (Py_ssize_t c = 0; c < PySequence_Fast_GET_SIZE(classes.get()); ++c) {
        PyObject* cls = PySequence_Fast_GET_ITEM(classes.get(), c);
        Ref namespace_ = Ref::steal(PyObject_GetAttrString(cls, "__dict__"));
        if (!namespace_) return false;
        Ref items = Ref::steal(PyObject_CallMethod(namespace_.get(), "items", nullptr));
        if (!items) return false;
        Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
        if (!iterator) return false;
        while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!PyTuple_Check(entry.get())) {
                raise_type_mismatch(entry.get(), "tuple");
                return false;
            }
            if (PyTuple_GET_SIZE(entry.get()) != 2) {
                PyErr_Format(PyExc_ValueError,
                             "expected tuple of length 2, but got tuple of length %zd",
                             PyTuple_GET_SIZE(entry.get()));
                return false;
            }
            std::string name;
            if (!convert_text(PyTuple_GET_ITEM(entry.get(), 0), name)) return false;
            if (name.size() >= 2 && name.compare(0, 2, "__") == 0) continue;
            if (!seen.insert(name).second) continue;
            const MethodSpec* spec = method_spec_of(PyTuple_GET_ITEM(entry.get(), 1));
            if (spec && spec->serialisable) out.push_back(std::move(name));
        }
        if (PyErr_Occurred()) return false;
    }
    return true;
}

PyObject* call_method_without_arguments(PyObject* self, const std::string& name) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
    if (!text) return nullptr;
    Ref method = Ref::steal(PyObject_GetAttr(self, text.get()));
    if (!method) return nullptr;
    return PyObject_CallNoArgs(method.get());
}

PyObject* dump_cache(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_fastcall(kDumpSpec, args, nargs, kwnames, bound)) return nullptr;
    std::vector<std::string> order;
    if (!convert_order(bound.get(0), order)) return nullptr;
    std::vector<std::string> candidates;
    if (!serialisable_names(reinterpret_cast<PyObject*>(Py_TYPE(self)), candidates)) return nullptr;
    std::unordered_set<std::string> serialisable(candidates.begin(), candidates.end());
    std::vector<std::string> names = visiting_order(
        order, candidates, [&](const std::string& name) { return serialisable.count(name) > 0; });
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (const std::string& name : names) {
        Ref value = Ref::steal(call_method_without_arguments(self, name));
        if (!value) return nullptr;
        Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
        if (!key || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* raise_method_value_error(const char* format, const std::string& name) {
    PyErr_Format(PyExc_ValueError, format, name.c_str());
    return nullptr;
}

// Applies the entry `name` of `data`; returns false with an exception set.
bool apply_loaded_entry(PyObject* self, PyObject* data, const std::string& name) {
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
    if (!key) return false;
    PyObject* raw_value = nullptr;
    int present = PyDict_GetItemRef(data, key.get(), &raw_value);
    if (present < 0) return false;
    if (present == 0) return true;
    Ref value = Ref::steal(raw_value);
    Ref attr = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), key.get()));
    if (!attr) return false;
    const MethodSpec* spec = method_spec_of(attr.get());
    if (!spec) {
        raise_method_value_error("Method '%s' is not decorated with @kestrined", name);
        return false;
    }
    if (!spec->serialisable) {
        raise_method_value_error("Method '%s' is not marked as serialisable", name);
        return false;
    }
    if (!check_serialisable_signature(spec->func.get())) return false;
    Ref computed = Ref::steal(call_method_without_arguments(self, name));
    if (!computed) return false;
    computed.reset();

    KestrineBaseObject* base = as_base(self);
    PyObject* replaced = nullptr;
    {
        ExclusiveHold hold(base->guard);
        if (!hold.acquired_or_raise()) return false;
        KeyId k;
        if (!intern_method_key(base->state.key_registry(), name, k)) return false;
        replaced = base->state.exchange_value(k, value.release());
    }
    // Released after the hold: no user code runs while the state is held here.
    Py_XDECREF(replaced);
    return true;
}

PyObject* load_cache(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_fastcall(kLoadSpec, args, nargs, kwnames, bound)) return nullptr;
    PyObject* data = bound.get(0);
    if (!PyDict_Check(data)) {
        raise_type_mismatch(data, "dict");
        add_processing_note("data");
        return nullptr;
    }
    std::vector<std::string> order;
    if (!convert_order(bound.get(1), order)) return nullptr;
    Ref keys = Ref::steal(PyDict_Keys(data));
    if (!keys) return nullptr;
    std::vector<std::string> names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        std::string text;
        if (!convert_text(PyList_GET_ITEM(keys.get(), i), text)) return nullptr;
        names.push_back(std::move(text));
    }
    std::vector<std::string> visit =
        visiting_order(order, names, [](const std::string&) { return true; });
    for (const std::string& name : visit)
        if (!apply_loaded_entry(self, data, name)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// Type

PyMethodDef base_methods[] = {
    {"get_cached_value",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_cached_value)),
     METH_VARARGS | METH_KEYWORDS,
     "get_cached_value($self, method_name, strict=True, **kwargs)\n--\n\n"},
    {"is_cached", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_cached)),
     METH_VARARGS | METH_KEYWORDS, "is_cached($self, method_name, **kwargs)\n--\n\n"},
    {"update_cached_value",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_cached_value)),
     METH_VARARGS | METH_KEYWORDS,
     "update_cached_value($self, method_name, value, **kwargs)\n--\n\n"},
    {"clear_cache", clear_cache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"clear_cached_value",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clear_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "clear_cached_value($self, method_name, **kwargs)\n--\n\n"},
    {"dump_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump_cache)),
     METH_FASTCALL | METH_KEYWORDS, "dump_cache($self, order=None)\n--\n\n"},
    {"load_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_cache)),
     METH_FASTCALL | METH_KEYWORDS, "load_cache($self, data, order=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef base_getset[] = {
    {"cached_values", get_cached_values, nullptr, nullptr, nullptr},
    {"dependency_graph", get_dependency_graph, nullptr, nullptr, nullptr},
    {"validation_state", get_validation_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot base_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(base_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
    {Py_tp_methods, base_methods},
    {Py_tp_getset, base_getset},
    {Py_tp_doc, const_cast<char*>("KestrineBase(*_args, **_kwargs)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec base_spec = {
    "builtins.KestrineBase",
    sizeof(KestrineBaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    base_slots,
};

}  // namespace

PyType_Spec* kestrine_base_spec() {
    return &base_spec;
}

}  // namespace kestrine
