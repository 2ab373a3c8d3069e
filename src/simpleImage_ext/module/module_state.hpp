// The module's process-wide state: the interpreter it lives in, the module
// object of its one initialisation, the built-ins captured then, and access to
// the module namespace at call time.
//
// The module lives in one interpreter per process and is initialised once, so
// functions and methods reach its namespace through this state. Names such as
// `zlib` or `_readChunk` are looked up on every call, so that rebinding a module
// attribute changes what the code uses; the built-ins `open` and `print` are
// captured once, when the module is initialised.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace module_state {

// Create step: refuses a second interpreter; returns the recorded module, if any,
// as a new reference, or nullptr with no error set when there is none yet.
PyObject* recordedModuleForInterpreter();

// Exec step bookkeeping.
bool isRecorded(PyObject* module);
bool hasRecord();
void record(PyObject* module);
void forget();

// Captures the built-in functions used by the code; NameError if one is missing.
bool captureBuiltins();
PyObject* builtinOpen();   // borrowed
PyObject* builtinPrint();  // borrowed

// The module attribute `name` as currently bound (a new reference), falling back
// to the built-ins as Python code would; NameError if neither has it.
py::Ref global(const char* name);

// The module's namespace (borrowed), as the globals of a frame that stands for
// one of its functions; nullptr with an error set before initialisation.
PyObject* namespaceDict();

// `name.attribute`, with `name` looked up in the module now.
py::Ref globalAttribute(const char* name, const char* attribute);

// Calls `name.attribute(*arguments)`, with `name` looked up in the module now.
template <class... Arguments>
py::Ref callGlobal(const char* name, const char* attribute, Arguments... arguments) {
    py::Ref function = globalAttribute(name, attribute);
    if (!function) {
        return {};
    }
    return py::Ref::steal(PyObject_CallFunctionObjArgs(
        function.get(), static_cast<PyObject*>(arguments)..., nullptr));
}

// Calls the module-level function `name(*arguments)`, looked up in the module now.
template <class... Arguments>
py::Ref callGlobalFunction(const char* name, Arguments... arguments) {
    py::Ref function = global(name);
    if (!function) {
        return {};
    }
    return py::Ref::steal(PyObject_CallFunctionObjArgs(
        function.get(), static_cast<PyObject*>(arguments)..., nullptr));
}

// The class `SimpleImage` as created by the exec step (borrowed). Code that means
// the class itself (isinstance tests, `_copy`) uses this, not the module
// attribute, which callers may rebind.
PyTypeObject* imageType();
void recordImageType(PyTypeObject* type);

}  // namespace module_state
