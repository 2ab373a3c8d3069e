// The BMP decoder written plainly, step by step as the format's rules for the
// decoder read, with no care for speed or memory: the oracle that the codec
// core is checked against. Bytes are read as reads and a seek on a stream
// positioned in the buffer would take them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bmp/refusals.hpp"

namespace literal {

using ByteSpan = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

// How decoding ended besides the codec's own refusals: the interpreter's
// errors for a cut information header (struct.error), a pixel buffer whose
// size does not fit a signed 64-bit index (OverflowError), one of negative
// size (ValueError) and a row offset beyond 32 bits (OverflowError). A pixel
// buffer too large for the machine (MemoryError) is not modelled: the rows of
// a plane larger than the file cannot all be there, and their refusal is given.
enum class BmpEnding {
    decoded, refused, cutInfoHeader, planeSizeOverflow, negativeSize, rowOffsetTooLarge
};

struct BmpDecoded {
    BmpEnding ending = BmpEnding::decoded;
    bmp::Refusal refusal{};
    std::int64_t width = 0;
    std::int64_t height = 0;  // of the image: the number of rows
    Bytes pixels;             // RGB, rows top to bottom
    std::array<std::int64_t, 4> record{};  // xppm, yppm, clrUsed, clrImportant
    std::size_t end = 0;      // where reading stopped
};

BmpDecoded decodeBmp(ByteSpan bytes);

}  // namespace literal
