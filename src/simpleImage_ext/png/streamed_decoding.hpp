// The bounded route of PNG image data: inflating with the interpreter's zlib in
// pieces, each rebuilt into the planes as it comes.
#pragma once

#include "png/idat_parts.hpp"
#include "png/image_layout.hpp"

namespace png {

// Inflates `parts` as zlib.decompress would inflate their concatenation, with
// zlib's own errors, but never beyond one byte more than the geometry allows
// (then "Malformed PNG image data"), and with planes that grow with the rows
// that arrive, so that memory follows the data actually inflated.
bool decodeStreamed(IdatParts& parts, const Geometry& geometry, Planes& planes);

}  // namespace png
