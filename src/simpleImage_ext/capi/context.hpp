// `with manager as entered: body(entered)`, with the interpreter's exit protocol:
// __exit__ runs on every way out, sees the exception that left the body and may
// suppress it.
#pragma once

#include <Python.h>

#include <utility>

#include "capi/ref.hpp"

namespace py {

enum class BlockOutcome {
    completed,   // the body finished; its result is in `result`
    raised,      // an exception is set
    suppressed,  // the body raised and __exit__ swallowed the exception
};

template <class Result>
struct BlockResult {
    BlockOutcome outcome;
    Result result;
};

namespace detail {

// Calls __exit__ for a body that raised `raised` (a new reference, consumed).
// Returns true when __exit__ suppressed the exception; otherwise an exception is set.
inline bool exitWithException(PyObject* exit, PyObject* raised) {
    PyObject* traceback = PyException_GetTraceback(raised);
    Ref tracebackRef = Ref::steal(traceback);
    Ref verdict = Ref::steal(PyObject_CallFunctionObjArgs(
        exit, reinterpret_cast<PyObject*>(Py_TYPE(raised)), raised,
        traceback != nullptr ? traceback : Py_None, nullptr));
    if (!verdict) {
        // An error inside __exit__ replaces the body's, which becomes its context.
        PyObject* fromExit = PyErr_GetRaisedException();
        PyException_SetContext(fromExit, raised);
        PyErr_SetRaisedException(fromExit);
        return false;
    }
    const int suppress = PyObject_IsTrue(verdict.get());
    if (suppress < 0) {
        Py_DECREF(raised);
        return false;
    }
    if (suppress) {
        Py_DECREF(raised);
        return true;
    }
    PyErr_SetRaisedException(raised);
    return false;
}

}  // namespace detail

// Runs body(entered) -> Result inside the context of `manager`. The body
// signals an error with an empty Result (`!result`) and a set exception.
template <class Body>
auto withBlock(PyObject* manager, Body&& body) -> BlockResult<decltype(body(nullptr))> {
    using Result = decltype(body(nullptr));
    Ref enter = Ref::steal(PyObject_GetAttrString(manager, "__enter__"));
    if (!enter) {
        return {BlockOutcome::raised, Result{}};
    }
    Ref exit = Ref::steal(PyObject_GetAttrString(manager, "__exit__"));
    if (!exit) {
        return {BlockOutcome::raised, Result{}};
    }
    Ref entered = Ref::steal(PyObject_CallNoArgs(enter.get()));
    if (!entered) {
        return {BlockOutcome::raised, Result{}};
    }
    Result result = body(entered.get());
    if (!result) {
        if (detail::exitWithException(exit.get(), PyErr_GetRaisedException())) {
            return {BlockOutcome::suppressed, Result{}};
        }
        return {BlockOutcome::raised, Result{}};
    }
    Ref closed = Ref::steal(
        PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
    if (!closed) {
        return {BlockOutcome::raised, Result{}};
    }
    return {BlockOutcome::completed, std::move(result)};
}

}  // namespace py
