// The registry of per-thread records.
#include "thread_record.h"

#include "access_guard.h"

#include <Python.h>
#include <pthread.h>
#include <sched.h>

#include <mutex>
#include <new>

namespace kestrine {

thread_local ThreadRecord* this_thread_record_ptr = nullptr;

bool ThreadRecord::grow_held() {
    try {
        held.reserve(held.size() * 2 + 1);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

std::uint32_t ThreadRecord::hand_over_tally() {
    // Second chance: within one turn every tally has lost its mark, so the sweep ends.
    std::uint32_t swept;
    for (;;) {
        swept = next_handed_over;
        if (++next_handed_over == kTallies) next_handed_over = 0;
        auto bit = static_cast<std::uint8_t>(1u << swept);
        if (!(used_tallies & bit)) break;
        used_tallies &= static_cast<std::uint8_t>(~bit);
    }
    HitTally& tally = tallies[swept];
    const void* state = tally.state.load(std::memory_order_relaxed);
    // Fails only where the state took the tally back meanwhile: it is free then.
    if (state &&
        tally.state.compare_exchange_strong(state, flushing(state), std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
        tally.sink.load(std::memory_order_relaxed)
            ->fetch_add(tally.hits.load(std::memory_order_relaxed), std::memory_order_relaxed);
        tally.state.store(nullptr, std::memory_order_release);
    }
    return swept;
}

const void* ThreadRecord::settled_state(const HitTally& tally, const void* state) {
    // A hand-over is three operations of a thread that runs no Python code meanwhile: spin,
    // and give the CPU up only when the owner seems to have been descheduled in between.
    const void* now = tally.state.load(std::memory_order_acquire);
    for (unsigned turn = 0; now == flushing(state); ++turn) {
        if (turn < 64) {
            cpu_relax();
        } else {
            sched_yield();
        }
        now = tally.state.load(std::memory_order_acquire);
    }
    return now;
}

namespace {

std::atomic<ThreadRecord*> registry_head{nullptr};

// Empties a record that no live thread owns any more and lets a later thread take it.
void free_record(ThreadRecord* record) {
    for (auto& slot : record->reading) slot.store(nullptr, std::memory_order_relaxed);
    record->slots_used = 0;
    record->held.clear();
    record->incarnation.fetch_add(1, std::memory_order_relaxed);
    record->in_use.store(false, std::memory_order_release);
}

// Frees the thread's record when the thread exits. A thread holds nothing once it exits:
// every hold ends before the call that took it returns.
struct RecordReleaser {
    ThreadRecord* record = nullptr;
    ~RecordReleaser() {
        if (!record) return;
        this_thread_record_ptr = nullptr;
        free_record(record);
    }
};
thread_local RecordReleaser record_releaser;

// In a child process only the forking thread lives on. The other threads' holds are given
// up and their records freed, so that nobody waits for a thread that no longer exists. (The
// fork waited for every thread to reach a point where Python code may run, so none was
// halfway through a hold that runs no Python code; a writer that drains has its hold in the
// record by then.) Whoever slept on a word did not survive either: the last hold given up
// clears the word's waiters flag. A freed record starts a new incarnation, so that the calls
// the dead thread was computing are never taken for those of the record's next owner.
void release_records_after_fork() {
    ThreadRecord* own = this_thread_record_ptr;
    for (ThreadRecord* r = registry_head.load(std::memory_order_acquire); r; r = r->next) {
        if (r == own) continue;
        for (const ThreadRecord::Held& held : r->held)
            const_cast<AccessGuard*>(held.guard)->release_lost_hold(held.exclusive);
        free_record(r);
    }
}

ThreadRecord* claim_free_record() {
    for (ThreadRecord* r = registry_head.load(std::memory_order_acquire); r; r = r->next) {
        bool expected = false;
        if (!r->in_use.load(std::memory_order_relaxed) &&
            r->in_use.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                              std::memory_order_relaxed))
            return r;
    }
    return nullptr;
}

ThreadRecord* new_record() {
    auto* r = new (std::nothrow) ThreadRecord();
    if (!r) return nullptr;
    try {
        r->held.reserve(8);
    } catch (const std::bad_alloc&) {
        delete r;
        return nullptr;
    }
    r->in_use.store(true, std::memory_order_relaxed);
    ThreadRecord* head = registry_head.load(std::memory_order_relaxed);
    do {
        r->next = head;
    } while (!registry_head.compare_exchange_weak(head, r, std::memory_order_release,
                                                  std::memory_order_relaxed));
    return r;
}

}  // namespace

ThreadRecord* this_thread_record() {
    if (ThreadRecord* r = this_thread_record_ptr) return r;
    static std::once_flag fork_handler;
    std::call_once(fork_handler,
                   [] { pthread_atfork(nullptr, nullptr, release_records_after_fork); });
    ThreadRecord* r = claim_free_record();
    if (!r) r = new_record();
    if (!r) {
        PyErr_NoMemory();
        return nullptr;
    }
    record_releaser.record = r;
    this_thread_record_ptr = r;
    return r;
}

ThreadRecord* first_thread_record() {
    return registry_head.load(std::memory_order_acquire);
}

}  // namespace kestrine
