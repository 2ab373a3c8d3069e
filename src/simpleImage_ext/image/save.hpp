// `SimpleImage.save(path)`: hands the image to the writer that its side data
// calls for, whatever the name of the file.
#pragma once

#include <Python.h>

namespace image {

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace image
