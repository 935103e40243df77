// Per-instance registry of call keys: hands out dense KeyIds (0, 1, 2, ...) and finds them
// again by hash and equality. A forgotten key's id is handed out again later, so the tables
// indexed by id stay as large as the most keys ever registered at once.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "call_key.h"
#include "py_allocator.h"

namespace kestrine {

using KeyId = std::uint64_t;

// Result of a lookup that may run Python equality. Undecided: a lookup that must not run
// Python code met a comparison that would need it.
enum class Found { Error = -1, No = 0, Yes = 1, Undecided = 2 };

// One registered key in native memory: the method name and the (name, value) pairs in a
// single allocation. The Python tuple `(method_name, ((name, value), ...))` is built only
// when the key is first shown and kept from then on, so every display returns the same
// tuple. Immutable after registration except for that one lazily set field.
class StoredKey {
  public:
    // A new key holding references to the parts' objects; nullptr when out of memory
    // (nothing set: the caller reports it).
    static StoredKey* create(const KeyParts& parts);
    // A key from the parts of a well-formed key tuple (key_parts_of_tuple), keeping the
    // tuple as the shown form; nullptr when out of memory.
    static StoredKey* create_from_tuple(const KeyParts& parts, PyObject* key);
    static void destroy(StoredKey* key);

    Py_hash_t hash() const { return hash_; }
    // Tells registration order apart where ids are reused: the lower, the earlier.
    std::uint32_t serial() const { return serial_; }
    // `stored == key` as tuple equality would decide it, with this key as the left operand:
    // item by item, identical objects equal without calling their `==`. -1 on error.
    int equals(const KeyParts& parts) const;
    // The same, but only as far as it runs no Python code: -2 where a comparison would.
    int equals_natively(const KeyParts& parts) const;
    // The key tuple (new reference), built on first use; safe under shared access.
    PyObject* as_tuple();
    // Shows the collector every object the key holds: the method name, the argument names
    // and values, and the shown tuple once built.
    int traverse(visitproc visit, void* arg) const;
    // Whether the key has argument items (keys without them are shown by name alone).
    bool has_items() const { return count_ != 0; }
    PyObject* method_name() const { return method_name_; }

  private:
    friend class MetadataHashManager;
    StoredKey() = default;
    Py_hash_t hash_;
    PyObject* method_name_;
    std::atomic<PyObject*> shown_;
    std::uint32_t count_;
    // 32 bits, beside count_, keep the key's fixed part at 32 bytes; the registry numbers
    // its keys again, in the same order, when it runs out of serials.
    std::uint32_t serial_ = 0;
    PyObject* items_[];  // name, value, name, value, ...
};

class MetadataHashManager {
  public:
    MetadataHashManager() = default;
    MetadataHashManager(const MetadataHashManager&) = delete;
    MetadataHashManager& operator=(const MetadataHashManager&) = delete;
    ~MetadataHashManager();

    // Looks the key up among the keys of the same hash, in registration order, comparing
    // `stored == key`.
    Found find(const KeyParts& parts, KeyId& out) const;
    // The same lookup without running any Python code (identical objects and exact str,
    // int, float and bytes compare natively); Undecided where that does not settle it.
    Found find_natively(const KeyParts& parts, KeyId& out) const;
    // Finds the key or registers it under the next id. Registration either completes or
    // leaves the registry as it was (MemoryError).
    bool get_or_insert(const KeyParts& parts, KeyId& out);
    // Registers a key known to be absent (a find on this registry at its current size
    // said so).
    bool insert_new(const KeyParts& parts, KeyId& out);
    // The same for a prebuilt key tuple (a dependency key of a decorated method), which
    // then serves as the key's shown form.
    bool get_or_insert(Py_hash_t hash, PyObject* key, KeyId& out);

    // Takes the key of `id` out of the registry and returns it (the caller destroys it, with
    // no access held: releasing its objects may run Python code). Never allocates. The id is
    // handed out again by a later registration.
    StoredKey* detach(KeyId id);

    void swap(MetadataHashManager& other) noexcept {
        keys_.swap(other.keys_);
        std::swap(free_head_, other.free_head_);
        slots_.swap(other.slots_);
        old_.swap(other.old_);
        std::swap(migrated_, other.migrated_);
        std::swap(live_, other.live_);
        std::swap(next_serial_, other.next_serial_);
        bool shared = hashes_shared_.load(std::memory_order_relaxed);
        hashes_shared_.store(other.hashes_shared_.load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
        other.hashes_shared_.store(shared, std::memory_order_relaxed);
        std::swap(changes_, other.changes_);
        std::swap(removals_, other.removals_);
    }

    // Visits every object of every registered key; allocates nothing.
    int traverse(visitproc visit, void* arg) const;

    // The registered key, or nullptr for an id not in use.
    StoredKey* key_of(KeyId id) const {
        return id < keys_.size() && !is_free(keys_[id]) ? keys_[id] : nullptr;
    }
    // One past the highest id in use or free.
    std::size_t id_limit() const { return keys_.size(); }
    // Counters of registrations and removals: what a find learnt still holds while neither
    // moved (an absent key stays absent), and an id found stays that key's while no key was
    // removed.
    std::uint64_t changes() const { return changes_; }
    std::uint64_t removals() const { return removals_; }

  private:
    template <typename Equal>
    Found probe(Py_hash_t hash, Equal&& equal, KeyId& out) const;
    // Calls f(id, key) for each live key with this hash, in both tables (in probe order, not
    // registration order), until f returns true; whether one did.
    template <typename F>
    bool for_each_of_hash(Py_hash_t hash, F&& f) const;

    struct Slot {
        // 0: empty; kRemoved: a removed key's place in the draining table (the current
        // table closes the gap instead)
        std::uint32_t id_plus_one;
        std::uint32_t hash_tag;  // tag_of(hash): most probes skip the key
    };
    // The open-addressing table. Zeroed memory is an empty table, so a grown table comes
    // from the allocator's zeroed pages without a filling pass of its own.
    class SlotTable {
      public:
        SlotTable() = default;
        SlotTable(const SlotTable&) = delete;
        SlotTable& operator=(const SlotTable&) = delete;
        ~SlotTable() { PyMem_Free(slots_); }
        // An empty table of `size` slots (a power of two); false when out of memory.
        bool allocate(std::size_t size) {
            auto* fresh = static_cast<Slot*>(PyMem_Calloc(size, sizeof(Slot)));
            if (!fresh) return false;
            PyMem_Free(slots_);
            slots_ = fresh;
            size_ = size;
            return true;
        }
        void swap(SlotTable& other) noexcept {
            std::swap(slots_, other.slots_);
            std::swap(size_, other.size_);
        }
        void release() {
            PyMem_Free(slots_);
            slots_ = nullptr;
            size_ = 0;
        }
        std::size_t size() const { return size_; }
        Slot* data() const { return slots_; }

      private:
        Slot* slots_ = nullptr;
        std::size_t size_ = 0;
    };
    bool insert(StoredKey* key, KeyId& out);
    // Where a slot's probe starts in a table of mask + 1 slots.
    std::size_t home_of(Slot slot, std::size_t mask) const;
    void place(Slot* slots, std::size_t mask, Slot slot) const;
    // Takes the slot of `id_plus_one` out of the current table, closing the gap; false when
    // it is not there.
    bool unplace(std::uint64_t home, std::uint32_t id_plus_one);
    // Moves up to `count` slots of the table being drained into the current one.
    void migrate(std::size_t count);
    // Gives the live keys the serials from 0 on, in the order of their serials; throws
    // std::bad_alloc with nothing changed.
    void renumber_serials();
    // Serials handed out before the keys are numbered again. Test builds run out after a
    // few, so that their tests reach the renumbering.
#ifdef KESTRINE_WAIT_HOOKS
    static constexpr std::uint64_t kSerialLimit = 64;
#else
    static constexpr std::uint64_t kSerialLimit = std::uint64_t(1) << 32;
#endif

    // A free id's place holds the next free id, tagged in the low bit (a key's address never
    // has it): the free ids form a list through the table, so removal never allocates.
    static bool is_free(const StoredKey* entry) {
        return reinterpret_cast<std::uintptr_t>(entry) & 1;
    }
    static StoredKey* free_entry(std::uint64_t next) {
        return reinterpret_cast<StoredKey*>(static_cast<std::uintptr_t>(next << 1 | 1));
    }
    static std::uint64_t next_free(const StoredKey* entry) {
        return reinterpret_cast<std::uintptr_t>(entry) >> 1;
    }
    static constexpr std::uint64_t kNoFreeId = ~std::uint64_t(0) >> 1;

    PyVector<StoredKey*> keys_;  // by id: the owned keys, or a free id's link
    std::uint64_t free_head_ = kNoFreeId;
    // Open addressing over ids; a lookup compares the candidates of one hash in id order, so
    // no per-hash list needs allocating.
    SlotTable slots_;
    // A grown table is filled a few slots per registration from the one it replaced, so that
    // growth costs no pause: until then both are searched, and old_ positions below
    // migrated_ have moved.
    SlotTable old_;
    std::size_t migrated_ = 0;
    std::size_t live_ = 0;  // registered keys
    std::uint64_t next_serial_ = 0;
    // Whether a lookup ever compared a stored key unequal to a key of the same hash (the
    // step before two live keys can share a hash). Until then, a probe's first candidate of
    // the hash is its only one, and is compared at once. Lookups under shared holds set it.
    mutable std::atomic<bool> hashes_shared_{false};
    std::uint64_t changes_ = 0;
    std::uint64_t removals_ = 0;
};

// The KeyId of the key built from `method_name` and `kwargs` (no binding, no defaults);
// KeyError "No cache key found for provided signature" when none is registered. A missing
// registry (nothing memoised yet) finds nothing.
bool lookup_key_id(const MetadataHashManager* registry, std::string_view method_name,
                   PyObject* kwargs, KeyId& out);
// The KeyId of `(method_name, ())`, registering it when new.
bool intern_method_key(MetadataHashManager& registry, std::string_view method_name, KeyId& out);

}  // namespace kestrine
