// Owning reference to a Python object.
//
// Every function of the extension holds the objects it creates in a Ref, so an
// early `return nullptr` on an error path drops them without hand-counted
// Py_DECREFs. `release()` hands the reference to a caller or to an API call that
// steals it.
#pragma once

#include <Python.h>

#include <utility>

namespace py {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference (nullptr, as returned by a failed API call, is allowed).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }
    static Ref none() noexcept { return Ref(Py_NewRef(Py_None)); }

    Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// Replaces the object held in a struct field, dropping the old one after the
// store so that a destructor running Python code never sees a dangling field.
inline void replaceField(PyObject*& field, Ref value) noexcept {
    PyObject* old = field;
    field = value.release();
    Py_XDECREF(old);
}

}  // namespace py
