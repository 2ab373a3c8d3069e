// Opening images: the class method `SimpleImage.open(source)` and the static
// method `SimpleImage._streamToImage(stream)`, which recognises the format by
// content and runs the matching decoder.
#pragma once

#include <Python.h>

namespace image {

// The class method `open`.
PyMethodDef openMethod();

// Binds `_streamToImage` on the class as a static method whose qualified name
// is "SimpleImage._streamToImage".
bool addStreamToImage(PyTypeObject* type);

}  // namespace image
