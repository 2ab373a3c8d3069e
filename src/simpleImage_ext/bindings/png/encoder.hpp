// The plain PNG encoder: the filtered scanline stream of an image and the
// published writer `_writePng`, which stores it as signature, IHDR, one IDAT and
// IEND. The chunk-preserving writer shares the image data.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "capi/ref.hpp"

namespace png {

// The filtered scanline stream as a new bytes object: per row its filter type
// (byte y of `filters`, or 0 when `filters` is None) and the row filtered with
// it, the neighbours taken from the unfiltered bytes. `pixels` holds
// width * height * 3 bytes; `alpha` (None, or width * height bytes) and
// `filters` (None, or height bytes) are read through writable byte views.
py::Ref _write_png_bytes(std::int32_t width, std::int32_t height,
                         std::span<const std::uint8_t> pixels, PyObject* alpha,
                         PyObject* filters);

// zlib.compress of the stream above, in one call through the module's `zlib`;
// `pixels` is used directly when it is a bytearray, else copied into one.
py::Ref compressedImageData(std::int32_t width, std::int32_t height, PyObject* pixels,
                            PyObject* alpha, PyObject* filters);

// The module's `_writePng(path, width, height, pixels, alpha=None, filter_types=None)`.
PyMethodDef writePngMethod();

}  // namespace png
