// KestrineBase: creation and release, the query and mutation methods, the inspection
// properties, and dump/load.
#include "kestrine_base.h"

#include <algorithm>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "call_key.h"
#include "decorated_names.h"
#include "decorator.h"
#include "errors.h"
#include "function_checks.h"
#include "module.h"

namespace kestrine {

// ---------------------------------------------------------------------------------------
// KestrineBase: creation and release

CacheState* ensure_state(KestrineBaseObject* base) {
    if (base->state) return base->state;
    base->state = new (std::nothrow) CacheState();
    if (!base->state) PyErr_NoMemory();
    return base->state;
}

namespace {

PyObject* base_new(PyTypeObject* cls, PyObject*, PyObject*) {
    PyObject* self = nullptr;
    if (PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT)) {
        // object.__new__ refuses an abstract class with the interpreter's own error before
        // it allocates. Without arguments it does nothing else, so if the class stopped being
        // abstract meanwhile, the object it allocates is the one allocated below.
        Ref no_arguments = Ref::steal(PyTuple_New(0));
        if (!no_arguments) return nullptr;
        self = PyBaseObject_Type.tp_new(cls, no_arguments.get(), nullptr);
    } else {
        self = cls->tp_alloc(cls, 0);
    }
    if (!self) return nullptr;
    new (&as_base(self)->guard) AccessGuard();
    as_base(self)->state = nullptr;  // allocated on the first memoised call
    return self;
}

// Detaches the instance's state and releases it. What the state held is released after it
// left the instance, so Python code run by a release (a value's __del__) finds the instance
// with an empty cache, as a new instance has.
void release_state(KestrineBaseObject* base) {
    CacheState* state = base->state;
    base->state = nullptr;
    delete state;
}

// The cache holds values and key arguments that may refer back to the instance: the
// collector sees them through the instance, and breaks such a cycle by releasing the whole
// cache. The collector runs with every other thread stopped, and only where Python code
// runs, where the state is whole (see CacheState::traverse); an instance it clears is
// unreachable, so no call can be using it.
int base_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (const CacheState* state = as_base(self)->state) return state->traverse(visit, arg);
    return 0;
}

int base_clear(PyObject* self) {
    release_state(as_base(self));
    return 0;
}

// A decorated method is not an overriding descriptor (its lookups specialise), so the
// instance refuses assignment and deletion of its name here instead.
int base_setattro(PyObject* self, PyObject* name, PyObject* value) {
    int decorated = is_decorated_method_name(Py_TYPE(self), name);
    if (decorated < 0) return -1;
    if (decorated) {
        value ? raise_assignment_refused() : raise_deletion_refused();
        return -1;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

void base_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release_state(as_base(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// Whether the class's own dict has `name`: 1, 0, or -1 with an exception set.
int defines(PyTypeObject* cls, const char* name) {
    Ref own = Ref::steal(PyType_GetDict(cls));
    if (!own) return -1;
    PyObject* found = nullptr;
    int has = PyDict_GetItemStringRef(own.get(), name, &found);
    Py_XDECREF(found);
    return has;
}

// Sets `cls.<name>` to `source.<name>`, as an assignment in the class body would; the
// interpreter then derives the class's slot from it.
bool take_from(PyTypeObject* cls, PyObject* source, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(source, name));
    return value &&
           PyObject_SetAttrString(reinterpret_cast<PyObject*>(cls), name, value.get()) == 0;
}

static_assert(std::is_trivially_destructible_v<AccessGuard> &&
                  std::is_standard_layout_v<KestrineBaseObject>,
              "an instance object.__new__ makes starts as zero bytes: an empty guard, no state");

// Gives the class object's __setattr__, __delattr__ and __new__ (specialised) or
// KestrineBase's. A class that defines __new__ keeps it.
//
// Creation: interpreters that specialise class calls do so only for classes whose slot is
// object.__new__'s, and setting `__new__` keeps the slot the class has at that moment (as
// for `__new__ = object.__new__` in a class body, whose slot is inherited from object), so
// the slot is set first. object.__new__ zero-fills the instance: an empty guard and no
// state, as KestrineBase.__new__ leaves them. false with an exception set.
bool apply_store_choice(PyTypeObject* cls, bool specialised) {
    for (const char* name : {"__setattr__", "__delattr__"}) {
        int has = defines(cls, name);
        if (has < 0) return false;
        if (has) {
            PyErr_Format(PyExc_TypeError,
                         "specialised_stores cannot be given to a class that defines %s", name);
            return false;
        }
    }
    PyTypeObject* base = kestrine_base_type_if_ready();
    if (!base) return false;
    PyObject* source = specialised ? reinterpret_cast<PyObject*>(&PyBaseObject_Type)
                                   : reinterpret_cast<PyObject*>(base);
    if (specialised || cls->tp_setattro != base_setattro) {
        if (!take_from(cls, source, "__setattr__") || !take_from(cls, source, "__delattr__"))
            return false;
    }
    int own_new = defines(cls, "__new__");
    if (own_new < 0) return false;
    newfunc creation = specialised ? PyBaseObject_Type.tp_new : base->tp_new;
    if (!own_new && cls->tp_new != creation) {
        cls->tp_new = creation;
        if (!take_from(cls, source, "__new__")) return false;
    }
    return true;
}

// class Node(KestrineBase, specialised_stores=True): the class (and its subclasses) sets
// attributes and creates instances as a plain class does (see apply_store_choice), so that
// interpreters which specialise stores and class calls specialise its own; the price is that
// `obj.m = v` is no longer refused but shadows the method, as for a plain method. False
// gives a subclass of such a class KestrineBase's behaviour back; None (or no keyword) keeps
// what the bases chose. Other keywords go on to the next class's __init_subclass__.
PyObject* base_init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) {
    Ref rest;
    PyObject* choice = nullptr;
    if (kwargs) {
        rest = Ref::steal(PyDict_Copy(kwargs));
        if (!rest) return nullptr;
        if (PyDict_PopString(rest.get(), "specialised_stores", &choice) < 0) return nullptr;
    }
    Ref held_choice = Ref::steal(choice);
    if (choice && choice != Py_None) {
        if (!PyBool_Check(choice)) {
            PyErr_Format(PyExc_TypeError,
                         "specialised_stores must be True, False or None, not '%s'",
                         Py_TYPE(choice)->tp_name);
            return nullptr;
        }
        if (!apply_store_choice(reinterpret_cast<PyTypeObject*>(cls), choice == Py_True))
            return nullptr;
    }
    PyTypeObject* base = kestrine_base_type_if_ready();
    if (!base) return nullptr;
    Ref super = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                        base, cls, nullptr));
    if (!super) return nullptr;
    Ref next = Ref::steal(PyObject_GetAttrString(super.get(), "__init_subclass__"));
    if (!next) return nullptr;
    return PyObject_Call(next.get(), args, rest.get());
}

// ---------------------------------------------------------------------------------------
// Copying and pickling
//
// The cache is derived data: a copy or an unpickled instance starts with an empty one, and
// an instance reduces as a plain object of its class would. object.__reduce_ex__ refuses a
// native base (its layout check for protocols 2 and up, copyreg's for 0 and 1), so the
// reduction it makes for protocol 2 is built here, for every protocol.

// `name` as the interpreter looks up special methods: on the classes of the type's MRO
// (neither the instance dict nor __getattr__ takes part), bound to `obj`. Leaves `out`
// empty, without an error, when no class defines it.
bool lookup_special(PyObject* obj, const char* name, Ref& out) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref mro = Ref::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return false;
    if (!PyTuple_Check(mro.get())) {
        raise_type_mismatch(mro.get(), "tuple");
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return false;
    out = Ref();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* cls = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(cls)) continue;
        Ref namespace_ = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
        if (!namespace_) return false;
        PyObject* found = nullptr;
        int present = PyDict_GetItemRef(namespace_.get(), key.get(), &found);
        if (present < 0) return false;
        if (present == 0) continue;
        Ref attr = Ref::steal(found);
        descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
        out = bind ? Ref::steal(bind(found, obj, type)) : std::move(attr);
        return static_cast<bool>(out);
    }
    return true;
}

// The arguments for __new__ from __getnewargs_ex__ or else __getnewargs__, checked as the
// interpreter checks them; both stay empty when the class defines neither.
bool new_arguments(PyObject* self, Ref& args, Ref& kwargs) {
    Ref method;
    if (!lookup_special(self, "__getnewargs_ex__", method)) return false;
    if (method) {
        Ref pair = Ref::steal(PyObject_CallNoArgs(method.get()));
        if (!pair) return false;
        if (!PyTuple_Check(pair.get())) {
            PyErr_Format(PyExc_TypeError, "__getnewargs_ex__ should return a tuple, not '%.200s'",
                         Py_TYPE(pair.get())->tp_name);
            return false;
        }
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError,
                         "__getnewargs_ex__ should return a tuple of length 2, not %zd",
                         PyTuple_GET_SIZE(pair.get()));
            return false;
        }
        args = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        kwargs = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        if (!PyTuple_Check(args.get())) {
            PyErr_Format(PyExc_TypeError,
                         "first item of the tuple returned by __getnewargs_ex__ must be a tuple, "
                         "not '%.200s'",
                         Py_TYPE(args.get())->tp_name);
            return false;
        }
        if (!PyDict_Check(kwargs.get())) {
            PyErr_Format(PyExc_TypeError,
                         "second item of the tuple returned by __getnewargs_ex__ must be a dict, "
                         "not '%.200s'",
                         Py_TYPE(kwargs.get())->tp_name);
            return false;
        }
        return true;
    }
    if (!lookup_special(self, "__getnewargs__", method)) return false;
    if (!method) return true;
    args = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!args) return false;
    if (!PyTuple_Check(args.get())) {
        PyErr_Format(PyExc_TypeError, "__getnewargs__ should return a tuple, not '%.200s'",
                     Py_TYPE(args.get())->tp_name);
        return false;
    }
    return true;
}

// Whether the class's __reduce__ is its own rather than object's.
int overrides_reduce(PyObject* type) {
    Ref of_class = Ref::steal(PyObject_GetAttrString(type, "__reduce__"));
    if (!of_class) return -1;
    Ref of_object = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce__"));
    if (!of_object) return -1;
    return of_class.get() != of_object.get();
}

PyObject* base_reduce_ex(PyObject* self, PyObject* protocol) {
    // Every protocol gets the same reduction; the argument is only checked.
    if (PyLong_AsInt(protocol) == -1 && PyErr_Occurred()) return nullptr;
    // Held: the lookups below run Python code, which may reassign the instance's class.
    Ref type_ref = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyObject* type = type_ref.get();
    Ref reduce;
    if (PyObject_GetOptionalAttrString(self, "__reduce__", reinterpret_cast<PyObject**>(&reduce)) <
        0)
        return nullptr;
    if (reduce) {
        int own = overrides_reduce(type);
        if (own < 0) return nullptr;
        if (own) return PyObject_CallNoArgs(reduce.get());
    }
    Ref args, kwargs;
    if (!new_arguments(self, args, kwargs)) return nullptr;
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return nullptr;
    Ref constructor, constructor_args;
    if (!kwargs || PyDict_GET_SIZE(kwargs.get()) == 0) {
        constructor = Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
        if (!constructor) return nullptr;
        Py_ssize_t count = args ? PyTuple_GET_SIZE(args.get()) : 0;
        constructor_args = Ref::steal(PyTuple_New(count + 1));
        if (!constructor_args) return nullptr;
        PyTuple_SET_ITEM(constructor_args.get(), 0, Py_NewRef(type));
        for (Py_ssize_t i = 0; i < count; ++i)
            PyTuple_SET_ITEM(constructor_args.get(), i + 1,
                             Py_NewRef(PyTuple_GET_ITEM(args.get(), i)));
    } else {
        constructor = Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
        if (!constructor) return nullptr;
        constructor_args = Ref::steal(PyTuple_Pack(3, type, args.get(), kwargs.get()));
        if (!constructor_args) return nullptr;
    }
    // object.__getstate__ called on the instance makes no layout check: the instance dict
    // and slot values, as for a plain object.
    Ref getstate = Ref::steal(PyObject_GetAttrString(self, "__getstate__"));
    if (!getstate) return nullptr;
    Ref state = Ref::steal(PyObject_CallNoArgs(getstate.get()));
    if (!state) return nullptr;
    // No list or dict items: neither base can be combined with this layout.
    return PyTuple_Pack(5, constructor.get(), constructor_args.get(), state.get(), Py_None,
                        Py_None);
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
const ParamSpec kSetMaxsizeSpec{
    "KestrineBase.set_maxsize()", "self", {"method_name", "maxsize"}, 2, 2, false};
const ParamSpec kCacheInfoSpec{"KestrineBase.cache_info()", "self", {"method_name"}, 1, 1, false};

PyObject* raise_key_error_for(const char* format, PyObject* method_name) {
    Ref message = Ref::steal(PyUnicode_FromFormat(format, method_name));
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
    return nullptr;
}

// The steps every single-entry method shares: bind, take exclusive use, convert
// `method_name`, then (after `convert_more`) find the entry. `own_step` runs with the hold.
// What it puts in `released` goes before the hold ends: a released value's __del__ is refused
// the instance.
template <typename ConvertMore, typename OwnStep>
PyObject* with_entry(PyObject* self, const ParamSpec& spec, PyObject* args, PyObject* kwargs,
                     ConvertMore&& convert_more, OwnStep&& own_step) {
    BoundArgs bound;
    if (!bind_arguments(spec, args, kwargs, bound)) return nullptr;
    KestrineBaseObject* base = as_base(self);
    ExclusiveHold hold(base->guard);
    if (!hold.acquired_or_raise()) return nullptr;
    Released released;
    std::string_view method_name;
    if (!view_text(bound.get(0), method_name)) {
        add_processing_note("method_name");
        return nullptr;
    }
    if (!convert_more(bound)) return nullptr;
    KeyId k;
    CacheState* state = base->state;
    if (!lookup_key_id(state ? &state->key_registry() : nullptr, method_name,
                       bound.extra_keywords.get(), k))
        return nullptr;
    return own_step(*state, k, bound, released);
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
        [&](CacheState& state, KeyId k, const BoundArgs& bound, Released&) -> PyObject* {
            if (PyObject* value = state.servable_value(k)) return value;
            if (!strict) Py_RETURN_NONE;
            return raise_key_error_for("Cannot get cached value for '%U'", bound.get(0));
        });
}

PyObject* is_cached(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_entry(self, kIsCachedSpec, args, kwargs, no_conversion,
                      [](CacheState& state, KeyId k, const BoundArgs&, Released&) -> PyObject* {
                          Ref value = Ref::steal(state.servable_value(k));
                          return PyBool_FromLong(value ? 1 : 0);
                      });
}

// A value the cache itself dropped (an eviction) while calls depended on it is updated and
// cleared as if it were still stored: the change reaches them.
PyObject* update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_entry(
        self, kUpdateSpec, args, kwargs, no_conversion,
        [](CacheState& state, KeyId k, const BoundArgs& bound, Released& released) -> PyObject* {
            if (!state.has_value(k) && !state.was_dropped(k))
                return raise_key_error_for("Cannot update cached value for '%U'", bound.get(0));
            if (!state.store_value(k, Py_NewRef(bound.get(1)), released)) return nullptr;
            state.invalidate(k);
            state.revalidate(k);
            Py_RETURN_NONE;
        });
}

PyObject* clear_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_entry(
        self, kClearSpec, args, kwargs, no_conversion,
        [](CacheState& state, KeyId k, const BoundArgs& bound, Released& released) -> PyObject* {
            PyObject* old = state.take_value(k);
            if (!old && !state.was_dropped(k))
                return raise_key_error_for("Cannot clear cached value for '%U'", bound.get(0));
            if (old) released.add(old);
            state.forget_drop(k);
            state.invalidate(k);
            Py_RETURN_NONE;
        });
}

PyObject* clear_cache(PyObject* self, PyObject*) {
    KestrineBaseObject* base = as_base(self);
    ExclusiveHold hold(base->guard);
    if (!hold.acquired_or_raise()) return nullptr;
    // Released before the hold ends: a value's __del__ is refused the instance.
    Released released;
    if (base->state) base->state->clear_all(released);
    Py_RETURN_NONE;
}

// Returns the cache to a new instance's: keys and their arguments go too; only the bounds
// set with set_maxsize stay. It waits for other threads' holds like any writer. Calls
// running meanwhile (on any thread, the caller's own included) return their values to their
// callers and store nothing: the state's generation tells their frames apart.
PyObject* reset_cache(PyObject* self, PyObject*) {
    KestrineBaseObject* base = as_base(self);
    auto* graveyard = new (std::nothrow) CacheState();
    if (!graveyard) return PyErr_NoMemory();
    {
        ExclusiveHold hold(base->guard);
        if (!hold.acquired_or_raise()) {
            delete graveyard;
            return nullptr;
        }
        if (CacheState* state = base->state) {
            state->settle_abandoned_frames();
            // Calls of threads that did not survive a fork never end.
            state->forget_frames_of_ended_threads();
            state->reset_into(*graveyard);
        }
    }
    // Released with no access held: a value's __del__ finds a new instance's empty cache.
    delete graveyard;
    Py_RETURN_NONE;
}

// The decorated method `name` names on the instance's class; KeyError, as the other queries
// raise, when it names none.
bool find_decorator(PyObject* self, PyObject* name, Ref& out) {
    if (!PyUnicode_Check(name)) {
        raise_type_mismatch(name, "str");
        add_processing_note("method_name");
        return false;
    }
    Ref attr = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    if (!attr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
    }
    if (!attr || !method_spec_of(attr.get())) {
        PyErr_SetString(PyExc_KeyError, "No cache key found for provided signature");
        return false;
    }
    out = std::move(attr);
    return true;
}

PyObject* set_maxsize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_fastcall(kSetMaxsizeSpec, args, nargs, kwnames, bound)) return nullptr;
    std::int64_t maxsize = -1;
    if (!convert_maxsize(bound.get(1), maxsize)) {
        add_processing_note("maxsize");
        return nullptr;
    }
    Ref attr;
    if (!find_decorator(self, bound.get(0), attr)) return nullptr;
    auto* decorator = reinterpret_cast<KestrineDecoratorObject*>(attr.get());
    const MethodSpec& spec = decorator->spec;
    KestrineBaseObject* base = as_base(self);
    Released released;  // after the hold
    ExclusiveHold hold(base->guard);
    if (!hold.acquired_or_raise()) return nullptr;
    CacheState* state = ensure_state(base);
    if (!state) return nullptr;
    bool created = false;
    int m = state->method_index(spec.name_str.get(), spec.maxsize, created);
    if (m < 0) return nullptr;
    if (created && !join_instances(decorator, self)) return nullptr;
    if (!state->set_maxsize(m, maxsize, released)) return nullptr;
    hold.release();
    Py_RETURN_NONE;
}

PyObject* cache_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_fastcall(kCacheInfoSpec, args, nargs, kwnames, bound)) return nullptr;
    Ref attr;
    if (!find_decorator(self, bound.get(0), attr)) return nullptr;
    const MethodSpec& spec = reinterpret_cast<KestrineDecoratorObject*>(attr.get())->spec;
    MethodCounts counts;
    counts.maxsize = spec.maxsize;
    {
        // Exclusive: every other thread's hits are over and counted.
        KestrineBaseObject* base = as_base(self);
        ExclusiveHold hold(base->guard);
        if (!hold.acquired_or_raise()) return nullptr;
        int m = base->state ? base->state->find_method(spec.name_str.get()) : -1;
        if (m >= 0) counts = base->state->counts(m);
    }
    return new_cache_info(counts);
}

// ---------------------------------------------------------------------------------------
// Inspection properties

// The shown call of `k`, or an empty Ref with no error when the registry has no key for it.
bool shown_call(const CacheState& state, KeyId k, Ref& out) {
    StoredKey* key = state.key_registry().key_of(k);
    if (!key) {
        out = Ref();
        return true;
    }
    // A key without argument items is shown by its method name alone.
    out = Ref::steal(key->has_items() ? key->as_tuple() : display_key_name(key->method_name()));
    return static_cast<bool>(out);
}

template <typename Fill>
PyObject* inspect_state(PyObject* self, Fill&& fill) {
    KestrineBaseObject* base = as_base(self);
    SharedHold hold(base->guard);
    if (!hold.acquired_or_raise()) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    // An instance that never memoised has no state: every view of it is empty.
    if (base->state && !fill(*base->state, result.get())) return nullptr;
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
    // A tuple of our own: a metaclass may give a list, which Python code run in the loop
    // below could change under a borrowed item.
    Ref classes = Ref::steal(PySequence_Tuple(mro.get()));
    if (!classes) return false;
    std::unordered_set<std::string> seen;
    for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(classes.get()); ++c) {
        PyObject* cls = PyTuple_GET_ITEM(classes.get(), c);
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
    // Released after the hold: no user code runs while the state is held here.
    Released released;
    ExclusiveHold hold(base->guard);
    if (!hold.acquired_or_raise()) return false;
    KeyId k;
    CacheState* state = ensure_state(base);
    if (!state) return false;
    if (!intern_method_key(state->key_registry(), name, k)) return false;
    // Stored within the method's bound, as a computed value would be.
    bool created = false;
    int m = state->method_index(spec->name_str.get(), spec->maxsize, created);
    if (m < 0 || !state->ensure_entry(k)) return false;
    if (created && !join_instances(reinterpret_cast<KestrineDecoratorObject*>(attr.get()), self))
        return false;
    state->assign_method(k, m);
    return state->store_value(k, value.release(), released);
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
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<get_cached_value>)),
     METH_VARARGS | METH_KEYWORDS,
     "get_cached_value($self, method_name, strict=True, **kwargs)\n--\n\n"},
    {"is_cached", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<is_cached>)),
     METH_VARARGS | METH_KEYWORDS, "is_cached($self, method_name, **kwargs)\n--\n\n"},
    {"update_cached_value",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<update_cached_value>)),
     METH_VARARGS | METH_KEYWORDS,
     "update_cached_value($self, method_name, value, **kwargs)\n--\n\n"},
    {"clear_cache", guarded<clear_cache>, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"reset_cache", guarded<reset_cache>, METH_NOARGS, "reset_cache($self)\n--\n\n"},
    {"clear_cached_value",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<clear_cached_value>)),
     METH_VARARGS | METH_KEYWORDS, "clear_cached_value($self, method_name, **kwargs)\n--\n\n"},
    {"dump_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<dump_cache>)),
     METH_FASTCALL | METH_KEYWORDS, "dump_cache($self, order=None)\n--\n\n"},
    {"load_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<load_cache>)),
     METH_FASTCALL | METH_KEYWORDS, "load_cache($self, data, order=None)\n--\n\n"},
    {"set_maxsize",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<set_maxsize>)),
     METH_FASTCALL | METH_KEYWORDS,
     "set_maxsize($self, method_name, maxsize)\n--\n\nBound the stored values of one decorated "
     "method on this instance (None: unbounded); values beyond it are evicted at once."},
    {"cache_info", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<cache_info>)),
     METH_FASTCALL | METH_KEYWORDS,
     "cache_info($self, method_name)\n--\n\nHits, misses, bound and stored values of one "
     "decorated method on this instance."},
    {"__reduce_ex__", base_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(base_init_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "__init_subclass__($cls, /, *, specialised_stores=None, **kwargs)\n--\n\nspecialised_stores="
     "True: the class keeps the interpreter's own attribute setting (stores specialise; "
     "assigning to a decorated method's name shadows it instead of being refused)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef base_getset[] = {
    {"cached_values", guarded<get_cached_values>, nullptr, nullptr, nullptr},
    {"dependency_graph", guarded<get_dependency_graph>, nullptr, nullptr, nullptr},
    {"validation_state", guarded<get_validation_state>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot base_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(base_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(base_traverse)},
    {Py_tp_setattro, reinterpret_cast<void*>(base_setattro)},
    {Py_tp_clear, reinterpret_cast<void*>(base_clear)},
    {Py_tp_methods, base_methods},
    {Py_tp_getset, base_getset},
    {Py_tp_doc, const_cast<char*>("KestrineBase(*_args, **_kwargs)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec base_spec = {
    "builtins.KestrineBase",
    sizeof(KestrineBaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    base_slots,
};

}  // namespace

PyObject* new_cache_info(const MethodCounts& counts) {
    PyTypeObject* type = cache_info_type();
    if (!type) return nullptr;
    Ref info = Ref::steal(PyStructSequence_New(type));
    if (!info) return nullptr;
    PyObject* fields[4] = {
        PyLong_FromUnsignedLongLong(counts.hits),
        PyLong_FromUnsignedLongLong(counts.misses),
        counts.maxsize < 0 ? Py_NewRef(Py_None) : PyLong_FromLongLong(counts.maxsize),
        PyLong_FromSize_t(counts.currsize),
    };
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        if (!fields[i]) {
            ok = false;
            fields[i] = Py_NewRef(Py_None);  // every field set: the tuple is released whole
        }
        PyStructSequence_SetItem(info.get(), i, fields[i]);
    }
    return ok ? info.release() : nullptr;
}

bool is_kestrine_instance(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    // Every subclass inherits the attribute-setting slot unless a class defines __setattr__
    // (or keeps the interpreter's, with specialised_stores), and the creation slot unless it
    // defines __new__: either identifies most instances without walking the MRO.
    if (type->tp_setattro == base_setattro || type->tp_new == base_new) return true;
    PyTypeObject* base = kestrine_base_type_if_ready();
    return base && PyType_IsSubtype(type, base);
}

PyType_Spec* kestrine_base_spec() {
    return &base_spec;
}

}  // namespace kestrine
