// The chunk-preserving PNG writer: writes an image back along the chunk list
// stored from its source, with fresh image data cut into IDAT chunks whose
// sizes follow the source's.
#pragma once

#include <Python.h>

namespace png {

// The module's `_split_idat_payload(data, lengths)`: `data` cut into
// consecutive non-empty parts along `lengths`, the last length taking whatever
// is left.
PyMethodDef splitIdatPayloadMethod();

// The module's `_writePngWithChunks(path, width, height, pixels, alpha, chunks,
// filter_types=None)`.
PyMethodDef writePngWithChunksMethod();

}  // namespace png
