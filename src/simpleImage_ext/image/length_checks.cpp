#include "image/length_checks.hpp"

#include "glue/conversions.hpp"
#include "image/sizes.hpp"

namespace image {

bool requireLength(PyObject* buffer, std::optional<std::int64_t> expected, const char* mismatch) {
    const Py_ssize_t length = py::length(buffer);
    if (length < 0) {
        return false;
    }
    if (!sizes::matches(length, expected)) {
        PyErr_SetString(PyExc_ValueError, mismatch);
        return false;
    }
    return true;
}

}  // namespace image
