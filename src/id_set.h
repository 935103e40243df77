// A compact set of KeyIds: a plain array while small, an open-addressing table beyond.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kestrine {

class IdSet {
  public:
    IdSet() = default;
    IdSet(const IdSet&) = delete;
    IdSet& operator=(const IdSet&) = delete;
    IdSet(IdSet&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    IdSet& operator=(IdSet&& other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~IdSet() { std::free(block_); }

    std::uint32_t size() const { return block_ ? block_->size : 0; }
    bool empty() const { return size() == 0; }

    bool contains(std::uint32_t id) const {
        if (!block_) return false;
        if (!hashed()) {
            for (std::uint32_t i = 0; i < block_->size; ++i)
                if (block_->items[i] == id) return true;
            return false;
        }
        std::uint32_t mask = block_->capacity - 1;
        for (std::uint32_t i = mix(id) & mask;; i = (i + 1) & mask) {
            std::uint32_t item = block_->items[i];
            if (item == id) return true;
            if (item == kEmpty) return false;
        }
    }

    // Makes room for `additional` more ids; false when out of memory (the set unchanged).
    bool reserve(std::uint32_t additional) {
        std::uint32_t needed = size() + additional;
        if (needed == 0 || (block_ && needed <= limit())) return true;
        std::uint32_t capacity = block_ ? block_->capacity * 2 : 2;
        while (needed > limit_of(capacity)) capacity *= 2;
        return grow_to(capacity);
    }

    // Adds `id`; returns true when it was not there yet. Needs room (reserve) for a new id:
    // without it, a failed growth leaves the id out.
    bool insert(std::uint32_t id) {
        if (contains(id)) return false;
        if (!reserve(1)) return false;
        place(id);
        ++block_->size;
        return true;
    }

    // Removes `id` when present; never allocates. A hashed set closes the gap by moving back
    // the ids that probed past it, so that lookups still stop at the first empty slot.
    void erase(std::uint32_t id) {
        if (!block_) return;
        if (!hashed()) {
            for (std::uint32_t i = 0; i < block_->size; ++i)
                if (block_->items[i] == id) {
                    block_->items[i] = block_->items[--block_->size];
                    block_->items[block_->size] = kEmpty;
                    return;
                }
            return;
        }
        std::uint32_t mask = block_->capacity - 1;
        std::uint32_t gap = mix(id) & mask;
        while (block_->items[gap] != id) {
            if (block_->items[gap] == kEmpty) return;
            gap = (gap + 1) & mask;
        }
        for (std::uint32_t i = (gap + 1) & mask;; i = (i + 1) & mask) {
            std::uint32_t item = block_->items[i];
            if (item == kEmpty) break;
            // An item may move back into the gap unless its home lies cyclically in (gap, i].
            std::uint32_t home = mix(item) & mask;
            bool home_after_gap = gap <= i ? (gap < home && home <= i) : (gap < home || home <= i);
            if (home_after_gap) continue;
            block_->items[gap] = item;
            gap = i;
        }
        block_->items[gap] = kEmpty;
        --block_->size;
    }

    template <typename F>
    void for_each(F&& f) const {
        if (!block_) return;
        std::uint32_t n = hashed() ? block_->capacity : block_->size;
        for (std::uint32_t i = 0; i < n; ++i)
            if (block_->items[i] != kEmpty) f(block_->items[i]);
    }

  private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    static constexpr std::uint32_t kLinearMax = 16;
    struct Block {
        std::uint32_t size;
        std::uint32_t capacity;
        std::uint32_t items[];
    };

    static std::uint32_t mix(std::uint32_t id) { return id * 2654435761u; }
    bool hashed() const { return block_->capacity > kLinearMax; }
    static std::uint32_t limit_of(std::uint32_t capacity) {
        return capacity > kLinearMax ? capacity / 2 : capacity;
    }
    std::uint32_t limit() const { return limit_of(block_->capacity); }
    void place(std::uint32_t id) {
        if (!hashed()) {
            block_->items[block_->size] = id;
            return;
        }
        std::uint32_t mask = block_->capacity - 1;
        std::uint32_t i = mix(id) & mask;
        while (block_->items[i] != kEmpty) i = (i + 1) & mask;
        block_->items[i] = id;
    }
    bool grow_to(std::uint32_t capacity) {
        Block* fresh =
            static_cast<Block*>(std::malloc(sizeof(Block) + capacity * sizeof(std::uint32_t)));
        if (!fresh) return false;
        fresh->size = 0;
        fresh->capacity = capacity;
        std::memset(fresh->items, 0xFF, capacity * sizeof(std::uint32_t));
        Block* old = block_;
        block_ = fresh;
        if (old) {
            std::uint32_t n = old->capacity > kLinearMax ? old->capacity : old->size;
            for (std::uint32_t i = 0; i < n; ++i) {
                if (old->items[i] == kEmpty) continue;
                place(old->items[i]);
                ++block_->size;
            }
            std::free(old);
        }
        return true;
    }

    Block* block_ = nullptr;
};

}  // namespace kestrine
