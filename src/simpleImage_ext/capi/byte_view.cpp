#include "capi/byte_view.hpp"

#include "capi/allocation.hpp"

#include <cstring>

namespace py {
namespace {

constexpr const char* kNotOneDimensional = "Expected a one-dimensional buffer, got %d dimensions";
constexpr const char* kNotUnsignedBytes = "Expected a buffer of unsigned bytes, got item format '%s'";

// "B", optionally after a byte-order or alignment prefix; no format means bytes.
bool isUnsignedByteFormat(const char* format) {
    if (format == nullptr) {
        return true;
    }
    if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) {
        ++format;
    }
    return std::strcmp(format, "B") == 0;
}

}  // namespace

bool ByteView::acquireWritable(PyObject* object) {
    release();
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS) < 0) {
        return false;
    }
    held_ = true;
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, kNotOneDimensional, view_.ndim);
        return false;
    }
    if (!isUnsignedByteFormat(view_.format)) {
        PyErr_Format(PyExc_ValueError, kNotUnsignedBytes, view_.format);
        return false;
    }
    const auto count = static_cast<std::size_t>(view_.shape[0]);
    if (view_.strides[0] == 1) {
        bytes_ = {static_cast<const std::uint8_t*>(view_.buf), count};
        return true;
    }
    if (!allocating([&] { gathered_.resize(count); })) {
        return false;
    }
    if (PyBuffer_ToContiguous(gathered_.data(), &view_, view_.len, 'C') < 0) {
        return false;
    }
    bytes_ = gathered_;
    return true;
}

bool ByteView::acquireReadable(PyObject* object) {
    release();
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) {
        return false;
    }
    held_ = true;
    bytes_ = {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    return true;
}

void ByteView::release() noexcept {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
    bytes_ = {};
}

}  // namespace py
