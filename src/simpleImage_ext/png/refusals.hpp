// What the PNG codec refuses, each with the exception class and the message it
// is raised with. The decoder's routes, the writers and the test of the
// published messages all read this one list.
#pragma once

#include <cstddef>
#include <cstdint>

namespace png {

// X(name, exception, message); `exception` names the Python exception class.
#define SIMPLEIMAGE_PNG_REFUSALS(X)                                                         \
    X(eofInLength, ValueError, "Unexpected EOF while reading chunk length")                \
    X(eofInType, ValueError, "Unexpected EOF while reading chunk type")                    \
    X(eofInData, ValueError, "Unexpected EOF while reading chunk data")                    \
    X(eofInCrc, ValueError, "Unexpected EOF while reading chunk CRC")                      \
    X(corruptedChunk, ValueError, "Corrupted PNG chunk detected")                          \
    X(unsupportedSignature, ValueError, "Unsupported PNG signature")                       \
    X(incompleteHeader, ValueError, "Incomplete PNG header information")                   \
    X(onlyEightBit, ValueError, "Only 8-bit PNG images are supported")                     \
    X(onlyRgb, ValueError, "Only RGB/RGBA PNG images are supported")                       \
    X(unsupportedConfiguration, ValueError,                                                \
      "Unsupported PNG configuration (compression/filter/interlace)")                      \
    X(malformedImageData, ValueError, "Malformed PNG image data")                          \
    X(unsupportedFilter, ValueError, "Unsupported PNG filter: %d")                         \
    X(headerFieldTooLarge, OverflowError, "value too large to convert to int")             \
    X(headerSize, StructError, "unpack requires a buffer of 13 bytes")

enum class Refusal : std::uint8_t {
    none,
#define SIMPLEIMAGE_REFUSAL_NAME(name, exception, message) name,
    SIMPLEIMAGE_PNG_REFUSALS(SIMPLEIMAGE_REFUSAL_NAME)
#undef SIMPLEIMAGE_REFUSAL_NAME
};

// The Python exception class a refusal is raised as.
enum class ExceptionKind : std::uint8_t { ValueError, OverflowError, StructError };

struct RefusalText {
    ExceptionKind kind;
    const char* message;
};

inline constexpr RefusalText kRefusalTexts[] = {
    {ExceptionKind::ValueError, ""},  // none
#define SIMPLEIMAGE_REFUSAL_TEXT(name, exception, message) {ExceptionKind::exception, message},
    SIMPLEIMAGE_PNG_REFUSALS(SIMPLEIMAGE_REFUSAL_TEXT)
#undef SIMPLEIMAGE_REFUSAL_TEXT
};

constexpr const RefusalText& textOf(Refusal refusal) noexcept {
    return kRefusalTexts[static_cast<std::size_t>(refusal)];
}

}  // namespace png
