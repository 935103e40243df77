// KestrineBase: the per-instance CacheState, its validation rules, and the Python methods
// and properties that query, change, show, dump and load it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "access_guard.h"
#include "id_set.h"
#include "metadata_hash_manager.h"

namespace kestrine {

enum class EntryState : std::uint8_t { Valid = 0, Invalid = 1, PermanentlyInvalid = 2 };

struct CallFrame {
    KeyId key_id;
    bool track_runtime_dependencies;
};

// Everything the cache of one instance knows. Tables are indexed by KeyId (ids are dense),
// so only the key registry ever compares Python objects. Not thread-safe by itself: every
// operation runs under the owning instance's AccessGuard.
class CacheState {
  public:
    CacheState() = default;
    CacheState(const CacheState&) = delete;
    CacheState& operator=(const CacheState&) = delete;
    ~CacheState();

    // Reading operations.
    EntryState state_of(KeyId k) const;
    bool has_state(KeyId k) const {
        return k < meta_.size() && (meta_[k] & kStateMask) != kNoState;
    }
    // New reference to the value when `k` is Valid and a value is stored, else nullptr.
    PyObject* servable_value(KeyId k) const;
    bool has_value(KeyId k) const { return k < values_.size() && values_[k] != nullptr; }
    const CallFrame* top_frame() const {
        return call_stack_.empty() ? nullptr : &call_stack_.back();
    }

    // Writing operations.
    void register_call(KeyId k, const KeyId* declared, std::size_t count);
    void record_runtime_dependency(KeyId caller, KeyId callee);
    void derive_state(KeyId k);
    void mark_permanently_invalid(KeyId k) { set_state(k, EntryState::PermanentlyInvalid); }
    // Takes over `value`: stored when `k` is Valid (the replaced value is released), else
    // released.
    void store_if_valid(KeyId k, PyObject* value);
    void invalidate(KeyId k);
    void revalidate(KeyId k);
    void push_frame(KeyId k, bool track) { call_stack_.push_back({k, track}); }
    void pop_frame() {
        if (!call_stack_.empty()) call_stack_.pop_back();
    }

    // Replaces the stored value (takes over `value`); returns the previous one (owned) or
    // nullptr when there was none.
    PyObject* exchange_value(KeyId k, PyObject* value);
    // Removes the stored value; returns it (owned) or nullptr.
    PyObject* take_value(KeyId k);
    // Turns Valid states Invalid, then releases every stored value (a value's __del__ runs
    // with the state held, so it cannot change the table under the loop).
    void clear_all();

    MetadataHashManager& key_registry() { return key_registry_; }
    const MetadataHashManager& key_registry() const { return key_registry_; }

    // Walks for the inspection properties. Callbacks return false to stop.
    template <typename F>
    bool for_each_value(F&& f) const {
        for (std::size_t k = 0; k < values_.size(); ++k)
            if (values_[k] && !f(KeyId(k), values_[k])) return false;
        return true;
    }
    template <typename F>
    bool for_each_state(F&& f) const {
        for (std::size_t k = 0; k < meta_.size(); ++k) {
            std::uint8_t s = meta_[k] & kStateMask;
            if (s != kNoState && !f(KeyId(k), EntryState(s))) return false;
        }
        return true;
    }
    template <typename F>
    bool for_each_node(F&& f) const {
        for (std::size_t k = 0; k < meta_.size(); ++k)
            if ((meta_[k] & kNodeBit) && !f(KeyId(k), dependents_[k])) return false;
        return true;
    }

  private:
    static constexpr std::uint8_t kStateMask = 0x3;
    static constexpr std::uint8_t kNoState = 0x3;
    static constexpr std::uint8_t kNodeBit = 0x4;

    // Valid becomes Invalid; other states and the node bit stay.
    static void demote_if_valid(std::uint8_t& meta) {
        if ((meta & kStateMask) == static_cast<std::uint8_t>(EntryState::Valid))
            meta = static_cast<std::uint8_t>((meta & ~kStateMask) |
                                             static_cast<std::uint8_t>(EntryState::Invalid));
    }
    void ensure(KeyId k);
    void set_state(KeyId k, EntryState s);
    void make_node(KeyId k);
    // Adds `dependent` to dependents[dependency] and the forward edge beside it.
    void add_edge(KeyId dependency, KeyId dependent);

    std::vector<CallFrame> call_stack_;
    std::vector<PyObject*> values_;          // by KeyId; nullptr where nothing is stored
    std::vector<std::uint8_t> meta_;         // by KeyId: state (kNoState when none) | kNodeBit
    std::vector<IdSet> dependents_;          // reverse edges: who depends on the call
    std::vector<IdSet> dependencies_;        // forward edges, kept beside them
    std::vector<std::uint32_t> visit_mark_;  // dependents_closure's visited set, by epoch
    std::uint32_t visit_epoch_ = 0;
    MetadataHashManager key_registry_;
};

struct KestrineBaseObject {
    PyObject ob_base;
    AccessGuard guard;
    CacheState state;
};

inline KestrineBaseObject* as_base(PyObject* obj) {
    return reinterpret_cast<KestrineBaseObject*>(obj);
}

PyType_Spec* kestrine_base_spec();

}  // namespace kestrine
