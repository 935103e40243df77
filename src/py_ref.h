// Owning reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrine {

// Holds one strong reference and releases it on destruction.
class Ref {
  public:
    Ref() = default;
    Ref(const Ref& other) : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a reference the caller owns (a "new reference" result).
    static Ref steal(PyObject* obj) { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Gives the reference to the caller.
    [[nodiscard]] PyObject* release() {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset() { Py_CLEAR(obj_); }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace kestrine
