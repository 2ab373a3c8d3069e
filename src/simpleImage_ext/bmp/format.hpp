// The BMP layout that the codec reads and writes: a 14-byte file header, a
// 40-byte information header, rows of BGR pixels padded to whole 4-byte words.
// All integers are little-endian.
#pragma once

#include <array>
#include <cstdint>

namespace bmp {

inline constexpr std::int64_t kFileHeaderSize = 14;
inline constexpr std::int64_t kInfoHeaderSize = 40;
inline constexpr std::int64_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;

// After "BM": file size, two reserved fields, offset of the pixel array.
inline constexpr const char* kFileHeaderFormat = "<IHHI";
// The information header's size field, then its other ten fields as they are
// read (width and height signed, for top-down files) and as they are written.
inline constexpr const char* kInfoSizeFormat = "<I";
inline constexpr const char* kInfoFieldsFormat = "<iiHHIIiiII";
inline constexpr const char* kInfoHeaderFormat = "<IIIHHIIIIII";

inline constexpr long kPlanes = 1;
inline constexpr long kBitsPerPixel = 24;
inline constexpr long kNoCompression = 0;

// The BMP header record: the fields of the information header that a round
// trip keeps, in the order of the record's keys, with what the writer puts
// where a record has no value.
struct RecordField {
    const char* key;
    long fallback;
};
inline constexpr std::array<RecordField, 4> kRecordFields = {
    {{"xppm", 2835}, {"yppm", 2835}, {"clrUsed", 0}, {"clrImportant", 0}}};

// ((width * 3 + 3) // 4) * 4 with Python's floor division, so that a negative
// width gives the value that then fails to pack.
constexpr std::int64_t rowStride(std::int32_t width) {
    const std::int64_t bytes = std::int64_t{width} * 3 + 3;
    const std::int64_t quotient = bytes / 4 - (bytes % 4 < 0 ? 1 : 0);
    return quotient * 4;
}

}  // namespace bmp
