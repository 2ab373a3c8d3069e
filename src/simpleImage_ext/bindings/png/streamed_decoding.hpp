// The bounded route of PNG image data: inflating with the interpreter's zlib in
// pieces, each rebuilt into the planes as it comes.
#pragma once

#include "bindings/png/idat_parts.hpp"
#include "bindings/png/image_layout.hpp"

namespace png {

// Inflates `parts`, made plain (IdatParts::join), as zlib.decompress would
// inflate their concatenation, with zlib's own errors, and rebuilds the rows
// as they come. Data longer than the geometry allows is "Malformed PNG image
// data" unless zlib refuses the stream further on; no more than one byte
// beyond the allowed length is kept, and the planes grow with the rows that
// arrive, so that memory follows the data actually inflated, never the size a
// header promises.
bool decodeStreamed(IdatParts& parts, const Geometry& geometry, Planes& planes);

}  // namespace png
