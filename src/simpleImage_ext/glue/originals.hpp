// The interpreter's own objects behind the names that fast paths stand in for.
//
// Where the module's code can do natively what a module name would do (a CRC
// for `zlib.crc32`, chunks parsed in place of `_readChunk` calls, a constructor
// call on the class itself), it first asks here whether the name, looked up
// now, still leads to the object captured when the module was initialised. A
// rebound name always gets its call; the answer only chooses the faster route
// to the same result.
#pragma once

#include <Python.h>

namespace originals {

// The module names with a native stand-in: module globals, or attributes of them.
enum class Stock {
    zlibCrc32,       // zlib.crc32
    zlibDecompress,  // zlib.decompress
    zlibCompress,    // zlib.compress
    structPack,      // struct.pack
    structUnpack,    // struct.unpack
    readChunk,       // _readChunk
    bytesIO,         // BytesIO
    pngSignature,    // PNG_SIGNATURE
};

// Captures the originals once the exec step has bound the module's names and
// created the class; false with an exception set.
bool capture(PyTypeObject* imageType);

// 1 when `which`, looked up in the module now, is the captured original; 0 when
// it was rebound (or the original could not be recognised at initialisation);
// -1 with the lookup's exception set. An attribute counts only on an exact
// module: a stand-in object gets its own functions called.
int isStock(Stock which);

// The interpreter's zlib.decompressobj and zlib.error (borrowed): the internal
// route of a stock zlib.decompress inflates, and fails, as they do. Null when
// zlib.decompress was not recognised, and isStock(zlibDecompress) is then 0.
PyObject* zlibDecompressobj();
PyObject* zlibError();

// Whether `stream` is exactly an io.BytesIO that reads as its type defines: no
// attribute set on the instance stands in front of the type's `read`, `seek`,
// `tell` or `getvalue`. Reading its buffer in place, with the type's own
// methods, then gives what its `read` would.
bool isPlainBytesIO(PyObject* stream);

// Whether `stream` is exactly an io.BufferedReader over exactly an io.FileIO,
// as the built-in `open(path, "rb")` makes it, with no attribute set on either
// instance in front of a method that reading or measuring the file calls: its
// reads then give the bytes of the file, whose size can be asked without
// running Python code.
bool isPlainFile(PyObject* stream);

// Whether calling `cls` runs nothing but the class's own construction: `cls` is
// the class itself, with neither a metaclass nor a replaced __new__ or __init__.
bool isOwnImageClass(PyObject* cls);

// Whether `_streamToImage`, as the class `type` finds it in its bases (without
// running descriptors), is the one of the module's class.
bool isOwnStreamToImage(PyTypeObject* type);

}  // namespace originals
