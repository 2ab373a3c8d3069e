// Argument binding for the published functions and methods.
//
// All of them use the vectorcall convention (METH_FASTCALL | METH_KEYWORDS) and
// bind their arguments here, against their declaration, so every one reports a
// wrong count, an unexpected keyword or a repeated argument in the same words.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "capi/declaration.hpp"

namespace py {

// Borrowed references to the bound arguments, in parameter order; an omitted
// optional argument is nullptr.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

bool bindArguments(const char* function, const char* const* parameters, Py_ssize_t count,
                   Py_ssize_t required, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound);

template <std::size_t N>
bool bind(const Declaration<N>& declaration, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, Arguments<N>& bound) {
    return bindArguments(declaration.name, declaration.parameters.data(),
                         static_cast<Py_ssize_t>(N), static_cast<Py_ssize_t>(declaration.required),
                         args, nargs, kwnames, bound.data());
}

// The same for the classic (tuple, dict) convention of tp_new.
bool bindTupleAndDict(const char* function, const char* const* parameters, Py_ssize_t count,
                      Py_ssize_t required, PyObject* args, PyObject* kwargs, PyObject** bound);

template <std::size_t N>
bool bind(const Declaration<N>& declaration, PyObject* args, PyObject* kwargs,
          Arguments<N>& bound) {
    return bindTupleAndDict(declaration.name, declaration.parameters.data(),
                            static_cast<Py_ssize_t>(N),
                            static_cast<Py_ssize_t>(declaration.required), args, kwargs,
                            bound.data());
}

// Returns `argument`, or None for an omitted optional argument (borrowed).
inline PyObject* orNone(PyObject* argument) noexcept {
    return argument != nullptr ? argument : Py_None;
}

}  // namespace py
