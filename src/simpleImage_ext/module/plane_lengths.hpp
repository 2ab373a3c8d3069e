// Length tests of an image's buffers against its dimensions, shared by the
// constructor and the PNG writers, which refuse the same mismatches in the
// same words.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace py {

inline constexpr const char* kPixelLengthMismatch =
    "Pixel data length does not match image dimensions";
inline constexpr const char* kAlphaLengthMismatch =
    "Alpha channel length does not match image dimensions";
inline constexpr const char* kFilterCountMismatch = "PNG filter count does not match image height";

// ValueError `mismatch` unless len(buffer) equals `expected` exactly; false with
// an exception set on failure (also when `buffer` has no length).
bool requireLength(PyObject* buffer, std::optional<std::int64_t> expected, const char* mismatch);

// The pixel buffer against width * height * 3, then the alpha plane, unless it
// is None, against width * height.
bool requirePlaneLengths(std::int32_t width, std::int32_t height, PyObject* pixels,
                         PyObject* alpha);

}  // namespace py
