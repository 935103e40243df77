// Per-instance registry of call keys: hands out dense KeyIds (0, 1, 2, ...) and finds them
// again by hash and equality.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "py_introspection_utils.h"

namespace kestrine {

using KeyId = std::uint64_t;

// Result of a lookup that may run Python equality.
enum class Found { Error = -1, No = 0, Yes = 1 };

class MetadataHashManager {
  public:
    MetadataHashManager() = default;
    MetadataHashManager(const MetadataHashManager&) = delete;
    MetadataHashManager& operator=(const MetadataHashManager&) = delete;
    ~MetadataHashManager();

    // Looks `key` (borrowed) up among the keys of the same hash, in registration order,
    // comparing `stored == key`.
    Found find(Py_hash_t hash, PyObject* key, KeyId& out) const;
    // The same comparison against a key that exists only as parts.
    Found find(const KeyParts& parts, KeyId& out) const;

    // Takes over the reference to `key`: kept when registered, released otherwise.
    bool get_or_insert(Py_hash_t hash, PyObject* key, KeyId& out);
    // Finds the key given as parts, or registers a tuple built from them.
    bool get_or_insert(const KeyParts& parts, KeyId& out);

    // The registered key tuple (borrowed), or nullptr for an id never issued.
    PyObject* key_of(KeyId id) const { return id < keys_.size() ? keys_[id] : nullptr; }
    std::size_t size() const { return keys_.size(); }

  private:
    template <typename Equal>
    Found probe(Py_hash_t hash, Equal&& equal, KeyId& out) const;
    // Registers `key` (taking over the reference) under a new id.
    bool insert_new(Py_hash_t hash, PyObject* key, KeyId& out);
    void place(std::uint32_t id);
    void grow();

    std::vector<PyObject*> keys_;    // by id: the owned key tuples
    std::vector<Py_hash_t> hashes_;  // by id: the key's hash
    // Open addressing over ids: the ids of one hash lie along one probe sequence in
    // registration order, so no per-hash list needs allocating.
    std::vector<std::uint32_t> slots_;
};

// The KeyId of the key built from `method_name` and `kwargs` (no binding, no defaults);
// KeyError "No cache key found for provided signature" when none is registered.
bool lookup_key_id(MetadataHashManager& registry, std::string_view method_name, PyObject* kwargs,
                   KeyId& out);
// The KeyId of `(method_name, ())`, registering it when new.
bool intern_method_key(MetadataHashManager& registry, std::string_view method_name, KeyId& out);

}  // namespace kestrine
