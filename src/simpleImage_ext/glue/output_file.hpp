// The files that the writers create.
//
// A destination is opened with the built-in `open(path, "wb")` captured when the
// module was initialised, and used as a managed file, closed on every way out.
// Writers finish every check before they get here, so a failing call leaves an
// existing file as it was; only a failing write leaves a partial file behind.
#pragma once

#include <Python.h>

#include <span>
#include <utility>

#include "glue/context.hpp"
#include "glue/module_state.hpp"
#include "glue/ref.hpp"

namespace output_file {

// file.write(piece), with `write` looked up on the file for every call.
bool write(PyObject* file, PyObject* piece);

// One write call per piece, in order.
bool writeAll(PyObject* file, std::span<const py::Ref> pieces);

// Opens `path` for writing and runs `body(file) -> bool` (false with an exception
// set) inside the `with` block. False with the exception set on failure.
template <class Body>
bool create(PyObject* path, Body&& body) {
    py::Ref file = py::Ref::steal(
        PyObject_CallFunction(module_state::builtinOpen(), "Os", path, "wb"));
    if (!file) {
        return false;
    }
    return py::withBlock(file.get(), std::forward<Body>(body)).outcome !=
           py::BlockOutcome::raised;
}

// Creates `path` holding `pieces`, written one call each, in order.
inline bool createWith(PyObject* path, std::span<const py::Ref> pieces) {
    return create(path, [pieces](PyObject* file) { return writeAll(file, pieces); });
}

}  // namespace output_file
