// The per-thread memory of decorated method names by class.
#include "decorated_names.h"

#include <atomic>
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

// A few classes per thread, placed by address. Plain data: no initialisation or destruction
// runs for a thread.
struct ThreadNames {
    static constexpr std::size_t kClasses = 8;
    ClassNames classes[kClasses];
};
thread_local ThreadNames thread_names;

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

// Fills `entry` with the decorated names of `type` at `version`, if the class is still at
// that version when the walk ends (the walk's own Python code, a metaclass's __mro__, may
// change it); otherwise leaves the entry empty. false with an exception set.
bool remember(ClassNames& entry, PyTypeObject* type, unsigned int version) {
    ClassNames found;
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
    entry.type = nullptr;
    if (!ok) return false;
    if (version_of(type) != version) return true;
    found.version = version;
    found.type = type;
    entry = found;
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

int is_decorated_method_name(PyTypeObject* type, PyObject* name) {
    unsigned int version = version_of(type);
    if (version == 0) {
        // No tag yet (or the class just changed): have one assigned, as a lookup would.
        PyUnstable_Type_AssignVersionTag(type);
        version = version_of(type);
        if (version == 0) return resolve(type, name);
    }
    auto slot = (reinterpret_cast<std::uintptr_t>(type) >> 6) % ThreadNames::kClasses;
    ClassNames& entry = thread_names.classes[slot];
    if ((entry.type != type || entry.version != version) && !remember(entry, type, version))
        return -1;
    // Unchanged since the walk, the classes hold the remembered names: an address compared
    // equal is that name. Anything else is looked up.
    if (entry.type != type || entry.count == ClassNames::kTooMany) return resolve(type, name);
    for (std::uint8_t i = 0; i < entry.count; ++i)
        if (entry.names[i] == name) return 1;
    // Attribute names are interned strings: equal ones are the same object.
    if (entry.all_interned && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
        return 0;
    return resolve(type, name);
}

}  // namespace kestrine
