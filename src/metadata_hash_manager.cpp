// The per-instance key registry.
#include "metadata_hash_manager.h"

#include <algorithm>
#include <limits>
#include <new>

namespace kestrine {

namespace {

constexpr std::uint32_t kEmptySlot = 0;
constexpr std::uint32_t kRemoved = 0xFFFFFFFFu;
// Ids stay below this, so that id + 1 fits a slot.
constexpr std::uint64_t kIdLimit = std::numeric_limits<std::uint32_t>::max() - 1;

std::uint64_t spread(Py_hash_t hash) {
    // Python hashes of small ints are the ints themselves; spread them over the table.
    auto h = static_cast<std::uint64_t>(hash);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// The low bits of the spread hash: a probe compares them before touching the key, and a
// table of up to 2**32 slots places a key by them alone.
std::uint32_t tag_of(Py_hash_t hash) {
    return static_cast<std::uint32_t>(spread(hash));
}

int equal_objects(PyObject* stored, PyObject* given) {
    return stored == given ? 1 : PyObject_RichCompareBool(stored, given, Py_EQ);
}

constexpr int kUndecided = -2;

// `==` of two objects where it runs no Python code: identity, or two objects of one exact
// built-in type whose comparison is native and cannot fail.
int equal_natively(PyObject* stored, PyObject* given) {
    if (stored == given) return 1;
    PyTypeObject* type = Py_TYPE(stored);
    if (type != Py_TYPE(given)) return kUndecided;
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        type == &PyBytes_Type)
        return PyObject_RichCompareBool(stored, given, Py_EQ);
    return kUndecided;
}

// Tuple equality of a stored key with parts: the method names, then pair by pair (name,
// then value) over the common length, then the lengths; no early out on differing lengths.
template <typename Equal>
int equal_key(PyObject* method_name, PyObject* const* items, std::size_t count,
              const KeyParts& parts, Equal&& equal) {
    int result = equal(method_name, parts.method_name);
    if (result != 1) return result;
    std::size_t given = parts.items.size();
    for (std::size_t i = 0; i < count && i < given; ++i) {
        result = equal(items[2 * i], parts.items[i].name);
        if (result != 1) return result;
        result = equal(items[2 * i + 1], parts.items[i].value);
        if (result != 1) return result;
    }
    return count == given ? 1 : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// StoredKey

StoredKey* StoredKey::create(const KeyParts& parts) {
    std::size_t count = parts.items.size();
    void* memory = PyMem_Malloc(sizeof(StoredKey) + 2 * count * sizeof(PyObject*));
    if (!memory) return nullptr;
    auto* key = new (memory) StoredKey();
    key->hash_ = parts.hash;
    key->method_name_ = Py_NewRef(parts.method_name);
    key->shown_.store(nullptr, std::memory_order_relaxed);
    key->count_ = static_cast<std::uint32_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        key->items_[2 * i] = Py_NewRef(parts.items[i].name);
        key->items_[2 * i + 1] = Py_NewRef(parts.items[i].value);
    }
    return key;
}

StoredKey* StoredKey::create_from_tuple(const KeyParts& parts, PyObject* tuple) {
    StoredKey* key = create(parts);
    if (key) key->shown_.store(Py_NewRef(tuple), std::memory_order_relaxed);
    return key;
}

void StoredKey::destroy(StoredKey* key) {
    Py_XDECREF(key->shown_.load(std::memory_order_relaxed));
    for (std::uint32_t i = 0; i < 2 * key->count_; ++i) Py_DECREF(key->items_[i]);
    Py_DECREF(key->method_name_);
    key->~StoredKey();
    PyMem_Free(key);
}

int StoredKey::equals(const KeyParts& parts) const {
    return equal_key(method_name_, items_, count_, parts, equal_objects);
}

int StoredKey::equals_natively(const KeyParts& parts) const {
    return equal_key(method_name_, items_, count_, parts, equal_natively);
}

int StoredKey::traverse(visitproc visit, void* arg) const {
    Py_VISIT(method_name_);
    for (std::uint32_t i = 0; i < 2 * count_; ++i) Py_VISIT(items_[i]);
    // Set at most once, by a reader racing to build it: either value is a complete tuple.
    Py_VISIT(shown_.load(std::memory_order_acquire));
    return 0;
}

PyObject* StoredKey::as_tuple() {
    if (PyObject* shown = shown_.load(std::memory_order_acquire)) return Py_NewRef(shown);
    Ref items = Ref::steal(PyTuple_New(count_));
    if (!items) return nullptr;
    for (std::uint32_t i = 0; i < count_; ++i) {
        PyObject* pair = PyTuple_Pack(2, items_[2 * i], items_[2 * i + 1]);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(items.get(), i, pair);
    }
    PyObject* built = PyTuple_Pack(2, method_name_, items.get());
    if (!built) return nullptr;
    // Readers under shared access may race to build it; the first one stored is the one
    // every later display returns.
    PyObject* expected = nullptr;
    if (shown_.compare_exchange_strong(expected, built, std::memory_order_acq_rel,
                                       std::memory_order_acquire))
        return Py_NewRef(built);
    Py_DECREF(built);
    return Py_NewRef(expected);
}

// ---------------------------------------------------------------------------------------
// MetadataHashManager

MetadataHashManager::~MetadataHashManager() {
    for (StoredKey* key : keys_)
        if (!is_free(key)) StoredKey::destroy(key);
}

int MetadataHashManager::traverse(visitproc visit, void* arg) const {
    for (const StoredKey* key : keys_)
        if (!is_free(key))
            if (int result = key->traverse(visit, arg)) return result;
    return 0;
}

template <typename F>
bool MetadataHashManager::for_each_of_hash(Py_hash_t hash, F&& f) const {
    std::uint32_t tag = tag_of(hash);
    std::uint64_t home = spread(hash);
    for (int t = 0; t < 2; ++t) {
        const SlotTable& table = t == 0 ? slots_ : old_;
        std::size_t moved_below = t == 0 ? 0 : migrated_;
        if (table.size() == 0) continue;
        std::size_t mask = table.size() - 1;
        const Slot* slots = table.data();
        for (std::size_t i = home & mask;; i = (i + 1) & mask) {
            Slot slot = slots[i];
            if (slot.id_plus_one == kEmptySlot) break;
            if (slot.hash_tag != tag || slot.id_plus_one == kRemoved || i < moved_below) continue;
            std::uint32_t id = slot.id_plus_one - 1;
            if (keys_[id]->hash() == hash && f(id, keys_[id])) return true;
        }
    }
    return false;
}

template <typename Equal>
Found MetadataHashManager::probe(Py_hash_t hash, Equal&& equal, KeyId& out) const {
    // The stored keys with this hash are compared in registration order, the first that
    // equals wins. They lie along one probe sequence of each table (two while one drains),
    // not necessarily in that order: each round finds the earliest registered key after the
    // last one compared. Usually there is one candidate and a single round. No allocation: a
    // hit may run where allocating must not fail.
    std::uint64_t lowest = 0;  // a round takes the earliest key registered from here on
    for (;;) {
        std::int64_t best = -1;
        std::uint64_t best_serial = ~std::uint64_t(0);
        for_each_of_hash(hash, [&](std::uint32_t id, const StoredKey* key) {
            std::uint64_t serial = key->serial();
            if (serial < lowest || serial >= best_serial) return false;
            best = id;
            best_serial = serial;
            // The only key of this hash: look no further.
            return !hashes_shared_.load(std::memory_order_relaxed);
        });
        if (best < 0) return Found::No;
        // The equality may run Python code; the tables cannot change meanwhile because
        // every change needs the instance's exclusive access, which the caller holds or
        // which shared holders keep others from taking.
        int result = equal(keys_[best]);
        if (result == 1) {
            out = KeyId(best);
            return Found::Yes;
        }
        if (result != 0) return result == kUndecided ? Found::Undecided : Found::Error;
        // A key of this hash that is not the one asked for: registering that one makes two.
        // Every registration follows a lookup that came here, so this is where the registry
        // learns it; setting it early only makes lookups look further.
        hashes_shared_.store(true, std::memory_order_relaxed);
        lowest = best_serial + 1;
    }
}

Found MetadataHashManager::find(const KeyParts& parts, KeyId& out) const {
    return probe(
        parts.hash, [&parts](const StoredKey* stored) { return stored->equals(parts); }, out);
}

Found MetadataHashManager::find_natively(const KeyParts& parts, KeyId& out) const {
    return probe(
        parts.hash, [&parts](const StoredKey* stored) { return stored->equals_natively(parts); },
        out);
}

std::size_t MetadataHashManager::home_of(Slot slot, std::size_t mask) const {
    return mask <= 0xFFFFFFFFu ? slot.hash_tag & mask
                               : spread(keys_[slot.id_plus_one - 1]->hash()) & mask;
}

void MetadataHashManager::place(Slot* slots, std::size_t mask, Slot slot) const {
    std::size_t i = home_of(slot, mask);
    while (slots[i].id_plus_one != kEmptySlot) i = (i + 1) & mask;
    slots[i] = slot;
}

void MetadataHashManager::migrate(std::size_t count) {
    std::size_t size = old_.size();
    if (size == 0) return;
    std::size_t end = std::min(size, migrated_ + count);
    const Slot* slots = old_.data();
    for (; migrated_ < end; ++migrated_) {
        Slot slot = slots[migrated_];
        if (slot.id_plus_one != kEmptySlot && slot.id_plus_one != kRemoved)
            place(slots_.data(), slots_.size() - 1, slot);
    }
    if (migrated_ == size) {
        old_.release();
        migrated_ = 0;
    }
}

bool MetadataHashManager::insert(StoredKey* key, KeyId& out) {
    bool reuse = free_head_ != kNoFreeId;
    if (!reuse && keys_.size() >= kIdLimit) {
        StoredKey::destroy(key);
        PyErr_SetString(PyExc_OverflowError, "too many distinct calls on one instance");
        return false;
    }
    auto id = static_cast<std::uint32_t>(reuse ? free_head_ : keys_.size());
    try {
        // Every allocation happens before anything changes, so a failure leaves the
        // registry exactly as it was.
        if (next_serial_ >= kSerialLimit) renumber_serials();
        if (!reuse && keys_.size() == keys_.capacity())
            keys_.reserve(keys_.empty() ? 8 : keys_.size() * 2);
        // At most half full: a probe for an absent key then ends after two or three slots.
        if ((live_ + 1) * 2 > slots_.size()) {
            SlotTable grown;
            if (!grown.allocate(slots_.size() == 0 ? 16 : slots_.size() * 2))
                throw std::bad_alloc();
            // Two slots move per registration, so the old table usually drains before the
            // new one is rebuilt; if not, the rest moves at once here.
            migrate(old_.size());
            old_.swap(slots_);
            slots_.swap(grown);
        }
    } catch (const std::bad_alloc&) {
        StoredKey::destroy(key);
        PyErr_NoMemory();
        return false;
    }
    migrate(2);
    key->serial_ = static_cast<std::uint32_t>(next_serial_++);
    if (reuse) {
        free_head_ = next_free(keys_[id]);
        keys_[id] = key;
    } else {
        keys_.push_back(key);  // capacity reserved above
    }
    place(slots_.data(), slots_.size() - 1, Slot{id + 1, tag_of(key->hash())});
    ++live_;
    ++changes_;
    out = id;
    return true;
}

void MetadataHashManager::renumber_serials() {
    std::vector<StoredKey*> live;
    live.reserve(live_);
    for (StoredKey* key : keys_)
        if (!is_free(key)) live.push_back(key);
    std::sort(live.begin(), live.end(),
              [](const StoredKey* a, const StoredKey* b) { return a->serial_ < b->serial_; });
    next_serial_ = 0;
    for (StoredKey* key : live) key->serial_ = static_cast<std::uint32_t>(next_serial_++);
}

StoredKey* MetadataHashManager::detach(KeyId id) {
    StoredKey* key = key_of(id);
    if (!key) return nullptr;
    auto wanted = static_cast<std::uint32_t>(id + 1);
    std::uint64_t home = spread(key->hash());
    if (!unplace(home, wanted) && old_.size() != 0) {
        // Not yet moved out of the draining table: marked there, since moving slots of a
        // table half drained would carry them past the drain's position.
        std::size_t mask = old_.size() - 1;
        Slot* slots = old_.data();
        for (std::size_t i = home & mask; slots[i].id_plus_one != kEmptySlot; i = (i + 1) & mask) {
            if (slots[i].id_plus_one == wanted && i >= migrated_) {
                slots[i].id_plus_one = kRemoved;
                break;
            }
        }
    }
    keys_[id] = free_entry(free_head_);
    free_head_ = id;
    --live_;
    ++changes_;
    ++removals_;
    return key;
}

bool MetadataHashManager::unplace(std::uint64_t home, std::uint32_t id_plus_one) {
    if (slots_.size() == 0) return false;
    std::size_t mask = slots_.size() - 1;
    Slot* slots = slots_.data();
    std::size_t hole = home & mask;
    for (;; hole = (hole + 1) & mask) {
        if (slots[hole].id_plus_one == kEmptySlot) return false;
        if (slots[hole].id_plus_one == id_plus_one) break;
    }
    // Backward shift: each later slot of the run that may sit at the hole (its home is not
    // between the hole and it) moves there and leaves the next hole, so that every key stays
    // reachable from its home without a marker for removed places. Probes stay as short as
    // the live keys make them, however many keys come and go.
    for (std::size_t i = (hole + 1) & mask; slots[i].id_plus_one != kEmptySlot;
         i = (i + 1) & mask) {
        std::size_t own_home = home_of(slots[i], mask);
        if (((i - own_home) & mask) >= ((i - hole) & mask)) {
            slots[hole] = slots[i];
            hole = i;
        }
    }
    slots[hole] = Slot{kEmptySlot, 0};
    return true;
}

bool MetadataHashManager::insert_new(const KeyParts& parts, KeyId& out) {
    StoredKey* key = StoredKey::create(parts);
    if (!key) {
        PyErr_NoMemory();
        return false;
    }
    return insert(key, out);
}

bool MetadataHashManager::get_or_insert(const KeyParts& parts, KeyId& out) {
    Found found = find(parts, out);
    if (found != Found::No) return found == Found::Yes;
    return insert_new(parts, out);
}

bool MetadataHashManager::get_or_insert(Py_hash_t hash, PyObject* key, KeyId& out) {
    KeyParts parts;
    key_parts_of_tuple(key, hash, parts);
    Found found = find(parts, out);
    if (found != Found::No) return found == Found::Yes;
    StoredKey* stored = StoredKey::create_from_tuple(parts, key);
    if (!stored) {
        PyErr_NoMemory();
        return false;
    }
    return insert(stored, out);
}

bool lookup_key_id(const MetadataHashManager* registry, std::string_view method_name,
                   PyObject* kwargs, KeyId& out) {
    KeyParts parts;
    if (!key_parts_of_kwargs(method_name, kwargs, parts)) return false;
    Found found = registry ? registry->find(parts, out) : Found::No;
    if (found == Found::No)
        PyErr_SetString(PyExc_KeyError, "No cache key found for provided signature");
    return found == Found::Yes;
}

bool intern_method_key(MetadataHashManager& registry, std::string_view method_name, KeyId& out) {
    KeyParts parts;
    if (!key_parts_of_kwargs(method_name, nullptr, parts)) return false;
    return registry.get_or_insert(parts, out);
}

}  // namespace kestrine
