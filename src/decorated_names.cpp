// The per-thread memory of decorated method names by class.
#include "decorated_names.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "module.h"
#include "py_ref.h"

namespace kestrine {

namespace {

// The decorated names of one class version, borrowed: they are keys of the class dicts
// along the MRO, alive as long as the version tag says the classes are unchanged. Only
// their addresses are compared (see is_decorated_method_name).
struct ClassNames {
    static constexpr std::uint8_t kCapacity = 16;
    static constexpr std::uint8_t kTooMany = 0xFF;  // walk the MRO for each question instead

    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    std::uint8_t count = 0;
    bool all_interned = true;
    PyObject* names[kCapacity] = {};
};

// The classes' names, shared by every thread: a store on an instance reads them on every
// assignment, so they are reached with a few plain loads (no thread-local lookup) and, in
// steady state, written by nobody, so no cache line moves between cores. A slot is written
// only when a class is new to it or has changed, and is published under a sequence count
// (odd while written): a reader that finds it odd or moved asks the classes instead. Every
// field is read and written through atomic_ref, relaxed; the count orders them.
//
// This is module-wide mutable state on purpose: it caches facts about classes, which every
// thread shares, and keeping a copy per thread made each store pay a thread-local lookup.
struct NamesSlot {
    std::atomic<std::uint32_t> sequence{0};
    ClassNames names;
};

// Two ways per set, placed by class address: two classes that meet in one set both stay.
constexpr std::size_t kSets = 64;
constexpr std::size_t kWays = 2;
struct SharedNames {
    NamesSlot slots[kSets][kWays];
    std::atomic<std::uint8_t> next_way[kSets] = {};  // the way the next new class replaces
};
SharedNames shared_names;

template <typename T>
T load_relaxed(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <typename T>
void store_relaxed(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

std::size_t set_of(PyTypeObject* type) {
    // Type objects are large and aligned: mix the address bits above the alignment.
    auto address = reinterpret_cast<std::uintptr_t>(type);
    return ((address >> 4) * 0x9E3779B97F4A7C15ull >> 58) % kSets;
}

// What a lookup in the shared slots found.
enum class Answer { kNo, kYes, kUnknown, kAbsent };

// The answer from the slot of `type` at `version`, read as one consistent copy.
inline Answer read_slot(const NamesSlot& slot, PyTypeObject* type, unsigned int version,
                        PyObject* name) {
    std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
    if (before & 1) return Answer::kUnknown;
    auto& names = const_cast<ClassNames&>(slot.names);
    if (load_relaxed(names.type) != type || load_relaxed(names.version) != version)
        return Answer::kAbsent;
    std::uint8_t count = load_relaxed(names.count);
    bool all_interned = load_relaxed(names.all_interned);
    Answer answer = Answer::kUnknown;
    if (count != ClassNames::kTooMany) {
        answer = Answer::kNo;
        for (std::uint8_t i = 0; i < count && i < ClassNames::kCapacity; ++i)
            if (load_relaxed(names.names[i]) == name) answer = Answer::kYes;
        // Attribute names are interned strings: equal ones are the same object.
        if (answer == Answer::kNo &&
            !(all_interned && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)))
            answer = Answer::kUnknown;
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.sequence.load(std::memory_order_relaxed) != before) return Answer::kUnknown;
    return answer;
}

// Publishes `found` in `slot`, unless another thread is writing it (then it stays theirs).
void write_slot(NamesSlot& slot, const ClassNames& found) {
    std::uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
    if ((sequence & 1) ||
        !slot.sequence.compare_exchange_strong(sequence, sequence + 1, std::memory_order_relaxed))
        return;
    std::atomic_thread_fence(std::memory_order_release);
    ClassNames& names = slot.names;
    store_relaxed(names.type, found.type);
    store_relaxed(names.version, found.version);
    store_relaxed(names.count, found.count);
    store_relaxed(names.all_interned, found.all_interned);
    for (std::uint8_t i = 0; i < ClassNames::kCapacity; ++i)
        store_relaxed(names.names[i], found.names[i]);
    slot.sequence.store(sequence + 2, std::memory_order_release);
}

unsigned int version_of(PyTypeObject* type) {
    return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_acquire);
}

bool is_decorator(PyObject* value) {
    PyTypeObject* decorator = kestrine_decorator_type();
    if (!decorator) {
        PyErr_Clear();
        return false;
    }
    return Py_IS_TYPE(value, decorator);
}

// A str's characters as bytes: equal strs have the same kind and the same bytes (the
// interpreter keeps every str in its narrowest kind), whatever their class says.
std::string_view characters_of(PyObject* text) {
    return {static_cast<const char*>(PyUnicode_DATA(text)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) * PyUnicode_KIND(text)};
}

struct SameCharacters {
    bool operator()(PyObject* a, PyObject* b) const {
        return PyUnicode_KIND(a) == PyUnicode_KIND(b) && characters_of(a) == characters_of(b);
    }
};
struct HashCharacters {
    std::size_t operator()(PyObject* text) const {
        return std::hash<std::string_view>{}(characters_of(text)) ^ PyUnicode_KIND(text);
    }
};

// Calls f(namespace) with the dict of each class along `type`'s MRO, in order (a snapshot
// of the MRO: a metaclass's mro() may give a list, and f may run Python code). f returns 1
// to go on, 0 to stop, -1 with an exception set. false with an exception set.
template <typename F>
bool for_each_namespace(PyObject* type, F&& f) {
    Ref mro = Ref::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return false;
    mro = Ref::steal(PySequence_Tuple(mro.get()));
    if (!mro) return false;
    for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(mro.get()); ++c) {
        PyObject* cls = PyTuple_GET_ITEM(mro.get(), c);
        if (!PyType_Check(cls)) continue;
        Ref namespace_ = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
        if (!namespace_) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        int go_on = f(namespace_.get());
        if (go_on <= 0) return go_on == 0;
    }
    return true;
}

// The question answered as attribute lookup answers it: the first class along the MRO
// whose dict has the name decides.
int resolve(PyTypeObject* type, PyObject* name) {
    int decorated = 0;
    bool ok = for_each_namespace(reinterpret_cast<PyObject*>(type), [&](PyObject* namespace_) {
        PyObject* found = nullptr;
        int present = PyDict_GetItemRef(namespace_, name, &found);
        if (present != 1) return present < 0 ? -1 : 1;  // not in this class: go on
        Ref value = Ref::steal(found);
        decorated = is_decorator(value.get()) ? 1 : 0;
        return 0;
    });
    return ok ? decorated : -1;
}

// The decorated names of `type` at `version` in `found`, if the class is still at that
// version when the walk ends (the walk's own Python code, a metaclass's __mro__, may change
// it); otherwise `found.type` is null. false with an exception set.
bool collect(ClassNames& found, PyTypeObject* type, unsigned int version) {
    bool ok = for_each_resolved_attribute(
        reinterpret_cast<PyObject*>(type), [&](PyObject* key, PyObject* value) {
            if (!is_decorator(value)) return 1;
            if (found.count == ClassNames::kCapacity) {
                found.count = ClassNames::kTooMany;
                return 0;
            }
            found.all_interned &= PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key);
            found.names[found.count++] = key;
            return 1;
        });
    if (!ok) return false;
    if (version_of(type) == version) {
        found.type = type;
        found.version = version;
    }
    return true;
}

}  // namespace

bool for_each_resolved_attribute(PyObject* type,
                                 const std::function<int(PyObject*, PyObject*)>& f) {
    // Every class's items stay held to the end: the names seen are borrowed from them.
    std::vector<Ref> snapshots;
    std::unordered_set<PyObject*, HashCharacters, SameCharacters> seen;
    return for_each_namespace(type, [&](PyObject* namespace_) {
        Ref items = Ref::steal(PyDict_Items(namespace_));
        if (!items) return -1;
        snapshots.push_back(items);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(pair, 0);
            if (!PyUnicode_Check(key) || !seen.insert(key).second) continue;
            int go_on = f(key, PyTuple_GET_ITEM(pair, 1));
            if (go_on <= 0) return go_on;
        }
        return 1;
    });
}

int mro_holds(PyObject* type, PyObject* value) {
    int held = 0;
    bool ok = for_each_namespace(type, [&](PyObject* namespace_) {
        Ref values = Ref::steal(PyDict_Values(namespace_));
        if (!values) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
            if (PyList_GET_ITEM(values.get(), i) == value) {
                held = 1;
                return 0;
            }
        }
        return 1;
    });
    return ok ? held : -1;
}

namespace {

// The way of `set` that names `type`, if one does; read_slot checks it again under the
// sequence count.
NamesSlot* way_of(NamesSlot* ways, PyTypeObject* type) {
    static_assert(kWays == 2);
    return load_relaxed(ways[0].names.type) == type   ? &ways[0]
           : load_relaxed(ways[1].names.type) == type ? &ways[1]
                                                      : nullptr;
}

// The class has no version tag yet, is new to the slots or changed since: walk the classes
// once, and remember them unless they changed during the walk, in the way that held an
// older version of the class if one does.
[[gnu::noinline]] int remember_and_answer(PyTypeObject* type, PyObject* name) {
    unsigned int version = version_of(type);
    if (version == 0) {
        // No tag yet (or the class just changed): have one assigned, as a lookup would.
        PyUnstable_Type_AssignVersionTag(type);
        version = version_of(type);
        if (version == 0) return resolve(type, name);
    }
    ClassNames found;
    if (!collect(found, type, version)) return -1;
    if (!found.type || found.count == ClassNames::kTooMany) return resolve(type, name);
    std::size_t set = set_of(type);
    NamesSlot* slot = way_of(shared_names.slots[set], type);
    if (!slot) {
        std::uint8_t way = shared_names.next_way[set].fetch_add(1, std::memory_order_relaxed);
        slot = &shared_names.slots[set][way % kWays];
    }
    write_slot(*slot, found);
    for (std::uint8_t i = 0; i < found.count; ++i)
        if (found.names[i] == name) return 1;
    if (found.all_interned && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
        return 0;
    return resolve(type, name);
}

}  // namespace

int is_decorated_method_name(PyTypeObject* type, PyObject* name) {
    if (unsigned int version = version_of(type)) {
        if (NamesSlot* slot = way_of(shared_names.slots[set_of(type)], type)) {
            switch (read_slot(*slot, type, version, name)) {
                case Answer::kYes:
                    return 1;
                case Answer::kNo:
                    return 0;
                case Answer::kUnknown:  // being written, or a name compared by its characters
                    return resolve(type, name);
                case Answer::kAbsent:  // an older version of the class
                    break;
            }
        }
    }
    return remember_and_answer(type, name);
}

}  // namespace kestrine
