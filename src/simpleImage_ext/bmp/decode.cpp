#include "bmp/decode.hpp"

#include <algorithm>
#include <limits>

#include "bmp/format.hpp"
#include "kernels/byte_reader.hpp"
#include "kernels/pixel_rows.hpp"
#include "kernels/sizes.hpp"

namespace bmp {
namespace {

std::uint32_t littleEndian32(const std::uint8_t* bytes) noexcept {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
           std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
}

std::uint16_t littleEndian16(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// "<iiHHIIiiII": width and height signed, then planes and bits per pixel as
// 16-bit fields, the rest 32-bit, signed for the resolution.
void parseInfoFields(const std::uint8_t* bytes, std::array<std::int64_t, kInfoFields>& info) {
    const auto signed32 = [](std::uint32_t value) {
        return std::int64_t{static_cast<std::int32_t>(value)};
    };
    info[kWidthField] = signed32(littleEndian32(bytes));
    info[kHeightField] = signed32(littleEndian32(bytes + 4));
    info[kPlanesField] = littleEndian16(bytes + 8);
    info[kBitsPerPixelField] = littleEndian16(bytes + 10);
    info[kCompressionField] = littleEndian32(bytes + 12);
    info[kImageSizeField] = littleEndian32(bytes + 16);
    info[kXppmField] = signed32(littleEndian32(bytes + 20));
    info[kYppmField] = signed32(littleEndian32(bytes + 24));
    info[kClrUsedField] = littleEndian32(bytes + 28);
    info[kClrImportantField] = littleEndian32(bytes + 32);
}

std::optional<Refusal> readFileHeader(kernels::ByteReader& reader, Headers& headers) {
    const ByteSpan header = reader.read(kFileHeaderSize);
    if (header.size() < kFileHeaderSize || header[0] != 'B' || header[1] != 'M') {
        return Refusal::unsupportedHeader;
    }
    headers.offset = littleEndian32(header.data() + 10);
    return std::nullopt;
}

std::optional<Refusal> readInfoHeader(kernels::ByteReader& reader, Headers& headers) {
    const ByteSpan size = reader.read(4);
    if (size.size() < 4) {
        return Refusal::corruptedDibHeader;
    }
    if (littleEndian32(size.data()) != kInfoHeaderSize) {
        return Refusal::onlyInfoHeader;
    }
    const ByteSpan fields = reader.read(kInfoHeaderSize - 4);
    if (fields.size() < kInfoHeaderSize - 4) {
        headers.cutInfo = fields;
        return std::nullopt;
    }
    parseInfoFields(fields.data(), headers.info);
    // planes, bits per pixel and compression, tested in this order
    if (headers.info[kPlanesField] != kPlanes || headers.info[kBitsPerPixelField] != kBitsPerPixel ||
        headers.info[kCompressionField] != kNoCompression) {
        return Refusal::onlyUncompressed24Bit;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Refusal> readHeaders(ByteSpan bytes, std::size_t position, Headers& headers,
                                   std::size_t& end) noexcept {
    kernels::ByteReader reader(bytes, position);
    std::optional<Refusal> refusal = readFileHeader(reader, headers);
    if (!refusal) {
        refusal = readInfoHeader(reader, headers);
    }
    end = reader.position();
    return refusal;
}

Layout Layout::of(const Headers& headers) noexcept {
    Layout layout{};
    layout.width = static_cast<std::int32_t>(headers.info[kWidthField]);
    layout.height = static_cast<std::int32_t>(headers.info[kHeightField]);
    layout.rowCount = layout.height < 0 ? -std::int64_t{layout.height} : layout.height;
    layout.rowStride = bmp::rowStride(layout.width);
    return layout;
}

std::optional<std::int64_t> Layout::planeSize() const noexcept {
    return kernels::sizes::multiply(kernels::sizes::multiply(width, rowCount), 3);
}

std::optional<std::int64_t> rowOffset(const Layout& layout, std::int64_t r) noexcept {
    const std::int64_t y = layout.height > 0 ? layout.rowCount - 1 - r : r;
    const std::int64_t offset = y * layout.width * 3;
    if (offset > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return offset;
}

bool holdsEveryRow(ByteSpan bytes, std::size_t at, const Layout& layout) noexcept {
    const auto rowBytes = kernels::sizes::multiply(layout.rowCount, layout.rowStride);
    if (!rowBytes) {
        return false;
    }
    const auto size = static_cast<std::int64_t>(bytes.size());
    return *rowBytes == 0 ||
           (static_cast<std::int64_t>(at) <= size && *rowBytes <= size - static_cast<std::int64_t>(at));
}

RowsEnd readRows(ByteSpan bytes, std::size_t at, const Layout& layout,
                 std::span<std::uint8_t> pixels, std::size_t& end) noexcept {
    const auto size = static_cast<std::int64_t>(bytes.size());
    auto position = static_cast<std::int64_t>(at);
    // Rows of width 0 hold no bytes and go nowhere.
    const std::int64_t rows = layout.rowStride > 0 ? layout.rowCount : 0;
    RowsEnd outcome = RowsEnd::stored;
    for (std::int64_t r = 0; r < rows; ++r) {
        // A seek may have put the position anywhere, far past the end included.
        if (position > size || layout.rowStride > size - position) {
            position = std::max(position, size);  // a short read consumes what is left
            outcome = RowsEnd::incomplete;
            break;
        }
        const std::uint8_t* row = bytes.data() + position;
        position += layout.rowStride;
        const std::optional<std::int64_t> offset = rowOffset(layout, r);
        if (!offset) {
            outcome = RowsEnd::offsetTooLarge;
            break;
        }
        if (!pixels.empty()) {
            kernels::swapRedBlue(row, static_cast<std::size_t>(layout.width),
                                 pixels.data() + *offset);
        }
    }
    end = static_cast<std::size_t>(position);
    return outcome;
}

}  // namespace bmp
