// CacheState: everything the cache of one instance knows (values, validation states,
// dependency edges, running calls and the key registry) and the rules that change it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "id_set.h"
#include "metadata_hash_manager.h"
#include "py_allocator.h"
#include "py_ref.h"
#include "small_vector.h"
#include "thread_record.h"

namespace kestrine {

enum class EntryState : std::uint8_t { Valid = 0, Invalid = 1, PermanentlyInvalid = 2 };

// One running decorated call. Frames of every thread that computes on the instance share
// the instance's stack; each knows its thread, and "the call running here" is always the
// calling thread's innermost frame.
struct CallFrame {
    KeyId key_id;
    // The state's generation when the call started: a reset since makes the frame stale, and
    // a stale call returns its value to its caller but stores nothing.
    std::uint64_t generation;
    // The thread's record and its incarnation then: a record outlives its thread and is
    // handed to a later one.
    std::uint32_t incarnation;
    const ThreadRecord* thread;
    bool track_runtime_dependencies;
    // Set when an invalidation reaches the call while it computes: its result was computed
    // from a dependency that changed meanwhile.
    bool touched;
    std::uint32_t token;  // tells this frame apart from other frames of the same call
};

// How a running call's frame ended (pop_frame).
enum class FrameEnd {
    Current,  // the call may store its value
    Touched,  // an invalidation reached it while it computed: it stores nothing
    Stale,    // a reset forgot everything while it computed: it stores nothing
};

// Objects taken out of the tables under a hold and released after it, since releasing may
// run Python code. Should recording one fail for want of memory, it is released at once.
class Released {
  public:
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() { release(); }
    void add(PyObject* object);  // takes over the reference
    void add(StoredKey* key);    // takes over the key
    void release();

  private:
    // An eviction releases a value and a key: room for a few without allocating.
    SmallVector<PyObject*, 4> objects_;
    SmallVector<StoredKey*, 4> keys_;
};

// The counts cache_info reports for one method on one instance.
struct MethodCounts {
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;
    std::int64_t maxsize = -1;  // -1: unbounded
    std::size_t currsize = 0;
};

// Everything the cache of one instance knows. Tables are indexed by KeyId (ids are dense),
// so only the key registry ever compares Python objects. Not thread-safe by itself: every
// operation runs under the owning instance's AccessGuard.
//
// Operations that grow a table either complete or fail with MemoryError before anything
// visible changed; those that only change what exists never allocate and cannot fail.
class CacheState : public PyMemAllocated {
  public:
    static constexpr std::int64_t kUnbounded = -1;
    static constexpr int kNoMethod = 0xFFFF;

    // User-provided, so that `new CacheState()` does not zero the whole state (its raw
    // storage for method slots included) before the members' own initialisers run.
    CacheState() {}
    CacheState(const CacheState&) = delete;
    CacheState& operator=(const CacheState&) = delete;
    ~CacheState();

    // Reading operations.

    // Counts the resets of this state: what a lookup learnt before a reset means nothing
    // after it.
    std::uint64_t generation() const { return generation_; }
    EntryState state_of(KeyId k) const;
    bool has_state(KeyId k) const { return k < calls_ && (meta_[k] & kStateMask) != kNoState; }
    // New reference to the value when `k` is Valid and a value is stored, else nullptr.
    PyObject* servable_value(KeyId k) const;
    bool has_value(KeyId k) const { return k < calls_ && entries_[k].value != nullptr; }
    // Whether a decorated call of the instance is running (on any thread). Frames given up
    // by interrupted waits count until settle_abandoned_frames removed them.
    bool has_running_calls() const { return !call_stack_.empty(); }
    // The innermost running call of `thread` on this instance, or nullptr. Only a thread's
    // own calls can be its callers.
    const CallFrame* innermost_frame(const ThreadRecord* thread) const {
        if (!thread) return nullptr;
        std::uint32_t incarnation = thread->incarnation.load(std::memory_order_relaxed);
        for (std::size_t i = call_stack_.size(); i-- > 0;) {
            const CallFrame& frame = call_stack_[i];
            if (frame.thread == thread && frame.incarnation == incarnation)
                // A call from before a reset records nothing: it stores nothing either.
                return frame.generation == generation_ ? &frame : nullptr;
        }
        return nullptr;
    }
    // Removes the frames of threads that ended without finishing their call: only the
    // threads that did not survive a fork do. Needs exclusive access.
    void forget_frames_of_ended_threads();

    // Writing operations. Those returning bool fail only with MemoryError, unchanged.
    bool register_call(KeyId k, const KeyId* declared, std::size_t count);
    bool record_runtime_dependency(KeyId caller, KeyId callee);
    // `changed_meanwhile`: an invalidation reached the call while it computed, so the
    // computation never makes it valid (an update of the call itself meanwhile stands).
    void derive_state(KeyId k, bool changed_meanwhile = false);
    // Sets the state of a call that has a table entry (registered by register_call).
    void mark_permanently_invalid(KeyId k) { set_state(k, EntryState::PermanentlyInvalid); }
    // Takes over `value`: stored (store_value) when `k` is Valid, else released.
    void store_if_valid(KeyId k, PyObject* value, Released& released);
    // Stores `value` (taken over) as the value of `k`, within its method's bound: a value it
    // replaces is released; a new one beyond the bound first evicts a value of the same
    // method (drop_value); under a bound of 0 nothing is stored. false (MemoryError, `value`
    // released) with nothing changed.
    bool store_value(KeyId k, PyObject* value, Released& released);
    void invalidate(KeyId k);
    void revalidate(KeyId k);
    // Pushes a frame for `k` run by `thread`; returns its token, or false (MemoryError) with
    // nothing pushed.
    bool push_frame(KeyId k, bool track, const ThreadRecord* thread, std::uint32_t& token);
    // Removes the frame pushed with `token` (the innermost one of this call) and says how it
    // ended. A frame is removed whether or not it is the top: frames of other threads on the
    // same instance may lie above it.
    FrameEnd pop_frame(std::uint32_t token);
    // Gives up the frame pushed with `token` without access to the state: a thread whose
    // wait for the instance was interrupted leaves it to the next writer, which removes it
    // (settle_abandoned_frames) before anything reads frames. Until then the frame reads as
    // a running call that records nothing. false (MemoryError set) when no memory is left to
    // note it.
    bool abandon_frame(std::uint32_t token);
    // Removes the frames given up by abandon_frame; needs exclusive access.
    void settle_abandoned_frames() {
        if (abandoned_.load(std::memory_order_relaxed)) settle_abandoned_frames_slowly();
    }

    // Removes the stored value; returns it (owned) or nullptr.
    PyObject* take_value(KeyId k);
    // Whether the cache itself dropped the value of `k` (an eviction, a class-wide clear)
    // while calls depended on it. Clearing or updating such a call still reaches them.
    bool was_dropped(KeyId k) const { return k < calls_ && (meta_[k] & kDroppedBit); }
    void forget_drop(KeyId k) { meta_[k] &= static_cast<std::uint8_t>(~kDroppedBit); }
    // Turns Valid states Invalid, then moves every stored value to `released`.
    void clear_all(Released& released);
    // Takes back the registration of `k` by a call that failed before it ran: forgotten
    // when nothing else holds on to it (a value, a dependent, a running frame).
    void unregister(KeyId k, Released& released);
    // Forgets the calls of the method named `name`: values go, their dependents turn
    // invalid, and calls that nothing depends on and that are not running are forgotten
    // with their keys. The method's counts start again.
    void forget_method(PyObject* name, Released& released);
    // Empties the state as a new instance's is, but for the methods' bounds: its tables go
    // to `graveyard` (an empty state, freed after the hold), counts start again, and calls
    // running now become stale (pop_frame).
    void reset_into(CacheState& graveyard);

    // Methods: each method that ran on the instance has an index, a bound and counts.

    // The index of the method named `name` (an exact str), made with `maxsize` as its bound
    // when new (`created`); -1 with MemoryError set.
    int method_index(PyObject* name, std::int64_t maxsize, bool& created) {
        created = false;
        int found = find_method(name);
        return found >= 0 ? found : add_method(name, maxsize, created);
    }
    // -1 when the method never ran here. A decorated method asks with the name it was made
    // with, which is the slot's own: pointers settle nearly every question.
    int find_method(PyObject* name) const {
        for (std::size_t m = 0; m < methods_.size(); ++m)
            if (methods_[m]->name.get() == name) return static_cast<int>(m);
        return find_method_by_characters(name);
    }
    // Makes the tables reach `k`; false with MemoryError set.
    bool ensure_entry(KeyId k) { return ensure(k); }
    void assign_method(KeyId k, int m) { entries_[k].method = static_cast<std::uint16_t>(m); }
    // Sets the bound of method `m` for this instance; values beyond it are evicted at once.
    // false (MemoryError) with nothing changed.
    bool set_maxsize(int m, std::int64_t maxsize, Released& released);
    void count_miss(int m) { ++methods_[m]->misses; }
    // A hit on `k` by the only thread that uses the instance now (a quick or exclusive
    // hold): marks the value used and counts it, on the entry's own line, which the hit has
    // just read.
    void note_hit(KeyId k) {
        Entry& entry = entries_[k];
        mark_used(entry);
        if (++entry.hits == kHitsKept) pass_on_hits(entry);
    }
    // A hit on `k` under a shared hold: the count goes to the thread's own record
    // (`announced`, nothing written that another thread's hit writes) or to the method.
    void note_shared_hit(KeyId k, ThreadRecord* record, bool announced);
    // The counts of method `m`; needs exclusive access (every thread's hits are then in).
    MethodCounts counts(int m);

    // Shows the collector every object the state holds: stored values and, through the
    // registry, every key's objects. Python code runs only where every table is whole (a
    // value or key is released after it left its table), so the collector, which runs only
    // where Python code runs, always meets whole tables here. Allocates nothing and takes
    // no access: the collector runs with every other thread stopped.
    int traverse(visitproc visit, void* arg) const;

    MetadataHashManager& key_registry() { return key_registry_; }
    const MetadataHashManager& key_registry() const { return key_registry_; }

    // Walks for the inspection properties. Callbacks return false to stop.
    template <typename F>
    bool for_each_value(F&& f) const {
        for (std::size_t k = 0; k < calls_; ++k)
            if (entries_[k].value && !f(KeyId(k), entries_[k].value)) return false;
        return true;
    }
    template <typename F>
    bool for_each_state(F&& f) const {
        for (std::size_t k = 0; k < calls_; ++k) {
            std::uint8_t s = meta_[k] & kStateMask;
            if (s != kNoState && !f(KeyId(k), EntryState(s))) return false;
        }
        return true;
    }
    template <typename F>
    bool for_each_node(F&& f) const {
        for (std::size_t k = 0; k < calls_; ++k)
            if ((meta_[k] & kNodeBit) && !f(KeyId(k), dependents_of(k))) return false;
        return true;
    }

  private:
    static constexpr std::uint8_t kStateMask = 0x3;
    static constexpr std::uint8_t kNoState = 0x3;
    static constexpr std::uint8_t kNodeBit = 0x4;
    static constexpr std::uint8_t kVisitedBit = 0x8;      // only during invalidate
    static constexpr std::uint8_t kDependentsBit = 0x10;  // some call depends on this one
    static constexpr std::uint8_t kInFlightBit = 0x20;    // a frame of the call is running
    static constexpr std::uint8_t kDroppedBit = 0x40;     // value dropped with dependents left
    static constexpr std::uint32_t kNotInRing = 0xFFFFFFFFu;

    // The edges of a call, allocated when it gets its first one: most calls have none.
    struct Edges : PyMemAllocated {
        IdSet dependents;    // reverse edges: who depends on the call
        IdSet dependencies;  // forward edges, kept beside them
    };
    // The value and edges of a call. The state bits and invalidate's links live in tables
    // of their own: a walk over many calls then touches a few bytes per call.
    struct Entry {
        PyObject* value = nullptr;
        std::unique_ptr<Edges> edges;
        std::uint32_t ring_pos = kNotInRing;  // place in its method's ring while it has a value
        std::uint16_t method = kNoMethod;
        // Set by a hit when not yet set, cleared by an eviction's sweep; hits of several
        // threads set it through std::atomic_ref.
        std::uint8_t referenced = 0;
        // Hits of a lone thread (note_hit) not yet in the method's count: they go there
        // every kHitsKept hits, and when the entry is forgotten. One byte keeps an entry at
        // 24 bytes.
        std::uint8_t hits = 0;
    };
    // One entry per call: most of a call's memory besides its key.
    static_assert(sizeof(Entry) == 24);
    static constexpr std::uint8_t kHitsKept = 255;
    // One method's bound, counts and, when it is bounded, the ring of its calls that have a
    // value, which the eviction sweeps (second chance: a value hit since the last sweep is
    // passed over once).
    struct MethodSlot {
        Ref name;
        std::int64_t maxsize = kUnbounded;
        std::size_t count = 0;  // calls with a stored value
        PyVector<std::uint32_t> ring;
        std::size_t hand = 0;
        std::atomic<std::uint64_t> hits{0};  // hits of a lone thread, or past its tallies
        std::uint64_t misses = 0;
    };
    static const IdSet kNoIds;

    // The second-chance mark: written only when not yet set, so that hits of several threads
    // on a warm value write nothing.
    static void mark_used(Entry& entry) {
        std::atomic_ref<std::uint8_t> mark(entry.referenced);
        if (!mark.load(std::memory_order_relaxed)) mark.store(1, std::memory_order_relaxed);
    }

    // Valid becomes Invalid; other states and the other bits stay.
    static void demote_if_valid(std::uint8_t& meta) {
        if ((meta & kStateMask) == static_cast<std::uint8_t>(EntryState::Valid))
            meta = static_cast<std::uint8_t>((meta & ~kStateMask) |
                                             static_cast<std::uint8_t>(EntryState::Invalid));
    }
    // Makes entries exist up to `k`; false (MemoryError) with the table unchanged.
    bool ensure(KeyId k) { return k < calls_ || grow_to(k); }
    bool grow_to(KeyId k);
    void free_call_tables();
    void set_state(KeyId k, EntryState s);
    const IdSet& dependents_of(KeyId k) const {
        return entries_[k].edges ? entries_[k].edges->dependents : kNoIds;
    }
    const IdSet& dependencies_of(KeyId k) const {
        return entries_[k].edges ? entries_[k].edges->dependencies : kNoIds;
    }
    // Makes room for `dependents` more reverse and `dependencies` more forward edges of `k`;
    // false (MemoryError) with nothing visible changed.
    bool reserve_edges(KeyId k, std::uint32_t dependents, std::uint32_t dependencies);
    // Adds `dependent` to dependents[dependency] and the forward edge beside it; both sets
    // must have room (IdSet::reserve) so that this cannot fail half-way.
    void add_edge(KeyId dependency, KeyId dependent);
    // Demotes a call that an invalidation reached and marks its running frames.
    void reach(std::uint32_t x);
    // Every running frame is marked as reached.
    void touch_all_frames();

    // Moves the value of `k` (in its method's ring) to `released` and takes it out of the
    // ring. A call that others depend on, or that is running, keeps its key and edges (a
    // later change still reaches its dependents); any other is forgotten.
    void drop_value(KeyId k, Released& released);
    void remove_from_ring(KeyId k);
    // The ring position the sweep evicts next.
    std::size_t sweep(MethodSlot& slot);
    // Forgets `k` (no value, nothing depends on it, not running) with its key and edges; then
    // the dropped calls it kept alive that nothing depends on any more.
    void forget(KeyId k, Released& released);
    int find_method_by_characters(PyObject* name) const;
    // A new method slot for `name` (method_index).
    int add_method(PyObject* name, std::int64_t maxsize, bool& created);
    // Adds the entry's own hits to its method's count.
    void pass_on_hits(Entry& entry);
    // Takes back the tallies of this state (of method `m`, or of every method with -1) from
    // the threads' records, their hits added to their methods' counts when `keep_hits`.
    // Needs exclusive access.
    void take_back_tallies(int m, bool keep_hits);

    struct AbandonedFrame {
        std::uint32_t token;
        AbandonedFrame* next;
    };
    void settle_abandoned_frames_slowly();

    // Room for a call and one it makes on the instance (a dependency) without allocating.
    SmallVector<CallFrame, 2> call_stack_;
    std::atomic<AbandonedFrame*> abandoned_{nullptr};
    // By KeyId, calls_ of each, in one block (entries first) of call_capacity_ calls; the
    // entries past calls_ are default ones.
    Entry* entries_ = nullptr;
    std::uint8_t* meta_ = nullptr;    // state (kNoState when none) | the bits above
    std::uint32_t* links_ = nullptr;  // invalidate's pending stack, then its visited list
    std::size_t calls_ = 0;
    std::size_t call_capacity_ = 0;
    std::span<Entry> entries() { return {entries_, calls_}; }
    std::span<const Entry> entries() const { return {entries_, calls_}; }
    static constexpr std::size_t kInlineSlots = 2;
    SmallVector<MethodSlot*, 4> methods_;  // owned; the first kInlineSlots in inline_slots_
    alignas(MethodSlot) unsigned char inline_slots_[kInlineSlots][sizeof(MethodSlot)];
    // Set by the first hit counted in a thread's record.
    std::atomic<bool> tallied_{false};
    std::uint32_t next_token_ = 0;
    std::uint64_t generation_ = 0;
    MetadataHashManager key_registry_;
};

}  // namespace kestrine
