// Per-instance reader/writer guard that refuses instead of waiting.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace kestrine {

// 0 free, -1 held exclusively, n > 0 held by n shared users. -2 is an exclusive hold that
// runs no Python code and takes nanoseconds (a cache hit whose key compares without
// calling Python): shared requests wait it out instead of being refused, so hits never
// refuse each other, while a hit on an instance nobody else uses costs one atomic
// operation instead of two.
class AccessGuard {
  public:
    static constexpr std::intptr_t kExclusive = -1;
    static constexpr std::intptr_t kQuick = -2;

    bool try_shared() {
        std::intptr_t seen = word_.load(std::memory_order_relaxed);
        for (unsigned spins = 0;;) {
            if (seen >= 0) {
                if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed))
                    return true;
                continue;
            }
            if (seen != kQuick) return false;
            pause(++spins);
            seen = word_.load(std::memory_order_relaxed);
        }
    }
    void release_shared() { word_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() {
        std::intptr_t expected = 0;
        return word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void release_exclusive() { word_.store(0, std::memory_order_release); }

    // The quick hold: exclusive, for work that runs no Python code and never waits.
    bool try_quick() {
        std::intptr_t expected = 0;
        return word_.compare_exchange_strong(expected, kQuick, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    // Turns a quick hold into an ordinary exclusive one (before any Python code runs under
    // it): shared requests are refused from then on rather than left waiting.
    void promote_quick() { word_.store(kExclusive, std::memory_order_relaxed); }

    // Waits for exclusive access, detached from the interpreter between tries so that a
    // stop-the-world pause requested by the holder's thread can proceed. Only for steps
    // that must not be skipped and whose holders never wait on the caller.
    void wait_exclusive();

  private:
    // Backs off while a quick hold finishes; yields the processor once it takes long (its
    // holder may have been preempted).
    static void pause(unsigned spins);

    std::atomic<std::intptr_t> word_{0};
};

// Raises RuntimeError "Already borrowed".
void raise_already_borrowed();
// Raises RuntimeError "Already mutably borrowed".
void raise_already_mutably_borrowed();

// Scoped exclusive hold; check acquired() after construction.
class ExclusiveHold {
  public:
    struct Wait {};
    explicit ExclusiveHold(AccessGuard& guard) : guard_(&guard) {
        if (!guard.try_exclusive()) guard_ = nullptr;
    }
    // Takes over a hold the caller acquired (a promoted quick hold).
    struct Adopt {};
    ExclusiveHold(AccessGuard& guard, Adopt) : guard_(&guard) {}
    ExclusiveHold(AccessGuard& guard, Wait) : guard_(&guard) { guard.wait_exclusive(); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    ~ExclusiveHold() { release(); }

    bool acquired() const { return guard_ != nullptr; }
    // Sets "Already borrowed" when refused; returns acquired().
    bool acquired_or_raise() const {
        if (!guard_) raise_already_borrowed();
        return guard_ != nullptr;
    }
    void release() {
        if (guard_) guard_->release_exclusive();
        guard_ = nullptr;
    }

  private:
    AccessGuard* guard_;
};

// Scoped shared hold; check acquired() after construction.
class SharedHold {
  public:
    explicit SharedHold(AccessGuard& guard) : guard_(&guard) {
        if (!guard.try_shared()) guard_ = nullptr;
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold() {
        if (guard_) guard_->release_shared();
    }
    bool acquired() const { return guard_ != nullptr; }
    // Sets "Already mutably borrowed" when refused; returns acquired().
    bool acquired_or_raise() const {
        if (!guard_) raise_already_mutably_borrowed();
        return guard_ != nullptr;
    }

  private:
    AccessGuard* guard_;
};

}  // namespace kestrine
