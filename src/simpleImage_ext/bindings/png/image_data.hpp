// The image data of a PNG: the IDAT data inflated and its rows rebuilt into
// the image's planes, by the route that the module's `zlib.decompress` calls for.
#pragma once

#include <Python.h>

#include "bindings/png/idat_parts.hpp"
#include "bindings/png/image_layout.hpp"

namespace png {

// Who inflates the image data, as the decoding's route decided it.
enum class Inflation {
    here,           // zlib.decompress was the module's own at the operation's entry
    throughModule,  // it was not: it is looked up and called where the decoder calls it
    asBound,        // the literal route: looked up where the decoder calls it, and
                    // inflated here if it is then the module's own
};

// Inflates `parts` and rebuilds the rows. When the module's zlib.decompress is
// its own (`inflation`, or looked up now for asBound), the data is inflated here: whole,
// straight into the pixel plane, when its size is plausible and this build has
// an inflater, else (and whenever that inflater does not report a clean
// result) in bounded pieces through the interpreter's zlib, which gives zlib's
// own errors. Any other zlib.decompress is called once with the joined data.
// Either way parts that are not bytes objects are joined first, with
// b"".join and its error for a part that is not bytes-like.
bool decodeImageData(IdatParts& parts, const Geometry& geometry, Planes& planes,
                     Inflation inflation);

}  // namespace png
