// Native allocations made while the interpreter waits for a result.
#pragma once

#include <Python.h>

#include <new>

namespace py {

// Runs `body()`, turning a std::bad_alloc into the interpreter's MemoryError: no
// C++ exception may unwind through the interpreter's frames. False on failure.
template <class Body>
bool allocating(Body&& body) {
    try {
        body();
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace py
