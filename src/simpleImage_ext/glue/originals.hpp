// The interpreter's own objects behind the names that fast paths stand in for.
//
// Where the module's code can do natively what a module name would do (a CRC
// for `zlib.crc32`, rows from the buffer of an `io.BytesIO`, a constructor call
// on the class itself), it first asks here whether the name, looked up now,
// still leads to the object captured when the module was initialised. A
// rebound name always gets its call; the answer only chooses the faster route
// to the same result.
#pragma once

#include <Python.h>

namespace originals {

// The module names with a native stand-in, each the attribute of a module global.
enum class Stock {
    zlibCrc32,  // zlib.crc32
};

// Captures the originals once the exec step has bound the module's names and
// created the class; false with an exception set.
bool capture(PyTypeObject* imageType);

// 1 when `which`, looked up in the module now, is the captured original; 0 when
// it was rebound (or the original could not be recognised at initialisation);
// -1 with the lookup's exception set.
int isStock(Stock which);

// Whether `stream` is exactly an io.BytesIO, whose reads and seeks run no Python code.
bool isPlainBytesIO(PyObject* stream);

// Whether `stream` is exactly an io.BufferedReader over exactly an io.FileIO,
// as the built-in `open(path, "rb")` makes it: a file whose size can be asked
// without running Python code.
bool isPlainFile(PyObject* stream);

// Whether calling `cls` runs nothing but the class's own construction: `cls` is
// the class itself, with neither a metaclass nor a replaced __new__ or __init__.
bool isOwnImageClass(PyObject* cls);

}  // namespace originals
