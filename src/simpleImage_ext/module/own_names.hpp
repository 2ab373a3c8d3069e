// The module's own objects behind the names that fast paths stand in for.
//
// Where the module's code can do natively what a module name would do (a CRC
// for `zlib.crc32`, chunks parsed in place of `_readChunk` calls, a constructor
// call on the class itself), it first asks here whether the name, looked up
// now, still leads to its own object, the one captured when the module was
// initialised. A rebound name always gets its call; the answer only chooses
// the faster route to the same result.
#pragma once

#include <Python.h>

#include <span>

namespace own_names {

// The module names with a native stand-in: module globals, or attributes of them.
enum class Name {
    zlibCrc32,       // zlib.crc32
    zlibDecompress,  // zlib.decompress
    zlibCompress,    // zlib.compress
    structPack,      // struct.pack
    structUnpack,    // struct.unpack
    readChunk,       // _readChunk
    bytesIO,         // BytesIO
    pngSignature,    // PNG_SIGNATURE
};

// Captures the own objects once the exec step has bound the module's names and
// created the class; false with an exception set.
bool capture(PyTypeObject* imageType);

// 1 when `which`, looked up in the module now, is the module's own object; 0
// when it was rebound (or its own could not be recognised at initialisation);
// -1 with the lookup's exception set. An attribute counts only on an exact
// module: a stand-in object gets its own functions called.
int isOwn(Name which);

// Whether every one of `names`, looked up now, is the module's own: the question
// an operation asks once at its entry to choose its route. A failed lookup
// says no, with no error set: the literal route then meets the failure where
// its own lookup of the name arises.
//
// The answer stands for the whole byte route only because nothing can rebind a
// name before that route's last lookup would have been made: it calls no Python
// code (only the exact types' own C methods), raises no signal check and keeps
// the interpreter's lock until then, and an allocation cannot run Python code
// (the collector runs at the evaluation loop's next check, not inside one).
// The literal route, where reads and calls can run Python code between two
// lookups, calls the names instead; only a call that runs nothing but this
// module's code from its lookup to its return (zlib.decompress, zlib.compress,
// zlib.crc32) asks isOwn where it is looked up.
bool allOwn(std::span<const Name> names);

// The interpreter's zlib.decompressobj and zlib.error (borrowed): the internal
// route of the own zlib.decompress inflates, and fails, as they do. Null when
// zlib.decompress was not recognised, and isOwn(Name::zlibDecompress) is then 0.
PyObject* zlibDecompressobj();
PyObject* zlibError();

// Whether calling `cls` runs nothing but the class's own construction: `cls` is
// the class itself, with neither a metaclass nor a replaced __new__ or __init__.
bool isOwnImageClass(PyObject* cls);

// Whether `_streamToImage`, as the class `type` finds it in its bases (without
// running descriptors), is the one of the module's class.
bool isOwnStreamToImage(PyTypeObject* type);

}  // namespace own_names
