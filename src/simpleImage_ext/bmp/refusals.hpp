// What the BMP codec refuses, each with the message of the ValueError it is
// raised as. The decoder and the test of the published messages read this one
// list.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bmp {

// X(name, message)
#define SIMPLEIMAGE_BMP_REFUSALS(X)                                                   \
    X(unsupportedHeader, "Unsupported BMP header")                                   \
    X(corruptedDibHeader, "Corrupted BMP DIB header")                                \
    X(onlyInfoHeader, "Only BITMAPINFOHEADER BMP files are supported")               \
    X(onlyUncompressed24Bit, "Only uncompressed 24-bit BMP files are supported")     \
    X(incompletePixelData, "Incomplete BMP pixel data")

enum class Refusal : std::uint8_t {
#define SIMPLEIMAGE_REFUSAL_NAME(name, message) name,
    SIMPLEIMAGE_BMP_REFUSALS(SIMPLEIMAGE_REFUSAL_NAME)
#undef SIMPLEIMAGE_REFUSAL_NAME
};

inline constexpr const char* kRefusalMessages[] = {
#define SIMPLEIMAGE_REFUSAL_MESSAGE(name, message) message,
    SIMPLEIMAGE_BMP_REFUSALS(SIMPLEIMAGE_REFUSAL_MESSAGE)
#undef SIMPLEIMAGE_REFUSAL_MESSAGE
};

constexpr const char* messageOf(Refusal refusal) noexcept {
    return kRefusalMessages[static_cast<std::size_t>(refusal)];
}

}  // namespace bmp
