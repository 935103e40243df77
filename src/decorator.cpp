// Decorator factories, MethodSpec, KestrineDecorator and the cached call.
#include "decorator.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "access_guard.h"
#include "decorated_names.h"
#include "discovery.h"
#include "errors.h"
#include "function_checks.h"
#include "kestrine_base.h"
#include "module.h"

namespace kestrine {

// ---------------------------------------------------------------------------------------
// The instances of a decorated method

// Whether a class holds `decorator` along its MRO (mro_holds), each class asked once: the
// instances a walk finds share a few classes. 1, 0, or -1 with an exception set.
struct ClassesHolding {
    PyObject* decorator;
    std::vector<std::pair<PyTypeObject*, bool>> asked;

    int holds(PyTypeObject* type) {
        for (const auto& [known, held] : asked)
            if (known == type) return held ? 1 : 0;
        int held = mro_holds(reinterpret_cast<PyObject*>(type), decorator);
        if (held < 0) return -1;
        try {
            asked.emplace_back(type, held == 1);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        return held;
    }
};

// Weak references to the live instances the method ran on, for its class-wide cache_clear
// and cache_info. Kept only from the first such call on: that call finds the live instances
// once, among the objects the collector tracks, and from then on an instance joins when the
// method first runs on it. A program that never asks pays nothing at creation, first store
// or deallocation (a weak reference costs about as much as the rest of a first store).
// References to dead instances are swept out whenever the list has doubled since the last
// sweep. No Python code runs under the mutex: strong references taken there are dropped
// after it.
struct InstanceRegistry {
    PyMutex mutex{};
    std::atomic<bool> active{false};
    std::vector<PyObject*> refs;  // owned weak references
    std::size_t sweep_at = 64;

    bool join_if_active(PyObject* instance) {
        return !active.load(std::memory_order_acquire) || join(instance);
    }

    // Starts keeping the registry: from now on instances join on their first run of the
    // method `decorator`, and the live instances it may already have run on join now: those
    // with calls of its name whose class, or one of its bases, holds the decorator (an
    // instance of another class may have calls of the same name). Instances that join twice
    // meanwhile are walked once.
    bool activate(KestrineDecoratorObject* decorator) {
        if (active.load(std::memory_order_acquire)) return true;
        // On before the walk: an instance that first stores meanwhile joins by itself.
        active.store(true, std::memory_order_release);
        // The collector's walk stops every other thread, so it sees no object another
        // thread is still building; the instances are only gathered there, with a
        // reference each, and join after it.
        struct Found {
            PyObject* name;
            std::vector<PyObject*> instances;
            bool out_of_memory = false;
        } found{decorator->spec.name_str.get(), {}, false};
        PyUnstable_GC_VisitObjects(
            [](PyObject* object, void* arg) -> int {
                auto* into = static_cast<Found*>(arg);
                if (!is_kestrine_instance(object)) return 1;
                // Every other thread stands where Python code may run, so every state is
                // whole (its tables change only between such points).
                const CacheState* state = as_base(object)->state;
                if (!state || state->find_method(into->name) < 0) return 1;
                try {
                    into->instances.push_back(Py_NewRef(object));
                } catch (const std::bad_alloc&) {
                    Py_DECREF(object);
                    into->out_of_memory = true;
                    return 0;
                }
                return 1;
            },
            &found);
        bool ok = !found.out_of_memory;
        if (!ok) PyErr_NoMemory();
        // The classes are asked after the walk: reading their dicts may run Python code (a
        // metaclass's __mro__).
        ClassesHolding holding{reinterpret_cast<PyObject*>(decorator), {}};
        for (PyObject* instance : found.instances) {
            if (ok) {
                int reached = holding.holds(Py_TYPE(instance));
                ok = reached == 0 || (reached == 1 && join(instance));
            }
            Py_DECREF(instance);
        }
        // A walk that failed is walked again by the next call.
        if (!ok) active.store(false, std::memory_order_release);
        return ok;
    }

    InstanceRegistry() = default;
    InstanceRegistry(const InstanceRegistry&) = delete;
    InstanceRegistry& operator=(const InstanceRegistry&) = delete;
    ~InstanceRegistry() {
        for (PyObject* ref : refs) Py_DECREF(ref);
    }

    // Adds `instance`. An instance of a class without weak references cannot join: the
    // class-wide operations do not reach it. false with MemoryError set.
    bool join(PyObject* instance) {
        if (Py_TYPE(instance)->tp_weaklistoffset == 0) return true;
        PyObject* ref = PyWeakref_NewRef(instance, nullptr);
        if (!ref) return false;
        std::vector<PyObject*> dropped;
        PyMutex_Lock(&mutex);
        bool ok = true;
        try {
            if (refs.size() >= sweep_at) {
                std::vector<PyObject*> kept;
                kept.reserve(refs.size() + 1);
                dropped.reserve(refs.size());
                for (PyObject* member : refs) {
                    PyObject* alive = nullptr;
                    if (PyWeakref_GetRef(member, &alive) > 0) {
                        kept.push_back(member);
                        dropped.push_back(alive);  // the strong reference just taken
                    } else {
                        dropped.push_back(member);
                    }
                }
                refs.swap(kept);
                sweep_at = std::max<std::size_t>(64, 2 * refs.size());
            }
            refs.push_back(ref);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        PyMutex_Unlock(&mutex);
        for (PyObject* object : dropped) Py_DECREF(object);
        if (!ok) {
            Py_DECREF(ref);
            PyErr_NoMemory();
        }
        return ok;
    }

    // Strong references to the live members, each once; false with an exception set.
    bool live(KestrineDecoratorObject* decorator, std::vector<Ref>& out) {
        if (!activate(decorator)) return false;
        std::vector<PyObject*> alive;
        PyMutex_Lock(&mutex);
        bool ok = true;
        try {
            alive.reserve(refs.size());
            for (PyObject* member : refs) {
                PyObject* object = nullptr;
                if (PyWeakref_GetRef(member, &object) > 0) alive.push_back(object);
            }
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        PyMutex_Unlock(&mutex);
        if (ok) {
            std::sort(alive.begin(), alive.end());
            try {
                out.reserve(alive.size());
            } catch (const std::bad_alloc&) {
                ok = false;
            }
        }
        for (std::size_t i = 0; i < alive.size(); ++i) {
            PyObject* object = alive[i];
            if (ok && (i == 0 || alive[i - 1] != object)) {
                out.push_back(Ref::steal(object));
            } else {
                Py_DECREF(object);
            }
        }
        if (!ok) PyErr_NoMemory();
        return ok;
    }
};

bool join_instances(KestrineDecoratorObject* decorator, PyObject* instance) {
    return decorator->instances->join_if_active(instance);
}

bool convert_maxsize(PyObject* value, std::int64_t& out) {
    if (value == Py_None) {
        out = -1;
        return true;
    }
    if (PyBool_Check(value) || !PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "maxsize must be None or an int, not '%.200s'",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && n < 0)) {
        PyErr_Format(PyExc_ValueError, "maxsize must be None or >= 0, not %R", value);
        return false;
    }
    out = overflow ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(n);
    return true;
}

namespace {

// ---------------------------------------------------------------------------------------
// Factories

struct FactoryObject {
    PyObject ob_base;
    bool use_cache;
    bool track_runtime_dependencies;
    bool serialisable;
    bool discovers;  // automagically_kestrined without a `dependencies` list
    std::int64_t maxsize;
    std::vector<DependencySpec> dependencies;
};

FactoryObject* as_factory(PyObject* obj) {
    return reinterpret_cast<FactoryObject*>(obj);
}

const ParamSpec kKestrinedNew{
    "kestrined.__new__()",
    "cls",
    {"use_cache", "dependencies", "track_runtime_dependencies", "serialisable", "maxsize"},
    5,
    0,
    false};
const ParamSpec kAutomagicallyNew{
    "automagically_kestrined.__new__()",
    "cls",
    {"use_cache", "dependencies", "track_runtime_dependencies", "serialisable", "maxsize"},
    5,
    0,
    false};
const ParamSpec kKestrinedCall{"kestrined.__call__()", "self", {"func"}, 1, 1, false};
const ParamSpec kAutomagicallyCall{
    "automagically_kestrined.__call__()", "self", {"func"}, 1, 1, false};

// Converts an optional boolean option; `value` absent keeps `out`.
bool convert_option(PyObject* value, const char* name, bool& out) {
    if (!value) return true;
    int truth = convert_bool(value);
    if (truth < 0) {
        add_processing_note(name);
        return false;
    }
    out = truth != 0;
    return true;
}

bool parse_dependencies(PyObject* list, std::vector<DependencySpec>& out) {
    Py_ssize_t initial = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(list, i));
        if (!item) {
            // The list shrank meanwhile: the walk ends there.
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                break;
            }
            return false;
        }
        if (PyTuple_Check(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
            PyObject* name = PyTuple_GET_ITEM(item.get(), 0);
            PyObject* kwargs = PyTuple_GET_ITEM(item.get(), 1);
            std::string text;
            if (!convert_text(name, text)) return false;
            if (!PyDict_Check(kwargs)) {
                raise_type_mismatch(kwargs, "dict");
                return false;
            }
            out.push_back({std::move(text), Ref::borrow(kwargs)});
        } else if (PyUnicode_Check(item.get())) {
            std::string text;
            if (!convert_text(item.get(), text)) return false;
            Ref kwargs = Ref::steal(PyDict_New());
            if (!kwargs) return false;
            out.push_back({std::move(text), std::move(kwargs)});
        } else {
            PyErr_SetString(PyExc_ValueError, "Dependency must be a tuple (str, dict) or a str");
            return false;
        }
    }
    return true;
}

PyObject* factory_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs, const ParamSpec& spec,
                      bool automagically) {
    BoundArgs bound;
    if (!bind_arguments(spec, args, kwargs, bound)) return nullptr;
    bool use_cache = true;
    bool track = automagically;
    bool serialisable = false;
    if (!convert_option(bound.get(0), "use_cache", use_cache)) return nullptr;
    PyObject* dependencies = bound.get(1) == Py_None ? nullptr : bound.get(1);
    if (!convert_option(bound.get(2), "track_runtime_dependencies", track)) return nullptr;
    if (!convert_option(bound.get(3), "serialisable", serialisable)) return nullptr;
    std::int64_t maxsize = -1;
    if (bound.get(4) && !convert_maxsize(bound.get(4), maxsize)) return nullptr;
    std::vector<DependencySpec> parsed;
    if (dependencies) {
        if (!PyList_Check(dependencies)) {
            raise_type_mismatch(dependencies, "list");
            return nullptr;
        }
        if (!parse_dependencies(dependencies, parsed)) return nullptr;
    }
    PyObject* self = cls->tp_alloc(cls, 0);
    if (!self) return nullptr;
    FactoryObject* factory = as_factory(self);
    factory->use_cache = use_cache;
    factory->track_runtime_dependencies = track;
    factory->serialisable = serialisable;
    factory->discovers = automagically && !dependencies;
    factory->maxsize = maxsize;
    new (&factory->dependencies) std::vector<DependencySpec>(std::move(parsed));
    return self;
}

PyObject* kestrined_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return factory_new(cls, args, kwargs, kKestrinedNew, false);
}
PyObject* automagically_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return factory_new(cls, args, kwargs, kAutomagicallyNew, true);
}

void factory_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    using Specs = std::vector<DependencySpec>;
    as_factory(self)->dependencies.~Specs();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* decorator_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames);

// Builds the KestrineDecorator for `func` (the shared body of both call slots).
PyObject* build_decorator(FactoryObject* factory, PyObject* func) {
    Ref name_obj = Ref::steal(PyObject_GetAttrString(func, "__name__"));
    if (!name_obj) return nullptr;
    std::string name;
    if (!convert_text(name_obj.get(), name)) return nullptr;
    if (!check_memoisable_function(func, name_obj.get())) return nullptr;

    std::vector<DependencySpec> discovered;
    if (factory->discovers && !discover_dependencies(func, discovered)) return nullptr;
    const std::vector<DependencySpec>& dependencies =
        factory->discovers ? discovered : factory->dependencies;

    MethodSpec spec;
    for (const DependencySpec& dependency : dependencies) {
        CallKey key;
        if (!make_call_key(dependency.method_name, nullptr, nullptr, dependency.kwargs.get(), key))
            return nullptr;
        spec.dependency_keys.push_back(std::move(key));
    }
    if (factory->serialisable && !check_serialisable_signature(func)) return nullptr;

    spec.name = name;
    spec.name_str = Ref::steal(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
    if (!spec.name_str) return nullptr;
    spec.name_hash = PyObject_Hash(spec.name_str.get());
    if (spec.name_hash == -1) return nullptr;
    spec.func = Ref::borrow(func);
    spec.use_cache = factory->use_cache;
    spec.track_runtime_dependencies = factory->track_runtime_dependencies;
    spec.serialisable = factory->serialisable;
    spec.maxsize = factory->maxsize;
    spec.binder = FastBinder::plan(func);
    if (spec.binder.self_only()) {
        // Every call of such a method has the key `(name, ())`: hashed once, here.
        KeyParts no_arguments;
        no_arguments.method_name = spec.name_str.get();
        if (!hash_key_parts(no_arguments)) return nullptr;
        spec.no_argument_hash = no_arguments.hash;
    }

    auto* instances = new (std::nothrow) InstanceRegistry();
    if (!instances) return PyErr_NoMemory();
    PyTypeObject* type = kestrine_decorator_type();
    PyObject* self = type ? PyType_GenericAlloc(type, 0) : nullptr;
    if (!self) {
        delete instances;
        return nullptr;
    }
    // Out of the collector's sight until the MethodSpec it traverses exists.
    PyObject_GC_UnTrack(self);
    auto* decorator = reinterpret_cast<KestrineDecoratorObject*>(self);
    decorator->vectorcall = guarded<decorator_vectorcall>;
    new (&decorator->spec) MethodSpec(std::move(spec));
    decorator->instances = instances;
    PyObject_GC_Track(self);
#if PY_VERSION_HEX >= 0x030E0000
    // Every `obj.m(...)` looks the descriptor up on the class; with deferred reference
    // counting those lookups leave its count alone instead of contending on it across
    // threads.
    PyUnstable_Object_EnableDeferredRefcount(self);
#endif
    return self;
}

PyObject* factory_call(PyObject* self, PyObject* args, PyObject* kwargs, const ParamSpec& spec) {
    BoundArgs bound;
    if (!bind_arguments(spec, args, kwargs, bound)) return nullptr;
    return build_decorator(as_factory(self), bound.get(0));
}

PyObject* kestrined_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return factory_call(self, args, kwargs, kKestrinedCall);
}
PyObject* automagically_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return factory_call(self, args, kwargs, kAutomagicallyCall);
}

// ---------------------------------------------------------------------------------------
// KestrineDecorator

KestrineDecoratorObject* as_decorator(PyObject* obj) {
    return reinterpret_cast<KestrineDecoratorObject*>(obj);
}

// A class, its decorated methods and their functions form cycles (a method that uses
// super() refers to its class through a cell), so the descriptor shows the collector what it
// holds.
int decorator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const MethodSpec& spec = as_decorator(self)->spec;
    Py_VISIT(spec.func.get());
    Py_VISIT(spec.name_str.get());
    for (const CallKey& key : spec.dependency_keys) Py_VISIT(key.key.get());
    return spec.binder.traverse(visit, arg);
}

// Leaves a descriptor whose calls raise (a cleared spec has no function). Everything is
// detached before anything is released: a release may run Python code that reaches the
// descriptor.
int decorator_clear(PyObject* self) {
    MethodSpec& spec = as_decorator(self)->spec;
    Ref func = std::move(spec.func);
    Ref name_str = std::move(spec.name_str);
    std::vector<CallKey> dependency_keys = std::move(spec.dependency_keys);
    spec.dependency_keys.clear();
    FastBinder binder = std::exchange(spec.binder, FastBinder());
    return 0;
}

void decorator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_decorator(self)->instances;
    as_decorator(self)->spec.~MethodSpec();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* decorator_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// __set__ and __delete__ are methods, not the type's set slot: a type with that slot is an
// overriding descriptor, whose lookups the interpreter never specialises, so every hit would
// pay a generic attribute lookup. KestrineBase refuses assignment and deletion of a decorated
// method's name itself (its attribute-setting slot), with the same errors.
const ParamSpec kSet{"KestrineDecorator.__set__()", "self", {"instance", "value"}, 2, 2, false};
const ParamSpec kDelete{"KestrineDecorator.__delete__()", "self", {"instance"}, 1, 1, false};

PyObject* decorator_set(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    BoundArgs bound;
    if (!bind_fastcall(kSet, args, nargs, nullptr, bound)) return nullptr;
    raise_assignment_refused();
    return nullptr;
}

PyObject* decorator_delete(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    BoundArgs bound;
    if (!bind_fastcall(kDelete, args, nargs, nullptr, bound)) return nullptr;
    raise_deletion_refused();
    return nullptr;
}

// Computes a missing value with no access held, then pops the call's frame and classifies
// and stores the value. That last step waits for the instance. If the wait is interrupted (a
// signal handler raised), the result goes to no one and is not stored, and the frame is left
// to the next writer to remove: nothing the interrupted call leaves behind can be seen. A
// reset meanwhile made the frame stale: the caller gets the value, the new cache does not.
PyObject* compute_and_store(KestrineBaseObject* base, const MethodSpec& spec, KeyId k,
                            std::uint32_t token, ThreadRecord* record, PyObject* const* args,
                            std::size_t nargsf, PyObject* kwnames) {
    PyObject* result = PyObject_Vectorcall(spec.func.get(), args, nargsf, kwnames);
    // The wait checks for signals: the call's own exception waits aside meanwhile.
    PyObject* raised = result ? nullptr : PyErr_GetRaisedException();
    // The state stays: a reset empties it in place, and a collection cannot reach an
    // instance a running call refers to.
    CacheState& state = *base->state;
    Released released;  // released after the hold ends
    ExclusiveHold hold(base->guard, record);
    if (!hold.acquired()) {
        Py_XDECREF(result);
        if (hold.access() == Access::SameThread) raise_already_borrowed();
        PyObject* interruption = PyErr_GetRaisedException();
        if (raised) PyException_SetContext(interruption, raised);
        if (!state.abandon_frame(token)) {
            // No memory to leave the frame behind: wait for the instance without giving up.
            PyErr_Clear();
            for (;;) {
                ExclusiveHold again(base->guard);
                if (again.acquired()) {
                    state.settle_abandoned_frames();
                    state.pop_frame(token);
                    break;
                }
                PyErr_Clear();
            }
        }
        PyErr_SetRaisedException(interruption);
        return nullptr;
    }
    state.settle_abandoned_frames();
    // An invalidation that reached the call while it computed means the result may rest on
    // a value that changed meanwhile: the caller gets it, the cache does not.
    FrameEnd end = state.pop_frame(token);
    if (result && end != FrameEnd::Stale) {
        bool changed_meanwhile = end == FrameEnd::Touched;
        if (!spec.use_cache) state.mark_permanently_invalid(k);
        state.derive_state(k, changed_meanwhile);
        if (!changed_meanwhile) {
            // A stale value this one replaces goes under the hold: its __del__ is refused
            // the instance. Values this store evicts go after it.
            if (state.state_of(k) == EntryState::Valid)
                if (PyObject* stale = state.take_value(k)) Py_DECREF(stale);
            state.store_if_valid(k, Py_NewRef(result), released);
        }
    }
    hold.release();
    // Evicted values and forgotten keys go now (a call that raised stored nothing, so none
    // of them runs with its exception set).
    released.release();
    if (raised) PyErr_SetRaisedException(raised);
    return result;
}

// What a lookup before the exclusive step learnt about the call's key, and in which state:
// a reset between the two steps replaces the state, and what was learnt in the old one says
// nothing of the new one.
struct EarlyLookup {
    enum { Unknown, Registered, Absent } outcome = Unknown;
    KeyId k = 0;
    // The registry's counters when it was searched.
    std::uint64_t changes = 0;
    std::uint64_t removals = 0;
    const CacheState* state = nullptr;
    std::uint64_t generation = 0;

    // Fills in the outcome of a find in `searched` that settled whether the key is
    // registered.
    void learn(Found found, const CacheState& searched) {
        if (found == Found::Yes) {
            outcome = Registered;
        } else if (found == Found::No) {
            outcome = Absent;
        } else {
            return;
        }
        changes = searched.key_registry().changes();
        removals = searched.key_registry().removals();
        state = &searched;
        generation = searched.generation();
    }
    // Whether what was learnt still describes `current`: the same state, not reset since,
    // and for a registered key no key forgotten since (its id may name another key now).
    bool holds_in(const CacheState& current) const {
        if (state != &current || generation != current.generation()) return false;
        return outcome == Registered ? removals == current.key_registry().removals()
                                     : changes == current.key_registry().changes();
    }
};

// The stored value of a registered call when it may be served right away: it is servable,
// and the calling thread runs no call of this instance that records run-time dependencies
// (that would need the edge written).
PyObject* servable_hit(const CacheState& state, KeyId k) {
    if (state.has_running_calls()) {
        const CallFrame* caller = state.innermost_frame(this_thread_record_if_any());
        if (caller && caller->track_runtime_dependencies) return nullptr;
    }
    return state.servable_value(k);
}

// Looks the key up under a shared hold, so that concurrent hits never exclude each other.
// Returns the value (new reference) of a hit; else nullptr with `lookup` filled, with an
// exception set (`error`), or with nothing learnt when this thread holds the instance
// exclusively (the exclusive request that follows refuses it).
PyObject* try_shared_hit(KestrineBaseObject* base, const KeyParts& parts, EarlyLookup& lookup,
                         bool& error) {
    SharedHold hold(base->guard);
    if (!hold.acquired()) {
        error = hold.access() == Access::Failed;
        return nullptr;
    }
    CacheState* state = base->state;
    if (!state) return nullptr;
    Found found = state->key_registry().find(parts, lookup.k);
    if (found == Found::Error) {
        error = true;
        return nullptr;
    }
    lookup.learn(found, *state);
    if (found != Found::Yes) return nullptr;
    PyObject* value = servable_hit(*state, lookup.k);
    if (value) state->note_shared_hit(lookup.k, hold.record(), hold.announced());
    return value;
}

// The exclusive step of a call, under `hold`: registration, run-time edge, hit check and
// frame in one hold (no Python code of the user runs between them except key equality,
// which the hold covers anyway). A hit returns its value; a miss releases the hold and
// computes.
PyObject* exclusive_step(KestrineBaseObject* base, ExclusiveHold& hold,
                         KestrineDecoratorObject* decorator, const KeyParts& parts,
                         const EarlyLookup& lookup, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) {
    const MethodSpec& spec = decorator->spec;
    CacheState* state = ensure_state(base);
    if (!state) return nullptr;
    state->settle_abandoned_frames();
    MetadataHashManager& registry = state->key_registry();
    // What an earlier lookup found still holds while the registry's counters say so (see
    // EarlyLookup); otherwise the key is looked up anew.
    KeyId k = lookup.k;
    std::uint64_t changes = registry.changes();
    if (lookup.holds_in(*state) && lookup.outcome == EarlyLookup::Absent) {
        if (!registry.insert_new(parts, k)) return nullptr;
    } else if (!lookup.holds_in(*state)) {
        if (!registry.get_or_insert(parts, k)) return nullptr;
    }
    // A call that fails before it runs leaves no key it registered behind.
    bool registered_here = registry.changes() != changes;
    auto fail = [&]() -> PyObject* {
        if (registered_here) {
            Released released;
            state->unregister(k, released);
        }
        return nullptr;
    };
    if (!state->has_state(k)) {
        // Declared dependencies matter only when the call is first registered.
        SmallVector<KeyId, 4> dependency_ids;
        for (const CallKey& key : spec.dependency_keys) {
            KeyId id;
            if (!registry.get_or_insert(key.hash, key.key.get(), id)) return fail();
            dependency_ids.emplace_back(id);
        }
        if (!state->register_call(k, dependency_ids.begin(), dependency_ids.size())) return fail();
    }
    const ThreadRecord* thread = hold.record();
    if (const CallFrame* caller = state->innermost_frame(thread);
        caller && caller->track_runtime_dependencies)
        if (!state->record_runtime_dependency(caller->key_id, k)) return fail();
    // A hit pushes and pops nothing: nothing could see the frame in between.
    if (PyObject* value = state->servable_value(k)) {
        state->note_hit(k);
        return value;
    }
    bool created = false;
    int m = state->method_index(spec.name_str.get(), spec.maxsize, created);
    if (m < 0) return fail();
    // The class-wide operations reach the instance from now on.
    if (created && !join_instances(decorator, reinterpret_cast<PyObject*>(base))) return fail();
    state->assign_method(k, m);
    std::uint32_t token;
    if (!state->push_frame(k, spec.track_runtime_dependencies, thread, token)) return fail();
    state->count_miss(m);
    hold.release();
    return compute_and_store(base, spec, k, token, hold.record(), args, nargsf, kwnames);
}

PyObject* cached_call(KestrineDecoratorObject* decorator, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames) {
    const MethodSpec& spec = decorator->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "kestrined can only be used as an instance method decorator");
        return nullptr;
    }
    PyObject* instance = args[0];
    if (!is_kestrine_instance(instance)) {
        PyErr_SetString(PyExc_TypeError,
                        "The decorated method's class must inherit from KestrineBase");
        return nullptr;
    }
    // The key is built before the instance is touched: binding and hashing may run Python
    // code that uses this instance.
    KeyParts parts;
    const Py_hash_t* no_argument_hash =
        spec.no_argument_hash != -1 ? &spec.no_argument_hash : nullptr;
    if (!make_key_parts(spec.name_str.get(), spec.name_hash, spec.func.get(), spec.binder,
                        no_argument_hash, args, nargs, kwnames, parts))
        return nullptr;

    KestrineBaseObject* base = as_base(instance);
    AccessGuard& guard = base->guard;
    EarlyLookup lookup;
    if (guard.try_quick()) {
        // Nobody else uses the instance: a key that compares without Python code settles
        // the call in this one hold, a hit or the registration of a miss.
        Found found = Found::No;
        if (CacheState* state = base->state) {
            found = state->key_registry().find_natively(parts, lookup.k);
            if (found == Found::Yes) {
                if (PyObject* value = servable_hit(*state, lookup.k)) {
                    state->note_hit(lookup.k);
                    guard.release_quick();
                    return value;
                }
            }
            lookup.learn(found, *state);
        }
        if (found == Found::Yes || found == Found::No) {
            ExclusiveHold hold(guard, ExclusiveHold::Promote{});
            if (!hold.acquired_or_raise()) return nullptr;
            return exclusive_step(base, hold, decorator, parts, lookup, args, nargsf, kwnames);
        }
        guard.release_quick();
    }
    bool error = false;
    if (PyObject* value = try_shared_hit(base, parts, lookup, error)) return value;
    if (error) return nullptr;
    ExclusiveHold hold(guard);
    if (!hold.acquired_or_raise()) return nullptr;
    return exclusive_step(base, hold, decorator, parts, lookup, args, nargsf, kwnames);
}

bool refuse_cleared(const MethodSpec& spec) {
    if (spec.func) return false;
    PyErr_Format(PyExc_ReferenceError, "decorated method '%s' was cleared by the garbage collector",
                 spec.name.c_str());
    return true;
}

PyObject* decorator_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) {
    KestrineDecoratorObject* decorator = as_decorator(callable);
    if (refuse_cleared(decorator->spec)) return nullptr;
    return cached_call(decorator, args, nargsf, kwnames);
}

// Runs `step(state)` under the exclusive hold of each live instance the method of
// `decorator` ran on (those without a state are passed over); what it releases goes after
// that instance's hold. false with an exception set.
template <typename Step>
bool for_each_instance(KestrineDecoratorObject* decorator, Step&& step) {
    std::vector<Ref> members;
    if (!decorator->instances->live(decorator, members)) return false;
    for (const Ref& member : members) {
        KestrineBaseObject* base = as_base(member.get());
        Released released;
        ExclusiveHold hold(base->guard);
        if (!hold.acquired_or_raise()) return false;
        if (base->state) step(*base->state, released);
    }
    return true;
}

// `Cls.m.cache_clear()`: forgets the method's calls on every live instance it ran on, each
// under that instance's own exclusive hold; their dependents turn invalid.
PyObject* decorator_cache_clear(PyObject* self, PyObject*) {
    KestrineDecoratorObject* decorator = as_decorator(self);
    if (refuse_cleared(decorator->spec)) return nullptr;
    PyObject* name = decorator->spec.name_str.get();
    if (!for_each_instance(decorator, [&](CacheState& state, Released& released) {
            state.forget_method(name, released);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

// `Cls.m.cache_info()`: the counts of every live instance the method ran on, added up; the
// bound shown is the decorator's.
PyObject* decorator_cache_info(PyObject* self, PyObject*) {
    KestrineDecoratorObject* decorator = as_decorator(self);
    if (refuse_cleared(decorator->spec)) return nullptr;
    MethodCounts total;
    total.maxsize = decorator->spec.maxsize;
    if (!for_each_instance(decorator, [&](CacheState& state, Released&) {
            int m = state.find_method(decorator->spec.name_str.get());
            if (m < 0) return;
            MethodCounts counts = state.counts(m);
            total.hits += counts.hits;
            total.misses += counts.misses;
            total.currsize += counts.currsize;
        }))
        return nullptr;
    return new_cache_info(total);
}

const ParamSpec kSetName{
    "KestrineDecorator.__set_name__()", "self", {"owner", "name"}, 2, 2, false};

// Keys carry the function's __name__, so two different functions with one __name__ reachable
// on one instance would share cache entries. Finds, along owner's MRO (the most derived
// definition of each attribute name decides), a decorated method under another attribute
// name than `attribute` that wraps another function of the same __name__ as `spec`, and
// raises TypeError for it. Aliases of one function and the same descriptor under two names
// wrap the same function and pass; an override and the base method it reaches through
// super() share one attribute name and pass.
bool refuse_name_collision(PyObject* owner, PyObject* attribute, const MethodSpec& spec) {
    return for_each_resolved_attribute(owner, [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) return 1;
        const MethodSpec* other = method_spec_of(value);
        if (!other || other->func.get() == spec.func.get() || other->name != spec.name) return 1;
        int same_attribute = PyObject_RichCompareBool(key, attribute, Py_EQ);
        if (same_attribute != 0) return same_attribute < 0 ? -1 : 1;
        PyErr_Format(PyExc_TypeError,
                     "Decorated methods '%U' and '%U' wrap different functions with the same "
                     "__name__ '%U', so their calls would share cache entries; give each "
                     "function its own __name__",
                     attribute, key, spec.name_str.get());
        return -1;
    });
}

PyObject* decorator_set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_fastcall(kSetName, args, nargs, kwnames, bound)) return nullptr;
    PyObject* owner = bound.get(0);
    PyObject* name = bound.get(1);
    if (!PyType_Check(owner)) {
        raise_type_mismatch(owner, "type");
        add_processing_note("owner");
        return nullptr;
    }
    if (!PyUnicode_Check(name)) {
        raise_type_mismatch(name, "str");
        add_processing_note("name");
        return nullptr;
    }
    // A cleared descriptor has nothing left to compare.
    const MethodSpec* spec = method_spec_of(self);
    if (spec && !refuse_name_collision(owner, name, *spec)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// Type specs

constexpr const char kKestrinedDoc[] =
    "kestrined(use_cache=True, dependencies=None, track_runtime_dependencies=False, "
    "serialisable=False, maxsize=None)\n--\n\n";
constexpr const char kAutomagicallyDoc[] =
    "automagically_kestrined(use_cache=True, dependencies=None, "
    "track_runtime_dependencies=True, serialisable=False, maxsize=None)\n--\n\n";

PyType_Slot kestrined_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<kestrined_new>)},
    {Py_tp_call, reinterpret_cast<void*>(guarded<kestrined_call>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factory_dealloc)},
    {Py_tp_doc, const_cast<char*>(kKestrinedDoc)},
    {0, nullptr},
};
PyType_Slot automagically_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<automagically_new>)},
    {Py_tp_call, reinterpret_cast<void*>(guarded<automagically_call>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factory_dealloc)},
    {Py_tp_doc, const_cast<char*>(kAutomagicallyDoc)},
    {0, nullptr},
};

PyMemberDef decorator_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(KestrineDecoratorObject, vectorcall)), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
PyMethodDef decorator_methods[] = {
    {"__set__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decorator_set)),
     METH_FASTCALL,
     "__set__($self, instance, value, /)\n--\n\nSet an attribute of instance to value."},
    {"__delete__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decorator_delete)),
     METH_FASTCALL, "__delete__($self, instance, /)\n--\n\nDelete an attribute of instance."},
    {"__set_name__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decorator_set_name)),
     METH_FASTCALL | METH_KEYWORDS, "__set_name__($self, owner, name)\n--\n\n"},
    {"cache_clear", guarded<decorator_cache_clear>, METH_NOARGS,
     "cache_clear($self, /)\n--\n\nForget this method's calls on every live instance it ran "
     "on; what depends on them turns invalid."},
    {"cache_info", guarded<decorator_cache_info>, METH_NOARGS,
     "cache_info($self, /)\n--\n\nThe hits, misses and stored values of this method on every "
     "live instance it ran on, added up, with the decorator's maxsize."},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot decorator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decorator_clear)},
    {Py_tp_methods, decorator_methods},
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, decorator_members},
    {0, nullptr},
};

PyType_Spec kestrined_type_spec = {"builtins.kestrined", sizeof(FactoryObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kestrined_slots};
PyType_Spec automagically_type_spec = {"builtins.automagically_kestrined", sizeof(FactoryObject), 0,
                                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                       automagically_slots};
PyType_Spec decorator_type_spec = {
    "builtins.KestrineDecorator", sizeof(KestrineDecoratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_GC,
    decorator_slots};

}  // namespace

void raise_assignment_refused() {
    PyErr_SetString(PyExc_TypeError, "Cannot assign to decorated method");
}

void raise_deletion_refused() {
    PyErr_SetString(PyExc_NotImplementedError, "can't delete descriptor");
}

const MethodSpec* method_spec_of(PyObject* obj) {
    PyTypeObject* type = kestrine_decorator_type();
    if (!type) {
        PyErr_Clear();
        return nullptr;
    }
    if (!Py_IS_TYPE(obj, type)) return nullptr;
    const MethodSpec& spec = as_decorator(obj)->spec;
    return spec.func ? &spec : nullptr;
}

PyType_Spec* kestrined_spec() {
    return &kestrined_type_spec;
}
PyType_Spec* automagically_kestrined_spec() {
    return &automagically_type_spec;
}
PyType_Spec* kestrine_decorator_spec() {
    return &decorator_type_spec;
}

}  // namespace kestrine
