// The PNG codec's refusals raised as Python exceptions.
#pragma once

#include <Python.h>

#include "png/refusals.hpp"

namespace png {

// Raises `refusal` (not none, nor one that `struct` words itself) as its entry
// in the refusal list says. Always false, for `return raise(...)`.
inline bool raise(Refusal refusal) {
    const RefusalText& text = textOf(refusal);
    PyObject* type =
        text.kind == ExceptionKind::OverflowError ? PyExc_OverflowError : PyExc_ValueError;
    PyErr_SetString(type, text.message);
    return false;
}

// ValueError "Unsupported PNG filter: <type>".
inline bool raiseUnsupportedFilter(int filterType) {
    PyErr_Format(PyExc_ValueError, textOf(Refusal::unsupportedFilter).message, filterType);
    return false;
}

}  // namespace png
