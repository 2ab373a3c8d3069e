// The PNG decoder: an 8-bit RGB or RGBA, non-interlaced PNG into the decoded
// image, keeping the file's chunk list and the filter type of every row so
// that the image can be written back in the same layout.
#pragma once

#include <Python.h>

#include <optional>

#include "module/decoded_image.hpp"
#include "module/own_names.hpp"

namespace png {

// The names that reading a PNG's chunks looks up: the signature, `_readChunk`
// and the functions that the module's own `_readChunk` calls. While all are
// the module's own, chunks held in memory are read from their bytes.
inline constexpr own_names::Name kChunkNames[] = {
    own_names::Name::readChunk, own_names::Name::structUnpack, own_names::Name::zlibCrc32,
    own_names::Name::pngSignature};

// Reads a PNG from `stream` (anything with `read(n)`), positioned at its first
// byte. Internal: not published in the module namespace.
//
// The route is decided once, here: an exact io.BytesIO, while the chunk names
// are the module's own, is read from its buffer by the codec (the byte route),
// and left where the reads would have left it; any other stream, or any
// rebound name, takes the literal route: the reads and calls in their order,
// with each name looked up where it is called.
std::optional<py::DecodedImage> _loadPng(PyObject* stream);

// The byte route for the whole content of a file held in `bytes` (exact
// bytes), as `_loadPng` would read it from an io.BytesIO over them. Only for a
// caller that found at its entry that `_streamToImage(BytesIO(bytes))` runs
// nothing but the module's own code, kChunkNames included.
std::optional<py::DecodedImage> loadPngFromBytes(PyObject* bytes);

}  // namespace png
