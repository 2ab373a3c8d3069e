// zlib.compress(stream) for the PNG writers, with the module's `zlib` looked
// up now.
//
// When `zlib.compress` is the interpreter's own function and its zlib writes
// the streams of zlib 1.2.13 (checked once per process on the deflate
// kernel's samples), a stream of 32 KiB or more is compressed by the deflate
// kernel instead,
// without the interpreter's lock and on the process's thread pool: the bytes
// are the same. Each stream the kernel makes is inflated again and compared
// with the filtered stream before it is used; on any difference, and in every
// other case (a rebound `compress`, another zlib, a build without an inflater
// to check with), `zlib.compress` is called with the stream, once, as before.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace png {

// `stream` is a bytes object that no other code can reach while this runs.
// A Ctrl-C that arrives while it compresses is raised before it returns, so
// that no file is written.
py::Ref compressImageData(PyObject* stream);

}  // namespace png
