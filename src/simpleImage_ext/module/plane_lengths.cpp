#include "module/plane_lengths.hpp"

#include "kernels/sizes.hpp"

namespace py {

bool requireLength(PyObject* buffer, std::optional<std::int64_t> expected, const char* mismatch) {
    const Py_ssize_t length = PyObject_Length(buffer);
    if (length < 0) {
        return false;
    }
    if (!kernels::sizes::matches(length, expected)) {
        PyErr_SetString(PyExc_ValueError, mismatch);
        return false;
    }
    return true;
}

bool requirePlaneLengths(std::int32_t width, std::int32_t height, PyObject* pixels,
                         PyObject* alpha) {
    using kernels::sizes::planeSize;
    if (!requireLength(pixels, planeSize(width, height, 3), kPixelLengthMismatch)) {
        return false;
    }
    return alpha == Py_None ||
           requireLength(alpha, planeSize(width, height, 1), kAlphaLengthMismatch);
}

}  // namespace py
