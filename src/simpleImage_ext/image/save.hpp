// `SimpleImage.save(path)`: hands the image to the writer that its side data
// calls for, whatever the name of the file.
#pragma once

#include <Python.h>

namespace image {

PyMethodDef saveMethod();

}  // namespace image
