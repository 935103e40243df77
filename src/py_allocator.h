// An allocator for the containers of the cache: the interpreter's own memory allocator,
// which returns the space of a grown table to the system instead of keeping it in the C
// library's heap, and keeps small and large blocks apart.
#pragma once

#include <Python.h>

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace kestrine {

template <typename T>
struct PyMemAllocator {
    using value_type = T;

    PyMemAllocator() = default;
    template <typename U>
    PyMemAllocator(const PyMemAllocator<U>&) noexcept {}

    // Throws std::bad_alloc like the standard allocator, so containers keep their strong
    // guarantee; entry points turn it into MemoryError.
    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* memory = PyMem_Malloc(n * sizeof(T));
        if (!memory) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t) noexcept { PyMem_Free(memory); }

    friend bool operator==(const PyMemAllocator&, const PyMemAllocator&) { return true; }
};

// A base for objects allocated one by one with `new (std::nothrow)` and `delete`, whose
// memory then comes from the interpreter's allocator too: it is several times cheaper than
// the C library's for the blocks an instance's first memoised call allocates. Needs an
// attached thread state wherever such an object is made or deleted.
struct PyMemAllocated {
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
        return PyMem_Malloc(size);
    }
    static void operator delete(void* memory) noexcept { PyMem_Free(memory); }
    static void operator delete(void* memory, const std::nothrow_t&) noexcept {
        PyMem_Free(memory);
    }
};

// A vector whose storage comes from the interpreter's allocator (an attached thread state
// is needed wherever it grows or is freed).
template <typename T>
using PyVector = std::vector<T, PyMemAllocator<T>>;

}  // namespace kestrine
