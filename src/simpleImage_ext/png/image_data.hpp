// The image data of a PNG: the IDAT data inflated and its rows rebuilt into
// the image's planes, by the route that the module's `zlib.decompress` calls for.
#pragma once

#include <Python.h>

#include "png/idat_parts.hpp"
#include "png/image_layout.hpp"

namespace png {

// Inflates `parts` and rebuilds the rows. When the module's zlib.decompress,
// looked up now, is the interpreter's own, the data is inflated here: whole,
// straight into the pixel plane, when its size is plausible and this build has
// an inflater, else (and whenever that inflater does not report a clean
// result) in bounded pieces through the interpreter's zlib, which gives zlib's
// own errors. Any other zlib.decompress is called once with the joined data.
// Either way parts that are not bytes objects are joined first, with
// b"".join and its error for a part that is not bytes-like.
bool decodeImageData(IdatParts& parts, const Geometry& geometry, Planes& planes);

}  // namespace png
