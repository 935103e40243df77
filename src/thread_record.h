// Per-thread records: what each thread holds of which instance, and the slots through which
// a thread announces its shared holds to the writers of other threads.
//
// These records are the module's only process-wide mutable state besides the type objects.
// A record belongs to one live thread at a time; when the thread exits, the record is
// marked free and a later thread reuses it, so there are never more records than threads
// ever alive at once. Records are never freed: a writer may read any record's slots at any
// moment without holding anything.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace kestrine {

class AccessGuard;

// The CPU's hint for a spin-wait turn.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Aligned (and so sized) to 128 bytes: many CPUs fetch lines in 128-byte pairs, and one
// thread's hits write its record's slots and tallies; no other record may share a pair.
struct alignas(128) ThreadRecord {
    static constexpr std::uint32_t kSlots = 4;

    // The guards this thread reads through announced shared holds, innermost last; the rest
    // are null. Written only by the owning thread; read by writers of other threads, which
    // wait while a slot names their guard.
    std::atomic<const AccessGuard*> reading[kSlots];

    // Owned by the thread. The first `slots_used` slots are in use.
    std::uint32_t slots_used = 0;
    // Holds that are not announced in a slot: exclusive holds and counted shared holds,
    // innermost last.
    struct Held {
        const AccessGuard* guard;
        bool exclusive;
    };
    // A stack that grows only through reserve(), outside the hold that pushes: a push then
    // never allocates and compiles to two stores.
    class HeldStack {
      public:
        HeldStack() = default;
        HeldStack(const HeldStack&) = delete;
        HeldStack& operator=(const HeldStack&) = delete;
        ~HeldStack() { std::free(data_); }
        std::size_t size() const { return size_; }
        std::size_t capacity() const { return capacity_; }
        bool empty() const { return size_ == 0; }
        const Held* begin() const { return data_; }
        const Held* end() const { return data_ + size_; }
        // Room for one more was reserved.
        void push_back(Held held) { data_[size_++] = held; }
        void pop_back() { --size_; }
        void clear() { size_ = 0; }
        // Throws std::bad_alloc, with the stack unchanged.
        void reserve(std::size_t capacity) {
            if (capacity <= capacity_) return;
            void* grown = std::realloc(data_, capacity * sizeof(Held));
            if (!grown) throw std::bad_alloc();
            data_ = static_cast<Held*>(grown);
            capacity_ = capacity;
        }

      private:
        Held* data_ = nullptr;
        std::size_t size_ = 0;
        std::size_t capacity_ = 0;
    };
    HeldStack held;

    // Hits this thread made through announced holds, counted here rather than in the
    // instance, so that hits of several threads on one instance write no common line. One
    // tally per (cache state, method). The owner writes `hits` and claims tallies; other
    // threads read them, and free those of a state they count, reset or free, under its
    // exclusive hold (by then the owner cannot be counting for that state): cache_info moves
    // their hits into the method's own count.
    //
    // When every tally is taken, a hit counts in the method's own count, shared; every
    // kSharedCountsPerHandOver such hits, the owner hands a tally that went unused since the
    // last hand-over (second chance) to the pair being hit, moving its hits into their
    // method's count (`sink`) itself. So a pair hit often gets a tally soon, and a thread
    // that reads many pairs in turn seldom pays for a hand-over. While it moves the hits,
    // the tally's state reads as flushing(state), and a thread freeing that state's tallies
    // waits for the move to end: the count then outlives it.
    struct HitTally {
        std::atomic<const void*> state{nullptr};
        // The count the hits belong to, their method's own in that state, which also tells
        // the methods apart: set before `state`.
        std::atomic<std::atomic<std::uint64_t>*> sink{nullptr};
        std::atomic<std::uint64_t> hits{0};
    };
    static constexpr std::uint32_t kTallies = 8;
    static constexpr std::uint32_t kNoTally = kTallies;  // an index that names no tally
    static constexpr std::uint32_t kSharedCountsPerHandOver = 16;
    HitTally tallies[kTallies];
    // Owner only: bit i is set while tally i was hit since the sweep last passed it.
    std::uint8_t used_tallies = 0;
    static_assert(kTallies <= 8);
    std::uint32_t next_handed_over = 0;  // owner only: where the sweep goes on
    std::uint32_t shared_counts = 0;     // owner only: since the last hand-over

    static const void* flushing(const void* state) {
        return reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(state) | 1);
    }
    // Written only when not yet set: the byte shares a line with what other threads read.
    void mark_tally_used(std::uint32_t tally) {
        auto bit = static_cast<std::uint8_t>(1u << tally);
        if (!(used_tallies & bit)) used_tallies |= bit;
    }
    // Whether the hit that found every tally taken should have one handed over to it.
    bool hand_over_due() {
        if (++shared_counts < kSharedCountsPerHandOver) return false;
        shared_counts = 0;
        return true;
    }
    // The index of a tally that went unused since the last sweep, handed over: free for the
    // owner to claim.
    std::uint32_t hand_over_tally();
    // The tally's state once no hand-over of `state`'s tally is under way.
    static const void* settled_state(const HitTally& tally, const void* state);

    // Registry: whether a live thread owns the record, and the next record (set once).
    std::atomic<bool> in_use{false};
    // Counts the threads that owned the record and ended (or did not survive a fork): a
    // frame tells its own thread from a later owner of the same record by it. Changed only
    // when the record is freed; read by other threads (a reset looking for ended calls).
    std::atomic<std::uint32_t> incarnation{0};
    ThreadRecord* next = nullptr;

    ThreadRecord() {
        for (auto& slot : reading) slot.store(nullptr, std::memory_order_relaxed);
    }

    // Whether this thread holds `guard` in any way; in a shared way; exclusively.
    bool holds(const AccessGuard* guard) const { return reads(guard) || holds_exclusively(guard); }
    bool reads(const AccessGuard* guard) const {
        for (std::uint32_t i = 0; i < slots_used; ++i)
            if (reading[i].load(std::memory_order_relaxed) == guard) return true;
        for (const Held& h : held)
            if (h.guard == guard && !h.exclusive) return true;
        return false;
    }
    bool holds_exclusively(const AccessGuard* guard) const {
        for (const Held& h : held)
            if (h.guard == guard && h.exclusive) return true;
        return false;
    }
    bool holds_anything() const { return slots_used != 0 || !held.empty(); }
    // Whether one more hold fits in `held` without allocating.
    bool has_room_to_hold() const { return held.size() < held.capacity(); }
    // Makes room for one more hold; false with MemoryError set.
    bool reserve_hold() { return has_room_to_hold() || grow_held(); }
    bool grow_held();
};

// The calling thread's record once it has one (a thread gets it on its first hold that needs
// one), else nullptr. One thread-local read.
extern thread_local ThreadRecord* this_thread_record_ptr;

inline ThreadRecord* this_thread_record_if_any() {
    return this_thread_record_ptr;
}

// The calling thread's record, taken from the registry on first use; nullptr with
// MemoryError set when none can be allocated.
ThreadRecord* this_thread_record();

// The first record of the registry; follow `next` for the others. Records are only ever
// added, at the front.
ThreadRecord* first_thread_record();

}  // namespace kestrine
