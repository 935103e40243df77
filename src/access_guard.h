// Per-instance reader/writer guard. Conflicts between threads wait their turn; a thread that
// asks again for an instance it already holds (Python code run inside a guarded step) is
// refused instead, since waiting there would wait for itself.
//
// Where Python code runs while a thread holds, waits for or drains a guard, and what the
// thread has recorded by then:
//
// - Signal checks while waiting (PyErr_CheckSignals in every sleeping turn). They run signal
//   handlers on the main thread and, on these interpreters, a scheduled garbage collection
//   on any thread: finalizers, weakref callbacks, gc.callbacks.
//   - Waiting for the word (a reader, or a writer before it has kWriter): the thread holds
//     nothing of this guard, and its record shows exactly its other holds. A request of the
//     same guard from that code is not its own thread's conflict: it waits its own turn.
//   - Draining readers (a writer that has kWriter): the exclusive hold is in the record
//     before the first wait of the drain, so a request of the same guard from that code is
//     refused as the thread's own (SameThread), never waited for.
// - Argument __hash__/__eq__ while a key is compared, and the __del__ of released values:
//   only under a hold that is already recorded (a counted or exclusive hold in `held`, an
//   announced one in a slot). A quick hold runs no Python code; it becomes an exclusive hold
//   (promote_quick) before any.
// - The collector of another thread stops the world: it runs only where this thread may run
//   Python code, so it finds the guard and the record as one of the points above left them.
//
// Every failure path (a signal handler that raised, no memory) leaves the guard and the
// thread's record as it found them: a writer that gives up its drain turns bias back on if it
// had turned it off, releases kWriter and wakes sleepers, and removes its hold from the
// record; a reader that gives up leaves its slot empty and its count untouched. kWaiters is
// cleared by whoever makes the word free of holders, so no sleeper outlives the holds it
// waited for.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "thread_record.h"

namespace kestrine {

// How a request for access ended.
enum class Access {
    Granted,
    // This thread already holds the instance in a way the request conflicts with.
    SameThread,
    // Waiting ended with an exception set (a signal handler raised, or no memory).
    Failed,
};

// How a shared hold was taken; releasing needs to know.
enum class SharedMode : std::uint8_t { Slot, Counted };

// Two words, with three ways to read:
//
// - quick: a lone reader that runs no Python code (a cache hit whose key compares natively)
//   turns the free word into kQuick and back with a plain store: one atomic operation for a
//   hit on an instance nobody else uses. While the word is kQuick nobody but its holder
//   writes it and new announced readers keep off, so a miss turns it into kWriter with a
//   plain store too;
// - announced: once readers of several threads meet (bias on), a reader writes this guard's
//   address into a slot of its own thread's record and checks the word for a writer; it
//   writes nothing another thread's hit writes, so hits on a shared instance scale;
// - counted: readers that may run Python code while bias is off count themselves in the
//   word.
//
// A writer takes the free word (kWriter); when bias is on it revokes it and then waits until
// no thread's slot names this guard. Both sides order their write before their read with
// sequentially consistent operations (a reader announces, then reads the word and the bias;
// a writer takes the word, or took it quick before turning exclusive, then reads the bias and
// the slots), so of a reader and a writer that meet, at least one sees the other. Bias turns
// on again at the next meeting of readers.
//
// Waiting spins briefly, then sleeps detached from the interpreter (so that a stop-the-world
// pause can proceed) on the word through the kernel's futex, checking for signals every few
// milliseconds. A writer that finds the word taken is preferred over readers that arrive
// after it: they wait while it waits.
class AccessGuard {
  public:
    // A lone reader that runs no Python code: bias off and the word free. Releasing is a plain
    // store; other threads spin (never sleep) while it lasts. The exchange is sequentially
    // consistent because the hold may become exclusive without another write of the word
    // (promote_quick): it is then the writer's half of the write-then-read with announced
    // readers.
    bool try_quick() {
        if (bias_.load(std::memory_order_relaxed)) return false;
        std::uint32_t expected = 0;
        return word_.compare_exchange_strong(expected, kQuick, std::memory_order_seq_cst,
                                             std::memory_order_relaxed);
    }
    void release_quick() { word_.store(0, std::memory_order_release); }
    // Turns this thread's quick hold into an exclusive one.
    Access promote_quick(ThreadRecord* record) {
        // A quick hold means this thread holds nothing else of this guard: its other holds
        // would have kept the word from being free, or bias on. While the word is kQuick only
        // its holder changes it, and announced readers keep off, so a plain store is enough;
        // the drain's view of the readers is ordered by try_quick's exchange.
        if (!record->reserve_hold()) {
            release_quick();
            return Access::Failed;
        }
        word_.store(kWriter, std::memory_order_relaxed);
        return drain_recorded(record);
    }

    Access acquire_shared(ThreadRecord* record, SharedMode& mode);
    void release_shared(ThreadRecord* record, SharedMode mode);
    Access acquire_exclusive(ThreadRecord* record) {
        // A thread that holds nothing and finds the word free takes it at once.
        if (!record->holds_anything() && record->has_room_to_hold()) {
            std::uint32_t free = 0;
            if (word_.compare_exchange_strong(free, kWriter, std::memory_order_seq_cst,
                                              std::memory_order_relaxed))
                return drain_recorded(record);
        }
        return acquire_exclusive_slowly(record);
    }
    void release_exclusive(ThreadRecord* record);

    // In a child process after fork: gives up a hold of a thread that did not survive it,
    // as that thread would have: the last holder clears kWaiters (no thread sleeps in the
    // child: the waiters did not survive the fork either).
    void release_lost_hold(bool exclusive) {
        if (exclusive) {
            word_.fetch_and(~(kWriter | kWaiters), std::memory_order_release);
        } else {
            release_count();
        }
    }

  private:
    static constexpr std::uint32_t kWriter = 1u << 31;
    static constexpr std::uint32_t kQuick = 1u << 30;
    static constexpr std::uint32_t kWaiters = 1u << 29;  // someone sleeps on the word
    static constexpr std::uint32_t kReaders = kWaiters - 1;

    // Turns bias on: readers of several threads met.
    void bias_readers() {
        if (!bias_.load(std::memory_order_relaxed)) bias_.store(1, std::memory_order_seq_cst);
    }
    // After taking kWriter: revokes bias and waits for announced and counted readers to leave.
    // Fails (releasing kWriter) when a signal handler raises meanwhile.
    Access drain_readers(ThreadRecord* record);
    // One turn of waiting for the word to change from `seen`: a spin for the first turns
    // (counted in `spins`), then a sleep. false with an exception set.
    bool wait_turn(std::uint32_t seen, unsigned& spins);
    // Sleeps until the word may have changed from `seen`; false with an exception set.
    bool park(std::uint32_t seen);
    // Releases kWriter and wakes whoever sleeps on the word.
    void release_writer();
    // A drain that a signal handler ended: bias back on if the drain turned it off (readers'
    // slots may still name this guard, and the next writer must look at them), kWriter
    // released.
    Access abandon_drain(bool bias_revoked);
    // Takes kWriter's hold into the record, drains, and takes it out again if the drain
    // fails. The record has room (reserve_hold).
    Access drain_recorded(ThreadRecord* record) {
        // Recorded before the drain's first signal check: Python code run there that asks
        // for this guard again is this thread's own request, refused rather than waited for.
        record->held.push_back({this, true});
        // No announced reader can be in (bias off) and none counted: nothing to wait for.
        if (!bias_.load(std::memory_order_seq_cst) &&
            !(word_.load(std::memory_order_acquire) & kReaders))
            return Access::Granted;
        return drain_recorded_slowly(record);
    }
    // The drain of drain_recorded once readers may be in.
    Access drain_recorded_slowly(ThreadRecord* record);
    Access acquire_exclusive_slowly(ThreadRecord* record);
    // Drops one counted reader; the last one clears kWaiters and wakes the sleepers.
    void release_count();

    std::atomic<std::uint32_t> word_{0};
    std::atomic<std::uint32_t> bias_{0};
};

// Raises RuntimeError "Already borrowed".
void raise_already_borrowed();
// Raises RuntimeError "Already mutably borrowed".
void raise_already_mutably_borrowed();

// Scoped exclusive hold of the calling thread; check acquired() after construction.
class ExclusiveHold {
  public:
    explicit ExclusiveHold(AccessGuard& guard) : ExclusiveHold(guard, this_thread_record()) {}
    // For a thread that has its record at hand (nullptr: none could be made, MemoryError set).
    ExclusiveHold(AccessGuard& guard, ThreadRecord* record) : guard_(&guard), record_(record) {
        access_ = record_ ? guard.acquire_exclusive(record_) : Access::Failed;
        if (access_ != Access::Granted) guard_ = nullptr;
    }
    // Takes over this thread's quick hold, turning it exclusive.
    struct Promote {};
    ExclusiveHold(AccessGuard& guard, Promote) : guard_(&guard) {
        record_ = this_thread_record();
        if (!record_) {
            guard.release_quick();
            access_ = Access::Failed;
        } else {
            access_ = guard.promote_quick(record_);
        }
        if (access_ != Access::Granted) guard_ = nullptr;
    }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    ~ExclusiveHold() { release(); }

    bool acquired() const { return guard_ != nullptr; }
    Access access() const { return access_; }
    // Raises "Already borrowed" for a refusal (an exception is already set otherwise);
    // returns acquired().
    bool acquired_or_raise() const {
        if (access_ == Access::SameThread) raise_already_borrowed();
        return guard_ != nullptr;
    }
    ThreadRecord* record() const { return record_; }
    void release() {
        if (guard_) guard_->release_exclusive(record_);
        guard_ = nullptr;
    }

  private:
    AccessGuard* guard_;
    ThreadRecord* record_ = nullptr;
    Access access_ = Access::Failed;
};

// Scoped shared hold of the calling thread; check acquired() after construction.
class SharedHold {
  public:
    explicit SharedHold(AccessGuard& guard) : guard_(&guard) {
        record_ = this_thread_record();
        access_ = record_ ? guard.acquire_shared(record_, mode_) : Access::Failed;
        if (access_ != Access::Granted) guard_ = nullptr;
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold() { release(); }

    bool acquired() const { return guard_ != nullptr; }
    Access access() const { return access_; }
    // Raises "Already mutably borrowed" for a refusal; returns acquired().
    bool acquired_or_raise() const {
        if (access_ == Access::SameThread) raise_already_mutably_borrowed();
        return guard_ != nullptr;
    }
    ThreadRecord* record() const { return record_; }
    // Whether the hold is announced in the thread's record (else counted in the word).
    bool announced() const { return mode_ == SharedMode::Slot; }
    void release() {
        if (guard_) guard_->release_shared(record_, mode_);
        guard_ = nullptr;
    }

  private:
    AccessGuard* guard_;
    ThreadRecord* record_ = nullptr;
    Access access_ = Access::Failed;
    SharedMode mode_ = SharedMode::Counted;
};

}  // namespace kestrine
