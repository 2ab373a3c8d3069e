// Conversions and checks shared by every published function.
#pragma once

#include <Python.h>

#include <cstdint>

#include "capi/ref.hpp"

namespace py {

// The interpreter's message for an integer outside the 32-bit signed range.
inline constexpr const char* kIntTooLarge = "value too large to convert to int";

// Converts to a 32-bit signed integer: an int as it is, anything else through
// its __int__ (a float truncates toward zero).
bool toInt32(PyObject* value, std::int32_t& out);

// An image's width and height, converted as toInt32 does, width first.
inline bool toDimensions(PyObject* width, PyObject* height, std::int32_t& widthOut,
                         std::int32_t& heightOut) {
    return toInt32(width, widthOut) && toInt32(height, heightOut);
}

// The Python int for a stored 32-bit field.
inline Ref fromInt32(std::int32_t value) { return Ref::steal(PyLong_FromLong(value)); }

enum class NoneAllowed : bool { no = false, yes = true };
enum class SubclassNote : bool { no = false, yes = true };

// Arguments declared as a built-in type must be exactly of that type. For a
// subclass the error can carry a note explaining the refusal.
bool requireExactType(PyObject* value, PyTypeObject* type, const char* argument,
                      NoneAllowed noneAllowed, SubclassNote note);

// TypeError "Expected <type>, got <value's type>", the message of a typed store.
void raiseExpectedType(const char* expected, PyObject* value);

// `a, b, ... = iterable` with exactly `count` targets, in the interpreter's
// unpacking wording when the count differs.
bool unpack(PyObject* iterable, Ref* targets, Py_ssize_t count);

// Length of a container, or -1 with the interpreter's error.
inline Py_ssize_t length(PyObject* object) { return PyObject_Length(object); }

// len(object) as a Python int.
Ref lengthOf(PyObject* object);

}  // namespace py
