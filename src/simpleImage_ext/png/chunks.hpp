// The PNG chunk layer on bytes: chunks walked in a buffer, with their CRCs
// checked, and a whole file's chunk list gathered up to IEND.
//
// A chunk is a 4-byte big-endian data length, a 4-byte type, the data and a
// CRC-32 over type and data. Reading runs as reads from a stream positioned in
// the buffer would: a read past the end gives what is left, and the position
// where reading stopped is kept, after a refusal too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/byte_reader.hpp"
#include "png/refusals.hpp"

namespace png {

using ByteSpan = std::span<const std::uint8_t>;

struct Chunk {
    ByteSpan type;  // empty at the end of the buffer
    ByteSpan data;

    bool is(const char (&name)[5]) const noexcept;
};

class ChunkWalker {
public:
    ChunkWalker(ByteSpan bytes, std::size_t position) noexcept : reader_(bytes, position) {}

    // The next `count` bytes, or fewer at the end, as read(count) gives them.
    ByteSpan read(std::size_t count) noexcept { return reader_.read(count); }

    // The next chunk, its CRC checked; an empty type at the end of the buffer.
    Refusal next(Chunk& chunk) noexcept;

    std::size_t position() const noexcept { return reader_.position(); }

private:
    kernels::ByteReader reader_;
};

// The bytes a chunk takes besides its type and data: its length and its CRC.
inline constexpr std::size_t kChunkFraming = 8;

// Writes the chunk of `type` and `data` into `out`, which holds exactly
// kChunkFraming + type.size() + data.size() bytes. The data must be shorter
// than 2**32 bytes, which its length field can count.
void writeChunk(ByteSpan type, ByteSpan data, std::span<std::uint8_t> out) noexcept;

// IHDR's fields in file order: width, height, bit depth, colour type,
// compression, filter and interlace method; -1 until an IHDR supplies them.
enum HeaderField {
    kWidthField, kHeightField, kBitDepthField, kColourTypeField, kCompressionField,
    kFilterMethodField, kInterlaceField,
};
using Header = std::array<std::int32_t, 7>;

// IHDR's data into `header`: exactly 13 bytes, width and height below 2**31.
Refusal parseHeader(ByteSpan data, Header& header) noexcept;

// The header's checks in the order in which they are made; the first that fails.
Refusal checkHeader(const Header& header) noexcept;

// What a PNG file's chunk layer holds, as pieces of the buffer it lies in.
struct ChunkList {
    std::vector<Chunk> chunks;      // in file order, IDAT included
    std::vector<ByteSpan> imageData;  // the data of the IDAT chunks
    Header header;
    std::size_t end = 0;  // where reading stopped, also after a refusal
};

// The signature, then chunks up to IEND or the end of the buffer, read from
// `position` on. Every chunk is read, and its CRC checked, before the header
// is judged (checkHeader); an IHDR is parsed where it stands, after it joined
// the list, which ends with it when it is refused. May throw
// std::bad_alloc while the lists grow.
Refusal walkFile(ByteSpan bytes, std::size_t position, ChunkList& list);

}  // namespace png
