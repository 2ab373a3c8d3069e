#include "literal_bmp.hpp"

#include <algorithm>
#include <cstdint>

#include "stream_read.hpp"

namespace literal {
namespace {

std::uint32_t unsigned32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

std::int64_t signed32(const std::uint8_t* bytes) {
    return static_cast<std::int32_t>(unsigned32(bytes));
}

std::int64_t unsigned16(const std::uint8_t* bytes) { return bytes[0] | bytes[1] << 8; }

// Python's floor division by 4.
std::int64_t floorQuarter(std::int64_t value) { return value / 4 - (value % 4 < 0 ? 1 : 0); }

BmpDecoded ended(BmpDecoded decoded, BmpEnding ending, bmp::Refusal refusal = {}) {
    decoded.ending = ending;
    decoded.refusal = refusal;
    return decoded;
}

}  // namespace

BmpDecoded decodeBmp(ByteSpan bytes) {
    BmpDecoded decoded;
    const ByteSpan fileHeader = read(bytes, decoded.end, 14);
    if (fileHeader.size() < 14 || fileHeader[0] != 'B' || fileHeader[1] != 'M') {
        return ended(decoded, BmpEnding::refused, bmp::Refusal::unsupportedHeader);
    }
    const std::uint32_t offset = unsigned32(fileHeader.data() + 10);
    const ByteSpan headerSize = read(bytes, decoded.end, 4);
    if (headerSize.size() < 4) {
        return ended(decoded, BmpEnding::refused, bmp::Refusal::corruptedDibHeader);
    }
    if (unsigned32(headerSize.data()) != 40) {
        return ended(decoded, BmpEnding::refused, bmp::Refusal::onlyInfoHeader);
    }
    const ByteSpan info = read(bytes, decoded.end, 36);
    if (info.size() != 36) {
        return ended(decoded, BmpEnding::cutInfoHeader);
    }
    const std::int64_t width = signed32(info.data());
    const std::int64_t height = signed32(info.data() + 4);
    if (unsigned16(info.data() + 8) != 1 || unsigned16(info.data() + 10) != 24 ||
        unsigned32(info.data() + 12) != 0) {
        return ended(decoded, BmpEnding::refused, bmp::Refusal::onlyUncompressed24Bit);
    }
    decoded.width = width;
    decoded.height = height < 0 ? -height : height;
    decoded.record = {signed32(info.data() + 20), signed32(info.data() + 24),
                      unsigned32(info.data() + 28), unsigned32(info.data() + 32)};
    const std::int64_t rowStride = floorQuarter(width * 3 + 3) * 4;
    const __int128 planeSize = static_cast<__int128>(width) * decoded.height * 3;
    if (planeSize < INT64_MIN || planeSize > INT64_MAX) {
        return ended(decoded, BmpEnding::planeSizeOverflow);
    }
    if (planeSize < 0) {
        return ended(decoded, BmpEnding::negativeSize);
    }
    // A plane larger than the file cannot be filled: its rows are read (to see
    // how reading ends) but not kept.
    if (planeSize <= static_cast<__int128>(bytes.size())) {
        decoded.pixels.assign(static_cast<std::size_t>(planeSize), 0);
    }
    decoded.end = offset;
    // Rows of width 0 read nothing and store nothing, however many there are.
    const std::int64_t rows = rowStride > 0 ? decoded.height : 0;
    for (std::int64_t r = 0; r < rows; ++r) {
        const ByteSpan row = read(bytes, decoded.end, static_cast<std::size_t>(rowStride));
        if (static_cast<std::int64_t>(row.size()) != rowStride) {
            return ended(decoded, BmpEnding::refused, bmp::Refusal::incompletePixelData);
        }
        const std::int64_t y = height > 0 ? decoded.height - 1 - r : r;
        const std::int64_t rowOffset = y * width * 3;
        if (rowOffset > INT32_MAX) {
            return ended(decoded, BmpEnding::rowOffsetTooLarge);
        }
        for (std::int64_t x = 0; x < width && !decoded.pixels.empty(); ++x) {
            std::uint8_t* pixel = decoded.pixels.data() + rowOffset + 3 * x;
            pixel[0] = row[3 * x + 2];
            pixel[1] = row[3 * x + 1];
            pixel[2] = row[3 * x];
        }
    }
    return decoded;
}

}  // namespace literal
