// The per-instance access guard: holds, waiting, and the refusals of re-entrant requests.
#include "access_guard.h"

#include "wait_hook.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <new>

namespace kestrine {

namespace {

// Attempts that spin before a waiter sleeps: a few microseconds, the length of a typical
// guarded step.
constexpr unsigned kSpins = 128;
// A sleeping waiter wakes at least this often to check for signals.
constexpr long kParkNs = 5'000'000;
constexpr long kLongestPauseNs = 1'000'000;

void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected, long timeout_ns) {
    timespec timeout{0, timeout_ns};
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            &timeout, nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

// Waits out something that ends without anyone waking us (a quick hold, a reader's slot):
// spins, then yields, then sleeps detached from the interpreter with growing pauses, checking
// for signals after each.
class Backoff {
  public:
    // false with the exception set when a signal handler raised.
    bool pause() {
        if (!run_wait_hook()) return false;
        ++rounds_;
        if (rounds_ <= kSpins) {
            cpu_relax();
            return true;
        }
        if (rounds_ <= 2 * kSpins) {
            sched_yield();
            return true;
        }
        timespec pause{0, pause_ns_};
        Py_BEGIN_ALLOW_THREADS nanosleep(&pause, nullptr);
        Py_END_ALLOW_THREADS if (pause_ns_ < kLongestPauseNs) pause_ns_ *= 2;
        return PyErr_CheckSignals() == 0;
    }

  private:
    unsigned rounds_ = 0;
    long pause_ns_ = 1000;
};

}  // namespace

void raise_already_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
}
void raise_already_mutably_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

bool AccessGuard::park(std::uint32_t seen) {
    if (!(seen & kWaiters)) {
        // The holder wakes sleepers only when the word says there are some.
        if (!word_.compare_exchange_strong(seen, seen | kWaiters, std::memory_order_relaxed,
                                           std::memory_order_relaxed))
            return true;  // it changed meanwhile: look again
        seen |= kWaiters;
    }
    Py_BEGIN_ALLOW_THREADS futex_wait(&word_, seen, kParkNs);
    Py_END_ALLOW_THREADS return PyErr_CheckSignals() == 0;
}

bool AccessGuard::wait_turn(std::uint32_t seen, unsigned& spins) {
    if (!run_wait_hook()) return false;
    if (++spins < kSpins) {
        cpu_relax();
        return true;
    }
    return park(seen);
}

void AccessGuard::release_writer() {
    // Readers nested in their own shared hold may have counted themselves while a writer
    // drained; their counts stay.
    std::uint32_t before = word_.fetch_and(~(kWriter | kWaiters), std::memory_order_release);
    if (before & kWaiters) futex_wake_all(&word_);
}

Access AccessGuard::abandon_drain(bool bias_revoked) {
    if (bias_revoked) bias_.store(1, std::memory_order_seq_cst);
    release_writer();
    return Access::Failed;
}

Access AccessGuard::drain_readers(ThreadRecord* record) {
    bool bias_revoked = false;
    if (bias_.load(std::memory_order_seq_cst)) {
        bias_.store(0, std::memory_order_seq_cst);
        bias_revoked = true;
        for (ThreadRecord* r = first_thread_record(); r; r = r->next) {
            if (r == record) continue;
            for (auto& slot : r->reading) {
                Backoff backoff;
                // seq_cst: the other half of the reader's announce-then-read (see the class).
                while (slot.load(std::memory_order_seq_cst) == this) {
                    if (!backoff.pause()) return abandon_drain(bias_revoked);
                }
            }
        }
    }
    Backoff backoff;
    while (word_.load(std::memory_order_acquire) & kReaders) {
        if (!backoff.pause()) return abandon_drain(bias_revoked);
    }
    return Access::Granted;
}

Access AccessGuard::drain_recorded_slowly(ThreadRecord* record) {
    Access drained = drain_readers(record);
    if (drained != Access::Granted) record->held.pop_back();
    return drained;
}

Access AccessGuard::acquire_exclusive_slowly(ThreadRecord* record) {
    if (record->holds_anything() && record->holds(this)) return Access::SameThread;
    if (!record->reserve_hold()) return Access::Failed;
    unsigned spins = 0;
    Backoff quick;
    for (;;) {
        std::uint32_t seen = word_.load(std::memory_order_relaxed);
        if (seen == 0) {
            if (word_.compare_exchange_weak(seen, kWriter, std::memory_order_seq_cst,
                                            std::memory_order_relaxed))
                break;
            continue;
        }
        if (seen == kQuick) {
            // Another thread's lone reader: with bias on, readers stop taking the word.
            bias_readers();
            if (!quick.pause()) return Access::Failed;
            continue;
        }
        if (!wait_turn(seen, spins)) return Access::Failed;
    }
    return drain_recorded(record);
}

void AccessGuard::release_exclusive(ThreadRecord* record) {
    record->held.pop_back();
    release_writer();
}

Access AccessGuard::acquire_shared(ThreadRecord* record, SharedMode& mode) {
    bool nested = false;
    if (record->holds_anything()) {
        if (record->holds_exclusively(this)) return Access::SameThread;
        // A writer may be waiting for this thread's outer hold: waiting for the writer here
        // would wait for ourselves, so a nested read goes ahead.
        nested = record->reads(this);
    }
    unsigned spins = 0;
    Backoff quick;
    for (;;) {
        bool slot_free = record->slots_used < ThreadRecord::kSlots;
        if (slot_free && (nested || bias_.load(std::memory_order_relaxed))) {
            auto& slot = record->reading[record->slots_used];
            slot.exchange(this, std::memory_order_seq_cst);
            std::uint32_t seen = word_.load(std::memory_order_seq_cst);
            if (nested || (!(seen & (kWriter | kQuick)) && bias_.load(std::memory_order_seq_cst))) {
                ++record->slots_used;
                mode = SharedMode::Slot;
                return Access::Granted;
            }
            slot.store(nullptr, std::memory_order_release);
            if (seen == kQuick) {
                // A lone reader that may be about to write: it is brief and runs no Python
                // code.
                if (!quick.pause()) return Access::Failed;
                continue;
            }
            if (!(seen & kWriter)) continue;  // bias revoked: count instead
            if (!wait_turn(seen, spins)) return Access::Failed;
            continue;
        }
        std::uint32_t seen = word_.load(std::memory_order_relaxed);
        if (seen == kQuick) {
            bias_readers();
            if (!slot_free && !quick.pause()) return Access::Failed;
            continue;
        }
        // A writer that holds the word or waits for it goes first.
        if (!nested && (seen & (kWriter | kWaiters))) {
            if (!wait_turn(seen, spins)) return Access::Failed;
            continue;
        }
        if (!record->reserve_hold()) return Access::Failed;
        if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
            record->held.push_back({this, false});
            mode = SharedMode::Counted;
            if (!nested && (seen & kReaders)) bias_readers();  // readers of two threads met
            return Access::Granted;
        }
    }
}

void AccessGuard::release_shared(ThreadRecord* record, SharedMode mode) {
    if (mode == SharedMode::Slot) {
        record->reading[--record->slots_used].store(nullptr, std::memory_order_release);
        return;
    }
    record->held.pop_back();
    release_count();
}

void AccessGuard::release_count() {
    std::uint32_t seen = word_.load(std::memory_order_relaxed);
    for (;;) {
        std::uint32_t next = seen - 1;
        if ((next & kReaders) == 0) next &= ~kWaiters;
        if (word_.compare_exchange_weak(seen, next, std::memory_order_release,
                                        std::memory_order_relaxed)) {
            if ((seen & kWaiters) && !(next & kWaiters)) futex_wake_all(&word_);
            return;
        }
    }
}

}  // namespace kestrine
