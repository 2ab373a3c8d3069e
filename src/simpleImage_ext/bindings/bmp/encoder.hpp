// The BMP writer: an RGB pixel buffer as an uncompressed 24-bit BMP with a
// 40-byte information header, rows bottom-up and padded to 4 bytes.
#pragma once

#include <Python.h>

namespace bmp {

// The module's `_writeBmp(path, width, height, pixels, meta=None)`; `meta`, a
// header record, supplies the resolution and colour counts through its `get`.
PyMethodDef writeBmpMethod();

}  // namespace bmp
