// The PNG decoder written plainly, step by step as the format's rules for the
// decoder read, with no care for speed or memory: the oracle that the codec
// core is checked against. Bytes are read as reads from a stream positioned
// in the buffer would take them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "png/refusals.hpp"

namespace literal {

using ByteSpan = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

// One chunk read from `position` on: an empty type where the bytes end before
// its length, the data where they were read, and where reading stopped.
struct ChunkRead {
    png::Refusal refusal = png::Refusal::none;
    ByteSpan type;
    ByteSpan data;
};
ChunkRead readChunk(ByteSpan bytes, std::size_t& position);

struct Record {
    ByteSpan type;
    ByteSpan data;  // of IDAT chunks too, though the decoder keeps only their length
};

// How decoding ended: refused with one of the codec's messages, or with the
// zlib module's error for image data that is not one complete zlib stream.
enum class Ending { decoded, refused, zlibError };

struct Decoded {
    Ending ending = Ending::decoded;
    png::Refusal refusal = png::Refusal::none;
    int filterType = 0;  // the refused one
    bool trailingData = false;  // bytes after the end of the zlib stream, which are ignored
    std::size_t end = 0;  // where reading stopped
    std::vector<Record> chunks;
    std::array<std::int64_t, 7> header{-1, -1, -1, -1, -1, -1, -1};
    int channels = 0;
    Bytes pixels;   // RGB, rows top to bottom
    Bytes alpha;    // for RGBA
    Bytes filters;  // each row's filter type
};

// The signature and the chunk loop: the chunks up to IEND or the end of the
// bytes, the header from the last IHDR.
Decoded walkFile(ByteSpan bytes);

// All of it: the walk, the header's checks, the image data inflated and the
// rows rebuilt.
Decoded decode(ByteSpan bytes);

}  // namespace literal
