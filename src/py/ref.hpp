#pragma once

#include <utility>

#include "py/python.hpp"

namespace vordalin::py {

// Thrown by any helper that returns to Python with an exception already set.
struct ErrorAlreadySet {};

// A move-only owned reference.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a reference the caller owns; a null means a Python error is set.
    static Ref steal(PyObject* object) {
        if (object == nullptr) {
            throw ErrorAlreadySet{};
        }
        return Ref(object);
    }
    // Takes a new reference to a borrowed object.
    static Ref new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace vordalin::py
