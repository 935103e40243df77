// The per-thread memory of decorated method names by class.
#include "decorated_names.h"

#include <atomic>
#include <cstdint>

#include "module.h"
#include "py_ref.h"

namespace kestrine {

namespace {

// The decorated names of one class version, borrowed: they are keys of the class dicts
// along the MRO, alive as long as the version tag says the classes are unchanged.
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

// The question answered as attribute lookup answers it: the first class along the MRO
// whose dict has the name decides.
int resolve(PyTypeObject* type, PyObject* name) {
    Ref mro = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    if (!mro) return -1;
    mro = Ref::steal(PySequence_Tuple(mro.get()));  // a metaclass's mro() may give a list
    if (!mro) return -1;
    for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(mro.get()); ++c) {
        PyObject* cls = PyTuple_GET_ITEM(mro.get(), c);
        if (!PyType_Check(cls)) continue;
        Ref namespace_ = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
        if (!namespace_) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        PyObject* found = nullptr;
        int present = PyDict_GetItemRef(namespace_.get(), name, &found);
        if (present != 1) {
            if (present < 0) return -1;
            continue;
        }
        Ref value = Ref::steal(found);
        return is_decorator(value.get()) ? 1 : 0;
    }
    return 0;
}

// Fills `entry` with the decorated names of `type` at `version` (read before the walk: a
// change meanwhile changes the version, so the entry is never used). false with an
// exception set.
bool remember(ClassNames& entry, PyTypeObject* type, unsigned int version) {
    entry.type = nullptr;
    std::uint8_t count = 0;
    bool all_interned = true;
    bool ok = for_each_resolved_attribute(
        reinterpret_cast<PyObject*>(type), [&](PyObject* key, PyObject* value) {
            if (!is_decorator(value)) return 1;
            if (count == ClassNames::kCapacity) {
                count = ClassNames::kTooMany;
                return 0;
            }
            all_interned &= PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key);
            entry.names[count++] = key;
            return 1;
        });
    if (!ok) return false;
    entry.count = count;
    entry.all_interned = all_interned;
    entry.version = version;
    entry.type = type;
    return true;
}

}  // namespace

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
    if (entry.count == ClassNames::kTooMany) return resolve(type, name);
    for (std::uint8_t i = 0; i < entry.count; ++i)
        if (entry.names[i] == name) return 1;
    // Attribute names are interned strings, compared by identity; anything else by value.
    if (entry.all_interned && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
        return 0;
    for (std::uint8_t i = 0; i < entry.count; ++i) {
        int equal = PyObject_RichCompareBool(entry.names[i], name, Py_EQ);
        if (equal != 0) return equal;
    }
    return 0;
}

}  // namespace kestrine
