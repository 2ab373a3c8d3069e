// The BMP decoder on bytes: the headers and the rows of a file held in memory,
// read as reads and a seek on a stream positioned in the buffer would read
// them, the position where they stopped included.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "bmp/refusals.hpp"

namespace bmp {

using ByteSpan = std::span<const std::uint8_t>;

// The fields of the information header after its size, in file order.
enum InfoField {
    kWidthField, kHeightField, kPlanesField, kBitsPerPixelField, kCompressionField,
    kImageSizeField, kXppmField, kYppmField, kClrUsedField, kClrImportantField,
};
inline constexpr std::size_t kInfoFields = 10;

struct Headers {
    std::uint32_t offset = 0;  // of the pixel array
    std::array<std::int64_t, kInfoFields> info{};
    // The information header's fields when fewer than their 36 bytes are left:
    // what struct.unpack then refuses in its own words.
    std::optional<ByteSpan> cutInfo;
};

// The file header, then the information header, from `position` on; `end` is
// where reading stopped. The refusal, if any; none, with `cutInfo` set, for a
// header cut inside its fields.
std::optional<Refusal> readHeaders(ByteSpan bytes, std::size_t position, Headers& headers,
                                   std::size_t& end) noexcept;

struct Layout {
    std::int32_t width;
    std::int32_t height;     // negative for a top-down file
    std::int64_t rowCount;   // |height|
    std::int64_t rowStride;  // file bytes per row, padded to whole 4-byte words

    static Layout of(const Headers& headers) noexcept;

    // The pixel plane's size, width * |height| * 3; negative for a negative
    // width with rows, nothing beyond 64 bits.
    std::optional<std::int64_t> planeSize() const noexcept;
};

// The offset in the pixel plane of the image row that file row `r` fills,
// which the plane's indexing holds as a 32-bit signed integer: nothing beyond
// it. The row index itself always fits: it is below |height|, and a negative
// height means top-down. The product cannot overflow: it is below the size of
// the whole plane.
std::optional<std::int64_t> rowOffset(const Layout& layout, std::int64_t r) noexcept;

// How reading the rows ended.
enum class RowsEnd {
    stored,
    incomplete,       // Refusal::incompletePixelData
    offsetTooLarge,   // a row's place in the plane lies beyond a 32-bit signed offset
};

// Whether `bytes` hold every row of `layout` from `at` on.
bool holdsEveryRow(ByteSpan bytes, std::size_t at, const Layout& layout) noexcept;

// Reads the rows from `at` on, in file order, each into its place in `pixels`
// (RGB, top to bottom) unless `pixels` is empty, which only finds how the
// reading ends; `end` is where it stopped: past the last row read, or the end
// of the buffer after a short one.
RowsEnd readRows(ByteSpan bytes, std::size_t at, const Layout& layout,
                 std::span<std::uint8_t> pixels, std::size_t& end) noexcept;

}  // namespace bmp
