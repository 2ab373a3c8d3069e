// Interned str objects for the names that the code looks up on every call
// (module globals, methods of streams and files, attributes of zlib objects).
// Looking a name up by C string builds, hashes and frees a new str each time;
// these are made once per name and kept for the life of the process.
#pragma once

#include <Python.h>

namespace py {

// The interned str for `literal`, a string literal (its address identifies it).
// Borrowed; nullptr with MemoryError set if it cannot be made.
PyObject* name(const char* literal);

}  // namespace py
