// The image data of a PNG: the IDAT data inflated and its rows rebuilt into
// the image's planes, by the route that the module's `zlib.decompress` calls for.
#pragma once

#include <Python.h>

#include "bindings/png/idat_parts.hpp"
#include "bindings/png/image_layout.hpp"

namespace png {

// Inflates `parts` and rebuilds the rows, after joining parts that are not
// bytes objects with b"".join (and its error for a part that is not
// bytes-like). The module's zlib.decompress, looked up then, chooses how: its
// own is done here, the data inflated whole, straight into the pixel plane, when
// its size is plausible, else (and whenever the inflater does not report a
// clean result) in bounded pieces through the interpreter's zlib, which gives
// zlib's own errors; any other is called once with the joined data.
bool decodeImageData(IdatParts& parts, const Geometry& geometry, Planes& planes);

}  // namespace png
