// Length tests of the image's buffers against its dimensions, shared by the
// constructor and the PNG writers, which refuse the same mismatches in the same words.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace image {

inline constexpr const char* kPixelLengthMismatch =
    "Pixel data length does not match image dimensions";
inline constexpr const char* kAlphaLengthMismatch =
    "Alpha channel length does not match image dimensions";
inline constexpr const char* kFilterCountMismatch = "PNG filter count does not match image height";

// ValueError `mismatch` unless len(buffer) equals `expected` exactly; false with
// an exception set on failure (also when `buffer` has no length).
bool requireLength(PyObject* buffer, std::optional<std::int64_t> expected, const char* mismatch);

}  // namespace image
