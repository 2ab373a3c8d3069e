// The BMP writer: an RGB pixel buffer as an uncompressed 24-bit BMP with a
// 40-byte information header, rows bottom-up and padded to 4 bytes.
#pragma once

#include <Python.h>

namespace bmp {

// `_writeBmp(path, width, height, pixels, meta=None)`; `meta` supplies the
// resolution and colour counts of a BMP header record through its `get`.
PyObject* _writeBmp(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace bmp
