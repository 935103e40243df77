// A vector with inline storage for the few elements a call usually has.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrine {

template <typename T, std::size_t N>
class SmallVector {
  public:
    SmallVector() = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;
    ~SmallVector() {
        if constexpr (!std::is_trivially_destructible_v<T>) clear();
        if (data_ != inline_data()) ::operator delete(data_);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }

    template <typename... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) grow();
        T* slot = new (data_ + size_) T(std::forward<Args>(args)...);
        ++size_;
        return *slot;
    }
    void pop_back() { data_[--size_].~T(); }
    // Removes the element at `at`; the later ones move down one place, in order.
    void erase(T* at) {
        for (T* next = at + 1; next != end(); ++at, ++next) *at = std::move(*next);
        pop_back();
    }
    void clear() {
        while (size_) pop_back();
    }

  private:
    T* inline_data() { return reinterpret_cast<T*>(storage_); }
    void grow() {
        std::size_t capacity = capacity_ * 2;
        T* fresh = static_cast<T*>(::operator new(capacity * sizeof(T)));
        for (std::size_t i = 0; i < size_; ++i) {
            new (fresh + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        if (data_ != inline_data()) ::operator delete(data_);
        data_ = fresh;
        capacity_ = capacity;
    }

    alignas(T) unsigned char storage_[N * sizeof(T)];
    T* data_ = inline_data();
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace kestrine
