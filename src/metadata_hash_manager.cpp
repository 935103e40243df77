// The per-instance key registry.
#include "metadata_hash_manager.h"

#include <limits>

namespace kestrine {

namespace {

constexpr std::uint32_t kEmptySlot = std::numeric_limits<std::uint32_t>::max();

std::size_t slot_of(Py_hash_t hash, std::size_t mask) {
    // Python hashes of small ints are the ints themselves; spread them over the table.
    auto h = static_cast<std::uint64_t>(hash);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return static_cast<std::size_t>(h) & mask;
}

// `stored == key` where key exists only as parts, comparing item by item exactly as tuple
// equality would: identical objects are equal without calling their `==`.
int equal_to_parts(PyObject* stored, const KeyParts& parts) {
    if (parts.prebuilt) {
        if (stored == parts.prebuilt) return 1;
        Ref result = Ref::steal(PyObject_RichCompare(stored, parts.prebuilt, Py_EQ));
        return result ? PyObject_IsTrue(result.get()) : -1;
    }
    int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(stored, 0), parts.method_name, Py_EQ);
    if (equal <= 0) return equal;
    PyObject* stored_items = PyTuple_GET_ITEM(stored, 1);
    Py_ssize_t stored_count = PyTuple_GET_SIZE(stored_items);
    auto count = static_cast<Py_ssize_t>(parts.items.size());
    for (Py_ssize_t i = 0; i < stored_count && i < count; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(stored_items, i);
        const KeyItem& item = parts.items[static_cast<std::size_t>(i)];
        equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(pair, 0), item.name, Py_EQ);
        if (equal <= 0) return equal;
        equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(pair, 1), item.value, Py_EQ);
        if (equal <= 0) return equal;
    }
    return stored_count == count ? 1 : 0;
}

}  // namespace

MetadataHashManager::~MetadataHashManager() {
    for (PyObject* key : keys_) Py_DECREF(key);
}

template <typename Equal>
Found MetadataHashManager::probe(Py_hash_t hash, Equal&& equal, KeyId& out) const {
    if (slots_.empty()) return Found::No;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(hash, mask);; i = (i + 1) & mask) {
        std::uint32_t id = slots_[i];
        if (id == kEmptySlot) return Found::No;
        if (hashes_[id] != hash) continue;
        // The equality may run Python code; the table cannot change meanwhile because
        // every change needs the instance's exclusive access, which the caller holds or
        // which shared holders keep others from taking.
        int result = equal(keys_[id]);
        if (result < 0) return Found::Error;
        if (result > 0) {
            out = id;
            return Found::Yes;
        }
    }
}

Found MetadataHashManager::find(Py_hash_t hash, PyObject* key, KeyId& out) const {
    return probe(
        hash,
        [key](PyObject* stored) {
            Ref result = Ref::steal(PyObject_RichCompare(stored, key, Py_EQ));
            return result ? PyObject_IsTrue(result.get()) : -1;
        },
        out);
}

Found MetadataHashManager::find(const KeyParts& parts, KeyId& out) const {
    return probe(
        parts.hash, [&parts](PyObject* stored) { return equal_to_parts(stored, parts); }, out);
}

void MetadataHashManager::place(std::uint32_t id) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(hashes_[id], mask);
    while (slots_[i] != kEmptySlot) i = (i + 1) & mask;
    slots_[i] = id;
}

void MetadataHashManager::grow() {
    slots_.assign(slots_.empty() ? 8 : slots_.size() * 2, kEmptySlot);
    // Reinserting in id order keeps equal hashes in registration order along each probe.
    for (std::uint32_t id = 0; id < keys_.size(); ++id) place(id);
}

bool MetadataHashManager::insert_new(Py_hash_t hash, PyObject* key, KeyId& out) {
    if (keys_.size() >= kEmptySlot - 1) {
        Py_DECREF(key);
        PyErr_SetString(PyExc_OverflowError, "too many distinct calls on one instance");
        return false;
    }
    auto id = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(key);
    hashes_.push_back(hash);
    if (keys_.size() * 10 > slots_.size() * 7) {
        grow();
    } else {
        place(id);
    }
    out = id;
    return true;
}

bool MetadataHashManager::get_or_insert(Py_hash_t hash, PyObject* key, KeyId& out) {
    Found found = find(hash, key, out);
    if (found == Found::No) return insert_new(hash, key, out);
    Py_DECREF(key);
    return found == Found::Yes;
}

bool MetadataHashManager::get_or_insert(const KeyParts& parts, KeyId& out) {
    Found found = find(parts, out);
    if (found != Found::No) return found == Found::Yes;
    PyObject* key = parts.to_tuple();
    return key && insert_new(parts.hash, key, out);
}

bool lookup_key_id(MetadataHashManager& registry, std::string_view method_name, PyObject* kwargs,
                   KeyId& out) {
    CallKey key;
    if (!make_call_key(method_name, nullptr, nullptr, kwargs, key)) return false;
    Found found = registry.find(key.hash, key.key.get(), out);
    if (found == Found::No)
        PyErr_SetString(PyExc_KeyError, "No cache key found for provided signature");
    return found == Found::Yes;
}

bool intern_method_key(MetadataHashManager& registry, std::string_view method_name, KeyId& out) {
    CallKey key;
    if (!make_call_key(method_name, nullptr, nullptr, nullptr, key)) return false;
    return registry.get_or_insert(key.hash, key.key.release(), out);
}

}  // namespace kestrine
